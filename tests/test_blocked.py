"""Blocking a signal's emissions with Signal.blocked()."""

import asyncio
import threading

import pytest

from support.helpers import gc_clear
from tarnwick import Signal


def test_block_suppresses_everything_and_replays_nothing():
    s = Signal()
    calls, hooked = [], []
    s.on_error(lambda exc, cb: hooked.append(exc))
    s.connect(lambda: calls.append("plain"))
    s.connect_once(lambda: calls.append("once"))
    s.connect_finite(lambda: calls.append("finite"), 2)

    def fails():
        raise ValueError

    s.connect(fails)
    with s.blocked() as entered:
        assert entered is None
        assert s.emit() == []
        assert s.emit(on_error="collect") == []
        assert len(s) == 4
        assert [c[3] for c in s.connections()] == [None, 1, 2, None]
    assert calls == [] and hooked == []
    results = s.emit(on_error="collect")
    assert calls == ["plain", "once", "finite"]
    assert isinstance(results[3], ValueError) and len(hooked) == 1


def test_arguments_and_mode_are_still_checked():
    s = Signal()
    s.connect(print)
    with s.blocked():
        with pytest.raises(TypeError, match=r"^on_error must be 'fast_fail' or 'collect'\.$"):
            s.emit(on_error="ignore")
        with pytest.raises(TypeError, match="argument 'on_error'"):
            s.emit_async(on_error=1)


def test_blocks_nest_and_an_exception_lifts_one():
    s = Signal()
    s.connect(lambda: "x")
    outer = s.blocked()
    with outer:
        with pytest.raises(KeyError):
            with s.blocked():
                raise KeyError
        assert s.emit() == []
        with outer:  # the same blocker entered twice
            assert s.emit() == []
        assert s.emit() == []
    assert s.emit() == ["x"]


def test_exit_without_enter_lifts_nobody_elses_block():
    s = Signal()
    s.connect(lambda: "x")
    with s.blocked():
        stray = s.blocked()
        with pytest.raises(RuntimeError, match="without a matching __enter__"):
            stray.__exit__(None, None, None)
        assert s.emit() == []


def test_dropped_or_cleared_blocker_lifts_its_blocks():
    s = Signal()
    s.connect(lambda: "x")
    b = s.blocked()
    b.__enter__()
    b.__enter__()
    assert s.emit() == []
    del b
    assert s.emit() == ["x"]
    c = s.blocked()
    c.__enter__()
    gc_clear(c)
    assert s.emit() == ["x"]


def test_callback_may_block_its_own_signal():
    s = Signal()
    seen = []

    def cb(depth):
        seen.append(depth)
        with s.blocked():
            assert s.emit(depth + 1) == []

    s.connect(cb)
    assert s.emit(0) == [None]
    assert seen == [0]


def test_emit_async_yields_an_empty_list():
    s = Signal()

    async def cb():
        raise AssertionError("never called")

    s.connect(cb)

    async def main():
        with s.blocked():
            pending = s.emit_async()
        return await pending

    assert asyncio.run(main()) == []
    with s.blocked(), pytest.raises(RuntimeError, match="no running event loop"):
        s.emit_async()


@pytest.mark.threads
def test_block_holds_on_every_thread():
    s = Signal()
    s.connect(lambda: "x")
    out = []
    with s.blocked():
        t = threading.Thread(target=lambda: out.append(s.emit()))
        t.start()
        t.join()
    assert out == [[]]
