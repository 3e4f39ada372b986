// host/host.cpp: module-namespace bindings and the command-class builder.
#include "host/host.hpp"

#include "bridge/args.hpp"

namespace korvanta::host {

namespace {

// Borrowed from the module object, which lives as long as the interpreter holds the module.
PyObject *module_namespace = nullptr;
PyObject *module_name = nullptr;

py::dict namespace_dict() { return py::reinterpret_borrow<py::dict>(module_namespace); }

/// `import source` during a module's initialisation: a failure fails this import with the
/// failing one's own message, so the user sees what is wrong rather than that something is.
py::module_ import_module(const char *source) {
    try {
        return py::module_::import(source);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        if (e.matches(PyExc_ImportError))
            bridge::fail_import(py::str(e.value()));
        bridge::fail_import(bridge::checked(PyUnicode_FromFormat(
            "%s: %S", Py_TYPE(e.value().ptr())->tp_name, e.value().ptr())));
    }
}

} // namespace

void bind_module(py::module_ module) {
    module_namespace = PyModule_GetDict(module.ptr());
    module_name = PyModule_GetNameObject(module.ptr());
    if (!module_name)
        throw py::error_already_set();
}

py::object global(py::handle name) {
    PyObject *value = PyDict_GetItemWithError(module_namespace, name.ptr());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

void import_names(const char *source, std::initializer_list<const char *> names) {
    py::module_ module = import_module(source);
    py::dict target = namespace_dict();
    for (const char *name : names)
        target[name] = module.attr(name);
}

void import_star(const char *source) {
    py::module_ module = import_module(source);
    py::dict target = namespace_dict();
    if (py::hasattr(module, "__all__")) {
        for (py::handle name : module.attr("__all__"))
            target[name] = module.attr(name);
        return;
    }
    for (auto item : py::reinterpret_borrow<py::dict>(module.attr("__dict__"))) {
        if (!bridge::truth(item.first.attr("startswith")("_")))
            target[item.first] = item.second;
    }
}

void print_frame(py::handle frame, py::handle title) { global<"printFrame">()(frame, title); }

py::object define_command(const char *name, const char *word, const char *doc,
                          std::vector<Field> fields, py::dict class_attributes,
                          std::vector<Method> methods) {
    py::object field = global<"field">();
    py::dict annotations;
    py::dict body;
    body["__module__"] = py::reinterpret_borrow<py::object>(module_name);
    body["__qualname__"] = name;
    // Given explicitly, the docstring keeps its indentation (source docstrings are dedented).
    body["__doc__"] = doc;
    for (const Field &f : fields) {
        annotations[f.name] = f.annotation;
        body[f.name] = field(py::arg("init") = false);
    }
    body["__annotations__"] = annotations;
    for (auto item : class_attributes)
        body[item.first] = item.second;
    for (Method &m : methods) {
        // An instance method wrapper makes the native function bind `self` like a def would.
        PyObject *method = PyInstanceMethod_New(m.function.ptr());
        if (!method)
            throw py::error_already_set();
        body[m.name] = py::reinterpret_steal<py::object>(method);
    }

    py::object base = global<"IOp">();
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        name, py::make_tuple(base), body);
    cls = global<"dataclass">()(cls);
    py::list words;
    words.append(word);
    cls = global<"command">()(py::arg("names") = words)(cls);
    namespace_dict()[name] = cls;
    return cls;
}

} // namespace korvanta::host
