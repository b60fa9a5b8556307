// The listener table seen from Python: connections() lists it,
// disconnect_callback() removes the entries whose callback equals a given one.
//
// Both start from a snapshot taken under the shared lock, and look at it with
// no lock held: resolving a weak reference and comparing callbacks (`__eq__`)
// run Python code, which may connect, disconnect or emit on this very signal.

#include "listing.hpp"

#include "delivery.hpp"
#include "id_set.hpp"
#include "signal_record.hpp"
#include "small_vector.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace tarnwick {

namespace {

// One entry as it was when the snapshot was taken.
struct EntryView {
    // The callable; for a weak entry the weak reference until resolve()
    // replaces it by the referent, or by None once that has died.
    Ref callback;
    std::uint64_t id;
    std::optional<std::uint64_t> remaining;
    std::int32_t priority;
    EntryKind kind;
};

using Views = SmallVector<EntryView, ListenerTable::kInline>;

// Under the shared lock: a new reference to every entry's callback, in call
// order, and the calls left to the limited ones; `next_id`, when given, gets
// the id that the next connection will have. With `skip_spent`, an entry with
// no call left is not taken: the emission that used its last call is about to
// remove it, or to give the call back if it fails.
void take_views(SignalObject* self, Views& out, bool skip_spent,
                std::uint64_t* next_id = nullptr) {
    ListenerTable& table = self->rec.listeners;
    SharedGuard guard(table.lock());
    if (next_id != nullptr) {
        // Ids are drawn under the exclusive lock only.
        *next_id = self->rec.next_id.load(std::memory_order_relaxed);
    }
    out.reserve(table.size(guard));
    for (CallbackEntry& e : table.entries(guard)) {
        std::optional<std::uint64_t> remaining;
        if (e.limited) {
            // Emissions count it down under this same shared lock.
            remaining = std::atomic_ref<std::uint64_t>(e.remaining).load(std::memory_order_relaxed);
            if (skip_spent && *remaining == 0) {
                continue;
            }
        }
        out.push_unchecked(
            EntryView{Ref::new_ref(e.callback.get()), e.id, remaining, e.priority, e.kind});
    }
}

// With no lock held: each weak view gets its referent, or None, and a
// connection delivered on a loop shows the callback it delivers.
void resolve(Views& views) {
    TARNWICK_ASSERT_UNLOCKED();
    for (EntryView& v : views) {
        if (v.kind == EntryKind::Weak) {
            v.callback = check(PyObject_CallNoArgs(v.callback.get()));
        }
        if (PyObject* callback = delivered_callable(v.callback.get()); callback != v.callback.get()) {
            v.callback = Ref::new_ref(callback);
        }
    }
}

// Whether a connection's callback equals `callback`, as
// disconnect_callback compares them.
bool equals(const EntryView& v, PyObject* callback) {
    return v.callback.get() != Py_None &&
           check_status(PyObject_RichCompareBool(v.callback.get(), callback, Py_EQ)) != 0;
}

Ref optional_u64(const std::optional<std::uint64_t>& value) {
    return value ? check(PyLong_FromUnsignedLongLong(*value)) : Ref::new_ref(Py_None);
}

Ref view_tuple(const EntryView& v) {
    Ref id = check(PyLong_FromUnsignedLongLong(v.id));
    Ref priority = check(PyLong_FromLong(v.priority));
    Ref remaining = optional_u64(v.remaining);
    return check(PyTuple_Pack(4, id.get(), v.callback.get(), priority.get(), remaining.get()));
}

// Under the exclusive lock: removes the entries whose ids are in `ids` and
// returns how many there were; they may have gone since the snapshot.
std::size_t remove_ids(SignalObject* self, const IdSet& ids) {
    SmallVector<Ref, ListenerTable::kInline> removed;
    removed.reserve(ids.size());
    ListenerTable& table = self->rec.listeners;
    {
        ExclusiveGuard guard(table.lock());
        table.remove_if(
            guard, [&](std::uint64_t id) { return ids.contains(id); },
            [&](Ref&& r) { removed.push_unchecked(std::move(r)); });
    }
    return removed.size();  // the references are dropped here, unlocked
}

}  // namespace

PyObject* Signal_connections(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Views views;
        take_views(as_signal(self), views, true);
        resolve(views);
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(views.size())));
        for (std::size_t i = 0; i < views.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), view_tuple(views[i]).release());
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
    // A spent entry still matches: its call may yet be given back.
    Views views;
    take_views(as_signal(self), views, false);
    resolve(views);
    IdSet matched;
    matched.reserve(views.size());
    for (const EntryView& v : views) {
        if (equals(v, callback)) {
            matched.insert(v.id);
        }
    }
    const std::size_t removed = matched.empty() ? 0 : remove_ids(as_signal(self), matched);
    return PyLong_FromSize_t(removed);
}

bool has_equal_callback(SignalObject* self, PyObject* callback, std::uint64_t& next_id) {
    Views views;
    take_views(self, views, false, &next_id);  // a spent entry may yet be given back
    resolve(views);
    for (const EntryView& v : views) {
        if (equals(v, callback)) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwick
