// Emission: Signal.emit and Signal.emit_async.
#pragma once

#include "ref.hpp"

namespace tarnwick {

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tarnwick
