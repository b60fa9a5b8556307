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

// What a snapshot does with an entry it walks past: leave it, take it, put
// its id into the removal set, or both.
enum class Pick : std::uint8_t { Skip, Take, Remove, TakeAndRemove };

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

    // Under the shared lock: walks the table in call order and asks
    // choose(guard, table, entry, remaining) what to do with each entry.
    // Everything the snapshot can need later is reserved before the first
    // choice, so a chooser that uses up counts never does so in vain for want
    // of memory. A chooser that may remove any entry uses up none: its
    // removal set is made after unlocking, as large as the ids it named and
    // the slots it took (which are all mark() can add), rather than as large
    // as the table, which a scan that matches little would fill in vain.
    // `at_start(guard)`, when given, runs first under the same lock.
    template <class Choose, class AtStart = void (*)(const SharedGuard&)>
    void take(ListenerTable& table, MayRemove may_remove, Choose&& choose,
              AtStart&& at_start = [](const SharedGuard&) {}) {
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
                if (pick != Pick::Take) {
                    if (may_remove == MayRemove::Any) {
                        named.push_unchecked(entry.id);
                    } else {
                        removal_.insert(entry.id);
                    }
                    if (pick == Pick::Remove) {
                        return;
                    }
                }
                weak_ += entry.kind == EntryKind::Weak ? 1 : 0;
                slots_.push_unchecked(
                    Taken{Ref::new_ref(entry.callback.get()), entry.id, entry.kind}, entry,
                    remaining);
            });
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
    // weak reference that raises ends the snapshot's use: failed() is called
    // (with the exception set, so it must run no Python code) while every
    // slot is still there, dead ones included, and the exception propagates.
    template <class Failed>
    void resolve(DeadWeak dead, Failed&& failed) {
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
                failed();
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
            drop_gone();
        }
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
    // Closes up the slots over the ones resolve() emptied.
    void drop_gone() noexcept {
        std::size_t live = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i].taken.target) {
                continue;
            }
            if (live != i) {
                slots_[live] = std::move(slots_[i]);
            }
            ++live;
        }
        slots_.truncate(live);
    }

    Slots slots_;
    // How many of the slots are weak: most snapshots take none, and then
    // resolve() has nothing to look at.
    std::size_t weak_ = 0;
    // Ids whose entries leave the table, and their references, dropped
    // once the exclusive lock is let go.
    IdSet removal_;
    SmallVector<Ref, N> removed_;
};

}  // namespace tarnwick
