// bridge/checks.hpp: argument checks made before a bound function does any work.
//
// Parameters declared `str`, `list` or `dict` take exactly that built-in type (no subclass,
// no None); `int` parameters take any number through the interpreter's `int()`.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::bridge {

namespace py = pybind11;

/// TypeError unless `value` is exactly a `str`; `where` names the function and parameter.
void require_str(py::handle value, const char *function, const char *parameter);
/// TypeError unless `value` is exactly a `list`.
void require_list(py::handle value, const char *function, const char *parameter);
/// TypeError unless `value` is exactly a `dict`.
void require_dict(py::handle value, const char *function, const char *parameter);

/// TypeError unless `isinstance(value, type)`; `expected` names the accepted types.
void require_instance(py::handle value, py::handle type, const char *expected,
                      const char *function, const char *parameter);

/// `int(value)` for any number (a float is truncated towards zero); TypeError for
/// anything else, text included.
py::int_ to_int(py::handle value, const char *function, const char *parameter);

} // namespace korvanta::bridge
