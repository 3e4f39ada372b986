"""End to end: the runner and the native commands, through the real ib_async client, against the gateway simulator.

The simulator runs on a loop in a background thread of the test process, so a test can count
the requests that reach it and throw its fault switches; each command runs as the program
(`python -m korvanta --gateway ...`) in a child process with a fresh bar cache and a fake yfinance.
"""

import asyncio
import datetime as dt
import itertools
import os
import pty
import select
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from zoneinfo import ZoneInfo

import pytest

from korvanta.gateway.limits import PacingRules, Rule, first_calendar_day
from korvanta.sim import Fault, GatewaySim
from korvanta.sim.book import trading_days_back
from korvanta.sim.server import GATEWAY_PACING

FAKES = Path(__file__).parent / "fakes"  # holds the fake yfinance package
pytestmark = pytest.mark.e2e

def needs(module: str) -> None:
    try:
        __import__(module)
    except ModuleNotFoundError as e:
        if e.name != module:
            raise
        pytest.skip(f"{module} is not built")


class SimThread:
    """A GatewaySim on its own event loop in a daemon thread, with a clock frozen at start."""

    def __init__(self, pacing: PacingRules = GATEWAY_PACING):
        self.now = dt.datetime.now(dt.UTC).replace(second=0, microsecond=0)
        self.sim = GatewaySim(clock=lambda: self.now, pacing=pacing)
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)

    def call(self, fn, *args):
        async def on_loop():
            return fn(*args)
        return asyncio.run_coroutine_threadsafe(on_loop(), self.loop).result(10)

    def __enter__(self):
        self.thread.start()
        self.port = asyncio.run_coroutine_threadsafe(self.sim.start(0), self.loop).result(10)
        return self

    def __exit__(self, *exc):
        asyncio.run_coroutine_threadsafe(self.sim.stop(), self.loop).result(10)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()

    def requests(self, name: str) -> int:
        return self.call(lambda: self.sim.requests[name])

    def expected_bars(self, symbol: str, **request):
        inst = self.sim.book.contracts(self.now.date())[symbol.removeprefix("/")]
        return self.sim.bars.bars(inst, now=self.now, endDateTime="", capped=False, **request)


@pytest.fixture
def gateway(request):
    """The simulator; with the pacing rules the test is parametrised with (indirect), else the gateway's."""
    needs("korvanta.cmds.quotes.kline")
    needs("korvanta.cmds.portfolio.executions")
    with SimThread(*[getattr(request, "param", GATEWAY_PACING)]) as sim:
        yield sim


@pytest.fixture
def korvanta(tmp_path, gateway):
    """Runs the program against the simulator; the same bar-cache directory for every run of a test.
    With -v: the tests read the command's own lines on its way (request sizes, cache hits)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), COLUMNS="200")

    def run(*words, stdin=None, **more_env):
        done = subprocess.run([sys.executable, "-m", "korvanta", "-v", "--gateway", f"127.0.0.1:{gateway.port}", *words],
                              input=stdin, capture_output=True, text=True, env=env | more_env, timeout=120)
        assert done.returncode == 0, done.stderr
        return done

    return run


def shown_days(stdout: str, title: str) -> list[dt.date]:
    """The dates of the rows shown under `title`; a table cut short ends at its "..." row."""
    lines = stdout.splitlines()
    rows = itertools.takewhile(lambda cells: cells and cells[0].isdigit(),
                               (line.split() for line in lines[lines.index(title) + 2:]))
    return [dt.date.fromisoformat(cells[1]) for cells in rows]


class TestKline:
    @pytest.mark.parametrize("fault, warning", [
        (Fault.error("historicalData", 162), "IBKR failed (gateway error 162: "),
        (Fault.error("historicalData", 10197), "IBKR failed (gateway error 10197: "),
        (Fault.drop("historicalData"), "IBKR failed"),
    ], ids=["error-162", "error-10197", "dropped-connection"])
    def test_gateway_failure_falls_back_to_yfinance(self, gateway, korvanta, fault, warning):
        gateway.call(gateway.sim.inject, fault)
        done = korvanta("kline", "AAPL", "day", "5")
        assert done.stdout.startswith("AAPL day (5 bars) [yfinance]\n")
        assert warning in done.stderr and "falling back to yfinance" in done.stderr
        assert gateway.requests("historicalData") == 1


class TestKlineRanges:
    def test_both_sources_give_the_same_days(self, gateway, korvanta, tmp_path):
        start, *_, end = trading_days_back(gateway.now.date() - dt.timedelta(days=10), 6)
        words = ("kline", "AAPL", str(start), str(end), "day")
        from_gateway = korvanta(*words)
        gateway.call(gateway.sim.inject, Fault.error("historicalData", 162))
        from_yfinance = korvanta(*words, KORVANTA_DATA_DIR=str(tmp_path / "other"))
        days = shown_days(from_gateway.stdout, f"AAPL day {start} ~ {end}")
        assert days == shown_days(from_yfinance.stdout, f"AAPL day {start} ~ {end} [yfinance]")
        assert days[0] == start and days[-1] == end


def pacing_words(rules: PacingRules) -> str:
    """The rules as the child's FAKE_PACING gives them (tests/fakes/pacing_pin.py)."""
    return ",".join([*(f"{r.requests}/{r.seconds}" for r in (rules.overall, rules.per_contract, rules.identical)),
                     str(rules.margin)])


# Loose, so that a year of one-minute pages goes quickly; the simulator still enforces them.
LOOSE = PacingRules(Rule(600, 0.5), Rule(50, 0.05), Rule(1, 0.1), margin=0.05)
# A page every half second or so: time to see a page arrive and interrupt the next.
SLOW = PacingRules(Rule(60, 10.0), Rule(1, 0.5), Rule(1, 1.0), margin=0.05)


class TestLongFetches:
    NEW_YORK = ZoneInfo("America/New_York")

    @pytest.mark.parametrize("gateway", [LOOSE], indirect=True)
    @pytest.mark.parametrize("span", ["2 W", "1 Y"])
    def test_minutes_by_date_range_arrive_whole_a_page_per_session(self, gateway, korvanta, tmp_path, span):
        from korvanta.gateway.barhold import Barhold

        end = gateway.now.astimezone(self.NEW_YORK).date() - dt.timedelta(days=1)
        count, unit = span.split()
        start = first_calendar_day(end, int(count), unit)
        done = korvanta("kline", "AAPL", str(start), str(end), "1m", FAKE_PACING=pacing_words(LOOSE))
        assert "falling back" not in done.stderr
        # stderr is a pipe here: log lines only, no progress bar
        assert "more than one answer holds" in done.stderr and "\x1b[" not in done.stderr
        # one answer holds one session of minutes: a page for each session of the range, none for
        # its weekends and holidays
        sessions = [day for day in trading_days_back(end, 400) if day >= start]
        assert gateway.requests("historicalData") == len(sessions)
        inst = gateway.sim.book.contracts(gateway.now.date())["AAPL"]
        expected = gateway.sim.bars.bars(inst, endDateTime=f"{end:%Y%m%d}", durationStr=span, barSizeSetting="1 min",
                                         whatToShow="TRADES", useRTH=False, now=gateway.now, capped=False)
        store = Barhold(str(tmp_path / "data"))
        try:
            stored = store.cache.get(Barhold.range_key("AAPL", "1m", "none", str(start), str(end)))["bars"]
        finally:
            store.cache.close()
        assert [b["date"] for b in stored] == [e.start.astimezone(self.NEW_YORK).replace(tzinfo=None)
                                               for e in expected]
        assert [stored[0]["open"], stored[-1]["close"]] == [expected[0].open, expected[-1].close]

    def test_ctrl_c_between_pages_at_a_terminal(self, gateway, tmp_path):
        """The progress bar shows on a terminal's stderr; Ctrl-C takes it down, says one line,
        exits 130 and stores nothing."""
        from korvanta.gateway.barhold import Barhold

        env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
        env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), FAKE_PACING=pacing_words(SLOW))
        master, terminal = pty.openpty()
        child = subprocess.Popen([sys.executable, "-m", "korvanta", "--gateway", f"127.0.0.1:{gateway.port}",
                                  "kline", "AAPL", "1m", "5000"], stdout=subprocess.DEVNULL, stderr=terminal, env=env)
        os.close(terminal)
        try:
            shown = read_until(master, b"page 2/")
            child.send_signal(signal.SIGINT)
            assert child.wait(20) == 130
            after = read_until(master, None)
        finally:
            child.kill()
            os.close(master)
        assert b" bars" in shown
        assert b"\x1b[?25h" in after and after.rstrip().endswith(b"WARNING Interrupted")
        store = Barhold(str(tmp_path / "data"))
        try:
            assert store.cache.get(Barhold.count_key("AAPL", "1m", "none", 5000)) is None
        finally:
            store.cache.close()


def read_until(fd: int, wanted: bytes | None, seconds: float = 60) -> bytes:
    """What a terminal shows until `wanted` appears (None: until the other side closes)."""
    seen = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and (wanted is None or wanted not in seen):
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the other side is closed
                break
            if not chunk:
                break
            seen += chunk
    assert wanted is None or wanted in seen, seen[-2000:]
    return seen


class TestExecutions:
    TITLES = ("Execution Summary", "Profit by Half Hour for Trading Day ", "Profit by Trading Day",
              "Execution Summary by Complete Order")

    def titles(self, stdout: str) -> list[str]:
        return [line for line in stdout.splitlines() if line.startswith(self.TITLES)]

    # "ES": the future's contracts the simulator's fills are in at the test's instant (ESZ6, or
    # ESH7 after the December expiry, and both around it)
    @pytest.mark.parametrize("words, present, absent", [
        ([":r"], ["ES", "TSLA"], []),
        ([":refresh", ":u", "msft"], ["MSFT"], ["TSLA", "ES"]),
        ([":mine", ":ref"], ["AAPL"], ["ES"]),
    ], ids=["refresh", "refresh-twice-filtered", "own-client-refreshed"])
    def test_keywords(self, gateway, korvanta, words, present, absent):
        futures = sorted({f.contract.localSymbol for f in gateway.sim.book.fills(gateway.now)
                          if f.contract.secType == "FUT"})
        assert futures and all(name.startswith("ES") for name in futures)

        def named(symbols):
            return [name for symbol in symbols for name in (futures if symbol == "ES" else [symbol])]

        done = korvanta("executions", *words)
        summary = done.stdout.split("Profit by Half Hour")[0]
        assert all(s in summary for s in named(present)) and not any(s in summary for s in named(absent))
        # a fresh connection asks for them once, reload or not
        assert gateway.requests("executions") == 1
