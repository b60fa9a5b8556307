// The listener table seen from Python: connections() lists it,
// disconnect_callback() removes the entries whose callback equals a given one.
//
// Both start from a snapshot taken under the shared lock, and look at it with
// no lock held: resolving a weak reference and comparing callbacks (`__eq__`)
// run Python code, which may connect, disconnect or emit on this very signal.

#include "listing.hpp"

#include "adapter.hpp"
#include "error_hooks.hpp"
#include "rate_limit.hpp"
#include "signal_record.hpp"
#include "snapshot.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarnwick {

namespace {

// One entry as it was when the snapshot was taken.
struct ListingSlot {
    ListingSlot(Taken&& t, const CallbackEntry& e, std::uint64_t left) noexcept
        : taken(std::move(t)),
          remaining(left),
          priority(e.priority),
          limited(e.limited),
          own_callable(e.identity_eq) {}

    // A weak entry's referent, None once that has died, after resolve().
    Taken taken;
    std::uint64_t remaining;
    std::int32_t priority;
    bool limited;
    // The entry holds the callable itself, not a loop's delivery of it (an
    // entry that compares by identity does).
    bool own_callable;
};

using Listing = Snapshot<ListingSlot, 4>;

// An int for an id. Ids below 2**30 (all but the longest-lived signals')
// take the interpreter's one-digit path, which is cheaper than the general
// one; ids above 256 are not cached, so every listed entry makes one.
PyObject* id_int(std::uint64_t id) noexcept {
    constexpr std::uint64_t kOneDigit = (std::uint64_t{1} << 30) - 1;
    return id <= kOneDigit ? PyLong_FromLong(static_cast<long>(id))
                           : PyLong_FromUnsignedLongLong(id);
}

// Makes the (id, callback, priority, remaining) tuples of one listing, with
// no lock held. Entries come in priority order, so neighbours mostly share a
// priority: its int is made once per run of them.
class Rows {
public:
    // The slot's reference to the callback moves into the tuple, unless the
    // slot holds a loop's delivery: the tuple shows the callback it delivers.
    Ref make(ListingSlot& v) {
        if (!priority_ || v.priority != last_priority_) {
            priority_ = check(PyLong_FromLong(v.priority));
            last_priority_ = v.priority;
        }
        Ref tuple = check(PyTuple_New(4));
        PyObject* id = id_int(v.taken.id);
        PyTuple_SET_ITEM(tuple.get(), 0, id);
        PyObject* target = v.taken.target.get();
        PyObject* shown = v.own_callable ? target : delivered_callable(target);
        // A rate limiter counts the calls of its connection itself.
        const std::optional<std::uint64_t> left =
            v.own_callable ? std::nullopt : limiter_remaining(adapted_callable(target));
        PyTuple_SET_ITEM(tuple.get(), 1, shown == target ? v.taken.target.release() : Py_NewRef(shown));
        PyTuple_SET_ITEM(tuple.get(), 2, Py_NewRef(priority_.get()));
        PyObject* remaining = v.limited ? PyLong_FromUnsignedLongLong(v.remaining)
                              : left    ? PyLong_FromUnsignedLongLong(*left)
                                        : Py_NewRef(Py_None);
        PyTuple_SET_ITEM(tuple.get(), 3, remaining);
        if (id == nullptr || remaining == nullptr) {
            throw PyErrorSet{};
        }
        return tuple;
    }

private:
    Ref priority_;
    std::int32_t last_priority_ = 0;
};

// With no lock held: each weak slot gets its referent, or None, and a
// connection delivered on a loop shows the callback it delivers.
void resolve(Listing& listing) {
    listing.resolve(DeadWeak::KeepAsNone);
    for (ListingSlot& v : listing.slots()) {
        PyObject* target = v.taken.target.get();
        if (PyObject* callback = delivered_callable(target); callback != target) {
            v.taken.target = Ref::new_ref(callback);
        }
    }
}

// What disconnect_callback knows of its argument before the scan.
struct Probe {
    explicit Probe(PyObject* cb) noexcept
        : callback(cb), identity_eq(equality_is_identity(cb)), method(PyMethod_Check(cb) != 0) {}

    PyObject* callback;
    bool identity_eq;
    bool method;
};

// `Same`: the very object. `Yes`: equal without being it.
enum class Equal : std::uint8_t { No, Same, Yes, Ask };

// Bound methods compare as their type does: equal when their functions are
// (by `==`, which is `is` for plain functions) and their instances are one
// object; a new bound method is made at every attribute access, so identity
// alone would never find one.
Equal methods_equal(PyObject* a, PyObject* b) noexcept {
    PyObject* fa = PyMethod_GET_FUNCTION(a);
    PyObject* fb = PyMethod_GET_FUNCTION(b);
    if (fa != fb) {
        return equality_is_identity(fa) && equality_is_identity(fb) ? Equal::No : Equal::Ask;
    }
    return PyMethod_GET_SELF(a) == PyMethod_GET_SELF(b) ? Equal::Yes : Equal::No;
}

// `held == probe.callback` for a strong entry's own callable (`identity_eq`
// is the entry's flag), when it is known without calling anything: reads
// the objects' types and fields only, so it may run under the lock. A bound
// method and an object that compares by identity are never equal: neither
// type's comparison knows the other. Inlined into the scan, whose whole
// cost per entry it is.
inline Py_ALWAYS_INLINE Equal known_equal(PyObject* held, bool identity_eq,
                                          const Probe& probe) noexcept {
    if (held == probe.callback) {
        return Equal::Same;
    }
    if (identity_eq) {
        return probe.identity_eq || probe.method ? Equal::No : Equal::Ask;
    }
    if ((probe.identity_eq || probe.method) && PyMethod_Check(held)) {
        return probe.method ? methods_equal(held, probe.callback) : Equal::No;
    }
    return Equal::Ask;
}

// Takes the entries whose callback may equal `callback`, as disconnect_callback
// compares them. Entries known to be equal while the snapshot is taken go
// to the removal set (those that are `callback` itself always; other equal
// ones only when `all_equal`, since a search for the first equal entry must
// compare the entries before it first), and those known to be unequal are
// passed over there; the rest are taken, to be compared with no lock held.
// Only strong entries that hold the callable itself are judged early: a
// weak one's referent, or the callable behind a loop's delivery, is known
// after resolve(). A spent entry is a candidate too: it stays connected
// until the emission that used its last call removes it. `at_start` runs
// first, under the same lock.
template <class AtStart>
void take_candidates(Listing& listing, ListenerTable& table, PyObject* callback, bool all_equal,
                     AtStart&& at_start) {
    const Probe probe(callback);
    listing.take(
        table, MayRemove::Any,
        [&](const SharedGuard&, ListenerTable&, CallbackEntry& e, std::uint64_t&) {
            if (e.kind == EntryKind::Strong) {
                switch (known_equal(e.callback.get(), e.identity_eq, probe)) {
                    case Equal::Same: return Pick::Remove;
                    case Equal::Yes: return all_equal ? Pick::Remove : Pick::Take;
                    case Equal::No: return Pick::Skip;
                    case Equal::Ask: break;
                }
            }
            return Pick::Take;
        },
        at_start);
    resolve(listing);
}

// Whether a slot's callback equals `callback`, as disconnect_callback
// compares them.
bool equals(const ListingSlot& v, PyObject* callback) {
    PyObject* target = v.taken.target.get();
    return target != Py_None &&
           check_status(PyObject_RichCompareBool(target, callback, Py_EQ)) != 0;
}

}  // namespace

PyObject* Signal_connections(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Listing listing;
        // An entry with no call left is not listed: the emission that used
        // its last call is about to remove it, or to give the call back if it
        // fails.
        listing.take(as_signal(self)->rec.listeners, MayRemove::Nothing,
                     [](const SharedGuard& guard, ListenerTable& table, CallbackEntry& e,
                        std::uint64_t& remaining) {
                         if (!e.limited) {
                             return Pick::Take;
                         }
                         remaining = table.remaining(guard, e);
                         return remaining == 0 ? Pick::Skip : Pick::Take;
                     });
        listing.resolve(DeadWeak::KeepAsNone);
        Listing::Slots& slots = listing.slots();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(slots.size())));
        Rows rows;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), rows.make(slots[i]).release());
        }
        return list.release();
    });
}

// Compares on the snapshot, so that `__eq__` runs with no lock held; one that
// raises leaves the table as it was. Only then are the matches removed by id,
// which stays safe whatever happened to the table meanwhile: ids are never
// reused.
PyObject* Signal_disconnect_callback(PyObject* self, PyObject* const* bound) {
    PyObject* callback = bound[0];
    if (!PyCallable_Check(callback)) {
        throw_format(PyExc_TypeError, "argument 'callback': expected a callable, got %T", callback);
    }
    Listing listing;
    ListenerTable& table = as_signal(self)->rec.listeners;
    take_candidates(listing, table, callback, true, [](const SharedGuard&) {});
    for (const ListingSlot& v : listing.slots()) {
        if (equals(v, callback)) {
            listing.mark(v.taken.id);
        }
    }
    return PyLong_FromSize_t(listing.remove(table));
}

bool has_equal_callback(SignalObject* self, PyObject* callback, std::uint64_t& next_id) {
    Listing listing;
    take_candidates(listing, self->rec.listeners, callback, false, [&](const SharedGuard&) {
        // Ids are drawn under the exclusive lock only.
        next_id = self->rec.next_id.load(std::memory_order_relaxed);
    });
    if (listing.removes()) {
        return true;  // the very callable is connected
    }
    for (const ListingSlot& v : listing.slots()) {
        if (equals(v, callback)) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwick
