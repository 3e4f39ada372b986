"""Exchange sessions, holidays and early closes, read from the `exchange_calendars` package.

Bars, fills and contract details ask about every day they lay out, so each exchange's
calendar is read once per process into a set of session dates and a map of early closes.
The package comes with the `sim` extra; without it the first question raises ImportError
with the one line that says what to install.
"""

import bisect
import datetime as dt
import functools
import warnings
from dataclasses import dataclass
from zoneinfo import ZoneInfo

MISSING = "korvanta.sim needs exchange-calendars: pip install 'korvanta[sim]'"

# Loaded once per exchange; any clock a user or a test sets lies inside.  Outside it no day
# trades, which costs nothing: the simulated walks start in 2012.
FIRST_DAY, LAST_DAY = dt.date(2000, 1, 3), dt.date(2099, 12, 31)


def require() -> None:
    """Raise the one-line ImportError naming the extra when the calendar package is missing."""
    try:
        import exchange_calendars  # noqa: F401
    except ImportError as e:
        raise ImportError(MISSING, name=e.name) from None


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


@functools.cache
def exchange(name: str) -> ExchangeDays:
    """The calendar of an exchange by its ISO code ("XNYS", "CMES", ...), read on first use."""
    require()
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


def is_trading_day(day: dt.date, calendar: str = "XNYS") -> bool:
    return exchange(calendar).trades_on(day)


def trading_days_back(day: dt.date, count: int, calendar: str = "XNYS") -> list[dt.date]:
    """`count` trading days ending with `day` (or the last one before it), oldest first."""
    return exchange(calendar).days_back(day, count)
