"""listener(..., loop=TARGET): calls delivered on the thread that runs an event
loop, a trio run, an executor's workers or any dispatcher."""

import asyncio
import concurrent.futures
import contextlib
import gc
import queue
import threading
import warnings
import weakref

import pytest

from support.helpers import run_child, without_leak_check
from support.threads import queue_then_stop, run_threads
from tarnwick import Signal

WAIT = 10  # seconds; every wait below is bounded


@contextlib.contextmanager
def running_loop():
    """A new event loop running in a thread of its own; stopped and closed on exit."""
    loop = asyncio.new_event_loop()
    started = threading.Event()
    loop.call_soon(started.set)
    thread = threading.Thread(target=loop.run_forever, name="loop-thread")
    thread.start()
    assert started.wait(WAIT)
    try:
        yield loop
    finally:
        loop.call_soon_threadsafe(loop.stop)
        thread.join(WAIT)
        assert not thread.is_alive(), "the loop thread hung"
        loop.close()


@contextlib.contextmanager
def held(loop):
    """Keeps the running loop busy until the block ends, so that calls queue."""
    entered, release = threading.Event(), threading.Event()

    def hold():
        entered.set()
        release.wait(WAIT)

    loop.call_soon_threadsafe(hold)
    assert entered.wait(WAIT)
    try:
        yield
    finally:
        release.set()


def on_loop(loop, fn):
    """fn() run on the loop's thread; its result."""
    async def run():
        return fn()
    return asyncio.run_coroutine_threadsafe(run(), loop).result(WAIT)


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((threading.current_thread().name, args, kwargs))
        return ("got", args)


def test_emission_off_the_loop_queues_and_returns_a_future():
    rec = Recorder()
    s = Signal("s")
    with running_loop() as loop:
        assert s.listener(rec, loop=loop) is rec
        plain = s.connect(lambda *a, **k: "direct")
        results = s.emit(1, key="v")
        assert isinstance(results[0], concurrent.futures.Future) and results[1] == "direct"
        assert results[0].result(WAIT) == ("got", (1,))
        assert rec.calls == [("loop-thread", (1,), {"key": "v"})]
        s.disconnect(plain)


def test_emission_on_the_loop_thread_calls_directly():
    rec = Recorder()
    s = Signal()
    with running_loop() as loop:

        @s.listener(loop=loop)
        def handler(x):
            return rec(x)

        assert on_loop(loop, lambda: s.emit(5)) == [("got", (5,))]
        assert rec.calls == [("loop-thread", (5,), {})]


def test_awaitable_results_are_awaited_on_the_loop():
    s = Signal()
    seen = []

    async def slow(x):
        await asyncio.sleep(0)
        seen.append(threading.current_thread().name)
        return x * 2

    with running_loop() as loop:
        s.listener(slow, loop=loop)
        (future,) = s.emit(21)
        assert future.result(WAIT) == 42 and seen == ["loop-thread"]


class InstanceAwait:
    """An __await__ on the instance alone: `await` and asyncio both refuse it."""

    def __init__(self):
        self.__await__ = lambda: iter(())


class AwaitNone:
    __await__ = None  # says "not awaitable", as __hash__ = None says "not hashable"


class Record:
    """The attribute-dict pattern: a missing attribute raises KeyError."""

    def __init__(self, **fields):
        self.__dict__["fields"] = fields

    def __getattr__(self, name):
        return self.fields[name]


class Ready:
    """Awaitable through its class, as asyncio requires; yields nothing, gives 7."""

    def __await__(self):
        return 7
        yield


@pytest.mark.parametrize("make", [InstanceAwait, AwaitNone, Record], ids=lambda c: c.__name__)
def test_a_result_asyncio_cannot_await_is_a_plain_result_on_every_thread(make):
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(exc))
    with running_loop() as loop:
        s.listener(make, loop=loop)
        (queued,) = s.emit()
        assert type(queued.result(WAIT)) is make
        (direct,) = on_loop(loop, s.emit)
        assert type(direct) is make
    assert hooked == []


def test_an_awaitable_class_instance_is_awaited():
    s = Signal()
    with running_loop() as loop:
        s.listener(Ready, loop=loop)
        (future,) = s.emit()
        assert future.result(WAIT) == 7


class Hostile:
    @property
    def _asyncio_future_blocking(self):  # what asyncio asks a future-like object
        raise LookupError("no")


def foreign_future():
    """A future of another loop, which this loop cannot await."""
    other = asyncio.new_event_loop()
    other.close()
    return other.create_future()


@pytest.mark.parametrize("make, error", [(Hostile, LookupError), (foreign_future, ValueError)],
                         ids=["undecidable", "foreign"])
def test_a_result_the_loop_cannot_take_fails_its_future_and_tells_the_hooks(make, error):
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append((type(exc), cb, threading.current_thread().name)))
    with running_loop() as loop:
        s.listener(make, loop=loop)
        (future,) = s.emit()
        assert isinstance(future.exception(WAIT), error)
        on_loop(loop, lambda: None)
    assert hooked == [(error, make, "loop-thread")]


def cancellable():
    """A coroutine function that waits until cancelled, and what it saw."""
    started, cancelled = threading.Event(), threading.Event()
    tasks = []

    async def waits():
        tasks.append(asyncio.current_task())
        started.set()
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            cancelled.set()
            raise

    return waits, started, cancelled, tasks


def assert_cancelled(future):
    assert future.cancelled()
    with pytest.raises(concurrent.futures.CancelledError):
        future.result(0)
    assert concurrent.futures.wait([future], timeout=0).done == {future}


@pytest.mark.parametrize("by", ["the loop", "the emitter"])
def test_a_cancelled_coroutine_cancels_its_future_and_is_no_failure(by):
    waits, started, cancelled, tasks = cancellable()
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(exc))
    with running_loop() as loop:
        s.listener(waits, loop=loop)
        (future,) = s.emit()
        assert started.wait(WAIT)
        if by == "the loop":
            loop.call_soon_threadsafe(tasks[0].cancel)
            with pytest.raises(concurrent.futures.CancelledError):
                future.result(WAIT)
        else:
            assert future.cancel()  # the coroutine has started: its task is cancelled
        assert cancelled.wait(WAIT)
        on_loop(loop, lambda: None)
        assert tasks[0].cancelled()
    assert_cancelled(future)
    assert hooked == []


def test_a_coroutine_cancelled_at_the_loops_shutdown_cancels_its_future():
    waits, started, cancelled, _ = cancellable()
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(exc))
    emitted = []

    async def main():
        s.listener(waits, loop=asyncio.get_running_loop())
        emitted.extend(await asyncio.to_thread(s.emit))  # off the loop's thread
        await asyncio.to_thread(started.wait, WAIT)
        # returning leaves the task pending: asyncio.run cancels it

    runner = threading.Thread(target=asyncio.run, args=(main(),))
    runner.start()
    runner.join(WAIT)
    assert not runner.is_alive() and cancelled.is_set()
    assert_cancelled(emitted[0])
    assert hooked == []


def test_a_coroutine_left_pending_by_a_closed_loop_cancels_its_future(caplog):
    # stop() and close() cancel no task: the pending one goes to the collector,
    # and its future, which nothing else would settle, is cancelled then.
    started = threading.Event()

    async def sleeps():
        started.set()
        await asyncio.sleep(3600)

    s = Signal()
    with running_loop() as loop:
        s.listener(sleeps, loop=loop)
        (future,) = s.emit()
        assert started.wait(WAIT)
    gc.collect()
    assert_cancelled(future)
    assert "Task was destroyed but it is pending" in caplog.text


@pytest.mark.parametrize("awaitable", [False, True])
def test_a_queued_failure_goes_to_the_future_and_the_hooks_on_the_loop(awaitable):
    s = Signal()
    hooked = []
    error = ValueError("boom")

    def fails(x):
        raise error

    async def fails_later(x):
        await asyncio.sleep(0)
        raise error

    callback = fails_later if awaitable else fails
    s.on_error(lambda exc, cb: hooked.append((exc, cb, threading.current_thread().name)))
    with running_loop() as loop:
        s.listener(callback, loop=loop)
        (future,) = s.emit(1)  # fast_fail does not apply: the emission has returned
        assert future.exception(WAIT) is error
        on_loop(loop, lambda: None)  # the hooks have run by now
    assert hooked == [(error, callback, "loop-thread")]


def test_direct_failures_follow_the_emission_mode_and_hooks_see_the_callback():
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(cb))

    def fails():
        raise KeyError("x")

    with running_loop() as loop:
        s.listener(fails, loop=loop)
        with pytest.raises(KeyError):
            on_loop(loop, s.emit)
        (collected,) = on_loop(loop, lambda: s.emit(on_error="collect"))
        assert isinstance(collected, KeyError)
    assert hooked == [fails, fails]


@pytest.mark.parametrize("state", ["not running", "closed"])
def test_a_loop_that_cannot_run_the_call_fails_at_emission(state):
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(cb))
    loop = asyncio.new_event_loop()
    if state == "closed":
        loop.close()
    try:
        s.listener(print, loop=loop, times=2)
        with pytest.raises(RuntimeError, match=f"the loop is {state}"):
            s.emit("x")
        (failure,) = s.emit("x", on_error="collect")
        assert isinstance(failure, RuntimeError)
        assert hooked == [print, print] and len(s) == 0  # both calls were used up
    finally:
        loop.close()


def test_a_call_the_loop_drops_unrun_at_its_close_cancels_its_future():
    rec = Recorder()
    s = Signal()
    loop = asyncio.new_event_loop()
    try:
        s.listener(rec, loop=loop)
        (kept,) = queue_then_stop(s, loop)
        assert not kept.done()      # a stopped loop runs it when it runs again
        loop.run_until_complete(asyncio.sleep(0))
        assert kept.result(0) == ("got", (1,))
        dropped, cancelled = queue_then_stop(s, loop, 2)
        assert cancelled.cancel()
        waiter = concurrent.futures.ThreadPoolExecutor(1)
        waited = waiter.submit(dropped.exception, WAIT)
    finally:
        loop.close()
    assert_cancelled(dropped)
    assert_cancelled(cancelled)     # its waiters are told now
    with pytest.raises(concurrent.futures.CancelledError):
        waited.result(WAIT)
    waiter.shutdown()
    assert len(rec.calls) == 1


def test_a_waiter_wakes_at_the_close_and_a_loop_left_at_exit_is_quiet():
    out, err = run_child("loop_exit_child.py", timeout=60, env=without_leak_check())
    assert (out, err) == ("cancelled\nqueued\n", "")


def test_counts_are_used_at_emission_exactly_once():
    rec = Recorder()
    s = Signal()
    with running_loop() as loop:
        with held(loop):
            s.listener(rec, loop=loop, times=1)
            s.listener(rec, loop=loop, times=2)
            first = s.emit(1)
            second = s.emit(2)
            third = s.emit(3)
            assert (len(first), len(second), len(third), len(s)) == (2, 1, 0, 0)
        for future in first + second:
            future.result(WAIT)
    assert sorted(args for _, args, _ in rec.calls) == [(1,), (1,), (2,)]


class Owner:
    def __init__(self, log):
        self.log = log

    def method(self, x):
        self.log.append(x)


def test_weak_entries_resolve_at_emission_and_the_queued_call_keeps_the_callback():
    log = []
    owner = Owner(log)
    probe = weakref.ref(owner)
    s = Signal()
    with running_loop() as loop:
        s.listener(owner.method, weak=True, loop=loop)
        assert s.connections()[0][1] == owner.method
        with held(loop):
            (future,) = s.emit(1)
            del owner
            gc.collect()
            assert probe() is not None  # the queued call holds it
        future.result(WAIT)
        gc.collect()
        assert probe() is None and log == [1]
        assert s.emit(2) == [] and len(s) == 0  # resolved dead: removed


def test_a_future_cancelled_before_the_call_runs_skips_it():
    rec = Recorder()
    s = Signal()
    with running_loop() as loop:
        s.listener(rec, loop=loop)
        with held(loop):
            (future,) = s.emit(1)
            assert future.cancel()
        on_loop(loop, lambda: None)
    assert rec.calls == []


def test_emit_async_calls_directly_on_the_loop_and_queues_elsewhere():
    s = Signal()

    async def double(x):
        return x * 2

    with running_loop() as loop:
        s.listener(double, loop=loop)
        async def emit_async(x):
            return await s.emit_async(x)

        on_own_loop = asyncio.run_coroutine_threadsafe(emit_async(4), loop).result(WAIT)
        assert on_own_loop == [8]
        (future,) = asyncio.run(emit_async(5))  # another loop, another thread
        assert isinstance(future, concurrent.futures.Future) and future.result(WAIT) == 10


def test_listing_removal_and_uniqueness_see_the_callback():
    rec = Recorder()
    s = Signal()
    with running_loop() as loop:
        s.listener(rec, loop=loop)
        assert [c[1] for c in s.connections()] == [rec]
        s.listener(rec, loop=loop, unique=True)
        s.listener(rec, unique=True)
        assert len(s) == 1
        assert s.disconnect_callback(rec) == 1 and len(s) == 0


def test_many_threads_emitting_at_once_all_deliver_on_the_loop():
    rec = Recorder()
    s = Signal()
    per_thread = 200
    futures = []
    lock = threading.Lock()
    with running_loop() as loop:
        s.listener(rec, loop=loop)

        def emitter(i):
            mine = [s.emit(i, n)[0] for n in range(per_thread)]
            with lock:
                futures.extend(mine)

        run_threads(emitter, n=4)
        done, pending = concurrent.futures.wait(futures, timeout=WAIT)
        assert not pending
    assert len(rec.calls) == 4 * per_thread
    assert {name for name, _, _ in rec.calls} == {"loop-thread"}
    for i in range(4):  # each thread's calls ran in the order it queued them
        assert [a[1] for _, a, _ in rec.calls if a[0] == i] == list(range(per_thread))


def test_a_connection_on_a_loop_is_collected_with_its_signal(collect_all):
    with running_loop() as loop:
        s = Signal()
        s.listener(lambda: s, loop=loop)  # signal -> delivery -> callback -> signal
        probe = weakref.ref(s.connections()[0][1])
        del s
        collect_all()
        assert probe() is None


# --- the targets besides asyncio ----------------------------------------------

class Worker:
    """A dispatcher: a thread that runs, in order, what it is given."""

    def __init__(self, with_is_current=True):
        self.calls = queue.SimpleQueue()
        self.closed = False
        self.thread = threading.Thread(target=self.run, name="worker-thread")
        if with_is_current:
            self.is_current = lambda: threading.current_thread() is self.thread
        self.thread.start()

    def call_soon_threadsafe(self, fn):
        if self.closed:
            raise RuntimeError("the worker is closed")
        self.calls.put(fn)

    def run(self):
        while (fn := self.calls.get()) is not None:
            fn()
            del fn

    def close(self, drop=False):
        self.closed = True
        while drop and not self.calls.empty():
            self.calls.get()
        self.calls.put(None)
        self.thread.join(WAIT)
        assert not self.thread.is_alive()


@contextlib.contextmanager
def running_trio():
    """A trio run in a thread of its own; its token. The run ends on exit."""
    trio = pytest.importorskip("trio")
    ready, box = threading.Event(), {}

    async def main():
        box["token"], box["stop"] = trio.lowlevel.current_trio_token(), trio.Event()
        ready.set()
        await box["stop"].wait()

    thread = threading.Thread(target=trio.run, args=(main,), name="trio-thread")
    thread.start()
    assert ready.wait(WAIT)
    try:
        yield box["token"]
    finally:
        box["token"].run_sync_soon(box["stop"].set)
        thread.join(WAIT)
        assert not thread.is_alive(), "the trio thread hung"


@contextlib.contextmanager
def one_worker():
    executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="pool")
    try:
        yield executor
    finally:
        executor.shutdown()


@contextlib.contextmanager
def worker():
    w = Worker()
    try:
        yield w
    finally:
        w.close()


# Each target kind: (make it, its bare scheduling call, its thread's name).
TARGETS = {
    "asyncio": (running_loop, lambda t: t.call_soon_threadsafe, "loop-thread"),
    "trio": (running_trio, lambda t: t.run_sync_soon, "trio-thread"),
    "executor": (one_worker, lambda t: t.submit, "pool_0"),
    "dispatcher": (worker, lambda t: t.call_soon_threadsafe, "worker-thread"),
}


@pytest.fixture(params=list(TARGETS))
def target(request):
    make, schedule, name = TARGETS[request.param]
    with make() as t:
        yield t, schedule(t), name


@contextlib.contextmanager
def busy(schedule):
    """Keeps the target's thread busy until the block ends, so that calls queue."""
    entered, release = threading.Event(), threading.Event()

    def hold():
        entered.set()
        release.wait(WAIT)

    schedule(hold)
    assert entered.wait(WAIT)
    try:
        yield
    finally:
        release.set()


def test_every_target_queues_in_order_with_counts_weak_and_listing_as_for_a_loop(target):
    t, schedule, name = target
    rec = Recorder()
    log = []
    owner = Owner(log)
    probe = weakref.ref(owner)
    s = Signal()
    s.listener(rec, loop=t, times=2, max_args=1)
    s.listener(owner.method, weak=True, loop=t, sender="a", max_args=1)
    assert [c[1] for c in s.connections()] == [rec, owner.method]
    with busy(schedule):
        first = s.emit("a", 2)
        del owner
        gc.collect()
        assert probe() is not None  # the queued call holds it
        skipped = s.emit("b", k=2)
        assert skipped[0].cancel()
        assert s.emit("c") == [] and len(s) == 1
    assert [f.result(WAIT) for f in first] == [("got", ("a",)), None]
    assert_cancelled(skipped[0])
    assert rec.calls == [(name, ("a",), {})] and log == ["a"]
    gc.collect()
    assert probe() is None


def test_every_targets_failures_go_to_the_future_and_the_hooks_on_its_thread(target):
    t, schedule, name = target
    hooked = []
    s = Signal()
    s.on_error(lambda exc, cb: hooked.append((threading.current_thread().name, type(exc), cb)))

    def fails():
        raise KeyError("x")

    s.listener(fails, loop=t)
    (future,) = s.emit()
    with pytest.raises(KeyError):
        future.result(WAIT)
    with busy(schedule):
        pass  # the hooks, called after the future settled, have been called
    assert hooked == [(name, KeyError, fails)]


def test_an_executor_call_is_never_made_directly_and_cannot_await():
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(type(exc)))

    async def coro():
        return 1

    with one_worker() as executor:
        s.listener(coro, loop=executor)
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # the coroutine is closed, not left to warn
            (future,) = s.emit()
            with pytest.raises(TypeError, match="returned an awaitable, which an executor cannot"):
                future.result(WAIT)
            gc.collect()
        assert hooked == [TypeError]
        s.disconnect_callback(coro)
        s.listener(lambda: s.emit(), loop=executor, times=1)
        (outer,) = s.emit()
        assert outer.result(WAIT) == []  # emitted on the worker: still no direct call


def test_an_executor_shut_down_refuses_at_emission_and_cancels_what_it_drops():
    rec = Recorder()
    s = Signal()
    executor = concurrent.futures.ThreadPoolExecutor(1)
    s.listener(rec, loop=executor)
    with busy(executor.submit):
        queued = [s.emit(n)[0] for n in range(3)]
        executor.shutdown(wait=False, cancel_futures=True)
    executor.shutdown()
    for future in queued:
        assert_cancelled(future)
    with pytest.raises(RuntimeError, match="shutdown"):
        s.emit(1)
    (failure,) = s.emit(1, on_error="collect")
    assert isinstance(failure, RuntimeError) and rec.calls == []


def test_a_dispatcher_calls_directly_when_current_and_its_awaitables_are_results():
    s = Signal()
    marker = asyncio.sleep(0)
    with worker() as w:
        s.listener(lambda: (threading.current_thread().name, marker), loop=w)
        (future,) = s.emit()
        assert future.result(WAIT) == ("worker-thread", marker)  # not awaited
        done = concurrent.futures.Future()
        w.call_soon_threadsafe(lambda: done.set_result(s.emit()))
        assert done.result(WAIT) == [("worker-thread", marker)]  # is_current: direct
    marker.close()
    plain = Worker(with_is_current=False)
    try:
        s2 = Signal()
        s2.listener(lambda: 1, loop=plain)
        done = concurrent.futures.Future()
        plain.call_soon_threadsafe(lambda: done.set_result(s2.emit()))
        (inner,) = done.result(WAIT)
        assert inner.result(WAIT) == 1  # no is_current: always queued
    finally:
        plain.close()


def test_a_dispatcher_that_refuses_or_drops_the_call_settles_it():
    rec = Recorder()
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(cb))
    w = Worker()
    s.listener(rec, loop=w)
    with busy(w.call_soon_threadsafe):
        dropped = s.emit(1)[0]
        w.closed = True
        while not w.calls.empty():
            w.calls.get()
    w.closed = False
    w.close()
    assert_cancelled(dropped)
    with pytest.raises(RuntimeError, match="the worker is closed"):
        s.emit(2)
    assert isinstance(s.emit(3, on_error="collect")[0], RuntimeError)
    assert hooked == [rec, rec] and rec.calls == []


class KeepsAndRefuses:
    """A faulty dispatcher that keeps the call and then raises."""

    def __init__(self):
        self.kept = []

    def call_soon_threadsafe(self, fn):
        self.kept.append(fn)
        raise RuntimeError("refused")


def test_a_call_its_dispatcher_refused_never_runs_later():
    rec = Recorder()
    s = Signal()
    d = KeepsAndRefuses()
    s.listener(rec, loop=d)
    (failure,) = s.emit(1, on_error="collect")
    assert isinstance(failure, RuntimeError)
    d.kept[0]()  # the emission reported it failed: it does not run now
    assert rec.calls == []


def test_a_queued_calls_future_serves_every_kind_of_waiter_at_once():
    """The future's parts are made by whoever needs them first: waiters of
    every kind, racing to make them, all wake at the one outcome."""
    s, release = Signal(), threading.Event()
    waits = [lambda f: f.result(WAIT),
             lambda f: concurrent.futures.wait([f], WAIT).done == {f} and f.result(),
             lambda f: next(concurrent.futures.as_completed([f], WAIT)).result(),
             lambda f: asyncio.run(wrapped(f))]

    async def wrapped(f):
        return await asyncio.wait_for(asyncio.wrap_future(f), WAIT)

    with running_loop() as loop:
        s.listener(lambda: release.wait(WAIT) and 7, loop=loop)
        (future,) = s.emit()
        assert isinstance(future, concurrent.futures.Future)
        assert "state=pending" in repr(future) and not future.done()
        got = []
        run_threads(lambda i: (release.set() if i == 8 else got.append(waits[i % 4](future))), n=9)
    assert got == [7] * 8
    assert "state=finished returned int" in repr(future)


@pytest.mark.parametrize("wait", ["result", "exception"])
def test_a_waiter_sleeps_through_the_outcomes_of_the_connections_other_futures(wait):
    """A connection's futures share a condition: another one's outcome wakes
    a waiter, which must wait on, neither returning nor timing out early."""
    s = Signal()
    with running_loop() as loop:
        s.listener(lambda x: x, loop=loop)
        with held(loop):
            mine, *others = [s.emit(i)[0] for i in range(3)]
            got = []
            waiter = threading.Thread(target=lambda: got.append(getattr(mine, wait)(WAIT)))
            waiter.start()
            condition = mine._condition
            for _ in range(1000):
                with condition:
                    if condition._waiters:  # it waits: wake it with the others
                        break
                threading.Event().wait(0.01)
            for other in others:
                assert other.cancel()
            waiter.join(0.2)
            assert waiter.is_alive() and got == []
        waiter.join(WAIT)
    assert got == [0 if wait == "result" else None]


def test_a_trio_runs_thread_is_outside_the_run_once_it_has_ended():
    trio = pytest.importorskip("trio")
    s, seen = Signal(), []

    async def main():
        s.listener(seen.append, loop=trio.lowlevel.current_trio_token())
        return s.emit(1)

    assert trio.run(main) == [None]  # inside the run: called directly

    async def later():
        return s.emit(3, on_error="collect")

    with pytest.raises(trio.RunFinishedError):
        s.emit(2)  # the run's own thread, after it: refused, not called here
    assert [type(r) for r in trio.run(later)] == [trio.RunFinishedError]
    assert seen == [1]


def test_a_trio_run_calls_directly_inside_and_awaits_awaitable_results():
    trio = pytest.importorskip("trio")
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(type(exc)))

    async def later(x):
        await trio.sleep(0)
        if x is None:
            raise LookupError("none")
        return (threading.current_thread().name, x)

    with running_trio() as token:
        s.listener(later, loop=token)
        (future,) = s.emit(5)
        assert future.result(WAIT) == ("trio-thread", 5)
        (failed,) = s.emit(None)
        with pytest.raises(LookupError):
            failed.result(WAIT)
        s.disconnect_callback(later)
        s.listener(lambda: threading.current_thread().name, loop=token)
        assert trio.from_thread.run_sync(s.emit, trio_token=token) == ["trio-thread"]
    assert hooked == [LookupError]


def test_cancelling_the_future_cancels_the_await_in_the_trio_run():
    trio = pytest.importorskip("trio")
    s = Signal()
    started, ended = threading.Event(), threading.Event()

    async def forever():
        started.set()
        try:
            await trio.sleep_forever()
        finally:
            ended.set()

    with running_trio() as token:
        s.listener(forever, loop=token)
        (future,) = s.emit()
        assert started.wait(WAIT)
        assert future.cancel()
        assert ended.wait(WAIT)  # before the run ends
    assert_cancelled(future)


def test_a_finished_trio_run_refuses_and_what_it_leaves_queued_settles():
    trio = pytest.importorskip("trio")
    rec = Recorder()
    s = Signal()

    async def forever(*args):
        await trio.sleep_forever()

    with running_trio() as token:
        s.listener(rec, loop=token)
        s.listener(forever, loop=token)
        with busy(token.run_sync_soon):
            queued = s.emit(1)
            token.run_sync_soon(lambda: None)
    # The run has ended: the awaiting task was cancelled, the call run or dropped.
    assert queued[0].result(WAIT) == ("got", (1,))
    assert_cancelled(queued[1])
    with pytest.raises(trio.RunFinishedError):
        s.emit(2)
    assert [type(f) for f in s.emit(3, on_error="collect")] == [trio.RunFinishedError] * 2


@pytest.mark.threads
def test_four_threads_emitting_to_each_target_kind_lose_nothing(target):
    t, _, name = target
    rec = Recorder()
    s = Signal()
    s.listener(rec, loop=t)
    per_thread = 1000
    futures = [[] for _ in range(4)]
    run_threads(lambda i: futures[i].extend(s.emit(i, n)[0] for n in range(per_thread)), n=4)
    flat = [f for mine in futures for f in mine]
    done, pending = concurrent.futures.wait(flat, timeout=60)
    assert not pending
    assert [f.result() for f in futures[0][:2]] == [("got", (0, 0)), ("got", (0, 1))]
    assert len(rec.calls) == 4 * per_thread
    assert {thread for thread, _, _ in rec.calls} == {name}
    for i in range(4):  # each thread's calls ran once each, in the order it queued them
        assert [a[1] for _, a, _ in rec.calls if a[0] == i] == list(range(per_thread))


class Twice(Worker):
    """A faulty dispatcher that runs every call twice, from two threads."""

    def call_soon_threadsafe(self, fn):
        super().call_soon_threadsafe(fn)
        threading.Thread(target=fn).start()


def test_a_call_run_twice_by_its_dispatcher_runs_once():
    rec = Recorder()
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(exc))
    w = Twice()
    try:
        s.listener(rec, loop=w)
        futures = [s.emit(n)[0] for n in range(20)]
        assert [f.result(WAIT) for f in futures] == [("got", (n,)) for n in range(20)]
        with busy(w.call_soon_threadsafe):
            pass
    finally:
        w.close()
    assert sorted(args for _, args, _ in rec.calls) == [(n,) for n in range(20)] and hooked == []


def test_a_queued_calls_internal_methods_called_out_of_turn_neither_crash_nor_settle():
    out, _ = run_child("queued_call_child.py", timeout=60)
    assert out.split() == ["ok"]


@pytest.mark.parametrize("kind", ["queued", "LoopDelivery", "WeakBuiltinMethod"])
def test_objects_the_collector_cleared_refuse_use_without_crashing(kind):
    out, _ = run_child("cleared_delivery_child.py", kind, timeout=60)
    assert out.split() == ["ok"]
