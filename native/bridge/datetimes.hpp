// bridge/datetimes.hpp: the `datetime` C API, ready, and the few readings the modules take
// of its objects.
#pragma once

#include <pybind11/pybind11.h>

#include <datetime.h>

#include <chrono>
#include <cstdint>

namespace korvanta::bridge {

namespace py = pybind11;

// datetime.h gives each translation unit its own `PyDateTimeAPI`: helpers reading it are
// local to each file that includes this one.
namespace {

/// Loads the `datetime` C API on first use; every caller of the macros below calls it first.
inline void need_datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw py::error_already_set();
    }
}

/// Days since 1970-01-01 of a date's (or datetime's) calendar reading.
inline std::int64_t epoch_days(PyObject *value) {
    using namespace std::chrono;
    const year_month_day day{year{PyDateTime_GET_YEAR(value)},
                             month{static_cast<unsigned>(PyDateTime_GET_MONTH(value))},
                             std::chrono::day{static_cast<unsigned>(PyDateTime_GET_DAY(value))}};
    return sys_days{day}.time_since_epoch().count();
}

/// Microseconds since the epoch of a datetime's wall-clock reading (its zone ignored).
inline std::int64_t wall_clock_micros(PyObject *value) {
    const std::int64_t seconds = epoch_days(value) * 86400 +
                                 PyDateTime_DATE_GET_HOUR(value) * 3600 +
                                 PyDateTime_DATE_GET_MINUTE(value) * 60 +
                                 PyDateTime_DATE_GET_SECOND(value);
    return seconds * 1000000 + PyDateTime_DATE_GET_MICROSECOND(value);
}

/// `datetime(day.year, day.month, day.day, hour, minute, second, tzinfo=zone)`; `zone`
/// None for a naive one.
inline py::object datetime_on(py::handle day, int hour, int minute, int second,
                              py::handle zone) {
    need_datetime_api();
    PyObject *made = PyDateTimeAPI->DateTime_FromDateAndTime(
        PyDateTime_GET_YEAR(day.ptr()), PyDateTime_GET_MONTH(day.ptr()),
        PyDateTime_GET_DAY(day.ptr()), hour, minute, second, 0, zone.ptr(),
        PyDateTimeAPI->DateTimeType);
    if (!made)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

} // namespace

} // namespace korvanta::bridge
