"""Argument descriptors and the parser that turns a command's words into its fields."""

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class DArg:
    """One argument: a plain name takes one word, a "*name" takes every remaining word."""

    name: str
    convert: Callable[[Any], Any] | None = None
    desc: str | None = None

    @property
    def greedy(self) -> bool:
        return self.name.startswith("*")

    @property
    def field(self) -> str:
        return self.name.lstrip("*")


def parse_words(argmap: Sequence[DArg], words: Sequence[str]) -> dict[str, Any]:
    """Map each descriptor's field to its converted word (or word list)."""
    words = list(words)
    values: dict[str, Any] = {}
    pos = 0
    for i, arg in enumerate(argmap):
        if arg.greedy:
            # Anything declared after a greedy argument could never receive a word.
            if i != len(argmap) - 1:
                raise ValueError(f"{arg.name} must be the last argument")
            value, pos = words[pos:], len(words)
        elif pos < len(words):
            value, pos = words[pos], pos + 1
        else:
            # Converters expect a word; an absent optional word stays None unconverted.
            values[arg.field] = None
            continue
        values[arg.field] = arg.convert(value) if arg.convert else value
    if pos < len(words):
        raise ValueError(f"unexpected extra words: {' '.join(words[pos:])}")
    return values


def apply_words(obj: Any, argmap: Sequence[DArg], words: Sequence[str]) -> Any:
    """Store the parsed words as attributes of `obj` and return it."""
    for name, value in parse_words(argmap, words).items():
        setattr(obj, name, value)
    return obj
