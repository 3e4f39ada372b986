"""`Session`: one gateway connection for many calls, from blocking code, async code or both."""

import asyncio
import contextlib
import datetime as dt
import functools
import os
import threading
from collections.abc import AsyncIterator, Awaitable, Callable, Coroutine, Sequence
from typing import TYPE_CHECKING, Any, TypeVar

from korvanta.runner.errors import CommandError, UsageError

from . import commands
from .commands import Call, Errors
from .loops import LoopThread

if TYPE_CHECKING:
    import pandas as pd

    from korvanta.runner.state import HostState

T = TypeVar("T")


def gateway_address(gateway: str | None) -> tuple[str, int] | None:
    """HOST:PORT as a pair (None: `$KORVANTA_GATEWAY`; "": no gateway); UsageError for anything else."""
    from korvanta.runner.address import parse_address

    text = os.environ.get("KORVANTA_GATEWAY", "") if gateway is None else gateway
    try:
        return parse_address(text)
    except ValueError as e:
        raise UsageError(f"gateway: {e}") from None


def client_id_of(client_id: int | None) -> int | None:
    if client_id is None and os.environ.get("KORVANTA_CLIENT_ID"):
        return int(os.environ["KORVANTA_CLIENT_ID"])
    return client_id


def _blocking_twin(method: Callable[..., Coroutine[Any, Any, T]]) -> Callable[..., T]:
    """The blocking form of a session's `..._async` method."""
    @functools.wraps(method)
    def twin(self: "Session", *args: Any, **kwargs: Any) -> T:
        return self._wait(method(self, *args, **kwargs))

    twin.__name__ = twin.__qualname__ = method.__name__.removesuffix("_async")
    twin.__doc__ = f"`{method.__name__}`, blocking until it is done (from any thread)."
    return twin


class Session:
    """One gateway connection for every call made through it, for as long as it is open.

        with api.Session(gateway="127.0.0.1:4002") as s:          # or: async with
            bars = s.kline("AAPL", "day", 100)
            watch = s.klines(["AAPL", "MSFT", "TSLA"], "day", 100)  # one frame, by symbol and date
            fills = s.executions("aapl")

    It connects at the first call that uses the gateway (`gateway`: HOST:PORT, else
    `$KORVANTA_GATEWAY`; `client_id`, else `$KORVANTA_CLIENT_ID`, else the first free id of 1
    to 5), and finds the gateway again before each such call while it is gone (a gateway that
    restarted, say). Calls may be made side by side, from tasks or threads: they share the
    connection (and the gateway's pacing). `close()` (or leaving the `with` block) ends it.

    Blocking calls run on a loop of the session's own, in a thread of its own, whatever the
    calling thread runs (a notebook's loop, nest_asyncio). The `_async` calls of a session
    entered with `async with` run on the loop that entered it; those of any other session on
    its own loop, awaited from the caller's.
    """

    def __init__(self, gateway: str | None = None, client_id: int | None = None):
        from korvanta.runner.state import host_state

        self.address = gateway_address(gateway)
        self.state: "HostState" = host_state(self.address, client_id_of(client_id))
        # The loop the connection lives on, chosen at the first call; its thread, if the session's own.
        self._home: asyncio.AbstractEventLoop | None = None
        self._thread: LoopThread | None = None
        self._guard = threading.Lock()
        self._closed = False

    # ---- which loop

    def _home_for(self, running: asyncio.AbstractEventLoop | None) -> asyncio.AbstractEventLoop:
        """The connection's loop; at the first call, the caller's `running` loop where its tasks
        are asyncio's own, else one of the session's own."""
        with self._guard:
            if self._closed:
                raise CommandError("the session is closed")
            if self._home is None:
                if running is not None and asyncio.current_task() is not None:
                    self._home = running
                else:
                    self._thread = LoopThread()
                    self._home = self._thread.loop
            if self._home.is_closed():
                raise CommandError("the event loop this session's connection ran on is closed; open a new session")
            return self._home

    async def _on_home(self, make: Callable[[], Awaitable[T]]) -> T:
        running = asyncio.get_running_loop()
        home = self._home_for(running)
        if home is running:
            return await make()

        async def there() -> T:
            return await make()

        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(there(), home))

    def _wait(self, coroutine: Coroutine[Any, Any, T]) -> T:
        """Run an `_async` call to its end while the calling thread waits."""
        try:
            running: asyncio.AbstractEventLoop | None = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        try:
            home = self._home_for(None)
        except CommandError:
            coroutine.close()
            raise
        if home is running:
            coroutine.close()
            raise CommandError("this session's connection runs on the loop of this thread, which a blocking call "
                               "would stop: await the call's _async form")
        if self._thread is not None and home is self._thread.loop:
            return self._thread.wait(coroutine)
        return asyncio.run_coroutine_threadsafe(coroutine, home).result()

    # ---- opening and closing

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    async def __aenter__(self) -> "Session":
        self._home_for(asyncio.get_running_loop())
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def _closing(self) -> tuple[asyncio.AbstractEventLoop | None, LoopThread | None]:
        with self._guard:
            if self._closed:
                return None, None
            self._closed = True
            return self._home, self._thread

    async def _disconnect(self) -> None:
        self.state.close()

    def _disconnect_here(self) -> None:
        try:
            self.state.close()
        except RuntimeError:
            pass  # its loop is closed, and with it the connection

    def close(self) -> None:
        """End the connection (and the session's own loop); later calls raise CommandError."""
        home, thread = self._closing()
        if thread is not None:
            thread.wait(self._disconnect())
            thread.close()
        elif home is not None:
            try:
                running = asyncio.get_running_loop()
            except RuntimeError:
                running = None
            if home.is_running() and home is not running:
                asyncio.run_coroutine_threadsafe(self._disconnect(), home).result()
            else:
                # On its loop, or with the loop over (the `asyncio.run` that made it has ended).
                self._disconnect_here()

    async def aclose(self) -> None:
        """`close`, from async code."""
        home, thread = self._closing()
        if home is asyncio.get_running_loop() or home is not None and not home.is_running():
            self._disconnect_here()
        elif home is not None:
            await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(self._disconnect(), home))
        if thread is not None:
            await asyncio.to_thread(thread.close)

    @property
    def connected(self) -> bool:
        return self.state.connected

    def status(self) -> str:
        """The connection in one line, as the shell's `status` says it."""
        return self.state.status()

    # ---- the calls

    async def _records(self, call: Call, show: bool, errors: Errors = "raise") -> "pd.DataFrame":
        return await self._on_home(lambda: commands.records(call, self.state, show=show, errors=errors))

    async def kline_async(self, symbol: str, period: str = "day", count: int | None = None, *,
                          adjusted: bool = False, start: dt.date | str | None = None,
                          end: dt.date | str | None = None, tz: str | None = None, rth: bool = False,
                          show: bool = False, source: str = "auto") -> "pd.DataFrame":
        """Bars of `symbol` as the runner's `kline` gives them, indexed by their start ("date").

        `period`: 1m, 5m, 15m, 30m, 1h, day, week, month, year (or an alias the command knows),
        or "intraday" for today's one-minute curve. `count`: the latest N bars (the command's
        default for the period when None). `start`/`end` (dates or YYYY-MM-DD): the bars of a
        date range instead, up to today without `end`. `adjusted`: split- and dividend-adjusted
        bars. Intraday bars are indexed by aware times in the exchange's zone (`tz`: in that
        zone instead), daily and longer ones by their dates; prices and volume are float64,
        barCount Int64. `rth`: only the intraday bars inside the regular session. `source`:
        "auto" (the gateway, falling back to yfinance), "gateway" or "yfinance" alone.
        The result's other fields (symbol, period, source, cached, ...) are in the frame's
        `attrs`, with the index's `timezone`, `origin` ("gateway", "yfinance" or "cache": where
        the bars came from) and `covers` (the first and last bar's start, as text).
        """
        return await self._records(commands.kline_call(symbol, period, count, adjusted=adjusted, start=start,
                                                       end=end, tz=tz, rth=rth, source=source), show)

    async def klines_async(self, symbols: Sequence[str], period: str = "day", count: int | None = None, *,
                           adjusted: bool = False, start: dt.date | str | None = None,
                           end: dt.date | str | None = None, tz: str | None = None, rth: bool = False,
                           show: bool = False, source: str = "auto", errors: Errors = "raise") -> "pd.DataFrame":
        """The bars of several symbols, fetched side by side, as one frame indexed by symbol and date.

        The arguments are kline's, for each symbol. Times of symbols in different zones are
        given in UTC. `attrs` holds `symbols` (those in the frame, in the order given),
        `by_symbol` (each one's attrs, as kline gives them) and `failed` (symbol -> why).
        `errors="raise"` raises CommandError when any symbol failed, naming each; "skip" logs
        them and returns the others (CommandError when none is left).
        """
        return await self._records(commands.kline_call(symbols, period, count, adjusted=adjusted, start=start,
                                                       end=end, tz=tz, rth=rth, source=source), show, errors)

    async def executions_async(self, *symbols: str, reload: bool = False, mine: bool = False,
                               tz: str | None = None, show: bool = False) -> "pd.DataFrame":
        """The account's fills as the runner's `executions` gives them: one row per fill, in time order.

        `symbols`: only these (any case). `reload`: ask the gateway for the executions again
        first (the session asks for them at its first executions or pnl call). `mine`: only the
        fills of this client id. The money columns are numbers; the summary rows of the
        printed table are left out (`show=True` prints it with the summaries). `timestamp` is
        aware, in the display zone (`tz`: in that zone, the printed tables too), `date` its
        date. The call's words are in the frame's `attrs`, with the `timezone`.
        """
        return await self._records(commands.executions_call(symbols, reload=reload, mine=mine, tz=tz), show)

    async def pnl_async(self, *symbols: str, reload: bool = False, show: bool = False) -> "pd.DataFrame":
        """The trading journal as the runner's `pnl` gives it: one row per trading day and symbol.

        Columns: trading_day, symbol, secType, fills, bought, sold, realized, commission, net
        (realized - commission) and cum_net (the running net), in trading-day order. `symbols`:
        only these (any case; a symbol takes in its futures and options). `reload`: ask the
        gateway for the executions again first. The open positions the account ends with are
        in `attrs["positions"]` (records of symbol, secType, position, avgCost, costBasis),
        with the call's words; the printed totals by day and symbol are a `groupby` away
        (`show=True` prints them).
        """
        return await self._records(commands.pnl_call(symbols, reload=reload), show)

    async def run_async(self, line: str | Sequence[str], *, show: bool = True, source: str = "auto",
                        errors: Errors = "raise") -> "pd.DataFrame":
        """Run one command line as the shell does (`"kline AAPL,MSFT day 5"`, without options) and
        return its records: kline's bars (of several symbols: by symbol and date), the fills, the
        journal's rows. Its tables are printed unless `show=False`."""
        return await self._records(commands.line_call(line, source), show, errors)

    async def watch(self, symbol: str | Sequence[str], period: str = "1m", count: int | None = None, *,
                    adjusted: bool = False, start: dt.date | str | None = None, end: dt.date | str | None = None,
                    tz: str | None = None, rth: bool = False,
                    source: str = "auto") -> AsyncIterator["pd.DataFrame"]:
        """Intraday bars kept current from the gateway's updates: `async for bars in s.watch(...)`.

        The first frame is the bars as `kline_async` gives them (the same arguments; a sequence of
        symbols gives one frame by symbol and date, as `klines_async`); then a frame at each
        update of the gateway, with the bar still forming as it grows and each new bar as it
        begins (the latest N stay N). `attrs` hold the result's fields, with `forming` (the
        start of the bar still forming, or None) and `updated` (when an update last changed a
        bar). A connection that drops is made again, and the updates go on, when the gateway
        is back. Leaving the loop cancels the subscription (at once with
        `contextlib.aclosing`; otherwise when the loop finalises the iterator).

        UsageError, before anything connects, for daily or longer bars, a range that ended
        before today, source="yfinance" (it sends no updates) or a session without a gateway;
        CommandError when the bars cannot be fetched.
        """
        from . import watching

        call = watching.check_watch(commands.kline_call(symbol, period, count, adjusted=adjusted, start=start,
                                                        end=end, tz=tz, rth=rth, source=source), self.address)
        consumer = asyncio.get_running_loop()
        latest: watching.Latest["pd.DataFrame"] = watching.Latest(consumer)
        home = self._home_for(consumer)
        if home is consumer:
            stop: Callable[[], Any] = asyncio.ensure_future(watching.produce(call, self.state, latest)).cancel
        else:
            stop = asyncio.run_coroutine_threadsafe(watching.produce(call, self.state, latest), home).cancel
        try:
            while True:
                yield await latest.get()
        finally:
            stop()
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(latest.finished.wait(), watching.CANCEL_WAIT)

    kline = _blocking_twin(kline_async)
    klines = _blocking_twin(klines_async)
    executions = _blocking_twin(executions_async)
    pnl = _blocking_twin(pnl_async)
    run = _blocking_twin(run_async)
