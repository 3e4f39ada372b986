// gateway/barhold/module.cpp: the `korvanta.gateway.barhold` module and its `Barhold` class.
//
// `Barhold` is a plain Python class (its only base is `object`, so Python code can subclass
// it) whose methods are vectorcall builtins: argument checks here, logic in barhold.cpp.
#include "bridge/args.hpp"
#include "bridge/checks.hpp"
#include "gateway/barhold/api.hpp"
#include "gateway/barhold/barhold.hpp"
#include "host/host.hpp"

#include <string_view>

namespace {

namespace py = pybind11;
namespace barhold = korvanta::barhold;
using korvanta::bridge::bind_arguments;
using korvanta::bridge::builtin;
using korvanta::bridge::fastcall_entry;
using korvanta::bridge::checked;
using korvanta::bridge::fail_import;
using korvanta::bridge::guarded;
using korvanta::bridge::require_dict;
using korvanta::bridge::require_list;
using korvanta::bridge::require_str;
using korvanta::bridge::to_int;

constexpr const char *module_doc = R"(K-line query result cache using DualCache (memory + diskcache).

Cache key scheme:
  count mode:  {SYMBOL}:{period}:{adjust}:count_{N}
               Example: SPY:day:none:count_250
  range mode:  {SYMBOL}:{period}:{adjust}:{start}_{end}
               Example: SPY:1m:none:20260520_20260527

Storage:
  L1: DualCache in-memory dict (~30ns read)
  L2: diskcache SQLite at ~/.korvanta/cache-kline/

Staleness:
  get() discards entries older than STALE_AFTER per period.
  try_larger_count() inherits this check via get().
  While the market is closed, an entry holding the last finished session's bars
  stays until the next session opens.
  set() keeps finished bars only: a list whose newest intraday bar is still
  forming is not stored.
)";

#define BARHOLD_METHOD(fn)                                                                    \
    PyObject *fn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)

BARHOLD_METHOD(py_init) {
    PyObject *a[2];
    if (!bind_arguments("Barhold.__init__", args, nargs, kwnames, {"self", "data_dir"}, 1, a))
        return nullptr;
    return guarded([&] {
        barhold::init(a[0], a[1] ? a[1] : Py_None);
        return py::none();
    });
}

/// `Barhold.count_key` once its arguments are bound; also the capsule's entry.
PyObject *call_count_key(PyObject *symbol, PyObject *period, PyObject *adjust, PyObject *count) {
    return guarded([&] {
        const char *fn = "Barhold.count_key";
        require_str(symbol, fn, "symbol");
        require_str(period, fn, "period");
        require_str(adjust, fn, "adjust");
        return barhold::count_key(symbol, period, adjust, to_int(count, fn, "count"));
    });
}

BARHOLD_METHOD(py_count_key) {
    PyObject *a[4];
    if (!bind_arguments("Barhold.count_key", args, nargs, kwnames,
                        {"symbol", "period", "adjust", "count"}, 4, a))
        return nullptr;
    return call_count_key(a[0], a[1], a[2], a[3]);
}

BARHOLD_METHOD(py_intraday_key) {
    PyObject *a[1];
    const char *fn = "Barhold.intraday_key";
    if (!bind_arguments(fn, args, nargs, kwnames, {"symbol"}, 1, a))
        return nullptr;
    return guarded([&] {
        require_str(a[0], fn, "symbol");
        return barhold::intraday_key(a[0]);
    });
}

BARHOLD_METHOD(py_range_key) {
    PyObject *a[5];
    const char *fn = "Barhold.range_key";
    if (!bind_arguments(fn, args, nargs, kwnames, {"symbol", "period", "adjust", "start", "end"},
                        5, a))
        return nullptr;
    return guarded([&] {
        const char *names[] = {"symbol", "period", "adjust", "start", "end"};
        for (int i = 0; i < 5; ++i)
            require_str(a[i], fn, names[i]);
        return barhold::range_key(a[0], a[1], a[2], a[3], a[4]);
    });
}

/// `Barhold.get` once its arguments are bound; also the capsule's entry.
PyObject *call_get(PyObject *self, PyObject *key) {
    return guarded([&] {
        require_str(key, "Barhold.get", "key");
        return barhold::get(self, key);
    });
}

BARHOLD_METHOD(py_get) {
    PyObject *a[2];
    if (!bind_arguments("Barhold.get", args, nargs, kwnames, {"self", "key"}, 2, a))
        return nullptr;
    return call_get(a[0], a[1]);
}

BARHOLD_METHOD(py_is_stale) {
    PyObject *a[2];
    const char *fn = "Barhold._is_stale";
    if (!bind_arguments(fn, args, nargs, kwnames, {"entry", "key"}, 2, a))
        return nullptr;
    return guarded([&] {
        require_dict(a[0], fn, "entry");
        require_str(a[1], fn, "key");
        return py::bool_(barhold::is_stale(a[0], a[1]));
    });
}

BARHOLD_METHOD(py_set) {
    PyObject *a[3];
    const char *fn = "Barhold.set";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "key", "bars"}, 3, a))
        return nullptr;
    return guarded([&] {
        require_str(a[1], fn, "key");
        require_list(a[2], fn, "bars");
        barhold::set(a[0], a[1], a[2]);
        return py::none();
    });
}

BARHOLD_METHOD(py_try_larger_count) {
    PyObject *a[5];
    const char *fn = "Barhold.try_larger_count";
    if (!bind_arguments(fn, args, nargs, kwnames,
                        {"self", "symbol", "period", "adjust", "count"}, 5, a))
        return nullptr;
    return guarded([&] {
        require_str(a[1], fn, "symbol");
        require_str(a[2], fn, "period");
        require_str(a[3], fn, "adjust");
        return barhold::try_larger_count(a[0], a[1], a[2], a[3], to_int(a[4], fn, "count"));
    });
}

BARHOLD_METHOD(py_invalidate) {
    PyObject *a[2];
    const char *fn = "Barhold.invalidate";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "symbol"}, 2, a))
        return nullptr;
    return guarded([&] {
        require_str(a[1], fn, "symbol");
        return barhold::invalidate(a[0], a[1]);
    });
}

#undef BARHOLD_METHOD

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// The text before "--" is the signature inspect reads; an empty rest leaves __doc__ None.
PyMethodDef method_defs[] = {
    {"__init__", fastcall_entry(py_init), fastcall,
     "__init__(self, data_dir=None)\n--\n\n"},
    {"count_key", fastcall_entry(py_count_key), fastcall,
     "count_key(symbol, period, adjust, count)\n--\n\n"},
    {"intraday_key", fastcall_entry(py_intraday_key), fastcall,
     "intraday_key(symbol)\n--\n\n"},
    {"range_key", fastcall_entry(py_range_key), fastcall,
     "range_key(symbol, period, adjust, start, end)\n--\n\n"},
    {"get", fastcall_entry(py_get), fastcall, "get(self, key)\n--\n\n"},
    {"_is_stale", fastcall_entry(py_is_stale), fastcall,
     "_is_stale(entry, key)\n--\n\n"},
    {"set", fastcall_entry(py_set), fastcall, "set(self, key, bars)\n--\n\n"},
    {"try_larger_count", fastcall_entry(py_try_larger_count), fastcall,
     "try_larger_count(self, symbol, period, adjust, count)\n--\n\n"
     "Find smallest cached count_N >= count, return last `count` bars.\n\n"
     "        Enables seamless cache reuse: if count_500 is cached, a request for\n"
     "        count_100 returns bars[-100:] without touching IBKR.\n"
     "        "},
    {"invalidate", fastcall_entry(py_invalidate), fastcall,
     "invalidate(self, symbol)\n--\n\n"},
};

constexpr bool is_static(std::string_view name) {
    return name == "count_key" || name == "intraday_key" || name == "range_key" ||
           name == "_is_stale";
}

// Filled in as the class is built; lives as long as the process, as the capsule does.
barhold::BarholdApi api = {nullptr, nullptr, nullptr, call_count_key, call_get};

py::object define_barhold(py::module_ &m) {
    py::dict body;
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = "Barhold";
    for (PyMethodDef &def : method_defs) {
        py::object function = builtin(def, m.attr("__name__"));
        if (std::string_view(def.ml_name) == "count_key")
            api.count_key = Py_NewRef(function.ptr());
        else if (std::string_view(def.ml_name) == "get")
            api.get = Py_NewRef(function.ptr());
        PyObject *wrapped = is_static(def.ml_name) ? PyStaticMethod_New(function.ptr())
                                                   : PyInstanceMethod_New(function.ptr());
        if (!wrapped)
            throw py::error_already_set();
        body[def.ml_name] = py::reinterpret_steal<py::object>(wrapped);
    }
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        "Barhold", py::make_tuple(py::reinterpret_borrow<py::object>(
                       reinterpret_cast<PyObject *>(&PyBaseObject_Type))),
        body);
}

/// `ZoneInfo(name)` for the exchange zone; an import error naming the variable, its value
/// and the reason when the zone cannot be had.
py::object exchange_zone(py::handle zone_info, py::handle zone_name) {
    try {
        return zone_info(zone_name);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        // ZoneInfoNotFoundError is a KeyError and says no more than the message below; the
        // other failures (a malformed name, a file that is no zone) carry their own reason.
        py::object message =
            e.matches(PyExc_KeyError)
                ? checked(PyUnicode_FromFormat(
                      "KORVANTA_EXCHANGE_TZ=%R is not a time zone the system knows",
                      zone_name.ptr()))
                : checked(PyUnicode_FromFormat(
                      "KORVANTA_EXCHANGE_TZ=%R is not a time zone the system knows (%S)",
                      zone_name.ptr(), e.value().ptr()));
        fail_import(message);
    }
}

} // namespace

PYBIND11_MODULE(barhold, m) {
    namespace host = korvanta::host;
    host::bind_module(m);
    m.doc() = module_doc;

    m.attr("os") = py::module_::import("os");
    m.attr("time") = py::module_::import("time");
    barhold::remember_clock(m.attr("time"));
    py::module_ datetime = py::module_::import("datetime");
    m.attr("date_type") = datetime.attr("date");
    m.attr("datetime") = datetime.attr("datetime");
    host::import_names("pathlib", {"Path"});
    host::import_names("zoneinfo", {"ZoneInfo"});
    host::import_names("quodra.dualcache", {"DualCache"});
    host::import_names("korvanta.closed_hours", {"current_while_closed", "still_forming"});

    py::dict stale_after;
    for (auto [period, seconds] : {std::pair{"1m", 60}, {"5m", 300}, {"15m", 900}, {"30m", 1800},
                                   {"1h", 3600}, {"day", 86400}, {"week", 259200},
                                   {"month", 604800}, {"year", 604800}, {"intraday", 120}})
        stale_after[period] = seconds;
    m.attr("STALE_AFTER") = stale_after;

    py::object zone_name =
        m.attr("os").attr("environ").attr("get")("KORVANTA_EXCHANGE_TZ", "America/New_York");
    m.attr("_EXCHANGE_TZ") = exchange_zone(m.attr("ZoneInfo"), zone_name);
    py::object barhold_class = define_barhold(m);
    api.barhold_class = Py_NewRef(barhold_class.ptr());
    m.attr("Barhold") = barhold_class;
    m.attr("__barhold_api__") = checked(PyCapsule_New(&api, barhold::api_capsule_name, nullptr));
}
