// cmds/quotes/kline/yfinance_modes.hpp: the yfinance half of IOpKline, as module.cpp binds it.
#pragma once

#include "host/host.hpp"

#include <pybind11/pybind11.h>

#include <vector>

namespace korvanta::kline {

namespace py = pybind11;

/// The yfinance coroutine methods of `IOpKline`, in class-body order: `_yf_history`,
/// `_run_yfinance`, `_kline_yfinance`, `_history_yfinance`, `_intraday_yfinance`,
/// each with its argument checks.
std::vector<host::Method> yfinance_methods();

/// `_normalize_yfinance_df(hist)`, the module-level function.
py::object normalize_yfinance_df_function();

} // namespace korvanta::kline
