"""A failed command in one line: its reason, with what the error lines logged on the way add to it.

kline reports a failed fetch several times over ("[AAPL] yfinance fetch failed: ...", "[AAPL]
yfinance returned no data", then the result's "No data returned"), and yfinance adds lines of
its own; the runner holds them back while the command runs (`logs.holding_errors`) and makes
of them one line: `kline AAPL: No data returned (yfinance fetch failed: network down)`.
"""

import re
from collections.abc import Iterable

from .echo import shown

# "[AAPL] ...": the symbol a kline line is about, which the summary names once, up front.
_SYMBOL_PREFIX = re.compile(r"^\[([^\]]*)\] ")
# The ways kline says that a source had no bars; the result's own error says it once.
_NO_DATA = re.compile(r"^(yfinance returned )?no (intraday )?data\b", re.IGNORECASE)
# yfinance's way of naming the symbol it has no data for: "yfinance: $NOSUCH: possibly delisted; ..."
_LIBRARY_TICKER = re.compile(r"^(\w+): \$\S+: (possibly delisted; )?")
# The request's settings a library adds at the end: "... no price data found (period=5y)".
_REQUEST_NOTE = re.compile(r"\s*\([^()]*=[^()]*\)$")
# What the web client under yfinance puts before the network's own words.
_CLIENT_PREFIX = re.compile(r"\bFailed to perform, curl: \(\d+\) ")
# Lines the command logs in words of its own, said here as the user's failure they are.
_SAID_SO = {re.compile(r"^Symbol not found: .*"): "the gateway knows no such symbol"}
_URL = re.compile(r"\S*://\S*")
# What is left of "See <url> first for more details." once the address is gone.
_POINTER = re.compile(r"\s*\bSee\s+(first\s+)?(for\s+)?more\s+details\.?", re.IGNORECASE)


def without_addresses(text: str) -> str:
    """`text` without the web addresses a library puts into its errors, nor the pointers to them."""
    text = _CLIENT_PREFIX.sub("", _POINTER.sub("", _URL.sub("", text)))
    return re.sub(r"\s+([.,;:)])", r"\1", re.sub(r"\s{2,}", " ", text)).strip(" .")


def _detail(line: str, reason: str) -> str | None:
    """What one held line adds to `reason`; None for a line that says the same."""
    line = _SYMBOL_PREFIX.sub("", line)
    if line.lower().startswith(reason.lower()) or (_NO_DATA.match(line) and _NO_DATA.match(reason)):
        return None
    for pattern, said in _SAID_SO.items():
        if pattern.match(line):
            return said
    line = _REQUEST_NOTE.sub("", _LIBRARY_TICKER.sub(r"\1: ", line))
    return without_addresses(line) or None


def summary(word: str, symbol: object, reason: str, held: Iterable[dict], *, lead: str = "") -> str:
    """One line for a failed command: `word` and its symbol, `lead`, the reason, then what the held
    lines (loguru records) add. A library's lines count only where the command's own do not name
    that library: a failed fetch is in the command's line already, the library's error its reason.
    """
    details: list[str] = []
    libraries = []
    for record in held:
        library = record["extra"].get("library")
        if library:
            libraries.append((library, record["message"]))
        elif (detail := _detail(record["message"], reason)) is not None:
            details.append(detail)
    for library, line in libraries:
        if not any(library in detail for detail in details) and (detail := _detail(line, reason)) is not None:
            details.append(detail)
    details = list(dict.fromkeys(details))
    head = f"{word} {shown(symbol)[1:-1]}" if isinstance(symbol, str) and symbol else word
    return f"{head}: {lead}{reason}" + (f" ({'; '.join(details)})" if details else "")
