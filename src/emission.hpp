// Emission: Signal.emit and Signal.emit_async.
#pragma once

#include "ref.hpp"

namespace tarnwick {

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs);

struct SignalObject;

// Tells every error hook of `self` that `callback` raised `error` (both stay
// the caller's). Never raises: a failing hook is reported and dropped.
void notify_error_hooks(SignalObject* self, PyObject* error, PyObject* callback) noexcept;

}  // namespace tarnwick
