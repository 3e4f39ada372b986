"""The module-level calls: each a session's call on a connection of its own, opened for it and closed after."""

import functools
import inspect
from collections.abc import Callable, Coroutine
from typing import Any, TypeVar

from .loops import blocking
from .session import Session

T = TypeVar("T")

# What a module-level call takes besides its session method's arguments.
_CONNECTION = [inspect.Parameter("gateway", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="str | None"),
               inspect.Parameter("client_id", inspect.Parameter.KEYWORD_ONLY, default=None, annotation="int | None")]


def one_connection(method: Callable[..., Coroutine[Any, Any, T]]) -> Callable[..., Coroutine[Any, Any, T]]:
    """The module-level form of a session's `_async` method: a session of its own for the one call."""
    async def call(*args: Any, gateway: str | None = None, client_id: int | None = None, **kwargs: Any) -> T:
        async with Session(gateway, client_id) as session:
            return await method(session, *args, **kwargs)

    signature = inspect.signature(method)
    call.__signature__ = signature.replace(  # type: ignore[attr-defined]
        parameters=[*list(signature.parameters.values())[1:], *_CONNECTION])
    call.__name__ = call.__qualname__ = method.__name__
    call.__module__ = "korvanta.api"
    call.__doc__ = (f"{method.__doc__}\n\n        Connects for this call alone (`gateway`, `client_id`: as `Session`'s), "
                    "and disconnects after it.")
    return call


def blocking_form(call: Callable[..., Coroutine[Any, Any, T]]) -> Callable[..., T]:
    """The blocking form of a module-level `_async` call."""
    @functools.wraps(call)
    def blocked(*args: Any, **kwargs: Any) -> T:
        return blocking(lambda: call(*args, **kwargs))

    blocked.__name__ = blocked.__qualname__ = call.__name__.removesuffix("_async")
    blocked.__doc__ = f"`{call.__name__}`, blocking; which event loop it runs on is in the package's documentation."
    return blocked


kline_async = one_connection(Session.kline_async)
klines_async = one_connection(Session.klines_async)
executions_async = one_connection(Session.executions_async)
pnl_async = one_connection(Session.pnl_async)
kline = blocking_form(kline_async)
klines = blocking_form(klines_async)
executions = blocking_form(executions_async)
pnl = blocking_form(pnl_async)
