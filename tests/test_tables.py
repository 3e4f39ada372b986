"""Printed tables: the rows asked for, the terminal's size, visible row labels, cached bars as fresh ones."""

import os
import sys

import numpy as np
import pandas as pd
import pytest

from korvanta.runner import settings
from korvanta.runner.display import show_unprinted
from quodra import frame
from quodra.frame import printFrame

BARS = pd.DataFrame({
    "date": pd.date_range("2024-01-02", periods=99, freq="B"), "open": np.linspace(100, 200, 99),
    "high": 201.25, "low": 99.5, "close": 150.5, "volume": 1234, "average": 150.1234, "barCount": 7,
})


def shown_rows(out: str) -> list[str]:
    return [line.split()[0] for line in out.splitlines()[2:] if line[:1].isdigit()]


@pytest.fixture
def terminal(monkeypatch):
    """stdout as a terminal of the given size."""
    def size(columns: int, lines: int):
        monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
        monkeypatch.setattr(frame.shutil, "get_terminal_size", lambda: os.terminal_size((columns, lines)))
    return size


@pytest.mark.parametrize("rows, tty, shown", [
    ("auto", False, 99), (None, True, 99), (20, False, 20), (20, True, 20), (200, False, 99),
], ids=["pipe-gets-all", "all", "rows-20", "rows-20-terminal", "more-than-there-are"])
def test_rows_shown(rows, tty, shown, capsys, terminal):
    if tty:
        terminal(200, 30)
    with frame.using(rows=rows):
        printFrame(BARS, "AAPL day (99 bars)")
    out = capsys.readouterr().out
    assert len(shown_rows(out)) == shown
    assert out.rstrip().endswith("[99 rows x 8 columns]") == (shown < 99)


@pytest.mark.parametrize("columns, lines", [(200, 30), (80, 60), (80, 100)], ids=["wide", "two-blocks", "tall"])
def test_default_fits_the_terminal(columns, lines, capsys, terminal):
    terminal(columns, lines)
    printFrame(BARS, "AAPL day (99 bars)")
    out = capsys.readouterr().out.splitlines()
    # the title, the table and a prompt line below it fit the screen, and no more is cut than needed
    assert len(out) + 1 <= lines and max(map(len, out)) <= columns
    assert len(out) + 1 > lines - 4


def test_small_terminal_still_shows_a_useful_part(capsys, terminal):
    terminal(80, 24)
    printFrame(BARS, "AAPL day (99 bars)")
    printFrame(BARS.head(frame.MIN_FIT_ROWS), "AAPL day (20 bars)")
    first, second = capsys.readouterr().out.split("AAPL day (20 bars)")
    assert len(shown_rows(first)) == frame.MIN_FIT_ROWS and "[99 rows x 8 columns]" in first
    assert len(shown_rows("\n" + second)) == frame.MIN_FIT_ROWS and "..." not in second


def test_repeated_and_empty_row_labels_stay_visible(capsys):
    index = pd.MultiIndex.from_tuples([("102", "SLD", "MSFT"), ("102", "SLD", "TSLA"), ("", "SLD", "TSLA")],
                                      names=["orderId", "side", "localSymbol"])
    printFrame(pd.DataFrame({"shares": [25, 10, 5]}, index=index), "orders")
    rows = [line.split() for line in capsys.readouterr().out.splitlines()[3:]]
    assert rows == [["102", "SLD", "MSFT", "25"], ["102", "SLD", "TSLA", "10"], ["-", "SLD", "TSLA", "5"]]


@pytest.mark.parametrize("bars", [
    BARS.head(3),
    BARS.head(3).assign(date=BARS["date"].dt.date.head(3)),  # daily gateway bars carry dates
    BARS.head(3).assign(average=[1.5, None, 2.25]),
], ids=["timestamps", "dates", "missing-cell"])
def test_cached_bars_print_as_the_fresh_table_did(bars, capsys):
    # kline prints its fresh bars from a convert_dtypes frame and returns them as records
    fresh = bars.convert_dtypes()
    printFrame(fresh, "AAPL day (3 bars)")
    printed = capsys.readouterr().out.splitlines()[1:]
    show_unprinted({"symbol": "AAPL", "period": "day", "bars": fresh.to_dict(orient="records")}, frame.printed)
    again = capsys.readouterr().out.splitlines()
    assert again[0] == "AAPL day (3 bars) [cached]" and again[1:] == printed


class TestShellSetWord:
    @pytest.fixture(autouse=True)
    def restore(self):
        yield
        settings.use(settings.ResultSettings())

    @pytest.mark.parametrize("words, message", [
        (["format", "xml"], "set format: 'xml' is not a format; use csv, json (or table)"),
        (["out", "bars.xlsx"], "set out: 'bars.xlsx': unknown file type .xlsx; use .csv, .json, .parquet"),
        (["colour", "on"], "Usage: set [rows N|all|auto"),
        (["tz", "Mars/Olympus"], "set tz: 'Mars/Olympus' is not a time zone"),
        (["ma", "20,x"], "set ma: '20,x' is not a length in bars"),
        (["vwap", "yes"], "set vwap: 'yes': on or off"),
        (["chart-size", "320x200"], "set chart-size: 320x200: a chart picture is 640x360 pixels at least"),
    ], ids=["format", "out-suffix", "unknown", "tz", "ma", "switch", "chart-size"])
    def test_refused(self, words, message, logs):
        before = settings.current()
        assert not settings.set_word(words)
        assert logs[-1][0] == "ERROR" and logs[-1][1].startswith(message)
        assert settings.current() == before

    @pytest.mark.parametrize("words, changed", [
        (["tz", "America/Chicago"], {"tz": "America/Chicago"}),
        (["rth", "on"], {"rth": True}),
        (["ma", "20,50"], {"overlays": settings.Overlays(ma=(20, 50))}),
        (["fills", "ON"], {"overlays": settings.Overlays(fills=True)}),
        (["prev-close", "on"], {"overlays": settings.Overlays(prev_close=True)}),
    ], ids=["tz", "rth", "ma", "fills", "prev-close"])
    def test_changed_and_shown(self, words, changed, capsys):
        assert settings.set_word(words) and settings.current() == settings.ResultSettings(**changed)
        assert settings.set_word([])
        shown = dict(line.split(maxsplit=1) for line in capsys.readouterr().out.splitlines())
        assert shown[words[0]].lower() == words[1].lower()
        assert settings.set_word([words[0], "off" if words[0] != "tz" else "exchange"])
        assert settings.current() == settings.ResultSettings()

    def test_terminal_chart_and_format_exclude_each_other(self, logs):
        assert settings.set_word(["chart", "on"])
        assert not settings.set_word(["format", "json"])
        assert "a terminal chart would mix into them" in logs[-1][1] and settings.current().format is None
