"""Showing a result that its command returned without printing it, and the titles of bar results."""

import sys
from typing import Any

from quodra import frame


def _adjust_keywords() -> Any:
    # The adjust words are kline's own table; a result with an adjust word came from kline.
    return getattr(sys.modules.get("korvanta.cmds.quotes.kline"), "ADJUST_KEYWORDS", ())


def bars_title(result: dict) -> str:
    """AAPL day (5 bars), AAPL day 2025-01-01 ~ 2025-06-01 (102 bars) (adjusted), AAPL Intraday (390 bars) ..."""
    parts = [str(result.get("symbol", "")), str(result.get("period") or str(result.get("type", "")).title())]
    if "start" in result:
        parts.append(f"{result['start']} ~ {result.get('end')}")
    parts.append(f"({len(result['bars'])} bars)")
    if result.get("adjust") in _adjust_keywords():
        parts.append("(adjusted)")
    return " ".join(part for part in parts if part)


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
