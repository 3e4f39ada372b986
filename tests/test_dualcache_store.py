"""How DualCache writes entries to disk: long record lists in column form, read back equal,
readable by earlier stores' readers of pickles, never torn by a writer that dies."""

import datetime as dt
import math
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import diskcache
import pandas as pd
import pytest

from quodra.dualcache import DualCache
from quodra.record_columns import MIN_ROWS, RecordColumns, packed


def bars(count=200, unit="us", **extra):
    """Records shaped as kline stores them: naive Timestamps, floats, ints."""
    start = pd.Timestamp("2026-03-06 09:30").as_unit(unit)
    return [{"date": start + pd.Timedelta(minutes=i), "open": 100.0 + i / 8, "high": 101 + i,
             "volume": 1000 + i, "average": math.nan if i == 3 else 100.25, **extra}
            for i in range(count)]


def typed(value):
    """What equality overlooks: the type, unit, and repr of every cell, keys in order."""
    if isinstance(value, list):
        return [typed(item) for item in value]
    if isinstance(value, dict):
        return [(key, typed(item)) for key, item in value.items()]
    return type(value), getattr(value, "unit", None), repr(value)


def skewed_order():
    rows = bars()
    rows[150] = dict(reversed(rows[150].items()))
    return rows


def with_row(rows, index, row):
    rows[index] = row
    return rows


class Row(dict):
    pass


# Kept in column form: each must read back cell for cell, its types and units included.
COLUMNAR = {
    "minutes-us": bars(),
    **{f"unit-{unit}": bars(unit=unit) for unit in ["s", "ms", "ns"]},
    "before-1970": [{"date": pd.Timestamp("1969-12-31 23:59:59.5") - pd.Timedelta(days=i)}
                    for i in range(MIN_ROWS)],
    "other-columns-any-type": bars(text="x", day=dt.date(2026, 3, 6), flag=True, none=None,
                                   big=2**70, nested={"a": [1]}, zone=pd.Timestamp(
                                       "2026-03-06 09:30", tz="America/New_York")),
    "nanoseconds": [{"date": pd.Timestamp(1_700_000_000_123_456_789 + i)}
                    for i in range(MIN_ROWS)],
}

# Left to plain pickling: the column form would not read back the same, or gains nothing.
AS_THEY_ARE = {
    "short": bars(MIN_ROWS - 1),
    "keys-in-another-order": skewed_order(),
    "a-row-with-a-key-more": with_row(bars(), 7, {**bars(1)[0], "more": 1}),
    "a-dict-subclass-row": with_row(bars(), 9, Row(bars(1)[0])),
    "aware-times": [{"date": pd.Timestamp("2026-03-06 09:30", tz="UTC") + pd.Timedelta(i)}
                    for i in range(MIN_ROWS)],
    "mixed-units": with_row(bars(), 5, {**bars(1)[0], "date": pd.Timestamp(
        "2026-03-06 09:30").as_unit("s")}),
    "a-missing-time": with_row(bars(), 5, {**bars(1)[0], "date": pd.NaT}),
    "after-2262": [{"date": pd.Timestamp("3000-01-01") + pd.Timedelta(days=i)}
                   for i in range(MIN_ROWS)],
    "plain-datetimes": [{"date": dt.datetime(2026, 3, 6, 9, 30) + dt.timedelta(minutes=i)}
                        for i in range(MIN_ROWS)],
    "no-keys": [{}] * MIN_ROWS,
}


@pytest.mark.parametrize("rows, columnar", [
    *[pytest.param(rows, True, id=name) for name, rows in COLUMNAR.items()],
    *[pytest.param(rows, False, id=name) for name, rows in AS_THEY_ARE.items()],
])
def test_entry_reads_back_equal_in_another_cache(tmp_path, rows, columnar):
    entry = {"bars": rows, "cached_at": 1.5}
    assert isinstance(packed(entry)["bars"], RecordColumns) is columnar
    prefix = str(tmp_path / "cache-")
    DualCache("kline", cachePrefix=prefix)["key"] = entry
    # another instance has nothing in memory: this is what the next process reads
    read = DualCache("kline", cachePrefix=prefix).get("key")
    assert typed(read) == typed(entry)


def test_a_list_held_twice_reads_back_as_one():
    rows = bars()
    read = pickle.loads(pickle.dumps(packed({"bars": rows, "again": rows, "n": 1})))
    assert read["bars"] is read["again"] and typed(read["bars"]) == typed(rows)


@pytest.mark.parametrize("value", [bars(), {"bars": bars(3000), "cached_at": 2.0}],
                         ids=["small-row", "large-file"])
def test_entries_written_by_plain_diskcache_still_read(tmp_path, value):
    old = diskcache.Cache(str(tmp_path / "cache-kline"))
    old["key"] = value
    old.close()
    assert typed(DualCache("kline", cachePrefix=str(tmp_path / "cache-")).get("key")) == \
        typed(value)


# The child stores OLD, then starts storing NEW and stops dead at the given point: half the
# value file written, or the file complete and the row's update begun but not committed.
DYING_WRITER = """
import os, sys, time
import diskcache
import pandas as pd
from quodra.dualcache import DualCache

point = sys.argv[2]
# large enough to go to a value file of its own, not into the database row
rows = lambda n: [{"date": pd.Timestamp("2026-03-06") + pd.Timedelta(minutes=i), "n": n,
                   "close": i / 4} for i in range(10_000)]
cache = DualCache("kline", cachePrefix=sys.argv[1])
cache["key"] = {"bars": rows(1)}

def stop():
    print("stopped", flush=True)
    time.sleep(60)

write, update = diskcache.Disk._write, diskcache.Cache._row_update

def half_written(self, full_path, chunks, mode, encoding=None):
    data = b"".join(chunks)
    os.makedirs(os.path.dirname(full_path), exist_ok=True)
    with open(full_path, mode) as file:
        file.write(data[:len(data) // 2])
        file.flush()
        stop()

def uncommitted(self, *args):
    update(self, *args)
    stop()

if point == "in-the-value-file":
    diskcache.Disk._write = half_written
elif point == "before-the-commit":
    diskcache.Cache._row_update = uncommitted
cache["key"] = {"bars": rows(2)}
print("done", flush=True)
"""


@pytest.mark.parametrize("point, survivor", [
    ("in-the-value-file", 1), ("before-the-commit", 1), ("after-the-call", 2)])
def test_a_writer_killed_mid_write_leaves_the_old_entry_or_the_new(tmp_path, point, survivor):
    prefix = str(tmp_path / "cache-")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen([sys.executable, "-c", DYING_WRITER, prefix, point],
                             stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == ("done\n" if survivor == 2 else "stopped\n")
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    entry = DualCache("kline", cachePrefix=prefix).get("key")
    assert {row["n"] for row in entry["bars"]} == {survivor} and len(entry["bars"]) == 10_000


READER = textwrap.dedent("""
    import sys
    from quodra.dualcache import DualCache
    for line in sys.stdin:
        entry = DualCache("kline", cachePrefix=sys.argv[1]).get("key")
        kinds = {type(row["date"]).__name__ for row in entry["bars"]}
        print(sorted({row["n"] for row in entry["bars"]}), *kinds, flush=True)
""")


def test_another_process_reads_each_rewrite_whole(tmp_path):
    prefix = str(tmp_path / "cache-")
    cache = DualCache("kline", cachePrefix=prefix)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    reader = subprocess.Popen([sys.executable, "-c", READER, prefix], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        for n in range(3):
            cache["key"] = {"bars": bars(3000, n=n)}
            reader.stdin.write("read\n")
            reader.stdin.flush()
            assert reader.stdout.readline().split() == [f"[{n}]", "Timestamp"]
    finally:
        reader.stdin.close()
        assert reader.wait() == 0
