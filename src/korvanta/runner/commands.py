"""Finding the command modules, and running one command line against the registry."""

import importlib
from collections.abc import Sequence
from typing import Any

from loguru import logger

from korvanta.cmds.base import COMMANDS, lookup
from quodra import frame
from quodra.dispatch import apply_words

from . import logs, sources, watch
from . import settings as result_settings
from .echo import shown
from .errors import CommandError, UsageError
from .failures import summary
from .gateway import GatewayError, GatewayUnanswered
from .results import present
from .state import READS_EXECUTIONS, HostState
from .usage import command_modules
from .views import command_view
from .watchlist import run_listed, spread, symbols_of
from .words import asks_reload, check_words

# The modules the toolkit ships; each is reported when it is not there, while any other
# module found under the command categories is loaded all the same.
SHIPPED = ("korvanta.cmds.quotes.kline", "korvanta.cmds.portfolio.executions")

# Command word -> why its module did not load, so that using it says so rather than
# calling the word unknown. A module is named after its command word.
UNAVAILABLE: dict[str, str] = {}

# Exceptions whose text says all there is to say; other texts are shown after their type.
_EXPLAINED = (GatewayError, GatewayUnanswered)


def explain(e: BaseException) -> str:
    """An exception as a reason: its type and text, the type alone when the text is empty."""
    text = str(e)
    if isinstance(e, _EXPLAINED):
        return text
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def import_failure(e: Exception) -> str:
    """Why a module did not import, from the error and, where that says little, its cause.

    An extension module's initialisation fails as a bare "initialization failed"; the reason
    is the exception it was raised from.
    """
    text = str(e) if isinstance(e, ImportError) else explain(e)
    cause = e.__cause__ or e.__context__
    while cause is not None and (str(cause) in text or not str(cause)):
        cause = cause.__cause__ or cause.__context__
    return f"{text} ({explain(cause)})" if cause is not None else text


def load_command_modules(*, report: bool = True) -> list[str]:
    """Import every command module present, so that each registers its words; the names loaded.

    A module that fails to load is logged (at debug level without `report`) and its word
    recorded in `UNAVAILABLE`.
    """
    loaded = []
    for name in dict.fromkeys([*SHIPPED, *command_modules()]):
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as e:
            if e.name == name:
                logger.debug("Command module {} is not built; its commands are unavailable", name)
                continue
            reason = str(e)
        except Exception as e:
            # One broken module must not take the others down with it.
            reason = import_failure(e)
        else:
            UNAVAILABLE.pop(name.rsplit(".", 1)[1], None)
            logs.bind_command_logger(module, name.rsplit(".", 1)[1])
            loaded.append(name)
            continue
        UNAVAILABLE[name.rsplit(".", 1)[1]] = reason
        logger.log("WARNING" if report else "DEBUG", "Command module {} cannot be loaded: {}", name, reason)
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


def _command_class(word: str) -> type:
    try:
        return lookup(word.lower())
    except KeyError:
        pass
    if word.lower() in UNAVAILABLE:
        raise CommandError(f"{word} is unavailable, its module cannot be loaded: {UNAVAILABLE[word.lower()]}")
    known = ", ".join(sorted(COMMANDS)) or "none loaded"
    raise UsageError(f"Unknown command {shown(word)} (commands: {known})")


def check(words: Sequence[str]) -> type:
    """The class of the command a line names, once its words are checked; UsageError (or
    CommandError, for a command that cannot load) when the line cannot run."""
    cls = _command_class(words[0])
    check_words(words)
    return cls


def check_line(words: Sequence[str]) -> type:
    """`check`, and the line's words against the settings in force (--watch)."""
    cls = check(words)
    watch.check(words)
    return cls


# What to do about a command that needs a gateway when none was named; the API says it its way.
NO_GATEWAY_HINT = "start korvanta with --gateway HOST:PORT or set KORVANTA_GATEWAY"


async def execute_line(words: Sequence[str], state: HostState, *, no_gateway_hint: str = NO_GATEWAY_HINT,
                       source: str | None = None) -> Any:
    """Run one command (`words`, the command word first) and return its result.

    `source`: where kline takes its bars from (default: the setting in force).
    Any failure raises `CommandError` carrying the text to show, in one line (`UsageError` for
    a line that names no command or gives it words it does not take). A closed output
    (BrokenPipeError), cancellation and Ctrl-C pass through.
    """
    cls = check(words)
    word, *args = spread(words)
    word = word.lower()
    source = source or result_settings.current().source
    if sources.shuns_gateway(word, source):
        state = HostState()
    await state.reach()
    if (cls.requires_gateway or sources.needs_gateway(word, source)) and not state.connected:
        why = (f"the gateway at {state.describe_gateway()} is not connected" if state.address
               else no_gateway_hint)
        raise CommandError(f"{word} needs a connected gateway: {why}")
    if word in READS_EXECUTIONS and not asks_reload(args):
        await state.executions_ready()
    command = cls(state=state, ib=state.ib)
    try:
        apply_words(command, command.argmap(), args)
    except ValueError as e:
        raise UsageError(f"{word}: {e}") from None
    with logs.holding_errors() as held:
        try:
            result = await sources.run_from(word, command, source)
        except BrokenPipeError:
            # The reader of our output is gone (`| head`); no later command can be shown either.
            raise
        except sources.GatewayFailed as e:
            raise CommandError(summary(word, getattr(command, "symbol", None), str(e), held,
                                       lead="from the gateway: ")) from None
        except Exception as e:
            logger.opt(exception=e).debug("{} failed", word)
            raise CommandError(summary(word, getattr(command, "symbol", None), explain(e), held)) from e
    reason = failure(result)
    if reason is not None:
        raise CommandError(summary(word, getattr(command, "symbol", None), reason, held))
    return result


async def run_status(words: Sequence[str], state: HostState) -> int:
    """Run one command, show its result or report its failure; the exit status (0, 1, or 2 for usage).

    A line naming several symbols (`kline AAPL,MSFT day 5`) runs once per symbol (watchlist.py).
    """
    try:
        check_line(words)
    except CommandError as e:
        logger.error("{}", e)
        return e.status
    if watch.asked(words, result_settings.current()):
        return await watch.run_watched(words, state, no_gateway_hint=NO_GATEWAY_HINT)
    symbols = symbols_of(words)
    if symbols is not None:
        return await run_listed(words, symbols, state)
    printed_before = frame.printed
    try:
        with command_view(words, result_settings.current()):
            result = await execute_line(words, state)
    except CommandError as e:
        logger.error("{}", e)
        return e.status
    # Showing, charting or writing the result can fail too (a full disk, a missing extra).
    return 0 if await present(result, printed_before, state) else 1


async def run_line(words: Sequence[str], state: HostState) -> bool:
    """Run one command (`words`, the command word first) and report any failure; True on success."""
    return await run_status(words, state) == 0
