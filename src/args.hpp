// Argument binding for the fast-call methods, with Python's own wording for
// call errors, and the per-parameter conversions.
#pragma once

#include "interp_state.hpp"
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr std::size_t kMaxParams = 10;

// The parameters of one function: positional-or-keyword, then keyword-only.
struct Signature {
    const char* qualname;      // "Signal.connect", used in call errors
    const char* const* names;  // parameter names, in order
    std::size_t count;         // number of parameters (at most kMaxParams)
    std::size_t required;      // the first `required` have no default
    bool bound;                // a method: Python counts `self` in its messages
    // The first `positional` may be given by position; the rest only by keyword.
    std::size_t positional = kMaxParams;

    constexpr std::size_t max_positional() const noexcept {
        return positional < count ? positional : count;
    }
};

namespace detail {

inline std::string quoted_list(const Signature& sig, const bool* missing) {
    // Python's wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string out;
    std::size_t total = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        total += missing[i] ? 1 : 0;
    }
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!missing[i]) {
            continue;
        }
        if (seen > 0) {
            out += total > 2 ? ", " : " ";
            if (seen == total - 1) {
                out += "and ";
            }
        }
        out += '\'';
        out += sig.names[i];
        out += '\'';
        ++seen;
    }
    return out;
}

[[noreturn]] inline void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const std::size_t extra = sig.bound ? 1 : 0;
    const std::size_t lo = sig.required + extra;
    const std::size_t hi = sig.max_positional() + extra;
    const std::size_t n = static_cast<std::size_t>(given) + extra;
    if (lo == hi) {
        throw_format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                     sig.qualname, hi, hi == 1 ? "" : "s", n, n == 1 ? "was" : "were");
    }
    throw_format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zu %s given", sig.qualname,
                 lo, hi, n, n == 1 ? "was" : "were");
}

[[noreturn]] inline void unexpected_keyword(const Signature& sig, PyObject* key) {
    throw_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.qualname,
                 key);
}

// The interned names of one signature's parameters, when the caller has
// them: interned[i] is parameter i's name.
struct InternedNames {
    const Ref* table = nullptr;           // the interpreter's param_names
    const std::uint8_t* index = nullptr;  // parameter i -> its slot in `table`
};

// The interpreter's wording for a keyword whose name is not a str.
[[noreturn]] inline void keywords_not_strings() { throw_type_error("keywords must be strings"); }

// The parameter a keyword names, or sig.count when it names none. Keywords
// that the compiler interned match by pointer; any other string by text. A
// name that is not a str is refused before its text is read: only a C caller
// that breaks the vectorcall protocol can pass one.
inline std::size_t find_keyword(const Signature& sig, InternedNames interned, PyObject* key) {
    if (interned.table != nullptr) {
        for (std::size_t i = 0; i < sig.count; ++i) {
            if (interned.table[interned.index[i]].get() == key) {
                return i;
            }
        }
    }
    if (!PyUnicode_Check(key)) {
        keywords_not_strings();
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.names[i])) {
            return i;
        }
    }
    return sig.count;
}

// Binds one keyword argument to the parameter it names.
inline void bind_keyword(const Signature& sig, InternedNames interned, PyObject* key,
                         PyObject* value, PyObject** out) {
    const std::size_t i = find_keyword(sig, interned, key);
    if (i == sig.count) {
        unexpected_keyword(sig, key);
    }
    if (out[i] != nullptr) {
        throw_format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.qualname,
                     sig.names[i]);
    }
    out[i] = value;
}

// Binds the keyword arguments, which follow the `nargs` positional ones.
inline void bind_keywords(const Signature& sig, InternedNames interned, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        bind_keyword(sig, interned, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
}

// Binds the positional arguments; the rest of `out` becomes null.
inline void bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject** out) {
    if (static_cast<std::size_t>(nargs) > sig.max_positional()) {
        too_many_positional(sig, nargs);
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
}

// Raises Python's error for required parameters that were not given.
inline void check_required(const Signature& sig, PyObject* const* out) {
    bool missing[kMaxParams] = {};
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            missing[i] = true;
            ++n_missing;
        }
    }
    if (n_missing > 0) {
        const std::string names = quoted_list(sig, missing);
        throw_format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     sig.qualname, n_missing, n_missing == 1 ? "" : "s", names.c_str());
    }
}

// The slot in kParamNames of each of Sig's parameters, found at compile time.
template <const Signature& Sig>
constexpr std::array<std::uint8_t, kMaxParams> param_slots() {
    std::array<std::uint8_t, kMaxParams> slots{};
    for (std::size_t i = 0; i < Sig.count; ++i) {
        std::size_t k = 0;
        while (std::string_view(kParamNames[k]) != Sig.names[i]) {
            ++k;  // past the end: a name missing from kParamNames fails to compile
        }
        slots[i] = static_cast<std::uint8_t>(k);
    }
    return slots;
}

}  // namespace detail

// Binds fast-call arguments to the signature's parameters: out[i] becomes
// the borrowed argument for parameter i, or null when it was not given.
// Raises the TypeError Python would raise.
inline void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out,
                           detail::InternedNames interned = {}) {
    nargs = PyVectorcall_NARGS(static_cast<size_t>(nargs));
    detail::bind_positional(sig, args, nargs, out);
    if (kwnames != nullptr) {
        detail::bind_keywords(sig, interned, args, nargs, kwnames, out);
    }
    detail::check_required(sig, out);
}

// A METH_FASTCALL | METH_KEYWORDS method: binds the call's arguments to
// `Sig` and hands them to `Body` (bound[i] as bind_arguments leaves it),
// which may throw.
template <const Signature& Sig, PyObject* (*Body)(PyObject* self, PyObject* const* bound)>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    static_assert(Sig.count <= kMaxParams, "bound[] has room for kMaxParams parameters");
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static constexpr auto slots = detail::param_slots<Sig>();
        PyObject* bound[kMaxParams];
        detail::InternedNames interned;
        if (kwnames != nullptr) {  // only a call with keywords looks the names up
            interned = {state_of(self).param_names, slots.data()};
        }
        bind_arguments(Sig, args, nargs, kwnames, bound, interned);
        return Body(self, bound);
    });
}

// A method of any calling convention, as a method table holds it.
template <class F>
inline PyCFunction method_cast(F* method) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// The same for a positional tuple and a keyword dictionary (tp_new), which
// the interpreter hands on unchecked: its keys may be of any type and any
// number of them may spell one name. As the interpreter does, every key must
// be a str before any is bound. The bound arguments are borrowed from `args`
// and `kwargs`, the call's own.
inline void bind_tuple_and_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                                PyObject** out) {
    detail::bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t it = 0;
        while (PyDict_Next(kwargs, &it, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                detail::keywords_not_strings();
            }
        }
        it = 0;
        while (PyDict_Next(kwargs, &it, &key, &value)) {
            detail::bind_keyword(sig, {}, key, value, out);
        }
    }
    detail::check_required(sig, out);
}

// Replaces a pending conversion error whose type is exactly TypeError by a
// TypeError "argument 'NAME': <message>" that keeps the original's cause.
// Other errors (OverflowError, say) are left as they are.
inline void rename_type_error(const char* name) noexcept {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    Ref original = Ref::steal(PyErr_GetRaisedException());
    if (!Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!message) {
        return;  // MemoryError (or the str() failure) replaces it
    }
    Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) {
        return;
    }
    PyException_SetCause(renamed.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(renamed.release());
}

// Runs a conversion that throws PyErrorSet on failure, renaming a TypeError
// after the parameter.
template <class F>
inline auto convert_argument(const char* name, F&& conversion) -> decltype(conversion()) {
    try {
        return conversion();
    } catch (const PyErrorSet&) {
        rename_type_error(name);
        throw;
    }
}

// `weak`: exactly True or False, or a NumPy bool scalar, which is recognised
// by its type's name and module so that NumPy never has to be imported.
inline bool to_weak_flag(PyObject* value) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(value);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
    } else if (PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy")) {
        Ref name = check(PyType_GetName(type));
        if (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool")) {
            return check_status(PyObject_IsTrue(value)) != 0;
        }
    }
    throw_format(PyExc_TypeError, "expected bool, got %T", value);
}

// `priority`: anything PyLong_AsLong accepts, then within signed 32 bits.
inline std::int32_t to_priority(PyObject* value) {
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    if (v < INT32_MIN || v > INT32_MAX) {
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::int32_t>(v);
}

// `times` and `id`: an int, or an object with __index__, in 0 .. 2**64-1.
inline std::uint64_t to_u64(PyObject* value) {
    Ref index;
    if (!PyLong_Check(value)) {
        index = check(PyNumber_Index(value));
        value = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw PyErrorSet{};
    }
    return static_cast<std::uint64_t>(v);
}

// A vectorcall's arguments as a call made later takes them: the positional
// ones as a tuple, and the keyword ones (`values` from the first keyword on)
// as a dict, or null when there are none.
inline Ref positional_tuple(PyObject* const* values, Py_ssize_t n) {
    Ref args = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(args.get(), i, Py_NewRef(values[i]));
    }
    return args;
}

inline Ref keyword_dict(PyObject* const* values, PyObject* kwnames) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return Ref();
    }
    Ref kwargs = check(PyDict_New());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        check_status(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]));
    }
    return kwargs;
}

}  // namespace tarnwick
