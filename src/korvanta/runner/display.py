"""Showing a result that its command returned without printing it, and the titles of bar results."""

import sys
from typing import TYPE_CHECKING, Any

from quodra import frame

if TYPE_CHECKING:
    import pandas as pd


def _adjust_keywords() -> Any:
    # The adjust words are kline's own table; a result with an adjust word came from kline.
    return getattr(sys.modules.get("korvanta.cmds.quotes.kline"), "ADJUST_KEYWORDS", ())


def bars_title(result: dict, count: int | None = None) -> str:
    """AAPL day (5 bars), AAPL day 2025-01-01 ~ 2025-06-01 (102 bars) (adjusted), AAPL Intraday (390 bars) ...

    `count`: the bars shown, when not all of the result's.
    """
    parts = [str(result.get("symbol", "")), str(result.get("period") or str(result.get("type", "")).title())]
    if "start" in result:
        parts.append(f"{result['start']} ~ {result.get('end')}")
    parts.append(f"({len(result['bars']) if count is None else count} bars)")
    if result.get("adjust") in _adjust_keywords():
        parts.append("(adjusted)")
    return " ".join(part for part in parts if part)


def show_bars(result: dict, bars: "pd.DataFrame", printed_before: int) -> None:
    """Print bars that the settings reshaped (--rth, --tz) in place of the table kline printed
    (held back while it ran): their times as wall times of the zone the title names."""
    import pandas as pd

    table = bars.reset_index()
    notes = ["yfinance"] if result.get("source") == "yfinance" else []
    if isinstance(bars.index, pd.DatetimeIndex):
        table["date"] = table["date"].dt.tz_localize(None)
        notes.append(f"times {bars.index.tz}")
        if bars.attrs.get("regularHours"):
            notes.append("regular hours")
    title = bars_title(result, len(bars.index)) + "".join(f" [{note}]" for note in notes)
    if frame.printed == printed_before:
        title += " [cached]"
    frame.printFrame(table.convert_dtypes(), title)


def show_unprinted(result: Any, printed_before: int) -> None:
    """Print the bars of a successful result when its command printed no frame since `printed_before`.

    kline prints every fresh fetch but answers from the bar cache silently, so a repeated
    request would otherwise show nothing at all.
    """
    if frame.printed != printed_before or not isinstance(result, dict):
        return
    bars = result.get("bars")
    if not isinstance(bars, list) or "error" in result:
        return
    title = bars_title(result) + " [cached]"
    if bars:
        import pandas as pd

        # The command prints its fresh bars from a convert_dtypes frame; the same types print
        # the same cells (a float64 column would pad 285.5 to 285.5000 beside 286.0233).
        frame.printFrame(pd.DataFrame.from_records(bars).convert_dtypes(), title)
    else:
        print(title, flush=True)
