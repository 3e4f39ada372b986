"""kline on yfinance: the fetch, frame normalisation and the three fallback modes.

yfinance is faked through sys.modules with frames shaped as its `history` returns them:
a tz-aware index named "Date" (daily) or "Datetime" (intraday), "Dividends" and
"Stock Splits" after the prices, "Adj Close" when not auto-adjusted.
"""

import asyncio
import datetime as dt
import gc
import importlib.util
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import pandas as pd
import pytest
import pytest_asyncio

import korvanta.cmds.quotes.kline as kline
from clock import at, at_every_instant
from test_kline import printed  # noqa: F401  (kline's tables, kept: a fixture)

ZONE = "America/New_York"
FAKES = Path(__file__).parent / "fakes"


def yf_frame(n, *, intraday=False, adj_close=False, actions=("Dividends", "Stock Splits"),
             index=None):
    """n bars ending now (so the bar cache counts them fresh; the minute now forming not
    among them), as yfinance shapes them; or one bar at each time of `index`."""
    now = pd.Timestamp.now(tz=ZONE)
    if index is not None:
        n = len(index)
    elif intraday:
        index = pd.date_range(end=now.floor("min") - pd.Timedelta(minutes=1), periods=n, freq="min",
                              name="Datetime")
    else:
        index = pd.date_range(end=now.normalize(), periods=n, freq="D", name="Date")
    close = [100.0 + i for i in range(n)]
    columns = {"Open": close, "High": [c + 1 for c in close], "Low": [c - 1 for c in close],
               "Close": close}
    if adj_close:
        columns["Adj Close"] = [c * 0.99 for c in close]
    columns["Volume"] = pd.array([1000 + i for i in range(n)], dtype="int64")
    for action in actions:
        columns[action] = 0.0
    return pd.DataFrame(columns, index=index)


class FakeYfinance(types.ModuleType):
    """Records each `Ticker(symbol).history(**kwargs)` call and the thread it ran in."""

    def __init__(self):
        super().__init__("yfinance")
        self.config = types.SimpleNamespace(network=types.SimpleNamespace(proxy="untouched"))
        self.calls = []
        self.answer = yf_frame(300)
        self.gate = None  # an Event the fetch waits for, as on a network that drops packets
        fake = self

        class Ticker:
            def __init__(self, symbol):
                self.symbol = symbol

            def history(self, **kwargs):
                fake.calls.append((self.symbol, kwargs, threading.get_ident()))
                if fake.gate:
                    fake.gate.wait(10)
                if isinstance(fake.answer, BaseException):
                    raise fake.answer
                return fake.answer

        self.Ticker = Ticker


@pytest.fixture
def yf(monkeypatch, data_dir):
    fake = FakeYfinance()
    monkeypatch.setitem(sys.modules, "yfinance", fake)
    monkeypatch.delenv("HTTPS_PROXY", raising=False)
    monkeypatch.setattr(kline, "_barhold", None)
    yield fake
    if kline._barhold is not None:  # closed now, not in whichever later test collects it
        kline._barhold.cache.close()


def command(symbol="AAPL"):
    cmd = kline.IOpKline()
    cmd.symbol = symbol
    cmd.rest = []
    return cmd


def without_bars(result):
    return {k: v for k, v in result.items() if k != "bars"}


def today():
    return dt.datetime.now().date()


class TestNormalize:
    @pytest.mark.parametrize("hist, columns", [
        pytest.param(yf_frame(3), ["date", "open", "high", "low", "close", "volume"], id="daily"),
        pytest.param(yf_frame(3, intraday=True), ["date", "open", "high", "low", "close", "volume"],
                     id="intraday"),
        pytest.param(yf_frame(3, adj_close=True, actions=("Stock Splits", "Capital Gains")),
                     ["date", "open", "high", "low", "close", "Adj Close", "volume",
                      "Capital Gains"], id="adj-close+one-action+extra"),
    ])
    def test_bar_record_form(self, hist, columns):
        before = hist.copy()
        df = kline._normalize_yfinance_df(hist)
        assert list(df.columns) == columns + ["average", "barCount"]
        assert df["date"].dt.tz is None
        assert list(df["date"]) == list(hist.index.tz_localize(None))
        assert list(df["average"]) == list(df["close"]) and set(df["barCount"]) == {1}
        pd.testing.assert_frame_equal(hist, before)

    def test_plain_dates_are_left_alone(self):
        hist = yf_frame(2)
        hist.index = pd.Index([d.date() for d in hist.index], name="Date")
        assert list(kline._normalize_yfinance_df(hist)["date"]) == list(hist.index)

    def test_no_close_column_raises(self):
        with pytest.raises(KeyError):
            kline._normalize_yfinance_df(yf_frame(2).drop(columns=["Close"]))


class TestFetch:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("env, proxy", [
        pytest.param({}, "untouched", id="unset"),
        pytest.param({"HTTPS_PROXY": ""}, "untouched", id="empty"),
        pytest.param({"https_proxy": "http://p:3128"}, "untouched", id="lower-case-ignored"),
        pytest.param({"HTTPS_PROXY": "http://p:3128"},
                     {"https": "http://p:3128", "http": "http://p:3128"}, id="set"),
    ])
    async def test_worker_thread_and_proxy(self, yf, monkeypatch, env, proxy):
        for name, value in env.items():
            monkeypatch.setenv(name, value)
        hist = await command()._yf_history(period="5d", interval="1m", auto_adjust=True)
        assert hist is yf.answer
        [(symbol, kwargs, thread)] = yf.calls
        assert (symbol, kwargs) == ("AAPL", {"period": "5d", "interval": "1m", "auto_adjust": True})
        assert thread != threading.get_ident()
        assert yf.config.network.proxy == proxy

    @pytest.mark.asyncio
    @pytest.mark.parametrize("library, text", [
        pytest.param("raises", "rate limited", id="library-error"),
        pytest.param("missing", "import of yfinance halted", id="not-installed"),
    ])
    async def test_failure_is_none_and_logged(self, yf, monkeypatch, logs, library, text):
        if library == "missing":
            monkeypatch.setitem(sys.modules, "yfinance", None)
        else:
            yf.answer = ConnectionError("rate limited")
        assert await command()._yf_history(period="1d") is None
        [(level, message)] = [line for line in logs if "fetch failed" in line[1]]
        assert level == "ERROR" and message.startswith("[AAPL] yfinance fetch failed: ")
        assert text in message

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
    def test_interrupt_escapes_the_mode(self, yf, logs, printed, error):
        # Ctrl-C during a fetch lands in the worker thread: it must end the command, not
        # read as a failed fetch that falls back to "no data".
        yf.answer = error()
        with pytest.raises(error):
            asyncio.run(command()._run_yfinance([]))
        assert len(yf.calls) == 1
        assert printed == [] and not [m for _, m in logs if "fetch failed" in m]

    def test_yfinance_not_imported_with_the_module(self):
        code = "import sys, korvanta.cmds.quotes.kline; print('yfinance' in sys.modules)"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        assert out.strip() == "False"


@pytest.mark.asyncio
class TestTimeLimit:
    @pytest_asyncio.fixture
    async def stuck(self, yf, monkeypatch):
        """A fetch that hangs until released (at the latest when the test ends), then fails."""
        yf.gate, yf.answer = threading.Event(), ConnectionError("answered at last")
        monkeypatch.setenv("KORVANTA_YF_TIMEOUT", "0.05")
        yield yf
        await self.release(yf)

    @staticmethod
    async def release(yf):
        """Lets the hung worker finish, and waits for it."""
        yf.gate.set()
        await asyncio.get_running_loop().shutdown_default_executor()

    async def test_fetch_gives_up_and_the_worker_stays_quiet(self, stuck, logs):
        began = time.monotonic()
        assert await command()._yf_history(period="1d") is None
        # not waiting for the hung fetch, which answers after 10 s: a bound, not a timing
        assert time.monotonic() - began < 8
        assert logs == [("ERROR", "[AAPL] yfinance fetch failed: timed out after 0.05 s")]
        await self.release(stuck)
        assert len(logs) == 1

    async def test_mode_gives_its_no_data_outcome(self, stuck, printed):
        result = await command()._run_yfinance(["2024-01-02", "2024-02-01"])
        assert result == {"error": "No data in range", "symbol": "AAPL", "start": "2024-01-02",
                          "end": "2024-02-01"}
        assert printed == []

    async def test_cancellation_passes_at_once(self, stuck, monkeypatch, logs):
        monkeypatch.delenv("KORVANTA_YF_TIMEOUT")
        fetch = asyncio.ensure_future(command()._yf_history(period="1d"))
        while not stuck.calls:
            await asyncio.sleep(0.01)
        fetch.cancel()
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(fetch, 5)
        await self.release(stuck)
        assert not [m for _, m in logs if "fetch failed" in m]

    @pytest.mark.parametrize("value, limit, warned", [
        ("20", 20.0, False), (" 0.5 ", 0.5, False), ("", 20.0, False), ("inf", None, False),
        ("abc", 20.0, True), ("0", 20.0, True), ("-3", 20.0, True), ("nan", 20.0, True),
    ])
    async def test_limit_from_the_environment(self, yf, monkeypatch, logs, value, limit, warned):
        seen = []

        async def wait_for(awaitable, timeout):
            seen.append(timeout)
            return await awaitable
        monkeypatch.setattr(kline, "asyncio", types.SimpleNamespace(to_thread=asyncio.to_thread,
                                                                    wait_for=wait_for))
        monkeypatch.setenv("KORVANTA_YF_TIMEOUT", value)
        assert await command()._yf_history(period="1d") is yf.answer
        assert seen == [limit]
        assert [m for level, m in logs if level == "WARNING"] == (
            [f"KORVANTA_YF_TIMEOUT={value!r} is not a positive number of seconds; using 20 s"]
            if warned else [])


@pytest.mark.asyncio
class TestDispatch:
    @pytest.mark.parametrize("words, mode", [
        pytest.param([], "_kline_yfinance", id="empty"),
        pytest.param(["intraday", "x"], "_intraday_yfinance", id="intraday"),
        pytest.param(["Intraday"], "_kline_yfinance", id="Intraday-is-not"),
        pytest.param(["2024-01-02", "day"], "_history_yfinance", id="date"),
        pytest.param(["yesterday"], "_history_yfinance", id="yesterday"),
        pytest.param(["5m", "2024-01-02"], "_kline_yfinance", id="period-first"),
    ])
    async def test_mode_by_first_word(self, yf, logs, words, mode):
        cmd, seen = command(), []
        for name in ("_kline_yfinance", "_history_yfinance", "_intraday_yfinance"):
            async def fake(*args, name=name):
                seen.append((name, args))
                return {"mode": name}
            setattr(cmd, name, fake)
        assert await cmd._run_yfinance(words) == {"mode": mode}
        assert seen == [(mode, () if mode == "_intraday_yfinance" else (words,))]
        assert ("INFO", f"[AAPL] yfinance fallback: rest={words}") in logs

    async def test_mode_result_must_be_a_mapping(self, yf):
        cmd = command()

        async def wrong(rest):
            return ["not", "a", "dict"]
        cmd._kline_yfinance = wrong
        with pytest.raises(TypeError):
            await cmd._run_yfinance([])

    async def test_impossible_date_propagates(self, yf):
        with pytest.raises(ValueError):
            await command()._run_yfinance(["2025-13-45"])


@pytest.mark.asyncio
class TestLatest:
    @pytest.mark.parametrize("words, period, count, adjust, asked", [
        pytest.param([], "day", 250, "none", ("5y", "1d", False), id="defaults"),
        pytest.param(["day", "adj"], "day", 250, "adj", ("5y", "1d", True), id="adj-not-count"),
        pytest.param(["week", "20", "forward"], "week", 20, "forward", ("max", "1wk", True),
                     id="all-three"),
        pytest.param(["50"], "day", 50, "none", ("5y", "1d", False), id="count-only"),
        # an alias asks for what its period asks for
        pytest.param(["d"], "d", 100, "none", ("5y", "1d", False), id="alias"),
        pytest.param(["minute", "5"], "minute", 5, "none", ("5d", "1m", False), id="minute-alias"),
        pytest.param(["5m", "2.5"], "5m", 78, "2.5", ("5d", "5m", False), id="float-is-adjust"),
        pytest.param(["adj", "100"], "day", 250, "adj", ("5y", "1d", True), id="order-matters"),
    ])
    async def test_words(self, yf, printed, logs, words, period, count, adjust, asked):
        result = await command()._kline_yfinance(words)
        assert list(result) == ["symbol", "period", "count", "adjust", "bars", "source"]
        assert without_bars(result) == {"symbol": "AAPL", "period": period, "count": count,
                                        "adjust": adjust, "source": "yfinance"}
        yf_period, interval, auto_adjust = asked
        assert yf.calls[0][1] == {"period": yf_period, "interval": interval,
                                  "auto_adjust": auto_adjust}
        assert (f"[AAPL] yfinance kline: period={yf_period}, interval={interval}, "
                f"count={count}, adjust={auto_adjust}") in [m for _, m in logs]
        [(title, frame)] = printed
        assert title == f"AAPL {period} ({count} bars) [yfinance]" and len(frame) == count
        assert result["bars"] == frame.to_dict(orient="records")
        assert result["bars"][-1]["date"] == kline._normalize_yfinance_df(yf.answer)["date"].iloc[-1]

    async def test_count_zero_keeps_every_bar(self, yf, printed):
        result = await command()._kline_yfinance(["day", "0"])
        assert result["count"] == 300 and printed[0][0] == "AAPL day (300 bars) [yfinance]"

    async def test_cached_then_exact_hit(self, yf, printed, logs):
        first = await command()._kline_yfinance(["day", "30"])
        printed.clear(), logs.clear()
        again = await command()._kline_yfinance(["day", "30"])
        assert without_bars(again) == {"symbol": "AAPL", "period": "day", "count": 30,
                                       "adjust": "none", "cached": True}
        assert again["bars"] == first["bars"]
        assert len(yf.calls) == 1 and printed == [] and logs == []

    async def test_larger_count_hit_becomes_exact(self, yf, printed):
        await command()._kline_yfinance(["day", "200"])
        smaller = await command()._kline_yfinance(["day", "50"])
        assert smaller["cached"] and smaller["count"] == 50 and len(yf.calls) == 1
        key = kline.Barhold.count_key("AAPL", "day", "none", 50)
        assert kline._get_cache().get(key) is smaller["bars"]


@pytest.mark.asyncio
class TestHistory:
    async def test_fresh_then_silent_cache_hit(self, yf, printed, logs):
        start = today() - dt.timedelta(days=20)
        words = [start.isoformat(), today().isoformat(), "week", "adj"]
        result = await command()._history_yfinance(words)
        assert list(result) == ["symbol", "period", "start", "end", "adjust", "bars", "source"]
        assert without_bars(result) == {"symbol": "AAPL", "period": "week", "start": words[0],
                                        "end": words[1], "adjust": "adj", "source": "yfinance"}
        # history() leaves out its end day: asked through the day after
        assert yf.calls[0][1] == {"start": start, "end": today() + dt.timedelta(days=1),
                                  "interval": "1wk", "auto_adjust": True}
        assert ("INFO", f"[AAPL] yfinance history: {words[0]} → {words[1]}, interval=1wk, "
                        "adjust=True") in logs
        assert [title for title, _ in printed] == [f"AAPL week {words[0]} ~ {words[1]} [yfinance]"]
        printed.clear(), logs.clear()
        again = await command()._history_yfinance(words)
        assert again["cached"] is True and again["bars"] is result["bars"]
        assert len(yf.calls) == 1 and printed == [] and logs == []

    @pytest.mark.parametrize("words, period, adjust, asked", [
        pytest.param(["2024-01-02"], "day", "none", ("1d", False), id="start-only"),
        pytest.param(["2024-01-02", "1h", "xyz"], "1h", "xyz", ("60m", False), id="odd-adjust"),
        pytest.param(["2024-01-02", "w", "forward"], "w", "forward", ("1wk", True), id="alias"),
    ])
    async def test_words(self, yf, printed, words, period, adjust, asked):
        result = await command()._history_yfinance(words)
        assert (result["period"], result["adjust"], result["end"]) == (period, adjust,
                                                                       today().isoformat())
        assert (yf.calls[0][1]["interval"], yf.calls[0][1]["auto_adjust"]) == asked

    @pytest.mark.parametrize("index, kept", [
        pytest.param(pd.date_range("2025-01-01", "2025-01-06", freq="D", tz=ZONE, name="Date"),
                     slice(1, 5), id="daily"),
        pytest.param(pd.DatetimeIndex(["2025-01-01 23:59", "2025-01-02 00:00", "2025-01-05 23:59",
                                       "2025-01-06 00:00"], name="Datetime").tz_localize(ZONE),
                     slice(1, 3), id="own-clock"),
        pytest.param(pd.Index([dt.date(2025, 1, d) for d in (1, 2, 5, 6)], name="Date"),
                     slice(1, 3), id="plain-dates"),
        pytest.param(pd.date_range("2025-01-02", "2025-01-05", freq="D", tz=ZONE, name="Date"),
                     slice(0, 4), id="all-inside"),
    ])
    async def test_keeps_the_days_of_the_range(self, yf, printed, index, kept):
        yf.answer = yf_frame(0, index=index)
        result = await command()._history_yfinance(["2025-01-02", "2025-01-05"])
        expected = kline._normalize_yfinance_df(yf.answer.iloc[kept])
        assert result["bars"] == expected.to_dict(orient="records")
        pd.testing.assert_frame_equal(printed[0][1], expected)

    async def test_nothing_inside_the_range(self, yf, printed):
        yf.answer = yf_frame(0, index=pd.date_range("2025-01-06", periods=3, tz=ZONE, name="Date"))
        result = await command()._history_yfinance(["2025-01-02", "2025-01-05"])
        assert result["error"] == "No data in range" and printed == []

    # The end is included: a start on the end's day is that day, a start after it is refused.
    @pytest.mark.parametrize("words, kept", [
        pytest.param(["2025-01-03", "2025-01-03"], [dt.date(2025, 1, 3)], id="one-day"),
        pytest.param(["2025-01-04", "2025-01-03"], None, id="reversed"),
    ])
    async def test_start_and_end(self, yf, printed, logs, words, kept):
        yf.answer = yf_frame(0, index=pd.date_range("2025-01-02", periods=3, tz=ZONE, name="Date"))
        result = await command()._history_yfinance(words)
        if kept:
            assert [bar["date"].date() for bar in result["bars"]] == kept
            assert yf.calls[0][1]["end"] == dt.date(2025, 1, 4)
            return
        assert result == {"error": "Start must be before end", "start": words[0], "end": words[1]}
        assert yf.calls == [] and logs == []


@pytest.fixture
def calendar_yf(monkeypatch, data_dir):
    """The children's fake yfinance in this process: bars by the exchange calendar, served
    only as far back and in pieces as large as the source allows; `calls` records each."""
    found = importlib.util.spec_from_file_location("yfinance", FAKES / "yfinance" / "__init__.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    calls = []
    history = module.Ticker.history
    monkeypatch.setattr(module.Ticker, "history",
                        lambda self, **kwargs: calls.append(kwargs) or history(self, **kwargs))
    monkeypatch.setitem(sys.modules, "yfinance", module)
    monkeypatch.setattr(kline, "_barhold", None)
    module.calls = calls
    yield module
    if kline._barhold is not None:
        kline._barhold.cache.close()


@pytest.mark.asyncio
class TestDepth:
    """Beyond what one `period=` request holds: pieces within yfinance's limits, and one line
    where the source does not reach back far enough."""

    @at("regular-session")
    @pytest.mark.parametrize("words, count, requests, line", [
        pytest.param(["5m", "200"], 200, 1, None, id="designed-holds"),
        # six sessions of minutes from 2026-12-01: pieces of at most 7 days
        pytest.param(["1m", "2000"], 2000, 2, None, id="paged"),
        # one-minute bars reach back to 2026-11-09: 20 sessions (one closing at 13:00) and
        # today's 91 minutes, 11:00 forming
        pytest.param(["1m", "20000"], 20 * 390 - 180 + 91, 5,
                     "[AAPL] yfinance holds 7711 of the 20000 bars asked: its one-minute bars reach "
                     "back about 30 days", id="beyond-reach"),
    ])
    async def test_latest(self, pinned_clock, calendar_yf, printed, logs, words, count, requests, line):
        result = await command()._kline_yfinance(words)
        assert result["count"] == count and printed[0][0] == f"AAPL {words[0]} ({count} bars) [yfinance]"
        assert len(calendar_yf.calls) == requests
        assert [m for level, m in logs if level == "WARNING"] == ([line] if line else [])

    @at_every_instant
    @pytest.mark.parametrize("words", [["day", "5"], ["week", "3"], ["1h", "10"], ["5m", "200"], ["1m", "2000"]],
                             ids=" ".join)
    async def test_latest_n_is_n_up_to_the_latest_bar(self, pinned_clock, calendar_yf, printed, logs, words):
        from korvanta import sessions

        count = int(words[1])
        result = await command()._kline_yfinance(words)
        dates = [bar["date"] for bar in result["bars"]]
        assert result["count"] == len(dates) == count and dates == sorted(set(dates)), logs
        now = dt.datetime.now(dt.UTC)
        latest = sessions.sessions_before(sessions.US_STOCKS, now, 1, extended=False)[0]
        if words[0] == "day":
            assert dates[-1].date() == latest.day
        elif words[0] != "week":
            # the last bar is the latest one begun: in today's session, or at the end of the latest
            assert dates[-1] <= now.astimezone(latest.open.tzinfo).replace(tzinfo=None)
            assert dates[-1].date() == latest.day

    @at_every_instant
    @pytest.mark.parametrize("period", ["day", "1h", "1m"])
    async def test_a_range_to_today_holds_every_bar_begun(self, pinned_clock, calendar_yf, printed, logs, period):
        from korvanta import sessions

        now = dt.datetime.now(dt.UTC)
        days = [s.day for s in sessions.sessions_before(sessions.US_STOCKS, now, 3, extended=False)]
        today = now.astimezone(sessions.US_STOCKS.zone).date()
        result = await command()._history_yfinance([str(days[0]), str(today), period])
        dates = [bar["date"] for bar in result["bars"]]
        assert {getattr(d, "date", lambda: d)() for d in dates} == set(days), logs
        assert dates == sorted(set(dates)) and dates[-1] <= now.astimezone(sessions.US_STOCKS.zone).replace(tzinfo=None)
        assert [m for level, m in logs if level == "WARNING"] == []  # within the source's reach

    @at("regular-session")
    async def test_range_beyond_reach(self, pinned_clock, calendar_yf, printed, logs):
        result = await command()._history_yfinance(["2026-10-01", "2026-11-10", "1m"])
        # 2026-11-09 and 11-10 are what the source holds of the 29 sessions asked
        assert len(result["bars"]) == 2 * 390
        assert [m for level, m in logs if level == "WARNING"] == [
            f"[AAPL] yfinance holds 780 of the {29 * 390} bars asked: its one-minute bars reach back about 30 days"]


@pytest.mark.asyncio
class TestIntraday:
    async def test_fresh_stored_before_printing(self, yf, monkeypatch, logs):
        yf.answer = yf_frame(30, intraday=True)
        key = kline.Barhold.intraday_key("AAPL")
        seen = []
        monkeypatch.setattr(kline, "printFrame",
                            lambda frame, title: seen.append((title, kline._get_cache().get(key))))
        result = await command()._intraday_yfinance()
        assert list(result) == ["symbol", "type", "bars", "source"]
        assert without_bars(result) == {"symbol": "AAPL", "type": "intraday", "source": "yfinance"}
        assert yf.calls[0][1] == {"period": "1d", "interval": "1m", "auto_adjust": False}
        assert seen == [("AAPL Intraday [yfinance]", result["bars"])]


@pytest.mark.asyncio
@pytest.mark.parametrize("answer", [ConnectionError("down"), pd.DataFrame()],
                         ids=["fetch-failed", "empty"])
@pytest.mark.parametrize("words, expected, error_line", [
    pytest.param([], {"error": "No data returned", "symbol": "AAPL"},
                 "[AAPL] yfinance returned no data", id="latest"),
    pytest.param(["2024-01-02", "2024-02-01"],
                 {"error": "No data in range", "symbol": "AAPL", "start": "2024-01-02",
                  "end": "2024-02-01"}, None, id="history"),
    pytest.param(["intraday"], {"error": "No intraday data", "symbol": "AAPL"}, None,
                 id="intraday"),
])
async def test_no_data(yf, printed, logs, answer, words, expected, error_line):
    yf.answer = answer
    result = await command()._run_yfinance(words)
    assert list(result.items()) == list(expected.items())
    errors = [m for level, m in logs if level == "ERROR" and "fetch failed" not in m]
    assert errors == ([error_line] if error_line else []) and printed == []
    assert not kline._get_cache().cache.keys()


@pytest.mark.asyncio
@pytest.mark.parametrize("words", [["day", "5"], ["2024-01-02", "2024-02-01"], ["intraday"]],
                         ids=["latest", "history", "intraday"])
async def test_bars_the_cache_cannot_keep_are_shown_and_returned(yf, monkeypatch, printed, logs, words):
    class FullDisk(kline.Barhold):
        def set(self, key, bars):
            raise OSError(28, "No space left on device")

    monkeypatch.setattr(kline, "Barhold", FullDisk)
    yf.answer = yf_frame(0, index=pd.date_range("2024-01-02", periods=5, tz=ZONE, name="Date"))
    result = await command()._run_yfinance(words)
    expected = kline._normalize_yfinance_df(yf.answer)
    assert result["source"] == "yfinance" and result["bars"] == expected.to_dict(orient="records")
    pd.testing.assert_frame_equal(printed[0][1], expected)
    assert [m for level, m in logs if level == "WARNING"] == [
        "[AAPL] bars not kept in the bar cache: No space left on device"]


@pytest.mark.asyncio
class TestSharedCache:
    """An entry written by the gateway path serves the yfinance path under the same key."""

    @pytest.mark.parametrize("words, key", [
        pytest.param(["day", "5"], lambda: kline.Barhold.count_key("AAPL", "day", "none", 5),
                     id="count"),
        pytest.param([(today() - dt.timedelta(days=9)).isoformat(), "day", "adj"],
                     lambda: kline.Barhold.range_key(
                         "AAPL", "day", "adj", (today() - dt.timedelta(days=9)).isoformat(),
                         today().isoformat()), id="range"),
        pytest.param(["intraday"], lambda: kline.Barhold.intraday_key("aapl"), id="intraday"),
    ])
    async def test_gateway_entry_served(self, yf, printed, logs, words, key):
        finished = pd.Timestamp.now(tz=ZONE).floor("min").tz_localize(None).to_pydatetime() - dt.timedelta(minutes=1)
        bars = [{"date": finished, "open": 1.0,
                 "high": 1.0, "low": 1.0, "close": 1.0, "volume": 5.0, "average": 1.0,
                 "barCount": 3}]
        kline._get_cache().set(key(), bars)
        result = await command()._run_yfinance(words)
        assert result["bars"] is bars and yf.calls == [] and printed == []
        if words == ["intraday"]:
            assert result["source"] == "cache"
            assert ("INFO", "[AAPL] intraday cache hit (yfinance path)") in logs
        else:
            assert result["cached"] is True and "source" not in result

    @pytest.mark.parametrize("words, gateway_mode", [
        pytest.param(["day", "5"], "_kline", id="count"),
        pytest.param([(today() - dt.timedelta(days=9)).isoformat(), "day", "adj"], "_history",
                     id="range"),
        pytest.param(["intraday"], "_intraday", id="intraday"),
    ])
    async def test_yfinance_entry_served_to_gateway(self, yf, printed, words, gateway_mode):
        yf.answer = yf_frame(30, intraday=words == ["intraday"])
        fresh = await command()._run_yfinance(words)
        cmd = command()
        cmd.ib = types.SimpleNamespace(reqHistoricalDataAsync=None)  # calling it would fail
        args = (object(),) if gateway_mode == "_intraday" else (object(), words)
        result = await getattr(cmd, gateway_mode)(*args)
        assert result["bars"] is fresh["bars"] and len(yf.calls) == 1


@pytest.mark.asyncio
@pytest.mark.parametrize("state", [
    pytest.param(types.SimpleNamespace(connected=False), id="no-gateway"),
    pytest.param(types.SimpleNamespace(connected=True, positionalQuoteRepopulate=None),
                 id="gateway-fails"),
])
async def test_run_ends_on_yfinance(yf, printed, state):
    cmd = command()
    cmd.state, cmd.rest = state, ["week", "20"]
    result = await cmd.run()
    assert without_bars(result) == {"symbol": "AAPL", "period": "week", "count": 20,
                                    "adjust": "none", "source": "yfinance"}
    assert yf.calls[0][1] == {"period": "max", "interval": "1wk", "auto_adjust": False}


def test_an_output_error_is_not_kept(yf, monkeypatch):
    # Once the host has dropped it, nothing holds the error, nor through its traceback the
    # table that was being printed.
    freed = []

    class Closed(OSError):
        def __del__(self):
            freed.append(self.errno)

    def closed(frame, title):
        raise Closed(28, "No space left on device")
    monkeypatch.setattr(kline, "printFrame", closed)
    cmd = command()
    cmd.state, cmd.rest = types.SimpleNamespace(connected=False), ["day", "5"]
    with pytest.raises(Closed):
        asyncio.run(cmd.run())
    gc.collect()
    assert freed == [28]
