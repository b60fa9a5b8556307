// Delivery of a connection's calls on an event loop's thread.
#pragma once

#include "ref.hpp"

namespace tarnwick {

// The callable that listener(..., loop=LOOP) connects in the place of
// `callback` (the call's owned reference; for a weak connection, the weak
// reference to it, with `weak` set). Raises TypeError for a `loop` that is not
// an event loop.
Ref make_delivery(PyObject* signal, Ref callback, PyObject* loop, bool weak);

// The callback behind a delivery or an adapter (adapter.hpp), or `obj`
// itself; borrowed.
PyObject* delivered_callable(PyObject* obj) noexcept;

}  // namespace tarnwick
