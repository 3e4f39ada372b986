"""The command runner: one command line, the shell, the host state, logs, and end to end runs."""

import asyncio
import datetime as dt
import io
import os
import socket
import subprocess
import sys
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from ib_async import ContFuture, Contract, ContractDetails, Future, Stock
from loguru import logger

from korvanta import cmds as cmds_package
from korvanta import sessions
from korvanta.cmds.base import COMMANDS, IOp, command
from korvanta.runner import commands as runner_commands
from korvanta.runner.cli import parser
from korvanta.runner.commands import CommandError, UsageError, execute_line, load_command_modules, run_line, run_status
from korvanta.runner.shell import run_shell
from korvanta.runner.state import HostState
from quodra.dispatch import DArg
from quodra.frame import printFrame

FAKES = Path(__file__).parent / "fakes"  # holds the fake yfinance package

RAN: list = []

OUTCOMES = {
    "ok": {"symbol": "X"},
    "records": [{"a": 1}],
    "error": {"error": "No data returned", "symbol": "X"},
    "none": None,
    "false": False,
    "cached": {"symbol": "X", "period": "day", "count": 1, "bars": [{"date": "2024-01-02", "close": 1.5}], "cached": True},
}


@command(names=["t-fake"])
@dataclass
class IOpFake(IOp):
    """Fake command: the first word picks the outcome."""

    requires_gateway = False
    outcome: str = field(init=False)
    rest: list = field(init=False)

    def argmap(self):
        return [DArg("outcome", convert=str.lower), DArg("*rest")]

    async def run(self):
        RAN.append((self.outcome, self.rest, self.state, self.ib))
        if self.outcome == "raise":
            raise ValueError("month must be in 1..12")
        if self.outcome == "silent":
            raise TimeoutError()
        if self.outcome == "shown":
            printFrame(pd.DataFrame(OUTCOMES["cached"]["bars"]), "X shown")
            return OUTCOMES["cached"]
        return OUTCOMES[self.outcome]


@command(names=["t-gw"])
@dataclass
class IOpNeedsGateway(IOp):
    symbol: str = field(init=False)

    def argmap(self):
        return [DArg("symbol")]

    async def run(self):
        RAN.append(("gw", self.symbol))
        return {}


@pytest.fixture
def logged():
    lines: list[str] = []
    sink = logger.add(lambda m: lines.append(m.rstrip("\n")), format="{level} {message}", level="DEBUG")
    RAN.clear()
    yield lines
    logger.remove(sink)


def errors(lines):
    return [line.removeprefix("ERROR ") for line in lines if line.startswith("ERROR ")]


def needs(module):
    return pytest.importorskip(module, exc_type=ImportError, reason=f"{module} is not built in this tree")


class FakeIB:
    """Answers contract-details requests by symbol, as the gateway answers a continuous future
    with the details of its front contract."""

    def __init__(self, known=()):
        self.known = {c.symbol: c for c in known}
        self.asked: list[Contract] = []

    def isConnected(self):
        return True

    async def reqContractDetailsAsync(self, contract):
        self.asked.append(contract)
        found = self.known.get(contract.symbol)
        return [ContractDetails(contract=found)] if found else []


class TestRunLine:
    @pytest.mark.parametrize("words, status, message", [
        (["t-fake", "ok"], 0, None),
        (["T-FAKE", "records", "x"], 0, None),
        (["t-fake", "error"], 1, "t-fake: No data returned"),
        (["t-fake", "none"], 1, "t-fake: nothing to show"),
        (["t-fake", "false"], 1, "t-fake: nothing matched"),
        (["t-fake", "raise"], 1, "t-fake: ValueError: month must be in 1..12"),
        (["t-fake", "silent"], 1, "t-fake: TimeoutError"),
        (["nosuch", "aapl"], 2, "Unknown command 'nosuch'"),
        (["t-gw", "aapl", "extra"], 2, "t-gw: unexpected extra words: extra"),
    ], ids=["dict", "records", "error-dict", "none", "false", "raises", "empty-text", "unknown", "extra-word"])
    def test_outcome_and_reason(self, logged, words, status, message):
        assert asyncio.run(run_status(words, HostState(FakeIB()))) == status
        assert asyncio.run(run_line(words, HostState(FakeIB()))) is (status == 0)
        reported = errors(logged)
        assert reported == [] if not status else reported[:1] == [message] or reported[0].startswith(message + " ")

    @pytest.mark.parametrize("words, error, text", [
        (["t-fake", "ok"], None, None),
        (["t-fake", "error"], CommandError, "t-fake: No data returned"),
        (["nosuch"], UsageError, "Unknown command 'nosuch' (commands: "),
    ], ids=["result", "failure", "usage"])
    def test_execute_line_returns_the_result_or_raises_the_reason(self, logged, words, error, text):
        if error is None:
            assert asyncio.run(execute_line(words, HostState(None))) == OUTCOMES["ok"]
        else:
            with pytest.raises(error) as raised:
                asyncio.run(execute_line(words, HostState(None)))
            assert str(raised.value).startswith(text)
        assert errors(logged) == []  # the caller reports

    @pytest.mark.parametrize("outcome, title", [("cached", "X day (1 bars) [cached]"), ("shown", "X shown")])
    def test_bars_the_command_did_not_print_are_shown(self, logged, capsys, outcome, title):
        assert asyncio.run(run_line(["t-fake", outcome], HostState(None)))
        shown = capsys.readouterr().out.splitlines()
        assert [line for line in shown if line.startswith("X ")] == [title]
        assert shown[-1] == "Bars from the bar cache: 2024-01-02 to 2024-01-02"

    @pytest.mark.parametrize("address, hint", [
        (None, "start korvanta with --gateway HOST:PORT or set KORVANTA_GATEWAY"),
        (("10.0.0.9", 4002), "the gateway at 10.0.0.9:4002 is not connected"),
    ], ids=["no-gateway", "gateway-down"])
    def test_gateway_command_refused_when_disconnected(self, logged, address, hint):
        assert not asyncio.run(run_line(["t-gw", "aapl"], HostState(None, address=address)))
        assert RAN == [] and errors(logged) == [f"t-gw needs a connected gateway: {hint}"]


def test_shell_reports_a_failure_and_goes_on_until_quit(logged, monkeypatch, capsys):
    script = "t-fake ok\n\nt-fake raise\nt-fake 'a b\nhelp t-fake\nt-fake records one two\nquit\nt-fake ok\n"
    monkeypatch.setattr(sys, "stdin", io.StringIO(script))
    state = HostState(None)
    with asyncio.Runner() as runner:
        # a script with a failed line fails
        assert run_shell(runner, state) == 1
    assert RAN == [("ok", [], state, None), ("raise", [], state, None), ("records", ["one", "two"], state, None)]
    assert errors(logged)[0] == "t-fake: ValueError: month must be in 1..12"
    assert errors(logged)[1].startswith("Cannot split the line into words")
    assert capsys.readouterr().out == "t-fake\n  Fake command: the first word picks the outcome.\n\n"


class TestResolveSymbol:
    AAPL = Contract(secType="STK", symbol="AAPL", exchange="SMART", currency="USD", conId=265598)
    ES = Contract(secType="FUT", symbol="ES", exchange="CME", lastTradeDateOrContractMonth="20261218", conId=1)

    @pytest.mark.parametrize("typed, asked, found, kind", [
        ("AAPL", Stock("AAPL", "SMART", "USD"), "AAPL", Stock),
        ("/ES", ContFuture("ES"), "/ES", Future),
        ("NOSUCH", Stock("NOSUCH", "SMART", "USD"), "", type(None)),
    ], ids=["stock", "futures-root", "unknown"])
    def test_resolution(self, typed, asked, found, kind):
        ib = FakeIB([self.AAPL, self.ES])
        state = HostState(ib)
        symbol, contract = asyncio.run(state.positionalQuoteRepopulate(typed))
        assert ib.asked == [asked] and symbol == found and type(contract) is kind
        if contract is not None:
            assert contract.conId and contract.symbol == typed.lstrip("/")
            # A session asks the gateway once per symbol.
            assert asyncio.run(state.positionalQuoteRepopulate(typed))[1] is contract and len(ib.asked) == 1


@pytest.mark.parametrize("text, address", [
    ("127.0.0.1:4002", ("127.0.0.1", 4002)), ("[::1]:4001", ("::1", 4001)), ("", None),
    ("4002", SystemExit), ("gw:0", SystemExit), ("gw:http", SystemExit),
], ids=["ip", "ipv6", "empty", "no-host", "port-0", "port-word"])
def test_gateway_option(text, address, monkeypatch):
    monkeypatch.setenv("KORVANTA_GATEWAY", text)
    if address is SystemExit:
        with pytest.raises(SystemExit):
            parser().parse_args([])
    else:
        options = parser().parse_args(["kline", "-v"])
        assert options.gateway == address and options.words == ["kline", "-v"]


def test_command_modules_found_broken_and_missing(tmp_path, monkeypatch, logged):
    category = tmp_path / "zz_runner_category"
    category.mkdir()
    (category / "__init__.py").write_text("")
    (category / "found.py").write_text(textwrap.dedent("""
        from dataclasses import dataclass
        from korvanta.cmds.base import IOp, command
        @command(names=["t-found"])
        @dataclass
        class IOpFound(IOp):
            pass
    """))
    (category / "broken.py").write_text("import no_such_dependency_here\n")
    monkeypatch.setattr(cmds_package, "__path__", [*cmds_package.__path__, str(tmp_path)])
    monkeypatch.setattr(runner_commands, "SHIPPED", ("korvanta.cmds.quotes.not_built",))
    try:
        loaded = load_command_modules()
        assert "korvanta.cmds.zz_runner_category.found" in loaded and "t-found" in COMMANDS
    finally:
        COMMANDS.pop("t-found", None)
        for name in [n for n in sys.modules if n.startswith("korvanta.cmds.zz_runner_category")]:
            del sys.modules[name]
    assert "DEBUG Command module korvanta.cmds.quotes.not_built is not built; its commands are unavailable" in logged
    assert ("WARNING Command module korvanta.cmds.zz_runner_category.broken cannot be loaded: "
            "No module named 'no_such_dependency_here'") in logged


BARS = pd.DataFrame({
    "date": pd.date_range("2024-01-02", periods=100, freq="B"), "open": np.linspace(100, 200, 100),
    "high": 201.25, "low": 99.5, "close": 150.123456, "volume": 12345678, "average": 150.123456, "barCount": 1,
}).convert_dtypes()


@pytest.mark.parametrize("columns", [80, 200], ids=["80-columns", "wide"])
def test_print_frame_fits_the_terminal(columns, monkeypatch, capsys):
    monkeypatch.setenv("COLUMNS", str(columns))
    printFrame(BARS, "AAPL day (100 bars)")
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "AAPL day (100 bars)" and max(map(len, lines)) <= columns
    headers = [line for line in lines if "date" in line.split() or "barCount" in line.split()]
    # Wide: one block holding every column; narrow: the columns wrapped into blocks.
    assert len(headers) == (1 if columns == 200 else 2)
    # Not a terminal (captured): every row, in each block.
    rows = [line for line in lines if line.split()[:1] == ["99"]]
    assert len(rows) == len(headers) and not lines[-1].startswith("[")


# A 100,000-character word as a log line shows it: cut to a readable length.
CUT = "WARNING symbol " + "A" * 100 + "…[100000 characters] cut"


YF_ERROR = "ERROR   yfinance: AAPL: possibly delisted"
YF_RETRY = "WARNING yfinance: Cookie/crumb fetch failed, continuing without crumb"


@pytest.mark.parametrize("verbosity, shown", [
    (-1, ["ERROR   bad frame", CUT, YF_ERROR]),
    (0, ["ERROR   bad frame", CUT,
         "INFO    shown at the default level", YF_ERROR]),
    (1, ["ERROR   bad frame", CUT,
         "INFO    shown at the default level", "DEBUG   the toolkit's debug line", YF_ERROR, YF_RETRY]),
    (2, ["ERROR   bad frame", CUT,
         "INFO    shown at the default level", "DEBUG   the toolkit's debug line", YF_ERROR, YF_RETRY,
         "ERROR   ib_async.wrapper: Error 200: no security definition", "INFO    ib_async.wrapper: Warning 2104: farm connection is OK"]),
], ids=["-q", "default", "-v", "-vv"])
def test_log_lines_one_per_event_with_level(verbosity, shown):
    script = textwrap.dedent(f"""
        import logging
        from loguru import logger
        from korvanta.runner import logs
        logs.configure({verbosity})
        logger.error("bad\\nframe")
        logger.warning("symbol {{}} cut", "A" * 100_000)
        logger.info("shown at the default level")
        logger.debug("the toolkit's debug line")
        # yfinance's errors say why a fetch failed; its retries are noise before that
        logging.getLogger("yfinance").error("AAPL: possibly delisted")
        logging.getLogger("yfinance").warning("Cookie/crumb fetch failed, continuing without crumb")
        # the client library's lines carry every fill and the account number: only with -vv
        logging.getLogger("ib_async.wrapper").error("Error 200: no security definition")
        logging.getLogger("ib_async.wrapper").info("Warning 2104: farm connection is OK")
    """)
    # the fakes on its path pin the child's clock, which stamps each line
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                          env={**os.environ, "PYTHONPATH": str(FAKES)})
    lines = [line.split(" ", 1)[1] for line in done.stderr.splitlines()]
    assert lines == shown


# End to end: the installed program in a child process, with yfinance replaced by a fake.

@pytest.fixture
def program(tmp_path):
    """Runs the program (`python -m korvanta WORDS`) with the fake yfinance and no gateway."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), COLUMNS="120")

    def run(*words, stdin=None, argv0=(sys.executable, "-m", "korvanta"), **extra_env):
        return subprocess.run([*argv0, *words], input=stdin, capture_output=True, text=True,
                              env={**env, **extra_env}, timeout=120)

    return run


def test_kline_prints_its_table_and_exits_0(program):
    needs("korvanta.cmds.quotes.kline")
    script = Path(sys.executable).with_name("korvanta")
    done = program("kline", "AAPL", "day", "5", argv0=(str(script),))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "AAPL day (5 bars) [yfinance]"
    rows = [line.split() for line in lines[2:-1]]
    # the last five rows of the fetched frame, whose opens count up from 100.5
    last = int(rows[-1][0])
    assert [int(row[0]) for row in rows] == list(range(last - 4, last + 1)) and float(rows[-1][2]) == 100.5 + last
    # the fake's daily bars end with the latest session that has opened in New York
    latest = sessions.sessions_before(sessions.US_STOCKS, dt.datetime.now(dt.UTC), 1, extended=False)[0].day
    assert rows[-1][1] == str(latest) and lines[-1] == f"Bars from yfinance: {rows[0][1]} to {latest}"
    # the command's own lines on its way (no gateway, which request) come with -v
    assert done.stderr == ""


def test_shell_runs_two_commands_and_quits(program):
    needs("korvanta.cmds.quotes.kline")
    done = program(stdin="kline AAPL day 5\nhelp kline\nkline msft week 3\nkline AAPL day 5\nquit\nkline IBM\n")
    assert done.returncode == 0, done.stderr
    titles = [line for line in done.stdout.splitlines() if line.endswith(("[yfinance]", "[cached]"))]
    assert titles == ["AAPL day (5 bars) [yfinance]", "MSFT week (3 bars) [yfinance]", "AAPL day (5 bars) [cached]"]
    assert "kline AAPL 2025-01-01 2025-06-01 day" in done.stdout and "IBM" not in done.stderr


def test_unreachable_gateway_said_once(program):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    done = program("executions", KORVANTA_GATEWAY=f"127.0.0.1:{port}")
    assert done.returncode == 1
    assert [line.split(" ", 2)[1] for line in done.stderr.splitlines()] == ["WARNING", "ERROR"]
    assert f"No gateway at 127.0.0.1:{port}" in done.stderr
    # a line that cannot run is refused before anything connects
    done = program("nosuch", KORVANTA_GATEWAY=f"127.0.0.1:{port}")
    assert done.returncode == 2 and [line.split(" ", 2)[1] for line in done.stderr.splitlines()] == ["ERROR"]


@pytest.fixture
def gateway():
    """The gateway simulator on a thread of this process; its address."""
    from test_gateway_e2e import SimThread

    with SimThread() as sim:
        yield f"127.0.0.1:{sim.port}"


def test_commands_through_the_gateway(program, gateway):
    needs("korvanta.cmds.quotes.kline")
    needs("korvanta.cmds.portfolio.executions")
    done = program("--gateway", gateway, "executions", "aapl", ":r")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Execution Summary Filtered for: AAPL\n")
    done = program(stdin="kline /ES 1h 3\nexecutions :mine\nquit\n", KORVANTA_GATEWAY=gateway)
    assert done.returncode == 0, done.stderr
    titles = [line for line in done.stdout.splitlines() if line.startswith(("/ES", "Execution Summary"))]
    assert titles == ["/ES 1h (3 bars)", "Execution Summary", "Execution Summary by Complete Order"]
    assert done.stderr.count(f"Connected to the gateway at {gateway} as client 1") == 1
