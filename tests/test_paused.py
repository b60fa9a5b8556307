"""Pausing a signal's emissions with Signal.paused(), and their replay."""

import asyncio
import contextlib
import gc
import threading
import warnings

import pytest

from support.helpers import run_child
from tarnwick import Signal
from tarnwick.testing import record


@contextlib.contextmanager
def recording_signal():
    """A signal with nothing connected, and a recorder of the emissions that
    run (replays included; an emission a pause records is not one)."""
    s = Signal("paused")
    with record(s) as emissions:
        yield s, emissions


def test_records_then_replays_in_order_with_keywords_and_modes():
    failures = []
    with recording_signal() as (s, calls):
        s.on_error(lambda exc, cb: failures.append(exc))
        with s.paused() as entered:
            assert entered is None
            assert s.emit(1) == []
            assert s.emit(2, key="k", on_error="collect") == []
            calls.assert_not_emitted()
        assert calls.emissions == [((1,), {}), ((2,), {"key": "k"})]
        # A replayed emission that raises does not stop the others.
        s.connect(lambda *a, **kw: 1 / a[0])
        with pytest.raises(ZeroDivisionError):
            with s.paused():
                s.emit(0)
                s.emit(0, on_error="collect")
                s.emit(5)
    assert [c[0] for c in calls.emissions[2:]] == [(0,), (0,), (5,)]
    assert len(failures) == 2


def test_arguments_and_mode_are_still_checked_at_once():
    with recording_signal() as (s, calls), s.paused():
        with pytest.raises(TypeError, match=r"^on_error must be 'fast_fail' or 'collect'\.$"):
            s.emit(on_error="later")
        with pytest.raises(TypeError, match="keywords must be strings"):
            s.emit(**{1: 2})
    calls.assert_not_emitted()


def test_pauses_nest_and_only_the_outermost_exit_replays():
    with recording_signal() as (s, calls):
        with s.paused():
            with s.paused(lambda p, c: c):
                s.emit(1)
            calls.assert_not_emitted()
            s.emit(2, k=1)      # the outermost pause has no reducer
    assert calls.emissions == [((1,), {}), ((2,), {"k": 1})]


def test_blocked_wins_over_paused():
    with recording_signal() as (s, calls):
        with s.paused():
            with s.blocked():
                s.emit("blocked")
            s.emit("recorded")
        assert calls.emissions == [(("recorded",), {})]
        with s.blocked(), s.paused():
            s.emit("recorded, then blocked at replay")
    assert len(calls) == 1


def test_reducer_folds_into_one_emission():
    with recording_signal() as (s, calls):
        with s.paused(lambda prev, cur: (prev[0] + cur[0],)):
            for i in range(1, 5):
                s.emit(i)
        assert calls.emissions == [((10,), {})]
        with s.paused(lambda prev, cur: prev + cur, initial=("start",)):
            s.emit(1)
            s.emit(2, on_error="collect")
        calls.assert_emitted_with("start", 1, 2)
        with s.paused(lambda prev, cur: 1 / 0):
            s.emit("only")      # one emission and no initial: the reducer is not called
        calls.assert_emitted_with("only")
        with s.paused(lambda prev, cur: 1 / 0, initial=()):
            pass                # nothing recorded: nothing emitted
    assert len(calls) == 3


def test_reducer_errors_lift_the_pause_and_emit_nothing():
    with recording_signal() as (s, calls):
        with pytest.raises(TypeError, match=r"^argument 'reducer': expected a callable or None, "
                                            r"got int$"):
            s.paused(5)
        with pytest.raises(TypeError, match=r"^emit\(\) under paused\(reducer=...\) takes no "
                                            r"keyword arguments$"):
            with s.paused(lambda p, c: c):
                s.emit(1, k=2)
        calls.assert_not_emitted()

        def raises(p, c):
            raise LookupError("reducer")

        with pytest.raises(LookupError, match="reducer"):
            with s.paused(raises):
                s.emit(1)
                s.emit(2)
        with pytest.raises(TypeError, match=r"^paused\(\): the reducer must return a tuple, not list$"):
            with s.paused(lambda p, c: [p, c]):
                s.emit(1)
                s.emit(2)
        calls.assert_not_emitted()
        assert s.emit(3) == []
    calls.assert_emitted_once_with(3)


def emit_from_thread(s, *args):
    t = threading.Thread(target=s.emit, args=args)
    t.start()
    t.join()


def test_what_a_failing_replay_records_is_replayed_too():
    # A replayed callback that emits (here and on another thread) and then
    # raises: its emissions were recorded, so they run after it; the first
    # failure is raised once all have run.
    with recording_signal() as (s, calls):
        def again(*args):
            if args == (1,):
                assert s.emit(2) == []
                emit_from_thread(s, 3)
                raise KeyError("first")
            if args == (2,):
                raise KeyError("second")

        s.connect(again)
        with pytest.raises(KeyError, match="first"):
            with s.paused():
                s.emit(1)
        assert [args for args, _ in calls.emissions] == [(1,), (2,), (3,)]
    # The same under a reducer: the folded emission's callback records more.
    with recording_signal() as (s, calls):
        def folded_again(*args):
            if args == (3,):
                s.emit(10)
                emit_from_thread(s, 20)
                raise KeyError("folded")

        s.connect(folded_again)
        with pytest.raises(KeyError, match="folded"):
            with s.paused(lambda previous, current: (previous[0] + current[0],)):
                s.emit(1)
                s.emit(2)
        assert [args for args, _ in calls.emissions] == [(3,), (30,)]


def test_a_failing_reducer_drops_its_batch_only():
    with recording_signal() as (s, calls):
        def reducer(previous, current):
            s.emit("late")      # recorded after the batch being folded
            raise LookupError("reducer")

        with pytest.raises(LookupError, match="reducer"):
            with s.paused(reducer):
                s.emit(1)
                s.emit(2)
        assert calls.emissions == [(("late",), {})]   # alone in its batch: emitted as it is


@pytest.mark.parametrize("mode", ["callback", "reducer", "cycle", "default-hook"])
def test_a_pauser_gone_while_entered_reports_its_failure_with_the_signal(mode):
    out, err = run_child("pauser_dealloc_child.py", mode, timeout=60)
    assert out.split() == ["replayed", "0" if mode == "reducer" else "2"]
    if mode == "default-hook":
        assert err.startswith('Exception ignored in: Signal(name="paused", listeners=1)\n')
        assert err.rstrip().endswith("KeyError: (1,)")


def test_a_pause_left_by_an_exception_still_replays():
    with recording_signal() as (s, calls):
        with pytest.raises(KeyError):
            with s.paused():
                s.emit(1)
                raise KeyError
    calls.assert_emitted_once_with(1)


def test_exit_without_enter_and_a_pauser_released_while_entered():
    with recording_signal() as (s, calls):
        with pytest.raises(RuntimeError, match="^SignalPauser.__exit__ without a matching __enter__$"):
            s.paused().__exit__(None, None, None)
        pause = s.paused()
        pause.__enter__()
        s.emit(1)
        del pause
        gc.collect()
        calls.assert_emitted_once_with(1)
        s.connect(lambda x: x)
        assert s.emit(2) == [2]


def test_recorded_arguments_are_held_until_replayed():
    class Arg:
        pass

    with recording_signal() as (s, calls):
        with s.paused():
            s.emit(Arg())
            gc.collect()
    assert isinstance(calls.emissions[0][0][0], Arg)
    # The collector sees what a pause holds, so a cycle through it is found.
    arg, reducer = Arg(), (lambda p, c: c)
    s2 = Signal()
    with s2.paused(reducer):
        s2.emit(arg)
        held = gc.get_referents(s2)
        assert reducer in held and (arg,) in held
    held = gc.get_referents(s2)
    assert reducer not in held and (arg,) not in held


def test_emit_async_is_recorded_and_replayed_as_a_task():
    s = Signal("async")
    done = []

    async def cb(x):
        done.append(x)
        return x

    s.connect(cb)

    async def main():
        with s.paused():
            assert await s.emit_async(1) == []
            assert done == []
        assert done == []           # the replay runs as a task
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        return done

    assert asyncio.run(main()) == [1]


def test_emit_async_replayed_with_no_running_loop_closes_with_a_warning():
    s = Signal("async")
    ran = []

    async def cb(x):
        ran.append(x)

    s.connect(cb)

    async def record():
        pause = s.paused()
        pause.__enter__()
        assert await s.emit_async(1) == []
        return pause

    pause = asyncio.run(record())
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        pause.__exit__(None, None, None)
    assert [str(w.message) for w in seen] == [
        'Signal(name="async", listeners=1): emit_async() replayed by paused() with no running '
        "event loop on this thread; 1 awaitable result(s) closed"]
    assert seen[0].category is RuntimeWarning and ran == []
    with s.paused(), pytest.raises(RuntimeError, match="no running event loop"):
        s.emit_async()      # as outside a pause: nothing recorded


@pytest.mark.threads
def test_emissions_racing_with_the_exit_run_exactly_once():
    s = Signal()
    counts = {}
    lock = threading.Lock()

    def count(key):
        with lock:
            counts[key] = counts.get(key, 0) + 1

    s.connect(count)
    threads, per_thread, rounds = 3, 300, 60
    start = threading.Barrier(threads + 1)
    stop = threading.Event()
    finished = []

    def emitter(t):
        start.wait()
        for i in range(per_thread):
            s.emit((t, i))
        with lock:
            finished.append(t)
            if len(finished) == threads:
                stop.set()

    workers = [threading.Thread(target=emitter, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    for _ in range(rounds):         # at least a few pauses, then until the emitters end
        with s.paused():
            pass
    while not stop.is_set():
        with s.paused():
            pass
    for w in workers:
        w.join()
    assert len(counts) == threads * per_thread
    assert set(counts.values()) == {1}
