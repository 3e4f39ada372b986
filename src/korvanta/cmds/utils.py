"""Frame helpers shared by the commands."""

from collections.abc import Hashable

import pandas as pd


def addRowSafe(frame: pd.DataFrame, label: Hashable, series: pd.Series) -> pd.DataFrame:
    """A new frame: `frame` plus one row `label` holding `series` by column name."""
    # Reindexing an empty slice gives an all-missing row whose columns keep the frame's
    # dtypes where they can hold a missing value; concat then has no all-missing
    # column of a foreign dtype to warn about.
    row = frame.iloc[:0].reindex(pd.Index([label], name=frame.index.name))
    for column, value in series.items():
        # A missing value keeps the frame's dtype: a float NaN column joined to a
        # datetime one would turn it into object (and make pandas warn).
        if column in row.columns and pd.api.types.is_scalar(value) and pd.isna(value):
            continue
        # Whole-column assignment takes the value's own dtype instead of casting into
        # the missing column's.
        row[column] = pd.Series([value], index=row.index)
    # pandas 2 warns when concat meets a zero-row frame of other dtypes; there is
    # nothing of it to keep but its columns, which the row already has.
    if len(frame.index) == 0:
        return row
    return pd.concat([frame, row])
