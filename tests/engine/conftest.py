"""Fixtures of the engine tests: an engine listening on a held loopback port and a scripted user interface,
a WebSocket client that answers each request frame as the test programs it per function identifier."""

import asyncio
import collections
import contextlib
import struct
import time
import types

import pytest
import websockets
from websockets.asyncio.client import connect

from support.ports import hold_port, held_port

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
REQUEST, RESPONSE, ERROR_RESPONSE, ECHO_REQUEST, ECHO_REPLY = 1, 2, 3, 4, 5
HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}'
ORIGIN = "http://localhost"
QUICK = 5.0  # bound on every wait that should end at once; a hang fails instead of blocking the run

# The fourteen RPC methods: function identifier and default time-out.
FN_IDS = {
    "init_candles": 100,
    "reset_episode": 101,
    "get_rl_config": 102,
    "step_next": 2,
    "step_and_sync": 130,
    "get_snapshot": 12,
    "get_ticket_list": 10,
    "get_ohlc": 15,
    "fetch_events": 30,
    "end_session": 40,
    "get_sync_policy": 120,
    "close_positions": 31,
    "place_order": 20,
    "place_ticket": 21,
}


def frame(kind, seq, fn_id, payload=b"", *, version=1, reserved=(0, 0), length=None):
    """One RPC frame; `length` overrides the declared payload length."""
    declared = len(payload) if length is None else length
    return HEADER.pack(version, kind, reserved[0], seq, fn_id, reserved[1], declared) + bytes(payload)


def error_body(err, sub, message):
    raw = message.encode() if isinstance(message, str) else bytes(message)
    return struct.pack("<HHI", err, sub, len(raw)) + raw


class Frame(types.SimpleNamespace):
    """A received binary message, with its header fields when it is at least 16 bytes long."""

    @classmethod
    def parse(cls, raw):
        if len(raw) < HEADER.size:
            return cls(raw=raw, kind=None, seq=None, fn_id=None, payload=None)
        version, kind, res1, seq, fn_id, res2, length = HEADER.unpack_from(raw)
        return cls(raw=raw, version=version, kind=kind, reserved=(res1, res2), seq=seq, fn_id=fn_id,
                   length=length, payload=raw[HEADER.size:])


# ---- actions: what the user interface does with one request --------------------------------------------
# An action is `async def action(ui, request)`; the interface runs the actions one after another, in the
# order in which the requests arrived.

def respond(payload=b""):
    """Answer with a Response carrying `payload` (bytes, or a function of the request)."""

    async def action(ui, request):
        body = payload(request) if callable(payload) else payload
        await ui.send(frame(RESPONSE, request.seq, request.fn_id, body))

    return action


def error_response(err, sub, message, *, body=None):
    """Answer with an ErrorResponse; `body` replaces the whole error payload when given."""

    async def action(ui, request):
        payload = error_body(err, sub, message) if body is None else body
        await ui.send(frame(ERROR_RESPONSE, request.seq, request.fn_id, payload))

    return action


def send_frame(kind, payload=b"", *, seq=None, fn_id=None, version=1, reserved=(0, 0), length=None):
    """Send one frame; seq and fnId default to the request's."""

    async def action(ui, request):
        await ui.send(frame(kind, request.seq if seq is None else seq, request.fn_id if fn_id is None else fn_id,
                            payload, version=version, reserved=reserved, length=length))

    return action


def send_raw(data):
    """Send `data` (bytes, or a function of the request) as one binary message."""

    async def action(ui, request):
        await ui.send(data(request) if callable(data) else data)

    return action


def send_text(text):
    async def action(ui, request):
        await ui.send(text)

    return action


def ping(data):
    """Send a ping and wait for the engine's pong with the same payload."""

    async def action(ui, request):
        waiter = await ui.ws.ping(data)
        await asyncio.wait_for(waiter, QUICK)
        ui.pongs.append(data)

    return action


def echo(payload, *, seq=None, fn_id=None, reserved=(0, 0)):
    """Send an EchoRequest and wait for its EchoReply (kept in ui.echo_replies)."""

    async def action(ui, request):
        sent = frame(ECHO_REQUEST, request.seq if seq is None else seq, request.fn_id if fn_id is None else fn_id,
                     payload, reserved=reserved)
        await ui.send(sent)
        reply = await asyncio.wait_for(ui.echo_queue.get(), QUICK)
        ui.echo_replies.append((sent, reply.raw))

    return action


def close():
    """Start the WebSocket closing handshake (the engine answers it inside its read)."""

    async def action(ui, request):
        ui.spawn(ui.ws.close())

    return action


def silence():
    async def action(ui, request):
        pass

    return action


def pause(seconds):
    async def action(ui, request):
        await asyncio.sleep(seconds)

    return action


def later(seconds, action):
    """Run `action` after `seconds` without holding up the requests that follow."""

    async def delayed(ui, request):
        async def run():
            await asyncio.sleep(seconds)
            await action(ui, request)

        ui.spawn(run())

    return delayed


def steps(*actions):
    """Run several actions in order for one request."""

    async def action(ui, request):
        for step in actions:
            await step(ui, request)

    return action


class ScriptedUI:
    """The user interface's end of one connection. Every Request frame is recorded in `requests` (and put on
    `arrived`), then handled by the next action queued for its fnId, else by the fnId's standing action, else
    by `default` (an empty Response)."""

    def __init__(self, ws):
        self.ws = ws
        self.requests = []
        self.arrived = asyncio.Queue()
        self.echo_queue = asyncio.Queue()
        self.echo_replies = []
        self.pongs = []
        self.unexpected = []  # binary messages other than requests and echo replies, and text messages
        self.handled = 0  # requests whose action has ended
        self.default = respond(b"")
        self._queued = collections.defaultdict(collections.deque)
        self._standing = {}
        self._work = asyncio.Queue()
        self._tasks = set()
        self._reader = asyncio.create_task(self._read())
        self._worker = asyncio.create_task(self._handle())

    def on(self, fn_id, *actions):
        """Queue one action per coming request of `fn_id`."""
        self._queued[fn_id].extend(actions)
        return self

    def always(self, fn_id, action):
        self._standing[fn_id] = action
        return self

    async def send(self, message):
        await self.ws.send(message)

    def spawn(self, coroutine):
        task = asyncio.create_task(coroutine)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    async def next_request(self, timeout=QUICK):
        return await asyncio.wait_for(self.arrived.get(), timeout)

    async def wait_closed(self, timeout=QUICK):
        """The engine closed (discarded) this connection."""
        await asyncio.wait_for(self.ws.wait_closed(), timeout)

    async def _read(self):
        with contextlib.suppress(websockets.ConnectionClosed):
            async for message in self.ws:
                if isinstance(message, str):
                    self.unexpected.append(message)
                    continue
                received = Frame.parse(message)
                if received.kind == ECHO_REPLY:
                    self.echo_queue.put_nowait(received)
                elif received.kind == REQUEST:
                    self.requests.append(received)
                    self.arrived.put_nowait(received)
                    self._work.put_nowait(received)
                else:
                    self.unexpected.append(received)

    def _action_for(self, fn_id):
        if self._queued[fn_id]:
            return self._queued[fn_id].popleft()
        return self._standing.get(fn_id, self.default)

    async def _handle(self):
        while True:
            request = await self._work.get()
            with contextlib.suppress(websockets.ConnectionClosed):
                await self._action_for(request.fn_id)(self, request)
            self.handled += 1

    async def shutdown(self):
        for task in [self._reader, self._worker, *self._tasks]:
            task.cancel()
        self.ws.transport.abort()
        await asyncio.gather(self._reader, self._worker, *self._tasks, return_exceptions=True)


async def connect_ui(port, *, origin=ORIGIN):
    ws = await connect(f"ws://127.0.0.1:{port}", origin=origin, compression=None, max_size=None,
                       ping_interval=None, close_timeout=1, open_timeout=QUICK, max_queue=None)
    handshake = await asyncio.wait_for(ws.recv(), QUICK)
    assert handshake == HANDSHAKE
    return ScriptedUI(ws)


class Link:
    """An engine listening on a held loopback port, and the interfaces that connected to it (newest last)."""

    def __init__(self, engine, port):
        self.engine = engine
        self.port = port
        self.uis = []

    @property
    def ui(self):
        return self.uis[-1]

    async def connect(self):
        """Connect a new interface and wait until the engine installed it (replacing the current one)."""
        previous = self.uis[-1] if self.uis else None
        ui = await connect_ui(self.port)
        self.uis.append(ui)
        if previous is not None and previous.ws.state is not websockets.protocol.State.CLOSED:
            # Installation discards the previous connection, so its closing shows the new one is in place.
            await previous.wait_closed()
        await asyncio.wait_for(self.engine.wait_connected(QUICK), QUICK + 1)
        return ui


@pytest.fixture
def wire():
    """Frame builders, user-interface actions and constants for the tests."""
    return types.SimpleNamespace(
        HEADER=HEADER, REQUEST=REQUEST, RESPONSE=RESPONSE, ERROR_RESPONSE=ERROR_RESPONSE,
        ECHO_REQUEST=ECHO_REQUEST, ECHO_REPLY=ECHO_REPLY, QUICK=QUICK, FN_IDS=FN_IDS,
        frame=frame, error_body=error_body, respond=respond, error_response=error_response,
        send_frame=send_frame, send_raw=send_raw, send_text=send_text, ping=ping, echo=echo, close=close,
        silence=silence, pause=pause, later=later, steps=steps, held_port=held_port,
    )


@pytest.fixture
async def make_link(tarnel):
    """make_link(start_seq=None, connected=True): a started engine on a port held for the whole test (so that
    it may be bound again after a close), with one scripted interface connected and installed unless
    `connected` is false."""
    links, holders = [], []

    async def make(start_seq=None, *, connected=True):
        holders.append(hold_port())
        port = holders[-1].getsockname()[1]
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port, start_seq)
        await asyncio.wait_for(engine.start(), QUICK)
        link = Link(engine, port)
        links.append(link)
        if connected:
            await link.connect()
        return link

    yield make
    for link in links:
        for ui in link.uis:
            await ui.shutdown()
    for holder in holders:
        holder.close()


@pytest.fixture
async def link(make_link):
    """An engine with start_seq 1 and one connected scripted interface."""
    return await make_link()


async def _fails_with(exc_type, text, awaitable, timeout=QUICK):
    """Awaits `awaitable` (bounded by `timeout`); it must raise exactly `exc_type` whose only argument is
    `text`. Returns the exception."""
    started = time.monotonic()
    with pytest.raises(BaseException) as info:
        await asyncio.wait_for(awaitable, timeout)
    error = info.value
    assert type(error) is exc_type, f"{type(error).__name__}: {error} after {time.monotonic() - started:.2f} s"
    assert error.args == (text,)
    return error


@pytest.fixture
def fails_with():
    """await fails_with(exc_type, text, awaitable, timeout=5.0)."""
    return _fails_with


@pytest.fixture
def no_connection_text():
    def text(fn_id):
        return f"RpcTransportError(seq=None, fnId=Some({fn_id})): no websocket connected"

    return text
