"""The state object handed to every command: the gateway connection and what it answers."""

import asyncio
import datetime as dt

from ib_async import ContFuture, Contract, Stock
from loguru import logger

from .address import describe
from .gateway import NO_SECURITY_DEFINITION, ClientIdInUse, GatewayClient, GatewayError

CONNECT_TIMEOUT = 4.0
# The gateway answers an unknown contract with an error that ends the request; these only
# bound a gateway that stops answering altogether.
RESOLVE_TIMEOUT = 10.0
EXECUTIONS_TIMEOUT = 30.0
# Client ids tried in turn when none was chosen: 1, 2, ... up to this many.
CLIENT_ID_TRIES = 5

WITHOUT_GATEWAY = "going on without it: kline serves from yfinance, commands that need the gateway are refused"


class HostState:
    """`connected`, `positionalQuoteRepopulate`, `loadExecutions` and `clientId` for the commands.

    It also owns the connection: `open` connects (trying further client ids when
    `clientIdTries` > 1), `recover` reconnects once after the gateway dropped, `close` ends it.
    """

    def __init__(self, ib=None, *, address: tuple[str, int] | None = None, clientId: int = 0,
                 clientIdTries: int = 1, timeout: float = CONNECT_TIMEOUT):
        self.ib = ib
        self.address = address
        self.clientId = clientId
        self.clientIdTries = clientIdTries
        self.timeout = timeout
        self.since: dt.datetime | None = None
        self._resolved: dict[str, tuple[str, Contract]] = {}

    @property
    def connected(self) -> bool:
        # Asked per command, so a gateway lost in the middle of a session counts as gone.
        return self.ib is not None and self.ib.isConnected()

    @property
    def dropped(self) -> bool:
        """The gateway ended a connection that `close` did not."""
        return self.ib is not None and not self.ib.isConnected()

    # ---- what the commands ask

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Contract | None]:
        """(canonical symbol, contract) for a typed symbol; ("", None) when the gateway knows none.

        A leading "/" names a futures root, resolved as its continuous future; anything else is
        a stock routed SMART in USD.
        """
        if symbol in self._resolved:
            return self._resolved[symbol]
        future = symbol.startswith("/")
        wanted = ContFuture(symbol[1:].upper()) if future else Stock(symbol.upper(), "SMART", "USD")
        try:
            details = await asyncio.wait_for(self.ib.reqContractDetailsAsync(wanted), RESOLVE_TIMEOUT)
        except TimeoutError:
            raise TimeoutError(f"contract lookup for {symbol} timed out after {RESOLVE_TIMEOUT:g} s") from None
        except GatewayError as e:
            if e.code != NO_SECURITY_DEFINITION:
                raise
            logger.warning("[{}] {}", symbol, e)
            details = []
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
        await self.ib.reqExecutionsChecked(EXECUTIONS_TIMEOUT)

    # ---- the connection

    def describe_gateway(self) -> str:
        return describe(self.address)

    def status(self) -> str:
        """One line on the connection, for the shell's `status`."""
        if self.address is None:
            return "no gateway; connect HOST:PORT connects to one"
        where = self.describe_gateway()
        if self.connected:
            line = f"connected to {where} as client {self.clientId} since {self.since:%H:%M:%S}"
            failure = getattr(self.ib, "executionsFailure", None)
            return f"{line}; {failure}" if failure else line
        if self.dropped:
            return f"not connected: the gateway at {where} dropped the connection; connect reconnects"
        return f"not connected to {where}; connect connects"

    async def open(self, address: tuple[str, int] | None = None) -> bool:
        """Connect to `address` (default: the last one), replacing any connection; whether it worked."""
        if self.connected and address in (None, self.address):
            logger.info("Already connected to the gateway at {} as client {}", self.describe_gateway(), self.clientId)
            return True
        self.close()
        if address is not None and address != self.address:
            # Another gateway (live instead of paper, say) may know other contracts.
            self._resolved.clear()
            self.address = address
        if self.address is None:
            return False
        host, port = self.address
        where = self.describe_gateway()
        first = self.clientId
        for clientId in range(first, first + max(1, self.clientIdTries)):
            ib = GatewayClient()
            try:
                await ib.connectAsync(host, port, clientId=clientId, timeout=self.timeout, readonly=True)
            except ClientIdInUse:
                logger.debug("Client id {} is in use at {}", clientId, where)
                continue
            except TimeoutError:
                logger.warning("No gateway at {} (no answer within {:g} s); {}", where, self.timeout, WITHOUT_GATEWAY)
                return False
            except Exception as e:
                reason = str(e) or type(e).__name__
                logger.warning("No gateway at {} ({}); {}", where, reason, WITHOUT_GATEWAY)
                return False
            self.ib, self.clientId, self.since = ib, clientId, dt.datetime.now()
            logger.info("Connected to the gateway at {} as client {}", where, clientId)
            return True
        if self.clientIdTries > 1:
            taken = f"client ids {first} to {clientId} are in use by other sessions"
        else:
            taken = f"client id {first} is in use by another session"
        logger.warning("Gateway at {}: {}; pass --client-id N", where, taken)
        return False

    async def recover(self) -> None:
        """After the gateway dropped the connection, reconnect once, and say so."""
        if self.dropped:
            # One try per drop: when it fails, `open` leaves no connection to recover.
            logger.warning("The gateway at {} dropped the connection; reconnecting", self.describe_gateway())
            await self.open()

    def close(self) -> None:
        if self.ib is not None:
            self.ib.disconnect()
        self.ib = None


async def connect(address: tuple[str, int] | None, clientId: int | None, *, timeout: float = CONNECT_TIMEOUT,
                  clientIdTries: int = 1) -> HostState:
    """A state connected to the gateway at `address`, or a disconnected one when that fails.

    With `clientIdTries` above 1, the ids after `clientId` are tried in turn while the gateway
    says the id is in use. A `clientId` of None (the user chose none) is the first free one of
    1 to CLIENT_ID_TRIES; a chosen id that another session holds is reported, not replaced.
    """
    if clientId is None:
        clientId, clientIdTries = 1, CLIENT_ID_TRIES
    state = HostState(address=address, clientId=clientId, clientIdTries=clientIdTries, timeout=timeout)
    await state.open()
    return state
