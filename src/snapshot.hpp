// What an emission or a listing takes of a listener table: a new reference
// to each chosen entry's callback, taken under the shared lock, and looked at
// with no lock held, since resolving a weak reference, comparing callbacks and
// calling them all run Python code, which may connect, disconnect or emit on
// this very signal. Entries to remove are named by id and removed under the
// exclusive lock afterwards, which stays safe whatever happened to the table
// meanwhile: ids are never reused.
#pragma once

#include "callback.hpp"
#include "id_set.hpp"
#include "small_vector.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnwick {

// One entry as a snapshot took it.
struct Taken {
    // The callable; for a weak entry the weak reference until resolve() puts
    // the referent in its place.
    Ref target;
    std::uint64_t id;
    EntryKind kind;
};

// What a snapshot does with an entry it walks past: leave it, take it, or put
// its id into the removal set.
enum class Pick : std::uint8_t { Skip, Take, Remove };

// Which entries a snapshot may put into its removal set: room for them is
// reserved before it takes anything.
enum class MayRemove : std::uint8_t { Nothing, Expiring, Any };

// What resolve() does with a weak entry whose referent has died: drop it
// from the snapshot and remove it from the table, or keep it with None.
enum class DeadWeak : std::uint8_t { Remove, KeepAsNone };

// `Slot` holds a Taken and whatever else its user needs; it is made from
// (Taken&&, const CallbackEntry&, remaining), `remaining` being what the
// chooser read of a limited entry's count, if it did.
template <class Slot, std::size_t N>
class Snapshot {
public:
    using Slots = SmallVector<Slot, N>;

    Slots& slots() noexcept { return slots_; }
    bool removes() const noexcept { return !removal_.empty(); }
    // Whether a weak entry was taken: known as soon as take() has walked the
    // table, at_end included.
    bool holds_weak() const noexcept { return weak_ != 0; }

    // Under the shared lock: walks the table in call order and asks
    // choose(guard, table, entry, remaining) what to do with each entry.
    // Everything the snapshot can need later is reserved before the first
    // choice, so a chooser that uses up counts never does so in vain for want
    // of memory. A chooser that may remove any entry uses up none: its
    // removal set is made after unlocking, as large as the ids it named and
    // the slots it took (which are all mark() can add), rather than as large
    // as the table, which a scan that matches little would fill in vain.
    // `at_start(guard)` and `at_end(guard)`, when given, run first and last
    // under the same lock; at_end only when something was taken.
    template <class Choose, class AtStart = void (*)(const SharedGuard&),
              class AtEnd = void (*)(const SharedGuard&)>
    void take(ListenerTable& table, MayRemove may_remove, Choose&& choose,
              AtStart&& at_start = [](const SharedGuard&) {},
              AtEnd&& at_end = [](const SharedGuard&) {}) {
        SmallVector<std::uint64_t, N> named;
        {
            SharedGuard guard(table.lock());
            at_start(guard);
            const std::size_t size = table.size(guard);
            if (size == 0) {
                return;
            }
            slots_.reserve(size);
            if (may_remove == MayRemove::Any) {
                named.reserve(size);
            } else if (const std::size_t bound = may_remove == MayRemove::Expiring
                                                     ? table.expiring(guard)
                                                     : 0;
                       bound > 0) {
                removal_.reserve(bound);
                removed_.reserve(bound);
            }
            table.for_each(guard, [&](CallbackEntry& entry) {
                std::uint64_t remaining = 0;
                const Pick pick = choose(guard, table, entry, remaining);
                if (pick == Pick::Skip) {
                    return;
                }
                if (pick == Pick::Remove) {
                    if (may_remove == MayRemove::Any) {
                        named.push_unchecked(entry.id);
                    } else {
                        removal_.insert(entry.id);
                    }
                    return;
                }
                weak_ += entry.kind == EntryKind::Weak ? 1 : 0;
                slots_.push_unchecked(
                    Taken{Ref::new_ref(entry.callback.get()), entry.id, entry.kind}, entry,
                    remaining);
            });
            at_end(guard);
        }
        if (may_remove == MayRemove::Any) {
            const std::size_t bound = named.size() + slots_.size();
            removal_.reserve(bound);
            removed_.reserve(bound);
            for (std::uint64_t id : named) {
                removal_.insert(id);
            }
        }
    }

    // With no lock held: puts each weak target's referent in its place. A
    // weak reference that raises ends the snapshot's use: the exception
    // propagates, and nothing has been removed.
    void resolve(DeadWeak dead) {
        TARNWICK_ASSERT_UNLOCKED();
        if (weak_ == 0) {
            return;
        }
        std::size_t gone = 0;
        for (Slot& slot : slots_) {
            Taken& t = slot.taken;
            if (t.kind != EntryKind::Weak) {
                continue;
            }
            Ref referent = Ref::steal(PyObject_CallNoArgs(t.target.get()));
            if (!referent) {
                throw PyErrorSet{};
            }
            if (referent.get() == Py_None && dead == DeadWeak::Remove) {
                removal_.insert(t.id);
                t.target.reset();
                ++gone;
                continue;
            }
            t.target = std::move(referent);
        }
        if (gone > 0) {
            drop_if([](const Slot& slot) { return !slot.taken.target; });
        }
    }

    // With no lock held, since it drops references: closes up the slots over
    // those for which `gone(slot)` holds.
    template <class Gone>
    void drop_if(Gone&& gone) noexcept {
        TARNWICK_ASSERT_UNLOCKED();
        std::size_t live = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (gone(static_cast<const Slot&>(slots_[i]))) {
                continue;
            }
            if (live != i) {
                slots_[live] = std::move(slots_[i]);
            }
            ++live;
        }
        slots_.truncate(live);
    }

    // Adds an entry to the removal set; take() reserved the room.
    void mark(std::uint64_t id) noexcept { removal_.insert(id); }

    // Under the exclusive lock: removes the entries in the removal set that
    // are still there, and returns how many. Their references are dropped
    // after unlocking, since finalizers may touch this signal.
    std::size_t remove(ListenerTable& table) {
        if (removal_.empty()) {
            return 0;
        }
        {
            ExclusiveGuard guard(table.lock());
            table.remove_if(
                guard, [&](std::uint64_t id) { return removal_.contains(id); },
                [&](Ref&& r) { removed_.push_unchecked(std::move(r)); });
        }
        const std::size_t count = removed_.size();
        removed_.clear();
        return count;
    }

private:
    Slots slots_;
    // How many weak entries take() took (drop_if() may have dropped some
    // since): most snapshots take none, and then resolve() has nothing to
    // look at.
    std::size_t weak_ = 0;
    // Ids whose entries leave the table, and their references, dropped
    // once the exclusive lock is let go.
    IdSet removal_;
    SmallVector<Ref, N> removed_;
};

}  // namespace tarnwick
