"""Shared test set-up: the interpreter check, the pinned clock and an isolated data directory."""

import datetime as dt
import gc
import os
import sys
import tracemalloc

import pytest
import time_machine

from clock import DEFAULT, instant

TARGET = (3, 14)


def pytest_report_header(config):
    return [f"interpreter: Python {sys.version.split()[0]} ({sys.executable})",
            f"pinned clock: {DEFAULT.isoformat()} (KORVANTA_TEST_INSTANT chooses another)"]


def pytest_configure(config):
    # Collection too: parameters worked out from "today" must see the pinned instant.
    time_machine.travel(DEFAULT, tick=True).start()
    # The modules are built for CPython 3.14; a run on anything else proves little.
    if sys.version_info[:2] != TARGET and not os.environ.get("KORVANTA_ANY_PYTHON"):
        raise pytest.UsageError(
            f"tests need CPython {TARGET[0]}.{TARGET[1]}, this is {sys.version.split()[0]}; "
            "run them through tools/in-env, or set KORVANTA_ANY_PYTHON=1 to test here anyway"
        )


class PinnedClock:
    """The test's clock: started at an instant, running on in real time unless frozen."""

    def __init__(self, traveller: time_machine.travel, start: dt.datetime):
        self.traveller = traveller
        self.start = start

    def move_to(self, moment: dt.datetime, *, tick: bool = True) -> None:
        self.traveller.stop()
        self.traveller = time_machine.travel(moment, tick=tick)
        self.traveller.start()

    def shift(self, seconds: float) -> None:
        self.move_to(dt.datetime.now(dt.UTC) + dt.timedelta(seconds=seconds))


@pytest.fixture(autouse=True)
def pinned_clock(request, monkeypatch):
    """Every test runs at a pinned instant (clock.DEFAULT, or the one it is parametrised
    with): the process clock, C level included, and through FAKE_NOW the clock of any child
    process started with tests/fakes on its path."""
    start = instant(request.param) if hasattr(request, "param") else DEFAULT
    traveller = time_machine.travel(start, tick=True)
    traveller.start()
    monkeypatch.setenv("FAKE_NOW", start.isoformat())
    clock = PinnedClock(traveller, start)
    try:
        yield clock
    finally:
        clock.traveller.stop()


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    """A fresh KORVANTA_DATA_DIR, so no test reads another's cache entries."""
    directory = tmp_path / "data"
    monkeypatch.setenv("KORVANTA_DATA_DIR", str(directory))
    # kline keeps one bar cache for the process, made on first use: a fresh folder needs a
    # fresh cache, or entries of an earlier test answer this one's requests.
    kline = sys.modules.get("korvanta.cmds.quotes.kline")
    if kline is not None:
        monkeypatch.setattr(kline, "_barhold", None)
    return directory


@pytest.fixture
def logs():
    """(level, message) of every loguru line while the test runs."""
    from loguru import logger

    lines = []
    sink = logger.add(lambda m: lines.append((m.record["level"].name, m.record["message"])),
                      level="DEBUG", format="{message}")
    yield lines
    logger.remove(sink)


@pytest.fixture
def traced_growth():
    """`measure(run)`: the bytes Python's allocator still holds for what `run()` made, once
    the collector has run; a leak check's yardstick, blind to memory outside Python's heap."""
    def measure(run):
        gc.collect()
        tracemalloc.start()
        try:
            run()
            gc.collect()
            return tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
    return measure
