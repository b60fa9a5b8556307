// Signal.connections and Signal.disconnect_callback: the listener table seen
// from Python, through a snapshot.
#pragma once

#include "ref.hpp"

namespace tarnwick {

PyObject* Signal_connections(PyObject* self, PyObject*);
PyObject* Signal_disconnect_callback(PyObject* self, PyObject* const* bound);

}  // namespace tarnwick
