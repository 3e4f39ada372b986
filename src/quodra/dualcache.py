"""A dict in memory in front of a diskcache store that outlives the process."""

from pathlib import Path
from typing import Any

import diskcache

_MISSING = object()


class DualCache:
    """Reads hit memory first; writes and deletions go to both levels."""

    def __init__(self, name: str, cachePrefix: str = "cache-") -> None:
        # Taken as given: the caller decides whether "~" means home.
        path = Path(str(cachePrefix) + name)
        path.parent.mkdir(parents=True, exist_ok=True)
        self._memory: dict[str, Any] = {}
        self._disk = diskcache.Cache(str(path))

    def get(self, key: str, default: Any = None) -> Any:
        value = self._memory.get(key, _MISSING)
        if value is _MISSING:
            value = self._disk.get(key, _MISSING)
            if value is _MISSING:
                return default
            # Kept so later reads hand out this very object, not a fresh unpickled copy.
            self._memory[key] = value
        return value

    def __setitem__(self, key: str, value: Any) -> None:
        self._memory[key] = value
        self._disk[key] = value

    def __delitem__(self, key: str) -> None:
        in_memory = self._memory.pop(key, _MISSING) is not _MISSING
        if not self._disk.delete(key) and not in_memory:
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        return key in self._memory or key in self._disk

    def keys(self) -> list[str]:
        """Every stored key, those written by earlier processes included."""
        # Memory joins in for keys another process removed from disk since we read them.
        return list(dict.fromkeys([*self._disk, *self._memory]))

    def close(self) -> None:
        self._disk.close()
