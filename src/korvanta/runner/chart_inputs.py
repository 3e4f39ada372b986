"""What a chart draws beyond the bars it was given: the account's fills of the symbol (from the
gateway of the same connection) and the close of the trading day before the first one charted."""

import datetime as dt
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from loguru import logger

from .charts.overlays import Overlays

if TYPE_CHECKING:
    import pandas as pd

    from .state import HostState

FUTURES_TYPES = ("FUT", "CONTFUT")
# Daily bars asked for to find the close before an intraday chart's first day: enough to reach
# back over a long weekend with a holiday.
DAYS_BACK = 10

_said_no_gateway = False


@dataclass(frozen=True)
class ChartInputs:
    fills: "pd.DataFrame | None" = None  # time (aware), price, buy
    previous_close: float | None = None


def _same_instrument(contract: Any, symbol: str) -> bool:
    """Whether a fill's contract is the charted symbol: a stock by its symbol, a futures root
    ("/ES") by the futures of that root; never an option on it."""
    if symbol.startswith("/"):
        return contract.secType in FUTURES_TYPES and contract.symbol == symbol[1:].upper()
    return contract.secType == "STK" and contract.symbol == symbol.upper()


async def symbol_fills(symbol: str, state: "HostState | None") -> "pd.DataFrame | None":
    """The account's fills of `symbol` as the gateway of `state` holds them after a reload; None
    (said once per process) without a gateway."""
    global _said_no_gateway
    import pandas as pd

    if state is None or not state.connected:
        if not _said_no_gateway:
            logger.warning("No fills on the chart: they come from the gateway, and none is connected")
            _said_no_gateway = True
        return None
    try:
        await state.loadExecutions()
    except Exception as e:
        logger.warning("No fills on the chart: the gateway's executions could not be loaded ({})", e)
        return None
    fills = [f for f in state.ib.fills() if _same_instrument(f.contract, symbol)]
    return pd.DataFrame({"time": pd.to_datetime([f.execution.time for f in fills], utc=True),
                         "price": [float(f.execution.price) for f in fills],
                         "buy": [f.execution.side == "BOT" for f in fills]})


async def close_before(symbol: str, day: dt.date, state: "HostState | None") -> float | None:
    """The close of the last trading day before `day`, from kline's daily bars; None when kline
    has none."""
    from quodra import frame

    from .commands import CommandError, execute_line
    from .records import kline_frame

    if state is None:
        return None
    try:
        with frame.using(shown=False):
            result = await execute_line(["kline", symbol, "day", str(DAYS_BACK)], state)
    except CommandError as e:
        logger.warning("No previous close on the chart: {}", e)
        return None
    daily = kline_frame(result)
    before = daily[[d < day for d in daily.index]]["close"].dropna()
    return float(before.iloc[-1]) if len(before.index) else None


async def chart_inputs(result: Mapping, bars: "pd.DataFrame", overlays: Overlays,
                       state: "HostState | None") -> ChartInputs:
    """The fills and the previous close that `overlays` ask for, for the chart of `bars` from `result`."""
    import pandas as pd

    from .charts.candles import session_days
    from .schema import bar_kind

    symbol = str(result.get("symbol", ""))
    fills = await symbol_fills(symbol, state) if overlays.fills else None
    previous = None
    if overlays.prev_close and isinstance(bars.index, pd.DatetimeIndex) and len(bars.index):
        first_day = session_days(bars.index[:1], bar_kind(result).market)[0]
        previous = await close_before(symbol, first_day, state)
    return ChartInputs(fills=fills, previous_close=previous)
