"""The records a command returned, as pandas frames of one schema: kline bars by date, execution fills as numbers."""

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

from .schema import bar_kind, bars_frame, canonical_zone, fills_in_zone

if TYPE_CHECKING:
    import pandas as pd

Kind = Literal["bars", "executions", "records"]

# Execution columns that the command returns in their display form ("15,729.00").
_SHOWN_NUMBERS = ("shares", "price", "total", "realizedPNL", "RPNL_each", "commission", "c_each",
                  "c_pct", "c_pct_RPNL", "dayProfit")
# Shown as "" for 0.
_SHOWN_IDS = ("clientId", "orderId")


def records_of(result: Any) -> tuple[Kind, list[Mapping]] | None:
    """What kind of records `result` holds, and the records; None when it holds none."""
    if isinstance(result, Mapping) and "error" not in result and isinstance(result.get("bars"), list):
        return "bars", result["bars"]
    if isinstance(result, list) and all(isinstance(row, Mapping) for row in result):
        # The execution table's rows; its summary rows are told apart by their conId of -1.
        if result and {"conId", "realizedPNL", "commission"} <= result[0].keys():
            return "executions", result
        return "records", result
    return None


def _shown_number(column: "pd.Series") -> "pd.Series":
    import pandas as pd

    return pd.to_numeric(column.astype(str).str.replace(",", "", regex=False), errors="coerce")


def executions_frame(rows: list[Mapping], *, tz: str | None = None) -> "pd.DataFrame":
    """One row per fill, in fill-time order, its money columns as numbers, its times in `tz` if given.

    The command returns its display table: money as text in display form, order and client id
    0 as "", and six summary rows after the fills. Here the summary rows are left out, the
    text becomes numbers again, and the per-share and ratio columns, which the display form
    rounds away (a commission ratio of 0.00002 shows as 0.0000), are worked out again from
    the columns they derive from.
    """
    import pandas as pd

    frame = pd.DataFrame.from_records(rows)
    frame = frame[frame["conId"] != -1].reset_index(drop=True)
    for column in _SHOWN_NUMBERS:
        if column in frame:
            frame[column] = _shown_number(frame[column])
    for column in _SHOWN_IDS:
        if column in frame:
            frame[column] = _shown_number(frame[column].replace("", "0")).astype("int64")
    for column in ("conId", "cumQty", "strike"):
        if column in frame:
            frame[column] = pd.to_numeric(frame[column])
    if "timestamp" in frame and len(frame.index):
        frame = fills_in_zone(frame, tz)
        frame.attrs["timezone"] = canonical_zone(frame["timestamp"].dt.tz)
    if {"commission", "shares", "total", "realizedPNL"} <= set(frame.columns):
        commission, shares, pnl = frame["commission"], frame["shares"], frame["realizedPNL"]
        frame["c_each"] = commission / shares
        frame["RPNL_each"] = pnl / shares
        frame["c_pct"] = commission / (frame["total"] + commission)
        frame["c_pct_RPNL"] = commission * 2 / (pnl + commission * 2)
    frame.attrs["source"] = "ibkr"
    return frame


def regular_hours(bars: "pd.DataFrame", result: Mapping) -> "pd.DataFrame":
    """The intraday bars that start inside the regular session by the exchange's calendar; daily
    bars as they are."""
    import pandas as pd

    from korvanta.sessions import in_sessions

    if not isinstance(bars.index, pd.DatetimeIndex):
        return bars
    return bars[in_sessions(bars.index, bar_kind(result).market)]


def kline_frame(result: Mapping, *, tz: str | None = None, rth: bool = False) -> "pd.DataFrame":
    """The bars of a kline result in the schema, with the result's other fields in `attrs`."""
    import pandas as pd

    frame = bars_frame(result["bars"], bar_kind(result), tz=tz)
    if rth:
        frame = regular_hours(frame, result)
    frame.attrs.update({key: value for key, value in result.items() if key != "bars"})
    if isinstance(frame.index, pd.DatetimeIndex):
        frame.attrs["timezone"] = canonical_zone(frame.index.tz)
    frame.attrs["regularHours"] = rth
    return frame


def result_frame(result: Any, *, tz: str | None = None, rth: bool = False) -> tuple[Kind, "pd.DataFrame"] | None:
    """The records of `result` as a frame, with their kind; None when it holds none.

    `tz` converts the times to that zone; `rth` keeps only the intraday bars of regular hours.
    """
    import pandas as pd

    found = records_of(result)
    if found is None:
        return None
    kind, records = found
    if kind == "bars":
        return kind, kline_frame(result, tz=tz, rth=rth)
    if kind == "executions":
        return kind, executions_frame(records, tz=tz)
    return kind, pd.DataFrame.from_records(records)


def listed_frame(frames: Mapping[str, "pd.DataFrame"]) -> "pd.DataFrame":
    """The records of several symbols (symbol -> its frame, in order) as one frame, the symbol the
    outer level of its index. Times of symbols in different zones are put in UTC, so that they
    share one column of one type."""
    import pandas as pd

    zones = {str(frame.index.tz) for frame in frames.values() if isinstance(frame.index, pd.DatetimeIndex)}
    if len(zones) > 1:
        frames = {symbol: frame.tz_convert("UTC") if isinstance(frame.index, pd.DatetimeIndex) else frame
                  for symbol, frame in frames.items()}
    if not frames:
        return pd.DataFrame(index=pd.MultiIndex.from_tuples([], names=["symbol", "date"]))
    return pd.concat(frames, names=["symbol"])
