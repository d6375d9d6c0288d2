"""Fixtures of the reliability tests: engines on held loopback ports, user interfaces that answer requests
in order, raw peers that write WebSocket frames by hand, and the process's resource figures.

Every test here is short by default; TARNEL_LONG_TESTS=1 runs the long variants."""

import asyncio
import contextlib
import gc
import os
import re
import socket
import struct
import time
import types

import pytest
import websockets
from websockets.asyncio.client import connect

from support.ports import hold_port, held_port, start_on_held_port

LONG = os.environ.get("TARNEL_LONG_TESTS") == "1"

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
REQUEST, RESPONSE, ERROR_RESPONSE = 1, 2, 3
FN_GET_SNAPSHOT, FN_GET_TICKET_LIST, FN_GET_OHLC = 12, 10, 15
HANDSHAKE = b'{"type":"handshake","python_library_version":"0.1.0"}'
ORIGIN = "http://localhost:5173"
LOG_PREFIX = "[tarnel ws server] "
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"
KEY = "dGhlIHNhbXBsZSBub25jZQ=="
SWITCHING_PROTOCOLS = (b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                       b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
STEP = 5.0  # bound on one network step on loopback, generous for a loaded two-core machine
MARGIN = 2.0  # seconds a call may take beyond its time-out on a loaded two-core machine


async def awaiting(future):
    """Wraps a call's future in a coroutine, so that it can run (and be cancelled) as a task."""
    return await future


def scale(short, long):
    return long if LONG else short


def transport_text(seq, fn_id, message):
    seq_text = "None" if seq is None else f"Some({seq})"
    return f"RpcTransportError(seq={seq_text}, fnId=Some({fn_id})): {message}"


def link_lost_pattern(fn_id):
    """The errors of a call whose connection went away under it (or was already gone)."""
    return re.compile(
        rf"RpcTransportError\(seq=Some\(\d+\), fnId=Some\({fn_id}\)\): "
        r"(websocket closed|websocket recv failed: .+|websocket send failed: .+|connection missing)"
        rf"|RpcTransportError\(seq=None, fnId=Some\({fn_id}\)\): no websocket connected"
    )


def vec_f64(values):
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat_f64(rows, cols, values):
    return struct.pack(f"<II{rows * cols}d", rows, cols, *values)


def ticket_values(seq, rows, cols=3):
    """What the interfaces answer to get_ticket_list: a function of the request's seq."""
    return [seq * 1000.0 + i for i in range(rows * cols)]


def frame(kind, seq, fn_id, payload=b""):
    return HEADER.pack(1, kind, 0, seq, fn_id, 0, len(payload)) + payload


# ---- process figures ------------------------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))


async def settle_to(measure, target, timeout=STEP):
    """Polls `measure()` until it equals `target` (closing sockets takes a moment); returns the last value."""
    deadline = time.monotonic() + timeout
    while True:
        gc.collect()
        value = measure()
        if value == target or time.monotonic() > deadline:
            return value
        await asyncio.sleep(0.05)


async def stable(measure, timeout=STEP):
    """A reading of `measure()` that stays the same over two polls 0.1 s apart."""
    deadline = time.monotonic() + timeout
    gc.collect()
    value = measure()
    while time.monotonic() < deadline:
        await asyncio.sleep(0.1)
        gc.collect()
        again = measure()
        if again == value:
            return value
        value = again
    return value


# ---- user interfaces ------------------------------------------------------------------------------------

class AnsweringUI:
    """A user interface over the websockets client. It answers requests strictly in arrival order:
    get_snapshot with [seq, ident]; get_ticket_list, after `ticket_delay()` seconds, with a matrix made from
    the seq; get_ohlc never (for time-outs). The last seq of each function is kept."""

    def __init__(self, ws, ident, ticket_delay=None, ticket_rows=lambda seq: 1 + seq % 5, record=False):
        self.ws = ws
        self.ident = ident
        self.ticket_delay = ticket_delay or (lambda: 0.0)
        self.ticket_rows = ticket_rows
        self.request_count = 0
        # (fnId, seq) of every request, when asked for: the record grows with every call, which would
        # blur the memory figures of long runs.
        self.seen = set() if record else None
        self.last_seq = {}
        self._work = asyncio.Queue()
        self._tasks = [asyncio.create_task(self._read()), asyncio.create_task(self._answer())]

    @classmethod
    async def connect(cls, port, ident, **kwargs):
        ws = await connect(f"ws://127.0.0.1:{port}", origin=ORIGIN, compression=None, max_size=None,
                           ping_interval=None, close_timeout=1, open_timeout=STEP, max_queue=None)
        handshake = await asyncio.wait_for(ws.recv(), STEP)
        assert handshake == HANDSHAKE.decode()
        return cls(ws, ident, **kwargs)

    async def _read(self):
        with contextlib.suppress(websockets.ConnectionClosed):
            async for message in self.ws:
                assert isinstance(message, bytes), message
                version, kind, _, seq, fn_id, _, length = HEADER.unpack_from(message)
                assert (version, kind, length) == (1, REQUEST, len(message) - HEADER.size)
                self.request_count += 1
                if self.seen is not None:
                    self.seen.add((fn_id, seq))
                self.last_seq[fn_id] = seq
                self._work.put_nowait((seq, fn_id))

    async def _answer(self):
        with contextlib.suppress(websockets.ConnectionClosed):
            while True:
                seq, fn_id = await self._work.get()
                if fn_id == FN_GET_SNAPSHOT:
                    await self.ws.send(frame(RESPONSE, seq, fn_id, vec_f64([float(seq), float(self.ident)])))
                elif fn_id == FN_GET_TICKET_LIST:
                    delay = self.ticket_delay()
                    if delay:
                        await asyncio.sleep(delay)
                    rows = self.ticket_rows(seq)
                    await self.ws.send(frame(RESPONSE, seq, fn_id, mat_f64(rows, 3, ticket_values(seq, rows))))

    @property
    def closed(self):
        return self.ws.state is websockets.protocol.State.CLOSED

    async def wait_closed(self, timeout=STEP):
        await asyncio.wait_for(self.ws.wait_closed(), timeout)

    async def shutdown(self):
        """Drops the connection at once (no closing handshake) and stops the tasks."""
        for task in self._tasks:
            task.cancel()
        self.ws.transport.abort()
        await asyncio.gather(*self._tasks, return_exceptions=True)


class Link:
    """An engine on a held port and the interfaces connected to it (newest last)."""

    def __init__(self, engine, port):
        self.engine = engine
        self.port = port
        self.uis = []
        self._idents = 0

    @property
    def ui(self):
        return self.uis[-1]

    async def connect(self, *, drop_previous=True, **kwargs):
        """Connects a new interface and waits until the engine installed it. The previous interface is
        dropped on the client side too, so that no socket of it stays open in this process."""
        previous = self.uis[-1] if self.uis else None
        self._idents += 1
        ui = await AnsweringUI.connect(self.port, self._idents, **kwargs)
        self.uis.append(ui)
        if previous is not None and drop_previous:
            # Installation discards the previous connection: its closing shows the new one is in place.
            if not previous.closed:
                await previous.wait_closed()
            await previous.shutdown()
            self.uis.remove(previous)
        await asyncio.wait_for(self.engine.wait_connected(STEP), STEP + 1)
        return ui

    async def snapshot(self, timeout=STEP):
        """A plain call that must succeed, answered by the current interface."""
        result = await asyncio.wait_for(self.engine.get_snapshot(timeout), timeout + 1)
        assert result.tolist() == [float(self.ui.last_seq[FN_GET_SNAPSHOT]), float(self.ui.ident)]
        return result

    async def close(self):
        for ui in self.uis:
            await ui.shutdown()
        self.uis.clear()


@pytest.fixture
async def make_link(tarnel):
    """make_link(connected=True, **ui_options): a started engine on a held port with one interface."""
    links = []

    async def make(*, connected=True, **kwargs):
        engine, port = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), STEP)
        link = Link(engine, port)
        links.append(link)
        if connected:
            await link.connect(**kwargs)
        return link

    yield make
    for link in links:
        await link.close()


# ---- raw peers ------------------------------------------------------------------------------------------

def upgrade_request(port, origin=ORIGIN):
    lines = ["GET / HTTP/1.1", f"Host: 127.0.0.1:{port}", "Upgrade: websocket", "Connection: Upgrade",
             f"Sec-WebSocket-Key: {KEY}", "Sec-WebSocket-Version: 13"]
    if origin is not None:
        lines.append(f"Origin: {origin}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def ws_frame_head(opcode, length, *, masked=True, fin=True):
    first = (0x80 if fin else 0) | opcode
    mask_bit = 0x80 if masked else 0
    if length < 126:
        return bytes([first, mask_bit | length])
    if length < 1 << 16:
        return bytes([first, mask_bit | 126]) + struct.pack(">H", length)
    return bytes([first, mask_bit | 127]) + struct.pack(">Q", length)


def ws_frame(opcode, payload, *, masked=True, mask=b"\x37\xfa\x21\x3d"):
    head = ws_frame_head(opcode, len(payload), masked=masked)
    if not masked:
        return head + payload
    body = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return head + mask + body


class RawPeer:
    """A TCP peer that does the upgrade and the WebSocket framing by hand."""

    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    @classmethod
    async def open(cls, port):
        reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), STEP)
        return cls(reader, writer)

    async def send(self, data):
        self.writer.write(data)
        await asyncio.wait_for(self.writer.drain(), STEP)

    async def upgrade(self, port):
        await self.send(upgrade_request(port))
        assert await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), STEP) == SWITCHING_PROTOCOLS
        assert await asyncio.wait_for(self.reader.readexactly(2 + len(HANDSHAKE)), STEP) == b"\x81\x35" + HANDSHAKE

    async def next_request(self):
        """The next request frame the engine sent: (seq, fnId)."""
        first, second = await asyncio.wait_for(self.reader.readexactly(2), STEP)
        assert first == 0x82 and second & 0x80 == 0, (first, second)
        length = second & 0x7F
        assert length < 126
        data = await asyncio.wait_for(self.reader.readexactly(length), STEP)
        _, kind, _, seq, fn_id, _, _ = HEADER.unpack_from(data)
        assert kind == REQUEST
        return seq, fn_id

    async def read_to_eof(self, timeout=STEP):
        return await asyncio.wait_for(self.reader.read(), timeout)

    def reset(self):
        """Closes with a TCP reset (SO_LINGER 0) rather than a FIN."""
        sock = self.writer.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.writer.transport.abort()

    def close(self):
        self.writer.transport.abort()


@pytest.fixture
async def raw_peers():
    opened = []

    async def open_peer(port):
        peer = await RawPeer.open(port)
        opened.append(peer)
        return peer

    yield open_peer
    for peer in opened:
        peer.close()


@pytest.fixture(scope="session")
def rel():
    """The helpers above, for the test modules of this directory."""
    return types.SimpleNamespace(
        LONG=LONG, STEP=STEP, MARGIN=MARGIN, awaiting=awaiting, HEADER=HEADER, RESPONSE=RESPONSE, FORBIDDEN=FORBIDDEN, LOG_PREFIX=LOG_PREFIX,
        ORIGIN=ORIGIN, HANDSHAKE=HANDSHAKE, SWITCHING_PROTOCOLS=SWITCHING_PROTOCOLS,
        FN_GET_SNAPSHOT=FN_GET_SNAPSHOT, FN_GET_TICKET_LIST=FN_GET_TICKET_LIST, FN_GET_OHLC=FN_GET_OHLC,
        AnsweringUI=AnsweringUI, scale=scale, hold_port=hold_port, held_port=held_port, transport_text=transport_text, link_lost_pattern=link_lost_pattern,
        vec_f64=vec_f64, mat_f64=mat_f64, ticket_values=ticket_values, frame=frame,
        rss_bytes=rss_bytes, open_fds=open_fds, thread_count=thread_count, settle_to=settle_to, stable=stable,
        upgrade_request=upgrade_request, ws_frame=ws_frame, ws_frame_head=ws_frame_head,
    )
