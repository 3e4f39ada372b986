// bridge/task.cpp: the Python coroutine type that drives a C++ Task, `yield from` style.
#include "bridge/task.hpp"

#include "bridge/pyapi.hpp"

#include <pybind11/detail/exception_translation.h>

namespace korvanta::bridge {

namespace {

using Handle = Task::handle_type;

PyTypeObject *coroutine_type = nullptr;

/// Takes the pending exception as an object, leaving none set.
py::object take_raised() { return py::reinterpret_steal<py::object>(PyErr_GetRaisedException()); }

enum class State { created, suspended, running, done };

struct CoroutineObject {
    PyObject_HEAD
    Handle handle;
    State state;
    PyObject *qualname;
};

CoroutineObject *as_coroutine(PyObject *self) { return reinterpret_cast<CoroutineObject *>(self); }

/// Ends the frame; it runs the destructors of the body's locals, so the GIL must be held.
void destroy_frame(CoroutineObject *coro) {
    if (coro->handle) {
        Handle handle = std::exchange(coro->handle, {});
        handle.destroy();
    }
    coro->state = State::done;
}

/// Delegates one step to the awaited iterator: send `arg`, or throw `exc` into it.
/// Returns the value it yields, or null after storing its outcome on the promise.
PyObject *step_awaited(detail::Promise &promise, PyObject *arg, PyObject *exc) {
    py::object iterator = std::move(promise.awaiting);
    if (exc) {
        // As `yield from`: GeneratorExit closes the inner iterator and then goes to the body;
        // other exceptions go through the inner iterator's throw() when it has one.
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            PyObject *close = nullptr;
            if (PyObject_GetOptionalAttrString(iterator.ptr(), "close", &close) < 0) {
                promise.thrown = take_raised();
                return nullptr;
            }
            if (close) {
                PyObject *closed = PyObject_CallNoArgs(close);
                Py_DECREF(close);
                if (!closed) {
                    promise.thrown = take_raised();
                    return nullptr;
                }
                Py_DECREF(closed);
            }
            promise.thrown = py::reinterpret_borrow<py::object>(exc);
            return nullptr;
        }
        PyObject *throw_method = nullptr;
        if (PyObject_GetOptionalAttrString(iterator.ptr(), "throw", &throw_method) < 0) {
            promise.thrown = take_raised();
            return nullptr;
        }
        if (!throw_method) {
            promise.thrown = py::reinterpret_borrow<py::object>(exc);
            return nullptr;
        }
        PyObject *yielded = PyObject_CallOneArg(throw_method, exc);
        Py_DECREF(throw_method);
        if (yielded) {
            promise.awaiting = std::move(iterator);
            return yielded;
        }
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            py::object stop = take_raised();
            promise.sent = checked(PyObject_GetAttrString(stop.ptr(), "value"));
        } else {
            promise.thrown = take_raised();
        }
        return nullptr;
    }

    PyObject *out = nullptr;
    switch (PyIter_Send(iterator.ptr(), arg, &out)) {
    case PYGEN_NEXT:
        promise.awaiting = std::move(iterator);
        return out;
    case PYGEN_RETURN:
        promise.sent = py::reinterpret_steal<py::object>(out);
        return nullptr;
    case PYGEN_ERROR:
        promise.thrown = take_raised();
        return nullptr;
    }
    return nullptr;
}

/// One `send`/`throw` of the Python protocol: runs the body and what it awaits until
/// something yields (PYGEN_NEXT) or the body ends (PYGEN_RETURN / PYGEN_ERROR).
PySendResult drive(CoroutineObject *coro, PyObject *arg, PyObject *exc, PyObject **out) {
    *out = nullptr;
    switch (coro->state) {
    case State::running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case State::done:
        if (exc) {
            PyErr_SetRaisedException(Py_NewRef(exc));
        } else {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        }
        return PYGEN_ERROR;
    case State::created:
        if (exc) {
            // Thrown in before the first step: the body never runs, like a Python coroutine.
            destroy_frame(coro);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    case State::suspended:
        break;
    }

    coro->state = State::running;
    detail::Promise &promise = coro->handle.promise();
    if (promise.awaiting) {
        PyObject *yielded = nullptr;
        try {
            yielded = step_awaited(promise, arg, exc);
        } catch (py::error_already_set &e) {
            e.restore();
            promise.thrown = take_raised();
        }
        if (yielded) {
            coro->state = State::suspended;
            *out = yielded;
            return PYGEN_NEXT;
        }
    } else if (exc) {
        promise.thrown = py::reinterpret_borrow<py::object>(exc);
    }

    coro->handle.resume();
    if (!coro->handle.done()) {
        // Suspended on a new await whose first step, taken by the awaiter, yielded.
        coro->state = State::suspended;
        *out = promise.yielded.release().ptr();
        return PYGEN_NEXT;
    }

    py::object error = std::move(promise.error);
    py::object result = std::move(promise.result);
    destroy_frame(coro);
    if (error) {
        // As for Python coroutines: a StopIteration leaving the body would read as a return.
        if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_StopIteration)) {
            PyObject *replaced = PyObject_CallOneArg(
                PyExc_RuntimeError, name<"coroutine raised StopIteration">().ptr());
            if (!replaced)
                return PYGEN_ERROR;
            PyException_SetCause(replaced, Py_NewRef(error.ptr()));
            PyException_SetContext(replaced, Py_NewRef(error.ptr()));
            error = py::reinterpret_steal<py::object>(replaced);
        }
        PyErr_SetRaisedException(error.release().ptr());
        return PYGEN_ERROR;
    }
    *out = result ? result.release().ptr() : Py_NewRef(Py_None);
    return PYGEN_RETURN;
}

/// Raises StopIteration carrying `value` (a reference it takes) as its single argument; a
/// tuple stays a tuple. Made as `StopIteration(value)` is, by the type's own `tp_new` and
/// then the one field its `__init__` would set: each awaited return pays for one, and the
/// generic call path would double its cost.
void set_stop_iteration(PyObject *value) {
    auto *type = reinterpret_cast<PyTypeObject *>(PyExc_StopIteration);
    PyObject *args = PyTuple_Pack(1, value);
    PyObject *stop = args ? type->tp_new(type, args, nullptr) : nullptr;
    Py_XDECREF(args);
    if (!stop) {
        Py_DECREF(value);
        return;
    }
    Py_XSETREF(reinterpret_cast<PyStopIterationObject *>(stop)->value, value);
    PyErr_SetRaisedException(stop);
}

PySendResult coroutine_am_send(PyObject *self, PyObject *arg, PyObject **out) {
    return drive(as_coroutine(self), arg, nullptr, out);
}

PyObject *coroutine_iternext(PyObject *self) {
    PyObject *out = nullptr;
    switch (drive(as_coroutine(self), Py_None, nullptr, &out)) {
    case PYGEN_NEXT:
        return out;
    case PYGEN_RETURN:
        if (out == Py_None)
            Py_DECREF(out); // a bare null return means StopIteration(None)
        else
            set_stop_iteration(out);
        return nullptr;
    default:
        return nullptr;
    }
}

/// Finishes a send/throw call: a return becomes StopIteration, as the protocol wants.
PyObject *finish_call(PySendResult status, PyObject *out) {
    if (status == PYGEN_RETURN) {
        set_stop_iteration(out);
        return nullptr;
    }
    return out;
}

/// `coroutine.send(value)`
PyObject *coroutine_send(PyObject *self, PyObject *arg) {
    PyObject *out = nullptr;
    PySendResult status = drive(as_coroutine(self), arg, nullptr, &out);
    return finish_call(status, out);
}

/// The exception `throw(typ[, val[, tb]])` raises: an instance, or one made from a class.
PyObject *make_exception(PyObject *typ, PyObject *val, PyObject *tb) {
    PyObject *exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ)))
            exc = Py_NewRef(val);
        else if (!val || val == Py_None)
            exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val))
            exc = PyObject_Call(typ, val, nullptr);
        else
            exc = PyObject_CallOneArg(typ, val);
        if (!exc)
            return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb && tb != Py_None) {
        if (!PyTraceBack_Check(tb)) {
            Py_DECREF(exc);
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        if (PyException_SetTraceback(exc, tb) < 0) {
            Py_DECREF(exc);
            return nullptr;
        }
    }
    return exc;
}

/// `coroutine.throw(typ[, val[, tb]])`
PyObject *coroutine_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument and at most 3, got %zd",
                     nargs);
        return nullptr;
    }
    PyObject *exc = make_exception(args[0], nargs > 1 ? args[1] : nullptr,
                                   nargs > 2 ? args[2] : nullptr);
    if (!exc)
        return nullptr;
    PyObject *out = nullptr;
    PySendResult status = drive(as_coroutine(self), Py_None, exc, &out);
    Py_DECREF(exc);
    return finish_call(status, out);
}

/// `coroutine.close()`: GeneratorExit into the body; the body must not await again.
PyObject *coroutine_close(PyObject *self, PyObject *) {
    CoroutineObject *coro = as_coroutine(self);
    if (coro->state == State::created || coro->state == State::done) {
        destroy_frame(coro);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit)
        return nullptr;
    PyObject *out = nullptr;
    PySendResult status = drive(coro, Py_None, exit, &out);
    Py_DECREF(exit);
    switch (status) {
    case PYGEN_NEXT:
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    case PYGEN_RETURN:
        return out;
    default:
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
            PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
}

PyObject *coroutine_await(PyObject *self) { return Py_NewRef(self); }

PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_coroutine(self)->qualname); }

PyObject *get_name(PyObject *self, void *) {
    // The last dotted part, as a function's __name__ is the tail of its __qualname__.
    PyObject *qualname = as_coroutine(self)->qualname;
    Py_ssize_t length = PyUnicode_GetLength(qualname);
    Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, length, -1);
    if (dot < 0)
        return dot == -1 ? Py_NewRef(qualname) : nullptr;
    return PyUnicode_Substring(qualname, dot + 1, length);
}

PyObject *get_running(PyObject *self, void *) {
    return PyBool_FromLong(as_coroutine(self)->state == State::running);
}

PyObject *get_suspended(PyObject *self, void *) {
    return PyBool_FromLong(as_coroutine(self)->state == State::suspended);
}

/// `cr_await`: what the body waits on now, for debuggers and asyncio's task reprs.
PyObject *get_await(PyObject *self, void *) {
    CoroutineObject *coro = as_coroutine(self);
    if (coro->handle && coro->handle.promise().awaiting)
        return Py_NewRef(coro->handle.promise().awaiting.ptr());
    Py_RETURN_NONE;
}

PyObject *coroutine_repr(PyObject *self) {
    return PyUnicode_FromFormat("<native coroutine %U at %p>", as_coroutine(self)->qualname, self);
}

int coroutine_traverse(PyObject *self, visitproc visit, void *arg) {
    CoroutineObject *coro = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    if (coro->handle) {
        detail::Promise &promise = coro->handle.promise();
        Py_VISIT(promise.awaiting.ptr());
        Py_VISIT(promise.yielded.ptr());
        Py_VISIT(promise.sent.ptr());
        Py_VISIT(promise.thrown.ptr());
        Py_VISIT(promise.result.ptr());
        Py_VISIT(promise.error.ptr());
    }
    return 0;
}

int coroutine_clear(PyObject *self) {
    CoroutineObject *coro = as_coroutine(self);
    if (coro->handle && coro->state != State::running) {
        detail::Promise &promise = coro->handle.promise();
        // Dropping the awaited iterator breaks task -> coroutine -> future -> task cycles;
        // the finaliser has already closed the body by the time the collector clears.
        promise.awaiting = py::object();
        promise.sent = py::object();
        promise.thrown = py::object();
    }
    return 0;
}

/// Closes a suspended body before the object goes, as Python does for its own coroutines.
void coroutine_finalize(PyObject *self) {
    CoroutineObject *coro = as_coroutine(self);
    PyObject *saved = PyErr_GetRaisedException();
    if (coro->state == State::created && coro->handle) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             coro->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else if (coro->state == State::suspended) {
        PyObject *closed = coroutine_close(self, nullptr);
        if (closed)
            Py_DECREF(closed);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

void coroutine_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    CoroutineObject *coro = as_coroutine(self);
    // A finished body leaves the finaliser nothing to close or warn about.
    if (coro->state != State::done && PyObject_CallFinalizerFromDealloc(self) < 0)
        return; // resurrected
    destroy_frame(coro);
    Py_CLEAR(coro->qualname);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\n"
     "return next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\n"
     "Raise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
    {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "korvanta.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

} // namespace

namespace detail {

Task Promise::get_return_object() noexcept {
    return Task(std::coroutine_handle<Promise>::from_promise(*this));
}

void Promise::unhandled_exception() noexcept {
    // pybind11's translators turn any C++ exception, error_already_set included,
    // into the pending Python error; the promise keeps it until the driver raises it.
    try {
        throw;
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    error = take_raised();
}

bool Awaiter::await_ready() {
    PyObject *obj = awaitable_.ptr();
    PyTypeObject *type = Py_TYPE(obj);
    if (PyCoro_CheckExact(obj)) {
        iterator_ = std::move(awaitable_);
        return first_step();
    }
    if (!type->tp_as_async || !type->tp_as_async->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", type->tp_name);
        throw py::error_already_set();
    }
    iterator_ = checked(type->tp_as_async->am_await(obj));
    if (!PyIter_Check(iterator_.ptr()) || PyCoro_CheckExact(iterator_.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(iterator_.ptr())->tp_name);
        throw py::error_already_set();
    }
    // Only the iterator is kept: it holds the awaitable, and the collector can see it.
    awaitable_ = py::object();
    return first_step();
}

bool Awaiter::first_step() {
    PyObject *out = nullptr;
    switch (PyIter_Send(iterator_.ptr(), Py_None, &out)) {
    case PYGEN_RETURN:
        first_ = py::reinterpret_steal<py::object>(out);
        iterator_ = py::object();
        return true;
    case PYGEN_NEXT:
        first_ = py::reinterpret_steal<py::object>(out);
        return false;
    case PYGEN_ERROR:
        break;
    }
    // Raised at the await expression, where the driver would raise it after the same step.
    throw py::error_already_set();
}

void Awaiter::await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    promise_ = &handle.promise();
    promise_->awaiting = std::move(iterator_);
    promise_->yielded = std::move(first_);
}

py::object Awaiter::await_resume() {
    if (!promise_)
        return std::move(first_); // finished in its first step
    if (promise_->thrown) {
        PyErr_SetRaisedException(std::exchange(promise_->thrown, py::object()).release().ptr());
        throw py::error_already_set();
    }
    py::object value = std::move(promise_->sent);
    return value ? value : py::none();
}

} // namespace detail

py::object to_python(Task task, const char *qualname) {
    return to_python(std::move(task), py::str(qualname));
}

py::object to_python(Task task, py::handle qualname) {
    auto *coro = PyObject_GC_New(CoroutineObject, coroutine_type);
    if (!coro)
        throw py::error_already_set();
    coro->handle = task.release();
    coro->state = State::created;
    coro->qualname = Py_NewRef(qualname.ptr());
    PyObject_GC_Track(coro);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(coro));
}

void init_coroutine_type() {
    if (coroutine_type)
        return;
    auto type = checked(PyType_FromSpec(&coroutine_spec));
    py::module_::import("collections.abc").attr("Coroutine").attr("register")(type);
    coroutine_type = reinterpret_cast<PyTypeObject *>(type.release().ptr());
}

} // namespace korvanta::bridge
