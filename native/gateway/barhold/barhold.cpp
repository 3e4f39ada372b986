// gateway/barhold/barhold.cpp: entries, staleness, larger-count reuse and invalidation.
#include "gateway/barhold/barhold.hpp"

#include "bridge/datetimes.hpp"
#include "host/host.hpp"

namespace korvanta::barhold {

namespace {

using bridge::call_method;
using bridge::checked;
using bridge::compare;
using bridge::get_or;
using bridge::truth;
using host::global;
using host::name;

// The `time` module and its `time` function as this module was built with them; held for
// the life of the process, so neither address can be taken by another object.
PyObject *time_module = nullptr;
PyObject *time_namespace = nullptr;
PyObject *original_time = nullptr;
bool original_time_entry = false;

/// `time.time()` through the module's `time`, so a test can move the clock. While both are
/// the ones the module was built with, the function's C entry is called straight away,
/// skipping the attribute lookup and the call protocol: read through the entry rather than
/// from the system clock, a clock that test tools swap in underneath the function object
/// is honoured too.
py::object now() {
    py::object clock = global<"time">();
    if (clock.ptr() == time_module) {
        PyObject *function = PyDict_GetItemWithError(time_namespace, name<"time">().ptr());
        if (function == original_time && original_time_entry) {
            PyCFunction entry = PyCFunction_GET_FUNCTION(original_time);
            return checked(entry(PyCFunction_GET_SELF(original_time), nullptr));
        }
        if (!function && PyErr_Occurred())
            throw py::error_already_set();
    }
    PyObject *stack[] = {clock.ptr()};
    return checked(PyObject_VectorcallMethod(name<"time">().ptr(), stack,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The period field read last. Reads of one series repeat it; handed out again, it brings
// its hash along to the table lookup.
PyObject *last_period = nullptr;

/// Whether `text[start:end]` is the same text as `field`.
bool field_is(PyObject *text, Py_ssize_t start, Py_ssize_t end, PyObject *field) {
    if (PyUnicode_GET_LENGTH(field) != end - start)
        return false;
    Py_ssize_t match = PyUnicode_Tailmatch(text, field, start, end, -1);
    if (match < 0)
        throw py::error_already_set();
    return match == 1;
}

/// The period field of a key: the text between its first and second ":", "day" without ":".
py::object key_period(py::handle key) {
    PyObject *text = key.ptr();
    Py_ssize_t length = PyUnicode_GetLength(text);
    Py_ssize_t first = PyUnicode_FindChar(text, ':', 0, length, 1);
    if (first == -2)
        throw py::error_already_set();
    if (first == -1)
        return py::reinterpret_borrow<py::object>(name<"day">());
    Py_ssize_t second = PyUnicode_FindChar(text, ':', first + 1, length, 1);
    if (second == -2)
        throw py::error_already_set();
    const Py_ssize_t end = second == -1 ? length : second;
    if (last_period && field_is(text, first + 1, end, last_period))
        return py::reinterpret_borrow<py::object>(last_period);
    py::object period = checked(PyUnicode_Substring(text, first + 1, end));
    Py_XSETREF(last_period, Py_NewRef(period.ptr()));
    return period;
}

/// The last bar's time in the exchange zone: its clock reading re-labelled, not converted;
/// midnight for a plain date; None for anything else.
py::object exchange_time(py::handle last_date) {
    bridge::need_datetime_api();
    PyObject *value = last_date.ptr();
    py::object zone = global<"_EXCHANGE_TZ">();
    if (PyDateTime_Check(value)) {
        return checked(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
            PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value),
            PyDateTime_DATE_GET_HOUR(value), PyDateTime_DATE_GET_MINUTE(value),
            PyDateTime_DATE_GET_SECOND(value), PyDateTime_DATE_GET_MICROSECOND(value),
            zone.ptr(), PyDateTime_DATE_GET_FOLD(value), PyDateTimeAPI->DateTimeType));
    }
    if (PyDate_Check(value)) {
        return checked(PyDateTimeAPI->DateTime_FromDateAndTime(
            PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value), 0,
            0, 0, 0, zone.ptr(), PyDateTimeAPI->DateTimeType));
    }
    return py::none();
}

/// Whether an entry the age rules call stale holds the latest bars all the same: its
/// market has been closed since the session its last bar ends (`current_while_closed`, read
/// from the module at each call). Only ever asked once those rules said stale, so fresh
/// reads never reach the calendar.
bool current_while_closed(py::handle entry, py::handle key, py::handle cached_at,
                          py::handle clock) {
    py::object bars = get_or(entry, name<"bars">(), py::none());
    if (bars.is_none() || !truth(bars))
        return false;
    py::object last = checked(PySequence_GetItem(bars.ptr(), -1));
    py::object last_date = get_or(last, name<"date">(), py::none());
    return truth(bridge::call(global<"current_while_closed">(), key, last_date, cached_at, clock,
                              global<"_EXCHANGE_TZ">()));
}

/// Whether the newest of `bars` is an intraday bar still forming at `clock` (`still_forming`,
/// read from the module at each call). Only a dict record dated with a datetime is asked
/// about; the cache treats every other record as opaque.
bool newest_bar_forming(py::handle key, py::handle bars, py::handle clock) {
    Py_ssize_t size = PyList_GET_SIZE(bars.ptr());
    if (size == 0)
        return false;
    py::object last = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(bars.ptr(), size - 1));
    if (!PyDict_Check(last.ptr()))
        return false;
    py::object last_date = get_or(last, name<"date">(), py::none());
    bridge::need_datetime_api();
    if (!PyDateTime_Check(last_date.ptr()))
        return false;
    return truth(bridge::call(global<"still_forming">(), key, last_date, clock,
                              global<"_EXCHANGE_TZ">()));
}

py::object cache_of(py::handle self) { return self.attr(name<"cache">()); }

/// `key.startswith(prefix)`; the comparison itself for plain text keys.
bool starts_with(py::handle key, py::handle prefix) {
    if (PyUnicode_CheckExact(key.ptr())) {
        Py_ssize_t match = PyUnicode_Tailmatch(key.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (match < 0)
            throw py::error_already_set();
        return match == 1;
    }
    return truth(key.attr(name<"startswith">())(prefix));
}

/// A float, or an int that converts to one exactly; what the fast paths below accept.
bool as_double(py::handle value, double &out) {
    if (PyFloat_CheckExact(value.ptr())) {
        out = PyFloat_AS_DOUBLE(value.ptr());
        return true;
    }
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long whole = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow || whole > (1LL << 53) || whole < -(1LL << 53))
            return false;
        out = static_cast<double>(whole);
        return true;
    }
    return false;
}

/// `left - right > limit` with Python's arithmetic and comparison; doubles when exact.
bool exceeds(py::handle left, py::handle right, py::handle limit) {
    double l, r, m;
    if (as_double(left, l) && as_double(right, r) && as_double(limit, m))
        return l - r > m;
    py::object difference = checked(PyNumber_Subtract(left.ptr(), right.ptr()));
    return compare(difference, limit, Py_GT);
}

/// `bar_time.timestamp()` for an aware datetime: the wall clock less the zone's
/// `utcoffset`, rounded as timedelta.total_seconds() rounds. Falls back to the method
/// where the offset is not a plain timedelta or the count of microseconds is not exact
/// in a double.
py::object timestamp(py::handle bar_time) {
    PyObject *value = bar_time.ptr();
    PyObject *zone = PyDateTime_DATE_GET_TZINFO(value);
    py::object offset = call_method<"utcoffset">(zone, bar_time);
    if (PyDelta_CheckExact(offset.ptr())) {
        long long micros = bridge::wall_clock_micros(value);
        micros -= (PyDateTime_DELTA_GET_DAYS(offset.ptr()) * 86400LL +
                   PyDateTime_DELTA_GET_SECONDS(offset.ptr())) * 1000000LL +
                  PyDateTime_DELTA_GET_MICROSECONDS(offset.ptr());
        if (micros <= (1LL << 53) && micros >= -(1LL << 53))
            return py::float_(static_cast<double>(micros) / 1e6);
    }
    return bar_time.attr(name<"timestamp">())();
}

} // namespace

void remember_clock(py::handle time) {
    time_module = Py_NewRef(time.ptr());
    time_namespace = Py_NewRef(PyModule_GetDict(time.ptr()));
    original_time = checked(PyObject_GetAttr(time.ptr(), name<"time">().ptr())).release().ptr();
    // Only a builtin taking no arguments can be entered directly; anything else is called.
    original_time_entry = PyCFunction_Check(original_time) &&
                          PyCFunction_GET_FLAGS(original_time) == METH_NOARGS;
}

void init(py::handle self, py::handle data_dir) {
    py::object directory = py::reinterpret_borrow<py::object>(data_dir);
    if (directory.is_none()) {
        py::object os = global<"os">();
        py::object fallback = os.attr("path").attr("expanduser")("~/.korvanta");
        directory = os.attr("environ").attr("get")("KORVANTA_DATA_DIR", fallback);
    }
    py::object path = global<"Path">()(directory);
    py::str prefix(path.attr("__truediv__")("cache-"));
    self.attr(name<"cache">()) = global<"DualCache">()("kline", py::arg("cachePrefix") = prefix);
}

bool is_stale(py::handle entry, py::handle key) {
    static py::handle zero = PyLong_FromLong(0);
    static py::handle two = PyLong_FromLong(2);
    static py::handle one_day = PyLong_FromLong(86400);

    py::object cached_at = get_or(entry, name<"cached_at">(), zero);
    py::object period = key_period(key);
    py::object stale_after = get_or(global<"STALE_AFTER">(), period, one_day);
    py::object clock = now();
    if (exceeds(clock, cached_at, stale_after))
        return !current_while_closed(entry, key, cached_at, clock);

    py::object bars = get_or(entry, name<"bars">(), py::none());
    if (bars.is_none() || !truth(bars))
        return false;
    py::object last = checked(PySequence_GetItem(bars.ptr(), -1));
    py::object bar_time = exchange_time(get_or(last, name<"date">(), py::none()));
    if (bar_time.is_none())
        return false;
    py::object limit = checked(PyNumber_Multiply(two.ptr(), stale_after.ptr()));
    clock = now();
    return exceeds(clock, timestamp(bar_time), limit) &&
           !current_while_closed(entry, key, cached_at, clock);
}

py::object get(py::handle self, py::handle key) {
    py::object cache = cache_of(self);
    py::object entry = call_method<"get">(cache, key);
    if (entry.is_none())
        return py::none();
    // Looked up on the instance so that a subclass's rule applies.
    if (truth(call_method<"_is_stale">(self, entry, key))) {
        if (PyObject_DelItem(cache.ptr(), key.ptr()) < 0)
            throw py::error_already_set();
        return py::none();
    }
    py::object bars = get_or(entry, name<"bars">(), py::none());
    if (!bars.is_none() && !PyList_CheckExact(bars.ptr())) {
        PyErr_Format(PyExc_TypeError, "get() must return list[dict] | None, not %.200s",
                     Py_TYPE(bars.ptr())->tp_name);
        throw py::error_already_set();
    }
    return bars;
}

void set(py::handle self, py::handle key, py::handle bars) {
    py::object clock = now();
    // Only finished bars are kept: a forming one would be served later as it stood now.
    if (newest_bar_forming(key, bars, clock))
        return;
    py::dict entry;
    entry[name<"bars">()] = bars;
    entry[name<"cached_at">()] = clock;
    if (PyObject_SetItem(cache_of(self).ptr(), key.ptr(), entry.ptr()) < 0)
        throw py::error_already_set();
}

py::object try_larger_count(py::handle self, py::handle symbol, py::handle period,
                            py::handle adjust, py::handle count) {
    py::object prefix = checked(
        PyUnicode_FromFormat("%U:%U:%U:count_", symbol.ptr(), period.ptr(), adjust.ptr()));
    py::object zero = py::int_(0);
    py::object best_n = zero;
    py::object best_key;

    for (py::handle key : cache_of(self).attr(name<"keys">())()) {
        if (!starts_with(key, prefix))
            continue;
        py::object parts = key.attr(name<"split">())("_");
        PyObject *tail = PySequence_GetItem(parts.ptr(), -1);
        PyObject *n = tail ? PyNumber_Long(tail) : nullptr;
        Py_XDECREF(tail);
        if (!n) {
            // int() of the tail: a key whose tail is not a number is passed over.
            if (PyErr_ExceptionMatches(PyExc_ValueError) ||
                PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                continue;
            }
            throw py::error_already_set();
        }
        py::object number = py::reinterpret_steal<py::object>(n);
        if (compare(number, count, Py_GE) &&
            (compare(best_n, zero, Py_EQ) || compare(number, best_n, Py_LT))) {
            best_n = number;
            best_key = py::reinterpret_borrow<py::object>(key);
        }
    }
    if (!best_key)
        return py::none();

    py::object bars = self.attr(name<"get">())(best_key);
    if (bars.is_none() || !truth(bars))
        return py::none();
    py::object length = py::int_(PyObject_Length(bars.ptr()));
    if (PyErr_Occurred())
        throw py::error_already_set();
    if (!compare(length, count, Py_GE))
        return py::none();
    py::object start = checked(PyNumber_Negative(count.ptr()));
    py::object tail = checked(PySlice_New(start.ptr(), nullptr, nullptr));
    return checked(PyObject_GetItem(bars.ptr(), tail.ptr()));
}

py::object invalidate(py::handle self, py::handle symbol) {
    py::object prefix = checked(PyUnicode_FromFormat("%U:", symbol.ptr()));
    py::object cache = cache_of(self);
    // Collected first: deleting while the store iterates its keys is not safe.
    py::list doomed;
    for (py::handle key : cache.attr(name<"keys">())()) {
        if (starts_with(key, prefix))
            doomed.append(key);
    }
    for (py::handle key : doomed) {
        if (PyObject_DelItem(cache.ptr(), key.ptr()) < 0)
            throw py::error_already_set();
    }
    return py::int_(PyList_GET_SIZE(doomed.ptr()));
}

} // namespace korvanta::barhold
