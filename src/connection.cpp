// SignalConnection: disconnects its callback when a `with` block ends.

#include "connection.hpp"

#include "args.hpp"
#include "holder.hpp"
#include "interp_state.hpp"
#include "signal.hpp"

namespace tarnwick {

namespace {

struct ConnectionObject : SignalHolder {
    // The id that connect returned; fixed for the object's life.
    std::uint64_t id;
};

ConnectionObject* as_connection(PyObject* self) noexcept {
    return reinterpret_cast<ConnectionObject*>(self);
}

PyObject* Connection_enter(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_connection(self)->id);
}

constexpr Signature kExitSig{"SignalConnection.__exit__", kExitNames, 3, 3, true};

// Disconnects and returns False, so an exception raised in the block
// propagates unchanged. Running it twice, or after the entry went some other
// way, finds nothing and still returns False.
PyObject* Connection_exit(PyObject* self, PyObject* const*) {
    if (PyObject* signal = as_connection(self)->signal) {
        disconnect_by_id(as_signal(signal), as_connection(self)->id);
    }
    Py_RETURN_FALSE;
}

int Connection_clear(PyObject* self) {
    Py_CLEAR(as_connection(self)->signal);
    return 0;
}

PyMethodDef connection_methods[] = {
    {"__enter__", Connection_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", method_cast(fastcall_method<kExitSig, Connection_exit>),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot connection_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<Connection_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(holder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Connection_clear)},
    {Py_tp_methods, connection_methods},
    {0, nullptr},
};

PyType_Spec connection_spec = {
    "builtins.SignalConnection",
    sizeof(ConnectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    connection_slots,
};

}  // namespace

Ref new_connection_type(PyObject* module) {
    return check(PyType_FromModuleAndSpec(module, &connection_spec, nullptr));
}

PyObject* new_connection(PyObject* signal, std::uint64_t id) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* type = reinterpret_cast<PyTypeObject*>(state_of(signal).connection_type.get());
        PyObject* obj = check(type->tp_alloc(type, 0)).release();
        as_connection(obj)->signal = Py_NewRef(signal);
        as_connection(obj)->id = id;
        return obj;
    });
}

}  // namespace tarnwick
