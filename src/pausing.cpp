// SignalPauser: while entered, the signal's emissions are recorded; when the
// outermost pause exits they are emitted again, in order, or folded by the
// reducer into one emission.
//
// The pause count and the recordings live in the record's PauseState, under
// its own lock, which is never held with the table's or the hooks' and
// under which no Python code runs. The record's `blocks` word carries
// kPaused while a pause is entered; an emission that sees it takes the
// pause lock and records itself only if a pause is still entered then.
//
// The outermost exit replays while it still counts as entered, taking the
// recordings in batches until it finds none left, whatever a replay or the
// reducer raises, and only then lifts the pause, under the same lock. So an
// emission racing with the exit is either recorded before that (and
// replayed by this exit) or finds the pause lifted and runs after the
// replay: never lost, never run twice.

#include "pausing.hpp"

#include "args.hpp"
#include "holder.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace tarnwick {

namespace {

struct PauserObject : SignalHolder {
    // paused()'s reducer and initial value, or null.
    PyObject* reducer;
    PyObject* initial;
    // How many of the signal's pauses this object holds.
    std::atomic<std::uint64_t> entered;
};

PauserObject* as_pauser(PyObject* self) noexcept { return reinterpret_cast<PauserObject*>(self); }

// Counts one more pause; the first entered gives the reducer.
void enter_pause(SignalObject* signal, PyObject* reducer, PyObject* initial) {
    SignalRecord& rec = signal->rec;
    // Prepared with no lock held, and dropped after unlocking when a pause
    // was already entered.
    Ref my_reducer = Ref::new_ref(reducer);
    Ref my_initial = Ref::new_ref(initial);
    {
        ExclusiveGuard guard(rec.pause.lock);
        if (rec.pause.depth++ == 0) {
            std::swap(rec.pause.reducer, my_reducer);
            std::swap(rec.pause.initial, my_initial);
            rec.pause.has_initial = initial != nullptr;
            rec.blocks.fetch_or(SignalRecord::kPaused, std::memory_order_acq_rel);
        }
    }
}

// Gives up the exiting pause's count, under the pause lock, with nothing
// left recorded; when it was the last, lifts the pause and hands the reducer
// to `reducer` and `initial`, to be dropped after unlocking.
void lift_one(const ExclusiveGuard&, SignalRecord& rec, Ref& reducer, Ref& initial) noexcept {
    if (--rec.pause.depth != 0) {
        return;
    }
    rec.blocks.fetch_and(~SignalRecord::kPaused, std::memory_order_acq_rel);
    std::swap(rec.pause.reducer, reducer);
    std::swap(rec.pause.initial, initial);
}

// reducer(previous, current) over the batch's argument tuples, from
// `initial` when given; a new reference to the tuple to emit.
Ref fold(PyObject* reducer, PyObject* initial, RecordedEmissions& batch) {
    std::size_t i = 0;
    Ref acc = initial != nullptr ? Ref::new_ref(initial) : Ref::new_ref(batch[i++].args.get());
    for (; i < batch.size(); ++i) {
        PyObject* argv[] = {acc.get(), batch[i].args.get()};
        acc = check(PyObject_Vectorcall(reducer, argv, 2, nullptr));
        if (!PyTuple_Check(acc.get())) {
            throw_format(PyExc_TypeError, "paused(): the reducer must return a tuple, not %T",
                         acc.get());
        }
    }
    return acc;
}

// Keeps the exception in flight (a Python one, or running out of memory) in
// `first`, unless an earlier one is there. Call only from a catch handler.
void keep_first(Ref& first) noexcept {
    set_python_error_from_current();
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!first) {
        first = std::move(exc);
    }
}

// Emits the batch again, each with its own mode; an emission that raises
// does not stop the others, and the first exception is kept in `first`.
void replay_all(SignalObject* signal, RecordedEmissions& batch, Ref& first) noexcept {
    for (RecordedEmission& r : batch) {
        try {
            replay_emission(signal, r.args.get(), r.kwargs.get(), r.collect, r.awaiting);
        } catch (...) {
            keep_first(first);
        }
    }
}

// Emits the fold of the batch once, in the mode of its last emission. When
// the reducer fails, nothing of this batch is emitted; the failure is kept
// in `first` like an emission's.
void replay_folded(SignalObject* signal, PyObject* reducer, PyObject* initial,
                   RecordedEmissions& batch, Ref& first) noexcept {
    RecordedEmissions once;
    try {
        Ref args = fold(reducer, initial, batch);
        const RecordedEmission& last = batch[batch.size() - 1];
        once.emplace_back(RecordedEmission{std::move(args), Ref(), last.collect, last.awaiting});
    } catch (...) {
        keep_first(first);
        return;
    }
    replay_all(signal, once, first);
}

// One pause's exit. The outermost one replays what was recorded, batch by
// batch, until none is left (what a replayed callback or another thread
// records meanwhile is a later batch), and then lifts the pause. A failure
// stops nothing: every recorded emission runs, and the first failure (a
// replayed emission's or the reducer's) is raised once the pause is lifted.
void leave_pause(SignalObject* signal) {
    SignalRecord& rec = signal->rec;
    Ref old_reducer;
    Ref old_initial;
    Ref reducer;
    Ref initial;
    {
        ExclusiveGuard guard(rec.pause.lock);
        if (rec.pause.depth > 1) {
            --rec.pause.depth;
            return;
        }
        reducer = Ref::new_ref(rec.pause.reducer.get());
        if (rec.pause.has_initial) {
            initial = Ref::new_ref(rec.pause.initial.get());
        }
    }
    Ref failure;
    for (;;) {
        RecordedEmissions batch;
        {
            ExclusiveGuard guard(rec.pause.lock);
            if (rec.pause.recorded.empty()) {
                lift_one(guard, rec, old_reducer, old_initial);
                break;
            }
            rec.pause.recorded.take_all(batch);
        }
        if (reducer) {
            replay_folded(signal, reducer.get(), initial.get(), batch, failure);
        } else {
            replay_all(signal, batch, failure);
        }
    }
    if (failure) {
        throw_raised(std::move(failure));
    }
}

PyObject* Pauser_enter(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PauserObject* p = as_pauser(self);
        if (p->signal != nullptr) {
            enter_pause(as_signal(p->signal), p->reducer, p->initial);
            p->entered.fetch_add(1, std::memory_order_relaxed);
        }
        Py_RETURN_NONE;
    });
}

constexpr Signature kExitSig{"SignalPauser.__exit__", kExitNames, 3, 3, true};

// Returns False: an exception raised in the block propagates, after the
// replay, unless the replay raises one of its own.
PyObject* Pauser_exit(PyObject* self, PyObject* const*) {
    PauserObject* p = as_pauser(self);
    std::uint64_t held = p->entered.load(std::memory_order_relaxed);
    do {
        if (held == 0) {
            throw_error(PyExc_RuntimeError, "SignalPauser.__exit__ without a matching __enter__");
        }
    } while (!p->entered.compare_exchange_weak(held, held - 1, std::memory_order_relaxed));
    leave_pause(as_signal(p->signal));
    Py_RETURN_FALSE;
}

// A pauser that goes while entered exits its pauses, replaying as __exit__
// would; a failure goes to sys.unraisablehook with the signal, which this
// object keeps alive until it has let go of it. Never with the pauser
// itself: its dealloc has no reference left to lend the hook.
void lift_pauses(PyObject* self) noexcept {
    PauserObject* p = as_pauser(self);
    std::uint64_t held = p->entered.exchange(0, std::memory_order_relaxed);
    if (held == 0 || p->signal == nullptr) {
        return;
    }
    // The replay calls Python code, which must not see an exception that
    // is being raised past this object; it is set again afterwards.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    for (; held != 0; --held) {
        try {
            leave_pause(as_signal(p->signal));
        } catch (...) {
            set_python_error_from_current();
            PyErr_WriteUnraisable(p->signal);
        }
    }
    PyErr_SetRaisedException(pending.release());
}

void Pauser_give_back(PyObject* self) noexcept {
    lift_pauses(self);
    Py_CLEAR(as_pauser(self)->reducer);
    Py_CLEAR(as_pauser(self)->initial);
}

int Pauser_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_pauser(self)->reducer);
    Py_VISIT(as_pauser(self)->initial);
    return holder_traverse(self, visit, arg);
}

PyMethodDef pauser_methods[] = {
    {"__enter__", Pauser_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method_cast(fastcall_method<kExitSig, Pauser_exit>),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pauser_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<Pauser_give_back>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Pauser_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(holder_clear<Pauser_give_back>)},
    {Py_tp_methods, pauser_methods},
    {0, nullptr},
};

PyType_Spec pauser_type_def = {
    "builtins.SignalPauser",
    sizeof(PauserObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    pauser_slots,
};

}  // namespace

Ref new_pauser_type(PyObject* module) {
    return check(PyType_FromModuleAndSpec(module, &pauser_type_def, nullptr));
}

PyObject* Signal_paused(PyObject* self, PyObject* const* bound) {
    PyObject* reducer = bound[0] == Py_None ? nullptr : bound[0];
    if (reducer != nullptr && !PyCallable_Check(reducer)) {
        throw_format(PyExc_TypeError, "argument 'reducer': expected a callable or None, got %T",
                     reducer);
    }
    PauserObject* p = alloc_holder<PauserObject>(state_of(self).pauser_type, self);
    p->reducer = Py_XNewRef(reducer);
    p->initial = Py_XNewRef(bound[1]);
    ::new (static_cast<void*>(&p->entered)) std::atomic<std::uint64_t>(0);
    return reinterpret_cast<PyObject*>(p);
}

bool record_emission(SignalObject* signal, PyObject* args, PyObject* kwargs, bool collect,
                     bool awaiting) {
    PauseState& pause = signal->rec.pause;
    const bool keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0;
    // Made with no lock held; dropped after unlocking when the pause has
    // ended meanwhile. The caller's keywords are copied: a C caller may
    // share its dictionary.
    RecordedEmission item{Ref::new_ref(args), keywords ? check(PyDict_Copy(kwargs)) : Ref(),
                          collect, awaiting};
    bool reducing = false;
    {
        ExclusiveGuard guard(pause.lock);
        if (pause.depth == 0) {
            return false;
        }
        reducing = static_cast<bool>(pause.reducer);
        if (!(reducing && keywords)) {
            pause.recorded.reserve_one_more();
            pause.recorded.push_unchecked(std::move(item));
        }
    }
    if (reducing && keywords) {
        throw_format(PyExc_TypeError, "%s() under paused(reducer=...) takes no keyword arguments",
                     awaiting ? "emit_async" : "emit");
    }
    return true;
}

int traverse_paused(SignalObject* signal, visitproc visit, void* arg) {
    PauseState& pause = signal->rec.pause;
    for (const RecordedEmission& r : pause.recorded) {
        Py_VISIT(r.args.get());
        Py_VISIT(r.kwargs.get());
    }
    Py_VISIT(pause.reducer.get());
    Py_VISIT(pause.initial.get());
    return 0;
}

void clear_paused(SignalObject* signal) noexcept {
    PauseState& pause = signal->rec.pause;
    RecordedEmissions gone;
    {
        ExclusiveGuard guard(pause.lock);
        pause.recorded.take_all(gone);
    }
}

}  // namespace tarnwick
