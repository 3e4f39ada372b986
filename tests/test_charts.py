"""Candlestick charts: a picture whose candles are where and in the colour they should be, and the terminal chart."""

import re

import numpy as np
import pandas as pd
import pytest

from korvanta.runner import charts, pnl_chart
from korvanta.runner.charts.ticks import time_ticks
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


def pixels_of(image: np.ndarray, colour: str) -> np.ndarray:
    """Where `image` (rows x columns x RGB) has `colour`, as a mask."""
    rgb = np.array([int(colour[i:i + 2], 16) for i in (1, 3, 5)])
    return np.abs(image[:, :, :3].astype(int) - rgb).sum(axis=2) <= 6


def colour_runs(image: np.ndarray, colour: str, part: float = 7 / 10) -> list[tuple[int, int]]:
    """(first, last) pixel columns of each run of columns holding `colour` in the top `part` of the
    image (by default seven tenths: the candles)."""
    hit = pixels_of(image[: round(image.shape[0] * part)], colour).any(axis=0)
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


def picture(path) -> np.ndarray:
    from matplotlib.image import imread

    return (imread(path) * 255).round().astype(np.uint8)


def test_average_and_fills_where_they_belong(tmp_path):
    from korvanta.runner.charts.overlays import BUY_COLOUR, SELL_COLOUR, SMA_COLOURS, fill_marks, overlay_lines
    from korvanta.sessions import US_STOCKS

    rises = ([True] * 3 + [False] * 2) * 8
    bars = known_bars(rises, start="2026-12-08 10:00", freq="min")
    bars.index = bars.index.tz_localize("America/New_York")
    # a buy at the low of bar 25, in its minute; a sell at the high of bar 33; one before the chart
    fills = pd.DataFrame({"time": [bars.index[25] + pd.Timedelta(seconds=30), bars.index[33],
                                   bars.index[0] - pd.Timedelta(minutes=5)],
                          "price": [bars["low"].iloc[25], bars["high"].iloc[33], 100.0], "buy": [True, False, True]})
    lines = overlay_lines(bars, charts.Overlays(ma=(20,)), US_STOCKS)
    marks = fill_marks(bars, fills, 60, US_STOCKS)
    image = picture(charts.write_chart(bars, "AAPL 1m", tmp_path / "aapl.png", lines=lines, marks=marks))
    runs = sorted(colour_runs(image, charts.UP_COLOUR) + colour_runs(image, charts.DOWN_COLOUR))
    assert len(runs) == len(rises)
    centre = [(first + last) / 2 for first, last in runs]
    width = runs[0][1] - runs[0][0]
    # the candles' rows, without the legend above them (which shows the same colours) or the volume
    candle_rows = np.flatnonzero(pixels_of(image[: image.shape[0] * 7 // 10], charts.UP_COLOUR).any(axis=1))
    band = image[: candle_rows.max() + 1].copy()
    band[: candle_rows.min()] = 255

    average = np.flatnonzero(pixels_of(band, SMA_COLOURS[0]).any(axis=0))
    # drawn from the 20th bar on, to the last
    assert centre[18] < average.min() <= centre[19] + width and average.max() >= centre[-1] - width
    for colour, bar, edge in ((BUY_COLOUR, 25, "low"), (SELL_COLOUR, 33, "high")):
        rows, columns = np.nonzero(pixels_of(band, colour))
        assert len(columns) > 20 and abs(columns.mean() - centre[bar]) <= 2
        # at the price: the low (high) of its bar is where the bar's wick ends (a price unit
        # is some 18 pixels; a triangle's antialiased tip is not of the exact colour)
        wick = np.flatnonzero(pixels_of(band[:, runs[bar][0]:runs[bar][1] + 1],
                                        charts.UP_COLOUR if rises[bar] else charts.DOWN_COLOUR).any(axis=1))
        assert abs((rows.min() + rows.max()) / 2 - (wick.max() if edge == "low" else wick.min())) <= 6


def test_svg_picture(tmp_path):
    path = charts.write_chart(known_bars(), "AAPL day (10 bars)", tmp_path / "aapl.svg")
    text = path.read_text()
    assert "<svg" in text and charts.UP_COLOUR in text and charts.DOWN_COLOUR in text


def minutes(start: str, periods: int, freq: str = "min") -> pd.DatetimeIndex:
    return pd.date_range(start, periods=periods, freq=freq, tz="America/New_York")


EXTENDED_DAYS = minutes("2026-12-07 04:00", 192, "5min").append(minutes("2026-12-08 04:00", 192, "5min"))


@pytest.mark.parametrize("index, most, marks", [
    # the open, then whole hours; 10:00 is too close to the open to be marked too
    (minutes("2026-12-08 09:30", 390), 8, ["09:30", "11:00", "12:00", "13:00", "14:00", "15:00"]),
    (minutes("2026-12-08 09:30", 390), 15, ["09:30", "10:00", "10:30", "11:00", "11:30", "12:00", "12:30", "13:00",
                                            "13:30", "14:00", "14:30", "15:00", "15:30"]),
    # each day's start carries its date
    (EXTENDED_DAYS, 10, ["12-07 04:00", "08:00", "12:00", "16:00", "12-08 04:00", "08:00", "12:00", "16:00"]),
    (pd.Index(pd.bdate_range("2026-03-02", periods=10).date), 7, ["03-02", "03-09"]),
    # months where they start, not at the chart's first bar
    (pd.Index(pd.bdate_range("2026-03-02", periods=60).date), 6, ["2026-04", "2026-05"]),
    (pd.Index(pd.bdate_range("2020-01-02", periods=1500).date), 6, ["2021", "2022", "2023", "2024", "2025"]),
], ids=["regular-session", "every-half-hour", "two-extended-days", "weeks", "months", "years"])
def test_time_ticks_at_round_times(index, most, marks):
    ticks = time_ticks(index, most)
    assert [f"{t.day} {t.label}" if t.day else t.label for t in ticks] == marks
    if isinstance(index, pd.DatetimeIndex):  # each mark on the bar of the time it names
        assert all(index[t.position].strftime("%H:%M") == t.label for t in ticks)


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
    assert len(lines[-1].split()) >= 2  # the time axis is marked


def test_terminal_chart_lines_and_fills_on_their_candles():
    from korvanta.runner.charts.overlays import Mark, overlay_lines
    from korvanta.sessions import US_STOCKS

    bars = known_bars([True, False] * 10)
    lines = overlay_lines(bars, charts.Overlays(ma=(5,)), US_STOCKS)
    marks = [Mark(4, bars["low"].iloc[4], True), Mark(12, bars["high"].iloc[12], False)]
    chart = charts.terminal_chart(bars, "AAPL day", width=80, height=24, colour=False, lines=lines, marks=marks)
    title, legend, *rest = chart.splitlines()
    assert (title, legend) == ("AAPL day", "• MA 5   ▲ buy   ▼ sell")
    panel = rest[1:rest.index(next(line for line in rest if "└" in line))]
    left = panel[0].index("┤") + 1
    inner = [line[left:line.rindex("│")] for line in panel]
    columns = {glyph: sorted({row.index(glyph) for row in inner if glyph in row}) for glyph in "▲▼•"}
    candles = sorted({i for row in inner for i, char in enumerate(row) if char in "│█░"})
    assert len(candles) == len(bars.index)
    assert columns["▲"] == [candles[4]] and columns["▼"] == [candles[12]]
    assert columns["•"][0] == candles[4]  # the average of 5 from the fifth bar on


def test_vwap_restarts_each_session_and_is_drawn_apart():
    from korvanta.runner.charts.overlays import overlay_lines
    from korvanta.sessions import CME_FUTURES

    # 15:55-15:59 and 17:00-17:04 Chicago: the evening bars open the next trading day
    index = pd.DatetimeIndex([*pd.date_range("2026-12-08 15:55", periods=5, freq="min"),
                              *pd.date_range("2026-12-08 17:00", periods=5, freq="min")], tz="America/Chicago")
    bars = pd.DataFrame({"high": 11.0, "low": 9.0, "close": 10.0, "volume": 100.0, "average": np.arange(10.0)},
                        index=index)
    (line,) = overlay_lines(bars, charts.Overlays(vwap=True), CME_FUTURES)
    # the running volume-weighted average of each session's own bars, with a break where one starts
    assert line.values.tolist()[:5] == [0.0, 0.5, 1.0, 1.5, 2.0]
    assert np.isnan(line.values.iloc[5]) and line.values.tolist()[6:] == [5.5, 6.0, 6.5, 7.0]


def test_terminal_chart_in_colour_tells_rises_from_falls():
    chart = charts.terminal_chart(known_bars(), "AAPL", width=80, height=24, colour=True)
    # plotext's green and red foregrounds, and no body drawn for colourless output
    assert all(re.search(rf"\x1b\[38;5;{code}m(\x1b\[[0-9;]*m)*█", chart) for code in (2, 1))
    assert charts.DOWN_BODY not in chart


class TestJournalChart:
    """The pnl journal's chart: a bar per trading day in the colour of its net, and the cumulative line."""

    NETS = [120.0, -80.0, 200.0, -310.0, 150.0, 90.0, -40.0]

    @pytest.fixture
    def records(self):
        days = pd.date_range("2026-03-02", periods=len(self.NETS), freq="B")
        # two symbols a day, their nets adding up to the day's
        return pd.DataFrame({"trading_day": days.repeat(2), "symbol": ["AAPL", "ESZ6"] * len(days),
                             "net": [part for net in self.NETS for part in (net - 10.0, 10.0)]})

    def test_picture_has_a_bar_per_day_and_the_running_net(self, records, tmp_path):
        from matplotlib.image import imread

        path = pnl_chart.write_chart(records, "pnl", tmp_path / "pnl.png", size=(900, 500))
        image = (imread(path) * 255).round().astype(np.uint8)
        assert image.shape[:2] == (500, 900)
        # above the legend's swatches, left to right, each bar in the colour of its day's net
        plot = image[: image.shape[0] * 7 // 8]
        wins, losses = colour_runs(plot, charts.UP_COLOUR, 1), colour_runs(plot, charts.DOWN_COLOUR, 1)
        order = sorted([(run, True) for run in wins] + [(run, False) for run in losses])
        assert [won for _, won in order] == [net > 0 for net in self.NETS]
        # the line, read at each bar's centre, is higher where the running net is higher
        centres = [(a + b) // 2 for (a, b), _ in order]
        heights = [line_row(plot, x, pnl_chart.LINE_COLOUR) for x in centres]
        running = np.cumsum(self.NETS)
        assert [a > b for a, b in zip(heights, heights[1:])] == [a < b for a, b in zip(running, running[1:])]

    def test_terminal_chart(self, records):
        title = pnl_chart.chart_title(records)
        chart = pnl_chart.terminal_chart(records, title, width=80, height=20, colour=False)
        lines = chart.splitlines()
        assert lines[0].strip() == title == "Daily net P&L, 2026-03-02 ~ 2026-03-10, total 130.00"
        assert len(lines) <= 20 and max(map(len, lines)) <= 80
        assert {"█", pnl_chart.LOSS_MARKER, pnl_chart.LINE_MARKER} <= set(chart)
        assert "03-02" in lines[-1] and "03-10" in lines[-1]


def line_row(image: np.ndarray, x: int, colour: str) -> int:
    """The topmost pixel row of column `x` (or its neighbours) holding `colour`."""
    return int(np.flatnonzero(pixels_of(image[:, x - 2:x + 3], colour).any(axis=1))[0])
