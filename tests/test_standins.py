"""Host and quodra stand-ins: word parsing, frames, number text and the two-level cache."""

import asyncio
import datetime as dt
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


@pytest.mark.parametrize("held_by", ["both", "disk", "memory", "neither"])
def test_dual_cache_deletes_a_key_either_level_holds(tmp_path, held_by):
    # "disk": another instance (another process) wrote it; "memory": another removed it since
    prefix = str(tmp_path / "deep" / "cache-")
    cache, other = DualCache("kline", cachePrefix=prefix), DualCache("kline", cachePrefix=prefix)
    other["kept"] = {"bars": [{"date": dt.date(2024, 1, 2), "at": dt.datetime(2024, 1, 2, 9, 30)}]}
    # read from disk once, then the very object from memory
    assert cache.get("kept") == other.get("kept") and cache.get("kept") is cache.get("kept")
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
    assert cache.keys() == ["kept"]


# Pickled, this is well over the size diskcache keeps in its database: stored as a file.
LARGE = {"bars": [{"date": dt.datetime(2024, 1, 2, 9, 30), "close": float(i)}
                  for i in range(3000)]}


def test_dual_cache_value_file_removed_by_hand_is_a_miss(tmp_path):
    DualCache("kline", cachePrefix=str(tmp_path / "cache-"))["large"] = LARGE
    (value_file,) = (tmp_path / "cache-kline").rglob("*.val")
    value_file.unlink()
    assert DualCache("kline", cachePrefix=str(tmp_path / "cache-")).get("large") is None


def test_dual_cache_reads_again_when_a_rewrite_removes_the_file_it_was_opening(tmp_path, monkeypatch):
    # A race between processes, made to happen: another writer replaces the key's value file
    # after this reader found the key's row and before it opens the file the row names.
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


def test_print_frame_multiindex_and_abbreviated(capsys):
    columns = pd.MultiIndex.from_tuples([("Executions", "price"), ("Commissions", "commission")])
    frame = pd.DataFrame(np.arange(200).reshape(100, 2), columns=columns, index=[f"r{i}" for i in range(100)])
    with frame_settings(rows=6):
        assert printFrame(frame, "Fills today") is None
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Fills today" and "Executions" in lines[1] and "commission" in lines[2]
    labels = {line.split()[0] for line in lines[3:] if line.strip()}
    assert {"r0", "r99"} <= labels and "r50" not in labels and len(lines) < 20
