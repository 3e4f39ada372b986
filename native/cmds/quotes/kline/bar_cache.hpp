// cmds/quotes/kline/bar_cache.hpp: `Barhold.count_key(...)` and `cache.get(key)` as kline
// makes them on every request.
//
// While the module's `Barhold` is the bar-cache module's own class, its `count_key` and
// `get` still the builtins it was built with, and the cache an instance of exactly that
// class with no `get` of its own, both go straight to the bar-cache module's functions;
// anything put in their place is called as Python would call it.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// Finds the bar-cache module's direct calls; at import, after `Barhold` is bound.
void bind_bar_cache_calls();

/// `Barhold.count_key(symbol, period, adjust, count)` through the module's `Barhold`.
py::object count_key(py::handle symbol, py::handle period, py::handle adjust, py::handle count);

/// `cache.get(key)`.
py::object cached_bars(py::handle cache, py::handle key);

} // namespace korvanta::kline
