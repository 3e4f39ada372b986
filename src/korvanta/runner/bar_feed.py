"""The gateway's updates of one symbol's bars: a historical request with keepUpToDate, made again
whenever the connection comes back.

The request asks for the session so far (its first answer fills in anything the bars shown
missed, a reconnection's gap too) and then receives the bar forming, every few seconds, and
each new bar as its period begins. A dropped connection is said once (by the host state, which
finds the gateway again as it does before a command) and the subscription is made again as soon
as the gateway is back. Leaving (cancellation) cancels the subscription at the gateway.
"""

import asyncio
import copy
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

from loguru import logger

from .gateway import GatewayError, GatewayUnanswered, is_notice
from .live_bars import LiveBars
from .words import command_module

if TYPE_CHECKING:
    import pandas as pd
    from ib_async import BarDataList, Contract

    from .state import HostState

# One session of bars: enough to take the subscription up from the bars shown, and within one
# answer for every intraday bar size.
SUBSCRIPTION_SPAN = "1 D"
# How often a gateway that is gone is looked for again; and the pause before asking again after
# the gateway refused or ended a subscription.
LOOK_AGAIN = 3.0
ASK_AGAIN = 15.0
ANSWER_TIMEOUT = 60.0
MEANWHILE = "the bars shown are kept current again once it is back"

Changed = Callable[[LiveBars, "list[pd.Timestamp]"], None]


def gateway_bar_size(result: Mapping[str, Any]) -> str:
    """The gateway's bar size of a kline result's bars ("1 min", "5 mins", ...), by kline's own table."""
    if result.get("type") == "intraday":
        return "1 min"
    kline = command_module("kline")
    assert kline is not None, "a kline result without the kline command"
    return str(kline.PERIOD_MAP[str(result.get("period"))])


def request_contract(contract: "Contract") -> "Contract":
    """The contract to subscribe with, as kline requests it: a future as the continuous future."""
    if contract.secType != "FUT":
        return contract
    continuous = copy.copy(contract)
    continuous.secType = "CONTFUT"
    return continuous


class Ended(Exception):
    """The gateway ended a subscription (or refused it); the text says why."""


class BarFeed:
    """Keeps `live` current from the gateway of `state`, telling `changed` of each bar that changed.

    `status` says where the feed stands, for a view to show: "asking", "live", or why it waits.
    """

    def __init__(self, state: "HostState", live: LiveBars, changed: Changed):
        self.state = state
        self.live = live
        self.changed = changed
        self.status = "asking the gateway"
        self.bar_size = gateway_bar_size(live.result)
        self.subscribed = 0  # subscriptions made so far

    @property
    def label(self) -> str:
        return self.live.symbol

    async def run(self) -> None:
        """Until cancelled: subscribe, take the updates, and subscribe again after a drop."""
        said: str | None = None  # the last reason to wait that was said
        while True:
            ib = await self._gateway()
            try:
                await self._follow(ib)
                continue  # the connection dropped: the host state says so as it reconnects
            except Ended as e:
                reason = str(e)
            except (GatewayError, GatewayUnanswered) as e:
                reason = f"the gateway refused the updates ({e})"
            except ConnectionError:
                continue
            self.status = "waiting: " + reason
            if reason != said:
                logger.warning("[{}] {}; asking again in {:g} s", self.label, reason, ASK_AGAIN)
                said = reason
            await asyncio.sleep(ASK_AGAIN)

    async def _gateway(self) -> Any:
        """The connected gateway client, once there is one."""
        while True:
            await self.state.reach(meanwhile=MEANWHILE)
            if self.state.connected:
                return self.state.ib
            self.status = "waiting for the gateway"
            await asyncio.sleep(LOOK_AGAIN)

    async def _contract(self) -> "Contract":
        _, contract = await self.state.positionalQuoteRepopulate(self.label)
        if contract is None:
            raise Ended("the gateway knows no such symbol")
        return request_contract(contract)

    async def _follow(self, ib: Any) -> None:
        """One subscription, from its first answer until the connection drops (it returns) or the
        gateway ends it (Ended)."""
        self.status = "asking the gateway"
        contract = await self._contract()
        dropped = asyncio.Event()
        ended: list[str] = []
        bars: "BarDataList | None" = None

        def on_update(updated: "BarDataList", new_bar: bool) -> None:
            self._take(updated[-2:] if new_bar else updated[-1:])

        def on_error(reqId: int, code: int, text: str, _contract: Any) -> None:
            if bars is not None and reqId == bars.reqId and not is_notice(code):
                ended.append(f"the gateway ended the updates (gateway error {code}: {text})")
                dropped.set()

        ib.disconnectedEvent += dropped.set
        ib.errorEvent += on_error
        try:
            bars = await ib.reqHistoricalDataAsync(
                contract, endDateTime="", durationStr=SUBSCRIPTION_SPAN, barSizeSetting=self.bar_size,
                whatToShow="TRADES", useRTH=False, formatDate=2, keepUpToDate=True, timeout=ANSWER_TIMEOUT)
            if not ib.isConnected():
                return
            if not bars:
                raise Ended(f"the gateway sent no bars within {ANSWER_TIMEOUT:g} s")
            bars.updateEvent += on_update
            self._take(bars)
            self.status = "live"
            self.subscribed += 1
            if self.subscribed > 1:
                logger.info("[{}] bars kept current again", self.label)
            await dropped.wait()
            if ended:
                raise Ended(ended[0])
        finally:
            ib.disconnectedEvent -= dropped.set
            ib.errorEvent -= on_error
            if bars is not None:
                bars.updateEvent -= on_update
                if ib.isConnected() and bars.reqId in ib.wrapper.reqId2Subscriber:
                    ib.cancelHistoricalData(bars)
            self.status = "waiting for the gateway"

    def _take(self, bars: Any) -> None:
        changed = self.live.take(bars)
        if changed:
            self.changed(self.live, changed)
