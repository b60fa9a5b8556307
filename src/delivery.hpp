// Delivery of a connection's calls on an event loop's thread.
#pragma once

#include "ref.hpp"

namespace tarnwick {

// The callable that listener(..., loop=LOOP) connects in the place of
// `callback` (the call's owned reference; for a weak connection, the weak
// reference to it, with `weak` set). Raises TypeError for a `loop` that is not
// an event loop.
Ref make_delivery(PyObject* signal, Ref callback, PyObject* loop, bool weak);

// Calls a strong `delivery` with `args` and `kwargs` (null for none) as an
// emission would, for a call that no emission's caller waits for (a rate
// limiter's delayed call): a queued call's failure that no error hook hears
// goes to sys.unraisablehook. Returns the result, or the queued call's future.
Ref deliver_unheard(PyObject* delivery, PyObject* args, PyObject* kwargs);

}  // namespace tarnwick
