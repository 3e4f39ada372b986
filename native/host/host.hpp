// host/host.hpp: the host framework and quodra names the modules bind to.
//
// Each extension module keeps host names (`printFrame`, `logger`, `Barhold`, `time`, ...) in
// its own namespace, bound at import, and reads them from there at every call, so a host or
// a test can replace them on the module. Everything here works on the namespace of the
// module that called `bind_module`: each extension links its own copy of this state.
#pragma once

#include "bridge/pyapi.hpp"

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvanta::host {

namespace py = pybind11;

// ==== Names ==================================================================

using bridge::Literal;
using bridge::name;

// ==== The module namespace ===================================================

/// Remembers `module` as the namespace that `global` reads; called first in the module init.
void bind_module(py::module_ module);

/// The module namespace's current value of `name`; NameError, as in Python, when unbound.
py::object global(py::handle name);

template <Literal Text>
py::object global() {
    return global(name<Text>());
}

/// `from source import a, b, ...` into the bound module's namespace.
void import_names(const char *source, std::initializer_list<const char *> names);

/// `from source import *` into the bound module's namespace.
void import_star(const char *source);

// ==== Host calls, looked up per call ===========================================

/// `printFrame(frame, title)`; the result is not used.
void print_frame(py::handle frame, py::handle title);

/// `logger.<level>(message, *args)` through the module's `logger`.
template <Literal Level, typename... Args>
void log(const char *message, Args &&...args) {
    global<"logger">().attr(name<Level>())(message, std::forward<Args>(args)...);
}

/// The same for a message made once (`name<"...">()`) and Python arguments, by vectorcall:
/// for lines logged on a hot path, where building the text and a tuple per call shows.
template <Literal Level, typename... Args>
    requires(std::is_base_of_v<py::handle, Args> && ...)
void log(py::handle message, const Args &...args) {
    bridge::call_method<Level>(global<"logger">(), message, args...);
}

// ==== Command classes ==========================================================

/// One data-class field of a command: declared with `field(init=False)` and the
/// annotation text given.
struct Field {
    const char *name;
    const char *annotation;
};

/// One method of a command class, in class-body order: any callable, a builtin made
/// from a PyMethodDef included, bound to instances as a def would be.
struct Method {
    const char *name;
    py::object function;
};

/// Builds a command class the way the host expects one written in Python:
/// `@command(names=[word]) @dataclass class <name>(IOp)` with `doc` as its docstring,
/// the given fields, class attributes and methods, bound in the module under `name`.
/// `IOp`, `command`, `dataclass` and `field` are read from the module namespace.
py::object define_command(const char *name, const char *word, const char *doc,
                          std::vector<Field> fields, py::dict class_attributes,
                          std::vector<Method> methods);

} // namespace korvanta::host
