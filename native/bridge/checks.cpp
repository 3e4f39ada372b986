// bridge/checks.cpp: exact-type and integer-conversion argument checks.
#include "bridge/checks.hpp"

namespace korvanta::bridge {

namespace {

[[noreturn]] void wrong_type(py::handle value, const char *expected, const char *function,
                             const char *parameter) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", function,
                 parameter, expected, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

} // namespace

void require_str(py::handle value, const char *function, const char *parameter) {
    if (!PyUnicode_CheckExact(value.ptr()))
        wrong_type(value, "str", function, parameter);
}

void require_list(py::handle value, const char *function, const char *parameter) {
    if (!PyList_CheckExact(value.ptr()))
        wrong_type(value, "list", function, parameter);
}

void require_dict(py::handle value, const char *function, const char *parameter) {
    if (!PyDict_CheckExact(value.ptr()))
        wrong_type(value, "dict", function, parameter);
}

void require_instance(py::handle value, py::handle type, const char *expected,
                      const char *function, const char *parameter) {
    const int is_instance = PyObject_IsInstance(value.ptr(), type.ptr());
    if (is_instance < 0)
        throw py::error_already_set();
    if (!is_instance)
        wrong_type(value, expected, function, parameter);
}

py::int_ to_int(py::handle value, const char *function, const char *parameter) {
    PyObject *obj = value.ptr();
    if (PyLong_CheckExact(obj))
        return py::reinterpret_borrow<py::int_>(value);
    // PyNumber_Check is false for text, so "12" is refused rather than parsed.
    if (!PyNumber_Check(obj))
        wrong_type(value, "int", function, parameter);
    PyObject *converted = PyNumber_Long(obj);
    if (!converted)
        throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(converted);
}

} // namespace korvanta::bridge
