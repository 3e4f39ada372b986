"""How much the gateway's historical-data service answers at once, and how often it may be asked.

The client and the simulator both read these, so the pages the client cuts are exactly the
requests the simulator takes, and the pace the client keeps is the one the simulator enforces.

Answer sizes
    One answer holds at most a window of `ANSWER_MAX[barSizeSetting]`, the gateway's published
    step sizes: 1800 S of 1 sec bars, 3600 S of 5 secs, 14400 S of 10 and 15 secs, 28800 S of
    30 secs, 1 D of 1 min, 2 D of 2 mins, 1 W of 3 and 5 mins, 2 W of 15 mins, 1 M of 30 mins
    and 1 hour. A size the table skips takes its smaller neighbour's (10 mins that of 5 mins,
    20 mins that of 15 mins, 2 to 8 hours that of 1 hour); daily and longer bars come years at
    once, without limit. Windows of different units are compared by their nominal length in
    `UNIT_SECONDS`, so "86400 S" and "1 D" of one-minute bars both fit and "7 D" of five-minute
    bars fits as "1 W" does.

Pacing
    `PACING` holds the gateway's historical-data pacing rules: no more than 60 requests in
    any 10 minutes, no identical request within 15 s, no more than 5 requests for one
    contract, exchange and tick type within 2 s. Tests shrink it (`PACING = PacingRules(...)`);
    every check reads it afresh.
"""

import calendar
import datetime as dt
import re
from dataclasses import dataclass

INT_MAX = 2**31 - 1

_DURATION = re.compile(r"([0-9]{1,10}) ([SDWMY])", re.ASCII)

DAY = 86400
# The nominal length of each unit, for comparing windows given in different units.
UNIT_SECONDS = {"S": 1, "D": DAY, "W": 7 * DAY, "M": 31 * DAY, "Y": 366 * DAY}


@dataclass(frozen=True)
class Duration:
    """A durationStr, "N U": N from 1 to 2**31-1, U one of S, D, W, M, Y."""

    count: int
    unit: str

    @classmethod
    def parse(cls, text: str) -> "Duration | None":
        """The duration `text` gives, or None where the gateway would refuse it."""
        m = _DURATION.fullmatch(text.strip()) if isinstance(text, str) else None
        if not m or not 0 < int(m[1]) <= INT_MAX:
            return None
        return cls(int(m[1]), m[2])

    @property
    def seconds(self) -> int:
        return self.count * UNIT_SECONDS[self.unit]

    def __str__(self) -> str:
        return f"{self.count} {self.unit}"


def _sizes(names: str, largest: Duration | None) -> dict[str, Duration | None]:
    return dict.fromkeys(names.split(","), largest)


# The largest window one answer holds, by bar size; None: no limit.
ANSWER_MAX: dict[str, Duration | None] = {
    **_sizes("1 secs", Duration(1800, "S")),
    **_sizes("5 secs", Duration(3600, "S")),
    **_sizes("10 secs,15 secs", Duration(14400, "S")),
    **_sizes("30 secs", Duration(28800, "S")),
    **_sizes("1 min", Duration(1, "D")),
    **_sizes("2 mins", Duration(2, "D")),
    **_sizes("3 mins,5 mins,10 mins", Duration(1, "W")),
    **_sizes("15 mins,20 mins", Duration(2, "W")),
    **_sizes("30 mins,1 hour,2 hours,3 hours,4 hours,8 hours", Duration(1, "M")),
    **_sizes("1 day,1 week,1 month", None),
}


def answer_max(bar_size: str) -> Duration | None:
    """The largest window one answer holds for `bar_size`; None when there is no limit (or the
    size is one the gateway will refuse on its own)."""
    return ANSWER_MAX.get(bar_size)


def fits_one_answer(duration: Duration, bar_size: str) -> bool:
    largest = answer_max(bar_size)
    return largest is None or duration.seconds <= largest.seconds


def first_calendar_day(end: dt.date, count: int, unit: str) -> dt.date:
    """The first day of a window of `count` calendar units ("D", "W", "M", "Y") ending with the
    day `end`; date.min when it would lie before it."""
    try:
        if unit in "DW":
            return end - dt.timedelta(days=count * (7 if unit == "W" else 1) - 1)
        index = end.year * 12 + end.month - 1 - (count if unit == "M" else 12 * count)
        year, month = divmod(index, 12)
        back = dt.date(year, month + 1, min(end.day, calendar.monthrange(year, month + 1)[1]))
        return back + dt.timedelta(days=1)
    except (OverflowError, ValueError):
        return dt.date.min


# ==== pacing


@dataclass(frozen=True)
class Rule:
    """At most `requests` requests in any `seconds`."""

    requests: int
    seconds: float


@dataclass(frozen=True)
class PacingRules:
    """The gateway's historical-data pacing rules.

    `margin` is the client's own: it keeps its requests that much further apart than the rules
    ask, so that a request that travels faster than the one before it still arrives in time.
    """

    overall: Rule = Rule(60, 600.0)  # any historical-data requests
    per_contract: Rule = Rule(5, 2.0)  # one contract, exchange and tick type
    identical: Rule = Rule(1, 15.0)  # the same request again
    margin: float = 0.25


PACING = PacingRules()
