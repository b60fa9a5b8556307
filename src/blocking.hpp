// Signal.blocked: the context manager that suppresses a signal's emissions.
#pragma once

#include "ref.hpp"

namespace tarnwick {

// Signal.blocked(): a new SignalBlocker for `self`.
PyObject* Signal_blocked(PyObject* self, PyObject*);

}  // namespace tarnwick
