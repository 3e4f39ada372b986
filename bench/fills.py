"""Synthetic fills for the executions benchmark: real ib_async records on a few symbols."""

import datetime as dt
import random

from ib_async import CommissionReport, Execution, Fill, Future, Option, Stock

UTC = dt.timezone.utc


def contracts():
    return [
        Stock("AAPL", "SMART", "USD", conId=265598, localSymbol="AAPL", tradingClass="NMS"),
        Stock("MSFT", "SMART", "USD", conId=272093, localSymbol="MSFT", tradingClass="NMS"),
        Stock("TSLA", "SMART", "USD", conId=76792991, localSymbol="TSLA", tradingClass="NMS"),
        Option("SPY", "20261218", 600.0, "C", "SMART", multiplier="100", conId=700001,
               localSymbol="SPY   261218C00600000", tradingClass="SPY"),
        Future("ES", "20261218", "CME", multiplier="50", conId=495512563, localSymbol="ESZ6",
               tradingClass="ES"),
    ]


# 18:00 New York time: the first moment of the trading day of 2026-12-01.
SESSION_START = dt.datetime(2026, 11, 30, 23, 0, tzinfo=UTC)


def make_fills(n, days=3, seed=7, start=SESSION_START):
    """`n` fills over `days` trading days from `start`, in orders of up to four fills."""
    rng = random.Random(seed)
    cons = contracts()
    span = days * 86400 - 600
    fills = []
    order = 100
    for i in range(n):
        if i % 4 == 0:
            order += 1
            con = cons[rng.randrange(len(cons))]
            side = rng.choice(["BOT", "SLD"])
            base = start + dt.timedelta(seconds=rng.randrange(span))
        when = base + dt.timedelta(seconds=i % 4 * rng.randrange(1, 90))
        shares = float(rng.choice([1, 2, 5, 10, 100, 200]))
        price = round(rng.uniform(1, 500), 2)
        pnl = 0.0 if side == "BOT" else round(rng.uniform(-50, 80), 2)
        ex = Execution(execId=f"e{i}", time=when, acctNumber="DU1", exchange="ISLAND", side=side,
                       shares=shares, price=price, permId=i, clientId=rng.choice([0, 1, 7]),
                       orderId=order, cumQty=shares, avgPrice=price)
        cr = CommissionReport(execId=f"e{i}", commission=round(rng.uniform(0.3, 3), 4),
                              currency="USD", realizedPNL=pnl)
        fills.append(Fill(con, ex, cr, when))
    return fills
