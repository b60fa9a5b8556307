// The listener table (connection entries in call order, and what an emission
// takes of them) and the error-hook list, each with its lock.
#pragma once

#include "lock.hpp"
#include "ref.hpp"
#include "small_vector.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

namespace tarnwick {

enum class EntryKind : std::uint8_t { Strong = 0, Weak = 1 };

// One connection. Entries are relocated bitwise when the table inserts,
// removes or regroups them, so no pointer to an entry survives a release of
// the table's lock.
struct CallbackEntry {
    // Strong: the callable. Weak: the weakref.ref / WeakMethod made at connect
    // time. The only Python reference an entry holds.
    Ref callback;
    // Calls still allowed, when `limited`. Only ever changed through
    // ListenerTable::consume_call(), by compare-and-swap, under the table's
    // shared lock.
    std::uint64_t remaining;
    // Never reused within a signal, so removal by id is safe against
    // concurrent changes.
    std::uint64_t id;
    // Higher runs earlier; equal priorities run in insertion order.
    std::int32_t priority;
    EntryKind kind;
    bool limited;
    // The callback (a strong one) compares equal only to itself when the other
    // side does too; see equality_is_identity().
    bool identity_eq = false;
    // Called only by emissions whose first positional argument is the
    // sender that the callback, an adapter (adapter.hpp), carries.
    bool filtered = false;

    // Entries that an emission may have to remove: limited ones, and weak
    // ones whose referent may die.
    bool may_expire() const noexcept { return limited || kind == EntryKind::Weak; }
};

// Whether `obj == other` is `obj is other` whenever the same holds for
// `other`: the type compares with object's own rule, and, being immutable,
// can neither get an __eq__ later nor have its instances change __class__.
// Plain functions are such. Lets a scan skip non-identical pairs without
// calling anything.
inline bool equality_is_identity(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) &&
           type->tp_richcompare == PyBaseObject_Type.tp_richcompare;
}

enum class CallDecision { Call, LastCall, Skip };

// A run of entries in call order, in one heap block. Chunks hold up to
// ListenerTable::kChunk entries; only a table's sole chunk may be smaller, so
// that a signal with a few listeners stays small.
struct Chunk {
    std::uint32_t size;
    std::uint32_t cap;

    CallbackEntry* entries() noexcept { return reinterpret_cast<CallbackEntry*>(this + 1); }
    CallbackEntry& back() noexcept { return entries()[size - 1]; }

    // Throws std::bad_alloc.
    static Chunk* make(std::uint32_t cap) {
        void* block = ::operator new(sizeof(Chunk) + std::size_t{cap} * sizeof(CallbackEntry));
        return ::new (block) Chunk{0, cap};
    }
    // The entries must have gone.
    static void free(Chunk* c) noexcept { ::operator delete(static_cast<void*>(c)); }

    // Makes room at `i` (size < cap), shifting the rest up by one.
    CallbackEntry* open(std::uint32_t i) noexcept {
        CallbackEntry* at = entries() + i;
        std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at),
                     (size - i) * sizeof(CallbackEntry));
        ++size;
        return at;
    }
    // Closes the (moved-from, destroyed) slot at `i`.
    void close(std::uint32_t i) noexcept {
        CallbackEntry* at = entries() + i;
        std::memmove(static_cast<void*>(at), static_cast<const void*>(at + 1),
                     (size - i - 1) * sizeof(CallbackEntry));
        --size;
    }
    // Appends `src`'s entries [from, src->size) and leaves src with `from`.
    void take_tail(Chunk* src, std::uint32_t from) noexcept {
        const std::uint32_t n = src->size - from;
        std::memcpy(static_cast<void*>(entries() + size),
                    static_cast<const void*>(src->entries() + from), n * sizeof(CallbackEntry));
        size += n;
        src->size = from;
    }
};
static_assert(sizeof(Chunk) % alignof(CallbackEntry) == 0);

// Entries taken out of a table all at once (Signal's clear); released last
// to first when this goes, which the caller lets happen with no lock held.
class DetachedEntries {
public:
    DetachedEntries() noexcept = default;
    DetachedEntries(const DetachedEntries&) = delete;
    DetachedEntries& operator=(const DetachedEntries&) = delete;
    ~DetachedEntries() { release(); }

    std::size_t size() const noexcept {
        std::size_t n = 0;
        for (const Chunk* c : chunks_) {
            n += c->size;
        }
        return n;
    }

    void release() noexcept {
        while (!chunks_.empty()) {
            Chunk* c = chunks_.back();
            while (c->size > 0) {
                c->entries()[--c->size].~CallbackEntry();
            }
            Chunk::free(c);
            chunks_.truncate(chunks_.size() - 1);
        }
    }

private:
    friend class ListenerTable;
    SmallVector<Chunk*, 1> chunks_;
};

// The connected callbacks in call order, with the lock that guards them.
// Every member function that needs the lock takes the guard that holds it.
//   Shared: len, repr, a snapshot and an emission's countdown.
//   Exclusive: insert, disconnect, an emission's removal, clear.
//
// Call order is priority (descending), then id. The entries sit in chunks of
// at most kChunk, so that an insertion or a removal moves at most one chunk's
// worth of entries, while a walk is still almost as contiguous as one array.
// Ids grow with connection order, so a new entry always goes last among its
// priority, and finding an entry by id is a binary search once its priority
// is known; `runs_` records the priority of every id.
class ListenerTable {
public:
    static constexpr std::uint32_t kChunk = 64;
    static constexpr std::uint32_t kFirstChunk = 4;

    ListenerTable() noexcept = default;
    ListenerTable(const ListenerTable&) = delete;
    ListenerTable& operator=(const ListenerTable&) = delete;
    ~ListenerTable() {
        clear_unguarded();
        if (spare_ != nullptr) {
            Chunk::free(spare_);
        }
    }

    RWLock& lock() noexcept { return lock_; }

    std::size_t size(const SharedGuard& held) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return size_;
    }
    // Whether the table had entries when last changed, read without the
    // lock: a hint for skipping work an empty table makes pointless. An
    // entry connected meanwhile may be missed.
    bool maybe_nonempty() const noexcept { return size_.unguarded() != 0; }
    // How many entries are limited or weak (an upper bound on what one
    // emission can put into its removal set).
    std::size_t expiring(const SharedGuard& held) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return expiring_;
    }

    // Dead weak entries stay until an emission removes them. So that they
    // cannot pile up in a table that seldom emits, a weak connect sweeps
    // them out first once the table has kSweepFrom entries and twice as
    // many as after its last sweep (or its last removal, whichever left it
    // smaller): a sweep walks the entries that at least half as many
    // connects added, so each connect pays for two. Read with no lock, as
    // a hint; two connects that both see it sweep twice, which is harmless.
    static constexpr std::size_t kSweepFrom = 64;
    bool sweep_due() const noexcept {
        return size_ >= sweep_at_.load(std::memory_order_relaxed);
    }
    // As a sweep takes its snapshot: the next is due at twice the size it
    // starts from, or at what the removals that follow leave.
    void start_sweep(const SharedGuard& held) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        sweep_at_.store(sweep_threshold(size_), std::memory_order_relaxed);
    }

    // Calls visit(entry) for every entry in call order. Shared is enough to
    // read the entries and count calls down (see consume_call); anything else
    // about them changes only under exclusive.
    template <class Visit>
    void for_each(const SharedGuard& held, Visit&& visit) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        for (Chunk* c : chunks_) {
            CallbackEntry* e = c->entries();
            for (std::uint32_t i = 0, n = c->size; i < n; ++i) {
                visit(e[i]);
            }
        }
    }

    // The countdown of a limited entry: each unit of `remaining` goes to
    // exactly one caller, however many run at once, and the counter never
    // goes below 0.
    CallDecision consume_call(const SharedGuard& held, CallbackEntry& entry) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
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

    // The same for the entry with this id, looked up again: one that went
    // since the caller's snapshot is not called (Skip). Going is final, as
    // ids are never reused.
    CallDecision consume_call(const SharedGuard& held, std::uint64_t id) noexcept {
        std::size_t k = 0;
        std::uint32_t i = 0;
        if (!find(id, k, i)) {
            return CallDecision::Skip;
        }
        return consume_call(held, chunks_[k]->entries()[i]);
    }

    // Whether the entry with this id is still in the table.
    bool contains(const SharedGuard& held, std::uint64_t id) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        std::size_t k = 0;
        std::uint32_t i = 0;
        return find(id, k, i);
    }

    // Calls left to a limited entry, which emissions count down under this
    // same shared lock.
    std::uint64_t remaining(const SharedGuard& held, CallbackEntry& entry) const noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        return std::atomic_ref<std::uint64_t>(entry.remaining).load(std::memory_order_relaxed);
    }

    // For the collector, which must not wait for the lock (nor needs it: no
    // thread can hold it while the collector runs), and for dealloc.
    template <class Visit>
    void for_each_unguarded(Visit&& visit) const noexcept {
        for (Chunk* c : chunks_) {
            for (std::uint32_t i = 0; i < c->size; ++i) {
                visit(c->entries()[i]);
            }
        }
    }

    // For dealloc, when nothing else can see the table: releases the entries
    // first to last.
    void clear_unguarded() noexcept {
        for (Chunk* c : chunks_) {
            for (std::uint32_t i = 0; i < c->size; ++i) {
                c->entries()[i].~CallbackEntry();
            }
            Chunk::free(c);
        }
        chunks_.truncate(0);
        size_ = expiring_ = 0;
        sweep_at_.store(kSweepFrom, std::memory_order_relaxed);
        runs_.truncate(0);
    }

    // Makes room for one more entry of this priority; may throw
    // std::bad_alloc, leaving the table's contents unchanged. The room stays
    // reserved until the lock is let go.
    void reserve_one_more(const ExclusiveGuard& held, std::int32_t priority) {
        TARNWICK_ASSERT(held.guards(lock_));
        if (runs_.empty() || runs_.back().priority != priority) {
            compact_runs();
            runs_.reserve_one_more();
        }
        const Place at = place_for(priority);
        if (chunks_.empty()) {
            reserve_spare(kFirstChunk);
            chunks_.reserve_one_more();
            return;
        }
        Chunk* c = chunks_[at.chunk];
        if (c->size < c->cap) {
            return;
        }
        // Full: the sole chunk grows in place of itself; otherwise a new
        // chunk comes after this one.
        if (c->cap < kChunk) {
            reserve_spare(std::min(c->cap * 2, kChunk));
        } else {
            reserve_spare(kChunk);
            chunks_.reserve_one_more();
        }
    }

    // After reserve_one_more() for its priority, under the same guard, with
    // an id greater than every id in the table. Places the entry after every
    // entry of higher or equal priority and before every entry of lower
    // priority.
    void insert_sorted(const ExclusiveGuard& held, CallbackEntry&& entry) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        if (runs_.empty() || runs_.back().priority != entry.priority) {
            runs_.push_unchecked(Run{entry.id, entry.priority});
        }
        ++size_;
        expiring_ += entry.may_expire() ? 1 : 0;
        if (chunks_.empty()) {
            chunks_.push_unchecked(use_spare());
            ::new (static_cast<void*>(chunks_[0]->open(0))) CallbackEntry(std::move(entry));
            return;
        }
        const Place at = place_for(entry.priority);
        Chunk* c = chunks_[at.chunk];
        std::uint32_t i = at.index;
        if (c->size == c->cap) {
            Chunk* fresh = use_spare();
            if (c->cap < kChunk) {
                fresh->take_tail(c, 0);
                Chunk::free(c);
                chunks_[at.chunk] = c = fresh;
            } else if (i == c->size) {
                chunks_.insert_unchecked(at.chunk + 1, std::move(fresh));
                c = fresh;
                i = 0;
            } else {
                fresh->take_tail(c, kChunk / 2);
                chunks_.insert_unchecked(at.chunk + 1, std::move(fresh));
                if (i > kChunk / 2) {
                    c = fresh;
                    i -= kChunk / 2;
                }
            }
        }
        ::new (static_cast<void*>(c->open(i))) CallbackEntry(std::move(entry));
    }

    // Moves the entry with this id out (its reference is to be dropped after
    // unlocking); an empty Ref when there is none.
    Ref take_by_id(const ExclusiveGuard& held, std::uint64_t id) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        std::size_t k = 0;
        std::uint32_t i = 0;
        if (!find(id, k, i)) {
            return Ref();
        }
        Chunk* c = chunks_[k];
        CallbackEntry& e = c->entries()[i];
        Ref gone = std::move(e.callback);
        expiring_ -= e.may_expire() ? 1 : 0;
        e.~CallbackEntry();
        c->close(i);
        --size_;
        settle(k);
        return gone;
    }

    // Stable removal of every entry for which `is_removed(id)` holds; each
    // removed reference goes to `sink(Ref&&)`.
    template <class Pred, class Sink>
    void remove_if(const ExclusiveGuard& held, Pred&& is_removed, Sink&& sink) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        for (Chunk* c : chunks_) {
            CallbackEntry* e = c->entries();
            std::uint32_t out = 0;
            for (std::uint32_t i = 0; i < c->size; ++i) {
                if (!is_removed(e[i].id)) {
                    if (out != i) {
                        std::memcpy(static_cast<void*>(e + out), static_cast<const void*>(e + i),
                                    sizeof(CallbackEntry));
                    }
                    ++out;
                    continue;
                }
                expiring_ -= e[i].may_expire() ? 1 : 0;
                sink(std::move(e[i].callback));
                e[i].~CallbackEntry();
                --size_;
            }
            c->size = out;
        }
        repack();
    }

    // Hands every entry to `dest`, leaving the table empty; the caller drops
    // them after unlocking.
    void take_all(const ExclusiveGuard& held, DetachedEntries& dest) noexcept {
        TARNWICK_ASSERT(held.guards(lock_));
        chunks_.take_all(dest.chunks_);
        size_ = expiring_ = 0;
        sweep_at_.store(kSweepFrom, std::memory_order_relaxed);
        runs_.truncate(0);
    }

private:
    // From this id on (up to the next run's), connections got this priority.
    struct Run {
        std::uint64_t first_id;
        std::int32_t priority;
    };
    // Where an entry goes or is: chunk and index in it.
    struct Place {
        std::size_t chunk;
        std::uint32_t index;
    };

    // Whether entry `e` comes before the key (priority, id) in call order.
    static bool before(const CallbackEntry& e, std::int32_t priority, std::uint64_t id) noexcept {
        return e.priority > priority || (e.priority == priority && e.id < id);
    }

    // The first place whose entry does not come before (priority, id); with
    // id above every id, the end of `priority`'s group. A place at the start
    // of a chunk is given as the end of the one before, which is the same
    // position and keeps appending runs of one priority in one chunk.
    Place place_for(std::int32_t priority, std::uint64_t id = ~std::uint64_t{0}) const noexcept {
        if (chunks_.empty()) {
            return Place{0, 0};
        }
        // Most connects go last: one priority, or a lower one than any so far.
        if (Chunk* last = chunks_[chunks_.size() - 1]; before(last->back(), priority, id)) {
            return Place{chunks_.size() - 1, last->size};
        }
        std::size_t lo = 0;
        std::size_t hi = chunks_.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (before(chunks_[mid]->back(), priority, id)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo == chunks_.size()) {
            return lo == 0 ? Place{0, 0} : Place{lo - 1, chunks_[lo - 1]->size};
        }
        Chunk* c = chunks_[lo];
        std::uint32_t a = 0;
        std::uint32_t b = c->size;
        while (a < b) {
            const std::uint32_t mid = a + (b - a) / 2;
            if (before(c->entries()[mid], priority, id)) {
                a = mid + 1;
            } else {
                b = mid;
            }
        }
        if (a == 0 && lo > 0) {
            return Place{lo - 1, chunks_[lo - 1]->size};
        }
        return Place{lo, a};
    }

    bool find(std::uint64_t id, std::size_t& chunk, std::uint32_t& index) const noexcept {
        // The last run that starts at or before id.
        std::size_t lo = 0;
        std::size_t hi = runs_.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (runs_[mid].first_id <= id) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo == 0) {
            return false;
        }
        Place at = place_for(runs_[lo - 1].priority, id);
        if (at.chunk < chunks_.size() && at.index == chunks_[at.chunk]->size) {
            ++at.chunk;
            at.index = 0;
        }
        if (at.chunk == chunks_.size() || chunks_[at.chunk]->entries()[at.index].id != id) {
            return false;
        }
        chunk = at.chunk;
        index = at.index;
        return true;
    }

    // After a removal from chunk k: an empty chunk goes, and a chunk that
    // fits into its neighbour with room to spare is merged into it, so that
    // walks never meet many sparse chunks.
    void settle(std::size_t k) noexcept {
        if (chunks_[k]->size == 0) {
            Chunk::free(chunks_.take_at(k));
        } else if (chunks_.size() > 1) {
            const std::size_t a = k + 1 < chunks_.size() ? k : k - 1;
            if (chunks_[a]->size + chunks_[a + 1]->size <= kChunk / 2) {
                chunks_[a]->take_tail(chunks_[a + 1], 0);
                Chunk::free(chunks_.take_at(a + 1));
            }
        }
        after_removal();
    }

    // After removals anywhere: drops empty chunks and moves each chunk's
    // entries into the one before when they fit.
    void repack() noexcept {
        std::size_t out = 0;
        for (std::size_t k = 0; k < chunks_.size(); ++k) {
            Chunk* c = chunks_[k];
            if (c->size == 0) {
                Chunk::free(c);
            } else if (out > 0 && chunks_[out - 1]->size + c->size <= kChunk &&
                       chunks_.size() > 1) {
                chunks_[out - 1]->take_tail(c, 0);
                Chunk::free(c);
            } else {
                chunks_[out++] = c;
            }
        }
        chunks_.truncate(out);
        after_removal();
    }

    // The size at which a sweep is due when the table has `n` entries.
    static std::size_t sweep_threshold(std::size_t n) noexcept {
        return std::max(kSweepFrom, 2 * n);
    }

    // After removals: an empty table's runs go, and the next sweep is due
    // at twice the size left, if that is sooner.
    void after_removal() noexcept {
        if (size_ == 0) {
            runs_.truncate(0);
        }
        if (const std::size_t at = sweep_threshold(size_);
            at < sweep_at_.load(std::memory_order_relaxed)) {
            sweep_at_.store(at, std::memory_order_relaxed);
        }
    }

    // Rebuilds the runs from the entries when removals have left most of
    // them describing ids that are gone. Leaves them as they were when it
    // cannot allocate: they are still right, only longer than needed.
    void compact_runs() noexcept {
        if (runs_.size() < runs_.capacity() || runs_.size() < 2 * size_ + 16) {
            return;
        }
        SmallVector<Run, 1> fresh;
        try {
            fresh.reserve(size_ + 1);
        } catch (const std::bad_alloc&) {
            return;
        }
        for (Chunk* c : chunks_) {
            for (std::uint32_t i = 0; i < c->size; ++i) {
                fresh.push_unchecked(Run{c->entries()[i].id, c->entries()[i].priority});
            }
        }
        std::sort(fresh.begin(), fresh.end(),
                  [](const Run& a, const Run& b) { return a.first_id < b.first_id; });
        std::size_t out = 0;
        for (const Run& r : fresh) {
            if (out == 0 || fresh[out - 1].priority != r.priority) {
                fresh[out++] = r;
            }
        }
        fresh.truncate(out);
        runs_.truncate(0);
        fresh.take_all(runs_);
    }

    void reserve_spare(std::uint32_t cap) {
        if (spare_ != nullptr && spare_->cap >= cap) {
            return;
        }
        Chunk* fresh = Chunk::make(cap);
        if (spare_ != nullptr) {
            Chunk::free(spare_);
        }
        spare_ = fresh;
    }

    Chunk* use_spare() noexcept {
        Chunk* c = spare_;
        spare_ = nullptr;
        return c;
    }

    RWLock lock_;
    // In call order; none is empty.
    SmallVector<Chunk*, 1> chunks_;
    // Ids in increasing order, each with the priority its connections got.
    SmallVector<Run, 1> runs_;
    // Allocated by reserve_one_more() for an insertion that needs a chunk.
    Chunk* spare_ = nullptr;
    // The number of entries. It changes only under the exclusive lock, so
    // plain loads and stores suffice there; it is atomic for
    // maybe_nonempty(), which reads it without the lock.
    class EntryCount {
    public:
        operator std::size_t() const noexcept { return n_.load(std::memory_order_relaxed); }
        EntryCount& operator=(std::size_t n) noexcept {
            n_.store(n, std::memory_order_release);
            return *this;
        }
        EntryCount& operator++() noexcept { return *this = *this + 1; }
        EntryCount& operator--() noexcept { return *this = *this - 1; }
        std::size_t unguarded() const noexcept { return n_.load(std::memory_order_acquire); }

    private:
        std::atomic<std::size_t> n_{0};
    };
    EntryCount size_;
    // Entries for which may_expire() holds.
    std::size_t expiring_ = 0;
    // The size at which sweep_due() says so: set as a sweep starts, lowered
    // by removals. Written under either lock (a sweep starts under the
    // shared one), read with none.
    std::atomic<std::size_t> sweep_at_{kSweepFrom};
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
