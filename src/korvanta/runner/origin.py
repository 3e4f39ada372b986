"""Where a result's bars came from, and the dates they cover: one line under the table, and the
same in the attributes of the frame the Python API returns."""

from dataclasses import dataclass
from typing import Any

# How kline marks a result: "source" (set by its gateway path, by a fresh yfinance fetch, or
# "cache" for intraday bars from the cache on the yfinance path) and "cached".
_SOURCES = {"ibkr": "gateway", "yfinance": "yfinance", "cache": "cache"}
_SAID = {"gateway": "the IBKR gateway", "yfinance": "yfinance", "cache": "the bar cache"}


@dataclass(frozen=True)
class Origin:
    """`source`: "gateway", "yfinance" or "cache"; `first`, `last`: the first and last bar's start
    as text (a date alone for daily and longer bars), None without bars."""

    source: str
    first: str | None
    last: str | None

    def line(self) -> str:
        covered = f"{self.first} to {self.last}" if self.first is not None else "no bars"
        return f"Bars from {_SAID[self.source]}: {covered}"


def _when(value: Any, with_time: bool) -> str:
    import pandas as pd

    stamp = pd.Timestamp(value)
    return stamp.strftime("%Y-%m-%d %H:%M") if with_time else stamp.strftime("%Y-%m-%d")


def origin_of(result: Any) -> Origin | None:
    """The origin of a successful kline result's bars; None for any other result."""
    if not isinstance(result, dict) or "error" in result or not isinstance(result.get("bars"), list):
        return None
    source = "cache" if result.get("cached") else _SOURCES.get(str(result.get("source")))
    if source is None:
        return None
    bars = [bar for bar in result["bars"] if isinstance(bar, dict) and bar.get("date") is not None]
    if not bars:
        return Origin(source, None, None)
    import pandas as pd

    starts = [pd.Timestamp(bar["date"]) for bar in (bars[0], bars[-1])]
    with_time = result.get("type") == "intraday" or any(s != s.normalize() for s in starts)
    return Origin(source, _when(starts[0], with_time), _when(starts[1], with_time))
