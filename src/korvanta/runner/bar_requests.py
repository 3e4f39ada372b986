"""A historical-data request as the gateway client takes it, and what paging needs of the client."""

import datetime as dt
from collections.abc import Awaitable
from dataclasses import dataclass
from typing import Any, Protocol

from ib_async import BarData, Contract, util

from .pacing import Ask, Notice


@dataclass(frozen=True)
class HistoricalRequest:
    """The fields of one `reqHistoricalDataAsync`."""

    contract: Contract
    endDateTime: Any
    durationStr: str
    barSizeSetting: str
    whatToShow: str
    useRTH: bool
    formatDate: int = 1
    keepUpToDate: bool = False
    chartOptions: tuple = ()
    timeout: float = 60

    def ask(self) -> Ask:
        """What the pacing rules see of it; coarser than the gateway's view, so never more lenient.

        A subscription to updates (keepUpToDate) is not the snapshot it starts from: kline's
        request and the watch that follows it at once differ in that field alone.
        """
        c = self.contract
        contract = (c.symbol.upper(), c.exchange.upper(), self.whatToShow)
        return Ask(contract, (*contract, c.secType, c.lastTradeDateOrContractMonth, c.strike, c.right, c.currency,
                              util.formatIBDatetime(self.endDateTime), self.durationStr, self.barSizeSetting,
                              bool(self.useRTH), bool(self.keepUpToDate)))

    @property
    def adjusted(self) -> bool:
        return self.whatToShow == "ADJUSTED_LAST"


class PageClient(Protocol):
    """What paging needs of the gateway client."""

    def answer(self, request: HistoricalRequest, notice: Notice, page: str | None) -> Awaitable[list[BarData]]:
        """The bars of one request, paced. `page` names a page of a longer fetch ("page 3 of 105"),
        whose timeout raises; without it a timeout gives no bars, as ib_async's own request does."""
        ...

    def label(self, contract: Contract) -> str:
        ...


def moment(date: dt.date | dt.datetime) -> dt.datetime:
    """A bar's date as an aware instant (a naive one is local time, as ib_async reads it)."""
    if isinstance(date, dt.datetime):
        return date if date.tzinfo is not None else date.astimezone()
    return dt.datetime(date.year, date.month, date.day).astimezone()
