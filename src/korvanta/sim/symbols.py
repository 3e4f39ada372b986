"""Stocks the simulator makes up: any plausible symbol (1 to 5 letters) is a listed stock.

So that a watchlist of any size can be tried, a symbol the book does not list resolves to a
generated stock whose every feature follows from its name alone: the contract id spells the
name (so a request by contract id finds it again), and a hash of the name picks its price
level, exchange, daily volume and industry. The same name gives the same stock, and the same
bars, in every process. The names in `RESERVED` stay unknown, so that the answer to an
unknown symbol can still be tried.
"""

import hashlib
import re

from .instruments import Instrument, stock

# Answered "no security definition", as the gateway answers a symbol nobody lists.
RESERVED = frozenset({"NOSUCH", "ZZZZ", "XXXX", "NONE"})

_PLAUSIBLE = re.compile(r"[A-Z]{1,5}")
# Contract ids from here on spell a name in base 27 (A=1 ... Z=26); 27**5 ids fit below 2**31.
CONID_BASE = 1_500_000_000
_EXCHANGES = ("NASDAQ", "NASDAQ", "NYSE", "NYSE", "NYSE", "ARCA")
_INDUSTRIES = (("Technology", "Software"), ("Technology", "Semiconductors"), ("Financial", "Banks"),
               ("Consumer, Cyclical", "Retail"), ("Consumer, Non-cyclical", "Pharmaceuticals"),
               ("Industrial", "Machinery"), ("Energy", "Oil&Gas"), ("Utilities", "Electric"))


def plausible(symbol: str) -> bool:
    return bool(_PLAUSIBLE.fullmatch(symbol)) and symbol not in RESERVED


def conid_of(symbol: str) -> int:
    code = 0
    for letter in symbol:
        code = code * 27 + ord(letter) - ord("A") + 1
    return CONID_BASE + code


def symbol_of(conId: int) -> str:
    """The name a generated contract id spells; "" for any other id."""
    code, letters = conId - CONID_BASE, []
    if not 0 < code < 27 ** 5:
        return ""
    while code:
        code, digit = divmod(code, 27)
        if digit == 0:
            return ""
        letters.append(chr(ord("A") + digit - 1))
    return "".join(reversed(letters))


def generated(symbol: str) -> Instrument | None:
    """The stock `symbol` names when nothing else lists it; None for a name that is not plausible."""
    if not plausible(symbol):
        return None
    digest = hashlib.blake2b(symbol.encode(), digest_size=16).digest()

    def uniform(at: int) -> float:
        return int.from_bytes(digest[at:at + 4]) / 2 ** 32

    price = round(5 * 100 ** uniform(0), 2)  # 5 to 500, as many cheap listings as dear ones
    volume = int(300_000 * 100 ** uniform(4))  # 300 thousand to 30 million shares a day
    exchange = _EXCHANGES[digest[8] % len(_EXCHANGES)]
    industry, category = _INDUSTRIES[digest[9] % len(_INDUSTRIES)]
    return stock(symbol, conid_of(symbol), exchange, price, f"{symbol} CORP (SIMULATED)", dailyVolume=volume,
                 industry=industry, category=category)
