// The objects of evented data, shared by the files that make them up:
//
//   evented_group.cpp    the group of one instance (one Signal per field,
//                        then `all`), how a change is reported, and the
//                        group's pause
//   evented_events.cpp   the `events` descriptor, which makes an instance's
//                        group on first access and keeps it in the instance
//   evented_setattr.cpp  the class's __setattr__: where a field's value lives
//                        and what an assignment does
//   evented.cpp          evented() itself: the Python half (tarnwick/_evented.py)
//                        and the one factory that makes the two objects above
//
// None of these types can be made from Python: only the factory makes
// descriptors and __setattr__ objects, after checking what they will touch.
#pragma once

#include "lock.hpp"
#include "observers.hpp"
#include "ref.hpp"
#include "signal_record.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarnwick {

struct InterpState;

// ---------------------------------------------------------------------------
// The group

// Serialises the assignments of one instance that a class's own
// __setattr__ stores (pydantic's validate_assignment gives the model a new
// __dict__ on each, so two at once lose one), while the instance's group
// exists: that __setattr__ runs under it, so that the last change emitted
// for a field is what the field holds. It is the one lock of ours that
// Python code runs under, and that code may assign the same instance again:
// so it is re-entrant on its thread, and a thread waiting for it waits
// detached from the interpreter (PyMutex_Lock does), so that neither the
// GIL nor a stop-the-world waits on it. No listener, hook or reducer runs
// under it: the change is reported after it is let go.
class AssignLock {
public:
    void lock() noexcept {
        const unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        PyMutex_Lock(&mutex_);
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() noexcept {
        if (--depth_ == 0) {
            owner_.store(0, std::memory_order_relaxed);
            PyMutex_Unlock(&mutex_);
        }
    }

private:
    PyMutex mutex_{};
    std::atomic<unsigned long> owner_{0};
    unsigned int depth_ = 0;
};

// Holds an AssignLock for the guard's scope.
using AssignGuard = std::lock_guard<AssignLock>;

struct GroupObject {
    PyObject_VAR_HEAD  // ob_size: the number of signals, the fields' and `all`
    // The field names, in order: a tuple of interned str, the class's own.
    // A group belongs to the class whose names it holds.
    PyObject* names;
    // The signal a paused group records its changes on, made on the first
    // paused(); its one listener emits them on the fields' signals and `all`.
    std::atomic<PyObject*> changes;
    // Held while a field stored here has its old value read and its new one
    // stored (evented_setattr.cpp): no Python code runs under it.
    RWLock change_lock;
    AssignLock assign_lock;
    PyObject* signals[1];
};

inline GroupObject* as_group(PyObject* self) noexcept {
    return reinterpret_cast<GroupObject*>(self);
}

inline Py_ssize_t field_count(GroupObject* g) noexcept { return Py_SIZE(g) - 1; }

// Who a change of one field would reach, looked at once per assignment: a
// listener that connects after this look sees the next change.
struct Interest {
    enum : std::uint8_t { kPaused = 1, kField = 2, kAll = 4 };
    std::uint8_t bits = 0;

    bool paused() const noexcept { return (bits & kPaused) != 0; }
    explicit operator bool() const noexcept { return bits != 0; }
};

inline PyObject* all_signal(GroupObject* g) noexcept { return g->signals[field_count(g)]; }

inline std::uint64_t gate_of(PyObject* signal) noexcept {
    return as_signal(signal)->rec.blocks.load(std::memory_order_acquire);
}

inline bool is_blocked(PyObject* signal) noexcept {
    return (gate_of(signal) & ~SignalRecord::kPaused) != 0;
}

// Whether an emission of `signal` could call anything now, looked at
// without its lock: a listener, or a recorder or trace of tarnwick.testing.
// One inside the signal's own paused() is recorded for the listeners there
// will be. A listener that connects meanwhile sees the next change.
inline bool is_heard(PyObject* signal) noexcept {
    const SignalObject* sig = as_signal(signal);
    const std::uint64_t gate = gate_of(signal);
    if ((gate & ~SignalRecord::kPaused) != 0) {
        return false;  // blocked
    }
    return gate != 0 || sig->rec.listeners.maybe_nonempty() || emission_observed(sig);
}

inline bool group_paused(GroupObject* g) noexcept {
    PyObject* changes = g->changes.load(std::memory_order_acquire);
    return changes != nullptr && (gate_of(changes) & SignalRecord::kPaused) != 0;
}

// Inline, as it is looked at on every assignment to an instance with a group.
inline Interest wants_change(GroupObject* g, Py_ssize_t index) noexcept {
    Interest interest;
    if (group_paused(g)) {
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

// Reports a change of field `index`: recorded while the group is paused,
// else emitted on the field's signal, then on `all`.
void report_change(GroupObject* g, Interest interest, Py_ssize_t index, PyObject* value,
                   PyObject* old);

// A new group of `group_type` for these field names, with a fresh signal for
// each and for `all`.
Ref new_group(PyObject* group_type, PyObject* names);

// The index of `name` among the names (a tuple of interned str), or -1.
Py_ssize_t name_index(PyObject* names, Py_ssize_t n, PyObject* name);

// ---------------------------------------------------------------------------
// The `events` descriptor

struct EventsObject {
    PyObject_HEAD
    // The class decorated or adopted; its instances only (an instance of a
    // subclass has its class adopted first).
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

inline EventsObject* as_events(PyObject* self) noexcept {
    return reinterpret_cast<EventsObject*>(self);
}

inline std::atomic_ref<PyObject*> group_slot(EventsObject* e, PyObject* obj) noexcept {
    return std::atomic_ref<PyObject*>(
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + e->slot_offset));
}

inline bool is_own_group(EventsObject* e, PyObject* found) noexcept {
    return Py_TYPE(found) == reinterpret_cast<PyTypeObject*>(e->group_type) &&
           as_group(found)->names == e->names;
}

// The instance's group, or an empty Ref when it has none yet. A group of
// another class (one left by `obj.__class__ = ...`, or copied in with another
// instance's __dict__) counts as none: the next `events` replaces it. Inline,
// as it is looked at on every assignment.
inline Ref find_group(EventsObject* e, PyObject* obj, PyObject* dict) {
    Ref found;
    if (e->slot_offset != 0) {
        // Set by the descriptor, and cleared only with the dying instance;
        // read as the slot's member reads it.
        PyObject* value = nullptr;
        Py_BEGIN_CRITICAL_SECTION(obj);
        value = Py_XNewRef(group_slot(e, obj).load(std::memory_order_acquire));
        Py_END_CRITICAL_SECTION();
        found = Ref::steal(value);
    } else {
        found = dict_item(dict, e->key);
    }
    if (found && !is_own_group(e, found.get())) {
        return Ref();
    }
    return found;
}

// A new descriptor for `owner`, its group class and field names, and the
// group slot's member descriptor (checked by the caller) or None.
Ref new_events(InterpState& state, PyObject* owner, PyObject* group_type, PyObject* names,
               PyObject* member, Py_ssize_t slot_offset);

// ---------------------------------------------------------------------------
// The __setattr__

// What the factory hands the __setattr__ for each field: its slot's member
// descriptor or None, attrs' (hook, attribute) or None, and whether the
// class's own __setattr__ stores it (`direct` false) or a descriptor of the
// class's own takes it over (`taken`).
struct HookPlans {
    PyObject* members;   // tuple, one entry per field
    PyObject* converts;  // tuple, one entry per field
    PyObject* direct;    // frozenset of names
    PyObject* taken;     // frozenset of names
    bool pydantic;
};

Ref new_hook(InterpState& state, PyObject* events, PyObject* base, const HookPlans& plans);

}  // namespace tarnwick
