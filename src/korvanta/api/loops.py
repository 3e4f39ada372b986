"""Which event loop an API call runs on, from whatever context it is made in.

The blocking forms choose by where they are called (the package's documentation lists the
cases). Sessions that block keep their connection on a loop of their own, running in a thread
of its own (`LoopThread`), so that one connection serves every call, from any thread.

`nest_asyncio` (which notebooks often apply) swaps asyncio's tasks for its pure-Python ones,
which asyncio's own `current_task` does not see: every `asyncio.timeout` inside them, and so
every `wait_for`, fails with "Timeout should be used inside a task". The loops made here run
the C tasks whatever asyncio's names hold; a session used inside such a task keeps its
connection on a `LoopThread`.
"""

import asyncio
import threading
from collections.abc import Awaitable, Callable, Coroutine
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, TypeVar

try:
    # CPython's tasks, kept here before anyone replaces asyncio's names for them.
    from _asyncio import Task as _CTask
except ImportError:  # another interpreter: its tasks are whatever asyncio has
    _CTask = None

T = TypeVar("T")


def _c_tasks(loop: asyncio.AbstractEventLoop) -> None:
    if _CTask is not None:
        loop.set_task_factory(lambda loop, coro, **kwargs: _CTask(coro, loop=loop, **kwargs))


def tasks_replaced() -> bool:
    """Whether asyncio's tasks are no longer its C tasks (nest_asyncio applied)."""
    return _CTask is not None and asyncio.Task is not _CTask


def _own_executor(loop: asyncio.AbstractEventLoop) -> ThreadPoolExecutor:
    workers = ThreadPoolExecutor(thread_name_prefix="korvanta-api")
    loop.set_default_executor(workers)
    return workers


def _let_go(loop: asyncio.AbstractEventLoop, workers: ThreadPoolExecutor) -> None:
    """Before a loop closes: its worker threads are not waited for.

    A yfinance fetch given up on after KORVANTA_YF_TIMEOUT goes on in a thread of the loop's
    default executor, which nothing can stop; closing the loop as asyncio.run does would hold
    the answer back (up to minutes) until the fetch ends. The thread finishes on its own.
    """
    workers.shutdown(wait=False)
    # The loop's close waits for whatever executor it has then: an idle one.
    loop.set_default_executor(ThreadPoolExecutor(max_workers=1))


def on_private_loop(make: Callable[[], Awaitable[T]]) -> T:
    """`asyncio.run(make())` on a loop of C tasks, without waiting at the end for a worker thread
    that still runs."""
    with asyncio.Runner() as runner:
        loop = runner.get_loop()
        _c_tasks(loop)
        workers = _own_executor(loop)
        try:
            return runner.run(make())  # type: ignore[arg-type]
        finally:
            _let_go(loop, workers)


def in_helper_thread(make: Callable[[], Awaitable[T]]) -> T:
    """`on_private_loop(make)` in a thread of its own, while the calling thread waits; Ctrl-C
    there cancels the coroutine."""
    done: dict[str, Any] = {}
    started = threading.Event()

    async def main() -> T:
        done["loop"], done["task"] = asyncio.get_running_loop(), asyncio.current_task()
        started.set()
        return await make()

    def target() -> None:
        try:
            done["result"] = on_private_loop(main)
        except BaseException as e:  # handed to the waiting thread, which raises it
            done["error"] = e
        finally:
            started.set()

    helper = threading.Thread(target=target, name="korvanta-api", daemon=True)
    helper.start()
    try:
        helper.join()
    except KeyboardInterrupt:
        started.wait()
        try:
            done["loop"].call_soon_threadsafe(done["task"].cancel)
        except (KeyError, RuntimeError):
            pass  # never started, or over and its loop closed
        helper.join()
        raise
    if "error" in done:
        raise done["error"]
    return done["result"]


def blocking(make: Callable[[], Awaitable[T]]) -> T:
    """Run the coroutine that `make` returns to its end, on a loop the calling thread allows."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        return in_helper_thread(make)
    if tasks_replaced():
        # The loop set for this thread would make tasks that cannot time out.
        return on_private_loop(make)
    try:
        loop = asyncio.get_event_loop()
    except RuntimeError:
        loop = None
    if loop is not None and not loop.is_closed():
        return loop.run_until_complete(make())
    return on_private_loop(make)


class LoopThread:
    """An event loop of C tasks running in a daemon thread of its own, for as long as it is open."""

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        _c_tasks(self.loop)
        _own_executor(self.loop)
        self._thread = threading.Thread(target=self.loop.run_forever, name="korvanta-session", daemon=True)
        self._thread.start()

    def submit(self, coroutine: Coroutine[Any, Any, T]) -> "Future[T]":
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop)

    def wait(self, coroutine: Coroutine[Any, Any, T]) -> T:
        """The coroutine's result, run on this loop while the calling thread waits; Ctrl-C there
        cancels it."""
        answer = self.submit(coroutine)
        try:
            return answer.result()
        except KeyboardInterrupt:
            answer.cancel()
            raise

    def close(self) -> None:
        """Stop the loop and close it (its worker threads are not waited for)."""
        if self.loop.is_closed():
            return
        self.loop.call_soon_threadsafe(self.loop.stop)
        if threading.current_thread() is not self._thread:
            self._thread.join()
            self.loop.close()
