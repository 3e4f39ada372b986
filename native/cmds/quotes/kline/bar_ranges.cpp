// cmds/quotes/kline/bar_ranges.cpp: bars of a date range, by the exchange's calendar.
#include "cmds/quotes/kline/bar_ranges.hpp"

#include "bridge/datetimes.hpp"
#include "host/host.hpp"

#include <cstdint>

namespace korvanta::kline {

namespace {

using bridge::checked;
using bridge::compare;
using bridge::datetime_on;
using bridge::epoch_days;
using bridge::need_datetime_api;
using bridge::truth;
using bridge::wall_clock_micros;
using host::global;
using host::name;

constexpr std::int64_t micros_per_day = 86400LL * 1000000;

/// The instants of a range of exchange days, [first midnight, midnight after the last),
/// in each form a bar's date may take.
struct DayBounds {
    std::int64_t first_day, last_day;      // epoch days of start and end (plain dates)
    std::int64_t naive_from, naive_until;  // wall-clock micros (naive times)
    std::int64_t utc_from, utc_until;      // UTC micros (UTC times, the gateway's)
    py::object aware_from, aware_until;    // aware datetimes (other zones)
    py::object plain_from, plain_until;    // naive datetimes (datetime subclasses)
    py::object start, end;                 // the dates themselves (anything else)

    DayBounds(py::handle first, py::handle last)
        : start(py::reinterpret_borrow<py::object>(first)),
          end(py::reinterpret_borrow<py::object>(last)) {
        need_datetime_api();
        if (!PyDate_Check(first.ptr()) || !PyDate_Check(last.ptr()))
            throw py::type_error("a date range needs two dates");
        py::object one_day = checked(PyDelta_FromDSU(1, 0, 0));
        py::object after = checked(PyNumber_Add(last.ptr(), one_day.ptr()));
        first_day = epoch_days(first.ptr());
        last_day = epoch_days(last.ptr());
        naive_from = first_day * micros_per_day;
        naive_until = epoch_days(after.ptr()) * micros_per_day;
        // Midnight by the zone's rules: on a day whose midnight is skipped, the first
        // instant that exists.
        py::object zone = global<"_EXCHANGE_TZ">();
        aware_from = datetime_on(first, 0, 0, 0, zone);
        aware_until = datetime_on(after, 0, 0, 0, zone);
        utc_from = utc_micros(aware_from);
        utc_until = utc_micros(aware_until);
        plain_from = datetime_on(first, 0, 0, 0, py::none());
        plain_until = datetime_on(after, 0, 0, 0, py::none());
    }

    static std::int64_t utc_micros(py::handle aware) {
        py::object utc = aware.attr("astimezone")(py::handle(PyDateTime_TimeZone_UTC));
        return wall_clock_micros(utc.ptr());
    }

    bool holds(PyObject *value) const {
        if (PyDateTime_CheckExact(value)) {
            PyObject *zone = PyDateTime_DATE_GET_TZINFO(value);
            if (zone == Py_None)
                return in(wall_clock_micros(value), naive_from, naive_until);
            if (zone == PyDateTime_TimeZone_UTC)
                return in(wall_clock_micros(value), utc_from, utc_until);
            return in(value, aware_from, aware_until);
        }
        if (PyDate_CheckExact(value)) {
            const std::int64_t day = epoch_days(value);
            return first_day <= day && day <= last_day;
        }
        if (PyDateTime_Check(value)) {
            const bool aware = !checked(PyObject_CallMethod(value, "utcoffset", nullptr)).is_none();
            return aware ? in(value, aware_from, aware_until) : in(value, plain_from, plain_until);
        }
        return compare(start, value, Py_LE) && compare(value, end, Py_LE);
    }

    static bool in(std::int64_t at, std::int64_t from, std::int64_t until) {
        return from <= at && at < until;
    }
    static bool in(PyObject *value, py::handle from, py::handle until) {
        return compare(from, value, Py_LE) && compare(value, until, Py_LT);
    }
};

} // namespace

py::list bars_between(py::handle bars, py::handle start, py::handle end) {
    py::list kept;
    if (bars.is_none())
        return kept;
    const DayBounds bounds(start, end);
    for (py::handle bar : bars) {
        py::object date = checked(PyObject_GetAttr(bar.ptr(), name<"date">().ptr()));
        if (bounds.holds(date.ptr()))
            kept.append(bar);
    }
    return kept;
}

py::object rows_between(py::handle hist, py::handle start, py::handle end) {
    py::object index = hist.attr("index");
    // A DatetimeIndex gives its dates on its own clock; an index of plain dates is one.
    py::object days = index;
    if (PyObject_HasAttrWithError(index.ptr(), name<"date">().ptr()) > 0)
        days = index.attr("date");
    else if (PyErr_Occurred())
        throw py::error_already_set();
    py::object from = checked(PyObject_RichCompare(days.ptr(), start.ptr(), Py_GE));
    py::object until = checked(PyObject_RichCompare(days.ptr(), end.ptr(), Py_LE));
    py::object inside = checked(PyNumber_And(from.ptr(), until.ptr()));
    if (truth(inside.attr("all")()))
        return py::reinterpret_borrow<py::object>(hist);
    return hist.attr("loc")[inside];
}

py::object exchange_day_start(py::handle day) {
    return datetime_on(day, 0, 0, 0, global<"_EXCHANGE_TZ">());
}

py::object exchange_day_end(py::handle day) {
    return datetime_on(day, 23, 59, 59, global<"_EXCHANGE_TZ">());
}

py::object latest_today() {
    // The module's clock, so that a test can stop it.
    py::object clock = global<"datetime">().attr("datetime");
    py::object local = clock.attr("now")().attr("date")();
    py::object exchange = clock.attr("now")(global<"_EXCHANGE_TZ">()).attr("date")();
    return compare(exchange, local, Py_GT) ? exchange : local;
}

} // namespace korvanta::kline
