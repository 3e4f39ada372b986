"""The contracts the simulated gateway knows, with the sessions their bars are laid out in."""

import datetime as dt
from dataclasses import dataclass
from zoneinfo import ZoneInfo

from korvanta.sessions import session_bounds

from .calendars import ExchangeDays, exchange


@dataclass(frozen=True)
class Instrument:
    """One tradable contract, with the session hours its bars are laid out in."""

    symbol: str
    secType: str
    conId: int
    exchange: str
    price: float
    longName: str = ""
    currency: str = "USD"
    primaryExchange: str = ""
    localSymbol: str = ""
    tradingClass: str = ""
    multiplier: str = ""
    lastTradeDate: str = ""
    strike: float = 0.0
    right: str = ""
    minTick: float = 0.01
    tz: str = "America/New_York"
    # the zone name the gateway reports in contract details
    timeZoneId: str = "US/Eastern"
    # session bounds in minutes from the trading day's midnight; negative starts the evening before
    eth: tuple[int, int] = (4 * 60, 20 * 60)
    rth: tuple[int, int] = (9 * 60 + 30, 16 * 60)
    dailyVolume: int = 40_000_000
    # quarterly dividend as a fraction of the price; makes adjusted prices differ from trades
    dividend: float = 0.0
    industry: str = ""
    category: str = ""
    hasData: bool = True
    # the exchange calendar (ISO code) whose holidays and early closes the sessions follow
    calendar: str = "XNYS"

    @property
    def zone(self) -> ZoneInfo:
        return ZoneInfo(self.tz)

    @property
    def days(self) -> ExchangeDays:
        return exchange(self.calendar)

    @property
    def series(self) -> str:
        """The name its price history goes by: the months of one futures root share one market."""
        if self.secType in ("FUT", "CONTFUT"):
            return f"{self.symbol}|FUT"
        if self.secType == "STK":
            return self.symbol
        return f"{self.secType}|{self.localSymbol or self.symbol}"

    def trades_on(self, day: dt.date) -> bool:
        return self.days.trades_on(day)

    def session(self, day: dt.date, useRTH: bool) -> tuple[dt.datetime, dt.datetime]:
        """Start and end of the trading day's session, as aware datetimes; early closes end it early."""
        return session_bounds(self.days, day, self.rth if useRTH else self.eth, self.zone)

    def to_tick(self, price: float) -> float:
        """The nearest price on the contract's tick grid."""
        return round(round(price / self.minTick) * self.minTick, 8)


def stock(symbol, conId, exchange, price, longName, **kw) -> Instrument:
    return Instrument(
        symbol=symbol, secType="STK", conId=conId, exchange=exchange, primaryExchange=exchange,
        price=price, longName=longName, localSymbol=symbol, tradingClass=kw.pop("tradingClass", "NMS"),
        **kw,
    )


@dataclass(frozen=True)
class FutureRoot:
    """A futures product; its listed months are derived from the clock."""

    symbol: str
    conIdBase: int
    exchange: str
    price: float
    longName: str
    multiplier: str
    minTick: float
    monthCodes: str = "HMUZ"
    listed: int = 4
    calendar: str = "CMES"

    def months(self, today: dt.date) -> list[Instrument]:
        """The next `listed` quarterly contracts not yet expired on `today`, front month first."""
        codes = {3: "H", 6: "M", 9: "U", 12: "Z"}
        out: list[Instrument] = []
        year, month = today.year, today.month
        # bounded: a year has four quarterly months
        for _ in range(4 * self.listed + 4):
            if month in codes and codes[month] in self.monthCodes:
                expiry = self.expiry(year, month)
                if expiry >= today:
                    out.append(Instrument(
                        symbol=self.symbol, secType="FUT", conId=self.conIdBase + year * 100 + month,
                        exchange=self.exchange, price=self.price, longName=self.longName,
                        localSymbol=f"{self.symbol}{codes[month]}{year % 10}", tradingClass=self.symbol,
                        multiplier=self.multiplier, lastTradeDate=expiry.strftime("%Y%m%d"),
                        minTick=self.minTick, tz="America/Chicago", timeZoneId="US/Central",
                        # Globex: 17:00 the evening before to 16:00, pit hours 08:30 to 15:00
                        eth=(-7 * 60, 16 * 60), rth=(8 * 60 + 30, 15 * 60), dailyVolume=1_500_000,
                        industry="Indices", category="Broad Range Equity Index", calendar=self.calendar,
                    ))
                    if len(out) == self.listed:
                        break
            month += 1
            if month == 13:
                year, month = year + 1, 1
        return out

    def expiry(self, year: int, month: int) -> dt.date:
        """The third Friday of the month, or the trading day before it when that is a holiday."""
        day = third_friday(year, month)
        earlier = exchange(self.calendar).days_back(day, 1)
        return earlier[0] if earlier else day


def third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)
