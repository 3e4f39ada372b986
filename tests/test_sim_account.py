"""The simulator's generated account (its shape and its money) and the stocks it makes up for any plausible symbol."""

import collections
import datetime as dt

import pytest
from ib_async import IB, Contract, Stock

from korvanta.sim import Book, GatewaySim, Instrument
from korvanta.sim.ledger import multiplier, order_fee
from korvanta.sim.requests import ContractQuery
from korvanta.sim.symbols import RESERVED

from clock import SWEEP

NOW = dt.datetime(2026, 12, 2, 22, 0, tzinfo=dt.UTC)
WATCHLIST = ("AMD NVDA GOOGL AMZN META NFLX INTC CSCO ORCL IBM QCOM TXN AVGO ADBE CRM PYPL UBER LYFT SNAP PINS "
             "SHOP SQ ROKU ZM DOCU TWLO NET DDOG CRWD OKTA MDB SNOW PLTR COIN HOOD RIVN LCID F GM T VZ KO PEP "
             "WMT COST HD LOW NKE DIS BA").split()


async def connected(sim: GatewaySim, clientId: int = 1) -> IB:
    ib = IB()
    await ib.connectAsync("127.0.0.1", sim.port, clientId=clientId, timeout=5)
    return ib


def signed(fill) -> float:
    return fill.shares if fill.side == "BOT" else -fill.shares


class TestAccount:
    def test_weeks_of_fills_over_stocks_a_future_and_an_option(self):
        fills = Book().fills(NOW)
        assert len({f.time.date() for f in fills}) >= 20 and len(fills) >= 200
        assert {"STK", "FUT", "OPT"} <= {f.contract.secType for f in fills}
        assert len({f.contract.symbol for f in fills}) >= 5
        realized = [f.realizedPNL for f in fills if f.realizedPNL]
        assert min(realized) < 0 < max(realized)
        parts = collections.Counter(f.permId for f in fills)
        assert max(parts.values()) >= 2
        assert Book().fills(NOW) == fills

    @pytest.mark.parametrize("secType, multiplier_, shares, price, fee", [
        ("STK", "", 100, 50.0, 1.00),  # the minimum
        ("STK", "", 1000, 50.0, 5.00),  # per share
        ("STK", "", 10, 5.0, 0.50),  # capped at 1% of the value
        ("FUT", "50", 2, 6800.0, 4.50),
        ("OPT", "100", 1, 5.0, 1.00),  # the minimum
        ("OPT", "100", 3, 5.0, 1.95),
    ], ids=["stock-minimum", "stock-per-share", "stock-cap", "future", "option-minimum", "option-per-contract"])
    def test_commission_schedule(self, secType, multiplier_, shares, price, fee):
        contract = Instrument(symbol="X", secType=secType, conId=1, exchange="SMART", price=price,
                              multiplier=multiplier_)
        assert order_fee(contract, shares, shares * price * multiplier(contract)) == pytest.approx(fee)

    @pytest.mark.parametrize("clock", [NOW, SWEEP["early-close"], SWEEP["new-year"]],
                             ids=["ordinary-days", "early-close", "new-year"])
    def test_money_adds_up(self, clock):
        """Each order pays the schedule once over its parts; each contract's realised P&L is its
        cash flow plus what its open position cost, as the average-cost method has it."""
        fills = Book().fills(clock)
        orders = collections.defaultdict(list)
        contracts = collections.defaultdict(list)
        for fill in fills:
            orders[fill.permId].append(fill)
            contracts[fill.contract.conId].append(fill)
        for parts in orders.values():
            last = parts[-1]
            value = sum(f.shares * f.price for f in parts) * multiplier(last.contract)
            assert sum(f.commission for f in parts) == pytest.approx(order_fee(last.contract, last.cumQty, value))
        held = {h.contract.conId: h for h in Book().positions(clock)}
        for conId, trades in contracts.items():
            m = multiplier(trades[0].contract)
            cash = -sum(signed(f) * f.price for f in trades) * m
            position = held.get(conId)
            worth = position.quantity * position.averageCost if position else 0.0
            assert sum(signed(f) for f in trades) == (position.quantity if position else 0)
            assert sum(f.realizedPNL or 0 for f in trades) == pytest.approx(cash + worth, abs=0.005 * len(trades))

    @pytest.mark.parametrize("clock", [NOW, SWEEP["early-close"], SWEEP["dst-end"]],
                             ids=["ordinary-days", "early-close", "after-a-dst-change"])
    def test_every_fill_lies_in_its_minute_bar(self, clock):
        sim = GatewaySim(clock=lambda: clock)
        for fill in sim.book.fills(clock):
            end = fill.time.replace(second=0) + dt.timedelta(minutes=1)
            [bar] = sim.bars.bars(fill.contract, endDateTime=f"{end.astimezone(dt.UTC):%Y%m%d-%H:%M:%S}",
                                  durationStr="60 S", barSizeSetting="1 min", whatToShow="TRADES", useRTH=True,
                                  now=clock)
            assert bar.low <= fill.price <= bar.high, fill

    @pytest.mark.asyncio
    async def test_the_gateway_reports_the_positions_the_fills_leave(self):
        async with GatewaySim(clock=lambda: NOW) as sim:
            ib = await connected(sim)
            try:
                reported = {p.contract.conId: (p.position, p.avgCost) for p in await ib.reqPositionsAsync()}
                fills = ib.fills()
            finally:
                ib.disconnect()
        held = collections.Counter()
        for fill in fills:
            held[fill.contract.conId] += fill.execution.shares * (1 if fill.execution.side == "BOT" else -1)
        assert reported.keys() == {conId for conId, quantity in held.items() if quantity}
        assert {conId: position for conId, (position, _) in reported.items()} == {k: v for k, v in held.items() if v}
        expected = {h.contract.conId: h.averageCost for h in sim.book.positions(NOW)}
        assert {conId: cost for conId, (_, cost) in reported.items()} == pytest.approx(expected)


class TestGeneratedSymbols:
    @pytest.mark.asyncio
    async def test_a_watchlist_of_fifty_resolves_and_each_id_finds_its_stock_again(self):
        async with GatewaySim(clock=lambda: NOW) as sim:
            ib = await connected(sim)
            try:
                found = {s: await ib.reqContractDetailsAsync(Stock(s, "SMART", "USD")) for s in WATCHLIST}
                ids = {s: details[0].contract.conId for s, details in found.items()}
                again = [await ib.reqContractDetailsAsync(Contract(conId=conId)) for conId in ids.values()]
            finally:
                ib.disconnect()
        assert len(set(ids.values())) == len(WATCHLIST) == 50
        assert [d[0].contract.symbol for d in again] == WATCHLIST
        assert {d[0].contract.primaryExchange for d in found.values()} <= {"NASDAQ", "NYSE", "ARCA"}

    @pytest.mark.asyncio
    async def test_the_same_name_gives_the_same_stock_and_bars(self):
        answers = []
        for _ in range(2):
            async with GatewaySim(clock=lambda: NOW) as sim:
                ib = await connected(sim)
                try:
                    [details] = await ib.reqContractDetailsAsync(Stock("QZX", "SMART", "USD"))
                    bars = await ib.reqHistoricalDataAsync(details.contract, "", "3 M", "1 day", "TRADES", True)
                    answers.append((details.contract, details.longName, list(bars)))
                finally:
                    ib.disconnect()
        assert answers[0] == answers[1]
        assert len(answers[0][2]) >= 60 and all(b.low <= b.close <= b.high and b.volume > 0 for b in answers[0][2])

    @pytest.mark.parametrize("symbol", [*sorted(RESERVED), "TOOLONG", "AB1", "BRK.B", ""])
    def test_reserved_and_implausible_names_stay_unknown(self, symbol):
        query = ContractQuery(0, symbol, "STK", "", 0.0, "", "", "SMART", "", "USD", "", "")
        assert Book().contract_details(query, NOW.date()) == []
