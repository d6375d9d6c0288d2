"""Each call's future belongs to the loop running in the calling thread, however loops take turns in a
thread (even a loop run inside another loop's coroutine), and a thread whose loop has stopped has none."""

import asyncio

import pytest

from test_bridge_futures import NO_RUNNING_LOOP, STEP

NO_CONNECTION = "RpcTransportError(seq=None, fnId=Some(12)): no websocket connected"


@pytest.mark.parametrize("kinds", [("asyncio", "asyncio"), ("asyncio", "uvloop"), ("uvloop", "asyncio")])
def test_loops_taking_turns_in_a_thread_each_get_their_own_futures(tarnel, kinds):
    engine = tarnel.TarnelEngineAsync("127.0.0.1", 1)
    loops = [pytest.importorskip("uvloop").new_event_loop() if kind == "uvloop" else asyncio.new_event_loop()
             for kind in kinds]

    async def call_on(loop):
        future = engine.get_snapshot(STEP)
        assert future.get_loop() is loop is asyncio.get_running_loop()
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(future, STEP)
        return info.value.args

    for _ in range(3):
        for loop in loops:
            assert loop.run_until_complete(call_on(loop)) == (NO_CONNECTION,)
            with pytest.raises(RuntimeError) as info:  # the loop has stopped: no loop runs in this thread
                engine.get_snapshot(STEP)
            assert info.value.args == (NO_RUNNING_LOOP,)
    for loop in loops:
        loop.close()


def test_a_loop_run_inside_another_loops_coroutine_gets_its_own_futures(tarnel):
    """A re-entrancy helper runs a second loop inside the first one's coroutine: asyncio's running loop is
    then the inner one, while the outer one still looks as if it ran in this thread."""
    engine = tarnel.TarnelEngineAsync("127.0.0.1", 1)
    outer, inner = asyncio.new_event_loop(), asyncio.new_event_loop()

    async def call_and_check(loop):
        future = engine.get_snapshot(STEP)
        assert future.get_loop() is loop
        with pytest.raises(RuntimeError):
            await asyncio.wait_for(future, STEP)

    async def outer_coroutine():
        await call_and_check(outer)
        asyncio.events._set_running_loop(None)  # what nesting helpers do before running another loop
        try:
            inner.run_until_complete(call_and_check(inner))
        finally:
            asyncio.events._set_running_loop(outer)
        await call_and_check(outer)

    try:
        outer.run_until_complete(outer_coroutine())
    finally:
        inner.close()
        outer.close()
