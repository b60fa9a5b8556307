"""evented: dataclasses, attrs classes and pydantic models whose fields emit."""

import copy
import dataclasses
import gc
import pickle
import threading
import weakref

import pytest

from support.helpers import run_child
from tarnwick import Signal, evented


def recorder(group):
    """Connects to every field's signal and to `all`; returns the log."""
    log = []
    for name in group:
        getattr(group, name).connect(lambda new, old, name=name: log.append((name, new, old)))
    group.all.connect(lambda name, new, old: log.append(("all", name, new, old)))
    return log


@evented
@dataclasses.dataclass
class Layer:
    name: str
    opacity: float = 1.0


@evented
@dataclasses.dataclass(slots=True)
class Slotted:
    name: str
    opacity: float = 1.0


@evented
@dataclasses.dataclass
class Base:
    a: int = 0


@evented
@dataclasses.dataclass
class Derived(Base):
    b: int = 0


# ---------------------------------------------------------------------------
# dataclass


@pytest.mark.parametrize("cls", [Layer, Slotted])
def test_a_change_emits_on_the_field_then_all(cls):
    layer = cls("a")
    log = recorder(layer.events)
    layer.opacity = 0.5
    layer.opacity = 0.5  # equal: nothing
    layer.name = "b"
    assert log == [("opacity", 0.5, 1.0), ("all", "opacity", 0.5, 1.0),
                   ("name", "b", "a"), ("all", "name", "b", "a")]
    assert (layer.name, layer.opacity) == ("b", 0.5)


@pytest.mark.parametrize("cls", [Layer, Slotted])
def test_the_group(cls):
    layer = cls("a")
    group = layer.events
    assert group is layer.events
    assert cls("b").events is not group
    assert len(group) == 2 and list(group) == ["name", "opacity"]
    assert isinstance(group.opacity, Signal) and isinstance(group.all, Signal)
    assert repr(group.opacity) == 'Signal(name="opacity", listeners=0)'
    assert repr(group.all) == 'Signal(name="all", listeners=0)'
    assert "opacity" in dir(group)
    for how in (lambda: setattr(layer, "events", 1), lambda: delattr(layer, "events")):
        with pytest.raises(AttributeError, match="signals"):
            how()


@pytest.mark.parametrize("cls", [Layer, Slotted])
def test_the_class_keeps_its_behaviour(cls):
    layer = cls("a", 0.5)
    before = (repr(layer), dataclasses.asdict(layer), layer == cls("a", 0.5))
    recorder(layer.events)
    assert (repr(layer), dataclasses.asdict(layer), layer == cls("a", 0.5)) == before
    assert before == (f"{cls.__qualname__}(name='a', opacity=0.5)", {"name": "a", "opacity": 0.5}, True)
    assert dataclasses.replace(layer, name="z").events is not layer.events
    assert [f.name for f in dataclasses.fields(cls)] == ["name", "opacity"]


def test_init_and_non_fields_emit_nothing():
    seen = []

    @evented
    @dataclasses.dataclass
    class Early:
        x: int = 0

        def __post_init__(self):
            self.events.all.connect(lambda *a: seen.append(a))
            self.x = 1  # listened to already: emits
            self.cache = 5

    Early()
    assert seen == [("x", 1, 0)]


@evented
@dataclasses.dataclass
class Counted:
    name: str = ""
    hits: int = dataclasses.field(init=False, default=0)


def test_a_value_read_from_the_class_is_the_old_value():
    # A field whose instance holds no value reads the class's default: the
    # first change from it emits with that default as the old value.
    counted = Counted()
    log = recorder(counted.events)
    counted.hits = 5
    layer = Layer("a")
    log2 = recorder(layer.events)
    del layer.opacity
    with pytest.raises(AttributeError):
        del layer.opacity
    layer.opacity = 1.0  # what a read gave: nothing
    layer.opacity = 2.0
    assert log == [("hits", 5, 0), ("all", "hits", 5, 0)]
    assert log2 == [("opacity", 2.0, 1.0), ("all", "opacity", 2.0, 1.0)]
    # A slot without a value has nothing to read: no old value, no change.
    slotted = Slotted("a")
    log3 = recorder(slotted.events)
    del slotted.opacity
    slotted.opacity = 2.0
    assert log3 == [] and slotted.opacity == 2.0


def test_slots_class_is_made_again_with_a_slot_for_the_group():
    assert Slotted.__slots__ == ("name", "opacity", "events")
    s = Slotted("a")
    with pytest.raises(AttributeError):
        s.other = 1
    assert not hasattr(s, "__dict__")



def test_slots_class_methods_see_the_new_class(attrs):
    @evented
    @attrs.define
    class WithSuper:
        x: int = 0

        def which(self):
            return super().__repr__() and __class__  # noqa: F821 - the class cell

    assert WithSuper().which() is WithSuper


def test_subclasses_get_their_own_fields_signals():
    d = Derived()
    assert list(d.events) == ["a", "b"]
    log = recorder(d.events)
    d.a, d.b = 1, 2
    assert log == [("a", 1, 0), ("all", "a", 1, 0), ("b", 2, 0), ("all", "b", 2, 0)]
    base = Base()
    log = recorder(base.events)
    base.a = 3
    assert log == [("a", 3, 0), ("all", "a", 3, 0)]


def test_the_class_attributes_are_left_as_they_were():
    # A read of a field is served as on the class undecorated: by the
    # instance, a class default or a slot's member descriptor.
    assert Layer.opacity == 1.0 and "name" not in Layer.__dict__
    assert all(type(Slotted.__dict__[name]).__name__ == "member_descriptor"
               for name in ("name", "opacity"))
    layer = Layer("a")
    recorder(layer.events)
    del layer.opacity
    assert layer.opacity == 1.0


def test_who_stores_a_field_in_a_subclass():
    class Undecorated(Layer):
        pass

    class OwnProperty(Layer):
        @property
        def opacity(self):
            return self.__dict__["shade"]

        @opacity.setter
        def opacity(self, value):
            self.__dict__["shade"] = value

    @evented
    @dataclasses.dataclass
    class OwnSetattr(Layer):
        def __setattr__(self, name, value):
            super().__setattr__(name, round(value, 1) if name == "opacity" else value)

    logs = {}
    for cls in (Undecorated, OwnProperty, OwnSetattr):
        layer = cls("a")
        logs[cls] = recorder(layer.events)
        layer.opacity = 0.54
        layer.other = 1
        assert layer.other == 1
    assert logs[Undecorated] == [("opacity", 0.54, 1.0), ("all", "opacity", 0.54, 1.0)]
    assert logs[OwnProperty] == []  # the subclass's property stored it
    # A subclass changed after its instances were assigned is looked at again.
    layer = Undecorated("a")
    log = recorder(layer.events)
    Undecorated.opacity = OwnProperty.opacity
    layer.opacity = 0.3
    assert log == [] and layer.__dict__["shade"] == 0.3
    assert logs[OwnSetattr] == [("opacity", 0.5, 1.0), ("all", "opacity", 0.5, 1.0)]
    layer = Layer("a")
    log = recorder(layer.events)
    object.__setattr__(layer, "opacity", 0.2)  # past the class's __setattr__: not seen
    assert log == [] and layer.opacity == 0.2


@pytest.mark.parametrize("name", ["events", "all"])
def test_a_field_named_like_the_group_is_refused(name):
    cls = dataclasses.make_dataclass("Clash", [(name, int)])
    with pytest.raises(TypeError, match=f"field named '{name}'"):
        evented(cls)


def test_what_cannot_be_evented():
    with pytest.raises(TypeError, match="frozen dataclass"):
        evented(dataclasses.dataclass(frozen=True)(type("F", (), {"__annotations__": {"x": int}})))
    with pytest.raises(TypeError, match="takes a dataclass"):
        evented(type("Plain", (), {}))
    with pytest.raises(TypeError, match="takes a class"):
        evented(1)


def test_blocked_and_paused_cover_the_whole_group():
    layer = Layer("a")
    log = recorder(layer.events)
    with layer.events.blocked():
        layer.opacity = 0.1
    assert log == []
    with layer.events.paused():
        layer.opacity = 0.2
        with layer.events.paused():
            layer.name = "b"
        assert log == []
        layer.opacity = 0.3
    assert log == [("opacity", 0.2, 0.1), ("all", "opacity", 0.2, 0.1),
                   ("name", "b", "a"), ("all", "name", "b", "a"),
                   ("opacity", 0.3, 0.2), ("all", "opacity", 0.3, 0.2)]


def test_a_field_signal_paused_alone_replays_its_changes():
    layer = Layer("a")
    log = []
    opacity = layer.events.opacity
    with opacity.paused():
        layer.opacity = 0.2  # nobody listens yet: recorded all the same
        opacity.connect(lambda new, old: log.append((new, old)))
        layer.opacity = 0.3
        assert log == []
    assert log == [(0.2, 1.0), (0.3, 0.2)]


def test_a_group_pause_replays_every_change_in_order_once():
    layer = Layer("a")
    log = recorder(layer.events)

    def follow(new, old):  # a change made during the replay comes after the rest
        if new == 0.1:
            layer.opacity = 0.9

    def boom(name, new, old):
        if new in (0.1, "b"):
            raise KeyError(new)

    layer.events.opacity.connect(follow)
    layer.events.all.connect(boom)
    with pytest.raises(KeyError) as raised:
        with layer.events.paused():
            layer.opacity = 0.1
            layer.name = "b"
            with layer.events.blocked():
                layer.name = "c"  # blocked: never replayed
            with layer.events.opacity.blocked():
                layer.opacity = 0.2  # only `all` hears it
            layer.opacity = 0.3
    assert raised.value.args == (0.1,)  # the first failure, after every change
    assert log == [("opacity", 0.1, 1.0), ("all", "opacity", 0.1, 1.0),
                   ("name", "b", "a"), ("all", "name", "b", "a"),
                   ("all", "opacity", 0.2, 0.1),
                   ("opacity", 0.3, 0.2), ("all", "opacity", 0.3, 0.2),
                   ("opacity", 0.9, 0.3), ("all", "opacity", 0.9, 0.3)]
    assert layer.opacity == 0.9


def test_a_group_of_another_class_is_replaced_never_indexed():
    @evented
    @dataclasses.dataclass
    class Wider:
        name: str = ""
        opacity: float = 1.0
        a: int = 0
        b: int = 0

    small, wide = Layer("a"), Wider()
    small_group = small.events
    small.__class__ = Wider
    small.b = 5  # the old group is another class's: nothing reaches it
    assert small.events is not small_group and list(small.events) == list(Wider.events.names)
    log = recorder(small.events)
    small.b = 6
    assert log == [("b", 6, 5), ("all", "b", 6, 5)]
    vars(wide).update(vars(Layer("c")))  # another instance's group copied in
    wide.b = 1
    log = recorder(wide.events)
    wide.a = 2
    assert log == [("a", 2, 0), ("all", "a", 2, 0)]


def _factory():
    # The one C factory of evented's descriptors, as only evented() holds it.
    for obj in gc.get_objects():
        if getattr(obj, "__qualname__", "") == "_setup.<locals>._decorate":
            cells = dict(zip(obj.__code__.co_freevars, obj.__closure__))
            return cells["make"].cell_contents
    raise AssertionError("no factory found")


def test_no_evented_type_is_made_from_python():
    layer = Layer("a")
    group = layer.events
    for make in (lambda: type(Layer.events)(Layer, type(group), ("name",)),
                 lambda: type(Layer.__dict__["__setattr__"])(Layer.events, object.__setattr__,
                                                            frozenset()),
                 lambda: type(group)(), lambda: type("G", (type(group),), {})()):
        with pytest.raises(TypeError, match="cannot create"):
            make()

    @dataclasses.dataclass(slots=True)
    class Big:
        a: int = 0
        b: int = 0
        c: int = 0

    @dataclasses.dataclass(slots=True)
    class Small:
        a: int = 0

    make = _factory()
    foreign = Big.__dict__["c"]  # a slot of an unrelated, larger class
    with pytest.raises(TypeError, match="not one of"):
        make(Small, type(group), ("a",), foreign, object.__setattr__, frozenset(), None, None,
             frozenset(), False)
    with pytest.raises(TypeError, match="not one of"):
        make(Small, type(group), ("a",), None, object.__setattr__, frozenset(["a"]), (foreign,),
             None, frozenset(), False)
    own = Small.__dict__["a"]
    with pytest.raises(TypeError, match="no __dict__"):  # every assignment would fail
        make(Small, type(group), ("a",), None, object.__setattr__, frozenset(["a"]), (own,),
             None, frozenset(), False)
    with pytest.raises(TypeError, match="cannot hold the group"):  # x would replace it
        make(Small, type(group), ("a",), own, object.__setattr__, frozenset(["a"]), (own,),
             None, frozenset(), False)
    assert Small().a == 0


def test_the_setattr_and_events_of_a_class_refuse_other_objects():
    setattr_ = Layer.__dict__["__setattr__"]

    class Other:
        pass

    for target in (int, Other, Layer):  # object.__setattr__ refuses to set a class's attributes
        with pytest.raises(TypeError, match="can't apply this __setattr__"):
            setattr_(target, "opacity", 1)
    assert "opacity" not in Other.__dict__ and Layer.opacity == 1.0
    other = Other()
    setattr_(other, "opacity", 2)  # on other objects, object.__setattr__'s own work
    assert other.opacity == 2
    with pytest.raises(TypeError, match="^descriptor 'events' for 'Layer' objects doesn't "
                                        "apply to a 'Other' object$"):
        Layer.events.__get__(other)


def test_recorders_and_plain_callables_get_the_arguments():
    from tarnwick.testing import record

    class Callable:  # no vectorcall: called with the arguments' tuple
        def __init__(self):
            self.calls = []

        def __call__(self, *args):
            self.calls.append(args)

    layer = Layer("a")
    listener = Callable()
    layer.events.all.connect(listener)
    with record(layer.events.opacity) as changes:
        layer.opacity = 0.5
    changes.assert_emitted_once_with(0.5, 1.0)
    assert listener.calls == [("opacity", 0.5, 1.0)]


def test_a_failing_listener_raises_after_the_store():
    layer = Layer("a")

    def boom(new, old):
        raise KeyError(new)

    layer.events.opacity.connect(boom)
    with pytest.raises(KeyError):
        layer.opacity = 3.0
    assert layer.opacity == 3.0


def test_instance_and_listeners_are_collected(collect_all):
    layer = Layer("a")
    layer.events.opacity.connect(lambda new, old: layer)  # a cycle through the group
    ref = weakref.ref(layer)
    del layer
    collect_all()
    assert ref() is None


# ---------------------------------------------------------------------------
# equality


class Weird:
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        if isinstance(self.answer, Exception):
            # Raised afresh each time: a raised instance keeps its traceback.
            raise self.answer.with_traceback(None)
        return self.answer

    __hash__ = None


@pytest.mark.parametrize("answer, emits", [
    (True, False), (False, True), (ValueError("no"), True), ([1], True), (None, True),
])
def test_equality_that_raises_or_is_not_a_bool_falls_back_to_identity(answer, emits):
    layer = Layer("a")
    value = Weird(answer)
    layer.opacity = value
    log = recorder(layer.events)
    layer.opacity = Weird(answer)
    assert bool(log) == emits
    log.clear()
    layer.opacity = layer.opacity  # the same object never emits
    assert log == []


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_a_base_exception_from_equality_propagates(error):
    layer = Layer("a")
    log = recorder(layer.events)
    class Raising:
        def __eq__(self, other):
            raise error("stop")

    value = Raising()
    with pytest.raises(error):
        layer.opacity = value
    assert log == [] and layer.opacity is value  # stored, nothing emitted


def test_equal_values_of_other_types_do_not_emit():
    layer = Layer("a")
    log = recorder(layer.events)
    layer.opacity = 1  # 1 == 1.0
    layer.opacity = float("nan")
    layer.opacity = float("nan")  # nan != nan
    assert [entry[0] for entry in log] == ["opacity", "all", "opacity", "all"]


# ---------------------------------------------------------------------------
# copies


@pytest.mark.parametrize("cls", [Layer, Slotted])
@pytest.mark.parametrize("duplicate", [
    copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o)),
])
def test_copies_get_fresh_signals(cls, duplicate):
    layer = cls("a", 0.5)
    recorder(layer.events)
    twin = duplicate(layer)
    assert twin == layer and twin is not layer
    assert twin.events is not layer.events
    assert len(twin.events.opacity) == 0 and len(twin.events.all) == 0
    twin.opacity = 0.7
    assert layer.opacity == 0.5


def test_the_group_alone_is_not_pickled():
    with pytest.raises(TypeError):
        pickle.dumps(Layer("a").events)


# ---------------------------------------------------------------------------
# attrs


@pytest.fixture(scope="module")
def attrs():
    return pytest.importorskip("attrs")


_made = {}
_making = threading.Lock()


def attrs_point():
    """A module-level class, for pickle: made once, since tests may run in
    several threads at once and pickle finds the class by its name."""
    import attrs

    with _making:
        if "attrs" not in _made:
            @evented
            @attrs.define
            class Point:
                x: int = attrs.field(converter=int, validator=attrs.validators.ge(0), default=0)
                label: str = ""

            Point.__qualname__ = "Point"
            globals()["Point"] = _made["attrs"] = Point
    return _made["attrs"]


def pydantic_model(validate):
    """Module-level classes, for pickle."""
    import pydantic

    with _making:
        if validate not in _made:
            @evented
            class Model(pydantic.BaseModel):
                model_config = pydantic.ConfigDict(validate_assignment=validate)
                x: int = 1
                y: str = "a"

            name = f"Model{int(validate)}"
            Model.__qualname__ = Model.__name__ = name
            globals()[name] = _made[validate] = Model
    return _made[validate]


def pydantic_submodel():
    """An undecorated subclass of an evented model, made once: pydantic keeps
    some 46 references for every model class it makes (with no tarnwick
    involved), which the reference-leak stage would count on every run."""
    import pydantic

    with _making:
        if "submodel" not in _made:
            @evented
            class Model(pydantic.BaseModel):
                x: int = 0

            class SubModel(Model):
                y: int = 0

            _made["submodel"] = SubModel
    return _made["submodel"]


def test_attrs_converters_and_validators_run_first(attrs):
    Point = attrs_point()
    p = Point("3")
    log = recorder(p.events)
    p.x = "4"
    p.x = 4
    with pytest.raises(ValueError):
        p.x = -1
    assert p.x == 4
    assert log == [("x", 4, 3), ("all", "x", 4, 3)]
    assert attrs.asdict(p) == {"x": 4, "label": ""} and repr(p) == "Point(x=4, label='')"
    for twin in (copy.copy(p), copy.deepcopy(p), pickle.loads(pickle.dumps(p))):
        assert twin == p and len(twin.events.x) == 0


def test_attrs_frozen_is_refused(attrs):
    with pytest.raises(TypeError, match="frozen attrs class"):
        evented(attrs.frozen(type("F", (), {"__annotations__": {"x": int}})))


def test_attrs_with_a_dict(attrs):
    @evented
    @attrs.define(slots=False)
    class Loose:
        x: int = 0

    o = Loose()
    log = recorder(o.events)
    o.x = 1
    assert log == [("x", 1, 0), ("all", "x", 1, 0)] and attrs.asdict(o) == {"x": 1}


# ---------------------------------------------------------------------------
# pydantic


@pytest.fixture(scope="module")
def pydantic():
    return pytest.importorskip("pydantic")


@pytest.mark.parametrize("validate", [False, True])
def test_pydantic_model(pydantic, validate):
    Model = pydantic_model(validate)
    m = Model()
    log = recorder(m.events)
    m.x = 2
    m.x = 2
    m.y = "b"
    assert log == [("x", 2, 1), ("all", "x", 2, 1), ("y", "b", "a"), ("all", "y", "b", "a")]
    assert m.model_dump() == {"x": 2, "y": "b"} and dict(m) == {"x": 2, "y": "b"}
    assert m.model_fields_set == {"x", "y"} and repr(m) == f"{Model.__name__}(x=2, y='b')"
    assert m == Model(x=2, y="b")
    assert Model(y="c").model_dump(exclude_unset=True) == {"y": "c"}
    for twin in (m.model_copy(), m.model_copy(deep=True), copy.copy(m), copy.deepcopy(m),
                 pickle.loads(pickle.dumps(m))):
        assert twin == m and twin.events is not m.events and len(twin.events.all) == 0


def test_pydantic_validation_runs_first(pydantic):
    @evented
    class Model(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(validate_assignment=True)
        x: int = 1

    m = Model()
    log = recorder(m.events)
    m.x = "5"
    with pytest.raises(pydantic.ValidationError):
        m.x = "no"
    assert log == [("x", 5, 1), ("all", "x", 5, 1)] and m.x == 5


def test_undecorated_subclasses_emit_for_all_their_fields(attrs):
    @dataclasses.dataclass
    class Child(Layer):
        depth: int = 0

    @evented
    @dataclasses.dataclass
    class Other:
        tag: str = ""

    @dataclasses.dataclass
    class Both(Other, Base):
        extra: int = 0

    @evented
    @attrs.define
    class Point:
        x: int = 0

    @attrs.define
    class Point3(Point):
        z: int = attrs.field(default=0, validator=attrs.validators.ge(0))

    cases = [(Child("a"), "depth"), (Both(), "extra"), (Both(), "a"), (Point3(), "z")]
    for obj, field in cases:
        log = recorder(obj.events)
        setattr(obj, field, 3)
        assert log == [(field, 3, 0), ("all", field, 3, 0)], type(obj)
    assert list(Both().events) == ["a", "tag", "extra"]
    point = Point3()
    point.events  # the subclass's own validator runs in the evented store
    with pytest.raises(ValueError):
        point.z = -1
    assert point.z == 0


def test_an_undecorated_model_subclass_emits_for_all_its_fields(pydantic):
    submodel = pydantic_submodel()
    for field in ("y", "x"):
        obj = submodel()
        log = recorder(obj.events)
        setattr(obj, field, 3)
        assert log == [(field, 3, 0), ("all", field, 3, 0)]


def test_pydantic_frozen_and_subclass(pydantic):
    with pytest.raises(TypeError, match="frozen pydantic model"):
        evented(type("F", (pydantic.BaseModel,), {"model_config": {"frozen": True}}))

    @evented
    class A(pydantic.BaseModel):
        a: int = 0

    @evented
    class B(A):
        b: int = 0

    b = B()
    log = recorder(b.events)
    b.a, b.b = 1, 2
    assert log == [("a", 1, 0), ("all", "a", 1, 0), ("b", 2, 0), ("all", "b", 2, 0)]
    gc.collect()


def test_objects_the_collector_cleared_can_still_be_used():
    out, _ = run_child("evented_cleared_child.py", timeout=60)
    assert out.startswith("ok")
