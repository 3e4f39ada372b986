"""The chart as a PNG or SVG picture (mplfinance on matplotlib): candles over volume, overlays, fills."""

import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING

from ..extras import require
from ..output import atomic_path
from .candles import DOWN_COLOUR, UP_COLOUR, candles as candles_of, is_intraday, volume_text
from .overlays import BUY_COLOUR, SELL_COLOUR, Line, Mark
from .ticks import time_ticks

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

PICTURE_FORMATS = {".png": "png", ".svg": "svg"}
DEFAULT_SIZE = (1280, 720)  # pixels of a picture
# Below this the title, the axes' labels and the candles no longer fit beside each other.
SMALLEST_SIZE = (640, 360)
LARGEST_SIDE = 10_000
_DPI = 100
# Pixels a time label takes on the axis, gaps included ("12-08" over "09:30").
_TICK_PIXELS = 70
_SMALLEST_TITLE_POINTS = 8
_LEGEND_ENTRY_PIXELS = 105  # "MA 200" with its line sample


def picture_format(path: str | os.PathLike) -> str:
    """"png" or "svg" by the suffix of `path`; ValueError naming both otherwise, MissingExtra without mplfinance."""
    suffix = Path(path).suffix.lower()
    if suffix not in PICTURE_FORMATS:
        raise ValueError(f"{os.fspath(path)!r}: a chart is written as .png or .svg, not {suffix or '(no suffix)'}")
    for module in ("mplfinance", "matplotlib", "six"):
        require(module, "charts", "writing chart pictures")
    return PICTURE_FORMATS[suffix]


def check_size(size: tuple[int, int]) -> tuple[int, int]:
    """`size` when a picture of it holds a whole chart; ValueError saying the limits otherwise."""
    if not all(least <= side <= LARGEST_SIDE for side, least in zip(size, SMALLEST_SIZE)):
        raise ValueError(f"{size[0]}x{size[1]}: a chart picture is {SMALLEST_SIZE[0]}x{SMALLEST_SIZE[1]} pixels "
                         f"at least and {LARGEST_SIDE} at most a side")
    return size


def _style():
    import mplfinance

    colours = mplfinance.make_marketcolors(up=UP_COLOUR, down=DOWN_COLOUR, inherit=True)
    # Volume in the candles' colours, by the candle's own rise or fall, with no edge of another colour.
    colours["vcedge"] = dict(colours["volume"])
    colours["vcdopcod"] = False
    # The base style's semibold title font is missing from most systems (matplotlib warns).
    return mplfinance.make_mpf_style(base_mpf_style="yahoo", marketcolors=colours,
                                     rc={"figure.titleweight": "bold", "axes.titlesize": "medium"})


def _chart_frame(candles: "pd.DataFrame") -> "pd.DataFrame":
    import pandas as pd

    data = candles.rename(columns=str.title)
    # mplfinance places candles by wall time: an aware index would be read as UTC.
    index = pd.DatetimeIndex(candles.index)
    data.index = (index.tz_localize(None) if index.tz is not None else index).rename("Date")
    return data


def _mark_plots(marks: Sequence[Mark], count: int, ax: "Axes", size: float) -> list[dict]:
    """Scatter plots of the fills, buys as ▲ and sells as ▼; several fills in one bar take one plot each."""
    import mplfinance
    import numpy as np

    plots = []
    for buy, marker, colour in ((True, "^", BUY_COLOUR), (False, "v", SELL_COLOUR)):
        rows: list[np.ndarray] = []
        for mark in (m for m in marks if m.buy == buy):
            row = next((r for r in rows if np.isnan(r[mark.position])), None)
            if row is None:
                row = np.full(count, np.nan)
                rows.append(row)
            row[mark.position] = mark.price
        plots += [mplfinance.make_addplot(row, ax=ax, type="scatter", marker=marker, markersize=size, color=colour)
                  for row in rows]
    return plots


def _legend(ax: "Axes", lines: Sequence[Line], marks: Sequence[Mark], size: float, width: int) -> None:
    from matplotlib.lines import Line2D

    handles = [Line2D([], [], color=line.colour, linestyle="--" if line.dashed else "-", label=line.label)
               for line in lines]
    for buy, marker, colour, label in ((True, "^", BUY_COLOUR, "buy"), (False, "v", SELL_COLOUR, "sell")):
        if any(m.buy == buy for m in marks):
            handles.append(Line2D([], [], color=colour, marker=marker, linestyle="", markersize=size ** 0.5,
                                  label=label))
    if handles:
        # Above the candles rather than over them; the layout makes room for it.
        # in rows as wide as the picture allows
        ax.legend(handles=handles, loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize="small",
                  ncols=min(len(handles), max(1, width // _LEGEND_ENTRY_PIXELS)), frameon=False, borderaxespad=0.2)


def _fit_title(figure: "Figure", title: str) -> None:
    """The title on one line, in a smaller font where the picture is too narrow for it."""
    text = figure.suptitle(title)
    renderer = figure.canvas.get_renderer()
    while text.get_window_extent(renderer).width > figure.bbox.width * 0.96:
        points = text.get_fontsize() - 1
        if points < _SMALLEST_TITLE_POINTS:
            text.set_text(title.replace(" · ", "\n", 1))
            break
        text.set_fontsize(points)


def _time_axis(ax: "Axes", bottom: "Axes", index: "pd.Index", width: int) -> None:
    # The axes take most of the picture's width; the price labels and margins the rest.
    ticks = time_ticks(index, max(2, int(width * 0.85) // _TICK_PIXELS))
    bottom.set_xticks([t.position for t in ticks],
                      [f"{t.label}\n{t.day}" if t.day else t.label for t in ticks])
    bottom.tick_params(axis="x", rotation=0)
    ax.tick_params(axis="x", labelbottom=False)
    if is_intraday(index) and index.tz is not None:
        bottom.set_xlabel(str(index.tz), fontsize="small")


def write_chart(bars: "pd.DataFrame", title: str, path: str | os.PathLike, size: tuple[int, int] = DEFAULT_SIZE,
                *, lines: Sequence[Line] = (), marks: Sequence[Mark] = ()) -> Path:
    """Write `bars` as candles over a volume panel to `path` (.png or .svg), `size` pixels, with
    `lines` over the candles and `marks` (fills) at their prices; the layout leaves every label
    whole from SMALLEST_SIZE up."""
    fmt = picture_format(path)
    check_size(size)
    import matplotlib

    # No display is needed; a host that already chose a backend (a notebook) keeps it.
    if "matplotlib.pyplot" not in sys.modules:
        matplotlib.use("Agg")
    import mplfinance
    from matplotlib import pyplot
    from matplotlib.ticker import FuncFormatter

    candles = candles_of(bars)
    data = _chart_frame(candles)
    count = len(data.index)
    volume = float(data["Volume"].max())
    figure = mplfinance.figure(style=_style(), figsize=(size[0] / _DPI, size[1] / _DPI), dpi=_DPI,
                               layout="constrained")
    try:
        grid = figure.add_gridspec(2 if volume > 0 else 1, 1, height_ratios=(3, 1) if volume > 0 else None)
        ax = figure.add_subplot(grid[0])
        bottom = figure.add_subplot(grid[1], sharex=ax) if volume > 0 else ax
        marker_size = max(30.0, min(120.0, size[0] / 12))
        kept = [line for line in lines if line.values.reindex(candles.index).notna().any()]
        plots = [mplfinance.make_addplot(line.values.reindex(candles.index).to_numpy(), ax=ax, color=line.colour,
                                         width=1.6, linestyle="--" if line.dashed else "-")
                 for line in kept]
        plots += _mark_plots(marks, count, ax, marker_size)
        extra = {"volume": bottom, "volume_ylim": (0.0, volume * 1.05)} if volume > 0 else {}
        if plots:
            extra["addplot"] = plots
        mplfinance.plot(data, ax=ax, type="candle", warn_too_much_data=count + 1,
                        update_width_config={"volume_linewidth": 0}, ylabel="", **extra)
        if volume > 0:
            bottom.yaxis.set_major_formatter(FuncFormatter(lambda value, _: volume_text(value)))
            bottom.set_ylabel("Volume", fontsize="small")
        _legend(ax, kept, marks, marker_size, size[0])
        _time_axis(ax, bottom, candles.index, size[0])
        _fit_title(figure, title)
        with atomic_path(path) as part:
            figure.savefig(part, format=fmt, dpi=_DPI)
    finally:
        pyplot.close(figure)
    return Path(path)
