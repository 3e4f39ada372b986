"""What is drawn over the candles: moving averages, VWAP, the previous close, and the account's fills.

Everything here is worked out from the bars as charted (after --rth and --tz), one value per
bar, so the picture and the terminal chart draw the same lines.
"""

from dataclasses import dataclass
from typing import TYPE_CHECKING

from korvanta.sessions import Market

from .candles import is_intraday, session_days

if TYPE_CHECKING:
    import pandas as pd

SMA_COLOURS = ("#fb8c00", "#6d4c41", "#9e9d24")
EMA_COLOURS = ("#00acc1", "#8e24aa", "#c2185b")
VWAP_COLOUR = "#3949ab"
PREVIOUS_CLOSE_COLOUR = "#616161"
BUY_COLOUR = "#1e88e5"
SELL_COLOUR = "#d81b60"


@dataclass(frozen=True)
class Overlays:
    """The overlays asked for: simple and exponential moving averages of these lengths, VWAP, the
    previous close, the fills."""

    ma: tuple[int, ...] = ()
    ema: tuple[int, ...] = ()
    vwap: bool = False
    prev_close: bool = False
    fills: bool = False

    def __bool__(self) -> bool:
        return bool(self.ma or self.ema or self.vwap or self.prev_close or self.fills)

    def words(self) -> list[str]:
        """The options that ask for these overlays, for messages."""
        words = [f"--{name} {','.join(map(str, lengths))}" for name, lengths in (("ma", self.ma), ("ema", self.ema))
                 if lengths]
        switches = {"--vwap": self.vwap, "--prev-close": self.prev_close, "--fills": self.fills}
        return words + [word for word, on in switches.items() if on]


@dataclass(frozen=True)
class Line:
    """One value per bar (NaN where there is none), drawn as a line across the candles."""

    label: str
    colour: str
    values: "pd.Series"
    dashed: bool = False


@dataclass(frozen=True)
class Mark:
    """A fill on the chart: on the bar it happened in, at its price."""

    position: int
    price: float
    buy: bool


def moving_averages(close: "pd.Series", overlays: Overlays) -> list[Line]:
    lines = [Line(f"MA {n}", SMA_COLOURS[i % len(SMA_COLOURS)], close.rolling(n, min_periods=n).mean())
             for i, n in enumerate(overlays.ma)]
    lines += [Line(f"EMA {n}", EMA_COLOURS[i % len(EMA_COLOURS)],
                   close.ewm(span=n, adjust=False, min_periods=n).mean())
              for i, n in enumerate(overlays.ema)]
    return lines


def vwap(bars: "pd.DataFrame", market: Market) -> "pd.Series":
    """The volume-weighted average price from each session's first bar on.

    A bar's own average price (the gateway's WAP) stands for its trades where the source gives
    one; otherwise the bar's typical price (high + low + close) / 3.
    """
    typical = (bars["high"] + bars["low"] + bars["close"]) / 3
    price = bars["average"].fillna(typical) if "average" in bars else typical
    volume = bars["volume"].fillna(0.0)
    days = session_days(bars.index, market)
    traded = (price * volume).groupby(days).cumsum()
    total = volume.groupby(days).cumsum()
    return (traded / total.where(total > 0)).astype(float)


def session_breaks(values: "pd.Series", market: Market) -> "pd.Series":
    """`values` with a gap at each session's first bar after the first session: a line that
    restarts each session (VWAP) is drawn apart, not joined by a stroke across the night that
    would read as a price move."""
    days = session_days(values.index, market)
    starts = days[1:] != days[:-1]
    return values.mask([False, *starts])


def previous_closes(bars: "pd.DataFrame", market: Market, before_first: float | None) -> "pd.Series":
    """Each bar's previous close: for daily bars, the close before the last bar, across the chart;
    for intraday bars, the last regular-hours close of the trading day before each bar's own
    (`before_first` for the first day, which the bars do not reach back before)."""
    import pandas as pd

    from korvanta.sessions import in_sessions

    if not is_intraday(bars.index):
        last = bars["close"].iloc[-2] if len(bars.index) > 1 else float("nan")
        return pd.Series(last, index=bars.index, dtype=float)
    days = pd.Series(session_days(bars.index, market), index=bars.index)
    regular = bars["close"][in_sessions(bars.index, market)]
    # A day without regular-hours bars (a chart of the evening only) closes with its last bar.
    closes = bars["close"].groupby(days.to_numpy()).last()
    closes.update(regular.groupby(days[regular.index].to_numpy()).last())
    before = closes.shift(1)
    if before_first is not None and len(before.index):
        before.iloc[0] = before_first
    return days.map(before).astype(float)


def overlay_lines(bars: "pd.DataFrame", overlays: Overlays, market: Market,
                  previous_close: float | None = None) -> list[Line]:
    """The lines `overlays` asks for over `bars` (as charted: the ones with prices); VWAP only for
    intraday bars."""
    lines = moving_averages(bars["close"], overlays)
    if overlays.vwap and is_intraday(bars.index):
        lines.append(Line("VWAP", VWAP_COLOUR, session_breaks(vwap(bars, market), market)))
    if overlays.prev_close:
        lines.append(Line("prev close", PREVIOUS_CLOSE_COLOUR, previous_closes(bars, market, previous_close),
                          dashed=True))
    return lines


def fill_marks(bars: "pd.DataFrame", fills: "pd.DataFrame", bar_seconds: int, market: Market) -> list[Mark]:
    """The fills (`time` aware, `price`, `buy`) that happened within the charted bars (the ones with
    prices), each on its bar, by the bar's position.

    An intraday fill belongs to the bar whose span holds its time; on a daily chart, to the bar of
    its trading day.
    """
    import numpy as np
    import pandas as pd

    if fills.empty or bars.empty:
        return []
    times = pd.DatetimeIndex(fills["time"])
    if is_intraday(bars.index):
        starts = bars.index.tz_convert("UTC").asi8
        at = times.tz_convert("UTC").as_unit(bars.index.unit).asi8
        slot = np.searchsorted(starts, at, side="right") - 1
        span = pd.Timedelta(seconds=bar_seconds).as_unit(bars.index.unit).value
        inside = (slot >= 0) & (at < starts[np.clip(slot, 0, None)] + span)
    else:
        positions = {day: i for i, day in enumerate(bars.index)}
        found = [positions.get(day, -1) for day in session_days(times, market)]
        slot = np.array(found, dtype=int)
        inside = slot >= 0
    return [Mark(int(position), float(price), bool(buy))
            for position, price, buy, keep in zip(slot, fills["price"], fills["buy"], inside) if keep]
