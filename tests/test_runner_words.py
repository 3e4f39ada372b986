"""What a command line may hold: the words a command takes, options anywhere, dates, the source
of the bars; and a refused or failed line said in one line."""

import asyncio
import datetime as dt
import io
import os
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import pytest
import pytest_asyncio

from clock import at_every_instant
from korvanta import api
from korvanta.runner import settings
from korvanta.runner.cli import parse_command_line, parser
from korvanta.runner.commands import CommandError, UsageError, execute_line, load_command_modules
from korvanta.runner.state import HostState, connect
from korvanta.sim import Fault, GatewaySim
from test_kline_yfinance import yf  # noqa: F401  (yfinance faked in this process, a fixture)

FAKES = Path(__file__).parent / "fakes"
# Collected at the suite's pinned instant, as the tests that do not name theirs run at it.
TODAY = dt.date.today()
LATEST = "(kline SYMBOL [PERIOD] [COUNT] [adj])"
RANGE = "(kline SYMBOL START [END] [PERIOD] [adj])"
NOT_A_WORD = "is not a period, count or date"


@pytest.fixture(scope="module", autouse=True)
def shipped():
    load_command_modules()
    pytest.importorskip("korvanta.cmds.quotes.kline", exc_type=ImportError)
    pytest.importorskip("korvanta.cmds.portfolio.executions", exc_type=ImportError)


def refused(words, yf) -> str:
    """The usage error a line gets, once sure it fetched nothing and needed no gateway to say so."""
    with pytest.raises(UsageError) as raised:
        asyncio.run(execute_line(words, HostState(None)))
    assert yf.calls == []
    assert isinstance(raised.value, ValueError) and raised.value.status == 2
    return str(raised.value)


@pytest.mark.parametrize("words, message", [
    (["kline", "AAPL", "2h", "5"], f"kline: '2h' {NOT_A_WORD} (did you mean '1h'?)"),
    (["kline", "AAPL", "dya", "10"], f"kline: 'dya' {NOT_A_WORD} (did you mean 'day'?)"),
    (["kline", "AAPL", "DAY"], f"kline: 'DAY' {NOT_A_WORD} (did you mean 'day'?)"),
    (["kline", "AAPL", "12/01/2026", "day"], f"kline: '12/01/2026' {NOT_A_WORD} (did you mean '2026-12-01'?)"),
    (["kline", "AAPL", "5m", "10", "adjusted"], "kline: 'adjusted' is not an adj word (did you mean 'adj'?)"),
    (["kline", "AAPL", "day", "5", "foo", "bar"], "kline: 'foo' is not an adj word (adj or forward)"),
    (["kline", "AAPL", "day", "5", "adj", "x"], f"kline: 'x' after 'adj': nothing more is taken {LATEST}"),
    (["kline", "AAPL", "5", "day"], f"kline: 'day' is out of place {LATEST}"),
    (["kline", "AAPL", "day", "0"], "kline: count '0' out of range (1 to 1,000,000 bars)"),
    (["kline", "AAPL", "day", "-5"], "kline: count '-5' out of range (1 to 1,000,000 bars)"),
    (["kline", "AAPL", "1000001"], "kline: count '1000001' out of range (1 to 1,000,000 bars)"),
    (["kline", "AAPL", "day", "1" + "0" * 30], f"kline: count '1{'0' * 30}' out of range (1 to 1,000,000 bars)"),
    (["kline", "AAPL", "Intraday"], f"kline: 'Intraday' {NOT_A_WORD} (did you mean 'intraday'?)"),
    (["kline", "AAPL", "intraday", "5"], "kline: '5': the intraday curve takes no further words "
                                         "(kline SYMBOL intraday)"),
    (["kline", "AAPL", "2026-01-02", "day", "5"], f"kline: '5': a date range takes no count {RANGE}"),
    (["kline", "AAPL", "day", "2026-01-02"], f"kline: '2026-01-02' is out of place {LATEST}"),
    (["kline", "AAPL", "2026-13-01", "2026-12-01", "day"], "kline: '2026-13-01' is not a date: there is no month 13"),
    (["kline", "AAPL", "2026-02-30"], "kline: '2026-02-30' is not a date: February 2026 has 28 days"),
    (["kline", "AAPL", "2024-01-01", "2024-02-30"], "kline: '2024-02-30' is not a date: February 2024 has 29 days"),
    (["kline", "AAPL", "2026-01-00"], "kline: '2026-01-00' is not a date: January 2026 has 31 days"),
    (["kline", "AAPL", "2026-12-01\n"], "kline: '2026-12-01\\n' is not a date: dates are YYYY-MM-DD"),
    (["kline"], f"kline: no symbol given {LATEST[:-1]}; kline -h for more)"),
    (["kline", "A\x07B"], "kline: the symbol 'A\\x07B' holds a control character"),
    (["kline", "AB\udcff"], "kline: the symbol 'AB\\udcff' holds bytes that are not UTF-8 text"),
    (["kline", "A" * 1_000_000], f"kline: the symbol '{'A' * 79}…' is 1,000,000 characters long; a symbol has "
                                 "at most 32"),
    (["kline", "AAPL", "x" * 1_000_000], f"kline: '{'x' * 79}…' {NOT_A_WORD} (kline -h lists them)"),
    (["executions", "aapl", ":foo"], "executions: unknown keyword ':foo' (help executions lists them)"),
    (["executions", ":mien"], "executions: unknown keyword ':mien' (did you mean ':mine'?)"),
    (["pnl", "aapl", ":mine"], "pnl: unknown keyword ':mine' (help pnl lists them)"),
    (["pnl", ":rr"], "pnl: unknown keyword ':rr' (did you mean ':r'?)"),
    (["pnl", "A\x07B"], "pnl: the symbol 'A\\x07B' holds a control character"),
    (["kline", "AAPL,,MSFT", "day"], "kline: the list 'AAPL,,MSFT' has an empty place"),
    (["kline", "AAPL,", "MSFT"], "kline: the list 'AAPL,' has an empty place (a list takes no blanks: AAPL,MSFT)"),
    (["kline", "AAPL,A\x07B", "day"], "kline: the symbol 'A\\x07B' holds a control character"),
    (["kline", "AAPL,MSFT", "dya"], f"kline: 'dya' {NOT_A_WORD} (did you mean 'day'?)"),
    (["executions", "aapl,,msft"], "executions: the list 'aapl,,msft' has an empty place"),
    (["klien", "AAPL"], "Unknown command 'klien' (commands: "),
], ids=lambda v: None if isinstance(v, str) else " ".join(v)[:40])
def test_words_a_command_does_not_take(yf, words, message):
    said = refused(words, yf)
    # a message that ends in ": " begins one that goes on to list what there is
    assert said == message or (message.endswith(": ") and said.startswith(message))


@pytest.mark.parametrize("words, message", [
    (["9999-01-01", "9999-12-31"], "'9999-01-01': no source holds bars of the year 9999 (dates from 1900 to {year})"),
    (["1899-12-31"], "'1899-12-31': no source holds bars of the year 1899 (dates from 1900 to {year})"),
    (["{yesterday}", "{week_ago}"], "the range starts after it ends ({yesterday} > {week_ago})"),
    (["today", "yesterday"], "the range starts after it ends ({today} > {yesterday})"),
    (["{tomorrow}"], "the range starts after today ({tomorrow} > {today}): no bars yet"),
], ids=["year-9999", "year-1899", "start-after-end", "today-after-yesterday", "start-after-today"])
@at_every_instant
def test_dates_no_source_can_answer(pinned_clock, yf, words, message):
    today = dt.date.today()
    days = dict(today=today, yesterday=today - dt.timedelta(days=1), week_ago=today - dt.timedelta(days=7),
                tomorrow=today + dt.timedelta(days=1), year=today.year)
    if days["tomorrow"].year != today.year and "{tomorrow}" in words:
        message = "'{tomorrow}': no source holds bars of the year {next_year} (dates from 1900 to {year})"
    words = [word.format(**days) for word in words]
    assert refused(["kline", "AAPL", *words], yf) == "kline: " + message.format(**days, next_year=today.year + 1)


@pytest.mark.parametrize("words", [
    "kline AAPL", "kline AAPL d", "kline AAPL 100", "kline AAPL adj", "kline AAPL 1mo 1000000 forward",
    "kline AAPL intraday", "kline /ES 1h 50", "kline AAPL today", "kline AAPL yesterday today week adj",
    f"kline AAPL {TODAY - dt.timedelta(days=1)} {TODAY - dt.timedelta(days=1)}",
    f"kline AAPL 2025-01-01 {TODAY.year}-12-31 day", "executions aapl :R :Mine", "executions",
    "kline AAPL,msft,/ES day 5", "executions aapl,msft :r", "pnl", "pnl aapl,msft es :R",
])
def test_words_the_command_takes_pass(words):
    from korvanta.runner.commands import check

    check(words.split())


def test_the_api_refuses_before_connecting(yf):
    # no gateway is listening there: connecting would say so first
    with pytest.raises(api.UsageError, match=r"^kline: '2h' is not a period") as raised:
        api.kline("AAPL", "2h", 5, gateway="127.0.0.1:9")
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, api.CommandError)
    with pytest.raises(ValueError, match="^source: 'both' is not a source"):
        api.kline("AAPL", source="both")
    assert yf.calls == []


# ---- options anywhere

@pytest.mark.parametrize("argv, words, chosen", [
    ("kline AAPL day 3 --out {d}/a.csv", "kline AAPL day 3", {"out": "{d}/a.csv"}),
    ("--out {d}/a.csv kline AAPL day 3", "kline AAPL day 3", {"out": "{d}/a.csv"}),
    ("kline AAPL --out={d}/a.csv day 3", "kline AAPL day 3", {"out": "{d}/a.csv"}),
    ("kline AAPL day 3 --chart", "kline AAPL day 3", {"chart": "terminal"}),
    ("--chart kline AAPL", "kline AAPL", {"chart": "terminal"}),
    ("kline AAPL --chart {d}/a.png day", "kline AAPL day", {"chart": "{d}/a.png"}),
    ("executions --all", "executions", {"all": True}),
    ("kline AAPL -vv --source yfinance", "kline AAPL", {"verbose": 2, "source": "yfinance"}),
    ("kline -- -X day", "kline -X day", {}),
    ("kline AAPL day -5", "kline AAPL day -5", {}),
    ("kline -h", "kline -h", {}),
], ids=["after", "before", "joined-value", "flag-at-the-end", "flag-first", "value-in-between", "executions-all",
        "cluster", "double-dash", "negative-number", "command-help"])
def test_options_anywhere_on_the_line(tmp_path, argv, words, chosen):
    p = parser()
    options = parse_command_line(p, argv.format(d=tmp_path).split())
    assert options.words == words.split()
    for name, value in chosen.items():
        assert getattr(options, name) == (value.format(d=tmp_path) if isinstance(value, str) else value)


@pytest.mark.parametrize("argv, error", [
    ("kline AAPL --bogus", "unknown option --bogus (a word that starts with - goes after --)"),
    ("kline -X day", "unknown option -X"),
    ("kline AAPL --source both", "argument --source: 'both' is not a source"),
    ("kline AAPL --ou x.csv", "unknown option --ou"),
], ids=["unknown", "dash-symbol", "bad-value", "no-abbreviations"])
def test_option_mistakes_are_usage_errors(capsys, argv, error):
    with pytest.raises(SystemExit) as leaving:
        parse_command_line(parser(), argv.split())
    assert leaving.value.code == 2 and error in capsys.readouterr().err


def test_a_shell_lines_options_hold_for_its_command_alone(tmp_path, monkeypatch, logs, capsys, yf):
    from korvanta.runner.shell import run_shell

    out = tmp_path / "bars.csv"
    script = (f"set rows 7\nkline AAPL day 3 --out {out} --rows 2\nset\n"
              "kline AAPL week 2 --rows x\nkline AAPL day 2 --bogus\n")
    monkeypatch.setattr(sys, "stdin", io.StringIO(script))
    before = settings.current()
    try:
        with asyncio.Runner() as runner:
            assert run_shell(runner, HostState(None)) == 1
        shown = capsys.readouterr().out
    finally:
        settings.use(before)
    assert out.read_text().count("\n") == 4  # the header and 3 bars
    assert "rows       7" in shown and "out        off" in shown
    assert [m for level, m in logs if level == "ERROR"] == [
        "kline: argument --rows: 'x' is not a number of rows (nor all, auto)",
        "kline: unknown option --bogus (a word that starts with - goes after --)"]


@pytest.mark.parametrize("line, merged", [
    ("kline AAPL --ma 3 --rows auto", dict(rows="auto", ma=(3,), vwap=True, chart="terminal", source="gateway")),
    ("kline AAPL --source auto --chart-size 800x600", dict(rows=7, ma=(), vwap=True, source="auto",
                                                           chart_size=(800, 600))),
], ids=["overlay-beside-the-shells", "default-named"])
def test_a_shell_lines_options_over_the_shells_settings(line, merged):
    from korvanta.runner.options import line_options

    before = settings.use(replace(settings.ResultSettings(rows=7, chart="terminal", source="gateway"),
                                  overlays=replace(settings.ResultSettings().overlays, vwap=True)))
    try:
        with line_options(line.split()) as words:
            during = settings.current()
        assert words == ["kline", "AAPL"] and settings.current() == before
    finally:
        settings.use(settings.ResultSettings())
    for name, value in merged.items():
        assert getattr(during.overlays if name in ("ma", "vwap") else during, name) == value


# ---- the source of the bars

@pytest_asyncio.fixture
async def sim():
    async with GatewaySim() as gateway:
        yield gateway


@pytest.mark.asyncio
@pytest.mark.parametrize("source, symbol, fault, outcome", [
    ("auto", "NOSUCH", None, "yfinance"),
    ("auto", "AAPL", Fault.error("historicalData", 162), "yfinance"),
    ("gateway", "AAPL", None, "ibkr"),
    ("gateway", "NOSUCH", None, "kline NOSUCH: from the gateway: no such symbol"),
    ("gateway", "AAPL", Fault.error("historicalData", 162),
     "kline AAPL: from the gateway: gateway error 162: Historical Market Data Service error message:"),
    ("gateway", "AAPL", Fault.error("historicalData", 321), "kline AAPL: from the gateway: gateway error 321:"),
    ("yfinance", "AAPL", None, "yfinance"),
], ids=["auto-unknown", "auto-refused", "gateway", "gateway-unknown", "gateway-refused", "gateway-invalid",
        "yfinance"])
async def test_a_chosen_source_is_the_only_one(sim, yf, logs, source, symbol, fault, outcome):
    if fault:
        sim.inject(fault)
    state = await connect(("127.0.0.1", sim.port), 1)
    try:
        try:
            result = await execute_line(["kline", symbol, "day", "5"], state, source=source)
        except CommandError as e:
            assert str(e).startswith(outcome) and type(e) is CommandError
        else:
            assert result["source"] == outcome
    finally:
        state.close()
    asked_gateway = sim.requests["historicalData"] + sim.requests["contractDetails"]
    assert (asked_gateway == 0) is (source == "yfinance")
    assert bool(yf.calls) is (outcome == "yfinance")
    # a source that was refused its fallback says so once, not "falling back to yfinance"
    assert not [m for level, m in logs if "falling back" in m] or source == "auto"


@pytest.mark.parametrize("source, error", [
    ("gateway", "kline needs a connected gateway: start korvanta with --gateway HOST:PORT"),
    ("yfinance", None),
])
def test_gateway_alone_needs_one(yf, source, error):
    try:
        result = asyncio.run(execute_line(["kline", "AAPL", "day", "5"], HostState(None), source=source))
    except CommandError as e:
        assert str(e).startswith(error) and yf.calls == []
    else:
        assert error is None and result["source"] == "yfinance"


# ---- failures in one line, as the program says them

@pytest.fixture(scope="module")
def gateway_thread():
    from test_gateway_e2e import SimThread

    with SimThread() as sim:
        yield f"127.0.0.1:{sim.port}"


@pytest.mark.parametrize("words, fake, with_gateway, lines", [
    (["kline", "MSFT", "day", "5"], "fail", False,
     ["ERROR   kline MSFT: No data returned (yfinance fetch failed: Could not resolve host: query2.finance.yahoo.com)"]),
    (["kline", "NOSUCH"], "unknown", False, ["ERROR   kline NOSUCH: No data returned (yfinance: no price data found)"]),
    (["kline", "NOSUCH"], "unknown", True,
     ["WARNING [NOSUCH] gateway error 200: No security definition has been found for the request",
      "ERROR   kline NOSUCH: No data returned (the gateway knows no such symbol; yfinance: no price data found)"]),
    (["kline", "NOSUCH", "day", "3"], "fail", True,
     ["WARNING [NOSUCH] gateway error 200: No security definition has been found for the request",
      "ERROR   kline NOSUCH: No data returned (the gateway knows no such symbol; yfinance fetch failed: Could not "
      "resolve host: query2.finance.yahoo.com)"]),
    (["--source", "gateway", "kline", "NOSUCH"], "", True,
     ["WARNING [NOSUCH] gateway error 200: No security definition has been found for the request",
      "ERROR   kline NOSUCH: from the gateway: no such symbol"]),
    (["kline", "AAPL", "2h", "5", "--out", "x.csv"], "", True,
     ["ERROR   kline: '2h' is not a period, count or date (did you mean '1h'?)"]),
], ids=["fetch-failed", "unknown-symbol", "unknown-symbol-with-gateway", "unknown-and-fetch-failed",
        "gateway-alone", "refused-before-connecting"])
def test_a_failure_in_one_line(tmp_path, request, words, fake, with_gateway, lines):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), FAKE_YFINANCE=fake)
    gateway = ["--gateway", request.getfixturevalue("gateway_thread")] if with_gateway else []
    done = subprocess.run([sys.executable, "-m", "korvanta", *gateway, *words], capture_output=True, text=True,
                          env=env, timeout=60, cwd=tmp_path)
    usage = "'2h'" in lines[-1]
    # the connection is said before any command, but a line refused is refused before that
    said = [line.split(" ", 1)[1] for line in done.stderr.splitlines()
            if usage or " Connected to the gateway" not in line]
    assert said == lines and done.stdout == ""
    assert done.returncode == (2 if usage else 1) and not (tmp_path / "x.csv").exists()


@pytest.mark.parametrize("before, fake, levels, printed", [
    ("", "", set(), "AAPL 5"),
    ("", "fail", set(), "kline AAPL: No data returned (yfinance fetch failed: Could not resolve host: "
                        "query2.finance.yahoo.com)"),
    ("from korvanta.runner import logs; logs.configure(1)", "", {"INFO"}, "AAPL 5"),
], ids=["quiet", "failure-in-the-exception", "asked-for-debug"])
def test_the_api_logs_warnings_and_errors_only_unless_asked(tmp_path, before, fake, levels, printed):
    script = (f"from korvanta import api\n{before}\n"
              "try:\n    bars = api.kline('AAPL', 'day', 5, gateway='')\n"
              "except api.CommandError as e:\n    print(e)\nelse:\n    print(bars.attrs['symbol'], len(bars))\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"), FAKE_YFINANCE=fake)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.stdout.strip() == printed
    assert {line.split()[1] for line in done.stderr.splitlines()} == levels, done.stderr
