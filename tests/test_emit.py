"""Synchronous emission."""

import gc

import pytest

from support.helpers import connect_weak_through
from tarnwick import Signal


def test_empty_signal():
    hooked = []
    s = Signal()
    s.on_error(lambda *a: hooked.append(a))
    assert s.emit() == []
    assert s.emit(on_error="collect") == []
    assert hooked == []


def test_arguments_reach_every_callback():
    seen = []
    s = Signal()
    s.connect(lambda *a, **k: seen.append((a, k)))
    s.connect(lambda *a, **k: seen.append((a, k)))
    s.emit(1, 2, x=3)
    assert seen == [((1, 2), {"x": 3})] * 2
    seen.clear()
    s.emit(on_error="collect", y=4)
    assert seen == [((), {"y": 4})] * 2


def test_caller_kwargs_dict_is_not_changed():
    s = Signal()
    s.connect(lambda **k: k)
    d = {"on_error": "collect", "a": 1}
    assert s.emit(**d) == [{"a": 1}]
    assert d == {"on_error": "collect", "a": 1}


def test_results_in_order_including_none():
    s = Signal()
    for value in (1, None, 3):
        s.connect(lambda value=value: value)
    assert s.emit() == [1, None, 3]


@pytest.mark.parametrize("mode", ["FAST_FAIL", "fast-fail", "", "collect ", "fast_fail\0"])
def test_bad_mode_changes_nothing(mode):
    calls = []
    s = Signal()
    s.connect_once(lambda: calls.append(1))
    with pytest.raises(TypeError, match=r"^on_error must be 'fast_fail' or 'collect'\.$"):
        s.emit(on_error=mode)
    assert calls == [] and len(s) == 1
    s.emit()
    assert calls == [1]


@pytest.mark.parametrize("mode", [None, 1, b"collect"])
def test_non_str_mode(mode):
    s = Signal()
    s.connect_once(print)
    with pytest.raises(TypeError, match="argument 'on_error'"):
        s.emit(on_error=mode)
    assert len(s) == 1


class TestFailures:
    def make(self):
        log = []
        hooks = []
        s = Signal()
        s.on_error(lambda exc, cb: hooks.append((exc, cb)))
        s.connect(lambda: log.append("one") or "r1")
        err = ValueError("two")

        def two():
            log.append("two")
            raise err

        s.connect(two)
        s.connect(lambda: log.append("three") or "r3")
        return s, log, hooks, err, two

    def test_collect(self):
        s, log, hooks, err, two = self.make()
        assert s.emit(on_error="collect") == ["r1", err, "r3"]
        assert log == ["one", "two", "three"]
        assert hooks == [(err, two)]

    def test_fast_fail_raises_the_same_object(self):
        s, log, hooks, err, two = self.make()
        with pytest.raises(ValueError) as info:
            s.emit()
        assert info.value is err
        assert info.value.__traceback__ is not None
        assert log == ["one", "two"]
        assert hooks == [(err, two)]

    @pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit, BaseException])
    def test_base_exceptions(self, exc_type):
        s = Signal()
        s.connect(lambda: (_ for _ in ()).throw(exc_type("x")))
        [got] = s.emit(on_error="collect")
        assert type(got) is exc_type
        with pytest.raises(exc_type):
            s.emit()

    def test_fast_fail_uses_up_later_one_shots(self):
        calls = []
        s = Signal()
        s.connect(lambda: 1 / 0)
        s.connect_once(lambda: calls.append("once"))
        with pytest.raises(ZeroDivisionError):
            s.emit()
        assert len(s) == 1 and calls == []


def test_one_shot_is_gone_before_it_runs():
    s = Signal()
    lengths = []
    s.connect_once(lambda: lengths.append(len(s)))
    s.connect(lambda: None)
    s.emit()
    s.emit()
    assert lengths == [1]


def test_finite_connection():
    s = Signal()
    lengths = []
    s.connect_finite(lambda: lengths.append(len(s)), 3)
    for _ in range(5):
        s.emit()
    assert lengths == [1, 1, 0]
    assert len(s) == 0


def test_dead_weak_entry_is_removed_without_a_slot():
    class Obj:
        def m(self):
            return "alive"

    s = Signal()
    keep = Obj()
    gone = Obj()
    s.connect(gone.m, weak=True)
    s.connect(keep.m, weak=True)
    del gone
    gc.collect()
    assert len(s) == 2
    assert s.emit() == ["alive"]
    assert len(s) == 1


SWEEP_FROM = 64     # the table size from which a weak connect may sweep


def test_dead_weak_entries_of_a_signal_that_never_emits_stay_bounded():
    class View:
        def refresh(self):
            return "alive"

    s = Signal()
    views = [View() for _ in range(10)]
    for v in views:
        s.connect(v.refresh, weak=True)
    for i in range(1000):
        opened = View()                  # a WeakMethod, and a weakref.ref
        s.connect(opened.refresh, weak=True, priority=-(i % 3))
        function = lambda: "dead"        # noqa: E731
        s.connect_once(function, weak=True)
        del opened, function
        assert len(s) <= 2 * SWEEP_FROM
    assert s.connections()[:10] == [(i, v.refresh, 0, None) for i, v in enumerate(views)]
    assert s.emit() == ["alive"] * 10 and len(s) == 10


def test_a_connect_that_sweeps_resolves_weak_references_as_an_emission_does():
    class Obj:
        def m(self):
            return "m"

    obj = Obj()

    def due_for_a_sweep(reference):
        # One weak entry, and enough strong ones for the next connect to sweep.
        s = Signal()
        connect_weak_through(s.connect, obj.m, reference)
        for _ in range(SWEEP_FROM - 1):
            s.connect(lambda: None)
        return s

    def raising():
        raise LookupError("deref")

    s = due_for_a_sweep(raising)
    s.connect(lambda: "strong")         # a strong connect never sweeps
    with pytest.raises(LookupError, match="deref"):
        s.connect(obj.m, weak=True)     # sweeps first, and connects nothing
    assert len(s) == SWEEP_FROM + 1

    def connecting():                   # re-enters the connect that sweeps
        s.connect(lambda: "from the sweep")
        return obj.m

    s = due_for_a_sweep(connecting)
    assert s.connect(obj.m, weak=True) == SWEEP_FROM + 1
    assert s.emit()[-2:] == ["from the sweep", "m"]


def test_raising_weak_reference_stops_the_emission_and_uses_nothing_up():
    class Obj:
        def m(self):
            return "m"

    obj = Obj()
    raising = [True]

    def reference():
        if raising[0]:
            raise LookupError("deref")
        return obj.m

    s = Signal()
    calls = []
    s.connect_once(lambda: calls.append("strong once"), priority=1)
    s.connect_finite(lambda: calls.append("strong twice"), 2, priority=1)
    connect_weak_through(s.connect_once, obj.m, reference)
    hooks = []
    s.on_error(lambda *a: hooks.append(a))
    for _ in range(3):
        with pytest.raises(LookupError, match="deref"):
            s.emit()
    assert calls == [] and hooks == []
    # Nothing was called, so nothing was used up.
    raising[0] = False
    assert [(c[0], c[3]) for c in s.connections()] == [(0, 1), (1, 2), (2, 1)]
    assert s.emit() == [None, None, "m"]
    assert calls == ["strong once", "strong twice"]
    assert s.emit() == [None] and len(s) == 0


def test_emission_inside_a_failing_one_keeps_the_calls_it_did_not_make():
    # The interleaving of two threads, made in one: emission A resolves its
    # weak entry, which emits B (taking the last call A left) and then fails.
    # A used nothing, so one call of the two-shot is left for later.
    class Obj:
        def m(self):
            return "m"

    obj = Obj()
    outer = [True]

    def reference():
        if outer[0]:
            outer[0] = False
            assert s.emit() == ["twice", "m"]
            raise LookupError("deref")
        return obj.m

    s = Signal()
    s.connect_finite(lambda: "twice", 2, priority=1)
    connect_weak_through(s.connect, obj.m, reference)
    with pytest.raises(LookupError, match="deref"):
        s.emit()
    assert [c[3] for c in s.connections()] == [1, None]
    assert s.emit() == ["twice", "m"]
    assert s.emit() == ["m"] and len(s) == 1


def test_connect_during_emit_runs_next_time():
    s = Signal()
    log = []

    def adder():
        log.append("adder")
        s.connect(lambda: log.append("new"))

    s.connect_once(adder)
    s.emit()
    assert log == ["adder"]
    s.emit()
    assert log == ["adder", "new"]


def test_nested_emission_does_not_see_spent_entries():
    s = Signal()
    log = []

    def outer():
        log.append("outer")
        if len(log) == 1:
            s.emit()

    s.connect(outer)
    s.connect_once(lambda: log.append("once"))
    s.emit()
    # The inner emission does not see the one-shot the outer one took.
    assert log == ["outer", "outer", "once"]


def test_same_callable_twice():
    s = Signal()
    f = lambda: "x"  # noqa: E731
    s.connect(f)
    s.connect(f)
    assert s.emit() == ["x", "x"]
