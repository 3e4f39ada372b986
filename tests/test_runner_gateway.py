"""The runner's gateway connection against the simulator, in this process: client ids, refused and
slow requests, failed executions requests, and a dropped connection."""

import asyncio
import socket
import time

import pytest
import pytest_asyncio
from ib_async import Stock

from korvanta.cmds.base import execute
from korvanta.runner import state as state_module
from korvanta.runner.commands import run_status
from korvanta.runner.gateway import GatewayClient, GatewayError
from korvanta.runner.state import connect
from korvanta.sim import Fault, GatewaySim

pytestmark = [pytest.mark.e2e, pytest.mark.asyncio]


def needs(module: str) -> None:
    pytest.importorskip(module, exc_type=ImportError, reason=f"{module} is not built in this tree")


@pytest_asyncio.fixture
async def sim():
    async with GatewaySim() as gateway:
        yield gateway


def address(sim: GatewaySim) -> tuple[str, int]:
    return "127.0.0.1", sim.port


def said(logs, level: str) -> list[str]:
    return [message for lvl, message in logs if lvl == level]


@pytest.fixture
def kline_without_yfinance(monkeypatch, data_dir):
    """The kline command, with its yfinance fallback answering at once: (symbol, words) of each fallback."""
    needs("korvanta.cmds.quotes.kline")
    from korvanta.cmds.quotes import kline

    fallbacks = []

    async def run_yfinance(self, rest):
        fallbacks.append((self.symbol, list(rest)))
        return {"symbol": self.symbol, "source": "yfinance", "bars": []}

    monkeypatch.setattr(kline.IOpKline, "_run_yfinance", run_yfinance)
    return fallbacks


class TestClientIds:
    @pytest.mark.parametrize("held, clientId, tries, using, warning", [
        ([1], 1, 1, None, "Gateway at 127.0.0.1:{port}: client id 1 is in use by another session; pass --client-id N"),
        ([1], 1, 5, 2, None),
        ([1, 2, 3], 1, 3, None,
         "Gateway at 127.0.0.1:{port}: client ids 1 to 3 are in use by other sessions; pass --client-id N"),
        ([1], 7, 1, 7, None),
        ([1, 2], None, 1, 3, None),
    ], ids=["chosen-id-taken", "next-free-id", "all-tried-taken", "chosen-id-free", "none-chosen"])
    async def test_second_session(self, sim, logs, held, clientId, tries, using, warning):
        sessions = [await connect(address(sim), n) for n in held]
        started = time.perf_counter()
        second = await connect(address(sim), clientId, clientIdTries=tries)
        try:
            # The gateway says at once that the id is taken; nothing waits for the 4 s timeout.
            assert time.perf_counter() - started < 3.5
            assert second.connected is (using is not None)
            if using is not None:
                assert second.clientId == using
                assert f"Connected to the gateway at 127.0.0.1:{sim.port} as client {using}" in said(logs, "INFO")
            assert said(logs, "WARNING") == ([warning.format(port=sim.port)] if warning else [])
        finally:
            for s in [*sessions, second]:
                s.close()


async def kline_unchecked(state, words):
    """kline with words the runner refuses (a count of 0, the year 1), as a host that leaves the
    words to the command runs it; whether it answered. Bounded well below the client's 60 s
    timeout, which a request the gateway refused without an answer would wait out."""
    result = await asyncio.wait_for(execute(["kline", *words], state=state, ib=state.ib), 30)
    return "error" not in result


class TestRefusedRequests:
    @pytest.mark.parametrize("words, fault, reason", [
        (["AAPL", "day", "-5"], None, "gateway error 321: Error validating request"),
        (["AAPL", "day", "0"], None, "gateway error 321: Error validating request"),
        (["AAPL", "day", "5"], Fault.error("historicalData", 321), "gateway error 321: Error validating request"),
        (["AAPL", "day", "5"], Fault.error("historicalData", 162), "gateway error 162: Historical Market Data"),
    ], ids=["negative-count", "zero-count", "refused", "no-data"])
    async def test_a_refusal_ends_the_request_at_once(self, sim, logs, kline_without_yfinance, words, fault, reason):
        if fault:
            sim.inject(fault)
        state = await connect(address(sim), 1)
        try:
            # ib_async would wait 60 s for a request it counts a warning as refusing
            answered = await kline_unchecked(state, words)
        finally:
            state.close()
        assert answered and kline_without_yfinance == [("AAPL", words[1:])]
        fallback = [m for m in said(logs, "WARNING") if "IBKR failed" in m]
        assert len(fallback) == 1 and f"[AAPL] IBKR failed ({reason}" in fallback[0]

    async def test_a_range_from_year_1_answers_at_once(self, sim, kline_without_yfinance):
        # the simulator serves every bar it has since its walk began, as the gateway does
        state = await connect(address(sim), 1)
        try:
            answered = await kline_unchecked(state, ["AAPL", "0001-01-01"])
        finally:
            state.close()
        assert answered and kline_without_yfinance == []

    async def test_unknown_symbol_is_not_found_with_the_gateway_error_said(self, sim, logs, kline_without_yfinance):
        state = await connect(address(sim), 1)
        try:
            assert await state.positionalQuoteRepopulate("NOSUCH") == ("", None)
            assert await run_status(["kline", "NOSUCH"], state) == 0
        finally:
            state.close()
        assert "Symbol not found: NOSUCH" in said(logs, "ERROR")
        assert said(logs, "WARNING").count(
            "[NOSUCH] gateway error 200: No security definition has been found for the request") == 2

    async def test_other_contract_errors_reach_the_command(self, sim):
        sim.inject(Fault.error("contractDetails", 504))
        state = await connect(address(sim), 1)
        try:
            with pytest.raises(GatewayError, match="gateway error 504: Not connected"):
                await state.positionalQuoteRepopulate("AAPL")
        finally:
            state.close()


@pytest.mark.parametrize("request_, label", [("historicalData", "AAPL"), ("executions", "executions")])
async def test_a_slow_request_says_it_is_still_waiting(sim, logs, request_, label):
    state = await connect(address(sim), 1)
    sim.inject(Fault.delay(request_, 0.35))
    state.ib.waitNotice = 0.1
    try:
        if request_ == "executions":
            await state.loadExecutions()
        else:
            assert await state.ib.reqHistoricalDataAsync(Stock("AAPL", "SMART", "USD"), "", "1 D", "1 hour",
                                                         "TRADES", False, formatDate=2)
    finally:
        state.close()
    waiting = [m for m in said(logs, "INFO") if m.startswith(f"[{label}] still waiting for the gateway (")]
    assert 2 <= len(waiting) <= 4


class TestExecutionsNotAnswered:
    @pytest.mark.parametrize("fault, words, reason", [
        (Fault.delay("executions", 3), ["executions"],
         "executions: the gateway did not answer the executions request within 0.5 s; `executions :r` asks again"),
        (Fault.error("executions", 321), ["executions"],
         "executions: the gateway did not answer the executions request (gateway error 321: Error validating request"),
        (Fault.delay("executions", 3, times=2), ["executions", ":r"],
         "executions: the gateway did not answer the executions request within 0.5 s"),
    ], ids=["delayed-at-first-use", "refused-at-first-use", "delayed-again-on-reload"])
    async def test_is_not_no_fills(self, sim, logs, monkeypatch, fault, words, reason):
        needs("korvanta.cmds.portfolio.executions")
        monkeypatch.setattr(state_module, "EXECUTIONS_TIMEOUT", 0.5)
        sim.inject(fault)
        state = await connect(address(sim), 1, timeout=0.5)
        try:
            assert state.connected
            assert await run_status(words, state) == 1
        finally:
            state.close()
        assert said(logs, "ERROR")[0].startswith(reason)

    async def test_a_reload_that_works_shows_the_fills(self, sim, logs, capsys):
        needs("korvanta.cmds.portfolio.executions")
        sim.inject(Fault.error("executions", 321))
        state = await connect(address(sim), 1)
        try:
            assert await run_status(["executions"], state) == 1
            assert await run_status(["executions", ":r"], state) == 0
        finally:
            state.close()
        assert capsys.readouterr().out.startswith("Execution Summary\n")


async def until(condition, seconds: float = 2.0) -> None:
    for _ in range(int(seconds / 0.02)):
        if condition():
            return
        await asyncio.sleep(0.02)


async def test_a_gateway_that_went_away_is_found_again(sim, logs, kline_without_yfinance):
    """As in the shell: a drop is mended at the next command, and a gateway gone for a while
    (restarted, on the same address) serves again once back, without `connect`."""
    needs("korvanta.cmds.portfolio.executions")
    where = f"127.0.0.1:{sim.port}"
    sim.inject(Fault.drop("contractDetails"))
    state = await connect(address(sim), 1)
    try:
        await run_status(["kline", "AAPL"], state)
        assert state.dropped and kline_without_yfinance == [("AAPL", [])]
        assert await run_status(["executions"], state) == 0
        await sim.stop()
        await until(lambda: state.dropped)
        # gone for two commands: refused or served elsewhere, the gateway's absence said once,
        # and tried once for the symbols of a line
        assert await run_status(["executions"], state) == 1
        assert await run_status(["kline", "AAPL,MSFT,TSLA"], state) == 0
        assert state.status() == f"not connected: no gateway at {where} at the last try; the next command tries again"
        await sim.start(sim.port)
        assert [await run_status(words, state) for words in (["executions"], ["kline", "AAPL", "day", "3"])] == [0, 0]
    finally:
        state.close()
    assert [symbol for symbol, _ in kline_without_yfinance] == ["AAPL", "AAPL", "MSFT", "TSLA"]
    assert sim.requests["historicalData"] == 1
    warnings = said(logs, "WARNING")
    assert warnings.count(f"The gateway at {where} dropped the connection; reconnecting") == 2
    assert sum(m.startswith(f"No gateway at {where} (") for m in warnings) == 1
    assert sum(m.startswith(f"No gateway at {where} (") for m in said(logs, "DEBUG")) == 1
    assert said(logs, "INFO").count(f"The gateway at {where} is back: connected as client 1") == 1
    assert said(logs, "ERROR")[-1] == f"executions needs a connected gateway: the gateway at {where} is not connected"


async def test_connect_elsewhere_keeps_the_working_connection_until_the_new_one_is_up(sim, logs):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        dead = ("127.0.0.1", s.getsockname()[1])  # nothing listens there
    state = await connect(address(sim), 1)
    try:
        assert not await state.open(dead)
        assert state.connected and state.address == address(sim)
        assert said(logs, "WARNING")[-1].endswith(f"; still connected to 127.0.0.1:{sim.port}")
        async with GatewaySim() as other:
            assert await state.open(address(other)) and state.address == address(other)
            await until(lambda: not sim.client_ids())
            assert sim.client_ids() == set() and other.client_ids() == {1}
    finally:
        state.close()


async def test_a_connect_cancelled_after_the_handshake_leaves_no_session(sim):
    # Ctrl-C in the shell during `connect`, once the gateway has the client id: it must be free again.
    sim.inject(Fault.delay("startApi", 0.3))
    connecting = asyncio.create_task(connect(address(sim), 1))
    while not sim.requests["startApi"]:
        await asyncio.sleep(0.01)
    connecting.cancel()
    with pytest.raises(asyncio.CancelledError):
        await connecting
    await asyncio.sleep(0.5)  # past the moment the gateway would have taken the id
    assert sim.client_ids() == set()


@pytest.mark.parametrize("listening, reason", [
    (True, "no answer within 0.3 s"),
    (False, "Connect call failed"),
], ids=["not-answering", "nothing-listening"])
async def test_no_gateway_said_in_one_line(logs, listening, reason):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        if listening:
            s.listen()
        port = s.getsockname()[1]
        state = await connect(("127.0.0.1", port), 1, timeout=0.3)
    assert not state.connected
    [warning] = said(logs, "WARNING")
    assert warning.startswith(f"No gateway at 127.0.0.1:{port} (") and reason in warning
    assert warning.endswith("going on without it: kline serves from yfinance, commands that need the gateway are refused")


@pytest.mark.parametrize("code, level", [
    (1100, "WARNING"), (2104, "DEBUG"), (1102, "DEBUG"), (10197, "WARNING"),
], ids=["connectivity-lost", "farm-ok", "connectivity-restored", "competing-session"])
async def test_gateway_messages_outside_requests(logs, code, level):
    """Errors no request is waiting for are said in one line; notices only at debug level."""
    ib = GatewayClient()
    ib.errorEvent.emit(-1, code, f"message {code}", None)
    assert logs == [(level, f"Gateway {'error' if level == 'WARNING' else 'notice'} {code}: message {code}")]


async def test_contracts_are_looked_up_again_at_another_gateway(sim):
    async with GatewaySim() as other:
        state = await connect(address(sim), 1)
        try:
            await state.positionalQuoteRepopulate("AAPL")
            await state.open(address(sim))  # the same gateway again: what it answered still holds
            await state.positionalQuoteRepopulate("AAPL")
            await state.open(address(other))
            await state.positionalQuoteRepopulate("AAPL")
        finally:
            state.close()
    assert sim.requests["contractDetails"] == 1 and other.requests["contractDetails"] == 1
