"""A stand-in for yfinance in child processes: put tests/fakes first on PYTHONPATH.

FAKE_YFINANCE=fail makes every fetch raise, as a network failure would; FAKE_YFINANCE=slow
makes it say "fake yfinance: fetching slowly" on stderr, then take a minute.
"""

import os
import sys
import time
import types

import pandas as pd

config = types.SimpleNamespace(network=types.SimpleNamespace(proxy=None))


class Ticker:
    def __init__(self, symbol):
        self.symbol = symbol

    def history(self, **kwargs):
        if os.environ.get("FAKE_YFINANCE") == "fail":
            raise ConnectionError("fake network down")
        if os.environ.get("FAKE_YFINANCE") == "slow":
            print("fake yfinance: fetching slowly", file=sys.stderr, flush=True)
            time.sleep(60)
        # Daily bars up to today, so that the bar cache keeps them.
        today = pd.Timestamp.now(tz="America/New_York").normalize()
        index = pd.date_range(end=today, periods=30, freq="D", name="Date")
        close = [100.5 + i for i in range(30)]
        return pd.DataFrame({
            "Open": close, "High": [c + 1 for c in close], "Low": [c - 1 for c in close], "Close": close,
            "Volume": [1000 + i for i in range(30)], "Dividends": 0.0, "Stock Splits": 0.0,
        }, index=index)
