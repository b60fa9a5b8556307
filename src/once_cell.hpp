// A once-only cell holding one Python reference, filled lazily.
//
// Filling runs Python code (an import, a compile), so it must not happen under
// a lock, and a thread must not wait for another thread's fill while attached
// to the interpreter. We publish by compare-and-swap instead of waiting: every
// thread that finds the cell empty runs the fill itself, and the first value
// stored wins; a loser drops its own value and uses the winner's. Nobody ever
// waits, so a fill can neither block the GIL or a stop-the-world, nor deadlock
// when the fill re-enters the same cell from the same thread (an import hook
// that emits on the signal being filled, say). The fills we use are idempotent
// (importing a module, building an equal function), so running one twice in a
// race is harmless. A fill that raises stores nothing: the next use retries.
#pragma once

#include "ref.hpp"

#include <atomic>

namespace tarnwick {

// Stores `value` into `slot` unless a value is there already, and returns the
// value that the slot holds afterwards (borrowed: it lives as long as the
// slot's owner). A losing `value` is dropped here, with no lock held.
inline PyObject* publish_once(std::atomic<PyObject*>& slot, Ref value) noexcept {
    PyObject* expected = nullptr;
    if (slot.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
        return value.release();
    }
    return expected;
}

class OnceCell {
public:
    OnceCell() noexcept = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;
    ~OnceCell() { reset(); }

    // Borrowed; null while empty.
    PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns a new reference to the value, running fill() (which returns a
    // Ref or throws) when the cell is empty.
    template <class Fill>
    Ref get_or_fill(Fill&& fill) {
        PyObject* v = peek();
        if (v == nullptr) {
            TARNWICK_ASSERT_UNLOCKED();  // the fill imports or compiles
            v = publish_once(value_, fill());
        }
        return Ref::new_ref(v);
    }

    // Only for the owner's release, when no other thread can see the cell.
    void reset() noexcept { Ref::steal(value_.exchange(nullptr, std::memory_order_acq_rel)); }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace tarnwick
