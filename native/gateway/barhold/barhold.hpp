// gateway/barhold/barhold.hpp: the bar cache, `Barhold`, over the module's `DualCache`.
//
// Functions take the Python objects a method received, after module.cpp checked their
// types; they read the module globals they need (`time`, `STALE_AFTER`, `_EXCHANGE_TZ`,
// `DualCache`, `Path`, `os`) at each call.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::barhold {

namespace py = pybind11;

// ==== Keys ===================================================================

/// `Barhold.count_key`: "{symbol}:{period}:{adjust}:count_{count}".
py::object count_key(py::handle symbol, py::handle period, py::handle adjust, py::handle count);
/// `Barhold.intraday_key`: "{SYMBOL}:intraday:full", the symbol through `str.upper`.
py::object intraday_key(py::handle symbol);
/// `Barhold.range_key`: "{symbol}:{period}:{adjust}:{start}_{end}".
py::object range_key(py::handle symbol, py::handle period, py::handle adjust, py::handle start,
                     py::handle end);

// ==== Entries ================================================================

/// Remembers the `time` module the module is built with, for the clock's direct reading.
void remember_clock(py::handle time);

/// `Barhold.__init__`: the DualCache "kline" under the data directory.
void init(py::handle self, py::handle data_dir);
/// `Barhold._is_stale`: the age rule, then the last-bar rule in the exchange zone.
bool is_stale(py::handle entry, py::handle key);
/// `Barhold.get`: the stored bar list, None when absent or stale (a stale entry is deleted).
py::object get(py::handle self, py::handle key);
/// `Barhold.set`: stores {"bars": bars, "cached_at": time.time()} under key, unless the
/// newest bar is an intraday bar still forming.
void set(py::handle self, py::handle key, py::handle bars);
/// `Barhold.try_larger_count`: the last `count` bars of the smallest cached count >= count.
py::object try_larger_count(py::handle self, py::handle symbol, py::handle period,
                            py::handle adjust, py::handle count);
/// `Barhold.invalidate`: drops every key of the symbol, returns how many.
py::object invalidate(py::handle self, py::handle symbol);

} // namespace korvanta::barhold
