"""Callbacks, awaitables and error hooks that raise anything, hooks that
register and clear hooks: the emission's outcome stays the documented one."""

from __future__ import annotations

import asyncio
import sys
import time

import pytest

from support.threads import run_threads
from support.unraisable import no_unraisable
from tarnwick import Signal


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
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    [got] = s.emit(on_error="collect")
    assert type(got) is ZeroDivisionError
    # Each hook's exception goes to the broken excepthook; its failure, then
    # the hook's exception, are unraisable, and nothing ends the process.
    assert seen == [RuntimeError, SystemExit, RuntimeError, KeyError]


@pytest.mark.threads
def test_hooks_registered_and_cleared_from_many_threads():
    s = Signal()
    stop = time.monotonic() + 0.5
    s.connect(lambda: 1 / 0)

    def churn(i):
        while time.monotonic() < stop:
            s.on_error(lambda e, c: s.on_error(lambda *a: None))
            [got] = s.emit(on_error="collect")
            assert type(got) is ZeroDivisionError
            s.clear_error_hooks()

    run_threads(churn, n=4)
