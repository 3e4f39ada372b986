"""A historical-data request larger than one gateway answer, fetched as consecutive pages.

The commands ask for a whole window in one `reqHistoricalDataAsync` and take what comes as one
bar list. Where the window is longer than one answer holds for its bar size
(`korvanta.gateway.limits.ANSWER_MAX`), the gateway client fetches it newest page first, each
page ending where the one after it begins (at that page's first bar), and hands back one list,
oldest bar first, without duplicates or gaps. Nothing partial comes back: a page that fails or
goes unanswered within the request's timeout fails the whole request.

How far back the pages reach follows the gateway's reading of the window:

- "N D" of intraday bars is the last N sessions: pages of the most whole days one answer
  holds (1 D of one-minute bars, 7 D of five-minute bars, 31 D of hourly bars), adding up to N;
- "N W", "N M" and "N Y" are calendar spans from midnight of their first day in the
  exchange's time zone: pages of days until one reaches back past that midnight, cut there;
- "N S" is the N seconds before the end: pages of as many seconds as one answer holds.

A page answered with "no data" after the first ends the fetch where the history begins (in a
window of seconds it is a span without trading, passed over). Adjusted bars only end now: the
pages of an adjusted request after the first are traded bars, adjusted here (adjusted.py).
"""

import datetime as dt
import itertools
import math
import re
from dataclasses import dataclass, replace
from typing import Any
from zoneinfo import ZoneInfo

from ib_async import BarData, BarDataList
from loguru import logger

from korvanta.gateway.limits import DAY, Duration, answer_max, first_calendar_day, fits_one_answer
from korvanta.sessions import market_of

from .adjusted import adjust_days
from .bar_requests import HistoricalRequest, PageClient, moment
from .pacing import span
from .progress import PageProgress, page_progress

NO_DATA = "query returned no data"
# Waits shorter than this go unsaid; one this long is said even after the first of a fetch.
SHORT_WAIT, LONG_WAIT = 0.1, 10.0


class WaitNotice:
    """What one fetch says of its pacing waits: the first, and any long one after it, a line each."""

    def __init__(self, label: str, progress: PageProgress | None = None):
        self.label = label
        self.progress = progress or PageProgress()
        self.said = False

    def __call__(self, seconds: float, reason: str) -> None:
        self.progress.waiting(seconds)
        if (not self.said and seconds >= SHORT_WAIT) or seconds >= LONG_WAIT:
            self.said = True
            logger.info("[{}] waiting {} for the gateway's pacing: {}", self.label, span(seconds), reason)


# ==== the plan: pages of what, back to where


@dataclass(frozen=True)
class Plan:
    step: Duration  # the largest page
    sessions: int | None = None  # "N D": the sessions the pages add up to
    start: dt.datetime | None = None  # other windows: their first instant (None: as far back as there are bars)
    seconds: bool = False  # pages of seconds: one without bars is a span without trading
    end: dt.datetime | None = None  # the window's last instant, where a start is known

    def pages(self) -> int | None:
        return math.ceil(self.sessions / self.step.count) if self.sessions else None


_STAMP = re.compile(r"([0-9]{8})([ -])([0-9]{2}:[0-9]{2}:[0-9]{2})(?: (\S+))?")


def end_instant(end: Any, zone: dt.tzinfo, now: dt.datetime) -> dt.datetime | None:
    """The instant a request's end stands for, as ib_async sends it and the gateway reads it
    (text without a zone in the exchange's time), cut at now; None for text it cannot read."""
    if isinstance(end, dt.datetime):
        at = end.astimezone(dt.UTC)
    elif isinstance(end, dt.date):
        at = dt.datetime(end.year, end.month, end.day, 23, 59, 59).astimezone(dt.UTC)
    elif not end:
        at = now
    else:
        m = _STAMP.fullmatch(str(end).strip())
        if not m:
            return None
        try:
            local = dt.datetime.strptime(m[1] + m[3], "%Y%m%d%H:%M:%S")
            named = ZoneInfo(m[4]) if m[4] else (dt.UTC if m[2] == "-" else zone)
        except (ValueError, KeyError, OSError):
            return None
        at = local.replace(tzinfo=named)
    return min(at, now)


def plan_pages(request: HistoricalRequest, now: dt.datetime) -> Plan | None:
    """How to fetch `request` in pages; None when one answer holds it (or it is one the gateway
    refuses anyway, which goes as it is)."""
    duration = Duration.parse(request.durationStr)
    largest = answer_max(request.barSizeSetting)
    if request.keepUpToDate or duration is None or largest is None or fits_one_answer(duration, request.barSizeSetting):
        return None
    zone = market_of(request.contract.symbol, request.contract.secType).zone
    if duration.unit == "S":
        end = end_instant(request.endDateTime, zone, now)
        if end is None:
            return None
        try:
            start = end - dt.timedelta(seconds=duration.count)
        except OverflowError:
            return None
        return Plan(Duration(largest.seconds, "S"), start=start, seconds=True, end=end)
    step = Duration(largest.seconds // DAY, "D")
    if step.count == 0:
        # sub-minute bars: only windows of seconds are paged
        return None
    if duration.unit == "D":
        return Plan(step, sessions=duration.count)
    end = end_instant(request.endDateTime, zone, now)
    if end is None:
        return None
    first = first_calendar_day((end - dt.timedelta(microseconds=1)).astimezone(zone).date(), duration.count,
                               duration.unit)
    start = None if first == dt.date.min else dt.datetime.combine(first, dt.time(0), zone)
    return Plan(step, start=start, end=end)


# ==== fetching


_SIZE = re.compile(r"([0-9]+) (sec|min|hour|day|week|month)s?")
_UNIT_SECONDS = {"sec": 1, "min": 60, "hour": 3600, "day": 86400, "week": 7 * 86400, "month": 31 * 86400}


def bar_seconds(bar_size: str) -> int:
    m = _SIZE.fullmatch(bar_size.strip())
    return int(m[1]) * _UNIT_SECONDS[m[2]] if m else 0


def is_no_data(error: Exception) -> bool:
    return getattr(error, "code", None) == 162 and NO_DATA in str(getattr(error, "message", ""))


async def fetch(client: PageClient, request: HistoricalRequest) -> list[BarData]:
    """The bars of `request`, in pages where one answer cannot hold them."""
    label = client.label(request.contract)
    plan = plan_pages(request, dt.datetime.now(dt.UTC))
    if plan is None:
        return await client.answer(request, WaitNotice(label), None)
    logger.info("[{}] {} of {} bars is more than one answer holds: fetching it in pages of {}",
                label, request.durationStr, request.barSizeSetting, plan.step)
    with page_progress(f"{label} {request.barSizeSetting}") as progress:
        notice = WaitNotice(label, progress)
        pages = await _pages(client, request, plan, notice, progress)
        if request.adjusted and len(pages) > 1:
            logger.info("[{}] adjusted bars end now: older pages are traded bars adjusted by the daily bars", label)
            older = [bar for page in reversed(pages[1:]) for bar in page]
            pages = [pages[0], await adjust_days(client, request, older, notice)]
    bars = [bar for page in reversed(pages) for bar in page]
    if plan.start is not None and not plan.seconds:
        # the first page reaches back to a session's start, before the window's first midnight;
        # a bar holding that midnight still belongs to the window
        width = dt.timedelta(seconds=bar_seconds(request.barSizeSetting))
        bars = [bar for bar in bars if moment(bar.date) + width > plan.start]
    return _bar_list(request, bars)


async def _pages(client: PageClient, request: HistoricalRequest, plan: Plan, notice: WaitNotice,
                 progress: PageProgress) -> list[list[BarData]]:
    """The window's pages, newest first, each holding only bars older than the page before."""
    pages: list[list[BarData]] = []
    held = 0
    end: Any = request.endDateTime
    reached = plan.end  # the instant the pages have reached back to
    left = plan.sessions
    total = plan.pages()
    for number in itertools.count(1):
        step = plan.step
        if left is not None:
            step = Duration(min(step.count, left), "D")
        elif plan.seconds and reached is not None and plan.start is not None:
            step = Duration(min(step.count, math.ceil((reached - plan.start).total_seconds())), "S")
        page = replace(request, endDateTime=end, durationStr=str(step),
                       whatToShow="TRADES" if request.adjusted and number > 1 else request.whatToShow)
        named = f"page {number} of {total}" if total else f"page {number}"
        try:
            bars = await client.answer(page, notice, named)
        except Exception as e:
            if number == 1 or not is_no_data(e):
                raise
            bars = []
        oldest = pages[-1][0].date if pages else None
        fresh = list(bars) if oldest is None else [bar for bar in bars if moment(bar.date) < moment(oldest)]
        if fresh:
            pages.append(fresh)
            held += len(fresh)
        if plan.seconds:
            reached = moment(fresh[0].date) if fresh else reached - dt.timedelta(seconds=step.count)
            end = reached
            done = plan.start is not None and reached <= plan.start
        elif left is not None:
            left -= step.count
            done = left <= 0 or not fresh
            end = fresh[0].date if fresh else end
        else:
            reached = moment(fresh[0].date) if fresh else reached
            done = not fresh or (plan.start is not None and reached <= plan.start)
            end = fresh[0].date if fresh else end
        progress.page(number, total, held, _share(plan, left, reached))
        if done:
            break
    return pages


def _share(plan: Plan, left: int | None, reached: dt.datetime | None) -> float | None:
    """How much of the window the pages cover so far."""
    if left is not None and plan.sessions:
        return min(1.0, 1 - left / plan.sessions)
    if plan.start is None or plan.end is None or reached is None or plan.end <= plan.start:
        return None
    return min(1.0, max(0.0, (plan.end - reached) / (plan.end - plan.start)))


def _bar_list(request: HistoricalRequest, bars: list[BarData]) -> BarDataList:
    """`bars` as ib_async hands back a request's bars: with the request's fields."""
    out = BarDataList(bars)
    out.reqId = -1
    out.contract = request.contract
    out.endDateTime = request.endDateTime
    out.durationStr = request.durationStr
    out.barSizeSetting = request.barSizeSetting
    out.whatToShow = request.whatToShow
    out.useRTH = request.useRTH
    out.formatDate = request.formatDate
    out.keepUpToDate = request.keepUpToDate
    out.chartOptions = list(request.chartOptions)
    return out
