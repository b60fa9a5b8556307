// Weak connections: the liveness check that refuses a callback nothing else
// keeps alive, and the weak reference an entry holds instead of it.
#pragma once

#include "ref.hpp"
#include "signal_record.hpp"

namespace tarnwick {

// Replaces `callback` (the call's owned reference) by a weak reference to it,
// a weakref.WeakMethod for a bound method and a weakref.ref otherwise, after
// checking that something else keeps the callable (or its instance) alive.
// With `handed_back`, the caller's own reference to a callable counts as
// keeping it: a decorator returns the callable to be bound to a name.
Ref make_weak(SignalObject* self, Ref callback, bool handed_back);

}  // namespace tarnwick
