"""The simulator's exchange calendars: the package's own (korvanta.sessions), said in one line
when the calendar package is missing.

Bars, fills and contract details ask about every day they lay out; each exchange's calendar
is read once per process into a set of session dates and a map of early closes.
"""

from korvanta.sessions import FIRST_DAY, LAST_DAY, ExchangeDays, exchange

__all__ = ["FIRST_DAY", "LAST_DAY", "MISSING", "ExchangeDays", "exchange", "is_trading_day", "require",
           "trading_days_back"]

MISSING = "korvanta.sim needs exchange-calendars: pip install 'korvanta[sim]'"


def require() -> None:
    """Raise the one-line ImportError naming the extra when the calendar package is missing."""
    try:
        import exchange_calendars  # noqa: F401
    except ImportError as e:
        raise ImportError(MISSING, name=e.name) from None


def is_trading_day(day, calendar: str = "XNYS") -> bool:
    return exchange(calendar).trades_on(day)


def trading_days_back(day, count: int, calendar: str = "XNYS") -> list:
    """`count` trading days ending with `day` (or the last one before it), oldest first."""
    return exchange(calendar).days_back(day, count)
