"""Trading sessions by the exchange's calendar: when a market trades, and when it is closed.

Holidays and early closes come from the `exchange_calendars` package, read once per exchange
into a set of trading days. The hours of a market's sessions are its own (the package knows
the regular session only): US stocks trade 09:30-16:00 New York time, 04:00-20:00 with the
extended hours the gateway's intraday bars cover; the CME's equity index futures trade
08:30-15:00 Chicago time in the pit hours, and around the clock on Globex from 17:00 the
evening before to 16:00, the evening part belonging to the next day's session.

On an early close a session that runs to the regular close or later ends as much earlier
(after-hours trading stops three hours early too); one that ends before it ends no later than
the early close (the pit hours inside a shortened Globex day).

Everything here is pure arithmetic over the loaded calendars: cheap enough to ask per request.
"""

from __future__ import annotations

import bisect
import datetime as dt
import functools
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, NamedTuple
from zoneinfo import ZoneInfo

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

# Loaded once per exchange for this span; outside it no day trades.
FIRST_DAY, LAST_DAY = dt.date(2000, 1, 3), dt.date(2099, 12, 31)


# ==== the exchanges' trading days

@dataclass(frozen=True)
class ExchangeDays:
    """One exchange's trading days between FIRST_DAY and LAST_DAY, with its early closes."""

    name: str
    zone: ZoneInfo
    sessions: tuple[dt.date, ...]  # ascending
    session_set: frozenset[dt.date]
    regular_close: dt.time  # local
    early_closes: dict[dt.date, dt.time]  # local close on the days the exchange closes early

    def trades_on(self, day: dt.date) -> bool:
        return day in self.session_set

    def early_close(self, day: dt.date) -> dt.time | None:
        return self.early_closes.get(day)

    def days_back(self, day: dt.date, count: int) -> list[dt.date]:
        """`count` sessions ending with `day` (or the last one before it), oldest first."""
        end = bisect.bisect_right(self.sessions, day)
        return list(self.sessions[max(0, end - max(0, count)):end])

    def days_between(self, first: dt.date, last: dt.date) -> list[dt.date]:
        """The sessions from `first` to `last`, both included."""
        return list(self.sessions[bisect.bisect_left(self.sessions, first):bisect.bisect_right(self.sessions, last)])

    def next_day(self, day: dt.date) -> dt.date | None:
        """The first session after `day`."""
        at = bisect.bisect_right(self.sessions, day)
        return self.sessions[at] if at < len(self.sessions) else None


@functools.cache
def exchange(name: str) -> ExchangeDays:
    """The calendar of an exchange by its ISO code ("XNYS", "CMES", ...), read on first use."""
    import exchange_calendars

    with warnings.catch_warnings():
        # The package reads a time-zone-aware column through Series.values, which pandas 3.1
        # deprecates; the result is still the UTC nanoseconds it wants.
        warnings.filterwarnings("ignore", "Series.values returning an ndarray", DeprecationWarning)
        cal = exchange_calendars.get_calendar(name, start=FIRST_DAY.isoformat(), end=LAST_DAY.isoformat())
    zone = ZoneInfo(str(cal.tz))
    sessions = tuple(cal.sessions.date)
    early = cal.closes[cal.early_closes].dt.tz_convert(zone)
    regular = max(t for _, t in cal.close_times)
    return ExchangeDays(
        name=name, zone=zone, sessions=sessions, session_set=frozenset(sessions), regular_close=regular,
        early_closes={ts.date(): ts.time() for ts in early},
    )


def _minutes(t: dt.time) -> int:
    return t.hour * 60 + t.minute


def session_bounds(days: ExchangeDays, day: dt.date, span: tuple[int, int],
                   zone: ZoneInfo) -> tuple[dt.datetime, dt.datetime]:
    """Start and end of `day`'s session of `span` (minutes from the day's midnight; a negative
    start opens the evening before), in `zone`, shortened on an early close."""
    first, last = span
    early = days.early_close(day)
    if early is not None:
        regular, cut = _minutes(days.regular_close), _minutes(early)
        last = last - (regular - cut) if last >= regular else min(last, cut)
    midnight = dt.datetime.combine(day, dt.time(0), zone)
    return midnight + dt.timedelta(minutes=first), midnight + dt.timedelta(minutes=max(first, last))


# ==== markets and their sessions

@dataclass(frozen=True)
class Market:
    """A kind of instrument's trading hours: the exchange calendar they follow, their zone,
    and the regular and extended sessions in minutes from the trading day's midnight."""

    name: str
    calendar: str
    zone_name: str
    regular: tuple[int, int]
    extended: tuple[int, int]

    @property
    def zone(self) -> ZoneInfo:
        return ZoneInfo(self.zone_name)

    @property
    def days(self) -> ExchangeDays:
        return exchange(self.calendar)


US_STOCKS = Market("US stocks", "XNYS", "America/New_York", (9 * 60 + 30, 16 * 60), (4 * 60, 20 * 60))
CME_FUTURES = Market("CME futures", "CMES", "America/Chicago", (8 * 60 + 30, 15 * 60), (-7 * 60, 16 * 60))

FUTURES_TYPES = ("FUT", "CONTFUT")


def market_of(symbol: str, secType: str = "") -> Market:
    """The market a symbol trades in: a futures root ("/ES", or a futures contract) on the CME,
    anything else as a US stock."""
    return CME_FUTURES if symbol.startswith("/") or secType in FUTURES_TYPES else US_STOCKS


class Session(NamedTuple):
    """One trading day's session: its day, and when it opens and closes (aware, the market's zone)."""

    day: dt.date
    open: dt.datetime
    close: dt.datetime

    def holds(self, moment: dt.datetime) -> bool:
        return self.open <= moment < self.close


# Sessions are asked for again and again (the same days for every request of a run); the
# calendar never changes under them.
@functools.lru_cache(maxsize=8192)
def session_of(market: Market, day: dt.date, *, extended: bool) -> Session | None:
    """`day`'s session, or None when the exchange does not trade that day."""
    days = market.days
    if not days.trades_on(day):
        return None
    opens, closes = session_bounds(days, day, market.extended if extended else market.regular, market.zone)
    return Session(day, opens, closes)


def _local_day(market: Market, moment: dt.datetime) -> dt.date:
    return moment.astimezone(market.zone).date()


def sessions_between(market: Market, first: dt.date, last: dt.date, *, extended: bool) -> list[Session]:
    """The sessions of the trading days from `first` to `last`, both included, oldest first."""
    found = (session_of(market, day, extended=extended) for day in market.days.days_between(first, last))
    return [s for s in found if s is not None]


def sessions_before(market: Market, moment: dt.datetime, count: int, *, extended: bool) -> list[Session]:
    """The last `count` sessions that opened before `moment` (the one in progress included),
    oldest first."""
    # A session opens at most a day before its trading day: start from the day after, which
    # with today may not have opened yet.
    days = market.days.days_back(_local_day(market, moment) + dt.timedelta(days=1), count + 2)
    found = [s for s in (session_of(market, d, extended=extended) for d in days) if s and s.open < moment]
    return found[-count:] if count > 0 else []


def _latest_opened(market: Market, moment: dt.datetime, *, extended: bool) -> list[Session]:
    """The last session opened by `moment`: one that opens at `moment` is in progress then."""
    return sessions_before(market, moment + dt.timedelta(microseconds=1), 1, extended=extended)


def session_at(market: Market, moment: dt.datetime, *, extended: bool) -> Session | None:
    """The session in progress at `moment`, or None when the market is closed then."""
    latest = _latest_opened(market, moment, extended=extended)
    return latest[0] if latest and latest[0].holds(moment) else None


def next_session(market: Market, moment: dt.datetime, *, extended: bool) -> Session | None:
    """The first session that opens after `moment`."""
    day = _local_day(market, moment) - dt.timedelta(days=1)
    # bounded: no exchange closes for more than a few days in a row
    for _ in range(15):
        nxt = market.days.next_day(day)
        if nxt is None:
            return None
        found = session_of(market, nxt, extended=extended)
        if found is not None and found.open > moment:
            return found
        day = nxt
    return None


def bar_forming(market: Market, start: dt.datetime, seconds: int, now: dt.datetime) -> bool:
    """Whether the intraday bar of `seconds` that starts at `start` is still forming at `now`:
    its period has not run out, and the market trades (a close ends a bar's trading early)."""
    return now < start + dt.timedelta(seconds=seconds) and session_at(market, now, extended=True) is not None


class Closure(NamedTuple):
    """A span in which a market does not trade: after `last` closed, until `next` opens."""

    last: Session | None
    next: Session | None


def closure_at(market: Market, moment: dt.datetime, *, extended: bool) -> Closure | None:
    """The closure `moment` falls in (weekend, holiday, night, the futures' daily halt), or
    None while a session is in progress."""
    latest = _latest_opened(market, moment, extended=extended)
    if latest and latest[0].holds(moment):
        return None
    return Closure(latest[0] if latest else None, next_session(market, moment, extended=extended))


def in_sessions(times: "pd.DatetimeIndex", market: Market, *, extended: bool = False) -> "np.ndarray":
    """Which of `times` (aware, or naive in the market's zone) lie inside a session: the
    regular one by default."""
    import numpy as np
    import pandas as pd

    index = pd.DatetimeIndex(times)
    if index.tz is None:
        index = index.tz_localize(market.zone, ambiguous="NaT", nonexistent="NaT")
    valid = index.dropna()
    if len(valid) == 0:
        return np.zeros(len(index), dtype=bool)
    first = _local_day(market, valid.min())
    last = _local_day(market, valid.max()) + dt.timedelta(days=1)
    spans = sessions_between(market, first, last, extended=extended)
    if not spans:
        return np.zeros(len(index), dtype=bool)
    opens = pd.DatetimeIndex([s.open for s in spans]).tz_convert("UTC").asi8
    closes = pd.DatetimeIndex([s.close for s in spans]).tz_convert("UTC").asi8
    at = index.tz_convert("UTC").asi8
    # the last session that opened at or before each time; inside when it has not closed yet
    slot = np.searchsorted(opens, at, side="right") - 1
    inside = (slot >= 0) & (at < closes[np.clip(slot, 0, None)])
    return inside & ~index.isna()
