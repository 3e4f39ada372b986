"""The interactive shell: a prompt with line editing and history, help, and quit."""

import asyncio
import inspect
import os
import shlex
import sys
import textwrap
from pathlib import Path

from loguru import logger

from korvanta.cmds.base import COMMANDS, lookup

from .commands import run_line
from .settings import SETTINGS_WORDS, set_word
from .state import HostState

PROMPT = "korvanta> "
QUIT_WORDS = ("quit", "exit")
HELP_WORDS = ("help", "?")
HISTORY_LENGTH = 2000


def data_dir() -> Path:
    return Path(os.environ.get("KORVANTA_DATA_DIR") or "~/.korvanta").expanduser()


def usage(cls: type) -> str:
    return inspect.cleandoc(cls.__doc__ or "(no usage text)")


def show_help(words: list[str]) -> bool:
    """Print every command with its usage text, or only the commands named in `words`."""
    if words:
        try:
            classes = {lookup(word.lower()): [word.lower()] for word in words}
        except KeyError as e:
            logger.error("No help: {}", e.args[0])
            return False
    else:
        classes = {}
        for word, cls in sorted(COMMANDS.items()):
            classes.setdefault(cls, []).append(word)
    for cls, names in classes.items():
        print(", ".join(names))
        print(textwrap.indent(usage(cls), "    "), end="\n\n")
    if not words:
        print("help [command]  shows usage texts; quit (or exit, Ctrl-D) leaves the shell.")
    return True


class _LineEditing:
    """readline with the command words completed and the history kept under the data directory."""

    def __init__(self) -> None:
        self.history = data_dir() / "history"
        try:
            import readline
        except ImportError:
            self.readline = None
            return
        self.readline = readline
        readline.set_history_length(HISTORY_LENGTH)
        readline.set_completer(self._complete)
        readline.set_completer_delims(" \t")
        readline.parse_and_bind("tab: complete")
        try:
            readline.read_history_file(self.history)
        except FileNotFoundError:
            pass
        except OSError as e:
            logger.debug("No shell history read from {}: {}", self.history, e)

    def _complete(self, text: str, state: int) -> str | None:
        if self.readline.get_begidx() > 0:
            return None
        words = sorted({*COMMANDS, *QUIT_WORDS, HELP_WORDS[0]})
        matches = [word for word in words if word.startswith(text.lower())]
        return matches[state] + " " if state < len(matches) else None

    def save(self) -> None:
        if self.readline is None:
            return
        try:
            self.history.parent.mkdir(parents=True, exist_ok=True)
            self.readline.write_history_file(self.history)
        except OSError as e:
            logger.warning("Shell history not saved to {}: {}", self.history, e)


def run_shell(runner: asyncio.Runner, state: HostState) -> int:
    """Read command lines until quit or end of input; a failed command leaves the shell running."""
    interactive = sys.stdin.isatty()
    editing = _LineEditing() if interactive else None
    if interactive:
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
                return 0
            except KeyboardInterrupt:
                print()
                continue
            try:
                words = shlex.split(line)
            except ValueError as e:
                logger.error("Cannot split the line into words: {}", e)
                continue
            if not words:
                continue
            word = words[0].lower()
            if word in QUIT_WORDS:
                return 0
            if word in HELP_WORDS:
                show_help(words[1:])
                continue
            if word in SETTINGS_WORDS:
                set_word(words[1:])
                continue
            try:
                runner.run(run_line(words, state))
            except KeyboardInterrupt:
                print()
                logger.warning("{} interrupted", words[0])
    finally:
        if editing is not None:
            editing.save()
