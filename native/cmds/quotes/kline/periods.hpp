// cmds/quotes/kline/periods.hpp: the period vocabulary and the word helpers of `kline`.
//
// The tables are the very dict and set objects bound in the module namespace at import
// (`PERIOD_MAP`, `ADJUST_KEYWORDS`, ...); the helpers are the module functions `_use_rth`,
// `_is_date`, `_is_period`, `_parse_date`, `_calc_duration`, `_strip_tz` and `_get_cache`,
// callable from C++ without a trip through the namespace.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// The module tables, built once by `bind_vocabulary` and never modified.
struct Vocabulary {
    py::dict period_map;            // `PERIOD_MAP`: period word -> bar-size string
    py::set adjust_keywords;        // `ADJUST_KEYWORDS`
    py::dict bar_seconds;           // `BAR_SECONDS`: bar-size string -> seconds
    py::dict period_default_count;  // `PERIOD_DEFAULT_COUNT`: period -> bars
    py::dict duration_factor;       // `DURATION_FACTOR`: period -> look-back stretch
    py::dict yf_period;             // `YF_PERIOD`: period -> yfinance look-back
    py::dict yf_interval;           // `YF_INTERVAL`: period -> yfinance interval
    py::set intraday_periods;       // `_INTRADAY_PERIODS`
};

/// Builds the tables and binds them, in their order, in the module namespace.
void bind_vocabulary(py::module_ module);

/// The tables bound by `bind_vocabulary`.
const Vocabulary &vocabulary();

/// `key in table` for the table dicts and sets.
bool table_has(py::handle table, py::handle key);

/// The first word of `period_map` (a `PERIOD_MAP`) for the same bar size as `period`: an
/// alias's own period ("d" gives "day"); `period` itself where the table has no such word.
py::object canonical_period(py::handle period_map, py::handle period);

/// `_use_rth(period)`: true unless `period` is an intraday period word.
bool use_rth(py::handle period);

/// `_is_date(s)`: "today", "yesterday", or the shape YYYY-MM-DD (calendar not checked).
bool is_date(py::handle s);

/// `_is_period(s)`: `s` is a key of `PERIOD_MAP`.
bool is_period(py::handle s);

/// `_parse_date(s)`: a `datetime.date`; ValueError from `fromisoformat` for bad text.
py::object parse_date(py::handle s);

/// `_calc_duration(back_days)`: "N D" up to 365 days, whole years "N Y" above.
py::object calc_duration(py::handle back_days);

/// `math.ceil(x)`, done here for a float.
py::object math_ceil(py::handle x);

/// `_strip_tz(df)`: drops the time zone of the "date" column in place, swallowing any
/// ordinary exception; returns `df`.
py::object strip_tz(py::object df);

/// `_get_cache()`: the module's one `Barhold`, made on first use and kept in `_barhold`.
py::object get_cache();

/// Remembers the module's own `_get_cache` function, which `module_cache` answers for.
void own_get_cache_is(py::handle function);

/// What the module's `_get_cache` returns, looked up at each call: while it is the module's
/// own function its body runs here, a replacement is called.
py::object module_cache();

} // namespace korvanta::kline
