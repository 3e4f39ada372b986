// bridge/args.hpp: raw vectorcall methods: binding arguments to parameter names as a
// Python def does, turning C++ exceptions into the pending Python error, and failing a
// module's import with a message of its own.
#pragma once

#include "bridge/pyapi.hpp"

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

/// A METH_FASTCALL | METH_KEYWORDS entry as the PyCFunction a PyMethodDef holds. Cast
/// through `void (*)()`, the one cast between unrelated function types compilers take
/// without a warning.
inline PyCFunction fastcall_entry(PyCFunctionFastWithKeywords entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

/// The builtin function for `def` (a METH_FASTCALL | METH_KEYWORDS entry), its
/// `__module__` the given name. `def` must outlive the function: a static table.
pybind11::object builtin(PyMethodDef &def, pybind11::handle module_name);

/// Fails the initialisation of the module being imported with ImportError(message).
/// pybind11 reports a C++ exception's text as the ImportError itself, while a Python error
/// would only be the cause of an ImportError "initialization failed", the one line a user
/// sees.
[[noreturn]] void fail_import(pybind11::handle message);

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

/// A METH_FASTCALL | METH_KEYWORDS entry of one parameter, `Function(Parameter)`, that
/// runs `Body` on the argument bound as a Python def would bind it.
template <Literal Function, Literal Parameter, pybind11::object (*Body)(pybind11::handle)>
PyObject *unary(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *a[1];
    if (!bind_arguments(Function.chars, args, nargs, kwnames, {Parameter.chars}, 1, a))
        return nullptr;
    return guarded([&] { return Body(a[0]); });
}

} // namespace korvanta::bridge
