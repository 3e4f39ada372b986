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

// A bar cache that cannot store (a full disk, a folder it may not write) costs a request
// only its entry: the failure is said in one warning for the request's symbol, and the
// bars go on to be shown and returned. A cache that cannot even be opened is None below:
// nothing is found in it and nothing stored. Anything but an ordinary exception propagates.

/// `_get_cache()` for a request of `symbol`, or None where opening the cache failed.
py::object open_cache(py::handle symbol);

/// `cache.get(key)`; None for no cache.
py::object cached_bars(py::handle cache, py::handle key);

/// `cache.try_larger_count(symbol, period, adjust, count)`; None for no cache.
py::object larger_bars(py::handle cache, py::handle symbol, py::handle period,
                       py::handle adjust, py::handle count);

/// `cache.set(key, bars)`, a failure said for `symbol`; nothing for no cache.
void store_bars(py::handle cache, py::handle key, py::handle bars, py::handle symbol);

} // namespace korvanta::kline
