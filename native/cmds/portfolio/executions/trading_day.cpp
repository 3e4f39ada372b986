// cmds/portfolio/executions/trading_day.cpp: the trading day of a fill, one session running
// from 18:00 Eastern to 18:00 Eastern the next day, with no weekend or holiday rule.
#include "cmds/portfolio/executions/executions.hpp"

#include "host/host.hpp"

#include <pybind11/numpy.h>

#include <cstdint>

namespace korvanta::executions {

namespace host = korvanta::host;

namespace {

constexpr int session_start_hour = 18;

py::object eastern() { return host::global<"pytz">().attr("timezone")("US/Eastern"); }

} // namespace

py::object assign_trading_day(py::handle timestamp) {
    // A missing time has no trading day: NaT goes through, as pandas' own date operations
    // pass it on.
    py::object nat = host::global<"pd">().attr("NaT");
    if (timestamp.is(nat))
        return nat;
    py::object local = py::reinterpret_borrow<py::object>(timestamp);
    py::object zone = local.attr("tzinfo");
    // A time without a zone is Eastern time already.
    if (!zone.is_none() && !zone.attr("utcoffset")(local).is_none())
        local = local.attr("astimezone")(eastern());
    py::object day = local.attr("date")();
    if (bridge::compare(local.attr("hour"), py::int_(session_start_hour), Py_GE))
        day = day + py::module_::import("datetime").attr("timedelta")(py::arg("days") = 1);
    return host::global<"pd">().attr("Timestamp")(day);
}

py::object trading_days(py::handle index) {
    // Eastern wall clock of each fill in whole seconds; numpy's cast to seconds floors.
    py::array_t<std::int64_t> seconds = index.attr("tz_convert")(eastern())
                                            .attr("tz_localize")(py::none())
                                            .attr("to_numpy")()
                                            .attr("astype")("datetime64[s]")
                                            .attr("astype")("int64");
    auto in = seconds.unchecked<1>();
    const py::ssize_t n = in.shape(0);
    py::array_t<std::int64_t> days(n);
    auto out = days.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) {
        const std::int64_t s = in(i);
        std::int64_t day = s / 86400 - (s % 86400 < 0);
        const std::int64_t hour = (s - day * 86400) / 3600;
        out(i) = (day + (hour >= session_start_hour)) * 86400;
    }
    // Midnight of the day as `pd.Timestamp(date)` gives it: second resolution, no zone.
    return days.attr("astype")("datetime64[s]");
}

} // namespace korvanta::executions
