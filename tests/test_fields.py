"""SignalField: one signal per instance, declared on the class."""

import copy
import gc
import pickle
import weakref

import pytest

from support.threads import run_threads
from tarnwick import Signal, SignalField


class Document:
    saved = SignalField()
    renamed = SignalField[[str, str]]()


class Report(Document):
    saved = SignalField()  # redeclared: replaces the parent's
    printed = SignalField()


def test_each_instance_gets_its_own_named_signal_made_once():
    a, b = Document(), Document()
    assert "saved" not in vars(a)  # made on first access
    assert type(a.saved) is Signal
    assert a.saved is a.saved
    assert a.saved is not b.saved and a.saved is not a.renamed
    assert repr(a.renamed) == 'Signal(name="renamed", listeners=0)'
    calls = []
    a.saved.connect(calls.append)
    assert b.saved.emit("x") == [] and calls == []
    assert a.saved.emit("y") == [None] and calls == ["y"]


def test_the_class_sees_the_field():
    assert isinstance(Document.saved, SignalField)
    assert Document.saved.name == "saved" and SignalField().name is None
    assert repr(Document.saved) == "SignalField(name='saved', owner='Document')"
    assert SignalField[[int]] == SignalField[[int]] and SignalField[int]().name is None
    with pytest.raises(TypeError, match="takes no arguments|positional argument"):
        SignalField("saved")


@pytest.mark.parametrize("how", ["assign", "delete"])
def test_the_signal_cannot_be_replaced_or_deleted(how):
    d = Document()
    before = d.saved
    before.connect(print)
    with pytest.raises(AttributeError, match=r"'saved': it is a signal of \S*Document objects"):
        if how == "assign":
            d.saved = Signal()
        else:
            del d.saved
    assert d.saved is before and len(d.saved) == 1


def listeners_of(obj):
    return {name: len(getattr(obj, name)) for name in ("saved", "renamed")}


@pytest.mark.parametrize("duplicate", [
    copy.copy,
    copy.deepcopy,
    lambda d: pickle.loads(pickle.dumps(d)),
], ids=["copy", "deepcopy", "pickle"])
def test_copies_get_fresh_signals_and_keep_the_rest(duplicate):
    d = Document()
    d.title = "draft"
    d.saved.connect(print)
    d.renamed.connect(print)
    twin = duplicate(d)
    assert twin.title == "draft"
    assert listeners_of(twin) == {"saved": 0, "renamed": 0}
    assert twin.saved is not d.saved and listeners_of(d) == {"saved": 1, "renamed": 1}
    assert repr(twin.saved) == 'Signal(name="saved", listeners=0)'


def test_a_class_with_its_own_getstate_keeps_it():
    class Custom:
        changed = SignalField()

        def __getstate__(self):
            return {"custom": True}

    assert Custom().__getstate__() == {"custom": True}
    assert copy.copy(Custom()).custom is True


class DropCache:
    """A mixin whose __getstate__ leaves its cache out and defers to the next one."""

    def __getstate__(self):
        state = super().__getstate__()
        return {k: v for k, v in state.items() if k != "cache"}


class Model:
    changed = SignalField()


class FieldFirst(Model, DropCache):
    pass


class MixinFirst(DropCache, Model):
    pass


@pytest.mark.parametrize("cls", [FieldFirst, MixinFirst], ids=lambda c: c.__name__)
def test_the_installed_getstate_continues_along_the_mro(cls):
    c = cls()
    c.cache, c.kept = "derived", "data"
    c.changed.connect(print)
    assert c.__getstate__() == {"kept": "data"}
    for twin in (copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert vars(twin) == {"kept": "data"} and len(twin.changed) == 0
    with pytest.raises(TypeError, match="takes no arguments"):
        Model.__getstate__(c, 1)


def test_a_field_in_a_metaclass_is_refused_saying_where_to_declare_it():
    with pytest.raises(TypeError, match=r"'changed' is declared in the metaclass \S*Meta, .*"
                                        r"declare it in the body of the classes"):
        class Meta(type):
            changed = SignalField()


def test_one_field_in_two_classes_is_refused_and_keeps_its_owner():
    field = SignalField()

    class First:
        changed = field

    with pytest.raises(TypeError, match=r"two classes \(\S*First and \S*Second\)"):
        class Second:
            changed = field

    field.__set_name__(First, "changed")  # the same binding again changes nothing
    assert repr(First.changed).endswith("First')")
    assert repr(First().changed) == 'Signal(name="changed", listeners=0)'


def test_slots_with_and_without_a_dict():
    with pytest.raises(TypeError, match=r'add "__dict__" to the __slots__ of \S*Slotted'):
        class Slotted:
            __slots__ = ("x",)
            changed = SignalField()

    class WithDict:
        __slots__ = ("x", "__dict__")
        changed = SignalField()

    w = WithDict()
    w.x = 1
    w.changed.connect(print)
    twin = copy.copy(w)
    assert twin.x == 1 and len(twin.changed) == 0 and len(w.changed) == 1


def test_subclasses_inherit_and_redeclare():
    r = Report()
    assert isinstance(Report.saved, SignalField) and Report.saved is not Document.saved
    assert Report.renamed is Document.renamed
    assert r.renamed is r.renamed and r.saved is not Document().saved
    assert repr(r.printed) == 'Signal(name="printed", listeners=0)'
    r.saved.connect(print)
    assert len(copy.copy(r).saved) == 0


def test_one_field_under_two_names_is_refused():
    field = SignalField()
    with pytest.raises(TypeError, match="two different names"):
        class Twice:
            a = field
            b = field


def test_a_field_without_a_name_says_how_to_give_one():
    class Late:
        pass

    Late.changed = SignalField()  # added after the class statement: no __set_name__
    with pytest.raises(TypeError, match="declare it in a class body"):
        Late().changed
    Late.changed.__set_name__(Late, "changed")
    assert repr(Late().changed) == 'Signal(name="changed", listeners=0)'


class Listener:
    def __init__(self, target):
        self.target = target

    def __call__(self):
        pass


def test_instance_signal_and_its_listeners_die_with_the_instance(collect_all):
    d = Document()
    listener = Listener(d)  # a cycle: d -> signal -> listener -> d
    d.saved.connect(listener)
    probe = weakref.ref(listener)
    del listener
    del d
    collect_all()
    assert probe() is None


def test_first_access_race_gives_one_signal():
    # Many threads touch fresh instances' fields at the same moment; each
    # instance must end up with exactly one signal, seen by all of them.
    rounds = 200
    docs = [Document() for _ in range(rounds)]
    seen = [[None] * rounds for _ in range(6)]

    def reader(i):
        for k, d in enumerate(docs):
            seen[i][k] = d.saved

    run_threads(reader, n=6)
    for k, d in enumerate(docs):
        assert all(row[k] is d.saved for row in seen)
    gc.collect()


def test_first_access_race_with_connections_loses_none():
    # A connection made through the signal a thread saw is on the instance's
    # signal: no thread got a signal that was then thrown away.
    for _ in range(50):
        d = Document()
        run_threads(lambda i: d.saved.connect(lambda: i), n=4)
        assert len(d.saved) == 4
