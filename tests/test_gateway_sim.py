"""The gateway simulator driven by the real ib_async client over a loopback socket."""

import asyncio
import datetime as dt
import signal
import subprocess
import sys
from zoneinfo import ZoneInfo

import pytest
import pytest_asyncio
from ib_async import IB, ContFuture, ExecutionFilter, Future, Stock

from korvanta.sim import Book, Fault, GatewaySim
from korvanta.sim.session import MAX_SERVER_VERSION, MIN_SERVER_VERSION

# Wednesday 2 December 2026, 17:00 in New York: after the close, inside the extended session.
NOW = dt.datetime(2026, 12, 2, 22, 0, tzinfo=dt.UTC)
NY = ZoneInfo("America/New_York")
AAPL = Stock("AAPL", "SMART", "USD")


@pytest_asyncio.fixture
async def sim():
    async with GatewaySim(clock=lambda: NOW) as server:
        yield server


@pytest_asyncio.fixture
async def ib(sim):
    client = IB()
    await client.connectAsync("127.0.0.1", sim.port, clientId=1, timeout=3)
    yield client
    client.disconnect()


async def history(ib, contract=AAPL, end="", duration="1 D", size="5 mins", what="TRADES", rth=False, timeout=5):
    # a plain list: BarDataList compares by identity
    return list(await ib.reqHistoricalDataAsync(contract, end, duration, size, what, rth, formatDate=2,
                                                timeout=timeout))


def errors_of(ib) -> list[int]:
    seen: list[int] = []
    ib.errorEvent += lambda reqId, code, text, contract: seen.append(code)
    return seen


class TestConnect:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("version", [MIN_SERVER_VERSION, 176, MAX_SERVER_VERSION],
                             ids=["oldest-layouts", "issuerId", "pendingPriceRevision"])
    async def test_startup_sync_completes_at_each_version(self, version):
        async with GatewaySim(clock=lambda: NOW, server_version=version) as sim:
            ib = IB()
            await ib.connectAsync("127.0.0.1", sim.port, clientId=1, timeout=3)
            try:
                assert ib.client.serverVersion() == version
                assert ib.managedAccounts() == ["DU1234567"]
                # every startup request got its end marker, or connectAsync would have timed out on it
                for name in ("startApi", "positions", "openOrders", "completedOrders", "accountUpdates",
                             "accountUpdatesMulti", "executions"):
                    assert sim.requests[name] == 1, name
                assert ib.accountValues()
                assert len(ib.fills()) == len(sim.book.fillSpecs)
            finally:
                ib.disconnect()

    @pytest.mark.asyncio
    async def test_client_id_in_use_is_refused(self, sim, ib):
        second = IB()
        with pytest.raises((ConnectionError, TimeoutError)):
            await second.connectAsync("127.0.0.1", sim.port, clientId=1, timeout=0.5)
        assert not second.isConnected()
        assert ib.isConnected()


class TestContractDetails:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("contract, expected", [
        pytest.param(AAPL, {"conId": 265598, "secType": "STK", "primaryExchange": "NASDAQ"}, id="stock"),
        pytest.param(ContFuture("ES"), {"secType": "CONTFUT", "localSymbol": "ESZ6",
                                        "lastTradeDateOrContractMonth": "20261218", "multiplier": "50"},
                     id="continuous-future"),
        pytest.param(Future("NQ", "202703", "CME"), {"secType": "FUT", "localSymbol": "NQH7"}, id="future-month"),
    ])
    async def test_resolves(self, ib, contract, expected):
        details = await ib.reqContractDetailsAsync(contract)
        assert len(details) == 1
        got = details[0].contract
        assert {k: getattr(got, k) for k in expected} == expected
        assert details[0].timeZoneId and details[0].tradingHours

    @pytest.mark.asyncio
    async def test_future_without_month_lists_the_quarterly_months(self, ib):
        details = await ib.reqContractDetailsAsync(Future("ES", exchange="CME"))
        assert [d.contract.localSymbol for d in details] == ["ESZ6", "ESH7", "ESM7", "ESU7"]

    @pytest.mark.asyncio
    async def test_qualify_fills_in_known_and_leaves_unknown(self, ib):
        codes = errors_of(ib)
        stock, unknown = await ib.qualifyContractsAsync(Stock("MSFT", "SMART", "USD"), Stock("NOSUCH", "SMART", "USD"))
        assert stock.conId == 272093
        assert unknown is None
        assert codes == [200]


def ny(bar) -> dt.datetime:
    return bar.date.astimezone(NY)


class TestHistoricalData:
    @pytest.mark.asyncio
    async def test_intraday_bars_are_aware_and_end_before_now(self, ib):
        bars = await history(ib)
        assert all(isinstance(b.date, dt.datetime) and b.date.tzinfo is not None for b in bars)
        steps = {(b.date - a.date).total_seconds() for a, b in zip(bars, bars[1:])}
        assert steps == {300.0}
        # the extended session opens at 04:00 and the clock stands at 17:00
        assert (ny(bars[0]).time(), ny(bars[-1]).time()) == (dt.time(4), dt.time(16, 55))
        assert all(b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high for b in bars)

    @pytest.mark.asyncio
    async def test_daily_bars_are_dates_of_trading_days(self, ib):
        bars = await history(ib, duration="350 D", size="1 day", rth=True)
        assert all(type(b.date) is dt.date and b.date.weekday() < 5 for b in bars)
        assert bars[-1].date == NOW.date()
        assert bars[0].date > NOW.date() - dt.timedelta(days=350)
        assert len(bars) == 250

    @pytest.mark.asyncio
    async def test_use_rth_keeps_regular_hours_with_the_same_prices(self, ib):
        regular = await history(ib, rth=True)
        extended = await history(ib, rth=False)
        assert (ny(regular[0]).time(), ny(regular[-1]).time(), len(regular)) == (dt.time(9, 30), dt.time(15, 55), 78)
        same_time = {b.date: b for b in extended}
        assert all(same_time[b.date] == b for b in regular)

    @pytest.mark.asyncio
    async def test_adjusted_prices_lie_below_trades_before_the_last_dividend(self, ib):
        trades = await history(ib, duration="1 Y", size="1 day", rth=True)
        adjusted = await history(ib, duration="1 Y", size="1 day", rth=True, what="ADJUSTED_LAST")
        assert [b.date for b in trades] == [b.date for b in adjusted]
        assert adjusted[0].close < trades[0].close
        # no ex-dividend day since 10 November 2026
        assert adjusted[-1] == trades[-1]

    @pytest.mark.asyncio
    @pytest.mark.parametrize("duration, size, days", [
        ("2 D", "1 min", [dt.date(2026, 12, 1), dt.date(2026, 12, 2)]),
        ("1 W", "1 day", [dt.date(2026, 11, d) for d in (26, 27, 30)] + [dt.date(2026, 12, 1), dt.date(2026, 12, 2)]),
    ], ids=["two-sessions", "one-week"])
    async def test_duration(self, ib, duration, size, days):
        bars = await history(ib, duration=duration, size=size)
        dates = sorted({b.date if type(b.date) is dt.date else ny(b).date() for b in bars})
        assert dates == days

    @pytest.mark.asyncio
    @pytest.mark.parametrize("end, last", [
        pytest.param(dt.date(2026, 11, 20), dt.date(2026, 11, 20), id="date"),
        pytest.param("20261128 12:00:00 US/Eastern", dt.date(2026, 11, 27), id="saturday-text"),
    ])
    async def test_end_date_time(self, ib, end, last):
        bars = await history(ib, end=end, duration="10 D", size="1 day", rth=True)
        assert bars[-1].date == last

    @pytest.mark.asyncio
    async def test_intraday_end_cuts_the_session(self, ib):
        bars = await history(ib, end="20261201 15:00:00 US/Eastern", size="15 mins", rth=True)
        assert ny(bars[-1]) == dt.datetime(2026, 12, 1, 14, 45, tzinfo=NY)

    @pytest.mark.asyncio
    async def test_same_request_same_bars_across_simulators(self, ib):
        first = await history(ib, size="1 hour")
        async with GatewaySim(clock=lambda: NOW) as other:
            ib2 = IB()
            await ib2.connectAsync("127.0.0.1", other.port, clientId=1, timeout=3)
            try:
                second = await history(ib2, size="1 hour")
            finally:
                ib2.disconnect()
        assert first == second

    @pytest.mark.asyncio
    @pytest.mark.parametrize("contract, kwargs, code", [
        pytest.param(Stock("NODATA", "SMART", "USD"), {}, 162, id="no-data-symbol"),
        pytest.param(Stock("NOSUCH", "SMART", "USD"), {}, 200, id="unknown-symbol"),
        pytest.param(AAPL, {"end": "20261120 16:00:00 US/Eastern", "what": "ADJUSTED_LAST"}, 321,
                     id="adjusted-with-end"),
        pytest.param(AAPL, {"duration": "3 days"}, 321, id="bad-duration"),
        pytest.param(AAPL, {"end": "20261120 25:00:00"}, 10314, id="bad-end"),
        pytest.param(AAPL, {"duration": "1 Y", "size": "1 min"}, 162, id="too-long"),
    ])
    async def test_refused_requests_end_empty_with_the_error(self, ib, contract, kwargs, code):
        codes = errors_of(ib)
        # ib_async takes 321 for a warning and leaves the request open until its timeout
        assert await history(ib, contract, **kwargs, timeout=0.5) == []
        assert codes == [code]

    @pytest.mark.asyncio
    async def test_configured_no_data_symbol(self):
        async with GatewaySim(Book(noData=frozenset({"MSFT"})), clock=lambda: NOW) as sim:
            ib = IB()
            await ib.connectAsync("127.0.0.1", sim.port, clientId=3, timeout=3)
            try:
                codes = errors_of(ib)
                assert await history(ib, Stock("MSFT", "SMART", "USD")) == []
                assert await history(ib) != []
                assert codes == [162]
            finally:
                ib.disconnect()

    @pytest.mark.asyncio
    async def test_each_request_is_counted(self, sim, ib):
        before = sim.requests["historicalData"]
        await history(ib)
        await history(ib, size="1 day", duration="5 D")
        assert sim.requests["historicalData"] == before + 2


class TestExecutions:
    @pytest.mark.asyncio
    async def test_fills_after_connect_carry_commission_reports(self, ib):
        fills = ib.fills()
        assert len(fills) == 8
        assert all(f.commissionReport.execId == f.execution.execId and f.commissionReport.commission > 0
                   for f in fills)
        days = {f.time.astimezone(NY).date() for f in fills}
        assert days == {dt.date(2026, 12, 1), dt.date(2026, 12, 2)}
        realized = {f.execution.execId[-2:]: f.commissionReport.realizedPNL for f in fills}
        assert realized["03"] == 212.4 and realized["01"] == 0.0

    @pytest.mark.asyncio
    async def test_partial_fills_of_one_order(self, ib):
        parts = [f.execution for f in ib.fills() if f.execution.permId == 900101]
        assert [(e.shares, e.cumQty) for e in parts] == [(60, 60), (40, 100)]
        assert parts[-1].avgPrice == pytest.approx((60 * 262.15 + 40 * 262.18) / 100)

    @pytest.mark.asyncio
    async def test_option_and_future_keep_their_multipliers(self, ib):
        by_type = {f.contract.secType: f.contract for f in ib.fills()}
        assert (by_type["OPT"].multiplier, by_type["OPT"].strike, by_type["OPT"].right) == ("100", 270.0, "C")
        assert by_type["FUT"].multiplier == "50"

    @pytest.mark.asyncio
    @pytest.mark.parametrize("flt, count", [
        (ExecutionFilter(), 8),
        (ExecutionFilter(symbol="AAPL"), 4),
        (ExecutionFilter(clientId=2), 2),
        (ExecutionFilter(side="SELL"), 3),
        (ExecutionFilter(time="20261202 00:00:00 US/Eastern"), 4),
    ], ids=["all", "symbol", "client", "side", "since"])
    async def test_filters(self, sim, ib, flt, count):
        fills = await ib.reqExecutionsAsync(flt)
        assert len(fills) == count
        assert sim.requests["executions"] == 2


class TestFaults:
    @pytest.mark.asyncio
    async def test_drop_during_a_request_disconnects_the_client(self, sim, ib):
        sim.inject(Fault.drop("historicalData"))
        with pytest.raises(ConnectionError):
            await history(ib)
        assert not ib.isConnected()

    @pytest.mark.asyncio
    async def test_delay_past_the_timeout_gives_empty_bars_and_no_late_answer(self, sim, ib):
        sim.inject(Fault.delay("historicalData", 0.6))
        assert await history(ib, timeout=0.2) == []
        # the client cancels after its timeout; the simulator then drops the late answer
        for _ in range(50):
            if sim.requests["cancelHistoricalData"]:
                break
            await asyncio.sleep(0.02)
        assert sim.requests["cancelHistoricalData"] == 1
        late = []
        ib.client.decoder.handlers[17] = late.append
        await asyncio.sleep(0.6)
        assert late == [] and ib.isConnected()

    @pytest.mark.asyncio
    async def test_delay_within_the_timeout_still_answers(self, sim, ib):
        sim.inject(Fault.delay("historicalData", 0.1))
        assert len(await history(ib)) == 156

    @pytest.mark.asyncio
    async def test_error_code_answers_once_for_the_symbol(self, sim, ib):
        sim.inject(Fault.error("historicalData", 10197, symbol="AAPL"))
        codes = errors_of(ib)
        assert await history(ib, Stock("MSFT", "SMART", "USD")) != []
        assert await history(ib) == []
        assert await history(ib) != []
        assert codes == [10197]

    @pytest.mark.asyncio
    async def test_standing_fault_until_cleared(self, sim, ib):
        sim.inject(Fault.error("contractDetails", 200, times=None))
        assert await ib.reqContractDetailsAsync(AAPL) == []
        assert await ib.reqContractDetailsAsync(AAPL) == []
        sim.clear_faults()
        assert len(await ib.reqContractDetailsAsync(AAPL)) == 1


def test_command_line_serves_until_interrupted():
    proc = subprocess.Popen([sys.executable, "-m", "korvanta.sim", "--port", "0", "--lifetime", "20"],
                            stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline().rsplit(":", 1)[1])

        async def probe():
            ib = IB()
            await ib.connectAsync("127.0.0.1", port, clientId=5, timeout=3)
            ib.disconnect()

        asyncio.run(probe())
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert proc.returncode == 0
    assert "startApi 1" in out
