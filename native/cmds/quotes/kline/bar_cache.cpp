// cmds/quotes/kline/bar_cache.cpp: the bar cache's hot calls, direct while nothing replaced them.
#include "cmds/quotes/kline/bar_cache.hpp"

#include "bridge/pyapi.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "gateway/barhold/api.hpp"
#include "host/host.hpp"

namespace korvanta::kline {

namespace {

using barhold::BarholdApi;
using bridge::call_method;
using bridge::checked;
using host::name;

const BarholdApi *api = nullptr;

// Whether `Barhold.count_key` and `Barhold.get` are the builtins `api` calls. Worked out
// again after the class changes: a type watcher reports every assignment to it.
enum class ClassState { unknown, as_built, changed };
ClassState class_state = ClassState::unknown;
int watcher = -1;

int on_class_modified(PyTypeObject *type) {
    if (api && reinterpret_cast<PyObject *>(type) == api->barhold_class)
        class_state = ClassState::unknown;
    return 0;
}

/// `cls.<attribute> is function`, looked up as Python looks it up.
bool attribute_is(PyObject *cls, py::handle attribute, PyObject *function) {
    return checked(PyObject_GetAttr(cls, attribute.ptr())).ptr() == function;
}

bool class_as_built() {
    if (class_state == ClassState::unknown) {
        PyObject *cls = api->barhold_class;
        // Watched again first: a change made while these lookups run is reported too.
        if (PyType_Watch(watcher, cls) < 0)
            throw py::error_already_set();
        const bool same = attribute_is(cls, name<"count_key">(), api->count_key) &&
                          attribute_is(cls, name<"get">(), api->get);
        // A class changed too often to be given a version is no longer reported on: it
        // stays on the Python calls for good.
        const bool reported =
            PyUnstable_Type_AssignVersionTag(reinterpret_cast<PyTypeObject *>(cls)) != 0;
        class_state = same && reported ? ClassState::as_built : ClassState::changed;
    }
    return class_state == ClassState::as_built;
}

/// Whether `cache.get` reaches the class's own `get`: an instance of exactly the class
/// whose `__dict__` has no "get" (a method is no data descriptor: the instance's wins).
bool get_as_built(py::handle cache) {
    if (Py_TYPE(cache.ptr()) != reinterpret_cast<PyTypeObject *>(api->barhold_class) ||
        !class_as_built())
        return false;
    py::object own = checked(PyObject_GenericGetDict(cache.ptr(), nullptr));
    int shadowed = PyDict_Contains(own.ptr(), name<"get">().ptr());
    if (shadowed < 0)
        throw py::error_already_set();
    return !shadowed;
}

/// Why a store failed, in words: an OS error's own text without its number, else the
/// error's text; never the exception's class.
py::object store_failure(py::handle error) {
    if (PyErr_GivenExceptionMatches(error.ptr(), PyExc_OSError)) {
        py::object words = error.attr("strerror");
        if (PyUnicode_Check(words.ptr()) && PyUnicode_GET_LENGTH(words.ptr()) > 0)
            return words;
    }
    py::object text = checked(PyObject_Str(error.ptr()));
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0)
        return text;
    return py::reinterpret_borrow<py::object>(name<"the bar cache could not store them">());
}

void say_not_kept(py::handle symbol, py::handle error) {
    host::log<"warning">("[{}] bars not kept in the bar cache: {}", symbol, store_failure(error));
}

} // namespace

void bind_bar_cache_calls() {
    api = static_cast<const BarholdApi *>(PyCapsule_Import(barhold::api_capsule_name, 0));
    if (!api)
        throw py::error_already_set();
    watcher = PyType_AddWatcher(on_class_modified);
    if (watcher < 0) {
        // Every watcher slot taken: the calls go through Python, as if replaced.
        PyErr_Clear();
        api = nullptr;
    }
}

py::object count_key(py::handle symbol, py::handle period, py::handle adjust, py::handle count) {
    py::object cls = host::global<"Barhold">();
    if (api && cls.ptr() == api->barhold_class && class_as_built())
        return checked(api->call_count_key(symbol.ptr(), period.ptr(), adjust.ptr(), count.ptr()));
    return call_method<"count_key">(cls, symbol, period, adjust, count);
}

py::object open_cache(py::handle symbol) {
    try {
        return module_cache();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        say_not_kept(symbol, e.value());
        return py::none();
    }
}

py::object cached_bars(py::handle cache, py::handle key) {
    if (cache.is_none())
        return py::none();
    if (api && get_as_built(cache))
        return checked(api->call_get(cache.ptr(), key.ptr()));
    return call_method<"get">(cache, key);
}

py::object larger_bars(py::handle cache, py::handle symbol, py::handle period,
                       py::handle adjust, py::handle count) {
    if (cache.is_none())
        return py::none();
    return call_method<"try_larger_count">(cache, symbol, period, adjust, count);
}

void store_bars(py::handle cache, py::handle key, py::handle bars, py::handle symbol) {
    if (cache.is_none())
        return;
    try {
        call_method<"set">(cache, key, bars);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        say_not_kept(symbol, e.value());
    }
}

} // namespace korvanta::kline
