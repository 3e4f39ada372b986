"""The gateway's historical-data pacing, enforced: a request that breaks a rule is refused with
error 162 "pacing violation" instead of answered.

Counting is per client connection: the suite runs separate client processes against one
simulator, each pacing only its own requests. A refused request does not count; every other
historical-data request does, whatever its answer. Time is the monotonic clock (the event
loop's), not the simulated market's, which tests often stop.
"""

import time
from collections import deque
from collections.abc import Hashable

from korvanta.gateway.limits import PacingRules, Rule

from .fields import GatewayError

PACING_VIOLATION = GatewayError(
    162, "Historical Market Data Service error message:Historical data request pacing violation")


class _Window:
    """When the requests of each key arrived, as far back as one rule's window reaches."""

    def __init__(self, rule: Rule):
        self.rule = rule
        self.arrivals: dict[Hashable, deque[float]] = {}

    def full(self, key: Hashable, now: float) -> bool:
        """Whether one more request of `key` at `now` makes more than the rule allows."""
        arrivals = self.arrivals.get(key)
        if arrivals is None:
            return False
        while arrivals and arrivals[0] <= now - self.rule.seconds:
            arrivals.popleft()
        return len(arrivals) >= self.rule.requests

    def add(self, key: Hashable, now: float) -> None:
        self.arrivals.setdefault(key, deque()).append(now)
        if len(self.arrivals) > 1000:
            # every page of a long fetch is a key of its own: forget those past the window
            self.arrivals = {k: a for k, a in self.arrivals.items() if a[-1] > now - self.rule.seconds}


class Pacing:
    """One connection's historical-data requests against `rules` (None: no pacing at all)."""

    def __init__(self, rules: PacingRules | None):
        self.windows = [] if rules is None else [
            (_Window(rules.overall), lambda contract, request: None),
            (_Window(rules.per_contract), lambda contract, request: contract),
            (_Window(rules.identical), lambda contract, request: request),
        ]

    def check(self, contract: Hashable, request: Hashable) -> None:
        """Count a request arriving now, or raise PACING_VIOLATION (and count nothing).

        `contract`: the contract, exchange and tick type it asks for; `request`: all its fields.
        """
        now = time.monotonic()
        keyed = [(window, key(contract, request)) for window, key in self.windows]
        if any(window.full(k, now) for window, k in keyed):
            raise PACING_VIOLATION
        for window, k in keyed:
            window.add(k, now)
