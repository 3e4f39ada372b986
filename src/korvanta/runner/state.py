"""The state object handed to every command: the gateway connection and what it answers."""

import asyncio
import logging
from contextlib import contextmanager

from ib_async import IB, ContFuture, Contract, Stock
from loguru import logger

CONNECT_TIMEOUT = 4.0
# The gateway answers an unknown contract with an error that ends the request; these only
# bound a gateway that stops answering altogether.
RESOLVE_TIMEOUT = 10.0
EXECUTIONS_TIMEOUT = 30.0


class HostState:
    """`connected`, `positionalQuoteRepopulate`, `loadExecutions` and `clientId` for the commands."""

    def __init__(self, ib: IB | None = None, *, address: tuple[str, int] | None = None, clientId: int = 0):
        self.ib = ib
        self.address = address
        self.clientId = clientId
        self._resolved: dict[str, tuple[str, Contract]] = {}

    @property
    def connected(self) -> bool:
        # Asked per command, so a gateway lost in the middle of a session counts as gone.
        return self.ib is not None and self.ib.isConnected()

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Contract | None]:
        """(canonical symbol, contract) for a typed symbol; ("", None) when the gateway knows none.

        A leading "/" names a futures root, resolved as its continuous future; anything else is
        a stock routed SMART in USD.
        """
        if symbol in self._resolved:
            return self._resolved[symbol]
        future = symbol.startswith("/")
        wanted = ContFuture(symbol[1:].upper()) if future else Stock(symbol.upper(), "SMART", "USD")
        details = await asyncio.wait_for(self.ib.reqContractDetailsAsync(wanted), RESOLVE_TIMEOUT)
        if not details:
            return "", None
        if len(details) > 1:
            logger.info("[{}] {} contracts match, using the first: {}", symbol, len(details),
                        ", ".join(f"{d.contract.localSymbol}@{d.contract.exchange}" for d in details))
        # Details carry a plain Contract; its own class (Stock, Future) is what the commands test.
        contract = Contract.recreate(details[0].contract)
        found = ("/" + contract.symbol) if future else contract.symbol
        self._resolved[symbol] = (found, contract)
        return found, contract

    async def loadExecutions(self) -> None:
        """Ask the gateway for the executions again; the client's fills are current afterwards."""
        await asyncio.wait_for(self.ib.reqExecutionsAsync(), EXECUTIONS_TIMEOUT)

    def describe_gateway(self) -> str:
        return f"{self.address[0]}:{self.address[1]}" if self.address else "none"

    def close(self) -> None:
        if self.ib is not None:
            self.ib.disconnect()


@contextmanager
def _ib_async_quiet():
    # ib_async logs a failed connection itself, in several lines; the runner says it once.
    lib = logging.getLogger("ib_async")
    previous = lib.level
    if lib.getEffectiveLevel() > logging.INFO:
        lib.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        lib.setLevel(previous)


async def connect(address: tuple[str, int] | None, clientId: int, timeout: float = CONNECT_TIMEOUT) -> HostState:
    """A state connected to the gateway at `address`, or a disconnected one when that fails."""
    if address is None:
        return HostState(clientId=clientId)
    host, port = address
    ib = IB()
    try:
        with _ib_async_quiet():
            # Read-only: the commands only look; the gateway then also skips the order sync.
            await ib.connectAsync(host, port, clientId=clientId, timeout=timeout, readonly=True)
    except Exception as e:
        logger.warning("No gateway at {}:{} ({}); going on without it: kline serves from yfinance, "
                       "commands that need the gateway are refused", host, port, str(e) or type(e).__name__)
        return HostState(address=address, clientId=clientId)
    logger.info("Connected to the gateway at {}:{} as client {}", host, port, clientId)
    return HostState(ib, address=address, clientId=clientId)
