"""The executions tables built the plain pandas way: the reference the native module must match.

`build` is the whole pass of `IOpExecutions.run` after the reload, written as a pandas user
would (frames from the fill records through `pd.DataFrame`), with the same three mends:
"med"/"mean" over the fill rows only, order start/finish/duration from the real fill times,
and `fmtPrice` fed the infinite or missing ratios as they come. Where pandas deprecates an
operation (`inplace`, short keys for new columns of two-level frames) its current
equivalent is used.
"""

import pandas as pd
import pytz

from korvanta.cmds.utils import addRowSafe
from korvanta.helpers import USE_TZ
from quodra.numeric import fmtPrice

FINAL = (
    "clientId secType conId symbol conDate right strike date exchange tradingClass "
    "localSymbol time timestamp orderId side shares cumQty price total realizedPNL RPNL_each "
    "commission c_each c_pct c_pct_RPNL dayProfit"
).split()

SUMMARY_AGG = {
    "realizedPNL": "sum",
    "orderId": [("orders", "nunique"), ("executions", "count")],
    "profit": "count",
    "loss": "count",
    "opening": "nunique",
    "closing": "nunique",
}


def assign_trading_day(timestamp):
    if timestamp.tzinfo is None or timestamp.tzinfo.utcoffset(timestamp) is None:
        eastern = timestamp
    else:
        eastern = timestamp.astimezone(pytz.timezone("US/Eastern"))
    day = eastern.date()
    if eastern.hour >= 18:
        day += pd.Timedelta(days=1)
    return pd.Timestamp(day)


def build(fills, symbols, client_id, printFrame, log=None, tz=USE_TZ):
    """One pass over `fills`: prints through `printFrame`, returns what `run` returns."""
    symbols = set(symbols)
    SELF_CHECK = {":SELF", ":MINE", ":S", ":M"}
    REFRESH_CHECK = {":REFRESH", ":UPDATE", ":U", ":R", ":UPD", ":REF"}
    symbols -= REFRESH_CHECK

    lists = {"Contracts": [], "Executions": [], "Commissions": []}
    for fill in fills:
        lists["Contracts"].append(fill.contract)
        lists["Executions"].append(fill.execution)
        lists["Commissions"].append(fill.commissionReport)
    use = []
    for name, records in lists.items():
        frame = pd.DataFrame(records)
        if frame.empty:
            if log:
                log("No {}", name)
        else:
            use.append((name, frame))
    if not use:
        return None

    df = pd.concat(dict(use), axis=1)
    df = df.droplevel(0, axis=1)
    df = df.sort_values(["time", "clientId"])

    if SELF_CHECK & symbols:
        symbols -= SELF_CHECK
        df = df[df.clientId == client_id]
    if symbols:
        df = df[df.symbol.isin(symbols)]
        df = df[df.conId.notna()]
    if df.empty:
        if log:
            log("[{}] No execution history found!", " ".join(sorted(symbols)))
        return False

    df = df.loc[:, ~df.columns.duplicated()]
    df["time"] = df.time.map(pd.Timestamp).dt.tz_convert(tz)
    df["timestamp"] = df.time.copy()
    df["date"] = df.time.dt.strftime("%Y-%m-%d")
    df["time"] = df.time.dt.strftime("%H:%M:%S")
    df["c_each"] = df.commission / df.shares
    tointActual = ["clientId", "orderId"]
    df[tointActual] = df[tointActual].map(lambda x: str(int(x)) if x else "")
    multiplier = df.multiplier.astype(object)
    df["multiplier"] = multiplier.mask(multiplier.eq("") | multiplier.isna(), 1).astype(float)
    df["total"] = (df.shares * df.avgPrice).round(2) * df.multiplier
    df["dayProfit"] = df.realizedPNL.cumsum()
    df["RPNL_each"] = df.realizedPNL / df.shares
    df["c_pct"] = df.commission / (df.total + df.commission)
    df["c_pct_RPNL"] = (df.commission * 2) / (df.realizedPNL + df.commission * 2)

    keys = "orderId side localSymbol".split()
    groups = df.groupby(keys)
    dfByTrade = groups.agg({
        "date": ["min"],
        "timestamp": [("start", "min"), ("finish", "max")],
        "price": ["mean"],
        "shares": ["sum"],
        "total": ["sum"],
        "commission": ["sum"],
        "c_each": ["mean"],
    })
    start = dfByTrade[("timestamp", "start")]
    finish = dfByTrade[("timestamp", "finish")]
    dfByTrade = dfByTrade.rename(columns={"timestamp": "time"}, level=0)
    dfByTrade[("time", "start")] = start.dt.strftime("%H:%M:%S")
    dfByTrade[("time", "finish")] = finish.dt.strftime("%H:%M:%S")
    # Floored in UTC: the repeated hour when the clocks go back has no local floor.
    utc_start, utc_finish = start.dt.tz_convert("UTC"), finish.dt.tz_convert("UTC")
    seconds = (utc_finish.dt.floor("s") - utc_start.dt.floor("s")).dt.total_seconds()
    dfByTrade[("duration", "")] = seconds.astype("int64")
    dfByTrade[("c_pct", "")] = dfByTrade[("commission", "sum")] / (
        dfByTrade[("total", "sum")] + dfByTrade[("commission", "sum")])

    dfByTimeProfit = df.sort_values(["time", "orderId", "secType", "side", "localSymbol"])

    needsPrices = "price shares total commission c_each".split()
    dfByTrade[needsPrices] = dfByTrade[needsPrices].fillna(0).map(fmtPrice)

    fillRows = df
    sumCols = ["shares", "price", "commission", "total"]
    df = addRowSafe(df, "sum", df[sumCols].sum())
    df = addRowSafe(df, "sum-buy", df[df.side == "BOT"][sumCols].sum())
    df = addRowSafe(df, "sum-sell", df[df.side == "SLD"][sumCols].sum())
    df.loc["profit", "total"] = df.loc["sum-sell", "total"] - df.loc["sum-buy", "total"]
    df.loc["profit", "price"] = df.loc["sum-sell", "price"] - df.loc["sum-buy", "price"]
    eachSharePrice = ["c_each", "shares", "price"]
    df = addRowSafe(df, "med", fillRows[eachSharePrice].median())
    df = addRowSafe(df, "mean", fillRows[eachSharePrice].mean())
    needsPrices = ("c_each shares price avgPrice commission realizedPNL RPNL_each total "
                   "dayProfit c_pct c_pct_RPNL").split()
    df[needsPrices] = df[needsPrices].fillna(0).map(fmtPrice)
    df["conId"] = df.conId.fillna(-1).astype(int)
    df = df.astype(object)
    df = df.fillna("")
    df = df.rename(columns={"lastTradeDateOrContractMonth": "conDate"})
    df = df[FINAL]

    dfByTimeProfit = dfByTimeProfit.set_index("timestamp")
    dfByTimeProfit["profit"] = dfByTimeProfit.where(dfByTimeProfit.realizedPNL > 0).realizedPNL
    dfByTimeProfit["loss"] = dfByTimeProfit.where(dfByTimeProfit.realizedPNL < 0).realizedPNL
    dfByTimeProfit["opening"] = dfByTimeProfit.where(dfByTimeProfit.realizedPNL == 0).orderId
    dfByTimeProfit["closing"] = dfByTimeProfit.where(dfByTimeProfit.realizedPNL != 0).orderId
    dfByTimeProfit["trading_day"] = dfByTimeProfit.index.map(assign_trading_day)
    trading_day_groups = dfByTimeProfit.groupby("trading_day")

    desc = ""
    if symbols:
        desc = " Filtered for: " + ", ".join(symbols)

    printFrame(df.convert_dtypes(), "Execution Summary" + desc)

    trading_day_summary = dfByTimeProfit.groupby("trading_day").agg(SUMMARY_AGG)
    for trading_day, group in trading_day_groups:
        day_profit = group.resample("30min").agg(SUMMARY_AGG)
        day_profit[("dayProfit", "")] = day_profit[("realizedPNL", "sum")].cumsum()
        needsPrices = "realizedPNL dayProfit".split()
        day_profit[needsPrices] = day_profit[needsPrices].fillna(0).map(fmtPrice)
        numeric_cols = "orderId profit loss opening closing".split()
        day_profit.loc["sum", numeric_cols] = day_profit[numeric_cols].sum()
        trading_day_str = trading_day.strftime("%Y-%m-%d")
        printFrame(day_profit.convert_dtypes(),
                   "Profit by Half Hour for Trading Day " + trading_day_str + desc)

    trading_day_summary[("totalProfit", "")] = trading_day_summary[("realizedPNL", "sum")]
    needsPrices = "realizedPNL totalProfit".split()
    trading_day_summary[needsPrices] = trading_day_summary[needsPrices].fillna(0).map(fmtPrice)
    printFrame(trading_day_summary.convert_dtypes(), "Profit by Trading Day" + desc)

    order = [("date", "min"), ("time", "start"), "orderId", "localSymbol"]
    printFrame(dfByTrade.sort_values(order).convert_dtypes(),
               "Execution Summary by Complete Order" + desc)

    return df.to_dict(orient="records")
