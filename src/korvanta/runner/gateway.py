"""The host's gateway client: ib_async's `IB`, with refused requests ending at once, long waits
said, and historical data fetched in pages within the gateway's pacing rules."""

import asyncio
import contextvars
from collections.abc import Callable
from typing import Any

from ib_async import IB, BarData, Contract, RequestError
from ib_async.ib import StartupFetchNONE
from loguru import logger

from . import paging
from .bar_requests import HistoricalRequest
from .pacing import Notice, Pacer, pacer_for

# Gateway messages that report news rather than a failure: the data-farm notices (2100s),
# historical-data query notes (165), delayed data offered instead (10167) and connectivity
# restored (1101, 1102). Any other message sent for a pending request ends it.
NOTICES = frozenset({165, 1101, 1102, 10167})
CLIENT_ID_IN_USE = 326
NO_SECURITY_DEFINITION = 200

WAIT_NOTICE_INTERVAL = 10.0

# The request ids the requests started in this context were given, where someone listens.
_started: contextvars.ContextVar[list | None] = contextvars.ContextVar("started", default=None)


def is_notice(code: int) -> bool:
    return code in NOTICES or 2100 <= code < 2200


class GatewayError(RequestError):
    """An error the gateway sent for one request, which ended it: the gateway's code and text."""

    def __str__(self) -> str:
        return f"gateway error {self.code}: {self.message}"


class GatewayUnanswered(Exception):
    """A request of the host's own that the gateway did not answer, or refused; the text says which."""


class ClientIdInUse(ConnectionError):
    """The gateway refused the connection: another session holds the client id."""

    def __init__(self, clientId: int):
        super().__init__(f"client id {clientId} is in use by another session")
        self.clientId = clientId


def request_label(key: Any, contract: Contract | None) -> str:
    """What a pending request is for, as log lines name it: "AAPL", "/ES", "executions"."""
    if contract is None:
        return str(key) if isinstance(key, str) else "request"
    symbol = contract.symbol or contract.localSymbol or "?"
    return "/" + symbol if contract.secType in ("FUT", "CONTFUT") else symbol


class WaitNotice:
    """Says at info level, every `interval` seconds, that a request is still pending."""

    def __init__(self, label: str, loop: asyncio.AbstractEventLoop, interval: float):
        self.label = label
        self.loop = loop
        self.interval = interval
        self.started = loop.time()
        self.handle = loop.call_later(interval, self._tick)

    def _tick(self) -> None:
        logger.info("[{}] still waiting for the gateway ({:.0f} s)", self.label, self.loop.time() - self.started)
        self.handle = self.loop.call_later(self.interval, self._tick)

    def cancel(self) -> None:
        self.handle.cancel()


class GatewayClient(IB):
    """ib_async's client as the commands get it.

    ib_async counts some refusals (321 "Error validating request" among them) as warnings and
    leaves their request waiting for its timeout; here every error the gateway sends for a
    pending request ends that request with a `GatewayError` at once. A request pending longer
    than `waitNotice` seconds is said at info level, every `waitNotice` seconds. The executions
    the client holds are known to be incomplete while `executionsFailure` is set, and `fills`
    then raises rather than show an empty account, and so it does before they were asked for:
    the connection asks for nothing at start-up.

    Historical-data requests wait for the gateway's pacing rules (`pacer`, shared by every
    connection of the process to the same gateway), and one larger than a gateway answer holds
    is fetched in pages (runner/paging.py) and handed back as one bar list.
    """

    RaiseRequestErrors = True

    def __init__(self, *, waitNotice: float = WAIT_NOTICE_INTERVAL):
        super().__init__()
        self.waitNotice = waitNotice
        self.executionsFailure: str | None = None
        self.executionsAsked = False
        self._connecting = False
        self._pending: dict[Any, str] = {}
        self._label: str | None = None  # what the request being started is for, where no contract says
        self._refusal: ConnectionError | None = None
        self._refused: asyncio.Event | None = None
        self._cancelled: set[int] = set()  # requests given up on, whose late errors say nothing
        self.pacer = Pacer()
        # The wrapper's startReq is the one place every request passes with its key and future.
        self._startReq: Callable = self.wrapper.startReq
        self.wrapper.startReq = self._start_request
        self.errorEvent += self._on_error
        self.client.apiError += self._on_api_error

    # ---- requests

    def _start_request(self, key, contract=None, container=None) -> asyncio.Future:
        future = self._startReq(key, contract, container)
        if (started := _started.get()) is not None:
            started.append(key)
        label = self._label or request_label(key, contract)
        self._pending[key] = label
        notice = WaitNotice(label, future.get_loop(), self.waitNotice)
        future.add_done_callback(lambda _: (self._pending.pop(key, None), notice.cancel()))
        return future

    def _on_error(self, reqId: int, errorCode: int, errorString: str, contract: Contract | None) -> None:
        if errorCode == CLIENT_ID_IN_USE:
            self._refuse(ClientIdInUse(self.wrapper.clientId))
            return
        label = self._pending.get(reqId)
        if label is None:
            if reqId in self._cancelled:
                logger.debug("Gateway error {} for a request given up on: {}", errorCode, errorString)
            elif is_notice(errorCode):
                logger.debug("Gateway notice {}: {}", errorCode, errorString)
            else:
                logger.warning("Gateway error {}: {}", errorCode, errorString)
            return
        if is_notice(errorCode):
            logger.debug("[{}] gateway notice {}: {}", label, errorCode, errorString)
            return
        # Whoever awaits the request reports the error; ib_async has already failed the
        # future of the errors it does not count as warnings.
        logger.debug("[{}] gateway error {} ends the request: {}", label, errorCode, errorString)
        self.wrapper._endReq(reqId, RequestError(reqId, errorCode, errorString), success=False)

    async def _answer(self, request, timeout: float | None = None):
        try:
            return await (asyncio.wait_for(request, timeout) if timeout else request)
        except RequestError as e:
            raise GatewayError(e.reqId, e.code, e.message) from None

    async def reqHistoricalDataAsync(self, contract: Contract, endDateTime, durationStr: str,  # type: ignore[override]
                                     barSizeSetting: str, whatToShow: str, useRTH: bool, formatDate: int = 1,
                                     keepUpToDate: bool = False, chartOptions=(), timeout: float = 60):
        request = HistoricalRequest(contract, endDateTime, durationStr, barSizeSetting, whatToShow, useRTH,
                                    formatDate, keepUpToDate, tuple(chartOptions or ()), timeout)
        return await paging.fetch(self, request)

    def label(self, contract: Contract) -> str:
        return request_label(None, contract)

    async def answer(self, request: HistoricalRequest, notice: Notice, page: str | None) -> list[BarData]:
        """One historical-data request, once the pacing rules allow it.

        A page of a longer fetch that goes unanswered for its timeout raises `GatewayUnanswered`;
        a request of its own gives no bars then, as ib_async's does.
        """
        ticket = await self.pacer.wait(request.ask(), notice)
        started: list = []
        token = _started.set(started)
        try:
            sending = super().reqHistoricalDataAsync(
                request.contract, request.endDateTime, request.durationStr, request.barSizeSetting,
                request.whatToShow, request.useRTH, request.formatDate, request.keepUpToDate,
                list(request.chartOptions), request.timeout if page is None else 0)
            self.pacer.sent(ticket)
            return await self._answer(sending, None if page is None else request.timeout)
        except BaseException as e:
            # Cancelled (Ctrl-C in the shell) or unanswered: the gateway need not go on with it.
            for reqId in started:
                self._give_up(reqId)
            if isinstance(e, TimeoutError):
                raise GatewayUnanswered(f"the gateway did not answer {page} within {request.timeout:g} s") from None
            raise
        finally:
            _started.reset(token)

    def _give_up(self, reqId: int) -> None:
        if reqId in self.wrapper._futures and self.isConnected():
            self._cancelled.add(reqId)
            self.client.cancelHistoricalData(reqId)

    async def reqContractDetailsAsync(self, contract: Contract):  # type: ignore[override]
        return await self._answer(super().reqContractDetailsAsync(contract))

    # ---- connection

    def _refuse(self, refusal: ConnectionError) -> None:
        if self._refusal is None:
            self._refusal = refusal
        if self._refused is not None:
            self._refused.set()

    def _on_api_error(self, message: str) -> None:
        # The gateway hangs up on a refused handshake; ib_async would wait out its timeout.
        if "Peer closed connection" in message:
            self._refuse(ConnectionError("the gateway closed the connection while connecting"))

    async def connectAsync(self, host: str, port: int, clientId: int, timeout: float | None = 4,  # type: ignore[override]
                           readonly: bool = True) -> "GatewayClient":
        """Connect, asking the gateway for nothing more; raises `ClientIdInUse` as soon as the
        gateway refuses the client id.

        ib_async's connect would also ask for the positions, the orders, the account's values and
        the executions, which kline never uses and which grow with the account; each command asks
        for what it reads when it runs (the executions by `reqExecutionsChecked`).
        """
        self._refusal = None
        self._refused = asyncio.Event()
        self.pacer = pacer_for((host, port))
        self._connecting = True
        connecting = asyncio.ensure_future(super().connectAsync(
            host, port, clientId=clientId, timeout=timeout, readonly=readonly, fetchFields=StartupFetchNONE))
        refused = asyncio.ensure_future(self._refused.wait())
        try:
            await asyncio.wait([connecting, refused], return_when=asyncio.FIRST_COMPLETED)
        finally:
            self._connecting = False
            refused.cancel()
            if not connecting.done():
                connecting.cancel()
            await asyncio.gather(connecting, refused, return_exceptions=True)
        if self._refusal is not None and (connecting.cancelled() or connecting.exception() is not None):
            raise self._refusal
        connecting.result()
        return self

    def reqPositionsAsync(self):
        if self._connecting:
            # ib_async's connect asks for the positions whatever its fetchFields say.
            asked = asyncio.get_running_loop().create_future()
            asked.set_result([])
            return asked
        return super().reqPositionsAsync()

    def reqExecutionsAsync(self, execFilter=None):
        self._label = "executions"
        try:
            return super().reqExecutionsAsync(execFilter)
        finally:
            self._label = None

    async def reqExecutionsChecked(self, timeout: float | None) -> None:
        """Ask for the executions (again); `GatewayUnanswered` when the gateway does not answer in time or refuses."""
        self.executionsAsked = True
        try:
            await self._answer(self.reqExecutionsAsync(), timeout)
        except TimeoutError:
            self.executionsFailure = f"the gateway did not answer the executions request within {timeout:g} s"
        except GatewayError as e:
            self.executionsFailure = f"the gateway did not answer the executions request ({e})"
        else:
            self.executionsFailure = None
            return
        raise GatewayUnanswered(self.executionsFailure)

    def fills(self):
        if self.executionsFailure is not None:
            raise GatewayUnanswered(f"{self.executionsFailure}; `executions :r` asks again")
        if not self.executionsAsked:
            # Only the fills of this connection's own orders would be there: not the account's.
            raise GatewayUnanswered("this connection has not asked the gateway for the executions")
        return super().fills()
