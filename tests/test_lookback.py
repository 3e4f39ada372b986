"""How far back N bars reach by the exchange calendar: checked against the simulator's reading
of a request (the gateway's), yfinance's limits, and the bar cache's closed-hours rule."""

import datetime as dt
from zoneinfo import ZoneInfo

import pytest

from clock import SWEEP, at, at_every_instant, ny
from korvanta import closed_hours, lookback, yfinance_plan
from korvanta.gateway.limits import Duration
from korvanta.sim.bars import BarMaker
from korvanta.sim.book import Book

NEW_YORK = ZoneInfo("America/New_York")
UTC = dt.UTC


def gateway_bars(symbol, duration, bar_size, use_rth, end=""):
    now = dt.datetime.now(UTC)
    inst = Book().contracts(now.date())[symbol.removeprefix("/")]
    # the whole window, as the client's pages bring it
    return BarMaker().bars(inst, endDateTime=end, durationStr=duration, barSizeSetting=bar_size,
                           whatToShow="TRADES", useRTH=use_rth, now=now, capped=False)


def shorter(duration):
    count, unit = duration.split()
    return f"{int(count) - 1} {unit}" if unit == "D" and int(count) > 1 else None


# (symbol, bar size, count, regular hours, the designed look-back: count x bar x factor)
REQUESTS = [
    ("AAPL", "1 day", 100, True, "140 D"),
    ("AAPL", "1 day", 3, True, "5 D"),
    ("AAPL", "1 day", 250, True, "350 D"),
    ("AAPL", "5 mins", 200, False, "1 D"),
    ("AAPL", "1 hour", 3, False, "1 D"),
    ("/ES", "1 hour", 10, False, "1 D"),
    ("AAPL", "30 mins", 130, False, "3 D"),
    ("AAPL", "1 min", 2000, False, "2 D"),
]


@at_every_instant
@pytest.mark.parametrize("symbol, bar_size, count, use_rth, designed", REQUESTS,
                         ids=lambda v: v if isinstance(v, str) and " " in v else None)
def test_the_look_back_holds_n_bars_at_the_gateway(pinned_clock, symbol, bar_size, count, use_rth, designed):
    sec_type = "CONTFUT" if symbol.startswith("/") else "STK"
    duration = lookback.gateway_duration(symbol, sec_type, bar_size, count, use_rth, designed)
    assert len(gateway_bars(symbol, duration, bar_size, use_rth)) >= count
    # sent as designed exactly when that reaches N bars; otherwise no shorter look-back would
    enough = len(gateway_bars(symbol, designed, bar_size, use_rth)) >= count
    assert (duration == designed) is enough
    if not enough and shorter(duration):
        assert len(gateway_bars(symbol, shorter(duration), bar_size, use_rth)) < count


@at("regular-session")
@pytest.mark.parametrize("bar_size, count, use_rth, designed, sent", [
    pytest.param("1 day", 0, True, "0 D", "0 D", id="count-0-as-designed"),
    pytest.param("1 day", -5, True, "-7 D", "-7 D", id="negative-as-designed"),
    pytest.param("2 days", 5, True, "7 D", "7 D", id="unknown-size-as-designed"),
    # 401 extended sessions of minutes, from 2025-05-05: more than 365 sessions go in whole
    # years, as days do
    pytest.param("1 min", 384_000, False, "267 D", "2 Y", id="sessions-in-years"),
])
def test_durations_the_gateway_takes(pinned_clock, bar_size, count, use_rth, designed, sent):
    assert lookback.gateway_duration("AAPL", "STK", bar_size, count, use_rth, designed) == sent


def in_range(bars, first, last):
    """The bars of `bars` that start on a New York day from `first` to `last`."""
    def day(bar):
        return bar.start.astimezone(NEW_YORK).date() if isinstance(bar.start, dt.datetime) else bar.start
    return [bar.start for bar in bars if first <= day(bar) <= last]


# (symbol, bar size, first and last day of the range in days before today; a last day of None
# is an adjusted range, which ends now)
RANGES = [
    ("AAPL", "1 min", 13, 1),
    ("AAPL", "5 mins", 30, 0),
    ("AAPL", "1 min", 6, None),
    # the futures session of a day opens the evening before, and the end day's evening is the next one's
    ("/ES", "1 hour", 1, 1),
    ("/ES", "1 min", 0, 0),
    ("/ES", "30 mins", 9, None),
    ("AAPL", "1 day", 30, 1),
]


@at_every_instant
@pytest.mark.parametrize("symbol, bar_size, back, until", RANGES,
                         ids=lambda v: v if isinstance(v, str) and " " in v else None)
def test_a_ranges_look_back_takes_in_its_sessions_and_no_more(pinned_clock, symbol, bar_size, back, until):
    sec_type = "CONTFUT" if symbol.startswith("/") else "STK"
    today = dt.datetime.now(NEW_YORK).date()
    start, last = today - dt.timedelta(days=back), today - dt.timedelta(days=until or 0)
    end, text = "", ""
    if until is not None:
        end = dt.datetime.combine(last, dt.time(23, 59, 59), NEW_YORK)
        text = end.astimezone(UTC).strftime("%Y%m%d-%H:%M:%S")
    # the calendar days from the start through the end (adjusted: today), as the command counts them
    designed = lookback.in_days(back - (until or 0) + 1)
    first = dt.datetime.combine(start, dt.time(0), NEW_YORK)
    duration = lookback.gateway_range_duration(symbol, sec_type, bar_size, False, first, end, designed)

    def held(look_back):
        return in_range(gateway_bars(symbol, look_back, bar_size, False, end=text), start, last)

    # a session or more beyond any the range can span
    everything = held(lookback.in_days(back + 2))
    assert held(duration) == everything
    if bar_size == "1 day":
        assert duration == designed
        return
    if everything and shorter(duration):
        assert held(shorter(duration)) != everything
    if held(designed) == everything:
        assert Duration.parse(duration).seconds <= Duration.parse(designed).seconds


@at("regular-session")
@pytest.mark.parametrize("symbol, start, last, sent", [
    # no session holds a bar of the range: the least look-back there is
    pytest.param("AAPL", dt.date(2026, 12, 5), dt.date(2026, 12, 6), "1 D", id="weekend"),
    pytest.param("AAPL", dt.date(2026, 12, 9), dt.date(2026, 12, 31), "1 D", id="after-today"),
    # Sunday from 18:00 is Monday's session
    pytest.param("/ES", dt.date(2026, 12, 5), dt.date(2026, 12, 6), "1 D", id="futures-sunday-evening"),
    # more sessions than "D" takes (382): the calendar days they span, in years; as far back
    # as the calendar goes
    pytest.param("AAPL", dt.date(2025, 6, 2), dt.date(2026, 12, 7), "2 Y", id="years"),
    pytest.param("AAPL", dt.date(1, 1, 1), dt.date(2026, 12, 7), "27 Y", id="from-year-1"),
])
def test_range_durations_the_gateway_takes(pinned_clock, symbol, start, last, sent):
    first = dt.datetime.combine(start, dt.time(0), NEW_YORK)
    end = dt.datetime.combine(last, dt.time(23, 59, 59), NEW_YORK)
    designed = lookback.in_days((last - start).days + 1)
    sec_type = "CONTFUT" if symbol.startswith("/") else "STK"
    assert lookback.gateway_range_duration(symbol, sec_type, "1 min", False, first, end, designed) == sent


class TestOlderPart:
    """One more request where an answer with gaps falls short of N."""

    @staticmethod
    def minutes(first, count, every=2):
        return [first + dt.timedelta(minutes=every * i) for i in range(count)]

    @at("regular-session")
    def test_gaps_ask_for_the_missing_older_bars_at_the_answers_density(self, pinned_clock):
        # "2 D" at 11:00 holds Monday 04:00-20:00 and today from 04:00: 1,380 minutes, of which
        # the answer has every other one. The 1,310 missing at that density take 2,620 minutes
        # before Monday: Wednesday to Friday.
        first = ny(2026, 12, 7, 4, 0).astimezone(UTC)
        part = lookback.gateway_older_part("AAPL", "STK", "1 min", False, False, "2 D", 2000, 690, first)
        assert part == lookback.OlderPart(first, "3 D")
        # adjusted bars cannot end at a date: the whole look-back again, ending now (4,000 minutes)
        part = lookback.gateway_older_part("AAPL", "STK", "1 min", False, True, "2 D", 2000, 690, first)
        assert part == lookback.OlderPart("", "5 D")

    @at("regular-session")
    @pytest.mark.parametrize("asked, first, got", [
        # every minute from today's 04:00 on, 11:00 forming: the source starts there
        pytest.param("1 D", ny(2026, 12, 8, 4, 0).astimezone(UTC), 421, id="no-gaps"),
        # the window starts on Monday, the answer on Tuesday
        pytest.param("2 D", ny(2026, 12, 8, 9, 30).astimezone(UTC), 100, id="listed-later"),
        pytest.param("2 D", "2026-12-07 04:00", 100, id="no-bar-time"),
    ])
    def test_none_where_the_source_holds_nothing_older(self, pinned_clock, asked, first, got):
        assert lookback.gateway_older_part("AAPL", "STK", "1 min", False, False, asked, 2000, got, first) is None

    @at("regular-session")
    def test_daily_bars_end_the_older_part_before_the_first_day(self, pinned_clock):
        # "5 D" from Friday 2026-12-04 holds Friday, Monday and today; the answer lacks Monday
        part = lookback.gateway_older_part("AAPL", "STK", "1 day", True, False, "5 D", 3, 2, dt.date(2026, 12, 4))
        assert part.end == ny(2026, 12, 4).astimezone(UTC)
        older = gateway_bars("AAPL", part.duration, "1 day", True, end=part.end.strftime("%Y%m%d %H:%M:%S UTC"))
        assert [bar.start for bar in older] == [dt.date(2026, 12, 2), dt.date(2026, 12, 3)]


class TestYfinance:
    @at("regular-session")
    @pytest.mark.parametrize("interval, count, designed, pieces, reach", [
        pytest.param("5m", 200, "5d", None, None, id="designed-holds"),
        pytest.param("1d", 100, "5y", None, None, id="daily-designed-holds"),
        # 6 sessions of 390 minutes from Tuesday 2026-12-01: two requests of at most 7 days
        pytest.param("1m", 2000, "5d", [("2026-12-01", "2026-12-08"), ("2026-12-08", "2026-12-09")], None,
                     id="paged"),
        # one-minute bars reach back to 2026-11-09 only
        pytest.param("1m", 20_000, "5d", [("2026-11-09", "2026-11-16"), ("2026-11-16", "2026-11-23"),
                                          ("2026-11-23", "2026-11-30"), ("2026-11-30", "2026-12-07"),
                                          ("2026-12-07", "2026-12-09")], "one-minute bars reach back about 30 days",
                     id="beyond-reach"),
        pytest.param("1d", 2000, "5y", [("2018-12-24", "2026-12-09")], None, id="daily-longer"),
    ])
    def test_latest(self, pinned_clock, interval, count, designed, pieces, reach):
        plan = yfinance_plan.yfinance_latest("AAPL", interval, count, designed)
        if pieces is None:
            assert plan is None
            return
        assert [(str(a), str(b)) for a, b in plan.pieces] == pieces
        assert (plan.reach, plan.asked) == (reach, count)

    @at("regular-session")
    def test_shortfall_is_said_only_where_the_reach_is_why(self, pinned_clock):
        plan = yfinance_plan.yfinance_range("AAPL", "1m", dt.date(2026, 10, 1), dt.date(2026, 12, 1))
        # 43 sessions, the day after Thanksgiving closing at 13:00
        assert plan.pieces[0][0] == dt.date(2026, 11, 9) and plan.asked == 43 * 390 - 180
        assert plan.shortfall(6060) == (f"yfinance holds 6060 of the {plan.asked} bars asked: "
                                        "its one-minute bars reach back about 30 days")
        assert plan.shortfall(plan.asked) is None
        plan = yfinance_plan.yfinance_range("AAPL", "1d", dt.date(2020, 1, 1), dt.date(2020, 2, 1))
        assert plan.pieces == [(dt.date(2020, 1, 1), dt.date(2020, 2, 2))] and plan.shortfall(0) is None


def test_every_period_word_of_kline_has_its_bar_size():
    kline = pytest.importorskip("korvanta.cmds.quotes.kline")
    assert closed_hours.PERIOD_BARS == {**kline.PERIOD_MAP, "intraday": "1 min"}


class TestCurrentWhileClosed:
    """Entries the age rules call stale that hold the latest bars while the market is closed."""

    @pytest.mark.parametrize("now, key, last, cached_at, current", [
        # Sunday: Friday's daily bar, written after Friday's close, until Monday 09:30
        pytest.param("weekend", "AAPL:day:none:count_100", dt.date(2026, 12, 4), "weekend", True, id="sunday-daily"),
        pytest.param(ny(2026, 12, 7, 9, 29), "AAPL:d:none:count_5", dt.date(2026, 12, 4), "weekend", True,
                     id="before-monday-open"),
        pytest.param(ny(2026, 12, 7, 9, 30), "AAPL:day:none:count_100", dt.date(2026, 12, 4), "weekend", False,
                     id="monday-open"),
        # written while Friday's bar was still forming
        pytest.param("weekend", "AAPL:day:none:count_100", dt.date(2026, 12, 4), ny(2026, 12, 4, 15), False,
                     id="partial-bar"),
        pytest.param("weekend", "AAPL:day:none:count_100", dt.date(2026, 12, 3), "weekend", False, id="older-bar"),
        # after 20:00 the 5-minute bar 19:55 ends the extended session, until 04:00
        pytest.param("late-evening", "AAPL:5m:none:count_200", dt.datetime(2026, 12, 8, 19, 55), "late-evening",
                     True, id="late-evening-5m"),
        pytest.param("late-evening", "AAPL:5m:none:count_200", dt.datetime(2026, 12, 8, 19, 50), "late-evening",
                     False, id="not-the-last-bar"),
        pytest.param(ny(2026, 12, 9, 4, 0), "AAPL:5m:none:count_200", dt.datetime(2026, 12, 8, 19, 55),
                     "late-evening", False, id="next-open"),
        pytest.param("late-evening", "AAPL:intraday:full", dt.datetime(2026, 12, 8, 19, 59), "late-evening", True,
                     id="intraday-curve"),
        # the market is open: the designed rule alone
        pytest.param("regular-session", "AAPL:5m:none:count_200", dt.datetime(2026, 12, 7, 19, 55),
                     "regular-session", False, id="in-session"),
        # futures: the 16:00-17:00 Chicago halt, last hourly bar 15:00 Chicago
        pytest.param("futures-break", "/ES:1h:none:count_10", dt.datetime(2026, 12, 8, 16, 0), "futures-break",
                     True, id="futures-halt"),
        pytest.param("late-evening", "/ES:1h:none:count_10", dt.datetime(2026, 12, 8, 16, 0), "late-evening",
                     False, id="futures-trade-in-the-evening"),
        # weekly bars are dated by their first day: on Thanksgiving, that week's bar ends with Wednesday
        pytest.param("holiday", "AAPL:week:none:count_10", dt.date(2026, 11, 23), "holiday", True, id="week"),
        pytest.param("weekend", "AAPL:day:none:count_100", "2026-12-04", "weekend", False, id="text-date"),
        pytest.param("weekend", "AAPL:2h:none:count_1", dt.date(2026, 12, 4), "weekend", False, id="unknown-period"),
    ])
    def test_rule(self, now, key, last, cached_at, current):
        moment = SWEEP[now] if isinstance(now, str) else now
        stored = SWEEP[cached_at] if isinstance(cached_at, str) else cached_at
        assert closed_hours.current_while_closed(key, last, stored.timestamp(), moment.timestamp(), NEW_YORK) \
            is current
