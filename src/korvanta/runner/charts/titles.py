"""A chart's title: what it shows (symbol, period), over which days, from which source."""

import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING

from korvanta.sessions import market_of

from .candles import covered_days, is_intraday

if TYPE_CHECKING:
    import pandas as pd

SEPARATOR = " · "


def _adjusted(result: Mapping) -> bool:
    # The adjust words are kline's own table; a result with an adjust word came from kline.
    words = getattr(sys.modules.get("korvanta.cmds.quotes.kline"), "ADJUST_KEYWORDS", ())
    return result.get("adjust") in words


def _days(bars: "pd.DataFrame", symbol: str) -> str:
    first, last = covered_days(bars.index, market_of(symbol))
    days = str(first) if first == last else f"{first} – {last}"
    if is_intraday(bars.index) and bars.index.tz is not None:
        # the zone the time axis reads in: EST, CDT, UTC
        days += f" {bars.index[-1].tzname()}"
    return days


def chart_title(result: Mapping, bars: "pd.DataFrame", *, regular_hours: bool = False) -> str:
    """"AAPL 5m · 2026-12-07 – 2026-12-08 EST · ibkr · 156 bars" for the kline `result` whose bars,
    as charted, are `bars`."""
    symbol = str(result.get("symbol", ""))
    period = result.get("period") or ("1m intraday" if result.get("type") == "intraday" else "")
    parts = [f"{symbol} {period}".strip()]
    if len(bars.index):
        parts.append(_days(bars, symbol))
    source = str(result.get("source", ""))
    if result.get("cached"):
        # a cache hit on the yfinance path names no source
        source = f"{source} (cached)" if source else "cached"
    parts += [source] * bool(source) + ["adjusted"] * _adjusted(result)
    if regular_hours and is_intraday(bars.index):
        parts.append("regular hours")
    parts.append(f"{len(bars.index)} bars")
    return SEPARATOR.join(parts)
