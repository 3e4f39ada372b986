// cmds/quotes/kline/bar_frames.cpp: gateway bars to frame, frame to bar records.
//
// The plain steps, `pd.DataFrame(bars)` on ib_async's `BarData` objects and
// `to_dict(orient="records")`, spend nearly all their time per row in Python
// (`dataclasses.asdict` deep-copies every bar; `itertuples` boxes every cell twice). Here the
// columns are read from the bars straight into numpy buffers and the records are built from
// the converted columns' buffers, leaving pandas the column-wise work (`convert_dtypes`,
// Timestamp boxing). Anything off the regular shape takes the plain steps, so the result is
// always theirs.
#include "cmds/quotes/kline/bar_frames.hpp"

#include "bridge/datetimes.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace korvanta::kline {

namespace {

using bridge::checked;
using bridge::need_datetime_api;
using bridge::wall_clock_micros;
using host::global;
using host::name;

/// Keeps `object` for the life of the process: a static py::object would be released
/// after the interpreter is gone.
py::handle kept(py::object object) { return object.release(); }

/// A numpy array's buffer, released with the view.
class Buffer {
public:
    Buffer(py::handle array, int flags) {
        if (PyObject_GetBuffer(array.ptr(), &view_, flags) < 0)
            throw py::error_already_set();
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { PyBuffer_Release(&view_); }

    const Py_buffer &view() const { return view_; }
    /// Element `i` of a one-dimensional buffer, strides honoured.
    template <typename T>
    T at(Py_ssize_t i) const {
        T value;
        const char *base = static_cast<const char *>(view_.buf);
        const Py_ssize_t stride =
            view_.strides ? view_.strides[0] : static_cast<Py_ssize_t>(sizeof(T));
        std::memcpy(&value, base + i * stride, sizeof(T));
        return value;
    }
    template <typename T>
    T *data() {
        return static_cast<T *>(view_.buf);
    }

private:
    Py_buffer view_{};
};

// ==== Bars to frame ==========================================================

/// ib_async's bar class and its data-class field names, in order.
struct BarShape {
    PyTypeObject *type = nullptr;
    std::vector<py::object> fields;
    bool micro_times = false;  // pandas makes datetime64[us] of datetime objects
};

const BarShape &bar_shape() {
    // Leaked on purpose: released after the interpreter would be too late.
    static BarShape *shape = [] {
        auto *made = new BarShape;
        py::object bar_data = py::module_::import("ib_async").attr("BarData");
        made->type = reinterpret_cast<PyTypeObject *>(bar_data.inc_ref().ptr());
        for (py::handle field : py::module_::import("dataclasses").attr("fields")(bar_data)) {
            py::object field_name = field.attr("name");
            PyUnicode_InternInPlace(&field_name.ptr());
            made->fields.push_back(field_name);
        }
        // Older pandas infer nanoseconds: their times are left to them.
        py::dict row;
        row["date"] = py::module_::import("datetime").attr("datetime")(2000, 1, 1);
        py::object inferred = global<"pd">().attr("DataFrame")(py::make_tuple(row))["date"];
        std::string unit = py::str(inferred.attr("dtype"));
        made->micro_times = unit == "datetime64[us]";
        return made;
    }();
    return *shape;
}

/// What a column holds, as pandas would infer it from the first bar's value.
enum class Kind { real, integer, utc_time, naive_time, calendar_date };

std::optional<Kind> kind_of(PyObject *value) {
    static const bool micro_times = bar_shape().micro_times;
    if (PyFloat_CheckExact(value))
        return Kind::real;
    if (PyLong_CheckExact(value))
        return Kind::integer;
    if (PyDateTime_CheckExact(value)) {
        if (!micro_times)
            return std::nullopt;
        PyObject *zone = PyDateTime_DATE_GET_TZINFO(value);
        if (zone == Py_None)
            return Kind::naive_time;
        if (zone == PyDateTime_TimeZone_UTC)
            return Kind::utc_time;
        return std::nullopt;
    }
    if (PyDate_CheckExact(value))
        return Kind::calendar_date;
    return std::nullopt;
}

/// One column being filled from the bars.
struct Column {
    Kind kind;
    py::object array;              // numpy array (calendar dates: a list until the end)
    std::unique_ptr<Buffer> buffer;  // writable view of `array` for the numeric kinds
};

Column start_column(Kind kind, Py_ssize_t rows, py::handle numpy) {
    Column column{kind, {}, nullptr};
    const char *dtype = kind == Kind::real ? "float64" : "int64";
    if (kind == Kind::calendar_date) {
        column.array = checked(PyList_New(rows));
        return column;
    }
    column.array = numpy.attr("empty")(rows, dtype);
    column.buffer = std::make_unique<Buffer>(column.array, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    return column;
}

/// Stores `value` at `row`; false when it does not fit the column's kind.
bool store(Column &column, Py_ssize_t row, PyObject *value) {
    switch (column.kind) {
    case Kind::real:
        if (!PyFloat_CheckExact(value))
            return false;
        column.buffer->data<double>()[row] = PyFloat_AS_DOUBLE(value);
        return true;
    case Kind::integer: {
        if (!PyLong_CheckExact(value))
            return false;
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        // Beyond int64 pandas infers another dtype: left to pandas.
        if (overflow || (number == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        column.buffer->data<std::int64_t>()[row] = number;
        return true;
    }
    case Kind::utc_time:
    case Kind::naive_time:
        if (kind_of(value) != column.kind)
            return false;
        column.buffer->data<std::int64_t>()[row] = wall_clock_micros(value);
        return true;
    case Kind::calendar_date:
        if (!PyDate_CheckExact(value))
            return false;
        PyList_SET_ITEM(column.array.ptr(), row, Py_NewRef(value));
        return true;
    }
    return false;
}

/// UTC readings (datetime64[us]) as the exchange's wall clock: what converting a UTC
/// column to the exchange zone and then `_strip_tz` leave of it, done by the same pandas
/// operations on the column alone.
py::object exchange_wall_clock(py::object utc) {
    py::object times = global<"pd">().attr("DatetimeIndex")(std::move(utc));
    times = times.attr("tz_localize")("UTC").attr("tz_convert")(global<"_EXCHANGE_TZ">());
    return times.attr("tz_localize")(py::none()).attr("to_numpy")();
}

/// The frame of regular gateway bars built column by column; None when `bars` is not
/// a non-empty list of `BarData` whose columns each hold one kind that pandas infers as
/// float64, int64, datetime64[us] (naive or UTC) or object (calendar dates).
py::object regular_bars_frame(py::handle bars) {
    if (!PyList_Check(bars.ptr()) || PyList_GET_SIZE(bars.ptr()) == 0)
        return py::none();
    const BarShape &shape = bar_shape();
    const Py_ssize_t rows = PyList_GET_SIZE(bars.ptr());
    for (Py_ssize_t row = 0; row < rows; ++row) {
        if (Py_TYPE(PyList_GET_ITEM(bars.ptr(), row)) != shape.type)
            return py::none();
    }
    need_datetime_api();

    static py::handle numpy = py::module_::import("numpy").release();
    // The list keeps every bar alive while it is read; a bar's attribute read may run code.
    py::list snapshot = py::reinterpret_steal<py::list>(PyList_GetSlice(bars.ptr(), 0, rows));
    if (!snapshot)
        throw py::error_already_set();

    std::vector<Column> columns;
    PyObject *first = PyList_GET_ITEM(snapshot.ptr(), 0);
    for (const py::object &field : shape.fields) {
        py::object value = checked(PyObject_GetAttr(first, field.ptr()));
        std::optional<Kind> kind = kind_of(value.ptr());
        if (!kind)
            return py::none();
        columns.push_back(start_column(*kind, rows, numpy));
    }
    for (Py_ssize_t row = 0; row < rows; ++row) {
        PyObject *bar = PyList_GET_ITEM(snapshot.ptr(), row);
        for (std::size_t j = 0; j < columns.size(); ++j) {
            PyObject *value = PyObject_GetAttr(bar, shape.fields[j].ptr());
            if (!value)
                throw py::error_already_set();
            bool fits = store(columns[j], row, value);
            Py_DECREF(value);
            if (!fits)
                return py::none();
        }
    }

    py::dict data;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        Column &column = columns[j];
        column.buffer.reset();
        py::object array = std::move(column.array);
        if (column.kind == Kind::naive_time)
            array = array.attr("view")("datetime64[us]");
        else if (column.kind == Kind::utc_time)
            array = exchange_wall_clock(array.attr("view")("datetime64[us]"));
        else if (column.kind == Kind::calendar_date)
            array = numpy.attr("array")(array, py::arg("dtype") = "object");
        data[shape.fields[j]] = array;
    }
    return global<"pd">().attr("DataFrame")(data).attr("convert_dtypes")();
}

/// The "date" column converted, in place, to the exchange zone (`_EXCHANGE_TZ`) when it
/// carries a zone; returns `df`. Naive times and plain dates are exchange readings already.
py::object to_exchange_zone(py::object df) {
    if (!table_has(df, name<"date">()))
        return df;
    py::object column = checked(PyObject_GetItem(df.ptr(), name<"date">().ptr()));
    static py::handle zoned = kept(global<"pd">().attr("DatetimeTZDtype"));
    int aware = PyObject_IsInstance(column.attr("dtype").ptr(), zoned.ptr());
    if (aware < 0)
        throw py::error_already_set();
    if (aware) {
        py::object converted = column.attr("dt").attr("tz_convert")(global<"_EXCHANGE_TZ">());
        if (PyObject_SetItem(df.ptr(), name<"date">().ptr(), converted.ptr()) < 0)
            throw py::error_already_set();
    }
    return df;
}

// ==== Frame to records =======================================================

enum class Cells { masked_real, masked_integer, masked_bool, timestamps, objects };

/// How `to_dict` would box one column's cells; nullopt for dtypes left to pandas.
struct ColumnCells {
    Cells cells;
    py::object data;  // masked: the values array; timestamps/objects: a list of cells
    py::object mask;
};

std::optional<ColumnCells> column_cells(py::handle series) {
    static py::handle masked_type =
        kept(py::module_::import("pandas.core.arrays.masked").attr("BaseMaskedArray"));
    py::object array = series.attr("array");
    int masked = PyObject_IsInstance(array.ptr(), masked_type.ptr());
    if (masked < 0)
        throw py::error_already_set();
    if (masked) {
        py::object values = array.attr("_data");
        std::string kind = py::str(values.attr("dtype").attr("str"));
        ColumnCells cells{Cells::objects, values, array.attr("_mask")};
        if (kind == "<f8")
            cells.cells = Cells::masked_real;
        else if (kind == "<i8")
            cells.cells = Cells::masked_integer;
        else if (kind == "|b1")
            cells.cells = Cells::masked_bool;
        else
            return std::nullopt;
        return cells;
    }
    py::object dtype = series.attr("dtype");
    std::string kind = py::str(dtype.attr("kind"));
    if (kind == "M")
        // DatetimeArray's own iteration: the Timestamps itertuples hands to to_dict.
        return ColumnCells{Cells::timestamps, checked(PySequence_List(array.ptr())), {}};
    // Extension dtypes of kind "O" (text) box their cells their own way: left to pandas.
    static py::handle numpy_dtype = kept(py::module_::import("numpy").attr("dtype"));
    if (kind == "O" && PyObject_IsInstance(dtype.ptr(), numpy_dtype.ptr()) == 1)
        return ColumnCells{Cells::objects, series.attr("to_numpy")().attr("tolist")(), {}};
    return std::nullopt;
}

py::handle box_function() {
    static py::handle box =
        kept(py::module_::import("pandas.core.dtypes.cast").attr("maybe_box_native"));
    return box;
}

/// What to_dict makes of a missing cell of a masked column (None in current pandas).
PyObject *missing_cell() {
    static py::handle missing = kept(box_function()(global<"pd">().attr("NA")));
    return Py_NewRef(missing.ptr());
}

/// `maybe_box_native` of one object cell: Python scalars and dates pass unchanged.
PyObject *box_native(PyObject *cell) {
    py::handle box = box_function();
    if (PyFloat_CheckExact(cell) || PyLong_CheckExact(cell) || PyBool_Check(cell) ||
        PyUnicode_CheckExact(cell) || cell == Py_None || PyDate_CheckExact(cell) ||
        PyDateTime_CheckExact(cell))
        return Py_NewRef(cell);
    return PyObject_CallOneArg(box.ptr(), cell);
}

PyObject *cell_at(const ColumnCells &column, const Buffer *values, const Buffer *mask,
                  Py_ssize_t row) {
    switch (column.cells) {
    case Cells::masked_real:
    case Cells::masked_integer:
    case Cells::masked_bool:
        if (mask->at<bool>(row))
            return missing_cell();
        if (column.cells == Cells::masked_real)
            return PyFloat_FromDouble(values->at<double>(row));
        if (column.cells == Cells::masked_integer)
            return PyLong_FromLongLong(values->at<std::int64_t>(row));
        return PyBool_FromLong(values->at<bool>(row));
    case Cells::timestamps:
        return Py_NewRef(PyList_GET_ITEM(column.data.ptr(), row));
    case Cells::objects:
        return box_native(PyList_GET_ITEM(column.data.ptr(), row));
    }
    return nullptr;
}

} // namespace

py::object bars_frame(py::handle bars) {
    py::object frame = regular_bars_frame(bars);
    if (!frame.is_none())
        return frame;
    frame = global<"pd">().attr("DataFrame")(bars).attr("convert_dtypes")();
    return strip_tz(to_exchange_zone(std::move(frame)));
}

py::list frame_records(py::handle frame) {
    need_datetime_api();
    py::object labels = frame.attr("columns");
    auto plain = [&] { return py::list(frame.attr("to_dict")(py::arg("orient") = "records")); };
    // Repeated labels make to_dict warn and drop columns: its business.
    if (!labels.attr("is_unique").cast<bool>())
        return plain();
    py::list keys = labels.attr("tolist")();
    const Py_ssize_t rows = PyObject_Length(frame.ptr());
    if (rows < 0)
        throw py::error_already_set();

    std::vector<ColumnCells> columns;
    for (py::handle key : keys) {
        std::optional<ColumnCells> cells =
            column_cells(checked(PyObject_GetItem(frame.ptr(), key.ptr())));
        if (!cells)
            return plain();
        columns.push_back(std::move(*cells));
    }
    std::vector<std::optional<Buffer>> values(columns.size());
    std::vector<std::optional<Buffer>> masks(columns.size());
    for (std::size_t j = 0; j < columns.size(); ++j) {
        if (columns[j].mask) {
            values[j].emplace(columns[j].data, PyBUF_STRIDES | PyBUF_FORMAT);
            masks[j].emplace(columns[j].mask, PyBUF_STRIDES | PyBUF_FORMAT);
        }
    }

    py::list records = py::reinterpret_steal<py::list>(PyList_New(rows));
    if (!records)
        throw py::error_already_set();
    for (Py_ssize_t row = 0; row < rows; ++row) {
        py::dict record;
        for (std::size_t j = 0; j < columns.size(); ++j) {
            PyObject *cell = cell_at(columns[j], values[j] ? &*values[j] : nullptr,
                                     masks[j] ? &*masks[j] : nullptr, row);
            if (!cell)
                throw py::error_already_set();
            int stored = PyDict_SetItem(record.ptr(), PyList_GET_ITEM(keys.ptr(), j), cell);
            Py_DECREF(cell);
            if (stored < 0)
                throw py::error_already_set();
        }
        PyList_SET_ITEM(records.ptr(), row, record.release().ptr());
    }
    return records;
}

} // namespace korvanta::kline
