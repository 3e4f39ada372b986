"""Trading sessions from the exchange calendars: hours, holidays, early closes, closures."""

import datetime as dt
from zoneinfo import ZoneInfo

import pandas as pd
import pytest

from korvanta import sessions
from korvanta.sessions import CME_FUTURES, US_STOCKS

NY, CHICAGO = ZoneInfo("America/New_York"), ZoneInfo("America/Chicago")


def ny(*args):
    return dt.datetime(*args, tzinfo=NY)


@pytest.mark.parametrize("market, day, extended, bounds", [
    (US_STOCKS, dt.date(2026, 12, 8), False, (ny(2026, 12, 8, 9, 30), ny(2026, 12, 8, 16))),
    (US_STOCKS, dt.date(2026, 12, 8), True, (ny(2026, 12, 8, 4), ny(2026, 12, 8, 20))),
    # the day after Thanksgiving closes at 13:00, after-hours trading three hours early too
    (US_STOCKS, dt.date(2026, 11, 27), False, (ny(2026, 11, 27, 9, 30), ny(2026, 11, 27, 13))),
    (US_STOCKS, dt.date(2026, 11, 27), True, (ny(2026, 11, 27, 4), ny(2026, 11, 27, 17))),
    (US_STOCKS, dt.date(2026, 11, 26), True, None),  # Thanksgiving
    (US_STOCKS, dt.date(2026, 12, 5), False, None),  # Saturday
    # Globex opens the evening before (18:00 New York), the pit hours inside the day
    (CME_FUTURES, dt.date(2026, 12, 8), True, (ny(2026, 12, 7, 18), ny(2026, 12, 8, 17))),
    (CME_FUTURES, dt.date(2026, 12, 8), False, (ny(2026, 12, 8, 9, 30), ny(2026, 12, 8, 16))),
    # Monday's session opens on Sunday evening; Thanksgiving trades on Globex until noon Chicago
    (CME_FUTURES, dt.date(2026, 12, 7), True, (ny(2026, 12, 6, 18), ny(2026, 12, 7, 17))),
    (CME_FUTURES, dt.date(2026, 11, 26), True, (ny(2026, 11, 25, 18), ny(2026, 11, 26, 13))),
    (CME_FUTURES, dt.date(2026, 11, 26), False, (ny(2026, 11, 26, 9, 30), ny(2026, 11, 26, 13))),
])
def test_a_days_session(market, day, extended, bounds):
    found = sessions.session_of(market, day, extended=extended)
    assert (found and (found.open, found.close)) == (bounds or None)
    if found:
        assert found.open.tzinfo == market.zone


@pytest.mark.parametrize("market, moment, extended, last, next_", [
    # after the extended session: closed from 20:00 until 04:00 tomorrow
    (US_STOCKS, ny(2026, 12, 8, 21, 30), True, ny(2026, 12, 8, 20), ny(2026, 12, 9, 4)),
    # the regular session is over at 16:05, the extended one is not
    (US_STOCKS, ny(2026, 12, 8, 16, 5), False, ny(2026, 12, 8, 16), ny(2026, 12, 9, 9, 30)),
    (US_STOCKS, ny(2026, 12, 8, 16, 5), True, None, None),
    # before Monday's open the last session is Friday's; at the open Monday's is in progress
    (US_STOCKS, ny(2026, 12, 7, 9, 29), False, ny(2026, 12, 4, 16), ny(2026, 12, 7, 9, 30)),
    (US_STOCKS, ny(2026, 12, 7, 9, 30), False, None, None),
    # a weekend and a holiday bridge to the next trading day
    (US_STOCKS, ny(2026, 12, 6, 13), False, ny(2026, 12, 4, 16), ny(2026, 12, 7, 9, 30)),
    (US_STOCKS, ny(2026, 11, 26, 12), True, ny(2026, 11, 25, 20), ny(2026, 11, 27, 4)),
    # the futures' daily halt, and Sunday before the reopen
    (CME_FUTURES, ny(2026, 12, 8, 17, 30), True, ny(2026, 12, 8, 17), ny(2026, 12, 8, 18)),
    (CME_FUTURES, ny(2026, 12, 6, 13), True, ny(2026, 12, 4, 17), ny(2026, 12, 6, 18)),
    (CME_FUTURES, ny(2026, 12, 6, 18, 1), True, None, None),
])
def test_closures(market, moment, extended, last, next_):
    closure = sessions.closure_at(market, moment, extended=extended)
    if last is None:
        assert closure is None and sessions.session_at(market, moment, extended=extended) is not None
    else:
        assert (closure.last.close, closure.next.open) == (last, next_)
        assert sessions.session_at(market, moment, extended=extended) is None


def test_sessions_before_count_the_one_in_progress_and_skip_closed_days():
    found = sessions.sessions_before(US_STOCKS, ny(2026, 11, 30, 10), 3, extended=False)
    # Monday in progress, the short Friday, then Wednesday: Thanksgiving has none
    assert [s.day for s in found] == [dt.date(2026, 11, 25), dt.date(2026, 11, 27), dt.date(2026, 11, 30)]
    # at 18:05 New York the next day's Globex session has opened
    found = sessions.sessions_before(CME_FUTURES, ny(2026, 12, 8, 18, 5), 2, extended=True)
    assert [s.day for s in found] == [dt.date(2026, 12, 8), dt.date(2026, 12, 9)]


def test_regular_hours_of_bar_times():
    times = pd.DatetimeIndex([ny(2026, 12, 8, 9, 29), ny(2026, 12, 8, 9, 30), ny(2026, 12, 8, 15, 59),
                              ny(2026, 12, 8, 16), ny(2026, 11, 27, 13, 5), ny(2026, 12, 6, 12)])
    assert sessions.in_sessions(times, US_STOCKS).tolist() == [False, True, True, False, False, False]
    # naive times are read in the market's zone; extended hours on request
    naive = times.tz_localize(None)
    assert sessions.in_sessions(naive, US_STOCKS, extended=True).tolist() == [True, True, True, True, True, False]
    assert sessions.in_sessions(pd.DatetimeIndex([]), US_STOCKS).tolist() == []


@pytest.mark.parametrize("symbol, secType, market", [
    ("AAPL", "", US_STOCKS), ("/ES", "", CME_FUTURES), ("ES", "CONTFUT", CME_FUTURES), ("ES", "FUT", CME_FUTURES),
])
def test_market_of(symbol, secType, market):
    assert sessions.market_of(symbol, secType) is market
