// SignalConnection: the context manager returned by Signal.connected.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace tarnwick {

// The process-wide SignalConnection type, created on first use; borrowed.
// Throws PyErrorSet if it cannot be created.
PyTypeObject* connection_type();

// A new SignalConnection holding a strong reference to `signal` and `id`;
// null with an exception set on failure.
PyObject* new_connection(PyObject* signal, std::uint64_t id) noexcept;

}  // namespace tarnwick
