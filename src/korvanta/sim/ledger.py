"""The simulated account's money: commissions by a fixed schedule, realised P&L and positions by average cost.

Commissions, per order, in USD:

- stocks: 0.005 a share, at least 1.00 and at most 1% of the order's value;
- futures: 2.25 a contract (broker and exchange fees together);
- options: 0.65 a contract, at least 1.00.

An order filled in parts pays the schedule once over its whole: each part pays the rate
(per share or contract) for its own size while the order is still filling, and the part that
completes the order pays what the order's fee still lacks (the minimum, or less under the
cap); the parts add up to the fee of the whole order, each rounded to the cent.

Realised P&L, by average cost and before commissions: a fill that adds to a position (or
opens one) realises nothing and moves the position's average price to the quantity-weighted
average of its fills' prices; a fill that reduces a position realises (price - average price)
x quantity closed x multiplier, with the sign of the position (a short gains when the price
falls); what a fill trades beyond closing the position opens a new one at its price.
Commissions are reported apart from it, so "realised - commission" counts each fee once.
A position's average cost, as the gateway reports it, is its average price times the multiplier.
"""

from dataclasses import dataclass

from .instruments import Instrument

STOCK_PER_SHARE, STOCK_MINIMUM, STOCK_CAP = 0.005, 1.00, 0.01
FUTURE_PER_CONTRACT = 2.25
OPTION_PER_CONTRACT, OPTION_MINIMUM = 0.65, 1.00


def multiplier(contract: Instrument) -> float:
    return float(contract.multiplier or 1)


def rate(contract: Instrument) -> float:
    """The fee per share or contract, before any minimum or cap."""
    if contract.secType in ("FUT", "CONTFUT"):
        return FUTURE_PER_CONTRACT
    return OPTION_PER_CONTRACT if contract.secType == "OPT" else STOCK_PER_SHARE


def part_fee(contract: Instrument, shares: float, filled: float, value: float, paid: float, complete: bool) -> float:
    """What a part of `shares` pays when the order has `filled` shares worth `value` with it, of
    which the parts before paid `paid`; `complete`: this part ends the order."""
    owed = order_fee(contract, filled, value) - paid
    return round(owed if complete else min(rate(contract) * shares, owed), 2)


def order_fee(contract: Instrument, shares: float, value: float) -> float:
    """The commission of a whole order of `shares` traded for `value` (price x shares x multiplier), in USD to the cent."""
    if shares <= 0:
        return 0.0
    fee = rate(contract) * shares
    if contract.secType == "OPT":
        fee = max(OPTION_MINIMUM, fee)
    elif contract.secType not in ("FUT", "CONTFUT"):
        fee = min(max(STOCK_MINIMUM, fee), STOCK_CAP * value)
    return round(fee, 2)


@dataclass
class Holding:
    """An open position: signed quantity (short below 0) and the average price of the fills that opened it."""

    contract: Instrument
    quantity: float = 0.0
    averagePrice: float = 0.0

    @property
    def averageCost(self) -> float:
        return self.averagePrice * multiplier(self.contract)


class Ledger:
    """Positions by contract, and the P&L each fill realises against them (see the module's rules)."""

    def __init__(self):
        self.holdings: dict[int, Holding] = {}

    def trade(self, contract: Instrument, side: str, shares: float, price: float) -> float | None:
        """Book one fill; the P&L it realises, None for a fill that only opens or adds."""
        held = self.holdings.setdefault(contract.conId, Holding(contract))
        sign = 1.0 if side == "BOT" else -1.0
        closed = min(shares, abs(held.quantity)) if held.quantity * sign < 0 else 0.0
        realized = None
        if closed:
            direction = 1.0 if held.quantity > 0 else -1.0
            realized = round((price - held.averagePrice) * closed * multiplier(contract) * direction, 2)
            held.quantity += sign * closed
        opened = shares - closed
        if opened:
            size = abs(held.quantity)
            held.averagePrice = (held.averagePrice * size + price * opened) / (size + opened)
            held.quantity += sign * opened
        if held.quantity == 0:
            held.averagePrice = 0.0
        return realized

    def open_positions(self) -> list[Holding]:
        return [h for h in self.holdings.values() if h.quantity]
