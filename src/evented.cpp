// Evented data: classes whose fields emit a signal when their value changes.
//
// `evented` (the decorator) inspects the class in Python, at decoration time
// (evented_script.hpp); what runs on every assignment is here:
//
//  * the class's __setattr__, which stores a field's value (or lets the
//    class's own __setattr__ store it) and reports the change. The class's
//    attributes are left as they were, so a read of a field is the same
//    bytecode, adapted the same way, as on the class undecorated.
//  * the `events` descriptor, which makes an instance's group of signals on
//    first access and keeps it in the instance (its __dict__ under "events",
//    or a hidden slot) for every later assignment to find.
//  * the group, one Signal per field, in field order, then `all`.
//
// An assignment to an instance whose group does not exist yet (every one in
// __init__) only stores: nobody can be listening. Once the group exists, the
// old value is read and the new one stored under the group's change lock, so
// two threads assigning one field each see the value each replaced; the
// comparison and the emission run after unlocking, since both run Python
// code. The old value is not even read while nobody listens to the field or
// to `all` and the group is not paused.

#include "evented.hpp"

#include "emission.hpp"
#include "evented_script.hpp"
#include "interp_state.hpp"
#include "observers.hpp"
#include "signal_record.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

namespace tarnwick {

namespace {

// ---------------------------------------------------------------------------
// The change lock: one per group, held while the old value is read and the
// new one stored, and while a paused group records or hands over its changes.
// Only dictionary and slot stores run under it (no Python code: the values
// replaced are kept alive by the caller), so waiting on it cannot deadlock.
// Under the GIL the read and the store cannot interleave with another
// thread's, and the lock is nothing.

#ifdef Py_GIL_DISABLED
class ChangeLock {
public:
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
};
#else
class ChangeLock {
public:
    void lock() noexcept {}
    void unlock() noexcept {}
};
#endif

class ChangeGuard {
public:
    explicit ChangeGuard(ChangeLock& lock) noexcept : lock_(lock) { lock_.lock(); }
    ~ChangeGuard() { lock_.unlock(); }
    ChangeGuard(const ChangeGuard&) = delete;
    ChangeGuard& operator=(const ChangeGuard&) = delete;

private:
    ChangeLock& lock_;
};

// ---------------------------------------------------------------------------
// The group of one instance

struct GroupObject {
    PyObject_VAR_HEAD  // ob_size: the number of signals, the fields' and `all`
    // The field names, in order (a tuple of interned str, shared with the
    // class).
    PyObject* names;
    ChangeLock change_lock;
    // How many paused() blocks are entered; changes are recorded meanwhile.
    std::atomic<std::uint32_t> paused;
    // The changes recorded while paused, (index, new, old) tuples, or null;
    // guarded by change_lock.
    PyObject* pending;
    PyObject* signals[1];
};

GroupObject* as_group(PyObject* self) noexcept {
    return reinterpret_cast<GroupObject*>(self);
}

Py_ssize_t field_count(GroupObject* g) noexcept { return Py_SIZE(g) - 1; }

PyObject* all_signal(GroupObject* g) noexcept { return g->signals[field_count(g)]; }

// Whether an emission of `signal` could call anything now, looked at
// without its lock: a listener, or a recorder or trace of tarnwick.testing.
// One inside the signal's own paused() is recorded for the listeners there
// will be. A listener that connects meanwhile sees the next change.
bool is_heard(PyObject* signal) noexcept {
    const SignalObject* sig = as_signal(signal);
    const std::uint64_t gate = sig->rec.blocks.load(std::memory_order_acquire);
    if ((gate & ~SignalRecord::kPaused) != 0) {
        return false;  // blocked
    }
    return gate != 0 || sig->rec.listeners.maybe_nonempty() || emission_observed(sig);
}

// Who a change of field `index` would reach, looked at once per assignment:
// a listener that connects after this look sees the next change.
// (One byte of flags, cheap to keep on the hot path.)
struct Interest {
    enum : std::uint8_t { kPaused = 1, kField = 2, kAll = 4 };
    std::uint8_t bits = 0;

    bool paused() const noexcept { return (bits & kPaused) != 0; }
    bool field() const noexcept { return (bits & kField) != 0; }
    bool all() const noexcept { return (bits & kAll) != 0; }
    explicit operator bool() const noexcept { return bits != 0; }
};

inline Interest wants_change(GroupObject* g, Py_ssize_t index) noexcept {
    Interest interest;
    if (g->paused.load(std::memory_order_acquire) != 0) {
        interest.bits |= Interest::kPaused;
    }
    if (is_heard(g->signals[index])) {
        interest.bits |= Interest::kField;
    }
    if (is_heard(all_signal(g))) {
        interest.bits |= Interest::kAll;
    }
    return interest;
}

// Reports a change: recorded while the group is paused, else emitted on the
// field's signal, then on `all`.
void report_change(GroupObject* g, Interest interest, Py_ssize_t index, PyObject* value,
                   PyObject* old) {
    if (interest.paused()) {
        Ref record = check(Py_BuildValue("(nOO)", index, value, old));
        ChangeGuard guard(g->change_lock);
        if (g->paused.load(std::memory_order_acquire) != 0) {
            if (g->pending == nullptr) {
                g->pending = PyList_New(0);
                if (g->pending == nullptr) {
                    throw PyErrorSet{};
                }
            }
            check_status(PyList_Append(g->pending, record.get()));
            return;
        }
        // The pause ended after the value was stored: emit it now.
        interest = wants_change(g, index);
    }
    if (interest.field()) {
        PyObject* argv[] = {value, old};
        emit_positional(as_signal(g->signals[index]), argv, 2);
    }
    if (interest.all()) {
        PyObject* argv[] = {PyTuple_GET_ITEM(g->names, index), value, old};
        emit_positional(as_signal(all_signal(g)), argv, 3);
    }
}

// Whether `value` counts as unchanged from `old`: the same object, or equal
// by ==. Equality that raises, or answers with something that is not a bool
// (an array, say), counts as not equal: only identity decides then.
bool unchanged(PyObject* value, PyObject* old) noexcept {
    if (value == old) {
        return true;
    }
    Ref answer = Ref::steal(PyObject_RichCompare(value, old, Py_EQ));
    if (!answer) {
        PyErr_Clear();
        return false;
    }
    return answer.get() == Py_True;
}

// The index of `name` among `n` names (a tuple of interned str), or -1. An
// interned name equals one of them only if it is the very same object, so
// for the names of attribute syntax, which the interpreter interns, pointers
// decide.
Py_ssize_t name_index(PyObject* names, Py_ssize_t n, PyObject* name) {
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
    Py_VISIT(g->pending);
    for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) {
        Py_VISIT(g->signals[i]);
    }
    return 0;
}

int Group_clear(PyObject* self) {
    GroupObject* g = as_group(self);
    Py_CLEAR(g->pending);
    for (Py_ssize_t i = 0; i < Py_SIZE(g); ++i) {
        Py_CLEAR(g->signals[i]);
    }
    return 0;
}

void Group_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Group_clear(self);
    Py_CLEAR(as_group(self)->names);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new group of `group_type` for these field names, with a fresh signal for
// each and for `all`.
Ref new_group(PyObject* group_type, PyObject* names) {
    auto* type = reinterpret_cast<PyTypeObject*>(group_type);
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    Ref obj = check(type->tp_alloc(type, n + 1));
    GroupObject* g = as_group(obj.get());
    g->names = Py_NewRef(names);
    ::new (static_cast<void*>(&g->change_lock)) ChangeLock();
    ::new (static_cast<void*>(&g->paused)) std::atomic<std::uint32_t>(0);
    g->pending = nullptr;
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

// _pause(): enters one paused() block.
PyObject* Group_pause(PyObject* self, PyObject*) {
    as_group(self)->paused.fetch_add(1, std::memory_order_acq_rel);
    Py_RETURN_NONE;
}

// _resume(): leaves one; the outermost hands back the recorded changes (a
// list of (index, new, old)), the others None.
PyObject* Group_resume(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        GroupObject* g = as_group(self);
        Ref changes;
        {
            ChangeGuard guard(g->change_lock);
            std::uint32_t depth = g->paused.load(std::memory_order_acquire);
            if (depth == 0) {
                throw_error(PyExc_RuntimeError, "resumed a group that is not paused");
            }
            g->paused.store(depth - 1, std::memory_order_release);
            if (depth == 1) {
                changes = Ref::steal(std::exchange(g->pending, nullptr));
            }
        }
        if (!changes) {
            changes = g->paused.load(std::memory_order_acquire) == 0 ? check(PyList_New(0))
                                                                     : Ref::new_ref(Py_None);
        }
        return changes.release();
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
    {"_pause", Group_pause, METH_NOARGS, nullptr},
    {"_resume", Group_resume, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot group_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Group_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Group_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Group_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(Group_getattro)},
    {Py_tp_iter, reinterpret_cast<void*>(Group_iter)},
    {Py_sq_length, reinterpret_cast<void*>(Group_length)},
    {Py_tp_methods, group_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Where an instance keeps its group: the `events` descriptor

struct EventsObject {
    PyObject_HEAD
    // The class decorated; instances of it and its subclasses only.
    PyObject* owner;
    // The group class (tarnwick.EventedSignals) and the field names.
    PyObject* group_type;
    PyObject* names;
    // "events", interned: the __dict__ key of the group.
    PyObject* key;
    // The hidden slot's member descriptor, or null when the group lives in
    // the instance __dict__; and its offset (0 for none).
    PyObject* member;
    Py_ssize_t slot_offset;
};

EventsObject* as_events(PyObject* self) noexcept {
    return reinterpret_cast<EventsObject*>(self);
}

void require_instance(EventsObject* e, PyObject* obj) {
    if (e->owner == nullptr) {
        // Only a finalizer run by the collector clearing the class can see this.
        throw_error(PyExc_ReferenceError, "the evented class is being collected");
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(e->owner))) {
        throw_format(PyExc_TypeError, "descriptor for '%S' objects doesn't apply to a '%T' object",
                     e->owner, obj);
    }
}

std::atomic_ref<PyObject*> group_slot(EventsObject* e, PyObject* obj) noexcept {
    return std::atomic_ref<PyObject*>(
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + e->slot_offset));
}

// The instance's group, or an empty Ref when it has none yet. Something else
// under "events" in the __dict__ counts as none.
Ref find_group(EventsObject* e, PyObject* obj, PyObject* dict) {
    if (e->slot_offset != 0) {
        // Set once, and cleared only with the dying instance.
        return Ref::new_ref(group_slot(e, obj).load(std::memory_order_acquire));
    }
    Ref found = dict_item(dict, e->key);
    if (found && Py_TYPE(found.get()) != reinterpret_cast<PyTypeObject*>(e->group_type)) {
        return Ref();
    }
    return found;
}

PyObject* Events_get(PyObject* self, PyObject* obj, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (obj == nullptr || obj == Py_None) {
            return Py_NewRef(self);
        }
        EventsObject* e = as_events(self);
        require_instance(e, obj);
        Ref dict;
        if (e->slot_offset == 0) {
            dict = check(PyObject_GenericGetDict(obj, nullptr));
        }
        if (Ref found = find_group(e, obj, dict.get())) {
            return found.release();
        }
        Ref made = new_group(e->group_type, e->names);
        if (e->slot_offset != 0) {
            PyObject* expected = nullptr;
            if (group_slot(e, obj).compare_exchange_strong(expected, made.get(),
                                                           std::memory_order_acq_rel)) {
                return Py_NewRef(made.release());
            }
            return Py_NewRef(expected);  // another thread made it first
        }
        PyObject* kept = nullptr;
        check_status(PyDict_SetDefaultRef(dict.get(), e->key, made.get(), &kept));
        return kept;
    });
}

int Events_set(PyObject* self, PyObject* obj, PyObject* value) {
    return guarded<int>(-1, [&]() -> int {
        (void)self;
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

// A str tuple of interned names, for the descriptors.
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

// The offset of a plain object slot from its member descriptor.
Py_ssize_t slot_offset_of(PyObject* member) {
    if (!Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        throw_format(PyExc_TypeError, "expected a slot's member descriptor, got %T", member);
    }
    PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
    if (def->type != Py_T_OBJECT_EX || (def->flags & Py_READONLY) != 0 || def->offset <= 0) {
        throw_type_error("expected a writable object slot");
    }
    return def->offset;
}

// EventsDescriptor(owner, group_type, names, member=None)
PyObject* Events_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* owner = nullptr;
        PyObject* group_type = nullptr;
        PyObject* names = nullptr;
        PyObject* member = Py_None;
        static const char* kwlist[] = {"owner", "group_type", "names", "member", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!O|O:EventsDescriptor",
                                         const_cast<char**>(kwlist), &PyType_Type, &owner,
                                         &PyType_Type, &group_type, &names, &member)) {
            throw PyErrorSet{};
        }
        PyObject* base = state_of_type(type).evented_group_type.get();
        if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(group_type),
                              reinterpret_cast<PyTypeObject*>(base))) {
            throw_type_error("group_type must be a group class");
        }
        Ref interned = interned_names(names);
        const Py_ssize_t offset = member == Py_None ? 0 : slot_offset_of(member);
        Ref key = check(PyUnicode_InternFromString("events"));
        Ref obj = check(type->tp_alloc(type, 0));
        EventsObject* e = as_events(obj.get());
        e->owner = Py_NewRef(owner);
        e->group_type = Py_NewRef(group_type);
        e->names = interned.release();
        e->key = key.release();
        e->member = offset != 0 ? Py_NewRef(member) : nullptr;
        e->slot_offset = offset;
        return obj.release();
    });
}

PyObject* Events_get_names(PyObject* self, void*) { return Py_NewRef(as_events(self)->names); }

PyObject* Events_get_member(PyObject* self, void*) {
    PyObject* member = as_events(self)->member;
    return Py_NewRef(member != nullptr ? member : Py_None);
}

PyGetSetDef events_getset[] = {
    {"names", Events_get_names, nullptr, "The field names, in order.", nullptr},
    {"member", Events_get_member, nullptr, "The hidden slot's member descriptor, or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot events_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Events_new)},
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

// ---------------------------------------------------------------------------
// Where one field's value lives in one instance: its __dict__ or its slot

class FieldStore {
public:
    // `slot` is the field's slot, or null for a field kept in `dict`.
    FieldStore(PyObject* obj, PyObject* name, PyMemberDef* slot, PyObject* dict) noexcept
        : obj_(obj), name_(name), slot_(slot), dict_(dict) {}

    // The value, or an empty Ref when the field has none.
    Ref read() {
        if (slot_ == nullptr) {
            return dict_item(dict_, name_);
        }
        std::atomic_ref<PyObject*> slot(
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj_) + slot_->offset));
        if (slot.load(std::memory_order_acquire) == nullptr) {
            return Ref();
        }
        // Read as the member does, safe against a concurrent del.
        Ref value = Ref::steal(PyMember_GetOne(reinterpret_cast<const char*>(obj_), slot_));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw PyErrorSet{};
            }
            PyErr_Clear();
        }
        return value;
    }

    void write(PyObject* value) {
        if (slot_ == nullptr) {
            check_status(PyDict_SetItem(dict_, name_, value));
        } else {
            check_status(PyMember_SetOne(reinterpret_cast<char*>(obj_), slot_, value));
        }
    }

private:
    PyObject* obj_;
    PyObject* name_;
    PyMemberDef* slot_;
    PyObject* dict_;
};

// ---------------------------------------------------------------------------
// The class's __setattr__
//
// The class's own attributes stay as they were (a field's default, a slot's
// member descriptor), so the interpreter reads a field as fast as on the
// class undecorated. Every assignment comes here instead: a field's is
// stored, compared and reported; any other attribute's goes to the
// __setattr__ the class had.

// How one field is assigned.
struct FieldPlan {
    // The field's slot (its member descriptor is kept in `members`), or null
    // when it is kept in the instance __dict__.
    PyMemberDef* slot;
    // attrs' on_setattr hook of the field and its attrs.Attribute (borrowed
    // from `converts`), or null: what attrs' own __setattr__ would call
    // before storing, called here, so that the store stays ours.
    PyObject* convert;
    PyObject* attribute;
    // The class's own __setattr__ stores it (pydantic's validation, a
    // __setattr__ of the class's own): it is called, and the value it
    // stored is read back; otherwise the value is stored here.
    bool via_base;
};

struct HookObject {
    PyObject_VAR_HEAD  // ob_size: the number of fields
    vectorcallfunc vectorcall;
    // The __setattr__ the class would use without us.
    PyObject* base;
    // `base` is object.__setattr__: PyObject_GenericSetAttr does its work.
    bool generic;
    // A model's direct store also adds the name to __pydantic_fields_set__,
    // as pydantic's __setattr__ would.
    bool pydantic;
    // The field names (interned, the group's).
    PyObject* names;
    // Per field, the slot's member descriptor or None; and attrs'
    // (hook, attribute) or None.
    PyObject* members;
    PyObject* converts;
    PyObject* events;
    PyObject* fields_set_name;  // "__pydantic_fields_set__", interned
    PyObject* mro_name;         // "__mro__", interned
    // Version tags of subclasses that leave every field to this __setattr__
    // (0: none), replaced in turn.
    std::atomic<unsigned int> plain_subclasses[4];
    std::atomic<unsigned int> next_plain_subclass;
    FieldPlan plans[1];
};

HookObject* as_hook(PyObject* self) noexcept { return reinterpret_cast<HookObject*>(self); }

PyObject* call_base(HookObject* h, PyObject* obj, PyObject* name, PyObject* value) {
    if (h->generic) {
        check_status(PyObject_GenericSetAttr(obj, name, value));
        Py_RETURN_NONE;
    }
    if (h->base == nullptr) {
        throw_error(PyExc_ReferenceError, "the evented class is being collected");
    }
    PyObject* argv[] = {obj, name, value};
    return check(PyObject_Vectorcall(h->base, argv, 3, nullptr)).release();
}

// Whether a class between `type` and `owner` (a subclass of the class
// decorated) takes over field `name`, or any field for null: with a data
// descriptor of that name, or with a decoration of its own, whose
// __setattr__ reports the change.
bool taken_over_below(HookObject* h, PyTypeObject* type, PyTypeObject* owner, PyObject* name) {
    Ref mro = check(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), h->mro_name));
    if (!PyTuple_Check(mro.get())) {
        return true;
    }
    PyObject* events_name = as_events(h->events)->key;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* klass = PyTuple_GET_ITEM(mro.get(), i);
        if (klass == reinterpret_cast<PyObject*>(owner) || !PyType_Check(klass)) {
            break;
        }
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(klass)));
        if (dict_item(dict.get(), events_name)) {
            return true;
        }
        const Py_ssize_t count = name != nullptr ? 1 : Py_SIZE(h);
        for (Py_ssize_t j = 0; j < count; ++j) {
            Ref attr = dict_item(dict.get(), name != nullptr ? name : PyTuple_GET_ITEM(h->names, j));
            if (attr && Py_TYPE(attr.get())->tp_descr_set != nullptr) {
                return true;
            }
        }
    }
    return false;
}

std::atomic_ref<unsigned int> version_tag(PyTypeObject* type) noexcept {
    return std::atomic_ref<unsigned int>(type->tp_version_tag);
}

// Whether the subclass `type` leaves every field to this __setattr__. The
// answer "yes" is kept for a few subclasses under their version tags: a
// class's tag changes whenever it or one of its bases does, and is never
// another class's.
bool leaves_fields(HookObject* h, PyTypeObject* type, PyTypeObject* owner) {
    unsigned int tag = version_tag(type).load(std::memory_order_relaxed);
    if (tag != 0) {
        for (const auto& known : h->plain_subclasses) {
            if (known.load(std::memory_order_relaxed) == tag) {
                return true;
            }
        }
    }
    tag = PyUnstable_Type_AssignVersionTag(type) ? version_tag(type).load(std::memory_order_relaxed)
                                                 : 0;
    if (taken_over_below(h, type, owner, nullptr)) {
        return false;
    }
    if (tag != 0) {
        const unsigned int slot = h->next_plain_subclass.fetch_add(1, std::memory_order_relaxed);
        h->plain_subclasses[slot % std::size(h->plain_subclasses)].store(
            tag, std::memory_order_relaxed);
    }
    return true;
}

// The index of the field that `obj.name = ...` assigns, or -1 when this
// assignment is not ours to report.
Py_ssize_t hooked_field(HookObject* h, PyObject* obj, PyObject* name) {
    if (h->events == nullptr) {
        return -1;
    }
    const Py_ssize_t i = PyUnicode_Check(name) ? name_index(h->names, Py_SIZE(h), name) : -1;
    if (i < 0) {
        return -1;
    }
    auto* owner = reinterpret_cast<PyTypeObject*>(as_events(h->events)->owner);
    if (owner == nullptr) {
        return -1;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type != owner) {
        if (!PyType_IsSubtype(type, owner) ||
            (!leaves_fields(h, type, owner) && taken_over_below(h, type, owner, name))) {
            return -1;
        }
    }
    return i;
}

// The instance __dict__, for a field or a group kept there; else null.
Ref dict_if_used(EventsObject* e, const FieldPlan& plan, PyObject* obj) {
    if (plan.slot != nullptr && e->slot_offset != 0) {
        return Ref();
    }
    return check(PyObject_GenericGetDict(obj, nullptr));
}

PyObject* Hook_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (PyVectorcall_NARGS(nargsf) != 3 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames))) {
            throw_type_error("__setattr__ expected 2 arguments");
        }
        HookObject* h = as_hook(self);
        PyObject* obj = args[0];
        PyObject* name = args[1];
        PyObject* value = args[2];
        const Py_ssize_t index = hooked_field(h, obj, name);
        if (index < 0) {
            return call_base(h, obj, name, value);
        }
        EventsObject* e = as_events(h->events);
        const FieldPlan& plan = h->plans[index];
        PyObject* field = PyTuple_GET_ITEM(h->names, index);
        Ref converted;
        if (plan.convert != nullptr) {
            // attrs' converters and validators, before anything is looked
            // at, with no lock held: one that raises stores nothing.
            PyObject* argv[] = {obj, plan.attribute, value};
            converted = check(PyObject_Vectorcall(plan.convert, argv, 3, nullptr));
            value = converted.get();
        }
        Ref dict = dict_if_used(e, plan, obj);
        Ref group_ref = find_group(e, obj, dict.get());
        auto* g = reinterpret_cast<GroupObject*>(group_ref.get());
        const Interest interest = g != nullptr ? wants_change(g, index) : Interest{};
        if (plan.via_base) {
            if (!interest) {
                return call_base(h, obj, name, value);
            }
            // The class's own __setattr__ may run any code, so no lock is
            // held across it: the old value is what it was just before.
            Ref old = FieldStore(obj, field, plan.slot, dict.get()).read();
            dict.reset();
            Ref result = Ref::steal(call_base(h, obj, name, value));
            // pydantic's validate_assignment gives the model a new __dict__.
            dict = dict_if_used(e, plan, obj);
            Ref stored = FieldStore(obj, field, plan.slot, dict.get()).read();
            if (old && stored && !unchanged(stored.get(), old.get())) {
                report_change(g, interest, index, stored.get(), old.get());
            }
            return result.release();
        }
        FieldStore store(obj, field, plan.slot, dict.get());
        Ref old;
        if (!interest) {
            store.write(value);
        } else {
            ChangeGuard guard(g->change_lock);
            old = store.read();
            store.write(value);
        }
        if (h->pydantic) {
            Ref fields_set = check(PyObject_GetAttr(obj, h->fields_set_name));
            check_status(PySet_Add(fields_set.get(), field));
        }
        if (old && !unchanged(value, old.get())) {
            report_change(g, interest, index, value, old.get());
        }
        Py_RETURN_NONE;
    });
}

PyObject* Hook_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int Hook_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_hook(self)->base);
    Py_VISIT(as_hook(self)->members);
    Py_VISIT(as_hook(self)->converts);
    Py_VISIT(as_hook(self)->events);
    return 0;
}

// Clearing `events` first makes every later call go to `base`, so the
// plans are never used once `members` and `converts` are gone.
int Hook_clear(PyObject* self) {
    Py_CLEAR(as_hook(self)->events);
    Py_CLEAR(as_hook(self)->base);
    Py_CLEAR(as_hook(self)->members);
    Py_CLEAR(as_hook(self)->converts);
    return 0;
}

void Hook_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Hook_clear(self);
    HookObject* h = as_hook(self);
    Py_CLEAR(h->names);
    Py_CLEAR(h->fields_set_name);
    Py_CLEAR(h->mro_name);
    type->tp_free(self);
    Py_DECREF(type);
}

// Whether `base` is object.__setattr__.
bool is_object_setattr(PyObject* base) {
    Ref object_setattr =
        check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                     "__setattr__"));
    return base == object_setattr.get();
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

// EventedSetattr(events, base, direct, members=None, converts=None,
// pydantic=False): `direct`, a frozenset of the fields stored here rather
// than by `base`; `members`, per field, its slot's member descriptor or
// None; `converts`, per field, attrs' (on_setattr hook, attribute) or None.
PyObject* Hook_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* events = nullptr;
        PyObject* base = nullptr;
        PyObject* direct = nullptr;
        PyObject* members = Py_None;
        PyObject* converts = Py_None;
        int pydantic = 0;
        static const char* kwlist[] = {"events",   "base",     "direct", "members",
                                       "converts", "pydantic", nullptr};
        InterpState& state = state_of_type(type);
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "O!OO!|OOp:EventedSetattr", const_cast<char**>(kwlist),
                reinterpret_cast<PyTypeObject*>(state.evented_events_type.get()), &events, &base,
                &PyFrozenSet_Type, &direct, &members, &converts, &pydantic)) {
            throw PyErrorSet{};
        }
        PyObject* names = as_events(events)->names;
        const Py_ssize_t n = PyTuple_GET_SIZE(names);
        Ref member_tuple = per_field(members, n, "members");
        Ref convert_tuple = per_field(converts, n, "converts");
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* member = PyTuple_GET_ITEM(member_tuple.get(), i);
            if (member != Py_None) {
                (void)slot_offset_of(member);
            }
            PyObject* convert = PyTuple_GET_ITEM(convert_tuple.get(), i);
            if (convert != Py_None && !(PyTuple_Check(convert) && PyTuple_GET_SIZE(convert) == 2 &&
                                        PyCallable_Check(PyTuple_GET_ITEM(convert, 0)))) {
                throw_type_error("converts must give (hook, attribute) or None per field");
            }
        }
        const bool generic = is_object_setattr(base);
        Ref fields_set_name = check(PyUnicode_InternFromString("__pydantic_fields_set__"));
        Ref mro_name = check(PyUnicode_InternFromString("__mro__"));
        Ref obj = check(type->tp_alloc(type, n));
        HookObject* h = as_hook(obj.get());
        for (auto& known : h->plain_subclasses) {
            ::new (static_cast<void*>(&known)) std::atomic<unsigned int>(0);
        }
        ::new (static_cast<void*>(&h->next_plain_subclass)) std::atomic<unsigned int>(0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* member = PyTuple_GET_ITEM(member_tuple.get(), i);
            PyObject* convert = PyTuple_GET_ITEM(convert_tuple.get(), i);
            FieldPlan& plan = h->plans[i];
            plan.slot = member == Py_None
                            ? nullptr
                            : reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
            plan.convert = convert == Py_None ? nullptr : PyTuple_GET_ITEM(convert, 0);
            plan.attribute = convert == Py_None ? nullptr : PyTuple_GET_ITEM(convert, 1);
            plan.via_base = check_status(PySet_Contains(direct, PyTuple_GET_ITEM(names, i))) == 0;
        }
        h->vectorcall = Hook_vectorcall;
        h->base = Py_NewRef(base);
        h->generic = generic;
        h->pydantic = pydantic != 0;
        h->names = Py_NewRef(names);
        h->members = member_tuple.release();
        h->converts = convert_tuple.release();
        h->events = Py_NewRef(events);
        h->fields_set_name = fields_set_name.release();
        h->mro_name = mro_name.release();
        return obj.release();
    });
}

PyObject* Hook_get_base(PyObject* self, void*) { return Py_NewRef(as_hook(self)->base); }

PyGetSetDef hook_getset[] = {
    {"base", Hook_get_base, nullptr, "The __setattr__ this one calls.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef hook_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(HookObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot hook_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Hook_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Hook_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Hook_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Hook_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Hook_get)},
    {Py_tp_members, hook_members},
    {Py_tp_getset, hook_getset},
    {Py_tp_doc, const_cast<char*>("__setattr__ of an evented class.")},
    {0, nullptr},
};
// The script's evented(), made once per interpreter.
Ref make_evented_impl(InterpState& state) {
    Ref code = check(Py_CompileStringExFlags(kEventedScript, "tarnwick_evented.py", Py_file_input,
                                             nullptr, -1));
    Ref globals = check(PyDict_New());
    check_status(PyDict_SetItemString(globals.get(), "__name__",
                                      check(PyUnicode_FromString("tarnwick")).get()));
    Ref builtins = check(PyEval_GetFrameBuiltins());
    check_status(PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()));
    Ref ran = check(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    Ref setup = dict_item(globals.get(), "_setup");
    if (!setup) {
        throw_error(PyExc_RuntimeError, "tarnwick: the evented script has no _setup");
    }
    PyObject* argv[] = {state.evented_group_type.get(), state.evented_events_type.get(),
                        state.evented_hook_type.get()};
    return check(PyObject_Vectorcall(setup.get(), argv, 3, nullptr));
}

}  // namespace

PyObject* evented(PyObject* module, PyObject* cls) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        InterpState& state = interp_state_for_exec(module);
        Ref impl = state.evented_impl.get_or_fill([&] { return make_evented_impl(state); });
        return check(PyObject_CallOneArg(impl.get(), cls)).release();
    });
}

// ---------------------------------------------------------------------------
// Type definitions

PyType_Spec evented_group_type_def = {
    "tarnwick.EventedSignalsBase",
    static_cast<int>(offsetof(GroupObject, signals)),
    static_cast<int>(sizeof(PyObject*)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    group_slots,
};

PyType_Spec evented_events_type_def = {
    "tarnwick.EventsDescriptor",
    sizeof(EventsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    events_slots,
};

PyType_Spec evented_hook_type_def = {
    "tarnwick.EventedSetattr",
    static_cast<int>(offsetof(HookObject, plans)),
    static_cast<int>(sizeof(FieldPlan)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    hook_slots,
};

}  // namespace tarnwick
