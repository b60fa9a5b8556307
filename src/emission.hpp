// Emission: Signal.emit and Signal.emit_async.
#pragma once

#include "ref.hpp"

#include <cstddef>

namespace tarnwick {

PyObject* Signal_emit(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* Signal_emit_async(PyObject* self, PyObject* args, PyObject* kwargs);

struct SignalObject;

// emit(*argv) from C, for its effect: the results are dropped, and a
// callback's error in fast-fail mode is thrown as emit would raise it.
void emit_positional(SignalObject* signal, PyObject* const* argv, std::size_t nargs);

}  // namespace tarnwick
