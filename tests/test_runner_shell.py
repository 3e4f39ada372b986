"""The shell: built-in words, scripts and their exit status, completion, history and huge lines;
and the usage texts that help shows."""

import asyncio
import io
import os
import shlex
import signal
import socket
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from korvanta.cmds.base import COMMANDS, IOp, command
from korvanta.runner import interrupts
from korvanta.runner.commands import load_command_modules
from korvanta.runner.completion import candidates
from korvanta.runner.shell import BUILTINS, LineEditing, Shell, run_shell
from korvanta.runner.state import HostState, connect
from korvanta.runner.usage import all_usages, show_help, usage_of
from korvanta.sim import GatewaySim
from quodra.dispatch import DArg
from test_kline_yfinance import yf  # noqa: F401  (yfinance faked in this process, a fixture)


@command(names=["t-shell"])
@dataclass
class IOpShellFake(IOp):
    """Shell fake: "ok" succeeds, anything else fails."""

    requires_gateway = False
    outcome: str = field(init=False)

    def argmap(self):
        return [DArg("outcome")]

    async def run(self):
        return {"done": True} if self.outcome == "ok" else {"error": f"asked for {self.outcome}"}


def shell_run(script: str, monkeypatch, state: HostState | None = None, runner=None) -> int:
    monkeypatch.setattr(sys, "stdin", io.StringIO(script))
    if runner is not None:
        return run_shell(runner, state)
    with asyncio.Runner() as own:
        return run_shell(own, state or HostState())


def errors(logs) -> list[str]:
    return [message for level, message in logs if level == "ERROR"]


@pytest.mark.parametrize("script, status, error", [
    ("t-shell ok\nquit\n", 0, None),
    ("t-shell ok\n  \n\t\n", 0, None),
    ("t-shell no\nt-shell ok\n", 1, "t-shell: asked for no"),
    ("t-shell ok\nquit\nt-shell no\n", 0, None),
    ("help nosuch\n", 1, "No help: unknown command 'nosuch'"),
    ("t-shell 'open\n", 1, "Cannot split the line into words: No closing quotation"),
    ("connect\n", 1, "connect needs HOST:PORT: no gateway was given"),
    ("connect gw:http\n", 1, "'gw:http' is not HOST:PORT"),
    ("t-shell -h\nT-SHELL --help\n", 0, None),
    ("clear\nt-shell ok\n", 0, None),
    ("help connect t-shell\nconnect -h\n", 0, None),
], ids=["ok-quit", "blank-lines", "failed-line", "quit-ends-the-script", "help-unknown", "unsplittable",
        "connect-nowhere", "connect-bad-address", "command-help", "clear", "shell-word-help"])
def test_script_exit_status(script, status, error, monkeypatch, logs, capsys):
    assert shell_run(script, monkeypatch) == status
    assert errors(logs)[:1] == ([error] if error else [])
    out = capsys.readouterr().out
    if "help connect" in script:
        # a shell word's help is its line of the shell's own; a command's is its usage text
        assert out.count("connect [HOST:PORT]: connect to that gateway") == 2
        assert out.count('Shell fake: "ok" succeeds') == 1
    elif "-h" in script:
        assert out.count('Shell fake: "ok" succeeds, anything else fails.') == 2
    else:
        assert "\033" not in out  # `clear` clears a terminal only


def test_connect_disconnect_status_through_the_simulator(monkeypatch, logs, capsys):
    with asyncio.Runner() as runner:
        sim = GatewaySim()
        port = runner.run(sim.start())
        state = runner.run(connect(None, 1))
        script = (f"status\nconnect 127.0.0.1:{port}\nstatus\ndisconnect\nstatus\nconnect\nstatus\n"
                  f"connect 127.0.0.1:{port}\ndisconnect\nquit\n")
        try:
            assert shell_run(script, monkeypatch, state, runner) == 0
        finally:
            state.close()
            runner.run(sim.stop())
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(" since ")[0] for line in lines] == [
        "no gateway; connect HOST:PORT connects to one",
        f"connected to 127.0.0.1:{port} as client 1",
        f"not connected to 127.0.0.1:{port}; connect connects",
        f"connected to 127.0.0.1:{port} as client 1",
    ]
    assert [m for level, m in logs if level == "INFO" and "127.0.0.1" in m] == [
        f"Connected to the gateway at 127.0.0.1:{port} as client 1",
        f"Disconnected from the gateway at 127.0.0.1:{port}",
        f"Connected to the gateway at 127.0.0.1:{port} as client 1",
        f"Already connected to the gateway at 127.0.0.1:{port} as client 1",
        f"Disconnected from the gateway at 127.0.0.1:{port}",
    ]


def test_a_hang_up_while_the_prompt_waited_is_noticed_before_the_next_command(logs, yf):
    from test_gateway_e2e import SimThread

    load_command_modules()
    with SimThread() as gateway, asyncio.Runner() as runner:
        # the shell's loop runs only while a line does
        state = runner.run(connect(("127.0.0.1", gateway.port), 1))
        asyncio.run_coroutine_threadsafe(gateway.sim.stop(), gateway.loop).result(10)
        time.sleep(0.2)
        try:
            assert Shell(runner, state, interactive=False).handle("kline AAPL day 3")
        finally:
            state.close()
    warnings = [m for level, m in logs if level == "WARNING"]
    assert warnings[0] == f"The gateway at 127.0.0.1:{gateway.port} dropped the connection; reconnecting"
    assert not [m for m in warnings if "IBKR failed" in m]


def test_a_huge_line_is_refused_at_once_without_echo(logs, monkeypatch):
    shell = Shell(None, HostState(), interactive=False)
    # refused unsplit: splitting a megabyte into words takes seconds
    monkeypatch.setattr(shlex, "split", lambda line: pytest.fail("the huge line was split"))
    assert not shell.handle("kline " + "A" * 1_000_000 + " 'unclosed")
    assert errors(logs) == ["Line refused unread: 976 KiB, over the 64 KiB a line may hold"]


def test_blank_and_huge_lines_leave_no_history(data_dir):
    readline = pytest.importorskip("readline")
    readline.clear_history()
    editing = LineEditing(readline)
    # the last: fewer characters than a line may hold bytes, but more bytes, so refused
    for line in ["kline AAPL", "   ", "\t", "status", "x" * 70_000, "é" * 40_000]:
        readline.add_history(line)  # as input() does with every line that is not empty
        editing.after_input(line)
    editing.save()
    kept = [readline.get_history_item(i) for i in range(1, readline.get_current_history_length() + 1)]
    readline.clear_history()
    assert kept == ["kline AAPL", "status"]
    assert (data_dir / "history").read_text().split() == ["kline", "AAPL", "status"]


@pytest.fixture(scope="module")
def shipped_commands():
    load_command_modules()
    for word in ("kline", "executions"):
        if word not in COMMANDS:
            pytest.skip(f"{word} is not built in this tree")


@pytest.mark.parametrize("before, text, offered", [
    ("", "k", ["kline"]),
    ("", "EX", ["executions", "exit"]),
    ("", "dis", ["disconnect"]),
    ("help ", "e", ["executions", "exit"]),
    ("kline ", "d", []),
    ("kline AAPL ", "d", ["d", "day"]),
    ("kline AAPL ", "1", ["1d", "1h", "1m", "15m", "1mo"]),
    ("kline aapl 5m 200 ", "a", ["adj"]),
    ("kline aapl ", "in", ["intraday"]),
    ("executions ", ":r", [":r", ":ref", ":refresh"]),
    ("executions aapl ", ":m", [":m", ":mine"]),
    ("status ", "", []),
], ids=["command", "command-any-case", "builtin", "help-topic", "symbol-is-free-text", "period", "period-prefix",
        "adjust-word", "mode", "executions-keyword", "executions-keyword-after-symbol", "builtin-takes-none"])
def test_completion(shipped_commands, before, text, offered):
    assert candidates(before, text, BUILTINS) == offered


def test_usage_files_are_the_command_docstrings(shipped_commands):
    """help reads the installed usage file instead of importing the module; both must be one text."""
    for word in ("kline", "executions"):
        module = sys.modules[COMMANDS[word].__module__]
        text = Path(module.__file__).with_name(f"{word}.usage.txt").read_text()
        assert text == COMMANDS[word].__doc__
        assert usage_of(word).splitlines()[0] == text.splitlines()[0]
        assert all_usages()[word] == usage_of(word)
    assert usage_of("t-shell") == 'Shell fake: "ok" succeeds, anything else fails.'
    assert usage_of("nosuch") is None


@pytest.mark.parametrize("words", [[], ["kline"], ["executions"], ["pnl"]], ids=["all", "kline", "executions", "pnl"])
def test_help_fits_80_columns(shipped_commands, capsys, words):
    assert show_help(words) == []
    shown = capsys.readouterr().out.splitlines()
    assert max(map(len, shown)) <= 80
    # the keywords the usage text leaves out, every spelling the completion offers
    keywords = [line.split() for line in shown if line.startswith("      :")]
    # (kline's and pnl's name theirs already)
    assert keywords == ([] if words in (["kline"], ["pnl"]) else [
        [":refresh,", ":r,", ":ref,", ":update,", ":upd,", ":u", "reload", "the", "executions", "first"],
        [":mine,", ":self,", ":m,", ":s", "only", "this", "client's", "fills"]])



def test_ctrl_c_at_a_terminal_cancels_connect_not_the_shell(logs):
    """Ctrl-C once a silent gateway has taken the connection (its handshake never comes)."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listener.settimeout(30)  # a connect that never comes fails the test rather than hanging it
        port = listener.getsockname()[1]

        def interrupt_once_connected():
            accepted, _ = listener.accept()
            os.kill(os.getpid(), signal.SIGINT)
            accepted.close()

        ctrl_c = threading.Thread(target=interrupt_once_connected)
        before = signal.getsignal(signal.SIGINT)
        interrupts.interrupt_in_place()  # as the interactive shell has it
        try:
            with asyncio.Runner() as runner:
                shell = Shell(runner, HostState(timeout=30), interactive=True)
                ctrl_c.start()
                started = time.perf_counter()
                done = shell.handle(f"connect 127.0.0.1:{port}")
        except KeyboardInterrupt:
            pytest.fail("Ctrl-C ended the shell")
        finally:
            signal.signal(signal.SIGINT, before)
            ctrl_c.join()
    assert not done and time.perf_counter() - started < 10 and not shell.state.connected
    assert ("WARNING", "connect interrupted") in logs
