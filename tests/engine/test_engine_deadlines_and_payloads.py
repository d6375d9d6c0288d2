"""Several calls on one connection: every call keeps its own deadline whatever the calls before it had
(the connection serves all deadlines with one timer), and large payloads in either direction arrive
byte for byte, also when large and small ones alternate."""

import asyncio
import struct
import time

import numpy as np

GET_OHLC, INIT_CANDLES = 15, 100
MATRIX = struct.Struct("<II")


def transport_text(seq, fn_id, text):
    return f"RpcTransportError(seq=Some({seq}), fnId=Some({fn_id})): {text}"


def mat_payload(matrix):
    return MATRIX.pack(*matrix.shape) + np.ascontiguousarray(matrix, dtype="<f8").tobytes()


async def test_a_short_deadline_after_a_long_one(link, wire, fails_with):
    link.ui.on(GET_OHLC, wire.respond(mat_payload(np.ones((1, 1)))), wire.silence())
    assert (await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=30), wire.QUICK)).tolist() == [[1.0]]
    started = time.monotonic()
    await fails_with(RuntimeError, transport_text(2, GET_OHLC, "timeout waiting response"),
                     link.engine.get_ohlc(timeout_secs=0.3))
    assert 0.29 <= time.monotonic() - started < 2.0


async def test_a_long_deadline_outlives_the_short_one_before_it(link, wire):
    # The first call's deadline passes while the second call waits: the second must not end with it.
    link.ui.on(GET_OHLC, wire.respond(mat_payload(np.ones((1, 1)))),
               wire.later(0.8, wire.respond(mat_payload(np.full((1, 2), 3.0)))))
    assert (await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=0.3), wire.QUICK)).tolist() == [[1.0]]
    started = time.monotonic()
    result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=3.0), wire.QUICK)
    assert result.tolist() == [[3.0, 3.0]]
    assert time.monotonic() - started >= 0.75


async def test_an_unlimited_wait_outlives_an_earlier_deadline(link, wire):
    # A time-out too large to add to the clock means no deadline at all.
    link.ui.on(GET_OHLC, wire.respond(mat_payload(np.ones((1, 1)))),
               wire.later(0.6, wire.respond(mat_payload(np.full((2, 1), 5.0)))))
    assert (await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=0.2), wire.QUICK)).tolist() == [[1.0]]
    result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=1e18), wire.QUICK)
    assert result.tolist() == [[5.0], [5.0]]


async def test_deadlines_keep_working_after_many_calls(link, wire, fails_with):
    link.ui.always(GET_OHLC, wire.respond(mat_payload(np.zeros((0, 0)))))
    for _ in range(50):
        assert (await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=10), wire.QUICK)).shape == (0, 0)
    link.ui.on(GET_OHLC, wire.silence())
    started = time.monotonic()
    await fails_with(RuntimeError, transport_text(51, GET_OHLC, "timeout waiting response"),
                     link.engine.get_ohlc(timeout_secs=0.25))
    assert 0.24 <= time.monotonic() - started < 2.0


async def test_large_and_small_responses_alternate_on_one_connection(link, wire):
    large = np.arange(300_000 * 5, dtype=np.float64).reshape(300_000, 5) * 0.5  # 12 MB
    small = np.array([[1.5, -2.0]])
    for matrix in (large, small, large, large, small):
        link.ui.on(GET_OHLC, wire.respond(mat_payload(matrix)))
        result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=20), 30)
        assert result.dtype == np.float64 and result.flags.c_contiguous and result.flags.writeable
        np.testing.assert_array_equal(result, matrix)
    # Each result is a fresh array of its own.
    link.ui.always(GET_OHLC, wire.respond(mat_payload(small)))
    first = await asyncio.wait_for(link.engine.get_ohlc(), wire.QUICK)
    second = await asyncio.wait_for(link.engine.get_ohlc(), wire.QUICK)
    assert not np.shares_memory(first, second)


async def test_large_requests_are_sent_byte_for_byte(link, wire):
    c_ordered = np.random.default_rng(3).normal(100.0, 1.0, size=(120_000, 5))  # 4.8 MB
    calls = [(c_ordered, c_ordered), (np.asfortranarray(c_ordered), c_ordered), (c_ordered[:2], c_ordered[:2])]
    for argument, expected in calls:
        assert await asyncio.wait_for(link.engine.init_candles(argument, timeout_secs=20), 30) is None
        request = link.ui.requests[-1]
        assert request.fn_id == INIT_CANDLES and request.length == 8 + expected.size * 8
        assert request.payload == mat_payload(expected)
