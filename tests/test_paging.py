"""Historical requests through the runner's gateway client against the simulator, in this
process: paced by the gateway's rules (shrunk here, on both sides), and fetched in pages where
one answer cannot hold the window."""

import asyncio
import datetime as dt

import pytest
import pytest_asyncio
from ib_async import ContFuture, Stock

from clock import ny
from korvanta.gateway import limits
from korvanta.gateway.limits import PacingRules, Rule
from korvanta.runner.gateway import GatewayClient, GatewayError, GatewayUnanswered
from korvanta.runner.pacing import Ask, Pacer
from korvanta.sim import Fault, GatewaySim

pytestmark = [pytest.mark.e2e]

AAPL = Stock("AAPL", "SMART", "USD")
# Short windows, so that a burst waits fractions of a second; the client keeps a margin the
# simulator does not.
RULES = PacingRules(Rule(8, 1.0), Rule(3, 0.3), Rule(1, 0.5), margin=0.05)


@pytest.fixture
def rules(monkeypatch):
    monkeypatch.setattr(limits, "PACING", RULES)
    return RULES


@pytest_asyncio.fixture
async def gateway(rules, pinned_clock):
    # Tuesday 8 December 2026, 11:00 New York: ten sessions back reach past Thanksgiving.
    pinned_clock.move_to(ny(2026, 12, 8, 11, 0))
    now = dt.datetime.now(dt.UTC)
    async with GatewaySim(clock=lambda: now, pacing=PacingRules(*(RULES.overall, RULES.per_contract,
                                                                   RULES.identical))) as sim:
        yield sim


@pytest_asyncio.fixture
async def client(gateway):
    ib = GatewayClient()
    await ib.connectAsync("127.0.0.1", gateway.port, clientId=1)
    yield ib
    ib.disconnect()


def request(ib, contract=AAPL, duration="1 D", size="1 day", what="TRADES", rth=False, timeout=10):
    return ib.reqHistoricalDataAsync(contract, endDateTime="", durationStr=duration, barSizeSetting=size,
                                     whatToShow=what, useRTH=rth, formatDate=2, keepUpToDate=False, timeout=timeout)


def waits(logs) -> list[str]:
    return [m for level, m in logs if level == "INFO" and "for the gateway's pacing" in m]


class TestPacer:
    RULES = PacingRules(Rule(4, 10.0), Rule(2, 1.0), Rule(1, 5.0), margin=0.0)

    @pytest.mark.parametrize("asks, moments", [
        pytest.param([("A", 1), ("B", 2), ("C", 3), ("D", 4), ("E", 5)], [0, 0, 0, 0, 10], id="overall"),
        pytest.param([("A", 1), ("A", 2), ("A", 3)], [0, 0, 1], id="per-contract"),
        pytest.param([("A", 1), ("A", 1)], [0, 5], id="identical"),
        # the third waits for the contract rule; B does not wait behind it, D waits for the overall one
        pytest.param([("A", 1), ("A", 2), ("A", 3), ("B", 4), ("D", 5)], [0, 0, 1, 0, 10], id="no-queue-behind"),
    ])
    def test_each_request_gets_the_first_moment_the_rules_allow(self, monkeypatch, asks, moments):
        monkeypatch.setattr(limits, "PACING", self.RULES)
        pacer = Pacer()
        assert [pacer.reserve(Ask(c, (c, n)), now=0.0).at for c, n in asks] == moments

    def test_a_moment_given_back_is_free_again(self, monkeypatch):
        monkeypatch.setattr(limits, "PACING", self.RULES)
        pacer = Pacer()
        first = pacer.reserve(Ask("A", 1), now=0.0)
        pacer.release(first)
        assert pacer.reserve(Ask("A", 1), now=0.0).at == 0


@pytest.mark.asyncio
async def test_a_burst_is_spread_out_never_refused(gateway, client, logs):
    # more than the overall rule takes, four for one contract, and the same request twice
    asked = [("AAPL", f"{n} D") for n in range(1, 5)] + [("MSFT", "1 D")] * 2 + \
        [(s, f"{n} D") for s in ("TSLA", "SPY") for n in range(1, 4)]
    answers = await asyncio.gather(*(request(client, Stock(s, "SMART", "USD"), d) for s, d in asked))
    assert all(answers)
    assert gateway.requests["historicalData"] == len(asked)
    reasons = {m.split(": ", 1)[1] for m in waits(logs)}
    assert reasons == {"at most 3 requests for one contract in 0.3 s", "no identical request within 0.5 s",
                       "at most 8 historical-data requests in 1 s"}


class TestPages:
    @pytest.mark.asyncio
    @pytest.mark.parametrize("contract, duration, size, what, rth, pages", [
        # ten sessions: Thanksgiving, the early close after it, two weekends
        pytest.param(AAPL, "10 D", "1 min", "TRADES", False, 10, id="sessions"),
        pytest.param(ContFuture("ES", "CME"), "4 D", "1 min", "TRADES", False, 4, id="futures-evening-sessions"),
        pytest.param(AAPL, "3 W", "5 mins", "TRADES", False, 3, id="calendar-weeks"),
        pytest.param(AAPL, "2 M", "30 mins", "TRADES", True, 2, id="calendar-months"),
        # nights and the weekend are spans without bars, passed over
        pytest.param(AAPL, "300000 S", "1 min", "TRADES", False, 5, id="seconds"),
    ])
    async def test_pages_join_into_the_simulators_own_bars(self, gateway, client, logs, contract, duration, size,
                                                           what, rth, pages):
        bars = await request(client, contract, duration, size, what, rth)
        assert gateway.requests["historicalData"] == pages
        assert [(b.date, b.open, b.high, b.low, b.close, b.volume) for b in bars] == [
            (e.start, e.open, e.high, e.low, e.close, e.volume) for e in self.expected(gateway, contract, duration, size,
                                                                                     what, rth)]
        # every page after the fifth waited for the contract rule: said once
        assert len(waits(logs)) == (1 if pages > RULES.per_contract.requests else 0)

    @pytest.mark.asyncio
    async def test_adjusted_pages_follow_the_daily_adjustment(self, gateway, client):
        # 10 November 2026 is an ex-dividend day: bars before it are adjusted
        bars = await request(client, AAPL, "25 D", "5 mins", "ADJUSTED_LAST")
        expected = self.expected(gateway, AAPL, "25 D", "5 mins", "ADJUSTED_LAST", False)
        traded = self.expected(gateway, AAPL, "25 D", "5 mins", "TRADES", False)
        assert [b.date for b in bars] == [e.start for e in expected]
        assert max(abs(b.close - e.close) for b, e in zip(bars, expected)) <= 0.02
        assert bars[0].close < traded[0].close and bars[-1].close == expected[-1].close
        # four pages, then the adjusted and the traded daily bars
        assert gateway.requests["historicalData"] == 4 + 2

    @staticmethod
    def expected(gateway, contract, duration, size, what, rth):
        inst = gateway.book.contracts(gateway.now().date())[contract.symbol]
        return gateway.bars.bars(inst, endDateTime="", durationStr=duration, barSizeSetting=size, whatToShow=what,
                                 useRTH=rth, now=gateway.now(), capped=False)

    @pytest.mark.asyncio
    @pytest.mark.parametrize("fault, error, message", [
        (Fault.error("historicalData", 10197), GatewayError, "gateway error 10197"),
        (Fault.delay("historicalData", 5), GatewayUnanswered, "the gateway did not answer page 3 of 6 within 0.5 s"),
    ], ids=["refused", "unanswered"])
    async def test_a_page_that_fails_fails_the_whole_request(self, gateway, client, monkeypatch, fault, error,
                                                             message):
        answer = GatewayClient.answer

        def failing_third(self, request_, notice, page):
            if page and page.startswith("page 3 "):
                gateway.inject(fault)
            return answer(self, request_, notice, page)

        monkeypatch.setattr(GatewayClient, "answer", failing_third)
        with pytest.raises(error, match=message):
            await request(client, AAPL, "6 D", "1 min", timeout=0.5)
        if error is GatewayUnanswered:
            # the gateway is told to stop working on it
            for _ in range(100):
                if gateway.requests["cancelHistoricalData"]:
                    break
                await asyncio.sleep(0.02)
            assert gateway.requests["cancelHistoricalData"] == 1

    @pytest.mark.asyncio
    async def test_cancelled_between_pages_gives_nothing_and_stops_the_page_in_flight(self, gateway, client,
                                                                                     monkeypatch):
        answer = GatewayClient.answer
        third = asyncio.Event()

        async def slow_third(self, request_, notice, page):
            if page and page.startswith("page 3 "):
                gateway.inject(Fault.delay("historicalData", 5))
                third.set()
            return await answer(self, request_, notice, page)

        monkeypatch.setattr(GatewayClient, "answer", slow_third)
        fetch = asyncio.ensure_future(request(client, AAPL, "6 D", "1 min"))
        await asyncio.wait_for(third.wait(), 10)
        await asyncio.sleep(0.1)
        fetch.cancel()
        with pytest.raises(asyncio.CancelledError):
            await fetch
        await asyncio.sleep(0.1)
        assert gateway.requests["cancelHistoricalData"] == 1
