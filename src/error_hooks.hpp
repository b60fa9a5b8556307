// Telling a signal's error hooks of a failure, and the user's callable they
// are shown: below both emission and loop delivery, which report to them.
#pragma once

#include "ref.hpp"

namespace tarnwick {

struct SignalObject;

// Tells every error hook of `self` that `callback` raised `error` (both stay
// the caller's). Never raises: a failing hook is reported and dropped.
// Returns whether the signal had hooks to tell, so that a caller with no
// emission to raise in (a rate limiter's delayed call) can report the error
// elsewhere.
bool notify_error_hooks(SignalObject* self, PyObject* error, PyObject* callback) noexcept;

// How a loop's delivery (src/delivery.cpp) begins: what the hooks and the
// listing read of it to show the user's callable behind it.
struct DeliveryHead {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The callable, or for a weak delivery the weak reference to it.
    PyObject* callback;
};

// The delivery type's dealloc, by which a delivery is known: the same
// function in every interpreter's type. It clears the fields with the type's
// tp_clear.
void delivery_dealloc(PyObject* self);

// The callback behind an adapter (adapter.hpp), a rate limiter
// (rate_limit.hpp) and a delivery, in that order of wrapping, or `obj`
// itself; borrowed.
PyObject* delivered_callable(PyObject* obj) noexcept;

}  // namespace tarnwick
