"""Checks the bare-asyncio baseline on what the benchmark's peer never does: fragmented messages with a
ping between the fragments, 16- and 64-bit lengths, the close handshake and a reconnect, refused origins
and malformed upgrades, seq and fnId mismatches, an ErrorResponse, a time-out. The client is the
`websockets` library, so the frames are checked against another implementation.

    python bench/check_asyncio_protocol.py        (loopback only; a few seconds; exit status 0 when all pass)
"""

import asyncio
import socket
import struct
import sys
from pathlib import Path

import numpy as np
from websockets.asyncio.client import connect
from websockets.exceptions import InvalidStatus

sys.path.insert(0, str(Path(__file__).resolve().parent))
from baseline_asyncio_protocol import (HEADER, HANDSHAKE, AsyncioProtocolEngine, RpcError,  # noqa: E402
                                       RpcTransportError)

LIMIT = 10  # seconds for any one wait


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def matrix_body(rows, cols):
    return struct.pack("<II", rows, cols) + (0.5 * np.arange(rows * cols, dtype="<f8")).tobytes()


async def request(ws):
    """The next binary message from the server: its header fields and the message."""
    while True:
        data = await asyncio.wait_for(ws.recv(), LIMIT)
        if isinstance(data, bytes):
            return HEADER.unpack_from(data), data


def response(seq, fn_id, body, kind=2):
    return HEADER.pack(1, kind, 0, seq, fn_id, 0, len(body)) + body


async def answered(engine, call, serve):
    """Runs an engine call while `serve` plays the user interface; returns the call's outcome."""
    task = asyncio.ensure_future(call)
    await serve()
    return await asyncio.wait_for(task, LIMIT)


async def main():
    port = free_port()
    engine = AsyncioProtocolEngine("127.0.0.1", port)
    await engine.start()
    url = f"ws://127.0.0.1:{port}/"
    checks = []

    def check(name, ok):
        checks.append((name, bool(ok)))
        print(f"{'ok  ' if ok else 'FAIL'} {name}", flush=True)

    # Refused: a foreign origin, and an origin that only starts like an allowed one.
    for origin in ("http://evil.example", "http://localhost.evil.example"):
        try:
            async with connect(url, origin=origin, open_timeout=LIMIT):
                check(f"origin {origin} refused", False)
        except InvalidStatus as refused:
            check(f"origin {origin} refused with 403", refused.response.status_code == 403)

    # A request that is not an upgrade gets a 400 and the connection ends.
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    status = await asyncio.wait_for(reader.read(), LIMIT)
    writer.close()
    check("plain GET answered 400", status.startswith(b"HTTP/1.1 400"))

    async with connect(url, origin="http://localhost:5173", open_timeout=LIMIT, max_size=None,
                       compression=None) as ws:
        greeting = await asyncio.wait_for(ws.recv(), LIMIT)
        check("greeting after the upgrade (origin with a port)", greeting == HANDSHAKE.decode())
        await engine.wait_connected(LIMIT)

        # Fragmented answer with a ping between fragments; 16-bit length fragments.
        async def fragmented():
            (_, _, _, seq, fn_id, _, _), _ = await request(ws)
            whole = response(seq, fn_id, matrix_body(100, 5))
            pongs = []

            async def fragments():
                yield whole[:7]
                pongs.append(await ws.ping(b"between"))  # sent after the first fragment, before the next
                yield whole[7:300]
                yield whole[300:]
            await ws.send(fragments())
            await asyncio.wait_for(pongs[0], LIMIT)
        got = await answered(engine, engine.get_ohlc(), fragmented)
        check("fragmented response with a ping inside", got.shape == (100, 5) and got[-1, -1] == 249.5)

        # A 64-bit length in both directions: a 4 MB request and a 4 MB response.
        candles = 0.5 * np.arange(100_000 * 5, dtype=np.float64).reshape(100_000, 5)

        async def big_request():
            (_, _, _, seq, fn_id, _, length), data = await request(ws)
            check("64-bit-length request arrives whole", length == 8 + candles.nbytes
                  and data[HEADER.size:] == matrix_body(100_000, 5))
            await ws.send(response(seq, fn_id, b""))
        await answered(engine, engine.init_candles(candles), big_request)

        async def big_response():
            (_, _, _, seq, fn_id, _, _), _ = await request(ws)
            await ws.send(response(seq, fn_id, matrix_body(100_000, 5)))
        got = await answered(engine, engine.get_ohlc(), big_response)
        check("64-bit-length response", np.array_equal(got.reshape(-1), candles.reshape(-1)))

        # An ErrorResponse fails the call and keeps the connection.
        async def error_response():
            (_, _, _, seq, fn_id, _, _), _ = await request(ws)
            await ws.send(response(seq, fn_id, struct.pack("<HHI", 7, 1, 4) + b"nope", kind=3))
        try:
            await answered(engine, engine.get_snapshot(), error_response)
            check("ErrorResponse raises RpcError", False)
        except RpcError as error:
            check("ErrorResponse raises RpcError", "nope" in str(error))

        async def snapshot():
            (_, _, _, seq, fn_id, _, _), _ = await request(ws)
            await ws.send(response(seq, fn_id, struct.pack("<I", 2) + struct.pack("<2d", 0.0, 0.5)))
        got = await answered(engine, engine.get_snapshot(), snapshot)
        check("connection kept after an ErrorResponse", list(got) == [0.0, 0.5])

        # A wrong seq drops the connection.
        async def wrong_seq():
            (_, _, _, seq, fn_id, _, _), _ = await request(ws)
            await ws.send(response(seq + 5, fn_id, b""))
        try:
            await answered(engine, engine.get_snapshot(), wrong_seq)
            check("seq mismatch raises RpcTransportError", False)
        except RpcTransportError as error:
            check("seq mismatch raises RpcTransportError", "seq mismatch" in str(error))
        await asyncio.wait_for(ws.wait_closed(), LIMIT)
        check("seq mismatch closes the connection", ws.close_code is not None)

    # A reconnect, a wrong fnId, then a time-out, then a client-initiated close handshake.
    for round_name in ("fnId", "time-out", "close"):
        async with connect(url, open_timeout=LIMIT, compression=None) as ws:
            await asyncio.wait_for(ws.recv(), LIMIT)  # the greeting
            await asyncio.sleep(0.05)  # the engine adopts the new connection between calls
            if round_name == "fnId":
                async def wrong_fn():
                    (_, _, _, seq, fn_id, _, _), _ = await request(ws)
                    await ws.send(response(seq, fn_id + 1, b""))
                try:
                    await answered(engine, engine.get_snapshot(), wrong_fn)
                    check("fnId mismatch raises RpcTransportError", False)
                except RpcTransportError as error:
                    check("fnId mismatch raises RpcTransportError", "fnId mismatch" in str(error))
            elif round_name == "time-out":
                try:
                    await asyncio.wait_for(engine.get_snapshot(timeout_secs=0.2), LIMIT)
                    check("time-out raises RpcTransportError", False)
                except RpcTransportError as error:
                    check("time-out raises RpcTransportError", "TimeoutError" in str(error))
            else:
                await ws.close(code=1000)
                check("close handshake echoes the code", ws.close_code == 1000)
                await asyncio.sleep(0.05)
                try:
                    await engine.get_snapshot(timeout_secs=1)
                    check("no connection after the close", False)
                except RpcTransportError:
                    check("no connection after the close", True)

    await engine.close()
    failed = [name for name, ok in checks if not ok]
    print(f"{len(checks) - len(failed)} of {len(checks)} checks passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
