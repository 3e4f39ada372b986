"""Names the command modules take by star import: contract classes, the display zone, and
how far back a request for the latest bars or a date range reaches by the exchange's calendar."""

import os

from ib_async import Future

from korvanta.lookback import gateway_duration, gateway_older_part, gateway_range_duration
from korvanta.yfinance_plan import yfinance_latest, yfinance_range

# Execution times are shown in this zone; empty counts as unset.
USE_TZ = os.environ.get("KORVANTA_DISPLAY_TZ") or "US/Eastern"

__all__ = ["Future", "USE_TZ", "gateway_duration", "gateway_older_part", "gateway_range_duration", "yfinance_latest",
           "yfinance_range"]
