"""Hostile arguments to every function and method of the three native modules.

Whatever a caller passes, the error is a Python one in Python's words: a declared type
refused names the argument and the type received, a value's own failing conversion
surfaces as it is, and nothing of the binding library shows through.
"""

import pandas as pd
import pytest

import korvanta.cmds.portfolio.executions as ex
import korvanta.cmds.quotes.kline as kline
from korvanta.gateway.barhold import Barhold

LIBRARY_TEXT = ("C++", "pybind11", "PYBIND11", "incompatible function arguments",
                "Unable to cast", "Invoked with")


class Text(str):
    pass


class Refuses:
    """A number-like that fails every conversion with its own error."""

    def __index__(self):
        raise ArithmeticError("no index")

    __int__ = __index__

    def __str__(self):
        raise ArithmeticError("no text")

    __repr__ = __str__


HOSTILE = [None, pd.NaT, 1.5, Text("SPY"), Refuses(), "\udc80"]
HOSTILE_IDS = ["None", "NaT", "float", "str-subclass", "refuses", "lone-surrogate"]


@pytest.fixture(scope="module")
def hold(tmp_path_factory):
    return Barhold(tmp_path_factory.mktemp("data"))


def run_method(name, **words):
    """A kline or executions method called with `words`, its coroutine driven if it made one."""
    def call(value):
        owner, method = name.split(".")
        cmd = {"IOpKline": kline.IOpKline, "IOpExecutions": ex.IOpExecutions}[owner]()
        made = getattr(cmd, method)(**{k: value if v is ... else v for k, v in words.items()})
        if hasattr(made, "close"):
            made.close()
    return call


# (call taking the hostile value, the parameter it lands in, the type the parameter
# declares or None where the function takes any object as Python code would).
TYPED = [
    (lambda h, v: Barhold.count_key(v, "day", "none", 1), "symbol", "str"),
    (lambda h, v: Barhold.count_key("SPY", "day", "none", v), "count", "int"),
    (lambda h, v: Barhold.intraday_key(v), "symbol", "str"),
    (lambda h, v: Barhold.range_key("SPY", "1m", "none", "a", v), "end", "str"),
    (lambda h, v: h.get(v), "key", "str"),
    (lambda h, v: h.set(v, []), "key", "str"),
    (lambda h, v: h.set("k", v), "bars", "list"),
    (lambda h, v: Barhold._is_stale(v, "k"), "entry", "dict"),
    (lambda h, v: h.try_larger_count("SPY", "day", "none", v), "count", "int"),
    (lambda h, v: h.invalidate(v), "symbol", "str"),
    (lambda h, v: run_method("IOpKline._kline", contract=None, rest=...)(v), "rest", "list"),
    (lambda h, v: run_method("IOpKline._history", contract=None, rest=...)(v), "rest", "list"),
    (lambda h, v: run_method("IOpKline._run_yfinance", rest=...)(v), "rest", "list"),
    (lambda h, v: run_method("IOpKline._kline_yfinance", rest=...)(v), "rest", "list"),
    (lambda h, v: run_method("IOpKline._history_yfinance", rest=...)(v), "rest", "list"),
    (lambda h, v: ex._assign_trading_day(v), "timestamp", "Timestamp"),
]
TYPED_IDS = ["count_key-symbol", "count_key-count", "intraday_key", "range_key-end", "get",
             "set-key", "set-bars", "_is_stale", "try_larger_count", "invalidate", "_kline",
             "_history", "_run_yfinance", "_kline_yfinance", "_history_yfinance",
             "_assign_trading_day"]

UNTYPED = [
    lambda h, v: kline._use_rth(v),
    lambda h, v: kline._is_date(v),
    lambda h, v: kline._is_period(v),
    lambda h, v: kline._parse_date(v),
    lambda h, v: kline._calc_duration(v),
    lambda h, v: kline._strip_tz(v),
    lambda h, v: kline._normalize_yfinance_df(v),
    lambda h, v: ex.IOpExecutions().argmap()[0].convert(v),
    lambda h, v: Barhold(v),
]
UNTYPED_IDS = ["_use_rth", "_is_date", "_is_period", "_parse_date", "_calc_duration",
               "_strip_tz", "_normalize_yfinance_df", "symbols-converter", "Barhold"]


def refused(declared, value):
    """Whether a parameter declaring `declared` turns `value` away before any work."""
    if declared == "int":  # any number goes through int(), and int()'s own errors with it
        return not isinstance(value, (int, float, Refuses))
    if declared == "Timestamp":  # pandas' NaT is a datetime too
        return value is not pd.NaT
    return type(value).__name__ != declared


def assert_python_words(error):
    text = repr(error.args)
    assert not any(part in text for part in LIBRARY_TEXT), text


@pytest.mark.parametrize("value", HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("call, parameter, declared", TYPED, ids=TYPED_IDS)
def test_declared_types_refused_by_name(hold, call, parameter, declared, value):
    if refused(declared, value):
        with pytest.raises(TypeError) as raised:
            call(hold, value)
        message = str(raised.value)
        assert f"argument '{parameter}' must be {declared}" in message
        assert message.endswith(f"not {type(value).__name__}")
        return
    try:
        call(hold, value)
    except Exception as e:
        if isinstance(value, Refuses):
            assert e.args == ("no index",)
        assert_python_words(e)


@pytest.mark.parametrize("value", HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("call", UNTYPED, ids=UNTYPED_IDS)
def test_untyped_parameters_fail_in_python_words(hold, tmp_path, monkeypatch, call, value):
    monkeypatch.chdir(tmp_path)  # Barhold(text) makes its directory here
    try:
        call(hold, value)
    except Exception as e:
        assert_python_words(e)


@pytest.mark.parametrize("call, wording", [
    (lambda: ex._assign_trading_day(), "missing 1 required positional argument: 'timestamp'"),
    (lambda: ex._assign_trading_day(pd.NaT, 1), "takes 1 positional arguments but 2 were"),
    (lambda: ex._assign_trading_day(ts=pd.NaT), "unexpected keyword argument 'ts'"),
    (lambda: ex.IOpExecutions().argmap(1), "takes 1 positional arguments but 2 were"),
    (lambda: ex.IOpExecutions.run(), "missing 1 required positional argument: 'self'"),
    (lambda: ex.IOpExecutions().argmap()[0].convert(), "missing 1 required positional"),
    (lambda: kline.IOpKline().run(1), "takes 1 positional arguments but 2 were"),
    (lambda: Barhold.count_key("SPY"), "missing 1 required positional argument: 'period'"),
], ids=["assign-none", "assign-two", "assign-keyword", "argmap-extra", "run-unbound",
        "converter-none", "kline-run-extra", "count_key-short"])
def test_arity_errors_in_python_words(call, wording):
    with pytest.raises(TypeError, match=wording) as raised:
        call()
    assert_python_words(raised.value)
