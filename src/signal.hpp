// The Signal type.
#pragma once

#include "callback.hpp"
#include "lock.hpp"
#include "once_cell.hpp"
#include "ref.hpp"
#include "small_vector.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick {

struct SignalRecord {
    // Shown by repr() only. Absent for Signal() and Signal(None).
    std::optional<std::string> name;
    // Source of connection ids: each successful connect takes the current
    // value and adds 1. Ids are never reused within a signal.
    std::atomic<std::uint64_t> next_id{0};

    // Shared: len, repr, traverse, an emission's snapshot and countdown.
    // Exclusive: insert, disconnect, an emission's removal, clear.
    RWLock listeners_lock;
    ListenerTable listeners;

    // Shared: copying the hooks to notify, traverse. Exclusive: on_error,
    // clear_error_hooks, clear. In registration order.
    RWLock hooks_lock;
    SmallVector<Ref, 2> hooks;

    // Per-signal caches, filled on first need and kept for the signal's life.
    OnceCell weakref_module;
    OnceCell asyncio_module;
    OnceCell finalize_fn;
};

struct SignalObject {
    PyObject_HEAD
    SignalRecord rec;
};

// Removes the entry with this id; reports whether there was one. Drops the
// removed reference after unlocking. Never raises.
bool disconnect_by_id(SignalObject* self, std::uint64_t id) noexcept;

}  // namespace tarnwick
