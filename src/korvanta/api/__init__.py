"""The commands as Python functions returning pandas frames, for notebooks and scripts.

    from korvanta import api
    bars = api.kline("AAPL", "day", 100, gateway="127.0.0.1:4002")      # indexed by date
    fills = api.executions("aapl", reload=True)                         # one row per fill
    journal = api.pnl("AAPL", "MSFT")                                   # one row per trading day and symbol
    bars = await api.kline_async("AAPL", "5m", 200, adjusted=True)      # on the caller's loop

    with api.Session(gateway="127.0.0.1:4002") as s:                   # one connection for many calls
        watch = s.klines(["AAPL", "MSFT", "TSLA"], "day", 100)          # indexed by symbol and date
        fills = s.executions("aapl")

Each call runs one command exactly as the `korvanta` runner does. A module-level call connects
to the gateway (`gateway="HOST:PORT"`, else `$KORVANTA_GATEWAY`; `client_id`, else
`$KORVANTA_CLIENT_ID`, else the first free id of 1 to 5), runs the command, and disconnects; a
`Session` keeps one connection for all its calls (see its documentation). Without a gateway,
or when it cannot be reached, kline serves from yfinance and executions fails;
`source="gateway"` or `"yfinance"` has kline use that one alone. Every failure raises
`CommandError` with the command's error text in one line; words or arguments the command
does not take raise `UsageError`, which is a `CommandError` and a `ValueError` too, before
anything connects. The tables a command prints are left out unless `show=True`.

Logging. Importing this module has loguru show warnings and errors only (its own default
shows every line, debug ones included), unless the program has set loguru up already.
For more: `from korvanta.runner import logs; logs.configure(0)` gives the runner's info
lines, `logs.configure(1)` the debug lines too; `loguru.logger.remove()` silences it all.

Event loops. The module-level `..._async` functions run on the loop that awaits them. The
plain functions block until the command is done, on an event loop that they choose by where
they are called:

- where no loop runs in the calling thread and none is set for it (a script, a plain Python
  shell): on a private loop in the calling thread, made for the call and closed after it;
- where a loop is set for the calling thread but not running (`asyncio.set_event_loop`, as
  ib_async programs do): on that loop, given back as it was;
- where a loop is running in the calling thread (a Jupyter notebook, an async program): that
  loop cannot be blocked on from inside, so on a private loop in a helper thread, while the
  calling thread waits. Ctrl-C (or the notebook's interrupt) cancels the command.

With `nest_asyncio` applied (as notebooks often do), whose tasks asyncio's timeouts cannot
see, the calls run on loops of asyncio's own tasks: a private one rather than the one set for
the thread, and a session's own loop for `_async` calls awaited inside such a task.
"""

# One exception type for every failure, the runner's own: its text is the command's error text.
from korvanta.runner import logs
from korvanta.runner.errors import CommandError, UsageError

logs.warnings_only_by_default()

from .calls import executions, executions_async, kline, kline_async, klines, klines_async, pnl, pnl_async  # noqa: E402
from .session import Session  # noqa: E402

__all__ = ["CommandError", "Session", "UsageError", "executions", "executions_async", "kline", "kline_async",
           "klines", "klines_async", "pnl", "pnl_async"]
