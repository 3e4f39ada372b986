"""Start-up of the `korvanta` program against a bare interpreter, in one run.

Starts `python -c pass` and each program invocation below in turn, interleaved so that both
see the same load, and prints the median wall time of each and its ratio to the bare
interpreter. Goal: `korvanta --help` at most 8x. Run: tools/in-env python bench/bench_startup.py
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

INVOCATIONS = {
    "korvanta --help": ["-m", "korvanta", "--help"],
    "korvanta help kline": ["-m", "korvanta", "help", "kline"],
    "korvanta kline -h": ["-m", "korvanta", "kline", "-h"],
}
BASELINE = ["-c", "pass"]
GOAL = 8.0


def wall_time(arguments: list[str], env: dict[str, str]) -> float:
    started = time.perf_counter()
    subprocess.run([sys.executable, *arguments], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="starts of each (default 15)")
    runs = parser.parse_args().runs
    with tempfile.TemporaryDirectory() as data:
        env = {**os.environ, "KORVANTA_DATA_DIR": data}
        times: dict[str, list[float]] = {"python -c pass": [], **{name: [] for name in INVOCATIONS}}
        for name, arguments in [("python -c pass", BASELINE), *INVOCATIONS.items()]:
            wall_time(arguments, env)  # warm the file cache and the bytecode
        for _ in range(runs):
            times["python -c pass"].append(wall_time(BASELINE, env))
            for name, arguments in INVOCATIONS.items():
                times[name].append(wall_time(arguments, env))
    bare = statistics.median(times["python -c pass"])
    print(f"{'':24} {'median':>9} {'ratio':>7}")
    for name, measured in times.items():
        median = statistics.median(measured)
        print(f"{name:24} {median * 1000:7.1f}ms {median / bare:6.1f}x")
    ratio = statistics.median(times["korvanta --help"]) / bare
    print(f"korvanta --help: {ratio:.1f}x a bare interpreter (goal: at most {GOAL:g}x)")


if __name__ == "__main__":
    main()
