// Delivery on an event loop's thread: what listener(..., loop=LOOP) connects.
//
// The entry's callback is a LoopDelivery, so that an emission treats it like
// any other callable (counts, order, removal and error modes all stay the
// table's business). Called on the thread that runs the loop, it calls the
// callback at once; called anywhere else, it hands a QueuedCall to
// loop.call_soon_threadsafe and returns the concurrent.futures.Future that the
// call will complete.
//
// A weak connection keeps the weak reference in a LoopDelivery of its own,
// flagged weak, in an entry of weak kind: an emission resolves weak entries by
// calling them with no arguments, and this one answers with a strong
// LoopDelivery of the referent (or None once it has died). The queued call
// then holds the callback until it has run.

#include "delivery.hpp"

#include "adapter.hpp"
#include "emission.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

#include <cstddef>
#include <type_traits>

namespace tarnwick {

namespace {

struct DeliveryObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The callable, or for a weak delivery the weak reference to it.
    PyObject* callback;
    PyObject* loop;
    // The signal whose error hooks hear of a queued call's failure.
    PyObject* signal;
    // asyncio._get_running_loop, loop.call_soon_threadsafe, loop.is_running,
    // asyncio.ensure_future and concurrent.futures.Future, looked up once.
    PyObject* running_loop;
    PyObject* call_soon;
    PyObject* is_running;
    PyObject* ensure_future;
    PyObject* future_type;
    bool weak;
};

// One call waiting on the loop: the callback with its arguments, and the
// future it completes.
struct QueuedObject {
    PyObject_HEAD
    PyObject* callback;
    PyObject* args;
    PyObject* kwargs;  // null when there are none
    PyObject* future;
    PyObject* signal;
    PyObject* ensure_future;
};

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
};

constexpr PyObject* QueuedObject::* kQueuedFields[] = {
    &QueuedObject::callback, &QueuedObject::args,   &QueuedObject::kwargs,
    &QueuedObject::future,   &QueuedObject::signal, &QueuedObject::ensure_future,
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

// A queued call failed: its future gets the exception, then the signal's
// error hooks hear of it, here on the loop's thread.
void fail_queued(QueuedObject* q, Ref exc) {
    Ref set = Ref::steal(call_method_one(q->future, "set_exception", exc.get()));
    if (!set) {
        // Cancelled meanwhile: nobody waits for the outcome any more.
        PyErr_WriteUnraisable(q->future);
    }
    notify_error_hooks(as_signal(q->signal), exc.get(), q->callback);
}

// Completes the future from a finished call's outcome: the value `value`, or
// the exception set when it is null.
void settle(QueuedObject* q, Ref value) {
    if (!value) {
        fail_queued(q, Ref::steal(PyErr_GetRaisedException()));
        return;
    }
    Ref set = Ref::steal(call_method_one(q->future, "set_result", value.get()));
    if (!set) {
        PyErr_WriteUnraisable(q->future);
    }
}

// Called by the loop with no arguments.
PyObject* Queued_call(PyObject* self, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        QueuedObject* q = as_queued(self);
        Ref go = check(PyObject_CallMethod(q->future, "set_running_or_notify_cancel", nullptr));
        if (go.get() != Py_True) {
            Py_RETURN_NONE;  // the future was cancelled before the call ran
        }
        Ref value = Ref::steal(PyObject_Call(q->callback, q->args, q->kwargs));
        if (value && optional_attr(value.get(), state_of(self).await_name.get())) {
            // The loop awaits it; the future gets what the await gives.
            Ref task = check(PyObject_CallOneArg(q->ensure_future, value.get()));
            Ref done = check(PyObject_GetAttrString(self, "_done"));
            check(call_method_one(task.get(), "add_done_callback", done.get()));
            Py_RETURN_NONE;
        }
        settle(q, std::move(value));
        Py_RETURN_NONE;
    });
}

// The done callback of the task that awaits an awaitable result.
PyObject* Queued_done(PyObject* self, PyObject* task) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        settle(as_queued(self), Ref::steal(PyObject_CallMethod(task, "result", nullptr)));
        Py_RETURN_NONE;
    });
}

PyMethodDef queued_methods[] = {
    {"_done", Queued_done, METH_O, "_done($self, task, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot queued_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fields<QueuedObject>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_fields<QueuedObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_fields<QueuedObject>)},
    {Py_tp_call, reinterpret_cast<void*>(Queued_call)},
    {Py_tp_methods, queued_methods},
    {0, nullptr},
};


// ---------------------------------------------------------------------------
// The delivery, called by an emission

Ref positional_tuple(PyObject* const* values, Py_ssize_t n) {
    Ref args = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(args.get(), i, Py_NewRef(values[i]));
    }
    return args;
}

Ref keyword_dict(PyObject* const* values, PyObject* kwnames) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return Ref();
    }
    Ref kwargs = check(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        check_status(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]));
    }
    return kwargs;
}

[[noreturn]] void raise_not_running(DeliveryObject* d) {
    Ref closed = check(PyObject_CallMethod(d->loop, "is_closed", nullptr));
    const int is_closed = check_status(PyObject_IsTrue(closed.get()));
    throw_format(PyExc_RuntimeError, "cannot deliver to %R: the loop is %s", d->callback,
                 is_closed ? "closed" : "not running");
}

// Off the loop's thread: schedules the call and returns its future.
Ref schedule(DeliveryObject* d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref running = check(PyObject_CallNoArgs(d->is_running));
    if (!check_status(PyObject_IsTrue(running.get()))) {
        raise_not_running(d);
    }
    Ref future = check(PyObject_CallNoArgs(d->future_type));
    Ref queued = alloc_object(state_of(reinterpret_cast<PyObject*>(d)).queued_type.get());
    QueuedObject* q = as_queued(queued.get());
    q->args = positional_tuple(args, nargs).release();
    q->kwargs = keyword_dict(args + nargs, kwnames).release();
    q->callback = Py_NewRef(d->callback);
    q->future = Py_NewRef(future.get());
    q->signal = Py_NewRef(d->signal);
    q->ensure_future = Py_NewRef(d->ensure_future);
    check(PyObject_CallOneArg(d->call_soon, queued.get()));
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
    s->weak = false;
    return strong;
}

PyObject* Delivery_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        DeliveryObject* d = as_delivery(self);
        if (d->weak) {
            return resolve_weak(self).release();
        }
        Ref running = check(PyObject_CallNoArgs(d->running_loop));
        if (running.get() == d->loop) {
            return PyObject_Vectorcall(d->callback, args, nargsf, kwnames);
        }
        return schedule(d, args, PyVectorcall_NARGS(nargsf), kwnames).release();
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
    return PyObject_RichCompare(mine, other, op);
}

Py_hash_t Delivery_hash(PyObject* self) { return PyObject_Hash(as_delivery(self)->callback); }

PyObject* Delivery_repr(PyObject* self) {
    DeliveryObject* d = as_delivery(self);
    return PyUnicode_FromFormat("<%R delivered on %R>", d->callback, d->loop);
}

PyObject* Delivery_get_wrapped(PyObject* self, void*) {
    return Py_NewRef(as_delivery(self)->callback);
}

PyObject* Delivery_get_loop(PyObject* self, void*) { return Py_NewRef(as_delivery(self)->loop); }

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

void Delivery_dealloc(PyObject* self) { dealloc_fields<DeliveryObject>(self); }

PyType_Slot delivery_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Delivery_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_fields<DeliveryObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_fields<DeliveryObject>)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Delivery_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(Delivery_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(Delivery_repr)},
    {Py_tp_getset, delivery_getset},
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

Ref make_delivery(PyObject* signal, Ref callback, PyObject* loop, bool weak) {
    Ref call_soon = optional_attr(loop, "call_soon_threadsafe");
    Ref is_running = call_soon ? optional_attr(loop, "is_running") : Ref();
    if (!call_soon || !is_running) {
        throw_format(PyExc_TypeError, "argument 'loop': expected an event loop, got %T", loop);
    }
    Ref asyncio = check(PyImport_ImportModule("asyncio"));
    Ref futures = check(PyImport_ImportModule("concurrent.futures"));
    Ref running_loop = check(PyObject_GetAttrString(asyncio.get(), "_get_running_loop"));
    Ref ensure_future = check(PyObject_GetAttrString(asyncio.get(), "ensure_future"));
    Ref future_type = check(PyObject_GetAttrString(futures.get(), "Future"));
    Ref obj = alloc_object(state_of(signal).delivery_type.get());
    DeliveryObject* d = as_delivery(obj.get());
    d->vectorcall = Delivery_vectorcall;
    d->callback = callback.release();
    d->loop = Py_NewRef(loop);
    d->signal = Py_NewRef(signal);
    d->running_loop = running_loop.release();
    d->call_soon = call_soon.release();
    d->is_running = is_running.release();
    d->ensure_future = ensure_future.release();
    d->future_type = future_type.release();
    d->weak = weak;
    return obj;
}

PyObject* delivered_callable(PyObject* obj) noexcept {
    obj = adapted_callable(obj);
    if (Py_TYPE(obj)->tp_dealloc == Delivery_dealloc) {
        return as_delivery(obj)->callback;
    }
    return obj;
}

}  // namespace tarnwick
