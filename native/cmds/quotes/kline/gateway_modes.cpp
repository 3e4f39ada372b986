// cmds/quotes/kline/gateway_modes.cpp: latest-N, history and intraday bars from the gateway.
//
// Each mode parses its words, answers from the bar cache when it can, otherwise awaits one
// `reqHistoricalDataAsync`, prints the bars, stores their records and returns them. Expected
// failures come back as "error" results; everything else propagates to `run`.
#include "cmds/quotes/kline/bar_cache.hpp"
#include "cmds/quotes/kline/bar_frames.hpp"
#include "cmds/quotes/kline/bar_ranges.hpp"
#include "cmds/quotes/kline/failures.hpp"
#include "cmds/quotes/kline/gateway_modes.hpp"
#include "cmds/quotes/kline/periods.hpp"
#include "host/host.hpp"

#include <algorithm>

namespace korvanta::kline {

using bridge::Task;

namespace {

using bridge::call;
using bridge::call_method;
using bridge::checked;
using bridge::compare;
using bridge::truth;
using host::global;
using host::name;

py::object length_of(py::handle sequence) {
    Py_ssize_t length = PyObject_Length(sequence.ptr());
    if (length < 0)
        throw py::error_already_set();
    return checked(PyLong_FromSsize_t(length));
}

/// The word at `index` of the (exact) list `rest`, or a null object past its end.
py::object word_at(py::handle rest, Py_ssize_t index) {
    if (index >= PyList_GET_SIZE(rest.ptr()))
        return py::object();
    return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(rest.ptr(), index));
}

py::handle what_to_show(py::handle adjust) {
    return table_has(vocabulary().adjust_keywords, adjust) ? name<"ADJUSTED_LAST">()
                                                           : name<"TRADES">();
}

/// `title + " (adjusted)"` when the adjust word asks for adjusted prices.
py::object with_adjusted(py::object title, py::handle adjust) {
    if (!table_has(vocabulary().adjust_keywords, adjust))
        return title;
    return checked(PyUnicode_FromFormat("%U (adjusted)", title.ptr()));
}

/// `self.ib.reqHistoricalDataAsync(contract, ...)` with `useRTH` = `_use_rth(period)`, or
/// false for a null `period` (the intraday request). The client is read before `useRTH` is
/// worked out, as Python evaluates the callee before the keyword list.
py::object request_bars(py::handle self, py::handle contract, py::handle end,
                        py::handle duration, py::handle bar_size, py::handle what,
                        py::handle period) {
    py::object request = self.attr(name<"ib">()).attr(name<"reqHistoricalDataAsync">());
    bool rth = period ? use_rth(period) : false;
    return request(contract, py::arg("endDateTime") = end, py::arg("durationStr") = duration,
                   py::arg("barSizeSetting") = bar_size, py::arg("whatToShow") = what,
                   py::arg("useRTH") = rth, py::arg("formatDate") = 2,
                   py::arg("keepUpToDate") = false, py::arg("timeout") = 60);
}

/// The look-back of a latest-N request in whole days: ceil(count * seconds * factor / 86400),
/// in that order: an integer product, then double precision.
py::object back_days(py::handle count, py::handle bar_seconds, py::handle factor) {
    static py::handle seconds_per_day = PyLong_FromLong(86400);
    if (PyLong_CheckExact(count.ptr()) && PyLong_CheckExact(bar_seconds.ptr()) &&
        PyFloat_CheckExact(factor.ptr())) {
        // Where the product is exact in a double the arithmetic is Python's own, step by step.
        constexpr long long exact = 1LL << 53;
        int count_overflow = 0, seconds_overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(count.ptr(), &count_overflow);
        long long seconds = PyLong_AsLongLongAndOverflow(bar_seconds.ptr(), &seconds_overflow);
        if (PyErr_Occurred())
            throw py::error_already_set();
        const bool fits = !count_overflow && !seconds_overflow && seconds > 0 &&
                          n > -exact / seconds && n < exact / seconds;
        if (fits) {
            double days = static_cast<double>(n * seconds) * PyFloat_AS_DOUBLE(factor.ptr()) /
                          86400.0;
            return math_ceil(py::float_(days));
        }
    }
    py::object product = checked(PyNumber_Multiply(count.ptr(), bar_seconds.ptr()));
    py::object stretched = checked(PyNumber_Multiply(product.ptr(), factor.ptr()));
    py::object days = checked(PyNumber_TrueDivide(stretched.ptr(), seconds_per_day.ptr()));
    return math_ceil(days);
}

/// Whole days from `start` through `until`, both included; at least one, since the
/// gateway refuses a look-back of none (a range that starts after today has no bars).
py::object look_back_days(py::handle start, py::handle until) {
    py::object span = checked(PyNumber_Subtract(until.ptr(), start.ptr()));
    long days = PyLong_AsLong(span.attr("days").ptr());
    if (days == -1 && PyErr_Occurred())
        throw py::error_already_set();
    return checked(PyLong_FromLong(std::max(days + 1, 1L)));
}

/// `contract.secType`, or "" where the contract has none: which market's calendar sizes it.
py::object security_type(py::handle contract) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(contract.ptr(), name<"secType">().ptr(), &value) < 0)
        throw py::error_already_set();
    py::object found = py::reinterpret_steal<py::object>(value);
    if (!found || !PyUnicode_Check(found.ptr()))
        return py::reinterpret_borrow<py::object>(name<"">());
    return found;
}

/// The longer of two answers for the same latest bars, `answer` where they tie.
py::object longer_of(py::handle again, py::handle answer) {
    return compare(length_of(again), length_of(answer), Py_GT)
               ? py::reinterpret_borrow<py::object>(again)
               : py::reinterpret_borrow<py::object>(answer);
}

/// The bars of `older` that start before `first`, then those of `answer`: one series,
/// without the bar both answers may hold.
py::list older_then(py::handle older, py::handle answer, py::handle first) {
    py::list joined;
    for (py::handle bar : older) {
        if (compare(checked(PyObject_GetAttr(bar.ptr(), name<"date">().ptr())), first, Py_LT))
            joined.append(bar);
    }
    for (py::handle bar : answer)
        joined.append(bar);
    return joined;
}

/// `mapping[key] = value` with an interned key.
void put(py::dict &mapping, py::handle key, py::handle value) {
    if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0)
        throw py::error_already_set();
}

py::object text_of(py::handle value) { return checked(PyObject_Str(value.ptr())); }

/// The tail every fresh gateway answer shares: the bars as a table, printed under `title`,
/// then their records stored under `key` for `symbol`; the records are returned.
py::list show_and_store(py::handle bars, py::handle title, py::handle cache, py::handle key,
                        py::handle symbol) {
    py::list records;
    {
        py::object frame = bars_frame(bars);
        show_table(frame, title);
        records = frame_records(frame);
    }
    // The frame is let go first: storing pickles the records, the most memory the call holds.
    store_bars(cache, key, records, symbol);
    return records;
}

/// The result of a latest-N request answered by the cache with `bars`; sized for the
/// "source" that `run` adds, so that key does not make the table grow.
py::dict cached_result(const LatestRequest &request, py::handle bars) {
    auto result = py::reinterpret_steal<py::dict>(checked(_PyDict_NewPresized(7)).release());
    put(result, name<"symbol">(), request.symbol);
    put(result, name<"period">(), request.period);
    put(result, name<"count">(), length_of(bars));
    put(result, name<"adjust">(), request.adjust);
    put(result, name<"bars">(), bars);
    put(result, name<"cached">(), py::handle(Py_True));
    return result;
}

} // namespace

LatestRequest latest_request(py::handle symbol, py::handle rest) {
    static py::handle default_count = PyLong_FromLong(100);
    const Vocabulary &words = vocabulary();

    py::object period = py::reinterpret_borrow<py::object>(name<"day">());
    Py_ssize_t index = 0;
    if (py::object word = word_at(rest, index); word && is_period(word)) {
        period = word;
        ++index;
    }
    py::object count = bridge::get_or(words.period_default_count, period, default_count);
    if (py::object word = word_at(rest, index)) {
        // int() of the word: a word that is no integer stays put and is read as the adjust word.
        if (PyObject *number = PyNumber_Long(word.ptr())) {
            count = py::reinterpret_steal<py::object>(number);
            ++index;
        } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
        } else {
            throw py::error_already_set();
        }
    }
    py::object adjust = py::reinterpret_borrow<py::object>(name<"none">());
    if (py::object word = word_at(rest, index))
        adjust = word;

    py::object cache = open_cache(symbol);
    py::object key = count_key(symbol, period, adjust, count);
    return {py::reinterpret_borrow<py::object>(symbol), std::move(period), std::move(count),
            std::move(adjust), std::move(cache), std::move(key)};
}

py::object exact_hit(const LatestRequest &request, py::handle source) {
    py::object cached = cached_bars(request.cache, request.key);
    if (cached.is_none())
        return py::object();
    host::log<"info">(name<"[{}] kline exact cache hit: {} {} {}">(), request.symbol,
                      request.period, request.count, request.adjust);
    py::dict result = cached_result(request, cached);
    if (source)
        put(result, name<"source">(), source);
    return result;
}

Task kline(py::object self, py::object contract, py::object rest,
           std::optional<LatestRequest> missed) {
    static py::handle default_seconds = PyLong_FromLong(86400);
    static py::handle default_factor = PyFloat_FromDouble(1.0);
    if (!missed) {
        LatestRequest request = latest_request(self.attr(name<"symbol">()), rest);
        if (py::object hit = exact_hit(request))
            co_return hit;
        missed = std::move(request);
    }
    const auto &[symbol, period, count, adjust, cache, cache_key] = *missed;

    py::object larger = larger_bars(cache, symbol, period, adjust, count);
    if (!larger.is_none()) {
        host::log<"info">("[{}] kline larger-cache hit: {} {} {}", symbol, period, count, adjust);
        store_bars(cache, cache_key, larger, symbol);
        co_return cached_result(*missed, larger);
    }

    // Only a request to the gateway needs its size and kind: a hit never works them out.
    const Vocabulary &words = vocabulary();
    py::handle what = what_to_show(adjust);
    py::object ib_period = checked(PyObject_GetItem(words.period_map.ptr(), period.ptr()));
    py::object bar_seconds = bridge::get_or(words.bar_seconds, ib_period, default_seconds);
    // An alias reaches as far back as its period does: "1d 3" as "day 3".
    py::object factor =
        bridge::get_or(words.duration_factor, canonical_period(words.period_map, period),
                       default_factor);
    py::object designed = calc_duration(back_days(count, bar_seconds, factor));
    // The calendar's say: the designed look-back where it reaches N bars, else one that does.
    py::object sec_type = security_type(contract);
    py::object rth = py::bool_(use_rth(period));
    py::object duration = call(global<"gateway_duration">(), symbol, sec_type, ib_period, count,
                               rth, designed);
    host::log<"info">("[{}] kline: period={} ({}), count={}, duration={}, what={}", symbol,
                      period, ib_period, count, duration, what);
    py::object bars = co_await request_bars(self, contract, name<"">(), duration, ib_period,
                                            what, period);
    if (!truth(bars)) {
        host::log<"error">("[{}] No data returned", symbol);
        py::dict failure;
        put(failure, name<"error">(), name<"No data returned">());
        put(failure, name<"symbol">(), symbol);
        co_return failure;
    }

    // Short of N where the source holds older bars (gaps in its data, a clock that differs
    // from the calendar's): one more request for the older part.
    const bool adjusted = what.equal(name<"ADJUSTED_LAST">());
    py::object got = length_of(bars);
    if (compare(got, count, Py_LT)) {
        py::object first = checked(PySequence_GetItem(bars.ptr(), 0)).attr(name<"date">());
        py::object older = call(global<"gateway_older_part">(), symbol, sec_type, ib_period, rth,
                                py::bool_(adjusted), duration, count, got, first);
        if (!older.is_none()) {
            py::object end = older.attr("end");
            py::object more_duration = older.attr("duration");
            host::log<"info">("[{}] kline: {} of {} bars, asking for older ones: end={}, "
                              "duration={}",
                              symbol, got, count, end, more_duration);
            py::object more;
            try {
                more = co_await request_bars(self, contract, end, more_duration, ib_period, what,
                                             period);
            } catch (py::error_already_set &e) {
                if (passes_through(e))
                    throw;
                host::log<"warning">("[{}] older bars not fetched ({}): showing {} of {}", symbol,
                                     reason(e.value()), got, count);
            }
            if (more && truth(more))
                bars = adjusted ? longer_of(more, bars) : older_then(more, bars, first);
        }
    }
    py::object from = checked(PyNumber_Negative(count.ptr()));
    py::object last = checked(PySlice_New(from.ptr(), nullptr, nullptr));
    bars = checked(PyObject_GetItem(bars.ptr(), last.ptr()));

    py::object title = checked(PyUnicode_FromFormat("%S %S (%S bars)", symbol.ptr(), period.ptr(),
                                                    length_of(bars).ptr()));
    py::list records = show_and_store(bars, with_adjusted(std::move(title), adjust), cache,
                                      cache_key, symbol);

    py::dict result;
    put(result, name<"symbol">(), symbol);
    put(result, name<"period">(), period);
    put(result, name<"count">(), length_of(records));
    put(result, name<"adjust">(), adjust);
    put(result, name<"bars">(), records);
    co_return result;
}

Task history(py::object self, py::object contract, py::object rest) {
    const Vocabulary &words = vocabulary();
    py::object first = py::reinterpret_borrow<py::object>(PyList_GetItem(rest.ptr(), 0));
    if (!first)
        throw py::error_already_set();
    py::object start = parse_date(first);
    py::object end = py::none();
    py::object period = py::reinterpret_borrow<py::object>(name<"day">());
    py::object adjust = py::reinterpret_borrow<py::object>(name<"none">());
    Py_ssize_t index = 1;
    if (py::object word = word_at(rest, index); word && is_date(word)) {
        end = parse_date(word);
        ++index;
    }
    if (py::object word = word_at(rest, index); word && is_period(word)) {
        period = word;
        ++index;
    }
    if (py::object word = word_at(rest, index)) {
        adjust = word;
        ++index;
    }
    if (end.is_none())
        end = global<"datetime">().attr("datetime").attr("now")().attr("date")();

    // The end is included: a range of one day is a range.
    if (compare(start, end, Py_GT)) {
        host::log<"error">("Start must be before end: {} >= {}", start, end);
        py::dict failure;
        put(failure, name<"error">(), name<"Start must be before end">());
        put(failure, name<"start">(), text_of(start));
        put(failure, name<"end">(), text_of(end));
        co_return failure;
    }

    py::handle what = what_to_show(adjust);
    py::object ib_period = checked(PyObject_GetItem(words.period_map.ptr(), period.ptr()));
    // The gateway refuses adjusted bars with an end date (error 321, which the client only
    // warns about, so the request would wait out its timeout): those end now and reach back
    // from today. Either way the look-back takes in the start day, and the bars outside
    // the range are dropped once they are here.
    const bool adjusted = what.equal(name<"ADJUSTED_LAST">());
    py::object request_end = adjusted ? py::reinterpret_borrow<py::object>(name<"">())
                                      : exchange_day_end(end);
    py::object reach_from = adjusted ? latest_today() : end;
    py::object designed = calc_duration(look_back_days(start, reach_from));
    py::object symbol = self.attr(name<"symbol">());
    // The gateway counts an intraday look-back in sessions, not calendar days: the calendar
    // says how many the range spans, so that no page is fetched only to be dropped.
    py::object duration =
        call(global<"gateway_range_duration">(), symbol, security_type(contract), ib_period,
             py::bool_(use_rth(period)), exchange_day_start(start), request_end, designed);
    host::log<"info">("[{}] history: {} → {}, period={} ({}), duration={}, what={}", symbol,
                      start, end, period, ib_period, duration, what);

    py::object start_text = text_of(start);
    py::object end_text = text_of(end);
    py::object cache = open_cache(symbol);
    py::object cache_key = global<"Barhold">().attr(name<"range_key">())(
        symbol, period, adjust, start_text, end_text);
    py::object cached = cached_bars(cache, cache_key);
    if (!cached.is_none()) {
        host::log<"info">("[{}] history cache hit: {}~{} {} {}", symbol, start, end, period,
                          adjust);
        py::dict result;
        put(result, name<"symbol">(), symbol);
        put(result, name<"period">(), period);
        put(result, name<"start">(), start_text);
        put(result, name<"end">(), end_text);
        put(result, name<"adjust">(), adjust);
        put(result, name<"bars">(), cached);
        put(result, name<"cached">(), py::handle(Py_True));
        co_return result;
    }

    py::object answer = co_await request_bars(self, contract, request_end, duration, ib_period,
                                              what, period);
    py::list bars = bars_between(truth(answer) ? answer : py::none(), start, end);
    if (bars.empty()) {
        host::log<"error">("[{}] No data in range {} → {}", symbol, start, end);
        py::dict failure;
        put(failure, name<"error">(), name<"No data in range">());
        put(failure, name<"symbol">(), symbol);
        put(failure, name<"start">(), start_text);
        put(failure, name<"end">(), end_text);
        co_return failure;
    }

    py::object title = checked(PyUnicode_FromFormat("%S %S %S ~ %S", symbol.ptr(), period.ptr(),
                                                    start.ptr(), end.ptr()));
    py::list records = show_and_store(bars, with_adjusted(std::move(title), adjust), cache,
                                      cache_key, symbol);

    py::dict result;
    put(result, name<"symbol">(), symbol);
    put(result, name<"period">(), period);
    put(result, name<"start">(), start_text);
    put(result, name<"end">(), end_text);
    put(result, name<"adjust">(), adjust);
    put(result, name<"bars">(), records);
    co_return result;
}

Task intraday(py::object self, py::object contract) {
    py::object symbol = self.attr(name<"symbol">());
    host::log<"info">("[{}] intraday", symbol);
    py::object cache = open_cache(symbol);
    py::object cache_key = global<"Barhold">().attr(name<"intraday_key">())(symbol);
    py::object cached = cached_bars(cache, cache_key);
    if (!cached.is_none()) {
        host::log<"info">("[{}] intraday cache hit", symbol);
        py::dict result;
        put(result, name<"symbol">(), symbol);
        put(result, name<"type">(), name<"intraday">());
        put(result, name<"bars">(), cached);
        put(result, name<"source">(), name<"cache">());
        co_return result;
    }

    // One day of minute bars up to now, outside regular hours too: fixed, whatever words
    // followed "intraday".
    py::object bars = co_await request_bars(self, contract, name<"">(), name<"1 D">(),
                                            name<"1 min">(), name<"TRADES">(), py::handle());
    if (!truth(bars)) {
        host::log<"error">("[{}] No intraday data", symbol);
        py::dict failure;
        put(failure, name<"error">(), name<"No intraday data">());
        put(failure, name<"symbol">(), symbol);
        co_return failure;
    }

    py::list records =
        show_and_store(bars, checked(PyUnicode_FromFormat("%S Intraday", symbol.ptr())), cache,
                       cache_key, symbol);

    py::dict result;
    put(result, name<"symbol">(), symbol);
    put(result, name<"type">(), name<"intraday">());
    put(result, name<"bars">(), records);
    put(result, name<"source">(), name<"ibkr">());
    co_return result;
}

} // namespace korvanta::kline
