"""Connecting: ids, order, argument handling and weak references."""

import gc
import sys
import weakref

import pytest

from support.helpers import run_child
from tarnwick import Signal


def recorder(log, tag):
    def cb(*args, **kwargs):
        log.append(tag)
        return tag

    return cb


def test_ids_count_from_zero_across_the_family():
    s = Signal()
    assert s.connect(print) == 0
    assert s.connect_once(print) == 1
    assert s.connect_finite(print, 3) == 2
    assert s.disconnect(0)
    assert s.connect(print) == 3  # never reused
    assert Signal().connect(print) == 0


def test_failed_connects_consume_no_id():
    s = Signal()
    for bad in (
        lambda: s.connect(5),
        lambda: s.connect(print, priority="x"),
        lambda: s.connect_finite(print, 0),
        lambda: s.connect(lambda: None, weak=True),
        lambda: s.connect(print, weak=True),  # builtins can't be WeakMethod'd
    ):
        with pytest.raises(TypeError):
            bad()
    assert s.connect(print) == 0
    assert len(s) == 1


def test_priority_order():
    log = []
    s = Signal()
    for tag, prio in [("A", 0), ("B", 5), ("C", 0), ("D", 5), ("E", -1)]:
        s.connect(recorder(log, tag), priority=prio)
    s.emit()
    assert log == ["B", "D", "A", "C", "E"]


def test_extreme_priorities_and_growth_beyond_inline_storage():
    log = []
    s = Signal()
    prios = [0, 2**31 - 1, -(2**31), 7, 0, 7, -1, 2**31 - 1, 3]
    for i, p in enumerate(prios):
        s.connect(recorder(log, i), priority=p)
    s.emit()
    expected = [i for i, _ in sorted(enumerate(prios), key=lambda ip: -ip[1])]
    assert log == expected


def test_same_callable_twice_makes_two_entries():
    s = Signal()
    f = lambda: 1  # noqa: E731
    a, b = s.connect(f), s.connect(f)
    assert a != b
    assert s.emit() == [1, 1]


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s: s.connect(5), TypeError, "Callback must be a function."),
        (lambda s: s.connect(5, priority="x"), TypeError, "argument 'priority': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.connect(print, weak=1), TypeError, "argument 'weak'"),
        (lambda s: s.connect(print, weak=None), TypeError, "argument 'weak'"),
        (lambda s: s.connect(print, priority=2**31), OverflowError, "out of range integral type conversion attempted"),
        (lambda s: s.connect(print, priority=2**63), OverflowError, "too large"),
        (lambda s: s.connect_finite(print, 0), TypeError, "times must be greater than zero."),
        (lambda s: s.connect_finite(5, 0), TypeError, "Callback must be a function."),
        (lambda s: s.connect_finite(print, -1), OverflowError, "negative"),
        (lambda s: s.connect_finite(print, 2**64), OverflowError, "too big"),
        (lambda s: s.connect_finite(print, "3"), TypeError, "argument 'times'"),
        (lambda s: s.connect_finite(5, "3", priority="x"), TypeError, "argument 'times'"),
        (lambda s: s.connect(), TypeError, r"Signal.connect\(\) missing 1 required positional argument: 'callback'"),
        (lambda s: s.connect_finite(), TypeError, r"Signal.connect_finite\(\) missing 2 required positional arguments: 'callback' and 'times'"),
        (lambda s: s.connect_once(print, False, 0, 1), TypeError, r"Signal.connect_once\(\) takes from 2 to 4 positional arguments but 5 were given"),
        (lambda s: s.connect(print, weakly=True), TypeError, r"Signal.connect\(\) got an unexpected keyword argument 'weakly'"),
        (lambda s: s.connect(print, callback=print), TypeError, r"Signal.connect\(\) got multiple values for argument 'callback'"),
    ],
)
def test_argument_errors(call, exc, message):
    s = Signal()
    with pytest.raises(exc, match=message):
        call(s)
    assert len(s) == 0


def test_keywords_bind_whether_or_not_their_names_are_interned():
    # Compiled keywords are interned and match by identity; names built at
    # run time are equal strings of another identity and must match as well.
    s = Signal()
    made = {"".join(["call", "back"]): print, "".join(["prio", "rity"]): 5}
    assert s.connect(print, priority=1) == 0
    assert s.connect(**made) == 1
    assert s.connect_finite(**made, times=2) == 2
    conn = s.connected(**made)
    assert len(s) == 4
    conn.__exit__(_exc_type=None, **{"".join(["_exc_", "val"]): None}, _exc_tb=None)
    assert s.disconnect(**{"".join(["i", "d"]): 1})
    assert [c[2] for c in s.connections()] == [5, 1]


def test_conversion_errors_keep_their_cause_and_other_errors_pass():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("nope") from e

    class Raising:
        def __index__(self):
            raise ValueError("boom")

    class Sub(TypeError):
        pass

    class SubRaising:
        def __index__(self):
            raise Sub("sub")

    s = Signal()
    with pytest.raises(TypeError, match="argument 'priority': nope") as info:
        s.connect(print, priority=BadIndex())
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(ValueError, match="boom"):
        s.connect(print, priority=Raising())
    with pytest.raises(Sub, match="^sub$"):
        s.disconnect(SubRaising())


def test_index_objects_and_bools_are_integers():
    class Three:
        def __index__(self):
            return 3

    s = Signal()
    s.connect_finite(print, Three(), priority=Three())
    s.connect_finite(print, True)
    assert s.disconnect(True)  # id 1
    assert len(s) == 1


def test_numpy_bool_is_recognised_without_numpy():
    def fake(name, value):
        return type(name, (), {"__module__": "numpy", "__bool__": lambda self: value})()

    class Obj:
        def m(self):
            return "m"

    obj = Obj()
    s = Signal()
    s.connect(obj.m, weak=fake("bool_", True))
    s.connect(print, weak=fake("bool", False))
    with pytest.raises(TypeError, match="argument 'weak'"):
        s.connect(print, weak=fake("int64", True))
    assert len(s) == 2
    del obj
    gc.collect()
    assert s.emit is not None and len(s) == 2
    np = pytest.importorskip("numpy")
    s.connect(print, weak=np.False_)


def module_level_function():
    return "module"


class Holder:
    def method(self):
        return "method"

    @classmethod
    def klass(cls):
        return "klass"


class NoWeakRefs:
    __slots__ = ()

    def __call__(self):
        pass


# Every way of connecting weakly, with the callable in a local variable (a
# parameter here), which 3.14+ lends to the call without a reference of its own.
WEAK_FORMS = {
    "connect": lambda s, cb: s.connect(cb, weak=True),
    "connect_once": lambda s, cb: s.connect_once(cb, weak=True),
    "connect_finite": lambda s, cb: s.connect_finite(cb, 2, weak=True),
    "connected": lambda s, cb: s.connected(cb, weak=True),
    "listener": lambda s, cb: s.listener(cb, weak=True),
    "listener decorator": lambda s, cb: s.listener(weak=True)(cb),
}

# The same with a lambda written in the call: nothing but the call holds it.
# (The decorator is left out: it hands the callable back to be kept.)
WEAK_FORMS_WITH_A_TEMPORARY = {
    "connect": lambda s: s.connect(lambda: None, weak=True),
    "connect_once": lambda s: s.connect_once(lambda: None, weak=True),
    "connect_finite": lambda s: s.connect_finite(lambda: None, 2, weak=True),
    "connected": lambda s: s.connected(lambda: None, weak=True),
    "listener": lambda s: s.listener(lambda: None, weak=True),
}


@pytest.mark.parametrize("form", WEAK_FORMS)
def test_weak_callables_held_in_locals_are_accepted_and_held_weakly(form):
    connect = WEAK_FORMS[form]

    def local():
        return "local"

    holder = Holder()
    method = holder.method
    klass = Holder.klass
    s = Signal()
    for cb in (local, klass, method):
        connect(s, cb)
    del cb
    assert s.emit() == ["local", "klass", "method"]
    held_weakly = [weakref.ref(local), weakref.ref(holder)]
    del local, method, holder
    gc.collect()
    assert [r() for r in held_weakly] == [None, None]


@pytest.mark.parametrize("form", WEAK_FORMS_WITH_A_TEMPORARY)
def test_weak_lambda_written_in_the_call_is_refused(form):
    s = Signal()
    with pytest.raises(TypeError, match="^Callback passed with weak=True has no other strong reference"):
        WEAK_FORMS_WITH_A_TEMPORARY[form](s)
    assert len(s) == 0
    assert s.connect(print) == 0


@pytest.mark.parametrize("form", WEAK_FORMS)
def test_weak_callable_that_cannot_be_weakly_referenced_gets_weakrefs_error(form):
    s = Signal()
    with pytest.raises(TypeError, match="^cannot create weak reference to 'NoWeakRefs' object$"):
        WEAK_FORMS[form](s, NoWeakRefs())
    assert len(s) == 0


class TestWeakLiveness:
    """The four reference cases decide the same way on every build."""

    def test_module_function_is_accepted(self):
        s = Signal()
        s.connect(module_level_function, weak=True)
        assert s.emit() == ["module"]

    def test_bound_method_of_temporary_instance_is_refused(self):
        with pytest.raises(TypeError, match="no other strong reference"):
            Signal().connect(Holder().method, weak=True)

    def test_bound_method_of_held_instance_is_accepted_and_weak(self):
        s = Signal()
        h = Holder()
        s.connect(h.method, weak=True)
        assert s.emit() == ["method"]
        del h
        gc.collect()
        assert s.emit() == []
        assert len(s) == 0

    def test_connected_checks_the_callable(self):
        with pytest.raises(TypeError, match="Callback must be a function."):
            Signal().connected(42)

    def test_self_lookup_errors_propagate(self):
        class Odd:
            def __call__(self):
                pass

            def __getattr__(self, name):
                if name == "__self__":
                    raise RuntimeError("no self for you")
                raise AttributeError(name)

        odd = Odd()
        with pytest.raises(RuntimeError, match="no self for you"):
            Signal().connect(odd, weak=True)

    def test_weakref_import_is_retried(self, monkeypatch):
        s = Signal()
        monkeypatch.setitem(sys.modules, "weakref", None)
        with pytest.raises(ImportError):
            s.connect(module_level_function, weak=True)
        monkeypatch.undo()
        s.connect(module_level_function, weak=True)
        assert s.emit() == ["module"]


def liveness_decisions(when):
    out, _ = run_child("liveness_child.py", when, timeout=60)
    return out.split()


def test_liveness_examples_at_module_level():
    assert liveness_decisions("first") == ["refused", "accepted", "refused", "accepted"]


def test_liveness_examples_after_a_thread_started():
    decisions = liveness_decisions("after-thread")
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        assert decisions == ["refused", "accepted", "refused", "accepted"]
    else:
        # Free-threaded 3.13 makes top-level functions immortal once a second
        # thread exists; an immortal callback can never be collected.
        assert decisions[1:] == ["accepted", "refused", "accepted"]
