"""Candlestick charts of bars with volume below: in the terminal (plotext), or as a PNG or SVG picture (mplfinance)."""

import math
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING

from .extras import require
from .output import atomic_path

if TYPE_CHECKING:
    import pandas as pd

PICTURE_FORMATS = {".png": "png", ".svg": "svg"}
DEFAULT_SIZE = (1280, 720)  # pixels of a picture
UP_COLOUR = "#26a69a"
DOWN_COLOUR = "#ef5350"
# Without colours (a pipe, NO_COLOR) a falling candle's body is drawn with this instead of a full block.
DOWN_BODY = "░"
_DPI = 100
_PRICE_TICKS = 5
_OHLC = ["open", "high", "low", "close"]


def picture_format(path: str | os.PathLike) -> str:
    """"png" or "svg" by the suffix of `path`; ValueError naming both otherwise, MissingExtra without mplfinance."""
    suffix = Path(path).suffix.lower()
    if suffix not in PICTURE_FORMATS:
        raise ValueError(f"{os.fspath(path)!r}: a chart is written as .png or .svg, not {suffix or '(no suffix)'}")
    for module in ("mplfinance", "matplotlib", "six"):
        require(module, "charts", "writing chart pictures")
    return PICTURE_FORMATS[suffix]


def require_terminal_charts() -> None:
    require("plotext", "charts", "terminal charts")


def _candles(bars: "pd.DataFrame") -> "pd.DataFrame":
    """The bars that have prices, with a volume column (0 where the bars have none)."""
    candles = bars.dropna(subset=_OHLC)
    if candles.empty:
        raise ValueError("no bars with prices to chart")
    volume = candles["volume"] if "volume" in candles else 0
    return candles[_OHLC].astype(float).assign(volume=volume).fillna({"volume": 0})


def _merged(candles: "pd.DataFrame", most: int) -> tuple["pd.DataFrame", int]:
    """At most `most` candles, each made of as many consecutive bars as needed; and that number."""
    size = max(1, math.ceil(len(candles.index) / most))
    if size == 1:
        return candles, 1
    group = [i // size for i in range(len(candles.index))]
    merged = candles.groupby(group).agg(open=("open", "first"), high=("high", "max"), low=("low", "min"),
                                        close=("close", "last"), volume=("volume", "sum"))
    merged.index = candles.index[::size]
    return merged, size


def _volume_text(value: float) -> str:
    """Three digits at most: 725K, 15.9M."""
    for scale, unit in ((1e9, "B"), (1e6, "M"), (1e3, "K")):
        if abs(value) >= scale:
            value /= scale
            return f"{value:.0f}{unit}" if abs(value) >= 100 else f"{value:.1f}{unit}"
    return f"{value:.0f}"


def _date_form(dates: "pd.DatetimeIndex") -> str:
    if (dates == dates.normalize()).all():
        return "%Y-%m-%d"
    if len(set(dates.date)) == 1:
        return "%H:%M"
    return "%m-%d %H:%M"


def terminal_chart(bars: "pd.DataFrame", title: str, *, width: int, height: int, colour: bool) -> str:
    """`bars` (indexed by date) as candles over a volume panel, at most `width` x `height` terminal cells.

    Rising candles are green and falling ones red; without `colour` a falling candle's body is
    drawn with DOWN_BODY instead. The price axis is marked at the lowest low and the highest
    high, the time axis with dates. Each candle takes one column (two or three when there is
    room, for gaps between them); when there are more bars than columns, consecutive bars are
    merged into one candle each, and the title says how many.
    """
    require_terminal_charts()
    import pandas as pd
    import plotext

    from quodra.numeric import fmtPrice

    candles = _candles(bars)
    low, high = candles["low"].min(), candles["high"].max()
    prices = [low + (high - low) * i / (_PRICE_TICKS - 1) for i in range(_PRICE_TICKS)] if high > low else [low]
    price_labels = [fmtPrice(p) for p in prices]
    volumes = [candles["volume"].max() / 2, candles["volume"].max()]
    volume_labels = [_volume_text(v) for v in volumes]
    # Both panels get labels of one width, so that a candle stands above its volume bar.
    label_width = max(map(len, price_labels + volume_labels))
    columns = max(1, width - label_width - 2)  # the frame takes two
    candles, merged = _merged(candles, columns)
    if merged > 1:
        title = f"{title}, {merged} bars a candle"
    # Whole columns per candle: a candle between two columns would be drawn on both.
    step = max(1, min(3, columns // len(candles.index)))
    columns = step * len(candles.index)
    x = [i * step for i in range(len(candles.index))]
    rising = (candles["open"] < candles["close"]).tolist()

    fig = plotext.figure
    fig.clear()
    plotext.terminal.limit(False, False)
    fig.subplots(2, 1)
    volume_height = max(6, height // 3)
    fig.plot_size(columns + label_width + 2, height)
    top, bottom = fig.subplot(1, 1), fig.subplot(2, 1)
    for panel in (top, bottom):
        # no colours of its own (the default paints a white canvas), whatever the terminal's are
        panel.theme("simple")
    top.plot_size(columns + label_width + 2, height - volume_height)
    bottom.plot_size(columns + label_width + 2, volume_height)
    top.title(title)

    top.draw(top.candlestick({"date": x, **{k: candles[k].tolist() for k in _OHLC}}))
    if not colour:
        for at, o, c, up in zip(x, candles["open"], candles["close"], rising):
            if not up:
                top.draw(top.rectangle((at, at), (min(o, c), max(o, c)), marker=DOWN_BODY, lines=False))
    # Volume as one column per candle, right under it (plotext's bars are as wide as their spacing).
    for at, volume, up in zip(x, candles["volume"], rising):
        marker = plotext.colorize("█").fill(plotext.pixel(foreground="green" if up else "red"))
        bottom.draw(bottom.segment((at, at), (0, volume), marker=marker))

    dates = pd.DatetimeIndex(candles.index)
    form = _date_form(dates)
    label_len = len(dates[0].strftime(form))
    count = max(2, min(len(x), columns // (label_len + 4)))
    ticks = sorted({round(i * (len(x) - 1) / (count - 1)) for i in range(count)}) if len(x) > 1 else [0]
    for panel in (top, bottom):
        panel.ruler("x").lim(-0.5, columns - 0.5)
    top.ruler("x").ticks([])
    bottom.ruler("x").ticks([x[i] for i in ticks], [dates[i].strftime(form) for i in ticks])
    top.ruler("y").ticks(prices, [label.rjust(label_width) for label in price_labels])
    bottom.ruler("y").lim(0, max(volumes[-1], 1))
    bottom.ruler("y").ticks(volumes, [label.rjust(label_width) for label in volume_labels])
    return fig.build().string(colorless=not colour)


def write_chart(bars: "pd.DataFrame", title: str, path: str | os.PathLike,
                size: tuple[int, int] = DEFAULT_SIZE) -> Path:
    """Write `bars` as a candlestick chart with a volume panel to `path` (.png or .svg), `size` pixels."""
    fmt = picture_format(path)
    import matplotlib
    import pandas as pd

    # No display is needed; a host that already chose a backend (a notebook) keeps it.
    if "matplotlib.pyplot" not in sys.modules:
        matplotlib.use("Agg")
    import mplfinance
    from matplotlib import pyplot

    candles = _candles(bars)
    colours = mplfinance.make_marketcolors(up=UP_COLOUR, down=DOWN_COLOUR, inherit=True)
    # The base style's semibold title font is missing from most systems (matplotlib warns).
    style = mplfinance.make_mpf_style(base_mpf_style="yahoo", marketcolors=colours,
                                      rc={"figure.titleweight": "bold"})
    data = candles.rename(columns=str.title)
    data.index = pd.DatetimeIndex(candles.index, name="Date")
    volume = float(data["Volume"].max())
    panels = {"volume": True, "volume_ylim": (0.0, volume * 1.05)} if volume > 0 else {"volume": False}
    figure, _ = mplfinance.plot(
        data, type="candle", style=style, title=title, **panels, datetime_format=_date_form(data.index),
        figsize=(size[0] / _DPI, size[1] / _DPI), returnfig=True, warn_too_much_data=len(data.index) + 1,
        # mplfinance's own margins waste a fifth of the width; its tight layout cuts off the labels.
        xrotation=30, scale_padding={"left": 0.25, "right": 0.9, "top": 0.6, "bottom": 0.85})
    try:
        with atomic_path(path) as part:
            figure.savefig(part, format=fmt, dpi=_DPI)
    finally:
        pyplot.close(figure)
    return Path(path)

