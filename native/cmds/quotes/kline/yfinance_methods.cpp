// cmds/quotes/kline/yfinance_methods.cpp: the yfinance methods of IOpKline and
// `_normalize_yfinance_df` as Python functions, with their argument checks.
#include "cmds/quotes/kline/yfinance_detail.hpp"
#include "cmds/quotes/kline/yfinance_modes.hpp"

#include "bridge/checks.hpp"
#include "bridge/task.hpp"

#include <utility>

namespace korvanta::kline {

namespace {

using bridge::require_list;
using bridge::to_python;

/// Gives `function` the module's name, as a def in the module would have.
py::cpp_function in_module(py::cpp_function function) {
    function.attr("__module__") = host::global<"__name__">();
    return function;
}

} // namespace

std::vector<host::Method> yfinance_methods() {
    // The docstrings are the functions' whole `__doc__`: no generated signature before them.
    py::options options;
    options.disable_function_signatures();
    std::vector<host::Method> methods;

    methods.push_back(
        {"_yf_history", in_module(py::cpp_function(
                            [](py::object self, py::kwargs kwargs) {
                                return to_python(detail::yf_history(std::move(self),
                                                                    std::move(kwargs)),
                                                 "IOpKline._yf_history");
                            },
                            py::name("_yf_history"), py::arg("self")))});

    methods.push_back(
        {"_run_yfinance",
         in_module(py::cpp_function(
             [](py::object self, py::object rest) {
                 require_list(rest, "IOpKline._run_yfinance", "rest");
                 return to_python(detail::run_yfinance(std::move(self),
                                                       py::reinterpret_steal<py::list>(
                                                           rest.release())),
                                  "IOpKline._run_yfinance");
             },
             py::name("_run_yfinance"), py::arg("self"), py::arg("rest"),
             "Dispatch kline query to yfinance based on arg pattern."))});

    methods.push_back(
        {"_kline_yfinance",
         in_module(py::cpp_function(
             [](py::object self, py::object rest) {
                 require_list(rest, "IOpKline._kline_yfinance", "rest");
                 return to_python(detail::kline_yfinance(std::move(self),
                                                         py::reinterpret_steal<py::list>(
                                                             rest.release())),
                                  "IOpKline._kline_yfinance");
             },
             py::name("_kline_yfinance"), py::arg("self"), py::arg("rest"),
             "Candlestick data via yfinance (latest N bars)."))});

    methods.push_back(
        {"_history_yfinance",
         in_module(py::cpp_function(
             [](py::object self, py::object rest) {
                 require_list(rest, "IOpKline._history_yfinance", "rest");
                 return to_python(detail::history_yfinance(std::move(self),
                                                           py::reinterpret_steal<py::list>(
                                                               rest.release())),
                                  "IOpKline._history_yfinance");
             },
             py::name("_history_yfinance"), py::arg("self"), py::arg("rest"),
             "Historical data via yfinance (date range)."))});

    methods.push_back(
        {"_intraday_yfinance",
         in_module(py::cpp_function(
             [](py::object self) {
                 return to_python(detail::intraday_yfinance(std::move(self)),
                                  "IOpKline._intraday_yfinance");
             },
             py::name("_intraday_yfinance"), py::arg("self"), "Intraday data via yfinance."))});

    return methods;
}

py::cpp_function normalize_yfinance_df_function() {
    // The docstrings are the functions' whole `__doc__`: no generated signature before them.
    py::options options;
    options.disable_function_signatures();
    return in_module(py::cpp_function(
        [](py::object hist) { return detail::normalize_yfinance_df(hist); },
        py::name("_normalize_yfinance_df"), py::arg("hist"),
        "Convert yfinance OHLCV DataFrame to unified bar format matching IBKR Bar schema."));
}

} // namespace korvanta::kline
