"""A stand-in for yfinance in child processes: put tests/fakes first on PYTHONPATH.

FAKE_YFINANCE=fail makes every fetch log and raise what the library does when the network is
down (its texts naming a web address); FAKE_YFINANCE=slow makes it say "fake yfinance:
fetching slowly" on stderr, then take a minute; FAKE_YFINANCE=unknown makes every symbol one
the source does not know: logged as the library logs it, and answered with an empty frame.

Bars follow the exchange calendar as the source serves them: daily bars on trading days
(from a session's open on), weekly and monthly ones dated by their first day; intraday
bars in regular hours only, from each session's open, and only as far back as the source
keeps them (one-minute bars 30 days, in requests of at most 7 days, 8 allowed; 2-90
minutes 60 days; hourly 730 days). A request past those limits gets an empty frame and
the library's error line, as from the real service. `start`/`end` are days in the exchange's zone, `end` left
out; `period` is "Nd" (trading days), "Nmo", "Ny" or "max".
"""

import calendar
import datetime as dt
import logging
import os
import re
import sys
import time
import types

import pandas as pd

from korvanta.sessions import US_STOCKS, sessions_between

config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
ZONE = US_STOCKS.zone

# interval -> (days back the source keeps, days one request may span)
INTRADAY = {"1m": (30, 7), "2m": (60, None), "5m": (60, None), "15m": (60, None), "30m": (60, None),
            "60m": (730, None), "90m": (60, None), "1h": (730, None)}
MAX_BACK = {"1m": 8}  # what `period="max"` reaches for intraday intervals, as the library asks
FIRST_DAY = dt.date(2000, 1, 3)


def _months_back(day: dt.date, months: int) -> dt.date:
    year, month = divmod(day.year * 12 + day.month - 1 - months, 12)
    return dt.date(year, month + 1, min(day.day, calendar.monthrange(year, month + 1)[1]))


def _midnight(day: dt.date) -> dt.datetime:
    return dt.datetime.combine(day, dt.time(0), ZONE)


class Ticker:
    def __init__(self, symbol):
        self.symbol = symbol

    def history(self, period=None, interval="1d", start=None, end=None, **kwargs):
        if os.environ.get("FAKE_YFINANCE") == "fail":
            why = ("Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
                   "See https://curl.se/libcurl/c/libcurl-errors.html first for more details.")
            logging.getLogger("yfinance").error("Failed to get ticker '%s' reason: %s", self.symbol, why)
            raise ConnectionError(why)
        if os.environ.get("FAKE_YFINANCE") == "unknown":
            logging.getLogger("yfinance").error("$%s: possibly delisted; no price data found  (period=%s)",
                                                self.symbol, period)
            return pd.DataFrame(columns=["Open", "High", "Low", "Close", "Volume"])
        if os.environ.get("FAKE_YFINANCE") == "slow":
            print("fake yfinance: fetching slowly", file=sys.stderr, flush=True)
            time.sleep(60)
        now = dt.datetime.now(ZONE)
        if start is not None:
            since = _midnight(pd.Timestamp(start).date())
            until = _midnight(pd.Timestamp(end).date()) if end is not None else now
        else:
            since, until = self._period_start(period or "1mo", interval, now), now
        if interval in INTRADAY:
            keeps, span = INTRADAY[interval]
            if since < now - dt.timedelta(days=keeps) or (span and until - since > dt.timedelta(days=span + 1)):
                logging.getLogger("yfinance").error(
                    f"{self.symbol}: {interval} data not available for the requested range")
                return self._frame(pd.DatetimeIndex([], tz=ZONE, name="Datetime"))
            return self._frame(self._intraday(interval, since, min(until, now)))
        days = [s.day for s in sessions_between(US_STOCKS, since.date(), min(until, now).date(), extended=False)
                if s.open < now and since <= _midnight(s.day) < until]
        if interval == "1wk":
            days = sorted({d - dt.timedelta(days=d.weekday()) for d in days})
        elif interval == "1mo":
            days = sorted({d.replace(day=1) for d in days})
        return self._frame(pd.DatetimeIndex([_midnight(d) for d in days], name="Date"))

    @staticmethod
    def _period_start(period: str, interval: str, now: dt.datetime) -> dt.datetime:
        today = now.date()
        if period == "max":
            back = MAX_BACK.get(interval, INTRADAY.get(interval, (None,))[0])
            return now - dt.timedelta(days=back) if back else _midnight(FIRST_DAY)
        n, unit = re.fullmatch(r"([0-9]+)(d|mo|y)", period).groups()
        if unit == "d":
            # trading days, the one in progress among them
            opened = [s.day for s in sessions_between(US_STOCKS, today - dt.timedelta(days=3 * int(n) + 10), today,
                                                      extended=False) if s.open < now]
            return _midnight(opened[-int(n)] if len(opened) >= int(n) else FIRST_DAY)
        return _midnight(_months_back(today, int(n) * (1 if unit == "mo" else 12)))

    @staticmethod
    def _intraday(interval: str, since: dt.datetime, until: dt.datetime) -> pd.DatetimeIndex:
        step = dt.timedelta(minutes=int(interval[:-1]) * (60 if interval.endswith("h") else 1))
        times = []
        for session in sessions_between(US_STOCKS, since.date(), until.date(), extended=False):
            at = session.open
            while at < min(session.close, until):
                if at >= since:
                    times.append(at)
                at += step
        return pd.DatetimeIndex(times, tz=ZONE, name="Datetime")

    @staticmethod
    def _frame(index: pd.DatetimeIndex) -> pd.DataFrame:
        close = [100.5 + i for i in range(len(index))]
        return pd.DataFrame({
            "Open": close, "High": [c + 1 for c in close], "Low": [c - 1 for c in close], "Close": close,
            "Volume": [1000 + i for i in range(len(index))], "Dividends": 0.0, "Stock Splits": 0.0,
        }, index=index)
