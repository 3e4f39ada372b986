"""Command: pnl

Category: Portfolio
"""

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar

from korvanta.cmds.base import IOp, command
from quodra.dispatch import DArg

if TYPE_CHECKING:
    import pandas as pd

# The executions command's reload words; the runner upper-cases every word.
REFRESH_WORDS = frozenset({":REFRESH", ":UPDATE", ":U", ":R", ":UPD", ":REF"})
MONEY = ("realized", "commission", "net", "cum_net", "avgCost", "costBasis")
# Seconds the gateway has to send the open positions; without them the journal is shown all the same.
POSITIONS_TIMEOUT = 10.0


class PnlRecords(list):
    """The journal's records (one dict per trading day and symbol), with the open positions they end with."""

    positions: list[dict[str, Any]]


def _symbols(words: list[str]) -> set[str]:
    return {word.upper() for word in words}


# ---- the printed tables: money to the cent, quantities whole where they are

def _money(value: Any) -> str:
    return "" if value != value else f"{value:,.2f}"


def _quantity(value: Any) -> str:
    return "" if value != value else f"{value:,.0f}" if float(value).is_integer() else f"{value:,g}"


def _shown(frame: "pd.DataFrame", quantities: tuple[str, ...]) -> "pd.DataFrame":
    frame = frame.copy()
    for column in frame.columns:
        if column in MONEY:
            frame[column] = frame[column].map(_money)
        elif column in quantities:
            frame[column] = frame[column].map(_quantity)
    return frame


# The printed tables leave out what another one shows, to fit 80 columns: the running net is
# the day table's, the kind of instrument the positions'.

def _shown_records(records: "pd.DataFrame") -> "pd.DataFrame":
    frame = records.drop(columns=["secType", "cum_net"])
    frame["trading_day"] = records["trading_day"].map(str)
    return _shown(frame.set_index(["trading_day", "symbol"]), ("fills", "bought", "sold"))


def _shown_days(days: "pd.DataFrame") -> "pd.DataFrame":
    return _shown(days, ("symbols", "fills"))


def _shown_symbols(symbols: "pd.DataFrame") -> "pd.DataFrame":
    return _shown(symbols.drop(columns=["secType"]), ("days", "fills", "bought", "sold"))


def _shown_positions(positions: "pd.DataFrame") -> "pd.DataFrame":
    return _shown(positions.set_index("symbol"), ("position",))


@command(names=["pnl"])
@dataclass
class IOpPnl(IOp):
    """Realised profit and loss per trading day and symbol, net of commissions.

    Usage:
        pnl [symbol...] [:r]

    Arguments:
        * symbol: Only these symbols (optional). A symbol takes in its futures
          and options: AAPL the stock and its options, ES or /ES the futures.
        * :r, :refresh: Ask the gateway for the executions again first.

    Returns:
        One record per trading day and symbol: trading_day, symbol, secType,
        fills, bought and sold (shares or contracts), realized, commission,
        net (realized - commission) and cum_net (the running net). Printed:
        the records, totals by day and by symbol, and the open positions.

    Examples:
        # The whole account, day by day
        pnl

        # AAPL and its options, after reloading the executions
        pnl AAPL :r
    """

    requires_gateway: ClassVar[bool] = True

    symbols: set[str] = field(init=False, default_factory=set)

    def argmap(self) -> list[DArg]:
        return [DArg("*symbols", convert=_symbols, desc="Optional symbols to keep, and :r to reload the executions")]

    async def run(self) -> PnlRecords | bool | None:
        import asyncio

        from loguru import logger

        from korvanta import journal
        from korvanta.cmds.portfolio.executions import _assign_trading_day
        from quodra import frame as frames
        from quodra.frame import printFrame

        if self.symbols & REFRESH_WORDS:
            await self.state.loadExecutions()
        wanted = {word.removeprefix("/") for word in self.symbols - REFRESH_WORDS}
        fills = self.ib.fills()
        if not fills:
            logger.info("No fills")
            return None
        kept = [f for f in fills if not wanted or f.contract.symbol in wanted]
        if not kept:
            logger.info("[{}] No fills", " ".join(sorted(wanted)))
            return False
        try:
            positions = await asyncio.wait_for(self.ib.reqPositionsAsync(), POSITIONS_TIMEOUT)
        except TimeoutError:
            logger.warning("The gateway did not send the open positions within {:g} s; they are left out",
                           POSITIONS_TIMEOUT)
            positions = None
        held = journal.positions_frame(p for p in positions or () if not wanted or p.contract.symbol in wanted)
        records = journal.records_frame(kept, _assign_trading_day)
        desc = f" Filtered for: {', '.join(sorted(wanted))}" if wanted else ""
        printFrame(_shown_records(records), "Realised P&L by Trading Day and Symbol" + desc)
        printFrame(_shown_days(journal.by_day(records)), "P&L by Trading Day" + desc)
        printFrame(_shown_symbols(journal.by_symbol(records)), "P&L by Symbol" + desc)
        if positions is not None:
            if held.empty:
                # printFrame would show an empty frame's insides; the host's settings still decide
                if frames.settings().shown:
                    print(f"Open Positions{desc}\n(none)", flush=True)
            else:
                printFrame(_shown_positions(held), "Open Positions" + desc)
        result = PnlRecords(records.to_dict(orient="records"))
        result.positions = held.to_dict(orient="records")
        return result
