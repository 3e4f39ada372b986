// bridge/args.cpp: Python-style binding of positional and keyword arguments, builtins made
// from method tables, and failed module imports.
#include "bridge/args.hpp"

#include <cstring>
#include <string>

namespace korvanta::bridge {

bool bind_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames, std::initializer_list<const char *> names,
                    Py_ssize_t required, PyObject **out) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     function, count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        for (const char *name : names) {
            if (PyUnicode_EqualToUTF8(keyword, name))
                break;
            ++index;
        }
        if (index == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, keyword);
            return false;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function,
                         keyword);
            return false;
        }
        out[index] = args[nargs + k];
    }

    Py_ssize_t i = 0;
    for (const char *name : names) {
        if (i < required && !out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         function, name);
            return false;
        }
        ++i;
    }
    return true;
}

void fail_import(pybind11::handle message) {
    // Lone surrogates (from an environment variable, say) cannot be UTF-8: escaped instead.
    PyObject *bytes = PyUnicode_AsEncodedString(message.ptr(), "utf-8", "backslashreplace");
    if (!bytes)
        throw pybind11::error_already_set();
    std::string text(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes));
    Py_DECREF(bytes);
    throw pybind11::import_error(text);
}

pybind11::object builtin(PyMethodDef &def, pybind11::handle module_name) {
    PyObject *function = PyCFunction_NewEx(&def, nullptr, module_name.ptr());
    if (!function)
        throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(function);
}

} // namespace korvanta::bridge
