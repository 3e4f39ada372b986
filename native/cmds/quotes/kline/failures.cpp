// cmds/quotes/kline/failures.cpp: output errors told apart from gateway failures, and
// reasons that are never empty.
#include "cmds/quotes/kline/failures.hpp"

#include "host/host.hpp"

namespace korvanta::kline {

namespace {

using bridge::checked;
using host::name;

// The mark `show_table` leaves on an output error. It lives on the error itself rather than
// beside it: nothing outlives the error to hold it (and, through its traceback, the table
// being printed), and runs of several commands at once cannot mistake each other's errors.
py::handle output_mark() { return name<"_kline_output_error">(); }

} // namespace

void show_table(py::handle frame, py::handle title) {
    try {
        host::print_frame(frame, title);
    } catch (py::error_already_set &e) {
        // An error that takes no attribute goes unmarked: `run` then counts it a failure.
        if (e.matches(PyExc_OSError) &&
            PyObject_SetAttr(e.value().ptr(), output_mark().ptr(), Py_True) < 0)
            PyErr_Clear();
        throw;
    }
}

bool passes_through(const py::error_already_set &error) {
    if (!error.matches(PyExc_Exception) || error.matches(PyExc_BrokenPipeError))
        return true;
    PyObject *mark = nullptr;
    if (PyObject_GetOptionalAttr(error.value().ptr(), output_mark().ptr(), &mark) < 0)
        PyErr_Clear();
    const bool marked = mark == Py_True;
    Py_XDECREF(mark);
    return marked;
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
