// The small objects that keep a signal alive for a `with` block
// (SignalConnection, SignalBlocker): their common head and collector slots.
#pragma once

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

// Runs the type's clear, then frees the object.
template <int (*Clear)(PyObject*)>
void holder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// `with` exit's parameters, as both types spell them.
inline constexpr const char* kExitNames[] = {"_exc_type", "_exc_val", "_exc_tb"};

}  // namespace tarnwick
