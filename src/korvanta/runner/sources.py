"""Where kline takes its bars from, as the user chose: `auto`, `gateway` or `yfinance`.

`auto` is the command as it is: the gateway when connected, yfinance when not, or when the
gateway path fails. `yfinance` goes to the command's yfinance path at once, never touching the
gateway. `gateway` must not fall back: the command's own entry falls back to yfinance after
any ordinary failure of its gateway path (an error result, an exception, an unknown symbol),
so for this one run the command object gets steps that turn each such failure into
`GatewayFailed` instead. That is a BaseException, as cancellation is, which the command's
fallback lets through untouched, without logging a fallback it will not make.
"""

from collections.abc import Awaitable, Callable
from typing import Any

from korvanta.cmds.base import IOp


class GatewayFailed(BaseException):
    """The gateway could not answer a command that was to use nothing else; the text says why."""


def _explained(e: Exception) -> str:
    from .commands import explain

    return explain(e)


def _gateway_step(step: Callable[..., Awaitable[Any]]) -> Callable[..., Awaitable[Any]]:
    """`step` (a mode of the command), with its failures, returned or raised, raised as GatewayFailed."""
    async def only_gateway(*args: Any) -> Any:
        try:
            result = await step(*args)
        except BrokenPipeError:
            raise  # the output is gone, which no source mends: the runner ends quietly
        except Exception as e:
            raise GatewayFailed(_explained(e)) from e
        if not result or "error" in result:
            raise GatewayFailed(str(result.get("error")) if result else "the gateway path returned nothing")
        return result

    return only_gateway


class _GatewayOnlyState:
    """The host state as a gateway-only command sees it: a symbol the gateway cannot resolve
    fails the command rather than sending it to yfinance."""

    def __init__(self, state: Any):
        self._state = state

    def __getattr__(self, name: str) -> Any:
        return getattr(self._state, name)

    async def positionalQuoteRepopulate(self, symbol: str) -> Any:
        try:
            found = await self._state.positionalQuoteRepopulate(symbol)
        except Exception as e:
            raise GatewayFailed(_explained(e)) from e
        if not found or not found[0]:
            raise GatewayFailed("no such symbol")
        return found


async def _no_fallback(*args: Any) -> Any:
    raise GatewayFailed("the gateway path failed")


# The coroutine methods of kline's gateway path, looked up on the command object at each call.
_KLINE_GATEWAY_MODES = ("_kline", "_history", "_intraday")


def _kline_from(command: IOp, source: str) -> Awaitable[Any]:
    if source == "yfinance":
        return command._run_yfinance(list(command.rest or []))  # type: ignore[attr-defined]
    for name in _KLINE_GATEWAY_MODES:
        setattr(command, name, _gateway_step(getattr(command, name)))
    command.state = _GatewayOnlyState(command.state)
    # Any other way the command might still find to yfinance ends here.
    command._run_yfinance = _no_fallback  # type: ignore[attr-defined]
    return command.run()


# command word -> how it runs from a chosen source; commands without an entry have no choice.
CHOOSERS: dict[str, Callable[[IOp, str], Awaitable[Any]]] = {"kline": _kline_from}


def takes_source(word: str) -> bool:
    return word in CHOOSERS


def needs_gateway(word: str, source: str) -> bool:
    """Whether the command `word` needs a connected gateway because of the source chosen."""
    return source == "gateway" and takes_source(word)


def shuns_gateway(word: str, source: str) -> bool:
    """Whether the command `word` is to run without the gateway, connected or not."""
    return source == "yfinance" and takes_source(word)


def run_from(word: str, command: IOp, source: str) -> Awaitable[Any]:
    """The command's run, from `source`: the coroutine to await."""
    choose = CHOOSERS.get(word)
    if choose is None or source == "auto":
        return command.run()
    return choose(command, source)
