"""The bar cache: key forms, staleness, larger-count reuse, invalidation, persistence."""

import contextlib
import os
import sqlite3
import subprocess
import sys
import textwrap
import time
import types
from datetime import date, datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import diskcache
import pytest

from korvanta.gateway import barhold
from korvanta.gateway.barhold import Barhold
from quodra.dualcache import DualCache

NEW_YORK = ZoneInfo("America/New_York")


class Clock:
    """Stands in for the module's `time`, so ages are exact."""

    def __init__(self, now):
        self.now = now

    def time(self):
        return self.now


@pytest.fixture
def clock(monkeypatch):
    clock = Clock(datetime(2026, 6, 10, 15, 30, tzinfo=NEW_YORK).timestamp())
    monkeypatch.setattr(barhold, "time", clock)
    return clock


@pytest.fixture
def hold(tmp_path):
    return Barhold(tmp_path / "data")


def bars_dated(*dates):
    return [{"date": d, "close": float(i)} for i, d in enumerate(dates)]


def test_module_names_in_order():
    names = [n for n in vars(barhold) if not n.startswith("__")]
    assert names == ["os", "time", "date_type", "datetime", "Path", "ZoneInfo", "DualCache",
                     "current_while_closed", "still_forming", "STALE_AFTER", "_EXCHANGE_TZ", "Barhold"]
    assert Barhold.__mro__ == (Barhold, object)
    assert barhold.__file__.endswith(".so")


class TestKeys:
    @pytest.mark.parametrize("args, key", [
        (("SPY", "day", "none", 250), "SPY:day:none:count_250"),
        (("spy", "day", "none", 250), "spy:day:none:count_250"),
        (("SPY", "day", "none", 250.7), "SPY:day:none:count_250"),
        (("SPY", "day", "none", -3.9), "SPY:day:none:count_-3"),
        (("SPY", "5m", "adj", True), "SPY:5m:adj:count_1"),
    ], ids=["plain", "lower-case-kept", "float-truncated", "negative-float", "bool"])
    def test_count_key(self, args, key):
        assert Barhold.count_key(*args) == key

    @pytest.mark.parametrize("symbol, key", [
        ("SPY", "SPY:intraday:full"),
        ("spy", "SPY:intraday:full"),
        ("straße", "STRASSE:intraday:full"),
    ])
    def test_intraday_key_upper_cases(self, symbol, key):
        assert Barhold.intraday_key(symbol) == key

    @pytest.mark.parametrize("symbol", ["SPY", "ÄPFEL", "株式", "𝔖PY"],
                             ids=["ascii", "latin-1", "two-byte", "four-byte"])
    @pytest.mark.parametrize("count", [0, -3, 2**63, -(10**30)])
    def test_count_key_of_any_text_width(self, symbol, count):
        assert Barhold.count_key(symbol, "day", "adj", count) == f"{symbol}:day:adj:count_{count}"

    @pytest.mark.parametrize("text", ["none", "ÄPFEL", "株式", "𝔖PY"],
                             ids=["ascii", "latin-1", "two-byte", "four-byte"])
    def test_range_and_intraday_keys_of_any_text_width(self, text):
        assert Barhold.range_key("SPY", "1m", text, "20260520", text) == \
            f"SPY:1m:{text}:20260520_{text}"
        assert Barhold.intraday_key(text) == f"{text.upper()}:intraday:full"

    def test_range_key_and_keywords(self, hold):
        assert hold.range_key(symbol="SPY", period="1m", adjust="none", start="20260520",
                              end="20260527") == "SPY:1m:none:20260520_20260527"

    class Text(str):
        pass

    # beside the hostile values every typed parameter meets in the argument-error tests
    @pytest.mark.parametrize("call", [
        lambda h: Barhold.count_key("SPY", "day", None, 1),
        lambda h: Barhold.count_key(TestKeys.Text("SPY"), "day", "none", 1),
        lambda h: Barhold.intraday_key(b"SPY"),
        lambda h: h.get(1),
        lambda h: h.set("k", type("Bars", (list,), {})()),
        lambda h: h.try_larger_count("SPY", "day", "none", "100"),
    ], ids=["adjust-none", "str-subclass", "bytes", "key-int", "bars-list-subclass", "count-text-larger"])
    def test_wrong_types_refused(self, hold, call):
        with pytest.raises(TypeError):
            call(hold)

    def test_missing_argument_named(self, hold):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'key'"):
            hold.get()


class TestStaleness:
    def test_period_field_kept_for_the_next_read_is_counted(self, clock, monkeypatch):
        # First of its class: with this counting wrong, the reads of the tests after it crash.
        # The module keeps the period field read last, and hands it out again for the next key
        # of that period: it owns one reference to it while it keeps it, and none after.
        kept = {}

        def keep(text):
            kept[text] = text

        class Thresholds(dict):
            def get(self, period, default=None):
                keep(period)
                return super().get(period, default)

        keep("".join(["con", "trol"]))  # a text nothing else holds

        def held_elsewhere(period):
            return sys.getrefcount(kept[period]) - sys.getrefcount(kept["control"])

        monkeypatch.setattr(barhold, "STALE_AFTER", Thresholds(barhold.STALE_AFTER))
        entry = {"cached_at": clock.now, "bars": []}
        for key, references in [("SPY:5m:none:count_10", {"5m": 1}), ("QQQ:5m:none:count_20", {"5m": 1}),
                                ("SPY:1h:none:count_10", {"5m": 0, "1h": 1})]:
            assert Barhold._is_stale(entry, key) is False
            assert {period: held_elsewhere(period) for period in references} == references, key

    def test_missing_key(self, hold, clock):
        hold.set("SPY:day:none:count_1", [])
        assert hold.get("SPY:day:none:count_2") is None
        assert hold.cache.keys() == ["SPY:day:none:count_1"]

    def test_entry_without_cached_at_is_dropped(self, hold, clock):
        hold.cache["SPY:day:none:count_1"] = {"bars": []}
        assert hold.get("SPY:day:none:count_1") is None
        assert hold.cache.get("SPY:day:none:count_1") is None

    @pytest.mark.parametrize("key, threshold", [
        ("SPY:5m:none:count_10", 300),
        ("SPY:intraday:full", 120),
        ("nocolon", 86400),
        ("SPY:2h:none:count_10", 86400),
    ], ids=["5m", "intraday", "no-colon-is-day", "unknown-period"])
    def test_age_rule_boundary(self, hold, clock, key, threshold):
        bars = [{"date": "text dates: age rule only"}]
        hold.set(key, bars)
        clock.now += threshold
        assert hold.get(key) is bars
        clock.now += 0.001
        assert hold.get(key) is None
        assert hold.cache.get(key) is None

    def test_each_key_is_judged_by_its_own_period(self, hold, clock):
        # Read in turn, keys of wider text among them: no key borrows another's threshold.
        periods = {Barhold.count_key(symbol, period, "none", 10): period
                   for symbol in ("SPY", "株式") for period in ("5m", "1h", "day")}
        for key in periods:
            hold.set(key, [{"date": "text dates: age rule only"}])
        clock.now += 301
        assert {key: hold.get(key) is not None for key in periods} == \
            {key: period != "5m" for key, period in periods.items()}

    def test_clock_of_the_time_module_itself(self, hold, monkeypatch):
        before = time.time()
        hold.set("SPY:5m:none:count_1", [])
        assert before <= hold.cache.get("SPY:5m:none:count_1")["cached_at"] <= time.time()
        # A clock moved on the time module, not on the module's name for it, is read too.
        monkeypatch.setattr(time, "time", lambda: before + 1000)
        hold.set("SPY:5m:none:count_1", [])
        assert hold.cache.get("SPY:5m:none:count_1")["cached_at"] == before + 1000
        monkeypatch.setattr(time, "time", lambda: before + 1000 + 301)
        assert hold.get("SPY:5m:none:count_1") is None

    def test_fresh_empty_list_is_a_hit(self, hold, clock):
        empty = []
        hold.set("SPY:day:none:count_5", empty)
        assert hold.get("SPY:day:none:count_5") is empty

    @pytest.mark.parametrize("last, fresh", [
        (date(2026, 6, 9), True),
        (date(2026, 6, 8), False),
        (datetime(2026, 6, 8, 23, 59), True),
        (datetime(2026, 6, 7, 12, 0), False),
    ], ids=["yesterday", "two-days", "two-days-late-evening", "three-days-noon"])
    def test_daily_last_bar_rule(self, hold, clock, last, fresh):
        hold.set("SPY:day:none:count_2", bars_dated(last - timedelta(days=1), last))
        assert (hold.get("SPY:day:none:count_2") is not None) is fresh

    @pytest.mark.parametrize("tz", [timezone.utc, ZoneInfo("Asia/Tokyo"), None],
                             ids=["utc", "tokyo", "naive"])
    def test_last_bar_zone_is_relabelled_not_converted(self, hold, clock, tz):
        # 14:30 read as New York time is one hour old; converted from UTC or Tokyo it
        # would be hours old (or in the future) and the answer would differ.
        last = datetime(2026, 6, 10, 14, 30, tzinfo=tz)
        hold.set("SPY:1h:none:count_1", bars_dated(last))
        assert hold.get("SPY:1h:none:count_1") is not None
        clock.now += 3600 + 1
        assert hold.get("SPY:1h:none:count_1") is None

    @pytest.mark.parametrize("tz", [NEW_YORK, None], ids=["new-york", "naive"])
    @pytest.mark.parametrize("fold, fresh", [(0, False), (1, True)], ids=["EDT", "EST"])
    def test_last_bar_in_the_repeated_hour_read_by_fold(self, hold, clock, tz, fold, fresh):
        # 01:30 happens twice on the fall-back day: 05:30 UTC (fold 0) and 06:30 UTC
        # (fold 1). At 08:00 UTC the first is 2.5 h old, past the 2 h limit of hourly bars;
        # the second is 1.5 h old. Only the fold tells them apart.
        clock.now = datetime(2026, 11, 1, 8, 0, tzinfo=timezone.utc).timestamp()
        hold.set("SPY:1h:none:count_1", bars_dated(datetime(2026, 11, 1, 1, 30, fold=fold,
                                                            tzinfo=tz)))
        assert (hold.get("SPY:1h:none:count_1") is not None) is fresh

    def test_module_tables_read_at_call_time(self, hold, clock, monkeypatch):
        hold.set("SPY:day:none:count_1", bars_dated(date(2026, 6, 10)))
        monkeypatch.setitem(barhold.STALE_AFTER, "day", 10)
        clock.now += 11
        assert hold.get("SPY:day:none:count_1") is None

    def test_exchange_zone_read_at_call_time(self, hold, clock, monkeypatch):
        # 15:00 in Tokyo is long past at 15:30 New York time, so 1m bars are stale there.
        hold.set("SPY:1m:none:count_1", bars_dated(datetime(2026, 6, 10, 15, 29)))
        monkeypatch.setattr(barhold, "_EXCHANGE_TZ", ZoneInfo("Asia/Tokyo"))
        assert hold.get("SPY:1m:none:count_1") is None

    def test_subclass_rule_is_used(self, tmp_path, clock):
        class Forever(Barhold):
            @staticmethod
            def _is_stale(entry, key):
                return False

        hold = Forever(tmp_path)
        hold.cache["k"] = {"bars": [1]}
        assert hold.get("k") == [1]

    def test_stored_non_list_bars_is_a_type_error(self, hold, clock):
        hold.cache["k"] = {"bars": ({"date": "x"},), "cached_at": clock.now}
        with pytest.raises(TypeError):
            hold.get("k")

    def test_stored_non_dict_is_a_type_error(self, hold, clock):
        hold.cache["k"] = ["not", "an", "entry"]
        with pytest.raises(TypeError):
            hold.get("k")


class TestClosedHours:
    """An entry the age rules call stale holds the latest bars while the market is closed."""

    def test_the_calendar_is_asked_only_once_the_age_rules_say_stale(self, hold, clock, monkeypatch):
        asked = []
        monkeypatch.setattr(barhold, "current_while_closed", lambda *args: asked.append(args) or True)
        key, bars = "SPY:day:none:count_1", bars_dated(date(2026, 6, 10))
        hold.set(key, bars)
        stored = clock.now
        assert hold.get(key) is bars and asked == []
        clock.now += 3 * 86400
        assert hold.get(key) is bars
        assert asked == [(key, date(2026, 6, 10), stored, clock.now, barhold._EXCHANGE_TZ)]
        # looked up at each call: a replacement is the rule from then on
        monkeypatch.setattr(barhold, "current_while_closed", lambda *args: False)
        assert hold.get(key) is None and hold.cache.get(key) is None

    @pytest.mark.parametrize("key, last, stored, read, kept", [
        # a Sunday: Friday's daily bar stays until Monday's 09:30 open
        ("SPY:day:none:count_5", date(2026, 6, 12), datetime(2026, 6, 14, 13, 0),
         datetime(2026, 6, 14, 19, 0), True),
        ("SPY:day:none:count_5", date(2026, 6, 12), datetime(2026, 6, 14, 13, 0),
         datetime(2026, 6, 15, 9, 31), False),
        # after 20:00 the 5-minute bar of 19:55 ends the extended session, until 04:00
        ("SPY:5m:none:count_200", datetime(2026, 6, 10, 19, 55), datetime(2026, 6, 10, 20, 30),
         datetime(2026, 6, 11, 3, 59), True),
        ("SPY:5m:none:count_200", datetime(2026, 6, 10, 19, 55), datetime(2026, 6, 10, 20, 30),
         datetime(2026, 6, 11, 4, 1), False),
    ], ids=["sunday", "monday-open", "night", "next-morning"])
    def test_until_the_next_session_opens(self, hold, clock, key, last, stored, read, kept):
        clock.now = stored.replace(tzinfo=NEW_YORK).timestamp()
        hold.set(key, bars_dated(last))
        clock.now = read.replace(tzinfo=NEW_YORK).timestamp()
        assert (hold.get(key) is not None) is kept


class TestFinishedBarsOnly:
    """A list whose newest intraday bar is still forming is not stored: a later read would
    serve that bar as it stood."""

    @pytest.mark.parametrize("key, last, at, stored", [
        ("SPY:5m:none:count_200", datetime(2026, 6, 10, 15, 25), datetime(2026, 6, 10, 15, 29, 59), False),
        ("SPY:5m:none:count_200", datetime(2026, 6, 10, 15, 25), datetime(2026, 6, 10, 15, 30), True),
        # the extended session's last bar, and the one-minute curve of today
        ("SPY:1h:none:count_10", datetime(2026, 6, 10, 19, 0), datetime(2026, 6, 10, 19, 59), False),
        ("SPY:intraday", datetime(2026, 6, 10, 15, 29), datetime(2026, 6, 10, 15, 29, 30), False),
        # a close ends the bar: nothing more trades in it
        ("SPY:1h:none:count_10", datetime(2026, 6, 10, 19, 30), datetime(2026, 6, 10, 20, 0), True),
        # /ES halts from 17:00 to 18:00 New York
        ("/ES:1h:none:count_10", datetime(2026, 6, 10, 16, 30), datetime(2026, 6, 10, 17, 10), True),
        ("/ES:1h:none:count_10", datetime(2026, 6, 10, 18, 0), datetime(2026, 6, 10, 18, 10), False),
        # today's daily bar is judged by the age rules, as before
        ("SPY:day:none:count_5", datetime(2026, 6, 10, 0, 0), datetime(2026, 6, 10, 15, 30), True),
    ], ids=["forming", "finished", "last-of-session", "curve", "closed", "futures-halt",
            "futures-open", "daily"])
    def test_what_is_kept(self, hold, clock, key, last, at, stored):
        clock.now = at.replace(tzinfo=NEW_YORK).timestamp()
        bars = bars_dated(last - timedelta(hours=1), last)
        hold.set(key, bars)
        assert (hold.cache.get(key) == {"bars": bars, "cached_at": clock.now}) is stored
        assert (hold.get(key) is not None) is stored

    def test_only_dated_records_are_asked_about(self, hold, clock, monkeypatch):
        asked = []
        monkeypatch.setattr(barhold, "still_forming", lambda *args: asked.append(args) or True)
        for bars in ([], [{"date": date(2026, 6, 10)}], [{"date": "2026-06-10 15:25"}], [("not", "a", "dict")]):
            hold.set("k:5m", bars)
            assert hold.cache.get("k:5m")["bars"] is bars
        assert asked == []
        when = datetime(2026, 6, 10, 15, 25)
        hold.set("SPY:5m", bars_dated(when))
        assert asked == [("SPY:5m", when, clock.now, barhold._EXCHANGE_TZ)] and hold.cache.get("SPY:5m") is None


class TestLargerCount:
    def fill(self, hold, counts, period="day"):
        for n in counts:
            hold.set(Barhold.count_key("SPY", period, "none", n),
                     [{"date": "x", "n": n, "i": i} for i in range(n)])

    def test_smallest_qualifying_entry_serves(self, hold, clock):
        self.fill(hold, [500, 250, 50])
        got = hold.try_larger_count("SPY", "day", "none", 100)
        assert [b["n"] for b in got] == [250] * 100
        assert [b["i"] for b in got] == list(range(150, 250))

    def test_nothing_large_enough(self, hold, clock):
        self.fill(hold, [50])
        assert hold.try_larger_count("SPY", "day", "none", 100) is None

    def test_stale_candidate_is_dropped_without_trying_another(self, hold, clock):
        self.fill(hold, [250])
        clock.now += 86401
        self.fill(hold, [500])
        assert hold.try_larger_count("SPY", "day", "none", 100) is None
        assert hold.cache.keys() == ["SPY:day:none:count_500"]

    def test_short_candidate_gives_none(self, hold, clock):
        hold.set("SPY:day:none:count_500", [{"date": "x"}] * 80)
        self.fill(hold, [1000])
        assert hold.try_larger_count("SPY", "day", "none", 100) is None

    @pytest.mark.parametrize("tail, served", [
        ("abc", False), (" 300 ", True), ("+300", True), ("3_00", False), ("٣٠٠", True),
    ], ids=["text", "spaces", "sign", "last-underscore-splits", "arabic-indic-digits"])
    def test_tail_parsed_as_int_of_text(self, hold, clock, tail, served):
        hold.set("SPY:day:none:count_" + tail, [{"date": "x"}] * 300)
        got = hold.try_larger_count("SPY", "day", "none", 100)
        assert (got is not None) is served

    def test_zero_count_copies_whole_list(self, hold, clock):
        self.fill(hold, [30])
        stored = hold.get("SPY:day:none:count_30")
        got = hold.try_larger_count("SPY", "day", "none", 0)
        assert got == stored and got is not stored

    def test_other_symbol_period_adjust_ignored(self, hold, clock):
        self.fill(hold, [500], period="week")
        hold.set("SPYX:day:none:count_500", [{"date": "x"}] * 500)
        hold.set("SPY:day:adj:count_500", [{"date": "x"}] * 500)
        assert hold.try_larger_count("SPY", "day", "none", 100) is None


def test_invalidate_removes_only_the_symbol(hold, clock):
    for key in ["SPY:day:none:count_250", "SPY:1m:none:2026-01-02_2026-01-03",
                Barhold.intraday_key("spy"), "SPYX:day:none:count_250"]:
        hold.set(key, [])
    assert hold.invalidate("spy") == 0
    assert hold.invalidate("SPY") == 3
    assert hold.cache.keys() == ["SPYX:day:none:count_250"]


@contextlib.contextmanager
def locked(directory):
    """Another process's writer holding the store's write lock."""
    other = sqlite3.connect(directory / "cache-kline" / diskcache.core.DBNAME,
                            isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    try:
        yield
    finally:
        other.execute("ROLLBACK")
        other.close()


class TestLevelsInStep:
    """A write or deletion the disk level refuses changes neither level."""

    KEY = "SPY:day:none:count_1"

    @pytest.fixture
    def hold(self, tmp_path, clock):
        hold = Barhold(tmp_path)
        # A short wait for the write lock, so that a locked store fails at once.
        hold.cache = DualCache("kline", cachePrefix=str(tmp_path / "cache-"), timeout=0.05)
        return hold

    def on_disk(self, directory, key):
        """The entry as another process reads it."""
        return DualCache("kline", cachePrefix=str(directory / "cache-")).get(key)

    @pytest.mark.parametrize("key, bars, error", [
        ("SPY:day:\udc80:count_1", [{"date": "x"}], UnicodeEncodeError),
        (KEY, [{"date": "x", "closing": lambda: 0}], Exception),
    ], ids=["lone-surrogate-key", "unpicklable-bars"])
    def test_failed_set(self, hold, tmp_path, key, bars, error):
        kept = [{"date": "x", "close": 1.0}]
        hold.set(self.KEY, kept)
        with pytest.raises(error):
            hold.set(key, bars)
        assert hold.cache.keys() == [self.KEY]
        assert hold.get(self.KEY) is kept
        assert self.on_disk(tmp_path, self.KEY)["bars"] == kept

    def test_set_gives_up_on_a_locked_store(self, hold, tmp_path):
        with locked(tmp_path), pytest.raises(diskcache.Timeout):
            hold.set(self.KEY, [])
        assert hold.get(self.KEY) is None
        hold.set(self.KEY, [])
        assert hold.get(self.KEY) == []

    @pytest.mark.parametrize("delete", [
        lambda hold, key: hold.get(key),  # stale: dropped on read
        lambda hold, key: hold.invalidate("SPY"),
    ], ids=["stale-get", "invalidate"])
    def test_failed_deletion(self, hold, tmp_path, clock, delete):
        bars = [{"date": "x"}]
        hold.set(self.KEY, bars)
        clock.now += 86401
        with locked(tmp_path), pytest.raises(diskcache.Timeout):
            delete(hold, self.KEY)
        assert hold.cache.keys() == [self.KEY]
        assert hold.cache.get(self.KEY)["bars"] is bars
        assert self.on_disk(tmp_path, self.KEY)["bars"] == bars
        delete(hold, self.KEY)
        assert hold.cache.keys() == []


class TestDataDirectory:
    def test_empty_variable_means_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setenv("KORVANTA_DATA_DIR", "")
        Barhold()
        assert (tmp_path / "cache-kline").is_dir()

    def test_tilde_is_not_expanded(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        Barhold("~store")
        assert (tmp_path / "~store" / "cache-kline").is_dir()

    def test_default_is_under_home(self, tmp_path, monkeypatch):
        monkeypatch.delenv("KORVANTA_DATA_DIR", raising=False)
        monkeypatch.setenv("HOME", str(tmp_path))
        Barhold()
        assert (tmp_path / ".korvanta" / "cache-kline").is_dir()


def run_python(code, **env):
    # tests/fakes on the path: the child's clock is the test's pinned one
    fakes = os.path.join(os.path.dirname(__file__), "fakes")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": fakes, **env}, timeout=60)


def test_entry_survives_the_process(tmp_path, pinned_clock):
    writer = run_python("""
        from datetime import datetime
        from korvanta.gateway.barhold import Barhold
        hold = Barhold()
        hold.set("SPY:day:none:count_1", [{"date": datetime(2026, 1, 2, 9, 30), "close": 1.5}])
        print(hold.cache.get("SPY:day:none:count_1")["cached_at"])
    """, KORVANTA_DATA_DIR=str(tmp_path))
    assert writer.returncode == 0, writer.stderr
    hold = Barhold(tmp_path)
    try:
        assert hold.cache.keys() == ["SPY:day:none:count_1"]
        entry = hold.cache.get("SPY:day:none:count_1")
    finally:
        hold.cache.close()
    # stamped by the writer's clock: the test's, handed down
    assert entry["cached_at"] == float(writer.stdout) and 0 <= entry["cached_at"] - pinned_clock.start.timestamp() < 60
    assert entry["bars"] == [{"date": datetime(2026, 1, 2, 9, 30), "close": 1.5}]


@pytest.mark.parametrize("module", ["korvanta.gateway.barhold", "korvanta.cmds.quotes.kline"],
                         ids=["barhold", "kline"])
@pytest.mark.parametrize("zone, error", [
    ("Europe/London", None),
    ("Not/AZone", "ImportError: KORVANTA_EXCHANGE_TZ='Not/AZone' is not a time zone the "
                  "system knows"),
    ("/etc/\udc80", "ImportError: KORVANTA_EXCHANGE_TZ='/etc/\\udc80' is not a time zone the "
                     "system knows (ZoneInfo keys may not be absolute paths, got: /etc/\\udc80)"),
], ids=["known", "unknown", "undecodable-path"])
def test_exchange_zone_from_environment(module, zone, error):
    # The import error itself says what is wrong: it is the one line a shell shows.
    result = run_python(f"""
        import importlib
        importlib.import_module({module!r})
        from korvanta.gateway import barhold
        print(barhold._EXCHANGE_TZ.key)
    """, KORVANTA_EXCHANGE_TZ=zone)
    if error is None:
        assert result.stdout.strip() == zone, result.stderr
    else:
        assert result.returncode != 0
        assert result.stderr.splitlines()[-1] == error


# The last-bar rule computes the bar's timestamp natively; at the exact boundary its
# answer must be the one `datetime.timestamp()` gives, DST folds and gaps included.
from hypothesis import given, settings, strategies as st  # noqa: E402


@settings(max_examples=300, deadline=None)
@given(wall=st.datetimes(min_value=datetime(1971, 1, 1), max_value=datetime(2200, 1, 1)),
       fold=st.sampled_from([0, 1]), nudge=st.sampled_from([-1e-6, 0.0, 1e-6]),
       zone=st.sampled_from(["America/New_York", "Europe/London", "Australia/Lord_Howe"]))
def test_last_bar_boundary_matches_datetime_timestamp(wall, fold, nudge, zone):
    tz = ZoneInfo(zone)
    reference = wall.replace(tzinfo=tz, fold=fold).timestamp()
    entry = {"bars": [{"date": wall.replace(fold=fold, tzinfo=timezone.utc)}]}
    old_clock, old_zone, old_rule = barhold.time, barhold._EXCHANGE_TZ, barhold.current_while_closed
    try:
        barhold._EXCHANGE_TZ = tz
        # the age rule alone: a bar that ends a closed session would keep the entry past its age
        barhold.current_while_closed = lambda *args: False
        now = reference + 2 * 60 + nudge
        barhold.time = Clock(now)
        entry["cached_at"] = now
        expected = now - reference > 120
        assert Barhold._is_stale(entry, "X:1m:none:count_1") is expected
    finally:
        barhold.time, barhold._EXCHANGE_TZ, barhold.current_while_closed = old_clock, old_zone, old_rule


def test_get_set_loop_does_not_grow_memory(tmp_path, traced_growth):
    hold = Barhold(tmp_path)
    hold.cache = {}  # memory level only: disk writes would dominate the loop
    key, bars = "SPY:day:none:count_1", bars_dated(date.today())

    def loop(times):
        for _ in range(times):
            hold.set(key, bars)
            assert hold.get(key) is bars

    loop(1000)
    assert traced_growth(lambda: loop(100_000)) < 16 * 1024
