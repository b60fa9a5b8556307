// The tarnwick module: its definition, entry point and exec step.

#include "connection.hpp"
#include "ref.hpp"
#include "signal.hpp"

namespace tarnwick {

namespace {

// Appends `name` to the module's __all__ (creating the list when the module
// has none), then binds the attribute.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    Ref all = optional_attr(module, "__all__");
    if (!all) {
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    } else if (!PyList_Check(all.get())) {
        throw_format(PyExc_TypeError, "__all__ must be a list, not %T", all.get());
    }
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
    check_status(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
}

int tarnwick_exec(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_BadArgument();
            throw PyErrorSet{};
        }
        add_class(module, "Signal", signal_type());
        add_class(module, "SignalConnection", connection_type());
        return 0;
    });
}

PyModuleDef_Slot tarnwick_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tarnwick_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef tarnwick_module = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",
    "",
    0,
    nullptr,
    tarnwick_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarnwick

PyMODINIT_FUNC PyInit_tarnwick(void) { return PyModuleDef_Init(&tarnwick::tarnwick_module); }
