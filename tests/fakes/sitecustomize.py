"""Start-up of a child process with tests/fakes on its path: the pinned clock (clock_pin) and
the pacing rules (pacing_pin)."""

import clock_pin  # noqa: F401
import pacing_pin  # noqa: F401
