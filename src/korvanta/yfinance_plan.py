"""yfinance's requests for a span of bars, within what the source serves.

yfinance serves intraday bars of regular hours only, and only so far back: one-minute bars
about 30 days, in requests of at most 7 days; 2-90 minute bars about 60 days; hourly bars
about 730 days. Bars of a day or longer reach back to the listing. A span beyond one
request is asked for in pieces of whole days, [start, end) in the exchange's zone, as the
library reads dates; a span beyond the reach starts where the reach does, and says so.
"""

from __future__ import annotations

import calendar
import datetime as dt
import re
from dataclasses import dataclass

from .lookback import bar_length, bars_in, latest_days, latest_sessions
from .sessions import Market, market_of, sessions_between


@dataclass(frozen=True)
class Reach:
    """How many days back the source keeps an interval, how many days one request may span
    (None: any), and that said in words."""

    days: int
    span: int | None
    words: str


_MINUTES = Reach(60, None, "intraday bars reach back about 60 days")
_HOURS = Reach(730, None, "hourly bars reach back about 730 days")
REACH = {"1m": Reach(30, 7, "one-minute bars reach back about 30 days"), "2m": _MINUTES, "5m": _MINUTES,
         "15m": _MINUTES, "30m": _MINUTES, "90m": _MINUTES, "60m": _HOURS, "1h": _HOURS}


@dataclass(frozen=True)
class YfinancePlan:
    """yfinance requests for a span of bars: `pieces` of [start, end) days, oldest first;
    `asked` the bars wanted, `reach` why the source holds fewer (None when it reaches back
    far enough)."""

    pieces: list[tuple[dt.date, dt.date]]
    asked: int
    reach: str | None

    def shortfall(self, held: int) -> str | None:
        """The line that says the source holds fewer bars than asked, when its reach is why."""
        if self.reach is None or held >= self.asked:
            return None
        return f"yfinance holds {held} of the {self.asked} bars asked: its {self.reach}"


def _local_day(market: Market, moment: dt.datetime) -> dt.date:
    return moment.astimezone(market.zone).date()


def _earliest(interval: str, now: dt.datetime, market: Market) -> dt.date | None:
    reach = REACH.get(interval)
    if reach is None:
        return None
    # whole days inside the reach, counted in the exchange's zone, where yfinance reads dates
    return _local_day(market, now - dt.timedelta(days=reach.days)) + dt.timedelta(days=1)


def _plan(market: Market, now: dt.datetime, interval: str, first: dt.date, after: dt.date,
          asked: int) -> YfinancePlan:
    reach = REACH.get(interval)
    earliest = _earliest(interval, now, market)
    said = None
    if reach is not None and earliest is not None and first < earliest:
        first, said = earliest, reach.words
    span = reach.span if reach is not None else None
    pieces = []
    while first < after:
        pieces.append((first, after if span is None else min(after, first + dt.timedelta(days=span))))
        first = pieces[-1][1]
    return YfinancePlan(pieces, asked, said)


def _period_reaches(period: str, interval: str, market: Market, now: dt.datetime, first_day: dt.date,
                    sessions: int | None) -> bool:
    """Whether yfinance's `period=` look-back ("5d", "1mo", "6mo", "5y", "max") holds a window
    starting `first_day` (or `sessions` sessions of intraday bars)."""
    if period == "max":
        earliest = _earliest(interval, now, market)
        return earliest is None or earliest <= first_day
    found = re.fullmatch(r"([0-9]+)(d|mo|y)", period)
    if not found:
        return False
    n, unit = int(found[1]), found[2]
    today = _local_day(market, now)
    if unit == "d":
        # trading days for intraday bars, calendar days for longer ones
        return n >= sessions if sessions is not None else today - dt.timedelta(days=n - 1) <= first_day
    year, month = divmod(today.year * 12 + today.month - 1 - (n if unit == "mo" else 12 * n), 12)
    back = dt.date(year, month + 1, min(today.day, calendar.monthrange(year, month + 1)[1]))
    return back <= first_day


def yfinance_latest(symbol: str, interval: str, count: int, designed: str) -> YfinancePlan | None:
    """The requests for the latest `count` bars of `interval`; None where the designed
    `period=` look-back holds them."""
    length = bar_length(interval)
    if length is None or count <= 0:
        return None
    market = market_of(symbol)
    now = dt.datetime.now(dt.UTC)
    sessions: int | None = None
    if length.intraday:
        found = latest_sessions(market, now, length.seconds, count, extended=False)
        first, sessions = (found[0].day, len(found)) if found else (None, None)
    else:
        first = latest_days(market, now, length, count)
    if first is None or _period_reaches(designed, interval, market, now, first, sessions):
        return None
    return _plan(market, now, interval, first, _local_day(market, now) + dt.timedelta(days=1), count)


def yfinance_range(symbol: str, interval: str, start: dt.date, end: dt.date) -> YfinancePlan:
    """The requests for the bars from `start` to `end`, both days included."""
    market = market_of(symbol)
    now = dt.datetime.now(dt.UTC)
    length = bar_length(interval)
    asked = 0
    if length is not None and length.intraday:
        opened = [s for s in sessions_between(market, start, end, extended=False) if s.open < now]
        asked = sum(bars_in(s, length.seconds, now) for s in opened)
    return _plan(market, now, interval, start, end + dt.timedelta(days=1), asked)
