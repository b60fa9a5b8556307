"""Construction, repr and len."""

import pytest

from tarnwick import Signal


def test_repr_without_name():
    assert repr(Signal()) == "Signal(name=None, listeners=0)"
    assert repr(Signal(None)) == repr(Signal(name=None)) == "Signal(name=None, listeners=0)"
    assert repr(Signal("")) == 'Signal(name="", listeners=0)'


@pytest.mark.parametrize(
    "name, shown",
    [
        ('say "hi"', r'"say \"hi\""'),
        ("back\\slash", r'"back\\slash"'),
        ("a\nb\tc\rd\0e", r'"a\nb\tc\rd\0e"'),
        ("it's", '"it\'s"'),
        ("bell\x07", r'"bell\u{7}"'),
        ("café", '"café"'),
        ("a b", '"a b"'),
        ("nb\u00a0sp", r'"nb\u{a0}sp"'),
        ("zw\u200bsp", r'"zw\u{200b}sp"'),
        ("e\u0301", r'"e\u{301}"'),  # combining acute: Grapheme_Extend
        ("priv\ue000", r'"priv\u{e000}"'),
        ("unassigned\U000e0080", r'"unassigned\u{e0080}"'),
        ("line\u2028para\u2029", r'"line\u{2028}para\u{2029}"'),
        ("emoji 🎉", '"emoji 🎉"'),
        ("\x7f", r'"\u{7f}"'),
    ],
)
def test_repr_escapes_name(name, shown):
    assert repr(Signal(name)) == f"Signal(name={shown}, listeners=0)"


def test_str_subclass_name_is_read_as_text():
    class Name(str):
        def __str__(self):
            return "other"

    assert repr(Signal(Name("x"))) == 'Signal(name="x", listeners=0)'


@pytest.mark.parametrize("bad", [5, b"x", 1.0, ["x"]])
def test_bad_names(bad):
    with pytest.raises(TypeError, match="argument 'name'"):
        Signal(bad)
    with pytest.raises(TypeError, match="argument 'name'"):
        Signal(name=bad)


def test_constructor_call_errors():
    with pytest.raises(TypeError, match=r"Signal\(\) takes from 0 to 1 positional arguments but 2 were given"):
        Signal("a", "b")
    with pytest.raises(TypeError, match="unexpected keyword argument 'title'"):
        Signal(title="x")
    with pytest.raises(TypeError, match="multiple values for argument 'name'"):
        Signal("a", name="b")


def test_unencodable_name():
    with pytest.raises(UnicodeEncodeError):
        Signal("\ud800")


def test_len_and_repr_count_every_entry():
    class Obj:
        def m(self):
            pass

    s = Signal("n")
    obj = Obj()
    s.connect(dict)
    s.connect(obj.m, weak=True)
    s.connect_once(tuple)
    assert len(s) == 3
    assert repr(s).endswith("listeners=3)")
    del obj
    assert len(s) == 3  # a dead weak entry stays until an emission finds it
    assert s.emit() == [{}, ()]
    assert len(s) == 1
