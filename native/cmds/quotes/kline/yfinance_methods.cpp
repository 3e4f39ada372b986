// cmds/quotes/kline/yfinance_methods.cpp: the yfinance methods of IOpKline and
// `_normalize_yfinance_df` as vectorcall builtins, with their argument checks.
//
// Built like the module's other functions: Python's own argument binding and wording,
// a `__text_signature__` for inspect, the docstring as the whole `__doc__`.
#include "cmds/quotes/kline/yfinance_modes.hpp"

#include "bridge/args.hpp"
#include "bridge/checks.hpp"
#include "bridge/task.hpp"
#include "cmds/quotes/kline/yfinance_detail.hpp"

#include <utility>

namespace korvanta::kline {

namespace {

using bridge::bind_arguments;
using bridge::guarded;
using bridge::require_list;
using bridge::to_python;

py::object borrowed(PyObject *value) { return py::reinterpret_borrow<py::object>(value); }

#define YF_FUNCTION(fn)                                                                       \
    PyObject *fn(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)

YF_FUNCTION(py_normalize_yfinance_df) {
    PyObject *a[1];
    if (!bind_arguments("_normalize_yfinance_df", args, nargs, kwnames, {"hist"}, 1, a))
        return nullptr;
    return guarded([&] { return detail::normalize_yfinance_df(a[0]); });
}

/// `_yf_history(self, **kwargs)`: every keyword, `self` aside, goes to `history` unchanged.
YF_FUNCTION(py_yf_history) {
    const char *fn = "IOpKline._yf_history";
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", fn,
                     nargs);
        return nullptr;
    }
    return guarded([&] {
        PyObject *self = nargs ? args[0] : nullptr;
        py::dict kwargs;
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_EqualToUTF8(keyword, "self"))
                kwargs[keyword] = borrowed(args[nargs + k]);
            else if (!self)
                self = args[nargs + k];
            else
                throw py::type_error(std::string(fn) +
                                     "() got multiple values for argument 'self'");
        }
        if (!self)
            throw py::type_error(std::string(fn) +
                                 "() missing 1 required positional argument: 'self'");
        return to_python(detail::yf_history(borrowed(self), std::move(kwargs)), fn);
    });
}

/// The methods taking `(self, rest)`, `rest` exactly a list.
template <bridge::Task (*Mode)(py::object, py::list)>
PyObject *rest_method(const char *fn, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    PyObject *a[2];
    if (!bind_arguments(fn, args, nargs, kwnames, {"self", "rest"}, 2, a))
        return nullptr;
    return guarded([&] {
        require_list(a[1], fn, "rest");
        return to_python(Mode(borrowed(a[0]), py::reinterpret_borrow<py::list>(a[1])), fn);
    });
}

YF_FUNCTION(py_run_yfinance) {
    return rest_method<detail::run_yfinance>("IOpKline._run_yfinance", args, nargs, kwnames);
}

YF_FUNCTION(py_kline_yfinance) {
    return rest_method<detail::kline_yfinance>("IOpKline._kline_yfinance", args, nargs,
                                               kwnames);
}

YF_FUNCTION(py_history_yfinance) {
    return rest_method<detail::history_yfinance>("IOpKline._history_yfinance", args, nargs,
                                                 kwnames);
}

YF_FUNCTION(py_intraday_yfinance) {
    PyObject *a[1];
    const char *fn = "IOpKline._intraday_yfinance";
    if (!bind_arguments(fn, args, nargs, kwnames, {"self"}, 1, a))
        return nullptr;
    return guarded([&] { return to_python(detail::intraday_yfinance(borrowed(a[0])), fn); });
}

#undef YF_FUNCTION

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// The text before "--" is the signature inspect reads; an empty rest leaves __doc__ None.
PyMethodDef normalize_def = {
    "_normalize_yfinance_df", bridge::fastcall_entry(py_normalize_yfinance_df), fastcall,
    "_normalize_yfinance_df(hist)\n--\n\n"
    "Convert yfinance OHLCV DataFrame to unified bar format matching IBKR Bar schema."};

// In class-body order.
PyMethodDef method_defs[] = {
    {"_yf_history", bridge::fastcall_entry(py_yf_history), fastcall,
     "_yf_history(self, **kwargs)\n--\n\n"},
    {"_run_yfinance", bridge::fastcall_entry(py_run_yfinance), fastcall,
     "_run_yfinance(self, rest)\n--\n\nDispatch kline query to yfinance based on arg pattern."},
    {"_kline_yfinance", bridge::fastcall_entry(py_kline_yfinance), fastcall,
     "_kline_yfinance(self, rest)\n--\n\nCandlestick data via yfinance (latest N bars)."},
    {"_history_yfinance", bridge::fastcall_entry(py_history_yfinance), fastcall,
     "_history_yfinance(self, rest)\n--\n\nHistorical data via yfinance (date range)."},
    {"_intraday_yfinance", bridge::fastcall_entry(py_intraday_yfinance), fastcall,
     "_intraday_yfinance(self)\n--\n\nIntraday data via yfinance."},
};

/// The builtin for `def`, its `__module__` the module's name.
py::object builtin(PyMethodDef &def) {
    return bridge::builtin(def, host::global<"__name__">());
}

} // namespace

std::vector<host::Method> yfinance_methods() {
    std::vector<host::Method> methods;
    for (PyMethodDef &def : method_defs)
        methods.push_back({def.ml_name, builtin(def)});
    return methods;
}

py::object normalize_yfinance_df_function() { return builtin(normalize_def); }

} // namespace korvanta::kline
