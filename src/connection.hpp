// SignalConnection: the context manager returned by Signal.connected.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace tarnwick {

// A new SignalConnection holding a strong reference to `signal` and `id`;
// null with an exception set on failure.
PyObject* new_connection(PyObject* signal, std::uint64_t id) noexcept;

}  // namespace tarnwick
