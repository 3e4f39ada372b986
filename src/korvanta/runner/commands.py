"""Finding the command modules, and running one command line against the registry."""

import importlib
import pkgutil
from collections.abc import Iterator, Sequence
from typing import Any

from loguru import logger

import korvanta.cmds
from korvanta.cmds.base import COMMANDS, lookup
from quodra import frame
from quodra.dispatch import apply_words

from .results import present
from .state import HostState

# The modules the toolkit ships; each is reported when it is not there, while any other
# module found under the command categories is loaded all the same.
SHIPPED = ("korvanta.cmds.quotes.kline", "korvanta.cmds.portfolio.executions")


def _found() -> Iterator[str]:
    for category in pkgutil.iter_modules(korvanta.cmds.__path__, "korvanta.cmds."):
        if category.ispkg:
            package = importlib.import_module(category.name)
            for module in pkgutil.iter_modules(package.__path__, category.name + "."):
                if not module.ispkg:
                    yield module.name


def load_command_modules() -> list[str]:
    """Import every command module present, so that each registers its words; the names loaded."""
    loaded = []
    for name in dict.fromkeys([*SHIPPED, *_found()]):
        try:
            importlib.import_module(name)
        except ModuleNotFoundError as e:
            if e.name == name:
                logger.debug("Command module {} is not built; its commands are unavailable", name)
            else:
                logger.warning("Command module {} cannot be loaded: {}", name, e)
            continue
        except Exception as e:
            # One broken module must not take the others down with it.
            logger.warning("Command module {} cannot be loaded: {}: {}", name, type(e).__name__, e)
            continue
        loaded.append(name)
    return loaded


def failure(result: Any) -> str | None:
    """Why `result` counts as a failed command, or None when it is a success."""
    if isinstance(result, dict) and "error" in result:
        return str(result["error"])
    if result is None:
        return "nothing to show"
    if result is False:
        return "nothing matched"
    return None


async def run_line(words: Sequence[str], state: HostState) -> bool:
    """Run one command (`words`, the command word first) and report any failure; True on success."""
    word, *args = words
    try:
        cls = lookup(word.lower())
    except KeyError:
        known = ", ".join(sorted(COMMANDS)) or "none loaded"
        logger.error("Unknown command {!r} (commands: {})", word, known)
        return False
    if cls.requires_gateway and not state.connected:
        why = (f"the gateway at {state.describe_gateway()} is not connected" if state.address
               else "start korvanta with --gateway HOST:PORT or set KORVANTA_GATEWAY")
        logger.error("{} needs a connected gateway: {}", word, why)
        return False
    printed_before = frame.printed
    try:
        command = cls(state=state, ib=state.ib)
        apply_words(command, command.argmap(), args)
        result = await command.run()
    except BrokenPipeError:
        # The reader of our output is gone (`| head`); no later command can be shown either.
        raise
    except Exception as e:
        logger.error("{}: {}: {}", word, type(e).__name__, e)
        logger.opt(exception=e).debug("{} failed", word)
        return False
    reason = failure(result)
    if reason is not None:
        logger.error("{}: {}", word, reason)
        return False
    return present(result, printed_before)
