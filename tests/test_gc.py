"""The cyclic collector, reference ownership and memory exhaustion."""

import gc
import os
import sys
import weakref

import pytest

from support.helpers import gc_clear, run_child
from tarnwick import Signal


class Owner:
    def __init__(self):
        self.signal = Signal("owned")
        self.signal.connect(self.method)
        self.signal.on_error(self.hook)

    def method(self):
        pass

    def hook(self, exc, cb):
        pass


def test_signal_in_a_cycle_through_a_bound_method_is_collected(collect_all):
    owner = Owner()
    ref = weakref.ref(owner)
    del owner
    collect_all()
    assert ref() is None


def test_cleared_signal_still_works_and_continues_ids():
    class Cb:
        def __call__(self):
            return "cb"

    cb = Cb()
    ref = weakref.ref(cb)
    s = Signal("kept")
    s.connect(cb)
    s.connect_once(cb)
    s.on_error(cb)
    del cb
    gc_clear(s)
    assert ref() is None  # the table and the hooks let go
    assert len(s) == 0 and s.emit() == []
    assert s.connect(lambda: 1) == 2
    assert repr(s) == 'Signal(name="kept", listeners=1)'


def test_gc_clear_empties_table_and_hooks():
    # gc.get_referents goes through traverse; clearing through tp_clear is
    # exercised with a cycle that only the collector can break.
    s = Signal()
    f = lambda: None  # noqa: E731
    h = lambda *a: None  # noqa: E731
    s.connect(f)
    s.on_error(h)
    assert f in gc.get_referents(s) and h in gc.get_referents(s)


def test_connection_cycle_is_collected(collect_all):
    def make():
        s = Signal()
        conn_box = []

        def cb():
            return conn_box  # the closure holds its own SignalConnection

        # cb -> conn_box -> connection -> signal -> cb: only the collector frees it.
        conn_box.append(s.connected(cb))
        return weakref.ref(cb)

    enabled = gc.isenabled()
    gc.disable()
    try:
        gone = make()
        assert gone() is not None
    finally:
        if enabled:
            gc.enable()
    collect_all()
    assert gone() is None
    leaks = [o for o in gc.get_objects() if type(o).__name__ == "SignalConnection"]
    assert leaks == []


def test_exit_after_collector_clear_does_nothing():
    s = Signal()
    box = []

    class Keeper:
        def __del__(self):
            # Runs during collection; the connection may already be cleared.
            box[0].__exit__(None, None, None)

    conn = s.connected(lambda: box)
    box.append(conn)
    box.append(Keeper())
    s.connect(lambda: box)
    del s, conn
    gc.collect()


def test_exit_after_clear_is_a_no_op():
    s = Signal()
    conn = s.connected(print)
    gc_clear(conn)
    assert conn.__exit__(None, None, None) is False
    assert len(s) == 1


def test_references_are_released(collect_all):
    class Cb:
        def __call__(self, *args, **kwargs):
            return self

    cb = Cb()
    arg = object()
    base_cb, base_arg = sys.getrefcount(cb), sys.getrefcount(arg)
    s = Signal()
    for _ in range(3):
        cid = s.connect(cb)
        s.connect_once(cb)
        s.connect_finite(cb, 2)
        s.emit(arg, k=arg)
        s.emit(arg, on_error="collect")
        s.disconnect(cid)
        with s.connected(cb):
            s.emit(arg)
    s.on_error(cb)
    s.connect(lambda *a, **k: 1 / 0)
    s.emit(arg, on_error="collect")
    try:
        s.emit(arg)
    except ZeroDivisionError:
        pass
    del s
    collect_all()
    assert sys.getrefcount(cb) == base_cb
    assert sys.getrefcount(arg) == base_arg


# The child caps its address space from the size it reads in /proc.
@pytest.mark.skipif(sys.platform == "win32" or not os.path.exists("/proc/self/statm"),
                    reason="needs /proc/self/statm and resource.RLIMIT_AS (Linux)")
def test_memory_exhaustion_in_native_code_raises_memory_error():
    # The child caps its own address space (RLIMIT_AS) around the calls.
    out, _ = run_child("memory_cap_child.py")
    assert out.split() == ["connect:", "MemoryError", "emit:", "MemoryError", "ok"]
