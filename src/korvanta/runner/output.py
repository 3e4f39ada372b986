"""Results as files (.csv, .json, .parquet, replaced atomically) and as CSV or JSON text for pipes."""

import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING

from . import interrupts
from .extras import require

if TYPE_CHECKING:
    import pandas as pd

FILE_FORMATS = {".csv": "csv", ".json": "json", ".parquet": "parquet"}
TEXT_FORMATS = ("csv", "json")


def file_format(path: str | os.PathLike) -> str:
    """The format a file name asks for by its suffix; ValueError naming the known ones otherwise."""
    suffix = Path(path).suffix.lower()
    if suffix not in FILE_FORMATS:
        known = ", ".join(FILE_FORMATS)
        raise ValueError(f"{os.fspath(path)!r}: unknown file type {suffix or '(no suffix)'}; use {known}")
    fmt = FILE_FORMATS[suffix]
    if fmt == "parquet":
        require("pyarrow", "parquet", "writing .parquet files")
    return fmt


def check_writable(path: str | os.PathLike) -> None:
    """ValueError when a file could not be made at `path` (no such directory, or a directory there)."""
    target = Path(path)
    if target.is_dir():
        raise ValueError(f"{os.fspath(path)!r} is a directory")
    if not target.absolute().parent.is_dir():
        raise ValueError(f"{os.fspath(path)!r}: no directory {os.fspath(target.parent)!r}")


@contextmanager
def atomic_path(target: str | os.PathLike) -> Iterator[Path]:
    """A fresh file beside `target` for a writer to fill; it replaces `target` only when the block ends well.

    An interrupted or failed write leaves `target` as it was (absent, or the previous file) and
    removes the partial file.
    """
    import secrets

    target = Path(target)
    part = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
    # Made here rather than by the writer so that it gets the permissions a new file would (the
    # umask applies), and O_EXCL so that it is ours alone.
    os.close(os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    interrupts.unfinished.add(str(part))
    try:
        yield part
        os.replace(part, target)
    except BaseException:
        part.unlink(missing_ok=True)
        raise
    finally:
        interrupts.unfinished.discard(str(part))


def _flat(frame: "pd.DataFrame") -> "pd.DataFrame":
    # Bars are indexed by date (the bars of several symbols by symbol and date); in a file the
    # index's named levels are the first columns.
    named = [name for name in frame.index.names if name is not None]
    return frame.reset_index(level=named).reset_index(drop=True) if named else frame.reset_index(drop=True)


def _iso_times(frame: "pd.DataFrame") -> "pd.DataFrame":
    """`frame` with its times as ISO text (with the zone's offset) and its dates as YYYY-MM-DD."""
    import datetime as dt

    import pandas as pd

    def iso(value: object) -> object:
        return value.isoformat() if isinstance(value, dt.date) and not pd.isna(value) else value

    frame = frame.copy()
    for column in frame.columns:
        values = frame[column]
        if pd.api.types.is_datetime64_any_dtype(values):
            frame[column] = values.astype(object).map(lambda t: None if pd.isna(t) else t.isoformat())
        elif values.dtype == object:
            frame[column] = values.map(iso)
    return frame


def _plain(value: object) -> object:
    # numpy scalars that pandas leaves in object columns
    item = getattr(value, "item", None)
    if callable(item):
        return item()
    raise TypeError(f"{type(value).__name__} is not JSON")


def _json_records(text: "pd.DataFrame") -> list[str]:
    import json

    # Python's float text (280.54) rather than pandas' fixed digits (280.54000000000002);
    # missing cells become null.
    cells = text.astype(object).where(text.notna(), None)
    return [json.dumps(record, ensure_ascii=False, allow_nan=False, default=_plain)
            for record in cells.to_dict(orient="records")]


def records_text(frame: "pd.DataFrame", fmt: str) -> str:
    """The rows of `frame` as CSV (with a header line) or as a JSON array of records, one a line."""
    text = _iso_times(_flat(frame))
    if fmt == "csv":
        return text.to_csv(index=False)
    if fmt == "json":
        return "[\n" + ",\n".join(_json_records(text)) + "\n]\n"
    raise ValueError(f"unknown format {fmt!r}; use {', '.join(TEXT_FORMATS)}")


def stream_text(frame: "pd.DataFrame", fmt: str, *, header: bool) -> str:
    """The rows of `frame` as lines of a stream that goes on: CSV (with the header line first, where
    `header`) or JSON Lines, one record a line."""
    text = _iso_times(_flat(frame))
    if fmt == "csv":
        return text.to_csv(index=False, header=header)
    if fmt == "json":
        return "".join(line + "\n" for line in _json_records(text))
    raise ValueError(f"unknown format {fmt!r}; use {', '.join(TEXT_FORMATS)}")


def write_records(frame: "pd.DataFrame", path: str | os.PathLike) -> Path:
    """Write the rows of `frame` to `path` in the format its suffix names, replacing any file there."""
    fmt = file_format(path)
    with atomic_path(path) as part:
        if fmt == "parquet":
            _flat(frame).to_parquet(part, engine="pyarrow", index=False)
        else:
            part.write_text(records_text(frame, fmt), encoding="utf-8")
    return Path(path)
