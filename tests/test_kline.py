"""kline command, gateway half: word helpers, dispatch and fallbacks, the three gateway modes.

The yfinance half is replaced by a fake `_run_yfinance` throughout; the gateway client is a
fake whose `reqHistoricalDataAsync` answers with real ib_async bars as formatDate 2 gives
them (aware UTC datetimes for intraday bar sizes, plain dates for daily and longer).
"""

import asyncio
import datetime as dt
import sqlite3
import types
from zoneinfo import ZoneInfo

import pandas as pd
import pytest
from ib_async import BarData, BarDataList, Future, Stock

import korvanta.cmds.quotes.kline as kline
from clock import at, ny
from korvanta.cmds.base import execute

UTC = dt.timezone.utc
NEW_YORK = ZoneInfo("America/New_York")


# ==== Bars, gateway and host fakes ===========================================

def bar(date, i):
    # Some columns integral throughout, some not: convert_dtypes makes Int64 and Float64.
    return BarData(date=date, open=100.0 + i * 0.25, high=101.0, low=99.0, close=100.5 + i,
                   volume=float(1000 + i), average=100.125, barCount=7 + i)


def daily_bars(n, last=None):
    last = last or dt.date.today()
    return [bar(last - dt.timedelta(days=n - 1 - i), i) for i in range(n)]


def minute_bars(n, finished=60):
    """n bars a minute apart, the newest `finished` seconds before the current minute began:
    finished bars, which the bar cache keeps, for a bar size up to `finished` seconds."""
    last = dt.datetime.now(UTC).replace(second=0, microsecond=0) - dt.timedelta(seconds=finished)
    return [bar(last - dt.timedelta(minutes=n - 1 - i), i) for i in range(n)]


def plain_table(bars):
    """The frame and records the plain pandas steps give: times in the exchange zone."""
    frame = pd.DataFrame(bars).convert_dtypes()
    if isinstance(frame["date"].dtype, pd.DatetimeTZDtype):
        frame["date"] = frame["date"].dt.tz_convert(kline._EXCHANGE_TZ)
    frame = kline._strip_tz(frame)
    return frame, frame.to_dict(orient="records")


class FakeIB:
    """Records each request; answers with `bars`, or raises `error`."""

    def __init__(self, bars=(), error=None):
        self.bars, self.error, self.calls = list(bars), error, []

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        self.calls.append((contract, kwargs))
        if self.error:
            raise self.error
        return BarDataList(self.bars)


class FakeState:
    def __init__(self, connected=True, resolved=None):
        self.connected, self.resolved, self.asked = connected, resolved, []

    async def positionalQuoteRepopulate(self, symbol):
        self.asked.append(symbol)
        if isinstance(self.resolved, BaseException):
            raise self.resolved
        if self.resolved is None:
            return symbol, Stock(symbol, "SMART", "USD")
        return self.resolved


@pytest.fixture(autouse=True)
def fresh_cache(data_dir, monkeypatch):
    monkeypatch.setattr(kline, "_barhold", None)
    yield
    # Closed now: left to the collector, its database would be reported unclosed in
    # whichever later test the collection happens to run.
    if kline._barhold is not None:
        kline._barhold.cache.close()


@pytest.fixture
def printed(monkeypatch):
    tables = []
    monkeypatch.setattr(kline, "printFrame", lambda frame, title: tables.append((title, frame)))
    return tables



@pytest.fixture
def yfinance(monkeypatch):
    """Replaces the yfinance path; `calls` holds (symbol, rest) per call."""
    fake = types.SimpleNamespace(calls=[], errors=[])

    async def run_yfinance(self, rest):
        fake.calls.append((self.symbol, rest))
        if fake.errors:
            raise fake.errors.pop(0)
        return {"symbol": self.symbol, "source": "yfinance"}

    monkeypatch.setattr(kline.IOpKline, "_run_yfinance", run_yfinance, raising=False)
    return fake


def kline_words(*words, state=None, ib=None):
    return asyncio.run(execute(["kline", *words], state=state or FakeState(), ib=ib or FakeIB()))


def command(symbol="AAPL", ib=None):
    cmd = kline.IOpKline(state=FakeState(), ib=ib or FakeIB())
    cmd.symbol = symbol
    return cmd


# ==== Word helpers ===========================================================

@pytest.mark.parametrize("word, period, date", [
    ("m", True, False), ("M", False, False), ("1H", False, False), ("2h", False, False),
    ("1mo", True, False), ("today", False, True), ("Today", False, False),
    ("yesterday", False, True), ("2025-1-1", False, False), ("2025-13-45", False, True),
    ("2025-01-01\n", False, True), (" 2025-01-01", False, False),
    ("٢٠٢٥-٠١-٠١", False, True),
], ids=lambda v: repr(v) if isinstance(v, str) else None)
def test_word_shapes(word, period, date):
    assert kline._is_period(word) is period
    assert kline._is_date(word) is date


@pytest.mark.parametrize("days, text", [
    (0, "0 D"), (350, "350 D"), (365, "365 D"), (366, "2 Y"), (730, "2 Y"), (731, "3 Y"),
    (1114, "4 Y"),
])
def test_calc_duration(days, text):
    assert kline._calc_duration(days) == text


@pytest.mark.parametrize("period, rth", [("1h", False), ("hour", False), ("minute", False),
                                         ("day", True), ("1d", True), ("m", True)])
def test_use_rth(period, rth):
    assert kline._use_rth(period) is rth


def test_parse_date(pinned_clock):
    pinned_clock.move_to(ny(2025, 3, 1, 0, 30))
    assert kline._parse_date("yesterday") == dt.date(2025, 2, 28)
    assert kline._parse_date("today") == dt.date(2025, 3, 1)
    assert kline._parse_date("2024-02-29") == dt.date(2024, 2, 29)
    with pytest.raises(ValueError):
        kline._parse_date("2025-13-45")


def test_strip_tz():
    times = pd.to_datetime(["2025-01-02 09:30"]).tz_localize("America/New_York")
    aware = pd.DataFrame({"date": times})
    assert kline._strip_tz(aware) is aware
    assert aware["date"].dt.tz is None and str(aware["date"][0]) == "2025-01-02 09:30:00"
    for untouched in (pd.DataFrame({"date": [dt.date(2025, 1, 2)]}), pd.DataFrame({"x": [1]})):
        before = untouched.copy()
        assert kline._strip_tz(untouched) is untouched
        pd.testing.assert_frame_equal(untouched, before)


@pytest.mark.parametrize("error, swallowed", [
    (KeyError, True), (AttributeError, True), (KeyboardInterrupt, False), (SystemExit, False),
])
def test_strip_tz_swallows_only_ordinary_errors(error, swallowed):
    class Frame:
        def __getitem__(self, key):
            raise error(key)

    frame = Frame()
    if swallowed:
        assert kline._strip_tz(frame) is frame
    else:
        with pytest.raises(error):
            kline._strip_tz(frame)


def test_get_cache_is_made_once():
    assert kline._barhold is None
    first = kline._get_cache()
    assert kline._get_cache() is first is kline._barhold


# ==== Dispatch and fallbacks =================================================

@pytest.fixture
def modes(monkeypatch):
    """Replaces the three gateway modes; each records (mode, contract, rest)."""
    seen = []

    def fake(mode, result):
        async def run_mode(self, contract, rest=None):
            seen.append((mode, contract, rest))
            return dict(result) if isinstance(result, dict) else result
        return run_mode

    def answer(kline_result={"symbol": "X"}, history_result={"symbol": "X"},
               intraday_result={"symbol": "X"}):
        monkeypatch.setattr(kline.IOpKline, "_kline", fake("kline", kline_result))
        monkeypatch.setattr(kline.IOpKline, "_history", fake("history", history_result))
        monkeypatch.setattr(kline.IOpKline, "_intraday", fake("intraday", intraday_result))
        return seen
    return answer


@pytest.mark.parametrize("words, mode", [
    ([], "kline"), (["5m", "200", "adj"], "kline"), (["intraday", "5m"], "intraday"),
    (["Intraday"], "kline"), (["today"], "history"), (["yesterday"], "history"),
    (["2025-01-01", "day"], "history"), (["2025-13-45"], "history"), (["2025-1-1"], "kline"),
])
def test_words_pick_the_mode(modes, yfinance, words, mode):
    seen = modes()
    result = kline_words("aapl", *words)
    assert [s[0] for s in seen] == [mode]
    assert seen[0][2] == (None if mode == "intraday" else words)
    assert result == {"symbol": "X", "source": "ibkr"} and not yfinance.calls


def test_no_symbol(yfinance, logs):
    state = FakeState()
    assert kline_words(state=state) == {"error": "No symbol provided"}
    assert logs == [("ERROR", "No symbol provided")]
    assert not state.asked and not yfinance.calls


def test_no_gateway_keeps_the_typed_symbol(yfinance, logs):
    state = FakeState(connected=False)
    assert kline_words("aapl", "5m", state=state) == {"symbol": "AAPL", "source": "yfinance"}
    assert not state.asked and yfinance.calls == [("AAPL", ["5m"])]
    assert logs == [("INFO", "[AAPL] No gateway, using yfinance fallback")]


@pytest.mark.parametrize("resolved, warning", [
    (("AAPL",), "[aapl] IBKR failed (not enough values to unpack (expected 2, got 1)), "
                "falling back to yfinance"),
    (("AAPL", None), "[AAPL] IBKR failed (AssertionError), falling back to yfinance"),
    (ConnectionError("gone"), "[aapl] IBKR failed (gone), falling back to yfinance"),
], ids=["not-a-pair", "no-contract", "resolver-raises"])
def test_resolution_failures_fall_back(modes, yfinance, logs, resolved, warning):
    seen = modes()
    state = FakeState(resolved=resolved)
    cmd = kline.IOpKline(state=state, ib=FakeIB())
    cmd.symbol, cmd.rest = "aapl", ["day"]
    assert asyncio.run(cmd.run())["source"] == "yfinance"
    assert not seen and yfinance.calls == [(cmd.symbol, ["day"])]
    assert logs == [("WARNING", warning)]


def test_unresolved_symbol(modes, yfinance, logs):
    seen = modes()
    result = kline_words("zzzz", state=FakeState(resolved=("", None)))
    # no bar request for a symbol the gateway does not know
    assert result == {"symbol": "ZZZZ", "source": "yfinance"} and seen == []
    assert logs == [("ERROR", "Symbol not found: ZZZZ")]


def test_failing_fallback_after_unresolved_symbol_runs_yfinance_again(modes, yfinance, logs):
    modes()
    yfinance.errors = [RuntimeError("rate limited"), KeyError("again")]
    with pytest.raises(KeyError):
        kline_words("zzzz", state=FakeState(resolved=("", None)))
    assert len(yfinance.calls) == 2
    assert logs == [("ERROR", "Symbol not found: ZZZZ"),
                    ("WARNING", "[ZZZZ] IBKR failed (rate limited), falling back to yfinance")]


@pytest.mark.parametrize("answer, shown", [
    ({"error": "No data returned", "symbol": "AAPL"}, "No data returned"), ({}, "None"),
    ({"error": ""}, "''"), (None, None),
], ids=["error", "empty", "empty-text", "none"])
def test_mode_errors_fall_back(modes, yfinance, logs, answer, shown):
    modes(kline_result=answer)
    result = kline_words("aapl", state=FakeState(resolved=("AAPL.X", Stock("AAPL"))))
    assert result == {"symbol": "AAPL.X", "source": "yfinance"}
    assert yfinance.calls == [("AAPL.X", [])]
    # None has no .get: that is a failure of the gateway path like any other.
    expected = (f"[AAPL.X] IBKR returned error ({shown}), falling back to yfinance" if shown
                else "[AAPL.X] IBKR failed ('NoneType' object has no attribute 'get'), "
                     "falling back to yfinance")
    assert logs == [("WARNING", expected)]


@pytest.mark.parametrize("error, shown", [
    (TimeoutError(), "TimeoutError"), (ConnectionError(), "ConnectionError"),
    (TimeoutError("contract lookup timed out after 10 s"), "contract lookup timed out after 10 s"),
    (KeyError(""), "''"),
], ids=["timeout", "connection", "with-text", "key"])
def test_failure_reasons_are_never_empty(yfinance, logs, error, shown):
    kline_words("aapl", ib=FakeIB(error=error))
    assert logs[-1] == ("WARNING", f"[AAPL] IBKR failed ({shown}), falling back to yfinance")


@pytest.mark.parametrize("error", [BrokenPipeError(32, "Broken pipe"), OSError(28, "No space left")],
                         ids=["closed-pipe", "disk-full"])
def test_output_errors_are_no_gateway_failure(monkeypatch, yfinance, logs, error):
    def closed(frame, title):
        raise error
    monkeypatch.setattr(kline, "printFrame", closed)
    with pytest.raises(type(error)) as raised:
        kline_words("aapl", ib=FakeIB(daily_bars(3)))
    assert raised.value is error
    assert not yfinance.calls and not any("falling back" in m for _, m in logs)


def test_closed_output_in_the_fallback_is_not_retried(modes, yfinance):
    modes()
    yfinance.errors = [BrokenPipeError(32, "Broken pipe")]
    with pytest.raises(BrokenPipeError):
        kline_words("zzzz", state=FakeState(resolved=("", None)))
    assert len(yfinance.calls) == 1


@pytest.mark.parametrize("error", [asyncio.CancelledError(), KeyboardInterrupt()],
                         ids=["cancelled", "interrupt"])
def test_non_exceptions_reach_the_host(yfinance, error):
    with pytest.raises(type(error)):
        kline_words("aapl", ib=FakeIB(error=error))
    assert not yfinance.calls


def test_futures_are_requested_as_continuous(yfinance):
    future = Future("ES", "202512", "CME")
    ib = FakeIB(daily_bars(3))
    kline_words("es", state=FakeState(resolved=("ES", future)), ib=ib)
    contract = ib.calls[0][0]
    assert contract is not future and future.secType == "FUT"
    assert (contract.secType, contract.symbol, contract.exchange) == ("CONTFUT", "ES", "CME")


def test_bad_date_falls_back_with_the_parse_error(yfinance, logs):
    kline_words("aapl", "2025-13-45")
    assert yfinance.calls == [("AAPL", ["2025-13-45"])]
    assert logs[-1][0] == "WARNING" and "month must be in 1..12" in logs[-1][1]


# ==== Latest N ===============================================================

# The look-back sent on Tuesday 2026-12-08 at 11:00 New York: the designed one (count x bar
# length x the period's factor) where the calendar says it reaches N bars, else the shortest
# that does: intraday "K D" is K sessions (04:00-20:00, today's 7 hours in), daily K days.
@at("regular-session")
@pytest.mark.parametrize("words, period, count, adjust, duration, bar_size, what, rth", [
    ([], "day", 250, "none", "364 D", "1 day", "TRADES", True),
    (["5m", "200", "adj"], "5m", 200, "adj", "2 D", "5 mins", "ADJUSTED_LAST", False),
    (["1m"], "1m", 120, "none", "1 D", "1 min", "TRADES", False),
    (["15m"], "15m", 130, "none", "3 D", "15 mins", "TRADES", False),
    (["30m"], "30m", 130, "none", "5 D", "30 mins", "TRADES", False),
    (["1h"], "1h", 130, "none", "9 D", "1 hour", "TRADES", False),
    (["month"], "month", 60, "none", "5 Y", "1 month", "TRADES", True),
    (["1mo"], "1mo", 100, "none", "9 Y", "1 month", "TRADES", True),
    (["100"], "day", 100, "none", "142 D", "1 day", "TRADES", True),
    (["adj"], "day", 250, "adj", "364 D", "1 day", "ADJUSTED_LAST", True),
    (["adj", "100"], "day", 250, "adj", "364 D", "1 day", "ADJUSTED_LAST", True),
    (["5m", "2.5"], "5m", 78, "2.5", "1 D", "5 mins", "TRADES", False),
    (["d"], "d", 100, "none", "142 D", "1 day", "TRADES", True),
    (["1d", "3"], "1d", 3, "none", "5 D", "1 day", "TRADES", True),
    (["day", "3"], "day", 3, "none", "5 D", "1 day", "TRADES", True),
    (["week"], "week", 156, "none", "4 Y", "1 week", "TRADES", True),
    (["w"], "w", 100, "none", "2 Y", "1 week", "TRADES", True),
    (["year"], "year", 120, "none", "10 Y", "1 month", "TRADES", True),
    (["m", "forward"], "m", 100, "forward", "9 Y", "1 month", "ADJUSTED_LAST", True),
    (["hour"], "hour", 100, "none", "7 D", "1 hour", "TRADES", False),
    (["day", "261"], "day", 261, "none", "2 Y", "1 day", "TRADES", True),
    (["day", "260"], "day", 260, "none", "2 Y", "1 day", "TRADES", True),
    (["1h", " 1_0 "], "1h", 10, "none", "2 D", "1 hour", "TRADES", False),
    (["day", "-5", "x", "y"], "day", -5, "x", "-7 D", "1 day", "TRADES", True),
], ids=lambda v: " ".join(v) or "defaults" if isinstance(v, list) else None)
def test_request_sizing(pinned_clock, words, period, count, adjust, duration, bar_size, what, rth):
    # at 11:00 sharp: the bars before it are all finished, and the 11:00 bar not yet begun
    pinned_clock.move_to(pinned_clock.start, tick=False)
    seconds = {"1 min": 60, "5 mins": 300, "15 mins": 900, "30 mins": 1800, "1 hour": 3600}
    ib = FakeIB(daily_bars(3) if rth else minute_bars(3, finished=seconds[bar_size]))
    result = kline_words("aapl", *words, ib=ib)
    assert ib.calls[0][1] == dict(endDateTime="", durationStr=duration, barSizeSetting=bar_size,
                                  whatToShow=what, useRTH=rth, formatDate=2,
                                  keepUpToDate=False, timeout=60)
    # three recent bars: the source holds nothing older, so nothing more is asked
    assert len(ib.calls) == 1
    assert (result["period"], result["adjust"]) == (period, adjust)
    key = kline.Barhold.count_key("AAPL", period, adjust, count)
    assert kline._get_cache().get(key) is result["bars"]


@at("regular-session")
def test_latest_bars_are_kept_printed_and_returned(pinned_clock, printed, logs):
    bars = daily_bars(300)
    result = kline_words("aapl", "day", "250", "adj", ib=FakeIB(bars))
    assert list(result) == ["symbol", "period", "count", "adjust", "bars", "source"]
    assert result["count"] == 250 and result["bars"] == plain_table(bars[-250:])[1]
    assert [title for title, _ in printed] == ["AAPL day (250 bars) (adjusted)"]
    assert logs == [("INFO", "[AAPL] kline: period=day (1 day), count=250, duration=364 D, "
                             "what=ADJUSTED_LAST")]


@pytest.mark.parametrize("count", ["0", "50"])
def test_short_answers_are_kept_whole(printed, count):
    result = kline_words("aapl", "day", count, ib=FakeIB(daily_bars(40)))
    assert result["count"] == 40 and printed[0][0] == "AAPL day (40 bars)"


def test_exact_and_larger_cache_hits(printed, logs):
    ib = FakeIB(daily_bars(600))
    kline_words("aapl", "day", "500", ib=ib)
    larger = kline_words("aapl", "day", "250", ib=ib)
    exact = kline_words("aapl", "day", "250", ib=ib)
    assert len(ib.calls) == 1 and len(printed) == 1
    for result in (larger, exact):
        assert result["cached"] is True and result["source"] == "ibkr" and result["count"] == 250
        assert result["bars"][-1]["date"] == dt.date.today()
    assert [m for _, m in logs[1:]] == ["[AAPL] kline larger-cache hit: day 250 none",
                                        "[AAPL] kline exact cache hit: day 250 none"]


# ==== The bar cache's methods, however they were replaced ======================

class SpyingBarhold(kline.Barhold):
    seen: list = []

    def get(self, key):
        self.seen.append(("get", key))
        return super().get(key)


@pytest.mark.parametrize("where", ["class get", "class count_key", "instance get",
                                   "subclass get"])
def test_replaced_bar_cache_methods_are_called(monkeypatch, where):
    """Wherever `get` or `count_key` is replaced, the replacement is asked; once it is
    undone, requests are answered from the same entries as before."""
    seen = SpyingBarhold.seen = []
    original_get, original_key = kline.Barhold.get, kline.Barhold.count_key

    def spying_get(self, key):
        seen.append(("get", key))
        return original_get(self, key)

    def spying_key(*args):
        seen.append(("count_key", args))
        return original_key(*args)

    if where == "subclass get":
        monkeypatch.setattr(kline, "_barhold", SpyingBarhold())
    ib = FakeIB(daily_bars(5))
    kline_words("aapl", "day", "5", ib=ib)
    key = kline.Barhold.count_key("AAPL", "day", "none", 5)
    with monkeypatch.context() as patch:
        if where == "class get":
            patch.setattr(kline.Barhold, "get", spying_get)
        elif where == "class count_key":
            patch.setattr(kline.Barhold, "count_key", staticmethod(spying_key))
        elif where == "instance get":
            cache = kline._get_cache()
            patch.setattr(cache, "get", types.MethodType(spying_get, cache), raising=False)
        hit = kline_words("aapl", "day", "5", ib=ib)
        asked = list(seen)
    again = kline_words("aapl", "day", "5", ib=ib)

    expected = ("count_key", ("AAPL", "day", "none", 5)) if "count_key" in where else ("get", key)
    assert expected in asked
    assert len(ib.calls) == 1 and hit["cached"] is again["cached"] is True
    assert hit["bars"] is again["bars"]
    # Undone, only a subclass's own method is still there to be asked.
    assert len(seen) == len(asked) + (where == "subclass get")


@pytest.mark.parametrize("mode", ["latest", "history", "intraday"])
def test_a_replaced_get_cache_is_the_cache_the_modes_use(monkeypatch, tmp_path, mode):
    """Every gateway mode asks the module's `_get_cache` as it is at the call."""
    own = kline.Barhold(tmp_path / "own")
    monkeypatch.setattr(kline, "_get_cache", lambda: own)
    today = dt.date.today()
    words = {"latest": ["day", "5"], "history": [str(today - dt.timedelta(days=4)), str(today)],
             "intraday": ["intraday"]}[mode]
    ib = FakeIB(minute_bars(5) if mode == "intraday" else daily_bars(5))
    first, again = kline_words("aapl", *words, ib=ib), kline_words("aapl", *words, ib=ib)
    assert len(ib.calls) == 1 and again["bars"] is first["bars"]
    assert len(own.cache.keys()) == 1 and kline._barhold is None


def test_bar_cache_refusals_read_the_same_either_way(monkeypatch, logs, yfinance):
    """A resolver answering a symbol that is no text fails the key as the method does."""
    state = FakeState(resolved=(42, Stock("AAPL", "SMART", "USD")))
    kline_words("aapl", state=state)
    original = kline.Barhold.count_key
    with monkeypatch.context() as patch:
        patch.setattr(kline.Barhold, "count_key", staticmethod(lambda *args: original(*args)))
        kline_words("aapl", state=state)
    warnings = [message for level, message in logs if level == "WARNING"]
    assert len(warnings) == 2 and warnings[0] == warnings[1]
    assert "argument 'symbol' must be str, not int" in warnings[0]


# ==== Who answers a latest-N request, and what the host sees ===============

class Recorder:
    """One list of what the host is asked, in order: keys, cache, log lines, gateway, table."""

    def __init__(self, monkeypatch, cached):
        self.events = []
        self.entries = dict(cached)
        self.cache = types.SimpleNamespace(close=lambda: None)  # for the fixture's clean-up
        events, keys = self.events, kline.Barhold

        class Keys:
            @staticmethod
            def count_key(*args):
                events.append(("count_key", args))
                return keys.count_key(*args)

        monkeypatch.setattr(kline, "Barhold", Keys)
        monkeypatch.setattr(kline, "_barhold", self)
        monkeypatch.setattr(kline, "printFrame", lambda frame, title: events.append(("print", title)))

    def get(self, key):
        self.events.append(("get", key))
        return self.entries.get(key)

    def try_larger_count(self, symbol, period, adjust, count):
        self.events.append(("try_larger_count", (symbol, period, adjust, count)))

    def set(self, key, bars):
        self.events.append(("set", key))


class RecordingIB(FakeIB):
    def __init__(self, events, bars):
        super().__init__(bars)
        self.events = events

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        self.events.append(("request", kwargs["durationStr"], kwargs["whatToShow"]))
        return await super().reqHistoricalDataAsync(contract, **kwargs)


class SpyingKline(kline.IOpKline):
    async def _kline(self, contract, rest):
        self.events.append(("_kline", list(rest)))
        return await super()._kline(contract, rest)


def latest_command(kind, events, ib):
    """A command whose `_kline` is the class's own, a subclass's, or set on the instance."""
    cmd = (SpyingKline if kind == "subclass" else kline.IOpKline)(state=FakeState(), ib=ib)
    cmd.symbol, cmd.rest, cmd.events = "AAPL", ["day", "5", "adj"], events
    if kind == "instance":
        own = cmd._kline

        async def spy(contract, rest):
            events.append(("_kline", list(rest)))
            return await own(contract, rest)
        cmd._kline = spy
    return cmd


KEY = "AAPL:day:adj:count_5"
HIT_LINES = [("log", "[AAPL] kline exact cache hit: day 5 adj")]
MISS_LINES = [("try_larger_count", ("AAPL", "day", "adj", 5)),
              ("log", "[AAPL] kline: period=day (1 day), count=5, duration=7 D, "
                      "what=ADJUSTED_LAST"),
              ("request", "7 D", "ADJUSTED_LAST"), ("print", "AAPL day (5 bars) (adjusted)"),
              ("set", KEY)]


@at("regular-session")  # where 5 daily bars reach back 7 days, as designed
@pytest.mark.parametrize("kind", ["own", "subclass", "instance"])
@pytest.mark.parametrize("hit", [True, False], ids=["hit", "miss"])
def test_latest_host_calls_whoever_answers(pinned_clock, monkeypatch, kind, hit):
    bars = daily_bars(5)
    records = plain_table(bars)[1]
    recorder = Recorder(monkeypatch, {KEY: records} if hit else {})
    events = recorder.events
    sink = kline.logger.add(lambda m: events.append(("log", m.record["message"])),
                            format="{message}")
    try:
        cmd = latest_command(kind, events, RecordingIB(events, bars))
        result = asyncio.run(cmd.run())
    finally:
        kline.logger.remove(sink)

    spied = [] if kind == "own" else [("_kline", ["day", "5", "adj"])]
    assert events == [*spied, ("count_key", ("AAPL", "day", "adj", 5)), ("get", KEY),
                      *(HIT_LINES if hit else MISS_LINES)]
    expected = {"symbol": "AAPL", "period": "day", "count": 5, "adjust": "adj",
                "bars": records, **({"cached": True} if hit else {}), "source": "ibkr"}
    assert result == expected and list(result) == list(expected)
    if hit:
        assert result["bars"] is recorder.entries[KEY]


def test_words_that_kline_refuses_are_not_served_from_the_cache(yfinance, logs):
    kline._get_cache().set(kline.Barhold.count_key("AAPL", "day", "none", 250), [{"close": 1}])
    cmd = command()
    cmd.rest = ("day",)  # a tuple: the class's own _kline takes only a list
    assert asyncio.run(cmd.run())["source"] == "yfinance"
    assert logs == [("WARNING", "[AAPL] IBKR failed (IOpKline._kline() argument 'rest' must be "
                                "list, not tuple), falling back to yfinance")]


@pytest.mark.parametrize("method, args, qualname", [
    ("run", (), "IOpKline.run"), ("_kline", (Stock("AAPL"), []), "IOpKline._kline"),
    ("_history", (Stock("AAPL"), ["today"]), "IOpKline._history"),
    ("_intraday", (Stock("AAPL"),), "IOpKline._intraday"),
])
def test_coroutines_are_named_by_their_method(method, args, qualname):
    first, second = (getattr(command(), method)(*args) for _ in range(2))
    for coroutine in (first, second):
        assert (coroutine.__qualname__, coroutine.__name__) == (qualname, method)
        assert qualname in repr(coroutine)
        coroutine.close()


class AnsweringIB(FakeIB):
    """Answers the requests in turn: bars, or an exception to raise."""

    def __init__(self, *answers):
        super().__init__()
        self.answers = list(answers)

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        self.calls.append((contract, kwargs))
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return BarDataList(answer)


def every_other_five_minutes(*sessions):
    """Every other 5-minute bar of the (day, 04:00 to `until`) sessions given, New York time."""
    times = []
    for day, until in sessions:
        at = dt.datetime.combine(day, dt.time(4), NEW_YORK)
        while at < dt.datetime.combine(day, until, NEW_YORK):
            times.append(at.astimezone(UTC))
            at += dt.timedelta(minutes=5)
    return [bar(t, i) for i, t in enumerate(times[::2])]


# "2 D" at 11:00 holds Monday 04:00-20:00 and today from 04:00: 277 five-minute bars, of
# which the answer has every other one (139). The 61 missing, at that density, take 122 bars:
# Friday's session, asked for up to Monday's first bar. Adjusted bars cannot end at a date:
# the whole look-back again (399 bars at that density: three sessions), ending now.
MONDAY, FRIDAY = dt.date(2026, 12, 7), dt.date(2026, 12, 4)
SHORT = every_other_five_minutes((MONDAY, dt.time(20)), (dt.date(2026, 12, 8), dt.time(11, 1)))
OLDER = every_other_five_minutes((FRIDAY, dt.time(20))) + SHORT[:1]
AGAIN = every_other_five_minutes((dt.date(2026, 12, 3), dt.time(20)), (FRIDAY, dt.time(20))) + SHORT


@at("regular-session")
@pytest.mark.parametrize("adjust, second, sent, kept, warning", [
    pytest.param("none", OLDER, (SHORT[0].date, "1 D"), OLDER[-97:-1] + SHORT, None, id="older-part"),
    pytest.param("adj", AGAIN, ("", "3 D"), AGAIN, None, id="adjusted-again"),
    pytest.param("none", TimeoutError("slow"), (SHORT[0].date, "1 D"), SHORT,
                 "[AAPL] older bars not fetched (slow): showing 139 of 200", id="older-part-fails"),
])
def test_a_short_answer_asks_once_more(pinned_clock, printed, logs, adjust, second, sent, kept, warning):
    ib = AnsweringIB(SHORT, second)
    result = kline_words("aapl", "5m", "200", adjust, ib=ib)
    assert [c[1]["durationStr"] for c in ib.calls] == ["2 D", sent[1]]
    assert ib.calls[1][1]["endDateTime"] == sent[0]
    assert result["source"] == "ibkr" and result["bars"] == plain_table(kept[-200:])[1]
    assert [m for level, m in logs if level == "WARNING"] == ([warning] if warning else [])


class FullDisk(kline.Barhold):
    def set(self, key, bars):
        raise OSError(28, "No space left on device")


class Unopenable(kline.Barhold):
    def __init__(self, data_dir=None):
        raise sqlite3.OperationalError("disk I/O error")


# A bar cache that cannot store costs the entry only: the bars are shown and returned.
@pytest.mark.parametrize("words, bars", [
    pytest.param(["day", "5"], daily_bars(5), id="latest"),
    pytest.param([str(dt.date.today() - dt.timedelta(days=4))], daily_bars(5), id="history"),
    pytest.param(["intraday"], minute_bars(5), id="intraday"),
])
@pytest.mark.parametrize("cache, why", [
    pytest.param(FullDisk, "No space left on device", id="full-disk"),
    pytest.param(Unopenable, "disk I/O error", id="cannot-open"),
])
def test_bars_the_cache_cannot_keep_are_shown_and_returned(monkeypatch, yfinance, printed, logs,
                                                          words, bars, cache, why):
    monkeypatch.setattr(kline, "Barhold", cache)
    result = kline_words("aapl", *words, ib=FakeIB(bars))
    frame, records = plain_table(bars)
    assert result["source"] == "ibkr" and result["bars"] == records
    pd.testing.assert_frame_equal(printed[0][1], frame)
    assert [m for level, m in logs if level == "WARNING"] == [f"[AAPL] bars not kept in the bar cache: {why}"]
    assert not yfinance.calls


@pytest.mark.parametrize("ib", [FakeIB([]), FakeIB(error=TimeoutError("slow"))],
                         ids=["empty", "raises"])
def test_failed_requests_cache_nothing(yfinance, printed, logs, ib):
    kline_words("aapl", ib=ib)
    kline_words("aapl", ib=ib)
    assert len(ib.calls) == 2 and not printed and len(yfinance.calls) == 2
    if not ib.error:
        assert ("ERROR", "[AAPL] No data returned") in logs
        assert asyncio.run(command()._kline(Stock("AAPL"), [])) == {
            "error": "No data returned", "symbol": "AAPL"}


# ==== History ================================================================

def exchange_day_end(day):
    return dt.datetime.combine(dt.date.fromisoformat(day), dt.time(23, 59, 59), NEW_YORK)


def test_history_defaults(pinned_clock, printed):
    pinned_clock.move_to(ny(2024, 3, 1, 12))
    ib = FakeIB(daily_bars(5, dt.date(2024, 2, 29)))
    result = kline_words("aapl", "2024-01-02", ib=ib)
    assert ib.calls[0][1] == dict(endDateTime=exchange_day_end("2024-03-01"), durationStr="60 D",
                                  barSizeSetting="1 day", whatToShow="TRADES", useRTH=True,
                                  formatDate=2, keepUpToDate=False, timeout=60)
    assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars", "source"]
    assert (result["start"], result["end"]) == ("2024-01-02", "2024-03-01")
    assert printed[0][0] == "AAPL day 2024-01-02 ~ 2024-03-01"


@pytest.mark.parametrize("words, end, period, adjust, sent, title", [
    (["2024-01-02", "week"], "2024-03-01", "week", "none", ("TRADES", "60 D"),
     "AAPL week 2024-01-02 ~ 2024-03-01"),
    # adjusted bars end now: the look-back reaches the start from today (2024-03-01)
    (["2023-01-02", "2024-02-01", "day", "adj"], "2024-02-01", "day", "adj",
     ("ADJUSTED_LAST", "2 Y"), "AAPL day 2023-01-02 ~ 2024-02-01 (adjusted)"),
    (["2024-01-02", "2024-02-01", "xyz", "tail"], "2024-02-01", "day", "xyz", ("TRADES", "31 D"),
     "AAPL day 2024-01-02 ~ 2024-02-01"),
    (["yesterday", "5m"], "2024-03-01", "5m", "none", ("TRADES", "2 D"),
     "AAPL 5m 2024-02-29 ~ 2024-03-01"),
    # intraday bars: the range's 6 sessions, not its 8 calendar days
    (["2024-02-23", "1m"], "2024-03-01", "1m", "none", ("TRADES", "6 D"),
     "AAPL 1m 2024-02-23 ~ 2024-03-01"),
], ids=["period", "all-four", "odd-adjust", "yesterday", "intraday-sessions"])
def test_history_words(pinned_clock, printed, logs, words, end, period, adjust, sent, title):
    pinned_clock.move_to(ny(2024, 3, 1, 12))
    ib = FakeIB(daily_bars(3, dt.date.fromisoformat(end)))
    result = kline_words("aapl", *words, ib=ib)
    request = ib.calls[0][1]
    what, duration = sent
    adjusted = what == "ADJUSTED_LAST"
    assert request["endDateTime"] == ("" if adjusted else exchange_day_end(end))
    assert (request["whatToShow"], request["durationStr"]) == sent
    assert request["useRTH"] is (period not in ("5m", "1m"))
    assert (result["period"], result["adjust"], printed[0][0]) == (period, adjust, title)
    assert f"duration={duration}, what={what}" in logs[0][1]
    key = kline.Barhold.range_key("AAPL", period, adjust, result["start"], result["end"])
    # stored as is (bars of 2024 are stale for `get` by now)
    assert kline._get_cache().cache.get(key)["bars"] is result["bars"]


# The end is included: a start on the end's day is that day, a start after it is refused.
@pytest.mark.parametrize("words, kept", [
    pytest.param(["today"], ["2024-03-01"], id="today"),
    pytest.param(["2024-02-29", "2024-02-29"], ["2024-02-29"], id="one-day"),
    pytest.param(["2024-03-02", "2024-03-01"], None, id="reversed"),
])
def test_history_start_and_end(pinned_clock, printed, logs, words, kept):
    pinned_clock.move_to(ny(2024, 3, 1, 12))
    ib = FakeIB(daily_bars(3, dt.date(2024, 3, 1)))
    result = asyncio.run(command(ib=ib)._history(Stock("AAPL"), words))
    if kept:
        assert [str(bar["date"]) for bar in result["bars"]] == kept
        assert ib.calls[0][1]["durationStr"] == "1 D"
        return
    assert result == {"error": "Start must be before end", "start": "2024-03-02", "end": "2024-03-01"}
    assert logs == [("ERROR", "Start must be before end: 2024-03-02 >= 2024-03-01")]
    assert not ib.calls and kline._barhold is None


def test_history_cache_hit_and_empty_range(printed, logs):
    start = str(dt.date.today() - dt.timedelta(days=30))
    ib = FakeIB(daily_bars(20))
    kline_words("aapl", start, ib=ib)
    hit = kline_words("aapl", start, ib=ib)
    assert hit["cached"] is True and len(ib.calls) == 1 and len(printed) == 1
    assert [m for _, m in logs[-2:]] == [
        f"[AAPL] history: {start} → {dt.date.today()}, period=day (1 day), duration=31 D, "
        "what=TRADES",
        f"[AAPL] history cache hit: {start}~{dt.date.today()} day none"]
    words = ["2020-01-01", "2020-02-01"]
    empty = asyncio.run(command(ib=FakeIB([]))._history(Stock("AAPL"), words))
    assert empty == {"error": "No data in range", "symbol": "AAPL", "start": "2020-01-01",
                     "end": "2020-02-01"}
    assert logs[-1] == ("ERROR", "[AAPL] No data in range 2020-01-01 → 2020-02-01")


# ==== A range holds exactly its days, by the exchange's calendar ===========

TOKYO = ZoneInfo("Asia/Tokyo")


def at(text, zone=None):
    return dt.datetime.fromisoformat(text).replace(tzinfo=zone)


# Range 2025-01-02 ~ 2025-01-03 (winter: New York is UTC-5) and 2025-07-01 ~ 2025-07-02
# (summer: UTC-4); each list is the first and last instant inside and the nearest outside.
@pytest.mark.parametrize("words, dates, kept", [
    pytest.param(["2025-01-02", "2025-01-03"],
                 [dt.date(2025, 1, 1), dt.date(2025, 1, 2), dt.date(2025, 1, 3), dt.date(2025, 1, 4)],
                 [1, 2], id="plain-dates"),
    pytest.param(["2025-01-02", "2025-01-03", "5m"],
                 [at("2025-01-02 04:55", UTC), at("2025-01-02 05:00", UTC),
                  at("2025-01-04 04:55", UTC), at("2025-01-04 05:00", UTC)], [1, 2], id="utc-winter"),
    pytest.param(["2025-07-01", "2025-07-02", "1h"],
                 [at("2025-07-01 03:00", UTC), at("2025-07-01 04:00", UTC),
                  at("2025-07-03 03:59", UTC), at("2025-07-03 04:00", UTC)], [1, 2], id="utc-summer"),
    pytest.param(["2025-01-02", "2025-01-03", "1m"],
                 [at("2025-01-01 23:59:59"), at("2025-01-02 00:00"), at("2025-01-03 23:59:59"),
                  at("2025-01-04 00:00")], [1, 2], id="naive-is-exchange-time"),
    pytest.param(["2025-01-02", "2025-01-03", "1m"],
                 [at("2025-01-02 13:59", TOKYO), at("2025-01-02 14:00", TOKYO),
                  at("2025-01-04 13:59", TOKYO), at("2025-01-04 14:00", TOKYO)], [1, 2],
                 id="other-zone"),
    pytest.param(["2025-01-02", "2025-01-03", "1m"],
                 [pd.Timestamp("2025-01-02 04:59", tz="UTC"), pd.Timestamp("2025-01-02 05:00", tz="UTC"),
                  pd.Timestamp("2025-01-03 12:00")], [1, 2], id="timestamps"),
])
def test_history_keeps_the_days_of_the_range(printed, words, dates, kept):
    bars = [bar(date, i) for i, date in enumerate(dates)]
    result = kline_words("aapl", *words, ib=FakeIB(bars))
    frame, records = plain_table([bars[i] for i in kept])
    assert result["bars"] == records
    pd.testing.assert_frame_equal(printed[0][1], frame)


def test_range_days_follow_the_exchange_zone(monkeypatch, printed):
    monkeypatch.setattr(kline, "_EXCHANGE_TZ", TOKYO)
    # the calendar sizes the look-back from the range's first and last instants, looked up at call time
    sized = []
    monkeypatch.setattr(kline, "gateway_range_duration", lambda *args: sized.append(args) or "3 D")
    bars = [bar(at("2025-01-01 14:59", UTC), 0), bar(at("2025-01-01 15:00", UTC), 1)]
    ib = FakeIB(bars)
    result = kline_words("aapl", "2025-01-02", "2025-01-03", "1h", ib=ib)
    assert [r["date"] for r in result["bars"]] == [at("2025-01-02 00:00")]
    assert ib.calls[0][1]["endDateTime"] == at("2025-01-03 23:59:59", TOKYO)
    assert sized == [("AAPL", "STK", "1 hour", False, at("2025-01-02 00:00", TOKYO), at("2025-01-03 23:59:59", TOKYO),
                      "2 D")]
    assert ib.calls[0][1]["durationStr"] == "3 D"


def test_range_with_no_bar_inside_is_empty(yfinance, printed, logs):
    ib = FakeIB(daily_bars(3, dt.date(2025, 1, 1)))
    result = asyncio.run(command(ib=ib)._history(Stock("AAPL"), ["2025-01-02", "2025-01-10"]))
    assert result == {"error": "No data in range", "symbol": "AAPL", "start": "2025-01-02",
                      "end": "2025-01-10"}
    assert logs[-1] == ("ERROR", "[AAPL] No data in range 2025-01-02 → 2025-01-10")
    assert not printed and not kline._get_cache().cache.keys()


def test_adjusted_range_after_today_asks_for_one_day(pinned_clock, yfinance):
    pinned_clock.move_to(ny(2024, 3, 1, 12))
    ib = FakeIB(daily_bars(3, dt.date(2024, 3, 1)))
    kline_words("aapl", "2024-04-01", "2024-05-01", "adj", ib=ib)
    # a look-back of none is refused by the gateway; nothing of today is in range
    assert ib.calls[0][1]["durationStr"] == "1 D" and len(yfinance.calls) == 1


@pytest.mark.parametrize("path", ["fast", "plain"])
@pytest.mark.parametrize("zone, utc, shown", [
    (None, "2025-01-02 14:30", "2025-01-02 09:30"), (None, "2025-07-01 13:30", "2025-07-01 09:30"),
    (TOKYO, "2025-01-02 14:30", "2025-01-02 23:30"),
], ids=["winter", "summer", "tokyo"])
def test_gateway_times_read_in_exchange_time(monkeypatch, printed, path, zone, utc, shown):
    if zone:
        monkeypatch.setattr(kline, "_EXCHANGE_TZ", zone)
    bars = [bar(at(utc, UTC), 0)]
    if path == "plain":  # a column of mixed kinds takes pandas' own steps
        bars.append(bar(at(utc, UTC), 1))
        bars[1].volume = 5
    result = asyncio.run(command(ib=FakeIB(bars))._intraday(Stock("AAPL")))
    assert result["bars"][0]["date"] == pd.Timestamp(shown)
    assert str(printed[0][1]["date"][0]) == shown + ":00"


# ==== Intraday ===============================================================

def test_intraday(printed, logs):
    ib = FakeIB(minute_bars(390))
    fresh = kline_words("aapl", "intraday", "5m", "adj", ib=ib)
    hit = kline_words("aapl", "intraday", ib=ib)
    assert ib.calls[0][1] == dict(endDateTime="", durationStr="1 D", barSizeSetting="1 min",
                                  whatToShow="TRADES", useRTH=False, formatDate=2,
                                  keepUpToDate=False, timeout=60)
    assert len(ib.calls) == 1 and [t for t, _ in printed] == ["AAPL Intraday"]
    assert list(fresh) == ["symbol", "type", "bars", "source"]
    assert fresh["source"] == hit["source"] == "ibkr" and hit["bars"] is fresh["bars"]
    assert [m for _, m in logs] == ["[AAPL] intraday", "[AAPL] intraday",
                                    "[AAPL] intraday cache hit"]
    direct = asyncio.run(command()._intraday(Stock("AAPL")))
    assert direct["source"] == "cache"


def test_intraday_serves_an_entry_written_elsewhere_and_reports_empty_answers():
    finished = minute_bars(1)[0].date.astimezone(kline._EXCHANGE_TZ).replace(tzinfo=None)
    bars = [{"date": finished, "close": 1.5}]
    kline._get_cache().set(kline.Barhold.intraday_key("msft"), bars)
    assert asyncio.run(command("MSFT")._intraday(Stock("MSFT")))["bars"] == bars
    empty = asyncio.run(command("IBM", FakeIB([]))._intraday(Stock("IBM")))
    assert empty == {"error": "No intraday data", "symbol": "IBM"}


# ==== Tables equal to the plain pandas steps =================================

def odd(bars, **changes):
    for index, values in changes.items():
        for name, value in values.items():
            setattr(bars[int(index[1:])], name, value)
    return bars


@pytest.mark.parametrize("bars", [
    pytest.param(minute_bars(2000), id="utc-minutes"),
    pytest.param(daily_bars(250), id="dates"),
    pytest.param([bar(dt.datetime(2025, 1, 2, 9, 30) + dt.timedelta(minutes=i), i)
                  for i in range(5)], id="naive"),
    pytest.param([bar(dt.datetime(2025, 3, 9, 1, 59, tzinfo=dt.timezone(-dt.timedelta(hours=5))),
                      0)], id="other-zone"),
    pytest.param(odd(minute_bars(4), r1={"close": float("nan")}, r2={"volume": 5}),
                 id="nan-and-int"),
    pytest.param(odd(daily_bars(3), r0={"barCount": 2**70}), id="huge-int"),
    pytest.param(odd(daily_bars(3), r1={"date": dt.datetime(2025, 1, 1)}), id="mixed-dates"),
    pytest.param([{"date": dt.date(2025, 1, 2), "close": 1.0, "note": "x"}], id="dicts"),
])
def test_tables_match_plain_pandas(printed, bars):
    cmd = command(ib=FakeIB(bars))
    result = asyncio.run(cmd._intraday(Stock("AAPL")))
    frame, records = plain_table(bars)
    shown = printed[0][1]
    pd.testing.assert_frame_equal(shown, frame, check_exact=True)
    assert shown.to_string() == frame.to_string()
    got = result["bars"]
    assert [[(type(v), repr(v)) for v in r.values()] for r in got] == \
           [[(type(v), repr(v)) for v in r.values()] for r in records]
    assert [list(r) for r in got] == [list(r) for r in records]
