"""Historical bars as the gateway sends them: the market's minutes cut to a request's window and bar size.

The window's reading (end and durationStr against the bar sizes) is written down in durations.py.
"""

import bisect
import datetime as dt
from dataclasses import dataclass

import numpy as np

from .durations import first_day, parse_duration, parse_end
from .fields import invalid, shown
from .instruments import Instrument
from .market import ANCHOR, Market, Minutes, default_market

INTRADAY_SECONDS = {
    "1 min": 60, "2 mins": 120, "3 mins": 180, "5 mins": 300, "10 mins": 600, "15 mins": 900,
    "20 mins": 1200, "30 mins": 1800, "1 hour": 3600, "2 hours": 7200, "3 hours": 10800,
    "4 hours": 14400, "8 hours": 28800,
}
DAILY_SIZES = ("1 day", "1 week", "1 month")
WHAT_TO_SHOW = ("TRADES", "ADJUSTED_LAST", "MIDPOINT", "BID", "ASK")


@dataclass(frozen=True)
class Bar:
    """One bar before formatting: `start` is an aware datetime (intraday) or a date (daily and longer)."""

    start: dt.datetime | dt.date
    open: float
    high: float
    low: float
    close: float
    volume: float
    wap: float
    count: int


def _ex_dates(inst: Instrument, start: dt.date, end: dt.date) -> list[dt.date]:
    """Quarterly ex-dividend days (the 10th of Feb, May, Aug and Nov, or the next trading day)."""
    out = []
    for year in range(start.year, end.year + 1):
        for month in (2, 5, 8, 11):
            day = dt.date(year, month, 10)
            # bounded: no exchange closes for more than a few days in a row
            for _ in range(10):
                if inst.trades_on(day):
                    break
                day += dt.timedelta(days=1)
            if start < day <= end:
                out.append(day)
    return out


class BarMaker:
    """Bars for historical requests, the same for the same request and clock."""

    def __init__(self, market: Market | None = None):
        self.market = market or default_market

    def bars(self, inst: Instrument, *, endDateTime: str, durationStr: str, barSizeSetting: str,
             whatToShow: str, useRTH: bool, now: dt.datetime, keepUpToDate: bool = False,
             capped: bool = True) -> list[Bar]:
        """The bars a gateway sends for these request fields; GatewayError for what it refuses.

        Without `capped`, a window longer than one answer holds is served whole (a test's reference).
        """
        if whatToShow not in WHAT_TO_SHOW:
            raise invalid(f"Invalid whatToShow: {shown(whatToShow)}", "bP")
        if whatToShow == "ADJUSTED_LAST" and endDateTime.strip():
            raise invalid("End date not supported with adjusted last", "bP")
        if keepUpToDate and endDateTime.strip():
            raise invalid("End date not supported with live updates", "bP")
        if keepUpToDate and barSizeSetting not in INTRADAY_SECONDS:
            raise invalid(f"Live updates take intraday bar sizes only, not {shown(barSizeSetting)}", "bP")
        if barSizeSetting not in INTRADAY_SECONDS and barSizeSetting not in DAILY_SIZES:
            raise invalid(f"Invalid bar size: {shown(barSizeSetting)}", "bP")
        count, unit = parse_duration(durationStr, barSizeSetting if capped else None)
        end = parse_end(endDateTime, inst, now)
        if end is None:
            return []
        if barSizeSetting in INTRADAY_SECONDS:
            bars = self._intraday_window(inst, end, count, unit, INTRADAY_SECONDS[barSizeSetting], useRTH)
        else:
            bars = self._daily_window(inst, end, count, unit, barSizeSetting, useRTH)
        ex_dates: list[dt.date] = []
        if bars and whatToShow == "ADJUSTED_LAST" and inst.dividend:
            # each bar is adjusted for the ex-dividend days after its own: found once, bars are in order
            ex_dates = _ex_dates(inst, _day_of(inst, bars[0]), now.astimezone(inst.zone).date())
        return [self._finish(inst, bar, whatToShow, ex_dates) for bar in bars]

    def live(self, inst: Instrument, *, barSizeSetting: str, whatToShow: str, useRTH: bool, now: dt.datetime,
             since: dt.datetime | None = None) -> list[Bar]:
        """What a subscription to live updates sends at `now`: the bars of the latest session from
        the one starting at `since` on (None: the newest alone), the newest counted up to `now`."""
        bars = self._intraday_window(inst, now, 1, "D", INTRADAY_SECONDS[barSizeSetting], useRTH)
        fresh = bars[-1:] if since is None else [bar for bar in bars if bar.start >= since]
        return [self._finish(inst, bar, whatToShow, []) for bar in fresh]

    # ---- windows

    def _intraday_window(self, inst: Instrument, end: dt.datetime, count: int, unit: str, seconds: int,
                         useRTH: bool) -> list[Bar]:
        local_end = _last_day(inst, end)
        # a session may start the evening before its trading day, so look one day ahead
        last = local_end + dt.timedelta(days=1)
        if unit == "D":
            days = [d for d in inst.days.days_back(last, count + 2) if inst.session(d, useRTH)[0] < end][-count:]
            since = None
        else:
            first = first_day(local_end, count, unit)
            since = end - dt.timedelta(seconds=count) if unit == "S" else \
                dt.datetime.combine(first, dt.time(0), inst.zone)
            days = [d for d in inst.days.days_between(first - dt.timedelta(days=1), last)
                    if inst.session(d, useRTH)[1] > since]
        days = [d for d in days if d >= ANCHOR]
        out: list[Bar] = []
        for day in days:
            minutes = self.market.minutes(inst, day)
            if minutes is not None:
                out += _cut(minutes, seconds // 60, useRTH, since, end)
        return out

    def _daily_window(self, inst: Instrument, end: dt.datetime, count: int, unit: str, size: str,
                      useRTH: bool) -> list[Bar]:
        local_end = _last_day(inst, end)
        first = first_day(local_end, count, unit)
        daily = []
        for day in inst.days.days_between(first, local_end + dt.timedelta(days=1)):
            if inst.session(day, useRTH)[0] >= end:
                continue
            s = self.market.day_bar(inst, day, useRTH, until=end)
            if s is not None:
                daily.append(Bar(day, s.open, s.high, s.low, s.close, s.volume, 0.0, 0))
        if size == "1 day":
            return daily
        key = (lambda b: b.start.isocalendar()[:2]) if size == "1 week" else (lambda b: (b.start.year, b.start.month))
        groups: dict[tuple, list[Bar]] = {}
        for bar in daily:
            groups.setdefault(key(bar), []).append(bar)
        return [
            Bar(g[0].start, g[0].open, max(b.high for b in g), min(b.low for b in g), g[-1].close,
                sum(b.volume for b in g), 0.0, 0)
            for g in groups.values()
        ]

    def _finish(self, inst: Instrument, bar: Bar, whatToShow: str, ex_dates: list[dt.date]) -> Bar:
        """Prices to the tick, the quote side or dividend adjustment applied, wap and trade count filled in.

        `ex_dates`: for adjusted bars, the ex-dividend days after the window's first bar up to today,
        ascending; empty otherwise.
        """
        factor, shift = 1.0, 0.0
        if ex_dates:
            factor = (1 - inst.dividend) ** (len(ex_dates) - bisect.bisect_right(ex_dates, _day_of(inst, bar)))
        elif whatToShow in ("BID", "ASK"):
            shift = inst.minTick if whatToShow == "ASK" else -inst.minTick

        def tick(price: float) -> float:
            return inst.to_tick(price * factor + shift)

        open_, close = tick(bar.open), tick(bar.close)
        high, low = max(tick(bar.high), open_, close), min(tick(bar.low), open_, close)
        volume = float(max(1, round(bar.volume / 100) * 100))
        if whatToShow != "TRADES" and whatToShow != "ADJUSTED_LAST":
            # quote bars carry no traded volume
            volume = -1.0
        return Bar(bar.start, open_, high, low, close, volume,
                   round((high + low + close) / 3, 4), max(1, int(abs(volume) // 150)))


def _day_of(inst: Instrument, bar: Bar) -> dt.date:
    """The exchange's calendar day a bar starts on."""
    return bar.start if not isinstance(bar.start, dt.datetime) else bar.start.astimezone(inst.zone).date()


def _last_day(inst: Instrument, end: dt.datetime) -> dt.date:
    """The exchange's calendar day of the window's last instant: an end at midnight closes the day before."""
    return (end - dt.timedelta(microseconds=1)).astimezone(inst.zone).date()


def _cut(minutes: Minutes, size: int, useRTH: bool, since: dt.datetime | None, end: dt.datetime) -> list[Bar]:
    """The day's bars of `size` minutes, aligned to the session's start, that lie in [since, end).

    A bar the end cuts holds what traded before the end, as a bar still forming does (of the
    minute the end falls in, the part before it); a bar the regular open cuts holds the regular
    minutes only and carries the open's time, as the gateway labels it.
    """
    first, last = minutes.span(useRTH, until=end)
    if since is not None:
        # whole bars: the first one that ends after `since`
        first = max(first, max(0, minutes.index(since)) // size * size)
    if last <= first:
        return []
    ids = np.arange(first, last) // size
    starts = np.flatnonzero(np.r_[True, ids[1:] != ids[:-1]])
    at = first + starts
    ends = np.r_[at[1:], last] - 1
    highs = np.maximum.reduceat(minutes.high[first:last], starts)
    lows = np.minimum.reduceat(minutes.low[first:last], starts)
    volumes = np.add.reduceat(minutes.volume[first:last], starts)
    bars = [
        Bar(minutes.start.astimezone(dt.UTC) + dt.timedelta(minutes=int(k)), float(minutes.open[k]), float(h),
            float(lo), float(minutes.close[e]), float(v), 0.0, 0)
        for k, e, h, lo, v in zip(at, ends, highs, lows, volumes)
    ]
    done = (end - minutes.start).total_seconds() / 60 - (last - 1)
    if 0 < done < 1:
        bars[-1] = _forming(minutes, int(at[-1]), last - 1, done)
    return bars


def _forming(minutes: Minutes, first: int, k: int, done: float) -> Bar:
    """The bar of minutes `first` to `k` when the share `done` of minute `k` has passed: that
    minute's price walked from its open toward its close, its range and volume grown as much."""
    o, c = float(minutes.open[k]), float(minutes.close[k])
    price = o + (c - o) * done
    high = max(o, price) + done * (float(minutes.high[k]) - max(o, c))
    low = min(o, price) - done * (min(o, c) - float(minutes.low[k]))
    volume = float(minutes.volume[k]) * done
    if k > first:
        high = max(high, float(minutes.high[first:k].max()))
        low = min(low, float(minutes.low[first:k].min()))
        volume += float(minutes.volume[first:k].sum())
    start = minutes.start.astimezone(dt.UTC) + dt.timedelta(minutes=first)
    return Bar(start, float(minutes.open[first]), high, low, price, volume, 0.0, 0)
