// Signal.connections and Signal.disconnect_callback: the listener table seen
// from Python, through a snapshot.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace tarnwick {

PyObject* Signal_connections(PyObject* self, PyObject*);
PyObject* Signal_disconnect_callback(PyObject* self, PyObject* const* bound);

struct SignalObject;

// Whether a connection's callback equals `callback`, compared as
// disconnect_callback compares; `next_id` gets the id the next connection
// would have had when the table was looked at.
bool has_equal_callback(SignalObject* self, PyObject* callback, std::uint64_t& next_id);

}  // namespace tarnwick
