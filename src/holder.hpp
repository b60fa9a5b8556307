// The small objects that keep a signal alive for a `with` block
// (SignalConnection, SignalBlocker): their common head and collector slots.
#pragma once

#include "args.hpp"
#include "ref.hpp"

namespace tarnwick {

struct SignalHolder {
    PyObject_HEAD
    // The signal, kept alive by this object. Only the collector's clear
    // empties it (the object is unreachable then), so a callback whose closure
    // holds the object can be collected.
    PyObject* signal;
};

inline SignalHolder* as_holder(PyObject* self) noexcept {
    return reinterpret_cast<SignalHolder*>(self);
}

inline int holder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_holder(self)->signal);
    return 0;
}

// A new object of the holder type `type` (a T, which starts with the head),
// holding `signal`.
template <class T>
T* alloc_holder(const Ref& type, PyObject* signal) {
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    auto* obj = reinterpret_cast<T*>(check(t->tp_alloc(t, 0)).release());
    obj->signal = Py_NewRef(signal);
    return obj;
}

// What a holder type gives back before it lets go of the signal; nothing,
// for most.
inline void holds_nothing_more(PyObject*) noexcept {}

// The collector's clear: gives back what the object holds, then the signal.
template <void (*GiveBack)(PyObject*) noexcept>
int holder_clear(PyObject* self) {
    GiveBack(self);
    Py_CLEAR(as_holder(self)->signal);
    return 0;
}

template <void (*GiveBack)(PyObject*) noexcept>
void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    holder_clear<GiveBack>(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// `with` exit's parameters, as both types spell them.
inline constexpr const char* kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};

// A holder type for this interpreter: `__enter__`, `__exit__` (its arguments
// bound by ExitSig), the collector slots above with GiveBack, and no way to
// create one from Python.
template <const Signature& ExitSig, PyObject* (*Enter)(PyObject*, PyObject*),
          PyObject* (*Exit)(PyObject*, PyObject* const*),
          void (*GiveBack)(PyObject*) noexcept = holds_nothing_more>
Ref new_holder_type(PyObject* module, const char* name, int basicsize) {
    // The type keeps pointing at its method table; the slots and the type's
    // definition are read while it is made.
    static PyMethodDef methods[] = {
        {"__enter__", Enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
        {"__exit__", method_cast(fastcall_method<ExitSig, Exit>), METH_FASTCALL | METH_KEYWORDS,
         "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<GiveBack>)},
        {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(holder_clear<GiveBack>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec type_def = {
        name, basicsize, 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, slots,
    };
    return check(PyType_FromModuleAndSpec(module, &type_def, nullptr));
}

}  // namespace tarnwick
