"""The state object handed to every command: the gateway connection and what it answers."""

import asyncio
import datetime as dt

from ib_async import ContFuture, Contract, Stock
from loguru import logger

from .address import describe
from .gateway import NO_SECURITY_DEFINITION, ClientIdInUse, GatewayClient, GatewayError, GatewayUnanswered

CONNECT_TIMEOUT = 4.0
# The gateway answers an unknown contract with an error that ends the request; these only
# bound a gateway that stops answering altogether.
RESOLVE_TIMEOUT = 10.0
EXECUTIONS_TIMEOUT = 30.0
# Client ids tried in turn when none was chosen: 1, 2, ... up to this many.
CLIENT_ID_TRIES = 5

WITHOUT_GATEWAY = "going on without it: kline serves from yfinance, commands that need the gateway are refused"
# After a try that waited out the whole connect timeout (a gateway host that does not answer),
# the commands go on without the gateway for this long before the next try costs that wait again.
SLOW_RETRY_AFTER = 60.0
# Long enough for the event loop to read a connection's end and hand it to the client.
HANG_UP_READ = 0.005
# Commands that read the account's executions from the connection (`ib.fills()`).
READS_EXECUTIONS = frozenset({"executions", "pnl"})


class NoConnection(Exception):
    """The gateway could not be connected to; the text says where and why."""

    def __init__(self, text: str, *, absent: bool):
        super().__init__(text)
        self.absent = absent  # no gateway there (rather than one that turned the client id down)


class HostState:
    """`connected`, `positionalQuoteRepopulate`, `loadExecutions` and `clientId` for the commands.

    It also owns the connection: `open` connects (trying further client ids when
    `clientIdTries` > 1), `reach` finds the gateway again before a command that uses it, `close`
    ends it. Commands may run on it side by side (the symbols of a watchlist, the tasks of an
    API session): connecting and the first executions request are done once for all of them.
    """

    def __init__(self, ib=None, *, address: tuple[str, int] | None = None, clientId: int = 0,
                 clientIdTries: int = 1, timeout: float = CONNECT_TIMEOUT):
        self.ib = ib
        self.address = address
        self.clientId = clientId
        self.clientIdTries = clientIdTries
        self.timeout = timeout
        self.since: dt.datetime | None = None
        # Whether the user asked for the gateway at `address` (open), and not to be rid of it (close).
        self.wanted = False
        # The gateway was out of reach at the last try; when the next try may be made.
        self._away = False
        self._retry_at = 0.0
        self._tries = 0  # connection tries so far, so that commands side by side share one
        # Contracts as the gateway at `_resolved_at` named them, by the symbol typed.
        self._resolved: dict[str, tuple[str, Contract]] = {}
        self._resolved_at = address
        self._lock = asyncio.Lock()

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

    async def executions_ready(self) -> None:
        """Ask for the executions once per connection, before the first command that reads them.

        A failure is not raised here: the client keeps it, and the command reading the fills says it.
        """
        async with self._lock:
            if self.connected and not self.ib.executionsAsked:
                try:
                    await self.loadExecutions()
                except GatewayUnanswered as e:
                    logger.debug("{}", e)

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
            return f"not connected: the gateway at {where} dropped the connection; the next command reconnects"
        if self.wanted:
            return f"not connected: no gateway at {where} at the last try; the next command tries again"
        return f"not connected to {where}; connect connects"

    async def open(self, address: tuple[str, int] | None = None) -> bool:
        """Connect to `address` (default: the last one); whether it worked.

        A working connection is kept until the new one is up: when that fails, the commands go
        on with the one they had.
        """
        async with self._lock:
            self.wanted = True
            if self.connected and address in (None, self.address):
                logger.info("Already connected to the gateway at {} as client {}", self.describe_gateway(), self.clientId)
                return True
            target = address or self.address
            if target is None:
                return False
            if self.dropped:
                self.close(wanted=True)
            kept = self.describe_gateway() if self.connected else None
            if kept is None:
                self.address = target
            try:
                ib, clientId = await self._try(target, away=kept is None)
            except NoConnection as e:
                logger.warning("{}; {}", e, f"still connected to {kept}" if kept else
                               WITHOUT_GATEWAY if e.absent else "pass --client-id N")
                return False
            self._use(ib, clientId, target)
            logger.info("Connected to the gateway at {} as client {}", self.describe_gateway(), clientId)
            return True

    async def reach(self, *, meanwhile: str = WITHOUT_GATEWAY) -> None:
        """Before a command that uses the gateway: find it again where the connection is gone.

        A connection the gateway dropped is made again at once (said once). While the gateway
        is out of reach, each command tries it again first (a refused connection costs nothing;
        after a try that waited out the timeout, the next waits SLOW_RETRY_AFTER), quietly, and
        its return is said once. Commands that run side by side share one try. Nothing is tried
        after `close` (the shell's disconnect). `meanwhile`: what goes on without the gateway,
        said with its absence.
        """
        if self.wanted and self.ib is not None:
            # The shell's loop runs only while a command does: a gateway that hung up while the
            # prompt waited is noticed once the loop has read its end of the connection.
            await asyncio.sleep(HANG_UP_READ)
        if self.connected or not self.wanted or self.address is None:
            return
        tries = self._tries
        async with self._lock:
            waiting = self._away and asyncio.get_running_loop().time() < self._retry_at
            if self.connected or not self.wanted or waiting or self._tries != tries:
                return
            where, back = self.describe_gateway(), self._away
            if self.dropped:
                logger.warning("The gateway at {} dropped the connection; reconnecting", where)
                self.close(wanted=True)
            try:
                ib, clientId = await self._try(self.address, away=True)
            except NoConnection as e:
                if back:
                    logger.debug("{}", e)
                else:
                    logger.warning("{}; {}", e, meanwhile if e.absent else "pass --client-id N")
                return
            self._use(ib, clientId, self.address)
            if back:
                logger.info("The gateway at {} is back: connected as client {}", where, clientId)
            else:
                logger.info("Connected to the gateway at {} as client {}", where, clientId)

    async def _try(self, address: tuple[str, int], *, away: bool) -> tuple[GatewayClient, int]:
        """`_dial`, counted; a failure marks the gateway out of reach (where `away`), and when the
        next try may be made."""
        loop = asyncio.get_running_loop()
        started = loop.time()
        try:
            return await self._dial(address)
        except NoConnection:
            if away:
                self._away = True
                waited = loop.time() - started >= self.timeout
                self._retry_at = loop.time() + (SLOW_RETRY_AFTER if waited else 0.0)
            raise
        finally:
            self._tries += 1

    async def _dial(self, address: tuple[str, int]) -> tuple[GatewayClient, int]:
        """A new connection to the gateway at `address` and its client id; NoConnection when there is none."""
        host, port = address
        where = describe(address)
        first = self.clientId
        for clientId in range(first, first + max(1, self.clientIdTries)):
            ib = GatewayClient()
            try:
                await ib.connectAsync(host, port, clientId=clientId, timeout=self.timeout, readonly=True)
            except ClientIdInUse:
                logger.debug("Client id {} is in use at {}", clientId, where)
                continue
            except TimeoutError:
                raise NoConnection(f"No gateway at {where} (no answer within {self.timeout:g} s)", absent=True) from None
            except Exception as e:
                reason = str(e) or type(e).__name__
                raise NoConnection(f"No gateway at {where} ({reason})", absent=True) from None
            return ib, clientId
        if self.clientIdTries > 1:
            taken = f"client ids {first} to {clientId} are in use by other sessions"
        else:
            taken = f"client id {first} is in use by another session"
        raise NoConnection(f"Gateway at {where}: {taken}", absent=False)

    def _use(self, ib: GatewayClient, clientId: int, address: tuple[str, int]) -> None:
        self.close(wanted=True)
        if address != self._resolved_at:
            # Another gateway (live instead of paper, say) may know other contracts.
            self._resolved.clear()
            self._resolved_at = address
        self.ib, self.clientId, self.address, self.since = ib, clientId, address, dt.datetime.now()
        self._away = False

    def close(self, *, wanted: bool = False) -> None:
        """End the connection; unless `wanted`, the commands go on without the gateway until `open`."""
        if self.ib is not None:
            self.ib.disconnect()
        self.ib = None
        self.wanted = wanted


def host_state(address: tuple[str, int] | None, clientId: int | None, *, timeout: float = CONNECT_TIMEOUT,
               clientIdTries: int = 1) -> HostState:
    """A state for the gateway at `address`, not connected yet: the first command that uses the
    gateway connects (`reach`).

    With `clientIdTries` above 1, the ids after `clientId` are tried in turn while the gateway
    says the id is in use. A `clientId` of None (the user chose none) is the first free one of
    1 to CLIENT_ID_TRIES; a chosen id that another session holds is reported, not replaced.
    """
    if clientId is None:
        clientId, clientIdTries = 1, CLIENT_ID_TRIES
    state = HostState(address=address, clientId=clientId, clientIdTries=clientIdTries, timeout=timeout)
    state.wanted = address is not None
    return state


async def connect(address: tuple[str, int] | None, clientId: int | None, *, timeout: float = CONNECT_TIMEOUT,
                  clientIdTries: int = 1) -> HostState:
    """A state connected to the gateway at `address` (see `host_state`), or a disconnected one when that fails."""
    state = host_state(address, clientId, timeout=timeout, clientIdTries=clientIdTries)
    await state.open()
    return state
