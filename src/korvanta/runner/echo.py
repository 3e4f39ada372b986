"""Input echoed in a message: quoted, its invisible characters escaped, cut to a readable length."""

import unicodedata

# A word pasted by mistake may be megabytes long; a message shows this many characters of it.
LONGEST_ECHO = 80


def invisible(char: str) -> bool:
    """Control and format characters, surrogates (bytes that were not UTF-8) and unassigned ones."""
    return unicodedata.category(char).startswith("C")


def shown(word: str) -> str:
    """`word` as a message quotes it: 'AAPL', '\\x07AB', 'AAAA…' (at most LONGEST_ECHO characters
    between the quotes)."""
    text = "".join(repr(c)[1:-1] if invisible(c) else c for c in word[:LONGEST_ECHO])
    if len(text) > LONGEST_ECHO or len(word) > LONGEST_ECHO:
        text = text[:LONGEST_ECHO - 1] + "…"
    return f"'{text}'"
