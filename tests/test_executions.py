"""The executions command: per-fill table, filters and keywords, trading days, summaries."""

import asyncio
import collections
import dataclasses
import datetime as dt
import sys
from pathlib import Path
from zoneinfo import ZoneInfo

import pandas as pd
import pytest
from ib_async import CommissionReport, Contract, Execution, Fill, Future, Option, Stock

import korvanta.cmds.portfolio.executions as ex
from korvanta.cmds.base import COMMANDS, execute
from quodra.frame import printFrame
from quodra.numeric import fmtPrice

sys.path.insert(0, str(Path(__file__).parents[1] / "bench"))
import executions_baseline  # noqa: E402
from fills import make_fills  # noqa: E402

ET = ZoneInfo("America/New_York")
UTC = dt.timezone.utc
AAPL = Stock("AAPL", "SMART", "USD", conId=265598, localSymbol="AAPL", tradingClass="NMS")
MSFT = Stock("MSFT", "SMART", "USD", conId=272093, localSymbol="MSFT", tradingClass="NMS")
SPY_C = Option("SPY", "20261218", 600.0, "C", "SMART", multiplier="100", conId=700001,
               localSymbol="SPY   261218C00600000", tradingClass="SPY")


COLUMNS = ("clientId secType conId symbol conDate right strike date exchange tradingClass "
           "localSymbol time timestamp orderId side shares cumQty price total realizedPNL "
           "RPNL_each commission c_each c_pct c_pct_RPNL dayProfit").split()


def fill(contract, when, side, shares, avg, *, order=11, client=7, commission=1.0, pnl=0.0,
         price=None):
    ex_ = Execution(execId=f"{order}.{when}", time=when, exchange="ISLAND", side=side,
                    shares=shares, price=avg if price is None else price, clientId=client,
                    orderId=order, cumQty=shares, avgPrice=avg)
    return Fill(contract, ex_, CommissionReport(execId=ex_.execId, commission=commission,
                                                realizedPNL=pnl), when)


def at(hh, mm, ss=0, day=1, tz=UTC):
    return dt.datetime(2026, 12, day, hh, mm, ss, tzinfo=tz)


class State:
    connected = True
    clientId = 7

    def __init__(self):
        self.events = []

    async def loadExecutions(self):
        await asyncio.sleep(0)
        self.events.append("reload")


class Client:
    def __init__(self, state, fills):
        self.state, self._fills = state, fills

    def fills(self):
        self.state.events.append("fills")
        return list(self._fills)


@pytest.fixture
def host(monkeypatch):
    """Runs the command on given fills and words, recording printed tables and log lines."""
    printed, logged = [], []
    monkeypatch.setattr(ex, "printFrame", lambda frame, title: printed.append((title, frame)))
    monkeypatch.setattr(ex, "logger", type("Log", (), {
        "info": staticmethod(lambda msg, *args: logged.append(msg.format(*args)))})())
    monkeypatch.setattr(ex, "USE_TZ", "US/Eastern")

    def run(fills, words=()):
        state = State()
        result = asyncio.run(execute(["executions", *words], state=state,
                                     ib=Client(state, fills)))
        return result, printed, logged, state
    return run


_COUNTED_WRONG = []  # see TestTextReferences

HAND = [
    fill(AAPL, at(15, 0), "BOT", 100.0, 10.004),
    fill(SPY_C, at(15, 0, 30), "BOT", 2.0, 1.505, order=0, client=0, commission=1.3),
    fill(AAPL, at(15, 30), "SLD", 100.0, 10.5, order=12, pnl=47.0),
]


class TestModule:
    def test_class_and_registration(self):
        cls = ex.IOpExecutions
        assert ex.__doc__ == "Command: executions\n\nCategory: Portfolio\n"
        assert COMMANDS["executions"] is cls and cls.requires_gateway is True
        assert cls.__doc__.startswith("Display all executions (fills)")
        assert cls.__doc__.endswith("        executions AAPL\n    ")
        (symbols,) = dataclasses.fields(cls)[2:]
        assert (symbols.name, symbols.type, symbols.init) == ("symbols", "set[str]", False)
        assert ex.prettyprinter and ex.traceback

    def test_argmap_converter_makes_new_upper_set(self):
        (arg,) = ex.IOpExecutions().argmap()
        assert arg.name == "*symbols"
        assert arg.desc == "Optional symbols to filter for in result listings"
        assert arg.convert(["aapl", "AAPL", ":r"]) == {"AAPL", ":R"}
        assert arg.convert([]) == set()


class TestTextReferences:
    """Texts made once for a repeated value (a price, a client id, a day's date) and handed out
    again from a cache that borrows them: each cell that holds one counts one reference. First
    in the file to run the command, so that a count gone wrong fails here rather than crashing
    a later test."""

    @pytest.mark.parametrize("values", [[262.15, 0.35] * 200, [100, -7] * 200], ids=["floats", "ints"])
    def test_price_texts(self, values):
        texts = ex._price_texts(pd.Series(values))
        control = ["".join(["con", "trol"])] * 200  # a text in as many cells, held by nothing else
        counted = [sys.getrefcount(texts[0]), sys.getrefcount(texts[1])]
        wanted = [sys.getrefcount(control[0])] * 2
        if counted != wanted:
            # Counted short, the list would free texts its other cells still hold: kept for the
            # process, so that the failure is reported rather than a crash.
            _COUNTED_WRONG.append(texts)
        assert texts[:3] == [fmtPrice(v) for v in values[:3]] and texts[0] is texts[2]
        assert counted == wanted

    def test_records(self, host, monkeypatch):
        monkeypatch.setattr(ex, "printFrame", lambda frame, title: None)  # printed copies hold them too
        records = host(make_fills(600, seed=3))[0]
        texts, cells = {}, collections.Counter()
        for row in records:
            for column in ("clientId", "date", "shares", "price", "total", "commission", "c_each", "dayProfit"):
                if not sys._is_immortal(row[column]):  # "" and one-character texts are never freed
                    texts[id(row[column])] = row[column]
                    cells[id(row[column])] += 1
        assert max(cells.values()) > 100
        control = "".join(["con", "trol"])  # a text held by `texts` alone
        texts[id(control)] = control
        control = id(control)
        held = {key: sys.getrefcount(text) - cells[key] for key, text in texts.items()}
        assert {texts[key]: count for key, count in held.items() if count != held[control]} == {}


class TestExecutionTable:
    def test_hand_computed_rows(self, host):
        records, printed, _, _ = host(HAND)
        assert [r["conId"] for r in records] == [265598, 700001, 265598] + [-1] * 6
        buy, opt, sell, s, sbuy, ssell, profit, med, mean = records
        assert list(buy) == COLUMNS
        assert (buy["clientId"], buy["orderId"]) == ("7", "11")
        assert (opt["clientId"], opt["orderId"]) == ("", "")
        assert (buy["date"], buy["time"], sell["time"]) == ("2026-12-01", "10:00:00", "10:30:00")
        assert buy["timestamp"] == pd.Timestamp("2026-12-01 10:00", tz="US/Eastern")
        # avgPrice rounded before the multiplier: 100 x 10.004 = 1000.4; 2 x 1.505 = 3.01, x 100.
        assert [r["total"] for r in (buy, opt, sell)] == ["1,000.40", "301.00", "1,050.00"]
        assert [r["dayProfit"] for r in (buy, opt, sell)] == ["0.00", "0.00", "47.00"]
        assert (sell["RPNL_each"], buy["c_each"], opt["c_each"]) == ("0.4700", "0.0100", "0.6500")
        assert (buy["c_pct"], buy["c_pct_RPNL"]) == ("0.0010", "1.00")
        assert sell["c_pct_RPNL"] == "0.0408"
        summary = {k: (r["shares"], r["price"], r["commission"], r["total"], r["c_each"])
                   for k, r in zip(["sum", "sum-buy", "sum-sell", "profit", "med", "mean"],
                                   [s, sbuy, ssell, profit, med, mean])}
        assert summary == {
            "sum": ("202.00", "22.01", "3.30", "2,351.40", "0.00"),
            "sum-buy": ("102.00", "11.51", "2.30", "1,301.40", "0.00"),
            "sum-sell": ("100.00", "10.50", "1.00", "1,050.00", "0.00"),
            "profit": ("0.00", "-1.01", "0.00", "-251.40", "0.00"),
            "med": ("100.00", "10.00", "0.00", "0.00", "0.0100"),
            "mean": ("67.33", "7.34", "0.00", "0.00", "0.2233"),
        }
        assert s["symbol"] == s["timestamp"] == s["orderId"] == ""
        table = printed[0][1]
        assert list(table.index[-6:]) == ["sum", "sum-buy", "sum-sell", "profit", "med", "mean"]

    def test_totals_use_average_price_and_multiplier(self, host):
        es = Future("ES", "20261218", "CME", multiplier="50", conId=495512563, localSymbol="ESZ6")
        cash = Contract(secType="CASH", conId=12087792, symbol="EUR", localSymbol="EUR.USD")
        records = host([fill(AAPL, at(15, 0), "BOT", 100.0, 10.004, price=99.0),
                        fill(es, at(15, 1), "BOT", 1.0, 6000.2549, order=2),
                        fill(cash, at(15, 2), "SLD", 1000.0, 1.16405, order=3)])[0]
        assert (records[0]["total"], records[0]["price"]) == ("1,000.40", "99.00")
        assert [r["total"] for r in records[1:3]] == ["300,012.50", "1,164.05"]

    def test_med_and_mean_count_fills_only(self, host):
        # Over every row, three 100-share fills would show a mean of about 143 shares.
        fills = [fill(AAPL, at(15, m), "BOT", 100.0, 10.0, order=m) for m in (1, 2, 3)]
        *_, med, mean = host(fills)[0]
        assert (med["shares"], mean["shares"]) == ("100.00", "100.00")

    def test_zero_shares_reach_fmtPrice_without_error(self, host):
        # 1.0 / 0 and -5.0 / 0 are infinite; 0 / 0 is missing and shown as 0 like any gap.
        records = host([fill(AAPL, at(15, 0), "SLD", 0.0, 10.0, pnl=-5.0),
                        fill(AAPL, at(15, 1), "SLD", 0.0, 10.0, order=2, commission=0.0)])[0]
        assert (records[0]["c_each"], records[0]["RPNL_each"]) == ("inf", "-inf")
        assert (records[1]["c_each"], records[1]["RPNL_each"]) == ("0.00", "0.00")

    # Half-hour bins through clock changes (the night of 2026-03-08 in New York, 2026-04-05
    # in Lord Howe's half-hour one) and in a zone a quarter hour off the hour.
    @pytest.mark.parametrize("words, zone, start", [
        ([], "US/Eastern", None), (["aapl"], "US/Eastern", None), ([":m"], "US/Eastern", None),
        ([], "Asia/Tokyo", None), ([], "Asia/Kathmandu", None),
        ([], "US/Eastern", dt.datetime(2026, 3, 6, 23, tzinfo=UTC)),
        ([], "Australia/Lord_Howe", dt.datetime(2026, 4, 3, 23, tzinfo=UTC)),
    ], ids=["all", "symbol", "own-client", "tokyo-display", "kathmandu-display",
            "dst-start", "half-hour-dst-end"])
    def test_same_records_and_frames_as_plain_pandas(self, host, monkeypatch, words, zone,
                                                     start):
        monkeypatch.setattr(ex, "USE_TZ", zone)
        fills = make_fills(600, seed=3, **({"start": start, "days": 4} if start else {}))
        records, printed, _, _ = host(fills, words)
        theirs = []
        symbols = {w.upper() for w in words}
        expected = executions_baseline.build(fills, symbols, State.clientId,
                                             lambda f, t: theirs.append((t, f)), tz=zone)
        assert records == expected
        assert [t for t, _ in printed] == [t for t, _ in theirs]
        for (title, mine), (_, ref) in zip(printed, theirs):
            pd.testing.assert_frame_equal(mine, ref, obj=title)


ES = Future("ES", "20261218", "CME", multiplier="50", conId=495512563, localSymbol="ESZ6",
            tradingClass="ES")
EURUSD = Contract(secType="CASH", conId=12087792, symbol="EUR", localSymbol="EUR.USD")

# Empty cells (no realised P&L, no commission, zero shares, empty multiplier and right) and
# magnitudes from a ten-thousandth to hundreds of thousands, over two trading days.
RAGGED = [
    fill(AAPL, at(14, 0, 5), "BOT", 100.0, 10.004, commission=0.0035),
    fill(SPY_C, at(14, 0, 30), "BOT", 2.0, 1.505, order=0, client=0, commission=1.3),
    fill(ES, at(15, 10), "SLD", 3.0, 6000.2549, order=31, commission=6.36, pnl=-1234.5),
    fill(EURUSD, at(15, 40), "BOT", 250000.0, 1.16405, order=32, commission=float("nan"),
         pnl=float("nan")),
    fill(AAPL, at(16, 0), "SLD", 0.0, 10.5, order=12, pnl=0.0001),
    fill(AAPL, at(23, 30), "SLD", 100.0, 10.75, order=33, pnl=74.6),
    fill(ES, at(1, 5, day=2), "BOT", 3.0, 5990.0, order=34, commission=6.36, pnl=float("nan")),
]


class TestPrintedTables:
    def printed_text(self, capsys, build):
        build()
        return capsys.readouterr().out

    @pytest.mark.parametrize("words", [[], ["aapl", "es"]], ids=["all", "filtered"])
    def test_every_table_prints_as_plain_pandas_prints_it(self, host, monkeypatch, capsys,
                                                          words):
        # The real printer at a fixed width: what a trader's terminal shows.
        monkeypatch.setenv("COLUMNS", "80")
        monkeypatch.setattr(ex, "printFrame", printFrame)
        symbols = {w.upper() for w in words}
        mine = self.printed_text(capsys, lambda: host(RAGGED, words))
        theirs = self.printed_text(capsys, lambda: executions_baseline.build(
            RAGGED, symbols, State.clientId, printFrame, tz="US/Eastern"))
        assert mine == theirs
        # Empty money cells of the "sum" rows show as missing, never as a float NaN.
        assert "<NA>" in mine and "NaN" not in mine


MIXED = [
    fill(AAPL, at(15, 0), "BOT", 10.0, 100.0, client=7),
    fill(MSFT, at(15, 1), "BOT", 10.0, 200.0, client=3, order=21),
    fill(AAPL, at(15, 2), "SLD", 10.0, 101.0, client=3, order=22, pnl=9.0),
    fill(SPY_C, at(15, 3), "BOT", 1.0, 2.0, client=7, order=23),
]


class TestWordsAndOutcomes:
    @pytest.mark.parametrize("words, symbols, clients, desc, reload", [
        ([], {"AAPL", "MSFT", "SPY"}, {"7", "3"}, "", False),
        (["aapl", "Msft"], {"AAPL", "MSFT"}, {"7", "3"}, None, False),
        ([":r"], {"AAPL", "MSFT", "SPY"}, {"7", "3"}, "", True),
        ([":Mine", "aapl"], {"AAPL"}, {"7"}, " Filtered for: AAPL", False),
        ([":self"], {"AAPL", "SPY"}, {"7"}, "", False),
        ([":UPD", ":s", ":REF"], {"AAPL", "SPY"}, {"7"}, "", True),
    ], ids=["none", "symbols", "refresh", "mine+symbol", "self", "refresh+self"])
    def test_filters(self, host, words, symbols, clients, desc, reload):
        records, printed, _, state = host(MIXED, words)
        rows = [r for r in records if r["conId"] != -1]
        assert {r["symbol"] for r in rows} == symbols and {r["clientId"] for r in rows} == clients
        if desc is None:  # a set's own order
            assert printed[0][0] in {"Execution Summary Filtered for: " + s
                                     for s in ("AAPL, MSFT", "MSFT, AAPL")}
        else:
            assert printed[0][0] == "Execution Summary" + desc
            assert printed[-1][0] == "Execution Summary by Complete Order" + desc
        assert state.events == (["reload", "fills"] if reload else ["fills"])

    @pytest.mark.parametrize("words, kept", [([], 1), (["aapl"], 0)],
                             ids=["unfiltered-kept", "symbol-filter-drops"])
    def test_fill_without_contract_id(self, host, words, kept):
        unidentified = Stock("AAPL", "SMART", "USD", conId=None)
        fills = MIXED + [fill(unidentified, at(15, 4), "SLD", 5.0, 102.0, order=24)]
        records = host(fills, words)[0]
        orders = [r["orderId"] for r in records if r["symbol"] == "AAPL"]
        assert orders.count("24") == kept and len(orders) == 2 + kept

    @pytest.mark.parametrize("fills, words, outcome, said", [
        ([], ["aapl"], None, ["No Contracts", "No Executions", "No Commissions"]),
        (MIXED, ["zzz", "msft", ":mine", ":r"], False, ["[MSFT ZZZ] No execution history found!"]),
    ], ids=["no-fills", "none-left-after-filters"])
    def test_nothing_to_show(self, host, fills, words, outcome, said):
        result, printed, logged, _ = host(fills, words)
        assert result is outcome and printed == [] and logged == said

    def test_fill_time_without_zone_raises(self, host):
        with pytest.raises(TypeError):
            host([fill(AAPL, dt.datetime(2026, 12, 1, 10, 0), "BOT", 1.0, 1.0)])

    def test_symbols_must_be_a_set(self):
        cmd = ex.IOpExecutions(state=State(), ib=Client(State(), MIXED))
        cmd.symbols = [":R"]
        with pytest.raises(TypeError):
            asyncio.run(cmd.run())

    def test_cancelled_during_reload(self):
        class Stuck(State):
            async def loadExecutions(self):
                await asyncio.Event().wait()
        state = Stuck()
        cmd = ex.IOpExecutions(state=state, ib=Client(state, MIXED))
        cmd.symbols = {":REF"}

        async def cancel_it():
            task = asyncio.create_task(cmd.run())
            await asyncio.sleep(0.01)
            task.cancel()
            await task
        with pytest.raises(asyncio.CancelledError):
            asyncio.run(cancel_it())
        assert state.events == []

    def test_reload_failure_propagates(self):
        class Boom(State):
            async def loadExecutions(self):
                raise ConnectionError("gone")
        cmd = ex.IOpExecutions(state=Boom(), ib=Client(State(), MIXED))
        cmd.symbols = {":R"}
        with pytest.raises(ConnectionError, match="gone"):
            asyncio.run(cmd.run())


class TestTradingDays:
    @pytest.mark.parametrize("when, day", [
        (dt.datetime(2026, 12, 1, 17, 59, 59, tzinfo=ET), "2026-12-01"),
        (dt.datetime(2026, 12, 1, 18, 0, 0, tzinfo=ET), "2026-12-02"),
        (dt.datetime(2026, 7, 1, 21, 30, tzinfo=UTC), "2026-07-01"),
        (dt.datetime(2026, 12, 4, 18, 30, tzinfo=ET), "2026-12-05"),
        (dt.datetime(2026, 12, 1, 23, 0), "2026-12-02"),
    ], ids=["17:59:59-ET", "18:00:00-ET", "summer-utc", "friday-evening", "naive-23:00"])
    def test_assign_trading_day(self, host, when, day):
        assert ex._assign_trading_day(pd.Timestamp(when)) == pd.Timestamp(day)
        if when.tzinfo is not None:  # the table's own bucketing agrees
            printed = host([fill(AAPL, when, "BOT", 1.0, 1.0)])[1]
            assert printed[1][0] == "Profit by Half Hour for Trading Day " + day

    # Worked out by hand. The summary's cells: realised P&L, orders, fills, fills with a gain,
    # with a loss, orders opening (P&L 0), orders closing (any other P&L, a missing one too).
    @pytest.mark.parametrize("fills, day, half_hour, summary", [
        ([fill(AAPL, dt.datetime(2026, 12, 1, 18, 0, tzinfo=ET), "SLD", 5.0, 12.0, order=2, pnl=10.0),
          fill(MSFT, dt.datetime(2026, 12, 1, 18, 0, tzinfo=ET), "BOT", 5.0, 20.0, order=3, pnl=0.0)],
         "2026-12-02", "2026-12-01 18:00", ["10.00", 2, 2, 1, 0, 1, 1]),
        ([fill(AAPL, dt.datetime(2026, 12, 1, 17, 45, tzinfo=ET), "BOT", 5.0, 10.0, order=1),
          fill(AAPL, dt.datetime(2026, 12, 1, 17, 59, 59, tzinfo=ET), "BOT", 5.0, 10.0, order=1)],
         "2026-12-01", "2026-12-01 17:30", ["0.00", 1, 2, 0, 0, 1, 0]),
        ([fill(AAPL, dt.datetime(2026, 7, 1, 22, 0, tzinfo=UTC), "BOT", 5.0, 10.0, order=4)],
         "2026-07-02", "2026-07-01 18:00", ["0.00", 1, 1, 0, 0, 1, 0]),
        ([fill(AAPL, at(15, 15), "SLD", 5.0, 10.0, order=5, pnl=-5.0)],
         "2026-12-01", "2026-12-01 10:00", ["-5.00", 1, 1, 0, 1, 0, 1]),
        ([fill(AAPL, at(15, 15), "SLD", 5.0, 10.0, order=6, pnl=float("nan"))],
         "2026-12-01", "2026-12-01 10:00", ["0.00", 1, 1, 0, 0, 0, 1]),
    ], ids=["18:00-gain-and-opening", "opening-order-in-two-fills", "summer-18:00-from-utc", "loss", "missing-pnl"])
    def test_day_and_half_hour_summaries(self, host, fills, day, half_hour, summary):
        printed = host(fills)[1]
        (title, half_hours), (_, days) = printed[1:3]
        assert title == "Profit by Half Hour for Trading Day " + day
        assert half_hours.index[0] == pd.Timestamp(half_hour, tz="US/Eastern")
        assert half_hours.iloc[0].tolist() == [*summary, summary[0]]
        assert days.index.tolist() == [pd.Timestamp(day)] and days.iloc[0].tolist() == [*summary, summary[0]]

    def test_missing_time_has_no_trading_day(self):
        # As pandas' own date operations do: NaT in, NaT out.
        assert ex._assign_trading_day(pd.NaT) is pd.NaT

    def test_two_trading_days_and_a_night(self, host):
        fills = [fill(AAPL, at(10, 0, tz=ET), "BOT", 5.0, 10.0, order=1),
                 fill(AAPL, at(18, 5, tz=ET), "SLD", 5.0, 12.0, order=2, pnl=10.0),
                 fill(AAPL, at(9, 45, day=2, tz=ET), "SLD", 5.0, 8.0, order=3, pnl=-5.0)]
        for words, desc in [([], ""), (["aapl"], " Filtered for: AAPL")]:
            printed = host(fills, words)[1]
            titles = [t for t, _ in printed[-5:]]
            assert titles == [f"{t}{desc}" for t in (
                "Execution Summary", "Profit by Half Hour for Trading Day 2026-12-01",
                "Profit by Half Hour for Trading Day 2026-12-02", "Profit by Trading Day",
                "Execution Summary by Complete Order")]
        night = printed[-3][1]
        assert len(night) == 32 + 1  # 18:00 to 09:30, then "sum"
        assert night.index[0] == pd.Timestamp("2026-12-01 18:00", tz="US/Eastern")
        assert night.iloc[1:-2][("orderId", "executions")].eq(0).all()
        assert list(night[("dayProfit", "")].iloc[[0, -2]]) == ["10.00", "5.00"]
        assert night.loc["sum", ("orderId", "executions")] == 2
        assert night.loc["sum", ("profit", "count")] == night.loc["sum", ("loss", "count")] == 1
        days = printed[-2][1]
        assert list(days[("totalProfit", "")]) == ["0.00", "5.00"]
        assert list(days[("opening", "nunique")]) == [1, 0]


class TestOrderTable:
    def orders(self, host, times):
        fills = [fill(AAPL, t, "BOT", 1.0, 1.0, order=5) for t in times]
        fills.append(fill(AAPL, times[0], "SLD", 1.0, 1.0, order=5))
        return host(fills)[1][-1][1]

    def test_one_order_in_three_parts(self, host):
        table = self.orders(host, [at(10, 0, 5, tz=ET), at(10, 0, 7, tz=ET), at(10, 1, 0, tz=ET)])
        row = table.loc[("5", "BOT", "AAPL")]
        assert (row[("time", "start")], row[("time", "finish")], row[("duration", "")]) == (
            "10:00:05", "10:01:00", 55)
        assert len(table) == 2  # the sell under the same order id is its own row

    def test_order_across_midnight(self, host):
        table = self.orders(host, [at(23, 59, 50, tz=ET), at(0, 0, 10, day=2, tz=ET)])
        row = table.loc[("5", "BOT", "AAPL")]
        assert (row[("date", "min")], row[("time", "start")], row[("time", "finish")],
                row[("duration", "")]) == ("2026-12-01", "23:59:50", "00:00:10", 20)
