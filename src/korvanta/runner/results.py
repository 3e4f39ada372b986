"""After a successful command: show its result, chart its bars, write its records, as the settings ask."""

import os
import shutil
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from loguru import logger

from . import settings as result_settings
from .display import show_bars, show_unprinted
from .extras import MissingExtra
from .origin import origin_of
from .pnl_chart import is_journal

if TYPE_CHECKING:
    import pandas as pd

    from .chart_inputs import ChartInputs
    from .records import Kind
    from .state import HostState

    Found = tuple[Kind, pd.DataFrame]

# A terminal chart takes the terminal's height within these bounds.
CHART_LINES = (16, 32)


def _colour() -> bool:
    # The convention of no-color.org: any non-empty NO_COLOR turns colours off.
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def terminal_size() -> tuple[int, int]:
    """The terminal's columns, and the lines a chart takes of it."""
    columns, lines = shutil.get_terminal_size()
    return columns, min(max(lines - 2, CHART_LINES[0]), CHART_LINES[1])


def _journal_chart(records: "pd.DataFrame", wanted: result_settings.ResultSettings) -> None:
    """pnl's journal: the daily net as bars and the cumulative net as a line (pnl_chart)."""
    from . import pnl_chart

    if wanted.overlays:
        logger.warning("No {} on the chart: overlays are drawn over kline's candles", " ".join(wanted.overlays.words()))
    title = pnl_chart.chart_title(records)
    if wanted.chart == result_settings.TERMINAL:
        columns, height = terminal_size()
        print(pnl_chart.terminal_chart(records, title, width=columns, height=height, colour=_colour()), flush=True)
    else:
        written = pnl_chart.write_chart(records, title, wanted.chart, wanted.chart_size)
        logger.info("Chart written to {}", Path(written).absolute())


@dataclass(frozen=True)
class ChartParts:
    """What a chart of kline's bars draws: the candles, the title, the overlays' lines and the fills' marks."""

    bars: "pd.DataFrame"
    title: str
    lines: list
    marks: list

    def terminal(self, width: int, height: int) -> str:
        from . import charts

        return charts.terminal_chart(self.bars, self.title, width=width, height=height, colour=_colour(),
                                     lines=self.lines, marks=self.marks)


def chart_parts(result: Any, bars: "pd.DataFrame", wanted: result_settings.ResultSettings,
                inputs: "ChartInputs") -> ChartParts:
    """The chart of `bars` from `result` as the settings ask, with the fills and previous close of `inputs`."""
    from . import charts
    from .charts.candles import priced
    from .charts.overlays import fill_marks, overlay_lines
    from .schema import bar_kind

    bars = priced(bars)
    kind = bar_kind(result)
    lines = overlay_lines(bars, wanted.overlays, kind.market, inputs.previous_close)
    marks = fill_marks(bars, inputs.fills, kind.seconds, kind.market) if inputs.fills is not None else []
    return ChartParts(bars, charts.chart_title(result, bars, regular_hours=wanted.rth), lines, marks)


async def chart_inputs_for(result: Any, bars: "pd.DataFrame", wanted: result_settings.ResultSettings,
                           state: "HostState | None") -> "ChartInputs":
    """What the chart's overlays need beyond the bars (the fills, the previous close), asked for once."""
    from .chart_inputs import chart_inputs
    from .charts.candles import is_intraday, priced

    bars = priced(bars)
    if wanted.overlays.vwap and not is_intraday(bars.index):
        logger.warning("No VWAP on the chart: it is drawn on intraday bars, and these are {} bars",
                       result.get("period"))
    return await chart_inputs(result, bars, wanted.overlays, state)


async def _chart(result: Any, bars: "pd.DataFrame", wanted: result_settings.ResultSettings,
                 state: "HostState | None") -> None:
    from . import charts

    parts = chart_parts(result, bars, wanted, await chart_inputs_for(result, bars, wanted, state))
    if wanted.chart == result_settings.TERMINAL:
        print(parts.terminal(*terminal_size()), flush=True)
    else:
        written = charts.write_chart(parts.bars, parts.title, wanted.chart, wanted.chart_size, lines=parts.lines,
                                     marks=parts.marks)
        logger.info("Chart written to {}", Path(written).absolute())


class _Outcome:
    """Whether the steps in a `_reporting` block went well, and the file being written, if any."""

    def __init__(self) -> None:
        self.ok = True
        self.writing: str | None = None


@contextmanager
def _reporting() -> Iterator[_Outcome]:
    """Log what fails in the block (a full disk, a missing extra) and mark the outcome failed."""
    outcome = _Outcome()
    try:
        yield outcome
    except BrokenPipeError:
        raise
    except OSError as e:
        logger.error("Cannot write {}: {}", outcome.writing or "the results", e.strerror or e)
        outcome.ok = False
    except (ValueError, MissingExtra) as e:
        logger.error("{}", e)
        outcome.ok = False


async def show_result(result: Any, printed_before: int, state: "HostState | None" = None,
                      wanted: result_settings.ResultSettings | None = None) -> tuple[bool, "Found | None"]:
    """Show a successful command's result as the settings ask (default: those in force); whether
    that went well, and its records where the settings needed them.

    Without a format: bars reshaped by the settings (--rth, --tz) are shown as they are now, a
    result that its command did not print (a kline cache hit) is printed, and under kline's
    table a line says where its bars came from and the dates they cover. A chart follows. A
    failure is logged here.
    """
    wanted = wanted or result_settings.current()
    found = None
    with _reporting() as outcome:
        if wanted.format or wanted.out or wanted.chart or wanted.reshaped:
            from .records import result_frame

            found = result_frame(result, tz=wanted.tz, rth=wanted.rth)
            if found is None and (wanted.format or wanted.out):
                raise ValueError("the command returned no records to print or write")
        if not wanted.format:
            if found is not None and found[0] == "bars" and wanted.reshaped:
                show_bars(result, found[1], printed_before)
            else:
                show_unprinted(result, printed_before)
            if (origin := origin_of(result)) is not None:
                print(origin.line(), flush=True)
        if wanted.chart:
            if found is not None and is_journal(found[1]):
                outcome.writing = wanted.chart
                _journal_chart(found[1], wanted)
            elif found is None or found[0] != "bars":
                logger.warning("No chart: only kline bars and pnl records are drawn")
            else:
                outcome.writing = wanted.chart
                await _chart(result, found[1], wanted, state)
    return outcome.ok, found


def keep_records(found: "Found", wanted: result_settings.ResultSettings | None = None) -> bool:
    """Print the records to stdout (a format set) and write them to the --out file, as the
    settings ask; False (logged) when that failed."""
    wanted = wanted or result_settings.current()
    kind, records = found
    with _reporting() as outcome:
        if wanted.format:
            from .output import records_text

            sys.stdout.write(records_text(records, wanted.format))
            sys.stdout.flush()
        if wanted.out:
            from .output import write_records

            outcome.writing = wanted.out
            written = write_records(records, wanted.out)
            what = {"bars": "bars", "executions": "fills"}.get(kind, "records")
            logger.info("Wrote {} {} to {}", len(records.index), what, Path(written).absolute())
    return outcome.ok


async def present(result: Any, printed_before: int, state: "HostState | None" = None) -> bool:
    """Show a successful command's result and do with it what the settings ask; False when that failed.

    The records go to stdout instead of tables with a format set; otherwise the result is shown
    (`show_result`), with its chart after the tables; the records are written to the --out file
    last.
    """
    wanted = result_settings.current()
    shown, found = await show_result(result, printed_before, state, wanted)
    if not shown or found is None or not (wanted.format or wanted.out):
        return shown
    return keep_records(found, wanted)
