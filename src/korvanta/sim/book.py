"""What the simulated gateway knows: its instruments and the account's fills, priced by the market."""

import datetime as dt
from collections import Counter
from dataclasses import dataclass, field, replace
from zoneinfo import ZoneInfo

from . import account
from .account import FillPlan
from .calendars import exchange, is_trading_day, trading_days_back
from .instruments import FutureRoot, Instrument, stock, third_friday
from .ledger import Holding, Ledger, multiplier, part_fee
from .market import Market, default_market
from .symbols import generated, symbol_of

__all__ = ["ACCOUNT", "Book", "Fill", "FillPlan", "FutureRoot", "Holding", "Instrument", "is_trading_day", "stock",
           "third_friday", "trading_days_back"]

ACCOUNT = "DU1234567"
NEW_YORK = ZoneInfo("America/New_York")
# the regular session a plan's time of day is written against
REGULAR_OPEN, REGULAR_CLOSE = dt.time(9, 30), dt.time(16, 0)


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
    # the generated weeks of the account; account.SAMPLE holds eight fills with stated money
    fillPlans: tuple[FillPlan, ...] = field(default_factory=account.plans)
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
            made = self.stock_named(symbol_of(q.conId))
            return [i for i in [*every, made] if i is not None and i.conId == q.conId]
        if q.currency and q.currency != "USD":
            return []
        if q.secType in ("", "STK"):
            found = self.stock_named(symbol)
            return [found] if found is not None and q.exchange in ("", "SMART", found.primaryExchange) else []
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

    def stock_named(self, symbol: str) -> Instrument | None:
        """The listed stock of that name, else the one any plausible name stands for (symbols.py)."""
        listed = next((s for s in self.stocks if s.symbol == symbol), None)
        return listed or generated(symbol)

    def bar_source(self, q, today: dt.date) -> Instrument | None:
        """The instrument whose bars a historical request asks for; continuous futures use the front month."""
        found = self.contract_details(q, today)
        return found[0] if found else None

    def fills(self, now: dt.datetime, market: Market | None = None) -> list[Fill]:
        """The account's fills on the latest trading days whose regular session closed before `now`.

        Each fill trades at the market's price at its time, so it lies inside the bars a
        historical request returns for its minute and its day; the plan's price stands only
        where the market has no bars for the contract.
        """
        return self._trade(now, market)[0]

    def positions(self, now: dt.datetime, market: Market | None = None) -> list[Holding]:
        """The open positions those fills leave, with their average cost (ledger.py)."""
        return self._trade(now, market)[1].open_positions()

    def _trade(self, now: dt.datetime, market: Market | None) -> tuple[list[Fill], Ledger]:
        market = market or default_market
        local = now.astimezone(NEW_YORK)
        day = local.date()
        nyse = exchange("XNYS")
        if nyse.trades_on(day) and local.time() < (nyse.early_close(day) or nyse.regular_close):
            day -= dt.timedelta(days=1)
        depth = max((s.daysAgo for s in self.fillPlans), default=0) + 1
        days = trading_days_back(day, depth)[::-1]
        contracts = {d: self.contracts(d) for d in days}
        out: list[Fill] = []
        ledger = Ledger()
        # per order: shares, value and commission so far
        orders: dict[int, tuple[float, float, float]] = {}
        plans = [p for p in self.fillPlans if p.daysAgo < len(days)]
        sizes: Counter[int] = Counter()
        for plan in plans:
            sizes[plan.permId] += plan.shares
        for n, plan in enumerate(sorted(plans, key=lambda s: (-s.daysAgo, s.clock))):
            when = _placed(days[plan.daysAgo], plan.clock)
            contract = contracts[days[plan.daysAgo]][plan.contract]
            price = market.price_at(contract, when) if self.has_data(contract) else None
            price = plan.price if price is None else contract.to_tick(price)
            qty, value, paid = orders.get(plan.permId, (0.0, 0.0, 0.0))
            qty, value = qty + plan.shares, value + plan.shares * price
            fee = part_fee(contract, plan.shares, qty, value * multiplier(contract), paid, qty >= sizes[plan.permId])
            orders[plan.permId] = (qty, value, paid + fee)
            realized = ledger.trade(contract, plan.side, plan.shares, price)
            stated = plan.commission is not None
            out.append(Fill(
                contract=contract,
                execId=f"0000e0d5.{plan.permId:08x}.{when:%y%m%d}.{n + 1:02d}",
                time=when, orderId=plan.orderId, permId=plan.permId, clientId=plan.clientId,
                side=plan.side, shares=plan.shares, price=price, cumQty=qty,
                avgPrice=round(value / qty, 6),
                commission=plan.commission if stated else fee,
                realizedPNL=plan.realizedPNL if stated else realized,
                exchange=plan.exchange, lastLiquidity=plan.lastLiquidity, account=self.accounts[0],
            ))
        return out, ledger

    def contracts(self, today: dt.date) -> dict[str, Instrument]:
        """Fill contracts by key: stock symbols, futures roots (front month), options as SYMBOL_<right><strike>."""
        out = {s.symbol: s for s in self.stocks}
        for root in self.futures:
            out[root.symbol] = root.months(today)[0]
        for o in self.options:
            out[f"{o.symbol}_{o.right}{o.strike:g}"] = o
        return out


def _placed(day: dt.date, clock: str) -> dt.datetime:
    """A plan's time of day on `day`; on a day the exchange closes early, the regular session's
    times are drawn in to fit before the early close, keeping their order."""
    when = dt.datetime.combine(day, dt.time.fromisoformat(clock), NEW_YORK)
    close = exchange("XNYS").early_close(day)
    start, end = (dt.datetime.combine(day, t, NEW_YORK) for t in (REGULAR_OPEN, REGULAR_CLOSE))
    if close is None or when <= start:
        return when
    short = dt.datetime.combine(day, close, NEW_YORK)
    return (start + (min(when, end) - start) * ((short - start) / (end - start))).replace(microsecond=0)
