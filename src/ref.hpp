// Owned Python references and the "a Python exception is set" error type.
//
// Rules of use:
//  * A Ref owns exactly one strong reference, or nothing. It never converts
//    to PyObject* implicitly: call get() to borrow, release() to hand the
//    reference on.
//  * Ref::steal() takes over a reference the caller owns (a "new reference"
//    result of the C API); Ref::new_ref() takes a new reference to a
//    borrowed object.
//  * A raw PyObject* in this code base is always borrowed, with a lifetime
//    that is obvious from the surrounding code.
//  * Dropping a Ref may run arbitrary Python code (a finalizer), so a Ref must
//    never be dropped while one of a signal's locks is held: move it to a
//    local that outlives the lock guard instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "checks.hpp"

#include <new>
#include <utility>

namespace tarnwick {

// Thrown after a Python exception has been set; every entry point catches it
// and returns the C API's error value. Raising always goes through this type:
// set the exception (or let the C API set it), then throw.
struct PyErrorSet {
    PyErrorSet() noexcept { TARNWICK_ASSERT(PyErr_Occurred() != nullptr); }
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        drop(old);
        return *this;
    }
    ~Ref() { drop(ptr_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref new_ref(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    void reset() noexcept {
        PyObject* old = ptr_;
        ptr_ = nullptr;
        drop(old);
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    // The last reference's finalizer may run any Python code.
    static void drop(PyObject* p) noexcept {
        if (p != nullptr) {
            TARNWICK_ASSERT_UNLOCKED();
            Py_DECREF(p);
        }
    }

    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Takes ownership of a new-reference result, throwing if it signals failure.
inline Ref check(PyObject* result) {
    if (result == nullptr) {
        throw PyErrorSet{};
    }
    return Ref::steal(result);
}

// Throws if a C API status code signals failure.
inline int check_status(int status) {
    if (status < 0) {
        throw PyErrorSet{};
    }
    return status;
}

// Small throwers, so that no raising site has to remember the throw.
[[noreturn]] inline void throw_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

[[noreturn]] inline void throw_type_error(const char* message) {
    throw_error(PyExc_TypeError, message);
}

// PyErr_Format's conversions (%T, %S, %zu, ...).
template <class... Args>
[[noreturn]] inline void throw_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyErrorSet{};
}

// Raises an exception object taken earlier with PyErr_GetRaisedException.
[[noreturn]] inline void throw_raised(Ref exception) {
    PyErr_SetRaisedException(exception.release());
    throw PyErrorSet{};
}

// The result of a C API lookup that reports "not found" as 0 with a null
// out-parameter: an empty Ref then; throws when it fails.
template <class Key>
inline Ref optional_lookup(int (*lookup)(PyObject*, Key, PyObject**), PyObject* obj, Key key) {
    PyObject* value = nullptr;
    check_status(lookup(obj, key, &value));
    return Ref::steal(value);
}

// The attribute, or an empty Ref when the object has none.
inline Ref optional_attr(PyObject* obj, PyObject* name) {
    return optional_lookup(PyObject_GetOptionalAttr, obj, name);
}

inline Ref optional_attr(PyObject* obj, const char* name) {
    return optional_lookup(PyObject_GetOptionalAttrString, obj, name);
}

// The dictionary's value for `key`, or an empty Ref when there is none.
inline Ref dict_item(PyObject* dict, PyObject* key) {
    return optional_lookup(PyDict_GetItemRef, dict, key);
}

inline Ref dict_item(PyObject* dict, const char* key) {
    return optional_lookup(PyDict_GetItemStringRef, dict, key);
}

// Turns the C++ exception in flight into a Python exception. Call only from a
// catch handler.
inline void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        // Already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error in tarnwick");
    }
}

// Runs body and turns any C++ exception into a Python exception and the
// given error value, so that no C++ exception crosses into the interpreter.
template <class R, class F>
inline R guarded(R error_value, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_python_error_from_current();
        return error_value;
    }
}

}  // namespace tarnwick
