"""Listing the connections of a signal: Signal.connections()."""

import gc
import threading

import pytest

from tarnwick import Signal


class Holder:
    def method(self, *args):
        return "method"


def test_entries_in_call_order_with_their_limits():
    s = Signal()
    h = Holder()
    a = s.connect(print)
    b = s.connect_once(len, priority=3)
    c = s.connect_finite(h.method, 5, weak=True, priority=-1)
    d = s.connect(repr, priority=3)
    listed = s.connections()
    assert listed == [(b, len, 3, 1), (d, repr, 3, None), (a, print, 0, None), (c, h.method, -1, 5)]
    assert listed is not s.connections()  # a new list every time
    s.emit("x")
    assert [entry[3] for entry in s.connections()] == [None, None, 4]


def test_dead_weak_referent_shows_as_none_until_an_emission_removes_it():
    s = Signal()
    h = Holder()
    s.connect(h.method, weak=True)
    del h
    gc.collect()
    assert s.connections() == [(0, None, 0, None)]
    s.emit()
    assert s.connections() == []


@pytest.mark.threads
def test_snapshot_while_other_threads_connect_and_emit():
    s = Signal()
    stop = threading.Event()
    errors = []

    def churn():
        try:
            while not stop.is_set():
                cid = s.connect_once(print)
                s.emit()
                s.disconnect(cid)
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=churn) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(2000):
            for cid, callback, priority, remaining in s.connections():
                assert callback is print and priority == 0 and remaining in (0, 1)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert errors == []
