// The listener table: connection entries in call order, and what an emission
// takes of them.
#pragma once

#include "ref.hpp"
#include "small_vector.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
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

// What an emission takes of one picked entry: a new reference to the
// callable, or to the weak reference plus the id to remove it by if the
// referent has died. After resolution `object` is the callable; once called,
// it is what the call returned (or raised, in collect mode), so that an
// emission needs no storage beyond what it reserved before its snapshot.
struct PendingCallback {
    Ref object;
    std::uint64_t id;
    bool weak;
    // The result is awaitable and its slot waits for the await (emit_async).
    bool awaitable = false;
};

// The connected callbacks in call order. Guarded by Signal's listener lock;
// every member function documents the lock it expects.
class ListenerTable {
public:
    static constexpr std::size_t kInline = 4;
    using Entries = SmallVector<CallbackEntry, kInline>;

    std::size_t size() const noexcept { return entries_.size(); }
    // How many entries are limited or weak (an upper bound on what one
    // emission can put into its removal set).
    std::size_t expiring() const noexcept { return expiring_; }
    Entries& entries() noexcept { return entries_; }
    const Entries& entries() const noexcept { return entries_; }

    // Exclusive lock held. Makes room for one more entry; may throw
    // std::bad_alloc, leaving the table unchanged.
    void reserve_one_more() { entries_.reserve_one_more(); }

    // Exclusive lock held, after reserve_one_more(). Places the entry after
    // every entry of higher or equal priority and before every entry of lower
    // priority: a binary search for the partition point, then one block move.
    void insert_sorted(CallbackEntry&& entry) noexcept {
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

    // Exclusive lock held. Moves the entry with this id out (its reference is
    // to be dropped after unlocking); an empty Ref when there is none.
    Ref take_by_id(std::uint64_t id) noexcept {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].id == id) {
                CallbackEntry gone = entries_.take_at(i);
                expiring_ -= gone.may_expire() ? 1 : 0;
                return std::move(gone.callback);
            }
        }
        return Ref();
    }

    // Exclusive lock held. Stable removal of every entry for which
    // `is_removed(id)` holds; each removed reference goes to `sink(Ref&&)`.
    template <class Pred, class Sink>
    void remove_if(Pred&& is_removed, Sink&& sink) noexcept {
        entries_.filter([&](const CallbackEntry& e) { return !is_removed(e.id); },
                        [&](CallbackEntry&& e) {
                            expiring_ -= e.may_expire() ? 1 : 0;
                            sink(std::move(e.callback));
                        });
    }

    // Exclusive lock held. Hands every entry to `dest`, leaving the table
    // empty; the caller drops them after unlocking.
    void take_all(Entries& dest) noexcept {
        entries_.take_all(dest);
        expiring_ = 0;
    }

private:
    Entries entries_;
    std::size_t expiring_ = 0;
};

// The removal set of one emission: ids whose entries leave the table before
// the callbacks run. Inline for a few ids; an open-addressing hash table past
// that, so that removing 10^4 one-shots stays linear.
class IdSet {
public:
    IdSet() noexcept = default;
    IdSet(const IdSet&) = delete;
    IdSet& operator=(const IdSet&) = delete;
    ~IdSet() { delete[] slots_; }

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }

    // Makes room for `n` distinct ids, so that insert() never allocates.
    void reserve(std::size_t n) {
        if (n <= kInline || n <= max_load()) {
            return;
        }
        std::size_t cap = std::bit_ceil(n * 2);
        auto* fresh = new std::uint64_t[cap];
        std::fill(fresh, fresh + cap, kEmpty);
        std::uint64_t* old = slots_;
        const std::size_t old_cap = cap_;
        slots_ = fresh;
        cap_ = cap;
        has_empty_key_ = false;
        const std::size_t count = size_;
        size_ = 0;
        if (old == nullptr) {
            for (std::size_t i = 0; i < count; ++i) {
                insert_hashed(inline_[i]);
            }
        } else {
            for (std::size_t i = 0; i < old_cap; ++i) {
                if (old[i] != kEmpty) {
                    insert_hashed(old[i]);
                }
            }
            delete[] old;
        }
        // The key equal to kEmpty is tracked apart from the slots.
        if (count != size_) {
            has_empty_key_ = true;
            ++size_;
        }
    }

    // Within the reserved capacity.
    void insert(std::uint64_t id) noexcept {
        if (slots_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                if (inline_[i] == id) {
                    return;
                }
            }
            inline_[size_++] = id;
            return;
        }
        if (id == kEmpty) {
            if (!has_empty_key_) {
                has_empty_key_ = true;
                ++size_;
            }
            return;
        }
        insert_hashed(id);
    }

    bool contains(std::uint64_t id) const noexcept {
        if (slots_ == nullptr) {
            for (std::size_t i = 0; i < size_; ++i) {
                if (inline_[i] == id) {
                    return true;
                }
            }
            return false;
        }
        if (id == kEmpty) {
            return has_empty_key_;
        }
        const std::size_t mask = cap_ - 1;
        for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == id) {
                return true;
            }
            if (slots_[i] == kEmpty) {
                return false;
            }
        }
    }

private:
    static constexpr std::size_t kInline = 8;
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    std::size_t max_load() const noexcept { return cap_ / 2; }

    static std::size_t hash(std::uint64_t id) noexcept {
        return static_cast<std::size_t>(id * 0x9E3779B97F4A7C15ull >> 17);
    }

    void insert_hashed(std::uint64_t id) noexcept {
        if (id == kEmpty) {
            return;  // counted by the caller
        }
        const std::size_t mask = cap_ - 1;
        for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == id) {
                return;
            }
            if (slots_[i] == kEmpty) {
                slots_[i] = id;
                ++size_;
                return;
            }
        }
    }

    std::uint64_t inline_[kInline];
    std::uint64_t* slots_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t size_ = 0;
    bool has_empty_key_ = false;
};

}  // namespace tarnwick
