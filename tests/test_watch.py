"""--watch and `Session.watch`: kline's intraday bars kept current from the simulator's streamed updates.

The simulator streams the bar forming from its price walk at the pinned clock, every few
hundredths of a second here; moving the clock across a minute finishes a bar and begins the next.
"""

import asyncio
import contextlib
import datetime as dt
import io
import json
import os
import select
import signal
import subprocess
import sys
import threading
import time
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from clock import at
from korvanta import api
from korvanta.gateway import limits
from korvanta.runner import bar_feed, settings
from korvanta.runner.commands import load_command_modules, run_status
from korvanta.runner.state import HostState, connect
from korvanta.sim import GatewaySim
from test_gateway_e2e import FAKES, LOOSE
from test_kline_yfinance import yf  # noqa: F401  (yfinance faked in this process, a fixture)

pytestmark = pytest.mark.e2e
NY = ZoneInfo("America/New_York")
OPEN = dt.datetime(2026, 12, 8, 11, 0, 30, tzinfo=NY)


@pytest.fixture(autouse=True)
def kline_loaded():
    load_command_modules()
    pytest.importorskip("korvanta.cmds.quotes.kline", exc_type=ImportError)
    yield
    settings.use(settings.ResultSettings())


async def eventually(condition, seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        await asyncio.sleep(0.02)


def whole_bar(start: dt.datetime, size: str = "1 min"):
    """The simulator's bar starting at `start`, as a request after it ended has it."""
    sim = GatewaySim(clock=lambda: start + dt.timedelta(minutes=2))
    inst = sim.book.contracts(start.date())["AAPL"]
    bars = sim.bars.bars(inst, endDateTime="", durationStr="1 D", barSizeSetting=size, whatToShow="TRADES",
                         useRTH=False, now=start + dt.timedelta(minutes=2))
    return next(bar for bar in bars if bar.start == start)


@at("regular-session")  # the past range is past from 2026-12-08 on
@pytest.mark.parametrize("words, source, why", [
    (["kline", "AAPL"], "auto", "without a period word kline gives daily bars"),
    (["kline", "AAPL", "day", "5"], "auto", "'day' bars are daily"),
    (["kline", "AAPL,MSFT", "week"], "auto", "'week' bars are weekly"),
    (["kline", "AAPL", "2026-12-01", "2026-12-04", "5m"], "auto", "this range ends before today (2026-12-04)"),
    (["kline", "AAPL", "1m", "5"], "yfinance", "--source yfinance sends none"),
    (["kline", "AAPL", "1m", "5"], "auto", "start korvanta with --gateway HOST:PORT or set KORVANTA_GATEWAY"),
], ids=["no-period", "day", "week", "past-range", "yfinance", "no-gateway"])
def test_refused_before_anything_is_fetched(yf, logs, words, source, why):
    settings.use(settings.ResultSettings(watch=True, source=source))
    assert asyncio.run(run_status(words, HostState(None))) == 2
    [error] = [message for level, message in logs if level == "ERROR"]
    assert error.startswith("kline: --watch keeps ") and error.endswith(why) and yf.calls == []


@at("regular-session")
@pytest.mark.asyncio
async def test_session_watch_yields_frames_as_bars_form_and_finish(pinned_clock, data_dir):
    """A bar finishes whole and the next begins, the latest 5 stay 5, leaving the loop cancels the
    subscription, and nothing the watch received reaches the bar cache."""
    from korvanta.gateway.barhold import Barhold

    pinned_clock.move_to(OPEN)
    frames = []
    async with GatewaySim(update_interval=0.05) as sim:
        async with api.Session(gateway=f"127.0.0.1:{sim.port}") as session:
            async with contextlib.aclosing(session.watch("AAPL", "1m", 5)) as watching:
                async for bars in watching:
                    frames.append(bars)
                    if len(frames) == 3:
                        pinned_clock.shift(40)
                    if bars.attrs["forming"] == pd.Timestamp(OPEN.replace(minute=1, second=0)):
                        break
            assert sim.requests["cancelHistoricalData"] == 1
    first, last = frames[0], frames[-1]
    minute = pd.Timestamp(OPEN.replace(second=0))
    assert first.attrs["forming"] == first.index[-1] == minute and first.attrs["updated"] is None
    assert list(last.index) == list(first.index[1:]) + [minute + pd.Timedelta(minutes=1)]
    assert str(last.index.tz) == "America/New_York" and last.attrs["symbol"] == "AAPL"
    bar = whole_bar(minute.to_pydatetime())
    assert list(last.loc[minute, ["open", "high", "low", "close"]]) == [bar.open, bar.high, bar.low, bar.close]
    # the first five ended in a forming bar: not even they were kept
    store = Barhold(str(data_dir))
    try:
        assert list(store.cache.keys()) == []
    finally:
        store.cache.close()


@at("regular-session")
@pytest.mark.asyncio
async def test_a_dropped_connection_is_said_once_and_the_updates_go_on(pinned_clock, data_dir, logs, capsys,
                                                                         monkeypatch):
    monkeypatch.setattr(bar_feed, "LOOK_AGAIN", 0.05)
    # the subscription made again is the one made before: the identical-request rule would hold it 15 s
    monkeypatch.setattr(limits, "PACING", LOOSE)
    pinned_clock.move_to(OPEN)
    settings.use(settings.ResultSettings(watch=True, format="csv"))
    async with GatewaySim(update_interval=0.05) as sim:
        where = f"127.0.0.1:{sim.port}"
        state = await connect(("127.0.0.1", sim.port), 1)
        printed: list[str] = []

        def rows() -> int:
            printed.append(capsys.readouterr().out)
            return "".join(printed).count("\n")

        watching = asyncio.ensure_future(run_status(["kline", "AAPL", "1m", "3"], state))
        try:
            await eventually(lambda: rows() >= 1 + 3 + 2)
            await sim.stop()
            await eventually(lambda: any(m.startswith(f"No gateway at {where}") for _, m in logs))
            await sim.start(sim.port)
            await eventually(lambda: ("INFO", "[AAPL] bars kept current again") in logs)
            before = rows()
            await eventually(lambda: rows() > before)
        finally:
            watching.cancel()
            await asyncio.gather(watching, return_exceptions=True)
            state.close()
    warnings = [message for level, message in logs if level == "WARNING"]
    assert warnings == [f"The gateway at {where} dropped the connection; reconnecting",
                        warnings[1]] and warnings[1].endswith("; the bars shown are kept current again once it is back")
    assert rows() > before and sim.requests["historicalData"] == 3


# ---- the program


@pytest.fixture
def streaming_sim():
    """A simulator streaming every tenth of a second, on a loop of its own, at the test's clock."""
    sim = GatewaySim(update_interval=0.1)
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    asyncio.run_coroutine_threadsafe(sim.start(0), loop).result(10)
    yield sim
    asyncio.run_coroutine_threadsafe(sim.stop(), loop).result(10)
    loop.call_soon_threadsafe(loop.stop)
    thread.join(10)
    loop.close()


def lines_from(stream, until, seconds: float = 60) -> list[str]:
    """The lines the program prints until `until` accepts them (a generous bound against hangs)."""
    lines: list[str] = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not (lines and until(lines)):
        if select.select([stream], [], [], 0.2)[0]:
            line = stream.readline()
            if not line:
                break
            lines.append(line.rstrip("\n"))
    return lines


@at("regular-session")
@pytest.mark.parametrize("options, symbols, shown, next_minute", [
    (["--format", "csv"], "AAPL", 1 + 5, "2026-12-08T11:01:00-05:00,"),
    (["--format", "json"], "AAPL,/ES", 2 * 5, '"date": "2026-12-08T16:01:00+00:00"'),
    ([], "AAPL", 1 + 1 + 5 + 1, "AAPL 2026-12-08 11:01 "),
], ids=["csv", "json-lines-of-a-list", "table-into-a-pipe"])
def test_the_program_streams_updates_until_ctrl_c(streaming_sim, pinned_clock, tmp_path, options, symbols, shown,
                                                    next_minute):
    """The bars, updates of the forming one, then (the simulator's clock moved on a minute) that
    bar finished and the next begun; SIGINT ends it."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), COLUMNS="200")
    program = subprocess.Popen([sys.executable, "-m", "korvanta", "--gateway", f"127.0.0.1:{streaming_sim.port}",
                                *options, "--watch", "kline", symbols, "1m", "5"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        lines = lines_from(program.stdout, lambda got: len(got) >= shown + 2)
        pinned_clock.shift(60)
        lines += lines_from(program.stdout, lambda got: next_minute in got[-1])
        program.send_signal(signal.SIGINT)
        status = program.wait(20)
        errors = program.stderr.read()
    finally:
        program.kill()
    assert len(lines) > shown + 2 and next_minute in lines[-1], errors
    assert status == 130 and "Traceback" not in errors and errors.rstrip().endswith("WARNING Interrupted")
    first, updates = lines[:shown], lines[shown:]
    minute = dt.datetime(2026, 12, 8, 11, 0, tzinfo=NY)
    whole = whole_bar(minute)
    if options == ["--format", "csv"]:
        assert first[0] == "date,open,high,low,close,volume,average,barCount"
        dates = [line.split(",")[0] for line in lines[1:]]
        assert dates[4] == dates[5] == minute.isoformat() and all(date >= dates[4] for date in dates[5:])
        # the finished bar's last word is the bar whole, as any later request has it
        assert [float(x) for x in updates[-2].split(",")[1:5]] == [whole.open, whole.high, whole.low, whole.close]
    elif options:
        records = [json.loads(line) for line in lines]
        assert {r["symbol"] for r in records[:shown]} == {"AAPL", "/ES"}
        assert all(r["date"].endswith("+00:00") for r in records)
    else:
        assert first[0] == "AAPL 1m (5 bars)" and first[-1].startswith("Bars from the IBKR gateway: ")
        assert all(line.startswith("AAPL 2026-12-08 11:0") and "  close " in line for line in updates)
        assert updates[-1].endswith("(forming)")
        assert updates[-2].startswith(f"AAPL 2026-12-08 11:00  open {whole.open:.10g}  high {whole.high:.10g}")


# ---- the live view


@at("regular-session")
@pytest.mark.parametrize("columns, lines, symbols, charted", [
    (80, 30, 1, True), (80, 30, 2, False), (150, 40, 1, True), (80, 24, 3, False),
], ids=["80x30", "80x30-two-symbols", "150x40", "80x24-three-symbols"])
def test_the_live_view_fits_the_terminal(monkeypatch, pinned_clock, columns, lines, symbols, charted):
    from korvanta.runner.chart_inputs import ChartInputs
    from korvanta.runner.live_bars import LiveBars
    from korvanta.runner.live_view import FORMING, LiveView, Watched
    from rich.console import Console

    pinned_clock.move_to(OPEN)
    monkeypatch.setenv("COLUMNS", str(columns))
    monkeypatch.setenv("LINES", str(lines))
    minute = OPEN.replace(second=0, tzinfo=None)
    bars = [{"date": minute - dt.timedelta(minutes=59 - i), "open": 300.0 + i, "high": 301.25 + i, "low": 299.5 + i,
             "close": 300.5 + i, "volume": 12345.0, "average": 300.4167 + i, "barCount": 82} for i in range(60)]
    result = {"symbol": "AAPL", "period": "1m", "count": 60, "adjust": "none", "bars": bars, "source": "ibkr"}
    view = LiveView([Watched(LiveBars(result, keep=60), chart=ChartInputs()) for _ in range(symbols)],
                    settings.ResultSettings(chart="terminal"))
    console = Console(width=columns, file=io.StringIO(), record=True, color_system=None)
    console.print(view.render())
    drawn = [line.rstrip() for line in console.export_text().rstrip("\n").split("\n")]
    assert len(drawn) <= lines - 1 and max(map(len, drawn)) <= columns
    rows = [line for line in drawn if line.startswith("2026-12-08 ")]
    assert rows[-1].startswith("2026-12-08 11:00 ") and rows[-1].endswith(FORMING)
    assert sum(line.endswith(FORMING) for line in rows) == symbols
    assert any("┤" in line for line in drawn) == charted
