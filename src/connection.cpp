// SignalConnection: disconnects its callback when a `with` block ends.

#include "connection.hpp"

#include "args.hpp"
#include "holder.hpp"
#include "interp_state.hpp"
#include "signal_record.hpp"

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

}  // namespace

Ref new_connection_type(PyObject* module) {
    return new_holder_type<kExitSig, Connection_enter, Connection_exit>(
        module, "builtins.SignalConnection", sizeof(ConnectionObject));
}

PyObject* new_connection(PyObject* signal, std::uint64_t id) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        ConnectionObject* c = alloc_holder<ConnectionObject>(state_of(signal).connection_type, signal);
        c->id = id;
        return reinterpret_cast<PyObject*>(c);
    });
}

}  // namespace tarnwick
