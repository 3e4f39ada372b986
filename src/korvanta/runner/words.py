"""The words a command takes, checked before it runs: what it was not given is refused, not guessed at.

The command modules read their words leniently (kline takes any last word for its adjust word
and drops words it does not know), so a typing mistake would fetch other data than asked for.
Each command word may have one check here (`CHECKS`, filled with `@check_of`; another module
may add its own); a command without one runs unchecked. A check raises `UsageError` naming the
word and, where one is close, the word that was probably meant.

The vocabulary comes from the command modules themselves (kline's period and adjust tables,
its `_is_period` and `_is_date`), except for the keywords the modules keep in no table:
those are `KEYWORDS`, which help and the shell's completion read too.
"""

import datetime as dt
import re
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from types import ModuleType

from korvanta.cmds.base import COMMANDS

from .dates import check_range, date_of, iso_guess
from .echo import invisible, shown
from .errors import UsageError

# The most bars one kline request may ask for; the gateway path pages a long request.
LARGEST_COUNT = 1_000_000
# Longer than any ticker, contract or futures root either source knows.
LONGEST_SYMBOL = 32


@dataclass(frozen=True)
class Keyword:
    """Words of one meaning (the first is the main one) that a command takes besides its symbols."""

    words: tuple[str, ...]
    meaning: str


RELOAD = Keyword((":refresh", ":r", ":ref", ":update", ":upd", ":u"), "reload the executions first")

# Words the command modules take without keeping them in a table of their own.
KEYWORDS: dict[str, tuple[Keyword, ...]] = {
    "kline": (Keyword(("intraday",), "today's one-minute curve"),),
    "executions": (RELOAD, Keyword((":mine", ":self", ":m", ":s"), "only this client's fills")),
    "pnl": (RELOAD,),
}


def keywords_of(word: str) -> list[str]:
    return [w for keyword in KEYWORDS.get(word, ()) for w in keyword.words]


def asks_reload(args: Sequence[str]) -> bool:
    """Whether a command's words ask for the executions to be loaded again first."""
    return any(word.lower() in RELOAD.words for word in args)


# ---- several symbols in one word: AAPL,MSFT,TSLA

LIST_SEPARATOR = ","


def is_list(word: str) -> bool:
    return LIST_SEPARATOR in word


def symbol_list(word: str) -> list[str]:
    """The symbols of a comma list, each once (in any case), in the order typed; UsageError for
    a list with an empty place or a symbol no source can hold."""
    symbols: dict[str, str] = {}
    places = word.split(LIST_SEPARATOR)
    for i, symbol in enumerate(places):
        if not symbol:
            blank = " (a list takes no blanks: AAPL,MSFT)" if i == len(places) - 1 else ""
            raise UsageError(f"the list {shown(word)} has an empty place{blank}")
        check_symbol(symbol)
        symbols.setdefault(symbol.upper(), symbol)
    return list(symbols.values())


Check = Callable[[list[str]], None]
CHECKS: dict[str, Check] = {}


def check_of(*words: str) -> Callable[[Check], Check]:
    """Register a check of the words after the command word, for each of `words`."""
    def register(check: Check) -> Check:
        for word in words:
            CHECKS[word] = check
        return check
    return register


def check_words(words: Sequence[str]) -> None:
    """UsageError, its text starting with the command word, when the command's check refuses its words."""
    word, *args = words
    check = CHECKS.get(word.lower())
    if check is None:
        return
    try:
        check(args)
    except UsageError as e:
        raise UsageError(f"{word.lower()}: {e}") from None


def command_module(word: str) -> ModuleType | None:
    """The module of the command registered under `word`, where its vocabulary lives."""
    cls = COMMANDS.get(word)
    return sys.modules.get(cls.__module__) if cls is not None else None


def check_symbol(word: str) -> None:
    """UsageError for a symbol no source can hold."""
    if not word:
        raise UsageError("no symbol given")
    bad = next((c for c in word if invisible(c)), None)
    if bad is not None:
        what = "bytes that are not UTF-8 text" if 0xD800 <= ord(bad) <= 0xDFFF else "a control character"
        raise UsageError(f"the symbol {shown(word)} holds {what}")
    if len(word) > LONGEST_SYMBOL:
        raise UsageError(f"the symbol {shown(word)} is {len(word):,} characters long; a symbol has at most "
                         f"{LONGEST_SYMBOL}")


def suggestion(word: str, pool: Iterable[str]) -> str | None:
    """The word of `pool` closest to `word`, if any is close (any case); or the ISO form of a date.

    A word of three letters or more that the typed word starts with comes first ("adjusted":
    adj); then the most similar word, more similar the longer the typed word ("2h": 1h).
    """
    import difflib

    guess = iso_guess(word)
    if guess is not None:
        return guess
    typed = word.lower()
    by_lower = {w.lower(): w for w in sorted(pool, key=len, reverse=True)}
    starts = [w for w in by_lower if len(w) >= 3 and typed.startswith(w)]
    if starts:
        return by_lower[max(starts, key=len)]
    close = difflib.get_close_matches(typed, by_lower, n=1, cutoff=0.5 if len(typed) <= 3 else 0.6)
    return by_lower[close[0]] if close else None


def _one_of(names: Sequence[str]) -> str:
    """The names joined, with the article of the first: "a period, count or date"."""
    joined = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " or " + names[-1]
    return ("an " if joined[0] in "aeiou" else "a ") + joined


# ---- kline

_NUMBER = re.compile(r"-?[0-9]+")
LATEST_FORM = "kline SYMBOL [PERIOD] [COUNT] [adj]"
RANGE_FORM = "kline SYMBOL START [END] [PERIOD] [adj]"


@dataclass(frozen=True)
class Slot:
    """One optional word of a kline form: what it is called in a message, what it takes."""

    name: str
    takes: Callable[[str], bool]
    vocabulary: tuple[str, ...] = ()


def _count(word: str) -> bool:
    # Digits only: the module would also read " 5", "+5" and "5_000" as counts, which nobody
    # means to type. Thousands of digits make no count either, and int() would refuse them.
    return word.isascii() and word.isdigit() and len(word.lstrip("0")) <= 7 and 1 <= int(word) <= LARGEST_COUNT


def _refusal(word: str, before: Sequence[str], left: Sequence[Slot], form: str, *, first: bool,
             elsewhere: Callable[[str], bool]) -> UsageError:
    """Why `word`, after the words `before`, fits none of the slots `left` of the form; `elsewhere`
    tells the words kline takes in another place."""
    is_number = bool(_NUMBER.fullmatch(word))
    if is_number and any(slot.name == "count" for slot in left):
        return UsageError(f"count {shown(word)} out of range (1 to {LARGEST_COUNT:,} bars)")
    if is_number and form == RANGE_FORM:
        return UsageError(f"{shown(word)}: a date range takes no count ({form})")
    if not first and elsewhere(word):
        return UsageError(f"{shown(word)} is out of place ({form})")
    if not left:
        return UsageError(f"{shown(word)} after {shown(before[-1])}: nothing more is taken ({form})")
    # The first word may be anything kline takes; the message names the main kinds.
    names = ["period", "count", "date"] if first else [slot.name for slot in left]
    pool = [w for slot in left for w in slot.vocabulary] + (["intraday", "today", "yesterday"] if first else [])
    near = suggestion(word, pool)
    if near is not None:
        hint = f"did you mean {shown(near)}?"
    elif len(pool) <= 4:
        hint = " or ".join(pool)
    else:
        hint = "kline -h lists them"
    return UsageError(f"{shown(word)} is not {_one_of(names)} ({hint})")


def _walk(words: Sequence[str], slots: Sequence[Slot], form: str, *, offset: int,
          elsewhere: Callable[[str], bool]) -> list[str | None]:
    """Fit `words` (from the `offset`th word after the symbol) into `slots`, each taken at most once
    and in order; the word each slot got."""
    got: list[str | None] = [None] * len(slots)
    at = 0
    for i, word in enumerate(words):
        for j in range(at, len(slots)):
            if slots[j].takes(word):
                got[j], at = word, j + 1
                break
        else:
            raise _refusal(word, words[:i], slots[at:], form, first=offset + i == 0, elsewhere=elsewhere)
    return got


@check_of("kline")
def check_kline(args: list[str]) -> None:
    if not args or not args[0]:
        raise UsageError(f"no symbol given ({LATEST_FORM}; kline -h for more)")
    symbol, *rest = args
    if is_list(symbol):
        symbol_list(symbol)
    else:
        check_symbol(symbol)
    kline = command_module("kline")
    if not rest or kline is None:
        return
    periods = tuple(kline.PERIOD_MAP)
    adjust = tuple(sorted(kline.ADJUST_KEYWORDS))
    period = Slot("period", kline._is_period, periods)
    adj = Slot("adj word", lambda w: w in kline.ADJUST_KEYWORDS, adjust)
    count = Slot("count", _count)
    intraday = keywords_of("kline")
    if rest[0] in intraday:
        if len(rest) > 1:
            raise UsageError(f"{shown(rest[1])}: the intraday curve takes no further words (kline SYMBOL intraday)")
        return

    def elsewhere(word: str) -> bool:
        return any(slot.takes(word) for slot in (period, count, adj)) or word in intraday or kline._is_date(word)

    if not kline._is_date(rest[0]):
        _walk(rest, [period, count, adj], LATEST_FORM, offset=0, elsewhere=elsewhere)
        return
    end_slot = Slot("end date", kline._is_date)
    end_word = _walk(rest[1:], [end_slot, period, adj], RANGE_FORM, offset=1, elsewhere=elsewhere)[0]
    today = dt.date.today()
    start = date_of(rest[0], kline._parse_date, today=today)
    end = date_of(end_word, kline._parse_date, today=today) if end_word is not None else today
    check_range(start, end, today=today)


# ---- executions and pnl: symbols (comma lists too) and the command's keywords

def symbols_and_keywords(word: str) -> Check:
    """The check of a command that takes symbols and the keywords of KEYWORDS[word], in any order."""
    def check(args: list[str]) -> None:
        keywords = keywords_of(word)
        for arg in args:
            if not arg.startswith(":"):
                symbol_list(arg) if is_list(arg) else check_symbol(arg)
            elif arg.lower() not in keywords:
                near = suggestion(arg, keywords)
                hint = f"did you mean {shown(near)}?" if near else f"help {word} lists them"
                raise UsageError(f"unknown keyword {shown(arg)} ({hint})")

    return check


check_of("executions")(symbols_and_keywords("executions"))
check_of("pnl")(symbols_and_keywords("pnl"))
