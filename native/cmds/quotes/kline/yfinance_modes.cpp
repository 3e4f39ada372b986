// cmds/quotes/kline/yfinance_modes.cpp: placeholder until the yfinance modes land.
#include "cmds/quotes/kline/yfinance_modes.hpp"

namespace korvanta::kline {

std::vector<host::Method> yfinance_methods() { return {}; }

py::cpp_function normalize_yfinance_df_function() {
    return py::cpp_function([](py::object) -> py::object {
        throw py::value_error("_normalize_yfinance_df is not built yet");
    });
}

} // namespace korvanta::kline
