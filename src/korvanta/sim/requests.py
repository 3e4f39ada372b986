"""The request table: message id -> a handler that reads the client's fields and prepares the answer."""

import datetime as dt
import re
from collections.abc import Callable
from dataclasses import dataclass, field

from . import replies
from .fields import Fields, GatewayError, invalid, shown, timestamp


NO_SECURITY = "No security definition has been found for the request"


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
    def take(cls, f: Fields, at: int) -> "ContractQuery":
        text = [f.text(at + i) for i in range(12)]
        return cls(f.integer(at), text[1], text[2].upper(), text[3], f.number(at + 4), text[5], text[6],
                   text[7].upper(), text[8], text[9].upper(), text[10], text[11])


@dataclass
class Request:
    """One decoded request: what the counters and fault switches see, and how to answer it."""

    name: str
    reqId: int = -1
    symbol: str = ""
    # builds the answer messages; called when the answer goes out, so a delayed answer is built late
    answer: Callable[[], list[list]] = field(default=lambda: [])


def on_start_api(session, f: Fields) -> Request:
    # fields: 71, version, clientId, optionalCapabilities
    client_id = f.integer(2)
    return Request("startApi", answer=lambda: session.start_api(client_id))


def on_historical_data(session, f: Fields) -> Request:
    # fields: 20, reqId, contract(12), includeExpired, endDateTime, barSizeSetting, durationStr,
    #         useRTH, whatToShow, formatDate, [combo legs], keepUpToDate, chartOptions
    req_id = f.req_id(1)
    q = ContractQuery.take(f, 2)
    end_text, size, duration, what = f.text(15), f.text(16), f.text(17), f.text(19)
    use_rth, fmt = f.flag(18), f.integer(20)
    at = 21
    if q.secType == "BAG":
        # four fields per combo leg; the count is checked against what the message holds
        legs = f.integer(at)
        if not 0 <= legs <= len(f):
            raise invalid(f"Invalid combo leg count: {legs}", "bP")
        at += 1 + 4 * legs
    keep_up = f.flag(at) if len(f) > at else False
    sim = session.server
    # Paced when it arrives, however late it is answered.
    try:
        session.pacing.check((q.symbol.upper(), q.exchange, what), (q, *f.fields[14:]))
    except GatewayError as e:
        refused = replies.error(session.version, req_id, e.code, e.message)
        return Request("historicalData", req_id, q.symbol.upper(), lambda: [refused])

    def no_data():
        return replies.error(session.version, req_id, 162, "Historical Market Data Service error message:"
                             f"HMDS query returned no data: {q.symbol.upper()}@{q.exchange or 'SMART'} {what.title()}")

    def answer():
        now = sim.now()
        inst = sim.book.bar_source(q, now.date())
        if inst is None:
            return [replies.error(session.version, req_id, 200, NO_SECURITY)]
        if not sim.book.has_data(inst):
            return [no_data()]
        bars = sim.bars.bars(inst, endDateTime=end_text, durationStr=duration, barSizeSetting=size,
                             whatToShow=what, useRTH=use_rth, now=now, keepUpToDate=keep_up)
        if not bars:
            return [no_data()]
        if keep_up:
            session.stream_bars(req_id, inst, dict(barSizeSetting=size, whatToShow=what, useRTH=use_rth), fmt,
                                bars[-1])
        first = bars[0].start
        if not isinstance(first, dt.datetime):
            first = dt.datetime.combine(first, dt.time(0), inst.zone)
        return [replies.historical_data(req_id, bars, inst, fmt, first, now)]

    return Request("historicalData", req_id, q.symbol.upper(), answer)


def on_cancel_historical_data(session, f: Fields) -> Request:
    # fields: 25, version, reqId
    req_id = f.req_id(2)
    return Request("cancelHistoricalData", req_id, answer=lambda: session.cancel_historical(req_id))


def on_contract_details(session, f: Fields) -> Request:
    # fields: 9, version, reqId, contract(12), includeExpired, secIdType, secId, [issuerId]
    req_id = f.req_id(2)
    q = ContractQuery.take(f, 3)
    sim = session.server

    def answer():
        now = sim.now()
        found = sim.book.contract_details(q, now.date())
        if not found:
            return [replies.error(session.version, req_id, 200, NO_SECURITY)]
        return [*(replies.contract_details(session.version, req_id, c, now) for c in found),
                replies.contract_details_end(req_id)]

    return Request("contractDetails", req_id, q.symbol.upper(), answer)


def on_executions(session, f: Fields) -> Request:
    # fields: 7, version, reqId, clientId, acctCode, time, symbol, secType, exchange, side
    req_id = f.req_id(2)
    client_id = f.integer(3)
    account, since, symbol, sec_type, exchange, side = (f.text(i) for i in range(4, 10))
    sim = session.server

    def answer():
        try:
            since_utc = _utc_filter_time(since) if since else ""
        except GatewayError as e:
            # ib_async waits for the end marker without a timeout: the request still ends, empty
            return [replies.error(session.version, req_id, e.code, e.message), replies.exec_details_end(req_id)]
        out = []
        for fill in sim.book.fills(sim.now()):
            c = fill.contract
            if ((client_id and fill.clientId != client_id) or (account and fill.account != account)
                    or (symbol and c.symbol != symbol.upper()) or (sec_type and c.secType != sec_type.upper())
                    or (exchange and fill.exchange != exchange.upper())
                    or (side and fill.side[0] != side.upper()[0])
                    or (since_utc and f"{fill.time.astimezone(dt.UTC):%Y%m%d %H:%M:%S}" < since_utc)):
                continue
            out += [replies.exec_details(session.version, req_id, fill), replies.commission_report(fill)]
        return [*out, replies.exec_details_end(req_id)]

    return Request("executions", req_id, symbol.upper(), answer)


def _utc_filter_time(text: str) -> str:
    """The filter's "yyyymmdd[-| ]hh:mm:ss [zone]" (or a date alone) as comparable UTC text; without
    a zone it is UTC."""
    try:
        stamp = text.strip() + (" 00:00:00" if re.fullmatch(r"\s*[0-9]{8}\s*", text, re.ASCII) else "")
        t = timestamp(stamp, dt.UTC).astimezone(dt.UTC)
    except (ValueError, OverflowError):
        raise invalid(f"Invalid execution filter time: {shown(text)!r}") from None
    return f"{t:%Y%m%d %H:%M:%S}"


def on_positions(session, f) -> Request:
    sim = session.server

    def answer():
        account = sim.book.accounts[0]
        return [*(replies.position(account, h) for h in sim.book.positions(sim.now())), replies.position_end()]

    return Request("positions", answer=answer)


def on_open_orders(session, f) -> Request:
    return Request("openOrders", answer=lambda: [replies.open_order_end()])


def on_completed_orders(session, f) -> Request:
    return Request("completedOrders", answer=lambda: [replies.completed_orders_end()])


def on_account_updates(session, f: Fields) -> Request:
    # fields: 6, version, subscribe, acctCode
    subscribe, account = f.flag(2), f.text(3)
    sim = session.server

    def answer():
        if not subscribe:
            return []
        acct = account or sim.book.accounts[0]
        values = [replies.account_value(tag, value, "USD", acct) for tag, value in sim.account_values()]
        return [*values, replies.account_time(sim.now()), replies.account_download_end(acct)]

    return Request("accountUpdates", answer=answer)


def on_account_updates_multi(session, f: Fields) -> Request:
    # fields: 76, version, reqId, account, modelCode, ledgerAndNLV
    req_id, account = f.req_id(2), f.text(3)
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


NO_PERMISSION = "Historical Market Data Service error message:No market data permissions."
NOT_SUBSCRIBED = "Requested market data is not subscribed."


def unserved(name: str, at: int, code: int, message: str):
    """A request the simulator has no data for: refused for its id (field `at`) as a gateway
    refuses an account without the permission, so the client's call ends instead of waiting."""

    def on_request(session, f: Fields) -> Request:
        req_id = f.req_id(at)
        return Request(name, req_id, answer=lambda: [replies.error(session.version, req_id, code, message)])

    return on_request


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
    1: unserved("mktData", 2, 354, NOT_SUBSCRIBED),
    10: unserved("mktDepth", 2, 354, NOT_SUBSCRIBED),
    50: unserved("realTimeBars", 2, 354, NOT_SUBSCRIBED),
    97: unserved("tickByTickData", 1, 354, NOT_SUBSCRIBED),
    54: unserved("calculateImpliedVolatility", 2, 354, NOT_SUBSCRIBED),
    55: unserved("calculateOptionPrice", 2, 354, NOT_SUBSCRIBED),
    87: unserved("headTimeStamp", 1, 162, NO_PERMISSION),
    88: unserved("histogramData", 1, 162, NO_PERMISSION),
    96: unserved("historicalTicks", 1, 162, NO_PERMISSION),
    52: unserved("fundamentalData", 2, 430,
                 "We are sorry, but fundamentals data for the security specified is not available."),
    78: unserved("secDefOptParams", 1, 200, NO_SECURITY),
    # the order id stands where other requests carry theirs
    3: unserved("placeOrder", 1, 201, "Order rejected - reason:The simulated account takes no orders."),
}
