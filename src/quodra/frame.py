"""Printing frames as tables under a title."""

import shutil

import pandas as pd

# Frames printed so far in this process; a host compares it around a command to tell whether
# the command showed its result (kline's cache hits return bars without printing them).
printed = 0


def printFrame(frame: pd.DataFrame, title: str) -> None:
    """Print `title`, then `frame` abbreviated as pandas does and wrapped to the terminal."""
    # Row limits follow the user's pandas options; only the width is ours to
    # decide, and every column is shown, wrapped into blocks, rather than elided.
    width = shutil.get_terminal_size().columns
    table = frame.to_string(
        max_rows=pd.get_option("display.max_rows"),
        min_rows=pd.get_option("display.min_rows"),
        max_cols=None,
        line_width=width,
        show_dimensions="truncate",
    )
    global printed
    print(title)
    print(table, flush=True)
    printed += 1
