// gateway/barhold/api.hpp: the bar cache's hot calls, for the other native modules.
//
// The capsule `korvanta.gateway.barhold.__barhold_api__` (a dunder name, as compiled
// modules name their C API capsules, so the module's own names stay as they are) holds one
// `BarholdApi`. A module may call its functions in place of `Barhold.count_key(...)` and
// `cache.get(key)` while those names still reach the builtins listed here: the functions
// check and convert their arguments as the methods do, and skip only the attribute lookup
// and the argument binding. Each returns a new reference, or null with the Python error
// set; no C++ exception leaves them, since each module links its own copy of the runtime.
#pragma once

#include <Python.h>

namespace korvanta::barhold {

inline constexpr const char *api_capsule_name = "korvanta.gateway.barhold.__barhold_api__";

struct BarholdApi {
    PyObject *barhold_class;  // `Barhold`, as the module built it
    PyObject *count_key;      // the builtin behind `Barhold.count_key`
    PyObject *get;            // the builtin behind `Barhold.get`
    PyObject *(*call_count_key)(PyObject *symbol, PyObject *period, PyObject *adjust,
                                PyObject *count);
    PyObject *(*call_get)(PyObject *self, PyObject *key);
};

} // namespace korvanta::barhold
