"""Log set-up: loguru to stderr, one line per event, with standard logging routed into it."""

import logging
import sys

from loguru import logger

# Level names by -q/-v count: loguru carries the commands' own lines, the standard
# logging level applies to libraries (ib_async reports every gateway notice at info).
_OWN_LEVELS = {-1: "WARNING", 0: "INFO", 1: "DEBUG"}
_LIBRARY_LEVELS = {-1: logging.ERROR, 0: logging.WARNING, 1: logging.INFO, 2: logging.DEBUG}


def _one_line(record) -> str:
    # Exception texts (pandas ones in particular) can span lines; a log line must not.
    record["extra"]["line"] = " ".join(record["message"].split("\n"))
    return "<green>{time:HH:mm:ss}</green> <level>{level: <7}</level> {extra[line]}\n{exception}"


class _ToLoguru(logging.Handler):
    """Hands each standard logging record to loguru, named after its logger."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            level: str | int = logger.level(record.levelname).name
        except ValueError:
            level = record.levelno
        logger.opt(exception=record.exc_info).log(level, "{}: {}", record.name, record.getMessage())


def configure(verbosity: int) -> None:
    """Send all log lines to stderr; `verbosity` is the -v count minus the -q count."""
    own = _OWN_LEVELS[max(-1, min(verbosity, 1))]
    logger.remove()
    logger.add(sys.stderr, level=own, format=_one_line, backtrace=False, diagnose=False)
    logging.basicConfig(handlers=[_ToLoguru()], level=_LIBRARY_LEVELS[max(-1, min(verbosity, 2))], force=True)
