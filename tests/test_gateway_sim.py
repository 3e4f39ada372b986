"""The gateway simulator driven by the real ib_async client over a loopback socket."""

import asyncio
import datetime as dt
import os
import signal
import struct
import subprocess
import sys
from zoneinfo import ZoneInfo

import pytest
import pytest_asyncio
from hypothesis import HealthCheck, given, settings, strategies as st
from ib_async import IB, ContFuture, ExecutionFilter, Future, Stock

from clock import at
from korvanta.gateway.limits import PacingRules, Rule
from korvanta.sim import Book, Fault, GatewaySim
from korvanta.sim.account import SAMPLE
from korvanta.sim.fields import GatewayError
from korvanta.sim.framing import encode, read_message
from korvanta.sim.requests import HANDLERS
from korvanta.sim.session import MAX_SERVER_VERSION, MIN_SERVER_VERSION, Session, negotiate

# Wednesday 2 December 2026, 17:00 in New York: after the close, inside the extended session.
NOW = dt.datetime(2026, 12, 2, 22, 0, tzinfo=dt.UTC)
NY = ZoneInfo("America/New_York")
CHICAGO = ZoneInfo("America/Chicago")
AAPL = Stock("AAPL", "SMART", "USD")
ES_DEC = Future("ES", "202612", "CME")


@pytest_asyncio.fixture
async def sim():
    # the eight hand-written fills, whose money the executions checks below state; the plain
    # client does not pace its requests (pacing has tests of its own)
    async with GatewaySim(Book(fillPlans=SAMPLE), clock=lambda: NOW, pacing=None) as server:
        yield server


async def connected(sim, clientId=1) -> IB:
    client = IB()
    await client.connectAsync("127.0.0.1", sim.port, clientId=clientId, timeout=3)
    return client


@pytest_asyncio.fixture
async def ib(sim):
    client = await connected(sim)
    yield client
    client.disconnect()


async def history(ib, contract=AAPL, end="", duration="1 D", size="5 mins", what="TRADES", rth=False, timeout=5,
                  keep=False):
    # a plain list: BarDataList compares by identity
    return list(await ib.reqHistoricalDataAsync(contract, end, duration, size, what, rth, formatDate=2,
                                                keepUpToDate=keep, timeout=timeout))


def timeout_for(code: int) -> float:
    """The client timeout a request refused with `code` needs: ib_async takes 321 for a warning and
    leaves the request open until its timeout; any other error ends it at once, so a long timeout
    costs nothing there and outlasts a loaded machine."""
    return 0.3 if code == 321 else 5


async def eventually(condition, seconds: float = 5.0) -> None:
    """Return once `condition()` holds, or after `seconds`: what follows checks it."""
    deadline = asyncio.get_running_loop().time() + seconds
    while not condition() and asyncio.get_running_loop().time() < deadline:
        await asyncio.sleep(0.02)


def errors_of(ib) -> list[int]:
    seen: list[int] = []
    ib.errorEvent += lambda reqId, code, text, contract: seen.append(code)
    return seen


def errors_with_ids(ib) -> list[tuple[int, int, str]]:
    seen: list[tuple[int, int, str]] = []
    ib.errorEvent += lambda reqId, code, text, contract: seen.append((reqId, code, text))
    return seen


class TestConnect:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("version", [MIN_SERVER_VERSION, 176, MAX_SERVER_VERSION],
                             ids=["oldest-layouts", "issuerId", "pendingPriceRevision"])
    async def test_startup_sync_completes_at_each_version(self, version):
        async with GatewaySim(clock=lambda: NOW, server_version=version) as sim:
            ib = await connected(sim)
            try:
                assert ib.client.serverVersion() == version
                assert ib.managedAccounts() == ["DU1234567"]
                # every startup request got its end marker, or connectAsync would have timed out on it
                for name in ("startApi", "positions", "openOrders", "completedOrders", "accountUpdates",
                             "accountUpdatesMulti", "executions"):
                    assert sim.requests[name] == 1, name
                assert ib.accountValues()
                assert len(ib.fills()) == len(sim.book.fillPlans)
            finally:
                ib.disconnect()

    @pytest.mark.asyncio
    async def test_client_id_in_use_is_refused(self, sim, ib):
        second = IB()
        with pytest.raises((ConnectionError, TimeoutError)):
            await second.connectAsync("127.0.0.1", sim.port, clientId=1, timeout=0.5)
        assert not second.isConnected()
        assert ib.isConnected()


    @pytest.mark.parametrize("offer, version", [
        ("v100..187", MAX_SERVER_VERSION),
        ("v100..187 +PACEAPI", MAX_SERVER_VERSION),
        ("v170", 170),
        ("v100..165", None),
        ("100..187", None),
        ("v" + "9" * 5000, None),
        ("v170..1" + "8" * 5000, None),
        ("v\u0661\u0667\u0660", None),
    ], ids=["range", "with-options", "one-version", "too-old", "no-v", "5000-digits", "5000-digit-maximum",
            "arabic-digits"])
    def test_version_offer(self, offer, version):
        assert negotiate(offer) == version

    @pytest.mark.asyncio
    async def test_an_offer_it_cannot_meet_is_hung_up_on_in_one_short_line(self, sim, caplog):
        offer = b"v" + b"9" * 5000
        reader, writer = await asyncio.open_connection("127.0.0.1", sim.port)
        writer.write(b"API\0" + struct.pack(">I", len(offer)) + offer)
        try:
            assert await asyncio.wait_for(reader.read(), 3) == b""
        finally:
            writer.close()
        [line] = [r.getMessage() for r in caplog.records if r.name.startswith(("korvanta.sim", "asyncio"))]
        assert line.startswith("no common server version for 'v999") and len(line) < 80


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

    def test_expiry_on_a_holiday_moves_to_the_trading_day_before(self):
        # the third Friday of March 2008 was Good Friday
        [front] = Book().futures[0].months(dt.date(2008, 3, 1))[:1]
        assert front.lastTradeDate == "20080320"

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
    async def test_format_date_1_gives_the_same_instants_in_exchange_time(self, ib):
        epoch = await history(ib, size="30 mins")
        text = await ib.reqHistoricalDataAsync(AAPL, "", "1 D", "30 mins", "TRADES", False, formatDate=1, timeout=5)
        assert [b.date for b in text] == [b.date for b in epoch]
        assert text[0].date.tzinfo.key == "US/Eastern"

    @pytest.mark.asyncio
    async def test_daily_bars_are_dates_of_trading_days(self, ib):
        bars = await history(ib, duration="350 D", size="1 day", rth=True)
        assert all(type(b.date) is dt.date and b.date.weekday() < 5 for b in bars)
        assert bars[-1].date == NOW.date()
        assert bars[0].date > NOW.date() - dt.timedelta(days=350)
        # 250 weekdays less ten exchange holidays, Christmas 2025 to Thanksgiving 2026
        assert len(bars) == 240

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
        ("2 D", "2 mins", [dt.date(2026, 12, 1), dt.date(2026, 12, 2)]),
        # Thursday 26 November is Thanksgiving
        ("1 W", "1 day", [dt.date(2026, 11, d) for d in (27, 30)] + [dt.date(2026, 12, 1), dt.date(2026, 12, 2)]),
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
            ib2 = await connected(other)
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
        pytest.param(AAPL, {"size": "1 day", "duration": "5 D", "keep": True}, 321, id="live-daily-bars"),
    ])
    async def test_refused_requests_end_empty_with_the_error(self, ib, contract, kwargs, code):
        codes = errors_of(ib)
        assert await history(ib, contract, **kwargs, timeout=timeout_for(code)) == []
        assert codes == [code]

    @pytest.mark.asyncio
    async def test_configured_no_data_symbol(self):
        async with GatewaySim(Book(noData=frozenset({"MSFT"})), clock=lambda: NOW) as sim:
            ib = await connected(sim, clientId=3)
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


    @pytest.mark.parametrize("day, ex_dates_after", [
        (dt.date(2026, 11, 10), 0), (dt.date(2026, 11, 9), 1), (dt.date(2026, 8, 10), 1), (dt.date(2026, 8, 7), 2),
        # 10 May 2026 is a Sunday: the ex-dividend day is the Monday after
        (dt.date(2026, 5, 11), 2), (dt.date(2026, 5, 8), 3),
    ], ids=["last-ex-day", "day-before-it", "earlier-ex-day", "day-before-that", "ex-day-moved-to-monday",
            "friday-before-it"])
    def test_adjustment_counts_the_ex_dividend_days_after_the_bar(self, day, ex_dates_after):
        sim = GatewaySim(clock=lambda: NOW)
        aapl = sim.book.contracts(NOW.date())["AAPL"]
        closes = [{b.start: b.close for b in sim.bars.bars(aapl, endDateTime="", durationStr="1 Y", barSizeSetting="1 day",
                                                           whatToShow=what, useRTH=True, now=NOW)}
                  for what in ("TRADES", "ADJUSTED_LAST")]
        # prices are on the cent grid: equal to a few parts in 100,000
        assert closes[1][day] / closes[0][day] == pytest.approx((1 - aapl.dividend) ** ex_dates_after, rel=5e-5)


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
        assert parts[-1].avgPrice == pytest.approx((60 * parts[0].price + 40 * parts[1].price) / 100)

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


class TestPacing:
    """The gateway's pacing rules, shrunk: two requests in 0.4 s, two for one contract in 0.4 s, none
    identical within 0.4 s; counted per connection."""

    RULES = PacingRules(Rule(2, 0.4), Rule(2, 0.4), Rule(1, 0.4))
    MSFT = Stock("MSFT", "SMART", "USD")

    @pytest.mark.asyncio
    @pytest.mark.parametrize("asked, refused", [
        pytest.param([(AAPL, "1 D"), (AAPL, "1 D")], [False, True], id="identical"),
        pytest.param([(AAPL, "1 D"), (AAPL, "2 D"), (MSFT, "1 D")], [False, False, True], id="overall"),
        pytest.param([(AAPL, "1 D"), (MSFT, "1 D"), None, (AAPL, "1 D"), (AAPL, "2 D")], [False, False, False, False],
                     id="again-after-the-window"),
    ])
    async def test_a_request_breaking_a_rule_is_refused_with_162(self, asked, refused):
        async with GatewaySim(clock=lambda: NOW, pacing=self.RULES) as sim:
            ib = await connected(sim)
            try:
                errors = errors_with_ids(ib)
                got = []
                for ask in asked:
                    if ask is None:
                        await asyncio.sleep(0.5)
                        continue
                    got.append(await history(ib, ask[0], duration=ask[1]) == [])
                assert got == refused
                assert {text for _, code, text in errors} <= {
                    "Historical Market Data Service error message:Historical data request pacing violation"}
            finally:
                ib.disconnect()

    @pytest.mark.asyncio
    async def test_each_connection_is_counted_on_its_own(self):
        async with GatewaySim(clock=lambda: NOW, pacing=self.RULES) as sim:
            first, second = await connected(sim), await connected(sim, clientId=2)
            try:
                assert await history(first) and await history(second)
            finally:
                first.disconnect()
                second.disconnect()


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
        await eventually(lambda: sim.requests["cancelHistoricalData"])
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


class TestLiveUpdates:
    """A request with keepUpToDate: the bar forming as it grows, each finished bar whole, then the next."""

    @pytest.mark.asyncio
    @at("regular-session")
    @pytest.mark.parametrize("size, seconds", [("1 min", 60), ("5 mins", 300)])
    async def test_the_forming_bar_grows_finishes_whole_and_the_next_begins(self, pinned_clock, size, seconds):
        start = dt.datetime(2026, 12, 8, 11, 0, tzinfo=NY)
        pinned_clock.move_to(start + dt.timedelta(seconds=seconds - 3))
        async with GatewaySim(pacing=None, update_interval=0.05) as sim:
            ib = await connected(sim, clientId=4)
            try:
                bars = await ib.reqHistoricalDataAsync(AAPL, "", "1 D", size, "TRADES", False, formatDate=2,
                                                       keepUpToDate=True, timeout=5)
                updates: list[tuple[bool, object]] = []
                bars.updateEvent += lambda b, new_bar: updates.append((new_bar, b[-1]))
                await eventually(lambda: len(updates) >= 3)
                pinned_clock.shift(4)
                await eventually(lambda: any(new for new, _ in updates))
                ib.cancelHistoricalData(bars)
                await eventually(lambda: sim.requests["cancelHistoricalData"] == 1)
                heard = len(updates)
                await asyncio.sleep(0.3)
            finally:
                ib.disconnect()
        assert len(updates) == heard, "updates after the cancel"
        forming = [bar for new, bar in updates if not new and ny(bar) == start]
        assert [ny(bar) for new, bar in updates if new][:1] == [start + dt.timedelta(seconds=seconds)]
        assert all(a.volume <= b.volume and a.high <= b.high and a.low >= b.low for a, b in zip(forming, forming[1:]))
        # the last word on a finished bar is the bar as any later request has it
        whole = await self.bar_at(start + dt.timedelta(seconds=seconds + 30), size, start)
        assert forming[-1] == whole

    @staticmethod
    async def bar_at(now: dt.datetime, size: str, start: dt.datetime):
        async with GatewaySim(clock=lambda: now, pacing=None) as sim:
            ib = await connected(sim, clientId=5)
            try:
                return next(bar for bar in await history(ib, size=size) if ny(bar) == start)
            finally:
                ib.disconnect()


def test_command_line_serves_until_interrupted():
    from test_gateway_e2e import FAKES  # its clock pinned to the test's

    proc = subprocess.Popen([sys.executable, "-m", "korvanta.sim", "--port", "0", "--lifetime", "20"],
                            stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": str(FAKES)})
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


class TestCalendar:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("holiday", [dt.date(2025, 12, 25), dt.date(2025, 11, 27), dt.date(2026, 4, 3),
                                         dt.date(2026, 7, 3)],
                             ids=["christmas", "thanksgiving", "good-friday", "independence-day-observed"])
    async def test_no_bars_on_a_holiday(self, ib, holiday):
        end = f"{holiday + dt.timedelta(days=7):%Y%m%d} 23:00:00 US/Eastern"
        daily = await history(ib, end=end, duration="3 W", size="1 day", rth=True)
        weekly = await history(ib, end=end, duration="3 W", size="1 week", rth=True)
        hourly = await history(ib, end=end, duration="3 W", size="1 hour")
        assert len(daily) >= 12 and holiday not in [b.date for b in daily]
        assert holiday not in {ny(b).date() for b in hourly}
        # a weekly bar is its week's daily bars taken together, dated by the first of them
        assert len(weekly) in (3, 4)
        for week in weekly:
            days = [b for b in daily if b.date.isocalendar()[:2] == week.date.isocalendar()[:2]]
            assert (week.date, week.open, week.close) == (days[0].date, days[0].open, days[-1].close)
            assert (week.high, week.low) == (max(b.high for b in days), min(b.low for b in days))

    @pytest.mark.asyncio
    @pytest.mark.parametrize("contract, rth, last_bar", [
        pytest.param(AAPL, True, dt.datetime(2026, 11, 27, 12, 30, tzinfo=NY), id="stock-regular-13:00"),
        pytest.param(AAPL, False, dt.datetime(2026, 11, 27, 16, 30, tzinfo=NY), id="stock-extended-17:00"),
        pytest.param(ES_DEC, False, dt.datetime(2026, 11, 27, 11, 30, tzinfo=CHICAGO), id="globex-12:00-chicago"),
        pytest.param(ES_DEC, True, dt.datetime(2026, 11, 27, 11, 30, tzinfo=CHICAGO), id="pit-12:00-chicago"),
    ])
    async def test_early_close_ends_the_session_early(self, ib, contract, rth, last_bar):
        bars = await history(ib, contract, end="20261127 23:00:00 US/Eastern", size="30 mins", rth=rth)
        assert bars[-1].date == last_bar

    @pytest.mark.asyncio
    async def test_trading_hours_show_holidays_and_early_closes(self):
        async with GatewaySim(clock=lambda: dt.datetime(2026, 12, 21, 15, tzinfo=dt.UTC)) as sim:
            ib = await connected(sim)
            try:
                [details] = await ib.reqContractDetailsAsync(AAPL)
            finally:
                ib.disconnect()
        assert "20261225:CLOSED" in details.tradingHours.split(";")
        assert "20261224:0930-20261224:1300" in details.liquidHours.split(";")
        assert "20261224:0400-20261224:1700" in details.tradingHours.split(";")


def bar_at(bars, minute: dt.datetime):
    return next((b for b in bars if b.date == minute), None)


class TestFillsInsideBars:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("clock", [
        NOW,
        # 18:00 New York on the day after Thanksgiving, closed at 13:00: the day's fills drawn in before it
        dt.datetime(2026, 11, 27, 23, 0, tzinfo=dt.UTC),
        dt.datetime(2026, 7, 6, 21, 0, tzinfo=dt.UTC),
    ], ids=["ordinary-days", "early-close", "after-a-holiday"])
    async def test_each_fill_lies_in_its_minute_and_its_day(self, clock):
        async with GatewaySim(Book(fillPlans=SAMPLE), clock=lambda: clock, pacing=None) as sim:
            ib = await connected(sim)
            try:
                fills = ib.fills()
                assert len(fills) == 8
                for fill in fills:
                    await self.check(ib, fill)
            finally:
                ib.disconnect()

    async def check(self, ib, fill):
        contract, price = fill.contract, fill.execution.price
        minute = fill.time.replace(second=0)
        just_after = f"{minute + dt.timedelta(minutes=1):%Y%m%d-%H:%M:%S}"
        day = (fill.time + dt.timedelta(hours=6)).astimezone(CHICAGO).date() if contract.secType == "FUT" \
            else fill.time.astimezone(NY).date()
        whole = (await history(ib, contract, end=f"{day:%Y%m%d}", duration="1 D", size="1 day"))
        [day_bar] = [b for b in whole if b.date == day]
        assert day_bar.low <= price <= day_bar.high
        # every fill falls in regular hours, drawn in before an early close
        for rth in (False, True):
            in_minute = bar_at(await history(ib, contract, end=just_after, size="1 min", rth=rth), minute)
            assert in_minute is not None and in_minute.low <= price <= in_minute.high
        regular = await history(ib, contract, end=f"{day:%Y%m%d}", duration="1 D", size="1 day", rth=True)
        [regular_day] = [b for b in regular if b.date == day]
        assert regular_day.low <= price <= regular_day.high

    @pytest.mark.parametrize("size, rth", [("5 mins", False), ("1 hour", True), ("1 hour", False), ("1 day", True),
                                           ("1 day", False)])
    def test_bar_sizes_are_cut_from_the_same_minutes(self, size, rth):
        sim = GatewaySim(clock=lambda: NOW)
        aapl = sim.book.contracts(NOW.date())["AAPL"]

        def request(size_):
            # three sessions of minutes: more than one answer holds
            return sim.bars.bars(aapl, endDateTime="", durationStr="3 D", barSizeSetting=size_,
                                 whatToShow="TRADES", useRTH=rth, now=NOW, capped=False)

        minutes, bars = request("1 min"), request(size)
        if size == "1 day":
            holder = {b.start: b for b in bars}
            groups = {}
            for m in minutes:
                groups.setdefault(holder[m.start.astimezone(NY).date()], []).append(m)
        else:
            groups = {b: [m for m in minutes if b.start <= m.start and (later is None or m.start < later.start)]
                      for b, later in zip(bars, [*bars[1:], None])}
        assert sum(len(g) for g in groups.values()) == len(minutes)
        for bar, inside in groups.items():
            assert (bar.open, bar.close) == (inside[0].open, inside[-1].close)
            assert (bar.high, bar.low) == (max(m.high for m in inside), min(m.low for m in inside))


class TestDurations:
    """The window table in korvanta/sim/durations.py, at 17:00 New York on Wednesday 2 December 2026."""

    @pytest.mark.parametrize("duration, size, rth, count, first, last", [
        ("60 S", "1 min", False, 1, "12-02 16:59", "12-02 16:59"),
        ("3600 S", "5 mins", False, 12, "12-02 16:00", "12-02 16:55"),
        ("2 S", "1 day", True, 1, "12-02", "12-02"),
        ("86401 S", "1 day", True, 2, "12-01", "12-02"),
        # the extended session until the clock: 04:00 to 16:00
        ("1 D", "1 hour", False, 13, "12-02 04:00", "12-02 16:00"),
        # three sessions of seven regular-hours bars, the first cut by the 09:30 open
        ("3 D", "1 hour", True, 21, "11-30 09:30", "12-02 15:00"),
        ("31 D", "8 hours", False, 62, "10-20 04:00", "12-02 12:00"),
        # calendar days 26 November (Thanksgiving) to 2 December; the 27th closes at 13:00
        ("1 W", "1 hour", True, 4 + 3 * 7, "11-27 09:30", "12-02 15:00"),
        ("1 W", "1 week", True, 2, "11-27", "11-30"),
        ("2 W", "1 week", True, 3, "11-19", "11-30"),
        ("1 M", "1 day", True, 21, "11-03", "12-02"),
        ("1 M", "30 mins", True, 21 * 13 - 6, "11-03 09:30", "12-02 15:30"),
        ("1 Y", "1 month", True, 13, "12-03", "12-01"),
        # cut where the walks start, however large N is
        ("2147483647 D", "1 day", True, 3751, "01-03", "12-02"),
        ("2147483647 Y", "1 month", True, 180, "01-03", "12-01"),
    ])
    def test_window(self, duration, size, rth, count, first, last):
        bars = self.request(duration, size, rth)

        def shown(b):
            return f"{b.start.astimezone(NY):%m-%d %H:%M}" if isinstance(b.start, dt.datetime) else f"{b.start:%m-%d}"

        assert (len(bars), shown(bars[0]), shown(bars[-1])) == (count, first, last)

    @pytest.mark.parametrize("duration, size, code", [
        ("32 D", "8 hours", 162),
        ("2 D", "1 min", 162),
        ("86401 S", "1 min", 162),
        ("8 D", "5 mins", 162),
        ("2 Y", "8 hours", 162),
        ("0 D", "1 day", 321),
        ("-1 D", "1 day", 321),
        ("1 d", "1 day", 321),
        ("1D", "1 day", 321),
        ("2147483648 D", "1 day", 321),
        ("100000000000000000000 D", "1 day", 321),
        ("\u0661 D", "1 day", 321),
    ], ids=["hours>1M", "minutes>1D", "seconds>1D", "5-minutes>1W", "years-of-hours", "zero", "negative", "lower-case-unit", "no-space", "past-int32",
            "10**20", "arabic-digit"])
    def test_refused(self, duration, size, code):
        with pytest.raises(GatewayError) as e:
            self.request(duration, size, False)
        assert e.value.code == code

    def request(self, duration, size, rth):
        sim = GatewaySim(clock=lambda: NOW)
        aapl = sim.book.contracts(NOW.date())["AAPL"]
        return sim.bars.bars(aapl, endDateTime="", durationStr=duration, barSizeSetting=size,
                             whatToShow="TRADES", useRTH=rth, now=NOW)


# ---- requests the simulator cannot serve

CONTRACT = ["265598", "AAPL", "STK", "", "0", "", "", "SMART", "", "USD", "", ""]


def historical(reqId="7", end="", size="1 day", duration="5 D", what="TRADES", fmt="2", rth="1", contract=CONTRACT):
    return ["20", reqId, *contract, "0", end, size, duration, rth, what, fmt, "0", ""]


class RawClient:
    """The client's side of the socket by hand: handshake, startApi, then any fields at all."""

    async def open(self, port: int) -> "RawClient":
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", port)
        self.writer.write(b"API\0" + struct.pack(">I", 9) + b"v100..187")
        await asyncio.wait_for(read_message(self.reader), 3)
        self.send(["71", "2", "9", ""])
        await self.until(lambda m: m[0] == "9")
        return self

    def send(self, fields) -> None:
        self.writer.write(encode(fields))

    async def until(self, done) -> list[list[str]]:
        seen = []
        while not seen or not done(seen[-1]):
            seen.append(await asyncio.wait_for(read_message(self.reader), 3))
        return seen

    async def errors_then_alive(self, fields) -> list[tuple[str, str]]:
        """(reqId, code) of the errors the request draws; currentTime after it proves the session lives."""
        self.send(fields)
        self.send(["49", "1"])
        seen = await self.until(lambda m: m[0] == "49")
        return [(m[2], m[3]) for m in seen if m[0] == "4"]


@pytest_asyncio.fixture
async def raw(sim):
    client = await RawClient().open(sim.port)
    yield client
    client.writer.close()


class TestHostileRequests:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("fields, answer", [
        pytest.param(historical(duration="100000000000000000000 D"), ("7", "321"), id="count-10**20"),
        pytest.param(historical(duration="2147483647 W", size="1 min"), ("7", "162"), id="weeks-past-any-date"),
        pytest.param(historical(end="99991231"), None, id="end-9999-is-now"),
        pytest.param(historical(end="00010101 00:00:00 Asia/Tokyo"), ("7", "162"), id="end-year-1"),
        pytest.param(historical(end="20261201 10:00:00 " + "A" * 5000), ("7", "10314"), id="zone-5000-chars"),
        pytest.param(historical(size="1 \u00e9on"), ("7", "321"), id="non-ascii-bar-size"),
        pytest.param(historical(what="x" * 100_000), ("7", "321"), id="100k-what-to-show"),
        pytest.param(historical(fmt="abc"), ("7", "320"), id="format-not-a-number"),
        pytest.param(historical(rth=""), None, id="empty-use-rth"),
        pytest.param(historical(reqId=str(10**20)), ("-1", "320"), id="request-id-10**20"),
        pytest.param(historical()[:9], ("7", "320"), id="cut-short"),
        pytest.param(["9", "8", "6", "0", "AAPL", "OPT", "", "1e999", "", "", "SMART", "", "USD", "", "", "0", "", ""],
                     ("6", "320"), id="strike-infinite"),
        pytest.param(["7", "3", "5", "0", "", "20261201 10:00:00 Mars/Olympus", "", "", "", ""], ("5", "321"),
                     id="execution-zone"),
        pytest.param(["76", "1", "\u0661"], ("-1", "320"), id="arabic-digit-request-id"),
        pytest.param(["20"], ("-1", "320"), id="message-id-only"),
    ])
    async def test_raw_request_draws_an_error_and_the_session_lives(self, sim, raw, fields, answer):
        errors = await raw.errors_then_alive(fields)
        assert [e for e in errors if e[1] != "2104" and e[1] != "2106" and e[1] != "2158"] == \
            ([answer] if answer else [])
        assert sim.requests["currentTime"] == 1

    @pytest.mark.asyncio
    @pytest.mark.parametrize("kwargs, code", [
        pytest.param({"duration": "100000000000000000000 D"}, 321, id="count-10**20"),
        pytest.param({"end": "00010101 00:00:00 UTC"}, 162, id="end-year-1"),
        pytest.param({"size": "\u4e00 day"}, 321, id="non-ascii-bar-size"),
    ])
    async def test_through_the_client_the_request_ends_and_the_next_one_works(self, ib, kwargs, code):
        seen = errors_with_ids(ib)
        assert await history(ib, **kwargs, timeout=timeout_for(code)) == []
        assert [(c, r > 0) for r, c, _ in seen] == [(code, True)]
        assert ib.isConnected()
        assert len(await history(ib)) == 156

    @pytest.mark.asyncio
    async def test_adjusted_last_with_an_end_date_is_refused_for_that_request(self, ib):
        seen = errors_with_ids(ib)
        sent, send = [], ib.client.reqHistoricalData
        ib.client.reqHistoricalData = lambda reqId, *rest: (sent.append(reqId), send(reqId, *rest))
        assert await history(ib, end="20261120 16:00:00 US/Eastern", what="ADJUSTED_LAST", timeout=0.3) == []
        assert seen == [(sent[0], 321, "Error validating request.-'bP' : cause - "
                                       "End date not supported with adjusted last")]

    @pytest.mark.asyncio
    async def test_bad_execution_filter_still_ends_the_request(self, ib):
        seen = errors_with_ids(ib)
        assert await asyncio.wait_for(ib.reqExecutionsAsync(ExecutionFilter(time="yesterday")), 3) == []
        assert [code for _, code, _ in seen] == [321]


class TestUnservedRequests:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("call, code", [
        pytest.param(lambda ib: ib.reqHeadTimeStampAsync(AAPL, "TRADES", True, 2), 162, id="head-time-stamp"),
        pytest.param(lambda ib: ib.reqHistoricalTicksAsync(AAPL, "", "20261201 16:00:00", 100, "TRADES", True),
                     162, id="historical-ticks"),
        pytest.param(lambda ib: ib.reqFundamentalDataAsync(AAPL, "ReportSnapshot"), 430, id="fundamentals"),
        pytest.param(lambda ib: ib.reqSecDefOptParamsAsync("AAPL", "", "STK", 265598), 200, id="option-chain"),
    ])
    async def test_the_call_ends_with_the_error(self, ib, call, code):
        seen = errors_with_ids(ib)
        await asyncio.wait_for(call(ib), 3)
        assert [c for _, c, _ in seen] == [code]
        assert ib.isConnected()

    @pytest.mark.asyncio
    async def test_market_data_is_not_subscribed(self, ib):
        seen = errors_with_ids(ib)
        ib.reqMktData(Stock("AAPL", "SMART", "USD", conId=265598))
        await eventually(lambda: seen)
        assert [c for _, c, _ in seen] == [354]

    @pytest.mark.asyncio
    async def test_an_order_is_rejected(self, ib):
        from ib_async import LimitOrder

        trade = ib.placeOrder(AAPL, LimitOrder("BUY", 1, 100.0))
        await asyncio.wait_for(trade.cancelledEvent, 3)
        assert trade.log[-1].errorCode == 201


def _templates() -> dict[int, list[str]]:
    """A well-formed request per handled message id, as ib_async lays it out."""
    contract = CONTRACT
    return {
        71: ["71", "2", "3", ""],
        20: historical(size="1 hour", duration="2 D"),
        25: ["25", "1", "7"],
        9: ["9", "8", "7", *contract, "0", "", "", ""],
        7: ["7", "3", "7", "0", "", "20261201 00:00:00 US/Eastern", "AAPL", "STK", "", "BUY"],
        61: ["61", "1"],
        5: ["5", "1"],
        99: ["99", "0"],
        6: ["6", "2", "1", ""],
        76: ["76", "1", "7", "DU1234567", "", "1"],
        49: ["49", "1"],
        15: ["15", "1", "1"],
        64: ["64", "1"],
        77: ["77", "1", "7"],
        # the unserved requests read nothing but their id
        **{n: [str(n), "7", "7", *contract] for n in (1, 10, 50, 54, 55, 52, 3)},
        **{n: [str(n), "7", *contract] for n in (97, 87, 88, 96, 78)},
    }


HOSTILE = st.one_of(
    st.sampled_from(["", "0", "-1", str(2**31), str(10**20), "-" + str(10**20), "nan", "inf", "Infinite", "1e400",
                     "\u0661\u0662", "\uff11", "0x10", "1_000", " 7", "\u202e", "x" * 5000, "99991231 23:59:59",
                     "00010101 00:00:00", "20261201 10:00:00 ../etc", "20261201-25:00:00", "2147483647 Y",
                     "2147483647 S", "1 min", "8 hours", "1 month", "ADJUSTED_LAST", "BID", "CONTFUT", "FUT", "OPT",
                     "BAG", "ES", "NODATA", "CME", "EUR"]),
    st.text(max_size=20),
)


class TestFuzzedHandlers:
    """Hostile fields in every handler: each request draws its answer or a deliberate error, never a crash."""

    class Writer:
        def __init__(self):
            self.data = bytearray()

        def write(self, data: bytes) -> None:
            self.data += data

        def close(self) -> None:
            pass

    @pytest.mark.parametrize("msg_id", sorted(_templates()))
    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(data=st.data())
    def test_handler(self, msg_id, data):
        fields = list(_templates()[msg_id])
        for at in data.draw(st.lists(st.integers(1, len(fields) - 1), min_size=1, max_size=4)):
            fields[at] = data.draw(HOSTILE)
        fields = fields[:data.draw(st.integers(1, len(fields)))] if data.draw(st.booleans()) else fields
        sim = GatewaySim(clock=lambda: NOW)
        session = Session(sim, None, self.Writer())
        session.version = MAX_SERVER_VERSION
        session.dispatch(fields)
        assert not session.closed
        codes = [m[3] for m in self.messages(session.writer.data) if m[0] == "4"]
        # 322 is the simulator failing; every other code is a refusal the request earned
        assert "322" not in codes

    def test_every_handler_has_a_template(self):
        assert set(_templates()) == set(HANDLERS)

    @staticmethod
    def messages(data: bytes) -> list[list[str]]:
        out = []
        while data:
            (size,) = struct.unpack(">I", data[:4])
            out.append(data[4:4 + size].decode().split("\0")[:-1])
            data = data[4 + size:]
        return out


class TestWithoutTheCalendarPackage:
    BLOCKED = "import sys; sys.modules['exchange_calendars'] = None; "

    def test_command_line_names_the_extra_and_exits_1(self):
        done = subprocess.run([sys.executable, "-c", self.BLOCKED + "import runpy; "
                               "runpy.run_module('korvanta.sim', run_name='__main__')", "--port", "0"],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 1
        assert done.stderr.splitlines() == ["korvanta.sim needs exchange-calendars: pip install 'korvanta[sim]'"]

    def test_gateway_sim_raises_import_error_naming_the_extra(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "exchange_calendars", None)
        with pytest.raises(ImportError, match=r"pip install 'korvanta\[sim\]'"):
            GatewaySim()
