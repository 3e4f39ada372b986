"""Several symbols in one line (`kline AAPL,MSFT,TSLA day 5`) against the simulator: side by side
over one connection, each shown whole in the order typed, one file or stream of records; and the
lean connection, which asks the gateway only for what a command reads."""

import json
from dataclasses import replace

import pytest
import pytest_asyncio

from korvanta.runner import settings
from korvanta.runner.commands import load_command_modules, run_status
from korvanta.runner.state import connect
from korvanta.sim import Fault, GatewaySim
from test_kline_yfinance import yf  # noqa: F401  (yfinance faked in this process, a fixture)

pytestmark = [pytest.mark.e2e, pytest.mark.asyncio]

# What ib_async's connect asks for unless told otherwise; a command asks for what it reads.
START_UP = ("positions", "accountUpdates", "accountUpdatesMulti", "executions", "openOrders", "completedOrders")


@pytest.fixture(scope="module", autouse=True)
def shipped():
    load_command_modules()
    pytest.importorskip("korvanta.cmds.quotes.kline", exc_type=ImportError)
    pytest.importorskip("korvanta.cmds.portfolio.executions", exc_type=ImportError)


@pytest_asyncio.fixture
async def sim():
    async with GatewaySim() as gateway:
        yield gateway


@pytest.fixture
def result_settings():
    """`use(**changes)`: settings in force for the test, as options or `set` put them."""
    before = settings.current()
    yield lambda **changes: settings.use(replace(settings.ResultSettings(), **changes))
    settings.use(before)


async def run(sim, words: str) -> int:
    state = await connect(("127.0.0.1", sim.port), None)
    try:
        return await run_status(words.split(), state)
    finally:
        state.close()


@pytest.mark.parametrize("symbols, slow, failed", [
    ("AAPL,MSFT,TSLA", "AAPL", None),
    ("aapl,NOSUCH,TSLA,AAPL", "TSLA", "NOSUCH"),
], ids=["first-answered-last", "one-unknown"])
async def test_each_symbol_whole_in_the_order_typed(sim, yf, capsys, logs, symbols, slow, failed):
    yf.answer = ConnectionError("network down")
    # the first symbol's bars come last: it is still shown first
    sim.inject(Fault.delay("historicalData", 0.3, symbol=slow))
    status = await run(sim, f"kline {symbols} day 5")
    lines = capsys.readouterr().out.splitlines()
    # each symbol once, in any case
    shown = [s for s in dict.fromkeys(symbols.upper().split(",")) if s != failed]
    assert [line.split()[0] for line in lines if line.endswith("(5 bars)")] == shown
    for symbol in shown:
        # title, header, five rows and the line under them, nothing of another symbol's between
        at = lines.index(f"{symbol} day (5 bars)")
        assert [row.split()[0] for row in lines[at + 2:at + 7]] == ["0", "1", "2", "3", "4"]
        assert lines[at + 7].startswith("Bars from the IBKR gateway: ")
    assert sim.requests["startApi"] == 1 and sim.requests["historicalData"] == len(shown)
    assert all(sim.requests[name] == 0 for name in START_UP)
    # (the command's own error lines are held back and summed up in its one line)
    errors = [message for level, message in logs if level == "ERROR" and message.startswith("kline")]
    assert status == (1 if failed else 0)
    assert errors == ([] if not failed else [
        "kline NOSUCH: No data returned (the gateway knows no such symbol; yfinance fetch failed: network down)",
        "kline: 1 of 3 symbols failed"])


@pytest.mark.parametrize("changes, shown", [
    (dict(format="csv"), False),
    (dict(format="json"), False),
    (dict(out="bars.csv", rth=True), True),
    (dict(out="bars.parquet", chart="chart.png"), True),
], ids=["csv", "json", "out", "parquet-and-charts"])
async def test_one_stream_or_file_with_a_symbol_column(sim, yf, capsys, tmp_path, monkeypatch, result_settings,
                                                      changes, shown):
    import pandas as pd

    monkeypatch.chdir(tmp_path)
    result_settings(**changes)
    assert await run(sim, "kline AAPL,/ES,MSFT day 3") == 0
    out = capsys.readouterr().out
    if changes.get("format") == "csv":
        records = pd.read_csv(pd.io.common.StringIO(out))
    elif changes.get("format") == "json":
        records = pd.DataFrame(json.loads(out))
    else:
        records = pd.read_csv("bars.csv") if changes["out"].endswith(".csv") else pd.read_parquet("bars.parquet")
    assert records.columns[:2].tolist() == ["symbol", "date"]
    assert records["symbol"].tolist() == ["AAPL"] * 3 + ["/ES"] * 3 + ["MSFT"] * 3
    assert ("AAPL day (3 bars)" in out) is shown and ("Bars from" in out) is shown
    if "chart" in changes:
        assert sorted(p.name for p in tmp_path.glob("chart-*.png")) == ["chart-AAPL.png", "chart-ES.png",
                                                                       "chart-MSFT.png"]


async def test_two_symbols_drawn_into_one_picture_are_refused(sim, result_settings, logs):
    result_settings(chart="chart.png")
    assert await run(sim, "kline ES,/ES day 3") == 2
    assert [m for level, m in logs if level == "ERROR"] == ["kline: ES and /ES would both be drawn into chart-ES.png"]
    assert sim.requests["historicalData"] == 0


@pytest.mark.parametrize("lines, asked", [
    (["kline AAPL day 5"], {}),
    (["executions aapl,msft"], {"executions": 1}),
    (["pnl"], {"executions": 1, "positions": 1}),
    (["executions :r"], {"executions": 1}),
    (["kline AAPL day 5", "executions", "pnl msft", "executions aapl"], {"executions": 1, "positions": 1}),
], ids=["kline", "executions", "pnl", "executions-reload", "one-connection-serves-all"])
async def test_each_command_asks_only_for_what_it_reads(sim, yf, lines, asked):
    state = await connect(("127.0.0.1", sim.port), None)
    try:
        for line in lines:
            assert await run_status(line.split(), state) == 0
    finally:
        state.close()
    assert {name: sim.requests[name] for name in START_UP if sim.requests[name]} == asked
    assert sim.requests["startApi"] == 1
