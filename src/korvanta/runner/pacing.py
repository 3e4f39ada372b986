"""Keeping the gateway's historical-data pacing rules: a request waits for the first moment the
rules allow it rather than be refused.

A request reserves its moment when it asks, so requests that wait side by side (several
commands in the shell, the symbols of a watchlist, the pages of a long fetch) line up instead
of all going at once when a wait ends. One pacer serves every connection of the process to one
gateway address: a reconnect, or the API's connection per call, still counts the requests made
before it. The bookkeeping is done under a thread lock and the waiting on the caller's own
event loop, so connections on other threads' loops (the API's helper thread) share it too.

The rules are `korvanta.gateway.limits.PACING`, read at every request (tests shrink them).
Times are the monotonic clock's, which asyncio's loops use too.
"""

import asyncio
import bisect
import threading
import time
from collections.abc import Callable, Hashable
from dataclasses import dataclass, field

from korvanta.gateway import limits
from korvanta.gateway.limits import PacingRules, Rule

# Called with the seconds a request is about to wait and the rule it waits for.
Notice = Callable[[float, str], None]


def span(seconds: float) -> str:
    """A length of time as a line says it: "1.6 s", "15 s", "9 min 31 s", "10 minutes"."""
    if seconds >= 60 and seconds % 60 == 0:
        minutes = int(seconds // 60)
        return f"{minutes} minute{'s' if minutes != 1 else ''}"
    if seconds >= 60:
        minutes, rest = divmod(round(seconds), 60)
        return f"{minutes} min {rest} s"
    return f"{seconds:.1f} s" if seconds < 10 and seconds != int(seconds) else f"{seconds:.0f} s"


def _rules(rules: PacingRules) -> list[tuple[str, Rule, str]]:
    """(name, rule, how a line says it) of each rule."""
    overall, contract, same = rules.overall, rules.per_contract, rules.identical
    return [
        ("overall", overall, f"at most {overall.requests} historical-data requests in {span(overall.seconds)}"),
        ("contract", contract, f"at most {contract.requests} requests for one contract in {span(contract.seconds)}"),
        ("identical", same, f"no identical request within {span(same.seconds)}"),
    ]


@dataclass(frozen=True)
class Ask:
    """What the rules see of one request: its contract (with exchange and tick type), and all of it."""

    contract: Hashable
    identity: Hashable

    def key(self, rule: str) -> Hashable:
        return {"overall": None, "contract": self.contract, "identical": self.identity}[rule]


@dataclass
class Ticket:
    """A request's reserved moment, and the rule that set it (empty when it need not wait)."""

    ask: Ask
    at: float
    reason: str
    entries: list[tuple[list[float], float]] = field(default_factory=list)


def _fits(times: list[float], at: float, rule: Rule, margin: float) -> bool:
    """Whether one more request at `at` keeps every window of the rule within its count.

    The windows that hold `at` are those ending at `at` or at a later request less than a
    window after it (requests reserved ahead of it); each is counted with `at` in it.
    """
    width = rule.seconds + margin
    ends = [at, *times[bisect.bisect_left(times, at):bisect.bisect_left(times, at + width)]]
    return all(bisect.bisect_right(times, end) - bisect.bisect_right(times, end - width) + 1 <= rule.requests
               for end in ends)


class Pacer:
    """The historical-data requests of one gateway, past and reserved, against the pacing rules."""

    def __init__(self):
        self._lock = threading.Lock()
        # rule name -> key -> the moments of its requests, ascending
        self._times: dict[str, dict[Hashable, list[float]]] = {}

    def reserve(self, ask: Ask, now: float | None = None) -> Ticket:
        """The first moment from `now` on that the rules allow `ask`, booked for it."""
        rules = limits.PACING
        with self._lock:
            now = time.monotonic() if now is None else now
            self._forget_before(now - max(r.seconds for _, r, _ in _rules(rules)) - rules.margin)
            lists = [(self._times.setdefault(name, {}).setdefault(ask.key(name), []), rule, said)
                     for name, rule, said in _rules(rules)]
            # A wait can only end where an earlier request leaves a window.
            moments = sorted({now, *(m for times, rule, _ in lists for t in times
                                     if (m := t + rule.seconds + rules.margin) > now)})
            at = next(m for m in moments if all(_fits(ts, m, r, rules.margin) for ts, r, _ in lists))
            # the rule that alone would hold it back the longest
            alone = [(next(m for m in moments if _fits(ts, m, r, rules.margin)), said) for ts, r, said in lists]
            ticket = Ticket(ask, at, max(alone)[1] if at > now else "")
            for times, _, _ in lists:
                bisect.insort(times, at)
                ticket.entries.append((times, at))
            return ticket

    def release(self, ticket: Ticket) -> None:
        """Give back a reserved moment that went unused (the request was cancelled while waiting)."""
        with self._lock:
            for times, at in ticket.entries:
                if at in times:
                    times.remove(at)
            ticket.entries.clear()

    def sent(self, ticket: Ticket, now: float | None = None) -> None:
        """The request went at `now`: later than reserved, when the loop was busy."""
        with self._lock:
            now = time.monotonic() if now is None else now
            for i, (times, at) in enumerate(ticket.entries):
                if now > at and at in times:
                    times.remove(at)
                    bisect.insort(times, now)
                    ticket.entries[i] = (times, now)

    def _forget_before(self, moment: float) -> None:
        for keyed in self._times.values():
            for key in [k for k, times in keyed.items() if not times or times[-1] < moment]:
                del keyed[key]
            for times in keyed.values():
                del times[:bisect.bisect_left(times, moment)]

    async def wait(self, ask: Ask, notice: Notice | None = None) -> Ticket:
        """Wait until `ask` may go; `notice` hears of a wait before it begins."""
        ticket = self.reserve(ask)
        delay = ticket.at - time.monotonic()
        if delay > 0:
            if notice is not None:
                notice(delay, ticket.reason)
            try:
                await asyncio.sleep(delay)
            except BaseException:
                self.release(ticket)
                raise
        return ticket


_pacers: dict[tuple[str, int], Pacer] = {}
_pacers_lock = threading.Lock()


def pacer_for(address: tuple[str, int]) -> Pacer:
    """The one pacer of the process for the gateway at `address`."""
    with _pacers_lock:
        return _pacers.setdefault(address, Pacer())
