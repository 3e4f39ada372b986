// cmds/quotes/kline/command.cpp: `IOpKline.run`, the gateway path with one fallback to yfinance.
#include "cmds/quotes/kline/failures.hpp"
#include "cmds/quotes/kline/gateway_modes.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

#include <utility>

namespace korvanta::kline {

using bridge::Task;

namespace {

using bridge::checked;
using bridge::truth;
using host::name;

/// `first, second = value`, with the errors Python's unpacking raises.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject *iterator = PyObject_GetIter(value.ptr());
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object items = checked(iterator);
    py::object pair[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(iterator);
        if (!item) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        pair[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject *extra = PyIter_Next(iterator);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred())
        throw py::error_already_set();
    return {std::move(pair[0]), std::move(pair[1])};
}

/// `assert value`: nothing when the interpreter runs with -O, as a compiled assert.
void assert_true(py::handle value) {
    static const int optimization = [] {
        int level = 0;
        if (PyConfig_GetInt("optimization_level", &level) < 0)
            throw py::error_already_set();
        return level;
    }();
    if (optimization == 0 && !truth(value)) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

/// The contract the modes request with: a futures contract becomes a continuous future,
/// on a copy, so the contract object the host returned keeps its own `secType`.
py::object request_contract(py::object original) {
    int is_future = PyObject_IsInstance(original.ptr(), host::global<"Future">().ptr());
    if (is_future < 0)
        throw py::error_already_set();
    if (!is_future)
        return original;
    py::object copied = host::global<"copy">().attr("copy")(original);
    copied.attr("secType") = "CONTFUT";
    return copied;
}

/// The mode the first word selects, awaited later; the whole word list goes to it.
py::object start_mode(py::handle self, py::handle contract, py::handle rest) {
    if (truth(rest)) {
        py::object first = checked(PySequence_GetItem(rest.ptr(), 0));
        int intraday = PyObject_RichCompareBool(first.ptr(), name<"intraday">().ptr(), Py_EQ);
        if (intraday < 0)
            throw py::error_already_set();
        if (intraday)
            return self.attr(name<"_intraday">())(contract);
        if (is_date(first))
            return self.attr(name<"_history">())(contract, rest);
    }
    return self.attr(name<"_kline">())(contract, rest);
}

} // namespace

Task run(py::object self) {
    if (!truth(self.attr(name<"symbol">()))) {
        host::log<"error">("No symbol provided");
        py::dict failure;
        failure["error"] = "No symbol provided";
        co_return failure;
    }
    py::object rest = self.attr(name<"rest">());
    if (!truth(rest))
        rest = py::list();

    if (!truth(self.attr(name<"state">()).attr(name<"connected">()))) {
        host::log<"info">("[{}] No gateway, using yfinance fallback", self.attr(name<"symbol">()));
        co_return co_await self.attr(name<"_run_yfinance">())(rest);
    }

    try {
        py::object state = self.attr(name<"state">());
        py::object resolved = co_await state.attr(name<"positionalQuoteRepopulate">())(
            self.attr(name<"symbol">()));
        auto [found_symbol, original_contract] = unpack_pair(resolved);
        if (!truth(found_symbol)) {
            host::log<"error">("Symbol not found: {}", self.attr(name<"symbol">()));
            // Still inside the try: a failing fallback here is one more gateway failure.
            co_return co_await self.attr(name<"_run_yfinance">())(rest);
        }
        self.attr(name<"symbol">()) = found_symbol;
        assert_true(original_contract);
        py::object contract = request_contract(original_contract);

        py::object result = co_await start_mode(self, contract, rest);
        if (truth(result) && !table_has(result, name<"error">())) {
            if (PyObject_SetItem(result.ptr(), name<"source">().ptr(), name<"ibkr">().ptr()) < 0)
                throw py::error_already_set();
            co_return result;
        }
        host::log<"warning">("[{}] IBKR returned error ({}), falling back to yfinance",
                             self.attr(name<"symbol">()),
                             reason(result.attr("get")(name<"error">())));
    } catch (py::error_already_set &e) {
        // Cancellation, the interpreter's exit and a closed output go to the host: yfinance
        // can mend none of them. C++ forbids co_await in a handler, so the fallback
        // follows the try.
        if (passes_through(e))
            throw;
        host::log<"warning">("[{}] IBKR failed ({}), falling back to yfinance",
                             self.attr(name<"symbol">()), reason(e.value()));
    }
    co_return co_await self.attr(name<"_run_yfinance">())(rest);
}

} // namespace korvanta::kline
