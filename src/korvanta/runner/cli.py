"""Command-line options and the program's entry: one command, or the shell without one."""

import argparse
import asyncio
import os
import sys
from collections.abc import Sequence

from loguru import logger

from . import logs
from .commands import load_command_modules, run_line
from .settings import add_options, use_options
from .shell import HELP_WORDS, run_shell, show_help
from .state import connect


def gateway_address(text: str) -> tuple[str, int] | None:
    """HOST:PORT (an IPv6 host in brackets) as a pair; empty text means no gateway."""
    if not text:
        return None
    host, sep, port = text.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"{text!r} is not HOST:PORT")
    return host, int(port)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="korvanta",
        description="Run one korvanta command, or, with none given, the interactive shell.",
        epilog="examples: korvanta kline AAPL day 100 | korvanta --gateway 127.0.0.1:4002 executions aapl :r",
    )
    p.add_argument("--gateway", metavar="HOST:PORT", type=gateway_address,
                   default=os.environ.get("KORVANTA_GATEWAY", ""),
                   help="IBKR gateway or TWS API address (default: $KORVANTA_GATEWAY; none: yfinance only)")
    p.add_argument("--client-id", metavar="N", type=int, default=os.environ.get("KORVANTA_CLIENT_ID", "1"),
                   help="API client id of the connection (default: $KORVANTA_CLIENT_ID or 1)")
    loudness = p.add_mutually_exclusive_group()
    loudness.add_argument("-v", "--verbose", action="count", default=0,
                          help="more log lines (twice: library debug lines too)")
    loudness.add_argument("-q", "--quiet", action="store_true", help="warnings and errors only")
    add_options(p)
    p.add_argument("words", nargs=argparse.REMAINDER, metavar="command [word ...]",
                   help="a command and its words, e.g. kline AAPL day 100")
    return p


def run(options: argparse.Namespace) -> int:
    """Load the commands, connect, then run the one command or the shell; the exit status."""
    load_command_modules()
    words = options.words
    # argparse keeps the "--" that separates options from a command with words like "-1".
    if words[:1] == ["--"]:
        words = words[1:]
    # Help needs no gateway, so it is answered before connecting.
    if words and words[0].lower() in HELP_WORDS:
        return 0 if show_help(words[1:]) else 1
    with asyncio.Runner() as runner:
        state = runner.run(connect(options.gateway, options.client_id))
        try:
            if words:
                return 0 if runner.run(run_line(words, state)) else 1
            return run_shell(runner, state)
        finally:
            state.close()


def main(argv: Sequence[str] | None = None) -> int:
    p = parser()
    options = p.parse_args(argv)
    use_options(p, options)
    logs.configure(options.verbose - options.quiet)
    try:
        return run(options)
    except KeyboardInterrupt:
        logger.warning("Interrupted")
        return 130
    except BrokenPipeError:
        # Python would report the failed flush of stdout at exit once more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1

