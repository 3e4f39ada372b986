// cmds/quotes/kline/gateway_modes.hpp: `IOpKline.run` and the three gateway modes.
//
// Each is the body of a coroutine method; module.cpp checks the arguments and wraps the
// Task for Python. Parameters by value: the coroutine frame outlives the caller's.
#pragma once

#include "bridge/task.hpp"

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// `IOpKline.run()`: the gateway path, falling back to `_run_yfinance` once.
bridge::Task run(py::object self);

/// `IOpKline._kline(contract, rest)`: the latest N bars of a period.
bridge::Task kline(py::object self, py::object contract, py::object rest);

/// `IOpKline._history(contract, rest)`: the bars between two dates.
bridge::Task history(py::object self, py::object contract, py::object rest);

/// `IOpKline._intraday(contract)`: today's one-minute bars.
bridge::Task intraday(py::object self, py::object contract);

} // namespace korvanta::kline
