"""The coroutine bridge: C++ coroutines awaiting Python, and Python awaiting them."""

import asyncio
import collections.abc
import gc
import os
import sys
import weakref

import pytest

from korvanta import _bridge_fixtures as fx


class Halt(BaseException):
    """A non-Exception error, which C++ code that catches Exception must let through."""


class Echo:
    """Awaitable whose generator yields once and returns what it was sent, doubled;
    a ValueError thrown in is answered with "recovered"."""

    def __init__(self, holder=None):
        self.holder = holder  # lets a test close a reference cycle through the awaitable

    def __await__(self):
        try:
            sent = yield "ready"
        except ValueError:
            return "recovered"
        return sent * 2


class Yields:
    """Awaitable whose iterator is a plain generator, watched through a weak reference
    (a strong one would make a cycle through the generator's frame)."""

    def __init__(self):
        self.iterator = None

    def __await__(self):
        steps = self._steps()
        self.iterator = weakref.ref(steps)
        return steps

    def _steps(self):
        yield "ready"
        return "done"


def run(coro):
    return asyncio.run(coro)


class TestAwaitingPython:
    def test_future_resolved_later(self):
        async def main():
            loop = asyncio.get_running_loop()
            future = loop.create_future()
            loop.call_later(0.01, future.set_result, 42)
            return await fx.await_one(future)

        assert run(main()) == 42

    def test_sleep_thread_and_native_coroutine_in_sequence(self):
        async def native():
            await asyncio.sleep(0)
            return "native"

        awaitables = [asyncio.sleep(0.001, "slept"), asyncio.to_thread(sum, [1, 2]), native()]
        assert run(fx.await_all(awaitables)) == ["slept", 3, "native"]

    def test_bridge_coroutine_awaiting_another(self):
        assert run(fx.await_one(fx.await_one(asyncio.sleep(0, "inner")))) == "inner"

    def test_tuple_result_stays_a_tuple(self):
        assert run(fx.return_tuple()) == ("a", 1)

    def test_not_awaitable_is_a_type_error(self):
        with pytest.raises(TypeError, match="can't be awaited"):
            run(fx.await_one(42))


class Immediate:
    """Awaitable whose iterator returns `value` without ever yielding."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        return self.value
        yield  # a generator all the same


async def returns_at_once(value):
    return value


async def raises_at_once():
    raise KeyError("gone")


class TestFinishedInFirstStep:
    """Awaits whose first step already finishes: the bridge coroutine goes on at once and
    its return reaches the caller as a StopIteration carrying the value itself."""

    @pytest.mark.parametrize("value", [("a", 1), None, KeyError("kept"), 0])
    @pytest.mark.parametrize("make", [returns_at_once, Immediate], ids=["coroutine", "iterator"])
    def test_value_passes_unchanged(self, make, value):
        coro = fx.await_one(make(value))
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value is value
        if value is not None:
            assert stop.value.args == (value,)
        assert not coro.cr_suspended

    def test_error_is_caught_in_cpp(self):
        assert run(fx.await_catching(raises_at_once())) == ("caught", "'gone'")

    def test_mixed_with_awaits_that_yield(self):
        awaitables = [returns_at_once(1), asyncio.sleep(0, 2), Immediate(3), asyncio.sleep(0)]
        assert run(fx.await_all(awaitables)) == [1, 2, 3, None]


class TestExceptions:
    def test_exception_caught_in_cpp(self):
        async def fails():
            await asyncio.sleep(0)
            raise KeyError("gone")

        assert run(fx.await_catching(fails())) == ("caught", "'gone'")

    def test_base_exception_passes_cpp_handler(self):
        async def halts():
            raise Halt

        with pytest.raises(Halt):
            run(fx.await_catching(halts()))

    def test_cpp_exception_arrives_translated(self):
        with pytest.raises(ValueError, match="bad words"):
            run(fx.raise_cpp("bad words"))

    def test_stop_iteration_leaving_the_body_is_a_runtime_error(self):
        with pytest.raises(RuntimeError, match="raised StopIteration") as caught:
            run(fx.call_and_return(lambda: next(iter(()))))
        assert isinstance(caught.value.__cause__, StopIteration)

    def test_original_exception_object_arrives(self):
        error = LookupError("same object")

        async def fails():
            raise error

        with pytest.raises(LookupError) as caught:
            run(fx.await_one(fails()))
        assert caught.value is error


class TestProtocol:
    def test_registered_as_coroutine(self):
        coro = fx.await_one(Echo())
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert coro.__qualname__ == "await_one"
        coro.close()

    def test_send_reaches_inner_generator(self):
        coro = fx.await_one(Echo())
        assert coro.send(None) == "ready"
        assert coro.cr_suspended
        with pytest.raises(StopIteration) as stop:
            coro.send(21)
        assert stop.value.value == 42

    def test_throw_reaches_inner_generator(self):
        coro = fx.await_one(Echo())
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("into the generator"))
        assert stop.value.value == "recovered"

    def test_throw_unhandled_by_inner_reaches_cpp(self):
        log = []
        coro = fx.await_with_cleanup(Echo(), log)
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert log == ["cleanup"]

    def test_first_send_must_be_none(self):
        coro = fx.await_one(Echo())
        with pytest.raises(TypeError, match="non-None"):
            coro.send(1)
        coro.close()

    def test_reuse_after_finish(self):
        coro = fx.return_tuple()
        with pytest.raises(StopIteration):
            coro.send(None)
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    @pytest.mark.parametrize("finish", ["returned", "raised", "closed", "closed-unstarted"])
    def test_finished_coroutine_raises_what_is_thrown(self, finish):
        async def fails():
            raise LookupError

        coro = fx.await_one(fails() if finish == "raised" else Echo())
        if finish.startswith("closed"):
            if finish == "closed":
                coro.send(None)
            coro.close()
        else:
            with pytest.raises(StopIteration if finish == "returned" else LookupError):
                coro.send(None)
                coro.send(1)
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)
        error = KeyError("late")
        with pytest.raises(KeyError) as raised:
            coro.throw(error)
        assert raised.value is error
        with pytest.raises(ValueError):
            coro.throw(ValueError)

    @pytest.mark.parametrize("finish", ["returned", "closed", "thrown"])
    def test_cr_await_is_the_awaited_iterator(self, finish):
        first, second = Yields(), Yields()
        coro = fx.await_all([first, second])
        assert coro.cr_await is None
        assert coro.send(None) == "ready"
        assert coro.cr_await is first.iterator() is not None
        assert coro.send(None) == "ready"
        assert coro.cr_await is second.iterator() is not None
        if finish == "returned":
            with pytest.raises(StopIteration):
                coro.send(None)
        elif finish == "closed":
            coro.close()
        else:
            with pytest.raises(KeyError):
                coro.throw(KeyError)
        assert coro.cr_await is None

    def test_throw_before_start_never_runs_body(self):
        log = []
        coro = fx.await_with_cleanup(Echo(), log)
        with pytest.raises(KeyError):
            coro.throw(KeyError("early"))
        assert log == []

    def test_close_unwinds_suspended_body(self):
        log = []
        coro = fx.await_with_cleanup(Echo(), log)
        coro.send(None)
        assert coro.close() is None
        assert log == ["cleanup"]

    def test_close_refuses_a_body_that_awaits_again(self):
        coro = fx.ignore_exit(Echo(), Echo())
        coro.send(None)
        with pytest.raises(RuntimeError, match="ignored GeneratorExit"):
            coro.close()

    def test_never_awaited_warns(self):
        with pytest.warns(RuntimeWarning, match="'await_one' was never awaited"):
            fx.await_one(Echo())
            gc.collect()


class TestCancellation:
    def test_task_parked_in_cpp_is_cancelled(self):
        log = []

        async def main():
            task = asyncio.create_task(fx.await_with_cleanup(asyncio.sleep(10), log))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task

        task = run(main())
        assert task.cancelled()
        assert log == ["cleanup"]

    def test_cancellation_passes_a_cpp_exception_handler(self):
        async def main():
            task = asyncio.create_task(fx.await_catching(asyncio.sleep(10)))
            await asyncio.sleep(0.01)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            return task

        assert run(main()).cancelled()

    def test_wait_for_timeout_cancels_inner(self):
        log = []

        async def main():
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(fx.await_with_cleanup(asyncio.sleep(10), log), 0.01)

        run(main())
        assert log == ["cleanup"]


class TestLifetime:
    def test_unfinished_coroutine_collected_and_closed(self):
        log = []
        awaitable = Echo()
        watch = weakref.ref(awaitable)
        coro = fx.await_with_cleanup(awaitable, log)
        coro.send(None)
        del awaitable, coro
        assert log == ["cleanup"]
        assert watch() is None

    def test_cycle_through_awaited_object_is_collected(self):
        log = []
        awaitable = Echo()
        watch = weakref.ref(awaitable)
        coro = fx.await_with_cleanup(awaitable, log)
        awaitable.holder = coro  # coroutine -> iterator -> awaitable -> coroutine
        coro.send(None)
        del awaitable, coro
        gc.collect()
        assert log == ["cleanup"]
        assert watch() is None

    @pytest.mark.parametrize("ending", ["close", "dropped", "thrown"])
    def test_closed_suspended_coroutines_release_what_they_awaited(self, ending, traced_growth):
        # Closing and throwing go through the awaited generator's own close() and throw():
        # whatever the bridge takes of it on the way (the bound method holds the generator)
        # must be given back, or every generator stays alive.
        def close_suspended(times, watch=None):
            for _ in range(times):
                awaitable = Yields()
                coro = fx.await_one(awaitable)
                coro.send(None)
                if watch is not None:
                    watch.append(awaitable.iterator)
                if ending == "close":
                    coro.close()
                elif ending == "thrown":
                    try:
                        coro.throw(KeyError("into the generator"))
                    except KeyError:
                        pass
                del coro, awaitable

        watch = []
        close_suspended(10_000, watch)
        assert sum(ref() is not None for ref in watch) == 0
        del watch
        assert traced_growth(lambda: close_suspended(10_000)) < 64 * 1024

    def test_no_reference_leaks(self):
        token = object()
        before = sys.getrefcount(token)
        for _ in range(2000):
            coro = fx.await_one(Echo())
            coro.send(None)
            with pytest.raises(StopIteration) as stop:
                coro.send([token])
            assert stop.value.value == [token, token]
            del coro, stop
        gc.collect()
        assert sys.getrefcount(token) == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
def test_frames_are_freed():
    # Coroutine frames live on the C++ heap, out of tracemalloc's sight: watch the process.
    def loop(times):
        for _ in range(times):
            coro = fx.await_one(Echo())
            coro.send(None)
            with pytest.raises(StopIteration):
                coro.send(1)

    loop(10_000)
    before = resident_bytes()
    loop(100_000)
    assert resident_bytes() - before < 4 * 1024 * 1024
