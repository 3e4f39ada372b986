// cmds/quotes/kline/yfinance_modes.cpp: the three kline modes served from yfinance, sharing
// the bar cache and its keys with their gateway twins.
#include "cmds/quotes/kline/yfinance_detail.hpp"

#include "cmds/quotes/kline/bar_cache.hpp"
#include "cmds/quotes/kline/bar_ranges.hpp"
#include "cmds/quotes/kline/failures.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

#include <utility>

namespace korvanta::kline::detail {

namespace {

using bridge::checked;

// ==== Small steps ============================================================

/// `item in container`.
bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

py::object symbol_of(py::handle self) { return self.attr(host::name<"symbol">()); }

/// The interned text `Text` as an object (defaults, fixed values).
template <host::Literal Text>
py::object text() {
    return py::reinterpret_borrow<py::object>(host::name<Text>());
}

/// `int(word)`, or an empty object when the word is no integer text (ValueError).
py::object int_or_nothing(py::handle word) {
    PyObject *value = PyNumber_Long(word.ptr());
    if (value)
        return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_ValueError))
        throw py::error_already_set();
    PyErr_Clear();
    return {};
}

/// `sequence[-count:]`: through a slice object, so any count behaves as in Python
/// (0 keeps everything, a count beyond the length keeps everything).
py::object last(py::handle sequence, py::handle count) {
    py::object start = py::reinterpret_steal<py::object>(PyNumber_Negative(count.ptr()));
    if (!start)
        throw py::error_already_set();
    py::object slice =
        py::reinterpret_steal<py::object>(PySlice_New(start.ptr(), Py_None, Py_None));
    if (!slice)
        throw py::error_already_set();
    return sequence[slice];
}

/// `rest[index]` as an object.
py::object word(const py::list &rest, std::size_t index) { return rest[index]; }

/// No frame, or an empty one: the fetch brought no data.
bool no_data(py::handle hist) {
    return hist.is_none() || truth(hist.attr(host::name<"empty">()));
}

py::object records_of(py::handle df) { return df.attr("to_dict")(py::arg("orient") = "records"); }

/// The words of latest-N mode: `[period] [count] [adjust]`, each optional, in this order.
struct LatestWords {
    py::object period = text<"day">();
    py::object count;
    py::object adjust = text<"none">();
};

LatestWords parse_latest(const py::list &rest) {
    LatestWords words;
    py::object default_count = host::global<"PERIOD_DEFAULT_COUNT">();
    py::int_ fallback(100);
    words.count = bridge::get_or(default_count, words.period, fallback);
    std::size_t idx = 0;
    const std::size_t n = rest.size();
    if (idx < n && truth(call(host::global<"_is_period">(), word(rest, idx)))) {
        words.period = word(rest, idx);
        words.count = bridge::get_or(default_count, words.period, fallback);
        ++idx;
    }
    if (idx < n) {
        // A word that is no integer stays in place and is read as the adjust word.
        if (py::object count = int_or_nothing(word(rest, idx))) {
            words.count = std::move(count);
            ++idx;
        }
    }
    if (idx < n)
        words.adjust = word(rest, idx);
    return words;
}

/// The words of history mode: `<start> [end] [period] [adjust]`.
struct RangeWords {
    py::object start;
    py::object end;
    py::object period = text<"day">();
    py::object adjust = text<"none">();
};

RangeWords parse_range(const py::list &rest) {
    RangeWords words;
    py::object parse_date = host::global<"_parse_date">();
    words.start = call(parse_date, word(rest, 0));
    std::size_t idx = 1;
    const std::size_t n = rest.size();
    if (idx < n && truth(call(host::global<"_is_date">(), word(rest, idx)))) {
        words.end = call(parse_date, word(rest, idx));
        ++idx;
    }
    if (idx < n && truth(call(host::global<"_is_period">(), word(rest, idx)))) {
        words.period = word(rest, idx);
        ++idx;
    }
    if (idx < n)
        words.adjust = word(rest, idx);
    if (!words.end || words.end.is_none())
        words.end = host::global<"datetime">().attr("datetime").attr("now")().attr("date")();
    return words;
}

/// `start > end`: the end is included, so a range of one day is a range.
bool after(py::handle start, py::handle end) {
    int result = PyObject_RichCompareBool(start.ptr(), end.ptr(), Py_GT);
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

/// What yfinance is asked for a period word: an alias as its own period ("minute" as "1m").
py::object canonical(py::handle period) {
    return canonical_period(host::global<"PERIOD_MAP">(), period);
}

/// The frames of a plan's pieces fetched one after another, joined oldest first without a
/// bar twice; None when no piece brought any.
bridge::Task fetch_pieces(py::object self, py::object pieces, py::object interval,
                          py::object adjust) {
    py::list frames;
    const Py_ssize_t count = PyObject_Length(pieces.ptr());
    if (count < 0)
        throw py::error_already_set();
    for (Py_ssize_t at = 0; at < count; ++at) {
        py::object piece = checked(PySequence_GetItem(pieces.ptr(), at));
        py::object hist = co_await self.attr(host::name<"_yf_history">())(
            py::arg("start") = piece[py::int_(0)], py::arg("end") = piece[py::int_(1)],
            py::arg("interval") = interval, py::arg("auto_adjust") = adjust);
        if (!no_data(hist))
            frames.append(hist);
    }
    if (frames.empty())
        co_return py::none();
    if (frames.size() == 1)
        co_return py::object(frames[0]);
    py::object joined = host::global<"pd">().attr("concat")(frames).attr("sort_index")();
    py::object twice = joined.attr("index").attr("duplicated")(py::arg("keep") = "last");
    co_return joined.attr("loc")[checked(PyNumber_Invert(twice.ptr()))];
}

/// Says, for `symbol`, that the source holds fewer than the bars asked where its reach is why.
void say_shortfall(py::handle plan, py::handle held, py::handle symbol) {
    py::object line = plan.attr("shortfall")(held);
    if (!line.is_none())
        host::log<"warning">("[{}] {}", symbol, line);
}

bool is_mapping(py::handle value) {
    if (PyDict_Check(value.ptr()))
        return true;
    // Leaked on purpose: a static py::object would be released after the interpreter is gone.
    static py::handle mapping =
        py::object(py::module_::import("collections.abc").attr("Mapping")).release();
    int result = PyObject_IsInstance(value.ptr(), mapping.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

} // namespace

// ==== The modes ==============================================================

bridge::Task run_yfinance(py::object self, py::list rest) {
    host::log<"info">("[{}] yfinance fallback: rest={}", symbol_of(self), rest);
    py::object result;
    if (!rest.empty() && word(rest, 0).equal(text<"intraday">()))
        result = co_await call_method<"_intraday_yfinance">(self);
    else if (!rest.empty() && truth(call(host::global<"_is_date">(), word(rest, 0))))
        result = co_await call_method<"_history_yfinance">(self, rest);
    else
        result = co_await call_method<"_kline_yfinance">(self, rest);
    // `run` hands this to the host unchanged: whatever a replaced mode returned must still
    // be a kline result.
    if (!result.is_none() && !is_mapping(result))
        throw py::type_error("IOpKline._run_yfinance() must return a mapping or None, not " +
                             py::str(py::type::handle_of(result).attr("__name__"))
                                 .cast<std::string>());
    co_return result;
}

bridge::Task kline_yfinance(py::object self, py::list rest) {
    LatestWords words = parse_latest(rest);
    py::object symbol = symbol_of(self);
    py::object bars_cache = open_cache(symbol);
    py::object cache_key = count_key(symbol, words.period, words.adjust, words.count);

    // A cache hit says nothing and prints nothing, unlike the gateway twin.
    py::object cached = cached_bars(bars_cache, cache_key);
    if (cached.is_none()) {
        cached = larger_bars(bars_cache, symbol, words.period, words.adjust, words.count);
        // Copied under the exact key, so the next identical request is an exact hit.
        if (!cached.is_none())
            store_bars(bars_cache, cache_key, cached, symbol);
    }
    if (!cached.is_none()) {
        py::dict result;
        put<"symbol">(result, symbol);
        put<"period">(result, words.period);
        put<"count">(result, py::int_(py::len(cached)));
        put<"adjust">(result, words.adjust);
        put<"bars">(result, cached);
        put<"cached">(result, py::bool_(true));
        co_return result;
    }

    // An alias asks yfinance for what its period asks for.
    py::object asked = canonical(words.period);
    py::object yf_period = bridge::get_or(host::global<"YF_PERIOD">(), asked, text<"1y">());
    py::object yf_interval = bridge::get_or(host::global<"YF_INTERVAL">(), asked, text<"1d">());
    py::bool_ yf_adjust(contains(host::global<"ADJUST_KEYWORDS">(), words.adjust));
    // The designed look-back where the calendar says it holds N bars, else pieces of a
    // span that does, within what yfinance keeps.
    py::object plan =
        call(host::global<"yfinance_latest">(), symbol, yf_interval, words.count, yf_period);
    py::object hist;
    if (plan.is_none()) {
        host::log<"info">("[{}] yfinance kline: period={}, interval={}, count={}, adjust={}",
                          symbol, yf_period, yf_interval, words.count, yf_adjust);
        hist = co_await self.attr(host::name<"_yf_history">())(
            py::arg("period") = yf_period, py::arg("interval") = yf_interval,
            py::arg("auto_adjust") = yf_adjust);
    } else {
        // A span up to tomorrow: never without a piece.
        py::object pieces = plan.attr("pieces");
        host::log<"info">("[{}] yfinance kline: {} requests from {}, interval={}, count={}, "
                          "adjust={}",
                          symbol, py::len(pieces), py::object(pieces[py::int_(0)][py::int_(0)]),
                          yf_interval, words.count, yf_adjust);
        hist = co_await bridge::to_python(fetch_pieces(self, pieces, yf_interval, yf_adjust),
                                          host::name<"IOpKline._kline_yfinance.<pieces>">());
    }
    if (no_data(hist)) {
        if (!plan.is_none())
            say_shortfall(plan, py::int_(0), symbol);
        host::log<"error">("[{}] yfinance returned no data", symbol);
        py::dict result;
        put<"error">(result, text<"No data returned">());
        put<"symbol">(result, symbol);
        co_return result;
    }

    py::object df = call(host::global<"_normalize_yfinance_df">(), hist);
    py::object bars = last(records_of(df), words.count);
    // The table shows the rows the title counts, not the whole fetched look-back.
    py::str title = py::str("{} {} ({} bars) [yfinance]").format(symbol, words.period,
                                                                   py::len(bars));
    show_table(last(df.attr("iloc"), words.count), title);
    if (!plan.is_none())
        say_shortfall(plan, py::int_(py::len(bars)), symbol);
    store_bars(bars_cache, cache_key, bars, symbol);

    py::dict result;
    put<"symbol">(result, symbol);
    put<"period">(result, words.period);
    put<"count">(result, py::int_(py::len(bars)));
    put<"adjust">(result, words.adjust);
    put<"bars">(result, bars);
    put<"source">(result, text<"yfinance">());
    co_return result;
}

bridge::Task history_yfinance(py::object self, py::list rest) {
    RangeWords words = parse_range(rest);
    py::str start(words.start);
    py::str end(words.end);
    if (after(words.start, words.end)) {
        py::dict result;
        put<"error">(result, text<"Start must be before end">());
        put<"start">(result, start);
        put<"end">(result, end);
        co_return result;
    }

    py::object symbol = symbol_of(self);
    py::object bars_cache = open_cache(symbol);
    py::object cache_key = call_method<"range_key">(host::global<"Barhold">(), symbol,
                                                    words.period, words.adjust, start, end);
    py::object cached = cached_bars(bars_cache, cache_key);
    if (!cached.is_none()) {
        py::dict result;
        put<"symbol">(result, symbol);
        put<"period">(result, words.period);
        put<"start">(result, start);
        put<"end">(result, end);
        put<"adjust">(result, words.adjust);
        put<"bars">(result, cached);
        put<"cached">(result, py::bool_(true));
        co_return result;
    }

    py::object yf_interval =
        bridge::get_or(host::global<"YF_INTERVAL">(), canonical(words.period), text<"1d">());
    py::bool_ yf_adjust(contains(host::global<"ADJUST_KEYWORDS">(), words.adjust));
    host::log<"info">("[{}] yfinance history: {} → {}, interval={}, adjust={}", symbol,
                      words.start, words.end, yf_interval, yf_adjust);

    // `history` leaves out its end day: the pieces reach through the day after, and
    // whatever the answer holds outside the range is dropped. They keep within what
    // yfinance serves (so many days back, so many days a request).
    py::object plan =
        call(host::global<"yfinance_range">(), symbol, yf_interval, words.start, words.end);
    py::object hist = co_await bridge::to_python(
        fetch_pieces(self, plan.attr("pieces"), yf_interval, yf_adjust),
        host::name<"IOpKline._history_yfinance.<pieces>">());
    if (!no_data(hist))
        hist = rows_between(hist, words.start, words.end);
    if (no_data(hist)) {
        say_shortfall(plan, py::int_(0), symbol);
        py::dict result;
        put<"error">(result, text<"No data in range">());
        put<"symbol">(result, symbol);
        put<"start">(result, start);
        put<"end">(result, end);
        co_return result;
    }

    py::object df = call(host::global<"_normalize_yfinance_df">(), hist);
    py::object bars = records_of(df);
    show_table(df, py::str("{} {} {} ~ {} [yfinance]")
                       .format(symbol, words.period, words.start, words.end));
    say_shortfall(plan, py::int_(py::len(bars)), symbol);
    store_bars(bars_cache, cache_key, bars, symbol);

    py::dict result;
    put<"symbol">(result, symbol);
    put<"period">(result, words.period);
    put<"start">(result, start);
    put<"end">(result, end);
    put<"adjust">(result, words.adjust);
    put<"bars">(result, bars);
    put<"source">(result, text<"yfinance">());
    co_return result;
}

bridge::Task intraday_yfinance(py::object self) {
    py::object symbol = symbol_of(self);
    host::log<"info">("[{}] yfinance intraday", symbol);
    py::object bars_cache = open_cache(symbol);
    py::object cache_key = call_method<"intraday_key">(host::global<"Barhold">(), symbol);
    py::object cached = cached_bars(bars_cache, cache_key);
    if (!cached.is_none()) {
        host::log<"info">("[{}] intraday cache hit (yfinance path)", symbol);
        py::dict result;
        put<"symbol">(result, symbol);
        put<"type">(result, text<"intraday">());
        put<"bars">(result, cached);
        put<"source">(result, text<"cache">());
        co_return result;
    }

    py::object hist = co_await self.attr(host::name<"_yf_history">())(
        py::arg("period") = "1d", py::arg("interval") = "1m", py::arg("auto_adjust") = false);
    if (no_data(hist)) {
        py::dict result;
        put<"error">(result, text<"No intraday data">());
        put<"symbol">(result, symbol);
        co_return result;
    }

    py::object df = call(host::global<"_normalize_yfinance_df">(), hist);
    py::object bars = records_of(df);
    store_bars(bars_cache, cache_key, bars, symbol);
    show_table(df, py::str("{} Intraday [yfinance]").format(symbol));

    py::dict result;
    put<"symbol">(result, symbol);
    put<"type">(result, text<"intraday">());
    put<"bars">(result, bars);
    put<"source">(result, text<"yfinance">());
    co_return result;
}

} // namespace korvanta::kline::detail
