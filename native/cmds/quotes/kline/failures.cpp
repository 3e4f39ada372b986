// cmds/quotes/kline/failures.cpp: output errors told apart from gateway failures, and
// reasons that are never empty.
#include "cmds/quotes/kline/failures.hpp"

#include "host/host.hpp"

namespace korvanta::kline {

namespace {

using bridge::checked;

// The exception object `show_table` saw last, owned; identity is what tells it apart from
// an OSError of the gateway connection (ConnectionError is one).
PyObject *output_error = nullptr;

void remember(PyObject *error) {
    Py_XINCREF(error);
    Py_XSETREF(output_error, error);
}

} // namespace

void show_table(py::handle frame, py::handle title) {
    try {
        host::print_frame(frame, title);
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_OSError))
            remember(e.value().ptr());
        throw;
    }
}

bool passes_through(const py::error_already_set &error) {
    const bool seen = output_error && error.value().ptr() == output_error;
    if (seen)
        remember(nullptr);
    return seen || !error.matches(PyExc_Exception) || error.matches(PyExc_BrokenPipeError);
}

py::object reason(py::handle value) {
    py::object text = checked(PyObject_Str(value.ptr()));
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0)
        return text;
    if (PyExceptionInstance_Check(value.ptr()))
        return checked(PyType_GetName(Py_TYPE(value.ptr())));
    return checked(PyObject_Repr(value.ptr()));
}

} // namespace korvanta::kline
