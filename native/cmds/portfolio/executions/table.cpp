// cmds/portfolio/executions/table.cpp: the per-fill execution table, from fill records to
// its derived columns.
//
// Frames are pandas throughout. Native work replaces only what pandas does one Python
// object at a time: reading the records (a frame from dataclass records deep-copies each
// one through `asdict`), the date and time texts and the integer texts. Everything
// arithmetic stays a pandas call.
#include "cmds/portfolio/executions/executions.hpp"

#include "bridge/datetimes.hpp"
#include "host/host.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace korvanta::executions {

namespace host = korvanta::host;

namespace {

py::object pd() { return host::global<"pd">(); }

struct Source {
    const char *record;
    std::vector<const char *> fields;
};

// Only the fields the tables read. Where records share a field name (`exchange`, `execId`),
// the joined table keeps the first record's column, so the contract's `exchange` is the
// one read here and the others never enter.
const Source sources[] = {
    {"contract",
     {"secType", "conId", "symbol", "lastTradeDateOrContractMonth", "right", "strike",
      "multiplier", "exchange", "tradingClass", "localSymbol"}},
    {"execution",
     {"clientId", "orderId", "time", "side", "shares", "cumQty", "price", "avgPrice"}},
    {"commissionReport", {"commission", "realizedPNL"}},
};

/// Text fields that no grouping or summary shows: they are kept as the objects the records
/// hold (pandas would read each into its own string type, and the display table back out
/// of it). `side` and `localSymbol` are group keys, whose type the order table's index
/// shows, and stay with pandas.
bool kept_as_objects(const char *field) {
    for (const char *name : {"secType", "symbol", "lastTradeDateOrContractMonth", "right",
                             "multiplier", "exchange", "tradingClass"})
        if (std::strcmp(field, name) == 0)
            return true;
    return false;
}

/// `values` as a column of objects, which pandas leaves as they are.
py::object object_column(py::handle values, py::handle index = py::none()) {
    return host::global<"pd">().attr("Series")(values, py::arg("index") = index,
                                               py::arg("dtype") = py::dtype("O"));
}

py::object interned(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(name);
}

py::object attr(PyObject *object, py::handle name) {
    PyObject *value = PyObject_GetAttr(object, name.ptr());
    if (!value)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

/// `values` as the float64 or int64 array pandas would infer from them when every value is
/// an exact float, or every one an exact int in 64 bits; otherwise the list itself, for
/// pandas to read.
py::object numbers_or_list(py::list values) {
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    PyObject **items = PySequence_Fast_ITEMS(values.ptr());
    bool floats = true, ints = true;
    for (Py_ssize_t i = 0; i < n && (floats || ints); ++i) {
        floats = floats && PyFloat_CheckExact(items[i]);
        ints = ints && PyLong_CheckExact(items[i]);
    }
    if (floats) {
        py::array_t<double> out(n);
        double *cells = out.mutable_data();
        for (Py_ssize_t i = 0; i < n; ++i)
            cells[i] = PyFloat_AS_DOUBLE(items[i]);
        return out;
    }
    if (ints) {
        py::array_t<std::int64_t> out(n);
        std::int64_t *cells = out.mutable_data();
        for (Py_ssize_t i = 0; i < n; ++i) {
            int overflow = 0;
            cells[i] = PyLong_AsLongLongAndOverflow(items[i], &overflow);
            if (overflow)
                return values;
        }
        return out;
    }
    return values;
}

/// `values` as a UTC datetime column when every value is a `datetime` in
/// `datetime.timezone.utc`, as the gateway client stamps fills; otherwise the list itself,
/// for pandas to read. Read natively, the microseconds are those pandas would take.
py::object utc_times_or_list(py::list values) {
    bridge::need_datetime_api();
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    PyObject **items = PySequence_Fast_ITEMS(values.ptr());
    py::array_t<std::int64_t> micros(n);
    std::int64_t *cells = micros.mutable_data();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *value = items[i];
        if (!PyDateTime_CheckExact(value) ||
            PyDateTime_DATE_GET_TZINFO(value) != PyDateTime_TimeZone_UTC)
            return values;
        cells[i] = bridge::wall_clock_micros(value);
    }
    py::object pd = host::global<"pd">();
    return pd.attr("DatetimeIndex")(micros.attr("view")("datetime64[us]"))
        .attr("tz_localize")("UTC");
}

/// The column `field` of the joined table from the values of its records.
py::object column_of(const char *field, py::list values) {
    if (kept_as_objects(field))
        return object_column(values);
    if (std::strcmp(field, "time") == 0)
        return utc_times_or_list(std::move(values));
    return numbers_or_list(std::move(values));
}

/// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civil_from_days(std::int64_t z, int &year, unsigned &month, unsigned &day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

/// `frame[[column]].map(lambda x: str(int(x)) if x else "")`.
py::list int_texts(py::handle column) {
    py::list values = column.attr("to_numpy")(py::arg("dtype") = py::dtype("O")).attr("tolist")();
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    py::list out(n);
    py::str empty("");
    RecentTexts recent;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *x = PyList_GET_ITEM(values.ptr(), i);
        int overflow = 1;
        const long long exact = PyLong_CheckExact(x) ? PyLong_AsLongLongAndOverflow(x, &overflow) : 0;
        if (!overflow && exact != 0) {
            PyObject *text = recent.find(static_cast<std::uint64_t>(exact));
            if (!text) {
                text = bridge::checked(PyObject_Str(x)).release().ptr();
                recent.remember(static_cast<std::uint64_t>(exact), text);
            } else {
                Py_INCREF(text);
            }
            PyList_SET_ITEM(out.ptr(), i, text);
            continue;
        }
        int truth = PyObject_IsTrue(x);
        if (truth < 0)
            throw py::error_already_set();
        py::object text = empty;
        if (truth) {
            py::object number = py::reinterpret_steal<py::object>(PyNumber_Long(x));
            if (!number)
                throw py::error_already_set();
            text = py::reinterpret_steal<py::object>(PyObject_Str(number.ptr()));
            if (!text)
                throw py::error_already_set();
        }
        PyList_SET_ITEM(out.ptr(), i, text.release().ptr());
    }
    return out;
}

} // namespace

/// `time.dt.strftime("%Y-%m-%d")` and `time.dt.strftime("%H:%M:%S")` from the wall clock of
/// the zone-aware column; a missing time stays missing in both.
std::pair<py::list, py::list> wall_texts(py::handle time) {
    py::array_t<std::int64_t> seconds =
        time.attr("dt").attr("tz_localize")(py::none())
            .attr("to_numpy")(py::arg("dtype") = "datetime64[s]")
            .attr("astype")("int64");
    auto view = seconds.unchecked<1>();
    const py::ssize_t n = view.shape(0);
    py::list dates(n), times(n);
    char buffer[32];
    RecentTexts recent_dates;
    for (py::ssize_t i = 0; i < n; ++i) {
        const std::int64_t s = view(i);
        if (s == INT64_MIN) {
            PyList_SET_ITEM(dates.ptr(), i, py::none().release().ptr());
            PyList_SET_ITEM(times.ptr(), i, py::none().release().ptr());
            continue;
        }
        const std::int64_t days = floor_div(s, 86400);
        const std::int64_t rest = s - days * 86400;
        PyObject *date = recent_dates.find(static_cast<std::uint64_t>(days));
        if (date) {
            PyList_SET_ITEM(dates.ptr(), i, Py_NewRef(date));
        } else {
            int year;
            unsigned month, day;
            civil_from_days(days, year, month, day);
            const int length =
                std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", year, month, day);
            date = py::str(buffer, length).release().ptr();
            PyList_SET_ITEM(dates.ptr(), i, date);
            recent_dates.remember(static_cast<std::uint64_t>(days), date);
        }
        const int length = std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", int(rest / 3600),
                               int(rest / 60 % 60), int(rest % 60));
        PyList_SET_ITEM(times.ptr(), i, py::str(buffer, length).release().ptr());
    }
    return {std::move(dates), std::move(times)};
}

py::list names(std::initializer_list<const char *> words) {
    py::list out;
    for (const char *word : words)
        out.append(word);
    return out;
}

py::object collect_table(py::handle fills) {
    py::object sequence = py::reinterpret_steal<py::object>(
        PySequence_Fast(fills.ptr(), "fills() must give an iterable of fills"));
    if (!sequence)
        throw py::error_already_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.ptr());
    if (n == 0) {
        // One list per record kind, all as long as the fill list: empty together.
        for (const char *list_name : {"Contracts", "Executions", "Commissions"})
            host::log<"info">("No {}", list_name);
        return py::none();
    }
    PyObject **items = PySequence_Fast_ITEMS(sequence.ptr());
    CollectorPause pause;
    py::dict columns;
    for (const Source &source : sources) {
        // Interned once per call: 20 attribute reads per fill would otherwise each make
        // their name anew.
        std::vector<py::object> fields;
        for (const char *field : source.fields)
            fields.push_back(interned(field));
        py::object record_name = interned(source.record);
        std::vector<py::list> lists;
        for (std::size_t j = 0; j < source.fields.size(); ++j)
            lists.emplace_back(n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::object record = attr(items[i], record_name);
            for (std::size_t j = 0; j < fields.size(); ++j)
                PyList_SET_ITEM(lists[j].ptr(), i, attr(record.ptr(), fields[j]).release().ptr());
        }
        for (std::size_t j = 0; j < fields.size(); ++j)
            columns[fields[j]] = column_of(source.fields[j], lists[j]);
    }
    // Sorted afresh rather than in place: pandas deprecates `inplace`.
    return pd().attr("DataFrame")(columns).attr("sort_values")(names({"time", "clientId"}));
}

py::object keep_client(py::handle df, py::handle client_id) {
    return df[df["clientId"].attr("eq")(client_id)];
}

py::object keep_symbols(py::handle df, py::handle symbols) {
    py::object kept = df[df["symbol"].attr("isin")(symbols)];
    return kept[kept["conId"].attr("notna")()];
}

py::object add_fill_columns(py::object df) {
    py::object time = df["time"];
    // Already a datetime column when pandas could read every value as one; only then is
    // the per-value `Timestamp` an identity.
    if (!bridge::truth(pd().attr("api").attr("types").attr("is_datetime64_any_dtype")(time)))
        time = time.attr("map")(pd().attr("Timestamp"));
    time = time.attr("dt").attr("tz_convert")(host::global<"USE_TZ">());
    df["timestamp"] = time.attr("copy")();
    auto [dates, times] = wall_texts(time);
    // Text for the display table and the time sort only: kept as objects.
    df["date"] = object_column(dates, df.attr("index"));
    df["time"] = object_column(times, df.attr("index"));
    df["c_each"] = df["commission"].attr("div")(df["shares"]);
    // `orderId` is a group key of the order table and goes to pandas' string type, as the
    // index of that table shows it.
    df["clientId"] = object_column(int_texts(df["clientId"]), df.attr("index"));
    df["orderId"] = int_texts(df["orderId"]);

    py::object multiplier = df["multiplier"].attr("astype")(py::dtype("O"));
    py::object unset = multiplier.attr("eq")("").attr("__or__")(multiplier.attr("isna")());
    df["multiplier"] = multiplier.attr("mask")(unset, 1).attr("astype")("float64");

    py::object shares = df["shares"], commission = df["commission"], pnl = df["realizedPNL"];
    py::object total = shares.attr("mul")(df["avgPrice"]).attr("round")(2).attr("mul")(
        df["multiplier"]);
    df["total"] = total;
    df["dayProfit"] = pnl.attr("cumsum")();
    df["RPNL_each"] = pnl.attr("div")(shares);
    df["c_pct"] = commission.attr("div")(total.attr("add")(commission));
    py::object doubled = commission.attr("mul")(2);
    df["c_pct_RPNL"] = doubled.attr("div")(pnl.attr("add")(doubled));
    return df;
}

} // namespace korvanta::executions
