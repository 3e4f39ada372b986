"""What the simulated gateway knows: its instruments and the account's fills, priced by the market."""

import datetime as dt
from dataclasses import dataclass, field, replace
from zoneinfo import ZoneInfo

from .calendars import exchange, is_trading_day, trading_days_back
from .instruments import FutureRoot, Instrument, stock, third_friday
from .market import Market, default_market

__all__ = ["ACCOUNT", "Book", "Fill", "FillPlan", "FutureRoot", "Instrument", "is_trading_day", "stock",
           "third_friday", "trading_days_back"]

ACCOUNT = "DU1234567"


@dataclass(frozen=True)
class FillPlan:
    """One execution of the book, placed relative to the clock's recent trading days."""

    daysAgo: int  # 0: the latest trading day whose regular session has closed
    clock: str  # "HH:MM:SS" in New York time
    orderId: int
    permId: int
    clientId: int
    contract: str  # key into Book.contracts
    side: str  # "BOT" or "SLD"
    shares: float
    price: float  # only where the market has no bars for the contract; else the market's price
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


def _default_fills() -> tuple[FillPlan, ...]:
    return (
        # one buy order filled in two parts
        FillPlan(1, "09:45:12", 101, 900101, 1, "AAPL", "BOT", 60, 262.15, 0.35),
        FillPlan(1, "09:45:13", 101, 900101, 1, "AAPL", "BOT", 40, 262.18, 0.25),
        FillPlan(1, "11:02:40", 102, 900102, 1, "MSFT", "SLD", 25, 478.60, 1.00, 212.40, "NYSE", 2),
        FillPlan(1, "15:58:05", 0, 900103, 0, "TSLA", "SLD", 10, 428.10, 1.00, -35.20),
        FillPlan(0, "10:15:30", 103, 900104, 1, "AAPL", "SLD", 50, 265.40, 0.30, 161.50),
        FillPlan(0, "10:31:00", 104, 900105, 2, "ES", "BOT", 1, 6812.25, 2.25, None, "CME"),
        FillPlan(0, "13:20:45", 105, 900106, 2, "AAPL_C270", "BOT", 2, 5.10, 1.30, None, "CBOE"),
        FillPlan(0, "14:40:10", 106, 900107, 1, "MSFT", "BOT", 25, 481.05, 1.00),
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
    fillPlans: tuple[FillPlan, ...] = field(default_factory=_default_fills)
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

    def fills(self, now: dt.datetime, market: Market | None = None) -> list[Fill]:
        """The book's fills on the latest trading days whose regular session closed before `now`.

        Each fill trades at the market's price at its time, so it lies inside the bars a
        historical request returns for its minute and its day; the plan's price stands only
        where the market has no bars for the contract.
        """
        market = market or default_market
        ny = ZoneInfo("America/New_York")
        local = now.astimezone(ny)
        day = local.date()
        nyse = exchange("XNYS")
        if nyse.trades_on(day) and local.time() < (nyse.early_close(day) or nyse.regular_close):
            day -= dt.timedelta(days=1)
        depth = max((s.daysAgo for s in self.fillPlans), default=0) + 1
        days = trading_days_back(day, depth)[::-1]
        contracts = self.contracts(day)
        out: list[Fill] = []
        done: dict[int, tuple[float, float]] = {}
        plans = [p for p in self.fillPlans if p.daysAgo < len(days)]
        for n, plan in enumerate(sorted(plans, key=lambda s: (-s.daysAgo, s.clock))):
            when = dt.datetime.combine(days[plan.daysAgo], dt.time.fromisoformat(plan.clock), ny)
            contract = contracts[plan.contract]
            price = market.price_at(contract, when) if self.has_data(contract) else None
            price = plan.price if price is None else contract.to_tick(price)
            qty, value = done.get(plan.permId, (0.0, 0.0))
            qty, value = qty + plan.shares, value + plan.shares * price
            done[plan.permId] = (qty, value)
            out.append(Fill(
                contract=contract,
                execId=f"0000e0d5.{plan.permId:08x}.{when:%y%m%d}.{n + 1:02d}",
                time=when, orderId=plan.orderId, permId=plan.permId, clientId=plan.clientId,
                side=plan.side, shares=plan.shares, price=price, cumQty=qty,
                avgPrice=round(value / qty, 6), commission=plan.commission,
                realizedPNL=plan.realizedPNL, exchange=plan.exchange, lastLiquidity=plan.lastLiquidity,
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
