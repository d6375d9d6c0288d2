"""Where the synchronous environments run the engine's coroutines.

An engine's calls answer asyncio futures of the loop that made the call, so every environment keeps one
event loop for its whole life: the engine is started on it and every call runs on it. Two kinds:

- `CallerLoop`: a private loop that the calling thread itself drives for the length of each call
  (`run_until_complete`). No thread hand-over: this is what plain Python code (a training script, a
  Gymnasium worker process, a Ray actor) gets.
- `EventLoopThread`: a loop running on a daemon thread of its own; the caller waits for each coroutine's
  result. This is for callers that are themselves inside a running event loop (a notebook cell), where
  a second loop cannot run in the same thread; the hand-over costs a thread wake-up or two per call.

`make_loop()` picks one for the calling thread. Both have the same `run(coroutine, timeout)`,
`run_all(coroutines, timeout)` (several at once, as a vector environment steps them) and `stop()`;
`thread` is the background thread, or None for a `CallerLoop`.
"""
from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import weakref
from collections.abc import Coroutine
from typing import Any


def running_loop() -> asyncio.AbstractEventLoop | None:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def make_loop(name: str = "tarnel-env-loop") -> "CallerLoop | EventLoopThread":
    """A `CallerLoop` for a thread that runs no event loop, else an `EventLoopThread`."""
    return EventLoopThread(name) if running_loop() is not None else CallerLoop()


async def _cancel_all() -> None:
    tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)


def _own_loop_error(coroutine: Coroutine) -> RuntimeError:
    coroutine.close()
    return RuntimeError("a synchronous environment method was called on the environment's own event loop "
                        "thread; await the coroutine instead")


class CallerLoop:
    """A private event loop run by whichever thread calls `run`, for as long as the call lasts.

    A caller whose thread already runs an event loop cannot drive a second one there: for that call the
    loop is driven by a helper thread while the caller waits (the same loop, so the engine's futures
    stay on the loop that made them). One call at a time: a call made while another is running in a
    different thread raises `RuntimeError`."""

    thread = None

    def __init__(self) -> None:
        self.loop = asyncio.new_event_loop()
        self._busy = threading.Lock()
        self._helper: concurrent.futures.ThreadPoolExecutor | None = None
        self._finalizer = weakref.finalize(self, _close_unused, self.loop)

    def is_running(self) -> bool:
        return not self.loop.is_closed()

    def run(self, coroutine: Coroutine[Any, Any, Any], timeout: float | None) -> Any:
        if self.loop.is_closed():
            coroutine.close()
            raise RuntimeError("the environment's event loop has been stopped")
        outer = running_loop()
        if outer is self.loop:
            raise _own_loop_error(coroutine)
        if not self._busy.acquire(blocking=False):
            coroutine.close()
            raise RuntimeError("the environment is already running a call in another thread")
        try:
            if outer is None:
                return self._run_here(coroutine, timeout)
            if self._helper is None:
                self._helper = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tarnel-env-call")
            return self._helper.submit(self._run_here, coroutine, timeout).result()
        finally:
            self._busy.release()

    def run_all(self, coroutines: list[Coroutine[Any, Any, Any]], timeout: float | None) -> list[Any]:
        """Runs the coroutines together and answers their results in order (the first failure is raised
        once all have ended). Each is a task of its own, started in one turn of the loop; with no time-out
        the loop runs until their gathering is done, with no task above them (fewer turns of the loop)."""
        if timeout is not None or self.loop.is_closed() or running_loop() is not None:
            return self.run(_gathered(coroutines), timeout)
        if not self._busy.acquire(blocking=False):
            for coroutine in coroutines:
                coroutine.close()
            raise RuntimeError("the environment is already running a call in another thread")
        try:
            tasks = [self.loop.create_task(coroutine) for coroutine in coroutines]
            gathered = asyncio.gather(*tasks, return_exceptions=True)
            try:
                outcomes = self.loop.run_until_complete(gathered)
            except BaseException:
                for task in tasks:  # interrupted: the calls must not go on at the next run
                    task.cancel()
                try:
                    self.loop.run_until_complete(gathered)
                except BaseException:
                    pass
                raise
        finally:
            self._busy.release()
        for outcome in outcomes:
            if isinstance(outcome, BaseException):
                raise outcome
        return outcomes

    def _run_here(self, coroutine: Coroutine[Any, Any, Any], timeout: float | None) -> Any:
        task = self.loop.create_task(coroutine if timeout is None else _bounded(coroutine, timeout))
        try:
            return self.loop.run_until_complete(task)
        except BaseException:
            if not task.done():
                # Interrupted (KeyboardInterrupt): the call must not go on at the next run. Cancelling an
                # engine call is immediate; its late answer is skipped by the engine.
                task.cancel()
                try:
                    self.loop.run_until_complete(task)
                except BaseException:
                    pass
            raise

    def stop(self, timeout: float = 10.0) -> None:
        """Cancels what is left on the loop, ends its default executor and closes it. Idempotent."""
        if self.loop.is_closed():
            return

        async def shut_down():
            await _cancel_all()
            await self.loop.shutdown_asyncgens()
            await self.loop.shutdown_default_executor()

        try:
            self.run(shut_down(), timeout)
        except (RuntimeError, TimeoutError):
            pass
        finally:
            if not self.loop.is_running():
                self.loop.close()
            if self._helper is not None:
                self._helper.shutdown(wait=True)


async def _gathered(coroutines: list[Coroutine[Any, Any, Any]]) -> list[Any]:
    outcomes = await asyncio.gather(*coroutines, return_exceptions=True)
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            raise outcome
    return outcomes


def _close_unused(loop: asyncio.AbstractEventLoop) -> None:
    if not loop.is_closed() and not loop.is_running():
        loop.close()


async def _bounded(coroutine: Coroutine[Any, Any, Any], timeout: float) -> Any:
    try:
        async with asyncio.timeout(timeout):
            return await coroutine
    except TimeoutError:
        raise TimeoutError(f"no answer within {timeout} s") from None


class EventLoopThread:
    """An asyncio event loop running on a daemon thread of its own.

    `run(coroutine, timeout)` runs a coroutine on that loop from any other thread and waits for its
    result; when the time runs out the coroutine is cancelled (an engine call in flight is abandoned,
    and the engine skips its late answer) and `TimeoutError` is raised. `stop()` cancels what is still
    running, stops the loop and joins the thread."""

    def __init__(self, name: str = "tarnel-env-loop") -> None:
        self.loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._main, name=name, daemon=True)
        self._thread.start()
        self._ready.wait()

    @property
    def thread(self) -> threading.Thread:
        return self._thread

    def is_running(self) -> bool:
        return self._thread.is_alive() and not self.loop.is_closed()

    def _main(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.call_soon(self._ready.set)
        try:
            self.loop.run_forever()
        finally:
            try:
                self.loop.run_until_complete(_cancel_all())
                self.loop.run_until_complete(self.loop.shutdown_asyncgens())
                self.loop.run_until_complete(self.loop.shutdown_default_executor())
            finally:
                self.loop.close()

    def run(self, coroutine: Coroutine[Any, Any, Any], timeout: float | None) -> Any:
        if threading.current_thread() is self._thread:
            raise _own_loop_error(coroutine)
        if not self.is_running():
            coroutine.close()
            raise RuntimeError("the environment's event loop has been stopped")
        future = asyncio.run_coroutine_threadsafe(coroutine, self.loop)
        try:
            return future.result(timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError(f"no answer within {timeout} s") from None

    def run_all(self, coroutines: list[Coroutine[Any, Any, Any]], timeout: float | None) -> list[Any]:
        """Runs the coroutines together on the loop and answers their results in order."""
        return self.run(_gathered(coroutines), timeout)

    def stop(self, timeout: float = 10.0) -> None:
        """Cancels every task still on the loop, stops it and joins the thread. Idempotent."""
        if self._thread.is_alive() and not self.loop.is_closed():
            try:
                self.loop.call_soon_threadsafe(self.loop.stop)
            except RuntimeError:  # closed in between
                pass
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)
