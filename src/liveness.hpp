// Weak connections: the liveness check that refuses a callback nothing else
// keeps alive, and the weak reference an entry holds instead of it.
#pragma once

#include "ref.hpp"
#include "signal_record.hpp"

namespace tarnwick {

// How the caller holds the callable it passes.
struct CallerHold {
    // The callable goes back to the caller (a decorator returns it to be
    // bound to a name), so the caller keeps it.
    bool handed_back = false;
    // 3.14+: a temporary owned by nothing but the caller's evaluation stack,
    // which dies when the call returns.
    bool temporary = false;
};

// Reads how the caller holds `callback`. Must be called before this call
// takes a reference of its own to it: a temporary has exactly one until then.
CallerHold caller_hold(PyObject* callback, bool handed_back) noexcept;

// Removes the weak entries whose referents have died, as an emission does:
// the weak entries are taken under the shared lock, resolved with no lock
// held (a weak reference is a Python callable), and the dead ones removed
// by id under the exclusive lock. A weak connect calls it when the table
// says a sweep is due (ListenerTable::sweep_due). Raises what a weak
// reference raises, having removed nothing.
void sweep_dead_weak(SignalObject* self);

// Replaces `callback` (the call's owned reference) by a weak reference to it,
// a weakref.WeakMethod for a bound method and a weakref.ref otherwise, after
// checking that something else keeps the callable (or its instance) alive.
// With `builtin_methods` (listener's weak=True), a builtin method bound to an
// object, such as a Qt widget's slot, is held by a weak reference to that
// object: the connection dies with it.
Ref make_weak(SignalObject* self, Ref callback, CallerHold hold, bool builtin_methods);

extern PyType_Spec weak_builtin_type_def;

}  // namespace tarnwick
