"""Candlestick charts: a picture whose candles are where and in the colour they should be, and the terminal chart."""

import re

import numpy as np
import pandas as pd
import pytest

from korvanta.runner import charts
from quodra.numeric import fmtPrice

pytest.importorskip("plotext", reason="the charts extra is not installed")
pytest.importorskip("mplfinance", reason="the charts extra is not installed")

RISES = [True, True, False, True, False, False, True, False, True, True]


def known_bars(rises=RISES, start="2026-03-02", freq="B") -> pd.DataFrame:
    moves = np.where(rises, 2.0, -2.0)
    closes = 100 + np.cumsum(moves)
    opens = closes - moves
    return pd.DataFrame({"open": opens, "high": np.maximum(opens, closes) + 1, "low": np.minimum(opens, closes) - 1,
                         "close": closes, "volume": 1_000_000 + np.arange(len(rises)) * 50_000},
                        index=pd.date_range(start, periods=len(rises), freq=freq, name="date"))


def colour_runs(image: np.ndarray, colour: str) -> list[tuple[int, int]]:
    """(first, last) pixel columns of each run of columns holding `colour` in the top three fifths (the candles)."""
    rgb = np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])
    candles = image[: image.shape[0] * 3 // 5, :, :3]
    hit = (np.abs(candles.astype(int) - rgb).sum(axis=2) <= 6).any(axis=0)
    runs, start = [], None
    for x, on in enumerate([*hit, False]):
        if on and start is None:
            start = x
        elif not on and start is not None:
            runs.append((start, x - 1))
            start = None
    return runs


def test_picture_has_the_asked_size_and_coloured_candles(tmp_path):
    from matplotlib.image import imread

    path = charts.write_chart(known_bars(), "AAPL day (10 bars)", tmp_path / "aapl.png", size=(900, 500))
    image = (imread(path) * 255).round().astype(np.uint8)
    assert image.shape[:2] == (500, 900)
    up, down = colour_runs(image, charts.UP_COLOUR), colour_runs(image, charts.DOWN_COLOUR)
    assert (len(up), len(down)) == (RISES.count(True), RISES.count(False))
    # left to right, each candle in the colour of its move
    order = sorted([(run, True) for run in up] + [(run, False) for run in down])
    assert [rising for _, rising in order] == RISES
    assert all(a[1] < b[0] for (a, _), (b, _) in zip(order, order[1:]))


def test_svg_picture(tmp_path):
    path = charts.write_chart(known_bars(), "AAPL day (10 bars)", tmp_path / "aapl.svg")
    text = path.read_text()
    assert "<svg" in text and charts.UP_COLOUR in text and charts.DOWN_COLOUR in text


def axis_labels(chart: str) -> list[str]:
    return [line.split("┤")[0].strip() for line in chart.splitlines() if "┤" in line]


@pytest.mark.parametrize("bars, width, title", [
    (known_bars(), 80, "AAPL day (10 bars)"),
    (known_bars(([True] * 5 + [False] * 5) * 30, freq="min", start="2026-03-02 09:30"), 80,
     "AAPL Intraday (300 bars), 5 bars a candle"),
    (known_bars([True, False] * 30), 120, "AAPL day (60 bars)"),
], ids=["daily", "merged-minutes", "wide"])
def test_terminal_chart(bars, width, title):
    chart = charts.terminal_chart(bars, title.split(",")[0], width=width, height=24, colour=False)
    lines = chart.splitlines()
    assert lines[0].strip() == title and len(lines) <= 24 and max(map(len, lines)) <= width
    assert {"█", charts.DOWN_BODY, "│"} <= set(chart)
    prices = axis_labels(chart)
    assert fmtPrice(bars["high"].max()) == prices[0] and fmtPrice(bars["low"].min()) in prices
    form = "%Y-%m-%d" if bars.index[0].hour == 0 else "%H:%M"
    assert bars.index[0].strftime(form) in lines[-1] and bars.index[-1].strftime(form)[:2] in lines[-1]


def test_terminal_chart_in_colour_tells_rises_from_falls():
    chart = charts.terminal_chart(known_bars(), "AAPL", width=80, height=24, colour=True)
    # plotext's green and red foregrounds, and no body drawn for colourless output
    assert all(re.search(rf"\x1b\[38;5;{code}m(\x1b\[[0-9;]*m)*█", chart) for code in (2, 1))
    assert charts.DOWN_BODY not in chart
