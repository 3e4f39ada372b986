// cmds/portfolio/executions/display_table.cpp: the execution table as printed and returned,
// its fill rows and its six summary rows in display form.
//
// Appending a row to a frame of 20,000 copies all of it, and so does each pass over the
// whole table (`astype`, `fillna`, the column selection). While `addRowSafe` is the host's
// own, whose new row depends only on the frame's columns and types, the summary rows are
// therefore made on their own: it grows them from the table's empty slice, and they take
// the display steps as a small frame. The fill rows take the same steps column by column,
// straight into the object arrays of the final table, which is assembled once; a column
// whose type the join would change (ints beside a gap) takes them whole, joined. Any other
// `addRowSafe` is handed the whole table, and its answer is the table shown.
#include "cmds/portfolio/executions/executions.hpp"

#include "host/host.hpp"

#include <pybind11/numpy.h>

#include <cmath>
#include <vector>

namespace korvanta::executions {

namespace host = korvanta::host;

namespace {

py::object pd() { return host::global<"pd">(); }

/// Keeps `object` for the life of the process: a static py::object would be released
/// after the interpreter is gone.
py::handle kept(py::object object) { return object.release(); }

// The 26 columns of the final table, in order.
constexpr const char *final_columns =
    "clientId secType conId symbol conDate right strike date exchange tradingClass "
    "localSymbol time timestamp orderId side shares cumQty price total realizedPNL RPNL_each "
    "commission c_each c_pct c_pct_RPNL dayProfit";

// Shown through `fmtPrice`; `avgPrice`, the other money column, is not a final column.
constexpr const char *price_columns[] = {"c_each",    "shares", "price", "commission",
                                         "realizedPNL", "RPNL_each", "total", "dayProfit",
                                         "c_pct",       "c_pct_RPNL"};

/// pandas' own boxing of a cell, the one `to_dict` applies.
py::handle box_native() {
    static py::handle box =
        kept(py::module_::import("pandas.core.dtypes.cast").attr("maybe_box_native"));
    return box;
}

py::handle final_column_list() {
    static py::handle columns = kept(py::str(final_columns).attr("split")());
    return columns;
}

bool is_price_column(py::handle column) {
    for (const char *price : price_columns)
        if (py::str(column).equal(py::str(price)))
            return true;
    return false;
}

/// The host's own `addRowSafe`, as the module bound it (a strong reference).
PyObject *host_add_row = nullptr;

/// `rows` grown by "sum", "sum-buy", "sum-sell", "profit", "med" and "mean", through
/// `add_row` and label assignment, from the figures of `df`, the fill rows.
py::object summary_rows(py::handle df, py::object rows, py::handle add_row) {
    py::list sum_cols = names({"shares", "price", "commission", "total"});
    // The four columns taken before the rows of one side: filtering the whole table first
    // would copy every other column only to drop it.
    py::object sums = df[sum_cols];
    rows = add_row(rows, "sum", sums.attr("sum")());
    py::object side = df["side"];
    rows = add_row(rows, "sum-buy", sums[side.attr("eq")("BOT")].attr("sum")());
    rows = add_row(rows, "sum-sell", sums[side.attr("eq")("SLD")].attr("sum")());
    py::object loc = rows.attr("loc");
    for (const char *column : {"total", "price"})
        loc[py::make_tuple("profit", column)] =
            loc[py::make_tuple("sum-sell", column)] - loc[py::make_tuple("sum-buy", column)];
    // Medians and means describe fills; the summary rows would count the totals among them.
    py::list each_share_price = names({"c_each", "shares", "price"});
    rows = add_row(rows, "med", df[each_share_price].attr("median")());
    return add_row(rows, "mean", df[each_share_price].attr("mean")());
}

/// A new object array of `n` cells, each None.
py::array object_array(Py_ssize_t n) {
    static py::handle empty = kept(py::module_::import("numpy").attr("empty"));
    return empty(n, py::arg("dtype") = py::dtype("O"));
}

PyObject **cells(py::array &array) { return static_cast<PyObject **>(array.mutable_data()); }

/// Whether `cell` is missing to pandas, for the kinds of cell whose answer is plain: -1 for
/// any other kind.
int plainly_missing(PyObject *cell, PyTypeObject *timestamp) {
    if (cell == Py_None)
        return 1;
    if (PyFloat_CheckExact(cell))
        return std::isnan(PyFloat_AS_DOUBLE(cell)) ? 1 : 0;
    // NaT has a type of its own: a Timestamp is always a time.
    if (PyUnicode_CheckExact(cell) || PyLong_CheckExact(cell) || PyBool_Check(cell) ||
        Py_TYPE(cell) == timestamp)
        return 0;
    return -1;
}

/// `column[i]` of the fill rows in display form where it is present, "" where pandas finds
/// it missing: `astype(object).fillna("")` of one column, written into `out` from `at`.
void fill_cells(py::handle column, py::array &out, Py_ssize_t at) {
    py::object values = column.attr("to_numpy")(py::arg("dtype") = py::dtype("O"));
    py::array objects = py::array::ensure(values, py::array::c_style);
    const Py_ssize_t n = objects.shape(0);
    // pandas hands out its own arrays read-only: read through `data`, never `mutable_data`.
    PyObject *const *in = static_cast<PyObject *const *>(objects.data());
    auto *timestamp = reinterpret_cast<PyTypeObject *>(pd().attr("Timestamp").ptr());
    std::vector<char> missing(static_cast<std::size_t>(n));
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
        const int answer = plainly_missing(in[i], timestamp);
        plain = answer >= 0;
        missing[static_cast<std::size_t>(i)] = static_cast<char>(answer == 1);
    }
    if (!plain) {
        // Cells of other kinds (numpy scalars, NA, decimals): pandas' own test for all.
        py::array_t<bool> flags = pd().attr("isna")(objects);
        auto view = flags.unchecked<1>();
        for (Py_ssize_t i = 0; i < n; ++i)
            missing[static_cast<std::size_t>(i)] = view(i);
    }
    PyObject **target = cells(out) + at;
    static py::handle empty_text = kept(py::str(""));
    for (Py_ssize_t i = 0; i < n; ++i)
        Py_SETREF(target[i],
                  Py_NewRef(missing[static_cast<std::size_t>(i)] ? empty_text.ptr() : in[i]));
}

/// The cells of a list or object array `values` written into `out` from `at`.
void copy_cells(py::handle values, py::array &out, Py_ssize_t at) {
    py::object sequence = bridge::checked(PySequence_Fast(values.ptr(), "cells"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject **in = PySequence_Fast_ITEMS(sequence.ptr()), **target = cells(out) + at;
    for (Py_ssize_t i = 0; i < n; ++i)
        Py_SETREF(target[i], Py_NewRef(in[i]));
}

/// The frame's column shown under the final column `name`.
py::object source_of(py::handle name) {
    return name.equal(py::str("conDate")) ? py::object(py::str("lastTradeDateOrContractMonth"))
                                          : py::reinterpret_borrow<py::object>(name);
}

/// The display steps on one final column, written into `out` from `at`: money through
/// `fmtPrice` (missing as 0), `conId` -1 where missing, anything else as an object, ""
/// where pandas finds it missing.
void write_display_cells(py::handle name, py::handle column, py::array &out, Py_ssize_t at) {
    if (is_price_column(name))
        copy_cells(price_texts(column.attr("fillna")(0)), out, at);
    else if (name.equal(py::str("conId")))
        copy_cells(column.attr("fillna")(-1)
                       .attr("astype")(py::module_::import("builtins").attr("int"))
                       .attr("to_numpy")(py::arg("dtype") = py::dtype("O")),
                   out, at);
    else
        fill_cells(column, out, at);
}

/// The display steps on a whole frame: its final columns in order, `conDate` named, every
/// cell in display form.
py::object display_form(py::handle frame) {
    const Py_ssize_t n = py::len(frame);
    py::dict columns;
    for (py::handle name : final_column_list()) {
        py::array out = object_array(n);
        write_display_cells(name, frame[source_of(name)], out, 0);
        columns[name] = out;
    }
    return pd().attr("DataFrame")(columns, py::arg("index") = frame.attr("index"),
                                  py::arg("dtype") = py::dtype("O"));
}

/// The row labels of `fills` then of `rows`, as one object index: the labels mix
/// positions and names.
py::object joined_index(py::handle fills, py::handle rows) {
    const Py_ssize_t n = py::len(fills.attr("index")), m = py::len(rows.attr("index"));
    py::array labels = object_array(n + m);
    copy_cells(fills.attr("index").attr("to_numpy")(py::arg("dtype") = py::dtype("O")), labels,
               0);
    copy_cells(rows.attr("index").attr("to_numpy")(py::arg("dtype") = py::dtype("O")), labels,
               n);
    return pd().attr("Index")(labels, py::arg("dtype") = py::dtype("O"));
}

} // namespace

void adopt_host_add_row() {
    Py_XDECREF(host_add_row);
    host_add_row = host::global<"addRowSafe">().inc_ref().ptr();
}

py::object finish_table(py::object df) {
    py::object add_row = host::global<"addRowSafe">();
    if (add_row.ptr() != host_add_row)
        return display_form(summary_rows(df, df, add_row));
    py::object raw_rows = summary_rows(df, df.attr("iloc")[py::slice(0, 0, 1)], add_row);
    py::object rows = display_form(raw_rows);
    const Py_ssize_t n = py::len(df), total = n + py::len(rows);

    py::dict columns;
    for (py::handle name : final_column_list()) {
        py::object source = source_of(name);
        py::object column = df[source], extra = raw_rows[source];
        // Joined to the summary rows, the fill rows take the type both share: an int
        // column beside a row's gap holds floats, and is shown as floats. Such a column
        // takes the display steps whole.
        const bool joined = !column.attr("dtype").equal(extra.attr("dtype"));
        if (joined) {
            py::list parts;
            parts.append(column);
            parts.append(extra);
            column = pd().attr("concat")(parts);
        }
        py::array out = object_array(total);
        write_display_cells(name, column, out, 0);
        if (!joined)
            copy_cells(rows[name].attr("to_numpy")(), out, n);
        columns[name] = out;
    }
    // Built as objects: pandas would otherwise read every text column back into its own
    // string type, which the display table does not have.
    return pd().attr("DataFrame")(columns, py::arg("index") = joined_index(df, rows),
                                  py::arg("dtype") = py::dtype("O"));
}

py::object printed_copy(py::handle df) {
    // `convert_dtypes` goes column by column. Offered the timestamps, it would read them
    // all as datetimes before meeting a summary row's "" and keeping them as objects, which
    // is what a column holding text besides its times always stays.
    py::object times = df["timestamp"];
    py::object cells = times.attr("to_numpy")();
    const Py_ssize_t n = py::len(cells);
    bool mixed = false;
    for (Py_ssize_t i = n; i-- > 0 && !mixed;) {
        PyObject *cell = PySequence_GetItem(cells.ptr(), i);
        if (!cell)
            throw py::error_already_set();
        mixed = PyUnicode_Check(cell);
        Py_DECREF(cell);
    }
    if (!mixed)
        return df.attr("convert_dtypes")();
    py::object position = df.attr("columns").attr("get_loc")("timestamp");
    py::object converted = df.attr("drop")(py::arg("columns") = "timestamp").attr("convert_dtypes")();
    converted.attr("insert")(position, "timestamp", times.attr("copy")());
    return converted;
}

py::list to_records(py::handle df) {
    py::handle box = box_native();
    py::object timestamp_type = pd().attr("Timestamp");
    py::list columns = df.attr("columns").attr("tolist")();
    const Py_ssize_t width = PyList_GET_SIZE(columns.ptr());
    const Py_ssize_t n = py::len(df);
    std::vector<py::list> cells;
    py::object iloc = df.attr("iloc");
    py::object all = py::reinterpret_steal<py::object>(PySlice_New(nullptr, nullptr, nullptr));
    for (Py_ssize_t k = 0; k < width; ++k)
        cells.push_back(iloc[py::make_tuple(all, k)].attr("to_numpy")().attr("tolist")());
    // Each record starts as a copy of one holding every key: a copy takes the key table
    // whole, where 26 insertions into an empty dict would regrow it three times.
    py::dict blank;
    for (Py_ssize_t k = 0; k < width; ++k)
        blank[PyList_GET_ITEM(columns.ptr(), k)] = py::none();
    CollectorPause pause;
    py::list records(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object row = bridge::checked(PyDict_Copy(blank.ptr()));
        for (Py_ssize_t k = 0; k < width; ++k) {
            PyObject *cell = PyList_GET_ITEM(cells[k].ptr(), i);
            py::object value = py::reinterpret_borrow<py::object>(cell);
            // Numbers, text and timestamps as pandas leaves them; numpy scalars and NA
            // go through pandas' own boxing.
            if (!(PyFloat_CheckExact(cell) || PyLong_CheckExact(cell) ||
                  PyUnicode_CheckExact(cell) || PyBool_Check(cell) ||
                  Py_TYPE(cell) == reinterpret_cast<PyTypeObject *>(timestamp_type.ptr())))
                value = box(value);
            if (PyDict_SetItem(row.ptr(), PyList_GET_ITEM(columns.ptr(), k), value.ptr()) < 0)
                throw py::error_already_set();
        }
        PyList_SET_ITEM(records.ptr(), i, row.release().ptr());
    }
    return records;
}

} // namespace korvanta::executions
