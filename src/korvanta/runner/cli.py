"""Command-line options and the program's entry: one command, or the shell without one.

Help is answered before anything heavy loads: pandas, the gateway client and the command
modules are imported only when a command runs, so `korvanta --help` and `korvanta help
kline` answer at once.
"""

import argparse
import os
import sys
from collections.abc import Sequence

from . import interrupts
from .address import parse_address
from .usage import HELP_WORDS, help_requested, show_help

from .settings import add_options, use_options
from .options import split

USAGE_ERROR = 2


def gateway_address(text: str) -> tuple[str, int] | None:
    """HOST:PORT (an IPv6 host in brackets) as a pair; empty text means no gateway."""
    try:
        return parse_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


class OptionParser(argparse.ArgumentParser):
    """argparse's parser, reporting a usage error in one line rather than under the whole synopsis."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message} ({self.prog} --help lists the options)\n")


def parser() -> argparse.ArgumentParser:
    # Options may follow the command's words, where an abbreviation could be a word.
    p = OptionParser(
        prog="korvanta", allow_abbrev=False,
        description="Run one korvanta command, or, with none given, the interactive shell.",
        epilog="examples: korvanta kline AAPL day 100 | korvanta kline AAPL,MSFT,TSLA day 5 (several symbols, "
               "shown in turn) | korvanta --gateway 127.0.0.1:4002 executions aapl :r"
               " | korvanta help kline | korvanta kline -h.  Exit status: 0 done, 1 failed, 2 usage error,"
               " 130 interrupted.",
    )
    p.add_argument("--gateway", metavar="HOST:PORT", type=gateway_address,
                   default=os.environ.get("KORVANTA_GATEWAY", ""),
                   help="IBKR gateway or TWS API address (default: $KORVANTA_GATEWAY; none: yfinance only)")
    p.add_argument("--client-id", metavar="N", type=int, default=os.environ.get("KORVANTA_CLIENT_ID") or None,
                   help="API client id of the connection (default: $KORVANTA_CLIENT_ID, else the first free "
                        "one of 1 to 5)")
    loudness = p.add_mutually_exclusive_group()
    loudness.add_argument("-v", "--verbose", action="count", default=0,
                          help="debug lines (twice: the gateway client library's lines too)")
    loudness.add_argument("-q", "--quiet", action="store_true", help="warnings and errors only")
    add_options(p)
    p.add_argument("words", nargs=argparse.REMAINDER, metavar="command [word ...]",
                   help="a command and its words, e.g. kline AAPL day 100; options may come before or "
                        "after them, and -- ends the options (for a symbol that starts with -)")
    return p


def parse_command_line(p: argparse.ArgumentParser, argv: Sequence[str]) -> argparse.Namespace:
    """The options, wherever they stand on the line, and the command's words (`words`)."""
    given, words = split(p, argv)
    options = p.parse_args(given)
    options.words = words
    return options


def answer_help(words: list[str], verbosity: int) -> int:
    """`help [command ...]`, or `command -h`: usage texts, without loading what commands need."""
    named = words[1:] if words[0].lower() in HELP_WORDS else words[:1]
    unknown = show_help(named)
    if not unknown:
        return 0
    from loguru import logger

    from . import logs

    logs.configure(verbosity)
    for word in unknown:
        logger.error("No help: unknown command {!r}", word)
    return USAGE_ERROR


def run(options: argparse.Namespace, words: list[str]) -> int:
    """Load the commands, connect, then run the one command or the shell; the exit status."""
    import asyncio

    from loguru import logger

    from . import settings, sources
    from .commands import CommandError, check_line, load_command_modules, run_status
    from .datadir import data_dir_problem
    from .shell import run_shell
    from .state import connect

    problem = data_dir_problem()
    if problem:
        logger.error("{}", problem)
        return 1
    if not words and sys.stdin is None:
        logger.error("No command given, and no standard input to read commands from (korvanta help lists them)")
        return 1
    # A one-shot command reports a module that cannot load only when it is the one asked for.
    load_command_modules(report=not words)
    address = options.gateway
    if words:
        # A line that cannot run is refused before anything connects or fetches.
        try:
            check_line(words)
        except CommandError as e:
            logger.error("{}", e)
            return e.status
        if sources.shuns_gateway(words[0].lower(), settings.current().source):
            address = None
    runner = asyncio.Runner()
    try:
        state = runner.run(connect(address, options.client_id))
        try:
            if words:
                return runner.run(run_status(words, state))
            return run_shell(runner, state)
        finally:
            state.close()
    except KeyboardInterrupt:
        interrupts.interrupted()
    finally:
        # Closing the loop waits for its worker threads, and a fetch that timed out may still
        # run in one: then the program's entry leaves without closing (see `program`).
        if not interrupts.worker_threads():
            runner.close()


def main(argv: Sequence[str] | None = None) -> int:
    """Run the program with `argv` (default: the command line); the exit status."""
    try:
        p = parser()
        options = parse_command_line(p, sys.argv[1:] if argv is None else argv)
        use_options(p, options)
        verbosity = options.verbose - options.quiet
        words = options.words
        if help_requested(words):
            status = answer_help(words, verbosity)
        else:
            from . import logs

            logs.configure(verbosity)
            status = run(options, words)
        if sys.stdout is not None:
            sys.stdout.flush()
    except KeyboardInterrupt:
        interrupts.interrupted()
    except BrokenPipeError:
        # The reader of our output is gone (`| head -1`): that is how such a run ends, not a
        # failure. Python would report the failed flush of stdout at exit once more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    return status


def program() -> int:
    """`main` as the process: Ctrl-C ends it at once, and so does its end while a worker thread
    still fetches."""
    interrupts.leave_on_interrupt()
    status = main()
    if interrupts.worker_threads():
        interrupts.leave(status)
    return status
