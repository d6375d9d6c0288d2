"""A call that finds its connection idle writes its request, and reads an answer already there, with plain
system calls on the calling thread. Whatever else that read finds (a ping, a text message, another call's
late answer, a frame cut short, a close) is handed back to the WebSocket layer, which deals with it as before;
a request the socket does not take whole is finished by the link. Nothing may be lost or reordered."""

import asyncio
import os
import socket
import struct
import threading

import numpy as np
import pytest

from test_bridge_futures import STEP
from test_bridge_inline_completion import served_loop  # noqa: F401 (fixture)
from test_bridge_loop_liveness import FN_GET_SNAPSHOT, HEADER, response, run, start_engine, vector

FN_INIT_CANDLES = 100
ECHO_REQUEST, ECHO_REPLY = 4, 5


def masked_frame(opcode, payload, fin=True):
    """A client frame, masked as the protocol requires."""
    mask = os.urandom(4)
    n = len(payload)
    head = bytes([(0x80 if fin else 0) | opcode])
    if n < 126:
        head += bytes([0x80 | n])
    elif n < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", n)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", n)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def answer_frame(seq, values):
    return masked_frame(0x2, response(seq, FN_GET_SNAPSHOT, vector(values)))


# What lies in the socket when the connection's first call (seq 1) is made, and what the page sends
# after the call: the call must end with [7.0] whatever came with its answer.
AHEAD = {
    "a ping first": lambda: (answer_frame(1, [7.0]), b""),  # the ping is sent by the page's own client
    "a text message first": lambda: (masked_frame(0x1, b"note") + answer_frame(1, [7.0]), b""),
    "the answer cut short": lambda: (lambda f: (f[:9], f[9:]))(answer_frame(1, [7.0])),
    "the answer in two fragments": lambda: (
        lambda body: (masked_frame(0x2, body[:10], fin=False), masked_frame(0x0, body[10:]))
    )(response(1, FN_GET_SNAPSHOT, vector([7.0]))),
    "an echo request after the answer": lambda: (
        answer_frame(1, [7.0]) + masked_frame(0x2, HEADER.pack(1, ECHO_REQUEST, 0, 9, 0, 0, 3) + b"abc"),
        b"",
    ),
}


WHEN = ["in the socket before the call", "after the call"]


@pytest.mark.parametrize("when", WHEN)
@pytest.mark.parametrize("ahead", AHEAD, ids=list(AHEAD))
def test_what_comes_with_an_answer_is_dealt_with_as_before(served_loop, ahead, when):  # noqa: F811
    """Before the call, the calling thread's read finds it; after, the read made when the socket becomes
    readable does."""
    loop, engine, page = served_loop
    first_part, second_part = AHEAD[ahead]()
    raw = page.ws.socket
    pongs = []

    def send_first_part():
        if ahead == "a ping first":
            pongs.append(page.ws.ping(b"hi"))
        raw.sendall(first_part)

    async def calls():
        if when == WHEN[0]:
            send_first_part()
        first = engine.get_snapshot(STEP)
        if when == WHEN[1]:
            send_first_part()
        if second_part:
            raw.sendall(second_part)
        result = (await asyncio.wait_for(first, STEP)).tolist()
        # The link is still in step: the next call, answered after it is made, is answered too.
        second = engine.get_snapshot(STEP)
        page.send(response(2, FN_GET_SNAPSHOT, vector([3.0])))
        return result, (await asyncio.wait_for(second, STEP)).tolist()

    assert loop.run_until_complete(calls()) == ([7.0], [3.0])
    assert all(pong.wait(STEP) for pong in pongs)
    requests = [page.next_request() for _ in range(2)]
    if ahead == "an echo request after the answer":
        requests.append(page.next_request())
        assert (9, 0) in requests, requests  # the echo reply
        requests.remove((9, 0))
    assert requests == [(1, FN_GET_SNAPSHOT), (2, FN_GET_SNAPSHOT)]


FAILURES = {
    "close frame": (lambda raw: raw.sendall(masked_frame(0x8, struct.pack(">H", 1000))), "websocket closed"),
    "end of stream": (lambda raw: raw.shutdown(socket.SHUT_WR), "websocket closed"),
    "another request's answer": (lambda raw: raw.sendall(answer_frame(99, [1.0])), "seq mismatch: expected 1, got 99"),
}


@pytest.mark.parametrize("when", WHEN)
@pytest.mark.parametrize("found", FAILURES, ids=list(FAILURES))
def test_what_fails_a_call_fails_it_as_before(served_loop, found, when):  # noqa: F811
    loop, engine, page = served_loop
    send, text = FAILURES[found]

    async def call():
        if when == WHEN[0]:
            send(page.ws.socket)
        future = engine.get_snapshot(STEP)
        if when == WHEN[1]:
            send(page.ws.socket)
        with pytest.raises(RuntimeError) as failure:
            await asyncio.wait_for(future, STEP)
        return str(failure.value)

    assert loop.run_until_complete(call()) == f"RpcTransportError(seq=Some(1), fnId=Some(12)): {text}"


def read_request_frames(sock, count, into):
    """Reads `count` unmasked binary frames from `sock` into `into` as (seq, fn_id, payload)."""
    data = bytearray()
    with sock.makefile("rb") as stream:
        for _ in range(count):
            first, second = stream.read(2)
            assert first == 0x82 and second & 0x80 == 0
            length = second & 0x7F
            if length == 126:
                (length,) = struct.unpack(">H", stream.read(2))
            elif length == 127:
                (length,) = struct.unpack(">Q", stream.read(8))
            data = stream.read(length)
            _, kind, _, seq, fn_id, _, size = HEADER.unpack_from(data)
            assert kind == 1 and size == length - HEADER.size
            into.append((seq, fn_id, bytes(data[HEADER.size :])))


def test_a_request_the_socket_does_not_take_whole_is_finished_intact(tarnel):
    """The page stops reading; calls go on (each answered ahead) until one finds the socket full. Its write
    is finished once the page reads again, and every request arrives whole and in order."""
    loop = asyncio.new_event_loop()
    engine, port = start_engine(tarnel.TarnelEngineAsync, loop)
    page = socket.create_connection(("127.0.0.1", port), timeout=STEP)
    page.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)  # each answer is in the socket before its call
    try:
        key = "dGhlIHNhbXBsZSBub25jZQ=="
        page.sendall(
            f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode()
        )
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            head += page.recv(1)
        run(loop, lambda: engine.wait_connected())
        first, second = page.recv(2)
        page.recv(second & 0x7F)  # the greeting

        rows = np.arange(1500 * 5, dtype=np.float64).reshape(1500, 5)  # a 60 KB request
        sent = []

        async def fifteen_calls():
            """Calls answered ahead; the first whose future is not done at once is returned. Fifteen per
            loop, fewer than a loop completes at once in a row, so that only a request the socket did not
            take whole (or an answer not read at once) leaves a future pending."""
            for _ in range(15):
                seq = len(sent) + 1
                page.sendall(masked_frame(0x2, response(seq, FN_INIT_CANDLES, b"")))
                future = engine.init_candles(rows + seq, STEP)
                sent.append(seq)
                if not future.done():
                    return future
                assert future.result() is None
            return None

        waiting = None
        for _ in range(1000):
            batch_loop = asyncio.new_event_loop()
            waiting = batch_loop.run_until_complete(fifteen_calls())
            if waiting is not None:
                break
            batch_loop.close()
        assert waiting is not None, "the socket never filled up"

        async def drain_and_finish():
            received = []
            reader = threading.Thread(target=read_request_frames, args=(page, len(sent), received))
            reader.start()
            assert await asyncio.wait_for(waiting, STEP) is None
            await asyncio.get_running_loop().run_in_executor(None, reader.join, STEP)
            return received

        received = batch_loop.run_until_complete(drain_and_finish())
        batch_loop.close()
        assert [seq for seq, _, _ in received] == sent
        for seq, fn_id, payload in received:
            assert fn_id == FN_INIT_CANDLES
            assert payload[8:] == (rows + seq).tobytes()
    finally:
        page.close()
        run(loop, engine.close)
        loop.close()
