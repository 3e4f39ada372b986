"""The terminal view of bars kept current: per symbol its newest bars as a table (the bar still
forming marked ◂), the line saying where they come from and how current they are, and its
terminal chart, redrawn in place by rich's live display.

The view takes the terminal's height, shared by the symbols, and never more, so that a redraw
overwrites the last one instead of scrolling; a resized terminal is measured again at the next
redraw. It is redrawn when bars change, at most a few times a second, and once a second anyway
(a bar stops forming when its period ends, update or not). Log lines go above it while it
shows, as they do above a progress bar.

It is drawn from the event loop. Ctrl-C outside the shell ends the program in its signal
handler, which leaves the last picture standing and gives the terminal its cursor back.
"""

import asyncio
import datetime as dt
import os
import shutil
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from rich.console import Console, Group, RenderableType
from rich.live import Live
from rich.table import Table
from rich.text import Text

from korvanta.sessions import session_at

from . import interrupts
from . import settings as result_settings
from .display import bars_title
from .live_bars import LiveBars
from .origin import Origin, origin_of
from .results import CHART_LINES, chart_parts

if TYPE_CHECKING:
    from .bar_feed import BarFeed
    from .chart_inputs import ChartInputs

REDRAW_EVERY = 0.25  # at most four redraws a second
REFRESH_EVERY = 1.0
FORMING = "◂"
# Lines of a symbol's block besides its rows and chart: title, column names, the line under them.
_FIXED_LINES = 3
# The fewest lines a terminal chart takes (its title and two panels); with less room, none is drawn.
_SHORTEST_CHART = 13


@dataclass
class Watched:
    """One symbol of the view: its bars, the feed keeping them current, and its chart's inputs
    (None: no chart)."""

    live: LiveBars
    feed: "BarFeed | None" = None
    chart: "ChartInputs | None" = None
    _drawn: dict = field(default_factory=dict)  # the last chart drawn, by what it was drawn of


def _cell(value: Any) -> str:
    if value is None or value != value:
        return ""
    return format(value, ".10g") if isinstance(value, float) else str(value)


def _when(moment: dt.datetime) -> str:
    return moment.astimezone().strftime("%H:%M:%S")


class LiveView:
    """The live display of the `watched` symbols, as the settings `wanted` show bars."""

    def __init__(self, watched: Sequence[Watched], wanted: result_settings.ResultSettings):
        self.watched = list(watched)
        self.wanted = wanted
        self.console = Console(file=sys.stdout)
        self.live: Live | None = None
        self._changed = asyncio.Event()

    def changed(self, live: LiveBars, starts: Sequence[Any]) -> None:
        self._changed.set()

    async def run(self) -> None:
        """Show the view and keep redrawing it until cancelled; the last picture stays."""
        stderr = sys.stderr
        self.live = Live(self.render(), console=self.console, auto_refresh=False, transient=False,
                         vertical_overflow="crop", redirect_stdout=False,
                         redirect_stderr=stderr is not None and stderr.isatty())
        self.live.start(refresh=True)
        interrupts.displays.add(self.take_down)
        try:
            while True:
                try:
                    await asyncio.wait_for(self._changed.wait(), REFRESH_EVERY)
                except TimeoutError:
                    pass
                self._changed.clear()
                self.live.update(self.render(), refresh=True)
                await asyncio.sleep(REDRAW_EVERY)
        finally:
            interrupts.displays.discard(self.take_down)
            self.live.stop()

    def take_down(self) -> None:
        """Leave the last picture where it stands and give the terminal its cursor back, straight
        to the terminal: called in the signal handler, maybe in the middle of a redraw."""
        os.write(1, b"\r\n\x1b[?25h")

    # ---- drawing

    def render(self) -> RenderableType:
        columns, lines = shutil.get_terminal_size()
        count = len(self.watched)
        # a blank line between symbols, and the last line left for the cursor
        share = max(_FIXED_LINES + 1, (lines - 1 - (count - 1)) // count)
        parts: list[RenderableType] = []
        for i, watched in enumerate(self.watched):
            if i:
                parts.append(Text(""))
            parts.extend(self._block(watched, columns, share))
        return Group(*parts)

    def _block(self, watched: Watched, width: int, height: int) -> list[RenderableType]:
        wanted = self.wanted
        frame = watched.live.view(tz=wanted.tz, rth=wanted.rth)
        room = height - _FIXED_LINES
        chart_lines = 0
        if watched.chart is not None and room - 1 >= _SHORTEST_CHART:
            # the table a third of the room, the chart the rest (as tall as the terminal would have it)
            rows = max(1, min(len(frame.index), room // 3, room - _SHORTEST_CHART))
            chart_lines = min(CHART_LINES[1], room - rows)
        rows = max(1, room - chart_lines)
        if isinstance(wanted.rows, int):
            rows = min(rows, wanted.rows)
        shown = frame.iloc[-rows:] if rows < len(frame.index) else frame
        out: list[RenderableType] = [self._title(watched, frame, len(shown.index), chart_lines > 0),
                                     self._table(shown, frame.attrs.get("forming")),
                                     Text(self._status(watched, frame))]
        if chart_lines and len(frame.index):
            out.append(self._chart(watched, frame, width, chart_lines))
        return out

    def _title(self, watched: Watched, frame: Any, shown: int, charted: bool) -> Text:
        title = bars_title(watched.live.result, len(frame.index))
        if shown < len(frame.index):
            title += f" (the last {shown})"
        if watched.chart is not None and not charted:
            title += " (no room for the chart)"
        if frame.attrs.get("forming") is not None:
            title += f"  {FORMING} forming"
        notes = []
        if self.wanted.tz:
            notes.append(f"times {frame.index.tz}")
        if self.wanted.rth:
            notes.append("regular hours")
        return Text(title + "".join(f" [{note}]" for note in notes), style="bold")

    def _table(self, shown: Any, forming: Any) -> Table:
        # One blank between columns, as pandas prints a table: at 80 columns the bars fit unwrapped.
        table = Table(box=None, padding=(0, 0, 0, 1), pad_edge=False, show_edge=False, header_style="bold")
        table.add_column("date", no_wrap=True)
        for column in shown.columns:
            table.add_column(column, justify="right", no_wrap=True)
        table.add_column("", width=1, no_wrap=True)
        for start, values in zip(shown.index, shown.itertuples(index=False)):
            now_forming = forming is not None and start == forming
            table.add_row(start.strftime("%Y-%m-%d %H:%M"), *map(_cell, values), FORMING if now_forming else "",
                          style="bold" if now_forming else None)
        return table

    def _status(self, watched: Watched, frame: Any) -> str:
        origin = origin_of(watched.live.result)
        first = last = None
        if len(frame.index):
            first, last = frame.index[0], frame.index[-1]
            # the second time without its date where both share it, so the line fits 80 columns
            first, last = first.strftime("%Y-%m-%d %H:%M"), last.strftime(
                "%H:%M" if last.date() == first.date() else "%Y-%m-%d %H:%M")
        feed = watched.feed
        # Once the gateway answered, the bars shown are its own (its answer takes the place of
        # the ones first shown, from the cache or yfinance).
        source = "gateway" if origin is None or (feed is not None and feed.subscribed) else origin.source
        said = Origin(source, first, last).line()
        if feed is not None and feed.status != "live":
            return f"{said} · {feed.status}"
        if session_at(watched.live.kind.market, dt.datetime.now(dt.UTC), extended=True) is None:
            return f"{said} · market closed"
        if watched.live.updated is None:
            return f"{said} · no update yet"
        return f"{said} · updated {_when(watched.live.updated)}"

    def _chart(self, watched: Watched, frame: Any, width: int, height: int) -> Text:
        answered = watched.feed is not None and watched.feed.subscribed > 0
        # the title names the gateway once it answered, even where its answer changed no bar
        key = (watched.live.version, answered, width, height)
        if key not in watched._drawn:
            result = watched.live.result
            if answered:
                result = {**result, "source": "ibkr", "cached": False}
            parts = chart_parts(result, frame, self.wanted, watched.chart)
            watched._drawn = {key: Text.from_ansi(parts.terminal(width, height).rstrip("\n"))}
        return watched._drawn[key]
