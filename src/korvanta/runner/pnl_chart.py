"""The trading journal drawn: net P&L per trading day as bars, the cumulative net as a line.

In the terminal with plotext, or as a PNG or SVG picture with matplotlib. A winning day's bar
is green and a losing day's red (without colours, a losing day is drawn with LOSS_MARKER);
the cumulative net is a blue line through the days.
"""

import math
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING

from .charts import DEFAULT_SIZE, DOWN_BODY, DOWN_COLOUR, UP_COLOUR, picture_format, require_terminal_charts
from .output import atomic_path

if TYPE_CHECKING:
    import pandas as pd

LINE_COLOUR = "#2962ff"
LOSS_MARKER = DOWN_BODY
LINE_MARKER = "•"
JOURNAL_COLUMNS = frozenset({"trading_day", "symbol", "net"})
_DPI = 100
_DATE_PIXELS = 95
_TICKS = 5


def is_journal(records: "pd.DataFrame") -> bool:
    """Whether `records` are the journal's (a pnl result), which this module draws."""
    return JOURNAL_COLUMNS <= set(records.columns)


def daily_net(records: "pd.DataFrame") -> "pd.DataFrame":
    """Net P&L per trading day (`net`) and its running sum (`cum_net`), indexed by trading day."""
    import pandas as pd

    days = records.groupby(pd.to_datetime(records["trading_day"]))["net"].sum().round(2).to_frame()
    if days.empty:
        raise ValueError("no trading days to chart")
    days["cum_net"] = days["net"].cumsum().round(2)
    return days


def chart_title(records: "pd.DataFrame") -> str:
    days = daily_net(records)
    first, last = days.index[0], days.index[-1]
    span = f"{first:%Y-%m-%d}" if first == last else f"{first:%Y-%m-%d} ~ {last:%Y-%m-%d}"
    return f"Daily net P&L, {span}, total {days['cum_net'].iloc[-1]:,.2f}"


def _money_ticks(low: float, high: float) -> list[float]:
    """Round amounts (a 1, 2 or 5 step) spanning `low` to `high` and 0, about _TICKS of them."""
    low, high = min(low, 0.0), max(high, 0.0)
    if high == low:
        return [0.0]
    rough = (high - low) / (_TICKS - 1)
    scale = 10 ** math.floor(math.log10(rough))
    step = next(k * scale for k in (1, 2, 5, 10) if k * scale >= rough)
    first, last = math.floor(low / step), math.ceil(high / step)
    return [k * step for k in range(first, last + 1)]


def terminal_chart(records: "pd.DataFrame", title: str, *, width: int, height: int, colour: bool) -> str:
    """The daily net as one bar per trading day with the cumulative net over it, at most `width` x
    `height` terminal cells; days are marked on the time axis, money on the other."""
    require_terminal_charts()
    import plotext

    days = daily_net(records)
    net, cum = days["net"].tolist(), days["cum_net"].tolist()
    ticks = _money_ticks(min(net + cum), max(net + cum))
    labels = [f"{t:,.0f}" for t in ticks]
    label_width = max(map(len, labels))
    columns = max(1, width - label_width - 2)  # the frame takes two
    # Whole columns per day, as for candles (a bar between two columns would be drawn on both),
    # the bars two thirds of the room a day has.
    step = max(1, columns // len(net))
    bar = max(1, min(step - 1, step * 2 // 3))
    x = [i * step for i in range(len(net))]

    fig = plotext.figure
    fig.clear()
    plotext.terminal.limit(False, False)
    fig.plot_size(step * len(net) + label_width + 2, height)
    fig.theme("simple")
    fig.title(title)
    for at, value in zip(x, net):
        won = value >= 0
        glyph = "█" if won or colour else LOSS_MARKER
        marker = plotext.colorize(glyph).fill(plotext.pixel(foreground="green" if won else "red"))
        for column in range(at, at + bar):
            fig.draw(fig.segment((column, column), (0, value), marker=marker))
    line = plotext.colorize(LINE_MARKER).fill(plotext.pixel(foreground="blue"))
    x = [at + bar // 2 for at in x]
    fig.draw(fig.signal(x, cum, marker=line).lines(True))

    dates = days.index
    count = max(2, min(len(x), (step * len(net)) // 12))
    marked = sorted({round(i * (len(x) - 1) / (count - 1)) for i in range(count)}) if len(x) > 1 else [0]
    fig.ruler("x").lim(-0.5, step * len(net) - 0.5)
    fig.ruler("x").ticks([x[i] for i in marked], [f"{dates[i]:%m-%d}" for i in marked])
    fig.ruler("y").lim(ticks[0], ticks[-1])
    fig.ruler("y").ticks(ticks, [label.rjust(label_width) for label in labels])
    return fig.build().string(colorless=not colour)


def write_chart(records: "pd.DataFrame", title: str, path: str | os.PathLike,
                size: tuple[int, int] = DEFAULT_SIZE) -> Path:
    """Write the daily net bars and the cumulative line to `path` (.png or .svg), `size` pixels."""
    fmt = picture_format(path)
    import matplotlib

    # No display is needed; a host that already chose a backend (a notebook) keeps it.
    if "matplotlib.pyplot" not in sys.modules:
        matplotlib.use("Agg")
    from matplotlib import pyplot

    days = daily_net(records)
    # matplotlib's own look, whatever style a candle chart drawn before left in force
    with pyplot.style.context("default"):
        figure, axes = pyplot.subplots(figsize=(size[0] / _DPI, size[1] / _DPI), dpi=_DPI, layout="constrained")
        try:
            _draw(figure, axes, days, title)
            with atomic_path(path) as part:
                figure.savefig(part, format=fmt, dpi=_DPI)
        finally:
            pyplot.close(figure)
    return Path(path)


def _draw(figure, axes, days: "pd.DataFrame", title: str) -> None:
    from matplotlib.patches import Patch
    from matplotlib.ticker import StrMethodFormatter

    x = range(len(days.index))
    colours = [UP_COLOUR if value >= 0 else DOWN_COLOUR for value in days["net"]]
    axes.bar(x, days["net"], color=colours, width=0.7)
    line = axes.plot(x, days["cum_net"], color=LINE_COLOUR, linewidth=2, marker="o", markersize=3)[0]
    axes.axhline(0, color="#888888", linewidth=0.8)
    figure.suptitle(title, fontweight="bold")
    axes.yaxis.set_major_formatter(StrMethodFormatter("{x:,.0f}"))
    axes.set_axisbelow(True)
    axes.grid(axis="y", alpha=0.3)
    # a slanted date takes about _DATE_PIXELS of the width
    fit = max(2, int(figure.get_figwidth() * _DPI / _DATE_PIXELS))
    every = math.ceil(len(days.index) / fit)
    axes.set_xticks(list(x)[::every], [f"{day:%Y-%m-%d}" for day in days.index[::every]], rotation=30, ha="right")
    axes.set_xlim(-0.6, len(days.index) - 0.4)
    # under the plot, where it hides no bar
    figure.legend([Patch(color=UP_COLOUR), Patch(color=DOWN_COLOUR), line],
                  ["winning day", "losing day", "cumulative net"], loc="outside lower center", ncols=3, frameon=False)
