// Emission: Signal.emit and Signal.emit_async.
#pragma once

#include "ref.hpp"

namespace tarnwick {

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs);

struct SignalObject;

// Emits a recorded emission again for paused()'s exit: its positional
// arguments, its keywords without on_error (or null) and its mode; a block
// still holds it back, a pause does not. Raises what the emission raises.
void replay_emission(SignalObject* signal, PyObject* args, PyObject* kwargs, bool collect,
                     bool awaiting);

// Tells every error hook of `self` that `callback` raised `error` (both stay
// the caller's). Never raises: a failing hook is reported and dropped.
void notify_error_hooks(SignalObject* self, PyObject* error, PyObject* callback) noexcept;

}  // namespace tarnwick
