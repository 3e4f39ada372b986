"""The terminal chart (plotext): candles over a volume panel, with the overlays' lines and the fills' marks."""

import textwrap
from collections.abc import Sequence
from typing import TYPE_CHECKING

from ..extras import require
from .candles import DOWN_BODY, OHLC, candles as candles_of, is_intraday, merge_size, merged, volume_text
from .overlays import BUY_COLOUR, SELL_COLOUR, Line, Mark
from .ticks import time_ticks

if TYPE_CHECKING:
    import pandas as pd

_PRICE_TICKS = 5
VOLUME_LABEL_WIDTH = 5  # the widest volume_text gives: 15.9M
# Fills: the arrow tells buys from sells without colours too.
BUY_GLYPH, SELL_GLYPH = "▲", "▼"
# One glyph per overlay line in turn, so that lines tell apart without colours too.
LINE_GLYPHS = ("•", "×", "+", "∘", "·")


def require_terminal_charts() -> None:
    require("plotext", "charts", "terminal charts")


def _rgb(colour: str) -> tuple[int, int, int]:
    return int(colour[1:3], 16), int(colour[3:5], 16), int(colour[5:7], 16)


def _glyph(char: str, colour: str | None):
    import plotext

    pixel = plotext.pixel(foreground=_rgb(colour)) if colour else plotext.pixel()
    return plotext.colorize(char).fill(pixel)


def _per_candle(values: "pd.Series", size: int, count: int) -> list[float]:
    """A line's value at the last bar of each candle of `size` bars."""
    last = [min((k + 1) * size, len(values.index)) - 1 for k in range(count)]
    return values.iloc[last].tolist()


def _price_range(candles: "pd.DataFrame", lines: Sequence[list[float]], marks: Sequence[Mark]) -> tuple[float, float]:
    import math

    values = [v for line in lines for v in line if not math.isnan(v)] + [m.price for m in marks]
    return min([candles["low"].min(), *values]), max([candles["high"].max(), *values])


def _legend(lines: Sequence[Line], marks: Sequence[Mark]) -> str:
    names = [f"{LINE_GLYPHS[i % len(LINE_GLYPHS)]} {line.label}" for i, line in enumerate(lines)]
    if any(m.buy for m in marks):
        names.append(f"{BUY_GLYPH} buy")
    if any(not m.buy for m in marks):
        names.append(f"{SELL_GLYPH} sell")
    return "   ".join(names)


def terminal_chart(bars: "pd.DataFrame", title: str, *, width: int, height: int, colour: bool,
                   lines: Sequence[Line] = (), marks: Sequence[Mark] = ()) -> str:
    """`bars` (indexed by date) as candles over a volume panel, at most `width` x `height` terminal cells.

    Rising candles and their volume are green and falling ones red; without `colour` a falling
    candle's body is drawn with DOWN_BODY instead. The price axis is marked from the lowest to the
    highest price shown, the time axis at round times. Each candle takes one column (two or
    three when there is room, for gaps between them); when there are more bars than columns,
    consecutive bars are merged into one candle each, and the title says how many. `lines` are
    drawn over the candles, each with its own glyph, and `marks` (fills) as arrows at their
    price; a legend under the title names them. Title and legend are wrapped to `width`.
    """
    require_terminal_charts()
    import plotext

    from quodra.numeric import fmtPrice

    candles = candles_of(bars)
    values = [line.values.reindex(candles.index) for line in lines]
    # The price axis first (merging keeps the lowest low and highest high), so that its labels'
    # width is known before the candles get the columns left.
    low, high = _price_range(candles, [v.tolist() for v in values], marks)
    prices = [low + (high - low) * i / (_PRICE_TICKS - 1) for i in range(_PRICE_TICKS)] if high > low else [low]
    price_labels = [fmtPrice(p) for p in prices]
    label_width = max(VOLUME_LABEL_WIDTH, *map(len, price_labels))
    columns = max(1, width - label_width - 2)  # the frame takes two
    size = merge_size(len(candles.index), columns)
    candles = merged(candles, size)
    if size > 1:
        title = f"{title}, {size} bars a candle"
    shown = len(candles.index)
    traced = [_per_candle(v, size, shown) for v in values]
    placed = [Mark(m.position // size, m.price, m.buy) for m in marks]
    volumes = [candles["volume"].max() / 2, candles["volume"].max()]
    volume_labels = [volume_text(v) for v in volumes]
    # Whole columns per candle: a candle between two columns would be drawn on both.
    step = max(1, min(3, columns // shown))
    columns = step * shown
    x = [i * step for i in range(shown)]
    rising = (candles["open"] < candles["close"]).tolist()
    # Title and legend above the chart, as wide as the terminal rather than the candles.
    heading = textwrap.wrap(title, width) + textwrap.wrap(_legend(lines, placed), width)
    height = max(height - len(heading), 12)

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

    top.draw(top.candlestick({"date": x, **{k: candles[k].tolist() for k in OHLC}}))
    if not colour:
        for at, o, c, up in zip(x, candles["open"], candles["close"], rising):
            if not up:
                top.draw(top.rectangle((at, at), (min(o, c), max(o, c)), marker=DOWN_BODY, lines=False))
    for i, (line, values) in enumerate(zip(lines, traced)):
        glyph = _glyph(LINE_GLYPHS[i % len(LINE_GLYPHS)], line.colour if colour else None)
        points = [(at, v) for at, v in zip(x, values) if v == v]
        if points:
            top.draw(top.signal([p[0] for p in points], [p[1] for p in points], marker=glyph).lines(True))
    for mark in placed:
        shade = (BUY_COLOUR if mark.buy else SELL_COLOUR) if colour else None
        glyph = _glyph(BUY_GLYPH if mark.buy else SELL_GLYPH, shade)
        top.draw(top.signal([x[mark.position]], [mark.price], marker=glyph))
    # Volume as one column per candle, right under it (plotext's bars are as wide as their spacing).
    for at, volume, up in zip(x, candles["volume"], rising):
        marker = plotext.colorize("█").fill(plotext.pixel(foreground="green" if up else "red"))
        bottom.draw(bottom.segment((at, at), (0, volume), marker=marker))

    # room for each label ("09:30", "12-08", "2026-03") and a gap of three
    label_room = 8 if is_intraday(candles.index) else 10
    ticks = time_ticks(candles.index, max(2, columns // label_room))
    for panel in (top, bottom):
        panel.ruler("x").lim(-0.5, columns - 0.5)
    top.ruler("x").ticks([])
    bottom.ruler("x").ticks([x[t.position] for t in ticks], [t.day or t.label for t in ticks])
    top.ruler("y").lim(low, high)
    top.ruler("y").ticks(prices, [label.rjust(label_width) for label in price_labels])
    bottom.ruler("y").lim(0, max(volumes[-1], 1))
    bottom.ruler("y").ticks(volumes, [label.rjust(label_width) for label in volume_labels])
    return "\n".join([*heading, fig.build().string(colorless=not colour)])
