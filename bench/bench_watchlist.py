"""A watchlist of 20 symbols, `day 100` each, over one connection: side by side against one by one.

Two passes through one `api.Session`, in one process, against the gateway simulator (a process
of its own, as a gateway is): `s.klines(twenty, "day", 100)`, which runs the 20 klines at
once, and `s.kline(symbol, "day", 100)` for each of 20 others in turn. Each pass has symbols
of its own and a bar cache of its own, so that both ask the gateway for every one; together
they stay within the gateway's pacing rules (40 of the 60 requests allowed in 10 minutes),
which the client keeps as always.

A gateway takes a while to answer a historical request (tenths of a second); the simulator
answers at once unless given an answer time (`--answer-time`, default 0.2 s; 0: at once).
Prints each pass, the ratio one by one / side by side, and the simulator's count of
connections (startApi) and requests.
Run: tools/in-env python bench/bench_watchlist.py [--answer-time SECONDS]
"""

import argparse
import itertools
import os
import re
import string
import subprocess
import sys
import tempfile
import time

from loguru import logger

from korvanta import api

SYMBOLS = 20
PERIOD, COUNT = "day", 100


def generated_symbols() -> list[str]:
    """Names the simulator makes stocks of: "BKAA", "BKAB", ..."""
    return ["BK" + "".join(pair) for pair in itertools.product(string.ascii_uppercase, repeat=2)]


class SimProcess:
    """`python -m korvanta.sim` on a free port; `served` holds its count of requests once it stopped."""

    def __init__(self, answer_time: float):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "korvanta.sim", "--port", "0", "--lifetime", "600", "--answer-time", str(answer_time)],
            stdout=subprocess.PIPE, text=True)
        self.served: dict[str, int] = {}

    def __enter__(self) -> "SimProcess":
        line = self.process.stdout.readline()
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def __exit__(self, *exc: object) -> None:
        self.process.terminate()
        last = self.process.communicate(timeout=30)[0]
        self.served = {name: int(n) for name, n in re.findall(r"(\w+) (\d+)", last.split("served:", 1)[-1])}


def fresh_bar_cache(root: str, name: str) -> None:
    """A bar cache of its own for the pass that follows (kline makes its cache at first use)."""
    from korvanta.cmds.quotes import kline

    os.environ["KORVANTA_DATA_DIR"] = os.path.join(root, name)
    kline._barhold = None


def main(answer_time: float) -> None:
    logger.remove()
    logger.add(sys.stderr, level="WARNING")
    names = generated_symbols()
    together, in_turn = names[:SYMBOLS], names[SYMBOLS:2 * SYMBOLS]
    with SimProcess(answer_time) as gateway, tempfile.TemporaryDirectory() as root:
        with api.Session(gateway=f"127.0.0.1:{gateway.port}") as session:
            fresh_bar_cache(root, "warm-up")
            session.kline("AAPL", "1h", 1)  # connected, the modules loaded
            fresh_bar_cache(root, "together")
            started = time.perf_counter()
            watch = session.klines(together, PERIOD, COUNT)
            side_by_side = time.perf_counter() - started
            fresh_bar_cache(root, "in-turn")
            started = time.perf_counter()
            frames = [session.kline(symbol, PERIOD, COUNT) for symbol in in_turn]
            one_by_one = time.perf_counter() - started
    assert watch.index.get_level_values("symbol").nunique() == SYMBOLS and all(len(f.index) for f in frames)
    print(f"{SYMBOLS} symbols, {PERIOD} {COUNT} each, one connection ({gateway.served.get('startApi')} startApi, "
          f"{gateway.served.get('historicalData')} historical requests); gateway answer time {answer_time:g} s")
    print(f"side by side (klines)     {side_by_side:8.2f} s")
    print(f"one by one (kline each)   {one_by_one:8.2f} s")
    print(f"one by one / side by side {one_by_one / side_by_side:8.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--answer-time", type=float, default=0.2,
                        help="seconds the simulator takes to answer a historical request")
    main(parser.parse_args().answer_time)
