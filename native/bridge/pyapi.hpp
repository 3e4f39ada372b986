// bridge/pyapi.hpp: the few CPython calls every module makes, as throwing one-liners.
//
// A null result from the C API becomes `py::error_already_set` carrying the pending error,
// so each call site is one line and errors leave as the Python exceptions they are.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace korvanta::bridge {

namespace py = pybind11;

// ==== Names ==================================================================

/// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
    constexpr Literal(const char (&text)[N]) { std::copy_n(text, N, chars); }
    char chars[N];
};

/// The interned Python string `Text`, made once; attribute and global lookups
/// with it skip building a new string per call.
template <Literal Text>
py::handle name() {
    // Leaked on purpose: a static py::object would be released after the interpreter is gone.
    static PyObject *interned = PyUnicode_InternFromString(Text.chars);
    return interned;
}

// ==== Results and tests ========================================================

/// Takes a new reference from the C API, throwing the pending error when it is null.
inline py::object checked(PyObject *made) {
    if (!made)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

/// Python's `bool(value)`.
inline bool truth(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

/// Python's `left <op> right` as a bool, e.g. `compare(a, b, Py_GE)`.
inline bool compare(py::handle left, py::handle right, int op) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), op);
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

/// `mapping.get(key, fallback)`; a plain dict is read directly.
inline py::object get_or(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (found)
            return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred())
            throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return mapping.attr(name<"get">())(key, fallback);
}

// ==== Calls ======================================================================

// Arguments are handles, not pybind11 accessors: an accessor's temporary object would be
// gone before the call.

/// `function(*args)` by vectorcall: no argument tuple.
template <typename... Args>
    requires(std::is_base_of_v<py::handle, Args> && ...)
py::object call(py::handle function, const Args &...args) {
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return checked(PyObject_Vectorcall(function.ptr(), argv + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `target.Name(*args)`: looked up on the object each call, as Python's attribute access does.
template <Literal Name, typename... Args>
    requires(std::is_base_of_v<py::handle, Args> && ...)
py::object call_method(py::handle target, const Args &...args) {
    PyObject *argv[] = {target.ptr(), py::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(name<Name>().ptr(), argv,
                                             (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

} // namespace korvanta::bridge
