// cmds/quotes/kline/command.cpp: `IOpKline.run`, the gateway path with one fallback to yfinance.
#include "cmds/quotes/kline/failures.hpp"
#include "cmds/quotes/kline/gateway_modes.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

#include <utility>

namespace korvanta::kline {

using bridge::Task;

namespace {

// The class's own `_kline` builtin, held here for the module's life: it is compared by
// address, and the class lets go of it once something is assigned in its place, after which
// another object could take that address.
PyObject *own_kline = nullptr;

using bridge::call_method;
using bridge::checked;
using bridge::truth;
using host::name;

/// `first, second = value`, with the errors Python's unpacking raises.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == 2)
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), 1))};
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

/// Whether `method`, the value of `self._kline`, is the class's own `_kline` bound to
/// `self`: then nothing a subclass, a test or the instance put in its place is skipped.
bool is_own_kline(py::handle method, py::handle self) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == self.ptr() &&
           PyMethod_GET_FUNCTION(method.ptr()) == own_kline;
}

/// The mode the first word selects: the result `run` returns when it could answer at once
/// (a success, its source already stamped), otherwise the mode's coroutine, to be awaited.
struct Mode {
    py::object result;
    py::object awaitable;
};

/// Starts the mode the first word selects; the whole word list goes to it. `symbol` is
/// the canonical symbol `run` has just set on the command.
Mode start_mode(py::handle self, py::handle symbol, py::handle contract, py::handle rest) {
    if (truth(rest)) {
        py::object first = checked(PySequence_GetItem(rest.ptr(), 0));
        int intraday = PyObject_RichCompareBool(first.ptr(), name<"intraday">().ptr(), Py_EQ);
        if (intraday < 0)
            throw py::error_already_set();
        if (intraday)
            return {{}, call_method<"_intraday">(self, contract)};
        if (is_date(first))
            return {{}, call_method<"_history">(self, contract, rest)};
    }
    py::object latest = self.attr(name<"_kline">());
    // An exact cache hit of the class's own `_kline` is answered here: its coroutine would
    // only read the words, ask the cache and return, at the cost of a second coroutine.
    if (is_own_kline(latest, self) && PyList_CheckExact(rest.ptr())) {
        LatestRequest request = latest_request(symbol, rest);
        if (py::object hit = exact_hit(request, name<"ibkr">()))
            return {std::move(hit), {}};
        return {{},
                bridge::to_python(kline(py::reinterpret_borrow<py::object>(self),
                                        py::reinterpret_borrow<py::object>(contract),
                                        py::reinterpret_borrow<py::object>(rest),
                                        std::move(request)),
                                  name<"IOpKline._kline">())};
    }
    return {{}, bridge::call(latest, contract, rest)};
}

} // namespace

void own_kline_is(py::handle function) { own_kline = Py_NewRef(function.ptr()); }

Task run(py::object self) {
    py::object typed = self.attr(name<"symbol">());
    if (!truth(typed)) {
        host::log<"error">("No symbol provided");
        py::dict failure;
        failure["error"] = "No symbol provided";
        co_return failure;
    }
    py::object rest = self.attr(name<"rest">());
    if (!truth(rest))
        rest = py::list();

    py::object state = self.attr(name<"state">());
    if (!truth(state.attr(name<"connected">()))) {
        host::log<"info">("[{}] No gateway, using yfinance fallback", typed);
        co_return co_await self.attr(name<"_run_yfinance">())(rest);
    }

    try {
        py::object resolved = co_await call_method<"positionalQuoteRepopulate">(state, typed);
        auto [found_symbol, original_contract] = unpack_pair(resolved);
        if (!truth(found_symbol)) {
            host::log<"error">("Symbol not found: {}", self.attr(name<"symbol">()));
            // Still inside the try: a failing fallback here is one more gateway failure.
            co_return co_await self.attr(name<"_run_yfinance">())(rest);
        }
        self.attr(name<"symbol">()) = found_symbol;
        assert_true(original_contract);
        py::object contract = request_contract(original_contract);

        Mode mode = start_mode(self, found_symbol, contract, rest);
        if (mode.result)
            co_return std::move(mode.result);
        py::object result = co_await std::move(mode.awaitable);
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
