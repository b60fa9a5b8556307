// What listener(..., max_args=N, sender=OBJ) connects: the callback, or the
// loop's delivery of it, in an adapter that passes on at most N positional
// arguments and carries the sender an emission compares with.
#pragma once

#include "ref.hpp"

namespace tarnwick {

struct AdapterObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    // The callable (or a loop's delivery of it); for a weak adapter, the weak
    // reference (or the weak delivery) that gives it.
    PyObject* target;
    // The first positional argument an emission must have to call this
    // connection; null for every emission.
    PyObject* sender;
    // Positional arguments passed on at most; -1 for all of them.
    Py_ssize_t max_args;
    bool weak;
};

// Whether an emission whose first positional argument is `first` (null when
// it has none) calls the entry whose callback is `adapter`: read by the
// emission's snapshot under the table's lock, so it calls nothing. The
// sender never changes after connect, in a strong or a weak adapter alike.
inline bool adapter_accepts(PyObject* adapter, PyObject* first) noexcept {
    PyObject* sender = reinterpret_cast<AdapterObject*>(adapter)->sender;
    return sender == nullptr || sender == first;
}

// `target` (the call's reference) in an adapter; `sender` is borrowed and may
// be null, `max_args` is -1 for no limit. A weak adapter is called with no
// arguments by the emission's resolution, and answers with a strong adapter
// of the referent, or None once that has died.
Ref make_adapter(PyObject* signal, Ref target, Py_ssize_t max_args, PyObject* sender, bool weak);

// The callable behind an adapter, or `obj` itself; borrowed.
PyObject* adapted_callable(PyObject* obj) noexcept;

// max_args="auto": how many positional parameters `callback` takes, -1 when it
// takes *args. Raises TypeError, naming the callable, when its signature
// cannot be read.
Py_ssize_t positional_capacity(PyObject* callback);

}  // namespace tarnwick
