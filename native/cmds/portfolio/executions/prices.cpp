// cmds/portfolio/executions/prices.cpp: the display form of numbers, written natively while
// the module's `fmtPrice` is the host's own.
//
// The host's `fmtPrice` writes an int as `f"{x:,}"` and a float as `f"{x:,.2f}"` (0 and
// magnitudes from 1 up, inf included) or `f"{x:.4f}"` (below 1, NaN included). Both are
// correctly rounded decimal expansions of the binary value, as `std::to_chars` makes them,
// so exact ints and floats are written here; every other kind of value (bools, numpy
// scalars, NA, text, ints beyond 64 bits) goes to the host function, whose rules for them
// are its own. When the module loads, the bound `fmtPrice` is checked against the native
// text on values that exercise every rule; one that writes anything else is always called.
#include "cmds/portfolio/executions/executions.hpp"

#include "host/host.hpp"

#include <pybind11/numpy.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace korvanta::executions {

namespace host = korvanta::host;

namespace {

// DBL_MAX has 309 integer digits: with 102 separators, a sign, the point and four
// decimals the longest text is 417 characters.
constexpr std::size_t text_capacity = 448;

/// The `fmtPrice` bound when the module loaded, when its text is the native one; null
/// otherwise. Compared by identity, so it is kept alive for good: freed, its address could
/// come back as a replacement's.
PyObject *native_twin = nullptr;

/// An ASCII str of `text[0, length)`, made without decoding.
py::object ascii_text(const char *text, std::size_t length) {
    PyObject *out = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (!out)
        throw py::error_already_set();
    std::memcpy(PyUnicode_1BYTE_DATA(out), text, length);
    return py::reinterpret_steal<py::object>(out);
}

/// `text[0, length)`, a number as `to_chars` writes it, with a "," between each group of
/// three integer digits, as the format specifier "," puts them; the result goes to `out`.
std::size_t group_thousands(const char *text, std::size_t length, char *out) {
    const std::size_t sign = text[0] == '-' ? 1 : 0;
    const char *point = static_cast<const char *>(std::memchr(text, '.', length));
    const std::size_t digits = (point ? static_cast<std::size_t>(point - text) : length) - sign;
    std::size_t o = 0;
    if (sign)
        out[o++] = '-';
    for (std::size_t i = 0; i < digits; ++i) {
        if (i > 0 && (digits - i) % 3 == 0)
            out[o++] = ',';
        out[o++] = text[sign + i];
    }
    const std::size_t rest = length - sign - digits;
    std::memcpy(out + o, text + sign + digits, rest);
    return o + rest;
}

py::object int_text(std::int64_t x) {
    char digits[32], grouped[48];
    const auto result = std::to_chars(digits, digits + sizeof digits, x);
    return ascii_text(grouped,
                      group_thousands(digits, static_cast<std::size_t>(result.ptr - digits), grouped));
}

py::object float_text(double x) {
    // Python spells these without a sign for NaN, and with one for -inf.
    if (std::isnan(x))
        return ascii_text("nan", 3);
    if (std::isinf(x))
        return x > 0 ? ascii_text("inf", 3) : ascii_text("-inf", 4);
    char digits[text_capacity];
    if (x == 0 || std::fabs(x) >= 1) {
        char grouped[text_capacity];
        const auto result =
            std::to_chars(digits, digits + sizeof digits, x, std::chars_format::fixed, 2);
        return ascii_text(grouped, group_thousands(digits,
                                                   static_cast<std::size_t>(result.ptr - digits),
                                                   grouped));
    }
    // Below 1 the integer part is a single digit: no separator to place.
    const auto result = std::to_chars(digits, digits + sizeof digits, x, std::chars_format::fixed, 4);
    return ascii_text(digits, static_cast<std::size_t>(result.ptr - digits));
}

/// The native text of `value`, or null where only the host knows it.
PyObject *native_text(PyObject *value) {
    if (PyFloat_CheckExact(value))
        return float_text(PyFloat_AS_DOUBLE(value)).release().ptr();
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (x == -1 && PyErr_Occurred())
            throw py::error_already_set();
        if (!overflow)
            return int_text(x).release().ptr();
    }
    return nullptr;
}

/// The numpy kind of `column`, 'f' for float64 and 'i' for int64, or 0 for any other type.
char numeric_kind(py::handle column) {
    py::object dtype = column.attr("dtype");
    if (!py::isinstance<py::dtype>(dtype))
        return 0;
    const auto numbers = py::reinterpret_borrow<py::dtype>(dtype);
    const char kind = numbers.kind();
    return numbers.itemsize() == 8 && (kind == 'f' || kind == 'i') ? kind : 0;
}

template <typename Number, typename Write>
    requires(sizeof(Number) == sizeof(std::uint64_t))
py::list array_texts(py::handle column, Write write) {
    auto numbers = py::array_t<Number, py::array::c_style | py::array::forcecast>::ensure(
        column.attr("to_numpy")());
    if (!numbers)
        throw py::error_already_set();
    const auto view = numbers.template unchecked<1>();
    py::list out(view.shape(0));
    RecentTexts recent;
    for (py::ssize_t i = 0; i < view.shape(0); ++i) {
        const Number x = view(i);
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        PyObject *text = recent.find(bits);
        if (text) {
            PyList_SET_ITEM(out.ptr(), i, Py_NewRef(text));
            continue;
        }
        text = write(x).release().ptr();
        PyList_SET_ITEM(out.ptr(), i, text);
        recent.remember(bits, text);
    }
    return out;
}

/// Values that take every branch of the host's rules: signs, zero and negative zero,
/// both precisions and the step between them, separators, rounding of exact halves,
/// NaN, the infinities, and ints.
void check_twin(py::handle fmt) {
    const double floats[] = {0.0,     -0.0,      0.5,          -0.5,    0.99995, 0.125,
                             0.03125, 2.675,     1.0,          -1.0,    999.995, 1234.5,
                             -1234567.891, 1e22, 5e-324,       -1e-9,   1e300,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
    const std::int64_t ints[] = {0, 7, -999, 1000, -1234567, std::numeric_limits<std::int64_t>::min()};
    auto same = [&](py::object value, py::object text) {
        return bridge::call(fmt, value).equal(text);
    };
    for (double x : floats)
        if (!same(py::float_(x), float_text(x)))
            return;
    for (std::int64_t x : ints)
        if (!same(py::int_(x), int_text(x)))
            return;
    native_twin = fmt.inc_ref().ptr();
}

} // namespace

void adopt_host_fmt_price() {
    native_twin = nullptr;
    check_twin(host::global<"fmtPrice">());
}

py::list price_texts(py::handle column) {
    py::object fmt = host::global<"fmtPrice">();
    const bool twin = fmt.ptr() == native_twin;
    if (twin) {
        switch (numeric_kind(column)) {
        case 'f':
            return array_texts<double>(column, float_text);
        case 'i':
            return array_texts<std::int64_t>(column, int_text);
        }
    }
    // One value at a time, as pandas `map` hands them over.
    py::list values = column.attr("to_numpy")(py::arg("dtype") = py::dtype("O")).attr("tolist")();
    const Py_ssize_t n = PyList_GET_SIZE(values.ptr());
    py::list out(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *value = PyList_GET_ITEM(values.ptr(), i);
        PyObject *text = twin ? native_text(value) : nullptr;
        if (!text)
            text = bridge::call(fmt, py::handle(value)).release().ptr();
        PyList_SET_ITEM(out.ptr(), i, text);
    }
    return out;
}

void format_prices(py::handle frame, const std::vector<py::object> &keys) {
    for (const py::object &key : keys)
        frame[key] = price_texts(frame[key].attr("fillna")(0));
}

} // namespace korvanta::executions
