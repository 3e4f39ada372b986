"""The instruments, trading calendar and fills the simulated gateway serves."""

import datetime as dt
from dataclasses import dataclass, field, replace
from zoneinfo import ZoneInfo

ACCOUNT = "DU1234567"


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

    @property
    def zone(self) -> ZoneInfo:
        return ZoneInfo(self.tz)

    def session(self, day: dt.date, useRTH: bool) -> tuple[dt.datetime, dt.datetime]:
        """Start and end of the trading day's session, as aware datetimes."""
        first, last = self.rth if useRTH else self.eth
        midnight = dt.datetime.combine(day, dt.time(0), self.zone)
        return midnight + dt.timedelta(minutes=first), midnight + dt.timedelta(minutes=last)


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

    def months(self, today: dt.date) -> list[Instrument]:
        """The next `listed` quarterly contracts not yet expired on `today`, front month first."""
        codes = {3: "H", 6: "M", 9: "U", 12: "Z"}
        out: list[Instrument] = []
        year, month = today.year, today.month
        # bounded: a year has four quarterly months
        for _ in range(4 * self.listed + 4):
            if month in codes and codes[month] in self.monthCodes:
                expiry = third_friday(year, month)
                if expiry >= today:
                    out.append(Instrument(
                        symbol=self.symbol, secType="FUT", conId=self.conIdBase + year * 100 + month,
                        exchange=self.exchange, price=self.price, longName=self.longName,
                        localSymbol=f"{self.symbol}{codes[month]}{year % 10}", tradingClass=self.symbol,
                        multiplier=self.multiplier, lastTradeDate=expiry.strftime("%Y%m%d"),
                        minTick=self.minTick, tz="America/Chicago", timeZoneId="US/Central",
                        # Globex: 17:00 the evening before to 16:00, pit hours 08:30 to 15:00
                        eth=(-7 * 60, 16 * 60), rth=(8 * 60 + 30, 15 * 60), dailyVolume=1_500_000,
                        industry="Indices", category="Broad Range Equity Index",
                    ))
                    if len(out) == self.listed:
                        break
            month += 1
            if month == 13:
                year, month = year + 1, 1
        return out


def third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def is_trading_day(day: dt.date) -> bool:
    # weekends only: a holiday calendar would change no behaviour the tests look at
    return day.weekday() < 5


def trading_days_back(day: dt.date, count: int) -> list[dt.date]:
    """`count` trading days ending with `day` (or the last one before it), oldest first."""
    out: list[dt.date] = []
    # bounded: at most three weekend days between two trading days
    for _ in range(count * 2 + 7):
        if len(out) == count:
            break
        if is_trading_day(day):
            out.append(day)
        day -= dt.timedelta(days=1)
    return out[::-1]


@dataclass(frozen=True)
class FillSpec:
    """One execution of the book, placed relative to the clock's recent trading days."""

    daysAgo: int  # 0: the latest trading day whose regular session has closed
    clock: str  # "HH:MM:SS" in New York time
    orderId: int
    permId: int
    clientId: int
    contract: str  # key into Book.contracts
    side: str  # "BOT" or "SLD"
    shares: float
    price: float
    commission: float
    realizedPNL: float | None = None  # None: an opening fill, sent as the unset double
    exchange: str = "ISLAND"
    lastLiquidity: int = 1


@dataclass(frozen=True)
class Fill:
    """An execution ready for the wire: contract, execution fields and its commission report."""

    contract: Instrument
    execId: str
    time: dt.datetime
    orderId: int
    permId: int
    clientId: int
    side: str
    shares: float
    price: float
    cumQty: float
    avgPrice: float
    commission: float
    realizedPNL: float | None
    exchange: str
    lastLiquidity: int
    account: str = ACCOUNT


def _default_fills() -> tuple[FillSpec, ...]:
    return (
        # one buy order filled in two parts
        FillSpec(1, "09:45:12", 101, 900101, 1, "AAPL", "BOT", 60, 262.15, 0.35),
        FillSpec(1, "09:45:13", 101, 900101, 1, "AAPL", "BOT", 40, 262.18, 0.25),
        FillSpec(1, "11:02:40", 102, 900102, 1, "MSFT", "SLD", 25, 478.60, 1.00, 212.40, "NYSE", 2),
        FillSpec(1, "15:58:05", 0, 900103, 0, "TSLA", "SLD", 10, 428.10, 1.00, -35.20),
        FillSpec(0, "10:15:30", 103, 900104, 1, "AAPL", "SLD", 50, 265.40, 0.30, 161.50),
        FillSpec(0, "10:31:00", 104, 900105, 2, "ES", "BOT", 1, 6812.25, 2.25, None, "CME"),
        FillSpec(0, "13:20:45", 105, 900106, 2, "AAPL_C270", "BOT", 2, 5.10, 1.30, None, "CBOE"),
        FillSpec(0, "14:40:10", 106, 900107, 1, "MSFT", "BOT", 25, 481.05, 1.00),
    )


def _default_stocks() -> tuple[Instrument, ...]:
    return (
        stock("AAPL", 265598, "NASDAQ", 265.0, "APPLE INC", dividend=0.0025,
              industry="Technology", category="Computers"),
        stock("MSFT", 272093, "NASDAQ", 480.0, "MICROSOFT CORP", dividend=0.0018,
              industry="Technology", category="Software"),
        stock("TSLA", 76792991, "NASDAQ", 430.0, "TESLA INC", dailyVolume=90_000_000,
              industry="Consumer, Cyclical", category="Auto Manufacturers"),
        stock("SPY", 756733, "ARCA", 680.0, "SPDR S&P 500 ETF TRUST", dividend=0.003, tradingClass="SPY",
              dailyVolume=70_000_000),
        # known to the contract database, but the historical farm has nothing for it
        stock("NODATA", 4000001, "NYSE", 12.0, "NO DATA HOLDINGS", hasData=False),
    )


def _default_futures() -> tuple[FutureRoot, ...]:
    return (
        FutureRoot("ES", 600000000, "CME", 6800.0, "E-mini S&P 500", "50", 0.25),
        FutureRoot("NQ", 610000000, "CME", 25000.0, "E-mini NASDAQ 100", "20", 0.25),
    )


def _default_options() -> tuple[Instrument, ...]:
    return (
        Instrument(
            symbol="AAPL", secType="OPT", conId=800000270, exchange="SMART", price=5.0,
            longName="APPLE INC", localSymbol="AAPL  270115C00270000", tradingClass="AAPL",
            multiplier="100", lastTradeDate="20270115", strike=270.0, right="C", dailyVolume=20_000,
            rth=(9 * 60 + 30, 16 * 60), eth=(9 * 60 + 30, 16 * 60),
        ),
    )


@dataclass
class Book:
    """What the gateway knows: stocks, futures products, options, and the account's fills."""

    stocks: tuple[Instrument, ...] = field(default_factory=_default_stocks)
    futures: tuple[FutureRoot, ...] = field(default_factory=_default_futures)
    options: tuple[Instrument, ...] = field(default_factory=_default_options)
    fillSpecs: tuple[FillSpec, ...] = field(default_factory=_default_fills)
    accounts: tuple[str, ...] = (ACCOUNT,)
    # symbols answered with error 162 on a historical request although their contract resolves
    noData: frozenset[str] = frozenset()

    def has_data(self, inst: Instrument) -> bool:
        return inst.hasData and inst.symbol not in self.noData

    def contract_details(self, q, today: dt.date) -> list[Instrument]:
        """The contracts a contract-details request matches, as the gateway narrows them."""
        symbol = q.symbol.upper()
        if q.conId:
            every = [*self.stocks, *self.options, *(m for r in self.futures for m in r.months(today))]
            return [i for i in every if i.conId == q.conId]
        if q.currency and q.currency != "USD":
            return []
        if q.secType in ("", "STK"):
            return [s for s in self.stocks
                    if s.symbol == symbol and q.exchange in ("", "SMART", s.primaryExchange)]
        if q.secType in ("FUT", "CONTFUT"):
            root = next((r for r in self.futures if r.symbol == symbol), None)
            if root is None or q.exchange not in ("", root.exchange):
                return []
            months = root.months(today)
            if q.secType == "CONTFUT":
                # the continuous future resolves to its front month, keeping its own type
                return [replace(months[0], secType="CONTFUT")]
            if q.lastTradeDateOrContractMonth:
                return [m for m in months if m.lastTradeDate.startswith(q.lastTradeDateOrContractMonth)]
            return months
        if q.secType == "OPT":
            return [o for o in self.options if o.symbol == symbol
                    and (not q.lastTradeDateOrContractMonth or o.lastTradeDate.startswith(q.lastTradeDateOrContractMonth))
                    and (not q.strike or o.strike == q.strike)
                    and (not q.right or o.right == q.right[:1].upper())]
        return []

    def bar_source(self, q, today: dt.date) -> Instrument | None:
        """The instrument whose bars a historical request asks for; continuous futures use the front month."""
        found = self.contract_details(q, today)
        return found[0] if found else None

    def fills(self, now: dt.datetime) -> list[Fill]:
        """The book's fills on the latest trading days whose regular session closed before `now`."""
        ny = ZoneInfo("America/New_York")
        local = now.astimezone(ny)
        day = local.date()
        if local.time() < dt.time(16):
            day -= dt.timedelta(days=1)
        depth = max((s.daysAgo for s in self.fillSpecs), default=0) + 1
        days = trading_days_back(day, depth)[::-1]
        contracts = self.contracts(day)
        out: list[Fill] = []
        done: dict[int, tuple[float, float]] = {}
        for n, spec in enumerate(sorted(self.fillSpecs, key=lambda s: (-s.daysAgo, s.clock))):
            when = dt.datetime.combine(days[spec.daysAgo], dt.time.fromisoformat(spec.clock), ny)
            qty, value = done.get(spec.permId, (0.0, 0.0))
            qty, value = qty + spec.shares, value + spec.shares * spec.price
            done[spec.permId] = (qty, value)
            out.append(Fill(
                contract=contracts[spec.contract],
                execId=f"0000e0d5.{spec.permId:08x}.{when:%y%m%d}.{n + 1:02d}",
                time=when, orderId=spec.orderId, permId=spec.permId, clientId=spec.clientId,
                side=spec.side, shares=spec.shares, price=spec.price, cumQty=qty,
                avgPrice=round(value / qty, 6), commission=spec.commission,
                realizedPNL=spec.realizedPNL, exchange=spec.exchange, lastLiquidity=spec.lastLiquidity,
                account=self.accounts[0],
            ))
        return out

    def contracts(self, today: dt.date) -> dict[str, Instrument]:
        """Fill contracts by key: stock symbols, futures roots (front month), options as SYMBOL_<right><strike>."""
        out = {s.symbol: s for s in self.stocks}
        for root in self.futures:
            out[root.symbol] = root.months(today)[0]
        for o in self.options:
            out[f"{o.symbol}_{o.right}{o.strike:g}"] = o
        return out
