"""tarnwick.testing.record: a recorder sees every emission that runs and
changes nothing; its assertions, and waiting from threads and tasks."""

import asyncio
import concurrent.futures
import gc
import threading
import weakref

import pytest

import tarnwick
import tarnwick.testing
from tarnwick import Signal
from tarnwick.testing import record


def test_import_keeps_the_module_surface():
    assert "testing" not in tarnwick.__all__
    assert tarnwick.testing.record is record
    assert "testing" not in tarnwick.testing.__all__


def test_a_recorder_is_invisible():
    def build():
        s = Signal("saved")
        seen = []
        s.on_error(lambda exc, cb: seen.append((repr(exc), cb.__name__)))

        def fails(*a, **k):
            raise ValueError(a)

        s.connect(lambda *a, **k: (a, k), priority=1)
        s.connect(fails)
        s.connect_once(lambda *a, **k: "once")
        return s, seen

    def emit_everything(s):
        with pytest.raises(ValueError):
            s.emit(0)
        out = [s.emit(1, key="v", on_error="collect"), s.emit(on_error="collect")]
        with s.blocked():
            out.append(s.emit(3))
        return repr(out), len(s), [c[2:] for c in s.connections()]

    plain, plain_seen = build()
    watched, watched_seen = build()
    with record(watched) as r:
        got = emit_everything(watched)
    assert got == emit_everything(plain)
    assert watched_seen == plain_seen
    assert len(r) == 3  # all but the blocked emission


def test_records_arguments_in_order_and_only_while_entered():
    s = Signal()
    s.connect(lambda *a, **k: None)
    s.emit("before")
    with record(s) as r:
        s.emit("a.txt")
        s.emit(1, 2, mode="w", on_error="collect")
        with s.blocked():
            s.emit("blocked")
        s.emit()
    s.emit("after")
    assert r.emissions == [(("a.txt",), {}), ((1, 2), {"mode": "w"}), ((), {})]
    assert len(r) == 3
    r.emissions.clear()  # a copy
    assert len(r) == 3
    with pytest.raises(RuntimeError):
        r.__enter__()


def test_an_emission_from_a_callback_is_recorded_after_its_own():
    s = Signal()
    s.connect(lambda n: s.emit(n - 1) if n else None)
    with record(s) as r:
        s.emit(2)
    assert [a for a, _ in r.emissions] == [(2,), (1,), (0,)]


def test_several_and_nested_recorders_each_see_everything():
    s = Signal()
    with record(s) as outer, record(s) as second:
        s.emit(1)
        with record(s) as inner:
            s.emit(2)
        s.emit(3)
    assert len(outer) == len(second) == 3
    assert inner.emissions == [((2,), {})]
    other = Signal()
    with record(other) as r:
        s.emit(4)
    r.assert_not_emitted()


def test_a_signal_outlives_no_recorder_and_its_list_stays():
    class Owner:
        def cb(self, x):
            return x

    s = Signal()
    owner = Owner()
    s.connect(owner.cb)
    gone = weakref.ref(owner)
    del owner
    with record(s) as r:
        s.emit(1)
    del s
    gc.collect()
    assert gone() is None  # the signal, holding the only reference, went
    assert r.emissions == [((1,), {})]


def test_record_needs_a_signal():
    with pytest.raises(TypeError):
        record(print)


FAILS = {
    "assert_emitted": ((), "expected saved to be emitted; it was not emitted"),
    "assert_not_emitted": ((), "expected saved not to be emitted; it was emitted 2 times:\n"
                               "  1. saved('a.txt')\n  2. saved(2, mode='w')"),
    "assert_emitted_once": ((), "expected saved to be emitted once; it was emitted 2 times:\n"
                                "  1. saved('a.txt')\n  2. saved(2, mode='w')"),
    "assert_emitted_with": (("a.txt",), "expected the last emission to be saved('a.txt'); "
                                        "it was emitted 2 times:\n  1. saved('a.txt')\n  2. saved(2, mode='w')"),
    "assert_emitted_once_with": ((2,), "expected one emission, saved(2); it was emitted 2 times:\n"
                                       "  1. saved('a.txt')\n  2. saved(2, mode='w')"),
    "assert_any_emitted_with": (("b",), "expected an emission saved('b'); it was emitted 2 times:\n"
                                        "  1. saved('a.txt')\n  2. saved(2, mode='w')"),
}


@pytest.mark.parametrize("name", sorted(FAILS))
def test_assertions_pass_and_fail_with_every_emission_listed(name):
    s = Signal("saved")
    with record(s) as empty:
        pass
    with record(s) as twice:
        s.emit("a.txt")
        s.emit(2, mode="w")
    with record(s) as once:
        s.emit("a.txt")
    args, message = FAILS[name]
    failing = empty if name == "assert_emitted" else twice
    with pytest.raises(AssertionError) as info:
        getattr(failing, name)(*args)
    assert str(info.value) == message
    passes = {"assert_emitted": (twice, ()), "assert_not_emitted": (empty, ()),
              "assert_emitted_once": (once, ()), "assert_emitted_with": (twice, (2,), {"mode": "w"}),
              "assert_emitted_once_with": (once, ("a.txt",)),
              "assert_any_emitted_with": (twice, ("a.txt",))}[name]
    getattr(passes[0], name)(*passes[1], **(passes[2] if len(passes) > 2 else {}))


def test_an_unnamed_signal_is_shown_as_signal():
    with record(Signal()) as r:
        pass
    with pytest.raises(AssertionError, match=r"^expected one emission, signal\(1\); it was not emitted$"):
        r.assert_emitted_once_with(1)


def emit_from_thread(s, *args, started=None):
    def body():
        if started is not None:
            started.wait(10)
        s.emit(*args)

    t = threading.Thread(target=body)
    t.start()
    return t


def test_wait_for_emissions_from_threads():
    s = Signal()
    done = []
    s.connect(lambda x: done.append(x))
    with record(s) as r:
        s.emit(0)
        r.wait()  # counts what is already recorded
        go = threading.Event()
        threads = [emit_from_thread(s, i, started=go) for i in (1, 2)]
        go.set()
        r.wait(3, timeout=30)
        assert sorted(done) == [0, 1, 2]  # the callbacks ran before wait returned
        with pytest.raises(TimeoutError, match="not emitted 4 time"):
            r.wait(4, timeout=0.05)
    for t in threads:
        t.join()


def test_wait_async_from_tasks_and_threads():
    s = Signal()

    async def main():
        with record(s) as r:
            loop = asyncio.get_running_loop()
            loop.call_soon(s.emit, "task")
            await r.wait_async(timeout=30)
            go = threading.Event()
            t = emit_from_thread(s, "thread", started=go)
            waiting = asyncio.ensure_future(r.wait_async(2, timeout=30))
            await asyncio.sleep(0)
            go.set()
            await waiting
            t.join()
            with pytest.raises(TimeoutError):
                await r.wait_async(3, timeout=0.05)
            return r.emissions

    assert asyncio.run(main()) == [(("task",), {}), (("thread",), {})]


def test_wait_async_returns_once_the_calls_queued_to_its_loop_have_run():
    s = Signal()
    ran = []

    async def slow(x):
        for _ in range(3):
            await asyncio.sleep(0)
        ran.append(("awaited", x))

    class Shown:
        def called(self, x):
            ran.append(("called", x))
            # Returned as it is where the loop runs: no call of the loop's.
            return concurrent.futures.Future()

    shown = Shown()

    async def main():
        loop = asyncio.get_running_loop()
        s.listener(shown.called, loop=loop, weak=True)
        with record(s) as r:
            s.listener(slow, loop=loop, times=1, max_args=1)
            emit_from_thread(s, 1).join()
            await r.wait_async(timeout=30)
            assert sorted(ran) == [("awaited", 1), ("called", 1)]
            s.emit(2)
            await r.wait_async(2, timeout=30)
            assert ran[-1] == ("called", 2)

    asyncio.run(main())


def test_wait_async_waits_for_the_task_a_paused_replay_started():
    s = Signal()
    done = []

    async def cb(x):
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        done.append(x)

    s.connect(cb)

    async def main():
        with record(s) as r:
            with s.paused():
                await s.emit_async(1)
            await r.wait_async(timeout=30)
            assert done == [1]

    asyncio.run(main())
