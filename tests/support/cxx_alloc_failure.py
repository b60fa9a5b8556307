"""The child program of test_allocation_failure.py's C++ allocation-failure test.

It runs with cxx_new_shim.cpp preloaded, whose operator new fails on request,
and walks every operator new of each operation the way the tests walk
CPython's allocators: fail the n-th one (only that one, then it and all later
ones) and check what is left. Prints "ok" when every walk passed.
"""

import asyncio
import ctypes
import gc
import sys
import warnings

import faultinject
from tarnwick import Signal

shim = ctypes.CDLL(None).tarnwick_shim_fail
shim.argtypes = [ctypes.c_long, ctypes.c_long]
unraisable = []
sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
warnings.simplefilter("error", RuntimeWarning)
loop = asyncio.new_event_loop()


class Rec:
    def __init__(self, value):
        self.value = value
        self.calls = 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.value


def model(permanent, once, hooks=0, name="n"):
    s = Signal(name)
    perm = [Rec(k) for k in range(permanent)]
    ones = [Rec(100 + k) for k in range(once)]
    for r in perm:
        s.connect(r)
    for r in ones:
        s.connect_once(r)
    hooked = []
    for _ in range(hooks):
        s.on_error(lambda e, c: hooked.append(1))
    return s, perm, ones, hooked


def check(s, perm, ones, next_id):
    """Pending one-shots fire exactly once on the next emission, permanents
    every time, and the next connect gets the next id."""
    pending = [r for r in ones if r.calls == 0]
    assert len(s) == len(perm) + len(pending), ("len", len(s), len(perm), len(pending))
    # Each pending one-shot still has its call: a count used up without a
    # call shows only here.
    left = [c[3] for c in s.connections()]
    assert left == [None] * len(perm) + [1] * len(pending), ("calls left", left)
    before = [r.calls for r in perm]
    s.emit()
    assert [r.calls for r in perm] == [b + 1 for b in before], "a permanent callback was not called"
    assert all(r.calls == 1 for r in ones), ("one-shot calls", [r.calls for r in ones])
    assert len(s) == len(perm)
    cid = s.connect(print)
    assert cid == next_id, ("id", cid, next_id)


def walk(name, case):
    """case() -> (op, after(out, err)). Fails the n-th operator new of op()."""
    def trial(start, stop):
        op, after = case()
        out = err = None
        shim(start, stop)
        try:
            out = op()
        except BaseException as e:
            err = e
        finally:
            shim(-1, 0)
        if err is not None and not isinstance(err, MemoryError):
            raise AssertionError(f"{name}: {err!r}")
        try:
            after(out, err)
        except AssertionError as e:
            raise AssertionError(f"{name}, the call {'raised ' + repr(err) if err else 'succeeded'}: {e}")
        return err is None

    # Some operations here need no operator new (the table's inline room
    # holds them); the walk checks what is left, not that one failed.
    failures = faultinject.walk(trial, allocates=None, what="operator new", limit=500)
    print(name, "failures", failures)
    return failures


def connect_growing(method):
    def case():
        # 4 entries fill the inline storage, so the next one moves the table.
        s, perm, ones, _ = model(2, 2)
        target = Rec(7)

        def after(out, err):
            if err is None:
                assert (out.__enter__() if method == "connected" else out) == 4
                assert s.disconnect(4)
            check(s, perm, ones, 5 if err is None else 4)  # a failed connect uses no id

        if method == "connect_finite":
            return (lambda: s.connect_finite(target, 2)), after
        return (lambda: getattr(s, method)(target)), after

    return case


class Held:
    def method(self):
        return "weak"


def connect_weak_sweeping():
    # 63 strong entries and a dead weak one: a weak connect sweeps first.
    s, perm, ones, _ = model(61, 2)
    dead = Held()
    s.connect(dead.method, weak=True)
    del dead
    live = Held()

    def after(out, err):
        if err is None:
            assert out == 64 and len(s) == 64, ("the dead entry stayed", len(s))
            assert s.disconnect(64)
        else:
            # Connected nothing; the sweep may have been done.
            assert len(s) in (63, 64), len(s)
            s.disconnect(63)
        check(s, perm, ones, 65 if err is None else 64)

    return (lambda: s.connect(live.method, weak=True)), after


def emit_many(mode):
    def case():
        # Past every inline capacity: call list, removal set, release list.
        s, perm, ones, _ = model(9, 10)

        def after(out, err):
            called = [r.calls for r in perm + ones]
            if err is None:
                assert out == [r.value for r in perm + ones]
            else:
                assert not any(called), "an emission that failed before calling called something"
            check(s, perm, ones, 19)

        return (lambda: s.emit(on_error=mode)), after

    return case


def emit_with_hooks():
    s, perm, ones, hooked = model(1, 1, hooks=6)

    def boom():
        raise ValueError("boom")

    s.connect(boom, priority=-1)
    del unraisable[:]

    def after(out, err):
        if err is None:
            assert type(out[-1]) is ValueError
            # Copying six hooks needs memory; without it they are skipped and
            # the MemoryError is reported as unraisable instead.
            assert hooked == [1] * 6 or (hooked == [] and unraisable == [MemoryError]), (hooked, unraisable)
        del unraisable[:]
        s.disconnect(2)
        check(s, perm, ones, 3)

    return (lambda: s.emit(on_error="collect")), after


def on_error_growing():
    s, perm, ones, hooked = model(1, 1, hooks=2)

    def after(out, err):
        s.connect(lambda: 1 / 0)
        s.emit(on_error="collect")
        assert len(hooked) == (3 if err is None else 2), hooked
        s.disconnect(2)
        s.clear_error_hooks()
        check(s, perm, ones, 3)

    hook = lambda e, c: hooked.append(1)
    return (lambda: s.on_error(hook)), after


def repr_long():
    s, perm, ones, _ = model(1, 1, name="n" * 200)

    def after(out, err):
        if err is None:
            assert out == 'Signal(name="' + "n" * 200 + '", listeners=2)'
        check(s, perm, ones, 2)

    return (lambda: repr(s)), after


def new_named():
    def after(out, err):
        if err is None:
            assert repr(out) == 'Signal(name="' + "x" * 100 + '", listeners=0)'

    return (lambda: Signal("x" * 100)), after


def emit_async_many(mode):
    def case():
        s, perm, ones, _ = model(9, 10)

        async def coro():
            return "awaited"

        s.connect(coro, priority=-1)

        async def run():
            return s.emit_async(on_error=mode)

        def op():
            # Only the extension uses operator new, so the window may
            # include the loop: emit_async needs one running.
            return loop.run_until_complete(run())

        def after(out, err):
            called = [r.calls for r in perm + ones]
            if err is None:
                results = loop.run_until_complete(out)
                assert results == [r.value for r in perm + ones] + ["awaited"], results
            else:
                assert not any(called), "an emission that failed before calling called something"
            del out
            gc.collect()
            s.disconnect(19)
            check(s, perm, ones, 20)

        return op, after

    return case


total = 0
for method in ("connect", "connect_once", "connect_finite", "connected"):
    total += walk(method, connect_growing(method))
for mode in ("fast_fail", "collect"):
    total += walk(f"emit {mode}", emit_many(mode))
total += walk("weak connect sweeping", connect_weak_sweeping)
total += walk("emit with hooks", emit_with_hooks)
total += walk("on_error", on_error_growing)
total += walk("repr", repr_long)
total += walk("Signal(name)", new_named)
for mode in ("fast_fail", "collect"):
    total += walk(f"emit_async {mode}", emit_async_many(mode))
gc.collect()
assert set(unraisable) <= {MemoryError}, unraisable
print("ok", total)
