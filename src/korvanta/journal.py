"""A trading journal: realised profit per trading day and symbol, net of commissions, from the account's fills.

The fills are the gateway client's (`ib.fills()`), each with its commission report; the
trading day of a fill is the executions command's (a day runs from 18:00 New York time the
evening before). The money is the commission reports': `realized` is the sum of the fills'
realised P&L, `commission` the sum of their commissions, and `net` = realized - commission.
Quantities stay in their own units, shares for stocks and contracts for futures and options;
the money of a future or an option already carries its multiplier. A row's `symbol` names
the instrument: the ticker of a stock, the local symbol of a future (ESZ6), an option as
ticker, expiry, right and strike (AAPL 270115C270).
"""

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

RECORD_COLUMNS = ("trading_day", "symbol", "secType", "fills", "bought", "sold", "realized", "commission", "net",
                  "cum_net")
POSITION_COLUMNS = ("symbol", "secType", "position", "avgCost", "costBasis")
TOTAL = "total"


def instrument(contract: Any) -> str:
    """The name a journal row goes by (see the module's documentation)."""
    if contract.secType == "OPT":
        expiry = (contract.lastTradeDateOrContractMonth or "")[2:8]
        return f"{contract.symbol} {expiry}{contract.right}{contract.strike:g}"
    if contract.secType in ("FUT", "CONTFUT"):
        return contract.localSymbol or f"{contract.symbol} {contract.lastTradeDateOrContractMonth}"
    return contract.symbol


def _cents(frame: "pd.DataFrame", columns: Iterable[str]) -> "pd.DataFrame":
    # Sums of cent amounts carry float noise (0.30000000000000004); the journal is kept in cents.
    return frame.assign(**{c: frame[c].round(2) for c in columns if c in frame})


def records_frame(fills: Iterable[Any], trading_day: Callable[[Any], Any]) -> "pd.DataFrame":
    """One row per trading day and symbol, in that order, with the running net in `cum_net`."""
    import pandas as pd

    rows = []
    for fill in fills:
        execution, report = fill.execution, fill.commissionReport
        bought = execution.side == "BOT"
        rows.append({
            "trading_day": trading_day(execution.time), "symbol": instrument(fill.contract),
            "secType": fill.contract.secType, "bought": execution.shares if bought else 0.0,
            "sold": 0.0 if bought else execution.shares, "realized": report.realizedPNL,
            "commission": report.commission,
        })
    if not rows:
        return pd.DataFrame(columns=list(RECORD_COLUMNS))
    fills_frame = pd.DataFrame.from_records(rows)
    # a date, as the dates of fills and daily bars are wherever records leave the program
    fills_frame["trading_day"] = [pd.Timestamp(day).date() for day in fills_frame["trading_day"]]
    days = fills_frame.groupby(["trading_day", "symbol"], sort=True).agg(
        secType=("secType", "first"), fills=("secType", "size"), bought=("bought", "sum"), sold=("sold", "sum"),
        realized=("realized", "sum"), commission=("commission", "sum")).reset_index()
    days = _cents(days, ("realized", "commission"))
    days["net"] = (days["realized"] - days["commission"]).round(2)
    days["cum_net"] = days["net"].cumsum().round(2)
    return days[list(RECORD_COLUMNS)]


def by_day(records: "pd.DataFrame") -> "pd.DataFrame":
    """Per trading day: symbols traded, fills and money, with the running net; a total row for the period."""
    days = records.groupby("trading_day").agg(
        symbols=("symbol", "nunique"), fills=("fills", "sum"), realized=("realized", "sum"),
        commission=("commission", "sum"), net=("net", "sum"))
    days = _cents(days, ("realized", "commission", "net"))
    days["cum_net"] = days["net"].cumsum().round(2)
    days.index = days.index.map(str)
    return _with_total(days, symbols=records["symbol"].nunique())


def by_symbol(records: "pd.DataFrame") -> "pd.DataFrame":
    """Per symbol: days traded, fills, quantities and money; a total row (without quantities, whose units differ)."""
    symbols = records.groupby("symbol").agg(
        secType=("secType", "first"), days=("trading_day", "nunique"), fills=("fills", "sum"),
        bought=("bought", "sum"), sold=("sold", "sum"), realized=("realized", "sum"),
        commission=("commission", "sum"), net=("net", "sum"))
    symbols = _cents(symbols, ("realized", "commission", "net"))
    return _with_total(symbols, days=records["trading_day"].nunique())


def _with_total(frame: "pd.DataFrame", **counts: int) -> "pd.DataFrame":
    """`frame` with a total row: the sums of its fills and money, and `counts` over the whole period."""
    import pandas as pd

    total = {**counts, **{c: frame[c].sum() for c in ("fills", "realized", "commission", "net")}}
    row = pd.DataFrame([total], index=pd.Index([TOTAL], name=frame.index.name))
    return _cents(pd.concat([frame, row]), ("realized", "commission", "net", "cum_net"))


def positions_frame(positions: Iterable[Any]) -> "pd.DataFrame":
    """The gateway's open positions: quantity in its own units, average cost as the gateway gives it
    (a future's or option's times its multiplier), and what the position cost."""
    import pandas as pd

    rows = [{"symbol": instrument(p.contract), "secType": p.contract.secType, "position": p.position,
             "avgCost": p.avgCost, "costBasis": round(p.position * p.avgCost, 2)}
            for p in positions if p.position]
    frame = pd.DataFrame.from_records(rows, columns=list(POSITION_COLUMNS))
    return frame.sort_values("symbol", ignore_index=True)
