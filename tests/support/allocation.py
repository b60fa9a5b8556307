"""The allocation-failure walk over CPython's allocators, shared by the
allocation-failure tests: a signal with a known table (Model), the walk
over every allocation of one operation (walk) and the caches warmed before
any failure is injected (the warm_caches fixture)."""

from __future__ import annotations

import asyncio
import functools
import gc
import operator
import sysconfig
import weakref

import pytest

from support import faultinject
from support.faultinject import released
from support.signal_model import SignalModel
from tarnwick import Signal


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

# Ints from here on are past the interpreter's cache of small ints (256 and
# below; 1024 and below from 3.15 on): making one makes a new object.
FIRST_UNCACHED_INT = 1100

# More than the interpreter keeps of each kind of freed object for reuse
# (from 3.14 on: 100 ints, 20 bound methods).
FREE_LIST_SPAN = 256


class Reused:
    def method(self):
        pass


REUSED = Reused()


def hold_fresh_objects():
    """Fresh ints and bound methods, more than the interpreter keeps freed for
    reuse. From 3.14 a new int or bound method may come from such a free list
    without calling the allocator, so an id handed out, or the bound method a
    WeakMethod gives back, could never fail. While these are held those lists
    are empty: every int and bound method an operation makes is allocated, on
    every version, and the walks over those operations always have an
    allocation to fail."""
    return ([k + FIRST_UNCACHED_INT for k in range(FREE_LIST_SPAN)],
            [REUSED.method for _ in range(FREE_LIST_SPAN)])


def attempt(op, start, stop):
    """Runs op() with allocations number start..stop-1 failing (stop 0: every
    one from start on). Nothing else runs inside the window, not even the
    collector or building the result; both happen once the hooks are gone."""
    out = err = None
    held = hold_fresh_objects()
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
    del held
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

    def __init__(self, permanent=2, once=2, weak=1, burn_ids=FIRST_UNCACHED_INT):
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


def is_allocation_failure(err):
    """MemoryError, or how threading reports a lock it could not allocate."""
    return isinstance(err, MemoryError) or (
        type(err) is RuntimeError and str(err) == "can't allocate lock")


def walk(case, check, allocates=True):
    """case() gives (model, op); check(model, out, err) runs after each
    attempt with no failure active. Afterwards nothing the model made may
    still be alive: a leaked reference keeps it."""
    def trial(start, stop):
        m, op = case()
        m.single = bool(stop)  # only one allocation fails
        probes = m.probes()
        out, err = attempt(op, start, stop)
        if err is not None and not is_allocation_failure(err):
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
    tests warm each signal's script before failing anything. Importing a
    module in the window can crash too: a delivery's first connect (which
    imports what deliveries use) is made here, and tarnwick._timers, which
    the first throttled connect imports, is imported."""
    import tarnwick._timers  # noqa: F401 - imported for what it leaves in sys.modules

    class Held:
        def m(self):
            pass

    class Now:
        def call_soon_threadsafe(self, fn):
            fn()

    held = Held()
    s = Signal()
    s.connect(held.m, weak=True)
    s.connect(module_function, weak=True)
    s.listener(module_function, loop=Now())

    async def main():
        await s.emit_async()

    asyncio.run(main())


def module_function(*args, **kwargs):
    return "module"
