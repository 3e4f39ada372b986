"""A stand-in for yfinance in child processes: put tests/fakes first on PYTHONPATH.

FAKE_YFINANCE=fail makes every fetch log and raise what the library does when the network is
down (its texts naming a web address); FAKE_YFINANCE=slow makes it say "fake yfinance:
fetching slowly" on stderr, then take a minute; FAKE_YFINANCE=unknown makes every symbol one
the source does not know: logged as the library logs it, and answered with an empty frame. A
`start`/`end` request answers as the library does: the trading days from `start` up to, not
including, `end` (the simulator's calendar, so both sources know the same days).
"""

import logging
import os
import sys
import time
import types

import pandas as pd

from korvanta.sim.book import is_trading_day

config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))
ZONE = "America/New_York"


class Ticker:
    def __init__(self, symbol):
        self.symbol = symbol

    def history(self, **kwargs):
        if os.environ.get("FAKE_YFINANCE") == "fail":
            why = ("Failed to perform, curl: (6) Could not resolve host: query2.finance.yahoo.com. "
                   "See https://curl.se/libcurl/c/libcurl-errors.html first for more details.")
            logging.getLogger("yfinance").error("Failed to get ticker '%s' reason: %s", self.symbol, why)
            raise ConnectionError(why)
        if os.environ.get("FAKE_YFINANCE") == "unknown":
            logging.getLogger("yfinance").error("$%s: possibly delisted; no price data found  (period=%s)",
                                                self.symbol, kwargs.get("period"))
            return pd.DataFrame(columns=["Open", "High", "Low", "Close", "Volume"])
        if os.environ.get("FAKE_YFINANCE") == "slow":
            print("fake yfinance: fetching slowly", file=sys.stderr, flush=True)
            time.sleep(60)
        if "start" in kwargs:
            days = pd.date_range(kwargs["start"], kwargs["end"], freq="D", inclusive="left")
            index = pd.DatetimeIndex([d for d in days if is_trading_day(d.date())], name="Date")
            index = index.tz_localize(ZONE)
        else:
            # Daily bars up to today, so that the bar cache keeps them.
            today = pd.Timestamp.now(tz=ZONE).normalize()
            index = pd.date_range(end=today, periods=30, freq="D", name="Date")
        close = [100.5 + i for i in range(len(index))]
        return pd.DataFrame({
            "Open": close, "High": [c + 1 for c in close], "Low": [c - 1 for c in close], "Close": close,
            "Volume": [1000 + i for i in range(len(index))], "Dividends": 0.0, "Stock Splits": 0.0,
        }, index=index)
