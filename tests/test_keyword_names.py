"""Keyword names as callers can really pass them: of any type, and several
that spell one name, through Signal(), emit and emit_async (which take a
keyword dictionary as it is), and through the fast-call binder."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.helpers import run_child
from tarnwick import Signal

NOT_STR = "keywords must be strings"


class Spelled(str):
    """A str equal only to itself: a dictionary keeps every instance apart,
    so several of them can spell one parameter's name."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    __ne__ = object.__ne__


@pytest.mark.parametrize("case", ["constructor", "emit", "emit_async", "vectorcall"])
def test_names_that_only_look_like_str_are_refused_in_a_child(case):
    # Laid out so that a reader taking them for str follows a wild pointer
    # or finds "name": run where a crash fails only this test.
    out, _ = run_child("hostile_keywords_child.py", case, timeout=600)
    assert out.rstrip().endswith("passed"), out


def raiser(*args, **kwargs):
    raise ValueError("raised")


class TestOnErrorSpelledBySubclass:
    """Python binds a keyword to a parameter whose name it equals, whatever
    its hash: so does emit's on_error."""

    @pytest.fixture
    def signal(self):
        s = Signal()
        s.connect(lambda *a, **k: k)
        s.connect(raiser)
        return s

    def test_binds_as_the_mode_and_is_not_passed_on(self, signal):
        for kwargs in ({Spelled("on_error"): "collect", "x": 1},
                       {"on_" + "error": "collect", "x": 1}, {Spelled("on_error"): "collect"}):
            given_kwargs = dict(kwargs)
            first, second = signal.emit(**kwargs)
            assert first == {k: v for k, v in kwargs.items() if not spells(k, "on_error")}
            assert type(second) is ValueError
            assert kwargs == given_kwargs  # the caller's dictionary is untouched

    def test_checked_like_the_keyword(self, signal):
        once = []
        signal.connect_once(once.append, priority=1)
        with pytest.raises(TypeError, match=r"^on_error must be 'fast_fail' or 'collect'\.$"):
            signal.emit(**{Spelled("on_error"): "Collect"})
        with pytest.raises(TypeError, match="^argument 'on_error': expected str, got int$"):
            signal.emit(**{Spelled("on_error"): 1})
        for method in ("emit", "emit_async"):
            with pytest.raises(TypeError, match=rf"^Signal\.{method}\(\) got multiple values for "
                                                r"argument 'on_error'$"):
                getattr(signal, method)(**{Spelled("on_error"): "collect", "on_error": "collect"})
        assert once == [] and signal.connections()[0][3] == 1

    def test_a_subclass_spelling_something_else_is_passed_on(self, signal):
        key = Spelled("on_errors")
        assert signal.emit(on_error="collect", **{key: 1})[0] == {key: 1}


# Keys as a careless caller builds them: names, subclass instances that spell
# a name (so a dictionary may hold several), and keys that are not str.
KEYS = st.one_of(
    st.sampled_from(["name", "on_error", "a", "weak"]),
    st.sampled_from(["name", "on_error", "a"]).map(Spelled),
    st.integers(-2, 2), st.binary(max_size=4), st.none(), st.tuples(st.text(max_size=2)),
)
VALUES = st.sampled_from(["collect", "fast_fail", "other", None])
KEYWORDS = st.dictionaries(KEYS, VALUES, max_size=6)
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def spells(key, name):
    """Whether `key` is a str with the text `name`, whatever its __eq__."""
    return isinstance(key, str) and str.__eq__(key, name)


def expected_error(kwargs, params, qualname):
    """The TypeError message Python gives for binding `kwargs` to the
    keyword parameters `params` (a function with no **kwargs when
    `qualname` is "Signal"), or None."""
    if not all(isinstance(k, str) for k in kwargs):
        return NOT_STR
    seen = set()
    for key in kwargs:
        param = next((p for p in params if spells(key, p)), None)
        if param is None:
            if qualname == "Signal":
                return f"Signal() got an unexpected keyword argument '{key}'"
            continue
        if param in seen:
            return f"{qualname}() got multiple values for argument '{param}'"
        seen.add(param)
    return None


@SETTINGS
@given(kwargs=KEYWORDS)
def test_constructor_binds_any_keywords_as_python_does(kwargs):
    message = expected_error(kwargs, ["name"], "Signal")
    if message is None:
        name = next((v for k, v in kwargs.items() if spells(k, "name")), None)
        assert repr(Signal(**kwargs)) == repr(Signal(name))
        return
    with pytest.raises(TypeError) as info:
        Signal(**kwargs)
    assert str(info.value) == message


@SETTINGS
@given(kwargs=KEYWORDS, method=st.sampled_from(["emit", "emit_async"]))
def test_emissions_refuse_bad_keywords_before_anything_runs(kwargs, method):
    s = Signal()
    seen, told = [], []
    s.on_error(lambda exc, cb: told.append(exc))
    s.connect_once(lambda *a, **k: seen.append(k))
    message = expected_error(kwargs, ["on_error"], f"Signal.{method}")
    mode = next((v for k, v in kwargs.items() if spells(k, "on_error")), "fast_fail")
    if message is None and mode not in ("collect", "fast_fail"):
        message = ("on_error must be 'fast_fail' or 'collect'." if isinstance(mode, str)
                   else "argument 'on_error': expected str, got NoneType")
    if message is not None:
        with pytest.raises(TypeError) as info:
            getattr(s, method)(**kwargs)
        assert str(info.value) == message
        assert seen == [] and told == []
        assert [c[3] for c in s.connections()] == [1], "a refused emission used up a call"
        return
    passed_on = {k: v for k, v in kwargs.items() if not spells(k, "on_error")}
    if method == "emit":
        assert s.emit(**kwargs) == [None]
    else:
        with pytest.raises(RuntimeError, match="no running event loop"):
            s.emit_async(**kwargs)
    assert seen == [passed_on] and told == [] and len(s) == 0
