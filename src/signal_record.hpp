// The Signal record: what a signal holds, and the table operations that any
// part of the extension may use on it. The Signal type (signal.cpp) sits on
// top of this and of the feature files (emission, listing, blocking, the
// connection and liveness), which include this header and never the type's.
#pragma once

#include "callback.hpp"
#include "once_cell.hpp"
#include "pause_state.hpp"
#include "ref.hpp"

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

    // How many blocked() contexts are entered on this signal, on any thread,
    // and, in its top bit (kPaused), whether a paused() context is. While it
    // is not 0 an emission calls nothing and uses no count (a paused one is
    // recorded, unless a block holds it back); it reads the value once, with
    // no lock, so an emission on a signal never paused pays nothing more.
    std::atomic<std::uint64_t> blocks{0};
    static constexpr std::uint64_t kPaused = std::uint64_t{1} << 63;
    PauseState pause;

    // How many recorders and traces of tarnwick.testing name this signal
    // (observers.hpp); while it is 0, emissions look no further.
    std::atomic<std::uint32_t> observers{0};

    // Each guarded by its own lock; see callback.hpp.
    ListenerTable listeners;
    ErrorHookList error_hooks;

    // Per-signal caches, filled on first need and kept for the signal's life.
    OnceCell weakref_module;
    OnceCell asyncio_module;
    OnceCell finalize_fn;
};

struct SignalObject {
    PyObject_HEAD
    SignalRecord rec;
};

inline SignalObject* as_signal(PyObject* self) noexcept {
    return reinterpret_cast<SignalObject*>(self);
}

inline PyObject* as_object(SignalObject* self) noexcept {
    return reinterpret_cast<PyObject*>(self);
}

// Removes the entry with this id; reports whether there was one. Drops the
// removed reference after unlocking. Never raises.
inline bool disconnect_by_id(SignalObject* self, std::uint64_t id) noexcept {
    ListenerTable& table = self->rec.listeners;
    Ref gone;
    {
        ExclusiveGuard guard(table.lock());
        gone = table.take_by_id(guard, id);
    }
    return static_cast<bool>(gone);  // dropped here, with no lock held
}

// Whether the entry with this id is still connected: once it is not, it
// never is again, since ids are never reused. Never raises.
inline bool is_connected(SignalObject* self, std::uint64_t id) noexcept {
    ListenerTable& table = self->rec.listeners;
    SharedGuard guard(table.lock());
    return table.contains(guard, id);
}

}  // namespace tarnwick
