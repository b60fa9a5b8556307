"""tarnwick.dispatch: Queue and qt(), through the dispatcher protocol
(call_soon_threadsafe, is_current) and through listener(..., loop=)."""

import concurrent.futures
import gc
import importlib.util
import subprocess
import sys
import threading
import time

import pytest

from support.helpers import run_child, without_leak_check
from support.threads import run_threads
from tarnwick import Signal
from tarnwick.dispatch import Queue

WAIT = 10  # seconds; every wait below is bounded


class Call:
    """A call that records its runs in `log`, and in `dropped` its release unrun."""

    def __init__(self, log, name, dropped=None):
        self.log, self.name, self.dropped = log, name, dropped

    def __call__(self):
        self.log.append(self.name)
        self.dropped = None

    def __del__(self):
        if self.dropped is not None:
            self.dropped.append(self.name)


def from_thread(fn):
    """Runs fn() in another thread and returns what it returned or raised."""
    out = []
    thread = threading.Thread(target=lambda: out.append(_outcome(fn)))
    thread.start()
    thread.join(WAIT)
    assert not thread.is_alive()
    return out[0]


def _outcome(fn):
    try:
        return fn()
    except Exception as exc:  # noqa: BLE001 - the caller inspects it
        return exc


# Queue ------------------------------------------------------------------


def test_queue_runs_waiting_calls_in_order_on_its_thread():
    q, log = Queue(), []
    assert q.is_current() and from_thread(q.is_current) is False
    from_thread(lambda: [q.call_soon_threadsafe(Call(log, i)) for i in range(3)])
    assert log == [] and q.run_pending() == 3 and log == [0, 1, 2]
    assert q.run_pending() == 0 and q.run_pending(timeout=0.01) == 0

    # Calls a running call schedules wait for the next run: a call that
    # schedules itself again cannot keep run_pending() going.
    def again():
        log.append("again")
        if len(log) < 5:
            q.call_soon_threadsafe(again)
    q.call_soon_threadsafe(again)
    assert q.run_pending() == 1 and q.run_pending() == 1 and log[3:] == ["again"] * 2
    assert q.run_pending() == 0

    # With a timeout, run_pending() waits for a call to arrive.
    later = threading.Timer(0.05, q.call_soon_threadsafe, args=(Call(log, "late"),))
    later.start()
    assert q.run_pending(timeout=WAIT) == 1 and log[-1] == "late"
    later.join()
    with pytest.raises(TypeError, match="callable"):
        q.call_soon_threadsafe(42)


def test_queue_owner_alone_runs_calls():
    q = Queue()
    assert "owning thread" in str(from_thread(q.run_pending))
    assert "owning thread" in str(from_thread(q.run_forever))
    assert "owning thread" in str(from_thread(lambda: q.close(run_pending=True)))
    assert not q.is_closed()

    worker = threading.Thread(target=lambda: None)
    q2 = Queue(owner=worker)
    assert not q2.is_current()
    with pytest.raises(RuntimeError, match="owning thread"):
        q2.run_pending()
    with pytest.raises(TypeError, match="threading.Thread"):
        Queue(owner=threading.get_ident())

    # A call may not run the queue again from inside.
    seen = []
    q.call_soon_threadsafe(lambda: seen.append(_outcome(q.run_pending)))
    q.run_pending()
    assert "from a call the queue is running" in str(seen[0])


def test_queue_failing_call_is_reported_and_the_rest_run(monkeypatch):
    q, log, reported = Queue(), [], []
    monkeypatch.setattr("sys.unraisablehook", reported.append)

    def fails():
        raise ValueError("bad call")
    for fn in (Call(log, 1), fails, Call(log, 2)):
        q.call_soon_threadsafe(fn)
    assert q.run_pending() == 3 and log == [1, 2]
    assert [(type(u.exc_value), u.object) for u in reported] == [(ValueError, fails)]

    # KeyboardInterrupt propagates; the calls not run stay first in line.
    def interrupts():
        raise KeyboardInterrupt
    for fn in (Call(log, 3), interrupts, Call(log, 4)):
        q.call_soon_threadsafe(fn)
    q.call_soon_threadsafe(Call(log, 5))
    with pytest.raises(KeyboardInterrupt):
        q.run_pending()
    assert q.run_pending() == 2 and log == [1, 2, 3, 4, 5]


def test_queue_close_drops_or_runs_waiting_calls():
    log, dropped = [], []
    with Queue() as q:
        for i in range(3):
            q.call_soon_threadsafe(Call(log, i, dropped))
    assert q.is_closed() and log == [] and dropped == [0, 1, 2]
    with pytest.raises(RuntimeError, match="Queue is closed"):
        q.call_soon_threadsafe(print)
    assert q.run_pending(timeout=WAIT) == 0  # closed: no wait
    q.close()  # again: nothing

    q = Queue()
    q.call_soon_threadsafe(Call(log, "run"))
    q.close(run_pending=True)
    assert log == ["run"]

    # Closed by a call it runs: the rest of the batch is dropped, or, with
    # run_pending=True, run by close() itself.
    q, dropped = Queue(), []
    for fn in (Call(log, "a"), q.close, Call(log, "b", dropped)):
        q.call_soon_threadsafe(fn)
    del fn
    assert q.run_pending() == 2 and dropped == ["b"]
    q = Queue()
    for fn in (lambda: q.close(run_pending=True), Call(log, "c")):
        q.call_soon_threadsafe(fn)
    assert q.run_pending() == 1 and log[-1] == "c"


def test_queue_close_while_running_or_reentered(monkeypatch):
    # Closed from another thread while its owner runs a call: the rest of
    # the run is dropped there, none runs.
    q, log, dropped = Queue(), [], []
    closing = threading.Thread(target=q.close)
    q.call_soon_threadsafe(lambda: (closing.start(), closing.join(WAIT)))
    for i in range(3):
        q.call_soon_threadsafe(Call(log, i, dropped))
    # (Released by another thread: free-threaded builds may free them in
    # another order.)
    assert q.run_pending() == 1 and log == [] and sorted(dropped) == [0, 1, 2]

    # A dropped call that schedules again on its queue as it goes: refused,
    # and no deadlock.
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)

    class Reschedules:
        def __call__(self):
            pass

        def __del__(self):
            q.call_soon_threadsafe(print)
    q = Queue()
    q.call_soon_threadsafe(Reschedules())
    q.close()
    assert [type(u.exc_value) for u in reported] == [RuntimeError]


def test_queue_run_forever_until_closed():
    q, log = Queue(), []
    for i in range(3):
        q.call_soon_threadsafe(Call(log, i))
    q.call_soon_threadsafe(q.close)
    q.run_forever()
    assert log == [0, 1, 2]

    q = Queue()
    closer = threading.Timer(0.05, q.close)
    closer.start()
    q.run_forever()  # returns once another thread closes it
    closer.join()


@pytest.mark.threads
def test_queue_threads_schedule_owner_drains():
    q, log, n = Queue(), [], 1000
    per_thread = {}

    def schedule(i):
        for k in range(n):
            q.call_soon_threadsafe(lambda i=i, k=k: log.append((i, k)))
        q.call_soon_threadsafe(lambda: per_thread.__setitem__(i, True))

    emitters = threading.Thread(target=run_threads, args=(schedule, 4))
    emitters.start()
    deadline = time.monotonic() + WAIT
    while len(per_thread) < 4 and time.monotonic() < deadline:
        q.run_pending(timeout=WAIT)
    emitters.join(WAIT)
    assert sorted(log) == [(i, k) for i in range(4) for k in range(n)]
    for i in range(4):
        assert [k for j, k in log if j == i] == list(range(n))


@pytest.fixture
def fast_switching():
    """Threads of a GIL build switch often, in the narrow places too."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.threads
def test_queue_closed_while_threads_schedule(fast_switching):
    # Every call is run or released once: none left waiting in a closed
    # queue, none run twice, whether refused, dropped by close() or by the
    # scheduling thread that saw the queue close.
    for _ in range(30):
        closed_while_scheduling(n=500)


def closed_while_scheduling(n):
    q, log, dropped = Queue(), [], []
    started = threading.Barrier(5)

    def schedule(i):
        started.wait(WAIT)
        for k in range(n):
            try:
                q.call_soon_threadsafe(Call(log, (i, k), dropped))
            except RuntimeError:
                pass

    emitters = threading.Thread(target=run_threads, args=(schedule, 4))
    emitters.start()
    started.wait(WAIT)
    while len(log) < n // 2:
        q.run_pending(timeout=0.1)
    q.close()
    emitters.join(WAIT)
    deadline = time.monotonic() + WAIT
    while len(log) + len(dropped) < 4 * n and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.01)
    assert sorted(log + dropped) == [(i, k) for i in range(4) for k in range(n)]
    assert len(q._calls) == 0


# Queue through listener(..., loop=) --------------------------------------


def connected(s, callback, q):
    return s.listener(callback, loop=q)


def test_queue_as_listener_target():
    s, q, seen = Signal(), Queue(), []
    connected(s, lambda x: seen.append((x, q.is_current())) or x * 2, q)
    assert s.emit(1) == [2]  # on the owning thread: a direct call
    (future,) = from_thread(lambda: s.emit(3))
    assert not future.done() and q.run_pending() == 1
    assert future.result(WAIT) == 6 and seen == [(1, True), (3, True)]

    (future,) = from_thread(lambda: s.emit(4))
    q.close()
    with pytest.raises(concurrent.futures.CancelledError):
        future.result(WAIT)
    failed = from_thread(lambda: s.emit(5))
    assert isinstance(failed, RuntimeError)


def test_queue_whose_owner_thread_ends_is_closed_and_its_calls_cancelled():
    # The owner made the queue, or was given it and ran it once; it ends with
    # a call still waiting, which nobody would ever run.
    for given in (False, True):
        s, box, ready, go = Signal(), {}, threading.Event(), threading.Event()

        def owner():
            if given:
                box["q"].run_pending(timeout=WAIT)  # runs the first call
            else:
                box["q"] = Queue()
            ready.set()
            go.wait(WAIT)

        thread = threading.Thread(target=owner)
        if given:
            box["q"] = Queue(owner=thread)
            connected(s, lambda x: x, box["q"])
            (first,) = s.emit(0)
        thread.start()
        assert ready.wait(WAIT)
        if not given:
            connected(s, lambda x: x, box["q"])
        (future,) = s.emit(1)
        go.set()
        thread.join(WAIT)
        with pytest.raises(concurrent.futures.CancelledError):
            future.result(WAIT)
        with pytest.raises(RuntimeError, match="closed"):
            s.emit(2)
        assert not given or first.result(WAIT) == 0

    # Given to a thread that ended without running it: the call waiting is
    # cancelled, and the emission refused, at the next scheduling.
    s, thread = Signal(), threading.Thread(target=lambda: None)
    q = Queue(owner=thread)
    connected(s, lambda x: x, q)
    (future,) = s.emit(1)
    thread.start()
    thread.join(WAIT)
    with pytest.raises(RuntimeError, match="owning thread has ended"):
        s.emit(2)
    assert future.cancelled() and q.is_closed()


@pytest.mark.threads
def test_queue_listener_threads_emit_owner_drains():
    s, q, log, n = Signal(), Queue(), [], 1000
    connected(s, lambda i, k: log.append((i, k)) or k, q)
    futures = [None] * 4

    def emit(i):
        futures[i] = [s.emit(i, k)[0] for k in range(n)]

    emitters = threading.Thread(target=run_threads, args=(emit, 4))
    emitters.start()
    deadline = time.monotonic() + WAIT
    while len(log) < 4 * n and time.monotonic() < deadline:
        q.run_pending(timeout=0.1)
    emitters.join(WAIT)
    assert sorted(log) == [(i, k) for i in range(4) for k in range(n)]
    for i in range(4):
        assert [k for j, k in log if j == i] == list(range(n))
        assert [f.result(WAIT) for f in futures[i]] == list(range(n))


# qt() -------------------------------------------------------------------


def qt_loads(binding):
    """Whether the binding is installed and loads here: a wheel may lack a
    system library it needs (libglib, say), so it is tried in a child."""
    if importlib.util.find_spec(binding) is None:
        return False
    done = subprocess.run([sys.executable, "-c", f"import {binding}.QtCore"],
                          capture_output=True, timeout=60, env=without_leak_check())
    return done.returncode == 0


@pytest.mark.parametrize("binding", ["PySide6", "PyQt6"])
def test_qt_dispatcher_in_a_child(binding):
    if not qt_loads(binding):
        pytest.skip(f"{binding} is not installed or does not load here")
    out, _ = run_child("qt_dispatch_child.py", binding, timeout=60, env=without_leak_check())
    assert out.split() == ["no-qt", "no-app", "gui-thread", "ordered", "dropped-with-object",
                           "receivers-released", "dropped-at-quit", "refused-after-quit",
                           "listener-on-gui-thread", "listener-cancelled-with-object",
                           "dropped-with-thread"]


def test_qt_needs_a_qt_binding():
    if any(name in sys.modules for name in ("PySide6.QtCore", "PyQt6.QtCore")):
        pytest.skip("a Qt binding is imported in this process")
    from tarnwick.dispatch import qt
    with pytest.raises(RuntimeError, match="import PySide6 or PyQt6"):
        qt()
