"""Host and quodra stand-ins: word parsing, frames, number text and the two-level cache."""

import asyncio
import datetime as dt
import os
import subprocess
import sys
from dataclasses import dataclass, field

import diskcache
import numpy as np
import pandas as pd
import pytest

from korvanta.cmds.base import IOp, command, execute
from korvanta.cmds.utils import addRowSafe
from quodra.dispatch import DArg, parse_words
from quodra.dualcache import DualCache
from quodra.frame import printFrame
from quodra.frame import using as frame_settings
from quodra.numeric import fmtPrice

KLINE = [DArg("symbol", convert=str.upper), DArg("*rest")]
SYMBOLS = [DArg("*symbols", convert=lambda words: {w.upper() for w in words})]


@pytest.mark.parametrize("argmap, words, expected", [
    (KLINE, ["aapl", "5m", "adj"], {"symbol": "AAPL", "rest": ["5m", "adj"]}),
    (KLINE, [], {"symbol": None, "rest": []}),
    (SYMBOLS, [], {"symbols": set()}),
    (SYMBOLS, ["a", "A", "b"], {"symbols": {"A", "B"}}),
    ([DArg("symbol")], ["aapl", "typo"], ValueError),
    ([DArg("*rest"), DArg("symbol")], ["x"], ValueError),
], ids=["one+rest", "no-words", "star-empty", "star-list", "extra-word", "star-not-last"])
def test_parse_words(argmap, words, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            parse_words(argmap, words)
    else:
        assert parse_words(argmap, words) == expected


@command(names=["t-echo"])
@dataclass
class IOpEcho(IOp):
    symbols: set = field(init=False)

    def argmap(self):
        return SYMBOLS

    async def run(self):
        return self.symbols, self.state


def test_execute_builds_init_false_command_and_checks_gateway():
    state = type("State", (), {"connected": True})()
    assert asyncio.run(execute(["t-echo", "msft"], state=state)) == ({"MSFT"}, state)
    with pytest.raises(RuntimeError):
        asyncio.run(execute(["t-echo"], state=None))


MIXED = pd.DataFrame({
    "shares": [100, 2], "price": [10.0, 1.5], "side": ["BOT", "SLD"], "obj": [object(), None],
    "time": pd.to_datetime(["2024-01-02 10:00", "2024-01-02 11:00"]).tz_localize("UTC"),
})


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("frame", [MIXED, MIXED.iloc[:0], pd.DataFrame()], ids=["mixed", "no-rows", "bare"])
def test_add_row_safe(frame):
    before = frame.copy()
    out = addRowSafe(frame, "sum", pd.Series({"shares": 102.0, "price": np.nan, "time": pd.NaT, "obj": 1.5}))
    pd.testing.assert_frame_equal(frame, before)
    assert list(out.index) == [*frame.index, "sum"]
    assert out.loc["sum", "shares"] == 102.0 and pd.isna(out.loc["sum", "price"])
    pd.testing.assert_frame_equal(out.iloc[:-1][frame.columns], frame, check_dtype=False,
                                  check_index_type=False, check_column_type=False)
    if "time" in frame:
        assert out["time"].dtype == frame["time"].dtype


@pytest.mark.parametrize("value, text", [
    (np.float64("inf"), "inf"), (-np.inf, "-inf"), (np.nan, "nan"), (None, ""), (pd.NA, ""),
    (np.int64(12345), "12,345"), (True, "True"), (1234.5, "1,234.50"), (0.0035, "0.0035"),
])
def test_fmt_price(value, text):
    assert fmtPrice(value) == text


def test_dual_cache_across_processes(tmp_path):
    prefix = str(tmp_path / "deep" / "cache-")
    value = {"bars": [{"date": dt.date(2024, 1, 2), "at": dt.datetime(2024, 1, 2, 9, 30)}]}
    writer = (f"import datetime; from quodra.dualcache import DualCache; "
              f"c = DualCache('kline', cachePrefix={prefix!r}); c['old'] = {value!r}; c.close()")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    subprocess.run([sys.executable, "-c", writer], check=True, env=env)

    cache = DualCache("kline", cachePrefix=prefix)
    assert list(cache.keys()) == ["old"] and cache.get("old") == value
    assert cache.get("old") is cache.get("old")
    cache["new"] = value
    del cache["old"]
    assert cache.get("old") is None and "old" not in cache
    with pytest.raises(KeyError):
        del cache["old"]
    assert list(cache.keys()) == ["new"]
    cache.close()


@pytest.mark.parametrize("held_by", ["both", "disk", "memory", "neither"])
def test_dual_cache_deletes_a_key_either_level_holds(tmp_path, held_by):
    # "disk": another instance (another process) wrote it; "memory": another removed it since
    prefix = str(tmp_path / "cache-")
    cache, other = DualCache("kline", cachePrefix=prefix), DualCache("kline", cachePrefix=prefix)
    if held_by != "neither":
        (other if held_by == "disk" else cache)["key"] = {"bars": []}
    if held_by == "memory":
        del other["key"]
    if held_by == "neither":
        with pytest.raises(KeyError):
            del cache["key"]
    else:
        del cache["key"]
    assert "key" not in cache and DualCache("kline", cachePrefix=prefix).get("key") is None


# Pickled, this is well over the size diskcache keeps in its database: stored as a file.
LARGE = {"bars": [{"date": dt.datetime(2024, 1, 2, 9, 30), "close": float(i)}
                  for i in range(3000)]}


def test_dual_cache_reads_what_plain_diskcache_wrote(tmp_path):
    # Entries earlier processes stored through diskcache's own storage stay readable.
    old = diskcache.Cache(str(tmp_path / "cache-kline"))
    old["small"], old["large"] = {"bars": []}, LARGE
    old.close()
    cache = DualCache("kline", cachePrefix=str(tmp_path / "cache-"))
    assert cache.get("small") == {"bars": []} and cache.get("large") == LARGE


def test_dual_cache_value_file_removed_by_hand_is_a_miss(tmp_path):
    DualCache("kline", cachePrefix=str(tmp_path / "cache-"))["large"] = LARGE
    (value_file,) = (tmp_path / "cache-kline").rglob("*.val")
    value_file.unlink()
    assert DualCache("kline", cachePrefix=str(tmp_path / "cache-")).get("large") is None


def test_dual_cache_reads_again_when_a_rewrite_removes_the_file_it_was_opening(tmp_path, monkeypatch):
    # The race the next test waits for, made to happen: another writer replaces the key's value
    # file after this reader found the key's row and before it opens the file the row names.
    prefix, newer = str(tmp_path / "cache-"), {"bars": LARGE["bars"][:2000]}
    DualCache("kline", cachePrefix=prefix)["key"] = LARGE
    reader, writer = DualCache("kline", cachePrefix=prefix), DualCache("kline", cachePrefix=prefix)
    fetch = diskcache.Disk.fetch

    def fetch_after_a_rewrite(self, *args):
        monkeypatch.setattr(diskcache.Disk, "fetch", fetch)
        writer["key"] = newer
        return fetch(self, *args)

    monkeypatch.setattr(diskcache.Disk, "fetch", fetch_after_a_rewrite)
    assert reader.get("key") == newer
    reader.close()
    writer.close()


REWRITER = """
import sys, time
from quodra.dualcache import DualCache
prefix, seconds, keys = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
cache = DualCache("kline", cachePrefix=prefix)
bars = [{"date": i, "close": float(i)} for i in range(3000)]
print("ready", flush=True)
writes, end = 0, time.monotonic() + seconds
# enough rewrites to race with however slowly a loaded machine runs them
while time.monotonic() < end or writes < 60:
    for key in keys:
        cache[key] = {"bars": bars, "cached_at": time.time()}
        writes += 1
print(writes)
"""


def test_dual_cache_never_misses_a_key_another_process_rewrites(tmp_path):
    # Each read opens the store afresh, as each command of a new process would.
    # Half a second by default: the test before makes the race happen every time; this one
    # shows no miss between real processes (set the variable to run it for longer).
    seconds = float(os.environ.get("KORVANTA_CACHE_RACE_SECONDS", "0.5"))
    prefix, keys = str(tmp_path / "cache-"), ["SPY:day:none:count_250", "SPY:5m:none:count_78"]
    first = DualCache("kline", cachePrefix=prefix)
    for key in keys:
        first[key] = LARGE
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    writer = subprocess.Popen([sys.executable, "-c", REWRITER, prefix, str(seconds), *keys],
                              stdout=subprocess.PIPE, text=True, env=env)
    assert writer.stdout.readline() == "ready\n"
    reads = misses = 0
    while writer.poll() is None:
        for key in keys:
            reader = DualCache("kline", cachePrefix=prefix)
            misses += reader.get(key) is None
            reads += 1
            reader.close()
    writes = int(writer.stdout.read())
    assert writer.returncode == 0 and writes > 20 and reads > 20
    assert misses == 0, f"{misses} of {reads} reads missed during {writes} rewrites"


def test_print_frame_multiindex_and_abbreviated(capsys):
    columns = pd.MultiIndex.from_tuples([("Executions", "price"), ("Commissions", "commission")])
    frame = pd.DataFrame(np.arange(200).reshape(100, 2), columns=columns, index=[f"r{i}" for i in range(100)])
    with frame_settings(rows=6):
        assert printFrame(frame, "Fills today") is None
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Fills today" and "Executions" in lines[1] and "commission" in lines[2]
    labels = {line.split()[0] for line in lines[3:] if line.strip()}
    assert {"r0", "r99"} <= labels and "r50" not in labels and len(lines) < 20
