// cmds/portfolio/executions/command.cpp: `IOpExecutions.run`, the whole pass in one coroutine.
#include "cmds/portfolio/executions/executions.hpp"

#include "bridge/task.hpp"
#include "host/host.hpp"

namespace korvanta::executions {

namespace host = korvanta::host;
using bridge::Task;

namespace {

using bridge::checked;
using bridge::truth;

py::set make_set(std::initializer_list<const char *> words) {
    py::set out;
    for (const char *word : words)
        out.add(py::str(word));
    return out;
}

/// `a & b` and `a - b` as Python spells them: with a list or None on either side they
/// raise TypeError, as the command's sets must.
py::object set_and(py::handle a, py::handle b) {
    return checked(PyNumber_And(a.ptr(), b.ptr()));
}
py::object set_sub(py::handle a, py::handle b) {
    return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}

/// `assert REFRESH_CHECK & SELF_CHECK == set(), "..."`, skipped under `python -O`.
void assert_disjoint(py::handle refresh, py::handle self_check) {
    py::object flags = py::module_::import("sys").attr("flags");
    if (truth(flags.attr("optimize")))
        return;
    if (set_and(refresh, self_check).equal(py::set()))
        return;
    PyErr_SetString(PyExc_AssertionError,
                    "There are conflicting keywords in REFRESH_CHECK vs SELF_CHECK?");
    throw py::error_already_set();
}

/// " Filtered for: A, B" in the set's own order, or "" without symbols.
py::str title_suffix(py::handle symbols) {
    if (!truth(symbols))
        return py::str("");
    return py::str(py::str(" Filtered for: ") + py::str(", ").attr("join")(symbols));
}

} // namespace

/// `IOpExecutions.run()`: keywords, optional reload, the execution table and its summaries.
Task run(py::object self) {
    py::set REFRESH_CHECK = make_set({":REFRESH", ":UPDATE", ":U", ":R", ":UPD", ":REF"});
    py::set SELF_CHECK = make_set({":SELF", ":MINE", ":S", ":M"});
    assert_disjoint(REFRESH_CHECK, SELF_CHECK);

    if (truth(set_and(REFRESH_CHECK, self.attr("symbols")))) {
        self.attr("symbols") = set_sub(self.attr("symbols"), REFRESH_CHECK);
        co_await self.attr("state").attr("loadExecutions")();
    }

    py::object df = collect_table(self.attr("ib").attr("fills")());
    if (df.is_none())
        co_return py::none();

    if (truth(set_and(SELF_CHECK, self.attr("symbols")))) {
        self.attr("symbols") = set_sub(self.attr("symbols"), SELF_CHECK);
        df = keep_client(df, self.attr("state").attr("clientId"));
    }
    if (truth(self.attr("symbols")))
        df = keep_symbols(df, self.attr("symbols"));
    if (truth(df.attr("empty"))) {
        py::object sorted = py::module_::import("builtins").attr("sorted")(self.attr("symbols"));
        host::log<"info">("[{}] No execution history found!", py::str(" ").attr("join")(sorted));
        co_return py::bool_(false);
    }

    df = add_fill_columns(std::move(df));
    py::object by_trade = order_table(df);
    py::object by_time = time_profit_copy(df);
    format_order_table(by_trade);
    df = finish_table(std::move(df));
    by_time = add_time_profit_columns(std::move(by_time));

    py::str desc = title_suffix(self.attr("symbols"));
    host::print_frame(printed_copy(df), title("Execution Summary", desc));
    print_summaries(by_time, by_trade, desc);
    co_return to_records(df);
}

py::object py_run(py::object self) {
    return bridge::to_python(run(std::move(self)), "IOpExecutions.run");
}

} // namespace korvanta::executions
