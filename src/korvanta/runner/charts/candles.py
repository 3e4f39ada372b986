"""What every chart draws from: the candles of the bars, their trading days, and the colours."""

import datetime as dt
import math
from typing import TYPE_CHECKING

from korvanta.sessions import Market

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

UP_COLOUR = "#26a69a"
DOWN_COLOUR = "#ef5350"
# Without colours (a pipe, NO_COLOR) a falling candle's body is drawn with this instead of a full block.
DOWN_BODY = "░"
OHLC = ["open", "high", "low", "close"]


def priced(bars: "pd.DataFrame") -> "pd.DataFrame":
    """The bars that have prices, which are the ones a chart shows; ValueError when none has."""
    kept = bars.dropna(subset=OHLC)
    if kept.empty:
        raise ValueError("no bars with prices to chart")
    return kept


def candles(bars: "pd.DataFrame") -> "pd.DataFrame":
    """The bars that have prices: OHLC and volume as floats (volume 0 where the bars have none)."""
    kept = priced(bars)
    volume = kept["volume"] if "volume" in kept else 0.0
    return kept[OHLC].astype(float).assign(volume=volume).astype({"volume": float}).fillna({"volume": 0.0})


def merge_size(count: int, most: int) -> int:
    """How many consecutive bars make one candle so that `count` bars give at most `most` candles."""
    return max(1, math.ceil(count / max(1, most)))


def merged(candles: "pd.DataFrame", size: int) -> "pd.DataFrame":
    """Each `size` consecutive candles as one, indexed by the first one's start."""
    if size == 1:
        return candles
    group = [i // size for i in range(len(candles.index))]
    joined = candles.groupby(group).agg(open=("open", "first"), high=("high", "max"), low=("low", "min"),
                                        close=("close", "last"), volume=("volume", "sum"))
    joined.index = candles.index[::size]
    return joined


def is_intraday(index: "pd.Index") -> bool:
    """Whether bars starting at `index` are timed: aware times, or naive ones not all at midnight
    (dates otherwise)."""
    import pandas as pd

    if not isinstance(index, pd.DatetimeIndex):
        return False
    return index.tz is not None or not (index == index.normalize()).all()


def session_days(times: "pd.DatetimeIndex", market: Market) -> "np.ndarray":
    """The trading day of each bar start: its date in the market's zone, where a session that opens
    the evening before (CME futures from 17:00 Chicago) counts its evening to the next day."""
    import numpy as np

    local = times.tz_convert(market.zone) if times.tz is not None else times
    opens_before_midnight = min(0, market.extended[0])
    shifted = local - np.timedelta64(opens_before_midnight, "m")
    return np.array(shifted.date, dtype=object)


def covered_days(index: "pd.Index", market: Market) -> tuple[dt.date, dt.date]:
    """The first and last trading day the bars of `index` cover."""
    if is_intraday(index):
        days = session_days(index, market)
        return days[0], days[-1]
    return index[0], index[-1]


def volume_text(value: float) -> str:
    """Three digits at most: 725K, 15.9M."""
    for scale, unit in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if abs(value) >= scale:
            value /= scale
            return f"{value:.0f}{unit}" if abs(value) >= 100 else f"{value:.1f}{unit}"
    return f"{value:.0f}"
