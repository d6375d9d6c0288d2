"""The exchange of one RPC with the user interface: connection check, seq counter, probes answered while
waiting, how each kind of received message ends the call, which failures drop the connection, abandoned
calls and their late answers, and concurrent calls on one or several engines."""

import asyncio
import struct
import time

import numpy as np
import pytest

from support.tcp_table import delivered, until

MB64 = 64 * 1024 * 1024
EMPTY_MATRIX = struct.pack("<II", 0, 0)


def transport_text(seq, fn_id, message):
    return f"RpcTransportError(seq=Some({seq}), fnId=Some({fn_id})): {message}"


async def ohlc(link, timeout_secs=5.0):
    return await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=timeout_secs), 10.0)


async def policy(link):
    return await asyncio.wait_for(link.engine.get_sync_policy(timeout_secs=5.0), 10.0)


async def assert_connection_kept(link, wire, seq):
    """The next call goes over the same connection, with `seq`."""
    link.ui.on(120, wire.respond(b"\x01"))
    assert await policy(link) == "eager"
    assert link.ui.requests[-1].seq == seq
    assert link.ui.requests[-1].fn_id == 120


async def answer_at_hand(link):
    """Waits until the interface has acted on every request and all it sent has reached the engine's socket,
    read or not."""
    ui_port = link.ui.ws.transport.get_extra_info("sockname")[1]
    assert await until(lambda: link.ui.handled == len(link.ui.requests) and delivered(link.port, ui_port))


async def assert_connection_dropped(link, fails_with, no_connection_text):
    """The engine closed the interface's connection and emptied its slot."""
    await link.ui.wait_closed()
    count = len(link.ui.requests)
    await fails_with(RuntimeError, no_connection_text(40), link.engine.end_session(timeout_secs=5.0))
    assert len(link.ui.requests) == count


# ---- connection check and seq counter --------------------------------------------------------------------------

METHOD_ARGS = {
    "init_candles": (np.zeros((1, 1)),),
    "reset_episode": (0, "train"),
    "close_positions": ([], [], []),
    "place_order": ("buy", "limit", 1.0, 1),
    "place_ticket": ("buy", 1),
}


@pytest.mark.parametrize("started", [False, True], ids=["constructed", "listening"])
async def test_no_connection(make_link, wire, fails_with, no_connection_text, started, tarnel):
    if started:
        link = await make_link(start_seq=9, connected=False)
        engine = link.engine
    else:
        engine = tarnel.TarnelEngineAsync("127.0.0.1", 1, 9)  # never started: nothing binds the port
    for method, fn_id in wire.FN_IDS.items():
        error = await fails_with(RuntimeError, no_connection_text(fn_id),
                                 getattr(engine, method)(*METHOD_ARGS.get(method, ())))
        assert type(error) is RuntimeError
    if started:
        await link.connect()
        await assert_connection_kept(link, wire, 9)  # the failed calls consumed no seq


async def test_seq_wraps_after_the_largest_value(make_link, wire):
    link = await make_link(start_seq=4294967295)
    for _ in range(3):
        await policy(link)
    assert [r.seq for r in link.ui.requests] == [4294967295, 0, 1]


async def test_start_seq_zero(make_link):
    link = await make_link(start_seq=0)
    await policy(link)
    await policy(link)
    assert [r.seq for r in link.ui.requests] == [0, 1]


async def test_reconnect_after_a_failure_starts_again_at_start_seq(make_link, wire, fails_with, no_connection_text):
    link = await make_link(start_seq=7)
    for _ in range(3):
        await policy(link)
    link.ui.on(15, wire.close())
    await fails_with(RuntimeError, transport_text(10, 15, "websocket closed"), link.engine.get_ohlc(timeout_secs=5))
    await fails_with(RuntimeError, no_connection_text(15), link.engine.get_ohlc())
    first = link.ui
    await link.connect()
    await policy(link)
    await policy(link)
    assert [r.seq for r in first.requests] == [7, 8, 9, 10]
    assert [r.seq for r in link.ui.requests] == [7, 8]


async def test_newer_connection_replaces_the_current_one(make_link, wire):
    link = await make_link(start_seq=7)
    await policy(link)
    await policy(link)
    first = link.ui
    await link.connect()
    assert first.ws.protocol.close_rcvd is None  # dropped without a closing handshake
    await policy(link)
    assert [r.seq for r in first.requests] == [7, 8]
    assert [r.seq for r in link.ui.requests] == [7]


# ---- probes and other messages while waiting -----------------------------------------------------------------

async def test_pings_are_answered_with_their_payload_while_waiting(link, wire):
    link.ui.on(15, wire.steps(wire.ping(b"probe-1"), wire.ping(b""), wire.ping(bytes(range(125))),
                              wire.respond(EMPTY_MATRIX)))
    assert (await ohlc(link)).shape == (0, 0)
    assert link.ui.pongs == [b"probe-1", b"", bytes(range(125))]


async def test_ping_between_calls_is_answered_by_the_next_call(link, wire):
    await policy(link)
    waiter = await link.ui.ws.ping(b"between")
    done, _ = await asyncio.wait([waiter], timeout=0.3)
    assert not done  # nothing reads the connection between calls
    await policy(link)
    await asyncio.wait_for(waiter, wire.QUICK)


async def test_echo_requests_are_answered_and_the_call_goes_on(link, wire):
    link.ui.on(15, wire.steps(
        wire.echo(b"same seq and fnId"),
        wire.echo(b"", seq=4294967295, fn_id=65535, reserved=(0xBEEF, 0xCAFE)),
        wire.echo(bytes(range(256)) * 40, seq=0, fn_id=0),
        wire.respond(struct.pack("<II1d", 1, 1, 2.5)),
    ))
    assert (await ohlc(link)).tolist() == [[2.5]]
    assert len(link.ui.echo_replies) == 3
    for sent, reply in link.ui.echo_replies:
        expected = bytearray(sent)
        expected[1] = wire.ECHO_REPLY
        expected[2:4] = expected[10:12] = b"\x00\x00"
        assert reply == bytes(expected)
    assert [r.seq for r in link.ui.requests] == [1]


async def test_messages_after_the_response_wait_for_the_next_call(link, wire):
    link.ui.on(15, wire.steps(wire.respond(EMPTY_MATRIX), wire.send_text("later"),
                              wire.send_frame(wire.ECHO_REQUEST, b"queued", seq=77, fn_id=7)))
    await ohlc(link)
    await asyncio.sleep(0.3)
    assert link.ui.echo_queue.empty()
    await policy(link)
    reply = await asyncio.wait_for(link.ui.echo_queue.get(), wire.QUICK)
    assert reply.raw == wire.frame(wire.ECHO_REPLY, 77, 7, b"queued")


async def test_text_and_other_frame_kinds_are_discarded(link, wire):
    link.ui.on(15, wire.steps(
        wire.send_text("noise"), wire.send_text(""),
        *(wire.send_frame(kind, b"xyz") for kind in (0, 1, 5, 6, 200, 255)),
        wire.send_frame(wire.REQUEST, seq=1234, fn_id=15),
        wire.send_frame(wire.RESPONSE, EMPTY_MATRIX, reserved=(0xFFFF, 0x1234)),
    ))
    assert (await ohlc(link)).shape == (0, 0)
    await assert_connection_kept(link, wire, 2)


# ---- error responses and malformed frames keep the connection ---------------------------------------------------

@pytest.mark.parametrize("body, text", [
    (struct.pack("<HHI", 3, 1, 2) + b"no", "RpcError(seq=1, fnId=15, err=3, sub=1): no"),
    (struct.pack("<HHI", 0, 0, 0), "RpcError(seq=1, fnId=15, err=0, sub=0): "),
    (struct.pack("<HHI", 65535, 65535, 9) + "\u00e9t\u00e9 \u2713".encode(),
     "RpcError(seq=1, fnId=15, err=65535, sub=65535): \u00e9t\u00e9 \u2713"),
    (b"\x03\x00\x01\x00\x05\x00\x00", "RpcError(seq=1, fnId=15, err=0, sub=0): "),
    (b"", "RpcError(seq=1, fnId=15, err=0, sub=0): "),
    (struct.pack("<HHI", 3, 1, 100) + b"0123456789", "RpcError(seq=1, fnId=15, err=3, sub=1): "),
    (struct.pack("<HHI", 2, 5, 3) + b"a\xffb", "RpcError(seq=1, fnId=15, err=2, sub=5): a\ufffdb"),
    (struct.pack("<HHI", 2, 5, 3) + b"bad index", "RpcError(seq=1, fnId=15, err=2, sub=5): bad"),
    (struct.pack("<HHI", 1, 2, 0xFFFFFFFF) + b"x", "RpcError(seq=1, fnId=15, err=1, sub=2): "),
])
async def test_error_response(link, wire, fails_with, body, text):
    link.ui.on(15, wire.send_frame(wire.ERROR_RESPONSE, body))
    error = await fails_with(RuntimeError, text, link.engine.get_ohlc(timeout_secs=5))
    assert type(error) is RuntimeError
    await assert_connection_kept(link, wire, 2)


@pytest.mark.parametrize("message, text", [
    (b"", "frame too short: 0 < 16"),
    (bytes(15), "frame too short: 15 < 16"),
    (struct.pack("<BBHIHHI", 1, 2, 0, 1, 15, 0, 8) + bytes(4), "payload length mismatch: expected 24, got 20"),
    (struct.pack("<BBHIHHI", 1, 2, 0, 1, 15, 0, 0) + bytes(1), "payload length mismatch: expected 16, got 17"),
    (struct.pack("<BBHIHHI", 1, 2, 0, 1, 15, 0, 0xFFFFFFFF), "payload length mismatch: expected 4294967311, got 16"),
    # the length checks come before the version
    (struct.pack("<BBHIHHI", 9, 2, 0, 1, 15, 0, 1), "payload length mismatch: expected 17, got 16"),
])
async def test_malformed_frame_is_value_error_and_keeps_connection(link, wire, fails_with, message, text):
    link.ui.on(15, wire.send_raw(message))
    await fails_with(ValueError, text, link.engine.get_ohlc(timeout_secs=5))
    await assert_connection_kept(link, wire, 2)


# ---- transport failures drop the connection ---------------------------------------------------------------------

@pytest.mark.parametrize("action, message", [
    (lambda w: w.send_frame(w.RESPONSE, EMPTY_MATRIX, version=2), "protocol version mismatch: got 2, expected 1"),
    (lambda w: w.send_frame(w.RESPONSE, EMPTY_MATRIX, version=0), "protocol version mismatch: got 0, expected 1"),
    (lambda w: w.send_frame(w.ECHO_REQUEST, b"x", version=255), "protocol version mismatch: got 255, expected 1"),
    (lambda w: w.send_frame(w.RESPONSE, EMPTY_MATRIX, seq=2), "seq mismatch: expected 1, got 2"),
    (lambda w: w.send_frame(w.ERROR_RESPONSE, b"", seq=0), "seq mismatch: expected 1, got 0"),
    (lambda w: w.send_frame(w.RESPONSE, EMPTY_MATRIX, fn_id=16), "fnId mismatch: expected 15, got 16"),
    (lambda w: w.send_frame(w.ERROR_RESPONSE, b"", fn_id=0), "fnId mismatch: expected 15, got 0"),
    (lambda w: w.send_frame(w.RESPONSE, EMPTY_MATRIX, seq=999, fn_id=16), "seq mismatch: expected 1, got 999"),
    (lambda w: w.close(), "websocket closed"),
])
async def test_transport_failure_drops_the_connection(link, wire, fails_with, no_connection_text, action, message):
    link.ui.on(15, action(wire))
    error = await fails_with(RuntimeError, transport_text(1, 15, message), link.engine.get_ohlc(timeout_secs=5))
    assert type(error) is RuntimeError
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_close_from_the_interface_is_answered(link, wire, fails_with):
    link.ui.on(15, wire.close())
    await fails_with(RuntimeError, transport_text(1, 15, "websocket closed"), link.engine.get_ohlc(timeout_secs=5))
    await link.ui.wait_closed()
    assert link.ui.ws.protocol.close_rcvd is not None  # the engine answered the close message


async def test_timeout_drops_the_connection(link, wire, fails_with, no_connection_text):
    link.ui.on(15, wire.silence())
    started = time.monotonic()
    await fails_with(RuntimeError, transport_text(1, 15, "timeout waiting response"),
                     link.engine.get_ohlc(timeout_secs=0.25))
    assert 0.24 <= time.monotonic() - started < 2.0
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_zero_timeout_without_an_answer_at_hand(link, wire, fails_with, no_connection_text):
    link.ui.on(15, wire.silence())
    await fails_with(RuntimeError, transport_text(1, 15, "timeout waiting response"), link.engine.get_ohlc(0))
    await assert_connection_dropped(link, fails_with, no_connection_text)


@pytest.mark.parametrize("timeout_secs", [0, -0.0, 1e-9])
async def test_zero_timeout_reads_an_answer_already_at_hand(link, wire, timeout_secs):
    # The interface answers before the call is made: the answer waits unread in the connection.
    link.ui.on(15, wire.silence())
    await link.ui.send(wire.frame(wire.RESPONSE, 1, 15, struct.pack("<II1d", 1, 1, 8.0)))
    await answer_at_hand(link)
    result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=timeout_secs), 5.0)
    assert result.tolist() == [[8.0]]
    await assert_connection_kept(link, wire, 2)


async def test_zero_timeout_reads_an_answer_that_came_with_the_previous_one(link, wire):
    link.ui.on(120, wire.steps(wire.respond(b"\x01"),
                               wire.send_raw(wire.frame(wire.RESPONSE, 2, 15, struct.pack("<II1d", 1, 1, 8.0)))))
    link.ui.on(15, wire.silence())
    assert await policy(link) == "eager"
    await answer_at_hand(link)
    result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=0), 5.0)
    assert result.tolist() == [[8.0]]
    await assert_connection_kept(link, wire, 3)


async def test_probes_do_not_extend_the_deadline(link, wire, fails_with):
    # Three seconds of probes: a deadline they pushed back would end after them, well past the bound below.
    async def keep_probing(ui, request):
        for i in range(60):
            await ui.send(wire.frame(wire.ECHO_REQUEST, request.seq, request.fn_id, b"p"))
            await ui.ws.ping(str(i))
            await ui.send("text")
            await asyncio.sleep(0.05)

    link.ui.on(15, keep_probing)
    started = time.monotonic()
    await fails_with(RuntimeError, transport_text(1, 15, "timeout waiting response"),
                     link.engine.get_ohlc(timeout_secs=0.5))
    assert 0.49 <= time.monotonic() - started < 2.5


async def test_message_over_64_mib_is_a_receive_failure(link, wire, fails_with, no_connection_text):
    link.ui.on(15, wire.send_raw(bytes(MB64 + 1)))
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=20), 30)
    error = info.value
    assert type(error) is RuntimeError
    prefix = transport_text(1, 15, "websocket recv failed: ")
    assert error.args[0].startswith(prefix) and len(error.args[0]) > len(prefix)
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_message_of_exactly_64_mib_is_read(link, wire):
    rows = (MB64 - 16 - 8) // 8  # header, MatF64 dimensions, then rows x 1 values
    payload = struct.pack("<II", rows, 1) + struct.pack("<d", 1.5) + bytes(8 * (rows - 2)) + struct.pack("<d", -2.0)
    assert 16 + len(payload) == MB64
    link.ui.on(15, wire.respond(payload))
    result = await ohlc(link, timeout_secs=20)
    assert result.shape == (rows, 1)
    assert result[0, 0] == 1.5 and result[-1, 0] == -2.0 and not result[1:-1].any()
    await assert_connection_kept(link, wire, 2)


# ---- abandoned calls ---------------------------------------------------------------------------------------------

async def awaiting(future):
    """A task that awaits `future`: cancelling the task cancels the future."""
    return await future


async def abandon(link, method="get_ohlc", args=()):
    """Starts a call, waits until its request reached the interface, then cancels the awaiting task.
    Returns the request."""
    task = asyncio.create_task(awaiting(getattr(link.engine, method)(*args, timeout_secs=60)))
    request = await link.ui.next_request()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    return request


async def settle():
    """Time for a cancellation to reach the background operation."""
    await asyncio.sleep(0.2)


async def test_late_answer_of_an_abandoned_call_is_skipped(link, wire):
    link.ui.on(15, wire.silence())
    request = await abandon(link)
    await settle()
    await link.ui.send(wire.frame(wire.RESPONSE, request.seq, request.fn_id, EMPTY_MATRIX))
    await assert_connection_kept(link, wire, 2)
    await assert_connection_kept(link, wire, 3)


async def test_late_error_answer_of_an_abandoned_call_is_skipped(link, wire):
    link.ui.on(101, wire.silence())
    request = await abandon(link, "reset_episode", (3, "test"))
    await settle()
    await link.ui.send(wire.frame(wire.ERROR_RESPONSE, request.seq, 101, wire.error_body(1, 2, "late")))
    await assert_connection_kept(link, wire, 2)


async def test_late_answer_is_skipped_only_once(link, wire, fails_with, no_connection_text):
    link.ui.on(15, wire.silence())
    request = await abandon(link)
    await settle()
    late = wire.frame(wire.RESPONSE, request.seq, request.fn_id, EMPTY_MATRIX)
    await link.ui.send(late)
    await link.ui.send(late)
    await fails_with(RuntimeError, transport_text(2, 120, "seq mismatch: expected 2, got 1"),
                     link.engine.get_sync_policy(timeout_secs=5))
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_abandoned_call_without_late_answer_leaves_the_connection_usable(link, wire):
    link.ui.on(15, wire.silence())
    await abandon(link)
    await assert_connection_kept(link, wire, 2)


async def test_unrequested_response_still_fails(link, wire, fails_with, no_connection_text):
    link.ui.on(15, wire.silence())
    await abandon(link)
    await settle()
    link.ui.on(120, wire.steps(wire.send_frame(wire.RESPONSE, b"\x01", seq=999), wire.respond(b"\x01")))
    await fails_with(RuntimeError, transport_text(2, 120, "seq mismatch: expected 2, got 999"),
                     link.engine.get_sync_policy(timeout_secs=5))
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_only_the_64_newest_abandoned_calls_are_remembered(link, wire, fails_with, no_connection_text):
    link.ui.always(15, wire.silence())
    abandoned = [await abandon(link) for _ in range(65)]
    await settle()
    assert [r.seq for r in abandoned] == list(range(1, 66))
    for request in abandoned[1:]:
        await link.ui.send(wire.frame(wire.RESPONSE, request.seq, 15, EMPTY_MATRIX))
    await assert_connection_kept(link, wire, 66)
    await link.ui.send(wire.frame(wire.RESPONSE, 1, 15, EMPTY_MATRIX))  # the oldest was forgotten
    await fails_with(RuntimeError, transport_text(67, 120, "seq mismatch: expected 67, got 1"),
                     link.engine.get_sync_policy(timeout_secs=5))
    await assert_connection_dropped(link, fails_with, no_connection_text)


async def test_cancelling_a_call_that_waits_in_line_for_its_answer(link, wire):
    """B is sent while A waits for its answer, and waits in line behind A; cancelling B leaves no lock held,
    and B's late answer, which comes after A's, is skipped by the next call."""
    link.ui.on(15, wire.silence())
    link.ui.on(12, wire.silence())
    a = asyncio.create_task(awaiting(link.engine.get_ohlc(timeout_secs=30)))
    request_a = await link.ui.next_request()
    b = asyncio.create_task(awaiting(link.engine.get_snapshot(timeout_secs=30)))
    request_b = await link.ui.next_request()  # out before A's answer
    await asyncio.sleep(0.05)
    b.cancel()
    with pytest.raises(asyncio.CancelledError):
        await b
    await link.ui.send(wire.frame(wire.RESPONSE, request_a.seq, 15, EMPTY_MATRIX))
    await link.ui.send(wire.frame(wire.RESPONSE, request_b.seq, 12, EMPTY_MATRIX))  # late: B gave up
    assert (await asyncio.wait_for(a, 5.0)).shape == (0, 0)
    await assert_connection_kept(link, wire, 3)
    assert [r.fn_id for r in link.ui.requests] == [15, 12, 120]


async def test_cancelling_calls_in_every_phase_leaves_no_lock_held(link, wire):
    link.ui.always(15, wire.pause(0.01))
    tasks = [asyncio.create_task(awaiting(link.engine.get_ohlc(timeout_secs=30))) for _ in range(20)]
    await link.ui.next_request()
    for i, task in enumerate(tasks):
        task.cancel()
        if i % 3 == 0:
            await asyncio.sleep(0)
    await asyncio.gather(*tasks, return_exceptions=True)
    await settle()
    sent = [r.seq for r in link.ui.requests]
    link.ui.on(120, wire.respond(b"\x00"))
    assert await policy(link) == "deferred"
    # calls cancelled after taking their seq but before sending consumed it; nothing else did
    assert max(sent) < link.ui.requests[-1].seq <= 21


# ---- concurrency -------------------------------------------------------------------------------------------------

def echo_index(request):
    """reset_episode is answered with 3 * episode_index + 1."""
    index = struct.unpack_from("<I", request.payload)[0]
    return struct.pack("<I", 3 * index + 1)


async def test_many_concurrent_calls_on_one_engine(link, wire):
    link.ui.always(101, wire.respond(echo_index))
    link.ui.always(12, wire.respond(lambda r: struct.pack("<Id", 1, float(r.seq))))

    async def one(i):
        if i % 2:
            return ("reset", i, await asyncio.wait_for(link.engine.reset_episode(i, "train"), 20.0))
        return ("snapshot", i, await asyncio.wait_for(link.engine.get_snapshot(), 20.0))

    results = await asyncio.gather(*(one(i) for i in range(60)))
    seqs_of_snapshots = {int(array[0]) for kind, _, array in results if kind == "snapshot"}
    assert all(value == 3 * i + 1 for kind, i, value in results if kind == "reset")
    assert len(seqs_of_snapshots) == 30
    assert sorted(r.seq for r in link.ui.requests) == list(range(1, 61))


async def test_several_engines_in_parallel(make_link, wire):
    links = [await make_link(start_seq=100 * k) for k in range(1, 5)]
    for link in links:
        link.ui.always(101, wire.respond(echo_index))

    async def drive(link, k):
        results = await asyncio.gather(
            *(asyncio.wait_for(link.engine.reset_episode(1000 * k + i, "test"), 20.0) for i in range(15)))
        assert results == [3 * (1000 * k + i) + 1 for i in range(15)]

    await asyncio.gather(*(drive(link, k) for k, link in enumerate(links)))
    for k, link in enumerate(links, start=1):
        assert sorted(r.seq for r in link.ui.requests) == list(range(100 * k, 100 * k + 15))
        assert all(r.payload[4] == 1 for r in link.ui.requests)
