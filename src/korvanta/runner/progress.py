"""A progress bar on stderr for fetches of many pages, where stderr is a terminal.

One live display serves every fetch that runs at a time (the symbols of a watchlist), a line
each, and goes without a trace when the last one ends. In a pipe or a file there is none:
there a fetch says what it does in its log lines. Log lines written while it shows go above
it: rich takes sys.stderr over meanwhile, and the log sink writes to whatever sys.stderr is.

The display is redrawn from the event loop, never from a thread of its own: Ctrl-C ends the
program in its signal handler, on the loop's thread, which takes the display down first (the
terminal gets its cursor back) and then writes its one line.
"""

import asyncio
import os
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager

from rich.console import Console
from rich.progress import BarColumn, Progress, ProgressColumn, Task, TaskID, TaskProgressColumn, TextColumn
from rich.text import Text

from . import interrupts

REDRAW_EVERY = 0.25


class _Clock(ProgressColumn):
    """The fetch's time so far, or the pacing wait left while it waits."""

    def render(self, task: Task) -> Text:
        left = task.fields.get("until", 0.0) - time.monotonic()
        if left > 0:
            minutes, seconds = divmod(int(left + 0.999), 60)
            return Text(f"waiting {minutes}:{seconds:02d}", style="progress.remaining")
        minutes, seconds = divmod(int(task.elapsed or 0), 60)
        return Text(f"{minutes}:{seconds:02d}", style="progress.elapsed")


class PageProgress:
    """One fetch's line. This one shows nothing: stderr is no terminal."""

    def page(self, number: int, pages: int | None, bars: int, done: float | None) -> None:
        """Page `number` (of `pages`, when known) is in; `bars` held so far; `done` the share of
        the window covered (None: unknown)."""

    def waiting(self, seconds: float) -> None:
        """A pacing wait of `seconds` begins."""


class _Line(PageProgress):
    def __init__(self, display: "_Display", task: TaskID):
        self.display = display
        self.task = task

    def page(self, number: int, pages: int | None, bars: int, done: float | None) -> None:
        of = f"page {number}/{pages}" if pages else f"page {number}"
        self.display.progress.update(self.task, completed=done, total=None if done is None else 1.0,
                                     pages=of, bars=f"{bars:,} bars")
        self.display.redraw()

    def waiting(self, seconds: float) -> None:
        self.display.progress.update(self.task, until=time.monotonic() + seconds)
        self.display.redraw()


class _Display:
    """The live display while any fetch shows a line."""

    def __init__(self, loop: asyncio.AbstractEventLoop):
        self.loop = loop
        self.progress = Progress(
            TextColumn("{task.description}"), BarColumn(bar_width=20), TaskProgressColumn(),
            TextColumn("{task.fields[pages]}"), TextColumn("{task.fields[bars]}"), _Clock(),
            console=Console(file=sys.stderr, soft_wrap=True), auto_refresh=False, transient=True,
            redirect_stdout=False, redirect_stderr=True)
        self.lines = 0
        self.timer: asyncio.TimerHandle | None = None

    def start(self) -> None:
        self.progress.start()
        interrupts.displays.add(self.take_down)
        self._tick()

    def stop(self) -> None:
        interrupts.displays.discard(self.take_down)
        if self.timer is not None:
            self.timer.cancel()
        self.progress.stop()

    def redraw(self) -> None:
        self.progress.refresh()

    def _tick(self) -> None:
        self.redraw()
        self.timer = self.loop.call_later(REDRAW_EVERY, self._tick)

    def take_down(self) -> None:
        """Erase the display and show the cursor, straight to the terminal: called in the
        signal handler, where rich may be half-way through a redraw of its own."""
        erase = "\r\x1b[2K" + "\x1b[1A\x1b[2K" * max(0, self.lines - 1)
        os.write(2, f"{erase}\x1b[?25h".encode())


_display: _Display | None = None


def _terminal() -> bool:
    stream = sys.__stderr__
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


@contextmanager
def page_progress(title: str) -> Iterator[PageProgress]:
    """A progress line for one fetch of pages, titled `title`, on the terminal's stderr."""
    global _display
    if not _terminal() or sys.stderr is not sys.__stderr__ and _display is None:
        # stderr is no terminal, or someone else holds it (a test capturing it)
        yield PageProgress()
        return
    if _display is None:
        _display = _Display(asyncio.get_running_loop())
        _display.start()
    display = _display
    task = display.progress.add_task(title, total=None, pages="", bars="")
    display.lines += 1
    try:
        yield _Line(display, task)
    finally:
        display.progress.remove_task(task)
        display.lines -= 1
        if display.lines == 0:
            _display = None
            display.stop()
        else:
            display.redraw()
