"""Deterministic synthetic bars: a seeded random walk per symbol and bar size, laid out in sessions."""

import calendar
import datetime as dt
import math
import random
import re
from dataclasses import dataclass
from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

from .book import Instrument, is_trading_day, trading_days_back

INTRADAY_SECONDS = {
    "1 min": 60, "2 mins": 120, "3 mins": 180, "5 mins": 300, "10 mins": 600, "15 mins": 900,
    "20 mins": 1200, "30 mins": 1800, "1 hour": 3600, "2 hours": 7200, "3 hours": 10800,
    "4 hours": 14400, "8 hours": 28800,
}
DAILY_SIZES = ("1 day", "1 week", "1 month")
WHAT_TO_SHOW = ("TRADES", "ADJUSTED_LAST", "MIDPOINT", "BID", "ASK")

# the walks start here; a request ending earlier has no data, as for a symbol listed later
ANCHOR = dt.date(2012, 1, 2)

# bounds the work of one request, like the gateway's own "Time length exceed max."
MAX_BARS = 60_000

_DURATION = re.compile(r"^(\d+) ([SDWMY])$")


class BarError(Exception):
    """A historical request the gateway refuses: carries the error code and text it sends."""

    def __init__(self, code: int, message: str):
        super().__init__(code, message)
        self.code = code
        self.message = message


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


@dataclass(frozen=True)
class _Day:
    day: dt.date
    open: float
    high: float
    low: float
    close: float
    volume: float
    # the whole session's extremes and volume, for bars outside regular hours
    ethHigh: float
    ethLow: float
    ethVolume: float


def parse_end(text: str, inst: Instrument, now: dt.datetime) -> dt.datetime:
    """The request's end as an aware datetime; empty means now, and the future is cut at now."""
    text = text.strip()
    if not text:
        return now
    try:
        if re.fullmatch(r"\d{8}-\d{2}:\d{2}:\d{2}", text):
            end = dt.datetime.strptime(text, "%Y%m%d-%H:%M:%S").replace(tzinfo=dt.UTC)
        elif re.fullmatch(r"\d{8}", text):
            end = dt.datetime.strptime(text, "%Y%m%d").replace(tzinfo=inst.zone) + dt.timedelta(days=1)
        else:
            day, clock, *zone = text.split()
            end = dt.datetime.strptime(day + clock, "%Y%m%d%H:%M:%S")
            # without a zone the gateway reads the exchange's local time
            end = end.replace(tzinfo=ZoneInfo(zone[0]) if zone else inst.zone)
            if len(zone) > 1:
                raise ValueError(text)
    except (ValueError, ZoneInfoNotFoundError):
        raise BarError(10314, "End Date/Time: The date, time, or time-zone entered is invalid. "
                              "The correct format is yyyymmdd hh:mm:ss xx/xxxx") from None
    return min(end, now)


def parse_duration(text: str) -> tuple[int, str]:
    m = _DURATION.match(text.strip())
    if not m or int(m[1]) <= 0:
        raise BarError(321, f"Error validating request.-'bP' : cause - Historical data query duration "
                            f"format is invalid: {text!r}")
    return int(m[1]), m[2]


def _months_back(day: dt.date, months: int) -> dt.date:
    index = day.year * 12 + day.month - 1 - months
    year, month = divmod(index, 12)
    return dt.date(year, month + 1, min(day.day, calendar.monthrange(year, month + 1)[1]))


def _window_start(end: dt.date, count: int, unit: str) -> dt.date:
    """First calendar date inside a duration that counts calendar time back from `end`."""
    if unit == "S":
        return end - dt.timedelta(days=math.ceil(count / 86400) - 1)
    if unit == "D":
        return end - dt.timedelta(days=count - 1)
    if unit == "W":
        return end - dt.timedelta(days=7 * count - 1)
    if unit == "M":
        return _months_back(end, count) + dt.timedelta(days=1)
    return _months_back(end, 12 * count) + dt.timedelta(days=1)


def _ex_dates(start: dt.date, end: dt.date) -> list[dt.date]:
    """Quarterly ex-dividend days (the 10th of Feb, May, Aug and Nov, or the next trading day)."""
    out = []
    for year in range(start.year, end.year + 1):
        for month in (2, 5, 8, 11):
            day = dt.date(year, month, 10)
            while not is_trading_day(day):
                day += dt.timedelta(days=1)
            if start < day <= end:
                out.append(day)
    return out


class BarMaker:
    """Bars for historical requests, the same for the same request and clock."""

    def __init__(self):
        # per symbol: the last date the daily walk reaches, and the walk from ANCHOR
        self._daily: dict[str, tuple[dt.date, list[_Day]]] = {}

    # ---- the walks

    def _days(self, inst: Instrument, until: dt.date) -> list[_Day]:
        known = self._daily.get(inst.symbol)
        if known and known[0] >= until:
            return known[1]
        rng = random.Random(f"{inst.symbol}|1 day")
        mu = math.log(inst.price)
        # replayed from the anchor, so the walk is the same however far an earlier request took it
        series: list[_Day] = []
        x, close, day = mu, inst.price, ANCHOR
        while day <= until:
            if is_trading_day(day):
                ret, gap, up, down, vol, ext = (rng.gauss(0, 1) for _ in range(6))
                # mean-reverting in log price, so a symbol stays near its reference price for years
                x += 0.01 * (mu - x) + 0.016 * ret
                open_ = close * math.exp(0.004 * gap)
                close = math.exp(x)
                high = max(open_, close) * math.exp(0.006 * abs(up))
                low = min(open_, close) * math.exp(-0.006 * abs(down))
                volume = inst.dailyVolume * math.exp(0.25 * vol)
                widen = 1 + 0.002 * abs(ext)
                series.append(_Day(day, open_, high, low, close, volume, high * widen, low / widen, volume * 1.15))
            day += dt.timedelta(days=1)
        self._daily[inst.symbol] = (until, series)
        return series

    def _intraday(self, inst: Instrument, day: _Day, prev_close: float, seconds: int, size: str) -> list[Bar]:
        """The whole extended session of `day` in bars of `seconds`, bridged from the previous close to the day's."""
        start, end = inst.session(day.day, useRTH=False)
        rth_start, rth_end = inst.session(day.day, useRTH=True)
        t0, t1 = start.timestamp(), end.timestamp()
        n = max(1, math.ceil((t1 - t0) / seconds))
        rng = random.Random(f"{inst.symbol}|{size}|{day.day.isoformat()}")
        draws = [tuple(rng.gauss(0, 1) for _ in range(4)) for _ in range(n)]
        sigma = 0.012 / math.sqrt(n)
        walk = [0.0]
        for step, *_ in draws:
            walk.append(walk[-1] + sigma * step)
        a, b = math.log(prev_close), math.log(day.close)
        path = [math.exp(a + w - (k / n) * (walk[-1] - (b - a))) for k, w in enumerate(walk)]
        bars = []
        for k, (_, up, down, vol) in enumerate(draws):
            open_, close = path[k], path[k + 1]
            ts = t0 + k * seconds
            regular = rth_start.timestamp() <= ts < rth_end.timestamp()
            volume = day.volume * seconds / 23400 * (1.0 if regular else 0.08) * math.exp(0.3 * vol)
            bars.append(Bar(
                start=dt.datetime.fromtimestamp(ts, dt.UTC),
                open=open_, close=close,
                high=max(open_, close) * math.exp(0.0015 * abs(up)),
                low=min(open_, close) * math.exp(-0.0015 * abs(down)),
                volume=volume, wap=0.0, count=0,
            ))
        return bars

    # ---- requests

    def bars(self, inst: Instrument, *, endDateTime: str, durationStr: str, barSizeSetting: str,
             whatToShow: str, useRTH: bool, now: dt.datetime) -> list[Bar]:
        """The bars a gateway sends for these request fields; BarError for what it refuses."""
        if whatToShow not in WHAT_TO_SHOW:
            raise BarError(321, f"Error validating request.-'bP' : cause - Invalid whatToShow: {whatToShow}")
        if whatToShow == "ADJUSTED_LAST" and endDateTime.strip():
            raise BarError(321, "Error validating request.-'bP' : cause - End date not supported with adjusted last")
        if barSizeSetting not in INTRADAY_SECONDS and barSizeSetting not in DAILY_SIZES:
            raise BarError(321, f"Error validating request.-'bP' : cause - Invalid bar size: {barSizeSetting}")
        count, unit = parse_duration(durationStr)
        end = parse_end(endDateTime, inst, now)
        today = now.astimezone(inst.zone).date()
        if barSizeSetting in INTRADAY_SECONDS:
            bars = self._intraday_window(inst, end, count, unit, barSizeSetting, useRTH)
        else:
            bars = self._daily_window(inst, end, count, unit, barSizeSetting, useRTH)
        return [self._finish(inst, bar, whatToShow, today) for bar in bars]

    def _intraday_window(self, inst, end, count, unit, size, useRTH) -> list[Bar]:
        seconds = INTRADAY_SECONDS[size]
        local_end = end.astimezone(inst.zone)
        # a session may start the evening before its trading day, so look one day ahead
        last = local_end.date() + dt.timedelta(days=1)
        if unit == "D":
            if count > 400:
                raise BarError(162, "Historical Market Data Service error message:Time length exceed max.")
            days = [d for d in trading_days_back(last, count + 2) if inst.session(d, useRTH)[0] < end][-count:]
            since = None
        else:
            first = _window_start(local_end.date(), count, unit) - dt.timedelta(days=1)
            since = end - dt.timedelta(seconds=count) if unit == "S" else \
                dt.datetime.combine(first + dt.timedelta(days=1), dt.time(0), inst.zone)
            days = [first + dt.timedelta(days=i) for i in range((last - first).days + 1)]
            days = [d for d in days if is_trading_day(d)]
        days = [d for d in days if d >= ANCHOR]
        span = inst.eth[1] - inst.eth[0]
        if len(days) * math.ceil(span * 60 / seconds) > MAX_BARS:
            raise BarError(162, "Historical Market Data Service error message:Time length exceed max.")
        if not days:
            return []
        series = self._days(inst, days[-1])
        by_day = {d.day: i for i, d in enumerate(series)}
        out: list[Bar] = []
        for d in days:
            i = by_day[d]
            prev_close = series[i - 1].close if i else series[i].open
            rth_start, rth_end = inst.session(d, useRTH=True)
            for bar in self._intraday(inst, series[i], prev_close, seconds, size):
                bar_end = bar.start + dt.timedelta(seconds=seconds)
                if bar.start >= end or (since is not None and bar_end <= since):
                    continue
                if useRTH:
                    if bar_end <= rth_start or bar.start >= rth_end:
                        continue
                    if bar.start < rth_start:
                        # the gateway labels a bar cut by the open with the open
                        bar = Bar(rth_start.astimezone(dt.UTC), *_fields(bar)[1:])
                out.append(bar)
        return out

    def _daily_window(self, inst, end, count, unit, size, useRTH) -> list[Bar]:
        local_end = end.astimezone(inst.zone)
        last = local_end.date() + dt.timedelta(days=1)
        first = _window_start(local_end.date(), count, unit)
        if first < ANCHOR:
            first = ANCHOR
        if last < first:
            return []
        series = self._days(inst, last)
        picked = [d for d in series if first <= d.day <= last and inst.session(d.day, useRTH)[0] < end]
        daily = [
            Bar(d.day, d.open, d.high if useRTH else d.ethHigh, d.low if useRTH else d.ethLow,
                d.close, d.volume if useRTH else d.ethVolume, 0.0, 0)
            for d in picked
        ]
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

    def _finish(self, inst: Instrument, bar: Bar, whatToShow: str, today: dt.date) -> Bar:
        """Prices to the tick, the quote side or dividend adjustment applied, wap and trade count filled in."""
        factor, shift = 1.0, 0.0
        if whatToShow == "ADJUSTED_LAST" and inst.dividend:
            day = bar.start if not isinstance(bar.start, dt.datetime) else bar.start.astimezone(inst.zone).date()
            factor = (1 - inst.dividend) ** len(_ex_dates(day, today))
        elif whatToShow in ("BID", "ASK"):
            shift = inst.minTick if whatToShow == "ASK" else -inst.minTick

        def tick(price: float) -> float:
            return round(round((price * factor + shift) / inst.minTick) * inst.minTick, 8)

        open_, close = tick(bar.open), tick(bar.close)
        high, low = max(tick(bar.high), open_, close), min(tick(bar.low), open_, close)
        volume = float(max(1, round(bar.volume / 100) * 100))
        if whatToShow != "TRADES" and whatToShow != "ADJUSTED_LAST":
            # quote bars carry no traded volume
            volume = -1.0
        return Bar(bar.start, open_, high, low, close, volume,
                   round((high + low + close) / 3, 4), max(1, int(abs(volume) // 150)))


def _fields(bar: Bar) -> tuple:
    return (bar.start, bar.open, bar.high, bar.low, bar.close, bar.volume, bar.wap, bar.count)
