"""Adjusted bars older than one answer holds.

The gateway gives adjusted bars (ADJUSTED_LAST) only for a window that ends now: it refuses
them an end date. So the pages of a long adjusted fetch after the newest are traded bars, and
they are adjusted here day by day as the gateway adjusted that day's daily bar: prices by the
ratio of its adjusted to its traded prices, volumes by the ratio of its volumes. The adjusted and
the traded daily bars from the oldest page's day to now tell those ratios: two requests more.
Adjusted prices are rounded to four decimals, as the gateway rounds its average prices.
"""

import bisect
import datetime as dt
import math
from dataclasses import replace

from ib_async import BarData

from korvanta.sessions import market_of, session_of

from .pacing import Notice
from .bar_requests import HistoricalRequest, PageClient, moment


def _daily_window(first: dt.date, today: dt.date) -> str:
    days = (today - first).days + 1
    return f"{days} D" if days <= 365 else f"{math.ceil(days / 365)} Y"


async def adjust_days(client: PageClient, request: HistoricalRequest, older: list[BarData],
                      notice: Notice) -> list[BarData]:
    """`older`, traded bars of `request`'s window, as its adjusted bars."""
    if not older:
        return older
    market = market_of(request.contract.symbol, request.contract.secType)
    # a session may open the evening before its day
    first = moment(older[0].date).astimezone(market.zone).date()
    today = dt.datetime.now(market.zone).date()
    daily = replace(request, endDateTime="", durationStr=_daily_window(first, today), barSizeSetting="1 day")
    adjusted = await client.answer(daily, notice, "adjustments")
    traded = await client.answer(replace(daily, whatToShow="TRADES"), notice, "adjustments")
    by_day = {bar.date: bar for bar in traded}
    ratios = {bar.date: _ratios(bar, by_day[bar.date]) for bar in adjusted if bar.date in by_day}
    if not ratios:
        raise LookupError("the gateway gave no daily bars to adjust the older pages by")
    days = sorted(ratios)
    opens = []
    for day in days:
        session = session_of(market, day, extended=True) if isinstance(day, dt.date) else None
        opens.append(session.open if session else dt.datetime.combine(day, dt.time(0), market.zone))
    out = []
    for bar in older:
        at = max(0, bisect.bisect_right(opens, moment(bar.date)) - 1)
        price, volume = ratios[days[at]]
        out.append(bar if (price, volume) == (1.0, 1.0) else _scaled(bar, price, volume))
    return out


def _ratios(adjusted: BarData, traded: BarData) -> tuple[float, float]:
    """The day's (price, volume) adjustment; the price one from all four prices, whose
    roundings then mostly cancel."""
    prices = traded.open + traded.high + traded.low + traded.close
    price = (adjusted.open + adjusted.high + adjusted.low + adjusted.close) / prices if prices > 0 else 1.0
    volume = adjusted.volume / traded.volume if adjusted.volume > 0 and traded.volume > 0 else 1.0
    return price, volume


def _scaled(bar: BarData, price: float, volume: float) -> BarData:
    def p(x: float) -> float:
        return round(x * price, 4)

    return replace(bar, open=p(bar.open), high=p(bar.high), low=p(bar.low), close=p(bar.close),
                   average=p(bar.average), volume=bar.volume * volume if volume != 1.0 else bar.volume)
