"""A command line naming several symbols in one word, a comma list: `kline AAPL,MSFT,TSLA day 5`.

The command runs for each symbol at once, over the one connection (the gateway client keeps
the historical requests of all of them within the gateway's pacing rules), and each symbol's
result is shown in its turn, in the order typed, never mixed with another's: its tables are
held back while it runs (`quodra.frame.holding`) and shown when the symbols before it are done,
with the line under them and its chart (`--chart FILE.png` draws `FILE-AAPL.png`, ...). `--out`
and `--format` take the records of every symbol that succeeded as one file or one stream, with
a `symbol` column. A symbol that fails is reported in its turn, in one line; the others are
still shown, and the line fails.

Commands that take any number of symbols anyway (executions, pnl) take a comma list as those
symbols.
"""

import asyncio
from collections.abc import Awaitable, Callable, Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from loguru import logger

from quodra import frame

from . import settings as result_settings
from .errors import CommandError, UsageError
from .words import is_list, symbol_list

if TYPE_CHECKING:
    import pandas as pd

    from .state import HostState

# command word -> the place of its symbol among the words after it, for a command that runs
# once per symbol.
LISTED: dict[str, int] = {"kline": 0}
# Commands whose words are any number of symbols already.
SPREAD = frozenset({"executions", "pnl"})
# Symbols run at a time: enough to keep the gateway's historical-data service busy, few enough
# that a watchlist of hundreds does not hold hundreds of requests and fallbacks at once.
AT_ONCE = 16


def symbols_of(words: Sequence[str]) -> list[str] | None:
    """The symbols of a line that names several for a command run once per symbol; None for
    any other line. The words are checked already (words.py)."""
    place = LISTED.get(words[0].lower()) if words else None
    if place is None or len(words) <= place + 1 or not is_list(words[place + 1]):
        return None
    return symbol_list(words[place + 1])


def line_for(words: Sequence[str], symbol: str) -> list[str]:
    """The line of one symbol of a listed line."""
    place = LISTED[words[0].lower()] + 1
    return [*words[:place], symbol, *words[place + 1:]]


def spread(words: Sequence[str]) -> list[str]:
    """The words of a command that takes several symbols, with each comma list as its symbols."""
    if not words or words[0].lower() not in SPREAD:
        return list(words)
    return [words[0], *(s for word in words[1:] for s in (symbol_list(word) if is_list(word) else [word]))]


def chart_file(chart: str | None, symbol: str) -> str | None:
    """The chart setting for one symbol: a picture `FILE.png` becomes `FILE-AAPL.png`."""
    if chart is None or chart == result_settings.TERMINAL:
        return chart
    path = Path(chart)
    return str(path.with_name(f"{path.stem}-{symbol.upper().lstrip('/')}{path.suffix}"))


def check_chart_files(symbols: Sequence[str], chart: str | None) -> None:
    """UsageError when two symbols would be drawn into one picture (ES and /ES)."""
    if chart is None or chart == result_settings.TERMINAL:
        return
    drawn: dict[str | None, str] = {}
    for symbol in symbols:
        file = chart_file(chart, symbol)
        if file in drawn:
            raise UsageError(f"{drawn[file]} and {symbol} would both be drawn into {file}")
        drawn[file] = symbol


@dataclass
class Outcome:
    """One symbol's run: its result, or the failure that ended it; and the tables it printed."""

    result: Any = None
    failure: CommandError | None = None
    tables: list[tuple["pd.DataFrame", str]] | None = None


Run = Callable[[list[str]], Awaitable[Any]]


async def outcomes(lines: Sequence[list[str]], run: Run, show: Callable[[int, Outcome], Awaitable[None]]) -> None:
    """Run each line with `run`, AT_ONCE at a time, and hand each outcome to `show` in the lines'
    order, as soon as it and those before it are done. Leaving early (cancelled, a closed
    output) cancels the runs not yet done."""
    gate = asyncio.Semaphore(AT_ONCE)

    async def one(line: list[str]) -> Outcome:
        async with gate:
            with frame.holding() as tables:
                try:
                    return Outcome(result=await run(line), tables=tables)
                except CommandError as e:
                    return Outcome(failure=e, tables=tables)

    tasks = [asyncio.ensure_future(one(line)) for line in lines]
    try:
        for i, task in enumerate(tasks):
            await show(i, await task)
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


async def show_outcome(outcome: Outcome, state: "HostState", wanted: result_settings.ResultSettings, *,
                       tables_shown: bool, found: Callable[["pd.DataFrame"], None] | None = None) -> int:
    """Show one symbol's outcome in its turn: the tables it held back, then its failure in one
    line, or its result as `wanted` asks, its tables shown as `tables_shown` says, whatever the
    command's view held back while it ran (its records, where the settings needed them, go to
    `found`); its exit status."""
    from .results import show_result

    printed_before = frame.printed
    # Under the command's view, as they were made (held back where the settings reshape them).
    for table, title in outcome.tables or ():
        frame.printFrame(table, title)
    if outcome.failure is not None:
        logger.error("{}", outcome.failure)
        return outcome.failure.status
    with frame.using(shown=tables_shown):
        shown, records = await show_result(outcome.result, printed_before, state, wanted)
    if found is not None and records is not None and records[0] == "bars":
        found(records[1])
    return 0 if shown else 1


async def run_listed(words: Sequence[str], symbols: Sequence[str], state: "HostState") -> int:
    """Run a listed line and show each symbol's result in turn; the exit status (1 when any
    symbol failed, 2 for a usage error)."""
    from .commands import execute_line
    from .records import listed_frame
    from .results import keep_records
    from .views import command_view

    wanted = result_settings.current()
    try:
        check_chart_files(symbols, wanted.chart)
    except UsageError as e:
        logger.error("{}: {}", words[0].lower(), e)
        return e.status
    records: dict[str, "pd.DataFrame"] = {}
    statuses: list[int] = []  # each symbol's

    tables_shown = frame.settings().shown

    async def show(i: int, outcome: Outcome) -> None:
        symbol = symbols[i]
        statuses.append(await show_outcome(outcome, state, replace(wanted, chart=chart_file(wanted.chart, symbol)),
                                           tables_shown=tables_shown,
                                           found=lambda bars: records.__setitem__(symbol.upper(), bars)))

    # One view for all of them: it may set a module's display zone, which runs side by side
    # must not each set and reset.
    with command_view(words, wanted):
        await outcomes([line_for(words, symbol) for symbol in symbols], lambda line: execute_line(line, state), show)
    kept = not records or not (wanted.format or wanted.out) or keep_records(("bars", listed_frame(records)), wanted)
    failed = sum(status != 0 for status in statuses)
    if failed and len(symbols) > 1:
        logger.error("{}: {} of {} symbols failed", words[0].lower(), failed, len(symbols))
    return max(statuses + [0 if kept else 1])
