"""One schema for the records that leave the program, in frames and in files, whatever their values.

Bars: `open`, `high`, `low`, `close`, `average` and `volume` are float64 (a future's price of
6383 is not an integer, and volumes come fractional for some instruments), `barCount` Int64.
Intraday bars are indexed by their start ("date"), aware, in the instrument's exchange zone;
daily, weekly and monthly bars by their date (`datetime.date`). Fills: `timestamp` aware,
`date` a `datetime.date` and `time` its "HH:MM:SS", both read in the timestamp's zone. Every
time is kept in microseconds.

The commands hand their bars over with naive times: gateway bars read in the zone of
KORVANTA_EXCHANGE_TZ, yfinance bars in the listing's own zone. Here they get their zone back.
"""

import datetime as dt
import functools
import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any
from zoneinfo import ZoneInfo

from korvanta.sessions import Market, market_of

if TYPE_CHECKING:
    import pandas as pd

BAR_COLUMNS = ("date", "open", "high", "low", "close", "volume", "average", "barCount")
BAR_FLOATS = ("open", "high", "low", "close", "volume", "average")
TIME_UNIT = "us"
DAY_SECONDS = 86_400

_KLINE = "korvanta.cmds.quotes.kline"
_BARHOLD = "korvanta.gateway.barhold"


@dataclass(frozen=True)
class BarKind:
    """What the times of a kline result's bars mean: their length, the zone their naive times
    were read in, and the market (and so the exchange zone) of the instrument."""

    symbol: str
    seconds: int
    recorded_in: dt.tzinfo
    market: Market

    @property
    def daily(self) -> bool:
        """Bars of a day or longer, which are dated rather than timed."""
        return self.seconds >= DAY_SECONDS


def _gateway_zone() -> dt.tzinfo:
    # The object the bar cache and kline read gateway times by, once loaded; else its source.
    zone = getattr(sys.modules.get(_BARHOLD), "_EXCHANGE_TZ", None)
    return zone if zone is not None else ZoneInfo(os.environ.get("KORVANTA_EXCHANGE_TZ") or "America/New_York")


def bar_seconds(result: Mapping) -> int:
    """The length of one bar of a kline result, by its period word (kline's own tables)."""
    if result.get("type") == "intraday":
        return 60
    kline = sys.modules.get(_KLINE)
    size = getattr(kline, "PERIOD_MAP", {}).get(result.get("period") or "day")
    return int(getattr(kline, "BAR_SECONDS", {}).get(size, DAY_SECONDS))


def bar_kind(result: Mapping) -> BarKind:
    """How to read the bar times of a kline result.

    yfinance bars carry the listing's wall times, gateway bars those of KORVANTA_EXCHANGE_TZ.
    A bar-cache hit does not say which source once wrote it; gateway and yfinance read a US
    stock's times alike unless that variable names another zone.
    """
    symbol = str(result.get("symbol", ""))
    market = market_of(symbol)
    recorded = market.zone if result.get("source") == "yfinance" else _gateway_zone()
    return BarKind(symbol=symbol, seconds=bar_seconds(result), recorded_in=recorded, market=market)


@functools.cache
def _zone_links() -> dict[str, str]:
    """Alias -> zone, from the link lines ("L America/New_York US/Eastern") of the tzdata package."""
    from importlib import resources

    try:
        text = resources.files("tzdata").joinpath("zoneinfo", "tzdata.zi").read_text(encoding="utf-8")
    except (ModuleNotFoundError, OSError):
        return {}
    return {fields[2]: fields[1] for fields in map(str.split, text.splitlines())
            if len(fields) == 3 and fields[0] == "L"}


def canonical_zone(zone: Any) -> str:
    """The zone's canonical name ("US/Eastern" -> "America/New_York"), so that times of one place
    have one type and join with each other."""
    name = str(zone)
    # UTC is known by that name better than by the one it links to (Etc/UTC)
    return name if name == "UTC" else _zone_links().get(name, name)


def _as_date(value: Any) -> dt.date | None:
    import pandas as pd

    if value is None or value is pd.NaT or (isinstance(value, float) and value != value):
        return None
    if isinstance(value, dt.date) and not isinstance(value, dt.datetime):
        return value
    return pd.Timestamp(value).date()


def _aware(dates: "pd.Series", kind: BarKind) -> "pd.DatetimeIndex":
    import pandas as pd

    times = pd.DatetimeIndex(pd.to_datetime(dates))
    if times.tz is None:
        # The hour the clocks go back comes twice in naive wall times: the first reading of it is
        # still summer time. An hour skipped in spring holds no bars; should one, it moves on.
        first_reading = ~pd.Index(times).duplicated(keep="first")
        times = times.tz_localize(kind.recorded_in, ambiguous=first_reading, nonexistent="shift_forward")
    return times.tz_convert(canonical_zone(kind.market.zone_name)).as_unit(TIME_UNIT)


def in_zone(times: "pd.DatetimeIndex", tz: str | None) -> "pd.DatetimeIndex":
    """`times` converted to `tz` when one is given."""
    return times if tz is None else times.tz_convert(canonical_zone(tz))


def bars_frame(bars: list[Mapping], kind: BarKind, *, tz: str | None = None) -> "pd.DataFrame":
    """Bar records as a frame of the schema, indexed by "date"; intraday times in `tz` when given."""
    import pandas as pd

    frame = pd.DataFrame.from_records(bars) if bars else pd.DataFrame(columns=list(BAR_COLUMNS))
    for column in frame.columns.drop("date"):
        if column in BAR_FLOATS:
            frame[column] = pd.to_numeric(frame[column], errors="coerce").astype("Float64").astype("float64")
        elif column == "barCount":
            frame[column] = pd.to_numeric(frame[column], errors="coerce").astype("Int64")
        elif frame[column].dtype == object:
            # Records of nullable columns hold pd.NA, which leaves a column of type object.
            frame[column] = pd.to_numeric(frame[column], errors="coerce")
    dates = frame.pop("date")
    if kind.daily:
        index = pd.Index([_as_date(value) for value in dates], dtype=object, name="date")
    else:
        index = in_zone(_aware(dates, kind), tz).rename("date")
    frame.index = index
    return frame


def fills_in_zone(frame: "pd.DataFrame", tz: str | None = None) -> "pd.DataFrame":
    """Fills with `timestamp` aware (in `tz` when given, else its own zone by its canonical name),
    `date` and `time` read from it."""
    import pandas as pd

    if "timestamp" not in frame:
        return frame
    stamps = pd.to_datetime(frame["timestamp"])
    if stamps.dt.tz is None:
        raise ValueError("fill times without a time zone")
    frame["timestamp"] = stamps.dt.tz_convert(canonical_zone(tz or stamps.dt.tz)).dt.as_unit(TIME_UNIT)
    frame["date"] = pd.Series([t.date() for t in frame["timestamp"]], index=frame.index, dtype=object)
    frame["time"] = frame["timestamp"].dt.strftime("%H:%M:%S")
    return frame
