"""listener(..., max_args=N) and listener(..., sender=OBJ)."""

import asyncio
import concurrent.futures
import functools
import gc
import math
import re
import weakref

import pytest

from tarnwick import Signal


class Box:
    """A sender that can be neither hashed nor compared usefully."""
    __hash__ = None

    def __eq__(self, other):
        raise AssertionError("a sender is compared by identity")


# --- max_args ---------------------------------------------------------------

def test_max_args_passes_the_first_positional_arguments_and_every_keyword():
    s = Signal()
    s.listener(lambda **kw: kw, max_args=0)
    s.listener(max_args=1)(lambda a, **kw: a)
    s.listener(lambda a, b, **kw: (a, b, kw), max_args=2)
    s.connect(lambda *a, **kw: (a, kw))
    assert s.emit(1, 2, 3, k=4) == [{"k": 4}, 1, (1, 2, {"k": 4}), ((1, 2, 3), {"k": 4})]
    assert s.emit(1, 2, 3)[:3] == [{}, 1, (1, 2, {})]
    # Fewer than N: what there is.
    s2 = Signal()
    s2.listener(lambda *a: a, max_args=3)
    assert s2.emit(1) == [(1,)]
    assert s2.emit(1, 2, 3, 4, 5) == [(1, 2, 3)]


def test_max_args_auto_reads_the_signature_once_at_connect():
    class C:
        def method(self, a):
            return ("method", a)

        def __call__(self, a, b=0, *, key=None):
            return ("call", a, b)

    s = Signal()
    c = C()
    s.listener(max_args="auto")(c.method)
    s.listener(c, max_args="auto")
    s.listener(functools.partial(lambda x, y: (x, y), 1), max_args="auto")
    s.listener(lambda *a: a, max_args="auto")
    assert s.emit(7, 8, 9) == [("method", 7), ("call", 7, 8), (1, 7), (7, 8, 9)]
    c.method = None  # nothing is looked at again at emission
    assert s.emit(5, 6, 7)[0] == ("method", 5)


def test_max_args_auto_refuses_an_unreadable_signature_and_connects_nothing():
    s = Signal()
    with pytest.raises(TypeError, match=r"max_args='auto' cannot read the signature of "
                                        r"<class 'dict'>; give max_args a number") as info:
        s.listener(dict, max_args="auto")
    assert isinstance(info.value.__cause__, ValueError)
    assert len(s) == 0


@pytest.mark.parametrize("value, error, text", [
    (-1, ValueError, "argument 'max_args': must be >= 0"),
    (True, TypeError, "argument 'max_args': expected int, 'auto' or None, got bool"),
    (1.0, TypeError, "argument 'max_args': expected int, 'auto' or None, got float"),
    ("all", ValueError, "argument 'max_args': expected an int >= 0 or 'auto', got 'all'"),
    (2**70, OverflowError, None),
])
def test_bad_max_args_connects_nothing(value, error, text):
    s = Signal()
    with pytest.raises(error) as info:
        s.listener(print, max_args=value)
    with pytest.raises(error):
        s.listener(max_args=value)
    if text:
        assert str(info.value) == text
    assert len(s) == 0


def test_the_users_callable_is_what_everything_else_sees():
    s = Signal()
    seen = []
    s.on_error(lambda exc, cb: seen.append(cb))

    def one(a):
        raise ValueError(a)

    s.listener(one, max_args=1, priority=3, times=2)
    s.listener(one, max_args=1, unique=True)        # unique= compares with `one`
    assert [c[1:] for c in s.connections()] == [(one, 3, 2)]
    assert isinstance(s.emit(1, 2, on_error="collect")[0], ValueError)
    assert seen == [one]
    assert s.disconnect_callback(one) == 1 and len(s) == 0


def test_weak_and_max_args_together():
    class C:
        def m(self, a):
            return a

    s = Signal()
    c = C()
    s.listener(c.m, weak=True, max_args=1)
    assert s.emit(1, 2) == [1]
    assert s.connections()[0][1] == c.m
    del c
    gc.collect()
    assert s.emit(1, 2) == [] and len(s) == 0


def test_weak_auto_counts_the_callers_reference_as_before():
    class C:
        def m(self, a):
            return a

    s = Signal()
    c = C()
    s.listener(c.m, weak=True, max_args="auto")
    with pytest.raises(TypeError, match="no other strong reference"):
        s.listener(lambda a: a, weak=True, max_args="auto")

    @s.listener(weak=True, max_args="auto")
    def kept(a, b):
        return (a, b)

    assert s.emit(1, 2, 3) == [1, (1, 2)]


def test_max_args_with_a_loop_delivery():
    async def main():
        s = Signal()
        s.listener(lambda a: a, loop=asyncio.get_running_loop(), max_args=1)
        return s.emit(1, 2)
    assert asyncio.run(main()) == [1]


# --- sender -----------------------------------------------------------------

def test_sender_is_matched_by_identity_and_others_pass_over_it():
    s = Signal()
    a, b = Box(), Box()
    hooked = []
    s.on_error(lambda exc, cb: hooked.append(exc))

    def fails(x):
        raise ValueError

    s.listener(lambda x: "a", sender=a)
    s.listener(fails, sender=b)
    s.connect(lambda *x: "all")
    assert s.emit(a) == ["a", "all"]
    assert s.emit() == ["all"]                  # no first argument: no sender matches
    assert s.emit(Box()) == ["all"] and hooked == []
    big = 10**20
    s.listener(lambda x: "big", sender=big)
    assert s.emit(10**20) == ["all"]            # equal, but not the same object
    assert s.emit(big) == ["all", "big"]


def test_sender_none_filters_on_none_and_leaving_it_out_does_not():
    s = Signal()
    s.listener(lambda x: "none", sender=None)
    s.listener(lambda x: "any")
    assert s.emit(None) == ["none", "any"]
    assert s.emit(0) == ["any"]
    assert s.emit(...) == ["any"]               # `...` in the signature is not a value


def test_counts_are_used_only_by_the_sender():
    s = Signal()
    a, b = object(), object()
    s.listener(lambda x: "once", sender=a, times=1)
    for _ in range(5):
        assert s.emit(b) == []
    assert s.connections()[0][3] == 1
    assert s.emit(a) == ["once"] and len(s) == 0


def test_sender_with_every_other_option():
    class C:
        def m(self, *args):
            return args

    s = Signal()
    a = Box()
    c = C()
    s.listener(max_args=1, sender=a, weak=True, priority=5)(c.m)
    s.listener(lambda: "low", sender=a, max_args=0, priority=-1)
    assert s.emit(a, 2, 3) == [(a,), "low"]
    assert s.emit(1, 2, 3) == []
    # The sender is held strongly, even by a weak connection.
    ref = weakref.ref(a)
    del a
    gc.collect()
    assert ref() is not None
    del c
    gc.collect()
    assert s.emit(ref()) == ["low"] and len(s) == 1


def test_decorator_keeps_its_options_and_shows_them():
    s = Signal("s")
    a = object()
    decorate = s.listener(max_args="auto", sender=None)
    assert repr(decorate).startswith(
        "<Signal.listener(weak=False, priority=0, times=None, loop=None, unique=False, "
        "max_args='auto', sender=None) of ")
    decorate(lambda x, y: x)
    s.listener(max_args=1, sender=a)(lambda x: "a")
    assert s.emit(None, 2) == [None] and s.emit(a, 2) == ["a"]
    del decorate
    gc.collect()


# --- loop -------------------------------------------------------------------

class CallSoon:
    """A dispatcher class: its instances are targets, the class is not."""

    def call_soon_threadsafe(self, fn):
        fn()


class NotCallable:
    call_soon_threadsafe = 5


FakeToken = type("TrioToken", (), {"__module__": "trio_not_installed_here"})
FakeToken2 = type("TrioToken", (), {"__module__": "trio.lowlevel"})


@pytest.mark.parametrize("loop, shown", [
    (42, "got int"), (object(), "got object"), (NotCallable(), ".NotCallable"),
    (FakeToken(), ".TrioToken"), (FakeToken2(), ".TrioToken"),
    (asyncio.SelectorEventLoop, "SelectorEventLoop itself, not an instance"),
    (CallSoon, ".CallSoon itself, not an instance"),
], ids=repr)
def test_a_loop_that_is_no_target_is_refused_at_connect(loop, shown):
    s = Signal()
    accepted = ("argument 'loop': expected an event loop, a trio token, a "
                "concurrent.futures.Executor or a dispatcher")
    with pytest.raises(TypeError, match=re.escape(accepted)) as raised:
        s.listener(print, loop=loop)
    assert str(raised.value).endswith(shown)
    with pytest.raises(TypeError, match=re.escape(accepted)):
        s.listener(loop=loop)(print)
    assert len(s) == 0 and s.connect(print) == 0  # no id was used up
    s.listener(print, loop=CallSoon())
    (future,) = s.emit(1)[1:]  # a dispatcher whose call_soon_threadsafe runs it at once
    assert future.result(0) is None


def test_a_process_pool_is_refused_at_connect():
    # It would drop the call, which it cannot send to its processes, with no
    # word to the call's future.
    s = Signal()
    with concurrent.futures.ProcessPoolExecutor(1) as pool:  # no process started yet
        with pytest.raises(TypeError, match="ProcessPoolExecutor runs calls in other processes"):
            s.listener(print, loop=pool)
    assert len(s) == 0


# --- weak builtin methods ---------------------------------------------------

def test_listener_holds_a_weak_builtin_method_by_its_object():
    s = Signal()
    box = set()
    probe = weakref.ref(box)
    s.listener(box.add, weak=True)
    s.listener(weak=True, max_args=1)(box.discard)
    assert [c[1] for c in s.connections()] == [box.add, box.discard]
    assert s.emit(1) == [None, None] and box == set()
    assert s.disconnect_callback(box.discard) == 1
    s.emit(2)
    assert box == {2}
    del box
    gc.collect()
    assert probe() is None  # the connection did not keep it
    assert s.emit(3) == [] and len(s) == 0
    with pytest.raises(TypeError, match="no other strong reference"):
        s.listener(set().add, weak=True)


def test_a_weak_builtin_method_that_needs_its_defining_class_is_bound_again_with_it():
    import queue
    s = Signal()
    calls = queue.SimpleQueue()
    s.listener(calls.put, weak=True)
    s.listener(calls.get, weak=True, max_args=0)  # a method given its class (METH_METHOD)
    assert s.emit(7) == [None, 7]
    del calls
    gc.collect()
    assert s.emit(8) == [] and len(s) == 0


def test_a_weak_builtin_method_delivered_elsewhere_runs_while_its_object_lives():
    s = Signal()
    box = set()
    with concurrent.futures.ThreadPoolExecutor(1) as executor:
        s.listener(box.add, weak=True, loop=executor)
        (future,) = s.emit(1)
        assert future.result(10) is None and box == {1}
        del box
        gc.collect()
        assert s.emit(2) == [] and len(s) == 0


def test_weak_refuses_a_builtin_method_whose_object_cannot_be_weakly_referenced():
    s = Signal()
    items, box = [], set()
    with pytest.raises(TypeError, match=re.escape(
            "with weak=True: the object it belongs to (a list) cannot be referenced weakly")):
        s.listener(items.append, weak=True)
    for function in (len, math.sqrt):
        with pytest.raises(TypeError, match=re.escape(
                "with weak=True: it is a builtin function, not a method of an object")):
            s.listener(function, weak=True)
    with pytest.raises(TypeError, match="argument should be a bound method"):
        s.connect(box.add, weak=True)  # connect keeps its rule
    assert len(s) == 0
