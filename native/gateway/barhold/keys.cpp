// gateway/barhold/keys.cpp: the three cache key forms.
#include "gateway/barhold/barhold.hpp"

#include "host/host.hpp"

namespace korvanta::barhold {

namespace {

using bridge::checked;

} // namespace

py::object count_key(py::handle symbol, py::handle period, py::handle adjust, py::handle count) {
    // %S is str(count): the decimal digits of the already-converted integer.
    return checked(PyUnicode_FromFormat("%U:%U:%U:count_%S", symbol.ptr(), period.ptr(),
                                        adjust.ptr(), count.ptr()));
}

py::object intraday_key(py::handle symbol) {
    // str.upper itself, so full case mappings ("ß" -> "SS") come along.
    py::object upper = checked(PyObject_CallMethodNoArgs(symbol.ptr(), host::name<"upper">().ptr()));
    return checked(PyUnicode_FromFormat("%U:intraday:full", upper.ptr()));
}

py::object range_key(py::handle symbol, py::handle period, py::handle adjust, py::handle start,
                     py::handle end) {
    return checked(PyUnicode_FromFormat("%U:%U:%U:%U_%U", symbol.ptr(), period.ptr(), adjust.ptr(),
                                        start.ptr(), end.ptr()));
}

} // namespace korvanta::barhold
