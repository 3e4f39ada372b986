"""Leaving the program at once: on Ctrl-C, and when a worker thread would hold up the exit.

A yfinance fetch runs in a worker thread that nothing can stop; the event loop's shutdown and
the interpreter's exit would both wait for it, for as long as the fetch takes. And a
KeyboardInterrupt has to travel through whatever runs when it arrives (an import, a command
coroutine, the loop's cancellation) before anything can answer it. So, outside the
interactive shell, Ctrl-C is answered in the signal handler itself: one line, status 130.
"""

import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, nullcontext
from typing import NoReturn

INTERRUPTED = 130

# Files begun and not yet complete (see output.atomic_path): leaving at once skips their
# writers' own clean-up, so the exit on Ctrl-C removes them.
unfinished: set[str] = set()

# Live displays on the terminal (progress bars): leaving at once takes each down first, so the
# terminal gets its cursor back and the line "Interrupted" stands alone.
displays: set[Callable[[], None]] = set()


def _flush(*, waiting: bool = True) -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                with _not_waiting(stream.fileno()) if not waiting else nullcontext():
                    stream.flush()
        except (OSError, ValueError, RuntimeError):
            # RuntimeError: the signal arrived inside a write to this very stream.
            pass


@contextmanager
def _not_waiting(fd: int) -> Iterator[None]:
    """Writes to `fd` take what a pipe or file accepts now and fail for the rest: a reader
    that stopped reading (`| less`, paused) must not hold up the exit. A terminal is left
    alone, its mode is the login shell's too."""
    try:
        change = not os.isatty(fd) and os.get_blocking(fd)
    except OSError:
        change = False
    if change:
        os.set_blocking(fd, False)
    try:
        yield
    finally:
        if change:
            os.set_blocking(fd, True)


def leave(status: int) -> NoReturn:
    """End the process with `status` now, after flushing what is written."""
    _flush()
    os._exit(status)


def worker_threads() -> list[threading.Thread]:
    """Threads other than this one that the interpreter's exit would wait for."""
    return [t for t in threading.enumerate()
            if t is not threading.current_thread() and not t.daemon and t.is_alive()]


def interrupted(*_signal_args) -> NoReturn:
    """Ctrl-C, in any phase: the line "Interrupted" on stderr, then status 130 at once."""
    # Not imported here: the signal may arrive in the middle of the imports, this one's
    # included, when the module is in sys.modules without its names yet.
    logs = sys.modules.get(f"{__package__}.logs")
    _flush(waiting=False)
    # Written past the logger and the stream's buffer: the signal may have arrived while
    # either was busy, and both hold locks.
    prefix = time.strftime("%H:%M:%S WARNING ") if getattr(logs, "configured", False) else ""
    for take_down in list(displays):
        try:
            take_down()
        except Exception:
            pass
    try:
        with _not_waiting(2):
            os.write(2, f"{prefix}Interrupted\n".encode())
    except OSError:
        pass
    for path in list(unfinished):
        try:
            os.unlink(path)
        except OSError:
            pass
    os._exit(INTERRUPTED)


def leave_on_interrupt() -> None:
    """From now on, Ctrl-C ends the program at once (the one-shot command, a script on stdin)."""
    signal.signal(signal.SIGINT, interrupted)


def interrupt_in_place() -> None:
    """From now on, Ctrl-C raises KeyboardInterrupt where it lands (the interactive shell: it
    cancels the running command, or clears the line being typed)."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
