"""Programs that tests/test_subinterpreters.py runs in a child process.

    python tests/subinterpreters_child.py CASE [KIND]

KIND is "legacy" (the main interpreter's GIL) or "isolated" (a GIL of its
own). A case raises, or crashes, when tarnwick misbehaves; exit status 0 means
it passed. `scenario` is what every sub-interpreter runs: this file is imported
there too, from the directory that holds it.
"""

from __future__ import annotations

import gc
import os
import sys
import threading

import _interpreters

HERE = os.path.dirname(os.path.abspath(__file__))


def run(interp, code: str) -> None:
    """Runs `code` in `interp`; an exception in there is raised here."""
    failure = _interpreters.run_string(interp, code)
    if failure is not None:
        raise AssertionError(f"in the sub-interpreter: {failure.errdisplay}")


def call_in(interp, function: str, *args) -> None:
    """Calls this module's `function` with `args` (their reprs) in `interp`."""
    run(interp, f"import sys; sys.path.insert(0, {HERE!r})\n"
                f"import subinterpreters_child as child\n"
                f"child.{function}({', '.join(map(repr, args))})\n")


def run_scenario(interp, keep: bool = True) -> None:
    import tarnwick

    call_in(interp, "scenario", id(tarnwick.Signal), id(tarnwick.SignalConnection), keep)


def main_classes(n: int = 3000) -> None:
    # A larger program has made many classes, so its type version tags have
    # run far ahead of a new interpreter's.
    for cls in [type("J", (), {}) for _ in range(n)]:
        cls.x = 1
        assert cls.x == 1


class Holder:
    def method(self, x):
        return ("method", x)


def fails(x):
    raise ValueError(x)


kept = []


def scenario(main_signal_id: int, main_connection_id: int, keep: bool) -> None:
    """Inside a sub-interpreter: every kind of use, leaving signals (one in a
    reference cycle) for the interpreter's finalisation when `keep`."""
    import asyncio
    import importlib

    import tarnwick
    from tarnwick import Signal, SignalConnection

    # Types of its own, which a re-import gets again.
    assert id(Signal) != main_signal_id and id(SignalConnection) != main_connection_id
    del sys.modules["tarnwick"]
    again = importlib.import_module("tarnwick")
    assert again is not tarnwick and again.Signal is Signal
    assert again.SignalConnection is SignalConnection

    printed = []
    sys.excepthook = lambda kind, value, tb: printed.append(kind)
    seen = []
    s = Signal("sub")
    s.on_error(lambda exc, cb: seen.append(type(exc)))
    s.on_error(lambda exc, cb: 1 / 0)
    holder = Holder()
    s.connect(holder.method, weak=True)
    s.connect(lambda x: x * 2, priority=5)
    s.connect_once(fails)
    with s.connected(lambda x: "scoped") as cid:
        assert cid == 3
        got = s.emit(3, on_error="collect")
    assert got[:2] == [6, ("method", 3)] and type(got[2]) is ValueError and got[3] == "scoped"
    assert seen == [ValueError] and printed == [ZeroDivisionError]
    sys.excepthook = sys.__excepthook__
    del holder
    gc.collect()
    assert s.emit(x=4) == [8] and len(s) == 1
    assert repr(s) == 'Signal(name="sub", listeners=1)'
    for lone in ("lambda: 1", "(lambda: lambda: 1)()"):  # top-level and nested functions
        try:
            exec(f"s.connect({lone}, weak=True)", {"s": s})  # nothing else holds it
        except TypeError:
            pass
        else:
            raise AssertionError(f"a weak connection to a dying {lone} was accepted")

    async def plus_one(x):
        await asyncio.sleep(0)
        return x + 1

    async def emit_async(*args, **kwargs):
        return await s.emit_async(*args, **kwargs)

    s.connect(plus_one)
    assert asyncio.run(emit_async(1)) == [2, 2]
    s.connect_once(fails)
    try:
        asyncio.run(emit_async(1))
    except ValueError:
        pass
    else:
        raise AssertionError("emit_async did not raise")
    assert seen == [ValueError, ValueError]
    # The blocker's type is this interpreter's too.
    with s.blocked():
        assert s.emit(1) == [] and len(s.connections()) == 2
    assert s.disconnect_callback(plus_one) == 1
    # So are the field's type and the signals it makes; a copy gets its own.
    import copy

    class Model:
        changed = tarnwick.SignalField()

    m = Model()
    assert type(m.changed) is Signal and m.changed is m.changed
    m.changed.connect(print)
    assert len(copy.copy(m).changed) == 0 and m.changed.disconnect_all() == 1
    # tarnwick.testing and its native half work here too; the half is this
    # interpreter's, made again by the new import.
    from tarnwick.testing import record, trace

    assert sys.modules["tarnwick._observers"] is again._observers

    events = []
    with record(s) as r, trace(events.append):
        assert s.emit(5) == [10]
    r.assert_emitted_once_with(5)
    assert [(e.signal, e.result) for e in events] == [(s, 10)]
    # The timer thread of throttle= and debounce= is this interpreter's own;
    # its destruction stops it, with a call still pending.
    made = threading.Event()
    rated = Signal("rated")
    rated.listener(lambda x: made.set(), debounce=0.1)
    rated.listener(print, throttle=30)
    assert rated.emit(1) == [None, None]
    assert made.wait(10) and rated.emit("never") == [None, None]
    if keep:
        kept.append(m)
        cyclic = Signal("cycle")
        cyclic.connect(lambda: cyclic)
        kept.append(s)


# ---------------------------------------------------------------------------
# What the cases run inside a sub-interpreter


def lookup_beside_other_classes() -> None:
    import tarnwick

    s = tarnwick.Signal()
    s.connect(lambda: "cb")
    for _ in range(10000):
        X = type("X", (), {"emit": lambda self: "X.emit"})
        X.emit
        assert getattr(X(), "emit")() == "X.emit"
        assert getattr(s, "emit")() == ["cb"]


def slot_reads_beside_a_signal() -> None:
    import tarnwick

    try:
        from _testcapi import type_get_version
    except ImportError:
        type_get_version = None
    s = tarnwick.Signal()
    s.emit()

    def read(obj):
        return obj.a

    collided = []
    for n in range(8000):
        C = type("C", (), {"__slots__": ("a",)})
        c = C()
        c.a = n
        if type_get_version is not None:
            if type_get_version(C) != type_get_version(type(s)):
                continue
            collided.append(n)
        for _ in range(10):
            assert read(c) == n
        try:
            read(s)
        except AttributeError:
            pass
        else:
            raise AssertionError("a Signal was read as a slot")
    assert not collided, collided


def gather_without_tarnwick() -> None:
    import asyncio
    import importlib  # noqa: F401  (the modules the scenario imports)
    import weakref  # noqa: F401

    async def one():
        return 1

    async def main():
        return await asyncio.gather(one())

    asyncio.run(main())


# ---------------------------------------------------------------------------
# The cases, run in the main interpreter of the child process


def case_lookup(kind: str) -> None:
    """getattr on a Signal in a sub-interpreter, beside unrelated classes."""
    main_classes()
    import tarnwick

    s = tarnwick.Signal()
    s.connect(lambda: 1)
    assert getattr(s, "emit")() == [1]
    interp = _interpreters.create(kind)
    call_in(interp, "lookup_beside_other_classes")
    _interpreters.destroy(interp)
    assert getattr(s, "emit")() == [1]


def case_slots(kind: str) -> None:
    """Bytecode specialised on a class with __slots__ never reads a Signal.

    Where _testcapi can be imported, a class whose version tag equals the
    Signal type's is searched for (there must be none: every interpreter
    draws the tags of its types from one counter); elsewhere the read is
    specialised on every new class in turn."""
    main_classes()
    import tarnwick

    tarnwick.Signal().emit()
    interp = _interpreters.create(kind)
    call_in(interp, "slot_reads_beside_a_signal")
    _interpreters.destroy(interp)


def case_lifecycle(kind: str) -> None:
    """One sub-interpreter uses everything; the main one goes on after it."""
    import tarnwick

    main = tarnwick.Signal()
    main.connect(Holder().method)
    # The weak-liveness calibration runs here first, on a free-threaded
    # build after a thread has made the main interpreter's functions
    # immortal; the sub-interpreter's own mortal ones must still be judged.
    thread = threading.Thread(target=lambda: None)
    thread.start()
    thread.join()
    holder = Holder()
    main.connect(holder.method, weak=True)
    interp = _interpreters.create(kind)
    run_scenario(interp)
    _interpreters.destroy(interp)
    assert main.emit(1) == [("method", 1), ("method", 1)]


def case_orders(kind: str) -> None:
    """Sub-interpreters destroyed while the main one uses tarnwick between
    each step, in three orders that put each interpreter first, in the middle
    and last once: what a destruction can meet depends on the position, and
    the other three orders repeat those positions."""
    import tarnwick

    main = tarnwick.Signal()
    main.connect(lambda x: x)
    for order in ((0, 1, 2), (1, 2, 0), (2, 0, 1)):
        interps = [_interpreters.create(kind) for _ in range(3)]
        for interp in interps:
            run_scenario(interp)
            assert main.emit(1) == [1]
        for k in order:
            _interpreters.destroy(interps[k])
            assert main.emit(2) == [2]


def case_threads(kind: str, threads: int = 3, rounds: int = 3) -> None:
    """Several sub-interpreters used from several threads at once, while the
    main interpreter emits on a signal of its own.

    The interpreters are created and destroyed by the main thread, between
    the rounds: CPython 3.13 re-readies the static builtin types while it
    creates an interpreter, writing their flags while other threads read
    them, a race of its own that ThreadSanitizer would pin on whatever
    reads them at the same time."""
    import tarnwick

    main = tarnwick.Signal()
    main.connect(lambda x: x)
    errors = []

    def worker(interp, start):
        try:
            start.wait()
            run_scenario(interp)
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    for _ in range(rounds):
        interps = [_interpreters.create(kind) for _ in range(threads)]
        start = threading.Barrier(threads)
        pool = [threading.Thread(target=worker, args=(interp, start)) for interp in interps]
        for t in pool:
            t.start()
        while any(t.is_alive() for t in pool):
            assert main.emit(1) == [1]
        for t in pool:
            t.join()
        for interp in interps:
            _interpreters.destroy(interp)
        if errors:
            raise errors[0]


def case_leaks(kind: str) -> None:
    """On a debug build: a sub-interpreter that used tarnwick leaves no more
    references behind when it is destroyed than one that did not."""
    if not hasattr(sys, "gettotalrefcount"):
        print("not a debug build: nothing to count")
        return
    import tarnwick  # noqa: F401  (the main interpreter has it too)

    def used(interp):
        run_scenario(interp)

    def unused(interp):
        # The same modules and one asyncio.gather, as the scenario does: in a
        # sub-interpreter, CPython 3.13 leaks about 1,300 references for it.
        call_in(interp, "gather_without_tarnwick")

    def deltas(body, rounds=4, warmups=2):
        out = []
        for i in range(warmups + rounds):
            gc.collect()
            before = sys.gettotalrefcount()
            interp = _interpreters.create(kind)
            body(interp)
            _interpreters.destroy(interp)
            gc.collect()
            if i >= warmups:
                out.append(sys.gettotalrefcount() - before)
        return out

    base = deltas(unused)
    ours = deltas(used)
    print("without tarnwick", base, "with", ours)
    assert min(ours) <= max(base), (base, ours)


if __name__ == "__main__":
    case = globals()["case_" + sys.argv[1]]
    case(*sys.argv[2:])
    print("passed")
