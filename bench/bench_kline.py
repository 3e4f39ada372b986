"""kline's latest-N and history modes against the same work done the plain pandas way, in
one process.

A fresh request goes through `IOpKline.run` with an instant fake gateway and a no-op
`printFrame`; the baseline runs the same steps in Python: (for a date range, keeping the
bars whose exchange date lies in it) `pd.DataFrame(bars)`, `convert_dtypes`, the "date"
column to the exchange zone, `_strip_tz`, `to_dict(orient="records")` and the cache store.
Both must give the same records and the same printed frame. Prints the median time of each,
the ratio baseline / native (above 1 means the native module is faster) and, for a fresh
request, the peak of memory traced during one call of each.

An exact cache hit is measured against two baselines: those same steps, which leave out
what a cache hit costs around them, and `PlainKline`, the command class written in plain
Python with every step of `run` and `_kline` a hit passes through (the symbol and
connection checks, the futures contract, the mode choice, the second coroutine, the source
stamp). The goal is read against the latter.
Run: tools/in-env python bench/bench_kline.py
"""

import asyncio
import copy
import math
import os
import statistics
import tempfile
import time
import tracemalloc
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta, timezone
from datetime import time as dt_time

import pandas as pd
from ib_async import BarData, BarDataList, Future, Stock
from loguru import logger

os.environ["KORVANTA_DATA_DIR"] = tempfile.mkdtemp(prefix="bench-kline-")

import korvanta.cmds.quotes.kline as kline  # noqa: E402  (after the data directory is set)
from korvanta.cmds.base import IOp  # noqa: E402
from korvanta.gateway.barhold import Barhold  # noqa: E402


class InstantIB:
    def __init__(self, bars):
        self.bars = bars

    async def reqHistoricalDataAsync(self, contract, **kwargs):
        return BarDataList(self.bars)


class State:
    connected = True

    async def positionalQuoteRepopulate(self, symbol):
        return symbol, Stock(symbol, "SMART", "USD")


def bars_frame(bars):
    """The bars as a table, their times the exchange's wall clock."""
    df = pd.DataFrame(bars).convert_dtypes()
    if isinstance(df["date"].dtype, pd.DatetimeTZDtype):
        df["date"] = df["date"].dt.tz_convert(kline._EXCHANGE_TZ)
    try:
        df["date"] = df["date"].dt.tz_localize(None)
    except Exception:
        pass
    return df


async def plain_run(cmd, cache, shown):
    """`run` and `_kline` written with plain pandas: the baseline."""
    symbol, contract = await cmd.state.positionalQuoteRepopulate(cmd.symbol)
    rest = cmd.rest or []
    period, count, adjust, idx = "day", kline.PERIOD_DEFAULT_COUNT.get("day", 100), "none", 0
    if idx < len(rest) and rest[idx] in kline.PERIOD_MAP:
        period, count, idx = rest[idx], kline.PERIOD_DEFAULT_COUNT.get(rest[idx], 100), idx + 1
    if idx < len(rest):
        try:
            count, idx = int(rest[idx]), idx + 1
        except ValueError:
            pass
    if idx < len(rest):
        adjust = rest[idx]
    what = "ADJUSTED_LAST" if adjust in kline.ADJUST_KEYWORDS else "TRADES"
    ib_period = kline.PERIOD_MAP[period]
    bar_sec = kline.BAR_SECONDS.get(ib_period, 86400)
    back_days = math.ceil(count * bar_sec * kline.DURATION_FACTOR.get(period, 1.0) / 86400)
    duration = kline._calc_duration(back_days)
    key = Barhold.count_key(symbol, period, adjust, count)
    cached = cache.get(key)
    if cached is not None:
        logger.info("[{}] kline exact cache hit: {} {} {}", symbol, period, count, adjust)
        return {"symbol": symbol, "period": period, "count": len(cached), "adjust": adjust,
                "bars": cached, "cached": True, "source": "ibkr"}
    logger.info("[{}] kline: period={} ({}), count={}, duration={}, what={}", symbol, period,
                ib_period, count, duration, what)
    bars = await cmd.ib.reqHistoricalDataAsync(
        contract, endDateTime="", durationStr=duration, barSizeSetting=ib_period,
        whatToShow=what, useRTH=kline._use_rth(period), formatDate=2, keepUpToDate=False,
        timeout=60)
    bars = bars[-count:]
    df = bars_frame(bars)
    shown(df, f"{symbol} {period} ({len(bars)} bars)")
    records = df.to_dict(orient="records")
    cache.set(key, records)
    return {"symbol": symbol, "period": period, "count": len(records), "adjust": adjust,
            "bars": records, "source": "ibkr"}


async def plain_history(cmd, cache, shown):
    """`run` and `_history` for `start end period` written with plain pandas: the baseline."""
    symbol, contract = await cmd.state.positionalQuoteRepopulate(cmd.symbol)
    start, end = date.fromisoformat(cmd.rest[0]), date.fromisoformat(cmd.rest[1])
    period, adjust = cmd.rest[2], "none"
    zone = kline._EXCHANGE_TZ
    ib_period = kline.PERIOD_MAP[period]
    duration = kline._calc_duration((end - start).days + 1)
    logger.info("[{}] history: {} → {}, period={} ({}), duration={}, what={}", symbol, start, end,
                period, ib_period, duration, "TRADES")
    key = Barhold.range_key(symbol, period, adjust, str(start), str(end))
    cached = cache.get(key)
    if cached is not None:
        return {"symbol": symbol, "period": period, "start": str(start), "end": str(end),
                "adjust": adjust, "bars": cached, "cached": True, "source": "ibkr"}
    bars = await cmd.ib.reqHistoricalDataAsync(
        contract, endDateTime=datetime.combine(end, dt_time(23, 59, 59), zone),
        durationStr=duration, barSizeSetting=ib_period, whatToShow="TRADES",
        useRTH=kline._use_rth(period), formatDate=2, keepUpToDate=False, timeout=60)
    bars = [b for b in bars if start <= b.date.astimezone(zone).date() <= end]
    df = bars_frame(bars)
    shown(df, f"{symbol} {period} {start} ~ {end}")
    records = df.to_dict(orient="records")
    cache.set(key, records)
    return {"symbol": symbol, "period": period, "start": str(start), "end": str(end),
            "adjust": adjust, "bars": records, "source": "ibkr"}


@dataclass
class PlainKline(IOp):
    """`IOpKline.run` and `_kline` as a plain Python command class would write them, every
    step of the command kept: the baseline of a cache hit through `run`. Only the steps a
    cache hit reaches are written out; anything else says so."""

    symbol: str = field(init=False)
    rest: list[str] = field(init=False)

    async def run(self):
        if not self.symbol:
            logger.error("No symbol provided")
            return {"error": "No symbol provided"}
        rest = self.rest if self.rest else []
        if not self.state.connected:
            raise NotImplementedError("the yfinance path is not part of this baseline")
        try:
            found_symbol, original_contract = await self.state.positionalQuoteRepopulate(
                self.symbol)
            if not found_symbol:
                raise NotImplementedError("the yfinance path is not part of this baseline")
            self.symbol = found_symbol
            assert original_contract
            if isinstance(original_contract, Future):
                contract = copy.copy(original_contract)
                contract.secType = "CONTFUT"
            else:
                contract = original_contract
            if rest and rest[0] == "intraday":
                raise NotImplementedError("intraday mode is not part of this baseline")
            elif rest and kline._is_date(rest[0]):
                raise NotImplementedError("history mode is not part of this baseline")
            else:
                result = await self._kline(contract, rest)
            if result and "error" not in result:
                result["source"] = "ibkr"
                return result
            logger.warning("[{}] IBKR returned error ({}), falling back to yfinance", self.symbol,
                           result.get("error"))
        except NotImplementedError:
            raise
        except Exception as e:
            logger.warning("[{}] IBKR failed ({}), falling back to yfinance", self.symbol, e)
        raise NotImplementedError("the yfinance path is not part of this baseline")

    async def _kline(self, contract, rest):
        period, count, adjust, idx = "day", kline.PERIOD_DEFAULT_COUNT.get("day", 100), "none", 0
        if idx < len(rest) and kline._is_period(rest[idx]):
            period, count = rest[idx], kline.PERIOD_DEFAULT_COUNT.get(rest[idx], 100)
            idx += 1
        if idx < len(rest):
            try:
                count = int(rest[idx])
                idx += 1
            except ValueError:
                pass
        if idx < len(rest):
            adjust = rest[idx]
            idx += 1
        what = "ADJUSTED_LAST" if adjust in kline.ADJUST_KEYWORDS else "TRADES"
        ib_period = kline.PERIOD_MAP[period]
        bar_sec = kline.BAR_SECONDS.get(ib_period, 86400)
        factor = kline.DURATION_FACTOR.get(period, 1.0)
        back_days = math.ceil(count * bar_sec * factor / 86400)
        duration = kline._calc_duration(back_days)
        cache = plain_cache_instance()
        cache_key = Barhold.count_key(self.symbol, period, adjust, count)
        cached = cache.get(cache_key)
        if cached is not None:
            logger.info("[{}] kline exact cache hit: {} {} {}", self.symbol, period, count,
                        adjust)
            return {"symbol": self.symbol, "period": period, "count": len(cached),
                    "adjust": adjust, "bars": cached, "cached": True}
        raise NotImplementedError(f"a miss ({duration}, {what}) is not part of this baseline")


_plain_cache = None


def plain_cache_instance():
    """The baseline's own `_get_cache`."""
    global _plain_cache
    if _plain_cache is None:
        _plain_cache = Barhold(tempfile.mkdtemp(prefix="bench-kline-plain-"))
    return _plain_cache


def bars_of(n, make_date):
    return [BarData(date=make_date(n - 1 - i), open=100.0 + i * 0.01, high=101.0 + i % 3,
                    low=99.0, close=100.5 + i * 0.02, volume=float(1000 + i), average=100.25,
                    barCount=10 + i) for i in range(n)]


def command(ib, words):
    cmd = kline.IOpKline(state=State(), ib=ib)
    cmd.symbol, cmd.rest = "BENCH", list(words)
    return cmd


def same(records, frame, plain_records, plain_frame):
    pd.testing.assert_frame_equal(frame, plain_frame, check_exact=True)
    assert frame.to_string() == plain_frame.to_string()
    assert [[(k, type(v), repr(v)) for k, v in r.items()] for r in records] == \
           [[(k, type(v), repr(v)) for k, v in r.items()] for r in plain_records]


def median_calls(coroutines, repeat, setup):
    """Median seconds of each coroutine function, run in turn so that both see the same
    machine load; `asyncio.run`'s own cost, measured alongside, is taken out."""
    async def nothing():
        pass

    samples = [[] for _ in coroutines]
    overhead = []
    for _ in range(repeat):
        for coroutine, times in zip(coroutines, samples):
            setup()
            start = time.perf_counter()
            asyncio.run(coroutine())
            times.append(time.perf_counter() - start)
        start = time.perf_counter()
        asyncio.run(nothing())
        overhead.append(time.perf_counter() - start)
    return [statistics.median(times) - statistics.median(overhead) for times in samples]


def peak_bytes(coroutine, setup):
    """The most memory traced at once during one run of the coroutine function."""
    setup()
    tracemalloc.start()
    try:
        asyncio.run(coroutine())
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def fresh_request(label, bars, words, repeat, baseline=plain_run):
    plain_cache = Barhold(tempfile.mkdtemp(prefix="bench-kline-plain-"))
    native_ib, plain_ib = InstantIB(bars), InstantIB(bars)
    frames = {}
    kline.printFrame = lambda frame, title: frames.__setitem__("native", frame)

    def plain_shown(frame, title):
        frames["plain"] = frame

    native = asyncio.run(command(native_ib, words).run())
    plain = asyncio.run(baseline(command(plain_ib, words), plain_cache, plain_shown))
    same(native["bars"], frames["native"], plain["bars"], frames["plain"])

    kline.printFrame = lambda frame, title: None

    def forget():
        kline._get_cache().invalidate("BENCH")
        plain_cache.invalidate("BENCH")

    async def native_once():
        await command(native_ib, words).run()

    async def plain_once():
        await baseline(command(plain_ib, words), plain_cache, lambda frame, title: None)

    t_native, t_plain = median_calls([native_once, plain_once], repeat, forget)
    m_native, m_plain = peak_bytes(native_once, forget), peak_bytes(plain_once, forget)
    print(f"{label:<40} native {t_native * 1e3:8.2f} ms   plain {t_plain * 1e3:8.2f} ms"
          f"   ratio {t_plain / t_native:5.2f}x   peak native {m_native / 1e6:6.2f} MB"
          f"   plain {m_plain / 1e6:6.2f} MB")
    return t_plain / t_native


def cache_hit(number=2000, repeat=15):
    """An exact cache hit through `run`, against two baselines: `plain_run`, the steps of
    the fresh-request baseline, and `PlainKline`, every step of the command written in
    plain Python. Both baselines' results are checked against the native one."""
    global _plain_cache
    bars = bars_of(250, lambda back: date.today() - timedelta(days=back))
    native_cmd = command(InstantIB(bars), ["day"])
    # shared by both baselines: the first call of `plain_run` stores what `PlainKline` finds
    plain_cache = _plain_cache = Barhold(tempfile.mkdtemp(prefix="bench-kline-plain-"))
    plain_cmd = command(InstantIB(bars), ["day"])
    full_cmd = PlainKline(state=State(), ib=InstantIB(bars))
    full_cmd.symbol, full_cmd.rest = "BENCH", ["day"]

    async def native_once():
        return await native_cmd.run()

    async def plain_once():
        return await plain_run(plain_cmd, plain_cache, lambda frame, title: None)

    async def full_once():
        return await full_cmd.run()

    async def alternating_batches():
        """Median seconds per call of each, their batches taken in turn so that all see
        the same machine load."""
        samples = {native_once: [], plain_once: [], full_once: []}
        for once in samples:
            await once()
        for _ in range(repeat):
            for once, times in samples.items():
                start = time.perf_counter()
                for _ in range(number):
                    await once()
                times.append((time.perf_counter() - start) / number)
        return [statistics.median(times) for times in samples.values()]

    t_native, t_plain, t_full = asyncio.run(alternating_batches())
    native = asyncio.run(native_once())
    assert native["cached"] is True
    for baseline in (plain_once, full_once):
        assert list(asyncio.run(baseline()).items()) == list(native.items())
    label = "exact cache hit through run (250 bars)"
    print(f"{label:<40} native {t_native * 1e6:8.2f} us   plain {t_plain * 1e6:8.2f} us"
          f"   ratio {t_plain / t_native:5.2f}x")
    print(f"{'  against every step in plain Python':<40} native {t_native * 1e6:8.2f} us"
          f"   plain {t_full * 1e6:8.2f} us   ratio {t_full / t_native:5.2f}x")
    return t_full / t_native, t_plain / t_native


def main():
    logger.remove()
    kline._barhold = None
    now = datetime.now(timezone.utc).replace(second=0, microsecond=0)
    daily = bars_of(250, lambda back: date.today() - timedelta(days=back))
    # finished minutes, the newest the one before now: both ways store them
    minutes = bars_of(10_000, lambda back: now - timedelta(minutes=back + 1))
    fresh_request("fresh latest-N, 250 daily bars", daily, ["day", "250"], 31)
    ratio = fresh_request("fresh latest-N, 10,000 one-minute bars", minutes, ["1m", "10000"], 15)
    # a week of minutes, of which the last three exchange days are asked for
    today = now.astimezone(kline._EXCHANGE_TZ).date()
    days = [str(today - timedelta(days=2)), str(today), "1m"]
    fresh_request("fresh history, 3 of 7 days of minutes", minutes, days, 15, plain_history)
    hit, hit_steps = cache_hit()
    print(f"goals: 10,000 bars >= 6x ({ratio:.2f}x); cache hit >= 1.15x ({hit:.2f}x against "
          f"every step, {hit_steps:.2f}x against the fresh-request steps)")


if __name__ == "__main__":
    main()
