"""Log set-up: loguru to stderr, one line per event, with standard logging routed into it."""

import logging
import re
import sys

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


class _ToLoguru(logging.Handler):
    """Hands each standard logging record to loguru, named after its logger."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            level: str | int = logger.level(record.levelname).name
        except ValueError:
            level = record.levelno
        logger.opt(exception=record.exc_info).log(level, "{}: {}", record.name, record.getMessage())


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
    global configured
    verbosity = max(-1, min(verbosity, 2))
    logger.remove()
    if sys.stderr is not None:  # `2>&-`: nowhere to log to
        logger.add(_CurrentStderr(), level=_OWN_LEVELS[verbosity], format=_one_line, backtrace=False, diagnose=False,
                   colorize=_colours(sys.stderr))
    logging.basicConfig(handlers=[_ToLoguru()], level=_LIBRARY_LEVELS[verbosity], force=True)
    for name in _CLIENT_LOGGERS:
        logging.getLogger(name).setLevel(logging.DEBUG if verbosity >= 2 else _SILENT)
    logging.getLogger("yfinance").setLevel(_YFINANCE_LEVELS[verbosity])
    configured = True
