"""The executions command's display forms: native text equal to the host's `fmtPrice`, and
a replaced `fmtPrice` or `addRowSafe` still called and its results shown."""

import copy
import fractions
import subprocess
import sys
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from ib_async import Contract
from hypothesis import example, given
from hypothesis import strategies as st

import korvanta.cmds.portfolio.executions as ex
from korvanta.cmds.utils import addRowSafe
from quodra.numeric import fmtPrice

from test_executions import HAND, RAGGED, State, executions_baseline, host  # noqa: F401

floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
# Exact halves at both precisions, the step from 4 to 2 decimals, separators, extremes.
EDGES = [0.0, -0.0, 0.125, 0.03125, 2.675, 0.99995, 0.999949, 999.995, 1234.5, -1234567.891,
         1e22, 1.7976931348623157e308, 5e-324, -1e-9, float("nan"), float("inf"),
         float("-inf")]


def host_texts(values):
    return [fmtPrice(v) for v in values]


class TestNativeText:
    @given(st.lists(floats, max_size=40))
    @example(EDGES)
    def test_float_column(self, values):
        column = pd.Series(values, dtype="float64")
        assert ex._price_texts(column) == host_texts(column.tolist())

    @given(st.lists(st.integers(-2**63, 2**63 - 1), max_size=40))
    @example([0, -1, 999, 1000, -2**63, 2**63 - 1])
    def test_int_column(self, values):
        column = pd.Series(values, dtype="int64")
        assert ex._price_texts(column) == host_texts(column.tolist())

    # Odd cells go to the host function as they are: its rules for them are its own.
    @given(st.lists(st.one_of(
        floats, st.integers(), st.booleans(), st.none(), st.just(pd.NA), st.just(pd.NaT),
        floats.map(np.float64), st.floats(width=32).map(np.float32), st.integers(-2**31, 2**31 - 1).map(np.int32),
        st.booleans().map(np.bool_), st.fractions(max_denominator=1000),
        st.decimals(allow_nan=False, places=3), st.text(max_size=3)), max_size=30))
    @example([2**70, -2**64, True, np.float64(-0.0), fractions.Fraction(1, 3), Decimal("2.5")])
    def test_mixed_object_column(self, values):
        column = pd.Series(values, dtype=object)
        assert ex._price_texts(column) == host_texts(values)


@pytest.fixture
def counting_fmt(monkeypatch):
    """A replacement `fmtPrice` on the command and on the plain pandas version alike."""
    calls = {"native": 0, "baseline": 0}

    def make(who):
        def fmt(x):
            calls[who] += 1
            return f"<{fmtPrice(x)}>"
        return fmt
    monkeypatch.setattr(ex, "fmtPrice", make("native"))
    monkeypatch.setattr(executions_baseline, "fmtPrice", make("baseline"))
    return calls


def same_as_plain_pandas(host, fills):
    """Runs the command and the plain pandas version on `fills`; both must agree."""
    records, printed, _, _ = host(fills)
    theirs = []
    expected = executions_baseline.build(fills, set(), State.clientId,
                                         lambda f, t: theirs.append((t, f)), tz="US/Eastern")
    assert records == expected
    # 600 == 600.0: the types tell an int shown where pandas shows a float.
    assert [{k: type(v) for k, v in r.items()} for r in records] == [
        {k: type(v) for k, v in r.items()} for r in expected]
    for (title, mine), (_, ref) in zip(printed, theirs, strict=True):
        pd.testing.assert_frame_equal(mine, ref, obj=title)
    return records


@pytest.mark.parametrize("field, value", [
    ("right", None), ("tradingClass", None), ("lastTradeDateOrContractMonth", np.nan),
    ("secType", pd.NA), ("exchange", np.float64("nan")),
], ids=["right-None", "class-None", "month-nan", "secType-NA", "exchange-np-nan"])
def test_missing_text_fields_show_empty(host, field, value):
    # Records a host builds by hand may leave text fields unset in any of pandas' ways.
    fills = [f._replace(contract=Contract(**{**vars(f.contract), field: value})) for f in HAND]
    records = same_as_plain_pandas(host, fills)
    shown = "conDate" if field == "lastTradeDateOrContractMonth" else field
    assert [r[shown] for r in records[:3]] == ["", "", ""]



def with_ints(f, record, fields):
    """Fill `f` with `fields` of its `record` ("execution", ...) as ints."""
    part = copy.copy(getattr(f, record))
    for name in fields:
        setattr(part, name, int(getattr(part, name)))
    return f._replace(**{record: part})


@pytest.mark.parametrize("record, fields", [
    ("execution", ["shares", "cumQty", "price", "avgPrice"]),
    ("commissionReport", ["commission", "realizedPNL"]),
    ("contract", ["strike"]),
], ids=["execution", "commission", "strike"])
def test_int_fields_show_as_plain_pandas_shows_them(host, record, fields):
    # Records built by hand may hold ints; beside a summary row's gap they become floats.
    same_as_plain_pandas(host, [with_ints(f, record, fields) for f in HAND])

class TestReplacedHost:
    def test_replaced_fmtPrice_is_called_per_cell_and_shown(self, host, counting_fmt):
        records = same_as_plain_pandas(host, RAGGED)
        assert records[0]["total"] == "<1,000.40>" and records[-1]["shares"].startswith("<")
        # The plain version also formats `avgPrice`, one cell per row, which no table shows.
        assert counting_fmt["native"] == counting_fmt["baseline"] - len(records)

    def test_replaced_fmtPrice_on_a_float_column(self, monkeypatch):
        monkeypatch.setattr(ex, "fmtPrice", lambda x: type(x).__name__)
        assert ex._price_texts(pd.Series([1.5, -0.0])) == ["float", "float"]
        monkeypatch.undo()
        assert ex._price_texts(pd.Series([1.5, -0.0])) == ["1.50", "-0.00"]

    def test_replaced_addRowSafe_rows_are_the_ones_shown(self, host, monkeypatch):
        seen = []

        def doubled(frame, label, series):
            seen.append((label, list(series.index), len(frame)))
            return addRowSafe(frame, label, series * 2)
        monkeypatch.setattr(ex, "addRowSafe", doubled)
        records, printed, _, _ = host(HAND)
        sums = ["shares", "price", "commission", "total"]
        each = ["c_each", "shares", "price"]
        # Handed the whole table each time, the rows it added before included.
        fills = len(records) - 6
        assert seen == [("sum", sums, fills), ("sum-buy", sums, fills + 1),
                        ("sum-sell", sums, fills + 2), ("med", each, fills + 4),
                        ("mean", each, fills + 5)]
        s, sbuy, ssell, profit, med, _ = records[-6:]
        assert (s["shares"], sbuy["total"], ssell["total"]) == ("404.00", "2,602.80", "2,100.00")
        # The profit row is worked out from the rows as the host returned them.
        assert profit["total"] == "-502.80" and med["shares"] == "200.00"
        assert list(printed[0][1].index[-6:]) == ["sum", "sum-buy", "sum-sell", "profit", "med",
                                                  "mean"]


def test_a_host_fmtPrice_with_other_text_is_always_called():
    # Checked when the module loads: a host whose text differs keeps its own everywhere.
    script = (
        "import quodra.numeric as n\n"
        "n.fmtPrice = lambda x: f'{x:.3f}' if isinstance(x, float) else str(x)\n"
        "import pandas as pd, korvanta.cmds.portfolio.executions as ex\n"
        "print(ex._price_texts(pd.Series([1234.5, 0.5])))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "['1234.500', '0.500']"
