"""Showing a result that its command returned without printing it."""

from typing import Any

import pandas as pd

from quodra import frame


def bars_title(result: dict) -> str:
    """AAPL day (5 bars) [cached], AAPL day 2025-01-01 ~ 2025-06-01 (102 bars) [cached], ..."""
    parts = [str(result.get("symbol", "")), str(result.get("period") or str(result.get("type", "")).title())]
    if "start" in result:
        parts.append(f"{result['start']} ~ {result.get('end')}")
    parts.append(f"({len(result['bars'])} bars) [cached]")
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
    if bars:
        frame.printFrame(pd.DataFrame.from_records(bars), bars_title(result))
    else:
        print(bars_title(result), flush=True)
