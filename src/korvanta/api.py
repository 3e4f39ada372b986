"""The commands as Python functions returning pandas frames, for notebooks and scripts.

    from korvanta import api
    bars = api.kline("AAPL", "day", 100, gateway="127.0.0.1:4002")      # indexed by date
    fills = api.executions("aapl", reload=True)                         # one row per fill
    journal = api.pnl("AAPL", "MSFT")                                   # one row per trading day and symbol
    bars = await api.kline_async("AAPL", "5m", 200, adjusted=True)      # on the caller's loop

Each call runs one command exactly as the `korvanta` runner does: it connects to the gateway
(`gateway="HOST:PORT"`, else `$KORVANTA_GATEWAY`; `client_id`, else `$KORVANTA_CLIENT_ID`,
else the first free id of 1 to 5), runs the command, and disconnects. Without a gateway, or
when it cannot be reached, kline serves from yfinance and executions fails; `source="gateway"`
or `"yfinance"` has kline use that one alone. Every failure raises `CommandError` with the
command's error text in one line; words or arguments the command does not take raise
`UsageError`, which is a `CommandError` and a `ValueError` too, before anything connects.
The tables a command prints are left out unless `show=True`.

Logging. Importing this module has loguru show warnings and errors only (its own default
shows every line, debug ones included), unless the program has set loguru up already.
For more: `from korvanta.runner import logs; logs.configure(0)` gives the runner's info
lines, `logs.configure(1)` the debug lines too; `loguru.logger.remove()` silences it all.

Event loops. The `..._async` functions run on the loop that awaits them. The plain functions
block until the command is done, on an event loop that they choose by where they are called:

- where no loop runs in the calling thread and none is set for it (a script, a plain Python
  shell): on a private loop in the calling thread, made for the call and closed after it;
- where a loop is set for the calling thread but not running (`asyncio.set_event_loop`, as
  ib_async programs do): on that loop, given back as it was;
- where a loop is running in the calling thread (a Jupyter notebook, an async program): that
  loop cannot be blocked on from inside, so on a private loop in a helper thread, while the
  calling thread waits. Ctrl-C (or the notebook's interrupt) cancels the command.
"""

import asyncio
import datetime as dt
import os
import threading
from collections.abc import Awaitable, Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, TypeVar

# One exception type for every failure, the runner's own: its text is the command's error text.
from korvanta.runner import logs
from korvanta.runner.errors import CommandError, UsageError

logs.warnings_only_by_default()

if TYPE_CHECKING:
    import pandas as pd

T = TypeVar("T")


# ---- running one command line

def _address(gateway: str | None) -> tuple[str, int] | None:
    from korvanta.runner.address import parse_address

    text = os.environ.get("KORVANTA_GATEWAY", "") if gateway is None else gateway
    try:
        return parse_address(text)
    except ValueError as e:
        raise UsageError(f"gateway: {e}") from None


async def _run(words: list[str], gateway: str | None, client_id: int | None, show: bool,
               to_frame: Callable[[Any], "pd.DataFrame"], *, tz: str | None = None,
               rth: bool = False, source: str = "auto") -> "pd.DataFrame":
    """Run one command line and return its records, as `to_frame` makes them of its result."""
    from korvanta.runner import sources
    from korvanta.runner.commands import check, execute_line, load_command_modules
    from korvanta.runner.display import show_bars, show_unprinted
    from korvanta.runner.origin import origin_of
    from korvanta.runner.settings import ResultSettings, parse_source
    from korvanta.runner.state import connect
    from korvanta.runner.views import command_view
    from quodra import frame

    address = _address(gateway)
    try:
        source = parse_source(source)
    except ValueError as e:
        raise UsageError(f"source: {e}") from None
    if client_id is None and os.environ.get("KORVANTA_CLIENT_ID"):
        client_id = int(os.environ["KORVANTA_CLIENT_ID"])
    view = ResultSettings(tz=tz, rth=rth)
    load_command_modules()
    check(words)
    if sources.shuns_gateway(words[0], source):
        address = None
    state = await connect(address, client_id)
    try:
        # Only this call's tables: the settings are this task's own.
        with frame.using(shown=show, rows=None):
            printed_before = frame.printed
            with command_view(words, view):
                result = await execute_line(words, state,
                                            no_gateway_hint="pass gateway='HOST:PORT' or set KORVANTA_GATEWAY",
                                            source=source)
            found = to_frame(result)
            if show and view.reshaped and isinstance(result, dict):
                show_bars(result, found, printed_before)
            elif show:
                show_unprinted(result, printed_before)
            if show and (origin := origin_of(result)) is not None:
                print(origin.line(), flush=True)
            return found
    finally:
        state.close()


# ---- one event loop or another for the blocking forms

def _on_private_loop(make: Callable[[], Awaitable[T]]) -> T:
    """`asyncio.run(make())`, without waiting at the end for a worker thread that still runs.

    A yfinance fetch given up on after KORVANTA_YF_TIMEOUT goes on in a thread of the loop's
    default executor, which nothing can stop; closing the loop as asyncio.run does would hold
    the answer back (up to minutes) until the fetch ends. The thread finishes on its own.
    """
    workers = ThreadPoolExecutor(thread_name_prefix="korvanta-api")
    with asyncio.Runner() as runner:
        loop = runner.get_loop()
        loop.set_default_executor(workers)
        try:
            return runner.run(make())
        finally:
            workers.shutdown(wait=False)
            # The runner's close waits for whatever executor the loop has then: an idle one.
            loop.set_default_executor(ThreadPoolExecutor(max_workers=1))


def _in_helper_thread(make: Callable[[], Awaitable[T]]) -> T:
    done: dict[str, Any] = {}
    started = threading.Event()

    async def main() -> T:
        done["loop"], done["task"] = asyncio.get_running_loop(), asyncio.current_task()
        started.set()
        return await make()

    def target() -> None:
        try:
            done["result"] = _on_private_loop(main)
        except BaseException as e:  # handed to the waiting thread, which raises it
            done["error"] = e
        finally:
            started.set()

    helper = threading.Thread(target=target, name="korvanta-api", daemon=True)
    helper.start()
    try:
        helper.join()
    except KeyboardInterrupt:
        started.wait()
        try:
            done["loop"].call_soon_threadsafe(done["task"].cancel)
        except (KeyError, RuntimeError):
            pass  # never started, or over and its loop closed
        helper.join()
        raise
    if "error" in done:
        raise done["error"]
    return done["result"]


def _blocking(make: Callable[[], Awaitable[T]]) -> T:
    """Run the coroutine that `make` returns to its end, on a loop the calling thread allows (module doc)."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        return _in_helper_thread(make)
    try:
        loop = asyncio.get_event_loop()
    except RuntimeError:
        loop = None
    if loop is not None and not loop.is_closed():
        return loop.run_until_complete(make())
    return _on_private_loop(make)


# ---- the commands

def _kline_words(symbol: str, period: str, count: int | None, adjusted: bool,
                 start: dt.date | str | None, end: dt.date | str | None) -> list[str]:
    words = ["kline", symbol]
    if period.lower() == "intraday":
        if start is not None or end is not None or count is not None or adjusted:
            raise UsageError("kline: the intraday curve takes no count, dates or adjustment")
        return [*words, "intraday"]
    if start is not None:
        if count is not None:
            raise UsageError("kline: give a count or a start date, not both")
        words += [str(start)] + ([str(end)] if end is not None else [])
        return [*words, period] + (["adj"] if adjusted else [])
    if end is not None:
        raise UsageError("kline: an end date needs a start date")
    return [*words, period] + ([str(int(count))] if count is not None else []) + (["adj"] if adjusted else [])


def _with_origin(frame: "pd.DataFrame", result: dict) -> "pd.DataFrame":
    from korvanta.runner.origin import origin_of

    origin = origin_of(result)
    if origin is not None:
        frame.attrs.update(origin=origin.source, covers=(origin.first, origin.last))
    return frame


async def kline_async(symbol: str, period: str = "day", count: int | None = None, *, adjusted: bool = False,
                      start: dt.date | str | None = None, end: dt.date | str | None = None,
                      tz: str | None = None, rth: bool = False, gateway: str | None = None,
                      client_id: int | None = None, show: bool = False, source: str = "auto") -> "pd.DataFrame":
    """Bars of `symbol` as the runner's `kline` gives them, indexed by their start ("date").

    `period`: 1m, 5m, 15m, 30m, 1h, day, week, month, year (or an alias the command knows), or
    "intraday" for today's one-minute curve. `count`: the latest N bars (the command's default
    for the period when None). `start`/`end` (dates or YYYY-MM-DD): the bars of a date range
    instead, up to today without `end`. `adjusted`: split- and dividend-adjusted bars.
    Intraday bars are indexed by aware times in the exchange's zone (`tz`: in that zone
    instead), daily and longer ones by their dates; prices and volume are float64, barCount
    Int64. `rth`: only the intraday bars inside the regular session. `source`: "auto" (the
    gateway, falling back to yfinance), "gateway" or "yfinance" alone.
    The result's other fields (symbol, period, source, cached, ...) are in the frame's `attrs`,
    with the index's `timezone`, `origin` ("gateway", "yfinance" or "cache": where the bars
    came from) and `covers` (the first and last bar's start, as text).
    """
    from korvanta.runner.records import kline_frame
    from korvanta.runner.settings import parse_tz

    words = _kline_words(symbol, period, count, adjusted, start, end)
    tz = None if tz is None else parse_tz(tz)
    return await _run(words, gateway, client_id, show,
                      lambda result: _with_origin(kline_frame(result, tz=tz, rth=rth), result),
                      tz=tz, rth=rth, source=source)


def kline(symbol: str, period: str = "day", count: int | None = None, *, adjusted: bool = False,
          start: dt.date | str | None = None, end: dt.date | str | None = None, tz: str | None = None,
          rth: bool = False, gateway: str | None = None, client_id: int | None = None,
          show: bool = False, source: str = "auto") -> "pd.DataFrame":
    """`kline_async`, blocking; which event loop it runs on is in the module's documentation."""
    return _blocking(lambda: kline_async(symbol, period, count, adjusted=adjusted, start=start, end=end, tz=tz,
                                         rth=rth, gateway=gateway, client_id=client_id, show=show, source=source))


async def executions_async(*symbols: str, reload: bool = False, mine: bool = False, tz: str | None = None,
                           gateway: str | None = None, client_id: int | None = None,
                           show: bool = False) -> "pd.DataFrame":
    """The account's fills as the runner's `executions` gives them: one row per fill, in time order.

    `symbols`: only these (any case). `reload`: ask the gateway for the executions again first.
    `mine`: only the fills of this client id. The money columns are numbers; the summary rows
    of the printed table are left out (`show=True` prints it with the summaries). `timestamp`
    is aware, in the display zone (`tz`: in that zone, the printed tables too), `date` its
    date. The call's words are in the frame's `attrs`, with the `timezone`.
    """
    from korvanta.runner.records import executions_frame
    from korvanta.runner.settings import parse_tz

    words = ["executions", *symbols] + ([":refresh"] if reload else []) + ([":mine"] if mine else [])
    tz = None if tz is None else parse_tz(tz)

    def records(rows: Any) -> "pd.DataFrame":
        fills = executions_frame(rows, tz=tz)
        fills.attrs.update(symbols=sorted({s.upper() for s in symbols}), reload=reload, mine=mine)
        return fills

    return await _run(words, gateway, client_id, show, records, tz=tz)


def executions(*symbols: str, reload: bool = False, mine: bool = False, tz: str | None = None,
               gateway: str | None = None, client_id: int | None = None, show: bool = False) -> "pd.DataFrame":
    """`executions_async`, blocking; which event loop it runs on is in the module's documentation."""
    return _blocking(lambda: executions_async(*symbols, reload=reload, mine=mine, tz=tz, gateway=gateway,
                                              client_id=client_id, show=show))


async def pnl_async(*symbols: str, reload: bool = False, gateway: str | None = None, client_id: int | None = None,
                    show: bool = False) -> "pd.DataFrame":
    """The trading journal as the runner's `pnl` gives it: one row per trading day and symbol.

    Columns: trading_day, symbol, secType, fills, bought, sold, realized, commission, net
    (realized - commission) and cum_net (the running net), in trading-day order. `symbols`:
    only these (any case; a symbol takes in its futures and options). `reload`: ask the gateway
    for the executions again first. The open positions the account ends with are in
    `attrs["positions"]` (records of symbol, secType, position, avgCost, costBasis), with the
    call's words; the printed totals by day and symbol are a `groupby` away (`show=True`
    prints them).
    """
    import pandas as pd

    from korvanta.journal import RECORD_COLUMNS

    words = ["pnl", *symbols] + ([":refresh"] if reload else [])

    def records(result: Any) -> "pd.DataFrame":
        journal = pd.DataFrame.from_records(result, columns=list(RECORD_COLUMNS))
        journal.attrs.update(symbols=sorted({s.upper() for s in symbols}), reload=reload,
                             positions=list(getattr(result, "positions", [])))
        return journal

    return await _run(words, gateway, client_id, show, records)


def pnl(*symbols: str, reload: bool = False, gateway: str | None = None, client_id: int | None = None,
        show: bool = False) -> "pd.DataFrame":
    """`pnl_async`, blocking; which event loop it runs on is in the module's documentation."""
    return _blocking(lambda: pnl_async(*symbols, reload=reload, gateway=gateway, client_id=client_id, show=show))
