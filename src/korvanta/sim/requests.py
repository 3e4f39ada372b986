"""The request table: message id -> a handler that reads the client's fields and prepares the answer."""

import datetime as dt
from collections.abc import Callable
from dataclasses import dataclass, field

from . import replies
from .bars import BarError


@dataclass(frozen=True)
class ContractQuery:
    """The twelve contract fields the client sends inside a request."""

    conId: int
    symbol: str
    secType: str
    lastTradeDateOrContractMonth: str
    strike: float
    right: str
    multiplier: str
    exchange: str
    primaryExchange: str
    currency: str
    localSymbol: str
    tradingClass: str

    @classmethod
    def take(cls, fields: list[str], at: int) -> "ContractQuery":
        f = fields[at:at + 12]
        if len(f) < 12:
            raise ValueError("contract fields missing")
        return cls(int(f[0] or 0), f[1], f[2].upper(), f[3], float(f[4] or 0), f[5], f[6], f[7].upper(),
                   f[8], f[9].upper(), f[10], f[11])


@dataclass
class Request:
    """One decoded request: what the counters and fault switches see, and how to answer it."""

    name: str
    reqId: int = -1
    symbol: str = ""
    # builds the answer messages; called when the answer goes out, so a delayed answer is built late
    answer: Callable[[], list[list]] = field(default=lambda: [])


def _int(text: str) -> int:
    return int(text or 0)


def on_start_api(session, f) -> Request:
    # fields: 71, version, clientId, optionalCapabilities
    return Request("startApi", answer=lambda: session.start_api(_int(f[2])))


def on_historical_data(session, f) -> Request:
    # fields: 20, reqId, contract(12), includeExpired, endDateTime, barSizeSetting, durationStr,
    #         useRTH, whatToShow, formatDate, [combo legs], keepUpToDate, chartOptions
    req_id = _int(f[1])
    q = ContractQuery.take(f, 2)
    end_text, size, duration, use_rth, what, fmt = f[15], f[16], f[17], f[18] == "1", f[19], _int(f[20])
    sim = session.server

    def answer():
        now = sim.now()
        inst = sim.book.bar_source(q, now.date())
        if inst is None:
            return [replies.error(session.version, req_id, 200, "No security definition has been found for the request")]
        if not sim.book.has_data(inst):
            return [replies.error(session.version, req_id, 162, "Historical Market Data Service error message:"
                                  f"HMDS query returned no data: {inst.symbol}@{q.exchange or inst.exchange} {what.title()}")]
        try:
            bars = sim.bars.bars(inst, endDateTime=end_text, durationStr=duration, barSizeSetting=size,
                                 whatToShow=what, useRTH=use_rth, now=now)
        except BarError as e:
            return [replies.error(session.version, req_id, e.code, e.message)]
        if not bars:
            return [replies.error(session.version, req_id, 162, "Historical Market Data Service error message:"
                                  f"HMDS query returned no data: {inst.symbol}@{q.exchange or inst.exchange} {what.title()}")]
        first = bars[0].start
        if not isinstance(first, dt.datetime):
            first = dt.datetime.combine(first, dt.time(0), inst.zone)
        return [replies.historical_data(req_id, bars, inst, fmt, first, now)]

    return Request("historicalData", req_id, q.symbol.upper(), answer)


def on_cancel_historical_data(session, f) -> Request:
    # fields: 25, version, reqId
    req_id = _int(f[2])
    return Request("cancelHistoricalData", req_id, answer=lambda: session.cancel_delayed(req_id))


def on_contract_details(session, f) -> Request:
    # fields: 9, version, reqId, contract(12), includeExpired, secIdType, secId, [issuerId]
    req_id = _int(f[2])
    q = ContractQuery.take(f, 3)
    sim = session.server

    def answer():
        now = sim.now()
        found = sim.book.contract_details(q, now.date())
        if not found:
            return [replies.error(session.version, req_id, 200, "No security definition has been found for the request")]
        return [*(replies.contract_details(session.version, req_id, c, now) for c in found),
                replies.contract_details_end(req_id)]

    return Request("contractDetails", req_id, q.symbol.upper(), answer)


def on_executions(session, f) -> Request:
    # fields: 7, version, reqId, clientId, acctCode, time, symbol, secType, exchange, side
    req_id = _int(f[2])
    client_id, account, since, symbol, sec_type, exchange, side = _int(f[3]), *f[4:10]
    sim = session.server

    def answer():
        out = []
        for fill in sim.book.fills(sim.now()):
            c = fill.contract
            if ((client_id and fill.clientId != client_id) or (account and fill.account != account)
                    or (symbol and c.symbol != symbol.upper()) or (sec_type and c.secType != sec_type.upper())
                    or (exchange and fill.exchange != exchange.upper())
                    or (side and fill.side[0] != side.upper()[0])
                    or (since and f"{fill.time.astimezone(dt.UTC):%Y%m%d %H:%M:%S}" < _utc_filter_time(since))):
                continue
            out += [replies.exec_details(session.version, req_id, fill), replies.commission_report(fill)]
        return [*out, replies.exec_details_end(req_id)]

    return Request("executions", req_id, symbol.upper(), answer)


def _utc_filter_time(text: str) -> str:
    """The filter's "yyyymmdd hh:mm:ss [zone]" as comparable UTC text; without a zone it is UTC."""
    from zoneinfo import ZoneInfo

    parts = text.replace("-", " ").split()
    clock = parts[1] if len(parts) > 1 else "00:00:00"
    zone = ZoneInfo(parts[2]) if len(parts) > 2 else dt.UTC
    t = dt.datetime.strptime(parts[0] + clock, "%Y%m%d%H:%M:%S").replace(tzinfo=zone)
    return f"{t.astimezone(dt.UTC):%Y%m%d %H:%M:%S}"


def on_positions(session, f) -> Request:
    return Request("positions", answer=lambda: [replies.position_end()])


def on_open_orders(session, f) -> Request:
    return Request("openOrders", answer=lambda: [replies.open_order_end()])


def on_completed_orders(session, f) -> Request:
    return Request("completedOrders", answer=lambda: [replies.completed_orders_end()])


def on_account_updates(session, f) -> Request:
    # fields: 6, version, subscribe, acctCode
    subscribe, account = f[2] == "1", f[3]
    sim = session.server

    def answer():
        if not subscribe:
            return []
        acct = account or sim.book.accounts[0]
        values = [replies.account_value(tag, value, "USD", acct) for tag, value in sim.account_values()]
        return [*values, replies.account_time(sim.now()), replies.account_download_end(acct)]

    return Request("accountUpdates", answer=answer)


def on_account_updates_multi(session, f) -> Request:
    # fields: 76, version, reqId, account, modelCode, ledgerAndNLV
    req_id, account = _int(f[2]), f[3]
    sim = session.server

    def answer():
        values = [replies.account_update_multi(req_id, account, tag, value, "USD")
                  for tag, value in sim.account_values()]
        return [*values, replies.account_update_multi_end(req_id)]

    return Request("accountUpdatesMulti", req_id, answer=answer)


def on_current_time(session, f) -> Request:
    return Request("currentTime", answer=lambda: [replies.current_time(session.server.now())])


def quiet(name: str):
    """A request the gateway acknowledges by silence (auto-binding, cancels of subscriptions we never keep)."""
    return lambda session, f: Request(name)


# like the client's Decoder.handlers, keyed by the message id the client sends first
HANDLERS: dict[int, Callable] = {
    71: on_start_api,
    20: on_historical_data,
    25: on_cancel_historical_data,
    9: on_contract_details,
    7: on_executions,
    61: on_positions,
    5: on_open_orders,
    99: on_completed_orders,
    6: on_account_updates,
    76: on_account_updates_multi,
    49: on_current_time,
    15: quiet("autoOpenOrders"),
    64: quiet("cancelPositions"),
    77: quiet("cancelAccountUpdatesMulti"),
}
