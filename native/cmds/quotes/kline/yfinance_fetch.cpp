// cmds/quotes/kline/yfinance_fetch.cpp: the yfinance fetch in a worker thread, and its
// frames turned into the bar rows the gateway path produces.
#include "cmds/quotes/kline/yfinance_detail.hpp"

#include "host/host.hpp"

#include <utility>

namespace korvanta::kline::detail {

namespace {

py::handle float_type() { return reinterpret_cast<PyObject *>(&PyFloat_Type); }

/// `_fetch()`, the inner function of `_yf_history`: runs in a worker thread and turns
/// every ordinary failure, a missing library included, into a log line and None.
py::object fetch(py::handle self, py::handle kwargs) {
    try {
        // Imported here, not at module import: the gateway path never needs the library.
        py::module_ os = py::module_::import("os");
        py::module_ yfinance = py::module_::import("yfinance");
        py::object proxy = os.attr("environ").attr("get")("HTTPS_PROXY");
        if (truth(proxy)) {
            py::dict proxies;
            proxies["https"] = proxy;
            proxies["http"] = proxy;
            yfinance.attr("config").attr("network").attr("proxy") = proxies;
        }
        py::object ticker = yfinance.attr("Ticker")(self.attr(host::name<"symbol">()));
        return ticker.attr("history")(**py::reinterpret_borrow<py::dict>(kwargs));
    } catch (py::error_already_set &e) {
        // CancelledError and interpreter exits are BaseExceptions: matching Exception lets them pass.
        if (!e.matches(PyExc_Exception))
            throw;
        host::log<"error">("[{}] yfinance fetch failed: {}", self.attr(host::name<"symbol">()),
                           e.value());
        return py::none();
    }
}

} // namespace

py::object normalize_yfinance_df(py::handle hist) {
    // reset_index makes a new frame; everything after it works on new frames, so `hist`
    // stays as the caller gave it.
    py::object df = hist.attr("reset_index")();

    // The index becomes the first column, named "Date" or "Datetime" by yfinance.
    py::dict names;
    names[py::str(df.attr("columns")[py::int_(0)])] = "date";
    names["Open"] = "open";
    names["High"] = "high";
    names["Low"] = "low";
    names["Close"] = "close";
    names["Volume"] = "volume";
    df = df.attr("rename")(py::arg("columns") = names);

    for (const char *action : {"Dividends", "Stock Splits"}) {
        py::str column(action);
        if (df.attr("columns").contains(column)) {
            py::list dropped;
            dropped.append(column);
            df = df.attr("drop")(py::arg("columns") = dropped);
        }
    }

    df[py::str("average")] = df[py::str("close")].attr("astype")(float_type());
    df[py::str("barCount")] = py::int_(1);

    // Plain dates (or text) have no time zone to remove: such a column stays as it is.
    try {
        df[py::str("date")] = df[py::str("date")].attr("dt").attr("tz_localize")(py::none());
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError))
            throw;
    }
    return df.attr("convert_dtypes")();
}

bridge::Task yf_history(py::object self, py::dict kwargs) {
    py::cpp_function inner([self, kwargs]() { return fetch(self, kwargs); },
                           py::name("_fetch"));
    // The network call blocks: a worker of the loop's default pool keeps the loop running.
    co_return co_await host::global<"asyncio">().attr("to_thread")(std::move(inner));
}

} // namespace korvanta::kline::detail
