// cmds/quotes/kline/module.cpp: the `korvanta.cmds.quotes.kline` module and `IOpKline`.
//
// Module-level names, in the order a reader of the namespace meets them: the imports, the
// period tables, the word helpers, `_barhold`/`_get_cache`, `_normalize_yfinance_df`, then
// the command class. Functions and methods are vectorcall builtins whose argument checks
// live here; their logic lives in the sibling files.
#include "bridge/args.hpp"
#include "bridge/checks.hpp"
#include "bridge/task.hpp"
#include "cmds/quotes/kline/bar_cache.hpp"
#include "cmds/quotes/kline/gateway_modes.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "cmds/quotes/kline/yfinance_modes.hpp"
#include "host/host.hpp"

#include <string_view>

namespace {

namespace py = pybind11;
namespace kline = korvanta::kline;
namespace host = korvanta::host;
using korvanta::bridge::bind_arguments;
using korvanta::bridge::builtin;
using korvanta::bridge::fastcall_entry;
using korvanta::bridge::guarded;
using korvanta::bridge::require_list;
using korvanta::bridge::to_python;
using korvanta::bridge::unary;

constexpr const char *module_doc = "Command: kline\n\nCategory: Live Market Quotes\n";

constexpr const char *usage =
#include "usage.inc"
    ;

#define KLINE_FUNCTION(fn)                                                                    \
    PyObject *fn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)

// ==== Module functions =========================================================

py::object py_use_rth(py::handle period) { return py::bool_(kline::use_rth(period)); }
py::object py_is_date(py::handle s) { return py::bool_(kline::is_date(s)); }
py::object py_is_period(py::handle s) { return py::bool_(kline::is_period(s)); }
py::object py_parse_date(py::handle s) { return kline::parse_date(s); }
py::object py_calc_duration(py::handle days) { return kline::calc_duration(days); }
py::object py_strip_tz(py::handle df) {
    return kline::strip_tz(py::reinterpret_borrow<py::object>(df));
}

KLINE_FUNCTION(py_get_cache) {
    PyObject *a[1];
    if (!bind_arguments("_get_cache", args, nargs, kwnames, {}, 0, a))
        return nullptr;
    return guarded([] { return kline::get_cache(); });
}

// ==== IOpKline methods =========================================================

KLINE_FUNCTION(py_argmap) {
    PyObject *a[1];
    if (!bind_arguments("IOpKline.argmap", args, nargs, kwnames, {"self"}, 1, a))
        return nullptr;
    return guarded([] {
        py::object darg = host::global<"DArg">();
        py::handle str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
        py::object upper = str_type.attr("upper");
        py::list descriptors;
        descriptors.append(darg("symbol", py::arg("convert") = upper));
        descriptors.append(darg("*rest"));
        return descriptors;
    });
}

KLINE_FUNCTION(py_run) {
    PyObject *a[1];
    if (!bind_arguments("IOpKline.run", args, nargs, kwnames, {"self"}, 1, a))
        return nullptr;
    return guarded([&] {
        return to_python(kline::run(py::reinterpret_borrow<py::object>(a[0])),
                         host::name<"IOpKline.run">());
    });
}

KLINE_FUNCTION(py_kline) {
    PyObject *a[3];
    const char *fn = "IOpKline._kline";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "contract", "rest"}, 3, a))
        return nullptr;
    return guarded([&] {
        require_list(a[2], fn, "rest");
        return to_python(kline::kline(py::reinterpret_borrow<py::object>(a[0]),
                                      py::reinterpret_borrow<py::object>(a[1]),
                                      py::reinterpret_borrow<py::object>(a[2])),
                         host::name<"IOpKline._kline">());
    });
}

KLINE_FUNCTION(py_history) {
    PyObject *a[3];
    const char *fn = "IOpKline._history";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "contract", "rest"}, 3, a))
        return nullptr;
    return guarded([&] {
        require_list(a[2], fn, "rest");
        return to_python(kline::history(py::reinterpret_borrow<py::object>(a[0]),
                                        py::reinterpret_borrow<py::object>(a[1]),
                                        py::reinterpret_borrow<py::object>(a[2])),
                         fn);
    });
}

KLINE_FUNCTION(py_intraday) {
    PyObject *a[2];
    const char *fn = "IOpKline._intraday";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "contract"}, 2, a))
        return nullptr;
    return guarded([&] {
        return to_python(kline::intraday(py::reinterpret_borrow<py::object>(a[0]),
                                         py::reinterpret_borrow<py::object>(a[1])),
                         fn);
    });
}

#undef KLINE_FUNCTION

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// The text before "--" is the signature inspect reads; an empty rest leaves __doc__ None.
PyMethodDef function_defs[] = {
    {"_use_rth", fastcall_entry(unary<"_use_rth", "period", py_use_rth>),
     fastcall, "_use_rth(period)\n--\n\n"},
    {"_is_date", fastcall_entry(unary<"_is_date", "s", py_is_date>), fastcall,
     "_is_date(s)\n--\n\nCheck if string looks like a date (YYYY-MM-DD or known keyword)."},
    {"_is_period", fastcall_entry(unary<"_is_period", "s", py_is_period>),
     fastcall,
     "_is_period(s)\n--\n\nCheck if string matches a known period or alias."},
    {"_parse_date", fastcall_entry(unary<"_parse_date", "s", py_parse_date>),
     fastcall,
     "_parse_date(s)\n--\n\nParse date string to datetime.date. Supports 'today' and "
     "'yesterday'."},
    {"_calc_duration",
     fastcall_entry(unary<"_calc_duration", "back_days", py_calc_duration>),
     fastcall,
     "_calc_duration(back_days)\n--\n\nCalculate IBKR durationStr from number of days.\n\n"
     "    IBKR only accepts 'D' requests for \u2264365 days,\n"
     "    else it requires full years of retrieval.\n"
     "    "},
    {"_strip_tz", fastcall_entry(unary<"_strip_tz", "df", py_strip_tz>), fastcall,
     "_strip_tz(df)\n--\n\n"},
};

PyMethodDef get_cache_def = {"_get_cache", fastcall_entry(py_get_cache),
                             fastcall, "_get_cache()\n--\n\n"};

PyMethodDef method_defs[] = {
    {"argmap", fastcall_entry(py_argmap), fastcall, "argmap(self)\n--\n\n"},
    {"run", fastcall_entry(py_run), fastcall, "run(self)\n--\n\n"},
    {"_kline", fastcall_entry(py_kline), fastcall,
     "_kline(self, contract, rest)\n--\n\n"},
    {"_history", fastcall_entry(py_history), fastcall,
     "_history(self, contract, rest)\n--\n\n"},
    {"_intraday", fastcall_entry(py_intraday), fastcall,
     "_intraday(self, contract)\n--\n\n"},
};

} // namespace

PYBIND11_MODULE(kline, m) {
    host::bind_module(m);
    korvanta::bridge::init_coroutine_type();
    m.doc() = module_doc;
    py::object module_name = m.attr("__name__");

    for (const char *stdlib : {"asyncio", "copy", "datetime", "math", "re"})
        m.attr(stdlib) = py::module_::import(stdlib);
    host::import_names("dataclasses", {"dataclass", "field"});
    m.attr("pd") = py::module_::import("pandas");
    host::import_names("ib_async", {"Contract"});
    host::import_names("loguru", {"logger"});
    host::import_names("korvanta.cmds.base", {"IOp", "command"});
    host::import_star("korvanta.helpers");
    host::import_names("quodra.dispatch", {"DArg"});
    host::import_names("quodra.frame", {"printFrame"});
    // The bar cache's exchange zone, the one object both modules read bar times by.
    host::import_names("korvanta.gateway.barhold", {"Barhold", "_EXCHANGE_TZ"});

    kline::bind_vocabulary(m);
    kline::bind_bar_cache_calls();
    for (PyMethodDef &def : function_defs)
        m.attr(def.ml_name) = builtin(def, module_name);
    m.attr("_barhold") = py::none();
    py::object get_cache = builtin(get_cache_def, module_name);
    kline::own_get_cache_is(get_cache);
    m.attr("_get_cache") = get_cache;
    m.attr("_normalize_yfinance_df") = kline::normalize_yfinance_df_function();

    std::vector<host::Method> methods;
    for (PyMethodDef &def : method_defs) {
        py::object function = builtin(def, module_name);
        if (std::string_view(def.ml_name) == "_kline")
            kline::own_kline_is(function);
        methods.push_back({def.ml_name, std::move(function)});
    }
    for (host::Method &method : kline::yfinance_methods())
        methods.push_back(std::move(method));
    py::dict class_attributes;
    class_attributes["requires_gateway"] = false;
    host::define_command("IOpKline", "kline", usage, {{"symbol", "str"}, {"rest", "list[str]"}},
                         class_attributes, std::move(methods));
}
