// The adapter that listener(..., max_args=N, sender=OBJ) connects.
//
// The sender is checked by the emission's snapshot (adapter_accepts), under
// the table's lock and before any count is used up, so a connection whose
// sender does not match is passed over as if it were not connected. The
// adapter's own call only shortens the positional arguments: the same stack
// with a smaller count, or, when keywords follow the arguments it drops, a
// copy of the stack on the C stack; never a tuple.
//
// A weak connection keeps the weak reference (or the weak loop delivery) in
// an adapter of its own, flagged weak, in an entry of weak kind, as a loop's
// delivery does: the emission's resolution calls it with no arguments and it
// answers with a strong adapter of the referent, or None.

#include "adapter.hpp"

#include "args.hpp"
#include "interp_state.hpp"
#include "small_vector.hpp"

#include <cstddef>

namespace tarnwick {

namespace {

AdapterObject* as_adapter(PyObject* self) noexcept {
    return reinterpret_cast<AdapterObject*>(self);
}

Ref new_adapter(PyTypeObject* type, PyObject* target, PyObject* sender, Py_ssize_t max_args,
                bool weak);

PyObject* call_shortened(AdapterObject* a, PyObject* const* args, std::size_t nargsf,
                         PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (a->max_args < 0 || nargs <= a->max_args) {
        return PyObject_Vectorcall(a->target, args, nargsf, kwnames);
    }
    const std::size_t keep = static_cast<std::size_t>(a->max_args);
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        // The slot before args[0] is still ours to lend when the caller lent it.
        return PyObject_Vectorcall(a->target, args,
                                   keep | (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET), kwnames);
    }
    // The keyword values sit after every positional argument: move them up
    // behind the ones kept.
    const auto nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    SmallVector<PyObject*, 9> stack;
    stack.reserve(1 + keep + nkw);
    stack.push_unchecked(nullptr);
    for (std::size_t i = 0; i < keep; ++i) {
        stack.push_unchecked(args[i]);
    }
    for (std::size_t i = 0; i < nkw; ++i) {
        stack.push_unchecked(args[static_cast<std::size_t>(nargs) + i]);
    }
    return PyObject_Vectorcall(a->target, stack.begin() + 1,
                               keep | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

PyObject* Adapter_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        AdapterObject* a = as_adapter(self);
        if (!a->weak) {
            return call_shortened(a, args, nargsf, kwnames);
        }
        Ref referent = check(PyObject_CallNoArgs(a->target));
        if (referent.get() == Py_None) {
            return referent.release();
        }
        return new_adapter(Py_TYPE(self), referent.get(), a->sender, a->max_args, false).release();
    });
}

int Adapter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_adapter(self)->target);
    Py_VISIT(as_adapter(self)->sender);
    return 0;
}

int Adapter_clear(PyObject* self) {
    Py_CLEAR(as_adapter(self)->target);
    Py_CLEAR(as_adapter(self)->sender);
    return 0;
}

void Adapter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Adapter_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* Adapter_repr(PyObject* self) {
    AdapterObject* a = as_adapter(self);
    if (a->sender == nullptr) {
        return PyUnicode_FromFormat("<%R with max_args=%zd>", a->target, a->max_args);
    }
    return PyUnicode_FromFormat("<%R for sender %R>", a->target, a->sender);
}

PyObject* Adapter_get_wrapped(PyObject* self, void*) {
    return Py_NewRef(as_adapter(self)->target);
}

PyGetSetDef adapter_getset[] = {
    {"__wrapped__", Adapter_get_wrapped, nullptr, "The callback.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef adapter_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AdapterObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot adapter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Adapter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Adapter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Adapter_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(Adapter_repr)},
    {Py_tp_getset, adapter_getset},
    {Py_tp_members, adapter_members},
    {0, nullptr},
};

// tp_alloc zeroes the object and has the collector track it at once, which
// is safe: traverse and clear skip the fields still null.
Ref new_adapter(PyTypeObject* type, PyObject* target, PyObject* sender, Py_ssize_t max_args,
                bool weak) {
    Ref obj = check(type->tp_alloc(type, 0));
    AdapterObject* a = as_adapter(obj.get());
    a->vectorcall = Adapter_vectorcall;
    a->target = Py_NewRef(target);
    a->sender = Py_XNewRef(sender);
    a->max_args = max_args;
    a->weak = weak;
    return obj;
}

// The name's message, with the failure to read the signature as its cause.
[[noreturn]] void unreadable(PyObject* callback) {
    Ref cause = Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_TypeError,
                 "max_args='auto' cannot read the signature of %R; give max_args a number",
                 callback);
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    throw PyErrorSet{};
}

}  // namespace

PyType_Spec adapter_type_def = {
    "builtins.SignalAdapter",
    sizeof(AdapterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL,
    adapter_slots,
};

Ref make_adapter(PyObject* signal, Ref target, Py_ssize_t max_args, PyObject* sender, bool weak) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(signal).adapter_type.get());
    return new_adapter(type, target.get(), sender, max_args, weak);
}

PyObject* adapted_callable(PyObject* obj) noexcept {
    if (Py_TYPE(obj)->tp_dealloc == Adapter_dealloc) {
        return as_adapter(obj)->target;
    }
    return obj;
}

Py_ssize_t positional_capacity(PyObject* callback) {
    // inspect's parameter kinds, which are ints.
    constexpr long kPositionalOnly = 0;
    constexpr long kPositionalOrKeyword = 1;
    constexpr long kVarPositional = 2;
    Ref inspect = check(PyImport_ImportModule("inspect"));
    Ref signature_fn = check(PyObject_GetAttrString(inspect.get(), "signature"));
    Ref signature = Ref::steal(PyObject_CallOneArg(signature_fn.get(), callback));
    if (!signature) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw PyErrorSet{};
        }
        unreadable(callback);
    }
    Ref parameters = check(PyObject_GetAttrString(signature.get(), "parameters"));
    Ref values = check(PyObject_CallMethod(parameters.get(), "values", nullptr));
    Ref iter = check(PyObject_GetIter(values.get()));
    Py_ssize_t count = 0;
    while (Ref parameter = Ref::steal(PyIter_Next(iter.get()))) {
        Ref kind = check(PyObject_GetAttrString(parameter.get(), "kind"));
        const long k = PyLong_AsLong(kind.get());
        if (k == -1 && PyErr_Occurred()) {
            throw PyErrorSet{};
        }
        if (k == kVarPositional) {
            return -1;
        }
        count += k == kPositionalOnly || k == kPositionalOrKeyword ? 1 : 0;
    }
    if (PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    return count;
}

}  // namespace tarnwick
