// bridge/task.hpp: C++20 coroutines that Python awaits, and that await Python.
//
// A function returning `Task` is a C++ coroutine. Inside it, `co_await obj` on any
// Python awaitable behaves like `await obj` in a Python coroutine: values, exceptions,
// `throw()` and `close()` pass through with `yield from` semantics. `to_python` wraps a
// Task in a Python object that `await`, `asyncio.run` and `asyncio.create_task` accept.
//
// Two rules keep coroutine frames sound:
//   - parameters are taken by value (`py::object`, `std::string`): the frame outlives the
//     caller's arguments;
//   - await temporaries or moved objects (`co_await std::move(x)`): the bridge reports what
//     it holds to the cycle collector, but locals of the frame are invisible to it.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <utility>

namespace korvanta::bridge {

namespace py = pybind11;

class Task;

namespace detail {

struct Promise;

/// One `co_await` of a Python awaitable: the driver delegates to its iterator until done.
class Awaiter {
public:
    explicit Awaiter(py::object awaitable) : awaitable_(std::move(awaitable)) {}

    // Looked up here rather than in await_suspend so that "not awaitable" is an
    // ordinary exception at the await expression.
    // It also takes the first step, as `yield from` does at once: an awaitable that
    // finishes without yielding (a resolved name, a cache hit) costs no suspension.
    bool await_ready();
    void await_suspend(std::coroutine_handle<Promise> handle) noexcept;
    py::object await_resume();

private:
    bool first_step();

    py::object awaitable_;
    py::object iterator_;
    py::object first_;  // what the first step yielded or returned
    Promise *promise_ = nullptr;
};

struct Promise {
    // User-declared: as an aggregate, the promise would be built from the coroutine's
    // own arguments (C++20 parenthesised aggregate initialisation).
    Promise() noexcept {}

    Task get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object value) noexcept { result = std::move(value); }
    void unhandled_exception() noexcept;
    Awaiter await_transform(py::object awaitable) { return Awaiter(std::move(awaitable)); }

    py::object awaiting;     // iterator of the awaitable the body is suspended on
    py::object yielded;      // what its first step yielded, for the driver to pass out
    py::object sent;         // what that await produced, for await_resume
    py::object thrown;       // exception that await raised, for await_resume
    py::object result;       // the body's co_return value
    py::object error;        // exception that escaped the body
};

} // namespace detail

/// The return type of a C++ coroutine; owns the frame until `to_python` takes it.
class Task {
public:
    using promise_type = detail::Promise;
    using handle_type = std::coroutine_handle<promise_type>;

    explicit Task(handle_type handle) noexcept : handle_(handle) {}
    Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() { reset(); }

    handle_type release() noexcept { return std::exchange(handle_, {}); }

private:
    void reset() noexcept {
        if (handle_)
            handle_.destroy();
    }
    handle_type handle_;
};

/// The Python coroutine object that drives `task`; `qualname` names it in reprs and warnings.
py::object to_python(Task task, const char *qualname);

/// The same with a qualname made once (`name<"...">()`), shared by every coroutine object.
py::object to_python(Task task, py::handle qualname);

/// Creates this module's coroutine type and registers it as a `collections.abc.Coroutine`.
/// Call once from the module's init, before any `to_python`.
void init_coroutine_type();

} // namespace korvanta::bridge
