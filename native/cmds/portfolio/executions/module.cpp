// cmds/portfolio/executions/module.cpp: the `korvanta.cmds.portfolio.executions` module and
// its `IOpExecutions` command class.
#include "bridge/args.hpp"
#include "bridge/checks.hpp"
#include "bridge/task.hpp"
#include "cmds/portfolio/executions/executions.hpp"
#include "host/host.hpp"

namespace {

namespace py = pybind11;
namespace host = korvanta::host;
namespace executions = korvanta::executions;
using korvanta::bridge::builtin;
using korvanta::bridge::fastcall_entry;
using korvanta::bridge::require_instance;
using korvanta::bridge::unary;

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

constexpr const char *module_doc = "Command: executions\n\nCategory: Portfolio\n";

constexpr const char *usage =
#include "usage.inc"
    ;

/// The "*symbols" converter: a new set of the words, each through `str.upper`.
py::object py_upper_words(py::handle words) {
    py::set out;
    for (py::handle word : words)
        out.add(word.attr("upper")());
    return out;
}

py::object py_assign_trading_day(py::handle timestamp) {
    // pandas' Timestamp and NaT are datetimes; anything else has no clock to read.
    require_instance(timestamp, py::module_::import("datetime").attr("datetime"),
                     "Timestamp or datetime", "_assign_trading_day", "timestamp");
    return executions::assign_trading_day(timestamp);
}

py::object py_price_texts(py::handle column) { return executions::price_texts(column); }

// The text before "--" is the signature inspect reads.
PyMethodDef upper_words_def = {"_upper_words",
                               fastcall_entry(unary<"_upper_words", "words", py_upper_words>),
                               fastcall, "_upper_words(words)\n--\n\n"};

py::object py_argmap(py::handle) {
    py::list out;
    out.append(host::global<"DArg">()(
        "*symbols", py::arg("desc") = "Optional symbols to filter for in result listings",
        py::arg("convert") = builtin(upper_words_def, host::global<"__name__">())));
    return out;
}

py::object py_run(py::handle self) {
    return executions::py_run(py::reinterpret_borrow<py::object>(self));
}

PyMethodDef assign_trading_day_def = {
    "_assign_trading_day",
    fastcall_entry(unary<"_assign_trading_day", "timestamp", py_assign_trading_day>), fastcall,
    "_assign_trading_day(timestamp)\n--\n\n"
    "The trading day of one fill time: sessions start at 18:00 Eastern."};
PyMethodDef price_texts_def = {
    "_price_texts", fastcall_entry(unary<"_price_texts", "column", py_price_texts>), fastcall,
    "_price_texts(column)\n--\n\n"
    "[fmtPrice(x) for x in column]: the display forms the tables show."};
PyMethodDef argmap_def = {"argmap",
                          fastcall_entry(unary<"IOpExecutions.argmap", "self", py_argmap>),
                          fastcall, "argmap(self)\n--\n\n"};
PyMethodDef run_def = {"run", fastcall_entry(unary<"IOpExecutions.run", "self", py_run>),
                       fastcall, "run(self)\n--\n\n"};

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
    executions::adopt_host_add_row();
    host::import_star("korvanta.helpers");
    host::import_names("quodra.dispatch", {"DArg"});
    host::import_names("quodra.frame", {"printFrame"});
    host::import_names("quodra.numeric", {"fmtPrice"});
    executions::adopt_host_fmt_price();
    py::object module_name = m.attr("__name__");
    m.attr("_assign_trading_day") = builtin(assign_trading_day_def, module_name);
    m.attr("_price_texts") = builtin(price_texts_def, module_name);

    py::dict class_attributes;
    class_attributes["requires_gateway"] = true;
    host::define_command("IOpExecutions", "executions", usage, {{"symbols", "set[str]"}},
                         class_attributes,
                         {{"argmap", builtin(argmap_def, module_name)},
                          {"run", builtin(run_def, module_name)}});
}
