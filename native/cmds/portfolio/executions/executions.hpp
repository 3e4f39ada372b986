// cmds/portfolio/executions/executions.hpp: the steps of `IOpExecutions.run`, one job per file.
//
// command.cpp runs the flow; table.cpp builds the per-fill table, summaries.cpp the order,
// per-day and half-hour tables; display_table.cpp the table as printed and returned;
// prices.cpp writes display forms; trading_day.cpp holds the trading-day rule.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace korvanta::executions {

namespace py = pybind11;

// ==== command.cpp ============================================================

/// `IOpExecutions.run` as bound on the class: the Python coroutine object of one pass.
py::object py_run(py::object self);

// ==== table.cpp ==============================================================

/// A list of column names, as pandas takes them for selections and sort keys.
py::list names(std::initializer_list<const char *> words);

/// The fills joined into one sorted frame of the fields the tables use; None, after the
/// "No {}" lines, when there are no fills.
py::object collect_table(py::handle fills);

/// `time.dt.strftime("%Y-%m-%d")` and `time.dt.strftime("%H:%M:%S")` of a zone-aware
/// column, as lists; a missing time stays missing in both.
std::pair<py::list, py::list> wall_texts(py::handle time);

/// Rows whose `clientId` equals `client_id`.
py::object keep_client(py::handle df, py::handle client_id);

/// Rows whose `symbol` is in `symbols` and whose `conId` is present.
py::object keep_symbols(py::handle df, py::handle symbols);

/// The per-fill columns: display-zone times, per-share figures, totals and ratios.
py::object add_fill_columns(py::object df);

/// Holds the cyclic collector off while one table's rows are made: every container built
/// then is acyclic, yet their sheer number would trigger collections that each walk the
/// heap of frames around them.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_)
            PyGC_Enable();
    }
    CollectorPause(const CollectorPause &) = delete;
    CollectorPause &operator=(const CollectorPause &) = delete;

private:
    int was_enabled_;
};

/// The texts of keys met lately, each borrowed from the list that holds it: a key met again
/// shortly reuses its str, one object for all its cells (a day's date, an order id, a share
/// count). Values of one column repeat far more often than they differ.
class RecentTexts {
public:
    /// The text remembered for `key`, or null.
    PyObject *find(std::uint64_t key) const {
        const Slot &slot = slots_[index(key)];
        return slot.text && slot.key == key ? slot.text : nullptr;
    }
    void remember(std::uint64_t key, PyObject *text) { slots_[index(key)] = {key, text}; }

private:
    struct Slot {
        std::uint64_t key;
        PyObject *text;
    };
    static std::size_t index(std::uint64_t key) { return (key * 0x9E3779B97F4A7C15ull) >> 55; }
    std::array<Slot, 512> slots_{};
};

// ==== display_table.cpp ======================================================

/// Summary rows, display formatting and the final column set.
py::object finish_table(py::object df);

/// Takes the module's `addRowSafe` as it is now for the host's own: while the module still
/// holds it, the summary rows are grown apart from the fill rows.
void adopt_host_add_row();

/// `df.convert_dtypes()` of the display table: the copy that is printed.
py::object printed_copy(py::handle df);

/// `df.to_dict(orient="records")`.
py::list to_records(py::handle df);

// ==== prices.cpp =============================================================

/// Checks the module's `fmtPrice` against the native display text; called once it is bound.
void adopt_host_fmt_price();

/// `[fmtPrice(x) for x in column]`, written natively while `fmtPrice` is the adopted one.
py::list price_texts(py::handle column);

/// `frame[keys] = frame[keys].fillna(0).map(fmtPrice)`, column by column.
void format_prices(py::handle frame, const std::vector<py::object> &keys);

// ==== summaries.cpp ==========================================================

/// The order table `dfByTrade`, its price columns still numbers.
py::object order_table(py::handle df);

/// The order table's price columns in display form.
void format_order_table(py::handle by_trade);

/// `df` sorted for the time-profit copy.
py::object time_profit_copy(py::handle df);

/// Index, profit columns and trading days of the time-profit copy.
py::object add_time_profit_columns(py::object by_time);

/// Half-hour tables, the per-day summary and the order table, printed in that order.
void print_summaries(py::handle by_time, py::handle by_trade, py::handle desc);

/// `head + desc`: a table title with the run's filter suffix.
py::str title(const char *head, py::handle desc);

/// `printFrame(frame.convert_dtypes(), heading)`: every table is shown through such a copy.
void show_table(py::handle frame, py::handle heading);

// ==== trading_day.cpp ========================================================

/// `assign_trading_day(timestamp)`: the date of the session that began at 18:00 Eastern.
py::object assign_trading_day(py::handle timestamp);

/// `assign_trading_day` over a time-zone-aware DatetimeIndex, as a datetime64[s] array.
py::object trading_days(py::handle index);

} // namespace korvanta::executions
