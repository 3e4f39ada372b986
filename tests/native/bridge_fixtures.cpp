// tests/native/bridge_fixtures.cpp: C++ coroutines that tests/test_bridge.py drives.
#include "bridge/task.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;
using korvanta::bridge::Task;
using korvanta::bridge::to_python;

namespace {

/// `await awaitable`, returning its value.
Task await_one(py::object awaitable) { co_return co_await std::move(awaitable); }

/// Awaits each in turn; returns their values as a list.
Task await_all(py::list awaitables) {
    py::list values;
    for (py::handle each : awaitables)
        values.append(co_await py::reinterpret_borrow<py::object>(each));
    co_return values;
}

/// Catches an ordinary exception from the awaited object and reports it; anything
/// else (cancellation, GeneratorExit) goes on up.
Task await_catching(py::object awaitable) {
    std::string caught;
    try {
        co_return co_await std::move(awaitable);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        caught = py::str(e.value()).cast<std::string>();
    }
    co_return py::make_tuple("caught", caught);
}

/// Records cleanup on the way out, whatever ends the await, then lets it pass.
Task await_with_cleanup(py::object awaitable, py::list log) {
    try {
        py::object value = co_await std::move(awaitable);
        log.append("done");
        co_return value;
    } catch (...) {
        log.append("cleanup");
        throw;
    }
}

/// Keeps awaiting after GeneratorExit, which close() must refuse.
Task ignore_exit(py::object first, py::object second) {
    try {
        co_await std::move(first);
    } catch (py::error_already_set &) {
    }
    co_return co_await std::move(second);
}

/// Lets a StopIteration from Python code leave the body.
Task call_and_return(py::object function) { co_return function(); }

Task return_tuple() { co_return py::make_tuple("a", 1); }

Task raise_cpp(std::string message) {
    throw std::invalid_argument(message);
    co_return py::none();
}

} // namespace

PYBIND11_MODULE(_bridge_fixtures, m) {
    korvanta::bridge::init_coroutine_type();
    m.def("await_one", [](py::object a) { return to_python(await_one(a), "await_one"); });
    m.def("await_all", [](py::list a) { return to_python(await_all(a), "await_all"); });
    m.def("await_catching",
          [](py::object a) { return to_python(await_catching(a), "await_catching"); });
    m.def("await_with_cleanup", [](py::object a, py::list log) {
        return to_python(await_with_cleanup(a, log), "await_with_cleanup");
    });
    m.def("ignore_exit", [](py::object a, py::object b) {
        return to_python(ignore_exit(a, b), "ignore_exit");
    });
    m.def("call_and_return",
          [](py::object f) { return to_python(call_and_return(f), "call_and_return"); });
    m.def("return_tuple", [] { return to_python(return_tuple(), "fixtures.return_tuple"); });
    m.def("raise_cpp", [](std::string s) { return to_python(raise_cpp(s), "raise_cpp"); });
}
