"""Fixtures for the connection-server tests: held ports, a started engine, user interfaces that connect
to it (a websockets client, and a hand-written client for byte-exact checks), and the server's log."""

import asyncio
import os
import struct
import time
import types

import pytest
from websockets.asyncio.client import connect

from support.ports import held_port

HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}'
LOG_PREFIX = "[tarnel ws server] "
ACCEPT_FAILED = LOG_PREFIX + "accept failed: "
REJECTED_ORIGIN = LOG_PREFIX + "rejected origin: "
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
KIND_REQUEST = 1
KIND_RESPONSE = 2
FN_GET_SNAPSHOT = 12

EXAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ=="
EXAMPLE_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="
SWITCHING_PROTOCOLS = (
    b"HTTP/1.1 101 Switching Protocols\r\n"
    b"Connection: Upgrade\r\n"
    b"Upgrade: websocket\r\n"
    b"Sec-WebSocket-Accept: " + EXAMPLE_ACCEPT.encode() + b"\r\n\r\n"
)
# The handshake as the server frames it: FIN + text opcode, unmasked length 53, the text.
HANDSHAKE_FRAME = b"\x81\x35" + HANDSHAKE.encode()

DEFAULT_ORIGIN = "http://localhost:5173"
STEP = 5.0  # generous limit for one network step on loopback


def response_frame(seq, fn_id, payload):
    return HEADER.pack(1, KIND_RESPONSE, 0, seq, fn_id, 0, len(payload)) + payload


def vec_f64(values):
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def upgrade_request(port, *, key=EXAMPLE_KEY, origin=None, method="GET", version="HTTP/1.1", fields=None):
    """A hand-written upgrade request; `fields` replaces the standard fields when given."""
    lines = [f"{method} / {version}", f"Host: 127.0.0.1:{port}"]
    if fields is None:
        lines += ["Upgrade: websocket", "Connection: Upgrade", f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
    else:
        lines += fields
    head = ("\r\n".join(lines) + "\r\n").encode()
    if origin is not None:
        head += b"Origin: " + (origin if isinstance(origin, bytes) else origin.encode()) + b"\r\n"
    return head + b"\r\n"


class RawClient:
    """A TCP client that speaks the upgrade and WebSocket framing by hand."""

    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer

    @classmethod
    async def open(cls, port, host="127.0.0.1"):
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), STEP)
        return cls(reader, writer)

    async def send(self, data):
        self.writer.write(data)
        await asyncio.wait_for(self.writer.drain(), STEP)

    async def read_head(self):
        """The response head up to and including the empty line."""
        return await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), STEP)

    async def read_exactly(self, n, timeout=STEP):
        return await asyncio.wait_for(self.reader.readexactly(n), timeout)

    async def read_to_eof(self, timeout=STEP):
        """Everything until the peer closes; fails when it has not closed within `timeout`."""
        return await asyncio.wait_for(self.reader.read(), timeout)

    async def read_frame(self, timeout=STEP):
        """One server frame: (first byte, payload). Server frames are never masked."""
        first, second = await self.read_exactly(2, timeout)
        assert second & 0x80 == 0, "server frame is masked"
        length = second & 0x7F
        if length == 126:
            (length,) = struct.unpack(">H", await self.read_exactly(2))
        elif length == 127:
            (length,) = struct.unpack(">Q", await self.read_exactly(8))
        return first, await self.read_exactly(length)

    async def send_binary(self, payload):
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            head = bytes([0x82, 0x80 | n])
        elif n < 65536:
            head = bytes([0x82, 0x80 | 126]) + struct.pack(">H", n)
        else:
            head = bytes([0x82, 0x80 | 127]) + struct.pack(">Q", n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        await self.send(head + mask + masked)

    async def upgrade(self, port, origin=None):
        """Sends the upgrade request, checks the exact 101 response and the handshake frame."""
        await self.send(upgrade_request(port, origin=origin))
        assert await self.read_head() == SWITCHING_PROTOCOLS
        assert await self.read_frame() == (0x81, HANDSHAKE.encode())

    async def next_request(self, timeout=STEP):
        first, data = await self.read_frame(timeout)
        assert first == 0x82, f"expected a binary frame, got first byte {first:#x}"
        version, kind, _, seq, fn_id, _, length = HEADER.unpack_from(data)
        assert (version, kind, length) == (1, KIND_REQUEST, len(data) - HEADER.size)
        return seq, fn_id, data[HEADER.size :]

    def close(self):
        self.writer.transport.abort()


class FakeUI:
    """A user interface: a websockets client that answers the requests it is sent."""

    def __init__(self, ws, handshake):
        self.ws = ws
        self.handshake = handshake

    async def next_request(self, timeout=STEP):
        data = await asyncio.wait_for(self.ws.recv(), timeout)
        assert isinstance(data, bytes), f"expected a binary request, got {data!r}"
        version, kind, _, seq, fn_id, _, length = HEADER.unpack_from(data)
        assert (version, kind, length) == (1, KIND_REQUEST, len(data) - HEADER.size)
        return seq, fn_id, data[HEADER.size :]

    async def respond(self, seq, fn_id, payload):
        await asyncio.wait_for(self.ws.send(response_frame(seq, fn_id, payload)), STEP)

    async def answer_snapshot(self, values):
        """Answers the next request, which must be get_snapshot, with `values`; returns its seq."""
        seq, fn_id, payload = await self.next_request()
        assert (fn_id, payload) == (FN_GET_SNAPSHOT, b"")
        await self.respond(seq, fn_id, vec_f64(values))
        return seq


async def snapshot_round_trip(engine, ui, values=(1.5, -2.0, 3.25)):
    """One get_snapshot answered by `ui`; returns the seq it carried."""
    future = engine.get_snapshot(STEP)
    seq = await ui.answer_snapshot(list(values))
    result = await asyncio.wait_for(future, STEP)
    assert result.tolist() == list(values)
    return seq


class ServerLog:
    """The standard-error text written since the test began (captured at the descriptor)."""

    def __init__(self, capfd):
        self.capfd = capfd
        self.text = ""

    def read(self):
        self.text += self.capfd.readouterr().err
        return self.text

    async def wait_for(self, predicate, timeout=STEP):
        deadline = time.monotonic() + timeout
        while True:
            if predicate(self.read()):
                return self.text
            if time.monotonic() > deadline:
                raise AssertionError(f"standard error did not show what was expected; it holds:\n{self.text}")
            await asyncio.sleep(0.02)

    def lines(self):
        return self.read().splitlines(keepends=True)


@pytest.fixture(scope="session")
def tk():
    """The helpers above, for the test modules of this directory."""
    return types.SimpleNamespace(
        HANDSHAKE=HANDSHAKE,
        HANDSHAKE_FRAME=HANDSHAKE_FRAME,
        ACCEPT_FAILED=ACCEPT_FAILED,
        REJECTED_ORIGIN=REJECTED_ORIGIN,
        FORBIDDEN=FORBIDDEN,
        SWITCHING_PROTOCOLS=SWITCHING_PROTOCOLS,
        DEFAULT_ORIGIN=DEFAULT_ORIGIN,
        FN_GET_SNAPSHOT=FN_GET_SNAPSHOT,
        HEADER=HEADER,
        STEP=STEP,
        held_port=held_port,
        response_frame=response_frame,
        vec_f64=vec_f64,
        upgrade_request=upgrade_request,
        RawClient=RawClient,
        snapshot_round_trip=snapshot_round_trip,
    )


@pytest.fixture
def port():
    """A loopback port held for the whole test: engines bind it beside the holder, nobody else can."""
    with held_port() as number:
        yield number


@pytest.fixture
async def engine(tarnel, port):
    """An engine listening on 127.0.0.1:port (start_seq 1). The server lives until the process ends."""
    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
    assert await asyncio.wait_for(engine.start(), STEP) is None
    return engine


@pytest.fixture
async def connect_ui(port):
    """connect_ui(port=<the test's port>, origin=DEFAULT_ORIGIN) -> FakeUI that has read its handshake."""
    opened = []

    async def _connect(to_port=None, origin=DEFAULT_ORIGIN):
        kwargs = {"ping_interval": None, "close_timeout": 1, "open_timeout": STEP}
        if origin is not None:
            kwargs["origin"] = origin
        ws = await connect(f"ws://127.0.0.1:{to_port or port}", **kwargs)
        opened.append(ws)
        handshake = await asyncio.wait_for(ws.recv(), STEP)
        return FakeUI(ws, handshake)

    yield _connect
    for ws in opened:
        ws.transport.abort()


@pytest.fixture
async def raw_clients():
    """Tracks RawClient objects so that every socket is closed at the end of the test."""
    opened = []

    async def _open(port, host="127.0.0.1"):
        client = await RawClient.open(port, host)
        opened.append(client)
        return client

    yield _open
    for client in opened:
        client.close()


@pytest.fixture
def server_log(capfd):
    return ServerLog(capfd)
