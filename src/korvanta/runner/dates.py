"""Date words as a command takes them: real calendar dates within the years the sources hold,
and ranges that run forward. Each refusal says why."""

import calendar
import datetime as dt
import re
from collections.abc import Callable

from .echo import shown
from .errors import UsageError

# Daily histories at either source reach back into the 1920s at the earliest (index series);
# no source holds a bar from before this year, nor one from a year still to come.
FIRST_YEAR = 1900

_ISO = re.compile(r"([0-9]{4})-([0-9]{2})-([0-9]{2})")
# Dates as they are often typed elsewhere: month first with slashes, day first with dots,
# year first with slashes or dots, or ISO with one-digit month and day.
_MONTH_FIRST = re.compile(r"([0-9]{1,2})/([0-9]{1,2})/([0-9]{4})")
_DAY_FIRST = re.compile(r"([0-9]{1,2})\.([0-9]{1,2})\.([0-9]{4})")
_YEAR_FIRST = re.compile(r"([0-9]{4})[-/.]([0-9]{1,2})[-/.]([0-9]{1,2})")


def date_of(word: str, parse: Callable[[str], dt.date], *, today: dt.date) -> dt.date:
    """The date a date word names, through the command's own `parse`; UsageError saying what is
    wrong with a word that names no date the sources could hold."""
    if word in ("today", "yesterday"):
        return parse(word)
    match = _ISO.fullmatch(word)
    if match is None:
        raise UsageError(f"{shown(word)} is not a date: dates are YYYY-MM-DD")
    year, month, day = map(int, match.groups())
    if not 1 <= month <= 12:
        raise UsageError(f"{shown(word)} is not a date: there is no month {month}")
    if not FIRST_YEAR <= year <= today.year:
        raise UsageError(f"{shown(word)}: no source holds bars of the year {year} "
                         f"(dates from {FIRST_YEAR} to {today.year})")
    days = calendar.monthrange(year, month)[1]
    if not 1 <= day <= days:
        raise UsageError(f"{shown(word)} is not a date: {calendar.month_name[month]} {year} has {days} days")
    return parse(word)


def check_range(start: dt.date, end: dt.date, *, today: dt.date) -> None:
    """UsageError for a range no source can answer: one starting after today, or after its end.

    A range whose start is its end is one day, which is allowed.
    """
    if start > today:
        raise UsageError(f"the range starts after today ({start} > {today}): no bars yet")
    if start > end:
        raise UsageError(f"the range starts after it ends ({start} > {end})")


def iso_guess(word: str) -> str | None:
    """The ISO date a word typed in another common form names (12/01/2026 is 2026-12-01), if any."""
    for pattern, order in ((_MONTH_FIRST, (2, 0, 1)), (_DAY_FIRST, (2, 1, 0)), (_YEAR_FIRST, (0, 1, 2))):
        match = pattern.fullmatch(word)
        if match is None:
            continue
        year, month, day = (int(match.group(i + 1)) for i in order)
        try:
            return dt.date(year, month, day).isoformat()
        except ValueError:
            return None
    return None
