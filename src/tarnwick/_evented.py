"""The Python half of tarnwick.evented(): what runs once per evented class.

It finds the fields (a dataclass's, an attrs class's or a pydantic model's),
refuses what cannot be evented, gives a class with __slots__ a slot for its
group, and asks the extension for the class's `events` descriptor and its
__setattr__, which does all the work of an assignment. A subclass that was not
decorated itself is adopted the same way when `events` is first used on one of
its instances, so that its own fields emit too.

The extension imports this module once per interpreter and calls _setup().
"""

import contextlib
import dataclasses
import functools
import threading
import types


def _setup(group_base, events_type, hook_type, make):
    class EventedSignals(group_base):
        """The signals of one evented object: one per field, named after
        it, then `all`. len() and iteration give the field names."""

        __slots__ = ()

        def __repr__(self):
            return f"<EventedSignals {', '.join(self)}>"

        def __dir__(self):
            return sorted({*object.__dir__(self), *self, "all"})

        @contextlib.contextmanager
        def blocked(self):
            """While entered, no field's signal and not `all` emits; what
            changes meanwhile is never replayed."""
            with contextlib.ExitStack() as stack:
                for signal in _signals(self):
                    stack.enter_context(signal.blocked())
                yield self

        @contextlib.contextmanager
        def paused(self):
            """While entered, changes are recorded instead of emitted; the
            outermost exit emits them in the order they were made."""
            with group_base._paused(self):
                yield self

        def __copy__(self):
            return group_base._fresh(self)

        def __deepcopy__(self, memo):
            return group_base._fresh(self)

        def __reduce__(self):
            raise TypeError("the signals of an evented object cannot be pickled")

    EventedSignals.__module__ = "tarnwick"
    # Two threads first using `events` on instances of one subclass adopt it
    # once.
    adopting = threading.Lock()

    def _signals(group):
        return [getattr(group, name) for name in group] + [group.all]

    def _strip(state):
        # The state without the group: a copy or an unpickled object makes
        # its own.
        if isinstance(state, dict):
            if isinstance(state.get("events"), EventedSignals):
                state = {k: v for k, v in state.items() if k != "events"}
            if isinstance(state.get("__dict__"), dict):
                state = {**state, "__dict__": _strip(state["__dict__"])}
            return state
        if isinstance(state, tuple) and len(state) == 2:
            return tuple(_strip(part) for part in state)
        return state

    def _unshare(obj):
        # After a copy that took the __dict__ as it was: the copy's own group.
        d = getattr(obj, "__dict__", None)
        if isinstance(d, dict) and isinstance(d.get("events"), EventedSignals):
            del d["events"]
        return obj

    def _install(cls, name, function):
        function.__qualname__ = f"{cls.__qualname__}.{name}"
        function._tarnwick_evented = True
        type.__setattr__(cls, name, function)

    def _wrapped(cls, name):
        return getattr(getattr(cls, name, None), "_tarnwick_evented", False)

    def _wrap_state(cls, pydantic):
        if not _wrapped(cls, "__getstate__"):
            getstate = cls.__getstate__

            def __getstate__(self):
                return _strip(getstate(self))

            _install(cls, "__getstate__", __getstate__)
        if not pydantic or _wrapped(cls, "__iter__"):
            return
        copy, deepcopy, iterate = cls.__copy__, cls.__deepcopy__, cls.__iter__

        def __copy__(self):
            return _unshare(copy(self))

        def __deepcopy__(self, memo=None):
            return _unshare(deepcopy(self, memo))

        def __iter__(self):
            for name, value in iterate(self):
                if not (name == "events" and isinstance(value, EventedSignals)):
                    yield name, value

        for f in (__copy__, __deepcopy__, __iter__):
            _install(cls, f.__name__, f)

    def _static(cls, name):
        for base in cls.__mro__:
            if name in base.__dict__:
                return base.__dict__[name]
        return None

    def _kind_and_fields(cls):
        own = cls.__dict__
        qualname = cls.__qualname__
        if "__attrs_attrs__" in own or (
            hasattr(cls, "__attrs_attrs__") and "__dataclass_fields__" not in own
        ):
            props = getattr(cls, "__attrs_props__", None)
            frozen = (
                props.is_frozen
                if props is not None
                else getattr(cls.__setattr__, "__name__", "") == "_frozen_setattrs"
            )
            if frozen:
                raise TypeError(f"evented() cannot watch {qualname}: it is a frozen attrs class")
            return "attrs", tuple(a.name for a in cls.__attrs_attrs__)
        if dataclasses.is_dataclass(cls):
            if cls.__dataclass_params__.frozen:
                raise TypeError(f"evented() cannot watch {qualname}: it is a frozen dataclass")
            return "dataclass", tuple(f.name for f in dataclasses.fields(cls))
        fields = getattr(cls, "__pydantic_fields__", None)
        if isinstance(fields, dict) and hasattr(cls, "model_config"):
            if cls.model_config.get("frozen"):
                raise TypeError(f"evented() cannot watch {qualname}: it is a frozen pydantic model")
            return "pydantic", tuple(fields)
        raise TypeError(
            f"evented() takes a dataclass, an attrs class or a pydantic model, not {qualname}"
        )

    def _check_names(cls, names):
        for name in ("events", "all"):
            if name in names:
                what = ("the group of signals" if name == "events"
                        else "the group's signal for every field")
                raise TypeError(
                    f"{cls.__qualname__} has a field named {name!r}, which evented() "
                    f"needs for {what}: rename the field"
                )

    def _own_setattr(cls):
        # The __setattr__ the class has without evented(): an evented base's
        # stands for the one it wraps.
        base = _static(cls, "__setattr__")
        return base.base if isinstance(base, hook_type) else base

    def _attrs_hooks(cls, names):
        # The __setattr__ attrs writes calls each field's on_setattr hook (the
        # default runs its converter, then its validators) and stores the
        # result with object's. Ours calls the same hooks and stores itself.
        # None when attrs did not write the class's __setattr__, or is too
        # old to say which hook the class has.
        props = cls.__dict__.get("__attrs_props__")
        if not cls.__dict__.get("__attrs_own_setattr__") or not hasattr(props, "on_setattr_hook"):
            return None
        import attrs

        attributes = {a.name: a for a in cls.__attrs_attrs__}
        converts = []
        for name in names:
            attribute = attributes[name]
            hook = attribute.on_setattr or props.on_setattr_hook
            usable = hook and hook is not attrs.setters.NO_OP
            converts.append((hook, attribute) if usable else None)
        return converts

    def _direct_fields(cls, base, names):
        # The fields for which pydantic's own __setattr__ would only store
        # into __dict__ and note the name in __pydantic_fields_set__.
        model = next((b for b in cls.__mro__
                      if b.__name__ == "BaseModel" and b.__module__ == "pydantic.main"), None)
        if model is None or base is not model.__dict__.get("__setattr__"):
            return frozenset()
        if cls.model_config.get("validate_assignment"):
            return frozenset()
        class_vars = getattr(cls, "__class_vars__", ())
        fields = cls.__pydantic_fields__
        direct = set()
        for name in names:
            attr = getattr(cls, name, None)
            if (name.startswith("_") or name in class_vars
                    or isinstance(attr, (property, functools.cached_property))
                    or getattr(fields[name], "frozen", None)):
                continue
            direct.add(name)
        return frozenset(direct)

    def _with_group_slot(cls):
        # A class with __slots__ and no __dict__ is made again with one slot
        # more, "events", as dataclasses does to add its slots.
        d = dict(cls.__dict__)
        slots = d.get("__slots__", ())
        slots = (slots,) if isinstance(slots, str) else tuple(slots)
        for name in slots:
            d.pop(name, None)
        d.pop("__dict__", None)
        d.pop("__weakref__", None)
        d["__slots__"] = slots + ("events",)
        made = type(cls)(cls.__name__, cls.__bases__, d)
        made.__qualname__ = cls.__qualname__
        # Methods that use super() or __class__ hold the old class in a cell.
        for value in d.values():
            for func in (value, getattr(value, "__func__", None),
                         getattr(value, "fget", None), getattr(value, "fset", None)):
                closure = getattr(func, "__closure__", None)
                if not closure:
                    continue
                for var, cell in zip(func.__code__.co_freevars, closure):
                    if var == "__class__":
                        try:
                            if cell.cell_contents is cls:
                                cell.cell_contents = made
                        except ValueError:
                            pass
        return made

    def _field_slots(cls, names, adopted):
        # Per field, its slot's member descriptor or None; and the fields a
        # descriptor of the class's own takes over (a subclass's property,
        # say), which the class stores itself and never reports.
        members, taken = [], set()
        for name in names:
            current = _static(cls, name)
            if isinstance(current, types.MemberDescriptorType):
                members.append(current)
                continue
            members.append(None)
            if hasattr(type(current), "__set__"):
                if adopted:
                    taken.add(name)
                    continue
                raise TypeError(
                    f"evented() cannot watch field {name!r} of {cls.__qualname__}: "
                    f"it is a {type(current).__name__}, a descriptor of its own"
                )
            if cls.__dictoffset__ == 0:
                raise TypeError(
                    f"evented() cannot watch field {name!r} of {cls.__qualname__}: "
                    f"it has neither a slot nor a __dict__ to live in"
                )
        return members, frozenset(taken)

    def _decorate(cls, adopted):
        kind, names = _kind_and_fields(cls)
        _check_names(cls, names)
        base = _own_setattr(cls)
        if kind == "pydantic":
            events, hook = make(cls, EventedSignals, names, None, base,
                                _direct_fields(cls, base, names), None, None, frozenset(),
                                True)
            type.__setattr__(cls, "events", events)
            type.__setattr__(cls, "__setattr__", hook)
            _wrap_state(cls, pydantic=True)
            return cls
        inherited = _static(cls, "events")
        if isinstance(inherited, events_type):
            group_member = inherited.member
        elif cls.__dictoffset__ != 0:
            group_member = None
        else:
            cls = _with_group_slot(cls)
            group_member = cls.__dict__["events"]
            base = _own_setattr(cls)
        members, taken = _field_slots(cls, names, adopted)
        converts = _attrs_hooks(cls, names) if kind == "attrs" else None
        # Ours stores every field when the class would store it with
        # object's __setattr__, or with attrs' after the field's hook; a
        # __setattr__ of the class's own stores them itself.
        if base is object.__dict__["__setattr__"] or converts is not None:
            direct = frozenset(names) - taken
        else:
            direct = frozenset()
        events, hook = make(cls, EventedSignals, names, group_member, base, direct, members,
                            converts, taken, False)
        type.__setattr__(cls, "events", events)
        type.__setattr__(cls, "__setattr__", hook)
        _wrap_state(cls, pydantic=False)
        return cls

    def evented(cls):
        if not isinstance(cls, type):
            raise TypeError(f"evented() takes a class, not {type(cls).__name__}")
        return _decorate(cls, adopted=False)

    def adopt(cls):
        # A subclass of an evented class that was not decorated itself, on
        # first use of `events` on one of its instances: its own descriptor.
        with adopting:
            own = cls.__dict__.get("events")
            if not (isinstance(own, events_type) and own.owner is cls):
                _decorate(cls, adopted=True)
            return cls.__dict__["events"]

    return evented, adopt
