// SignalBlocker: while entered, the signal's emissions call nothing.
//
// Entering adds one to the signal's `blocks` count and leaving takes it away
// again, so blocks nest and may overlap across threads. A blocker remembers
// how often it is entered, so that an __exit__ without an __enter__ cannot
// lift somebody else's block, and a blocker that is destroyed while entered
// lifts its own.

#include "blocking.hpp"

#include "args.hpp"
#include "holder.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

#include <atomic>
#include <cstdint>

namespace tarnwick {

namespace {

struct BlockerObject : SignalHolder {
    // How many of the signal's blocks this object holds; lifted before the
    // collector's clear lets go of the signal.
    std::atomic<std::uint64_t> entered;
};

BlockerObject* as_blocker(PyObject* self) noexcept {
    return reinterpret_cast<BlockerObject*>(self);
}

PyObject* Blocker_enter(PyObject* self, PyObject*) {
    BlockerObject* b = as_blocker(self);
    if (b->signal != nullptr) {
        // Counted on the signal first: an emission that starts after
        // __enter__ returns sees the block.
        as_signal(b->signal)->rec.blocks.fetch_add(1, std::memory_order_acq_rel);
        b->entered.fetch_add(1, std::memory_order_relaxed);
    }
    Py_RETURN_NONE;
}

constexpr Signature kExitSig{"SignalBlocker.__exit__", kExitNames, 3, 3, true};

// Lifts one block and returns False: an exception raised in the block
// propagates, and nothing that was suppressed is replayed.
PyObject* Blocker_exit(PyObject* self, PyObject* const*) {
    BlockerObject* b = as_blocker(self);
    std::uint64_t held = b->entered.load(std::memory_order_relaxed);
    do {
        if (held == 0) {
            throw_error(PyExc_RuntimeError, "SignalBlocker.__exit__ without a matching __enter__");
        }
    } while (!b->entered.compare_exchange_weak(held, held - 1, std::memory_order_relaxed));
    as_signal(b->signal)->rec.blocks.fetch_sub(1, std::memory_order_acq_rel);
    Py_RETURN_FALSE;
}

// Gives back every block this object still holds.
void lift_blocks(PyObject* self) noexcept {
    BlockerObject* b = as_blocker(self);
    const std::uint64_t held = b->entered.exchange(0, std::memory_order_relaxed);
    if (held != 0 && b->signal != nullptr) {
        as_signal(b->signal)->rec.blocks.fetch_sub(held, std::memory_order_acq_rel);
    }
}

}  // namespace

Ref new_blocker_type(PyObject* module) {
    return new_holder_type<kExitSig, Blocker_enter, Blocker_exit, lift_blocks>(
        module, "builtins.SignalBlocker", sizeof(BlockerObject));
}

PyObject* Signal_blocked(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        BlockerObject* b = alloc_holder<BlockerObject>(state_of(self).blocker_type, self);
        ::new (static_cast<void*>(&b->entered)) std::atomic<std::uint64_t>(0);
        return reinterpret_cast<PyObject*>(b);
    });
}

}  // namespace tarnwick
