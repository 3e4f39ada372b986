"""Options anywhere on a command line, before or after the command's words.

A line's tokens are told apart by the parser's own declarations: a token naming one of its
options is that option (with as many values as the option takes), `--` makes everything after
it a word (a symbol that starts with "-"), a negative number is a word, and any other token
starting with "-" is an unknown option. The options go to the parser, the words to the
command. So an option declared on the parser, now or later, is recognised with nothing else
to change.

An option whose value is optional (`--chart [FILE]`) takes the next token only when its action
accepts it: by the action's own `accepts(token)`, else when its type converts the token (or
its choices hold it); `korvanta --chart kline AAPL` thus leaves `kline` to the words. An
option of several values (`nargs="+"` or `"*"`) takes the tokens that follow as long as it
accepts them so.
"""

import argparse
import re
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import fields, is_dataclass, replace
from typing import Any

from . import settings as result_settings
from .errors import UsageError
from .usage import HELP_OPTIONS

# argparse's own test of a token that is a negative number rather than an option.
_NEGATIVE_NUMBER = re.compile(r"^-\d+$|^-\d*\.\d+$")


def _option_like(token: str) -> bool:
    return token.startswith("-") and token != "-" and not _NEGATIVE_NUMBER.match(token)


def _takes_value(action: argparse.Action, token: str) -> bool:
    """Whether an option with an optional value takes `token` as that value."""
    if _option_like(token):
        return False
    accepts = getattr(action, "accepts", None)
    if accepts is not None:
        return bool(accepts(token))
    if action.choices is not None:
        return token in action.choices
    if callable(action.type):
        try:
            action.type(token)
        except (ValueError, TypeError, argparse.ArgumentTypeError):
            return False
    return True


def _action_of(parser: argparse.ArgumentParser, token: str) -> tuple[argparse.Action | None, bool]:
    """The option a token names, and whether the token carries its value (`--out=x.csv`, `-n5`)."""
    # argparse keeps its options by name in _option_string_actions; it has no public view of them.
    known = parser._option_string_actions
    name = token.split("=", 1)[0] if token.startswith("--") else token
    if name in known:
        return known[name], "=" in token
    if not token.startswith("--") and token[:2] in known:
        # a short option with its value attached, or a cluster of flags (-vv)
        action = known[token[:2]]
        return action, action.nargs != 0
    return None, False


def split(parser: argparse.ArgumentParser, tokens: Sequence[str]) -> tuple[list[str], list[str]]:
    """(the option tokens, for `parser`; the words) of a command line, in their order.

    A help option after the first word stays a word: it asks for that command's usage.
    An unknown option is a usage error (`parser.error`).
    """
    options: list[str] = []
    words: list[str] = []
    i = 0
    while i < len(tokens):
        token = tokens[i]
        i += 1
        if token == "--":
            words.extend(tokens[i:])
            break
        if not _option_like(token) or (words and token in HELP_OPTIONS):
            words.append(token)
            continue
        action, carries_value = _action_of(parser, token)
        if action is None:
            parser.error(f"unknown option {token.split('=', 1)[0]} (a word that starts with - goes after --)")
        options.append(token)
        if carries_value:
            continue
        if action.nargs is None:
            wanted = 1
        elif isinstance(action.nargs, int):
            wanted = action.nargs
        elif action.nargs in (argparse.OPTIONAL, argparse.ZERO_OR_MORE, argparse.ONE_OR_MORE):
            # "+" takes its first value as a plain option would, the rest only where they fit.
            wanted = int(action.nargs == argparse.ONE_OR_MORE and i < len(tokens) and not _option_like(tokens[i]))
            while i + wanted < len(tokens) and (action.nargs != argparse.OPTIONAL or not wanted) \
                    and _takes_value(action, tokens[i + wanted]):
                wanted += 1
        else:
            raise ValueError(f"{token}: an option taking {action.nargs!r} values cannot share a line with words")
        options.extend(tokens[i:i + wanted])
        i += wanted
    return options, words


class LineParser(argparse.ArgumentParser):
    """The result options of one shell line; a mistake is a UsageError rather than the end of the program."""

    def __init__(self, command: str):
        super().__init__(prog=command, add_help=False, allow_abbrev=False)
        result_settings.add_options(self)

    def error(self, message: str):  # type: ignore[override]
        raise UsageError(f"{self.prog}: {message}")


def _merged(before: Any, asked: Any, default: Any, touched: set[str]) -> Any:
    """`before` with what the line `asked` for: each setting it names, or sets other than the
    default; a setting made of settings (the chart overlays) merged the same way, field by field."""
    changes = {}
    for f in fields(asked):
        value, unset = getattr(asked, f.name), getattr(default, f.name)
        if is_dataclass(value):
            changes[f.name] = _merged(getattr(before, f.name), value, unset, touched)
        elif f.name in touched or value != unset:
            changes[f.name] = value
    return replace(before, **changes)


@contextmanager
def line_options(tokens: Sequence[str]) -> Iterator[list[str]]:
    """The options of one shell line in force while its command runs; yields the command's words.

    A setting the line does not give keeps the shell's (`set`) value. UsageError for an option
    the line gets wrong.
    """
    parser = LineParser(tokens[0].lower())
    given, words = split(parser, tokens)
    if not given:
        yield words
        return
    before = result_settings.current()
    # The options that depend on a chart (its size, overlays) count the shell's chart as given,
    # for a command whose bars can be charted.
    if parser.prog in result_settings.CHARTED_COMMANDS:
        parser.set_defaults(chart=before.chart)
    options = parser.parse_args(given)
    options.words = list(words)
    # A setting the line names is the line's, even where it names the default value.
    touched = {action.dest for action in (_action_of(parser, token)[0] for token in given if _option_like(token))
               if action is not None}
    try:
        asked = result_settings.use_options(parser, options)
        merged = _merged(before, asked, result_settings.ResultSettings(), touched)
        if (why := result_settings.conflict(merged)) is not None:
            parser.error(why)
        result_settings.use(merged)
        yield options.words
    finally:
        result_settings.use(before)
