// cmds/quotes/kline/periods.cpp: period tables, word helpers and the module's bar cache.
#include "cmds/quotes/kline/periods.hpp"

#include "host/host.hpp"

#include <cmath>
#include <utility>

namespace korvanta::kline {

namespace {

using bridge::checked;
using host::global;
using host::name;

// Leaked on purpose, like host::name: static py::objects would be released after the
// interpreter is gone.
Vocabulary *tables = nullptr;
PyObject *date_shape = nullptr;        // compiled "^\d{4}-\d{2}-\d{2}$"
PyObject *module_namespace = nullptr;  // borrowed from the module, which outlives us
// The module's own `_get_cache`, held for the module's life so that its address stays its own.
PyObject *own_get_cache = nullptr;

bool equals(py::handle left, py::handle right) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

template <typename Value>
py::dict make_table(std::initializer_list<std::pair<const char *, Value>> entries) {
    py::dict table;
    for (const auto &[key, value] : entries)
        table[py::str(key)] = value;
    return table;
}

py::set make_set(std::initializer_list<const char *> words) {
    py::set set;
    for (const char *word : words)
        set.add(py::str(word));
    return set;
}

} // namespace

void bind_vocabulary(py::module_ module) {
    module_namespace = PyModule_GetDict(module.ptr());
    tables = new Vocabulary{
        make_table<const char *>({{"1m", "1 min"},
                                  {"5m", "5 mins"},
                                  {"15m", "15 mins"},
                                  {"30m", "30 mins"},
                                  {"1h", "1 hour"},
                                  {"day", "1 day"},
                                  {"week", "1 week"},
                                  {"month", "1 month"},
                                  {"year", "1 month"},
                                  {"minute", "1 min"},
                                  {"hour", "1 hour"},
                                  {"d", "1 day"},
                                  {"w", "1 week"},
                                  {"m", "1 month"},
                                  {"y", "1 month"},
                                  {"1d", "1 day"},
                                  {"1mo", "1 month"}}),
        make_set({"adj", "forward"}),
        make_table<int>({{"1 secs", 1},
                         {"1 min", 60},
                         {"5 mins", 300},
                         {"15 mins", 900},
                         {"30 mins", 1800},
                         {"1 hour", 3600},
                         {"1 day", 86400},
                         {"1 week", 604800},
                         {"1 month", 2592000}}),
        make_table<int>({{"1m", 120},
                         {"5m", 78},
                         {"15m", 130},
                         {"30m", 130},
                         {"1h", 130},
                         {"day", 250},
                         {"week", 156},
                         {"month", 60},
                         {"year", 120}}),
        make_table<double>({{"day", 1.4}, {"week", 1.02}}),
        make_table<const char *>({{"1m", "5d"},
                                  {"5m", "5d"},
                                  {"15m", "1mo"},
                                  {"30m", "1mo"},
                                  {"1h", "6mo"},
                                  {"day", "5y"},
                                  {"week", "max"},
                                  {"month", "max"},
                                  {"year", "max"}}),
        make_table<const char *>({{"1m", "1m"},
                                  {"5m", "5m"},
                                  {"15m", "15m"},
                                  {"30m", "30m"},
                                  {"1h", "60m"},
                                  {"day", "1d"},
                                  {"week", "1wk"},
                                  {"month", "1mo"},
                                  {"year", "1mo"}}),
        make_set({"1m", "5m", "15m", "30m", "1h", "minute", "hour"}),
    };
    module.attr("PERIOD_MAP") = tables->period_map;
    module.attr("ADJUST_KEYWORDS") = tables->adjust_keywords;
    module.attr("BAR_SECONDS") = tables->bar_seconds;
    module.attr("PERIOD_DEFAULT_COUNT") = tables->period_default_count;
    module.attr("DURATION_FACTOR") = tables->duration_factor;
    module.attr("YF_PERIOD") = tables->yf_period;
    module.attr("YF_INTERVAL") = tables->yf_interval;
    module.attr("_INTRADAY_PERIODS") = tables->intraday_periods;

    // The interpreter's own regular expression, so `\d` and `$` keep their semantics
    // (any decimal digit; end or before one final newline).
    py::object pattern = py::module_::import("re").attr("compile")(R"(^\d{4}-\d{2}-\d{2}$)");
    date_shape = pattern.release().ptr();
}

const Vocabulary &vocabulary() { return *tables; }

bool table_has(py::handle table, py::handle key) {
    int found = PySequence_Contains(table.ptr(), key.ptr());
    if (found < 0)
        throw py::error_already_set();
    return found != 0;
}

py::object canonical_period(py::handle period_map, py::handle period) {
    py::object size = bridge::get_or(period_map, period, py::none());
    if (!size.is_none()) {
        for (py::handle word : period_map) {
            if (equals(checked(PyObject_GetItem(period_map.ptr(), word.ptr())), size))
                return py::reinterpret_borrow<py::object>(word);
        }
    }
    return py::reinterpret_borrow<py::object>(period);
}

bool use_rth(py::handle period) { return !table_has(tables->intraday_periods, period); }

bool is_date(py::handle s) {
    // Text of any other length is neither word nor date (the pattern spans ten characters,
    // or eleven ending in "\n"): a period or count word is told apart by its length alone.
    if (PyUnicode_CheckExact(s.ptr())) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(s.ptr());
        if (length != 5 && length != 9 && length != 10 && length != 11)
            return false;
    }
    if (equals(s, name<"today">()) || equals(s, name<"yesterday">()))
        return true;
    if (PyUnicode_Check(s.ptr())) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(s.ptr());
        if (length != 10 && length != 11)
            return false;
    }
    return !checked(PyObject_CallMethodOneArg(date_shape, name<"match">().ptr(), s.ptr()))
                .is_none();
}

bool is_period(py::handle s) { return table_has(tables->period_map, s); }

py::object parse_date(py::handle s) {
    // Through the module's `datetime`, so that a test can stop the clock.
    py::object datetime = global<"datetime">();
    if (equals(s, name<"today">()))
        return datetime.attr("datetime").attr("now")().attr("date")();
    if (equals(s, name<"yesterday">())) {
        py::object today = datetime.attr("datetime").attr("now")().attr("date")();
        py::object one_day = datetime.attr("timedelta")(py::arg("days") = 1);
        return checked(PyNumber_Subtract(today.ptr(), one_day.ptr()));
    }
    return datetime.attr("datetime").attr("fromisoformat")(s).attr("date")();
}

py::object calc_duration(py::handle back_days) {
    static py::handle limit = PyLong_FromLong(365);
    static py::handle empty = PyUnicode_FromString("");
    int in_days = PyObject_RichCompareBool(back_days.ptr(), limit.ptr(), Py_LE);
    if (in_days < 0)
        throw py::error_already_set();
    if (in_days) {
        py::object text = checked(PyObject_Format(back_days.ptr(), empty.ptr()));
        return checked(PyUnicode_FromFormat("%U D", text.ptr()));
    }
    py::object years = checked(PyNumber_TrueDivide(back_days.ptr(), limit.ptr()));
    py::object whole = math_ceil(years);
    py::object text = checked(PyObject_Format(whole.ptr(), empty.ptr()));
    return checked(PyUnicode_FromFormat("%U Y", text.ptr()));
}

py::object math_ceil(py::handle x) {
    // float.__ceil__ is this very conversion, errors for inf and nan included.
    if (PyFloat_CheckExact(x.ptr()))
        return checked(PyLong_FromDouble(std::ceil(PyFloat_AS_DOUBLE(x.ptr()))));
    return global<"math">().attr("ceil")(x);
}

py::object strip_tz(py::object df) {
    try {
        py::object column = checked(PyObject_GetItem(df.ptr(), name<"date">().ptr()));
        py::object naive = column.attr("dt").attr("tz_localize")(py::none());
        if (PyObject_SetItem(df.ptr(), name<"date">().ptr(), naive.ptr()) < 0)
            throw py::error_already_set();
    } catch (py::error_already_set &e) {
        // Frames of plain dates or text have no datetime accessor: left as they are.
        if (!e.matches(PyExc_Exception))
            throw;
    }
    return df;
}

py::object get_cache() {
    py::object cache = global<"_barhold">();
    if (cache.is_none()) {
        cache = global<"Barhold">()();
        if (PyDict_SetItem(module_namespace, name<"_barhold">().ptr(), cache.ptr()) < 0)
            throw py::error_already_set();
    }
    return cache;
}

void own_get_cache_is(py::handle function) { own_get_cache = Py_NewRef(function.ptr()); }

py::object module_cache() {
    py::object function = global<"_get_cache">();
    if (function.ptr() == own_get_cache)
        return get_cache();
    return checked(PyObject_CallNoArgs(function.ptr()));
}

} // namespace korvanta::kline
