// SignalField: a signal declared once on a class, made for each instance.
//
// The field is a data descriptor. The instance's own Signal lives in the
// instance __dict__ under the field's name, so that the first access makes it
// and every later one finds it with one dictionary lookup; being a data
// descriptor, the field is asked first on every read, assignment and
// deletion, so `obj.saved = x` and `del obj.saved` cannot replace the signal
// behind its listeners' backs. Two threads reading first at once may each
// make a Signal, but the dictionary's set-default keeps exactly one, and both
// return that one.
//
// Copies and pickles must not carry the signal over (a copy would share the
// original's listeners), so a class that declares a field gets a __getstate__
// that leaves the fields out, unless it or a base already has its own. It
// asks the next __getstate__ along the instance's MRO first, as a method
// calling super() would, so that a mixin later in the MRO still has its say.
//
// A field belongs to one attribute of one class. Bound a second time it
// would report the wrong owner, so that is refused, as cached_property
// refuses a second name; so is a field in a metaclass, whose classes would
// each hold one signal that all their instances read as their own.

#include "args.hpp"
#include "interp_state.hpp"

namespace tarnwick {

namespace {

struct FieldObject {
    PyObject_HEAD
    // The attribute name, from __set_name__; null until then.
    PyObject* name;
    // The __qualname__ of the class that declared the field, for messages.
    PyObject* owner_name;
    // A weak reference to that class: the field is in its __dict__.
    PyObject* owner;
};

FieldObject* as_field(PyObject* self) noexcept {
    return reinterpret_cast<FieldObject*>(self);
}

constexpr Signature kFieldNewSig{"SignalField", nullptr, 0, 0, false};

PyObject* Field_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // No parameters: nothing is bound, but GCC 16 cannot see that the
        // array is never read.
        PyObject* none[1] = {};
        bind_tuple_and_dict(kFieldNewSig, args, kwargs, none);
        PyObject* obj = check(type->tp_alloc(type, 0)).release();
        as_field(obj)->name = nullptr;
        as_field(obj)->owner_name = nullptr;
        as_field(obj)->owner = nullptr;
        return obj;
    });
}

void Field_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_field(self)->name);
    Py_CLEAR(as_field(self)->owner_name);
    Py_CLEAR(as_field(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Field_repr(PyObject* self) {
    FieldObject* f = as_field(self);
    if (f->name == nullptr) {
        return PyUnicode_FromString("SignalField()");
    }
    return PyUnicode_FromFormat("SignalField(name=%R, owner=%R)", f->name, f->owner_name);
}

PyObject* required_name(FieldObject* f) {
    if (f->name == nullptr) {
        throw_type_error(
            "this SignalField has no name: declare it in a class body, or call "
            "__set_name__(owner, name) on it");
    }
    return f->name;
}

bool has_instance_dict(PyTypeObject* type) noexcept {
    return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || type->tp_dictoffset != 0;
}

// The instance's own signal: the one in its __dict__, else a new one, put
// there unless another thread got in first.
PyObject* Field_get(PyObject* self, PyObject* obj, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (obj == nullptr || obj == Py_None) {
            return Py_NewRef(self);
        }
        PyObject* name = required_name(as_field(self));
        Ref dict = check(PyObject_GenericGetDict(obj, nullptr));
        if (Ref found = dict_item(dict.get(), name)) {
            return found.release();
        }
        PyObject* signal_type = state_of(self).signal_type.get();
        Ref made = check(PyObject_Vectorcall(signal_type, &name, 1, nullptr));
        PyObject* kept = nullptr;
        check_status(PyDict_SetDefaultRef(dict.get(), name, made.get(), &kept));
        return kept;
    });
}

int Field_set(PyObject* self, PyObject* obj, PyObject* value) {
    return guarded<int>(-1, [&]() -> int {
        PyObject* name = required_name(as_field(self));
        if (value == nullptr) {
            throw_format(PyExc_AttributeError,
                         "cannot delete '%U': it is a signal of %T objects; use its "
                         "disconnect_all() to drop its connections",
                         name, obj);
        }
        throw_format(PyExc_AttributeError,
                     "cannot assign to '%U': it is a signal of %T objects; connect to it "
                     "instead",
                     name, obj);
    });
}

// __getstate__ for classes that declare fields: the state that the next
// __getstate__ after `defining_class` (the class that got this one) in the
// instance's MRO gives, with every attribute that a field of the instance's
// class owns left out, so that a copy or an unpickled object makes signals of
// its own.
PyObject* owner_getstate(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                         Py_ssize_t nargs, PyObject* kwnames);

// Any interpreter's SignalField: the method above runs on the owner's
// instances, with no way to our interpreter state, and the slot is the same
// function in every interpreter's type.
bool is_field(PyObject* obj) noexcept {
    return Py_TYPE(obj)->tp_descr_get == Field_get;
}

PyMethodDef owner_getstate_def = {
    "__getstate__", method_cast(owner_getstate),
    METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
    "__getstate__($self, /)\n--\n\n"
    "The object's state, without its signals: a copy gets signals of its own."};

// What attribute lookup finds on the class under `name`, searching the MRO
// as the interpreter does; an empty Ref when there is nothing.
Ref mro_lookup(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::new_ref(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) {
            continue;
        }
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            continue;
        }
        if (Ref found = dict_item(dict.get(), name)) {
            return found;
        }
    }
    return Ref();
}

// The state's dictionary without the fields' entries: a new dictionary, or
// the same one when it has none.
Ref without_fields(PyTypeObject* cls, PyObject* dict) {
    Ref keys = check(PyDict_Keys(dict));
    Ref out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (!PyUnicode_Check(key)) {
            continue;
        }
        Ref attr = mro_lookup(cls, key);
        if (!attr || !is_field(attr.get())) {
            continue;
        }
        if (!out) {
            out = check(PyDict_Copy(dict));
        }
        if (PyDict_DelItem(out.get(), key) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
                throw PyErrorSet{};
            }
            PyErr_Clear();
        }
    }
    return out ? std::move(out) : Ref::new_ref(dict);
}

PyObject* owner_getstate(PyObject* self, PyTypeObject* defining_class, PyObject* const*,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
            throw_type_error("__getstate__() takes no arguments");
        }
        // super(defining_class, self).__getstate__()
        PyObject* argv[] = {reinterpret_cast<PyObject*>(defining_class), self};
        Ref next = check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), argv, 2,
                                             nullptr));
        Ref next_getstate = check(PyObject_GetAttrString(next.get(), "__getstate__"));
        Ref state = check(PyObject_CallNoArgs(next_getstate.get()));
        PyTypeObject* cls = Py_TYPE(self);
        if (PyDict_Check(state.get())) {
            return without_fields(cls, state.get()).release();
        }
        // (dict or None, slots dict) for classes with __slots__ too.
        if (PyTuple_Check(state.get()) && PyTuple_GET_SIZE(state.get()) == 2 &&
            PyDict_Check(PyTuple_GET_ITEM(state.get(), 0))) {
            Ref dict = without_fields(cls, PyTuple_GET_ITEM(state.get(), 0));
            return PyTuple_Pack(2, dict.get(), PyTuple_GET_ITEM(state.get(), 1));
        }
        return state.release();
    });
}

// Gives `owner` the __getstate__ above when what it would use is object's own.
void install_getstate(PyObject* owner) {
    Ref name = check(PyUnicode_FromString("__getstate__"));
    Ref current = mro_lookup(reinterpret_cast<PyTypeObject*>(owner), name.get());
    Ref base_dict = check(PyType_GetDict(&PyBaseObject_Type));
    Ref base = dict_item(base_dict.get(), name.get());
    if (current.get() != base.get()) {
        return;  // the class (or a base) has its own, or ours already
    }
    Ref method = check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(owner), &owner_getstate_def));
    check_status(PyObject_SetAttr(owner, name.get(), method.get()));
}

constexpr const char* kSetNameNames[] = {"owner", "name"};
constexpr Signature kSetNameSig{"SignalField.__set_name__", kSetNameNames, 2, 2, true};

PyObject* Field_set_name(PyObject* self, PyObject* const* bound) {
    PyObject* owner = bound[0];
    PyObject* name = bound[1];
    if (!PyType_Check(owner)) {
        throw_format(PyExc_TypeError, "argument 'owner': expected a class, got %T", owner);
    }
    if (!PyUnicode_Check(name)) {
        throw_format(PyExc_TypeError, "argument 'name': expected str, got %T", name);
    }
    FieldObject* f = as_field(self);
    auto* type = reinterpret_cast<PyTypeObject*>(owner);
    Ref qualname = check(PyType_GetQualName(type));
    if (PyType_IsSubtype(type, &PyType_Type)) {
        throw_format(PyExc_TypeError,
                     "SignalField %R is declared in the metaclass %U, whose classes would each "
                     "hold one signal that all their instances share: declare it in the body of "
                     "the classes whose instances need a signal",
                     name, qualname.get());
    }
    if (!has_instance_dict(type)) {
        throw_format(PyExc_TypeError,
                     "SignalField %R keeps each instance's signal in its __dict__: add "
                     "\"__dict__\" to the __slots__ of %U",
                     name, qualname.get());
    }
    if (f->name != nullptr) {
        if (PyUnicode_Compare(f->name, name) != 0) {
            if (PyErr_Occurred()) {
                throw PyErrorSet{};
            }
            throw_format(PyExc_TypeError,
                         "cannot assign the same SignalField to two different names (%R and %R)",
                         f->name, name);
        }
        PyObject* first = nullptr;
        check_status(PyWeakref_GetRef(f->owner, &first));
        Ref first_owner = Ref::steal(first);
        if (first_owner.get() != owner) {
            throw_format(PyExc_TypeError,
                         "cannot assign the same SignalField to two classes (%U and %U): "
                         "declare a SignalField in each",
                         f->owner_name, qualname.get());
        }
        Py_RETURN_NONE;  // bound to this attribute already
    }
    Ref owner_ref = check(PyWeakref_NewRef(owner, nullptr));
    install_getstate(owner);
    Ref interned = Ref::new_ref(name);
    PyObject* raw = interned.release();
    PyUnicode_InternInPlace(&raw);
    interned = Ref::steal(raw);
    // Set once, at class creation, before any instance can read it.
    f->name = interned.release();
    f->owner_name = qualname.release();
    f->owner = owner_ref.release();
    Py_RETURN_NONE;
}

PyMethodDef field_methods[] = {
    {"__set_name__", method_cast(fastcall_method<kSetNameSig, Field_set_name>),
     METH_FASTCALL | METH_KEYWORDS,
     "__set_name__($self, owner, name)\n--\n\n"
     "Called by the class statement: the field is named after its attribute."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\n"
     "SignalField[[int, str]] for typed code: a types.GenericAlias."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* Field_get_name(PyObject* self, void*) {
    PyObject* name = as_field(self)->name;
    return Py_NewRef(name != nullptr ? name : Py_None);
}

PyGetSetDef field_getset[] = {
    {"name", Field_get_name, nullptr, "The attribute name, None before the class statement ends.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot field_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Field_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Field_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Field_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Field_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(Field_set)},
    {Py_tp_methods, field_methods},
    {Py_tp_getset, field_getset},
    {Py_tp_doc, const_cast<char*>(
                    "SignalField()\n--\n\n"
                    "A signal declared on a class: each instance gets a Signal of its own,\n"
                    "named after the attribute, made on first access. Assigning to or\n"
                    "deleting the attribute raises AttributeError; copies and pickles get\n"
                    "fresh signals.")},
    {0, nullptr},
};


}  // namespace

PyType_Spec field_type_def = {
    "tarnwick.SignalField",
    sizeof(FieldObject),
    0,
    Py_TPFLAGS_DEFAULT,
    field_slots,
};

}  // namespace tarnwick
