// evented(): the class decorator whose fields emit when they change.
//
// The decoration itself is Python (tarnwick/_evented.py), imported once per
// interpreter: it finds the fields and how each is stored. What it decides
// is handed to the one factory here, `make`, which checks everything the C
// objects will touch (a slot's member descriptor must belong to the class
// and lie inside its instances) and makes the class's `events` descriptor
// and __setattr__. The factory is given to the Python half only; none of the
// types can be made from Python.

#include "evented.hpp"

#include "args.hpp"
#include "evented_parts.hpp"
#include "interp_state.hpp"

namespace tarnwick {

namespace {

// The offset of a plain object slot of `cls`'s instances, from its member
// descriptor: one of `cls` or a base, writable, inside the instance.
Py_ssize_t slot_offset_of(PyTypeObject* cls, PyObject* member) {
    if (!Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        throw_format(PyExc_TypeError, "expected a slot's member descriptor, got %T", member);
    }
    auto* descr = reinterpret_cast<PyMemberDescrObject*>(member);
    PyTypeObject* owner = descr->d_common.d_type;
    const PyMemberDef* def = descr->d_member;
    if (owner == nullptr || !PyType_IsSubtype(cls, owner)) {
        throw_format(PyExc_TypeError, "the slot %R is not one of %S's", member, cls);
    }
    const auto size = static_cast<Py_ssize_t>(sizeof(PyObject*));
    if (def->type != Py_T_OBJECT_EX || (def->flags & (Py_READONLY | Py_RELATIVE_OFFSET)) != 0 ||
        def->offset < static_cast<Py_ssize_t>(sizeof(PyObject)) ||
        def->offset + size > owner->tp_basicsize) {
        throw_type_error("expected a writable object slot");
    }
    return def->offset;
}

// A str tuple of interned names.
Ref interned_names(PyObject* names) {
    if (!PyTuple_Check(names)) {
        throw_type_error("field names must be a tuple");
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    Ref out = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) {
            throw_type_error("field names must be str");
        }
        Py_INCREF(name);
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(out.get(), i, name);
    }
    return out;
}

// A tuple of one entry per field: `given` as a tuple, or Nones for None.
Ref per_field(PyObject* given, Py_ssize_t n, const char* what) {
    if (given == Py_None) {
        Ref out = check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyTuple_SET_ITEM(out.get(), i, Py_NewRef(Py_None));
        }
        return out;
    }
    Ref out = check(PySequence_Tuple(given));
    if (PyTuple_GET_SIZE(out.get()) != n) {
        throw_format(PyExc_TypeError, "%s must give one entry per field", what);
    }
    return out;
}

// Checks the per-field plans against the class and the group's slot
// (`group_offset`, or 0 for the __dict__, which the class must then have).
void check_plans(PyTypeObject* cls, Py_ssize_t group_offset, PyObject* members,
                 PyObject* converts) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(members); ++i) {
        PyObject* member = PyTuple_GET_ITEM(members, i);
        if (member != Py_None && slot_offset_of(cls, member) == group_offset) {
            throw_type_error("a field's slot cannot hold the group");
        }
        PyObject* convert = PyTuple_GET_ITEM(converts, i);
        if (convert != Py_None && !(PyTuple_Check(convert) && PyTuple_GET_SIZE(convert) == 2 &&
                                    PyCallable_Check(PyTuple_GET_ITEM(convert, 0)))) {
            throw_type_error("converts must give (hook, attribute) or None per field");
        }
    }
    if (group_offset == 0 && cls->tp_dictoffset == 0) {
        throw_format(PyExc_TypeError, "%N has no __dict__ for the group", cls);
    }
}

// make(cls, group_type, names, group_member, base, direct, members, converts,
// taken, pydantic) -> (events descriptor, __setattr__).
PyObject* make(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 10) {
            throw_type_error("make() takes 10 arguments");
        }
        InterpState& state = interp_state_for_exec(module);
        PyObject* cls = args[0];
        PyObject* group_type = args[1];
        if (!PyType_Check(cls) || !PyType_Check(group_type) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(group_type),
                              reinterpret_cast<PyTypeObject*>(state.evented_group_type.get()))) {
            throw_type_error("make() needs a class and a group class");
        }
        if (!PyFrozenSet_Check(args[5]) || !PyFrozenSet_Check(args[8])) {
            throw_type_error("direct and taken must be frozensets");
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        Ref names = interned_names(args[2]);
        const Py_ssize_t n = PyTuple_GET_SIZE(names.get());
        const Py_ssize_t offset = args[3] == Py_None ? 0 : slot_offset_of(type, args[3]);
        Ref members = per_field(args[6], n, "members");
        Ref converts = per_field(args[7], n, "converts");
        check_plans(type, offset, members.get(), converts.get());
        const int pydantic = check_status(PyObject_IsTrue(args[9]));
        Ref events = new_events(state, cls, group_type, names.get(), args[3], offset);
        const HookPlans plans{members.get(), converts.get(), args[5], args[8], pydantic != 0};
        Ref hook = new_hook(state, events.get(), args[4], plans);
        return check(PyTuple_Pack(2, events.get(), hook.get())).release();
    });
}

PyMethodDef make_def = {"make", method_cast(make), METH_FASTCALL, nullptr};

// The Python half's (evented, adopt), made once per interpreter.
Ref make_evented_impl(PyObject* module, InterpState& state) {
    Ref half = check(PyImport_ImportModule("tarnwick._evented"));
    Ref setup = check(PyObject_GetAttrString(half.get(), "_setup"));
    Ref factory = check(PyCFunction_New(&make_def, module));
    PyObject* argv[] = {state.evented_group_type.get(), state.evented_events_type.get(),
                        state.evented_hook_type.get(), factory.get()};
    Ref impl = check(PyObject_Vectorcall(setup.get(), argv, 4, nullptr));
    if (!PyTuple_Check(impl.get()) || PyTuple_GET_SIZE(impl.get()) != 2) {
        throw_error(PyExc_RuntimeError, "tarnwick._evented._setup() must give (evented, adopt)");
    }
    return impl;
}

}  // namespace

PyObject* evented(PyObject* module, PyObject* cls) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        InterpState& state = interp_state_for_exec(module);
        Ref impl = state.evented_impl.get_or_fill([&] { return make_evented_impl(module, state); });
        return check(PyObject_CallOneArg(PyTuple_GET_ITEM(impl.get(), 0), cls)).release();
    });
}

}  // namespace tarnwick
