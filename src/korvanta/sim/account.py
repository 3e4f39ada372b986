"""The simulated account's orders: six weeks of a trader's fills, and a small hand-written set.

The weeks are drawn once from a fixed seed, so the orders are the same on every run; the
book (book.py) places them on the clock's recent trading days and prices each fill from the
market at its minute, so the money follows the clock while the orders stay put. Commissions
and realised P&L follow ledger.py. The trader's habits:

- AAPL, MSFT and SPY (API client 1): swing trades of 50 to 300 shares held for days, added
  to, reduced and closed, now and then short; some orders fill in two or three parts.
- TSLA (client 0: orders typed into the trading screen, so without an order id): now and
  then a trade closed within the hour, long or short.
- ES (client 2): trades of 1 or 2 contracts in the front month, each closed within the hour.
- the AAPL January 2027 270 call (client 2): a few contracts bought, sold days later.

Every fill falls in regular hours, 09:31 to 15:58 New York time.
"""

import functools
import random
from dataclasses import dataclass, field

DAYS = 30
SEED = "korvanta simulated account"
OPEN, CLOSE = (9 * 60 + 31) * 60, (15 * 60 + 58) * 60  # seconds after midnight, New York
STOCK_EXCHANGES = ("ISLAND", "NYSE", "ARCA", "BATS")


@dataclass(frozen=True)
class FillPlan:
    """One execution of the account, placed relative to the clock's recent trading days.

    A hand-written plan states its commission, and with it its realised P&L (None: an opening
    fill); a plan without a commission has both worked out by the ledger from the prices.
    """

    daysAgo: int  # 0: the latest trading day whose regular session has closed
    clock: str  # "HH:MM:SS" in New York time
    orderId: int
    permId: int
    clientId: int
    contract: str  # key into Book.contracts
    side: str  # "BOT" or "SLD"
    shares: float
    price: float = 0.0  # only where the market has no bars for the contract; else the market's price
    commission: float | None = None
    realizedPNL: float | None = None
    exchange: str = "ISLAND"
    lastLiquidity: int = 1


# Eight fills over two days whose money is stated, for checks that need exact values.
SAMPLE: tuple[FillPlan, ...] = (
    # one buy order filled in two parts
    FillPlan(1, "09:45:12", 101, 900101, 1, "AAPL", "BOT", 60, 262.15, 0.35),
    FillPlan(1, "09:45:13", 101, 900101, 1, "AAPL", "BOT", 40, 262.18, 0.25),
    FillPlan(1, "11:02:40", 102, 900102, 1, "MSFT", "SLD", 25, 478.60, 1.00, 212.40, "NYSE", 2),
    FillPlan(1, "15:58:05", 0, 900103, 0, "TSLA", "SLD", 10, 428.10, 1.00, -35.20),
    FillPlan(0, "10:15:30", 103, 900104, 1, "AAPL", "SLD", 50, 265.40, 0.30, 161.50),
    FillPlan(0, "10:31:00", 104, 900105, 2, "ES", "BOT", 1, 6812.25, 2.25, None, "CME"),
    FillPlan(0, "13:20:45", 105, 900106, 2, "AAPL_C270", "BOT", 2, 5.10, 1.30, None, "CBOE"),
    FillPlan(0, "14:40:10", 106, 900107, 1, "MSFT", "BOT", 25, 481.05, 1.00),
)


@dataclass
class _Orders:
    """The plans drawn so far, with the ids the next order takes."""

    rng: random.Random
    plans: list[FillPlan] = field(default_factory=list)
    orderId: int = 2001
    permId: int = 910001

    def times(self, count: int, gap: int = 60) -> list[int]:
        """`count` times of day (seconds), ascending and at least `gap` apart."""
        slots = range(OPEN, CLOSE - 60, gap)
        return sorted(self.rng.sample(slots, count))

    def order(self, daysAgo: int, at: int, key: str, side: str, shares: int, clientId: int, exchange: str,
              parts: int = 1) -> None:
        """One order, filled in `parts` fills of random sizes a few seconds apart."""
        orderId = 0 if clientId == 0 else self.orderId
        if orderId:
            self.orderId += 1
        step = 10 if shares >= 10 * parts else 1
        cuts = sorted(self.rng.sample(range(step, shares, step), parts - 1))
        sizes = [b - a for a, b in zip([0, *cuts], [*cuts, shares])]
        for size in sizes:
            self.plans.append(FillPlan(
                daysAgo, f"{at // 3600:02d}:{at // 60 % 60:02d}:{at % 60:02d}", orderId, self.permId, clientId, key,
                side, size, exchange=exchange, lastLiquidity=self.rng.choice((1, 2))))
            at += self.rng.randint(1, 15)
        self.permId += 1


def _swing(orders: _Orders, key: str, lots: tuple[int, ...], most: int) -> None:
    """Positions held for days: opened, added to, reduced and closed, at most `most` shares."""
    rng, held = orders.rng, 0
    for daysAgo in range(DAYS - 1, -1, -1):
        if rng.random() > 0.6:
            continue
        for at in orders.times(rng.choice((1, 1, 1, 2, 2, 3)), gap=600):
            lot = rng.choice(lots)
            move = rng.random()
            if held == 0:
                side, shares = ("BOT" if rng.random() < 0.8 else "SLD"), lot
            elif move < 0.3 and abs(held) + lot <= most:
                side, shares = ("BOT" if held > 0 else "SLD"), lot
            else:
                part = abs(held) if move > 0.65 else max(10, round(abs(held) * rng.choice((0.25, 0.5)) / 10) * 10)
                side, shares = ("SLD" if held > 0 else "BOT"), min(part, abs(held))
            held += shares if side == "BOT" else -shares
            parts = rng.choice((1, 1, 1, 2, 3)) if shares >= 100 else 1
            orders.order(daysAgo, at, key, side, shares, 1, rng.choice(STOCK_EXCHANGES), parts)


def _round_trips(orders: _Orders, key: str, clientId: int, activity: float, sizes: tuple[int, ...],
                 most_trips: int, exchange: str | None = None) -> None:
    """Positions opened and closed within the hour, one after the other."""
    rng = orders.rng
    hours = range(OPEN, CLOSE - 3600, 3600)
    for daysAgo in range(DAYS - 1, -1, -1):
        if rng.random() > activity:
            continue
        for hour in sorted(rng.sample(hours, rng.randint(1, most_trips))):
            opened = hour + rng.randint(0, 600)
            closed = opened + 60 * rng.randint(3, 50)
            side, shares = rng.choice(("BOT", "SLD")), rng.choice(sizes)
            where = exchange or rng.choice(STOCK_EXCHANGES)
            orders.order(daysAgo, opened, key, side, shares, clientId, where)
            orders.order(daysAgo, closed, key, "SLD" if side == "BOT" else "BOT", shares, clientId, where)


def _option(orders: _Orders, key: str) -> None:
    """Calls bought a few at a time and sold days later, in one go or two."""
    rng, held = orders.rng, 0
    for daysAgo in range(DAYS - 1, -1, -1):
        if rng.random() > 0.25:
            continue
        [at] = orders.times(1)
        if held and rng.random() < 0.6:
            shares = held if rng.random() < 0.7 else max(1, held // 2)
            held -= shares
            orders.order(daysAgo, at, key, "SLD", shares, 2, "CBOE")
        elif held < 8:
            shares = rng.randint(1, 4)
            held += shares
            orders.order(daysAgo, at, key, "BOT", shares, 2, "CBOE")


@functools.cache
def plans() -> tuple[FillPlan, ...]:
    """The account's weeks of fills, the same on every call."""
    orders = _Orders(random.Random(SEED))
    _swing(orders, "AAPL", (50, 100, 150, 200), 400)
    _swing(orders, "MSFT", (50, 100, 150), 300)
    _swing(orders, "SPY", (100, 200, 300), 600)
    _round_trips(orders, "TSLA", 0, 0.15, (10, 20, 25, 40, 50), 2)
    _round_trips(orders, "ES", 2, 0.8, (1, 1, 1, 2), 3, "CME")
    _option(orders, "AAPL_C270")
    return tuple(orders.plans)
