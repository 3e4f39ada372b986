"""The instants the suite runs at: every test sees a pinned clock, never the wall clock.

`conftest.pinned_clock` (autouse) moves the process clock, C level included (time-machine),
to `DEFAULT` at the start of each test and lets it run on from there; the simulator's clock
and the bar cache's follow it. Child processes started by a test inherit the instant through
`FAKE_NOW`, which `tests/fakes/clock_pin.py` reads at start-up when `tests/fakes` is on their
path.

Tests that depend on the time of day run at every instant of `SWEEP`, or at the ones they
name:

    @at_every_instant
    def test_...(pinned_clock): ...

    @at("weekend", "late-evening")
    def test_...(pinned_clock): ...

`KORVANTA_TEST_INSTANT=NAME` (a key of `SWEEP`) or an ISO instant runs the whole suite at
that instant instead of `DEFAULT`, the tests of every instant too; `tools/sweep` does that for
every instant. The ordinary run (`tools/test`, which CI runs) thus covers the sweep through the
tests of every instant, without running the whole suite at each.
"""

import datetime as dt
import os
from zoneinfo import ZoneInfo

import pytest

NEW_YORK = ZoneInfo("America/New_York")


def ny(*args: int) -> dt.datetime:
    return dt.datetime(*args, tzinfo=NEW_YORK)


# Named instants, New York time. 2026-12-08 is a Tuesday.
SWEEP: dict[str, dt.datetime] = {
    "regular-session": ny(2026, 12, 8, 11, 0),
    "before-open": ny(2026, 12, 8, 9, 25),
    "after-open": ny(2026, 12, 8, 9, 35),
    "before-close": ny(2026, 12, 8, 15, 55),
    "after-close": ny(2026, 12, 8, 16, 5),
    "futures-break": ny(2026, 12, 8, 17, 30),  # CME's daily halt, 17:00-18:00 New York
    "futures-reopen": ny(2026, 12, 8, 18, 5),
    "late-evening": ny(2026, 12, 8, 21, 30),  # after the extended session's 20:00 end
    "midnight": ny(2026, 12, 9, 0, 0),
    "weekend": ny(2026, 12, 6, 13, 0),  # Sunday, before the futures reopen
    "sunday-reopen": ny(2026, 12, 6, 18, 1),
    "holiday": ny(2026, 11, 26, 12, 0),  # Thanksgiving
    "early-close": ny(2026, 11, 27, 13, 30),  # the day after: NYSE closes at 13:00
    "dst-start": ny(2026, 3, 8, 10, 0),  # Sunday, clocks went forward at 02:00
    "dst-end": ny(2026, 11, 1, 10, 0),  # Sunday, clocks went back at 02:00
    "futures-expiry": ny(2026, 12, 18, 11, 0),  # third Friday: ESZ6 expires
    "year-end": ny(2026, 12, 31, 17, 0),
    "new-year": ny(2027, 1, 1, 12, 0),  # holiday
}
DEFAULT_NAME = "regular-session"


def instant(name_or_iso: str) -> dt.datetime:
    """A named instant of `SWEEP`, or an ISO date-time (New York time when it has no zone)."""
    if name_or_iso in SWEEP:
        return SWEEP[name_or_iso]
    moment = dt.datetime.fromisoformat(name_or_iso)
    return moment if moment.tzinfo else moment.replace(tzinfo=NEW_YORK)


CHOSEN = os.environ.get("KORVANTA_TEST_INSTANT")
DEFAULT = instant(CHOSEN or DEFAULT_NAME)

# A run at one chosen instant (a sweep's) runs these there only: the sweep reaches every instant.
at_every_instant = pytest.mark.parametrize("pinned_clock", [CHOSEN] if CHOSEN else list(SWEEP), indirect=True)


def at(*names: str):
    """Runs a test at each of the named instants of `SWEEP` (whatever the suite's instant)."""
    return pytest.mark.parametrize("pinned_clock", list(names), indirect=True)
