"""Fault injection: callbacks and hooks that raise anything, finalizers that
re-enter the signal releasing them, weak referents dying in other threads,
allocation failure at every allocation of every operation, and bad arguments
of every type."""

from __future__ import annotations

import asyncio
import contextlib
import functools
import gc
import operator
import sys
import sysconfig
import threading
import time
import warnings
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import compile_cxx, gc_clear, run_child
import faultinject
from faultinject import released
from signal_model import SignalModel
from tarnwick import Signal, SignalConnection


@contextlib.contextmanager
def no_unraisable():
    """Fails if anything reaches sys.unraisablehook (a finalizer that raised,
    a coroutine that was never awaited, ...) while the block runs."""
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.exc_value, u.object))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            yield seen
            gc.collect()
    finally:
        sys.unraisablehook = old
    assert seen == [], f"unraisable: {seen}"


# ---------------------------------------------------------------------------
# Callbacks raising every kind of exception


class CustomBase(BaseException):
    pass


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("str() of this exception fails")

    __repr__ = __str__


EXCEPTIONS = {
    "ValueError": lambda: ValueError("v"),
    "ZeroDivisionError": lambda: ZeroDivisionError("z"),
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": lambda: SystemExit(3),
    "GeneratorExit": GeneratorExit,
    "StopIteration": lambda: StopIteration("value"),
    "StopAsyncIteration": StopAsyncIteration,
    "CancelledError": asyncio.CancelledError,
    "MemoryError": MemoryError,
    "RecursionError": lambda: RecursionError("deep"),
    "ExceptionGroup": lambda: ExceptionGroup("group", [ValueError(1), KeyError(2)]),
    "BaseExceptionGroup": lambda: BaseExceptionGroup("bgroup", [KeyboardInterrupt()]),
    "OSError": lambda: OSError(2, "no such file"),
    "UnicodeDecodeError": lambda: UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"),
    "CustomBase": CustomBase,
    "Unprintable": UnprintableError,
}


class RaisingCase:
    """first, once-before, raiser, after, once-after: in that call order."""

    def __init__(self, make_exc):
        self.exc = make_exc()
        self.s = Signal("faults")
        self.log = []
        self.hooked = []
        self.s.on_error(lambda exc, cb: self.hooked.append((exc, cb)))
        self.s.connect(self.recorder("first"), priority=1)
        self.s.connect_once(self.recorder("once-before"), priority=1)

        def raiser(*args, **kwargs):
            self.log.append("raiser")
            raise self.exc

        self.raiser = raiser
        self.s.connect(raiser)
        self.s.connect(self.recorder("after"), priority=-1)
        self.s.connect_once(self.recorder("once-after"), priority=-1)
        self.extra = 0  # permanent connections a test adds

    def recorder(self, tag):
        def cb(*args, **kwargs):
            self.log.append(tag)
            return tag

        return cb

    def check_fast_fail(self, info):
        assert info.value is self.exc
        assert self.log == ["first", "once-before", "raiser"]
        assert self.hooked == [(self.exc, self.raiser)]
        # As in the model: the emission's snapshot used up the later one-shot.
        assert len(self.s) == 3 + self.extra

    def check_collect(self, results):
        assert results == ["first", "once-before", self.exc, "after", "once-after"]
        assert self.log == ["first", "once-before", "raiser", "after", "once-after"]
        assert self.hooked == [(self.exc, self.raiser)]
        assert len(self.s) == 3 + self.extra

    def check_next_emission(self, results):
        assert results == ["first", self.exc, "after"]


@pytest.mark.parametrize("kind", EXCEPTIONS)
class TestCallbackRaisesAnything:
    def test_emit_fast_fail(self, kind):
        case = RaisingCase(EXCEPTIONS[kind])
        with pytest.raises(BaseException) as info:
            case.s.emit(1, k=2)
        case.check_fast_fail(info)
        case.check_next_emission(case.s.emit(on_error="collect"))

    def test_emit_collect(self, kind):
        case = RaisingCase(EXCEPTIONS[kind])
        case.check_collect(case.s.emit(1, on_error="collect", k=2))
        case.check_next_emission(case.s.emit(on_error="collect"))

    def test_emit_async_fast_fail(self, kind):
        case = RaisingCase(EXCEPTIONS[kind])
        started = []

        async def pending(*args, **kwargs):
            started.append(True)
            return "never"

        case.s.connect(pending, priority=2)  # returns a coroutine before the raiser runs

        async def main():
            with pytest.raises(BaseException) as info:
                case.s.emit_async(1, k=2)
            return info

        with no_unraisable():
            info = asyncio.run(main())
        assert started == []  # closed, never run
        assert info.value is case.exc
        assert case.log == ["first", "once-before", "raiser"]
        assert case.hooked == [(case.exc, case.raiser)]
        assert len(case.s) == 4

    def test_emit_async_collect(self, kind):
        case = RaisingCase(EXCEPTIONS[kind])

        async def later(*args, **kwargs):
            await asyncio.sleep(0)
            return "awaited"

        case.s.connect(later, priority=2)
        case.extra = 1

        async def main():
            return await case.s.emit_async(1, on_error="collect", k=2)

        with no_unraisable():
            results = asyncio.run(main())
        assert results[0] == "awaited"
        case.check_collect(results[1:])


AWAITABLE_FAILURES = {
    "ValueError": lambda: ValueError("async"),
    "CancelledError": asyncio.CancelledError,
    "ExceptionGroup": lambda: ExceptionGroup("g", [ValueError()]),
    "StopIteration": lambda: StopIteration("turned into RuntimeError by the coroutine"),
    "Unprintable": UnprintableError,
}


@pytest.mark.parametrize("kind", AWAITABLE_FAILURES)
@pytest.mark.parametrize("mode", ["fast_fail", "collect"])
def test_awaitable_raises(kind, mode):
    err = AWAITABLE_FAILURES[kind]()
    s = Signal()
    hooked = []
    s.on_error(lambda *a: hooked.append(a))
    finished = []

    async def failing():
        await asyncio.sleep(0)
        raise err

    async def slow():
        await asyncio.sleep(0.01)
        finished.append(True)
        return "slow"

    s.connect(failing)
    s.connect(slow)
    s.connect(lambda: "plain")
    expected = RuntimeError if kind == "StopIteration" else type(err)

    async def main():
        coro = s.emit_async(on_error=mode)
        if mode == "fast_fail":
            with pytest.raises(expected) as info:
                await coro
            return info.value
        return await coro

    with no_unraisable():
        got = asyncio.run(main())
    if mode == "fast_fail":
        failure = got
    else:
        failure, rest = got[0], got[1:]
        assert rest == ["slow", "plain"]
    assert type(failure) is expected
    if expected is RuntimeError:
        assert failure.__cause__ is err
    elif kind != "CancelledError":  # asyncio makes a fresh one for a cancelled task
        assert failure is err
    assert finished == [True]
    assert hooked == []


# ---------------------------------------------------------------------------
# Finalizers that re-enter the signal releasing them


ACTIONS = {
    "noop": (lambda s: None, 0),
    "connect": (lambda s: s.connect(print), 1),
    "connect_once": (lambda s: s.connect_once(print), 1),
    "disconnect_keeper": (lambda s: s.disconnect(0), -1),
    "emit": (lambda s: s.emit(on_error="collect"), 0),
    "emit_fast_fail": (lambda s: s.emit(), 0),
    "on_error": (lambda s: s.on_error(print), 0),
    "clear_error_hooks": (lambda s: s.clear_error_hooks(), 0),
    "connected_exit": (lambda s: s.connected(print).__exit__(None, None, None), 0),
    "len_repr": (lambda s: (len(s), repr(s)), 0),
}


class Reenter:
    """A callable (or hook, or return value) whose finalizer uses a signal."""

    def __init__(self, signal, action, log):
        self.signal = signal
        self.action = action
        self.log = log

    def __call__(self, *args, **kwargs):
        return None

    def __del__(self):
        try:
            self.action(self.signal)
        except BaseException as e:  # noqa: BLE001 - recorded for the test
            self.log.append(e)
        else:
            self.log.append("del")


class ReenterAwaitable(Reenter):
    def __await__(self):
        if False:  # pragma: no cover
            yield
        return "awaited"

    def close(self):
        self.log.append("closed")


def release_by_one_shot(s, make):
    s.connect_once(make())
    s.emit()


def release_by_last_finite_call(s, make):
    s.connect_finite(make(), 2)
    s.emit()
    s.emit()


def release_by_disconnect(s, make):
    s.disconnect(s.connect(make()))


def release_by_with_block(s, make):
    with s.connected(make()):
        pass


def release_by_clear_error_hooks(s, make):
    s.on_error(make())
    s.clear_error_hooks()


def release_by_collector_clear(s, make):
    s.connect(make())
    s.connect_once(make())
    s.on_error(make())
    gc_clear(s)


def release_by_aborted_emission(s, make):
    # The first callback disconnects the finalizing one, so only the
    # emission's own list holds it when the raiser stops the emission.
    # One-shots, so that a finalizer's own emission does not meet them again.
    ids = []
    s.connect_once(lambda: s.disconnect(ids[0]), priority=2)
    s.connect_once(lambda: 1 / 0, priority=1)
    ids.append(s.connect(make()))
    with pytest.raises(ZeroDivisionError):
        s.emit()


def release_by_dropped_results(s, make):
    # A result whose finalizer re-enters, dropped when a later callback fails.
    value = [make()]
    s.connect_once(lambda: value.pop(), priority=2)
    s.connect_once(lambda: 1 / 0, priority=1)
    with pytest.raises(ZeroDivisionError):
        s.emit()


RELEASES = {
    "one_shot": release_by_one_shot,
    "last_finite_call": release_by_last_finite_call,
    "disconnect": release_by_disconnect,
    "with_block": release_by_with_block,
    "clear_error_hooks": release_by_clear_error_hooks,
    "collector_clear": release_by_collector_clear,
    "aborted_emission": release_by_aborted_emission,
    "dropped_results": release_by_dropped_results,
}


def run_release(release, action):
    log = []
    s = Signal("released")
    assert s.connect(print) == 0  # the keeper, id 0
    with no_unraisable():
        release(s, lambda: Reenter(s, action, log))
        gc.collect()
    return s, log


@functools.cache
def release_baseline(release):
    """(listeners left, finalizers run) when the finalizers do nothing."""
    base, base_log = run_release(RELEASES[release], ACTIONS["noop"][0])
    return len(base), len(base_log)


@pytest.mark.parametrize("release", RELEASES)
@pytest.mark.parametrize("action", ACTIONS)
def test_finalizer_reenters_the_releasing_signal(release, action):
    do, delta = ACTIONS[action]
    base_len, base_finalized = release_baseline(release)
    s, log = run_release(RELEASES[release], do)
    assert log and log == ["del"] * base_finalized, log
    expected = base_len + delta * len(log)
    if release == "collector_clear" and action == "disconnect_keeper":
        expected = base_len  # the keeper went with the clear already
    assert len(s) == expected
    assert repr(s) == f'Signal(name="released", listeners={expected})'
    # Still fully usable; the emission uses up the one-shots added above.
    s.connect_once(print)
    s.emit(on_error="collect")
    assert len(s) == expected - (len(log) if action == "connect_once" else 0)


def test_collector_finalizes_a_cycle_that_reenters():
    log = []

    class Owner:
        def __init__(self):
            self.signal = Signal("cycle")
            self.signal.connect(self.method)
            self.signal.on_error(self.method)
            self.signal.connect(Reenter(self.signal, lambda s: (s.connect(print), s.emit()), log))
            self.signal.on_error(Reenter(self.signal, lambda s: s.clear_error_hooks(), log))

        def method(self, *args):
            pass

    with no_unraisable():
        for _ in range(20):
            Owner()
        gc.collect()
        gc.collect()
    assert log.count("del") == 40


def test_emit_async_closes_reentering_awaitables_on_failure():
    log = []
    s = Signal()
    def make(action):
        made = []

        def callback():
            if made:
                return None  # only the first emission returns an awaitable
            made.append(True)
            return ReenterAwaitable(s, action, log)

        return callback

    s.connect(make(lambda sig: sig.emit(on_error="collect")))
    s.connect(make(lambda sig: sig.on_error(print)))
    s.connect(lambda: 1 / 0)

    async def main():
        with pytest.raises(ZeroDivisionError):
            s.emit_async()

    with no_unraisable():
        asyncio.run(main())
    assert sorted(log, key=str) == ["closed", "closed", "del", "del"]
    assert len(s) == 3


# ---------------------------------------------------------------------------
# Hooks that raise, register hooks, clear hooks


HOOK_EXCEPTIONS = ["ValueError", "KeyboardInterrupt", "SystemExit", "GeneratorExit", "CustomBase",
                   "Unprintable", "BaseExceptionGroup"]


def hook_behaviours(s, seen):
    def raising(kind):
        def hook(exc, cb):
            seen.append(kind)
            raise EXCEPTIONS[kind]()

        return hook

    def registering(exc, cb):
        seen.append("registering")
        s.on_error(lambda e, c: seen.append("registered"))

    def clearing(exc, cb):
        seen.append("clearing")
        s.clear_error_hooks()

    def emitting(exc, cb):
        seen.append("emitting")
        if seen.count("emitting") < 3:
            s.emit(on_error="collect")

    def clearing_then_raising(exc, cb):
        seen.append("clearing-then-raising")
        s.clear_error_hooks()
        raise KeyboardInterrupt

    behaviours = {f"raises_{kind}": raising(kind) for kind in HOOK_EXCEPTIONS}
    behaviours.update(registering=registering, clearing=clearing, emitting=emitting,
                      clearing_then_raising=clearing_then_raising)
    return behaviours


HOOK_NAMES = [f"raises_{k}" for k in HOOK_EXCEPTIONS] + [
    "registering", "clearing", "emitting", "clearing_then_raising"]


@pytest.mark.parametrize("how", ["emit", "emit_async"])
@pytest.mark.parametrize("mode", ["fast_fail", "collect"])
@pytest.mark.parametrize("behaviour", HOOK_NAMES)
def test_misbehaving_hook_never_changes_the_outcome(behaviour, mode, how, capsys):
    s = Signal()
    seen = []
    s.on_error(hook_behaviours(s, seen)[behaviour])
    s.on_error(lambda exc, cb: seen.append("second"))
    err = ValueError("from the callback")
    s.connect(lambda: "before")
    s.connect(lambda: (_ for _ in ()).throw(err))
    s.connect(lambda: "after")

    def emit():
        if how == "emit":
            return s.emit(on_error=mode)

        async def main():
            return await s.emit_async(on_error=mode)

        return asyncio.run(main())

    with no_unraisable():
        if mode == "fast_fail":
            with pytest.raises(ValueError) as info:
                emit()
            assert info.value is err
        else:
            assert emit() == ["before", err, "after"]
    # The walk runs over the hooks as they were when the failure happened,
    # so the second hook hears of it whatever the first one did.
    assert seen[:2] == [behaviour.removeprefix("raises_").replace("_", "-"), "second"] or (
        behaviour == "emitting" and seen[:2] == ["emitting", "emitting"])
    printed = capsys.readouterr().err
    if behaviour.startswith("raises_"):
        kind = behaviour.removeprefix("raises_")
        name = "UnprintableError" if kind == "Unprintable" else kind
        assert name in printed, printed
    elif behaviour == "clearing_then_raising":
        assert "KeyboardInterrupt" in printed, printed
    assert len(s) == 3


def test_hook_printing_with_a_broken_excepthook(monkeypatch):
    def broken_excepthook(*args):
        raise RuntimeError("excepthook is broken")

    monkeypatch.setattr(sys, "excepthook", broken_excepthook)
    s = Signal()
    s.on_error(lambda exc, cb: (_ for _ in ()).throw(SystemExit(1)))
    s.on_error(lambda exc, cb: (_ for _ in ()).throw(KeyError("k")))
    s.connect(lambda: 1 / 0)
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u.exc_type)
    try:
        [got] = s.emit(on_error="collect")
    finally:
        sys.unraisablehook = old
    assert type(got) is ZeroDivisionError
    # Each hook's exception goes to the broken excepthook; its failure, then
    # the hook's exception, are unraisable, and nothing ends the process.
    assert seen == [RuntimeError, SystemExit, RuntimeError, KeyError]


@pytest.mark.threads
def test_hooks_registered_and_cleared_from_many_threads():
    s = Signal()
    stop = time.monotonic() + 0.5
    errors = []
    s.connect(lambda: 1 / 0)

    def churn():
        try:
            while time.monotonic() < stop:
                s.on_error(lambda e, c: s.on_error(lambda *a: None))
                [got] = s.emit(on_error="collect")
                assert type(got) is ZeroDivisionError
                s.clear_error_hooks()
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=churn, daemon=True) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive()
    assert errors == []


# ---------------------------------------------------------------------------
# Weak referents dying in other threads in the middle of emissions


class Listener:
    __slots__ = ("n", "once", "calls", "__weakref__")

    def __init__(self, n, once):
        self.n = n
        self.once = once
        self.calls = 0

    def method(self, *args, **kwargs):
        self.calls += 1
        return self.n


@pytest.mark.threads
def test_weak_referents_die_in_another_thread_during_emissions():
    s = Signal()
    held = {}
    lock = threading.Lock()
    stop = threading.Event()
    errors = []
    rounds = 200

    def emitter():
        try:
            while not stop.is_set():
                results = s.emit(on_error="collect")
                assert all(isinstance(r, int) for r in results), results
                assert results == sorted(results), "out of order"
        except BaseException as e:  # noqa: BLE001
            errors.append(e)
            stop.set()

    def killer():
        try:
            n = 0
            for _ in range(rounds):
                batch = {}
                for _ in range(20):
                    obj = Listener(n, once=n % 3 == 0)
                    n += 1
                    batch[obj.n] = obj
                    if obj.once:
                        s.connect_once(obj.method, weak=True)
                    else:
                        s.connect(obj.method, weak=True)
                with lock:
                    held.update(batch)
                del obj, batch
                with lock:
                    doomed = [k for k in held if k % 2 == 0 or k % 7 == 0]
                    for k in doomed:
                        del held[k]  # dies here, in this thread, mid-emission elsewhere
                if n % 100 == 0:
                    gc.collect()
                if stop.is_set():
                    break
        except BaseException as e:  # noqa: BLE001
            errors.append(e)
        finally:
            stop.set()

    threads = [threading.Thread(target=emitter, daemon=True) for _ in range(2)]
    threads.append(threading.Thread(target=killer, daemon=True))
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "hung"
    assert errors == []
    gc.collect()
    # Quiescence: the next emission drops every dead entry and calls every
    # live one (one-shots included, if still pending) exactly as connected.
    before = {k: o.calls for k, o in held.items()}
    results = s.emit()
    assert sorted(results) == results
    assert set(results) <= set(held)
    for k, o in held.items():
        if o.once:
            assert o.calls == 1, "a pending weak one-shot did not fire exactly once"
        else:
            assert o.calls == before[k] + 1
    assert len(s) == sum(1 for o in held.values() if not o.once)


# ---------------------------------------------------------------------------
# Allocation failure
#
# _testcapi.set_nomemory(start, stop) makes the interpreter's allocators fail
# from their start-th call on (until the stop-th, or for good when stop is 0).
# Each operation is run once for every allocation it makes, failing first
# just that allocation, then every allocation from it on. C++ operator new is
# not routed through those allocators; its failure paths are exercised with
# RLIMIT_AS in test_gc.py.

try:
    import _testcapi

    set_nomemory = _testcapi.set_nomemory
    remove_mem_hooks = _testcapi.remove_mem_hooks
except (ImportError, AttributeError):
    set_nomemory = remove_mem_hooks = None

needs_nomemory = [
    pytest.mark.skipif(set_nomemory is None, reason="needs _testcapi.set_nomemory"),
    # In 3.13t, PyList_New frees a list whose item array it failed to
    # allocate before setting ob_item, and list_dealloc then walks garbage
    # (Objects/listobject.c, Py_GIL_DISABLED branch): any failing allocation
    # of a list's items crashes the interpreter, signal or not.
    pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                       reason="CPython 3.13t crashes in PyList_New when allocations fail"),
]

def attempt(op, start, stop):
    """Runs op() with allocations number start..stop-1 failing (stop 0: every
    one from start on). Nothing else runs inside the window, not even the
    collector or building the result; both happen once the hooks are gone."""
    out = err = None
    gc.disable()
    set_nomemory(start, stop)
    try:
        try:
            out = op()
        except BaseException as e:  # noqa: BLE001 - sorted out by the caller
            err = e
    finally:
        remove_mem_hooks()
        gc.enable()
    return out, err


# A callback that raises without a Python frame: when a Python function
# raises while allocations fail, CPython 3.13 can lose the exception and
# return NULL without one (a SystemError; an assertion failure on a debug
# build), which is the interpreter's fault, not the signal's.
C_RAISER = functools.partial(operator.truediv, 1, 0)


class Counter:
    """Call counts in a preallocated list of small ints: recording a call
    allocates nothing, so no callback ever fails because it was counted."""

    def __init__(self, n):
        self.hits = [0] * n

    def callback(self, k, value=None):
        hits = self.hits

        def cb(*args, **kwargs):
            hits[k] += 1
            return value

        return cb


class Plain:
    def __init__(self, counter, k, value=None):
        self.counter = counter
        self.k = k
        self.value = value

    def __call__(self, *args, **kwargs):
        self.counter.hits[self.k] += 1
        return self.value

    def method(self, *args, **kwargs):
        self.counter.hits[self.k] += 1
        return self.value


class Model:
    """A signal with a known table: permanent callbacks (results 0, 1, ...),
    one-shots (100, ...) and weak ones (200, ...), all counting their calls
    without allocating. `table` is the reference model of what it holds."""

    def __init__(self, permanent=2, once=2, weak=1, burn_ids=300):
        self.counter = Counter(permanent + once + weak + 4)
        self.s = Signal("m")
        # Ids past the small-int cache, so that handing one out allocates.
        for _ in range(burn_ids):
            self.s.disconnect(self.s.connect(print))
        self.table = SignalModel("m", next_id=burn_ids)
        self.permanent = [Plain(self.counter, k, k) for k in range(permanent)]
        self.once = [Plain(self.counter, permanent + k, 100 + k) for k in range(once)]
        self.weak = [Plain(self.counter, permanent + once + k, 200 + k) for k in range(weak)]
        for p in self.permanent:
            assert self.s.connect(p) == self.table.connect(p).cid
        for o in self.once:
            assert self.s.connect_once(o) == self.table.connect(o, times=1).cid
        for w in self.weak:
            assert self.s.connect(w.method, weak=True) == self.table.connect(w, weak=True).cid
        self.extra = []  # more objects whose release is checked
        self.extra_ids = []  # connections the check removes before the model's checks

    @property
    def next_id(self):
        return self.table.next_id

    @next_id.setter
    def next_id(self, value):
        self.table.next_id = value

    def add(self, connect, priority=-10):
        """Connects something outside the model; returns its id."""
        cid = connect(priority)
        assert cid == self.next_id
        self.extra_ids.append(cid)
        self.next_id += 1
        return cid

    def probes(self):
        return [weakref.ref(o) for o in self.permanent + self.once + self.weak + self.extra]

    def hits(self, objs):
        return [self.counter.hits[o.k] for o in objs]

    def pending_once(self):
        return [o for o in self.once if self.counter.hits[o.k] == 0]

    def full_len(self):
        return len(self.permanent) + len(self.weak) + len(self.pending_once())

    def listing(self):
        """(id, calls left) of every connection the model still holds: what
        connections() shows when no count was used up without a call."""
        pending = set(map(id, self.pending_once()))
        return [(e.cid, e.remaining) for e in self.table.entries
                if e.remaining is None or id(e.payload) in pending]

    def check(self):
        """len and repr per the model, then the next emission calls every
        permanent and weak callback and at most every pending one-shot, and
        the next connect gets the next id."""
        s = self.s
        for cid in self.extra_ids:
            s.disconnect(cid)
        full = self.full_len()
        # A failed emission may have used up one-shots without calling them
        # (as a fast-fail emission does); never more than those.
        assert full - len(self.pending_once()) <= len(s) <= full, (len(s), full)
        assert repr(s) == f'Signal(name="m", listeners={len(s)})'
        # Listed are the entries with calls left, each as the model has it.
        listed = [(c[0], c[3]) for c in s.connections()]
        assert len(listed) == len(s), f"a spent entry lingers: {listed}"
        assert set(listed) <= set(self.listing()), (listed, self.listing())
        before = self.hits(self.permanent + self.weak)
        results = s.emit(on_error="collect")
        assert self.hits(self.permanent + self.weak) == [h + 1 for h in before]
        assert all(h <= 1 for h in self.hits(self.once)), "a one-shot was called twice"
        # Permanent and weak entries, in the table's order.
        expected = [e.payload.value for e in self.table.entries if e.remaining is None]
        assert [r for r in results if r < 100 or r >= 200] == expected
        assert len(s) == len(self.permanent) + len(self.weak)
        cid = s.connect(print)
        assert cid == self.next_id, f"got id {cid}, expected {self.next_id}: a failure used up an id"
        assert s.disconnect(cid)
        self.next_id += 1


def walk(case, check, allocates=True):
    """case() gives (model, op); check(model, out, err) runs after each
    attempt with no failure active. Afterwards nothing the model made may
    still be alive: a leaked reference keeps it."""
    def trial(start, stop):
        m, op = case()
        m.single = bool(stop)  # only one allocation fails
        probes = m.probes()
        out, err = attempt(op, start, stop)
        if err is not None and not isinstance(err, MemoryError):
            raise AssertionError(repr(err)) from err
        try:
            check(m, out, err)
        except AssertionError as e:
            raise AssertionError(f"the call {'raised ' + repr(err) if err else 'succeeded'}: {e}") from e
        ok = err is None
        del m, op, out, err
        alive = released(probes)
        assert not alive, f"still referenced after release: {alive}"
        return ok

    faultinject.walk(trial, allocates)


@pytest.fixture(scope="module")
def warm_caches():
    """Fills the process-wide caches before any failure is injected.

    The first weak connect of a process measures reference counts on probes
    made with Py_CompileString, and each signal's first emit_async compiles
    its internal script. Under allocation failure CPython 3.13's compiler
    returns NULL without an exception (a SystemError, or an assertion failure
    on a debug build) and can even crash, so those compiles are kept out of
    the window: the weak-connect measurement is done here, and the async
    tests warm each signal's script before failing anything."""
    class Held:
        def m(self):
            pass

    held = Held()
    s = Signal()
    s.connect(held.m, weak=True)
    s.connect(module_function, weak=True)

    async def main():
        await s.emit_async()

    asyncio.run(main())


@pytest.mark.usefixtures("warm_caches")
class TestAllocationFailure:
    pytestmark = needs_nomemory

    def test_signal_new(self):
        def case():
            m = Model(0, 0, 0)
            return m, lambda: Signal("fresh name")

        def check(m, out, err):
            if err is None:
                assert repr(out) == 'Signal(name="fresh name", listeners=0)'
                assert out.connect(print) == 0 and len(out) == 1

        walk(case, check)

    @pytest.mark.parametrize("method", [
        "connect", "connect_once", "connect_finite", "connect_weak",
        pytest.param("connect_weak_method", marks=pytest.mark.skip(
            reason="CPython 3.13's weakref.WeakMethod corrupts reference counts when an "
                   "allocation inside its __new__ fails (negative refcount on a debug build, "
                   "a crash later on a release build), with no signal involved")),
        "connected"])
    def test_connect_family(self, method):
        def case():
            m = Model()
            target = Plain(m.counter, len(m.counter.hits) - 1, 300)
            m.extra.append(target)
            s = m.s
            ops = {
                "connect": lambda: s.connect(target, priority=5),
                "connect_once": lambda: s.connect_once(target),
                "connect_finite": lambda: s.connect_finite(target, 3),
                "connect_weak": lambda: s.connect(target, weak=True),
                "connect_weak_method": lambda: s.connect(target.method, weak=True),
                "connected": lambda: s.connected(target),
            }
            return m, ops[method]

        def check(m, out, err):
            if err is None:
                cid = out.__enter__() if method == "connected" else out
                assert cid == m.next_id
                assert len(m.s) == m.full_len() + 1
                m.extra_ids.append(cid)
                m.next_id += 1
            else:
                assert len(m.s) == m.full_len()
            m.check()

        walk(case, check)

    def test_connection_enter_and_exit(self):
        def case():
            m = Model()
            for _ in range(300):  # ids past the small-int cache need allocating
                m.s.disconnect(m.s.connect(print))
            m.next_id += 300
            conn = m.s.connected(print)
            m.conn = conn
            m.next_id += 1

            def op():
                with conn as cid:
                    return cid

            return m, op

        def check(m, out, err):
            if err is None:
                assert out == m.next_id - 1
            else:
                # The with block may never have started: then the
                # connection is still there, and __exit__ still removes it.
                assert m.conn.__exit__(None, None, None) is False
            assert len(m.s) == m.full_len()
            m.check()

        walk(case, check)

    def test_disconnect(self):
        # Removing needs no allocation at all: the id is already an int.
        def case():
            m = Model()
            m.first = m.next_id - len(m.permanent + m.once + m.weak)
            return m, lambda: m.s.disconnect(m.first)

        def check(m, out, err):
            assert err is None and out is True
            assert m.table.disconnect(m.first)
            m.permanent.pop(0)
            m.check()

        walk(case, check, allocates=False)

    @pytest.mark.parametrize("mode", ["fast_fail", "collect"])
    def test_emit(self, mode):
        arg = object()

        def case():
            m = Model()
            m.hooks = Counter(1)
            m.s.on_error(m.hooks.callback(0))
            return m, lambda: m.s.emit(arg, on_error=mode, key=arg)

        def check(m, out, err):
            entries = m.permanent + m.once + m.weak
            called = m.hits(entries)
            failed_calls = m.hooks.hits[0]
            if err is None:
                # Calling a Python-level __call__ allocates too; a callback
                # that failed that way answers with its MemoryError.
                assert len(out) == len(entries)
                for e, r, h in zip(entries, out, called):
                    assert (r == e.value and h == 1) or (type(r) is MemoryError and h == 0), (e.value, r, h)
                assert failed_calls == sum(type(r) is MemoryError for r in out)
            elif m.single and not any(called) and not failed_calls:
                # The emission failed before any callback ran: it must not
                # have used anything up, which only the counts can show.
                listed = [(c[0], c[3]) for c in m.s.connections()]
                assert listed == m.listing(), (
                    f"the failed emission called nothing, yet left {listed} where "
                    f"{m.listing()} was: one-shots were used up and will never be called")
            m.check()

        base = sys.getrefcount(arg)
        walk(case, check)
        assert sys.getrefcount(arg) == base

    def test_emit_collect_with_a_raising_callback(self):
        def case():
            m = Model()
            m.add(lambda p: m.s.connect(C_RAISER, priority=p))
            m.hooks = Counter(1)
            m.s.on_error(m.hooks.callback(0))
            return m, lambda: m.s.emit(on_error="collect")

        def check(m, out, err):
            if err is None:
                assert len(out) == 6
                assert type(out[-1]) in (ZeroDivisionError, MemoryError)
                # Every failure, the raiser's and any MemoryError, was told;
                # with every later allocation failing, telling may fail too.
                failures = sum(isinstance(r, BaseException) for r in out)
                if m.single:
                    assert m.hooks.hits[0] == failures
                else:
                    assert m.hooks.hits[0] <= failures
            m.check()

        walk(case, check)

    @pytest.mark.parametrize("mode", ["fast_fail", "collect"])
    def test_emit_async(self, mode):
        async def coro_result():
            return "awaited"

        def case():
            m = Model()
            m.add(lambda p: m.s.connect(coro_result, priority=p))
            return m, lambda: m.s.emit_async(on_error=mode)

        loop = asyncio.new_event_loop()

        async def warm(s):
            await s.emit_async(on_error="collect")

        async def call(op, start, stop):
            return attempt(op, start, stop)  # emit_async needs a running loop

        def trial(start, stop):
            m, op = case()
            probes = m.probes()
            loop.run_until_complete(warm(m.s))  # compiles the script, outside the window
            expected = ([p.value for p in m.permanent] + [o.value for o in m.pending_once()]
                        + [w.value for w in m.weak] + ["awaited"])
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                out, err = loop.run_until_complete(call(op, start, stop))
                if err is not None and not isinstance(err, MemoryError):
                    raise AssertionError(repr(err)) from err
                if err is None:
                    results = loop.run_until_complete(out)
                    assert len(results) == len(expected), results
                    for r, e in zip(results, expected):
                        # A callback whose call failed answers with its MemoryError.
                        assert r == e or (mode == "collect" and type(r) is MemoryError), results
                m.check()
                ok = err is None
                del m, op, out, err
                alive = released(probes)
                assert not alive, f"still referenced after release: {alive}"
                if ok:
                    gc.collect()  # an unclosed coroutine in a cycle warns only now
            unawaited = [str(w.message) for w in caught if "never awaited" in str(w.message)]
            # A failure after the call loop that is not the missing-loop
            # check (building the finalizer's arguments, say) releases the
            # awaitables without closing them, so a "never awaited"
            # warning is allowed then, and only then.
            assert not ok or not unawaited, (
                f"the emission succeeded but left a coroutine unclosed: {unawaited[0]}")
            return ok

        try:
            faultinject.walk(trial)
        finally:
            loop.close()

    def test_on_error(self):
        def case():
            m = Model()
            m.add(lambda p: m.s.connect(C_RAISER, priority=p))
            m.hooks = Counter(1)
            hook = m.hooks.callback(0)
            return m, lambda: m.s.on_error(hook)

        def check(m, out, err):
            m.s.emit(on_error="collect")
            assert m.hooks.hits[0] == (1 if err is None else 0)
            m.check()

        # The hook list grows in C++ (operator new), which set_nomemory does
        # not reach: registering never fails here.
        walk(case, check, allocates=False)

    def test_repr(self):
        def case():
            m = Model()
            return m, lambda: repr(m.s)

        def check(m, out, err):
            if err is None:
                assert out == f'Signal(name="m", listeners={m.full_len()})'
            m.check()

        walk(case, check)


# ---------------------------------------------------------------------------
# Allocation failure in C++
#
# The listener table, an emission's call list and removal set, the hook list
# and the name and repr strings are allocated with operator new, which
# set_nomemory cannot reach. A child interpreter runs with a tiny preloaded
# library whose operator new throws std::bad_alloc on request; the walk is
# the same as above: fail the n-th operator new inside one operation, for
# every n (that one only, then that one and all later ones), and check what
# is left.

def test_cxx_allocation_failure_in_every_operation(tmp_path):
    import os

    if "libasan" in os.environ.get("LD_PRELOAD", "") or "thread-sanitizer" in (
            sysconfig.get_config_var("CONFIG_ARGS") or ""):
        pytest.skip("a sanitizer runtime already owns operator new")
    lib = compile_cxx("cxx_new_shim.cpp", tmp_path / "libnewshim.so", "-shared", "-fPIC")
    env = dict(os.environ, LD_PRELOAD=f"{lib} {os.environ.get('LD_PRELOAD', '')}".strip())
    out, _ = run_child("cxx_alloc_failure.py", env=env, timeout=600)
    assert "ok" in out


# ---------------------------------------------------------------------------
# Bad input


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __repr__(self):
        return f"IndexRaises({self.exc!r})"


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexReturns({self.value!r})"


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatWithIndex(float):
    def __index__(self):
        return 1


def fake_numpy(type_name, truth):
    """A stand-in for a NumPy scalar: the right module and name, no NumPy."""

    def __bool__(self):
        if isinstance(truth, BaseException):
            raise truth
        return truth

    cls = type(type_name, (), {"__module__": "numpy", "__bool__": __bool__,
                               "__repr__": lambda self: f"fake numpy.{type_name}({truth!r})"})
    return cls()


EXC_FOR_INDEX = st.sampled_from([TypeError, ValueError, OverflowError, ZeroDivisionError,
                                 KeyError, RuntimeError, type("TypeErrorSub", (TypeError,), {})])

ANY_VALUE = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63,
                     2**64 - 1, 2**64, -(2**63), 10**100, -(10**100)]),
    st.floats(allow_nan=True),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.builds(StrSub, st.text(max_size=8)),
    st.builds(IntSub, st.integers(min_value=-(2**65), max_value=2**65)),
    st.builds(IndexRaises, EXC_FOR_INDEX.map(lambda t: t("from __index__"))),
    st.builds(IndexReturns, st.one_of(st.integers(min_value=-(2**65), max_value=2**65),
                                      st.just("3"), st.just(2.5), st.none())),
    st.builds(FloatWithIndex, st.floats(allow_nan=False, allow_infinity=False)),
    st.builds(fake_numpy, st.sampled_from(["bool_", "bool", "int64", "float64"]),
              st.one_of(st.booleans(), st.just(ValueError("numpy truth")), st.just(0), st.just("yes"))),
    st.sampled_from([object(), [], (), {}, print, Signal, len, b"collect", bytearray(b"x"),
                     "fast_fail", "collect", StrSub("collect"), "Collect", "\ud800", 1j]),
)


def python_index(value):
    """What PyNumber_Index does, or the exception it raises."""
    if isinstance(value, int):
        return int(value)
    index = getattr(type(value), "__index__", None)
    if index is None:
        return TypeError
    try:
        result = index(value)
    except BaseException as e:  # noqa: BLE001
        return e
    if type(result) is not int:
        return TypeError
    return result


def expect_int(value, lo, hi):
    got = python_index(value)
    if isinstance(got, BaseException) or got is TypeError:
        return got
    if not lo <= got <= hi:
        return OverflowError
    return None


def expect_priority(value):
    if isinstance(value, float) and not hasattr(type(value), "__index__"):
        return TypeError
    return expect_int(value, -(2**31), 2**31 - 1)


def expect_u64(value):
    return expect_int(value, 0, 2**64 - 1)


def expect_weak(value):
    if value is True or value is False:
        return None
    t = type(value)
    if t.__module__ == "numpy" and t.__name__ in ("bool_", "bool"):
        try:
            truth = t.__bool__(value)
        except BaseException as e:  # noqa: BLE001
            return e
        if type(truth) is not bool:
            return TypeError
        return None
    return TypeError


def is_weak(value):
    return value is True or (value is not False and bool(value))


def expect_mode(value):
    if not isinstance(value, str):
        return TypeError
    if str.__eq__(value, "fast_fail") is True or str.__eq__(value, "collect") is True:
        return None
    return TypeError


def expect_name(value):
    if value is None:
        return None
    if not isinstance(value, str):
        return TypeError
    try:
        str.encode(value, "utf-8")
    except UnicodeEncodeError:
        return UnicodeEncodeError
    return None


def check_raises(expected, call):
    """Runs call(); `expected` is None (must succeed), an exception class, or
    the very exception instance that must come out (or a TypeError naming the
    argument that replaced it, when it was exactly a TypeError)."""
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001
        if expected is None:
            raise AssertionError(f"unexpected {e!r}") from e
        if isinstance(expected, BaseException):
            if type(expected) is TypeError:
                assert type(e) is TypeError and "argument '" in str(e), repr(e)
            else:
                assert e is expected, f"expected the __index__'s own {expected!r}, got {e!r}"
        else:
            assert type(e) is expected, f"expected {expected.__name__}, got {e!r}"
        return None
    assert expected is None, f"expected {expected!r}, but the call returned {result!r}"
    return result


def module_function(*args, **kwargs):
    return "module"


class BadInput:
    """A signal with one live connection and its id counter, checked to be
    untouched after every failed call."""

    def __init__(self):
        self.s = Signal("input")
        self.s.connect_once(module_function)
        self.next_id = 1

    def unchanged(self):
        assert len(self.s) == 1
        cid = self.s.connect(print)
        assert cid == self.next_id, "a failed call consumed an id"
        assert self.s.disconnect(cid)
        self.next_id += 1

    def succeeded(self, cid):
        assert cid == self.next_id
        assert self.s.disconnect(cid)
        self.next_id += 1


BAD_INPUT_SETTINGS = settings(max_examples=150, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])


class TestBadInput:
    @BAD_INPUT_SETTINGS
    @given(callback=ANY_VALUE, weak=ANY_VALUE, priority=ANY_VALUE)
    def test_connect(self, callback, weak, priority):
        b = BadInput()
        for method in ("connect", "connect_once", "connected"):
            expected = (expect_weak(weak) or expect_priority(priority)
                        or (None if callable(callback) else TypeError))
            if expected is None and is_weak(weak):
                continue  # liveness of arbitrary objects is tested elsewhere
            got = check_raises(expected, lambda: getattr(b.s, method)(callback, weak=weak,
                                                                      priority=priority))
            if got is not None:
                b.succeeded(got.__enter__() if method == "connected" else got)
            b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(times=ANY_VALUE, weak=ANY_VALUE, priority=ANY_VALUE, callable_cb=st.booleans())
    def test_connect_finite(self, times, weak, priority, callable_cb):
        b = BadInput()
        callback = module_function if callable_cb else 7
        expected = (expect_u64(times) or expect_weak(weak) or expect_priority(priority)
                    or (None if callable_cb else TypeError))
        if expected is None and python_index(times) == 0:
            expected = TypeError  # times must be greater than zero
        got = check_raises(expected, lambda: b.s.connect_finite(callback, times, weak=weak,
                                                                priority=priority))
        if got is not None:
            b.succeeded(got)
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(cid=ANY_VALUE)
    def test_disconnect(self, cid):
        b = BadInput()
        expected = expect_u64(cid)
        got = check_raises(expected, lambda: b.s.disconnect(cid))
        if expected is None:
            assert got is (python_index(cid) == 0)
            if got:
                b.s.connect_once(module_function)
                b.next_id += 1
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(handler=ANY_VALUE)
    def test_on_error(self, handler):
        b = BadInput()
        check_raises(None if callable(handler) else TypeError, lambda: b.s.on_error(handler))
        b.s.clear_error_hooks()
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(mode=ANY_VALUE)
    def test_emit_and_emit_async_modes(self, mode):
        b = BadInput()
        expected = expect_mode(mode)
        if expected is None:
            return  # a good mode: emit would use up the one-shot
        check_raises(expected, lambda: b.s.emit(on_error=mode))
        b.unchanged()
        # The mode is read before any callback runs, so no loop is needed
        # to see the TypeError.
        check_raises(expected, lambda: b.s.emit_async(on_error=mode))
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(name=ANY_VALUE)
    def test_signal_name(self, name):
        expected = expect_name(name)
        for call in (lambda: Signal(name), lambda: Signal(name=name)):
            got = check_raises(expected, call)
            if got is not None:
                assert len(got) == 0 and got.connect(print) == 0

    @BAD_INPUT_SETTINGS
    @given(args=st.lists(ANY_VALUE, max_size=3),
           kwargs=st.dictionaries(st.sampled_from(["a", "b", "weak", "priority", "times"]),
                                  ANY_VALUE, max_size=3))
    def test_emit_passes_anything_through(self, args, kwargs):
        s = Signal()
        seen = []
        s.connect(lambda *a, **k: seen.append((a, k)))
        assert s.emit(*args, **kwargs) == [None]
        assert seen == [(tuple(args), kwargs)]

    def test_exit_arguments(self):
        conn = Signal().connected(print)
        with pytest.raises(TypeError):
            conn.__exit__()
        with pytest.raises(TypeError):
            conn.__exit__(1, 2, 3, 4)
        with pytest.raises(TypeError):
            conn.__exit__(1, 2, _exc_type=3)
        assert conn.__exit__(object(), "anything", 3) is False
