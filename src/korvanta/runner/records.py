"""The records a command returned, as pandas frames: kline bars by date, execution fills as numbers."""

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import pandas as pd

Kind = Literal["bars", "executions", "records"]

BAR_COLUMNS = ("date", "open", "high", "low", "close", "volume", "average", "barCount")
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


def bars_frame(bars: list[Mapping]) -> "pd.DataFrame":
    """Bars indexed by their start ("date", a DatetimeIndex), one numeric column per bar field."""
    import pandas as pd

    frame = pd.DataFrame.from_records(bars) if bars else pd.DataFrame(columns=list(BAR_COLUMNS))
    # Daily gateway bars carry calendar dates, intraday ones timestamps: both become datetimes.
    frame["date"] = pd.to_datetime(frame["date"])
    for column in frame.columns.drop("date"):
        # Records of nullable columns hold pd.NA, which leaves the column of type object.
        if frame[column].dtype == object:
            frame[column] = pd.to_numeric(frame[column], errors="coerce")
    return frame.set_index("date")


def _shown_number(column: "pd.Series") -> "pd.Series":
    import pandas as pd

    return pd.to_numeric(column.astype(str).str.replace(",", "", regex=False), errors="coerce")


def executions_frame(rows: list[Mapping]) -> "pd.DataFrame":
    """One row per fill, in fill-time order, its money columns as numbers.

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
        frame["timestamp"] = pd.to_datetime(frame["timestamp"])
    if {"commission", "shares", "total", "realizedPNL"} <= set(frame.columns):
        commission, shares, pnl = frame["commission"], frame["shares"], frame["realizedPNL"]
        frame["c_each"] = commission / shares
        frame["RPNL_each"] = pnl / shares
        frame["c_pct"] = commission / (frame["total"] + commission)
        frame["c_pct_RPNL"] = commission * 2 / (pnl + commission * 2)
    return frame


def result_frame(result: Any) -> tuple[Kind, "pd.DataFrame"] | None:
    """The records of `result` as a frame, with their kind; None when it holds none."""
    import pandas as pd

    found = records_of(result)
    if found is None:
        return None
    kind, records = found
    if kind == "bars":
        return kind, bars_frame(records)
    if kind == "executions":
        return kind, executions_frame(records)
    return kind, pd.DataFrame.from_records(records)
