// The group of one evented instance: one Signal per field, in field order,
// then `all`; and how a change reaches them.
//
// A paused group records its changes with the signals' own pause: on a
// signal of its own (`changes`, made on the first paused()), whose one
// listener emits a change on the field's signal and on `all`. So a group's
// pause keeps a signal's rules: recorded changes replay in the order they
// were made, a change made during the replay comes after them, every one
// replays whatever raises (the first failure is raised after the last), and
// a blocked signal records nothing.

#include "args.hpp"
#include "emission.hpp"
#include "evented_parts.hpp"
#include "interp_state.hpp"
#include "once_cell.hpp"
#include "pausing.hpp"
#include "signal_record.hpp"

#include <cstddef>

namespace tarnwick {

namespace {

// Which of the change's two emissions a replay makes: the field's, `all`'s.
constexpr long kToField = 1;
constexpr long kToAll = 2;

void emit_change(PyObject* names, PyObject* const* signals, Py_ssize_t index, PyObject* value,
                 PyObject* old, long to) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    if ((to & kToField) != 0) {
        PyObject* argv[] = {value, old};
        emit_positional(as_signal(signals[index]), argv, 2);
    }
    if ((to & kToAll) != 0) {
        PyObject* argv[] = {PyTuple_GET_ITEM(names, index), value, old};
        emit_positional(as_signal(signals[n]), argv, 3);
    }
}

// The listener of `changes`: (index, new, old, to), bound to the tuple
// (names, the fields' signals..., all), which holds no group, so that no
// cycle keeps a group alive.
PyObject* replay_change(PyObject* bound, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 4) {
            throw_type_error("expected (index, new, old, to)");
        }
        PyObject* names = PyTuple_GET_ITEM(bound, 0);
        const Py_ssize_t index = PyLong_AsSsize_t(args[0]);
        const long to = PyLong_AsLong(args[3]);
        if (PyErr_Occurred()) {
            throw PyErrorSet{};
        }
        if (index < 0 || index >= PyTuple_GET_SIZE(names)) {
            throw_error(PyExc_IndexError, "no such field");
        }
        emit_change(names, &PyTuple_GET_ITEM(bound, 1), index, args[1], args[2], to);
        Py_RETURN_NONE;
    });
}

PyMethodDef replay_change_def = {"replay_change", method_cast(replay_change),
                                 METH_FASTCALL, nullptr};

// The group's `changes` signal, made on first need; borrowed.
PyObject* changes_signal(GroupObject* g) {
    if (PyObject* made = g->changes.load(std::memory_order_acquire)) {
        return made;
    }
    PyObject* signal_type = state_by_def(Py_TYPE(g)).signal_type.get();
    Ref name = check(PyUnicode_FromString("changes"));
    PyObject* argv[] = {name.get()};
    Ref signal = check(PyObject_Vectorcall(signal_type, argv, 1, nullptr));
    const Py_ssize_t n = Py_SIZE(g);
    Ref bound = check(PyTuple_New(n + 1));
    PyTuple_SET_ITEM(bound.get(), 0, Py_NewRef(g->names));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(bound.get(), i + 1, Py_NewRef(g->signals[i]));
    }
    Ref listener = check(PyCFunction_New(&replay_change_def, bound.get()));
    Ref connected = check(PyObject_CallMethod(signal.get(), "connect", "O", listener.get()));
    return publish_once(g->changes, std::move(signal));
}

}  // namespace

void report_change(GroupObject* g, Interest interest, Py_ssize_t index, PyObject* value,
                   PyObject* old) {
    if (interest.paused()) {
        // Recorded on `changes`, for the signals that are not blocked now;
        // emitted at once by its listener if the pause ended meanwhile.
        const long to = (is_blocked(g->signals[index]) ? 0 : kToField) |
                        (is_blocked(all_signal(g)) ? 0 : kToAll);
        if (to == 0) {
            return;
        }
        Ref index_obj = check(PyLong_FromSsize_t(index));
        Ref to_obj = check(PyLong_FromLong(to));
        PyObject* argv[] = {index_obj.get(), value, old, to_obj.get()};
        emit_positional(as_signal(g->changes.load(std::memory_order_acquire)), argv, 4);
        return;
    }
    const long to = ((interest.bits & Interest::kField) != 0 ? kToField : 0) |
                    ((interest.bits & Interest::kAll) != 0 ? kToAll : 0);
    emit_change(g->names, g->signals, index, value, old, to);
}

Py_ssize_t name_index(PyObject* names, Py_ssize_t n, PyObject* name) {
    // An interned name equals one of them only if it is the very same
    // object, so for the names of attribute syntax, which the interpreter
    // interns, pointers decide.
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(names, i) == name) {
            return i;
        }
    }
    if (PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), name) == 0) {
            return i;
        }
    }
    if (PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    return -1;
}

Ref new_group(PyObject* group_type, PyObject* names) {
    auto* type = reinterpret_cast<PyTypeObject*>(group_type);
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    Ref obj = check(type->tp_alloc(type, n + 1));
    GroupObject* g = as_group(obj.get());
    g->names = Py_NewRef(names);
    ::new (static_cast<void*>(&g->changes)) std::atomic<PyObject*>(nullptr);
    ::new (static_cast<void*>(&g->change_lock)) RWLock();
    ::new (static_cast<void*>(&g->assign_lock)) AssignLock();
    PyObject* signal_type = state_by_def(type).signal_type.get();
    for (Py_ssize_t i = 0; i <= n; ++i) {
        Ref all_name;
        PyObject* name = nullptr;
        if (i < n) {
            name = PyTuple_GET_ITEM(names, i);
        } else {
            all_name = check(PyUnicode_FromString("all"));
            name = all_name.get();
        }
        g->signals[i] = check(PyObject_Vectorcall(signal_type, &name, 1, nullptr)).release();
    }
    return obj;
}

namespace {

PyObject* Group_getattro(PyObject* self, PyObject* name) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        GroupObject* g = as_group(self);
        if (PyUnicode_Check(name)) {
            const Py_ssize_t i = name_index(g->names, field_count(g), name);
            if (i >= 0) {
                return Py_NewRef(g->signals[i]);
            }
            if (PyUnicode_EqualToUTF8(name, "all")) {
                return Py_NewRef(all_signal(g));
            }
        }
        return check(PyObject_GenericGetAttr(self, name)).release();
    });
}

Py_ssize_t Group_length(PyObject* self) { return field_count(as_group(self)); }

PyObject* Group_iter(PyObject* self) { return PyObject_GetIter(as_group(self)->names); }

int Group_traverse(PyObject* self, visitproc visit, void* arg) {
    GroupObject* g = as_group(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->names);
    Py_VISIT(g->changes.load(std::memory_order_acquire));
    for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) {
        Py_VISIT(g->signals[i]);
    }
    return 0;
}

// What a group holds, let go when it dies. It is no tp_clear: an assignment
// or a replay may be using the group when the collector clears it, and the
// cycles through a group (through its signals' listeners) are broken by the
// signals' own.
void Group_release(PyObject* self) {
    GroupObject* g = as_group(self);
    Ref changes = Ref::steal(g->changes.exchange(nullptr, std::memory_order_acq_rel));
    for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) {
        Py_CLEAR(g->signals[i]);
    }
}

void Group_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Group_release(self);
    Py_CLEAR(as_group(self)->names);
    as_group(self)->change_lock.~RWLock();
    type->tp_free(self);
    Py_DECREF(type);
}

// _paused(): the pauser of the group's `changes` signal.
PyObject* Group_paused(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[] = {Py_None, nullptr};
        return Signal_paused(changes_signal(as_group(self)), bound);
    });
}

// _fresh(): a new group of the same class and fields, with no listeners; what
// a copy of the instance gets.
PyObject* Group_fresh(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return new_group(reinterpret_cast<PyObject*>(Py_TYPE(self)), as_group(self)->names)
            .release();
    });
}

PyMethodDef group_methods[] = {
    {"_fresh", Group_fresh, METH_NOARGS, nullptr},
    {"_paused", Group_paused, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot group_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Group_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Group_traverse)},
    {Py_tp_getattro, reinterpret_cast<void*>(Group_getattro)},
    {Py_tp_iter, reinterpret_cast<void*>(Group_iter)},
    {Py_sq_length, reinterpret_cast<void*>(Group_length)},
    {Py_tp_methods, group_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec evented_group_type_def = {
    "tarnwick.EventedSignalsBase",
    static_cast<int>(offsetof(GroupObject, signals)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    group_slots,
};

}  // namespace tarnwick
