"""After a successful command: show its result, chart its bars, write its records, as the settings ask."""

import os
import shutil
import sys
from pathlib import Path
from typing import Any

from loguru import logger

from . import settings as result_settings
from .display import bars_title, show_unprinted
from .extras import MissingExtra

# A terminal chart takes the terminal's height within these bounds.
CHART_LINES = (16, 32)


def _colour() -> bool:
    # The convention of no-color.org: any non-empty NO_COLOR turns colours off.
    return sys.stdout.isatty() and not os.environ.get("NO_COLOR")


def _chart(result: Any, frame, target: str, size: tuple[int, int]) -> None:
    from . import charts

    title = bars_title(result)
    if target == result_settings.TERMINAL:
        columns, lines = shutil.get_terminal_size()
        height = min(max(lines - 2, CHART_LINES[0]), CHART_LINES[1])
        print(charts.terminal_chart(frame, title, width=columns, height=height, colour=_colour()), flush=True)
    else:
        written = charts.write_chart(frame, title, target, size)
        logger.info("Chart written to {}", Path(written).absolute())


def present(result: Any, printed_before: int) -> bool:
    """Show a successful command's result and do with it what the settings ask; False when that failed.

    The records go to stdout instead of tables with a format set; otherwise a result that its
    command did not print (a kline cache hit) is printed. A chart follows the table, and the
    records are written to the --out file last. A failure is logged here.
    """
    wanted = result_settings.current()
    writing = None  # the file being written, for the message when that fails
    try:
        found = None
        if wanted.format or wanted.out or wanted.chart:
            from .records import result_frame

            found = result_frame(result)
            if found is None and (wanted.format or wanted.out):
                raise ValueError("the command returned no records to print or write")
        if wanted.format:
            from .output import records_text

            sys.stdout.write(records_text(found[1], wanted.format))
            sys.stdout.flush()
        else:
            show_unprinted(result, printed_before)
        if wanted.chart:
            if found is None or found[0] != "bars":
                logger.warning("No chart: only kline results have bars to draw")
            else:
                writing = wanted.chart
                _chart(result, found[1], wanted.chart, wanted.chart_size)
        if wanted.out:
            from .output import write_records

            writing = wanted.out
            written = write_records(found[1], wanted.out)
            what = {"bars": "bars", "executions": "fills"}.get(found[0], "records")
            logger.info("Wrote {} {} to {}", len(found[1].index), what, Path(written).absolute())
    except BrokenPipeError:
        raise
    except OSError as e:
        logger.error("Cannot write {}: {}", writing or "the results", e.strerror or e)
        return False
    except (ValueError, MissingExtra) as e:
        logger.error("{}", e)
        return False
    return True
