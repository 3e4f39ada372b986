"""Display text for numbers in printed tables."""

import numbers
from typing import Any

import numpy as np
import pandas as pd


def fmtPrice(x: Any) -> str:
    """`x` as table text: thousands separators, 2 decimals (4 below 1); never raises."""
    # Applied cell by cell after divisions that may have hit zero, so every
    # oddity (missing, inf, nan, non-numbers) must come back as text.
    if x is None or x is pd.NA or x is pd.NaT:
        return ""
    if isinstance(x, (bool, np.bool_)):
        return str(bool(x))
    if isinstance(x, numbers.Integral):
        return f"{int(x):,}"
    if isinstance(x, numbers.Real):
        # float formatting spells out nan, inf and -inf by itself; per-share
        # commissions and ratios live well below one cent, hence 4 decimals there.
        x = float(x)
        return f"{x:,.2f}" if x == 0 or abs(x) >= 1 else f"{x:.4f}"
    return str(x)
