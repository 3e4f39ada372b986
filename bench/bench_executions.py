"""The executions command against the same tables built the plain pandas way, in one process.

20,000 fills on five symbols over three trading days, `printFrame` replaced by a no-op that
keeps what it was given. Checks that both give equal records and equal printed frames, then
prints the median time of each and the ratio baseline / native (above 1: native is faster),
and beside it the peak memory of one call of each as tracemalloc sees it (the interpreter's
and numpy's allocations; the module's own C++ buffers are a few kilobytes).
Run: tools/in-env python bench/bench_executions.py
"""

import asyncio
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).parent))

import executions_baseline  # noqa: E402
from fills import make_fills  # noqa: E402

import korvanta.cmds.portfolio.executions as executions  # noqa: E402

N_FILLS = 20_000
ROUNDS = 7
CLIENT_ID = 7


class State:
    connected = True
    clientId = CLIENT_ID

    async def loadExecutions(self):
        pass


class Client:
    def __init__(self, fills):
        self._fills = fills

    def fills(self):
        return list(self._fills)


def run_native(fills, printed):
    executions.printFrame = lambda frame, title: printed.append((title, frame))
    cmd = executions.IOpExecutions(state=State(), ib=Client(fills))
    cmd.symbols = set()
    return asyncio.run(cmd.run())


def run_baseline(fills, printed):
    return executions_baseline.build(fills, set(), CLIENT_ID,
                                     lambda frame, title: printed.append((title, frame)))


def check_equal(fills):
    native_printed, baseline_printed = [], []
    native = run_native(fills, native_printed)
    baseline = run_baseline(fills, baseline_printed)
    assert native == baseline, "records differ"
    assert [t for t, _ in native_printed] == [t for t, _ in baseline_printed], "titles differ"
    for (title, mine), (_, theirs) in zip(native_printed, baseline_printed):
        pd.testing.assert_frame_equal(mine, theirs, obj=title)
    return len(native), [t for t, _ in native_printed]


def median_times(fills):
    """Median seconds of baseline and native; rounds alternate so load on the machine
    weighs on both alike."""
    times = {run_baseline: [], run_native: []}
    for _ in range(ROUNDS):
        for fn, spent in times.items():
            start = time.perf_counter()
            fn(fills, [])
            spent.append(time.perf_counter() - start)
    return statistics.median(times[run_baseline]), statistics.median(times[run_native])


def peak_bytes(fn, fills):
    """tracemalloc's peak over one call of `fn`, above what was held before it."""
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        fn(fills, [])
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


def main():
    fills = make_fills(N_FILLS)
    rows, titles = check_equal(fills)
    print(f"{N_FILLS} fills -> {rows} rows, {len(titles)} tables; records and frames equal")
    baseline, native = median_times(fills)
    print(f"executions run: baseline {baseline * 1000:.1f} ms, native {native * 1000:.1f} ms, "
          f"ratio {baseline / native:.2f}x (goal >= 6x)")
    base_peak, native_peak = peak_bytes(run_baseline, fills), peak_bytes(run_native, fills)
    print(f"peak memory: baseline {base_peak / 2**20:.1f} MiB, native {native_peak / 2**20:.1f} MiB"
          f" ({native_peak / base_peak:.2f} of baseline)")


if __name__ == "__main__":
    main()
