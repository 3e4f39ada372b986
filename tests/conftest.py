"""Shared test set-up: the interpreter check and an isolated data directory."""

import gc
import os
import sys
import tracemalloc

import pytest

TARGET = (3, 14)


def pytest_report_header(config):
    return f"interpreter: Python {sys.version.split()[0]} ({sys.executable})"


def pytest_configure(config):
    # The modules are built for CPython 3.14; a run on anything else proves little.
    if sys.version_info[:2] != TARGET and not os.environ.get("KORVANTA_ANY_PYTHON"):
        raise pytest.UsageError(
            f"tests need CPython {TARGET[0]}.{TARGET[1]}, this is {sys.version.split()[0]}; "
            "run them through tools/in-env, or set KORVANTA_ANY_PYTHON=1 to test here anyway"
        )


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
