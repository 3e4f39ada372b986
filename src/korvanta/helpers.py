"""Names the command modules take by star import: contract classes and the display zone."""

import os

from ib_async import Future

# Execution times are shown in this zone; empty counts as unset.
USE_TZ = os.environ.get("KORVANTA_DISPLAY_TZ") or "US/Eastern"

__all__ = ["Future", "USE_TZ"]
