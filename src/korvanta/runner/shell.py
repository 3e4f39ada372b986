"""The interactive shell: a prompt with line editing and history, built-in words, and the commands."""

import asyncio
import shlex
import sys
import textwrap
from collections.abc import Callable

from loguru import logger

from . import interrupts
from .address import parse_address
from .commands import run_line
from .completion import Completer
from .datadir import data_dir
from .errors import UsageError
from .options import line_options
from .settings import set_word
from .state import HostState
from .usage import HELP_INDENT, HELP_WORDS, cleandoc, help_requested, show_help

PROMPT = "korvanta> "
HISTORY_LENGTH = 2000
# A line is read whole before anything looks at it; past this it is refused unseen (splitting
# a pasted megabyte into words took half a minute).
LONGEST_LINE = 64 * 1024


def line_size(line: str) -> int:
    """The bytes a line takes, which LONGEST_LINE bounds."""
    return len(line.encode(errors="replace"))


class LeaveShell(Exception):
    """Raised by a built-in word to end the shell."""


class Shell:
    """One shell session: the event loop runner, the host state, and whether any command failed."""

    def __init__(self, runner: asyncio.Runner, state: HostState, *, interactive: bool):
        self.runner = runner
        self.state = state
        self.interactive = interactive
        self.failed = False

    def status(self) -> int:
        """The exit status: a script (standard input not a terminal) fails when any of its lines failed."""
        return 1 if self.failed and not self.interactive else 0

    def handle(self, line: str) -> bool:
        """Run one line: a built-in word or a command; whether it succeeded."""
        size = line_size(line)
        if size > LONGEST_LINE:
            logger.error("Line refused unread: {} KiB, over the {} KiB a line may hold",
                         size // 1024, LONGEST_LINE // 1024)
            return False
        try:
            words = shlex.split(line)
        except ValueError as e:
            logger.error("Cannot split the line into words: {}", e)
            return False
        if not words:
            return True
        try:
            return self.run(words)
        except KeyboardInterrupt:
            # At a terminal, Ctrl-C cancels what the line started (a command, a connect), not the shell.
            if not self.interactive:
                raise
            print()
            logger.warning("{} interrupted", words[0])
            return False

    def run(self, words: list[str]) -> bool:
        """Run a line's words: a built-in word, a command's help, or the command; whether it succeeded."""
        word = words[0].lower()
        if word not in HELP_WORDS and help_requested(words):
            return show_help_for(self, words[:1])
        handler = BUILTINS.get(word)
        if handler is not None:
            return handler(self, words[1:])
        try:
            # The line's own options hold for its command only.
            with line_options(words) as command_words:
                return self.runner.run(run_line(command_words, self.state))
        except UsageError as e:
            logger.error("{}", e)
            return False


# ---- built-in words: word -> handler(shell, words after it) -> success

Builtin = Callable[[Shell, list[str]], bool]
BUILTINS: dict[str, Builtin] = {}


def builtin(*words: str) -> Callable[[Builtin], Builtin]:
    """Register a shell word (or several for one handler); another module may add its own."""
    def register(handler: Builtin) -> Builtin:
        for word in words:
            BUILTINS[word] = handler
        return handler
    return register


@builtin("quit", "exit")
def leave(shell: Shell, words: list[str]) -> bool:
    """quit (or exit, Ctrl-D): leave the shell."""
    raise LeaveShell


@builtin("help", "?")
def show_help_for(shell: Shell, words: list[str]) -> bool:
    """help [WORD ...]: the usage of commands and shell words (`WORD -h` too); all of them
    without a word."""
    # The shell's own words answer from their handlers' first lines; the rest are commands.
    own = [word for word in words if word.lower() in BUILTINS]
    for word in own:
        print(word.lower())
        print(textwrap.indent(cleandoc(BUILTINS[word.lower()].__doc__ or word), HELP_INDENT))
        print()
    commands = [word for word in words if word.lower() not in BUILTINS]
    unknown = show_help(commands) if commands or not words else []
    for word in unknown:
        logger.error("No help: unknown command {!r}", word)
    return not unknown


@builtin("connect")
def connect(shell: Shell, words: list[str]) -> bool:
    """connect [HOST:PORT]: connect to that gateway, or to the last one again; the
    working connection is kept until the new one is up."""
    try:
        if len(words) > 1:
            raise ValueError("connect takes one HOST:PORT")
        address = parse_address(words[0]) if words else None
    except ValueError as e:
        logger.error("{}", e)
        return False
    if address is None and shell.state.address is None:
        logger.error("connect needs HOST:PORT: no gateway was given")
        return False
    return shell.runner.run(shell.state.open(address))


@builtin("disconnect")
def disconnect(shell: Shell, words: list[str]) -> bool:
    """disconnect: close the gateway connection; commands go on without the gateway
    until connect."""
    if shell.state.connected:
        logger.info("Disconnected from the gateway at {}", shell.state.describe_gateway())
    shell.state.close()
    return True


@builtin("status")
def status(shell: Shell, words: list[str]) -> bool:
    """status: the gateway connection: address, client id, since when."""
    print(shell.state.status(), flush=True)
    return True


@builtin("set")
def set_result_setting(shell: Shell, words: list[str]) -> bool:
    """set [NAME VALUE]: show the result settings, or change one: rows N|all|auto,
    format table|csv|json, out FILE|off, tz ZONE|exchange, rth on|off, chart on|off|FILE,
    chart-size WxH, ma N,N|off, ema N|off, vwap on|off, prev-close on|off, fills on|off,
    source auto|gateway|yfinance, watch on|off (kline's intraday bars kept current until Ctrl-C).
    Options on a command's line (--rows 5) hold for it alone."""
    return set_word(words)


@builtin("clear")
def clear(shell: Shell, words: list[str]) -> bool:
    """clear: clear the screen."""
    # Only a terminal has a screen; piped output keeps just the tables.
    if sys.stdout.isatty():
        print("\033[H\033[2J\033[3J", end="", flush=True)
    return True


# ---- line editing

class LineEditing:
    """readline with completion, and the history kept under the data directory."""

    def __init__(self, readline) -> None:
        self.history = data_dir() / "history"
        self.readline = readline
        readline.set_history_length(HISTORY_LENGTH)
        readline.set_completer(Completer(readline, BUILTINS))
        readline.set_completer_delims(" \t")
        readline.parse_and_bind("tab: complete")
        try:
            readline.read_history_file(self.history)
        except FileNotFoundError:
            pass
        except OSError as e:
            logger.debug("No shell history read from {}: {}", self.history, e)

    def after_input(self, line: str) -> None:
        """Take back from the history what input() put there but should not stay: blanks, huge lines."""
        if line.strip() and line_size(line) <= LONGEST_LINE:
            return
        last = self.readline.get_current_history_length()
        if last and self.readline.get_history_item(last) == line:
            self.readline.remove_history_item(last - 1)

    def save(self) -> None:
        try:
            self.history.parent.mkdir(parents=True, exist_ok=True)
            self.readline.write_history_file(self.history)
        except OSError as e:
            logger.warning("Shell history not saved to {}: {}", self.history, e)


def line_editing() -> LineEditing | None:
    try:
        import readline
    except ImportError:
        return None
    return LineEditing(readline)


def run_shell(runner: asyncio.Runner, state: HostState) -> int:
    """Read command lines until quit or end of input; a failed command leaves the shell running.

    The exit status is 0, or 1 for a script (standard input not a terminal) any of whose lines failed.
    """
    interactive = sys.stdin.isatty()
    shell = Shell(runner, state, interactive=interactive)
    editing = line_editing() if interactive else None
    if interactive:
        interrupts.interrupt_in_place()
        gateway = ("connected to " if state.connected else "not connected to ") + state.describe_gateway()
        print(f"korvanta shell, {gateway if state.address else 'no gateway'}; help lists the commands.")
    try:
        while True:
            try:
                # No prompt for piped input, so that standard output holds only the tables.
                line = input(PROMPT if interactive else "")
            except EOFError:
                if interactive:
                    print()
                return shell.status()
            except KeyboardInterrupt:
                if not interactive:
                    raise
                print()
                continue
            if editing is not None:
                editing.after_input(line)
            try:
                if not shell.handle(line):
                    shell.failed = True
            except LeaveShell:
                return shell.status()
    finally:
        if editing is not None:
            editing.save()
