"""The loopback server: one session per connection, request counters and the fault switches."""

import asyncio
import datetime as dt
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

from korvanta.gateway.limits import PacingRules

from . import calendars
from .bars import BarMaker
from .book import Book
from .session import MAX_SERVER_VERSION, Session

# The rules as the gateway has them: not the module's PACING, which tests shrink for the client.
GATEWAY_PACING = PacingRules()

HOST = "127.0.0.1"
# Seconds between the live updates of a bar, as the gateway sends them.
UPDATE_INTERVAL = 5.0

_ERROR_TEXTS = {
    162: "Historical Market Data Service error message:HMDS query returned no data: {symbol}",
    200: "No security definition has been found for the request",
    321: "Error validating request.-'bP' : cause - {name} refused",
    366: "No historical data query found for ticker id:{reqId}",
    504: "Not connected",
    10197: "No market data during competing live session",
}


@dataclass
class Fault:
    """A scenario switch: what the gateway does instead of answering the matching requests."""

    request: str  # a request name as counted in GatewaySim.requests, e.g. "historicalData"
    action: Literal["drop", "delay", "error"]
    symbol: str = ""  # only requests for this symbol; empty: any
    seconds: float = 0.0  # for "delay"
    code: int = 0  # for "error"
    message: str = ""  # for "error"; empty: the gateway's usual text for the code
    times: int | None = 1  # how many matching requests it takes; None: until cleared

    @classmethod
    def drop(cls, request: str, **kw) -> "Fault":
        """Close the connection when the request arrives, without answering."""
        return cls(request, "drop", **kw)

    @classmethod
    def delay(cls, request: str, seconds: float, **kw) -> "Fault":
        """Answer the request only after `seconds`, past the client's timeout if that is shorter."""
        # bounded, so a forgotten switch cannot hold a session for long
        return cls(request, "delay", seconds=min(float(seconds), 600.0), **kw)

    @classmethod
    def error(cls, request: str, code: int, message: str = "", **kw) -> "Fault":
        """Answer the request with error `code` instead of its data."""
        return cls(request, "error", code=code, message=message, **kw)

    def text(self, req) -> str:
        template = self.message or _ERROR_TEXTS.get(self.code, "Error {code}")
        return template.format(symbol=req.symbol, name=req.name, reqId=req.reqId, code=self.code)


class GatewaySim:
    """The broker gateway's side of the API protocol on 127.0.0.1, for the real `ib_async` client.

    `requests` counts every request that reached the simulator by name ("historicalData",
    "contractDetails", "executions", ...), so a test can tell a cache hit from a request.
    `clock` returns the aware "now" that bars and fills are laid out against.  Holidays and
    early closes come from the `exchange_calendars` package (the `sim` extra): without it,
    constructing a GatewaySim raises ImportError naming the extra to install.

    Historical-data requests are paced by `pacing` (the gateway's own rules unless given; None
    turns pacing off), counted per client connection: one that breaks a rule is refused with
    the gateway's error 162 "pacing violation" (sim/pacing.py).

    A request with live updates (keepUpToDate) is answered as any other, then sent the bar
    forming every `update_interval` seconds (the gateway's pace is about 5), drawn from the
    same minutes as every answer and cut at the clock's "now", until it is cancelled or its
    connection ends.
    """

    def __init__(self, book: Book | None = None, *, clock: Callable[[], dt.datetime] | None = None,
                 server_version: int = MAX_SERVER_VERSION, idle_timeout: float = 3600.0,
                 max_connections: int = 32, pacing: PacingRules | None = GATEWAY_PACING,
                 update_interval: float = UPDATE_INTERVAL):
        calendars.require()
        self.book = book or Book()
        self.bars = BarMaker()
        self.clock = clock or (lambda: dt.datetime.now(dt.UTC))
        self.server_version = server_version
        self.idle_timeout = idle_timeout
        self.max_connections = max_connections
        self.pacing = pacing
        self.update_interval = update_interval
        self.requests: Counter[str] = Counter()
        self.faults: list[Fault] = []
        self.connections = 0
        self.port = 0
        self._server: asyncio.Server | None = None
        self._sessions: set[Session] = set()
        self._tasks: set[asyncio.Task] = set()
        self._order_id = 1000

    # ---- lifecycle

    async def start(self, port: int = 0) -> int:
        """Listen on loopback; port 0 picks a free one. Returns the port."""
        self._server = await asyncio.start_server(self._serve, HOST, port)
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
        for session in list(self._sessions):
            session.close()
        tasks = list(self._tasks)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        if self._server is not None:
            await asyncio.wait_for(self._server.wait_closed(), 5)
            self._server = None

    async def __aenter__(self) -> "GatewaySim":
        if self._server is None:
            await self.start()
        return self

    async def __aexit__(self, *exc) -> None:
        await self.stop()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.connections += 1
        if len(self._sessions) >= self.max_connections:
            writer.close()
            return
        session = Session(self, reader, writer)
        self._sessions.add(session)
        task = asyncio.current_task()
        self._tasks.add(task)
        try:
            await session.run()
        finally:
            self._tasks.discard(task)

    # ---- what sessions ask of the server

    def now(self) -> dt.datetime:
        return self.clock()

    def next_order_id(self) -> int:
        self._order_id += 1000
        return self._order_id

    def client_ids(self) -> set[int]:
        return {s.clientId for s in self._sessions if s.clientId is not None and not s.closed}

    def forget(self, session: Session) -> None:
        self._sessions.discard(session)

    def account_values(self) -> list[tuple[str, str]]:
        return [("NetLiquidation", "1000000.00"), ("TotalCashValue", "250000.00"),
                ("BuyingPower", "3000000.00"), ("AvailableFunds", "750000.00")]

    # ---- fault switches

    def inject(self, fault: Fault) -> Fault:
        self.faults.append(fault)
        return fault

    def clear_faults(self) -> None:
        self.faults.clear()

    def take_fault(self, req) -> Fault | None:
        for fault in self.faults:
            if fault.request == req.name and (not fault.symbol or fault.symbol.upper() == req.symbol):
                if fault.times is not None:
                    fault.times -= 1
                    if fault.times <= 0:
                        self.faults.remove(fault)
                return fault
        return None
