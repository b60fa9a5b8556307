// Observers of emissions (see observers.hpp): each interpreter's tuple of
// them, what an observed emission does with them, and tarnwick._observers,
// the private submodule through which tarnwick.testing adds and removes them.

#include "observers.hpp"

#include "adapter.hpp"
#include "args.hpp"
#include "error_hooks.hpp"
#include "interp_state.hpp"

#include <new>
#include <utility>

namespace tarnwick {

namespace {

// ---------------------------------------------------------------------------
// Each interpreter's observers

// A new reference to the interpreter's tuple of observers, or an empty Ref.
Ref current_observers(InterpState& state) noexcept {
    PyMutex_Lock(&state.observers_lock);
    Ref all = Ref::new_ref(state.observers.get());
    PyMutex_Unlock(&state.observers_lock);
    return all;
}

// Replaces the tuple with make(old tuple or null), unless another change got
// in meanwhile: then make() runs again on that one. make() may run Python
// code (it allocates), so it runs with the mutex free; the tuple it replaced
// is dropped after unlocking.
template <class Make>
void change_observers(InterpState& state, Make&& make) {
    for (;;) {
        Ref old = current_observers(state);
        Ref next = make(old.get());
        Ref gone;
        bool done = false;
        PyMutex_Lock(&state.observers_lock);
        if (state.observers.get() == old.get()) {
            gone = std::move(state.observers);
            state.observers = std::move(next);
            done = true;
        }
        PyMutex_Unlock(&state.observers_lock);
        if (done) {
            return;
        }
    }
}

std::atomic<std::uint32_t>& count_for(PyObject* signal) noexcept {
    return signal == Py_None ? g_every_signal_traces : as_signal(signal)->rec.observers;
}

// Entries are (signal or None, observer, is a trace).
enum EntryField : Py_ssize_t { kSignal = 0, kObserver = 1, kIsTrace = 2 };

}  // namespace

// ---------------------------------------------------------------------------
// One observed emission

EmissionWatch::EmissionWatch(SignalObject* signal, PyObject* args, PyObject* kwargs) noexcept
    : signal_(signal), args_(args), kwargs_(kwargs != nullptr ? kwargs : Py_None) {
    void* found = PyType_GetModuleState(Py_TYPE(as_object(signal)));
    if (found == nullptr) {  // a type the collector is taking apart
        PyErr_Clear();
        return;
    }
    Ref all = current_observers(*static_cast<InterpState*>(found));
    if (!all) {
        return;
    }
    TARNWICK_ASSERT_UNLOCKED();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(all.get()); ++i) {
        PyObject* entry = PyTuple_GET_ITEM(all.get(), i);
        PyObject* who = PyTuple_GET_ITEM(entry, kSignal);
        if (who != Py_None && who != as_object(signal)) {
            continue;
        }
        PyObject* observer = PyTuple_GET_ITEM(entry, kObserver);
        try {
            if (PyTuple_GET_ITEM(entry, kIsTrace) == Py_True) {
                traces_.emplace_back(Ref::new_ref(observer));
                continue;
            }
            // A recorder hears of the emission before any call; what it
            // returns, unless None, is called once the calls are over
            // (finish()).
            PyObject* argv[] = {args_, kwargs_};
            Ref finisher = Ref::steal(PyObject_Vectorcall(observer, argv, 2, nullptr));
            if (!finisher) {
                PyErr_WriteUnraisable(observer);
            } else if (finisher.get() != Py_None) {
                finishers_.emplace_back(std::move(finisher));
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            PyErr_WriteUnraisable(observer);
        }
    }
}

PyTime_t EmissionWatch::start() const noexcept {
    PyTime_t now = 0;
    if (!traces_.empty()) {
        (void)PyTime_PerfCounterRaw(&now);
    }
    return now;
}

void EmissionWatch::returned(PyTime_t start, PyObject* callback, PyObject* result,
                             PyObject* error) noexcept {
    if (!finishers_.empty() && result != nullptr &&
        guarded<int>(-1, [&] { return note_queued(callback, result), 0; }) != 0) {
        PyErr_WriteUnraisable(callback);
    }
    if (traces_.empty()) {
        return;
    }
    PyTime_t end = 0;
    (void)PyTime_PerfCounterRaw(&end);
    Ref seconds = Ref::steal(PyFloat_FromDouble(PyTime_AsSecondsDouble(end - start)));
    if (!seconds) {
        PyErr_WriteUnraisable(nullptr);
        return;
    }
    TARNWICK_ASSERT_UNLOCKED();
    // Traces see the user's callable, never the wrapper that delivers it.
    PyObject* argv[] = {as_object(signal_), delivered_callable(callback), args_, kwargs_,
                        result != nullptr ? result : Py_None,
                        error != nullptr ? error : Py_None, seconds.get()};
    for (Ref& trace : traces_) {
        Ref ignored = Ref::steal(PyObject_Vectorcall(trace.get(), argv, 7, nullptr));
        if (!ignored) {
            PyErr_WriteUnraisable(trace.get());
        }
    }
}

// A loop's delivery called here, off its loop's thread, queued the call
// there and returned its future; on the loop's thread, it called at once,
// as it decides: by the loop running here.
void EmissionWatch::note_queued(PyObject* callback, PyObject* result) {
    PyObject* target = adapted_callable(callback);
    if (Py_TYPE(target)->tp_dealloc != delivery_dealloc) {
        return;
    }
    Ref loop = check(PyObject_GetAttrString(target, "loop"));
    Ref asyncio = check(PyImport_ImportModule("asyncio"));
    Ref here = check(PyObject_CallMethod(asyncio.get(), "_get_running_loop", nullptr));
    if (here.get() != loop.get()) {
        note(loop.get(), result);
    }
}

void EmissionWatch::note(PyObject* loop, PyObject* pending) {
    if (!pending_) {
        pending_ = check(PyList_New(0));
    }
    Ref pair = check(PyTuple_Pack(2, loop, pending));
    check_status(PyList_Append(pending_.get(), pair.get()));
}

void EmissionWatch::started(PyObject* loop, PyObject* task) noexcept {
    if (!finishers_.empty() && guarded<int>(-1, [&] { return note(loop, task), 0; }) != 0) {
        PyErr_WriteUnraisable(task);
    }
}

void EmissionWatch::finish() noexcept {
    if (finishers_.empty()) {
        return;
    }
    TARNWICK_ASSERT_UNLOCKED();
    Ref raising = Ref::steal(PyErr_GetRaisedException());
    PyObject* pending = pending_ ? pending_.get() : Py_None;
    for (Ref& finisher : finishers_) {
        Ref ignored = Ref::steal(PyObject_CallOneArg(finisher.get(), pending));
        if (!ignored) {
            PyErr_WriteUnraisable(finisher.get());
        }
    }
    finishers_.clear();
    pending_ = Ref();
    if (raising) {
        PyErr_SetRaisedException(raising.release());
    }
}

namespace {

// ---------------------------------------------------------------------------
// tarnwick._observers

void check_nargs(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want) {
        throw_format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want,
                     nargs);
    }
}

void check_signal(InterpState& state, PyObject* obj) {
    if (!Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(state.signal_type.get()))) {
        throw_format(PyExc_TypeError, "expected a Signal, got %T", obj);
    }
}

// add(signal, observer, trace, /): adds an observer of `signal`'s emissions
// (None with a trace: of every signal) and returns its entry, which remove()
// takes. A recorder (trace false) is called as observer(args, kwargs) when an
// emission starts; what it returns, unless None, is called once the
// emission's calls are over, with what the emission left event loops to
// finish: a list of (loop, future or task) pairs (the futures of the calls
// loop deliveries queued, the task a replayed emit_async started), or None
// for nothing. A trace is called after every call as
// observer(signal, callback, args, kwargs, result, exception, seconds).
// kwargs is None for an emission without keywords.
PyObject* observers_add(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        check_nargs("add", nargs, 3);
        InterpState& state = current_interp_state();
        PyObject* signal = args[0];
        const int is_trace = check_status(PyObject_IsTrue(args[2]));
        if (signal != Py_None || !is_trace) {
            check_signal(state, signal);
        }
        if (!PyCallable_Check(args[1])) {
            throw_type_error("an observer must be callable");
        }
        Ref entry = check(PyTuple_Pack(3, signal, args[1], is_trace ? Py_True : Py_False));
        change_observers(state, [&](PyObject* old) {
            const Py_ssize_t n = old != nullptr ? PyTuple_GET_SIZE(old) : 0;
            Ref next = check(PyTuple_New(n + 1));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyTuple_SET_ITEM(next.get(), i, Py_NewRef(PyTuple_GET_ITEM(old, i)));
            }
            PyTuple_SET_ITEM(next.get(), n, Py_NewRef(entry.get()));
            return next;
        });
        // Counted once it can be found: an emission that sees the count
        // finds the entry.
        count_for(signal).fetch_add(1, std::memory_order_relaxed);
        return entry.release();
    });
}

// remove(entry, /): removes what add() returned; False when it was not there.
PyObject* observers_remove(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        check_nargs("remove", nargs, 1);
        InterpState& state = current_interp_state();
        PyObject* entry = args[0];
        bool found = false;
        change_observers(state, [&](PyObject* old) -> Ref {
            found = false;
            const Py_ssize_t n = old != nullptr ? PyTuple_GET_SIZE(old) : 0;
            for (Py_ssize_t i = 0; i < n && !found; ++i) {
                found = PyTuple_GET_ITEM(old, i) == entry;
            }
            if (!found) {
                return Ref::new_ref(old);
            }
            if (n == 1) {
                return Ref();
            }
            Ref next = check(PyTuple_New(n - 1));
            for (Py_ssize_t i = 0, k = 0; i < n; ++i) {
                PyObject* item = PyTuple_GET_ITEM(old, i);
                if (item != entry) {
                    PyTuple_SET_ITEM(next.get(), k++, Py_NewRef(item));
                }
            }
            return next;
        });
        if (found) {
            // The entry still holds its signal, so the count is there.
            count_for(PyTuple_GET_ITEM(entry, kSignal)).fetch_sub(1, std::memory_order_relaxed);
        }
        return PyBool_FromLong(found);
    });
}

// name(signal, /): the signal's name, None when it has none.
PyObject* observers_name(PyObject*, PyObject* signal) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        check_signal(current_interp_state(), signal);
        const auto& name = as_signal(signal)->rec.name;
        if (!name) {
            Py_RETURN_NONE;
        }
        return PyUnicode_FromStringAndSize(name->data(), static_cast<Py_ssize_t>(name->size()));
    });
}

// unraisable(exception, obj, /): reports `exception` through
// sys.unraisablehook, as raised in `obj`.
PyObject* observers_unraisable(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        check_nargs("unraisable", nargs, 2);
        if (!PyExceptionInstance_Check(args[0])) {
            throw_format(PyExc_TypeError, "expected an exception, got %T", args[0]);
        }
        PyErr_SetRaisedException(Py_NewRef(args[0]));
        PyErr_WriteUnraisable(args[1]);
        Py_RETURN_NONE;
    });
}

PyMethodDef observers_methods[] = {
    {"add", method_cast(observers_add),
     METH_FASTCALL, "add($module, signal, observer, trace, /)\n--\n\n"},
    {"remove", method_cast(observers_remove),
     METH_FASTCALL, "remove($module, entry, /)\n--\n\n"},
    {"name", observers_name, METH_O, "name($module, signal, /)\n--\n\n"},
    {"unraisable", method_cast(observers_unraisable), METH_FASTCALL, "unraisable($module, exception, obj, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot observers_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef observers_module = {
    PyModuleDef_HEAD_INIT,
    "tarnwick._observers",
    "What tarnwick.testing observes emissions with; private.",
    0,
    observers_methods,
    observers_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// Made as the import system makes a submodule: from its definition, with a
// ModuleSpec of its name, then bound in sys.modules and on the package. Nothing
// finds it on disk; tarnwick's exec step makes each interpreter's own.
void add_observers_module(PyObject* package) {
    Ref machinery = check(PyImport_ImportModule("importlib.machinery"));
    Ref name = check(PyUnicode_FromString(observers_module.m_name));
    Ref module_spec =
        check(PyObject_CallMethod(machinery.get(), "ModuleSpec", "OO", name.get(), Py_None));
    Ref module = check(PyModule_FromDefAndSpec(&observers_module, module_spec.get()));
    check_status(PyModule_ExecDef(module.get(), &observers_module));
    check_status(PyObject_SetAttrString(module.get(), "__spec__", module_spec.get()));
    check_status(PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module.get()));
    check_status(PyModule_AddObjectRef(package, "_observers", module.get()));
}

}  // namespace tarnwick
