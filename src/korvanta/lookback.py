"""How far back a request for the latest N bars, or for a date range, must reach, by the
exchange's calendar.

The gateway reads an intraday "K D" as the last K sessions that opened before the request's
end, and a daily, weekly or monthly "K D" as the K calendar days that end with the end's
date; "N Y" is N calendar years either way, and it takes "D" only up to 365. Intraday bars
cover the extended session unless regular hours are asked for; daily and longer bars cover
the regular one.

A session counts once it has opened, the one in progress with the bars begun so far. Bars
start at the session's open, one every bar length, the last one cut by the close: a session
of length L holds ceil(L / bar) bars. A daily, weekly or monthly bar is whole when the
window holds the first trading day it spans.

Everything here is arithmetic over `korvanta.sessions`; the clock is the process's own.
"""

from __future__ import annotations

import datetime as dt
import math
import re
from collections.abc import Callable, Hashable
from dataclasses import dataclass

from .sessions import FIRST_DAY, Market, Session, market_of, session_of, sessions_before, sessions_between

# ==== bar lengths


@dataclass(frozen=True)
class BarLength:
    """A bar size: its seconds for intraday bars; for daily and longer ones, which bar a
    trading day belongs to, and at most how many trading days one bar spans."""

    seconds: int = 0
    bar_of: Callable[[dt.date], Hashable] | None = None
    days: int = 0

    @property
    def intraday(self) -> bool:
        return self.bar_of is None


DAILY = BarLength(bar_of=lambda day: day, days=1)
WEEKLY = BarLength(bar_of=lambda day: day.isocalendar()[:2], days=5)
MONTHLY = BarLength(bar_of=lambda day: (day.year, day.month), days=23)

_SIZE = re.compile(r"([1-9][0-9]*) ?(secs?|mins?|hours?|days?|weeks?|months?|m|h|d|wk|mo)")
_SECONDS = {"sec": 1, "min": 60, "hour": 3600, "m": 60, "h": 3600}
_LONGER = {"day": DAILY, "week": WEEKLY, "month": MONTHLY, "d": DAILY, "wk": WEEKLY, "mo": MONTHLY}


def bar_length(size: str) -> BarLength | None:
    """A gateway bar size ("5 mins", "1 day") or a yfinance interval ("5m", "1wk") as a bar
    length; None for one this module does not size for (bars of several days)."""
    found = _SIZE.fullmatch(size)
    if not found:
        return None
    count, unit = int(found[1]), found[2].removesuffix("s")
    if unit in _SECONDS:
        return BarLength(seconds=count * _SECONDS[unit])
    return _LONGER[unit] if count == 1 else None


# ==== what the calendar holds


def _local_day(market: Market, moment: dt.datetime) -> dt.date:
    return moment.astimezone(market.zone).date()


def bars_in(session: Session, seconds: int, until: dt.datetime) -> int:
    """The bars of `seconds` a session holds up to `until`, the one then forming included."""
    span = (min(session.close, until) - session.open).total_seconds()
    return max(0, math.ceil(span / seconds))


def _full_session_bars(market: Market, seconds: int, extended: bool) -> int:
    first, last = market.extended if extended else market.regular
    return max(1, math.ceil((last - first) * 60 / seconds))


def latest_sessions(market: Market, until: dt.datetime, seconds: int, count: int, *,
                    extended: bool) -> list[Session]:
    """The fewest sessions opened before `until` that hold the latest `count` bars of
    `seconds`, oldest first; every session the calendar has when they hold fewer."""
    want = math.ceil(count / _full_session_bars(market, seconds, extended)) + 2
    # bounded: each round doubles what it asks for, and the calendar has a first day
    while True:
        found = sessions_before(market, until, want, extended=extended)
        held = 0
        for at in range(len(found) - 1, -1, -1):
            held += bars_in(found[at], seconds, until)
            if held >= count:
                return found[at:]
        if len(found) < want:
            return found
        want *= 2


def _opened_days(market: Market, until: dt.datetime, count: int) -> list[dt.date]:
    """The last `count` trading days whose regular session opened before `until`, oldest
    first: the calendar's days, less the one or two at the end still to open."""
    days = market.days.days_back(_local_day(market, until) + dt.timedelta(days=1), count + 2)
    while days and (session := session_of(market, days[-1], extended=False)) and session.open >= until:
        days.pop()
    return days[-count:] if count > 0 else []


def latest_days(market: Market, until: dt.datetime, length: BarLength, count: int) -> dt.date | None:
    """The first day of the shortest window ending at `until` that holds the latest `count`
    whole bars of `length` (daily or longer); the calendar's first day when it holds fewer.
    Regular sessions count once they have opened."""
    assert length.bar_of is not None
    want = count * length.days + 25
    # bounded as above
    while True:
        days = _opened_days(market, until, want)
        bars: list[Hashable] = []
        for at in range(len(days) - 1, -1, -1):
            bar = length.bar_of(days[at])
            if not bars or bars[-1] != bar:
                if len(bars) == count:
                    return days[at + 1]
                bars.append(bar)
        if len(days) < want:
            return days[0] if days else None
        want *= 2


# ==== durations


def in_days(days: int) -> str:
    """A look-back of `days` calendar days as the gateway takes it: "K D" up to 365, whole years above."""
    return f"{days} D" if days <= 365 else f"{math.ceil(days / 365)} Y"


def _years_back(day: dt.date, years: int) -> dt.date:
    try:
        return day.replace(year=day.year - years)
    except ValueError:  # 29 February
        return day.replace(year=day.year - years, day=28)


def _window_first_day(duration: str, last: dt.date) -> dt.date | None:
    """The first calendar day of a look-back `duration` that ends with the day `last`."""
    found = re.fullmatch(r"([0-9]+) ([DWY])", duration.strip())
    if not found:
        return None
    n, unit = int(found[1]), found[2]
    if unit == "Y":
        return _years_back(last, n) + dt.timedelta(days=1)
    return last - dt.timedelta(days=(7 if unit == "W" else 1) * n - 1)


def _sessions_duration(sessions: int, first_day: dt.date, market: Market, until: dt.datetime) -> str:
    """`sessions` sessions back from `until`, the first on `first_day`: "K D", or the calendar
    days they span where they are more than "D" takes."""
    if sessions <= 365:
        return f"{sessions} D"
    return in_days((_local_day(market, until) - first_day).days + 1)


def _sized(market: Market, until: dt.datetime, length: BarLength, count: int, use_rth: bool,
           designed: str | None) -> str | None:
    """The look-back that reaches the latest `count` bars before `until`: `designed` where it
    does already, None where the calendar cannot tell."""
    last_day = _local_day(market, until - dt.timedelta(microseconds=1))
    if length.intraday:
        found = latest_sessions(market, until, length.seconds, count, extended=not use_rth)
        if not found:
            return designed
        if designed is not None and _holds_sessions(designed, last_day, found):
            return designed
        return _sessions_duration(len(found), found[0].day, market, until)
    first_day = latest_days(market, until, length, count)
    if first_day is None:
        return designed
    if designed is not None and (first := _window_first_day(designed, last_day)) and first <= first_day:
        return designed
    return in_days((last_day - first_day).days + 1)


def _holds_sessions(duration: str, last_day: dt.date, found: list[Session]) -> bool:
    """Whether an intraday look-back holds the sessions `found`: "K D" counts sessions,
    longer units calendar time."""
    sessions = re.fullmatch(r"([0-9]+) D", duration.strip())
    if sessions:
        return int(sessions[1]) >= len(found)
    first = _window_first_day(duration, last_day)
    return first is not None and first <= found[0].day


def _now() -> dt.datetime:
    return dt.datetime.now(dt.UTC)


def gateway_duration(symbol: str, sec_type: str, bar_size: str, count: int, use_rth: bool,
                     designed: str) -> str:
    """The durationStr of a request for the latest `count` bars, ending now: `designed`
    where that reaches them, else the shortest look-back that does."""
    length = bar_length(bar_size)
    if length is None or count <= 0:
        return designed
    return _sized(market_of(symbol, sec_type), _now(), length, count, use_rth, designed) or designed


# ==== a date range

_EARLIEST = dt.datetime.combine(FIRST_DAY, dt.time(0), dt.UTC)


def _session(market: Market, day: dt.date, extended: bool) -> Session:
    session = session_of(market, day, extended=extended)
    assert session is not None, "a trading day has a session"
    return session


def range_days(market: Market, first: dt.datetime, until: dt.datetime, *, extended: bool) -> list[dt.date]:
    """The trading days whose sessions hold bars from `first` up to `until`, oldest first: those
    that opened before `until` and close after `first`."""
    first = max(first, _EARLIEST)
    if until <= first:
        return []
    days = market.days.days_between(_local_day(market, first) - dt.timedelta(days=1),
                                     _local_day(market, until) + dt.timedelta(days=1))
    # A session spans less than two calendar days: only a day or two at either end can fall outside.
    low, high = 0, len(days)
    while low < high and _session(market, days[low], extended).close <= first:
        low += 1
    while high > low and _session(market, days[high - 1], extended).open >= until:
        high -= 1
    return days[low:high]


def gateway_range_duration(symbol: str, sec_type: str, bar_size: str, use_rth: bool, first: dt.datetime,
                           end: dt.datetime | str, designed: str) -> str:
    """The durationStr of a request for the bars from the instant `first` up to `end` (the
    request's end; "" for now).

    Intraday bars: the sessions that hold them, from the one in progress at `first` (or the
    first to open after it) through the last to open before the end, cut at now as the
    gateway cuts it; the gateway reads "K D" as that many sessions. That is `designed` where
    the range's sessions are as many as its calendar days; where no session holds a bar of
    the range, it is the least look-back the gateway takes. Daily and longer bars keep
    `designed`: the gateway reads their look-back in calendar days, as the range is counted.
    """
    length = bar_length(bar_size)
    if length is None or not length.intraday:
        return designed
    market = market_of(symbol, sec_type)
    now = _now()
    until = min(end, now) if isinstance(end, dt.datetime) else now
    days = range_days(market, first, until, extended=not use_rth)
    if not days:
        return "1 D"
    return _sessions_duration(len(days), days[0], market, until)


# ==== a short answer


@dataclass(frozen=True)
class OlderPart:
    """One more request for the bars an answer lacks: its end ("" for now) and durationStr."""

    end: dt.datetime | str
    duration: str


def _bar_start(market: Market, value: dt.date | dt.datetime) -> dt.datetime:
    """When a bar the gateway sent begins: an intraday bar's time, or a day's midnight in the market's zone."""
    if isinstance(value, dt.datetime):
        return value if value.tzinfo else value.replace(tzinfo=market.zone)
    return dt.datetime.combine(value, dt.time(0), market.zone)


def _window_start(market: Market, now: dt.datetime, length: BarLength, duration: str,
                  use_rth: bool) -> object:
    """Where a window of `duration` ending now starts: when its first session closes
    (intraday bars), or the bar it starts with (daily and longer); None for an empty one."""
    last_day = _local_day(market, now - dt.timedelta(microseconds=1))
    sessions = re.fullmatch(r"([0-9]+) D", duration.strip())
    if length.intraday and sessions:
        found = sessions_before(market, now, int(sessions[1]), extended=not use_rth)
        return found[0].close if found else None
    first = _window_first_day(duration, last_day) or last_day
    opened = [s for s in sessions_between(market, first, last_day + dt.timedelta(days=1),
                                          extended=length.intraday and not use_rth) if s.open < now]
    if not opened:
        return None
    return opened[0].close if length.intraday else length.bar_of(opened[0].day)


def _bars_since(market: Market, start: dt.datetime, now: dt.datetime, length: BarLength, use_rth: bool) -> int:
    """The bars the calendar puts from the one starting at `start` up to now."""
    first = _local_day(market, start) - dt.timedelta(days=1)
    found = [s for s in sessions_between(market, first, _local_day(market, now) + dt.timedelta(days=1),
                                         extended=length.intraday and not use_rth)
             if s.open < now and s.close > start]
    if not length.intraday:
        assert length.bar_of is not None
        return len({length.bar_of(s.day) for s in found})
    held = 0
    for session in found:
        held += bars_in(session, length.seconds, now)
        if session.open <= start:
            held -= int((start - session.open).total_seconds() // length.seconds)
    return held


def gateway_older_part(symbol: str, sec_type: str, bar_size: str, use_rth: bool, adjusted: bool,
                       asked: str, count: int, got: int, first_bar: dt.date | dt.datetime) -> OlderPart | None:
    """The one more request that brings the older bars an answer of `got` < `count` bars lacks,
    the oldest of them `first_bar`, to a request of `asked` ending now; None where the source
    holds nothing older.

    The source is taken to hold older bars when its answer reaches back into the first
    session (or bar) of the window asked for and has gaps from its first bar on (minutes
    without a trade, a halt): an answer that starts later, or without gaps, starts where
    the source's bars do. The gaps are taken to go on in the older part, which is sized for
    the missing bars at the answer's density. Adjusted bars cannot end at a date: for them
    the request is the whole look-back again, ending now.
    """
    length = bar_length(bar_size)
    if length is None or not 0 < got < count or not isinstance(first_bar, dt.date):
        return None
    market = market_of(symbol, sec_type)
    now = _now()
    start = _bar_start(market, first_bar)
    window = _window_start(market, now, length, asked, use_rth)
    if window is None:
        return None
    if length.intraday:
        assert isinstance(window, dt.datetime)
        if start >= window:
            return None
    else:
        assert length.bar_of is not None
        if length.bar_of(_local_day(market, start)) != window:
            return None
    expected = _bars_since(market, start, now, length, use_rth)
    if got >= expected:
        return None
    density = got / expected
    if adjusted:
        duration = _sized(market, now, length, math.ceil(count / density), use_rth, None)
        return OlderPart("", duration) if duration else None
    duration = _sized(market, start, length, math.ceil((count - got) / density), use_rth, None)
    return OlderPart(start.astimezone(dt.UTC), duration) if duration else None
