"""The simulated market: per instrument a daily walk of anchor prices, per trading day a path of minutes.

Every bar size is cut from the same one-minute bars, so a 5-minute bar spans the five minutes
inside it, a daily bar spans its session's minutes, and a fill priced from its minute lies
inside every bar that holds it.  A day's minutes are drawn from that day alone (seeded by the
instrument and the date) between the day's anchors, so a request for one day never draws the
days before it; the anchors are a cheap daily walk replayed from ANCHOR.  All of it depends on
the instrument and the date only, so one Market serves every simulator in a process.
"""

import datetime as dt
import functools
import hashlib
import math
import random
import threading
from dataclasses import dataclass

import numpy as np

from .instruments import Instrument

# the walks start here; a request ending earlier has no data, as for a symbol listed later
ANCHOR = dt.date(2012, 1, 2)

# log-price steps per minute, in and out of regular hours
SIGMA_REGULAR, SIGMA_EXTENDED = 0.0007, 0.0003


@dataclass(frozen=True)
class Anchor:
    """The prices a trading day's minutes pass through."""

    day: dt.date
    first: float  # the extended session's first price: the previous session's last
    open: float  # the regular session's open
    close: float  # the regular session's close
    last: float  # the extended session's last price
    volume: float  # the regular session's volume


@dataclass(frozen=True)
class Summary:
    """A span of minutes as one bar."""

    open: float
    high: float
    low: float
    close: float
    volume: float


@dataclass(frozen=True, eq=False)
class Minutes:
    """One trading day's one-minute bars over its extended session; `rth` indexes the regular session."""

    start: dt.datetime
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray
    rth: tuple[int, int]

    def __len__(self) -> int:
        return len(self.open)

    def index(self, when: dt.datetime) -> int:
        """The minute holding `when` (negative before the session, len(self) or more after it)."""
        return math.floor((when - self.start).total_seconds() / 60)

    def span(self, useRTH: bool, until: dt.datetime | None = None) -> tuple[int, int]:
        """The minutes of the session, or of its regular hours, that start before `until`."""
        first, last = self.rth if useRTH else (0, len(self))
        if until is not None:
            last = min(last, max(first, math.ceil((until - self.start).total_seconds() / 60)))
        return first, last

    def summary(self, first: int, last: int) -> Summary:
        return Summary(float(self.open[first]), float(self.high[first:last].max()),
                       float(self.low[first:last].min()), float(self.close[last - 1]),
                       float(self.volume[first:last].sum()))


class _Walk:
    """An instrument's anchors from ANCHOR on, extended as later days are asked for."""

    def __init__(self, inst: Instrument):
        self.rng = random.Random(f"{inst.series}|1 day")
        self.mu = self.x = math.log(inst.price)
        self.last = inst.price
        self.volume = inst.dailyVolume
        self.reached = ANCHOR - dt.timedelta(days=1)
        self.anchors: dict[dt.date, Anchor] = {}

    def extend(self, inst: Instrument, until: dt.date) -> None:
        if until <= self.reached:
            return
        for day in inst.days.days_between(self.reached + dt.timedelta(days=1), until):
            ret, gap, post, vol = (self.rng.gauss(0, 1) for _ in range(4))
            # mean-reverting in log price, so a symbol stays near its reference price for years
            self.x += 0.01 * (self.mu - self.x) + 0.016 * ret
            open_ = self.last * math.exp(0.004 * gap)
            close = math.exp(self.x)
            last = close * math.exp(0.002 * post)
            self.anchors[day] = Anchor(day, self.last, open_, close, last, self.volume * math.exp(0.25 * vol))
            self.last = last
        self.reached = until


class Market:
    """Anchors, minutes and daily summaries per instrument, cached; the same for the same inputs."""

    def __init__(self, cached_days: int = 256):
        self._walks: dict[tuple, _Walk] = {}
        # a test may read fills in its own thread while the simulator's loop extends a walk
        self._lock = threading.Lock()
        self._summaries: dict[tuple, Summary | None] = {}
        self.minutes = functools.lru_cache(maxsize=cached_days)(self._draw)

    @staticmethod
    def _key(inst: Instrument) -> tuple:
        return inst.series, inst.price, inst.dailyVolume, inst.calendar

    def anchor(self, inst: Instrument, day: dt.date) -> Anchor | None:
        """The day's anchors; None for a day without a session or before ANCHOR."""
        key = self._key(inst)
        with self._lock:
            walk = self._walks.get(key)
            if walk is None:
                walk = self._walks[key] = _Walk(inst)
            walk.extend(inst, day)
            return walk.anchors.get(day)

    def _draw(self, inst: Instrument, day: dt.date) -> Minutes | None:
        """`minutes(inst, day)`: the day's one-minute bars, None when it has no session."""
        a = self.anchor(inst, day)
        if a is None:
            return None
        start, end = inst.session(day, useRTH=False)
        rth_start, rth_end = inst.session(day, useRTH=True)
        n = max(1, int((end - start).total_seconds()) // 60)
        r0 = min(n, max(0, int((rth_start - start).total_seconds()) // 60))
        r1 = min(n, max(r0, int((rth_end - start).total_seconds()) // 60))
        z = np.random.default_rng(_seed(inst.series, day)).standard_normal((4, n))
        regular = np.zeros(n, dtype=bool)
        regular[r0:r1] = True
        sigma = np.where(regular, SIGMA_REGULAR, SIGMA_EXTENDED)
        # Bridged from the previous session's last price through the regular open and close to
        # the day's last; a session without extended hours starts at the open and ends at the close.
        knots = [(0, a.first if r0 > 0 else a.open), (r0, a.open), (r1, a.close), (n, a.last if r1 < n else a.close)]
        path = np.empty(n + 1)
        for (i, u), (j, v) in zip(knots, knots[1:]):
            if j > i:
                path[i:j + 1] = _bridge(math.log(u), math.log(v), sigma[i:j] * z[0, i:j])
        path = np.exp(path)
        open_, close = path[:-1], path[1:]
        high = np.maximum(open_, close) * np.exp(0.5 * sigma * np.abs(z[1]))
        low = np.minimum(open_, close) * np.exp(-0.5 * sigma * np.abs(z[2]))
        per_minute = a.volume / max(1, r1 - r0)
        volume = per_minute * np.where(regular, 1.0, 0.08) * np.exp(0.3 * z[3])
        return Minutes(start, open_, high, low, close, volume, (r0, r1))

    def day_bar(self, inst: Instrument, day: dt.date, useRTH: bool,
                until: dt.datetime | None = None) -> Summary | None:
        """The day's session (or regular hours) as one bar, counting only minutes before `until`."""
        key = (inst, day, useRTH)
        complete = until is None or until >= inst.session(day, useRTH)[1]
        if complete and key in self._summaries:
            return self._summaries[key]
        minutes = self.minutes(inst, day)
        out = None
        if minutes is not None:
            first, last = minutes.span(useRTH, None if complete else until)
            out = minutes.summary(first, last) if last > first else None
        if complete:
            self._summaries[key] = out
        return out

    def price_at(self, inst: Instrument, when: dt.datetime) -> float | None:
        """The traded price at `when`, inside its minute's bar; after a session's close its last
        price; None where the market has no session at or before that day."""
        local = when.astimezone(inst.zone).date()
        # a session may open the evening before its trading day
        for day in reversed(inst.days.days_back(local + dt.timedelta(days=1), 3)):
            if inst.session(day, useRTH=False)[0] <= when:
                minutes = self.minutes(inst, day)
                break
        else:
            return None
        if minutes is None:
            return None
        seconds = (when - minutes.start).total_seconds()
        k = math.floor(seconds / 60)
        if k >= len(minutes):
            return float(minutes.close[-1])
        frac = (seconds - 60 * k) / 60
        return float(minutes.open[k] + (minutes.close[k] - minutes.open[k]) * frac)


def _bridge(a: float, b: float, steps: np.ndarray) -> np.ndarray:
    """A random walk of `steps` from `a`, tilted to end at `b`: len(steps) + 1 points."""
    w = np.concatenate(([0.0], np.cumsum(steps)))
    k = np.arange(len(w)) / (len(w) - 1)
    return a + w - k * (w[-1] - (b - a))


def _seed(series: str, day: dt.date) -> int:
    return int.from_bytes(hashlib.blake2b(f"{series}|{day.isoformat()}".encode(), digest_size=8).digest())


# deterministic, so every simulator in the process shares the one cache
default_market = Market()
