"""listener(..., throttle=SECONDS) and listener(..., debounce=SECONDS): at most
one call per interval, or one call once the emissions stop, on the thread the
user chose.

Every interval is at least 0.1 s and every wait is bounded; nothing here
asserts how fast anything is, only what was called, with what, where and how
often (a count bounded by the time that actually passed)."""

import asyncio
import concurrent.futures
import contextlib
import gc
import math
import os
import sys
import sysconfig
import threading
import time
import weakref

import pytest

from support.helpers import gc_clear, run_child
from support.threads import run_threads
from tarnwick import Signal
from tarnwick.dispatch import Queue
from test_loop_delivery import running_loop, running_trio

WAIT = 10  # seconds; every wait below is bounded
TIMER = "tarnwick-timers"


def until(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


class Calls:
    """A callback that records (thread name, args, kwargs) of each call."""

    def __init__(self, result="r"):
        self.calls, self.result = [], result

    def __call__(self, *args, **kwargs):
        self.calls.append((threading.current_thread().name, args, kwargs))
        return self.result

    def args(self):
        return [args for _, args, _ in self.calls]


class Arg:
    """An argument whose release a weak reference shows."""


@contextlib.contextmanager
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u))
    yield seen


# --- throttle ---------------------------------------------------------------

def test_throttle_calls_at_once_then_once_more_with_the_last_of_the_interval():
    s, cb = Signal(), Calls()
    assert s.listener(cb, throttle=0.5) is cb
    assert [s.emit(1), s.emit(2), s.emit(3, k=4)] == [["r"], [None], [None]]
    until(lambda: len(cb.calls) == 2)
    assert cb.calls == [(threading.current_thread().name, (1,), {}), (TIMER, (3,), {"k": 4})]
    time.sleep(0.6)  # the interval the trailing call began ends with nothing pending
    assert len(cb.calls) == 2
    assert s.emit(5) == ["r"] and cb.args()[-1] == (5,)


def test_throttle_starts_at_most_one_call_per_interval_and_loses_the_last():
    s, cb, interval = Signal(), Calls(), 0.15
    s.listener(cb, throttle=interval)
    before = time.monotonic()
    n = 0
    while time.monotonic() - before < 0.6:
        n += 1
        s.emit(n)
        time.sleep(0.005)
    until(lambda: cb.args()[-1] == (n,))
    after = time.monotonic()
    assert len(cb.calls) - 1 <= (after - before) / interval
    assert [a for (a,) in cb.args()] == sorted(a for (a,) in cb.args())


def test_failures_at_once_follow_on_error_and_delayed_ones_reach_the_hooks(monkeypatch):
    s = Signal()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append((threading.current_thread().name, exc.args, cb)))

    def fails(x):
        raise ValueError(x)

    s.listener(fails, throttle=0.3)
    with pytest.raises(ValueError):
        s.emit(1)
    assert s.emit(2) == [None]
    until(lambda: len(hooked) == 2)
    assert hooked == [(threading.current_thread().name, (1,), fails), (TIMER, (2,), fails)]
    # With no hook, a delayed call's failure goes to sys.unraisablehook.
    s.clear_error_hooks()
    with unraisable(monkeypatch) as seen:
        time.sleep(0.35)
        assert type(s.emit(3, on_error="collect")[0]) is ValueError
        s.emit(4)
        until(lambda: seen)
    assert seen[0].exc_value.args == (4,) and "delayed call of" in seen[0].err_msg


# --- debounce ---------------------------------------------------------------

def test_debounce_calls_once_with_the_last_arguments_after_the_emissions_stop():
    s, cb = Signal(), Calls()
    s.listener(cb, debounce=0.2)
    assert [s.emit(i, k=i) for i in range(5)] == [[None]] * 5
    until(lambda: cb.calls)
    time.sleep(0.3)
    assert cb.calls == [(TIMER, (4,), {"k": 4})]
    s.emit("again")
    until(lambda: len(cb.calls) == 2)
    assert cb.args()[1] == ("again",)


def test_each_emission_restarts_the_interval():
    s, cb, interval = Signal(), Calls(), 0.3
    s.listener(cb, debounce=interval)
    gaps, last = [], time.monotonic()
    for i in range(8):
        time.sleep(0.05)
        s.emit(i)
        gaps.append(time.monotonic() - last)
        last = time.monotonic()
    if max(gaps) < interval:  # a loaded machine may have left a gap: then it may call
        assert cb.calls == []
    until(lambda: cb.args()[-1:] == [(7,)])


def test_flush_makes_the_pending_call_now_once_and_raises_its_failure():
    s, cb = Signal(), Calls()
    decorate = s.listener(debounce=60)
    assert decorate(cb) is cb and decorate.flush() is None and cb.calls == []
    assert "debounce=60.0" in repr(decorate)
    s.emit(1)
    s.emit(2)
    assert decorate.flush() is None and cb.calls == [(threading.current_thread().name, (2,), {})]
    decorate.flush()
    assert len(cb.calls) == 1
    s.emit(3)
    run_threads(lambda i: decorate.flush(), 2)  # two threads flushing make it once
    assert cb.args() == [(2,), (3,)]
    # A flushed call's failure reaches the hooks and the caller; others still flush.
    hooked = []
    s.on_error(lambda exc, c: hooked.append(c))

    def fails(x):
        raise KeyError(x)

    decorate(fails)
    s.emit(4)
    with pytest.raises(KeyError):
        decorate.flush()
    assert hooked == [fails] and cb.args()[-1] == (4,)
    assert s.listener(priority=1).flush() is None  # no rate option: nothing to flush


# --- targets ----------------------------------------------------------------

@contextlib.contextmanager
def queue_worker():
    thread = threading.Thread(target=lambda: inbox.run_forever(), name="queue-thread")
    inbox = Queue(owner=thread)
    thread.start()
    try:
        yield inbox
    finally:
        inbox.close()
        thread.join(WAIT)


TARGETS = {"asyncio": (running_loop, "loop-thread"), "queue": (queue_worker, "queue-thread"),
           "trio": (running_trio, "trio-thread")}


@pytest.mark.parametrize("kind", list(TARGETS))
def test_delayed_calls_and_flushes_run_on_the_targets_thread(kind, monkeypatch):
    make, name = TARGETS[kind]
    with make() as target:
        s, cb, hooked = Signal(), Calls(), []
        decorate = s.listener(throttle=0.3, loop=target)
        decorate(cb)
        (future,) = s.emit(1)
        assert isinstance(future, concurrent.futures.Future) and future.result(WAIT) == "r"
        assert s.emit(2) == [None]
        until(lambda: len(cb.calls) == 2)
        s.emit(3)
        decorate.flush()  # off the target's thread: queued there
        until(lambda: len(cb.calls) == 3)
        assert cb.calls == [(name, (1,), {}), (name, (2,), {}), (name, (3,), {})]

        def fails(x):
            raise ValueError(x)

        s.disconnect_all()
        s.listener(fails, debounce=0.1, loop=target)
        with unraisable(monkeypatch) as seen:
            s.emit(4)
            until(lambda: seen)  # no hook: not lost in a future nobody holds
        assert seen[0].exc_value.args == (4,)
        s.on_error(lambda exc, c: hooked.append((threading.current_thread().name, c)))
        s.emit(5)
        until(lambda: hooked)
        assert hooked == [(name, fails)]


def test_an_async_callback_is_awaited_on_a_loop_and_refused_without_one():
    s, hooked = Signal(), []
    s.on_error(lambda exc, cb: hooked.append(type(exc)))
    done = []

    async def slow(x):
        await asyncio.sleep(0)
        done.append(x)

    with running_loop() as loop:
        s.listener(slow, debounce=0.1, loop=loop)
        s.emit(1)
        until(lambda: done == [1])
    s.disconnect_all()
    s.listener(slow, debounce=0.1)  # nobody to await it: closed, and TypeError
    s.emit(2)
    until(lambda: hooked)
    assert hooked == [TypeError] and done == [1]


# --- threads ----------------------------------------------------------------

@pytest.mark.threads
def test_eight_threads_into_one_debounce_make_one_call_with_the_last():
    s, cb, interval = Signal(), Calls(), 0.5
    s.listener(cb, debounce=interval)
    done = threading.Barrier(8)
    threads = threading.active_count()
    start = time.monotonic()

    def body(i):
        for n in range(200):
            s.emit(i, n)
        if done.wait(WAIT) == 0:
            s.emit("last")

    run_threads(body, 8)
    burst = time.monotonic() - start
    until(lambda: cb.args()[-1:] == [("last",)])
    time.sleep(interval + 0.1)
    if burst < interval:
        assert cb.args() == [("last",)]
    assert threading.active_count() <= threads + 1  # the timer thread, if it was not running


@pytest.mark.threads
def test_a_throttled_listener_never_runs_two_calls_at_once():
    s, interval = Signal(), 0.1
    inside, most, calls, lock = [0], [0], [], threading.Lock()

    def slow(*args):
        with lock:
            inside[0] += 1
            most[0] = max(most[0], inside[0])
            calls.append(args)
        time.sleep(0.15)  # longer than the interval: the fire finds it running
        with lock:
            inside[0] -= 1

    s.listener(slow, throttle=interval)
    before = time.monotonic()

    def body(i):
        for n in range(30):
            s.emit(i, n)
            time.sleep(0.01)

    run_threads(body, 8)
    s.emit("last")
    until(lambda: calls[-1] == ("last",))
    after = time.monotonic()
    assert most == [1] and len(calls) - 1 <= (after - before) / interval


# --- counts and options -----------------------------------------------------

def test_times_counts_calls_made_and_the_last_disconnects():
    s, cb = Signal(), Calls()
    s.listener(cb, throttle=0.2, times=2)
    assert [s.emit(1), s.emit(2), s.emit(3)] == [["r"], [None], [None]]
    assert s.connections()[0][3] == 1
    until(lambda: len(s) == 0)
    assert cb.args() == [(1,), (3,)]
    once = Calls()
    s.listener(once, debounce=0.1, times=1)
    s.emit(1)
    s.emit(2)
    until(lambda: len(s) == 0)
    assert once.args() == [(2,)]


def test_weak_priority_sender_max_args_and_unique_combine():
    class Owner:
        def __init__(self):
            self.seen = []

        def method(self, *args):
            self.seen.append(args)
            return "m"

    s, a, b, owner = Signal(), Arg(), Arg(), Owner()
    s.connect(lambda *args: "low")
    s.listener(owner.method, weak=True, throttle=0.3, priority=5, sender=a, max_args=2)
    s.listener(owner.method, throttle=1, unique=True)  # equal to the one connected
    assert len(s) == 2 and s.connections()[0][1] == owner.method
    big = Arg()
    probe = weakref.ref(big)
    assert s.emit(a, 1) == ["m", "low"] and s.emit(b, 2) == ["low"]
    assert s.emit(a, 3, big) == [None, "low"]
    del big
    assert probe() is None  # max_args trimmed it before the limiter kept anything
    until(lambda: len(owner.seen) == 2)
    assert owner.seen == [(a, 1), (a, 3)]  # the filtered emission neither called nor counted
    s.emit(a, 4)  # pending; then its callback dies
    del owner
    gc.collect()
    time.sleep(0.4)
    assert s.emit(a, 5) == ["low"] and len(s) == 1
    assert s.disconnect_callback(s.connections()[0][1]) == 1


def test_blocked_emissions_neither_call_nor_restart_and_paused_ones_replay_through_it():
    s, cb = Signal(), Calls()
    s.listener(cb, debounce=0.2)
    s.emit(1)
    with s.blocked():
        s.emit(2)
    until(lambda: cb.calls)
    assert cb.args() == [(1,)]
    with s.paused():
        s.emit(3)
        s.emit(4)
    until(lambda: len(cb.calls) == 2)
    assert cb.args() == [(1,), (4,)]


def test_pending_arguments_are_released_when_made_replaced_or_dropped():
    s, cb = Signal(), Calls()
    decorate = s.listener(debounce=60)
    decorate(lambda *args: None)
    first, second = Arg(), Arg()
    probes = [weakref.ref(first), weakref.ref(second)]
    s.emit(first)
    s.emit(second)
    del first
    assert probes[0]() is None and probes[1]() is not None  # replaced
    decorate.flush()
    del second
    assert probes[1]() is None  # made
    kept = Arg()
    probe = weakref.ref(kept)
    s.emit(kept)
    del kept
    assert s.disconnect_all() == 1
    assert probe() is None  # dropped with its disconnected limiter
    assert decorate.flush() is None


def test_a_decorator_that_connects_and_disconnects_for_ever_keeps_nothing_of_the_gone():
    def dead_weak_references():
        gc.collect()
        return sum(1 for o in gc.get_objects() if type(o) is weakref.ref and o() is None)

    s = Signal()
    decorate = s.listener(throttle=60)
    before = dead_weak_references()
    for _ in range(2000):
        decorate(print)
        s.disconnect_all()
    assert dead_weak_references() - before < 100


def test_the_users_callable_is_what_listings_hooks_and_comparisons_see():
    s, cb = Signal(), Calls()
    s.listener(cb, throttle=1)
    s.listener(cb, debounce=1, unique=True)
    assert [c[1:] for c in s.connections()] == [(cb, 0, None)]
    assert s.disconnect_callback(cb) == 1 and len(s) == 0


# --- bad input --------------------------------------------------------------

@pytest.mark.parametrize("value, error, text", [
    (True, TypeError, "expected a number of seconds, got bool"),
    ("1", TypeError, "expected a number of seconds, got str"),
    (0, ValueError, "expected a finite number of seconds above 0, got 0"),
    (-0.5, ValueError, "expected a finite number of seconds above 0, got -0.5"),
    (math.nan, ValueError, "expected a finite number of seconds above 0, got nan"),
    (math.inf, ValueError, "expected a finite number of seconds above 0, got inf"),
    (10**400, ValueError, f"expected a finite number of seconds above 0, got {10**400}"),
])
@pytest.mark.parametrize("name", ["throttle", "debounce"])
def test_a_bad_interval_connects_nothing(name, value, error, text):
    s = Signal()
    with pytest.raises(error) as info:
        s.listener(print, **{name: value})
    assert str(info.value) == f"argument '{name}': {text}"
    with pytest.raises(error):
        s.listener(**{name: value})
    assert len(s) == 0


def test_throttle_and_debounce_together_connect_nothing():
    s = Signal()
    with pytest.raises(TypeError, match="throttle and debounce cannot be given together"):
        s.listener(print, throttle=1, debounce=1)
    s.listener(print, throttle=None, debounce=None)
    assert s.emit(1) == [None] and len(s) == 1


# --- shutdown, fork, the collector -----------------------------------------

@pytest.mark.parametrize("how", ["", "reloaded"])
def test_calls_pending_or_running_at_exit_neither_hang_nor_warn(how):
    out, err = run_child("rate_exit_child.py", *filter(None, [how]), flags=("-W", "error"),
                         timeout=30)
    assert out.split() == ["at-once", "exiting", "finished"] and err == ""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.skipif("thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""),
                    reason="ThreadSanitizer refuses new threads after a multi-threaded fork")
def test_a_forked_child_keeps_its_pending_calls_and_its_own_timer():
    out, _ = run_child("rate_fork_child.py", timeout=60)
    assert sorted(out.split()) == ["child", "child-after", "parent", "warm-up"]
    # A call the parent's timer thread was making never ends in the child.
    out, _ = run_child("rate_fork_child.py", "running", timeout=60)
    assert {"child:pending", "child:emitted"} <= set(out.split())


def test_limiters_that_go_leave_no_timer_entries_behind():
    from tarnwick import _timers

    def connect_emit_and_drop():
        s = Signal()
        s.listener(print, debounce=3600)
        s.emit("never")

    connect_emit_and_drop()
    gc.collect()
    before = len(_timers._timers._heap)
    for _ in range(200):
        connect_emit_and_drop()
    gc.collect()
    assert len(_timers._timers._heap) - before < 100  # not one per limiter gone


def test_a_limiter_the_collector_cleared_refuses_use_without_crashing():
    out, _ = run_child("cleared_delivery_child.py", "RateLimiter", timeout=60)
    assert out.split() == ["ok"]
