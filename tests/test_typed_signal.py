"""Signal[...] at run time: a types.GenericAlias for annotations."""

import types
import typing

from tarnwick import Signal


def test_subscription_gives_a_generic_alias():
    for item, args in [((int, str), (int, str)), ([int, str], ([int, str],)), (int, (int,)), ((), ())]:
        alias = Signal[item]
        assert type(alias) is types.GenericAlias
        assert alias.__origin__ is Signal
        assert alias.__args__ == args
    # A parametrised signal is a plain Signal once made.
    s = Signal[[int, str]]("typed")
    assert type(s) is Signal
    assert repr(s) == 'Signal(name="typed", listeners=0)'


def test_evaluated_annotations_work():
    class Model:
        changed: "Signal[[int, str]]"
        cleared: Signal[[]]

    hints = typing.get_type_hints(Model)
    assert hints["changed"] == Signal[[int, str]]
    assert hints["cleared"].__origin__ is Signal
