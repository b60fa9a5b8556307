// The `events` descriptor of an evented class: it makes an instance's group
// of signals on first access and keeps it in the instance, in its __dict__
// under "events" or in a hidden slot, for every later assignment to find.
//
// An instance of a subclass that was not decorated itself has its class
// adopted first (the Python half decorates it, so that its own fields emit
// too), and then gets a group of that class.

#include "evented.hpp"
#include "evented_parts.hpp"
#include "interp_state.hpp"

#include <atomic>

namespace tarnwick {

namespace {

void require_instance(EventsObject* e, PyObject* obj) {
    if (e->owner == nullptr) {
        // Only a finalizer run by the collector clearing the class can see this.
        throw_error(PyExc_ReferenceError, "the evented class is being collected");
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(e->owner))) {
        throw_format(PyExc_TypeError,
                     "descriptor 'events' for '%s' objects doesn't apply to a '%s' object",
                     reinterpret_cast<PyTypeObject*>(e->owner)->tp_name, Py_TYPE(obj)->tp_name);
    }
}

// Keeps `made` in the hidden slot unless a group of this class is there
// already; returns the group kept.
Ref keep_in_slot(EventsObject* e, PyObject* obj, Ref made) {
    std::atomic_ref<PyObject*> slot = group_slot(e, obj);
    Ref replaced;
    PyObject* expected = slot.load(std::memory_order_acquire);
    for (;;) {
        if (expected != nullptr && is_own_group(e, expected)) {
            return Ref::new_ref(expected);  // another thread made it first
        }
        // Swapped in a critical section, as the slot's own member would.
        bool swapped = false;
        Py_BEGIN_CRITICAL_SECTION(obj);
        swapped = slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel);
        Py_END_CRITICAL_SECTION();
        if (swapped) {
            replaced = Ref::steal(expected);  // a group of another class, or none
            return Ref::new_ref(made.release());
        }
    }
}

// Keeps `made` in the __dict__ unless a group of this class is there
// already; returns the group kept. Inserted only where there is none, which
// the dict does atomically, so that two threads' first uses keep one group; a
// value of another kind there (another class's group) is replaced, and the
// dict looked at again. No lock of ours is held: the lookup may call a key's
// __eq__, and the store may free what it replaces.
Ref keep_in_dict(EventsObject* e, PyObject* dict, Ref made) {
    for (;;) {
        PyObject* current = nullptr;
        check_status(PyDict_SetDefaultRef(dict, e->key, made.get(), &current));
        Ref kept = Ref::steal(current);
        if (is_own_group(e, kept.get())) {
            return kept;  // ours, or another thread's made first
        }
        check_status(PyDict_SetItem(dict, e->key, made.get()));
    }
}

// The descriptor of the class of `obj`, adopted by the Python half.
Ref adopted_events(EventsObject* e, PyObject* obj) {
    InterpState& state = state_by_def(Py_TYPE(reinterpret_cast<PyObject*>(e)));
    Ref impl = Ref::new_ref(state.evented_impl.peek());
    if (!impl) {
        throw_error(PyExc_RuntimeError, "evented() has not run in this interpreter");
    }
    PyObject* adopt = PyTuple_GET_ITEM(impl.get(), 1);
    Ref made = check(PyObject_CallOneArg(adopt, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    if (!Py_IS_TYPE(made.get(), Py_TYPE(reinterpret_cast<PyObject*>(e))) ||
        as_events(made.get())->owner != reinterpret_cast<PyObject*>(Py_TYPE(obj))) {
        throw_format(PyExc_TypeError, "evented() could not adopt %T", obj);
    }
    return made;
}

PyObject* Events_get(PyObject* self, PyObject* obj, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (obj == nullptr || obj == Py_None) {
            return Py_NewRef(self);
        }
        EventsObject* e = as_events(self);
        require_instance(e, obj);
        if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != e->owner) {
            Ref own = adopted_events(e, obj);
            return Events_get(own.get(), obj, nullptr);
        }
        Ref dict;
        if (e->slot_offset == 0) {
            dict = check(PyObject_GenericGetDict(obj, nullptr));
        }
        if (Ref found = find_group(e, obj, dict.get())) {
            return found.release();
        }
        Ref made = new_group(e->group_type, e->names);
        if (e->slot_offset != 0) {
            return keep_in_slot(e, obj, std::move(made)).release();
        }
        return keep_in_dict(e, dict.get(), std::move(made)).release();
    });
}

int Events_set(PyObject*, PyObject* obj, PyObject* value) {
    return guarded<int>(-1, [&]() -> int {
        throw_format(PyExc_AttributeError,
                     value == nullptr ? "cannot delete 'events' of %T objects: they are signals"
                                      : "cannot assign to 'events' of %T objects: they are "
                                        "signals; connect to them instead",
                     obj);
    });
}

int Events_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_events(self)->owner);
    Py_VISIT(as_events(self)->group_type);
    Py_VISIT(as_events(self)->member);
    return 0;
}

int Events_clear(PyObject* self) {
    Py_CLEAR(as_events(self)->owner);
    Py_CLEAR(as_events(self)->group_type);
    Py_CLEAR(as_events(self)->member);
    return 0;
}

void Events_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Events_clear(self);
    Py_CLEAR(as_events(self)->names);
    Py_CLEAR(as_events(self)->key);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* borrowed_or_none(PyObject* obj) { return Py_NewRef(obj != nullptr ? obj : Py_None); }

PyObject* Events_get_names(PyObject* self, void*) { return Py_NewRef(as_events(self)->names); }

PyObject* Events_get_member(PyObject* self, void*) {
    return borrowed_or_none(as_events(self)->member);
}

PyObject* Events_get_owner(PyObject* self, void*) {
    return borrowed_or_none(as_events(self)->owner);
}

PyGetSetDef events_getset[] = {
    {"names", Events_get_names, nullptr, "The field names, in order.", nullptr},
    {"member", Events_get_member, nullptr, "The hidden slot's member descriptor, or None.",
     nullptr},
    {"owner", Events_get_owner, nullptr, "The class whose instances' groups it makes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot events_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Events_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Events_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Events_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Events_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(Events_set)},
    {Py_tp_getset, events_getset},
    {Py_tp_doc, const_cast<char*>("The signals of an evented class's instance, one per field "
                                  "and `all`, made on first access.")},
    {0, nullptr},
};

}  // namespace

Ref new_events(InterpState& state, PyObject* owner, PyObject* group_type, PyObject* names,
               PyObject* member, Py_ssize_t slot_offset) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.evented_events_type.get());
    Ref key = check(PyUnicode_InternFromString("events"));
    Ref obj = check(type->tp_alloc(type, 0));
    EventsObject* e = as_events(obj.get());
    e->owner = Py_NewRef(owner);
    e->group_type = Py_NewRef(group_type);
    e->names = Py_NewRef(names);
    e->key = key.release();
    e->member = slot_offset != 0 ? Py_NewRef(member) : nullptr;
    e->slot_offset = slot_offset;
    return obj;
}

PyType_Spec evented_events_type_def = {
    "tarnwick.EventsDescriptor",
    sizeof(EventsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    events_slots,
};

}  // namespace tarnwick
