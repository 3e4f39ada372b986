"""Printing frames as tables under a title: as many rows as asked, as wide as the terminal."""

import shutil
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    import pandas as pd

# Frames printed so far in this process; a host compares it around a command to tell whether
# the command showed its result (kline's cache hits return bars without printing them).
printed = 0

# An empty index label (executions show order id 0 as "") would read as a blanked repeat of
# the label above it.
EMPTY_LABEL = "-"
# A table this long is shown whole however small the terminal (an execution summary with its
# six summary rows); a longer one is cut to what fits, never below this.
MIN_FIT_ROWS = 20


@dataclass(frozen=True)
class TableSettings:
    """How `printFrame` shows tables.

    `rows`: "auto" shows every row when stdout is not a terminal and as many as fit the
    terminal's height when it is; None shows every row; a number shows at most that many
    (the first and last halves, as pandas cuts a long table).
    `shown`: False prints nothing (the host writes the results some other way).
    """

    rows: int | None | Literal["auto"] = "auto"
    shown: bool = True


_settings = TableSettings()
# Overrides for one context (an asyncio task, a thread), over the process-wide settings.
_local: ContextVar[TableSettings | None] = ContextVar("quodra_table_settings", default=None)
# The tables this context holds back rather than print (see `holding`); None: print them.
_held: ContextVar[list[tuple["pd.DataFrame", str]] | None] = ContextVar("quodra_held_tables", default=None)


def settings() -> TableSettings:
    """The settings in force here: this context's, else the process-wide ones."""
    return _local.get() or _settings


def configure(**changes) -> TableSettings:
    """Change the process-wide settings (`rows`, `shown`); the new settings."""
    global _settings
    _settings = replace(_settings, **changes)
    return _settings


@contextmanager
def using(**changes) -> Iterator[TableSettings]:
    """Change the settings for the current context only (this task or thread), until the block ends."""
    token = _local.set(replace(settings(), **changes))
    try:
        yield _local.get()
    finally:
        _local.reset(token)


@contextmanager
def holding() -> Iterator[list[tuple["pd.DataFrame", str]]]:
    """Until the block ends, `printFrame` in this context (this task or thread) keeps each
    (frame, title) in the list yielded instead of printing it, for the host to print later
    through `printFrame` (several commands running at once, shown one after another)."""
    held: list[tuple["pd.DataFrame", str]] = []
    token = _held.set(held)
    try:
        yield held
    finally:
        _held.reset(token)


def _with_visible_labels(frame: "pd.DataFrame") -> "pd.DataFrame":
    import pandas as pd

    def visible(label):
        return EMPTY_LABEL if isinstance(label, str) and label == "" else label

    index = frame.index
    if len(index) == 0:
        return frame
    if isinstance(index, pd.MultiIndex):
        shown = pd.MultiIndex.from_tuples([tuple(map(visible, key)) for key in index], names=index.names)
    elif index.dtype == object or pd.api.types.is_string_dtype(index.dtype):
        shown = index.map(visible)
    else:
        return frame
    return frame if shown.equals(index) else frame.set_axis(shown)


def _render(frame: "pd.DataFrame", rows: int | None, width: int) -> str:
    # Every column is shown, wrapped into blocks of the terminal's width, rather than elided;
    # every row label is printed, even where it repeats the one above.
    return frame.to_string(max_rows=rows, min_rows=rows, max_cols=None, line_width=width,
                           show_dimensions="truncate", sparsify=False)


def _rows_that_fit(frame: "pd.DataFrame", width: int, lines: int) -> int:
    """How many rows of `frame` fit `lines` terminal lines, its title and a prompt included."""
    # Each extra row costs one line per block of columns; the rest of a table (column
    # headers, blank lines between blocks) is fixed. Two one- and two-row renderings measure both.
    one = _render(frame.iloc[:1], None, width).count("\n")
    blocks = _render(frame.iloc[:2], None, width).count("\n") - one
    fixed = one - blocks
    # title, prompt, the cut's "..." row in each block, and the blank line and "[N rows x M columns]"
    budget = lines - 2 - fixed - blocks - 2
    return max(MIN_FIT_ROWS, budget // max(blocks, 1))


def row_limit(frame: "pd.DataFrame", width: int) -> int | None:
    """The number of rows to show of `frame` under the settings in force; None for all."""
    rows = settings().rows
    if rows != "auto":
        return rows
    if not sys.stdout.isatty():
        return None
    lines = shutil.get_terminal_size().lines
    return None if len(frame.index) <= MIN_FIT_ROWS else _rows_that_fit(frame, width, lines)


def printFrame(frame: "pd.DataFrame", title: str) -> None:
    """Print `title`, then `frame` as a table as wide as the terminal, with the rows the settings ask for."""
    global printed
    held = _held.get()
    if held is not None:
        held.append((frame, title))
        return
    printed += 1
    if not settings().shown:
        return
    width = shutil.get_terminal_size().columns
    rows = row_limit(frame, width)
    if rows is not None and len(frame.index) <= rows:
        rows = None
    table = _render(_with_visible_labels(frame), rows, width)
    print(title)
    print(table, flush=True)
