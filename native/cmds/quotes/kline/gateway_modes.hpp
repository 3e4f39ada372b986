// cmds/quotes/kline/gateway_modes.hpp: `IOpKline.run` and the three gateway modes.
//
// Each is the body of a coroutine method; module.cpp checks the arguments and wraps the
// Task for Python. Parameters by value: the coroutine frame outlives the caller's.
#pragma once

#include "bridge/task.hpp"

#include <pybind11/pybind11.h>

#include <optional>

namespace korvanta::kline {

namespace py = pybind11;

/// A latest-N request as its words give it, and the cache entry it names.
struct LatestRequest {
    py::object symbol;
    py::object period;
    py::object count;
    py::object adjust;
    py::object cache;
    py::object key;
};

/// Reads the words of `rest` (an exact list) and names the cache entry of `symbol`, the
/// command's canonical symbol.
LatestRequest latest_request(py::handle symbol, py::handle rest);

/// The result of an exact cache hit, logged; a null object when the cache has no entry.
/// Given a `source`, the result ends with it under "source", as `run` stamps a result.
py::object exact_hit(const LatestRequest &request, py::handle source = {});

/// Remembers `function` as the class's own `_kline`, which `run` may answer a cache hit
/// for without starting it; called once from the module's init.
void own_kline_is(py::handle function);

/// `IOpKline.run()`: the gateway path, falling back to `_run_yfinance` once.
bridge::Task run(py::object self);

/// `IOpKline._kline(contract, rest)`: the latest N bars of a period. With `missed`, the
/// request was read and its exact entry asked for already, in vain: the body goes on from
/// there, so each host call is made once.
bridge::Task kline(py::object self, py::object contract, py::object rest,
                   std::optional<LatestRequest> missed = std::nullopt);

/// `IOpKline._history(contract, rest)`: the bars between two dates.
bridge::Task history(py::object self, py::object contract, py::object rest);

/// `IOpKline._intraday(contract)`: today's one-minute bars.
bridge::Task intraday(py::object self, py::object contract);

} // namespace korvanta::kline
