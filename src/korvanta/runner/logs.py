"""Log set-up: loguru to stderr, one line per event, with standard logging routed into it.

While a command runs, the error lines logged on its way (by the command, or by a library it
uses) are held back: a failed command is reported in one line that sums them up (see
`failures`), a command that succeeded in the end leaves them to -v. The command modules' own
progress lines (which path, which request, cache hits) also show only with -v: the runner
says in its own line where the bars came from.
"""

import logging
import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from types import ModuleType

from loguru import logger

# By -q/-v count. loguru carries the toolkit's own lines; the standard logging levels apply
# to libraries. The gateway client's lines (every fill, the account number) come only with
# -vv: the runner reports the gateway's errors that matter itself, in one line each.
_OWN_LEVELS = {-1: "WARNING", 0: "INFO", 1: "DEBUG", 2: "DEBUG"}
_LIBRARY_LEVELS = {-1: logging.ERROR, 0: logging.WARNING, 1: logging.WARNING, 2: logging.DEBUG}
_CLIENT_LOGGERS = ("ib_async", "eventkit")
# yfinance warns of each step it retries (the cookie, the crumb) on the way to a failure that
# kline reports itself; its errors (a delisted symbol, say) still show, its warnings with -v.
_YFINANCE_LEVELS = {-1: logging.ERROR, 0: logging.ERROR, 1: logging.WARNING, 2: logging.DEBUG}
_SILENT = logging.CRITICAL + 1

# Commands log the words and symbols they were given as typed; one pasted by mistake may be
# megabytes long. Any run of characters without a blank longer than this is cut.
LONGEST_WORD = 120
_LONG_WORD = re.compile(r"\S{%d,}" % (LONGEST_WORD + 1))


def cut_long_words(text: str) -> str:
    return _LONG_WORD.sub(lambda m: f"{m[0][:LONGEST_WORD - 20]}…[{len(m[0])} characters]", text)


def _one_line(record) -> str:
    # Exception texts (pandas ones in particular) can span lines; a log line must not.
    record["extra"]["line"] = cut_long_words(" ".join(record["message"].split("\n")))
    return "<green>{time:HH:mm:ss}</green> <level>{level: <7}</level> {extra[line]}\n{exception}"


# The error lines (loguru records) logged while the command of this context runs; None outside one.
_held: ContextVar[list[dict] | None] = ContextVar("korvanta_held_errors", default=None)
_ERROR = logger.level("ERROR").no
_WARNING = logger.level("WARNING").no
# What the stderr sink shows: everything (with -v), or not what a command holds back.
_everything = False


@contextmanager
def holding_errors() -> Iterator[list[dict]]:
    """While the block runs (a command), its error lines go into the list yielded, not to stderr.

    Only lines of this context are taken: those of the command's task and of the worker
    threads it starts (which copy its context).
    """
    held: list[dict] = []
    token = _held.set(held)
    sink = logger.add(lambda message: held.append(message.record), level="ERROR", format="{message}",
                      filter=lambda record: _held.get() is held)
    try:
        yield held
    finally:
        logger.remove(sink)
        _held.reset(token)


def _shown(record) -> bool:
    if _everything:
        return True
    level = record["level"].no
    if level < _WARNING and record["extra"].get("command"):
        return False
    return not (level >= _ERROR and _held.get() is not None)


def bind_command_logger(module: ModuleType, word: str) -> None:
    """Have a command module log through a logger that marks its lines as the command's own.

    The modules look their `logger` up in their namespace at each call, which is what lets
    the host hand them this one.
    """
    if getattr(module, "logger", None) is logger:
        module.logger = logger.bind(command=word)


def _add_stderr(level: str) -> None:
    if sys.stderr is not None:  # `2>&-`: nowhere to log to
        logger.add(_CurrentStderr(), level=level, format=_one_line, filter=_shown, backtrace=False, diagnose=False,
                   colorize=_colours(sys.stderr))


class _ToLoguru(logging.Handler):
    """Hands each standard logging record to loguru, named after its logger (also as `library`)."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            level: str | int = logger.level(record.levelname).name
        except ValueError:
            level = record.levelno
        logger.bind(library=record.name).opt(exception=record.exc_info).log(
            level, "{}: {}", record.name, record.getMessage())


class _CurrentStderr:
    """sys.stderr as it is at each line: a progress bar takes it over while it shows, to keep
    log lines above itself."""

    def write(self, text: str) -> None:
        if sys.stderr is not None:
            sys.stderr.write(text)

    def flush(self) -> None:
        if sys.stderr is not None:
            sys.stderr.flush()


def _colours(stream) -> bool:
    """Whether loguru colours lines for `stream`, by its own rule for a stream given directly."""
    try:
        from loguru._colorama import should_colorize
    except ImportError:
        return stream.isatty()
    return should_colorize(stream)


configured = False


def configure(verbosity: int) -> None:
    """Send all log lines to stderr; `verbosity` is the -v count minus the -q count."""
    global configured, _everything
    verbosity = max(-1, min(verbosity, 2))
    logger.remove()
    _everything = verbosity >= 1
    _add_stderr(_OWN_LEVELS[verbosity])
    logging.basicConfig(handlers=[_ToLoguru()], level=_LIBRARY_LEVELS[verbosity], force=True)
    for name in _CLIENT_LOGGERS:
        logging.getLogger(name).setLevel(logging.DEBUG if verbosity >= 2 else _SILENT)
    logging.getLogger("yfinance").setLevel(_YFINANCE_LEVELS[verbosity])
    configured = True


def warnings_only_by_default() -> None:
    """For the Python API: loguru's own stderr sink, which shows every line down to debug, becomes
    the runner's at warning level, and standard logging, where nothing has set it up, goes into
    it too (a library's error lines are then summed up with the command's), but for the gateway
    client library's, which the commands say in their own words. A program that has set up
    loguru or logging already keeps its set-up; `configure` asks for more (0: info lines, 1:
    debug lines, 2: the gateway client library's too)."""
    try:
        logger.remove(0)  # loguru's default sink; gone once anyone has set loguru up
    except ValueError:
        return
    _add_stderr("WARNING")
    logging.basicConfig(handlers=[_ToLoguru()], level=logging.WARNING)
    # As in the runner: the gateway's errors that matter are said by the commands, in their words.
    for name in _CLIENT_LOGGERS:
        if logging.getLogger(name).level == logging.NOTSET:
            logging.getLogger(name).setLevel(_SILENT)
