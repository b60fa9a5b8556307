// Error hooks: telling a signal's hooks of a failure, and showing them the
// user's callable behind a loop's delivery.

#include "error_hooks.hpp"

#include "adapter.hpp"
#include "rate_limit.hpp"
#include "signal_record.hpp"
#include "small_vector.hpp"

#include <cstddef>
#include <new>

namespace tarnwick {

// Shows a failing hook's exception (the current one, which this clears)
// through sys.excepthook, as the interpreter shows an unhandled exception.
// The interpreter's own printing would end the process when the exception,
// or anything sys.excepthook raises, is a SystemExit; nothing a hook or an
// excepthook does may do that, nor reach the emission. So we call the
// excepthook ourselves, and when it is missing or raises, its failure and
// then the hook's go to sys.unraisablehook instead.
static void report_hook_failure(PyObject* hook) noexcept {
    TARNWICK_ASSERT_UNLOCKED();
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref excepthook = Ref::new_ref(PySys_GetObject("excepthook"));
    if (excepthook) {
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        PyObject* argv[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                            tb ? tb.get() : Py_None};
        if (Ref::steal(PyObject_Vectorcall(excepthook.get(), argv, 3, nullptr))) {
            return;
        }
        PyErr_WriteUnraisable(excepthook.get());
    }
    PyErr_SetRaisedException(exc.release());
    PyErr_WriteUnraisable(hook);
}

// Tells every hook about a callback's failure. `error` stays the caller's.
// Hooks are called over a copy of the list, so a hook may register or clear
// hooks on this signal: one added now runs from the next failure, one cleared
// now still finishes this walk.
bool notify_error_hooks(SignalObject* self, PyObject* error, PyObject* callback) noexcept {
    // Hooks see the user's callable, never the wrapper that delivers it.
    callback = delivered_callable(callback);
    ErrorHookList& list = self->rec.error_hooks;
    SmallVector<Ref, 4> hooks;
    bool copied = true;
    {
        SharedGuard guard(list.lock());
        const ErrorHookList::Hooks& registered = list.hooks(guard);
        if (registered.empty()) {
            return false;
        }
        try {
            hooks.reserve(registered.size());
        } catch (const std::bad_alloc&) {
            copied = false;
        }
        for (std::size_t i = 0; copied && i < registered.size(); ++i) {
            hooks.push_unchecked(Ref::new_ref(registered[i].get()));
        }
    }
    if (!copied) {
        PyErr_NoMemory();
        PyErr_WriteUnraisable(callback);
        return true;
    }
    TARNWICK_ASSERT_UNLOCKED();
    Ref exception = Ref::new_ref(error);
    for (Ref& hook : hooks) {
        PyObject* argv[] = {exception.get(), callback};
        Ref result = Ref::steal(PyObject_Vectorcall(hook.get(), argv, 2, nullptr));
        if (!result) {
            report_hook_failure(hook.get());
        }
    }
    return true;
}

void delivery_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    type->tp_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* delivered_callable(PyObject* obj) noexcept {
    obj = limited_callable(adapted_callable(obj));
    if (Py_TYPE(obj)->tp_dealloc == delivery_dealloc) {
        PyObject* callback = reinterpret_cast<DeliveryHead*>(obj)->callback;
        return callback != nullptr ? callback : obj;  // null: cleared by the collector
    }
    return obj;
}

}  // namespace tarnwick
