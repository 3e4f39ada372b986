"""How the simulator reads a historical request's window: its end and its durationStr.

End
    Empty means now.  "yyyymmdd hh:mm:ss" is exchange time, "yyyymmdd hh:mm:ss ZONE" that
    zone's time, "yyyymmdd-hh:mm:ss" UTC, and "yyyymmdd" alone the end of that exchange day.
    An end in the future is cut at now; an end before ANCHOR (2 January 2012, where every
    simulated walk starts) leaves an empty window.  Anything else is error 10314.

Duration
    "N U": N a whole number from 1 to 2**31-1 in ASCII digits, one space, one unit letter.
    Anything else, zero or negative included, is error 321 ("duration format is invalid"), as
    the gateway answers.  The window reaches back from the end:

    ====  =====================================  ==========================================
    unit  intraday bars (1 min ... 8 hours)      1 day, 1 week, 1 month bars
    ====  =====================================  ==========================================
    S     the N seconds before the end           the calendar days those seconds touch
    D     the last N sessions that started       N calendar days, the end's date the last
          before the end
    W     7*N calendar days                      7*N calendar days
    M     N calendar months                      N calendar months
    Y     N calendar years                       N calendar years
    ====  =====================================  ==========================================

    Calendar days are the exchange's: a window of them starts at its first day's midnight
    in the exchange's time zone (for intraday bars) or takes that day's bar (for daily
    ones).  A session belongs to its trading day even when it opens the evening before.
    Weekly and monthly bars are made of the daily bars in the window, so the first and last
    week or month may be partial.  A window reaching before ANCHOR is cut there, so a huge N
    costs nothing.  A window longer than one answer holds for the bar size (the table in
    korvanta.gateway.limits, after the gateway's step sizes: 1 D of one-minute bars, 1 W of
    five-minute bars, 1 M of hourly bars, ...) is error 162 "Time length exceed max.", the
    gateway's answer to a request for more than it serves at once.
"""

import datetime as dt
import math
import re

from korvanta.gateway.limits import Duration, first_calendar_day, fits_one_answer

from .fields import GatewayError, invalid, shown, timestamp
from .instruments import Instrument
from .market import ANCHOR

TOO_LONG = GatewayError(162, "Historical Market Data Service error message:Time length exceed max.")


def bad_end() -> GatewayError:
    return GatewayError(10314, "End Date/Time: The date, time, or time-zone entered is invalid. "
                               "The correct format is yyyymmdd hh:mm:ss xx/xxxx")


def parse_end(text: str, inst: Instrument, now: dt.datetime) -> dt.datetime | None:
    """The request's end as an aware datetime, cut at now; None when it lies before ANCHOR."""
    text = text.strip()
    if not text:
        return now
    try:
        if re.fullmatch(r"[0-9]{8}", text, re.ASCII):
            day = dt.datetime.strptime(text, "%Y%m%d").date()
            if day >= now.astimezone(inst.zone).date():
                return now
            end = dt.datetime.combine(day + dt.timedelta(days=1), dt.time(0), inst.zone)
        else:
            # without a zone the gateway reads the exchange's local time
            end = timestamp(text, inst.zone)
    except ValueError:
        raise bad_end() from None
    if end.date() < ANCHOR:
        return None
    return min(end, now)


def parse_duration(text: str, bar_size: str | None) -> tuple[int, str]:
    """(N, unit) of a durationStr; error 321 for one the gateway cannot read, 162 for a window
    longer than one answer of `bar_size` holds (None: any length)."""
    duration = Duration.parse(text)
    if duration is None:
        raise invalid(f"Historical data query duration format is invalid: {shown(text)!r}", "bP")
    if bar_size is not None and not fits_one_answer(duration, bar_size):
        raise TOO_LONG
    return duration.count, duration.unit


def first_day(end: dt.date, count: int, unit: str) -> dt.date:
    """The first calendar day of a window of `count` units ending with `end`, no earlier than ANCHOR."""
    if unit == "S":
        count, unit = math.ceil(count / 86400), "D"
    return max(ANCHOR, first_calendar_day(end, count, unit))
