"""The kline yfinance modes against the same logic in plain Python, in one process.

Both run against a stand-in `yfinance` (no network) and the module's own tables, cache
and helpers. Prints, per operation, the median time of each and the ratio baseline /
native (above 1 means the native module is faster).
Run: tools/in-env python bench/bench_kline_yfinance.py
"""

import asyncio
import statistics
import sys
import tempfile
import time
import types
import os

import pandas as pd
from loguru import logger

os.environ["KORVANTA_DATA_DIR"] = tempfile.mkdtemp()
import korvanta.cmds.quotes.kline as K  # noqa: E402


def yf_frame(n):
    index = pd.date_range(end=pd.Timestamp.now(tz="America/New_York").normalize(), periods=n,
                          freq="D", name="Date")
    close = [100.0 + i * 0.25 for i in range(n)]
    return pd.DataFrame({"Open": close, "High": close, "Low": close, "Close": close,
                         "Volume": pd.array(range(n), dtype="int64"), "Dividends": 0.0,
                         "Stock Splits": 0.0}, index=index)


FRAME = yf_frame(250)
fake = types.ModuleType("yfinance")
fake.config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
fake.Ticker = lambda symbol: types.SimpleNamespace(history=lambda **kwargs: FRAME)


def plain_normalize(hist):
    df = hist.reset_index()
    df = df.rename(columns={str(df.columns[0]): "date", "Open": "open", "High": "high",
                            "Low": "low", "Close": "close", "Volume": "volume"})
    for col in ("Dividends", "Stock Splits"):
        if col in df.columns:
            df = df.drop(columns=[col])
    df["average"] = df["close"].astype(float)
    df["barCount"] = 1
    try:
        df["date"] = df["date"].dt.tz_localize(None)
    except (AttributeError, TypeError):
        pass
    return df.convert_dtypes()


class Plain:
    """The yfinance modes written in plain Python: the baseline."""

    symbol = "AAPL"

    async def _yf_history(self, **kwargs):
        def _fetch():
            try:
                import os
                import yfinance
                proxy = os.environ.get("HTTPS_PROXY")
                if proxy:
                    yfinance.config.network.proxy = {"https": proxy, "http": proxy}
                return yfinance.Ticker(self.symbol).history(**kwargs)
            except Exception as e:
                K.logger.error("[{}] yfinance fetch failed: {}", self.symbol, e)
                return None
        return await asyncio.to_thread(_fetch)

    async def _run_yfinance(self, rest):
        K.logger.info("[{}] yfinance fallback: rest={}", self.symbol, rest)
        if rest and rest[0] == "intraday":
            return await self._intraday_yfinance()
        if rest and K._is_date(rest[0]):
            return await self._history_yfinance(rest)
        return await self._kline_yfinance(rest)

    async def _kline_yfinance(self, rest):
        period, count, adjust, idx = "day", K.PERIOD_DEFAULT_COUNT.get("day", 100), "none", 0
        if idx < len(rest) and K._is_period(rest[idx]):
            period, count, idx = rest[idx], K.PERIOD_DEFAULT_COUNT.get(rest[idx], 100), idx + 1
        if idx < len(rest):
            try:
                count, idx = int(rest[idx]), idx + 1
            except ValueError:
                pass
        if idx < len(rest):
            adjust = rest[idx]
        cache = K._get_cache()
        cache_key = K.Barhold.count_key(self.symbol, period, adjust, count)
        cached = cache.get(cache_key)
        if cached is not None:
            return {"symbol": self.symbol, "period": period, "count": len(cached),
                    "adjust": adjust, "bars": cached, "cached": True}
        larger = cache.try_larger_count(self.symbol, period, adjust, count)
        if larger is not None:
            cache.set(cache_key, larger)
            return {"symbol": self.symbol, "period": period, "count": len(larger),
                    "adjust": adjust, "bars": larger, "cached": True}
        yf_period = K.YF_PERIOD.get(period, "1y")
        yf_interval = K.YF_INTERVAL.get(period, "1d")
        yf_adjust = adjust in K.ADJUST_KEYWORDS
        K.logger.info("[{}] yfinance kline: period={}, interval={}, count={}, adjust={}",
                      self.symbol, yf_period, yf_interval, count, yf_adjust)
        hist = await self._yf_history(period=yf_period, interval=yf_interval,
                                      auto_adjust=yf_adjust)
        if hist is None or hist.empty:
            K.logger.error("[{}] yfinance returned no data", self.symbol)
            return {"error": "No data returned", "symbol": self.symbol}
        df = plain_normalize(hist)
        bars = df.to_dict(orient="records")[-count:]
        K.printFrame(df.iloc[-count:], f"{self.symbol} {period} ({len(bars)} bars) [yfinance]")
        cache.set(cache_key, bars)
        return {"symbol": self.symbol, "period": period, "count": len(bars), "adjust": adjust,
                "bars": bars, "source": "yfinance"}


class NoCache:
    """Every lookup misses, so each run takes the fetch path."""

    def get(self, key):
        return None

    def try_larger_count(self, *args):
        return None

    def set(self, key, bars):
        pass


def timed(run, repeats, number):
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            run()
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples)


def compare(label, native, baseline, repeats=7, number=200):
    native(), baseline()  # warm-up: imports, first cache writes
    t_native = timed(native, repeats, number)
    t_base = timed(baseline, repeats, number)
    print(f"{label:<34} native {t_native * 1e6:9.1f} us   plain {t_base * 1e6:9.1f} us"
          f"   ratio {t_base / t_native:5.2f}")


def main():
    sys.modules["yfinance"] = fake
    logger.remove()
    K.printFrame = lambda frame, title: None
    cmd = K.IOpKline()
    cmd.symbol, cmd.rest = "AAPL", []
    plain = Plain()
    loop = asyncio.new_event_loop()
    run = loop.run_until_complete

    compare("normalise 250 daily bars", lambda: K._normalize_yfinance_df(FRAME),
            lambda: plain_normalize(FRAME), number=20)
    compare("latest-N exact cache hit", lambda: run(cmd._run_yfinance(["day", "100"])),
            lambda: run(plain._run_yfinance(["day", "100"])))
    real_get_cache = K._get_cache
    K._get_cache = NoCache
    compare("latest-N fetch (worker thread)", lambda: run(cmd._run_yfinance(["day", "100"])),
            lambda: run(plain._run_yfinance(["day", "100"])), number=20)
    K._get_cache = real_get_cache
    loop.close()


if __name__ == "__main__":
    main()
