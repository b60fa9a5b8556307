// The tarnwick module: its definition, entry point and exec step.

#include "evented.hpp"
#include "interp_state.hpp"
#include "observers.hpp"
#include "ref.hpp"

namespace tarnwick {

namespace {

// Appends `name` to the module's __all__ (creating the list when the module
// has none), then binds the attribute.
void add_class(PyObject* module, const char* name, PyObject* type) {
    Ref all = optional_attr(module, "__all__");
    if (!all) {
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        throw_format(PyExc_TypeError, "__all__ must be a list, not %T", all.get());
    }
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
    check_status(PyModule_AddObjectRef(module, name, type));
}

// Appends a function of the module definition to __all__; the interpreter
// has bound it already.
void add_function(PyObject* module, const char* name) {
    Ref all = check(PyObject_GetAttrString(module, "__all__"));
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
}

PyMethodDef tarnwick_functions[] = {
    {"evented", evented, METH_O, kEventedDoc},
    {nullptr, nullptr, 0, nullptr},
};

// tarnwick.testing is Python, installed in the directory "tarnwick" beside
// this library; as the search path for submodules, that directory lets
// `import tarnwick.testing` (and any other .py submodule there) find it,
// while `import tarnwick` still finds the library (a directory without
// __init__.py never wins over a module). A module loaded without a file has
// no .py submodules; tarnwick._observers, made by the exec step, it has.
void add_submodule_path(PyObject* module) {
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    if (!file) {
        PyErr_Clear();
        return;
    }
    Ref os_path = check(PyImport_ImportModule("os.path"));
    Ref dir = check(PyObject_CallMethod(os_path.get(), "dirname", "O", file.get()));
    Ref sub = check(PyObject_CallMethod(os_path.get(), "join", "Os", dir.get(), "tarnwick"));
    Ref path = check(PyList_New(1));
    PyList_SET_ITEM(path.get(), 0, sub.release());
    check_status(PyObject_SetAttrString(module, "__path__", path.get()));
}

int tarnwick_exec(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_BadArgument();
            throw PyErrorSet{};
        }
        InterpState& state = interp_state_for_exec(module);
        add_class(module, "Signal", state.signal_type.get());
        add_class(module, "SignalConnection", state.connection_type.get());
        add_class(module, "SignalField", state.field_type.get());
        add_function(module, "evented");
        add_submodule_path(module);
        add_observers_module(module);
        return 0;
    });
}

PyModuleDef_Slot tarnwick_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tarnwick_exec)},
    // Nothing Python is shared between interpreters (interp_state.hpp), so
    // interpreters with a GIL of their own may import the module too.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

}  // namespace

PyModuleDef tarnwick_module = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    "",
    kInterpStateSize,
    tarnwick_functions,
    tarnwick_slots,
    interp_state_traverse,
    nullptr,
    interp_state_free,
};

InterpState& state_by_def(PyTypeObject* type) {
    PyObject* module = PyType_GetModuleByDef(type, &tarnwick_module);
    if (module == nullptr) {
        throw PyErrorSet{};
    }
    // Our types are made with the interpreter's owner module.
    return *static_cast<InterpState*>(PyModule_GetState(module));
}

}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick::tarnwick_module); }
