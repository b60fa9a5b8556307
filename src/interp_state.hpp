// What tarnwick keeps for each interpreter: its types and the attribute
// names that the methods look up.
//
// Nothing Python is shared between interpreters. A type object used by two
// interpreters would carry a version tag from one interpreter's counter into
// the other's type cache and specialised bytecode, where it can collide with
// an unrelated class; an interned string belongs to the interpreter that made
// it. So every interpreter makes its own on first import and releases them
// when it is finalised.
//
// Where the state lives: in the module state of the first tarnwick module
// object of the interpreter (its "owner"). The types are made with that
// module, so a method finds the state from its object's type with
// PyType_GetModuleState (a few loads, no lookup), and everything a Signal can
// reach stays alive as long as the Signal: instance -> type -> owner module ->
// state. Only the methods that need a name or a type pay for it: emit with
// keywords, emit_async and connected; connect, disconnect and emit without
// keywords never look. The interpreter's dictionary (PyInterpreterState_GetDict) holds the
// owner, so that a later module object of the same interpreter (a re-import
// after removal from sys.modules) gets the same two types. That dictionary is
// cleared when the interpreter is finalised, before its last collection, which
// breaks the cycle type -> module -> state -> type.
#pragma once

#include "once_cell.hpp"
#include "ref.hpp"

#include <cstddef>

namespace tarnwick {

// Every parameter name that the methods take by keyword. Each interpreter
// interns them once, so the binder can match a call's keywords (interned by
// the compiler) by pointer before it compares text.
inline constexpr const char* kParamNames[] = {
    "callback", "weak", "priority", "times", "id", "handler", "_exc_type", "_exc_val", "_exc_tb",
    "owner", "name", "loop", "unique", "max_args", "sender", "reducer", "initial", "throttle",
    "debounce",
};
inline constexpr std::size_t kParamNameCount = sizeof(kParamNames) / sizeof(kParamNames[0]);

struct InterpState {
    Ref signal_type;
    Ref connection_type;
    // SignalBlocker, which blocked() returns; not a module attribute.
    Ref blocker_type;
    // SignalListener, the decorator listener(...) returns; not one either.
    Ref listener_type;
    Ref field_type;
    // What listener(..., loop=...) connects, and the calls it queues; not
    // module attributes either.
    Ref delivery_type;
    Ref queued_type;
    // The weak reference to a builtin method's object (liveness.cpp).
    Ref weak_builtin_type;
    // What evented() puts on a class, and the group of signals it gives each
    // instance (a base of the group class that evented()'s script makes);
    // none are module attributes.
    Ref evented_group_type;
    Ref evented_events_type;
    Ref evented_hook_type;
    // evented()'s implementation, made by its script on first use.
    OnceCell evented_impl;
    // What listener(..., max_args=..., sender=...) connects, and the
    // SignalPauser that paused() returns; not module attributes either.
    Ref adapter_type;
    Ref pauser_type;
    // What listener(..., throttle=..., debounce=...) connects; not a module
    // attribute either.
    Ref limiter_type;
    // Interned attribute and keyword names.
    Ref on_error_name;
    Ref await_name;
    Ref close_name;
    Ref get_running_loop_name;
    // The attributes a queued call's future is given: _condition, _waiters,
    // _done_callbacks.
    Ref future_names[3];
    // kParamNames, interned, in the same order.
    Ref param_names[kParamNameCount];
    // The recorders and traces of tarnwick.testing (observers.cpp): a tuple
    // of (signal or None, observer, is a trace) entries, or null for none.
    // Replaced whole, never changed in place, under the mutex, which guards
    // nothing but taking a reference to it and swapping it.
    Ref observers;
    PyMutex observers_lock;
};

// The state of the interpreter that made `obj`'s type (a Signal, a
// SignalConnection or a SignalBlocker), borrowed. Throws PyErrorSet only when the type has lost
// its module, which the collector does to unreachable types alone.
inline InterpState& state_of(PyObject* obj) {
    void* state = PyType_GetModuleState(Py_TYPE(obj));
    if (state == nullptr) {
        throw PyErrorSet{};
    }
    return *static_cast<InterpState*>(state);
}

// The state of the interpreter that made `type`, one of our types.
inline InterpState& state_of_type(PyTypeObject* type) {
    void* state = PyType_GetModuleState(type);
    if (state == nullptr) {
        throw PyErrorSet{};
    }
    return *static_cast<InterpState*>(state);
}

// The state of the interpreter that made the first of our types in `type`'s
// MRO, for a Python subclass of one of them.
InterpState& state_by_def(PyTypeObject* type);

// The state of the current interpreter, for the exec step of `module`: the
// owner's when the interpreter has one, else `module` becomes the owner and
// its state is filled. Throws PyErrorSet on failure.
InterpState& interp_state_for_exec(PyObject* module);

// The state of the current interpreter, which must have imported tarnwick.
// Throws PyErrorSet (RuntimeError) when it has not.
InterpState& current_interp_state();

// tarnwick's module definition (module.cpp).
extern PyModuleDef tarnwick_module;

// The module definition's state size and callbacks.
constexpr Py_ssize_t kInterpStateSize = sizeof(InterpState);
int interp_state_traverse(PyObject* module, visitproc visit, void* arg);
void interp_state_free(void* module);

// The types' definitions, from the files that define them; each interpreter
// makes its own types from them, with its owner as their module.
extern PyType_Spec signal_type_def;
extern PyType_Spec listener_type_def;
extern PyType_Spec field_type_def;
extern PyType_Spec delivery_type_def;
extern PyType_Spec queued_type_def;
extern PyType_Spec evented_group_type_def;
extern PyType_Spec evented_events_type_def;
extern PyType_Spec evented_hook_type_def;
extern PyType_Spec adapter_type_def;
extern PyType_Spec limiter_type_def;
// The two `with` holders, made from one template.
Ref new_connection_type(PyObject* module);
Ref new_blocker_type(PyObject* module);
Ref new_pauser_type(PyObject* module);

}  // namespace tarnwick
