"""Command base class, the registry of command words, and the step that runs one command."""

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

from quodra.dispatch import DArg, apply_words

COMMANDS: dict[str, type["IOp"]] = {}


@dataclass
class IOp:
    """Base of every command: the shell hands it `state` and `ib`, then awaits `run`."""

    state: Any = None
    ib: Any = None

    requires_gateway: ClassVar[bool] = True

    def argmap(self) -> list[DArg]:
        return []

    async def run(self) -> Any:
        raise NotImplementedError


def command(*, names: Sequence[str]):
    """Class decorator registering the class under each of `names`."""
    # A bare string would register one command per letter.
    if isinstance(names, str):
        raise TypeError("names must be a list of command words, not a string")

    def register(cls: type[IOp]) -> type[IOp]:
        # Last registration wins, so reloading a command module replaces its class.
        for name in names:
            COMMANDS[name] = cls
        return cls

    return register


def lookup(word: str) -> type[IOp]:
    """The command class registered under `word`; KeyError for an unknown word."""
    try:
        return COMMANDS[word]
    except KeyError:
        raise KeyError(f"unknown command: {word}") from None


async def execute(words: Sequence[str], *, state: Any = None, ib: Any = None) -> Any:
    """Run one command line: the first word picks the command, the rest become its fields."""
    word, *args = words
    cls = lookup(word)
    if cls.requires_gateway and not getattr(state, "connected", False):
        raise RuntimeError(f"{word} needs a connected gateway")
    cmd = cls(state=state, ib=ib)
    apply_words(cmd, cmd.argmap(), args)
    return await cmd.run()
