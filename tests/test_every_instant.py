"""The commands in this process against the gateway simulator, through the runner's client, at
every instant of the sweep: what they answer is what the simulator holds at that instant.

Latest N bars are N, the simulator's last N, in one request, a repeat answered from the bar cache
unless their newest bar was still forming; date ranges give the trading days they span, adjusted or not;
today's minutes, and intraday bars stored in exchange time; the executions' trading days and the
future's contracts the fills are in. A request larger than one answer arrives whole.
"""

import datetime as dt
from zoneinfo import ZoneInfo

import pytest
import pytest_asyncio

from clock import at, at_every_instant
from korvanta.gateway import limits
from korvanta.runner.commands import execute_line
from korvanta.runner.records import kline_frame
from korvanta.sim import GatewaySim
from korvanta.sim.book import trading_days_back

pytestmark = pytest.mark.e2e

kline = pytest.importorskip("korvanta.cmds.quotes.kline", exc_type=ImportError)
executions = pytest.importorskip("korvanta.cmds.portfolio.executions", exc_type=ImportError)

NEW_YORK = ZoneInfo("America/New_York")

# The gateway's pacing rules waive: an alias asks exactly what its period asks, an identical
# request the rules would hold back 15 s.
NO_PACING = limits.PacingRules(limits.Rule(10**9, 1e-9), limits.Rule(10**9, 1e-9), limits.Rule(10**9, 1e-9), 0.0)


class Connected:
    """The simulator, its clock frozen at the test's instant, and the host state connected to it."""

    def __init__(self, sim: GatewaySim, state, now: dt.datetime, printed: list):
        self.sim, self.state, self.now, self.printed = sim, state, now, printed

    async def run(self, line: str):
        return await execute_line(line.split(), self.state)

    def reference(self, symbol: str, duration: str, bar_size: str, what: str = "TRADES", rth: bool = False):
        """(bar time as the command gives it, open, close) of the simulator's own bars up to now."""
        inst = self.sim.book.contracts(self.now.date())[symbol.removeprefix("/")]
        bars = self.sim.bars.bars(inst, now=self.now, endDateTime="", durationStr=duration, barSizeSetting=bar_size,
                                  whatToShow=what, useRTH=rth, capped=False)
        return [(stamp(b.start), b.open, b.close) for b in bars]

    def fills(self):
        return self.sim.book.fills(self.now)

    def forming(self, start: dt.datetime, seconds: int | None) -> bool:
        """Whether the intraday bar that began at `start` (New York time) is still forming now."""
        return seconds is not None and self.now < start.replace(tzinfo=NEW_YORK) + dt.timedelta(seconds=seconds)


def stamp(start):
    return start.astimezone(NEW_YORK).replace(tzinfo=None) if isinstance(start, dt.datetime) else start


def got(result) -> list:
    return [(b["date"], b["open"], b["close"]) for b in result["bars"]]


@pytest_asyncio.fixture
async def connected(pinned_clock, data_dir, monkeypatch):
    """A `Connected` in this test's loop, pacing off; the tables the commands print, kept."""
    from korvanta.runner.state import connect

    printed = []
    monkeypatch.setattr(limits, "PACING", NO_PACING)
    for module in (kline, executions):
        monkeypatch.setattr(module, "printFrame", lambda frame, title: printed.append((title, frame)))
    now = pinned_clock.start.astimezone(dt.UTC).replace(second=0, microsecond=0)
    async with GatewaySim(pacing=None, clock=lambda: now) as sim:
        state = await connect(("127.0.0.1", sim.port), 1)
        try:
            yield Connected(sim, state, now, printed)
        finally:
            state.close()


@pytest.mark.asyncio
@at_every_instant
async def test_latest_n_is_the_simulators_last_n_and_a_repeat_of_finished_bars_is_a_cache_hit(pinned_clock,
                                                                                           connected):
    for words, reference, seconds in [
        ("AAPL day 100", ("AAPL", "1 Y", "1 day", "TRADES", True), None),
        ("AAPL 5m 200 adj", ("AAPL", "10 D", "5 mins", "ADJUSTED_LAST"), 300),
        ("MSFT 1h 3", ("MSFT", "5 D", "1 hour"), 3600),
        ("/ES 30m 20", ("/ES", "5 D", "30 mins"), 1800),
        ("/ES 1h 10", ("/ES", "5 D", "1 hour"), 3600),
    ]:
        count = int(words.split()[2])
        asked = connected.sim.requests["historicalData"]
        result = await connected.run(f"kline {words}")
        assert (result["source"], result["count"]) == ("ibkr", count), words
        assert got(result) == connected.reference(*reference)[-count:], words
        # the cache keeps only finished bars: a list that ends in a forming one is asked again
        forming = connected.forming(result["bars"][-1]["date"], seconds)
        again = await connected.run(f"kline {words}")
        assert bool(again.get("cached")) is not forming and again["bars"] == result["bars"], words
        assert connected.sim.requests["historicalData"] == asked + 1 + forming, words
    # an alias reaches as far back as its period: the same bars
    assert (await connected.run("kline TSLA 1d 3"))["bars"] == (await connected.run("kline TSLA day 3"))["bars"]


@pytest.mark.asyncio
@at_every_instant
async def test_date_ranges_give_the_trading_days_they_span(pinned_clock, connected):
    today = connected.now.astimezone(NEW_YORK).date()
    daily = {day: (day, o, c) for day, o, c in connected.reference("AAPL", "1 Y", "1 day", rth=True)}
    adjusted = {day: (day, o, c) for day, o, c in connected.reference("AAPL", "1 Y", "1 day", "ADJUSTED_LAST", True)}
    for back, count, adj in [(7, 15, ""), (7, 2, ""), (60, 20, "adj")]:
        days = trading_days_back(today - dt.timedelta(days=back), count)
        result = await connected.run(f"kline AAPL {days[0]} {days[-1]} day {adj}")
        assert got(result) == [(adjusted if adj else daily)[day] for day in days], (back, count, adj)
    # a month of hourly bars: every session the gateway answers, from the start day on
    end = trading_days_back(today - dt.timedelta(days=1), 1)[0]
    start = end - dt.timedelta(days=30)
    result = await connected.run(f"kline AAPL {start} {end} 1h")
    assert got(result) == [b for b in connected.reference("AAPL", "40 D", "1 hour") if start <= b[0].date() <= end]
    assert {b[0].date() for b in got(result)} == {d for d in trading_days_back(end, 40) if d >= start}
    # minutes, a page for each session of the range
    start = trading_days_back(end, 3)[0]
    asked = connected.sim.requests["historicalData"]
    result = await connected.run(f"kline AAPL {start} {end} 1m")
    assert got(result) == [b for b in connected.reference("AAPL", "10 D", "1 min") if start <= b[0].date() <= end]
    assert connected.sim.requests["historicalData"] - asked == 3


@pytest.mark.asyncio
@at_every_instant
async def test_intraday_bars_in_exchange_time_as_shown_and_as_stored(pinned_clock, connected):
    result = await connected.run("kline AAPL intraday")
    assert got(result) == connected.reference("AAPL", "1 D", "1 min")
    # more than two sessions, so that one whole regular session is among them whatever the hour
    result = await connected.run("kline AAPL 5m 400")
    expected = connected.reference("AAPL", "10 D", "5 mins")[-400:]
    assert got(result) == expected
    stored = kline._get_cache().cache.get(kline.Barhold.count_key("AAPL", "5m", "none", 400))
    if connected.forming(expected[-1][0], 300):
        assert stored is None  # kept once its newest bar has finished
    else:
        assert [(b["date"], b["open"], b["close"]) for b in stored["bars"]] == expected
    assert [b[0].time() for b in expected].count(dt.time(9, 30)) >= 1
    # in regular hours, by the exchange's calendar (an early close's too): the bars the gateway gives for them
    regular = {b[0] for b in connected.reference("AAPL", "10 D", "5 mins", rth=True)}
    shown = kline_frame(result, rth=True)
    assert [t.replace(tzinfo=None) for t in shown.index] == [b[0] for b in expected if b[0] in regular]


@pytest.mark.asyncio
@at_every_instant
async def test_executions_trading_days_and_future_contracts(pinned_clock, connected):
    fills = connected.fills()
    futures = sorted({f.contract.localSymbol for f in fills if f.contract.secType == "FUT"})
    assert futures and all(name.startswith("ES") for name in futures)
    await connected.run("executions")
    days = sorted({f.time.astimezone(NEW_YORK).date() + dt.timedelta(days=f.time.astimezone(NEW_YORK).hour >= 18)
                   for f in fills})
    titles = [title for title, _ in connected.printed]
    assert titles == ["Execution Summary", *(f"Profit by Half Hour for Trading Day {day}" for day in days),
                      "Profit by Trading Day", "Execution Summary by Complete Order"]
    assert shown_contracts(connected.printed[0][1]) == {f.contract.localSymbol for f in fills}
    # the fills of this client only: the future's, whichever month they are in, are another's
    connected.printed.clear()
    await connected.run("executions :self")
    mine = {f.contract.localSymbol for f in fills if f.clientId == connected.state.clientId}
    assert mine and shown_contracts(connected.printed[0][1]) == mine and not mine & set(futures)
    assert connected.sim.requests["executions"] == 1


def shown_contracts(summary) -> set[str]:
    return set(summary["localSymbol"]) - {""}


@pytest.mark.asyncio
@at("regular-session")
async def test_a_hundred_thousand_minutes_arrive_whole(pinned_clock, connected):
    # sized as 105 sessions, which the client fetches in pages
    result = await connected.run("kline AAPL 1m 100000")
    dates = [bar["date"] for bar in result["bars"]]
    assert result["count"] == len(set(dates)) == 100_000 and dates == sorted(dates)
    assert connected.sim.requests["historicalData"] == 105
