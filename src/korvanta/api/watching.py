"""`Session.watch`: kline's intraday bars as frames, one at each of the gateway's updates.

The bars are fetched as `kline` fetches them, then kept current by the runner's subscription
to the gateway's updates (runner/bar_feed.py), on the loop that holds the session's
connection; each update hands the caller's loop the frame as it stands now. A caller slower
than the updates gets the newest frame, not a queue of old ones.
"""

import asyncio
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Generic, TypeVar

from korvanta.runner.errors import CommandError, UsageError

from .commands import NO_GATEWAY_HINT, Call, checked

if TYPE_CHECKING:
    import pandas as pd

    from korvanta.runner.live_bars import LiveBars
    from korvanta.runner.state import HostState

T = TypeVar("T")
# How long leaving the loop waits for the subscription's cancel to reach the gateway.
CANCEL_WAIT = 5.0


class Latest(Generic[T]):
    """The newest value a producer on any loop hands over, for one consumer on `loop`; values the
    consumer had no time for are dropped. A failure or the producer's end is handed over too."""

    def __init__(self, loop: asyncio.AbstractEventLoop):
        self.loop = loop
        self._value: T | None = None
        self._failure: BaseException | None = None
        self._ready = asyncio.Event()
        self.finished = asyncio.Event()
        self._lock = threading.Lock()

    def _on_loop(self, call: Callable[[], None]) -> None:
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is self.loop:
            call()
        elif not self.loop.is_closed():
            self.loop.call_soon_threadsafe(call)

    def put(self, value: T) -> None:
        with self._lock:
            self._value = value
        self._on_loop(self._ready.set)

    def fail(self, failure: BaseException) -> None:
        with self._lock:
            self._failure = failure
        self._on_loop(self._ready.set)

    def finish(self) -> None:
        self._on_loop(self.finished.set)

    async def get(self) -> T:
        await self._ready.wait()
        with self._lock:
            self._ready.clear()
            if self._failure is not None:
                raise self._failure
            value, self._value = self._value, None
        return value  # type: ignore[return-value]


def check_watch(call: Call, address: tuple[str, int] | None) -> Call:
    """The call, once its words are checked and its bars can be kept current; UsageError otherwise."""
    from korvanta.runner import watch
    from korvanta.runner.settings import ResultSettings

    checked(call)
    why = watch.refusal(call.words, ResultSettings(source=call.source, watch=True))
    if why is None and address is None:
        why = f"watch keeps bars current from the gateway's updates; {NO_GATEWAY_HINT}"
    if why is not None:
        # the refusal in the API's words rather than the command line's
        raise UsageError("kline: " + why.replace("--watch", "watch").replace("--source yfinance", "source='yfinance'"))
    return call


async def _results(call: Call, state: "HostState") -> list[tuple[list[str], Any]]:
    """Each symbol's kline line and result, run side by side; CommandError naming every failure."""
    from korvanta.runner.commands import execute_line
    from korvanta.runner.watchlist import LISTED, Outcome, line_for, outcomes, symbols_of
    from quodra import frame

    symbols = symbols_of(call.words)
    if symbols is None and call.listed:
        symbols = [call.words[LISTED["kline"] + 1]]
    lines = [call.words] if symbols is None else [line_for(call.words, symbol) for symbol in symbols]
    got: list[Outcome] = [Outcome()] * len(lines)

    async def take(i: int, outcome: Outcome) -> None:
        got[i] = outcome

    async def run(line: list[str]) -> Any:
        return await execute_line(line, state, no_gateway_hint=NO_GATEWAY_HINT, source=call.source)

    with frame.using(shown=False):
        await outcomes(lines, run, take)
    failed = [str(outcome.failure) for outcome in got if outcome.failure is not None]
    if failed:
        raise CommandError(failed[0] if len(lines) == 1 else
                           f"kline: {len(failed)} of {len(lines)} symbols failed: {'; '.join(failed)}")
    return [(line, outcome.result) for line, outcome in zip(lines, got)]


def _frame(lives: Sequence["LiveBars"], call: Call) -> "pd.DataFrame":
    from korvanta.runner.records import listed_frame

    if not call.listed:
        return lives[0].view(tz=call.tz, rth=call.rth)
    zones = {str(live.zone) for live in lives}
    tz = call.tz or ("UTC" if len(zones) > 1 else None)
    views = {live.symbol.upper(): live.view(tz=tz, rth=call.rth) for live in lives}
    combined = listed_frame(views)
    combined.attrs = {"symbols": list(views), "by_symbol": {symbol: dict(view.attrs) for symbol, view in views.items()}}
    return combined


async def produce(call: Call, state: "HostState", latest: Latest["pd.DataFrame"]) -> None:
    """Fetch the call's bars, hand over their frame, then a frame at each update until cancelled."""
    from korvanta.runner.bar_feed import BarFeed
    from korvanta.runner.live_bars import LiveBars
    from korvanta.runner.watch import kept_count

    try:
        lives = [LiveBars(result, keep=kept_count(result, line)) for line, result in await _results(call, state)]
        latest.put(_frame(lives, call))

        def changed(live: "LiveBars", starts: Sequence[Any]) -> None:
            latest.put(_frame(lives, call))

        async with asyncio.TaskGroup() as group:
            for live in lives:
                group.create_task(BarFeed(state, live, changed).run())
    except asyncio.CancelledError:
        raise
    except BaseException as e:
        latest.fail(e.exceptions[0] if isinstance(e, BaseExceptionGroup) and len(e.exceptions) == 1 else e)
        raise
    finally:
        latest.finish()
