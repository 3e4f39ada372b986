// gateway/barhold/keys.cpp: the three cache key forms.
//
// A key is asked for on every cache read, so it is written straight into a new string of
// the right width instead of going through a format string; the text is the same.
#include "gateway/barhold/barhold.hpp"

#include "host/host.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace korvanta::barhold {

namespace {

using bridge::checked;

/// A part of a key: a str, or ASCII characters of our own.
struct Part {
    Part(py::handle text) : text(text.ptr()) {}
    Part(std::string_view ascii) : ascii(ascii) {}
    Part(const char *ascii) : ascii(ascii) {}

    PyObject *text = nullptr;
    std::string_view ascii;
};

/// The parts one after another, as one str of the narrowest kind that holds them.
py::object joined(std::initializer_list<Part> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0x7f;
    for (const Part &part : parts) {
        if (part.text) {
            length += PyUnicode_GET_LENGTH(part.text);
            widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(part.text));
        } else {
            length += static_cast<Py_ssize_t>(part.ascii.size());
        }
    }
    py::object key = checked(PyUnicode_New(length, widest));
    const int kind = PyUnicode_KIND(key.ptr());
    void *data = PyUnicode_DATA(key.ptr());
    Py_ssize_t at = 0;
    for (const Part &part : parts) {
        if (!part.text) {
            for (char c : part.ascii)
                PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(c));
            continue;
        }
        const Py_ssize_t size = PyUnicode_GET_LENGTH(part.text);
        if (PyUnicode_KIND(part.text) == kind)
            std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(part.text),
                        static_cast<size_t>(size) * kind);
        else if (PyUnicode_CopyCharacters(key.ptr(), at, part.text, 0, size) < 0)
            throw py::error_already_set();
        at += size;
    }
    return key;
}

} // namespace

py::object count_key(py::handle symbol, py::handle period, py::handle adjust, py::handle count) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow) {
        // %S is str(count): the decimal digits of the already-converted integer.
        return checked(PyUnicode_FromFormat("%U:%U:%U:count_%S", symbol.ptr(), period.ptr(),
                                            adjust.ptr(), count.ptr()));
    }
    char digits[24];
    const auto written = std::to_chars(std::begin(digits), std::end(digits), n);
    const std::string_view decimal(digits, static_cast<size_t>(written.ptr - digits));
    return joined({symbol, ":", period, ":", adjust, ":count_", decimal});
}

py::object intraday_key(py::handle symbol) {
    // str.upper itself, so full case mappings ("ß" -> "SS") come along.
    py::object upper = checked(PyObject_CallMethodNoArgs(symbol.ptr(), host::name<"upper">().ptr()));
    return joined({upper, ":intraday:full"});
}

py::object range_key(py::handle symbol, py::handle period, py::handle adjust, py::handle start,
                     py::handle end) {
    return joined({symbol, ":", period, ":", adjust, ":", start, "_", end});
}

} // namespace korvanta::barhold
