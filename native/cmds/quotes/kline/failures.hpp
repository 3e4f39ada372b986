// cmds/quotes/kline/failures.hpp: how kline tells and words its failures.
//
// A failure of the gateway path sends the request to yfinance; a failure to write the
// output does not (the reader is gone, and yfinance's table would go the same way), so
// the tables are printed through `show_table`, which marks such an error for `run`.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// `printFrame(frame, title)`; an OSError it raises (a closed pipe, a full disk) is
/// marked as an output error before it propagates.
void show_table(py::handle frame, py::handle title);

/// Whether `error` must reach the host rather than send the request to yfinance:
/// cancellation and the interpreter's exit (no `Exception`), a closed output
/// (BrokenPipeError), or an output error `show_table` marked.
bool passes_through(const py::error_already_set &error);

/// The text a log line gives for a failure: `str(value)`, or where that is empty the
/// exception's type name (`TimeoutError()` reads "TimeoutError"), or the value's repr.
py::object reason(py::handle value);

} // namespace korvanta::kline
