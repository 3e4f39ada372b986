"""How a command shows its tables while it runs, when the settings reshape its records.

kline prints its bars as it fetched them; with --rth or --tz the runner shows them reshaped
afterwards instead, so kline's own table is held back. A command that reads its times in the
host's display zone (`USE_TZ` in its module, as executions does) shows them in --tz's.
"""

import sys
from collections.abc import Iterator, Sequence
from contextlib import ExitStack, contextmanager
from types import ModuleType

from quodra import frame

from .settings import CHARTED_COMMANDS, ResultSettings

DISPLAY_ZONE = "USE_TZ"


def _module_of(word: str) -> ModuleType | None:
    from korvanta.cmds.base import lookup

    try:
        return sys.modules.get(lookup(word).__module__)
    except KeyError:
        return None


@contextmanager
def _display_zone(module: ModuleType, zone: str) -> Iterator[None]:
    # The module reads the name from its namespace at each use, as it reads every host name.
    before = getattr(module, DISPLAY_ZONE)
    setattr(module, DISPLAY_ZONE, zone)
    try:
        yield
    finally:
        setattr(module, DISPLAY_ZONE, before)


@contextmanager
def command_view(words: Sequence[str], settings: ResultSettings) -> Iterator[None]:
    """While the command of `words` runs: kline's table held back when its bars are reshaped, and
    the command's display zone set to --tz."""
    word = words[0].lower() if words else ""
    with ExitStack() as stack:
        if settings.reshaped and word in CHARTED_COMMANDS:
            stack.enter_context(frame.using(shown=False))
        module = _module_of(word) if settings.tz and word else None
        if module is not None and hasattr(module, DISPLAY_ZONE):
            stack.enter_context(_display_zone(module, settings.tz))
        yield
