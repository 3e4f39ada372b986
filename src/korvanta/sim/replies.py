"""One encoder per gateway answer, laid out as the client's `Decoder` reads it at the negotiated version."""

import datetime as dt

from .bars import Bar
from .book import Fill, Holding, Instrument

# the gateway's "no value" double, which the client maps back to 0.0
UNSET_DOUBLE = "1.7976931348623157E308"


def next_valid_id(order_id: int) -> list:
    return [9, 1, order_id]


def managed_accounts(accounts) -> list:
    return [15, 1, ",".join(accounts)]


def error(version: int, req_id: int, code: int, message: str) -> list:
    fields = [4, 2, req_id, code, message]
    if version >= 166:
        fields.append("")  # advancedOrderRejectJson
    return fields


def farm_status(version: int) -> list[list]:
    """The notices a gateway sends after startApi; the client logs them as information, not errors."""
    return [error(version, -1, 2104, "Market data farm connection is OK:usfarm"),
            error(version, -1, 2106, "HMDS data farm connection is OK:ushmds"),
            error(version, -1, 2158, "Sec-def data farm connection is OK:secdefnj")]


def current_time(now: dt.datetime) -> list:
    return [49, 1, int(now.timestamp())]


def contract_details(version: int, req_id: int, c: Instrument, now: dt.datetime) -> list:
    """Message 10 for server versions from 164 on: no version field, size rules at the end."""
    hours, liquid = _session_lists(c, now)
    return [
        10, req_id, c.symbol, c.secType, c.lastTradeDate, c.strike, c.right, c.exchange, c.currency,
        c.localSymbol, c.tradingClass, c.tradingClass, c.conId, c.minTick,
        c.multiplier,
        "ACTIVETIM,AD,ADJUST,ALERT,ALGO,ALLOC,AVGCOST,BASKET,COND,DAY,GAT,GTC,GTD,IOC,LIT,LMT,MKT,MOC,STP,STPLMT,TRAIL",
        f"SMART,{c.exchange}" if c.secType == "STK" else c.exchange,
        1,  # priceMagnifier
        0,  # underConId
        c.longName, c.primaryExchange, c.lastTradeDate[:6], c.industry, c.category, "",
        c.timeZoneId, hours, liquid,
        "", "",  # evRule, evMultiplier
        0,  # secIdList
        1,  # aggGroup
        c.symbol if c.secType != "STK" else "", "IND" if c.secType in ("FUT", "CONTFUT") else "",
        "26" if c.minTick == 0.01 else "67",  # marketRuleIds
        c.lastTradeDate, "COMMON" if c.secType == "STK" else "",
        1, 1, 1,  # minSize, sizeIncrement, suggestedSizeIncrement
    ]


def _session_lists(c: Instrument, now: dt.datetime) -> tuple[str, str]:
    """tradingHours and liquidHours for the coming week, in the gateway's "day:HHMM-day:HHMM;" form."""
    today = now.astimezone(c.zone).date()
    hours, liquid = [], []
    for i in range(7):
        day = today + dt.timedelta(days=i)
        if not c.trades_on(day):
            hours.append(f"{day:%Y%m%d}:CLOSED")
            liquid.append(f"{day:%Y%m%d}:CLOSED")
            continue
        for useRTH, out in ((False, hours), (True, liquid)):
            start, end = c.session(day, useRTH)
            out.append(f"{start:%Y%m%d:%H%M}-{end:%Y%m%d:%H%M}")
    return ";".join(hours), ";".join(liquid)


def contract_details_end(req_id: int) -> list:
    return [52, 1, req_id]


def historical_data(req_id: int, bars: list[Bar], inst: Instrument, formatDate: int,
                    start: dt.datetime, end: dt.datetime) -> list:
    """Message 17: the window, the bar count, then eight fields per bar."""
    zone = inst.zone

    def when(t: dt.datetime) -> str:
        return f"{t.astimezone(zone):%Y%m%d %H:%M:%S} {inst.timeZoneId}"

    fields: list = [17, req_id, when(start), when(end), len(bars)]
    for bar in bars:
        fields += [_bar_date(bar, inst, formatDate), bar.open, bar.high, bar.low, bar.close,
                   int(bar.volume), bar.wap, bar.count]
    return fields


def historical_data_update(req_id: int, bar: Bar, inst: Instrument, formatDate: int) -> list:
    """Message 90: one live update of a bar, its fields in the order the client's decoder reads them."""
    return [90, req_id, bar.count, _bar_date(bar, inst, formatDate), bar.open, bar.close, bar.high, bar.low,
            bar.wap, _decimal(bar.volume)]


def _bar_date(bar: Bar, inst: Instrument, formatDate: int) -> str:
    if not isinstance(bar.start, dt.datetime):
        # daily and longer bars are dates in either format
        return f"{bar.start:%Y%m%d}"
    if formatDate == 2:
        return str(int(bar.start.timestamp()))
    return f"{bar.start.astimezone(inst.zone):%Y%m%d %H:%M:%S} {inst.timeZoneId}"


def exec_details(version: int, req_id: int, f: Fill) -> list:
    """Message 11 without a version field; `pendingPriceRevision` from server version 178 on."""
    c = f.contract
    fields = [
        11, req_id, f.orderId,
        c.conId, c.symbol, "FUT" if c.secType == "CONTFUT" else c.secType, c.lastTradeDate, c.strike,
        c.right, c.multiplier, f.exchange, c.currency, c.localSymbol, c.tradingClass,
        f.execId, f"{f.time:%Y%m%d %H:%M:%S} US/Eastern", f.account, f.exchange, f.side,
        _decimal(f.shares), f.price, f.permId, f.clientId, 0, _decimal(f.cumQty), f.avgPrice,
        "", "", "", "", f.lastLiquidity,
    ]
    if version >= 178:
        fields.append(0)
    return fields


def commission_report(f: Fill) -> list:
    realized = UNSET_DOUBLE if f.realizedPNL is None else f.realizedPNL
    return [59, 1, f.execId, f.commission, f.contract.currency, realized, UNSET_DOUBLE, ""]


def exec_details_end(req_id: int) -> list:
    return [55, 1, req_id]


def position(account: str, h: Holding) -> list:
    """Message 61: an open position with its average cost (times the multiplier, as the gateway reports it)."""
    c = h.contract
    return [61, 3, account, c.conId, c.symbol, c.secType, c.lastTradeDate, c.strike, c.right, c.multiplier,
            c.exchange, c.currency, c.localSymbol, c.tradingClass, _decimal(h.quantity), round(h.averageCost, 6)]


def position_end() -> list:
    return [62, 1]


def open_order_end() -> list:
    return [53, 1]


def completed_orders_end() -> list:
    return [102]


def account_value(tag: str, value: str, currency: str, account: str) -> list:
    return [6, 2, tag, value, currency, account]


def account_time(now: dt.datetime) -> list:
    return [8, 1, f"{now:%H:%M}"]


def account_download_end(account: str) -> list:
    return [54, 1, account]


def account_update_multi(req_id: int, account: str, tag: str, value: str, currency: str) -> list:
    return [73, 1, req_id, account, "", tag, value, currency]


def account_update_multi_end(req_id: int) -> list:
    return [74, 1, req_id]


def _decimal(value: float) -> str:
    # sizes travel as decimals: "100", not "100.0"
    return f"{value:g}"
