// Delivery on another thread: what listener(..., loop=TARGET) connects.
//
// The entry's callback is a LoopDelivery, so that an emission treats it like
// any other callable (counts, order, removal and error modes all stay the
// table's business). Called on the thread that runs the target, it calls the
// callback at once; called anywhere else, it hands a QueuedCall to the
// target's scheduling call and returns the concurrent.futures.Future that the
// call will complete.
//
// The target is sorted out once, at connect: an asyncio event loop
// (loop.call_soon_threadsafe), a trio token (token.run_sync_soon), a
// concurrent.futures.Executor (executor.submit, never called directly) or a
// dispatcher (call_soon_threadsafe, and is_current() if it has one). The
// delivery keeps the kind and the bound methods, so an emission looks
// nothing up.
//
// Every queued call settles its future: with the result, with the exception
// (which the error hooks hear of, on the loop's thread), or cancelled; a call
// that the loop drops without running it (a loop closed first does) cancels
// its future as it goes. As with asyncio.run_coroutine_threadsafe, the
// future stays pending until the outcome is known, so the emitter may cancel
// it until then: a call not yet run is skipped, an awaited result's task is
// cancelled, and an outcome that comes after the cancellation is dropped.
//
// A weak connection keeps the weak reference in a LoopDelivery of its own,
// flagged weak, in an entry of weak kind: an emission resolves weak entries by
// calling them with no arguments, and this one answers with a strong
// LoopDelivery of the referent (or None once it has died). The queued call
// then holds the callback until it has run.

#include "delivery.hpp"

#include "args.hpp"
#include "error_hooks.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace tarnwick {

namespace {

enum class Target : unsigned char { Asyncio, Trio, Executor, Dispatcher };

struct DeliveryObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The callable, or for a weak delivery the weak reference to it.
    PyObject* callback;
    PyObject* loop;
    // The signal whose error hooks hear of a queued call's failure.
    PyObject* signal;
    // Looked up once, at connect, by target:
    //   running_loop: what says whether this thread runs the target
    //     (asyncio._get_running_loop, trio.lowlevel.current_trio_token);
    //   call_soon: the scheduling call (loop.call_soon_threadsafe,
    //     token.run_sync_soon, executor.submit, the dispatcher's
    //     call_soon_threadsafe);
    //   is_running: loop.is_running, or the dispatcher's is_current;
    //   ensure_future: what takes an awaitable result (asyncio.ensure_future,
    //     tarnwick._trio.spawn).
    // Null where the target has no such thing.
    PyObject* running_loop;
    PyObject* call_soon;
    PyObject* is_running;
    PyObject* ensure_future;
    // tarnwick._future.Future, and the condition that all the futures of
    // this connection share.
    PyObject* future_type;
    PyObject* condition;
    // (asyncio.isfuture, asyncio.iscoroutine, inspect.isawaitable): what
    // ensure_future asks before it wraps an object.
    PyObject* awaitable_tests;
    // A trio run stays on the thread that started it: once that thread is
    // known (from a connect inside the run, or a call the run has made), an
    // emission on any other thread is known to be outside the run without
    // asking trio, which raises to say so. 0 while unknown; atomic.
    unsigned long run_thread;
    bool weak;
    Target target;
};

// One call waiting on the loop: the (strong) delivery that queued it, the
// arguments, the future it settles, and the task that awaits its result.
struct QueuedObject {
    PyObject_HEAD
    PyObject* delivery;
    PyObject* args;
    PyObject* kwargs;  // null when there are none
    PyObject* future;
    // A weak reference to the task, whose death (a loop closed with the task
    // pending leaves it to the collector) cancels the future. Set on the
    // loop's thread before the future's done callback that reads it is
    // added; null until then, and for a result not awaited.
    PyObject* task;
    // The target has called it; set once, atomically, so that a dispatcher
    // that calls it again (from another thread, even) runs nothing more.
    // Read when it goes, by whichever thread drops the last reference.
    bool ran;
    // No emission's caller holds the future (a rate limiter's delayed call
    // queued it): a failure that no error hook hears goes to
    // sys.unraisablehook, so that it is never lost.
    bool unheard;
};

// The hooks and the listing read a delivery through its head.
static_assert(offsetof(DeliveryObject, vectorcall) == offsetof(DeliveryHead, vectorcall) &&
              offsetof(DeliveryObject, callback) == offsetof(DeliveryHead, callback));

DeliveryObject* as_delivery(PyObject* self) noexcept {
    return reinterpret_cast<DeliveryObject*>(self);
}

QueuedObject* as_queued(PyObject* self) noexcept {
    return reinterpret_cast<QueuedObject*>(self);
}

// The fields that hold references, in one place for traverse, clear and the
// copy that a weak delivery makes of itself.
constexpr PyObject* DeliveryObject::* kDeliveryFields[] = {
    &DeliveryObject::callback,  &DeliveryObject::loop,          &DeliveryObject::signal,
    &DeliveryObject::running_loop, &DeliveryObject::call_soon,  &DeliveryObject::is_running,
    &DeliveryObject::ensure_future, &DeliveryObject::future_type,
    &DeliveryObject::condition,     &DeliveryObject::awaitable_tests,
};

constexpr PyObject* QueuedObject::* kQueuedFields[] = {
    &QueuedObject::delivery, &QueuedObject::args, &QueuedObject::kwargs,
    &QueuedObject::future,   &QueuedObject::task,
};

template <class Object>
constexpr const auto& fields_of() {
    if constexpr (std::is_same_v<Object, DeliveryObject>) {
        return kDeliveryFields;
    } else {
        return kQueuedFields;
    }
}

template <class Object>
int traverse_fields(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* obj = reinterpret_cast<Object*>(self);
    for (auto field : fields_of<Object>()) {
        Py_VISIT(obj->*field);
    }
    return 0;
}

template <class Object>
int clear_fields(PyObject* self) {
    auto* obj = reinterpret_cast<Object*>(self);
    for (auto field : fields_of<Object>()) {
        Py_CLEAR(obj->*field);
    }
    return 0;
}

template <class Object>
void dealloc_fields(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear_fields<Object>(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new object of `type`. tp_alloc zeroes it and has the collector track it
// at once, which is safe: traverse and clear skip the fields still null.
Ref alloc_object(PyObject* type) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    return check(t->tp_alloc(t, 0));
}

// ---------------------------------------------------------------------------
// The queued call, run by the loop

// obj.name(arg); PyObject_CallMethod would spread a tuple `arg` into
// arguments.
PyObject* call_method_one(PyObject* obj, const char* name, PyObject* arg) noexcept {
    Ref method = Ref::steal(PyObject_GetAttrString(obj, name));
    return method ? PyObject_CallOneArg(method.get(), arg) : nullptr;
}

// The future could not be given its outcome (memory ran out, say): it gets
// the error that stopped that instead, so that nobody waits for it for ever.
// A future that refuses it (it had its outcome before the failure, or memory
// is still short) leaves the error to be reported.
void rescue(QueuedObject* q) noexcept {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!Ref::steal(call_method_one(q->future, "set_exception", error.get()))) {
        PyErr_Clear();
        PyErr_SetRaisedException(error.release());
        PyErr_WriteUnraisable(q->future);
    }
}

// Claims the future for an outcome: false when it was cancelled, whose
// waiters are told so now.
bool claim(QueuedObject* q) noexcept {
    Ref go = Ref::steal(PyObject_CallMethod(q->future, "set_running_or_notify_cancel", nullptr));
    if (!go) {
        rescue(q);
        return false;
    }
    return go.get() == Py_True;
}

// A queued call failed: its future gets the exception, unless it was
// cancelled, and the signal's error hooks hear of it, here on the loop's
// thread.
void fail_queued(QueuedObject* q, Ref exc) noexcept {
    if (claim(q) && !Ref::steal(call_method_one(q->future, "set_exception", exc.get()))) {
        rescue(q);
    }
    DeliveryObject* d = as_delivery(q->delivery);
    if (!notify_error_hooks(as_signal(d->signal), exc.get(), d->callback) && q->unheard) {
        PyErr_SetRaisedException(exc.release());
        PyErr_WriteUnraisable(d->callback);
    }
}

// Completes the future from a finished call's outcome: the value `value`, or
// the exception set when it is null.
void settle(QueuedObject* q, Ref value) noexcept {
    if (!value) {
        fail_queued(q, Ref::steal(PyErr_GetRaisedException()));
        return;
    }
    if (claim(q) && !Ref::steal(call_method_one(q->future, "set_result", value.get()))) {
        rescue(q);
    }
}

// The task was cancelled on the loop (at its shutdown, say): so is the
// future. A cancellation is no failure: the hooks hear nothing.
void cancel_future(QueuedObject* q) noexcept {
    if (!Ref::steal(PyObject_CallMethod(q->future, "cancel", nullptr))) {
        PyErr_WriteUnraisable(q->future);
    }
    claim(q);  // false: tells the waiters
}

// Whether the loop awaits `value`: exactly when asyncio.ensure_future would
// wrap it, asked as it asks. Anything else is a plain result, whatever
// attributes it has (an __await__ of the instance's own, a class's
// __await__ = None, a __getattr__ that raises).
bool is_awaited(DeliveryObject* d, PyObject* value) {
    // What callbacks return most: the builtin types that are not awaitable
    // (unless a program registers one with the awaitable ABCs, which no
    // program should), known without three calls into Python.
    if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) ||
        PyFloat_CheckExact(value) || PyUnicode_CheckExact(value) || PyTuple_CheckExact(value) ||
        PyList_CheckExact(value) || PyDict_CheckExact(value)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d->awaitable_tests); ++i) {
        Ref yes = check(PyObject_CallOneArg(PyTuple_GET_ITEM(d->awaitable_tests, i), value));
        if (check_status(PyObject_IsTrue(yes.get()))) {
            return true;
        }
    }
    return false;
}

// Hands an awaitable result to a task on the loop; its done callback settles
// the future, and the future's own, once cancelled, cancels the task.
void await_on_loop(PyObject* self, PyObject* value) {
    QueuedObject* q = as_queued(self);
    DeliveryObject* d = as_delivery(q->delivery);
    Ref kwnames = check(Py_BuildValue("(s)", "loop"));
    PyObject* argv[] = {value, d->loop};
    Ref task = check(PyObject_Vectorcall(d->ensure_future, argv, 1, kwnames.get()));
    Ref gone = check(PyObject_GetAttrString(self, "_gone"));
    Py_XSETREF(q->task, check(PyWeakref_NewRef(task.get(), gone.get())).release());
    try {
        Ref cancel = check(PyObject_GetAttrString(self, "_cancel"));
        check(call_method_one(q->future, "add_done_callback", cancel.get()));
        Ref done = check(PyObject_GetAttrString(self, "_done"));
        check(call_method_one(task.get(), "add_done_callback", done.get()));
    } catch (const PyErrorSet&) {
        // Nobody would hear of the task's outcome.
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (!Ref::steal(PyObject_CallMethod(task.get(), "cancel", nullptr))) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc.release());
        throw;
    }
}

// An awaitable result: awaited on an asyncio loop or in the trio run; an
// executor has nothing to await it with.
void take_awaitable(PyObject* self, PyObject* value) {
    DeliveryObject* d = as_delivery(as_queued(self)->delivery);
    if (d->target == Target::Asyncio) {
        await_on_loop(self, value);
    } else if (d->target == Target::Trio) {
        PyObject* argv[] = {value, self, as_queued(self)->future};
        check(PyObject_Vectorcall(d->ensure_future, argv, 3, nullptr));
    } else {
        if (PyCoro_CheckExact(value)) {  // closed, so that it does not warn
            check(PyObject_CallMethod(value, "close", nullptr));
        }
        throw_format(PyExc_TypeError,
                     "%R returned an awaitable, which an executor cannot await", d->callback);
    }
}

// Called by the loop with no arguments. Whatever fails, the future is
// settled.
PyObject* Queued_call(PyObject* self, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QueuedObject* q = as_queued(self);
        if (q->delivery == nullptr || std::atomic_ref<bool>(q->ran).exchange(true)) {
            Py_RETURN_NONE;  // cleared by the collector, or called before
        }
        try {
            Ref cancelled = check(PyObject_CallMethod(q->future, "cancelled", nullptr));
            if (cancelled.get() == Py_True) {
                claim(q);  // cancelled before the call ran: it is skipped
                Py_RETURN_NONE;
            }
            DeliveryObject* d = as_delivery(q->delivery);
            if (d->target == Target::Trio) {  // run by the trio run, on its thread
                std::atomic_ref<unsigned long>(d->run_thread)
                    .store(PyThread_get_thread_ident(), std::memory_order_relaxed);
            }
            Ref value = check(PyObject_Call(d->callback, q->args, q->kwargs));
            if (d->target != Target::Dispatcher && is_awaited(d, value.get())) {
                take_awaitable(self, value.get());
            } else {
                settle(q, std::move(value));
            }
        } catch (const PyErrorSet&) {
            fail_queued(q, Ref::steal(PyErr_GetRaisedException()));
        }
        Py_RETURN_NONE;
    });
}

// The methods below serve the task that awaits a result (and the trio
// helper) once the call has run; anyone else may reach them (a dispatcher is
// handed the queued call itself), and called before that they refuse.
QueuedObject* started(PyObject* self, bool needs_task) {
    QueuedObject* q = as_queued(self);
    if (!std::atomic_ref<bool>(q->ran).load() || q->delivery == nullptr ||
        q->future == nullptr || (needs_task && q->task == nullptr)) {
        throw_type_error("this method of a queued call serves its own await only");
    }
    return q;
}

// The done callback of the task that awaits an awaitable result.
PyObject* Queued_done(PyObject* self, PyObject* task) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QueuedObject* q = started(self, true);
        Ref cancelled = Ref::steal(PyObject_CallMethod(task, "cancelled", nullptr));
        if (!cancelled) {
            fail_queued(q, Ref::steal(PyErr_GetRaisedException()));
        } else if (cancelled.get() == Py_True) {
            cancel_future(q);
        } else {
            settle(q, Ref::steal(PyObject_CallMethod(task, "result", nullptr)));
        }
        Py_RETURN_NONE;
    });
}

// How the trio run's await of an awaitable result ended (tarnwick/_trio.py):
// _finish(0, value), _finish(1, exception) or _finish(2, None) for cancelled.
PyObject* Queued_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QueuedObject* q = started(self, false);
        const long how = nargs == 2 && PyLong_Check(args[0]) ? PyLong_AsLong(args[0]) : -1;
        if (how < 0 || how > 2) {
            PyErr_Clear();  // an overflow
            throw_type_error("_finish(how, value) with how 0, 1 or 2");
        }
        if (how == 2) {
            cancel_future(q);
        } else if (how == 1) {
            fail_queued(q, Ref::new_ref(args[1]));
        } else {
            settle(q, Ref::new_ref(args[1]));
        }
        Py_RETURN_NONE;
    });
}

// The future's done callback, run by whichever thread completes or cancels
// it: a cancelled future cancels the task, on the loop's thread.
PyObject* Queued_cancel(PyObject* self, PyObject* future) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QueuedObject* q = started(self, true);
        Ref cancelled = check(PyObject_CallMethod(future, "cancelled", nullptr));
        PyObject* task = nullptr;
        check_status(PyWeakref_GetRef(q->task, &task));
        Ref alive = Ref::steal(task);
        if (cancelled.get() == Py_True && alive) {
            Ref cancel = check(PyObject_GetAttrString(alive.get(), "cancel"));
            check(PyObject_CallOneArg(as_delivery(q->delivery)->call_soon, cancel.get()));
        }
        Py_RETURN_NONE;
    });
}

// Cancels the future unless it has its outcome already, and tells its
// waiters; leaves the exception being raised, if any, in place.
void cancel_unsettled(QueuedObject* q) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref cancelled = Ref::steal(PyObject_CallMethod(q->future, "cancel", nullptr));
    if (!cancelled) {
        PyErr_WriteUnraisable(q->future);
    } else if (cancelled.get() == Py_True) {
        claim(q);  // false: tells the waiters
    }
    PyErr_SetRaisedException(pending.release());
}

// A call that goes without the loop ever calling it (a loop closed before
// running it drops it unrun) cancels its future, so that nobody waits for
// it for ever. Not at the interpreter's shutdown, when nobody waits any
// more and the future's module may be gone. The finalizer of the collector
// and of dealloc.
void Queued_finalize(PyObject* self) {
    QueuedObject* q = as_queued(self);
    if (std::atomic_ref<bool>(q->ran).load() || q->future == nullptr || Py_IsFinalizing()) {
        return;
    }
    cancel_unsettled(q);
}

// The weak reference's callback: the task that awaited the result has gone
// without finishing (its loop closed with it pending), so nothing will
// settle the future; a future settled already stays as it is.
PyObject* Queued_gone(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        cancel_unsettled(started(self, true));
        Py_RETURN_NONE;
    });
}

void Queued_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return;  // the finalizer's callbacks took a new reference
    }
    dealloc_fields<QueuedObject>(self);
}

PyMethodDef queued_methods[] = {
    {"_done", Queued_done, METH_O, "_done($self, task, /)\n--\n\n"},
    {"_cancel", Queued_cancel, METH_O, "_cancel($self, future, /)\n--\n\n"},
    {"_gone", Queued_gone, METH_O, "_gone($self, ref, /)\n--\n\n"},
    {"_finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(Queued_finish)),
     METH_FASTCALL, "_finish($self, how, value, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot queued_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Queued_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(Queued_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_fields<QueuedObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_fields<QueuedObject>)},
    {Py_tp_call, reinterpret_cast<void*>(Queued_call)},
    {Py_tp_methods, queued_methods},
    {0, nullptr},
};


// ---------------------------------------------------------------------------
// The delivery, called by an emission

[[noreturn]] void raise_not_running(DeliveryObject* d) {
    Ref closed = check(PyObject_CallMethod(d->loop, "is_closed", nullptr));
    const int is_closed = check_status(PyObject_IsTrue(closed.get()));
    throw_format(PyExc_RuntimeError, "cannot deliver to %R: the loop is %s", d->callback,
                 is_closed ? "closed" : "not running");
}

// A queued call's future: made as object.__new__ makes it, without the
// base class's __init__ (which would make a condition of its own), then
// given the connection's condition and lists of its own.
Ref new_future(DeliveryObject* d) {
    auto* type = reinterpret_cast<PyTypeObject*>(d->future_type);
    Ref none = check(PyTuple_New(0));
    Ref future = check(type->tp_new(type, none.get(), nullptr));
    const Ref(&names)[3] = state_of(reinterpret_cast<PyObject*>(d)).future_names;
    check_status(PyObject_SetAttr(future.get(), names[0].get(), d->condition));
    for (std::size_t i = 1; i < std::size(names); ++i) {
        Ref list = check(PyList_New(0));
        check_status(PyObject_SetAttr(future.get(), names[i].get(), list.get()));
    }
    return future;
}

// Off the target's thread: schedules the call with these arguments (`kwargs`
// empty for none) and returns its future. A target that refuses it raises;
// the call will not run.
Ref schedule(DeliveryObject* d, Ref args, Ref kwargs, bool unheard) {
    if (d->target == Target::Asyncio) {
        Ref running = check(PyObject_CallNoArgs(d->is_running));
        if (!check_status(PyObject_IsTrue(running.get()))) {
            raise_not_running(d);
        }
    }
    Ref future = new_future(d);
    Ref queued = alloc_object(state_of(reinterpret_cast<PyObject*>(d)).queued_type.get());
    QueuedObject* q = as_queued(queued.get());
    q->args = args.release();
    q->kwargs = kwargs.release();
    q->unheard = unheard;
    q->delivery = Py_NewRef(reinterpret_cast<PyObject*>(d));
    q->future = Py_NewRef(future.get());
    if (!Ref::steal(PyObject_CallOneArg(d->call_soon, queued.get()))) {
        // Refused: the emission reports it failed, so a target that kept the
        // call anyway must not run it later.
        std::atomic_ref<bool>(q->ran).store(true);
        throw PyErrorSet{};
    }
    return future;
}

// A weak delivery's answer to an emission's resolution: a strong delivery
// of the live referent, or None.
Ref resolve_weak(PyObject* self) {
    DeliveryObject* d = as_delivery(self);
    Ref referent = check(PyObject_CallNoArgs(d->callback));
    if (referent.get() == Py_None) {
        return referent;
    }
    Ref strong = alloc_object(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    DeliveryObject* s = as_delivery(strong.get());
    for (auto field : kDeliveryFields) {
        s->*field = Py_XNewRef(d->*field);
    }
    Py_SETREF(s->callback, referent.release());
    s->vectorcall = d->vectorcall;
    s->run_thread = std::atomic_ref<unsigned long>(d->run_thread).load(std::memory_order_relaxed);
    s->weak = false;
    s->target = d->target;
    return strong;
}

// Whether this thread runs the target, so that the call is made directly. A
// trio token is current only inside its run; outside any run trio raises
// RuntimeError.
bool runs_here(DeliveryObject* d) {
    switch (d->target) {
    case Target::Asyncio:
        return check(PyObject_CallNoArgs(d->running_loop)).get() == d->loop;
    case Target::Trio: {
        const unsigned long known =
            std::atomic_ref<unsigned long>(d->run_thread).load(std::memory_order_relaxed);
        if (known != 0 && known != PyThread_get_thread_ident()) {
            return false;
        }
        Ref token = Ref::steal(PyObject_CallNoArgs(d->running_loop));
        if (!token) {
            if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) {
                throw PyErrorSet{};
            }
            PyErr_Clear();
        }
        return token.get() == d->loop;
    }
    case Target::Executor:
        return false;
    case Target::Dispatcher:
        return d->is_running != nullptr &&
               check_status(PyObject_IsTrue(check(PyObject_CallNoArgs(d->is_running)).get()));
    }
    return false;
}

PyObject* Delivery_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        DeliveryObject* d = as_delivery(self);
        if (d->callback == nullptr) {  // cleared by the collector: it runs nothing
            if (d->weak) {
                Py_RETURN_NONE;
            }
            throw_format(PyExc_RuntimeError, "a connection cleared by the garbage collector");
        }
        if (d->weak) {
            return resolve_weak(self).release();
        }
        if (runs_here(d)) {
            return PyObject_Vectorcall(d->callback, args, nargsf, kwnames);
        }
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        return schedule(d, positional_tuple(args, nargs), keyword_dict(args + nargs, kwnames),
                        false)
            .release();
    });
}

// Equal to its callback, so that disconnect_callback() and unique=True find
// it as they find a plain connection of the same callable.
PyObject* Delivery_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    PyObject* mine = as_delivery(self)->callback;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        other = as_delivery(other)->callback;
    }
    if (mine == nullptr || other == nullptr) {  // cleared by the collector
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyObject_RichCompare(mine, other, op);
}

Py_hash_t Delivery_hash(PyObject* self) {
    PyObject* callback = as_delivery(self)->callback;
    return callback != nullptr ? PyObject_Hash(callback) : Py_HashPointer(self);
}

PyObject* Delivery_repr(PyObject* self) {
    DeliveryObject* d = as_delivery(self);
    if (d->callback == nullptr || d->loop == nullptr) {
        return PyUnicode_FromString("<a delivery cleared by the garbage collector>");
    }
    return PyUnicode_FromFormat("<%R delivered on %R>", d->callback, d->loop);
}

// None once the collector has cleared the delivery.
PyObject* Delivery_get_wrapped(PyObject* self, void*) {
    PyObject* callback = as_delivery(self)->callback;
    return Py_NewRef(callback != nullptr ? callback : Py_None);
}

PyObject* Delivery_get_loop(PyObject* self, void*) {
    PyObject* loop = as_delivery(self)->loop;
    return Py_NewRef(loop != nullptr ? loop : Py_None);
}

// Run by the trio run once, soon after a connect made outside it: learns
// the run's thread. Anyone may call it; only the run's own thread is kept.
PyObject* Delivery_learn_thread(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        DeliveryObject* d = as_delivery(self);
        if (d->target == Target::Trio && d->running_loop != nullptr && runs_here(d)) {
            std::atomic_ref<unsigned long>(d->run_thread)
                .store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef delivery_methods[] = {
    {"_learn_thread", Delivery_learn_thread, METH_NOARGS, "_learn_thread($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef delivery_getset[] = {
    {"__wrapped__", Delivery_get_wrapped, nullptr, "The callback.", nullptr},
    {"loop", Delivery_get_loop, nullptr, "The loop it runs on.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef delivery_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(DeliveryObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot delivery_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delivery_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_fields<DeliveryObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_fields<DeliveryObject>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Delivery_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(Delivery_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(Delivery_repr)},
    {Py_tp_getset, delivery_getset},
    {Py_tp_methods, delivery_methods},
    {Py_tp_members, delivery_members},
    {0, nullptr},
};



}  // namespace

PyType_Spec queued_type_def = {
    "builtins.SignalQueuedCall",
    sizeof(QueuedObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    queued_slots,
};

PyType_Spec delivery_type_def = {
    "builtins.SignalLoopDelivery",
    sizeof(DeliveryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL,
    delivery_slots,
};

namespace {

// What a delivery keeps of its target, found at connect.
struct TargetParts {
    Target target = Target::Dispatcher;
    Ref running_loop;
    Ref call_soon;
    Ref is_running;
    Ref ensure_future;
};

bool is_instance_of(PyObject* obj, PyObject* module, const char* name) {
    Ref cls = check(PyObject_GetAttrString(module, name));
    return check_status(PyObject_IsInstance(obj, cls.get())) == 1;
}

Ref method_of(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

// A trio token, known without importing trio unless the object's type comes
// from it: a TrioToken of a module named trio or trio.something.
bool is_trio_token(PyObject* loop) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(loop));
    Ref module = optional_attr(type, "__module__");
    if (!module || !PyUnicode_Check(module.get())) {
        return false;
    }
    const char* name = PyUnicode_AsUTF8(module.get());
    if (name == nullptr) {
        throw PyErrorSet{};
    }
    const bool from_trio = std::strncmp(name, "trio", 4) == 0 && (name[4] == '\0' || name[4] == '.');
    if (!from_trio || std::strcmp(Py_TYPE(loop)->tp_name, "TrioToken") != 0) {
        return false;
    }
    // A type from trio has trio imported; one that only says so is no token.
    Ref name_trio = check(PyUnicode_FromString("trio"));
    Ref trio = Ref::steal(PyImport_GetModule(name_trio.get()));
    if (!trio) {
        if (PyErr_Occurred()) {
            throw PyErrorSet{};
        }
        return false;
    }
    Ref lowlevel = check(PyImport_ImportModule("trio.lowlevel"));
    return is_instance_of(loop, lowlevel.get(), "TrioToken");
}

[[noreturn]] void refuse_target(PyObject* loop) {
    const char* accepted =
        "argument 'loop': expected an event loop, a trio token, a "
        "concurrent.futures.Executor or a dispatcher (an object with "
        "call_soon_threadsafe(fn))";
    if (PyType_Check(loop)) {
        throw_format(PyExc_TypeError, "%s, got the class %N itself, not an instance", accepted,
                     loop);
    }
    throw_format(PyExc_TypeError, "%s, got %T", accepted, loop);
}

// A process pool would have to pickle the call, which it cannot do; it would
// drop the call with no word to its future. Known without importing the
// pool's module, which one that exists has imported.
void refuse_process_pool(PyObject* loop) {
    Ref name = check(PyUnicode_FromString("concurrent.futures.process"));
    Ref process = Ref::steal(PyImport_GetModule(name.get()));
    if (!process) {
        if (PyErr_Occurred()) {
            throw PyErrorSet{};
        }
        return;
    }
    if (is_instance_of(loop, process.get(), "ProcessPoolExecutor")) {
        throw_format(PyExc_TypeError,
                     "argument 'loop': %T runs calls in other processes, to which a queued "
                     "call cannot be sent; use a concurrent.futures.ThreadPoolExecutor",
                     loop);
    }
}

// A dispatcher: call_soon_threadsafe, and is_current when it has one.
TargetParts dispatcher_parts(PyObject* loop) {
    TargetParts t;
    t.call_soon = optional_attr(loop, "call_soon_threadsafe");
    if (PyType_Check(loop) || !t.call_soon || !PyCallable_Check(t.call_soon.get())) {
        refuse_target(loop);
    }
    t.is_running = optional_attr(loop, "is_current");
    if (t.is_running && !PyCallable_Check(t.is_running.get())) {
        throw_format(PyExc_TypeError, "argument 'loop': is_current of %T is not callable", loop);
    }
    return t;
}

TargetParts classify(PyObject* loop, PyObject* asyncio, PyObject* futures) {
    TargetParts t;
    if (!PyType_Check(loop) && is_instance_of(loop, asyncio, "AbstractEventLoop")) {
        t.target = Target::Asyncio;
        t.running_loop = method_of(asyncio, "_get_running_loop");
        t.call_soon = method_of(loop, "call_soon_threadsafe");
        t.is_running = method_of(loop, "is_running");
        t.ensure_future = method_of(asyncio, "ensure_future");
    } else if (is_trio_token(loop)) {
        Ref lowlevel = check(PyImport_ImportModule("trio.lowlevel"));
        Ref helper = check(PyImport_ImportModule("tarnwick._trio"));
        t.target = Target::Trio;
        t.running_loop = method_of(lowlevel.get(), "current_trio_token");
        t.call_soon = method_of(loop, "run_sync_soon");
        t.ensure_future = method_of(helper.get(), "spawn");
    } else if (!PyType_Check(loop) && is_instance_of(loop, futures, "Executor")) {
        refuse_process_pool(loop);
        t.target = Target::Executor;
        t.call_soon = method_of(loop, "submit");
    } else {
        t = dispatcher_parts(loop);
    }
    return t;
}

// A trio delivery made inside the run knows the run's thread now; one made
// outside asks the run to tell it. A run that has ended refuses, which the
// emissions will report; the thread is only a shortcut, so nothing else is
// made of a refusal.
void learn_run_thread(PyObject* delivery) {
    DeliveryObject* d = as_delivery(delivery);
    if (runs_here(d)) {
        d->run_thread = PyThread_get_thread_ident();
        return;
    }
    Ref learn = method_of(delivery, "_learn_thread");
    if (!Ref::steal(PyObject_CallOneArg(d->call_soon, learn.get()))) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrorSet{};
        }
        PyErr_Clear();  // learnt later, from a call the run makes, or never
    }
}

// (asyncio.isfuture, asyncio.iscoroutine, inspect.isawaitable).
Ref awaitable_tests_of(PyObject* asyncio) {
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref isfuture = method_of(asyncio, "isfuture");
    Ref iscoroutine = method_of(asyncio, "iscoroutine");
    Ref isawaitable = method_of(inspect.get(), "isawaitable");
    return check(PyTuple_Pack(3, isfuture.get(), iscoroutine.get(), isawaitable.get()));
}

}  // namespace

Ref deliver_unheard(PyObject* delivery, PyObject* args, PyObject* kwargs) {
    DeliveryObject* d = as_delivery(delivery);
    if (d->callback == nullptr || d->weak) {
        throw_format(PyExc_RuntimeError, "a connection cleared by the garbage collector");
    }
    if (runs_here(d)) {
        return check(PyObject_Call(d->callback, args, kwargs));
    }
    return schedule(d, Ref::new_ref(args), Ref::new_ref(kwargs), true);
}

Ref make_delivery(PyObject* signal, Ref callback, PyObject* loop, bool weak) {
    Ref asyncio = check(PyImport_ImportModule("asyncio"));
    Ref futures = check(PyImport_ImportModule("concurrent.futures"));
    TargetParts t = classify(loop, asyncio.get(), futures.get());
    Ref future_module = check(PyImport_ImportModule("tarnwick._future"));
    Ref future_type = method_of(future_module.get(), "Future");
    Ref threading = check(PyImport_ImportModule("threading"));
    Ref condition = check(PyObject_CallNoArgs(method_of(threading.get(), "Condition").get()));
    Ref awaitable_tests = awaitable_tests_of(asyncio.get());
    Ref obj = alloc_object(state_of(signal).delivery_type.get());
    DeliveryObject* d = as_delivery(obj.get());
    d->vectorcall = Delivery_vectorcall;
    d->callback = callback.release();
    d->loop = Py_NewRef(loop);
    d->signal = Py_NewRef(signal);
    d->running_loop = t.running_loop.release();
    d->call_soon = t.call_soon.release();
    d->is_running = t.is_running.release();
    d->ensure_future = t.ensure_future.release();
    d->future_type = future_type.release();
    d->condition = condition.release();
    d->awaitable_tests = awaitable_tests.release();
    d->weak = weak;
    d->target = t.target;
    if (t.target == Target::Trio) {
        learn_run_thread(obj.get());
    }
    return obj;
}

}  // namespace tarnwick
