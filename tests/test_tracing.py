"""tarnwick.testing.trace: every callback call reported once it returns, to a
hook or as a line; nesting, choosing signals, hooks that raise."""

import io
import re
import sys
import threading
import time

import pytest

from tarnwick import Signal
from tarnwick.testing import record, trace


class Handler:
    def on_save(self, path, **options):
        return f"saved {path}"


def test_events_for_returns_and_raises():
    s = Signal("saved")
    h = Handler()

    def fails(path, **options):
        raise KeyError(path)

    s.connect(h.on_save, weak=True, priority=1)
    s.connect(fails)
    events = []
    with trace(events.append):
        results = s.emit("a.txt", on_error="collect", mode="w")
        with pytest.raises(KeyError):
            s.emit("b.txt")
    assert [type(r).__name__ for r in results] == ["str", "KeyError"]
    first, second, third, fourth = events
    assert (first.signal, first.callback, first.args, first.kwargs) == (s, h.on_save, ("a.txt",), {"mode": "w"})
    assert (first.result, first.exception) == ("saved a.txt", None)
    assert second.callback is fails and second.result is None and second.exception is results[1]
    assert (third.args, third.kwargs, fourth.callback) == (("b.txt",), {}, fails)
    assert isinstance(fourth.exception, KeyError)
    assert all(isinstance(e.seconds, float) and e.seconds >= 0 for e in events)
    s.emit("c.txt", on_error="collect")
    assert len(events) == 4  # nothing once left


def test_lines_written_to_a_file_or_stderr(capsys):
    s = Signal("saved")
    s.connect(lambda text, **k: len(text))
    out = io.StringIO()
    with trace(file=out):
        s.emit("x" * 500, flag=[1] * 100)
    (line,) = out.getvalue().splitlines()
    assert re.fullmatch(r"saved: .*<lambda>\('x+\.\.\.x+', flag=\[1, 1, 1, 1, 1, 1, \.\.\.\]\) "
                        r"-> 500 in \d+\.\d{3} ms", line), line
    assert len(line) < 200
    with trace():
        unnamed = Signal()
        unnamed.connect(int)
        unnamed.emit("x", on_error="collect")
    assert re.fullmatch(r"signal: int\('x'\) raised ValueError\(.*\) in \d+\.\d{3} ms\n", capsys.readouterr().err)


def test_traces_nest_and_choose_their_signals():
    a, b = Signal("a"), Signal("b")
    a.connect(lambda: "a")
    b.connect(lambda: "b")
    every, only_b = [], []
    with trace(lambda e: every.append(e.result)):
        a.emit()
        with trace(lambda e: only_b.append(e.result), signals=[b, b]):
            a.emit()
            b.emit()
        b.emit()
    assert every == ["a", "a", "b", "b"]
    assert only_b == ["b"]
    with pytest.raises(TypeError):
        trace(signals=[print])
    with pytest.raises(TypeError):
        trace(print, file=io.StringIO())


def test_a_raising_hook_goes_to_the_unraisable_hook(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append((u.exc_value, u.object)))
    s = Signal()
    s.connect(lambda: 1)
    s.connect(lambda: 2)

    def hook(event):
        raise RuntimeError("hook")

    with trace(hook):
        assert s.emit() == [1, 2]
    assert [(str(e), o) for e, o in reported] == [("hook", hook), ("hook", hook)]


def test_a_hook_that_emits_is_not_traced_again():
    s, log = Signal(), Signal()
    s.connect(lambda: "s")
    log.connect(lambda text: None)
    seen = []

    def hook(event):
        seen.append(event.signal)
        log.emit(repr(event))

    with trace(hook):
        s.emit()
    assert seen == [s]


def test_a_thread_emitting_into_a_trace_and_recorder():
    s = Signal()
    s.connect(lambda i: i * 2)
    events = []
    with trace(events.append), record(s) as r:
        t = threading.Thread(target=lambda: [s.emit(i) for i in range(50)])
        t.start()
        r.wait(50, timeout=60)
        t.join()
    assert sorted(e.result for e in events) == [i * 2 for i in range(50)]
    assert all(e.signal is s for e in events)


@pytest.mark.threads
def test_recorders_and_traces_come_and_go_while_threads_emit():
    signals = [Signal(f"s{i}") for i in range(3)]
    for s in signals:
        s.connect(lambda i: i + 1)
    stop = threading.Event()
    emitted = [0] * 3
    errors = []

    def emitter(k):
        try:
            s = signals[k]
            while not stop.is_set():
                assert s.emit(emitted[k]) == [emitted[k] + 1]
                emitted[k] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def observer():
        try:
            while not stop.is_set():
                with record(signals[0]) as r, trace(lambda e: None, signals=signals[1:]), trace(lambda e: None):
                    try:
                        r.wait(1, timeout=10)
                    except TimeoutError:
                        assert stop.is_set()  # the emitters may have finished first
                seen = [args[0] for args, _ in r.emissions]
                assert seen == list(range(seen[0], seen[0] + len(seen))) if seen else True
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    with record(signals[0]) as whole:
        threads = [threading.Thread(target=emitter, args=(k,)) for k in range(3)]
        threads += [threading.Thread(target=observer) for _ in range(2)]
        for t in threads:
            t.start()
        time.sleep(0.5)
        stop.set()
        for t in threads:
            t.join(timeout=60)
            assert not t.is_alive(), "a thread hung"
    assert not errors, errors[0]
    assert [args for args, _ in whole.emissions] == [(i,) for i in range(emitted[0])]
