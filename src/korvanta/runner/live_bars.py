"""A kline result's bars kept current from the gateway's updates: the bar forming as it grows,
and each new bar as it begins.

The bars are held as a frame of the records' schema (records.kline_frame), in the exchange's
zone, whatever the settings show: each update replaces the bar with its start or adds a newer
one, and a result of the latest N bars keeps N, the oldest leaving as a new one comes. A
subscription's first answer is taken the same way, which also fills in what a reconnection
missed. Nothing here is stored anywhere: the bar cache keeps what kline fetched, never a bar
still forming.
"""

import datetime as dt
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any

from korvanta.sessions import bar_forming

from .records import kline_frame, regular_hours
from .schema import BAR_COLUMNS, TIME_UNIT, bar_kind, canonical_zone

if TYPE_CHECKING:
    import pandas as pd
    from ib_async import BarData

_VALUES = BAR_COLUMNS[1:]


class LiveBars:
    """The bars of one kline result (`result`), as the updates leave them.

    `keep`: how many bars the result holds at most (its count, for the latest N bars), None for
    a result that grows (today's curve, a date range up to today).
    """

    def __init__(self, result: Mapping[str, Any], *, keep: int | None):
        import pandas as pd

        self.result = dict(result)
        self.kind = bar_kind(result)
        self.keep = keep
        frame = kline_frame(result)
        if not isinstance(frame.index, pd.DatetimeIndex):
            raise ValueError("only intraday bars are kept current")
        self.attrs = dict(frame.attrs)
        self.zone = frame.index.tz
        self.frame = frame.reindex(columns=list(_VALUES))
        self.updated: dt.datetime | None = None  # the last update that changed a bar
        self.version = 0  # counts the changes, for views that redraw only what changed

    @property
    def symbol(self) -> str:
        return str(self.result.get("symbol", ""))

    def take(self, bars: Iterable["BarData"]) -> list["pd.Timestamp"]:
        """Take the gateway's bars (updates, or a first answer); the starts of the bars that
        changed or came in, oldest first. A bar older than the first one held is left out."""
        import pandas as pd

        changed = []
        frame = self.frame
        for bar in bars:
            start = pd.Timestamp(bar.date)
            if start.tzinfo is None:
                # ib_async reads a time without a zone as local time, as it does for every request
                start = start.tz_localize(dt.datetime.now().astimezone().tzinfo)
            start = start.tz_convert(self.zone).as_unit(TIME_UNIT)
            values = [float(getattr(bar, column)) for column in _VALUES[:-1]] + [int(bar.barCount)]
            if len(frame.index) and start < frame.index[0]:
                continue
            if start in frame.index:
                if list(frame.loc[start]) == values:
                    continue
                frame.loc[start, list(_VALUES)] = values
            else:
                row = pd.DataFrame([values], columns=list(_VALUES), index=pd.DatetimeIndex([start], name="date"))
                frame = pd.concat([frame, row.astype(frame.dtypes.to_dict())]).sort_index()
            changed.append(start)
        if self.keep is not None and len(frame.index) > self.keep:
            frame = frame.iloc[-self.keep:]
        self.frame = frame
        if changed:
            self.updated = dt.datetime.now(dt.UTC)
            self.version += 1
        return sorted(set(changed) & set(frame.index))

    def forming(self, now: dt.datetime | None = None) -> "pd.Timestamp | None":
        """The start of the bar still forming at `now` (default: the clock's now): the newest,
        while its period runs and the market trades; None when every bar is finished."""
        if not len(self.frame.index):
            return None
        now = now or dt.datetime.now(dt.UTC)
        last = self.frame.index[-1]
        return last if bar_forming(self.kind.market, last.to_pydatetime(), self.kind.seconds, now) else None

    def view(self, *, tz: str | None = None, rth: bool = False, only: Iterable["pd.Timestamp"] | None = None,
             now: dt.datetime | None = None) -> "pd.DataFrame":
        """The bars as the records' schema shows them (`tz`, `rth`), or only the bars starting at
        `only`; `attrs` hold the result's fields, with `forming` (the start of the bar still
        forming, in the frame's zone, or None) and `updated` (when an update last changed a bar)."""
        frame = self.frame if only is None else self.frame.loc[list(only)]
        if tz is not None:
            frame = frame.tz_convert(canonical_zone(tz))
        if rth:
            frame = regular_hours(frame, self.result)
        frame = frame.copy()
        forming = self.forming(now)
        frame.attrs = {**self.attrs, "count": len(self.frame.index), "regularHours": rth,
                       "timezone": canonical_zone(frame.index.tz),
                       "forming": None if forming is None or forming not in frame.index else
                       forming.tz_convert(frame.index.tz),
                       "updated": self.updated}
        return frame
