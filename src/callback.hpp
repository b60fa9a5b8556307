// The listener table (connection entries in call order, and what an emission
// takes of them) and the error-hook list, each with its lock.
#pragma once

#include "lock.hpp"
#include "ref.hpp"
#include "small_vector.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnwick {

enum class EntryKind : std::uint8_t { Strong = 0, Weak = 1 };

// One connection. Entries are relocated bitwise when the table inserts,
// removes or grows, so no pointer to an entry survives a release of the
// table's lock.
struct CallbackEntry {
    // Strong: the callable. Weak: the weakref.ref / WeakMethod made at connect
    // time. The only Python reference an entry holds.
    Ref callback;
    // Calls still allowed, when `limited`. Only ever changed through
    // consume_call(), by compare-and-swap, under the table's shared lock.
    std::uint64_t remaining;
    // Never reused within a signal, so removal by id is safe against
    // concurrent changes.
    std::uint64_t id;
    // Higher runs earlier; equal priorities run in insertion order.
    std::int32_t priority;
    EntryKind kind;
    bool limited;

    // Entries that an emission may have to remove: limited ones, and weak
    // ones whose referent may die.
    bool may_expire() const noexcept { return limited || kind == EntryKind::Weak; }
};

enum class CallDecision { Call, LastCall, Skip };

// The countdown of a limited entry: each unit of `remaining` goes to exactly
// one emission, however many run at once, and the counter never goes below 0.
inline CallDecision consume_call(CallbackEntry& entry) noexcept {
    if (!entry.limited) {
        return CallDecision::Call;
    }
    std::atomic_ref<std::uint64_t> remaining(entry.remaining);
    std::uint64_t seen = remaining.load(std::memory_order_relaxed);
    for (;;) {
        if (seen == 0) {
            return CallDecision::Skip;
        }
        if (remaining.compare_exchange_weak(seen, seen - 1, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
            return seen == 1 ? CallDecision::LastCall : CallDecision::Call;
        }
    }
}

// Undoes one consume_call that returned Call or LastCall, for an emission
// that failed before calling anything. No emission removes an entry it found
// at 0 (Skip): only the one that used its last call does, so an entry given
// back to is still in the table unless it was disconnected.
inline void give_back_call(CallbackEntry& entry) noexcept {
    std::atomic_ref<std::uint64_t>(entry.remaining).fetch_add(1, std::memory_order_acq_rel);
}

// What an emission takes of one entry: a new reference to its callback, and
// the id to remove the entry by if it is spent or its referent has died.
struct PendingCallback {
    // The callable, or for a weak entry the weak reference to it.
    Ref target;
    std::uint64_t id;
    EntryKind kind;
};

// The connected callbacks in call order, with the lock that guards them.
// Every member function that needs the lock takes the guard that holds it.
//   Shared: len, repr, an emission's snapshot and countdown.
//   Exclusive: insert, disconnect, an emission's removal, clear.
class ListenerTable {
public:
    static constexpr std::size_t kInline = 4;
    using Entries = SmallVector<CallbackEntry, kInline>;

    RWLock& lock() noexcept { return lock_; }

    std::size_t size(const SharedGuard& held) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return entries_.size();
    }
    // How many entries are limited or weak (an upper bound on what one
    // emission can put into its removal set).
    std::size_t expiring(const SharedGuard& held) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return expiring_;
    }
    // Shared is enough to walk the entries and count calls down (see
    // consume_call); anything else about them changes only under exclusive.
    Entries& entries(const SharedGuard& held) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return entries_;
    }
    // For the collector, which must not wait for the lock, and for dealloc,
    // when nothing else can see the table.
    Entries& entries_unguarded() noexcept { return entries_; }

    // Makes room for one more entry; may throw std::bad_alloc, leaving the
    // table unchanged.
    void reserve_one_more(const ExclusiveGuard& held) {
        TARNWICK_ASSERT(held.guards(lock_));
        entries_.reserve_one_more();
    }

    // After reserve_one_more(). Places the entry after every entry of higher
    // or equal priority and before every entry of lower priority: a binary
    // search for the partition point, then one block move.
    void insert_sorted(const ExclusiveGuard& held, CallbackEntry&& entry) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        std::size_t lo = 0;
        std::size_t hi = entries_.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (entries_[mid].priority >= entry.priority) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        expiring_ += entry.may_expire() ? 1 : 0;
        entries_.insert_unchecked(lo, std::move(entry));
    }

    // Moves the entry with this id out (its reference is to be dropped after
    // unlocking); an empty Ref when there is none.
    Ref take_by_id(const ExclusiveGuard& held, std::uint64_t id) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].id == id) {
                CallbackEntry gone = entries_.take_at(i);
                expiring_ -= gone.may_expire() ? 1 : 0;
                return std::move(gone.callback);
            }
        }
        return Ref();
    }

    // Stable removal of every entry for which `is_removed(id)` holds; each
    // removed reference goes to `sink(Ref&&)`.
    template <class Pred, class Sink>
    void remove_if(const ExclusiveGuard& held, Pred&& is_removed, Sink&& sink) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        entries_.filter([&](const CallbackEntry& e) { return !is_removed(e.id); },
                        [&](CallbackEntry&& e) {
                            expiring_ -= e.may_expire() ? 1 : 0;
                            sink(std::move(e.callback));
                        });
    }

    // Hands every entry to `dest`, leaving the table empty; the caller drops
    // them after unlocking.
    void take_all(const ExclusiveGuard& held, Entries& dest) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        entries_.take_all(dest);
        expiring_ = 0;
    }

private:
    RWLock lock_;
    Entries entries_;
    // Entries for which may_expire() holds.
    std::size_t expiring_ = 0;
};

// The error hooks in registration order, with the lock that guards them.
//   Shared: copying the hooks to notify. Exclusive: on_error,
//   clear_error_hooks, clear.
class ErrorHookList {
public:
    using Hooks = SmallVector<Ref, 2>;

    RWLock& lock() noexcept { return lock_; }

    const Hooks& hooks(const SharedGuard& held) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return hooks_;
    }
    // For the collector and for dealloc, as in ListenerTable.
    Hooks& hooks_unguarded() noexcept { return hooks_; }

    // Appends a hook; may throw std::bad_alloc, leaving the list unchanged
    // and the hook with the caller.
    void add(const ExclusiveGuard& held, Ref& hook) {
        TARNWICK_ASSERT(held.guards(lock_));
        hooks_.reserve_one_more();
        hooks_.push_unchecked(std::move(hook));
    }

    // Hands every hook to `dest`, to be dropped after unlocking.
    void take_all(const ExclusiveGuard& held, Hooks& dest) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        hooks_.take_all(dest);
    }

private:
    RWLock lock_;
    Hooks hooks_;
};

}  // namespace tarnwick
