"""Where the time axis is marked: at round times of the session (every 30 minutes, every hour, ...),
at the start of each day of an intraday chart, and at the first bar of each week, month or year
of a daily one."""

from typing import TYPE_CHECKING, NamedTuple

from .candles import is_intraday

if TYPE_CHECKING:
    import pandas as pd

# Spacings tried in turn, the first that gives few enough marks wins.
MINUTE_STEPS = (1, 2, 5, 10, 15, 30, 60, 120, 180, 240, 360, 480, 720)
DATE_STEPS = (("W", "%m-%d"), ("M", "%Y-%m"), ("Q", "%Y-%m"), ("Y", "%Y"))
# Marks closer than this share of the even spacing would crowd each other's labels.
CLOSEST = 0.75


class Tick(NamedTuple):
    position: int  # of the bar (candle) it marks
    label: str
    day: str | None  # the date, on the first bar of a day of an intraday chart of several days


def _first_of_each(keys: list) -> list[int]:
    return [i for i, key in enumerate(keys) if i == 0 or key != keys[i - 1]]


def _spread(marks: list[int], count: int, most: int, preferred: set[int]) -> list[int]:
    """`marks` without those closer to the one before than an even spacing allows; a preferred
    mark (a day's start) displaces an ordinary one before it."""
    closest = CLOSEST * count / max(1, most)
    kept: list[int] = []
    for mark in marks:
        if kept and mark - kept[-1] < closest:
            if mark in preferred and kept[-1] not in preferred:
                kept[-1] = mark
            continue
        kept.append(mark)
    return kept


def _thinned(marks: list[int], most: int) -> list[int]:
    step = -(-len(marks) // max(1, most))
    return marks[::step]


def _date_ticks(days: "pd.DatetimeIndex", most: int) -> list[Tick]:
    for freq, form in DATE_STEPS:
        marks = _first_of_each(list(days.to_period(freq)))
        # A chart rarely starts on the first day of a month: its first bar is not where one begins.
        if freq != "W" and len(marks) > 1:
            marks = marks[1:]
        if len(marks) <= most:
            break
    else:
        marks = _thinned(marks, most)
    marks = _spread(marks, len(days), most, set())
    return [Tick(i, days[i].strftime(form), None) for i in marks]


def _intraday_ticks(times: "pd.DatetimeIndex", most: int) -> list[Tick]:
    dates = list(times.date)
    minutes = [t.hour * 60 + t.minute for t in times]
    several_days = dates[0] != dates[-1]
    day_starts = set(_first_of_each(dates)) if several_days else set()
    for step in MINUTE_STEPS:
        marks = sorted(day_starts | set(_first_of_each(list(zip(dates, (m // step for m in minutes))))))
        if len(marks) <= most:
            break
    else:
        marks = _thinned(sorted(day_starts), most) if len(day_starts) > 1 else [0]
    marks = _spread(marks, len(times), most, day_starts)
    return [Tick(i, times[i].strftime("%H:%M"), times[i].strftime("%m-%d") if i in day_starts else None)
            for i in marks]


def time_ticks(index: "pd.Index", most: int) -> list[Tick]:
    """At most `most` marks for bars starting at `index` (ascending; aware times or dates)."""
    import pandas as pd

    if len(index) == 0:
        return []
    if is_intraday(index):
        return _intraday_ticks(index, most)
    return _date_ticks(pd.DatetimeIndex(index), most)
