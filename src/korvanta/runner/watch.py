"""`--watch`: a kline result of intraday bars kept current from the gateway's updates until Ctrl-C.

The line runs as it would without it (each symbol of a comma list side by side); then each
symbol's bars are kept current by a subscription to the gateway's updates (bar_feed.py). At a
terminal the tables and the terminal chart are drawn by a live view, in place (live_view.py);
with `--format csv|json` the records are a stream: the bars first, then one record per update
(JSON as one record a line), flushed each; a table into a pipe or file gets one line per update.
`--out` and a chart picture are written once, with the bars first shown.

Refused before anything is fetched: a line whose bars are not intraday, a date range that ended
before today (nothing in it forms any more), yfinance as the source (it sends no updates), and
a line without a gateway to ask.
"""

import asyncio
import datetime as dt
import sys
from collections.abc import Mapping, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, Any

from loguru import logger

from quodra import frame

from . import settings as result_settings
from .dates import date_of
from .errors import UsageError
from .words import command_module

if TYPE_CHECKING:
    import pandas as pd

    from .live_bars import LiveBars
    from .state import HostState

# The intraday periods a refusal names.
_NAMED_PERIODS = ("1m", "5m", "15m", "30m", "1h")
_LONGER = {86_400: "daily", 604_800: "weekly"}


def asked(words: Sequence[str], settings: result_settings.ResultSettings) -> bool:
    """Whether the settings ask for the bars of the line `words` to be kept current."""
    return settings.watch and bool(words) and words[0].lower() == result_settings.WATCHED_COMMAND


def refusal(words: Sequence[str], settings: result_settings.ResultSettings) -> str | None:
    """Why `--watch` cannot keep the bars of the kline line `words` current; None when it can
    (or is not asked for). The words are checked already."""
    if not asked(words, settings):
        return None
    if settings.source == "yfinance":
        return "--watch keeps bars current from the gateway's updates, and --source yfinance sends none"
    kline = command_module("kline")
    rest = list(words[2:])
    if kline is None or rest[:1] == ["intraday"]:
        return None
    if rest and kline._is_date(rest[0]):
        today = dt.date.today()
        if len(rest) > 1 and kline._is_date(rest[1]):
            end = date_of(rest[1], kline._parse_date, today=today)
            if end < today:
                return f"--watch keeps the newest bars current, and this range ends before today ({end})"
        words_after = rest[1:]
    else:
        words_after = rest[:1]
    period = next((word for word in words_after if kline._is_period(word)), None)
    seconds = int(kline.BAR_SECONDS.get(kline.PERIOD_MAP[period or "day"], 86_400))
    if seconds < 86_400:
        return None
    kind = _LONGER.get(seconds, "monthly")
    what = f"without a period word kline gives {kind} bars" if period is None else f"{period!r} bars are {kind}"
    return f"--watch keeps intraday bars current ({', '.join(_NAMED_PERIODS)} or intraday); {what}"


def check(words: Sequence[str]) -> None:
    """UsageError when the settings in force ask for --watch and the line cannot be watched."""
    why = refusal(words, result_settings.current())
    if why is not None:
        raise UsageError(f"{words[0].lower()}: {why}")


def kept_count(result: Mapping[str, Any], words: Sequence[str]) -> int | None:
    """How many bars a result keeps as new ones come: the latest N keep N (the count asked, else
    kline's default for the period); today's curve and a date range grow."""
    if result.get("type") == "intraday" or "start" in result:
        return None
    counts = [int(word) for word in words[2:] if word.isascii() and word.isdigit()]
    kline = command_module("kline")
    default = getattr(kline, "PERIOD_DEFAULT_COUNT", {}).get(str(result.get("period")), 100)
    return max(counts[0] if counts else default, len(result.get("bars") or ()))


# ---- the outputs: what an update becomes


class _Lines:
    """What the updates print on stdout, written from a task of its own (the updates arrive in the
    gateway client's callbacks, where a closed output could not end the watch)."""

    def __init__(self, wanted: result_settings.ResultSettings):
        self.wanted = wanted
        self.pending: list[str] = []
        self.ready = asyncio.Event()

    def first(self) -> str:
        return ""

    def add(self, text: str) -> None:
        if text:
            self.pending.append(text)
            self.ready.set()

    async def run(self) -> None:
        sys.stdout.write(self.first())
        sys.stdout.flush()
        while True:
            await self.ready.wait()
            self.ready.clear()
            text, self.pending = "".join(self.pending), []
            sys.stdout.write(text)
            sys.stdout.flush()


class RecordStream(_Lines):
    """`--format csv|json`: the records as a stream, the bars first, then one record per update."""

    def __init__(self, lives: Sequence["LiveBars"], wanted: result_settings.ResultSettings, *, listed: bool):
        super().__init__(wanted)
        self.lives = list(lives)
        self.listed = listed
        zones = {str(live.zone) for live in lives}
        # The bars of symbols in different zones share one column in UTC, as a list's records do.
        self.tz = wanted.tz or ("UTC" if len(zones) > 1 else None)

    def _text(self, views: Mapping[str, "pd.DataFrame"], *, header: bool) -> str:
        from .output import stream_text
        from .records import listed_frame

        records = listed_frame(views) if self.listed else next(iter(views.values()))
        return stream_text(records, self.wanted.format or "csv", header=header) if len(records.index) else ""

    def first(self) -> str:
        return self._text({live.symbol.upper(): live.view(tz=self.tz, rth=self.wanted.rth) for live in self.lives},
                          header=True)

    def changed(self, live: "LiveBars", starts: Sequence[Any]) -> None:
        self.add(self._text({live.symbol.upper(): live.view(tz=self.tz, rth=self.wanted.rth, only=starts)},
                            header=False))


class UpdateLines(_Lines):
    """Tables into a pipe or a file: the tables as shown without --watch, then a line per updated bar."""

    def changed(self, live: "LiveBars", starts: Sequence[Any]) -> None:
        rows = live.view(tz=self.wanted.tz, rth=self.wanted.rth, only=starts)
        forming = rows.attrs.get("forming")
        for start, values in zip(rows.index, rows.itertuples(index=False)):
            cells = "  ".join(f"{name} {_number(value)}" for name, value in zip(rows.columns, values))
            mark = "  (forming)" if forming is not None and start == forming else ""
            self.add(f"{live.symbol} {start:%Y-%m-%d %H:%M}  {cells}{mark}\n")


def _number(value: Any) -> str:
    if value is None or value != value:
        return "-"
    return format(value, ".10g") if isinstance(value, float) else str(value)


# ---- the line


async def run_watched(words: Sequence[str], state: "HostState", *, no_gateway_hint: str) -> int:
    """Run a kline line, show it, and keep its bars current until cancelled (Ctrl-C); the exit
    status when it ends otherwise (1: no symbol gave bars; 2: no gateway to ask)."""
    from .commands import execute_line
    from .views import command_view
    from .watchlist import check_chart_files, line_for, outcomes, symbols_of

    wanted = result_settings.current()
    if state.address is None or not state.wanted:
        why = no_gateway_hint if state.address is None else "connect to it first"
        error = UsageError(f"{words[0].lower()}: --watch keeps bars current from the gateway's updates; {why}")
        logger.error("{}", error)
        return error.status
    listed_symbols = symbols_of(words)
    symbols = listed_symbols or [words[1]]
    try:
        check_chart_files(symbols if listed_symbols else [], wanted.chart)
    except UsageError as e:
        logger.error("{}: {}", words[0].lower(), e)
        return e.status
    drawn_live = wanted.format is None and sys.stdout.isatty()
    tables_shown = frame.settings().shown
    results: dict[int, Any] = {}
    statuses: list[int] = []

    async def show(i: int, outcome: Any) -> None:
        status = await _shown(outcome, symbols[i], state, wanted, drawn_live=drawn_live,
                              listed=listed_symbols is not None, tables_shown=tables_shown)
        statuses.append(status)
        if outcome.failure is None:
            results[i] = outcome.result

    with command_view(words, wanted):
        await outcomes([line_for(words, symbol) for symbol in symbols], lambda line: execute_line(line, state), show)
    if not results:
        return max(statuses + [1])
    if len(symbols) > 1 and len(results) < len(symbols):
        logger.error("{}: {} of {} symbols failed", words[0].lower(), len(symbols) - len(results), len(symbols))
    return await _keep_current([results[i] for i in sorted(results)], words, state, wanted,
                               listed=listed_symbols is not None, drawn_live=drawn_live)


async def _shown(outcome: Any, symbol: str, state: "HostState", wanted: result_settings.ResultSettings, *,
                 drawn_live: bool, listed: bool, tables_shown: bool) -> int:
    """One symbol's outcome in its turn; its status. Drawn live, only its failure and a chart
    picture; otherwise as the line would show it without --watch (records aside: the stream
    prints them)."""
    from .results import show_result
    from .watchlist import chart_file, show_outcome

    chart = chart_file(wanted.chart, symbol) if listed else wanted.chart
    if not drawn_live:
        return await show_outcome(outcome, state, replace(wanted, chart=chart, out=None), tables_shown=tables_shown)
    if outcome.failure is not None:
        logger.error("{}", outcome.failure)
        return outcome.failure.status
    if chart is None or chart == result_settings.TERMINAL:
        return 0
    # With a format set nothing is printed: the picture is all it makes.
    shown, _ = await show_result(outcome.result, frame.printed, state, replace(wanted, chart=chart, format="csv",
                                                                                 out=None))
    return 0 if shown else 1


async def _keep_current(results: Sequence[Any], words: Sequence[str], state: "HostState",
                        wanted: result_settings.ResultSettings, *, listed: bool, drawn_live: bool) -> int:
    """Keep the bars of `results` (kline results, in the line's order) current, as the output
    asks, until cancelled; 1 when the watch itself fails."""
    from .bar_feed import BarFeed
    from .live_bars import LiveBars
    from .live_view import LiveView, Watched
    from .records import kline_frame, listed_frame
    from .results import chart_inputs_for, keep_records

    lives = [LiveBars(result, keep=kept_count(result, words)) for result in results]
    if wanted.out:
        frames = {live.symbol.upper(): kline_frame(live.result, tz=wanted.tz, rth=wanted.rth) for live in lives}
        records = listed_frame(frames) if listed else next(iter(frames.values()))
        keep_records(("bars", records), replace(wanted, format=None))
    watched = [Watched(live) for live in lives]
    if drawn_live:
        if wanted.chart == result_settings.TERMINAL:
            for one in watched:
                bars = kline_frame(one.live.result, tz=wanted.tz, rth=wanted.rth)
                one.chart = await chart_inputs_for(one.live.result, bars, wanted, state)
        output: Any = LiveView(watched, wanted)
    elif wanted.format:
        output = RecordStream(lives, wanted, listed=listed)
    else:
        output = UpdateLines(wanted)
    for one in watched:
        one.feed = BarFeed(state, one.live, output.changed)
    failures: list[Exception] = []
    try:
        async with asyncio.TaskGroup() as group:
            group.create_task(output.run())
            for one in watched:
                group.create_task(one.feed.run())
    except* BrokenPipeError:
        # the reader of the stream is gone (`| head`): that ends the watch as it ends any output
        raise BrokenPipeError from None
    except* Exception as failed:
        failures.extend(failed.exceptions)
    if not failures:
        return 0  # not reached: only cancellation ends the tasks
    from .commands import explain

    logger.opt(exception=failures[0]).debug("the watch failed")
    logger.error("{}: the watch failed: {}", words[0].lower(), explain(failures[0]))
    return 1
