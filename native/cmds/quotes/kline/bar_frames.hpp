// cmds/quotes/kline/bar_frames.hpp: gateway bars as a frame, and a frame as bar records.
//
// Both give exactly what the plain pandas steps give (same columns, dtypes, values and
// record types); they only get there without pandas' per-row Python work where the
// input has the regular shape the gateway answers with, and take the pandas way otherwise.
#pragma once

#include <pybind11/pybind11.h>

namespace korvanta::kline {

namespace py = pybind11;

/// `_strip_tz(pd.DataFrame(bars).convert_dtypes())` with the "date" column first converted
/// to the exchange zone (`_EXCHANGE_TZ`): bar times read as the exchange's wall clock.
/// Naive times and plain dates are exchange readings already and stay as they are.
py::object bars_frame(py::handle bars);

/// `frame.to_dict(orient="records")`.
py::list frame_records(py::handle frame);

} // namespace korvanta::kline
