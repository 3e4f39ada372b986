// cmds/quotes/kline/yfinance_detail.hpp: the yfinance fetch and modes, shared by their files.
//
// Logic only: the argument checks and the Python function objects are in yfinance_methods.cpp.
// Every module-level name (tables, helpers, `Barhold`, `printFrame`, `logger`, `asyncio`) is
// read from the module namespace at call time, and every method is called through `self`,
// so replacements made on the module, the class or the instance take effect.
#pragma once

#include "bridge/pyapi.hpp"
#include "bridge/task.hpp"
#include "host/host.hpp"

#include <pybind11/pybind11.h>

namespace korvanta::kline::detail {

namespace py = pybind11;

// ==== Python operations used throughout ======================================

using bridge::call;
using bridge::call_method;
using bridge::truth;

/// `dict[Key] = value`, the key interned once.
template <host::Literal Key>
void put(py::dict &dict, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), host::name<Key>().ptr(), value.ptr()) < 0)
        throw py::error_already_set();
}

// ==== The logic behind the functions ==========================================

/// `_normalize_yfinance_df(hist)`: a yfinance frame as a new frame of bar-record rows.
py::object normalize_yfinance_df(py::handle hist);

/// `IOpKline._yf_history(**kwargs)`: `Ticker(symbol).history(**kwargs)` in a worker thread;
/// None when the fetch failed.
bridge::Task yf_history(py::object self, py::dict kwargs);

/// `IOpKline._run_yfinance(rest)`: picks the yfinance mode by the first word.
bridge::Task run_yfinance(py::object self, py::list rest);

/// `IOpKline._kline_yfinance(rest)`: latest N bars.
bridge::Task kline_yfinance(py::object self, py::list rest);

/// `IOpKline._history_yfinance(rest)`: bars of a date range.
bridge::Task history_yfinance(py::object self, py::list rest);

/// `IOpKline._intraday_yfinance()`: today's one-minute bars.
bridge::Task intraday_yfinance(py::object self);

} // namespace korvanta::kline::detail
