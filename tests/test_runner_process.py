"""The program as a process: Ctrl-C in every phase, closed input and output, exit statuses and
one-line reasons, what help loads, and the set-up script."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

FAKES = Path(__file__).parent / "fakes"  # the fake yfinance package; stall/ holds an import staller
TOOLS = Path(__file__).parent.parent / "tools"


def needs(module: str) -> None:
    pytest.importorskip(module, exc_type=ImportError, reason=f"{module} is not built in this tree")


@pytest.fixture
def env(tmp_path):
    """The program's environment: the fakes first on the path, a fresh data folder, no gateway."""
    base = {k: v for k, v in os.environ.items() if not k.startswith(("KORVANTA_", "FAKE_"))}
    base.update(PYTHONPATH=f"{FAKES / 'stall'}{os.pathsep}{FAKES}", KORVANTA_DATA_DIR=str(tmp_path / "data"),
                COLUMNS="80")
    return base


def start(env, *words, **extra) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "korvanta", *words], env={**env, **extra}, text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def wait_for(stream, marker: str) -> None:
    for line in stream:
        if marker in line:
            return
    pytest.fail(f"the program ended before saying {marker!r}")


@pytest.fixture
def silent_listener():
    """A loopback port that accepts connections and never answers."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield f"127.0.0.1:{s.getsockname()[1]}"


@pytest.mark.parametrize("phase", ["importing", "fetching-in-a-thread", "connecting", "reading-a-script",
                                   "writing-a-chart"])
def test_ctrl_c_ends_the_program_at_once(env, silent_listener, tmp_path, phase):
    needs("korvanta.cmds.quotes.kline")
    if phase == "writing-a-chart":
        needs("mplfinance")
        # matplotlib loads its SVG writer once the picture file is begun
        program = start(env, "--chart", str(tmp_path / "bars.svg"), "kline", "AAPL", "day", "20",
                        FAKE_STALL_IMPORT="matplotlib.backends.backend_svg")
        wait_for(program.stderr, "fake: importing matplotlib.backends.backend_svg stalls")
    elif phase == "importing":
        program = start(env, "kline", "AAPL", FAKE_STALL_IMPORT="pandas")
        wait_for(program.stderr, "fake: importing pandas stalls")
    elif phase == "fetching-in-a-thread":
        program = start(env, "kline", "AAPL", "day", "5", FAKE_YFINANCE="slow")
        wait_for(program.stderr, "fake yfinance: fetching slowly")
    elif phase == "connecting":
        program = start(env, "-vv", "--gateway", silent_listener, "kline", "AAPL")
        wait_for(program.stderr, "Connecting to 127.0.0.1")
    else:
        program = start(env)
        program.stdin.write("status\n")
        program.stdin.flush()
        wait_for(program.stdout, "no gateway")
    interrupted = time.perf_counter()
    program.send_signal(signal.SIGINT)
    try:
        _, err = program.communicate(timeout=10)
    finally:
        program.kill()
    # at once: a bound under the 4 s a connect waits, long as the other phases would wait
    assert time.perf_counter() - interrupted < 3.5
    assert program.returncode == 130
    assert err.splitlines()[-1].endswith("Interrupted") and "Traceback" not in err and err.count("Interrupted") == 1
    # no half-written file left behind, under its own name or any other
    assert [p.name for p in tmp_path.iterdir() if p.name != "data"] == []


def test_ctrl_c_at_every_moment_of_the_first_seconds(env):
    """Every 50 ms over the first 3 s of a kline run, from the interpreter's start: loading the
    modules (the runner's own half loaded included), the bar cache, a fetch that takes long.

    Earlier, while the interpreter itself starts, a Ctrl-C meets only its own handling, as
    in any Python program; the program's start is where this one's begins.
    """
    needs("korvanta.cmds.quotes.kline")

    def interrupt_after(delay: float) -> tuple[float, int | None, str]:
        program = start(env, "kline", "AAPL", "day", "5", FAKE_YFINANCE="slow", FAKE_SAY_STARTED="1")
        wait_for(program.stderr, "fake: python started")
        time.sleep(delay)
        program.send_signal(signal.SIGINT)
        try:
            _, err = program.communicate(timeout=20)
        finally:
            program.kill()
        return delay, program.returncode, err

    # several at a time, so that the sweep takes seconds, not minutes
    with ThreadPoolExecutor(6) as children:
        ended = list(children.map(interrupt_after, [step * 0.05 for step in range(1, 61)]))
    for delay, status, err in ended:
        assert status == 130 and err.splitlines()[-1].endswith("Interrupted") and "Traceback" not in err \
            and err.count("Interrupted") == 1, (delay, status, err)


def test_leaving_at_once_writes_out_what_is_buffered(env):
    # The exit while a fetch still runs in a worker thread skips the interpreter's own flush:
    # a table written to a pipe is still in the stream's buffer then, a line begun on stderr too.
    script = ("import sys; from korvanta.runner import interrupts; "
              "sys.stdout.write('the whole table'); sys.stderr.write('a last word'); interrupts.leave(3)")
    buffered = {k: v for k, v in env.items() if k != "PYTHONUNBUFFERED"}
    done = subprocess.run([sys.executable, "-c", script], env=buffered, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (3, "the whole table", "a last word")


def test_ctrl_c_is_not_held_up_by_a_reader_that_stopped_reading(env):
    # The pipe is full and the reader (`| less`, paused) reads no more; what is still buffered
    # cannot be written, and the exit must not wait for it.
    script = textwrap.dedent("""
        import os, sys, time
        from korvanta.runner import interrupts
        interrupts.leave_on_interrupt()
        os.set_blocking(1, False)
        try:
            while True:
                os.write(1, b"x" * 4096)
        except BlockingIOError:
            os.set_blocking(1, True)
        sys.stdout.write("the rest of a table")
        print("full", file=sys.stderr, flush=True)
        time.sleep(30)
    """)
    buffered = {k: v for k, v in env.items() if k != "PYTHONUNBUFFERED"}
    program = subprocess.Popen([sys.executable, "-c", script], env=buffered, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # A child stuck before it says "full" is ended, so that the test fails instead of hanging.
    deadline = threading.Timer(30, program.kill)
    deadline.start()
    try:
        wait_for(program.stderr, "full")
        program.send_signal(signal.SIGINT)
        # well before the 30 s the stuck writer would take
        assert program.wait(timeout=10) == 130
        assert program.stderr.read().strip() == "Interrupted"
    finally:
        deadline.cancel()
        program.kill()
        program.stdout.close()
        program.stderr.close()


@pytest.mark.parametrize("words, script", [
    (["kline", "AAPL", "day", "5"], None),
    ([], "kline AAPL day 5\nkline MSFT day 5\nhelp\n"),
], ids=["one-command", "script"])
def test_a_closed_output_ends_quietly_with_status_0(env, words, script):
    needs("korvanta.cmds.quotes.kline")
    reader, writer = os.pipe()
    os.close(reader)  # gone before the first table, as `| head -0` would be
    try:
        done = subprocess.run([sys.executable, "-m", "korvanta", *words], input=script, stdout=writer,
                              stderr=subprocess.PIPE, text=True, env=env, timeout=60)
    finally:
        os.close(writer)
    assert done.returncode == 0, done.stderr
    assert not [line for line in done.stderr.splitlines() if " ERROR " in line or "WARNING" in line]
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr


def test_head_1_ends_the_program_with_status_0_every_time(env):
    needs("korvanta.cmds.quotes.kline")
    command = f"set -o pipefail; {sys.executable} -m korvanta kline AAPL day 30 | head -1"
    for _ in range(3):
        done = subprocess.run(["bash", "-c", command], capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == 0 and done.stdout.startswith("AAPL day (30 bars) ["), done.stderr


@pytest.mark.parametrize("words, extra_env, status, line", [
    ([], {}, 1, "ERROR   No command given, and no standard input to read commands from"),
    (["kline", "AAPL"], {"KORVANTA_DATA_DIR": "{file}"}, 1,
     "ERROR   KORVANTA_DATA_DIR={file} cannot be used as the data folder: it is a file, not a folder"),
    (["kline", "AAPL"], {"KORVANTA_DATA_DIR": "{file}/data"}, 1,
     "ERROR   KORVANTA_DATA_DIR={file}/data cannot be used as the data folder: a part of the path is a file"),
    (["kline", "AAPL"], {"KORVANTA_EXCHANGE_TZ": "Not/AZone"}, 1,
     "ERROR   kline is unavailable, its module cannot be loaded: "),
    (["help", "nosuch"], {}, 2, "ERROR   No help: unknown command 'nosuch'"),
    (["--client-id", "x"], {}, 2, "korvanta: error: argument --client-id: invalid int value: 'x'"),
], ids=["stdin-closed", "data-folder-is-a-file", "data-folder-under-a-file", "bad-exchange-zone",
        "help-unknown", "bad-option"])
def test_failures_in_one_line(env, tmp_path, words, extra_env, status, line):
    needs("korvanta.cmds.quotes.kline")
    file = tmp_path / "a-file"
    file.write_text("")
    extra = {k: v.format(file=file) for k, v in extra_env.items()}
    # stdin closed altogether (`korvanta <&-`) in the first case; /dev/null otherwise
    close_stdin = (lambda: os.close(0)) if not words else None
    done = subprocess.run([sys.executable, "-m", "korvanta", *words], stdin=None if close_stdin else subprocess.DEVNULL,
                          capture_output=True, text=True, env={**env, **extra}, timeout=60, preexec_fn=close_stdin)
    assert done.returncode == status
    reported = [text for text in done.stderr.splitlines() if not text.startswith("usage:")]
    assert len(reported) == 1 and line.format(file=file) in reported[0], done.stderr
    if "Not/AZone" in extra.values():
        assert "Not/AZone" in reported[0] and "Unknown command" not in done.stderr


@pytest.mark.parametrize("words, shown", [
    (["--help"], "usage: korvanta"),
    (["help", "kline"], "kline AAPL 5m 200 adj"),
    (["kline", "--help"], "kline AAPL 5m 200 adj"),
    (["executions", "-h"], "executions [symbol...]"),
    (["help"], "In the shell: help [command]"),
], ids=["options", "help-word", "command-long-option", "command-short-option", "all"])
def test_help_loads_nothing_heavy(env, words, shown):
    needs("korvanta.cmds.quotes.kline")
    needs("korvanta.cmds.portfolio.executions")
    script = (f"import sys\nfrom korvanta.runner.cli import main\ntry:\n    status = main({words!r})\n"
              "except SystemExit as e:\n    status = e.code\n"
              "heavy = ['pandas', 'ib_async', 'loguru', 'asyncio', 'korvanta.cmds.quotes.kline']\n"
              "print('loaded:', [m for m in heavy if m in sys.modules], status)")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert shown in done.stdout
    assert done.stdout.splitlines()[-1] == "loaded: [] 0", done.stderr


def test_set_up_script_names_no_package_server(tmp_path):
    """tools/in-env gives debootstrap a mirror only when KORVANTA_DEBIAN_MIRROR names one."""
    script = (TOOLS / "in-env").read_text()
    assert "://" not in script
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        pytest.skip("provisioning runs as root on a machine with apt-get")
    # Run the script's own provisioning step with a stand-in debootstrap that records its arguments.
    stub = tmp_path / "bin" / "debootstrap"
    stub.parent.mkdir()
    stub.write_text('#!/bin/sh\nprintf "%s\\n" "$@" > "$ARGS"\nmkdir -p "$4/usr/bin" && touch "$4/usr/bin/python3.14"\n'
                    'chmod +x "$4/usr/bin/python3.14"\n')
    stub.chmod(0o755)
    lines = script.splitlines()
    step = "\n".join(line for line in lines if line.startswith("mirror="))
    body = lines[lines.index("provision_root() {"):]
    step += "\n" + "\n".join(body[:body.index("}") + 1])
    for mirror in [None, "/srv/a-local-mirror"]:
        root = tmp_path / f"root-{bool(mirror)}"
        env = {"PATH": f"{stub.parent}:{os.environ['PATH']}", "ARGS": str(tmp_path / "args"), "root": str(root)}
        if mirror:
            env["KORVANTA_DEBIAN_MIRROR"] = mirror
        subprocess.run(["bash", "-c", f"set -euo pipefail\nsay() {{ :; }}\ndie() {{ echo \"$*\" >&2; exit 1; }}\n"
                                      f"packages=python3.14\n{step}\nprovision_root"], env=env, check=True, timeout=60)
        positional = [arg for arg in (tmp_path / "args").read_text().split() if not arg.startswith("--")]
        assert positional == ["sid", str(root), *([mirror] if mirror else [])]
