"""Bad arguments of every type: each call refuses what the reference model
refuses, with the same exception, and a refused call changes nothing."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.signal_model import (SignalModel, as_index, connect_finite_refusal, connect_refusal,
                                  is_weak, mode_refusal, name_refusal, u64_refusal)
from tarnwick import Signal


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __repr__(self):
        return f"IndexRaises({self.exc!r})"


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexReturns({self.value!r})"


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatWithIndex(float):
    def __index__(self):
        return 1


def fake_numpy(type_name, truth):
    """A stand-in for a NumPy scalar: the right module and name, no NumPy."""

    def __bool__(self):
        if isinstance(truth, BaseException):
            raise truth
        return truth

    cls = type(type_name, (), {"__module__": "numpy", "__bool__": __bool__,
                               "__repr__": lambda self: f"fake numpy.{type_name}({truth!r})"})
    return cls()


EXC_FOR_INDEX = st.sampled_from([TypeError, ValueError, OverflowError, ZeroDivisionError,
                                 KeyError, RuntimeError, type("TypeErrorSub", (TypeError,), {})])

ANY_VALUE = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63 - 1, 2**63,
                     2**64 - 1, 2**64, -(2**63), 10**100, -(10**100)]),
    st.floats(allow_nan=True),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.builds(StrSub, st.text(max_size=8)),
    st.builds(IntSub, st.integers(min_value=-(2**65), max_value=2**65)),
    st.builds(IndexRaises, EXC_FOR_INDEX.map(lambda t: t("from __index__"))),
    st.builds(IndexReturns, st.one_of(st.integers(min_value=-(2**65), max_value=2**65),
                                      st.just("3"), st.just(2.5), st.none())),
    st.builds(FloatWithIndex, st.floats(allow_nan=False, allow_infinity=False)),
    st.builds(fake_numpy, st.sampled_from(["bool_", "bool", "int64", "float64"]),
              st.one_of(st.booleans(), st.just(ValueError("numpy truth")), st.just(0), st.just("yes"))),
    st.sampled_from([object(), [], (), {}, print, Signal, len, b"collect", bytearray(b"x"),
                     "fast_fail", "collect", StrSub("collect"), "Collect", "\ud800", 1j]),
)


def check_raises(expected, call):
    """Runs call(); `expected` is None (must succeed), an exception class, or
    the very exception instance that must come out (or a TypeError naming the
    argument that replaced it, when it was exactly a TypeError)."""
    try:
        result = call()
    except BaseException as e:  # noqa: BLE001
        if expected is None:
            raise AssertionError(f"unexpected {e!r}") from e
        if isinstance(expected, BaseException):
            if type(expected) is TypeError:
                assert type(e) is TypeError and "argument '" in str(e), repr(e)
            else:
                assert e is expected, f"expected the __index__'s own {expected!r}, got {e!r}"
        else:
            assert type(e) is expected, f"expected {expected.__name__}, got {e!r}"
        return None
    assert expected is None, f"expected {expected!r}, but the call returned {result!r}"
    return result


def module_function(*args, **kwargs):
    return "module"


class BadInput:
    """A signal with one live one-shot and the model of its table, checked to
    be untouched (same entries, same next id) after every failed call."""

    def __init__(self):
        self.s = Signal("input")
        self.model = SignalModel("input")
        assert self.s.connect_once(module_function) == self.model.connect(module_function, times=1).cid

    def unchanged(self):
        assert len(self.s) == len(self.model)
        cid = self.s.connect(print)
        assert cid == self.model.connect(print).cid, "a failed call consumed an id"
        assert self.s.disconnect(cid) and self.model.disconnect(cid)

    def succeeded(self, cid):
        assert cid == self.model.connect(print).cid
        assert self.s.disconnect(cid) and self.model.disconnect(cid)


BAD_INPUT_SETTINGS = settings(max_examples=150, deadline=None,
                              suppress_health_check=[HealthCheck.too_slow])


class TestBadInput:
    @BAD_INPUT_SETTINGS
    @given(callback=ANY_VALUE, weak=ANY_VALUE, priority=ANY_VALUE)
    def test_connect(self, callback, weak, priority):
        b = BadInput()
        for method in ("connect", "connect_once", "connected"):
            expected = connect_refusal(callback, weak, priority)
            if expected is None and is_weak(weak):
                continue  # liveness of arbitrary objects is tested elsewhere
            got = check_raises(expected, lambda: getattr(b.s, method)(callback, weak=weak,
                                                                      priority=priority))
            if got is not None:
                b.succeeded(got.__enter__() if method == "connected" else got)
            b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(times=ANY_VALUE, weak=ANY_VALUE, priority=ANY_VALUE, callable_cb=st.booleans())
    def test_connect_finite(self, times, weak, priority, callable_cb):
        b = BadInput()
        callback = module_function if callable_cb else 7
        expected = connect_finite_refusal(callback, times, weak, priority)
        got = check_raises(expected, lambda: b.s.connect_finite(callback, times, weak=weak,
                                                                priority=priority))
        if got is not None:
            b.succeeded(got)
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(cid=ANY_VALUE)
    def test_disconnect(self, cid):
        b = BadInput()
        expected = u64_refusal(cid)
        got = check_raises(expected, lambda: b.s.disconnect(cid))
        if expected is None:
            assert got is b.model.disconnect(as_index(cid))
            if got:
                assert b.s.connect_once(module_function) == b.model.connect(module_function, times=1).cid
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(handler=ANY_VALUE)
    def test_on_error(self, handler):
        b = BadInput()
        check_raises(None if callable(handler) else TypeError, lambda: b.s.on_error(handler))
        b.s.clear_error_hooks()
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(mode=ANY_VALUE)
    def test_emit_and_emit_async_modes(self, mode):
        b = BadInput()
        expected = mode_refusal(mode)
        if expected is None:
            return  # a good mode: emit would use up the one-shot
        check_raises(expected, lambda: b.s.emit(on_error=mode))
        b.unchanged()
        # The mode is read before any callback runs, so no loop is needed
        # to see the TypeError.
        check_raises(expected, lambda: b.s.emit_async(on_error=mode))
        b.unchanged()

    @BAD_INPUT_SETTINGS
    @given(name=ANY_VALUE)
    def test_signal_name(self, name):
        expected = name_refusal(name)
        for call in (lambda: Signal(name), lambda: Signal(name=name)):
            got = check_raises(expected, call)
            if got is not None:
                assert len(got) == 0 and got.connect(print) == 0

    @BAD_INPUT_SETTINGS
    @given(args=st.lists(ANY_VALUE, max_size=3),
           kwargs=st.dictionaries(st.sampled_from(["a", "b", "weak", "priority", "times"]),
                                  ANY_VALUE, max_size=3))
    def test_emit_passes_anything_through(self, args, kwargs):
        s = Signal()
        seen = []
        s.connect(lambda *a, **k: seen.append((a, k)))
        assert s.emit(*args, **kwargs) == [None]
        assert seen == [(tuple(args), kwargs)]

    def test_exit_arguments(self):
        conn = Signal().connected(print)
        with pytest.raises(TypeError):
            conn.__exit__()
        with pytest.raises(TypeError):
            conn.__exit__(1, 2, 3, 4)
        with pytest.raises(TypeError):
            conn.__exit__(1, 2, _exc_type=3)
        assert conn.__exit__(object(), "anything", 3) is False
