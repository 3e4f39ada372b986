// cmds/portfolio/executions/module.cpp: the `korvanta.cmds.portfolio.executions` module and
// its `IOpExecutions` command class.
#include "bridge/task.hpp"
#include "cmds/portfolio/executions/executions.hpp"
#include "host/host.hpp"

namespace {

namespace py = pybind11;
namespace host = korvanta::host;
namespace executions = korvanta::executions;

constexpr const char *module_doc = "Command: executions\n\nCategory: Portfolio\n";

constexpr const char *usage =
#include "usage.inc"
    ;

/// The "*symbols" converter: a new set of the words, each through `str.upper`.
py::set py_upper_words(py::object words) {
    py::set out;
    for (py::handle word : words)
        out.add(word.attr("upper")());
    return out;
}

} // namespace

PYBIND11_MODULE(executions, m) {
    host::bind_module(m);
    m.doc() = module_doc;
    korvanta::bridge::init_coroutine_type();

    m.attr("pd") = py::module_::import("pandas");
    m.attr("pytz") = py::module_::import("pytz");
    // Loaded as the command's dependencies; a missing one fails the import.
    m.attr("prettyprinter") = py::module_::import("prettyprinter");
    m.attr("traceback") = py::module_::import("traceback");
    host::import_names("dataclasses", {"dataclass", "field"});
    host::import_names("loguru", {"logger"});
    host::import_names("korvanta.cmds.base", {"IOp", "command"});
    host::import_names("korvanta.cmds.utils", {"addRowSafe"});
    host::import_star("korvanta.helpers");
    host::import_names("quodra.dispatch", {"DArg"});
    host::import_names("quodra.frame", {"printFrame"});
    host::import_names("quodra.numeric", {"fmtPrice"});
    m.def("_assign_trading_day", &executions::assign_trading_day, py::arg("timestamp"),
          "The trading day of one fill time: sessions start at 18:00 Eastern.");

    py::object upper_words = py::cpp_function(&py_upper_words, py::name("_upper_words"));
    py::cpp_function argmap(
        [upper_words](py::object) {
            py::list out;
            out.append(host::global<"DArg">()(
                "*symbols", py::arg("desc") = "Optional symbols to filter for in result listings",
                py::arg("convert") = upper_words));
            return out;
        },
        py::name("argmap"));
    py::cpp_function run(&executions::py_run, py::name("run"));
    py::dict class_attributes;
    class_attributes["requires_gateway"] = true;
    host::define_command("IOpExecutions", "executions", usage, {{"symbols", "set[str]"}},
                         class_attributes,
                         {{"argmap", std::move(argmap)}, {"run", std::move(run)}});
}
