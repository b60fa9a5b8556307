// The listener table seen from Python: connections() lists it,
// disconnect_callback() removes the entries whose callback equals a given one.
//
// Both start from a snapshot taken under the shared lock, and look at it with
// no lock held: resolving a weak reference and comparing callbacks (`__eq__`)
// run Python code, which may connect, disconnect or emit on this very signal.

#include "listing.hpp"

#include "delivery.hpp"
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
        : taken(std::move(t)), remaining(left), priority(e.priority), limited(e.limited) {}

    // A weak entry's referent, None once that has died, after resolve().
    Taken taken;
    std::uint64_t remaining;
    std::int32_t priority;
    bool limited;
};

using Listing = Snapshot<ListingSlot, 4>;

// (id, callback, priority, remaining)
Ref slot_tuple(const ListingSlot& v) {
    Ref tuple = check(PyTuple_New(4));
    PyObject* id = PyLong_FromUnsignedLongLong(v.taken.id);
    PyTuple_SET_ITEM(tuple.get(), 0, id);
    PyTuple_SET_ITEM(tuple.get(), 1, Py_NewRef(v.taken.target.get()));
    PyObject* priority = PyLong_FromLong(v.priority);
    PyTuple_SET_ITEM(tuple.get(), 2, priority);
    PyObject* remaining =
        v.limited ? PyLong_FromUnsignedLongLong(v.remaining) : Py_NewRef(Py_None);
    PyTuple_SET_ITEM(tuple.get(), 3, remaining);
    if (id == nullptr || priority == nullptr || remaining == nullptr) {
        throw PyErrorSet{};
    }
    return tuple;
}

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

// Takes the entries whose callback may equal `callback`, as disconnect_callback
// compares them. Entries whose callback is that very object are matched while
// the snapshot is taken (they go to the removal set), and, when both sides
// compare by identity alone, other entries are passed over there: no call
// could find them equal. A spent entry is a candidate too: it stays connected
// until the emission that used its last call removes it. `at_start` runs first, under the same lock.
template <class AtStart>
void take_candidates(Listing& listing, ListenerTable& table, PyObject* callback,
                     AtStart&& at_start) {
    const bool identity_eq = equality_is_identity(callback);
    listing.take(
        table, MayRemove::Any,
        [&](const SharedGuard&, ListenerTable&, CallbackEntry& e, std::uint64_t&) {
            if (e.kind == EntryKind::Strong) {
                if (e.callback.get() == callback) {
                    return Pick::Remove;
                }
                if (identity_eq && e.identity_eq) {
                    return Pick::Skip;
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
        resolve(listing);
        Listing::Slots& slots = listing.slots();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(slots.size())));
        for (std::size_t i = 0; i < slots.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), slot_tuple(slots[i]).release());
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
    take_candidates(listing, table, callback, [](const SharedGuard&) {});
    for (const ListingSlot& v : listing.slots()) {
        if (equals(v, callback)) {
            listing.mark(v.taken.id);
        }
    }
    return PyLong_FromSize_t(listing.remove(table));
}

bool has_equal_callback(SignalObject* self, PyObject* callback, std::uint64_t& next_id) {
    Listing listing;
    take_candidates(listing, self->rec.listeners, callback, [&](const SharedGuard&) {
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
