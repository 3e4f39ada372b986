"""Long lists of like records, pickled column by column.

A list of dicts pickles value by value, and pandas Timestamps cost most: each goes through
its own reduce hook, some three quarters of the time for a list of bars. Held instead as the
dicts' keys once, each column as a tuple, and a column of naive Timestamps as one array of
readings, the list pickles in a fraction of the time, is smaller on disk, and unpickles as
an equal list: the same keys in the same order, values of the same types, Timestamps of the
same unit.
"""

import sys
from datetime import datetime
from operator import attrgetter, itemgetter
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np

# Below this many rows a list is left to pickle as it is: too little to gain.
MIN_ROWS = 64

_unit = attrgetter("unit")
# The zone a datetime holds, read by datetime's own getter: three times as quick as pandas'
# `tzinfo` property over it, which answers the same.
_zone = datetime.tzinfo.__get__
_nanoseconds = attrgetter("value")


class RecordColumns:
    """A list of records in the form it is pickled in; it unpickles as that list."""

    __slots__ = ("keys", "columns", "stamp_units")

    def __init__(self, keys: tuple[Any, ...], columns: list[Any],
                 stamp_units: dict[int, str]) -> None:
        self.keys, self.columns, self.stamp_units = keys, columns, stamp_units

    def __reduce__(self) -> tuple[Any, ...]:
        return rows_from_columns, (self.keys, self.columns, self.stamp_units)


def packed(value: Any) -> Any:
    """`value` with its long record lists in column form: the value itself when it is such
    a list, or the lists among a dict's values. Anything else is returned unchanged."""
    if type(value) is list:
        columns = as_columns(value)
        return value if columns is None else columns
    if type(value) is not dict:
        return value
    # One form per list object, so that a list held under two keys reads back as one.
    forms: dict[int, RecordColumns | None] = {}
    changed = False
    for item in value.values():
        if type(item) is list and id(item) not in forms:
            forms[id(item)] = columns = as_columns(item)
            changed = changed or columns is not None
    if not changed:
        return value
    return {key: (forms.get(id(item)) or item) if type(item) is list else item
            for key, item in value.items()}


def as_columns(rows: list[Any]) -> RecordColumns | None:
    """The column form of `rows`, or None where it would not read back equal or gain nothing:
    fewer than `MIN_ROWS` rows, rows that are not all plain dicts with the same keys in the
    same order, or no column of naive Timestamps."""
    pd = sys.modules.get("pandas")
    # A Timestamp cannot exist before pandas is imported: nothing to gain then.
    if pd is None or len(rows) < MIN_ROWS or type(rows[0]) is not dict or not rows[0]:
        return None
    keys = tuple(rows[0])
    # Whether any column can hold Timestamps shows in the first row: asked before any work
    # over all of them.
    if pd.Timestamp not in set(map(type, rows[0].values())):
        return None
    if set(map(type, rows)) != {dict} or not all(map(keys.__eq__, map(tuple, rows))):
        return None
    columns: list[Any] = [list(map(itemgetter(key), rows)) for key in keys]
    stamp_units: dict[int, str] = {}
    for index, column in enumerate(columns):
        if type(column[0]) is pd.Timestamp:
            stamps = naive_stamps(column, pd.Timestamp)
            if stamps is not None:
                columns[index], stamp_units[index] = stamps
    if not stamp_units:
        return None
    return RecordColumns(keys, columns, stamp_units)


def naive_stamps(column: list[Any], timestamp: type) -> "tuple[np.ndarray, str] | None":
    """Nanosecond readings and the unit of a column of naive Timestamps that share one unit;
    None for anything else. A naive Timestamp pickles as its reading and unit alone (its
    `fold` is not kept), so these are all its pickle holds."""
    import numpy as np

    if set(map(type, column)) != {timestamp} or set(map(_zone, column)) != {None}:
        return None
    units = set(map(_unit, column))
    if len(units) != 1:
        return None
    try:
        readings = np.fromiter(map(_nanoseconds, column), np.int64, len(column))
    except OverflowError:
        # Beyond the reach of nanoseconds (years before 1677 or after 2262): left as they are.
        return None
    return readings, units.pop()


def rows_from_columns(keys: tuple[Any, ...], columns: list[Any],
                      stamp_units: dict[int, str]) -> list[dict[Any, Any]]:
    """The records a `RecordColumns` stood for. Named in stored pickles: keep its name and
    arguments."""
    import pandas as pd

    columns = list(columns)
    for index, unit in stamp_units.items():
        readings = columns[index].view("M8[ns]").astype(f"M8[{unit}]")
        columns[index] = pd.DatetimeIndex(readings)
    return [dict(zip(keys, row)) for row in zip(*columns)]
