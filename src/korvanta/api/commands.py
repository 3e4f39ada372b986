"""The API's calls as command lines, run by the runner against a session's state, their records as frames."""

import datetime as dt
import shlex
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from loguru import logger

from korvanta.runner.errors import CommandError, UsageError

if TYPE_CHECKING:
    import pandas as pd

    from korvanta.runner.state import HostState

NO_GATEWAY_HINT = "pass gateway='HOST:PORT' or set KORVANTA_GATEWAY"
Errors = Literal["raise", "skip"]


@dataclass(frozen=True)
class Call:
    """One command line of the API: its words, how its result becomes a frame, and the view of
    its records (`tz`, `rth`) and where kline takes its bars from."""

    words: list[str]
    to_frame: Callable[[Any], "pd.DataFrame"]
    tz: str | None = None
    rth: bool = False
    source: str = "auto"
    listed: bool = False  # a frame by symbol, even of one symbol


def _zone(tz: str | None) -> str | None:
    from korvanta.runner.settings import parse_tz

    try:
        return None if tz is None else parse_tz(tz)
    except ValueError as e:
        raise UsageError(f"tz: {e}") from None


def source_of(source: str) -> str:
    from korvanta.runner.settings import parse_source

    try:
        return parse_source(source)
    except ValueError as e:
        raise UsageError(f"source: {e}") from None


# ---- the calls

def kline_words(symbol: str, period: str, count: int | None, adjusted: bool,
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


def _bars_frame(tz: str | None, rth: bool) -> Callable[[Any], "pd.DataFrame"]:
    def frame(result: Any) -> "pd.DataFrame":
        from korvanta.runner.origin import origin_of
        from korvanta.runner.records import kline_frame

        bars = kline_frame(result, tz=tz, rth=rth)
        origin = origin_of(result)
        if origin is not None:
            bars.attrs.update(origin=origin.source, covers=(origin.first, origin.last))
        return bars

    return frame


def kline_call(symbols: str | Sequence[str], period: str, count: int | None, *, adjusted: bool,
               start: dt.date | str | None, end: dt.date | str | None, tz: str | None, rth: bool,
               source: str) -> Call:
    """kline of one symbol, or of several (a sequence, of one symbol too) as a comma list."""
    listed = not isinstance(symbols, str)
    if listed:
        symbols = [str(symbol) for symbol in symbols]
        if not symbols or any("," in symbol or not symbol for symbol in symbols):
            raise UsageError(f"kline: {symbols!r} is not a list of symbols")
        symbols = ",".join(symbols)
    tz = _zone(tz)
    return Call(kline_words(symbols, period, count, adjusted, start, end), _bars_frame(tz, rth), tz, rth,
                source_of(source), listed)


def executions_call(symbols: Sequence[str], *, reload: bool, mine: bool, tz: str | None) -> Call:
    from korvanta.runner.records import executions_frame

    tz = _zone(tz)

    def records(rows: Any) -> "pd.DataFrame":
        fills = executions_frame(rows, tz=tz)
        fills.attrs.update(symbols=sorted({s.upper() for s in symbols}), reload=reload, mine=mine)
        return fills

    words = ["executions", *symbols] + ([":refresh"] if reload else []) + ([":mine"] if mine else [])
    return Call(words, records, tz)


def pnl_call(symbols: Sequence[str], *, reload: bool) -> Call:
    def records(result: Any) -> "pd.DataFrame":
        import pandas as pd

        from korvanta.journal import RECORD_COLUMNS

        journal = pd.DataFrame.from_records(result, columns=list(RECORD_COLUMNS))
        journal.attrs.update(symbols=sorted({s.upper() for s in symbols}), reload=reload,
                             positions=list(getattr(result, "positions", [])))
        return journal

    return Call(["pnl", *symbols] + ([":refresh"] if reload else []), records)


def line_call(line: str | Sequence[str], source: str) -> Call:
    """Any command line, as typed in the shell (without options); its records as the runner writes them."""
    def records(result: Any) -> "pd.DataFrame":
        import pandas as pd

        from korvanta.runner.records import result_frame

        found = result_frame(result)
        return pd.DataFrame() if found is None else found[1]

    try:
        words = shlex.split(line) if isinstance(line, str) else [str(word) for word in line]
    except ValueError as e:
        raise UsageError(f"cannot split the line into words: {e}") from None
    if not words:
        raise UsageError("an empty line names no command")
    return Call(words, _bars_frame(None, False) if words[0].lower() == "kline" else records, source=source_of(source))


# ---- running them

def checked(call: Call) -> Call:
    """The call, once its words are checked (UsageError before anything connects)."""
    from korvanta.runner.commands import check, load_command_modules

    load_command_modules()
    check(call.words)
    return call


async def _frames(lines: list[list[str]], call: Call, state: "HostState", show: bool) -> list[Any]:
    """Each line's records as a frame, or the CommandError it failed with, in order; the lines run
    side by side, and their tables (with `show`) are printed one line's after another's."""
    from korvanta.runner.commands import execute_line
    from korvanta.runner.display import show_bars, show_unprinted
    from korvanta.runner.origin import origin_of
    from korvanta.runner.settings import ResultSettings
    from korvanta.runner.views import command_view
    from korvanta.runner.watchlist import Outcome, outcomes
    from quodra import frame

    view = ResultSettings(tz=call.tz, rth=call.rth)
    got: list[Any] = [None] * len(lines)

    async def take(i: int, outcome: Outcome) -> None:
        printed_before = frame.printed
        for table, title in outcome.tables or ():
            frame.printFrame(table, title)
        if outcome.failure is not None:
            got[i] = outcome.failure
            return
        got[i] = found = call.to_frame(outcome.result)
        if not show:
            return
        with frame.using(shown=True):  # outside the command's view, which may hold its tables back
            if view.reshaped and isinstance(outcome.result, dict):
                show_bars(outcome.result, found, printed_before)
            else:
                show_unprinted(outcome.result, printed_before)
        if (origin := origin_of(outcome.result)) is not None:
            print(origin.line(), flush=True)

    async def run(line: list[str]) -> Any:
        return await execute_line(line, state, no_gateway_hint=NO_GATEWAY_HINT, source=call.source)

    # Only this call's tables: the settings are this task's own.
    with frame.using(shown=show, rows=None), command_view(call.words, view):
        await outcomes(lines, run, take)
    return got


async def records(call: Call, state: "HostState", *, show: bool, errors: Errors = "raise") -> "pd.DataFrame":
    """Run the call and return its records as a frame; a line naming several symbols gives one
    frame with the symbol as the outer level of its index (`errors`: what a symbol that failed does)."""
    from korvanta.runner.watchlist import LISTED, line_for, symbols_of

    if errors not in ("raise", "skip"):
        raise UsageError(f"errors: {errors!r} is neither 'raise' nor 'skip'")
    checked(call)
    symbols = symbols_of(call.words)
    if symbols is None and call.listed:
        symbols = [call.words[LISTED[call.words[0]] + 1]]
    if symbols is None:
        [found] = await _frames([call.words], call, state, show)
        if isinstance(found, CommandError):
            raise found
        return found
    got = await _frames([line_for(call.words, symbol) for symbol in symbols], call, state, show)
    return _listed(call.words[0].lower(), symbols, got, errors)


def _listed(word: str, symbols: Sequence[str], got: Sequence[Any], errors: Errors) -> "pd.DataFrame":
    from korvanta.runner.records import listed_frame

    frames = {symbol.upper(): found for symbol, found in zip(symbols, got) if not isinstance(found, CommandError)}
    failed = {symbol.upper(): str(found) for symbol, found in zip(symbols, got) if isinstance(found, CommandError)}
    if failed and (errors == "raise" or not frames):
        raise CommandError(f"{word}: {len(failed)} of {len(symbols)} symbols failed: {'; '.join(failed.values())}")
    for reason in failed.values():
        logger.error("{}", reason)
    combined = listed_frame(frames)
    combined.attrs = {"symbols": list(frames), "failed": failed,
                      "by_symbol": {symbol: dict(found.attrs) for symbol, found in frames.items()}}
    return combined
