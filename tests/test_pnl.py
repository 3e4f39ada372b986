"""The pnl journal against the gateway simulator: records that add up to the account's fills, as
`api.pnl` returns them and as the program prints, writes and draws them."""

import datetime as dt
from zoneinfo import ZoneInfo

import pytest

from korvanta import api
from korvanta.journal import RECORD_COLUMNS
from test_gateway_e2e import needs
from test_results_e2e import gateway, korvanta  # noqa: F401  (the simulator and the program, fixtures)

pytestmark = pytest.mark.e2e

NEW_YORK = ZoneInfo("America/New_York")
TITLES = ("Realised P&L by Trading Day and Symbol", "P&L by Trading Day", "P&L by Symbol", "Open Positions")


@pytest.fixture
def address(gateway, data_dir, monkeypatch):
    needs("korvanta.cmds.portfolio.executions")
    monkeypatch.delenv("KORVANTA_GATEWAY", raising=False)
    return f"127.0.0.1:{gateway.port}"


def trading_day(when: dt.datetime) -> dt.date:
    # the day that began at 18:00 New York time the evening before
    local = when.astimezone(NEW_YORK)
    return local.date() + dt.timedelta(days=local.hour >= 18)


@pytest.mark.parametrize("symbols", [(), ("aapl",), ("/ES", "MSFT")],
                         ids=["whole-account", "stock-and-its-options", "future-and-stock"])
def test_records_add_up_to_the_fills(gateway, address, symbols):
    journal = api.pnl(*symbols, gateway=address)
    wanted = {s.upper().removeprefix("/") for s in symbols}
    book = gateway.sim.book
    fills = [f for f in book.fills(gateway.now) if not wanted or f.contract.symbol in wanted]
    keys = list(zip(journal["trading_day"], journal["symbol"]))
    assert list(journal.columns) == list(RECORD_COLUMNS)
    assert len(keys) == len(set(keys)) and keys == sorted(keys)
    net = sum(f.realizedPNL or 0 for f in fills) - sum(f.commission for f in fills)
    assert journal["net"].sum() == pytest.approx(net, abs=0.005)
    assert journal["cum_net"].iloc[-1] == pytest.approx(net, abs=0.005)
    assert (journal["realized"] - journal["commission"]).round(2).tolist() == journal["net"].tolist()
    assert journal["fills"].sum() == len(fills)
    assert set(journal["trading_day"]) == {trading_day(f.time) for f in fills}
    assert journal["bought"].sum() == sum(f.shares for f in fills if f.side == "BOT")
    assert journal["sold"].sum() == sum(f.shares for f in fills if f.side == "SLD")
    held = [h for h in book.positions(gateway.now) if not wanted or h.contract.symbol in wanted]
    assert sorted((p["secType"], p["position"]) for p in journal.attrs["positions"]) == sorted(
        (h.contract.secType, h.quantity) for h in held)


def test_printed_written_and_drawn(gateway, korvanta, tmp_path):
    needs("korvanta.cmds.portfolio.executions")
    shown = korvanta("pnl", "aapl").stdout
    assert [line for line in shown.splitlines() if line.startswith(TITLES)] == [
        f"{title} Filtered for: AAPL" for title in TITLES]
    assert max(map(len, shown.splitlines())) <= 80
    # TSLA is traded flat within the hour: no open position, and nothing but records on stdout
    records = korvanta("--format", "csv", "pnl", "tsla").stdout.splitlines()
    assert records[0] == ",".join(RECORD_COLUMNS) and all(line.count(",") == 9 for line in records[1:])
    korvanta("--chart", "pnl.png", "--chart-size", "900x500", "pnl", "msft")
    from matplotlib.image import imread
    assert imread(tmp_path / "pnl.png").shape[:2] == (500, 900)
