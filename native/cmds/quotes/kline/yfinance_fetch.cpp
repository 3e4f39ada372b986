// cmds/quotes/kline/yfinance_fetch.cpp: the yfinance fetch in a worker thread, and its
// frames turned into the bar rows the gateway path produces.
#include "cmds/quotes/kline/yfinance_detail.hpp"

#include "cmds/quotes/kline/failures.hpp"
#include "host/host.hpp"

#include <atomic>
#include <cmath>
#include <memory>
#include <utility>

namespace korvanta::kline::detail {

namespace {

using bridge::checked;

py::handle float_type() { return reinterpret_cast<PyObject *>(&PyFloat_Type); }

void log_failure(py::handle self, py::handle why) {
    host::log<"error">("[{}] yfinance fetch failed: {}", self.attr(host::name<"symbol">()), why);
}

/// `_fetch()`, the inner function of `_yf_history`: runs in a worker thread and turns
/// every ordinary failure, a missing library included, into a log line and None. A fetch
/// its caller has given up on (`abandoned`) logs nothing: that caller said why already.
py::object fetch(py::handle self, py::handle kwargs, const std::atomic<bool> &abandoned) {
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
        if (!abandoned)
            log_failure(self, reason(e.value()));
        return py::none();
    }
}

constexpr double default_limit = 20;

/// `number` as Python shows it, without a fraction when it has none ("20", "0.05").
py::object seconds_text(double number) {
    if (number == std::floor(number) && std::fabs(number) < 1e15)
        return checked(PyUnicode_FromFormat("%lld", static_cast<long long>(number)));
    return checked(PyObject_Repr(py::float_(number).ptr()));
}

/// The limit of one whole fetch in seconds, from `KORVANTA_YF_TIMEOUT`: a positive number,
/// "inf" for none; unset or blank for the default. Anything else is warned about and the
/// default used: a typo should cost a log line, not the fallback.
double fetch_limit() {
    py::object text =
        py::module_::import("os").attr("environ").attr("get")("KORVANTA_YF_TIMEOUT");
    if (text.is_none() || !truth(text.attr("strip")()))
        return default_limit;
    double limit = 0;
    if (PyObject *number = PyFloat_FromString(text.ptr())) {
        limit = PyFloat_AS_DOUBLE(number);
        Py_DECREF(number);
    } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
    } else {
        throw py::error_already_set();
    }
    if (!(limit > 0)) {  // NaN included
        host::log<"warning">("KORVANTA_YF_TIMEOUT={!r} is not a positive number of seconds; "
                             "using {} s",
                             text, seconds_text(default_limit));
        return default_limit;
    }
    return limit;
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
    auto abandoned = std::make_shared<std::atomic<bool>>(false);
    py::cpp_function inner([self, kwargs, abandoned]() { return fetch(self, kwargs, *abandoned); },
                           py::name("_fetch"));
    const double limit = fetch_limit();
    // The network call blocks: a worker of the loop's default pool keeps the loop running.
    // The library's own timeouts apply to each of its requests, not to the fetch, so the
    // whole of it is bounded here; the worker cannot be stopped and is left to finish.
    py::object asyncio = host::global<"asyncio">();
    py::object work = asyncio.attr("to_thread")(std::move(inner));
    py::object timeout = std::isinf(limit) ? py::object(py::none()) : py::float_(limit);
    try {
        co_return co_await asyncio.attr("wait_for")(std::move(work), std::move(timeout));
    } catch (py::error_already_set &e) {
        // Given up, by the limit or by cancellation (which passes on at once).
        abandoned->store(true);
        if (!e.matches(PyExc_TimeoutError))
            throw;
    }
    log_failure(self, checked(PyUnicode_FromFormat("timed out after %U s",
                                                   seconds_text(limit).ptr())));
    co_return py::none();
}

} // namespace korvanta::kline::detail
