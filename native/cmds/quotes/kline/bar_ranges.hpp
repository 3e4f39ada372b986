// cmds/quotes/kline/bar_ranges.hpp: which bars belong to a date range, by the exchange's
// calendar.
//
// Both sources answer whole sessions or more than was asked (the gateway counts its
// look-back in sessions, yfinance may round), so the history modes keep exactly the bars
// whose date lies in [start, end], both ends included.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// The gateway bars of `bars` (any iterable, None for none) whose `date` falls on a day
/// from `start` to `end` (`datetime.date`s) in the exchange zone (`_EXCHANGE_TZ`), in their
/// order. Zone-aware times count by the exchange's clock, naive times are read as exchange
/// time, plain dates as they are; a date of no date type fails as Python's comparison does.
py::list bars_between(py::handle bars, py::handle start, py::handle end);

/// The rows of a yfinance `history` frame whose index date, on the frame's own clock (the
/// listing exchange's), lies from `start` to `end`; `hist` itself when every row does.
py::object rows_between(py::handle hist, py::handle start, py::handle end);

/// The first instant of `day` in the exchange zone, as an aware datetime (on a day whose
/// midnight is skipped, the first that exists): where a range's look-back must reach.
py::object exchange_day_start(py::handle day);

/// The last second of `day` in the exchange zone, as an aware datetime: the request end
/// that covers the whole of that exchange day on any machine's clock.
py::object exchange_day_end(py::handle day);

/// Today's date by the local clock or by the exchange's, whichever is later: a look-back
/// counted from it reaches every bar the gateway could call today's.
py::object latest_today();

} // namespace korvanta::kline
