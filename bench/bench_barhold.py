"""Barhold against the same logic in plain Python, in one process.

Prints, per operation, the median time of each and the ratio baseline / native
(above 1 means the native module is faster). Run: tools/in-env python bench/bench_barhold.py
"""

import statistics
import tempfile
import time
from datetime import date, datetime, timedelta
from pathlib import Path
from zoneinfo import ZoneInfo

from korvanta.gateway.barhold import Barhold
from quodra.dualcache import DualCache

STALE_AFTER = {"1m": 60, "5m": 300, "15m": 900, "30m": 1800, "1h": 3600, "day": 86400,
               "week": 259200, "month": 604800, "year": 604800, "intraday": 120}
_EXCHANGE_TZ = ZoneInfo("America/New_York")


class PlainBarhold:
    """The bar cache written in plain Python: the baseline."""

    def __init__(self, data_dir=None):
        self.cache = DualCache("kline", cachePrefix=str(Path(data_dir) / "cache-"))

    @staticmethod
    def count_key(symbol, period, adjust, count):
        return f"{symbol}:{period}:{adjust}:count_{int(count)}"

    def get(self, key):
        entry = self.cache.get(key)
        if entry is None:
            return None
        if self._is_stale(entry, key):
            del self.cache[key]
            return None
        return entry.get("bars")

    @staticmethod
    def _is_stale(entry, key):
        age = time.time() - entry.get("cached_at", 0)
        period = key.split(":")[1] if ":" in key else "day"
        stale_after = STALE_AFTER.get(period, 86400)
        if age > stale_after:
            return True
        bars = entry.get("bars", [])
        if not bars:
            return False
        last_date = bars[-1].get("date")
        if isinstance(last_date, datetime):
            bar_dt = last_date.replace(tzinfo=_EXCHANGE_TZ)
        elif isinstance(last_date, date):
            bar_dt = datetime.combine(last_date, datetime.min.time(), tzinfo=_EXCHANGE_TZ)
        else:
            bar_dt = None
        return bar_dt is not None and time.time() - bar_dt.timestamp() > stale_after * 2

    def set(self, key, bars):
        self.cache[key] = {"bars": bars, "cached_at": time.time()}

    def try_larger_count(self, symbol, period, adjust, count):
        prefix = f"{symbol}:{period}:{adjust}:count_"
        best_n, best_key = 0, None
        for k in self.cache.keys():
            if not k.startswith(prefix):
                continue
            try:
                n = int(k.split("_")[-1])
            except (ValueError, IndexError):
                continue
            if n >= count and (best_n == 0 or n < best_n):
                best_n, best_key = n, k
        if best_key:
            bars = self.get(best_key)
            if bars and len(bars) >= count:
                return bars[-count:]
        return None

    def invalidate(self, symbol):
        keys = [k for k in self.cache.keys() if k.startswith(f"{symbol}:")]
        for k in keys:
            del self.cache[k]
        return len(keys)


def daily_bars(n):
    today = date.today()
    return [{"date": today - timedelta(days=n - i), "open": 1.0, "high": 2.0, "low": 0.5,
             "close": 1.5, "volume": 100.0, "average": 1.2, "barCount": 10} for i in range(n)]


def median_seconds(call, number, repeat=7, setup=None):
    samples = []
    for _ in range(repeat):
        if setup:
            setup()
        start = time.perf_counter()
        for _ in range(number):
            call()
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples)


def compare(name, native, plain, number, setup_native=None, setup_plain=None):
    t_native = median_seconds(native, number, setup=setup_native)
    t_plain = median_seconds(plain, number, setup=setup_plain)
    print(f"{name:<34} native {t_native * 1e6:10.2f} us   plain {t_plain * 1e6:10.2f} us"
          f"   ratio {t_plain / t_native:5.2f}x")
    return t_plain / t_native


def main():
    with tempfile.TemporaryDirectory() as tmp:
        native, plain = Barhold(Path(tmp) / "native"), PlainBarhold(Path(tmp) / "plain")
        bars = daily_bars(250)
        key = "SPY:day:none:count_250"
        for hold in (native, plain):
            hold.set(key, bars)
            assert hold.get(key) is bars
        ratios = {}
        ratios["get (memory hit, 250 bars)"] = compare(
            "get (memory hit, 250 bars)", lambda: native.get(key), lambda: plain.get(key), 20000)
        ratios["set (250 bars)"] = compare(
            "set (250 bars)", lambda: native.set(key, bars), lambda: plain.set(key, bars), 300)

        for hold in (native, plain):
            for i in range(10_000):
                hold.cache[f"S{i % 2000}:day:none:count_{i}"] = {"bars": [], "cached_at": 0.0}
            hold.set("SPY:day:none:count_500", daily_bars(500))
            hold.set("SPY:day:none:count_300", daily_bars(300))
        ratios["try_larger_count (10,000 keys)"] = compare(
            "try_larger_count (10,000 keys)",
            lambda: native.try_larger_count("SPY", "day", "none", 100),
            lambda: plain.try_larger_count("SPY", "day", "none", 100), 5)

        def refill(hold):
            return lambda: [hold.cache.__setitem__(f"ZZZ:day:none:count_{i}", {}) for i in range(10)]

        ratios["invalidate (10,000 keys)"] = compare(
            "invalidate (10,000 keys)", lambda: native.invalidate("ZZZ"),
            lambda: plain.invalidate("ZZZ"), 1, refill(native), refill(plain))

        slowest = min(ratios, key=ratios.get)
        print(f"goals: get >= 1.5x ({ratios['get (memory hit, 250 bars)']:.2f}x); "
              f"nothing below 1.0x (lowest: {slowest}, {ratios[slowest]:.2f}x)")


if __name__ == "__main__":
    main()
