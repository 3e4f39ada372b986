"""The Python API through the real ib_async client and the gateway simulator, from each kind of caller context."""

import asyncio
import datetime as dt
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from korvanta import api
from korvanta.sim.book import trading_days_back
from test_gateway_e2e import FAKES, gateway  # noqa: F401  (the simulator, a fixture)
from test_kline_yfinance import yf  # noqa: F401  (yfinance faked in this process, a fixture)

pytestmark = pytest.mark.e2e

DAY = dict(durationStr="1 Y", barSizeSetting="1 day", whatToShow="TRADES", useRTH=True)


@pytest.fixture
def address(gateway, data_dir, monkeypatch):
    monkeypatch.delenv("KORVANTA_GATEWAY", raising=False)
    return f"127.0.0.1:{gateway.port}"


def expected_closes(gateway, count):
    return [bar.close for bar in gateway.expected_bars("AAPL", **DAY)[-count:]]


def from_plain_thread(call):
    return call()


def from_set_loop(call):
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    try:
        return call()
    finally:
        asyncio.set_event_loop(None)
        loop.close()


def from_running_loop(call):
    # as a notebook cell runs: a blocking call from inside a running loop's thread
    async def cell():
        return call()

    return asyncio.run(cell())


@pytest.mark.parametrize("context", [from_plain_thread, from_set_loop, from_running_loop],
                         ids=["script", "set-loop", "notebook"])
def test_kline_from_each_context(gateway, address, context):
    bars = context(lambda: api.kline("AAPL", "day", 100, gateway=address))
    # daily bars by their dates
    assert bars.index.map(type).unique().tolist() == [dt.date] and bars.index.is_monotonic_increasing
    assert bars["close"].tolist() == expected_closes(gateway, 100)
    assert bars.attrs["symbol"] == "AAPL" and bars.attrs["source"] == "ibkr" and bars.attrs["origin"] == "gateway"
    assert bars.attrs["covers"] == tuple(f"{t:%Y-%m-%d}" for t in bars.index[[0, -1]])


@pytest.mark.parametrize("span", ["count", "range"])
def test_adjusted_bars_for_a_count_or_a_range(gateway, address, span):
    # ex-dividend days come every quarter: one lies between a range that ends 100 days ago and today
    start, *_, end = trading_days_back(gateway.now.date() - dt.timedelta(days=100), 20)
    asked = {"count": 20} if span == "count" else {"start": start, "end": end}
    bars = api.kline("AAPL", "day", **asked, adjusted=True, gateway=address)
    closes = {what: {b.start: b.close for b in gateway.expected_bars("AAPL", **dict(DAY, durationStr="1 Y",
                                                                                    whatToShow=what))}
              for what in ("TRADES", "ADJUSTED_LAST")}
    days = bars.index.tolist()
    assert (days[0], days[-1]) == (start, end) if span == "range" else 0 < len(days) <= 20
    adjusted = [closes["ADJUSTED_LAST"][d] for d in days]
    assert bars["close"].tolist() == adjusted and bars.attrs["adjust"] == "adj"
    assert span == "count" or adjusted != [closes["TRADES"][d] for d in days]


@pytest.mark.parametrize("tz, rth, zone", [(None, False, "America/Chicago"), ("UTC", True, "UTC")])
def test_future_bars_in_its_zone_or_the_one_asked(address, tz, rth, zone):
    from korvanta.sessions import CME_FUTURES, in_sessions

    bars = api.kline("/ES", "5m", 300, tz=tz, rth=rth, gateway=address)
    assert str(bars.index.dtype) == f"datetime64[us, {zone}]" and bars.attrs["timezone"] == zone
    assert (bars[["open", "high", "low", "close", "average", "volume"]].dtypes == "float64").all()
    assert 0 < len(bars.index) <= 300 and in_sessions(bars.index, CME_FUTURES).all() == rth


@pytest.mark.asyncio
async def test_async_twins_run_on_the_callers_loop(gateway, address):
    ours = threading.get_ident()
    bars, fills = await asyncio.gather(api.kline_async("AAPL", "day", 100, gateway=address),
                                       api.executions_async(gateway=address, client_id=7))
    assert bars["close"].tolist() == expected_closes(gateway, 100) and threading.get_ident() == ours
    assert len(fills.index) == len(gateway.sim.book.fills(gateway.now))


def test_executions_are_fills_with_numbers(gateway, address):
    fills = api.executions("aapl", reload=True, tz="America/Chicago", gateway=address)
    wanted = [f for f in gateway.sim.book.fills(gateway.now) if f.contract.symbol == "AAPL"]
    times = [f.time.astimezone(ZoneInfo("America/Chicago")) for f in sorted(wanted, key=lambda f: f.time)]
    assert fills["timestamp"].tolist() == times and fills["date"].tolist() == [t.date() for t in times]
    assert fills.attrs == {"source": "ibkr", "timezone": "America/Chicago", "symbols": ["AAPL"], "reload": True,
                           "mine": False}
    assert fills["symbol"].unique().tolist() == ["AAPL"] and len(fills.index) == len(wanted)
    assert fills["shares"].tolist() == [f.shares for f in sorted(wanted, key=lambda f: f.time)]
    # numbers, not the printed table's text; the ratios at full precision (the table shows 0.0000)
    assert pd.api.types.is_float_dtype(fills["total"]) and (fills["c_pct"] > 0).all()
    assert fills["orderId"].dtype == "int64" and fills["timestamp"].is_monotonic_increasing


def test_a_chosen_client_id_0_is_the_one_used(gateway, address):
    # id 0 is a valid id of its own, not "none chosen"
    fills = api.executions(mine=True, gateway=address, client_id=0)
    wanted = [f for f in gateway.sim.book.fills(gateway.now) if f.clientId == 0]
    assert wanted and len(fills.index) == len(wanted) and (fills["clientId"] == 0).all()


@pytest.mark.parametrize("call, message", [
    (lambda gw: api.executions(gateway=""), "executions needs a connected gateway: pass gateway='HOST:PORT'"),
    (lambda gw: api.executions("zzz", gateway=gw), "executions: nothing matched"),
    (lambda gw: api.pnl(gateway=""), "pnl needs a connected gateway: pass gateway='HOST:PORT'"),
    (lambda gw: api.pnl("zzz", gateway=gw), "pnl: nothing matched"),
], ids=["no-gateway", "nothing-matched", "pnl-no-gateway", "pnl-nothing-matched"])
def test_failures_raise_command_error(address, call, message):
    with pytest.raises(api.CommandError, match=f"^{message}"):
        call(address)


@pytest.mark.parametrize("show, rth", [(False, False), (True, False), (True, True)],
                         ids=["quiet", "shown", "reshaped-shown"])
def test_tables_printed_only_when_asked(address, capsys, show, rth):
    api.kline("AAPL", "5m", 20, gateway=address, show=show, rth=rth)
    out = capsys.readouterr().out
    assert out.startswith("AAPL 5m (") and out.count(" bars)") == 1 if show else out == ""


@pytest.mark.parametrize("context", [from_plain_thread, from_running_loop], ids=["script", "notebook"])
def test_a_fetch_given_up_on_does_not_hold_the_call(yf, monkeypatch, context):
    # a network that drops packets: kline gives the fetch up after KORVANTA_YF_TIMEOUT, and the
    # call answers then, while the fetch goes on in its thread
    yf.gate = threading.Event()
    monkeypatch.setenv("KORVANTA_YF_TIMEOUT", "0.2")
    started = time.perf_counter()
    try:
        with pytest.raises(api.CommandError,
                           match=r"^kline AAPL: No data returned \(yfinance fetch failed: timed out after 0.2 s\)$"):
            context(lambda: api.kline("AAPL", "day", 5, gateway=""))
        assert time.perf_counter() - started < 5  # the fetch waits 10 s
    finally:
        yf.gate.set()


# ---- sessions: one connection for many calls

TEN = ["AAPL", "MSFT", "TSLA", "SPY", "KVAA", "KVAB", "KVAC", "KVAD", "KVAE", "KVAF"]


def in_a_block(address):
    with api.Session(gateway=address) as s:
        return [s.kline(symbol, "day", 20) for symbol in TEN], s.executions()


def from_threads(address):
    with api.Session(gateway=address) as s, ThreadPoolExecutor(4) as pool:
        bars = list(pool.map(lambda symbol: s.kline(symbol, "day", 20), TEN))
        return bars, s.executions()


def side_by_side(address):
    async def calls():
        async with api.Session(gateway=address) as s:
            *bars, fills = await asyncio.gather(*(s.kline_async(symbol, "day", 20) for symbol in TEN),
                                                s.executions_async())
            return bars, fills

    return asyncio.run(calls())


@pytest.mark.parametrize("calls", [in_a_block, from_threads, side_by_side], ids=["with", "threads", "async-tasks"])
def test_a_session_keeps_one_connection(gateway, address, calls):
    bars, fills = calls(address)
    assert [frame.attrs["symbol"] for frame in bars] == TEN and {len(frame.index) for frame in bars} == {20}
    assert bars[0]["close"].tolist() == expected_closes(gateway, 20)
    assert len(fills.index) == len(gateway.sim.book.fills(gateway.now))
    assert gateway.requests("startApi") == 1 and gateway.requests("executions") == 1
    assert gateway.requests("positions") == gateway.requests("accountUpdates") == 0


UNKNOWN = "kline NOSUCH: No data returned (the gateway knows no such symbol; yfinance fetch failed: network down)"


@pytest.mark.parametrize("symbols, errors, kept", [
    (["AAPL", "NOSUCH", "msft"], "raise", None),
    (["AAPL", "NOSUCH", "msft"], "skip", ["AAPL", "MSFT"]),
    (["aapl"], "raise", ["AAPL"]),
], ids=["a-failure-raises", "a-failure-skipped", "one-symbol"])
def test_klines_one_frame_by_symbol_and_date(gateway, address, yf, symbols, errors, kept):
    yf.answer = ConnectionError("network down")
    with api.Session(gateway=address) as s:
        if kept is None:
            with pytest.raises(api.CommandError, match=fr"^kline: 1 of 3 symbols failed: {re.escape(UNKNOWN)}$"):
                s.klines(symbols, "day", 100, errors=errors)
            return
        bars = s.klines(symbols, "day", 100, errors=errors)
    assert bars.index.names == ["symbol", "date"] and bars.attrs["symbols"] == kept
    assert bars.loc["AAPL", "close"].tolist() == expected_closes(gateway, 100)
    assert {len(bars.loc[symbol].index) for symbol in kept} == {100}
    assert bars.attrs["failed"] == ({"NOSUCH": UNKNOWN} if "NOSUCH" in symbols else {})
    assert bars.attrs["by_symbol"]["AAPL"]["origin"] == "gateway"


def test_a_blocking_call_on_the_sessions_own_loop_is_refused(address):
    async def calls():
        async with api.Session(gateway=address) as s:
            with pytest.raises(api.CommandError, match="await the call's _async form"):
                s.kline("AAPL", "day", 5)
            return len((await s.kline_async("AAPL", "day", 5)).index)

    assert asyncio.run(calls()) == 5


NESTED = textwrap.dedent("""\
    import asyncio, sys
    import nest_asyncio
    from korvanta import api

    gateway = sys.argv[1]
    nest_asyncio.apply()  # as notebooks do
    print(len(api.kline("AAPL", "day", 5, gateway=gateway)))

    async def cell():
        print(len(api.kline("MSFT", "day", 5, gateway=gateway)))
        print(len(await api.kline_async("TSLA", "day", 5, gateway=gateway)))
        with api.Session(gateway=gateway) as s:
            print(len(s.kline("SPY", "day", 5)), len(await s.kline_async("AAPL", "day", 5)))
        async with api.Session(gateway=gateway) as s:
            print(len(await s.klines_async(["AAPL", "MSFT"], "day", 5)), len(s.executions()))

    asyncio.run(cell())
""")


def test_the_api_under_nest_asyncio(gateway, address, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KORVANTA_")}
    env.update(PYTHONPATH=str(FAKES), KORVANTA_DATA_DIR=str(tmp_path / "data"))
    done = subprocess.run([sys.executable, "-c", NESTED, address], capture_output=True, text=True, env=env, timeout=60)
    fills = len(gateway.sim.book.fills(gateway.now))
    assert done.stdout.split("\n") == ["5", "5", "5", "5 5", f"10 {fills}", ""], done.stderr
    assert "never awaited" not in done.stderr and "Traceback" not in done.stderr
