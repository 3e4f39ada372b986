"""Hostile arguments to every function and method of the three native modules.

Whatever a caller passes, the error is a Python one in Python's words: a declared type
refused names the argument and the type received, a value's own failing conversion
surfaces as it is, and nothing of the binding library shows through.
"""

import inspect
import types

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


HOSTILE = [None, pd.NaT, 1.5, Text("SPY"), Refuses(), "\udc80", ("day",), type("Words", (list,), {})(["day"])]
HOSTILE_IDS = ["None", "NaT", "float", "str-subclass", "refuses", "lone-surrogate", "tuple", "list-subclass"]


@pytest.fixture(scope="module")
def hold(tmp_path_factory):
    return Barhold(tmp_path_factory.mktemp("data"))


# A call taking the hostile value, the parameter it lands in and the type that declares.
TYPED = [pytest.param(*case, id=f"{name}-{case[1]}") for name, case in {
    "count_key": (lambda h, v: Barhold.count_key("SPY", "day", "none", v), "count", "int"),
    "range_key": (lambda h, v: Barhold.range_key("SPY", "1m", "none", "a", v), "end", "str"),
    "set": (lambda h, v: h.set("k", v), "bars", "list"),
    "_is_stale": (lambda h, v: Barhold._is_stale(v, "k"), "entry", "dict"),
    "invalidate": (lambda h, v: h.invalidate(v), "symbol", "str"),
    "_kline": (lambda h, v: kline.IOpKline()._kline(None, v), "rest", "list"),
    "_history": (lambda h, v: kline.IOpKline()._history(None, v), "rest", "list"),
    "_run_yfinance": (lambda h, v: kline.IOpKline()._run_yfinance(v), "rest", "list"),
    "_kline_yfinance": (lambda h, v: kline.IOpKline()._kline_yfinance(v), "rest", "list"),
    "_history_yfinance": (lambda h, v: kline.IOpKline()._history_yfinance(v), "rest", "list"),
    "_assign_trading_day": (lambda h, v: ex._assign_trading_day(v), "timestamp", "Timestamp"),
}.items()]

# Functions that take any object, as the same code in Python would.
UNTYPED = [pytest.param(call, id=name) for name, call in {
    "_use_rth": lambda v: kline._use_rth(v),
    "_is_date": lambda v: kline._is_date(v),
    "_parse_date": lambda v: kline._parse_date(v),
    "_calc_duration": lambda v: kline._calc_duration(v),
    "_strip_tz": lambda v: kline._strip_tz(v),
    "_normalize_yfinance_df": lambda v: kline._normalize_yfinance_df(v),
    "symbols-converter": lambda v: ex.IOpExecutions().argmap()[0].convert(v),
    "Barhold": lambda v: Barhold(v),
}.items()]


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
@pytest.mark.parametrize("call, parameter, declared", TYPED)
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
    else:
        assert not isinstance(value, Refuses), "its failing conversion went unnoticed"


@pytest.mark.parametrize("value", HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("call", UNTYPED)
def test_untyped_parameters_fail_in_python_words(tmp_path, monkeypatch, call, value):
    monkeypatch.chdir(tmp_path)  # Barhold(text) makes its directory here
    try:
        call(value)
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


# Every native function and method that takes keyword arguments, by where it lives. A new one
# goes here; test_every_native_function_is_listed fails until it does.
KEYWORD_TAKING = {
    "kline": (kline, ["_use_rth", "_is_date", "_is_period", "_parse_date", "_calc_duration",
                      "_strip_tz", "_normalize_yfinance_df"]),
    "IOpKline": (kline.IOpKline, ["argmap", "run", "_kline", "_history", "_intraday",
                                  "_yf_history", "_run_yfinance", "_kline_yfinance",
                                  "_history_yfinance", "_intraday_yfinance"]),
    "executions": (ex, ["_assign_trading_day", "_price_texts"]),
    "IOpExecutions": (ex.IOpExecutions, ["argmap", "run"]),
    "Barhold": (Barhold, ["__init__", "count_key", "intraday_key", "range_key", "get",
                          "_is_stale", "set", "try_larger_count", "invalidate"]),
}
# Made at call time rather than bound in a namespace.
MADE_LATER = {"executions-symbols-converter": lambda: ex.IOpExecutions().argmap()[0].convert}
# Takes no argument at all: nothing can be given twice.
NO_PARAMETERS = {("kline", "_get_cache")}


def native_functions():
    for where, (owner, _) in KEYWORD_TAKING.items():
        for name, value in vars(owner).items():
            if isinstance(value, (staticmethod, types.BuiltinFunctionType)) or (
                    type(value).__name__ == "instancemethod"):
                yield where, name


def test_every_native_function_is_listed():
    listed = {(where, name) for where, (_, names) in KEYWORD_TAKING.items() for name in names}
    assert set(native_functions()) == listed | NO_PARAMETERS


@pytest.mark.parametrize("function", [
    *[pytest.param(lambda o=owner, n=name: getattr(o, n), id=f"{where}.{name}")
      for where, (owner, names) in KEYWORD_TAKING.items() for name in names],
    *[pytest.param(make, id=name) for name, make in MADE_LATER.items()],
])
def test_argument_given_by_position_and_keyword(data_dir, function):
    # As Barhold.count_key("SPY", "day", "none", 10, count=5): the last positional
    # parameter filled both ways is refused before any of the function's own work.
    function = function()
    positional = [p.name for p in inspect.signature(function).parameters.values()
                  if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD]
    twice = positional[-1]
    with pytest.raises(TypeError) as raised:
        function(*[None] * len(positional), **{twice: None})
    message = str(raised.value)
    assert message.endswith(f"{function.__name__}() got multiple values for argument '{twice}'")
    assert_python_words(raised.value)
