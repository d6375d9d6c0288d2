"""Where the environments run their coroutines: the caller's own loop and the loop thread, with time-outs,
interruptions and stops. No engine is needed: plain coroutines stand in for the calls."""
import asyncio
import threading

import pytest

import rl_support  # noqa: F401  (puts the package on the path)
from tarnel_rl.loops import CallerLoop, EventLoopThread, make_loop


@pytest.fixture(params=["caller", "thread"])
def loop(request):
    made = CallerLoop() if request.param == "caller" else EventLoopThread(name="tarnel-env-test")
    yield made
    made.stop()


def test_make_loop_picks_by_the_calling_thread():
    plain = make_loop()
    assert isinstance(plain, CallerLoop) and plain.thread is None
    plain.stop()

    async def in_a_loop():
        return make_loop()

    threaded = asyncio.run(in_a_loop())
    try:
        assert isinstance(threaded, EventLoopThread) and threaded.thread.is_alive()
    finally:
        threaded.stop()
    assert not threaded.thread.is_alive()


def test_one_loop_for_every_call(loop):
    async def which():
        return asyncio.get_running_loop(), threading.current_thread()

    first, second = loop.run(which(), 5.0), loop.run(which(), None)
    assert first[0] is second[0] is loop.loop
    assert first[1] is second[1] is (threading.current_thread() if loop.thread is None else loop.thread)


def test_a_time_out_cancels_the_coroutine(loop):
    cancelled = threading.Event()

    async def slow():
        try:
            await asyncio.sleep(30)
        except asyncio.CancelledError:
            cancelled.set()
            raise

    with pytest.raises(TimeoutError, match=r"^no answer within 0\.2 s$"):
        loop.run(slow(), 0.2)
    assert cancelled.wait(5)
    assert loop.run(asyncio.sleep(0, result=7), 5.0) == 7  # still usable


def test_an_interrupted_call_does_not_go_on_at_the_next_one():
    loop = CallerLoop()
    progress = []

    async def interrupted():
        asyncio.get_running_loop().call_later(0.05, _interrupt)
        try:
            await asyncio.sleep(0.3)
            progress.append("finished")
        except asyncio.CancelledError:
            progress.append("cancelled")
            raise

    with pytest.raises(KeyboardInterrupt):
        loop.run(interrupted(), None)  # as Ctrl-C in the middle of a call
    assert progress == ["cancelled"]
    loop.run(asyncio.sleep(0.5), None)
    assert progress == ["cancelled"]  # the interrupted coroutine never resumed
    loop.stop()


def _interrupt():
    raise KeyboardInterrupt


def test_after_stop_every_call_is_refused(loop):
    loop.run(asyncio.sleep(0), None)
    loop.stop()
    loop.stop()  # idempotent
    assert loop.loop.is_closed()
    coroutine = asyncio.sleep(0)
    with pytest.raises(RuntimeError, match=r"^the environment's event loop has been stopped$"):
        loop.run(coroutine, None)
    assert coroutine.cr_frame is None  # closed, so no "never awaited" warning


@pytest.mark.parametrize("timeout", [None, 30.0])
def test_run_all_starts_every_coroutine_in_one_turn_and_waits_for_all_before_a_failure(loop, timeout):
    """What a vector step needs: every coroutine has begun (sent its first request) before any of them
    waits for another turn of the loop; the results come in order; a failure is raised only once every
    other coroutine has ended, so that none goes on behind the next call."""
    started, ended = [], []

    async def one(i, fail=False):
        started.append(i)
        await asyncio.sleep(0)  # one turn of the loop: all must have started by then
        assert len(started) == 4
        await asyncio.sleep(0)
        if fail:
            raise ValueError(f"coroutine {i} failed")
        ended.append(i)
        return i * 10

    assert loop.run_all([one(i) for i in range(4)], timeout) == [0, 10, 20, 30]
    started.clear()
    ended.clear()
    with pytest.raises(ValueError, match="^coroutine 1 failed$"):
        loop.run_all([one(0), one(1, fail=True), one(2), one(3)], timeout)
    assert sorted(ended) == [0, 2, 3]
    assert loop.run(asyncio.sleep(0, "still usable"), timeout) == "still usable"
