// bridge/args.hpp: raw vectorcall methods: binding arguments to parameter names as a
// Python def does, and turning C++ exceptions into the pending Python error.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/detail/exception_translation.h>

#include <initializer_list>

namespace korvanta::bridge {

/// Binds `args`/`kwnames` of a METH_FASTCALL | METH_KEYWORDS call to `names` (all
/// positional-or-keyword, the first `required` of them required) and writes borrowed
/// references to `out`, null for an omitted optional parameter. Raises TypeError with
/// Python's own wording on a missing, repeated, surplus or unknown argument; returns
/// false then.
bool bind_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, std::initializer_list<const char *> names,
                    Py_ssize_t required, PyObject **out);

/// Runs `body` (returning a py::object) for a C-API entry point: a new reference on
/// success, null with the Python error set when anything was thrown.
template <typename Body>
PyObject *guarded(Body &&body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        pybind11::detail::try_translate_exceptions();
        return nullptr;
    }
}

} // namespace korvanta::bridge
