// The per-interpreter state: finding the interpreter's owner module, or
// making the given module the owner. See interp_state.hpp for the design.

#include "interp_state.hpp"

#include "liveness.hpp"

#include <cstddef>
#include <iterator>

namespace tarnwick {

namespace {

// The key of the owner module in the interpreter's dictionary.
constexpr const char kOwnerKey[] = "tarnwick.owner_module";

// The interpreter hands out module state zeroed, which is an empty
// InterpState: a Ref is one pointer, null when empty.
static_assert(sizeof(Ref) == sizeof(PyObject*));

InterpState& state_of_module(PyObject* module) noexcept {
    return *static_cast<InterpState*>(PyModule_GetState(module));
}

Ref new_type(PyObject* module, PyType_Spec& def) {
    return check(PyType_FromModuleAndSpec(module, &def, nullptr));
}

void fill(InterpState& state, PyObject* module) {
    state.signal_type = new_type(module, signal_type_def);
    state.connection_type = new_connection_type(module);
    state.blocker_type = new_blocker_type(module);
    state.listener_type = new_type(module, listener_type_def);
    state.field_type = new_type(module, field_type_def);
    state.delivery_type = new_type(module, delivery_type_def);
    state.queued_type = new_type(module, queued_type_def);
    state.weak_builtin_type = new_type(module, weak_builtin_type_def);
    state.evented_group_type = new_type(module, evented_group_type_def);
    state.evented_events_type = new_type(module, evented_events_type_def);
    state.evented_hook_type = new_type(module, evented_hook_type_def);
    state.adapter_type = new_type(module, adapter_type_def);
    state.pauser_type = new_pauser_type(module);
    state.limiter_type = new_type(module, limiter_type_def);
    state.on_error_name = check(PyUnicode_InternFromString("on_error"));
    state.await_name = check(PyUnicode_InternFromString("__await__"));
    state.close_name = check(PyUnicode_InternFromString("close"));
    state.get_running_loop_name = check(PyUnicode_InternFromString("get_running_loop"));
    const char* future_names[] = {"_condition", "_waiters", "_done_callbacks"};
    for (std::size_t i = 0; i < std::size(future_names); ++i) {
        state.future_names[i] = check(PyUnicode_InternFromString(future_names[i]));
    }
    for (std::size_t i = 0; i < kParamNameCount; ++i) {
        state.param_names[i] = check(PyUnicode_InternFromString(kParamNames[i]));
    }
}

bool is_tarnwick_module(PyObject* obj, PyModuleDef* def) noexcept {
    return PyModule_Check(obj) && PyModule_GetDef(obj) == def;
}

}  // namespace

InterpState& interp_state_for_exec(PyObject* module) {
    InterpState* own = &state_of_module(module);
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) {
        throw PyErrorSet{};
    }
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interp_dict == nullptr) {
        throw_error(PyExc_RuntimeError, "tarnwick: no interpreter dictionary");
    }
    Ref key = check(PyUnicode_FromString(kOwnerKey));
    Ref owner = dict_item(interp_dict, key.get());
    if (owner && is_tarnwick_module(owner.get(), def)) {
        return state_of_module(owner.get());  // the dictionary keeps it alive
    }
    fill(*own, module);
    if (owner) {
        // Something else sits under our key: take it over.
        check_status(PyDict_SetItem(interp_dict, key.get(), module));
        return *own;
    }
    // Two first imports racing (free-threaded builds): the first to
    // register wins, and the other module uses the winner's types.
    PyObject* registered = nullptr;
    check_status(PyDict_SetDefaultRef(interp_dict, key.get(), module, &registered));
    Ref winner = Ref::steal(registered);
    return winner.get() == module ? *own : state_of_module(winner.get());
}

InterpState& current_interp_state() {
    PyObject* interp_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (interp_dict == nullptr) {
        throw_error(PyExc_RuntimeError, "tarnwick: no interpreter dictionary");
    }
    Ref owner = dict_item(interp_dict, kOwnerKey);
    if (!owner || !is_tarnwick_module(owner.get(), &tarnwick_module)) {
        throw_error(PyExc_RuntimeError, "tarnwick is not imported in this interpreter");
    }
    return state_of_module(owner.get());  // the dictionary keeps it alive
}

int interp_state_traverse(PyObject* module, visitproc visit, void* arg) {
    // Only the types and the observers can lead back to the module; the
    // names cannot.
    if (auto* state = static_cast<InterpState*>(PyModule_GetState(module))) {
        Py_VISIT(state->observers.get());
        Py_VISIT(state->signal_type.get());
        Py_VISIT(state->connection_type.get());
        Py_VISIT(state->blocker_type.get());
        Py_VISIT(state->listener_type.get());
        Py_VISIT(state->field_type.get());
        Py_VISIT(state->delivery_type.get());
        Py_VISIT(state->queued_type.get());
        Py_VISIT(state->weak_builtin_type.get());
        Py_VISIT(state->evented_group_type.get());
        Py_VISIT(state->evented_events_type.get());
        Py_VISIT(state->evented_hook_type.get());
        Py_VISIT(state->evented_impl.peek());
        Py_VISIT(state->adapter_type.get());
        Py_VISIT(state->pauser_type.get());
        Py_VISIT(state->limiter_type.get());
    }
    return 0;
}

void interp_state_free(void* module) {
    if (void* state = PyModule_GetState(static_cast<PyObject*>(module))) {
        static_cast<InterpState*>(state)->~InterpState();
    }
}

}  // namespace tarnwick
