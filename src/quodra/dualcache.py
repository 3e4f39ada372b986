"""A dict in memory in front of a diskcache store that outlives the process."""

import pickle
import sqlite3
from pathlib import Path
from typing import Any

import diskcache
from diskcache.core import MODE_PICKLE, UNKNOWN

from quodra.record_columns import packed

_MISSING = object()


class _FileReplaced(Exception):
    """A row named a value file that was gone by the time it was opened."""


class _Disk(diskcache.Disk):
    """diskcache's own storage, telling a vanished value file apart from a missing key."""

    # diskcache keeps large values in files: a write stores the new file, points the row at
    # it and then removes the old one. A reader that read the row just before that commit
    # finds no file, and diskcache's `get` reports the key as missing although it never was.
    def fetch(self, mode: int, filename: str | None, value: Any, read: bool) -> Any:
        try:
            return super().fetch(mode, filename, value, read)
        except FileNotFoundError as e:
            raise _FileReplaced(filename) from e

    def store(self, value: Any, read: bool, key: Any = UNKNOWN) -> tuple[int, int, str | None, Any]:
        # diskcache stores text, bytes, numbers and file readers its own way. What it would
        # pickle is pickled here with long record lists in column form, and written in one
        # piece where diskcache writes a pickle as the lines of a byte stream: some ten
        # thousand small writes for a long bar list. Either way it is read back by pickle.
        if read or type(value) in (str, bytes, int, float):
            return super().store(value, read, key)
        data = pickle.dumps(packed(value), protocol=self.pickle_protocol)
        if len(data) < self.min_file_size:
            return 0, MODE_PICKLE, None, sqlite3.Binary(data)
        # A new file under a fresh name, as diskcache's own: the row still names the old
        # file until the write is committed, so a process dying here leaves the old entry.
        filename, full_path = self.filename(key, value)
        self._write(full_path, (data,), "xb")
        return len(data), MODE_PICKLE, filename, None


class DualCache:
    """Reads hit memory first; writes and deletions go to both levels, or to neither."""

    def __init__(self, name: str, cachePrefix: str = "cache-", timeout: float = 60.0) -> None:
        """`timeout`: seconds to wait for another process's write before giving up."""
        # Taken as given: the caller decides whether "~" means home.
        path = Path(str(cachePrefix) + name)
        path.parent.mkdir(parents=True, exist_ok=True)
        self._memory: dict[str, Any] = {}
        self._disk = diskcache.Cache(str(path), timeout=timeout, disk=_Disk)

    def get(self, key: str, default: Any = None) -> Any:
        value = self._memory.get(key, _MISSING)
        if value is _MISSING:
            value = self._read_disk(key)
            if value is _MISSING:
                return default
            # Kept so later reads hand out this very object, not a fresh unpickled copy.
            self._memory[key] = value
        return value

    def _read_disk(self, key: str) -> Any:
        try:
            return self._disk.get(key, _MISSING)
        except _FileReplaced:
            # Another process rewrote (or deleted) the key between our reading its row and
            # opening its file. Read again holding the write lock: no file can change under
            # us then, so the answer is the current value, or a miss only if the key is gone.
            with self._disk.transact():
                try:
                    return self._disk.get(key, _MISSING)
                except _FileReplaced:
                    # Removed by hand, not by a writer: lost, a miss as diskcache has it.
                    return _MISSING

    def __setitem__(self, key: str, value: Any) -> None:
        # Disk first: a key or value it cannot store raises before memory holds something
        # that later reads would serve but no other process could see. Not retried past the
        # timeout (diskcache's item assignment would wait for a stuck writer forever).
        self._disk.set(key, value)
        self._memory[key] = value

    def __delitem__(self, key: str) -> None:
        on_disk = self._disk.delete(key)
        in_memory = self._memory.pop(key, _MISSING) is not _MISSING
        if not on_disk and not in_memory:
            raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        return key in self._memory or key in self._disk

    def keys(self) -> list[str]:
        """Every stored key, those written by earlier processes included."""
        # Memory joins in for keys another process removed from disk since we read them.
        return list(dict.fromkeys([*self._disk, *self._memory]))

    def close(self) -> None:
        self._disk.close()
