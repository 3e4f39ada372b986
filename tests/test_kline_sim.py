"""kline in this process against the gateway simulator, through the runner's client: at every
instant of the sweep the latest N bars are N, in one request, the same for aliases, and a
repeated request is answered from the bar cache, in trading hours or out of them, unless its
newest bar was still forming; a request larger than one answer arrives whole."""

import datetime as dt

import pytest
import pytest_asyncio

from clock import NEW_YORK, at, at_every_instant
from korvanta import api
from korvanta.cmds.base import execute
from korvanta.gateway import limits
from korvanta.sim import GatewaySim
from test_gateway_e2e import gateway  # noqa: F401  (the simulator in a thread, a fixture)

pytestmark = pytest.mark.e2e

kline = pytest.importorskip("korvanta.cmds.quotes.kline", exc_type=ImportError)


# The gateway's pacing rules waive: an alias asks exactly what its period asks, an identical
# request the rules would hold back 15 s.
NO_PACING = limits.PacingRules(limits.Rule(10**9, 1e-9), limits.Rule(10**9, 1e-9), limits.Rule(10**9, 1e-9), 0.0)


@pytest_asyncio.fixture
async def connected(data_dir, monkeypatch):
    """(simulator, host state) in this test's loop, pacing off; tables printed nowhere."""
    from korvanta.runner.state import connect

    monkeypatch.setattr(limits, "PACING", NO_PACING)
    monkeypatch.setattr(kline, "printFrame", lambda frame, title: None)
    async with GatewaySim(pacing=None) as sim:
        state = await connect(("127.0.0.1", sim.port), 1)
        try:
            yield sim, state
        finally:
            state.close()


async def latest(state, words):
    return await execute(["kline", *words.split()], state=state, ib=state.ib)


@pytest.mark.asyncio
@at_every_instant
async def test_latest_n_is_n_and_a_repeat_is_a_cache_hit(pinned_clock, connected):
    sim, state = connected
    for words, count, seconds in [("AAPL day 100", 100, None), ("AAPL 5m 200", 200, 300),
                                  ("MSFT 1h 3", 3, 3600), ("/ES 1h 10", 10, 3600)]:
        asked = sim.requests["historicalData"]
        result = await latest(state, words)
        assert (result["source"], result["count"], len(result["bars"])) == ("ibkr", count, count), words
        newest = result["bars"][-1]["date"]
        # the cache keeps only finished bars: a list that ends in a forming one is asked again
        forming = seconds is not None and pinned_clock.start < (
            newest.replace(tzinfo=NEW_YORK) + dt.timedelta(seconds=seconds))
        again = await latest(state, words)
        assert bool(again.get("cached")) is not forming, words
        # a forming bar may have traded on in between
        assert [bar["date"] for bar in again["bars"]] == [bar["date"] for bar in result["bars"]], words
        assert again["bars"][:-1] == result["bars"][:-1] and (forming or again["bars"] == result["bars"]), words
        assert sim.requests["historicalData"] == asked + 1 + forming, words
    # an alias reaches as far back as its period: the same bars
    assert (await latest(state, "TSLA 1d 3"))["bars"] == (await latest(state, "TSLA day 3"))["bars"]


@pytest.mark.asyncio
@at("regular-session")
async def test_a_hundred_thousand_minutes_arrive_whole(pinned_clock, connected):
    sim, state = connected
    # sized as 105 sessions, which the client fetches in pages
    result = await latest(state, "AAPL 1m 100000")
    dates = [bar["date"] for bar in result["bars"]]
    assert result["count"] == len(set(dates)) == 100_000 and dates == sorted(dates)
    assert sim.requests["historicalData"] == 105


def test_the_api_gives_n_rows(gateway, data_dir, monkeypatch):  # noqa: F811
    monkeypatch.delenv("KORVANTA_GATEWAY", raising=False)
    bars = api.kline("AAPL", "day", 10, gateway=f"127.0.0.1:{gateway.port}")
    assert len(bars) == 10 and bars.attrs["source"] == "ibkr"
