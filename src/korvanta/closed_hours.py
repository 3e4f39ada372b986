"""Whether cached bars are still the latest ones while their market is closed, and whether
bars about to be cached are all finished.

The bar cache counts an entry stale by its age and by the age of its last bar, in calendar
time. While the market is closed nothing newer can come: an entry whose last bar is the last
bar of the session that ended last, written after that session ended, holds the latest bars
until the next session opens. Intraday bars (and the one-minute curve) follow the extended
session, daily and longer ones the regular session; a symbol beginning with "/" is a
futures root on the CME, anything else a US stock.

The cache keeps only finished bars: a list whose newest intraday bar is still forming is not
stored, as a later read would serve that bar as it stood then.
"""

from __future__ import annotations

import datetime as dt

from .lookback import BarLength, bar_length
from .sessions import bar_forming, closure_at, market_of

# The bar size of each period word a cache key carries: kline's words, and "intraday", the
# one-minute curve.
PERIOD_BARS = {
    "1m": "1 min", "5m": "5 mins", "15m": "15 mins", "30m": "30 mins", "1h": "1 hour",
    "day": "1 day", "week": "1 week", "month": "1 month", "year": "1 month",
    "minute": "1 min", "hour": "1 hour", "d": "1 day", "w": "1 week", "m": "1 month", "y": "1 month",
    "1d": "1 day", "1mo": "1 month", "intraday": "1 min",
}


def _symbol_and_length(key: str) -> tuple[str, BarLength | None]:
    symbol, _, rest = key.partition(":")
    period = rest.split(":", 1)[0] if rest else "day"
    return symbol, bar_length(PERIOD_BARS.get(period, ""))


def still_forming(key: str, last_date: object, now: float, zone: dt.tzinfo) -> bool:
    """Whether the newest bar of a list about to be stored under `key` at `now` (POSIX
    seconds), dated `last_date` (exchange time in `zone`), is an intraday bar still forming."""
    symbol, length = _symbol_and_length(key)
    if length is None or not length.intraday or not isinstance(last_date, dt.datetime):
        return False
    # re-labelled, not converted: the cache reads bar times as exchange wall-clock readings
    start = last_date.replace(tzinfo=zone)
    return bar_forming(market_of(symbol), start, length.seconds, dt.datetime.fromtimestamp(now, dt.UTC))


def current_while_closed(key: str, last_date: object, cached_at: float, now: float, zone: dt.tzinfo) -> bool:
    """Whether the entry under `key`, stored at `cached_at` with its last bar dated
    `last_date` (exchange time in `zone`), holds the latest bars at `now` (POSIX seconds)
    because its market has not traded since."""
    symbol, length = _symbol_and_length(key)
    if length is None or not isinstance(last_date, dt.date):
        return False
    market = market_of(symbol)
    closure = closure_at(market, dt.datetime.fromtimestamp(now, dt.UTC), extended=length.intraday)
    if closure is None or closure.last is None:
        return False
    ended = closure.last
    if cached_at < ended.close.timestamp():
        return False
    if length.bar_of is not None:
        day = last_date.date() if isinstance(last_date, dt.datetime) else last_date
        return day <= ended.day and length.bar_of(day) == length.bar_of(ended.day)
    if not isinstance(last_date, dt.datetime):
        return False
    # re-labelled, not converted: the cache reads bar times as exchange wall-clock readings
    start = last_date.replace(tzinfo=zone)
    return ended.open <= start < ended.close <= start + dt.timedelta(seconds=length.seconds)
