"""100,000 one-minute bars from the gateway simulator through the runner's gateway client, in
pages, against the floor the pacing rules allow.

One request for "105 D" of one-minute bars (105 extended sessions of AAPL, 960 bars each, at
a clock stopped after a close) is more than one answer holds (1 D of one-minute bars): the
client fetches it as 105 pages of 1 D. Three figures, in one process:

- the pages alone: pacing off on both sides, what the fetch costs in itself;
- paced: the gateway's rules on both sides (the client keeps its margin on top);
- the floor: when the last of those requests may go at the earliest under the rules, the
  pages taking no time at all (greedy, as the rules read; margin left out).

Prints each, paced / floor (1: nothing lost beyond what the rules ask) and paced - floor
(the seconds lost beyond it: pages that could not overlap the waits, the client's margin).
`--scale F` shrinks every window of the rules by F (0.01: a run of seconds, not minutes; the
client's margin no lower than 0.1 s).
Run: tools/in-env python bench/bench_paging.py [--scale F]
"""

import argparse
import asyncio
import datetime as dt
import sys
import time

from ib_async import Stock
from loguru import logger

from korvanta.gateway import limits
from korvanta.gateway.limits import PacingRules, Rule
from korvanta.runner.gateway import GatewayClient
from korvanta.sim import GatewaySim

AAPL = Stock("AAPL", "SMART", "USD")
WANTED = 100_000
DURATION = "105 D"
# Tuesday 8 December 2026, 16:00 New York: 104 whole extended sessions (the day after
# Thanksgiving closes early) and 720 bars of this one, 100,380 bars.
NOW = dt.datetime(2026, 12, 8, 21, 0, tzinfo=dt.UTC)
OFF = PacingRules(Rule(10**9, 1e-9), Rule(10**9, 1e-9), Rule(10**9, 1e-9), margin=0.0)


def scaled(rules: PacingRules, factor: float) -> PacingRules:
    def rule(r: Rule) -> Rule:
        return Rule(r.requests, r.seconds * factor)

    # The margin covers the jitter of a request's way to the gateway, which does not shrink;
    # and ib_async holds back messages beyond 45 a second, which a margin this wide keeps clear of.
    return PacingRules(rule(rules.overall), rule(rules.per_contract), rule(rules.identical),
                       max(0.1, rules.margin * factor))


def floor(requests: int, rules: PacingRules) -> float:
    """When the last of `requests` different requests for one contract may go at the earliest,
    the first going at 0 and each one's answer taking no time."""
    sent: list[float] = []
    for _ in range(requests):
        at = sent[-1] if sent else 0.0
        for rule in (rules.overall, rules.per_contract):
            if len(sent) >= rule.requests:
                at = max(at, sent[-rule.requests] + rule.seconds)
        sent.append(at)
    return sent[-1]


async def fetch(rules: PacingRules) -> tuple[float, int, int]:
    """(seconds, bars, requests) of one paged fetch with `rules` on both sides."""
    limits.PACING = rules
    async with GatewaySim(clock=lambda: NOW, pacing=rules) as sim:
        ib = GatewayClient()
        await ib.connectAsync("127.0.0.1", sim.port, clientId=1)
        try:
            started = time.perf_counter()
            bars = await ib.reqHistoricalDataAsync(AAPL, endDateTime="", durationStr=DURATION, barSizeSetting="1 min",
                                                   whatToShow="TRADES", useRTH=False, formatDate=2,
                                                   keepUpToDate=False, timeout=60)
            took = time.perf_counter() - started
        finally:
            ib.disconnect()
        return took, len(bars), sim.requests["historicalData"]


async def main(scale: float) -> None:
    logger.remove()
    logger.add(sys.stderr, level="WARNING")
    rules = scaled(PacingRules(), scale)
    alone, count, pages = await fetch(OFF)
    assert count >= WANTED, count
    print(f"{WANTED:,} one-minute bars ({count:,} fetched: {DURATION} in {pages} pages of 1 D), AAPL, simulator on loopback")
    print(f"rules: {rules.overall.requests} in {rules.overall.seconds:g} s, {rules.per_contract.requests} per contract "
          f"in {rules.per_contract.seconds:g} s; client margin {rules.margin:g} s")
    paced, _, _ = await fetch(rules)
    least = floor(pages, rules)
    print(f"pages alone (pacing off)   {alone:9.2f} s")
    print(f"paced                      {paced:9.2f} s")
    print(f"floor of the rules         {least:9.2f} s")
    print(f"paced / floor              {paced / least:9.3f}")
    print(f"paced - floor              {paced - least:9.2f} s")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="factor on every window of the rules")
    asyncio.run(main(parser.parse_args().scale))
