"""End to end: the program's result options against the gateway simulator, as a user runs them."""

import io
import os
import re
import subprocess
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from test_gateway_e2e import FAKES, gateway  # noqa: F401  (gateway: the simulator, a fixture)

pytestmark = pytest.mark.e2e

NEW_YORK = ZoneInfo("America/New_York")
DAY = dict(durationStr="1 Y", barSizeSetting="1 day", whatToShow="TRADES", useRTH=True)


@pytest.fixture
def korvanta(tmp_path, gateway):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_") and k != "COLUMNS"}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"),
               KORVANTA_GATEWAY=f"127.0.0.1:{gateway.port}")

    def run(*words, stdin=None, columns=80):
        done = subprocess.run([sys.executable, "-m", "korvanta", *words], input=stdin, capture_output=True,
                              text=True, env=env | {"COLUMNS": str(columns)}, cwd=tmp_path, timeout=120)
        assert done.returncode == 0, done.stderr
        return done

    return run


def test_kline_to_csv_and_picture(gateway, korvanta, tmp_path):
    (tmp_path / "aapl.csv").write_text("an older file\n")
    done = korvanta("--out", "aapl.csv", "--chart", "aapl.png", "kline", "AAPL", "day", "100")
    expected = gateway.expected_bars("AAPL", **DAY)[-100:]
    written = pd.read_csv(tmp_path / "aapl.csv")
    assert written["close"].tolist() == [bar.close for bar in expected]
    assert written["date"].tolist() == [str(bar.start) for bar in expected]
    # into a pipe, the whole table
    rows = [line for line in done.stdout.splitlines()[2:] if line[:1].isdigit()]
    assert len(rows) == len(expected) and "..." not in done.stdout
    from matplotlib.image import imread
    assert imread(tmp_path / "aapl.png").shape[:2] == (720, 1280)
    assert f"Wrote {len(expected)} bars to {tmp_path / 'aapl.csv'}" in done.stderr
    assert f"Chart written to {tmp_path / 'aapl.png'}" in done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["aapl.csv", "aapl.png", "data"]


def test_executions_as_csv_on_stdout(gateway, korvanta):
    done = korvanta("--format", "csv", "executions")
    fills = pd.read_csv(io.StringIO(done.stdout))
    assert len(fills.index) == len(gateway.sim.book.fills(gateway.now)) and (fills["conId"] > 0).all()
    assert "Execution Summary" not in done.stdout and "Connected to the gateway" in done.stderr


def test_wider_terminal_fewer_blocks(korvanta):
    def blocks(columns):
        out = korvanta("executions", columns=columns).stdout.split("Profit by Half Hour")[0]
        return sum(1 for line in out.splitlines() if line.lstrip().startswith(("clientId", "date", "timestamp",
                                                                               "total", "c_pct_RPNL", "orderId")))

    assert blocks(120) < blocks(80)


def test_shell_settings_and_terminal_chart(gateway, korvanta):
    done = korvanta(stdin="set rows 6\nset chart on\nset ma 20\nkline AAPL day 100\nexecutions\nset\nquit\n")
    bars = gateway.expected_bars("AAPL", **DAY)[-100:]
    title = f"AAPL day · {bars[0].start} – {bars[-1].start} · ibkr · {len(bars)} bars, 2 bars a candle"
    table, chart = done.stdout.split(title)
    assert len([line for line in table.splitlines()[2:] if line[:1].isdigit()]) == 6
    highest = max(bar.high for bar in bars)
    assert f"{highest:,.2f}┤" in chart.replace(" ", "") and "█" in chart and "• MA 20" in chart
    assert "No chart: only kline bars and pnl records are drawn" in done.stderr
    assert "rows       6" in done.stdout and "chart      on" in done.stdout and "ma         20" in done.stdout


def test_regular_hours_in_another_zone(gateway, korvanta, tmp_path):
    done = korvanta("--rth", "--tz", "America/Chicago", "--out", "aapl.csv", "kline", "AAPL", "5m", "200")
    written = pd.read_csv(tmp_path / "aapl.csv")
    instants = pd.to_datetime(written["date"], utc=True)
    # Chicago's wall times, with Chicago's offset
    assert written["date"].tolist() == [t.isoformat() for t in instants.dt.tz_convert("America/Chicago")]
    local = instants.dt.tz_convert(NEW_YORK)
    # the latest 200 bars that the gateway also gives for regular hours (an early close's too)
    five_minutes = dict(durationStr="10 D", barSizeSetting="5 mins", whatToShow="TRADES")
    regular = {b.start for b in gateway.expected_bars("AAPL", **five_minutes, useRTH=True)}
    latest = gateway.expected_bars("AAPL", **five_minutes, useRTH=False)[-200:]
    expected = [b.start for b in latest if b.start in regular]
    assert local.tolist() == expected and expected
    # one table, kline's own held back: these bars, their times as Chicago reads them
    assert done.stdout.count("AAPL 5m (") == 1
    assert f"AAPL 5m ({len(written)} bars) [times America/Chicago] [regular hours]" in done.stdout
    first = local.iloc[0].tz_convert("America/Chicago").strftime("%Y-%m-%d %H:%M:%S")
    assert first in done.stdout.splitlines()[2]


def test_fills_shown_in_another_zone(gateway, korvanta):
    out = korvanta("--tz", "America/Chicago", "executions").stdout
    fills = gateway.sim.book.fills(gateway.now)
    chicago = {f"{f.time.astimezone(ZoneInfo('America/Chicago')):%H:%M:%S}" for f in fills}
    new_york = {f"{f.time.astimezone(NEW_YORK):%H:%M:%S}" for f in fills}
    printed = set(re.findall(r"\b\d\d:\d\d:\d\d\b", out))
    assert chicago <= printed and not (new_york - chicago) & printed


def test_picture_with_overlays_and_fills(korvanta, tmp_path):
    from matplotlib.image import imread

    from korvanta.runner.charts.overlays import BUY_COLOUR, SELL_COLOUR, SMA_COLOURS
    from test_charts import pixels_of

    done = korvanta("--chart", "aapl.png", "--chart-size", "640x360", "--ma", "5", "--prev-close", "--fills",
                    "kline", "AAPL", "day", "20")
    image = (imread(tmp_path / "aapl.png") * 255).round().astype("uint8")
    # the account bought and sold AAPL in these 20 days
    assert image.shape[:2] == (360, 640) and "WARNING" not in done.stderr
    assert all(pixels_of(image, colour).sum() > 20 for colour in (BUY_COLOUR, SELL_COLOUR, SMA_COLOURS[0]))


def test_fills_without_a_gateway_said_once(korvanta, tmp_path):
    done = korvanta("--gateway", "", "--chart", "aapl.png", "--fills", "kline", "AAPL", "day", "20")
    assert done.stderr.count("No fills on the chart") == 1 and (tmp_path / "aapl.png").exists()
