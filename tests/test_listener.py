"""Connecting as a decorator: Signal.listener."""

import asyncio
import inspect

import pytest

from support.threads import run_threads
from tarnwick import Signal


def module_level_function(*args):
    return "module"


def test_bare_decorator_connects_and_returns_the_function():
    s = Signal()

    @s.listener
    def handler(x):
        return x * 2

    assert handler(4) == 8  # still callable by its name
    assert s.emit(3) == [6]
    assert s.connections() == [(0, handler, 0, None)]


def test_options_decorator_uses_priority_and_times():
    s = Signal()
    calls = []

    @s.listener
    def low():
        calls.append("low")

    @s.listener(priority=5, times=2)
    def high():
        calls.append("high")

    s.emit()
    assert s.connections()[0][2:] == (5, 1)
    s.emit()
    s.emit()
    assert calls == ["high", "low", "high", "low", "low"]
    assert [c[1] for c in s.connections()] == [low]


def test_direct_call_form_and_explicit_none():
    s = Signal()
    assert s.listener(module_level_function) is module_level_function
    decorate = s.listener(None, times=None)
    assert decorate(print) is print
    assert [c[1] for c in s.connections()] == [module_level_function, print]
    assert s.connections()[1][3] is None


def test_ids_and_errors_follow_the_connect_family():
    s = Signal()
    s.connect(print)
    s.listener(print)
    assert s.connect(print) == 2  # the listener took id 1
    with pytest.raises(TypeError, match=r"^Callback must be a function\.$"):
        s.listener(5)
    with pytest.raises(TypeError, match=r"^Callback must be a function\.$"):
        s.listener(times=1)(5)
    for bad in ({"times": 0}, {"times": 0, "weak": True}):
        with pytest.raises(TypeError, match=r"^times must be greater than zero\.$"):
            s.listener(**bad)
        with pytest.raises(TypeError, match=r"^times must be greater than zero\.$"):
            s.listener(print, **bad)
    with pytest.raises(OverflowError):
        s.listener(print, times=-1)
    with pytest.raises(TypeError, match="argument 'times'"):
        s.listener(times="3")
    with pytest.raises(TypeError, match="argument 'weak'"):
        s.listener(weak=1)
    with pytest.raises(TypeError, match="argument 'priority'"):
        s.listener(priority=1.5)
    with pytest.raises(OverflowError):
        s.listener(priority=2**31)
    with pytest.raises(TypeError, match=r"Signal.listener\(\) takes from 1 to 2 positional arguments but 3 were given"):
        s.listener(print, True)
    with pytest.raises(TypeError, match="unexpected keyword argument 'prio'"):
        s.listener(prio=1)
    assert len(s) == 3
    assert s.connect(print) == 3  # no failed call used an id


def test_weak_follows_the_liveness_rule():
    s = Signal()
    refused = r"^Callback passed with weak=True has no other strong reference"
    with pytest.raises(TypeError, match=refused):
        s.listener(lambda: None, weak=True)
    with pytest.raises(TypeError, match=refused):
        s.listener(weak=True)(type("T", (), {"m": lambda self: None})().m)
    assert s.listener(module_level_function, weak=True) is module_level_function

    # The decorator hands the function back to be bound to its name, so a
    # function that nothing else holds yet passes, and lives as long as that.
    @s.listener(weak=True)
    def named():
        return "named"

    assert s.emit() == ["module", "named"]
    del named
    assert s.emit() == ["module"]
    assert len(s) == 1


def test_signatures():
    s = Signal()
    assert str(inspect.signature(s.listener)) == (
        "(callback=None, *, weak=False, priority=0, times=None, loop=None, unique=False, "
        "max_args=None, sender=Ellipsis, throttle=None, debounce=None)")
    assert str(inspect.signature(s.disconnect_all)) == "()"
    assert str(inspect.signature(s.listener(priority=1))) == "(callback, /)"
    assert s.listener.__doc__.startswith("Connect a callable as a decorator")


def test_options_form_is_a_decorator_object_of_its_own():
    s = Signal("saved")
    decorate = s.listener(priority=5, times=2)
    assert repr(decorate) == ('<Signal.listener(weak=False, priority=5, times=2, loop=None, '
                              'unique=False) of Signal(name="saved", listeners=0)>')
    loop = asyncio.new_event_loop()
    try:
        assert repr(s.listener(weak=True, loop=loop, unique=True)).startswith(
            f"<Signal.listener(weak=True, priority=0, times=None, loop={loop!r}, unique=True)")
    finally:
        loop.close()
    assert not hasattr(decorate, "__self__")  # nothing of its state is exposed
    with pytest.raises(TypeError, match=r"^listener\(\) takes exactly one argument \(2 given\)$"):
        decorate(print, len)
    with pytest.raises(TypeError, match=r"^listener\(\) takes exactly one argument \(0 given\)$"):
        decorate()
    with pytest.raises(TypeError, match=r"^listener\(\) takes no keyword arguments$"):
        decorate(callback=print)
    with pytest.raises(TypeError, match="cannot create"):
        type(decorate)()
    assert len(s) == 0
    # One decorator may be used again; each use is a connection of its own.
    assert decorate(print) is print and decorate(len) is len
    assert s.connections() == [(0, print, 5, 2), (1, len, 5, 2)]
    assert repr(decorate).endswith('of Signal(name="saved", listeners=2)>')


def test_decorator_keeps_its_signal_alive_and_is_collected_in_a_cycle(collect_all):
    import weakref

    class Probe:
        def __call__(self):
            return self.decorate

    s = Signal()
    probe = Probe()
    s.connect(probe)
    alive = weakref.ref(probe)  # lives exactly as long as the signal
    decorate = s.listener(times=1)
    del s, probe
    collect_all()
    assert alive() is not None
    assert decorate(print) is print
    # signal -> probe -> decorator -> signal is freed by the collector.
    alive().decorate = decorate
    del decorate
    collect_all()
    assert alive() is None


class Handler:
    def __init__(self):
        self.calls = 0

    def on(self, *args):
        self.calls += 1


def test_unique_connects_only_a_callback_no_connection_equals():
    s = Signal()
    h = Handler()
    assert s.listener(h.on, unique=True) == h.on  # bound methods compare equal
    assert s.listener(h.on, unique=True, priority=9) == h.on
    s.listener(unique=True)(h.on)
    assert len(s) == 1 and s.connections()[0][2] == 0
    s.listener(h.on, weak=True, unique=True)  # the weak referent is compared too
    s.listener(Handler().on, unique=True)  # another instance's method is another callback
    assert len(s) == 2
    s.emit()
    assert h.calls == 1
    assert s.listener(h.on) == h.on and len(s) == 3  # without unique, as before


def test_unique_from_many_threads_connects_once():
    for _ in range(20):
        s = Signal()
        run_threads(lambda i: s.listener(module_level_function, unique=True), n=4)
        assert len(s) == 1
