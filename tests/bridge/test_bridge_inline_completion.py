"""A call whose answer arrives while it is being made returns a future that is already done; at most 16 in
a row per loop, so that a task awaiting them still yields; everything else takes the usual road."""

import asyncio
import itertools
import struct

import pytest

from test_bridge_futures import STEP
from test_bridge_loop_liveness import FN_GET_SNAPSHOT, HEADER, response, served_on, vector

ERROR_RESPONSE = 3


@pytest.fixture
def served_loop(tarnel):
    """(loop, engine, page): an engine on a loop of its own, a page on a thread that answers nothing by
    itself (the tests send answers ahead of the calls, or after them). Installation sets seq to 1."""
    yield from served_on(tarnel.TarnelEngineAsync, asyncio.new_event_loop())


def test_an_answer_waiting_when_the_call_is_made_completes_it_at_once(served_loop):
    loop, engine, page = served_loop

    async def call_answered_ahead():
        page.send(response(1, FN_GET_SNAPSHOT, vector([4.0, 2.0])))  # in the socket before the request
        future = engine.get_snapshot(STEP)
        assert future.done() and not future.cancel() and not future.cancelled()
        return future.result()

    assert loop.run_until_complete(call_answered_ahead()).tolist() == [4.0, 2.0]
    assert page.next_request() == (1, FN_GET_SNAPSHOT)


@pytest.mark.parametrize("answer", ["after the call", "an error response"])
def test_other_outcomes_take_the_usual_road(served_loop, answer):
    loop, engine, page = served_loop

    async def call():
        if answer == "an error response":
            body = struct.pack("<HHI", 5, 0, 5) + b"boom!"
            page.send(HEADER.pack(1, ERROR_RESPONSE, 0, 1, FN_GET_SNAPSHOT, 0, len(body)) + body)
        future = engine.get_snapshot(STEP)
        assert not future.done()
        if answer == "after the call":
            assert page.next_request() == (1, FN_GET_SNAPSHOT)
            page.send(response(1, FN_GET_SNAPSHOT, vector([1.0])))
            return (await asyncio.wait_for(future, STEP)).tolist()
        with pytest.raises(RuntimeError, match=r"^RpcError\(seq=1, fnId=12, err=5, sub=0\): boom!$"):
            await asyncio.wait_for(future, STEP)
        return None

    assert loop.run_until_complete(call()) == ([1.0] if answer == "after the call" else None)


def test_a_task_whose_calls_all_complete_at_once_still_yields(served_loop):
    """64 calls, each answered ahead: they come back done in runs of at most 16, and between runs the
    loop turns, so another task gets its share."""
    loop, engine, page = served_loop
    turns = 0

    async def other_task():
        nonlocal turns
        while True:
            turns += 1
            await asyncio.sleep(0)

    async def calls_answered_ahead():
        other = asyncio.ensure_future(other_task())
        await asyncio.sleep(0)
        started = turns
        done_at_once = []
        for seq in range(1, 65):
            page.send(response(seq, FN_GET_SNAPSHOT, vector([float(seq)])))
            future = engine.get_snapshot(STEP)
            done_at_once.append(future.done())
            assert (await asyncio.wait_for(future, STEP)).tolist() == [float(seq)]
        other.cancel()
        return done_at_once, turns - started

    done_at_once, other_turns = loop.run_until_complete(calls_answered_ahead())
    runs = [len(list(group)) for done, group in itertools.groupby(done_at_once) if done]
    assert max(runs) == 16 and sum(runs) >= 48, done_at_once
    assert other_turns >= 3
