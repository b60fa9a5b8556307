// evented: the class decorator whose fields emit when they change.
#pragma once

#include "ref.hpp"

namespace tarnwick {

// tarnwick.evented(cls): `module` is the tarnwick module it is called on.
PyObject* evented(PyObject* module, PyObject* cls);

inline constexpr const char kEventedDoc[] =
    "evented(cls, /)\n--\n\n"
    "Decorate a dataclass, an attrs class or a pydantic model so that its\n"
    "instances' `events` hold one Signal per field, named after it, and `all`.\n"
    "Assigning a value that differs from the old one emits (new, old) on the\n"
    "field's signal, then (name, new, old) on `all`. Returns the class (a new\n"
    "one for a class with __slots__).";

}  // namespace tarnwick
