"""Asynchronous emission."""

import asyncio
import builtins
import gc
import sys
import time
import warnings

import pytest

from support.threads import run_threads
from tarnwick import Signal


@pytest.fixture(autouse=True)
def warnings_are_errors():
    # A coroutine that is never awaited warns; none of these tests may.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield
        gc.collect()


def run(coro_fn):
    return asyncio.run(coro_fn())


async def value_later(value, delay=0):
    await asyncio.sleep(delay)
    return value


async def fail_later(exc, delay=0):
    await asyncio.sleep(delay)
    raise exc


def test_empty_signal_gives_a_coroutine_of_an_empty_list():
    async def main():
        coro = Signal().emit_async()
        assert asyncio.iscoroutine(coro)
        return await coro

    assert run(main) == []


def test_results_in_call_order_with_awaited_values_in_their_slots():
    s = Signal()
    s.connect(lambda: 1)
    s.connect(lambda: value_later(2, 0.01))
    s.connect(lambda: None)
    s.connect(lambda: value_later(4))

    async def main():
        return await s.emit_async()

    assert run(main) == [1, 2, None, 4]


def test_arguments_and_positional_collect():
    seen = []
    s = Signal()
    s.connect(lambda *a, **k: seen.append((a, k)))

    async def main():
        await s.emit_async(1, x=2)
        await s.emit_async("collect")
        await s.emit_async(on_error="collect")

    run(main)
    assert seen == [((1,), {"x": 2}), (("collect",), {}), ((), {})]


def test_bad_mode_changes_nothing():
    calls = []
    s = Signal()
    s.connect_once(lambda: calls.append(1))

    async def main():
        with pytest.raises(TypeError, match=r"^on_error must be 'fast_fail' or 'collect'\.$"):
            s.emit_async(on_error="Collect")
        with pytest.raises(TypeError, match="argument 'on_error'"):
            s.emit_async(on_error=None)

    run(main)
    assert calls == [] and len(s) == 1


class TestCallbackFailures:
    def make(self):
        s = Signal()
        hooks = []
        later = []
        s.on_error(lambda exc, cb: hooks.append(exc))
        ran = []

        async def pending():
            ran.append("coroutine ran")
            return "awaited"

        err = ValueError("sync failure")

        def boom():
            raise err

        s.connect(pending)
        s.connect(boom)
        s.connect(lambda: later.append("later"))
        return s, hooks, later, ran, err

    def test_fast_fail_closes_pending_coroutines_and_raises(self):
        s, hooks, later, ran, err = self.make()

        async def main():
            with pytest.raises(ValueError) as info:
                s.emit_async()
            assert info.value is err

        run(main)
        assert hooks == [err] and later == [] and ran == []

    def test_collect_keeps_going(self):
        s, hooks, later, ran, err = self.make()

        async def main():
            return await s.emit_async(on_error="collect")

        assert run(main) == ["awaited", err, None]
        assert hooks == [err] and later == ["later"] and ran == ["coroutine ran"]


class TestAwaitableFailures:
    def test_first_failure_in_call_order_wins(self):
        s = Signal()
        hooks = []
        s.on_error(lambda *a: hooks.append(a))
        first = KeyError("first in call order")
        second = IndexError("first in time")
        s.connect(lambda: fail_later(first, 0.02))
        s.connect(lambda: fail_later(second, 0))
        finished = []

        async def slow():
            await asyncio.sleep(0.03)
            finished.append(True)
            return "slow"

        s.connect(slow)

        async def main():
            with pytest.raises(KeyError) as info:
                await s.emit_async()
            assert info.value is first

        run(main)
        assert finished == [True]  # every awaitable ran to completion
        assert hooks == []  # awaitable failures never reach the hooks

    def test_collect_stores_the_exception(self):
        s = Signal()
        err = LookupError("async")
        s.connect(lambda: fail_later(err))
        s.connect(lambda: 5)

        async def main():
            return await s.emit_async(on_error="collect")

        assert run(main) == [err, 5]


def test_futures_are_awaited_and_released_but_not_closed():
    s = Signal()
    futures = []

    async def main():
        loop = asyncio.get_running_loop()

        def make_future():
            fut = loop.create_future()
            loop.call_soon(fut.set_result, "future")
            futures.append(fut)
            return fut

        s.connect(make_future)
        assert await s.emit_async() == ["future"]
        s.connect(lambda: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            s.emit_async()
        await asyncio.sleep(0)

    run(main)
    assert [f.result() for f in futures] == ["future", "future"]


class Awkward:
    """A return value whose __await__ lookup raises."""

    def __getattr__(self, name):
        if name == "__await__":
            raise ValueError("no await for you")
        raise AttributeError(name)


@pytest.mark.parametrize("mode", ["fast_fail", "collect"])
def test_await_lookup_that_raises(mode):
    s = Signal()
    hooks = []
    later = []
    s.on_error(lambda *a: hooks.append(a))
    s.connect(Awkward)
    s.connect(lambda: later.append(1))

    async def main():
        with pytest.raises(ValueError, match="no await for you"):
            s.emit_async(on_error=mode)

    run(main)
    assert hooks == [] and later == []


def test_close_lookup_that_raises_replaces_the_error():
    class BadClose:
        def __await__(self):
            yield
            return None

        def __getattr__(self, name):
            raise RuntimeError("close lookup failed")

    s = Signal()
    s.connect(BadClose)
    s.connect(lambda: 1 / 0)

    async def main():
        with pytest.raises(RuntimeError, match="close lookup failed"):
            s.emit_async()

    run(main)


def test_close_that_raises_is_ignored():
    closed = []

    class NoisyClose:
        def __await__(self):
            yield
            return None

        def close(self):
            closed.append(self)
            raise OSError("close failed")

    s = Signal()
    s.connect(NoisyClose)
    s.connect(NoisyClose)
    s.connect(lambda: 1 / 0)

    async def main():
        with pytest.raises(ZeroDivisionError):
            s.emit_async()

    run(main)
    assert len(closed) == 2


def test_without_a_running_loop_everything_runs_then_it_raises():
    s = Signal()
    calls = []
    started = []

    async def coroutine_callback():
        started.append(True)

    s.connect_once(lambda: calls.append("once"))
    s.connect_finite(coroutine_callback, 2)
    s.connect(lambda: calls.append("plain"))
    with pytest.raises(RuntimeError, match="no running event loop"):
        s.emit_async()
    assert calls == ["once", "plain"]
    assert started == []  # closed, never run, and no "never awaited" warning
    assert len(s) == 2
    with pytest.raises(RuntimeError):
        s.emit_async()
    assert len(s) == 1


def test_one_shot_coroutine_function_is_removed_during_the_call():
    s = Signal()
    calls = []

    async def once():
        calls.append("ran")
        return "once"

    s.connect_once(once)

    async def main():
        first = s.emit_async()
        assert len(s) == 0
        second = s.emit_async()
        return await first, await second

    assert run(main) == (["once"], [])
    assert calls == ["ran"]


def test_internal_module_is_built_once_per_signal(monkeypatch):
    imports = []
    real_import = builtins.__import__

    def counting_import(name, *args, **kwargs):
        imports.append(name)
        return real_import(name, *args, **kwargs)

    async def main():
        s = Signal()
        s.connect(lambda: 1)
        await s.emit_async()
        internal = sys.modules["tarnwick_internal"]
        first_fn = internal._tarnwick_finalize
        monkeypatch.setattr(builtins, "__import__", counting_import)
        coro = s.emit_async()
        assert coro.cr_code is first_fn.__code__  # not compiled again
        await coro
        assert imports == []  # nor imported again
        assert internal._tarnwick_finalize is first_fn

        other = Signal()
        coro = other.emit_async()
        await coro
        # A second signal compiles and runs the script once for itself.
        second_fn = sys.modules["tarnwick_internal"]._tarnwick_finalize
        assert second_fn is not first_fn
        assert coro.cr_code is second_fn.__code__
        assert "asyncio" in imports
        monkeypatch.undo()
        coro = other.emit_async()
        assert coro.cr_code is second_fn.__code__
        await coro

    run(main)
    assert sys.modules["tarnwick_internal"].__file__ == "tarnwick_internal.py"


def test_references_return_to_baseline():
    class Result:
        pass

    callback_results = [Result(), Result()]
    arg = object()

    async def coro_cb(*args, **kwargs):
        return callback_results[0]

    def plain_cb(*args, **kwargs):
        return callback_results[1]

    def failing_cb(*args, **kwargs):
        raise ValueError("x")

    watched = [coro_cb, plain_cb, failing_cb, arg, *callback_results]

    def counts():
        gc.collect()
        return [sys.getrefcount(o) for o in watched]

    s = Signal()
    s.connect(coro_cb)
    s.connect(plain_cb)

    async def main():
        await s.emit_async(arg, k=arg)
        s.connect(failing_cb)
        for _ in range(3):
            await s.emit_async(arg, on_error="collect")
            with pytest.raises(ValueError):
                s.emit_async(arg, k=arg)

    baseline = counts()
    run(main)
    for _ in range(3):  # no running loop
        with pytest.raises((RuntimeError, ValueError)):
            s.emit_async(arg)
    s.clear_error_hooks()
    assert s.disconnect(2)
    assert counts() == baseline


def test_two_threads_with_their_own_loops_share_a_signal():
    s = Signal()
    fired = []
    deadline = time.monotonic() + 0.5

    async def reply(token):
        await asyncio.sleep(0)
        return token

    async def main():
        while time.monotonic() < deadline:
            token = object()
            s.connect_once(lambda token=token: (fired.append(token), reply(token))[1])
            results = await s.emit_async()
            assert all(r is not None for r in results)

    run_threads(lambda i: asyncio.run(main()), n=2)
    assert len(fired) == len({id(t) for t in fired})
    assert len(s) <= 2
