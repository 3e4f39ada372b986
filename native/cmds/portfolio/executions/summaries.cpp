// cmds/portfolio/executions/summaries.cpp: the order table, the per-day summary and the
// half-hour tables, all pandas aggregations of the execution table before its summary rows.
#include "cmds/portfolio/executions/executions.hpp"

#include "host/host.hpp"

namespace korvanta::executions {

namespace host = korvanta::host;

namespace {

py::list agg_list(std::initializer_list<std::pair<const char *, const char *>> pairs) {
    py::list out;
    for (auto [name, how] : pairs)
        out.append(py::make_tuple(name, how));
    return out;
}

/// The aggregation of the per-day summary and of each half-hour table.
py::dict summary_agg() {
    py::dict agg;
    agg["realizedPNL"] = "sum";
    agg["orderId"] = agg_list({{"orders", "nunique"}, {"executions", "count"}});
    agg["profit"] = "count";
    agg["loss"] = "count";
    agg["opening"] = "nunique";
    agg["closing"] = "nunique";
    return agg;
}

/// The summary aggregation in 30-minute bins of every trading day at once, grouped by day:
/// one pass over the table where a resampling per day would take one per day. The bins of
/// one grouping are those of resampling each day, their edges all on the display zone's
/// hours and half hours ("30min" is the current spelling of the older "30Min" rule).
py::object half_hours_by_day(py::handle by_time) {
    py::object pd = host::global<"pd">();
    py::list keys;
    keys.append("trading_day");
    keys.append(pd.attr("Grouper")(py::arg("freq") = "30min"));
    return by_time.attr("groupby")(keys).attr("agg")(summary_agg()).attr("groupby")(
        py::arg("level") = 0);
}

/// One day's bins as resampling gives them: every bin from the first fill's to the last
/// fill's, those without fills summing to 0 and counting 0.
py::object day_table(py::handle day_bins) {
    py::object bins = day_bins.attr("droplevel")(0);
    py::object index = bins.attr("index");
    py::object every = host::global<"pd">().attr("date_range")(
        index[py::int_(0)], index[py::int_(-1)], py::arg("freq") = "30min",
        py::arg("name") = index.attr("name"));
    return bins.attr("reindex")(every, py::arg("fill_value") = 0);
}

/// `table` with the row "sum" of the column sums of `columns` under it, the other cells
/// missing: what `table.loc["sum", columns] = table[columns].sum()` makes, joined on once
/// instead of growing the table by a row of gaps that is then filled in.
py::object with_sum_row(py::handle table, py::handle columns) {
    py::object pd = host::global<"pd">();
    py::object sums = table[columns].attr("sum")();
    py::list label;
    label.append("sum");
    py::list values;
    values.append(sums.attr("to_numpy")());
    py::object row = pd.attr("DataFrame")(
        values, py::arg("index") = pd.attr("Index")(label, py::arg("name") =
                                                               table.attr("index").attr("name")),
        py::arg("columns") = sums.attr("index"));
    py::list parts;
    parts.append(table);
    parts.append(row);
    return pd.attr("concat")(parts);
}

} // namespace

py::str title(const char *head, py::handle desc) { return py::str(py::str(head) + desc); }

void show_table(py::handle frame, py::handle heading) {
    // A copy in pandas' nullable types: empty cells print as <NA> in every column kind and
    // each float at its own precision. The tables themselves keep their numpy types.
    host::print_frame(frame.attr("convert_dtypes")(), heading);
}

py::object order_table(py::handle df) {
    // Start and finish from the real fill times: times of day alone would put the first
    // fill after midnight before the last one before it. The first date is the date of the
    // first fill, which is also the least of the date texts (and far cheaper than a text
    // minimum per order).
    py::dict agg;
    agg["timestamp"] = agg_list({{"start", "min"}, {"finish", "max"}});
    agg["price"] = names({"mean"});
    agg["shares"] = names({"sum"});
    agg["total"] = names({"sum"});
    agg["commission"] = names({"sum"});
    agg["c_each"] = names({"mean"});
    py::object by_trade =
        df.attr("groupby")(names({"orderId", "side", "localSymbol"})).attr("agg")(agg);

    py::object start = by_trade[py::make_tuple("timestamp", "start")];
    py::object finish = by_trade[py::make_tuple("timestamp", "finish")];
    py::dict renamed;
    renamed["timestamp"] = "time";
    by_trade = by_trade.attr("rename")(py::arg("columns") = renamed, py::arg("level") = 0);
    auto [start_dates, start_times] = wall_texts(start);
    by_trade.attr("insert")(0, py::make_tuple("date", "min"), start_dates);
    by_trade[py::make_tuple("time", "start")] = start_times;
    by_trade[py::make_tuple("time", "finish")] = wall_texts(finish).second;
    // Whole seconds between the shown start and finish, so a same-day order keeps the
    // difference of its two time-of-day texts. Floored in UTC: a wall clock's repeated hour
    // when the clocks go back has no single floor, and zone offsets are whole seconds.
    auto floored = [](py::handle times) {
        return times.attr("dt").attr("tz_convert")("UTC").attr("dt").attr("floor")("s");
    };
    py::object seconds =
        floored(finish).attr("sub")(floored(start)).attr("dt").attr("total_seconds")();
    by_trade[py::make_tuple("duration", "")] = seconds.attr("astype")("int64");
    py::object commission = by_trade[py::make_tuple("commission", "sum")];
    by_trade[py::make_tuple("c_pct", "")] = commission.attr("div")(
        by_trade[py::make_tuple("total", "sum")].attr("add")(commission));
    return by_trade;
}

void format_order_table(py::handle by_trade) {
    std::vector<py::object> keys;
    for (const char *outer : {"price", "shares", "total", "commission", "c_each"}) {
        py::object inner = by_trade[py::str(outer)].attr("columns");
        for (py::handle key : inner)
            keys.push_back(py::make_tuple(outer, key));
    }
    format_prices(by_trade, keys);
}

py::object time_profit_copy(py::handle df) {
    // Only the sort keys and what the per-day and half-hour summaries read: the other
    // columns would be reordered only to be left unread. The "%H:%M:%S" texts of `time`
    // sort as the whole seconds of the wall-clock day they spell, which sort as numbers.
    py::object copy = df[names({"orderId", "secType", "side", "localSymbol", "timestamp",
                                "realizedPNL"})];
    py::object seconds = df["timestamp"].attr("dt").attr("tz_localize")(py::none())
                             .attr("to_numpy")(py::arg("dtype") = "datetime64[s]")
                             .attr("astype")("int64");
    py::dict time_of_day;
    time_of_day["time_of_day"] = seconds.attr("__mod__")(86400);
    return copy.attr("assign")(**time_of_day)
        .attr("sort_values")(names({"time_of_day", "orderId", "secType", "side", "localSymbol"}));
}

py::object add_time_profit_columns(py::object by_time) {
    by_time = by_time.attr("set_index")("timestamp");
    py::object pnl = by_time["realizedPNL"];
    py::object order = by_time["orderId"];
    by_time["profit"] = pnl.attr("where")(pnl.attr("gt")(0));
    by_time["loss"] = pnl.attr("where")(pnl.attr("lt")(0));
    by_time["opening"] = order.attr("where")(pnl.attr("eq")(0));
    by_time["closing"] = order.attr("where")(pnl.attr("ne")(0));
    by_time["trading_day"] = trading_days(by_time.attr("index"));
    return by_time;
}

void print_summaries(py::handle by_time, py::handle by_trade, py::handle desc) {
    py::object trading_day_summary = by_time.attr("groupby")("trading_day").attr("agg")(
        summary_agg());

    py::list numeric_cols = names({"orderId", "profit", "loss", "opening", "closing"});
    for (py::handle item : half_hours_by_day(by_time)) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::object day_profit = day_table(pair[1]);
        day_profit[py::make_tuple("dayProfit", "")] =
            day_profit[py::make_tuple("realizedPNL", "sum")].attr("cumsum")();
        format_prices(day_profit, {py::make_tuple("realizedPNL", "sum"),
                                   py::make_tuple("dayProfit", "")});
        day_profit = with_sum_row(day_profit, numeric_cols);
        py::object trading_day_str = pair[0].attr("strftime")("%Y-%m-%d");
        show_table(day_profit, title("Profit by Half Hour for Trading Day ",
                                     py::str(trading_day_str + desc)));
    }

    trading_day_summary[py::make_tuple("totalProfit", "")] =
        trading_day_summary[py::make_tuple("realizedPNL", "sum")];
    format_prices(trading_day_summary,
                  {py::make_tuple("realizedPNL", "sum"), py::make_tuple("totalProfit", "")});
    show_table(trading_day_summary, title("Profit by Trading Day", desc));

    py::list order;
    order.append(py::make_tuple("date", "min"));
    order.append(py::make_tuple("time", "start"));
    order.append("orderId");
    order.append("localSymbol");
    show_table(by_trade.attr("sort_values")(order),
               title("Execution Summary by Complete Order", desc));
}

} // namespace korvanta::executions
