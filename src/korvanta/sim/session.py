"""One client connection: the version handshake, startApi, then requests through the table."""

import asyncio
import datetime as dt
import logging
import re

from . import replies
from .bars import Bar
from .fields import Fields, GatewayError, failed, shown
from .framing import HANDSHAKE_MAGIC, ProtocolError, encode, read_message
from .instruments import Instrument
from .pacing import Pacing
from .requests import HANDLERS, Request

# The message layouts in replies.py and requests.py follow the client's decoder from 166
# (error with advancedOrderRejectJson) up to 178 (executions with pendingPriceRevision).
MIN_SERVER_VERSION = 166
MAX_SERVER_VERSION = 178

# bounds one connection's work; a real session sends far fewer
MAX_MESSAGES = 100_000

log = logging.getLogger("korvanta.sim")


def negotiate(offer: str, highest: int = MAX_SERVER_VERSION) -> int | None:
    """The server version for the client's "v<min>..<max>[ options]" offer, None when the ranges miss."""
    # ASCII digits, at most nine: int() raises on a run of thousands, and an offer the gateway
    # cannot read earns a hang-up, not a traceback
    m = re.match(r"v([0-9]{1,9})(?:\.\.([0-9]{1,9}))?(?= |$)", offer, re.ASCII)
    if not m:
        return None
    low = int(m[1])
    high = int(m[2] or m[1])
    version = min(high, highest)
    return version if version >= max(low, MIN_SERVER_VERSION) else None


class Session:
    def __init__(self, server, reader: asyncio.StreamReader, writer: asyncio.StreamWriter):
        self.server = server
        self.reader = reader
        self.writer = writer
        self.version = 0
        self.clientId: int | None = None
        self.closed = False
        self.pacing = Pacing(server.pacing)
        self._delayed: dict[int, asyncio.TimerHandle] = {}
        self._streams: dict[int, asyncio.Task] = {}

    async def run(self) -> None:
        try:
            if await self._handshake():
                for _ in range(MAX_MESSAGES):
                    fields = await asyncio.wait_for(read_message(self.reader), self.server.idle_timeout)
                    if fields:
                        self.dispatch(fields)
                    if self.closed:
                        break
        except (asyncio.IncompleteReadError, ConnectionError, ProtocolError, TimeoutError):
            pass
        finally:
            self.close()

    async def _handshake(self) -> bool:
        timeout = self.server.idle_timeout
        magic = await asyncio.wait_for(self.reader.readexactly(len(HANDSHAKE_MAGIC)), timeout)
        if magic != HANDSHAKE_MAGIC:
            return False
        offer = await asyncio.wait_for(read_message(self.reader), timeout)
        text = offer[0] if offer else ""
        version = negotiate(text, self.server.server_version)
        if version is None:
            # a gateway that cannot speak the client's range just hangs up
            log.warning("no common server version for %r", shown(text))
            return False
        self.version = version
        now = self.server.now()
        self.send([version, f"{now.astimezone(dt.UTC):%Y%m%d %H:%M:%S} UTC"])
        return True

    def send(self, fields) -> None:
        if not self.closed:
            self.writer.write(encode(fields))

    def dispatch(self, fields: list[str]) -> None:
        f = Fields(fields)
        try:
            handler = HANDLERS.get(f.integer(0))
        except GatewayError:
            handler = None
        if handler is None:
            self.server.requests[f"unknown:{shown(fields[0], 12)}"] += 1
            return
        try:
            req = handler(self, f)
        except Exception as e:
            self.server.requests["malformed"] += 1
            self.send(self.refusal(f.reqId, e, f"message {shown(fields[0], 12)}"))
            return
        self.server.requests[req.name] += 1
        fault = self.server.take_fault(req)
        if fault is None:
            self.answer(req)
        elif fault.action == "drop":
            log.info("fault: dropping the connection on %s", req.name)
            self.close()
        elif fault.action == "delay":
            log.info("fault: answering %s after %.1f s", req.name, fault.seconds)
            handle = asyncio.get_running_loop().call_later(fault.seconds, self._answer_late, req)
            self._delayed[req.reqId] = handle
        else:
            self.send(replies.error(self.version, req.reqId, fault.code, fault.text(req)))

    def answer(self, req: Request) -> None:
        """Send the request's answer, or the error the gateway sends when it cannot give one."""
        try:
            messages = req.answer()
        except Exception as e:
            messages = [self.refusal(req.reqId, e, req.name)]
        for message in messages:
            self.send(message)

    def refusal(self, req_id: int, e: Exception, what: str) -> list:
        """The error message for a request that failed; the session lives on whatever went wrong.

        A refusal the request earned carries its own code; anything else is the simulator's
        fault, logged with its traceback and answered as the gateway answers a request it
        failed to process.
        """
        if not isinstance(e, GatewayError):
            log.error("answering %s failed", what, exc_info=e)
            e = failed(f"the simulator could not answer {what}")
        return replies.error(self.version, req_id, e.code, e.message)

    def _answer_late(self, req: Request) -> None:
        self._delayed.pop(req.reqId, None)
        self.answer(req)

    def cancel_historical(self, req_id: int) -> list:
        """cancelHistoricalData: a late answer the client gave up on is not sent any more, and
        live updates stop."""
        handle = self._delayed.pop(req_id, None)
        if handle:
            handle.cancel()
        stream = self._streams.pop(req_id, None)
        if stream:
            stream.cancel()
        return []

    def stream_bars(self, req_id: int, inst: Instrument, request: dict, fmt: int, last: Bar) -> None:
        """After the answer to a request with live updates: the bar forming, as it grows, every
        `update_interval` seconds, and each new bar as its period begins (`request`: the
        fields `BarMaker.live` takes besides the clock)."""
        old = self._streams.pop(req_id, None)
        if old:
            old.cancel()
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return  # a session driven by hand, outside a running server: nothing to stream on
        self._streams[req_id] = loop.create_task(self._stream(req_id, inst, request, fmt, last))

    async def _stream(self, req_id: int, inst: Instrument, request: dict, fmt: int, last: Bar) -> None:
        while not self.closed:
            await asyncio.sleep(self.server.update_interval)
            try:
                bars = self.server.bars.live(inst, now=self.server.now(), since=last.start, **request)
            except Exception:
                log.error("live updates for request %d failed", req_id, exc_info=True)
                return
            for bar in bars:
                # a bar finished since the last update is sent whole before the next one begins
                if bar != last:
                    self.send(replies.historical_data_update(req_id, bar, inst, fmt))
            last = bars[-1] if bars else last

    def start_api(self, client_id: int) -> list:
        if client_id in self.server.client_ids():
            self.send(replies.error(self.version, -1, 326, "Unable to connect as the client id is already in use. "
                                                          "Retry with a unique client id."))
            self.close()
            return []
        self.clientId = client_id
        return [replies.next_valid_id(self.server.next_order_id()),
                replies.managed_accounts(self.server.book.accounts),
                *replies.farm_status(self.version)]

    def close(self) -> None:
        if self.closed:
            return
        self.closed = True
        for handle in self._delayed.values():
            handle.cancel()
        self._delayed.clear()
        # a dropped connection ends its subscriptions
        for stream in self._streams.values():
            stream.cancel()
        self._streams.clear()
        # close() flushes what is buffered, so an error sent just before still arrives
        self.writer.close()
        self.server.forget(self)
