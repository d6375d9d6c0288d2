"""The best hand-written asyncio baseline: the server side of the RPC link as an expert would write it
without the module, on a bare asyncio.Protocol with its own HTTP upgrade and RFC 6455 framing
(bench/bare_ws/), the same frame checks in the same order as the pure-Python baseline, NumPy views
(`numpy.frombuffer`) on the received message, one call at a time per engine and a time-out per call.

What makes it lean: the answer to a call completes a plain future straight from data_received, with no
queue and no reader task in between; a small request goes out in one write; a large one is written from
the caller's array in slices under the transport's flow control; and the per-call time-out costs no timer
of its own (one timer per engine is re-armed only when it fires, see _arm).

It offers the subset of the module's engine API that the benchmark drives, with the same names: start,
wait_connected, get_snapshot, step_and_sync, get_ohlc, init_candles, close.
"""

import asyncio
import struct

from bare_ws.connection import WebSocketConnection
from bare_ws.frames import BINARY, TEXT
from rpc_wire import (EngineMethods, ECHO_REPLY, ECHO_REQUEST, ERROR_RESPONSE, HEADER, REQUEST, RESPONSE, VERSION,
                      RpcError, RpcTransportError)

HANDSHAKE = b'{"type":"handshake","python_library_version":"0.1.0"}'
MAX_MESSAGE = 64 * 1024 * 1024
ERROR_BODY = struct.Struct("<HHI")


def check_header(data):
    """The message's header fields after the checks every message gets: its length, then its version."""
    if len(data) < HEADER.size:
        raise ValueError(f"frame too short: {len(data)} < 16")
    fields = HEADER.unpack_from(data)
    if HEADER.size + fields[6] != len(data):
        raise ValueError(f"payload length mismatch: expected {HEADER.size + fields[6]}, got {len(data)}")
    if fields[0] != VERSION:
        raise RpcTransportError(f"protocol version mismatch: got {fields[0]}, expected {VERSION}")
    return fields


class AsyncioProtocolEngine(EngineMethods):
    def __init__(self, host, port, start_seq=1):
        self.host, self.port, self.start_seq = host, port, start_seq
        self._seq = start_seq
        self._link = None
        self._connected = asyncio.Event()
        self._lock = asyncio.Lock()
        self._server = None
        self._loop = None
        # The call in flight: (answer future, seq, fnId, link, deadline), or None.
        self._pending = None
        self._timer = None

    async def start(self):
        self._loop = asyncio.get_running_loop()
        self._server = await self._loop.create_server(lambda: WebSocketConnection(self, MAX_MESSAGE),
                                                      self.host, self.port)

    async def wait_connected(self, timeout_secs=None):
        await asyncio.wait_for(self._connected.wait(), timeout_secs)

    async def close(self):
        if self._link is not None:
            self._link.close()
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    # ---- the connection's listener -------------------------------------------------------------------

    def link_opened(self, link):
        link.send_now(TEXT, HANDSHAKE)
        # A new connection replaces the old one only between calls, as the lock orders them.
        self._loop.create_task(self._adopt(link))

    async def _adopt(self, link):
        async with self._lock:
            if not link.is_open:
                return
            if self._link is not None:
                self._link.close()
            self._link = link
            self._seq = self.start_seq
        self._connected.set()

    def link_closed(self, link):
        if link is self._link:
            self._link = None
        pending = self._pending
        if pending is not None and pending[3] is link and not pending[0].done():
            pending[0].set_exception(RpcTransportError("connection lost"))

    def link_message(self, link, opcode, data):
        if opcode != BINARY or link is not self._link:
            return  # text messages are not part of the exchange
        pending = self._pending
        try:
            version, kind, _, got_seq, got_fn, _, length = check_header(data)
            if kind not in (RESPONSE, ERROR_RESPONSE):
                if kind == ECHO_REQUEST:
                    link.send_now(BINARY, bytes((VERSION, ECHO_REPLY)) + bytes(data[2:]))
                return
            if pending is None:
                raise RpcTransportError(f"a response to no call (seq {got_seq}, fnId {got_fn})")
            answer, seq, fn_id = pending[:3]
            if got_seq != seq:
                raise RpcTransportError(f"seq mismatch: expected {seq}, got {got_seq}")
            if got_fn != fn_id:
                raise RpcTransportError(f"fnId mismatch: expected {fn_id}, got {got_fn}")
            if kind == ERROR_RESPONSE:
                err, sub, n = ERROR_BODY.unpack_from(data, HEADER.size)
                text = bytes(data[24:24 + n]).decode(errors="replace")
                raise RpcError(f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub}): {text}")
        except (ValueError, RpcTransportError, RpcError) as failure:
            if pending is None:
                self._drop(link)  # nothing to report it to; the next call would have failed on it
            elif not pending[0].done():
                pending[0].set_exception(failure)
            return
        if not answer.done():
            answer.set_result(data)

    # ---- calls -----------------------------------------------------------------------------------------

    async def _call(self, fn_id, parts=None, timeout_secs=10.0):
        """Sends one Request and returns the whole Response message (the payload starts at 16)."""
        async with self._lock:
            link = self._link
            if link is None:
                raise RpcTransportError("no websocket connected")
            seq = self._seq
            self._seq = (seq + 1) & 0xFFFFFFFF
            answer = self._loop.create_future()
            deadline = self._loop.time() + timeout_secs
            self._pending = (answer, seq, fn_id, link, deadline)
            self._arm(deadline)
            try:
                if parts is None:
                    link.send_now(BINARY, HEADER.pack(VERSION, REQUEST, 0, seq, fn_id, 0, 0))
                else:
                    size = sum(memoryview(part).nbytes for part in parts)
                    await link.send(BINARY, [HEADER.pack(VERSION, REQUEST, 0, seq, fn_id, 0, size), *parts])
                return await answer
            except (RpcTransportError, TimeoutError, ConnectionError) as failure:
                if answer.done():  # a time-out or loss that cut a send short is the cause to report
                    failure = answer.exception() or failure
                self._drop(link)
                raise RpcTransportError(f"seq={seq} fnId={fn_id}: {failure!r}") from failure
            finally:
                self._pending = None

    def _drop(self, link):
        if link is self._link:
            self._link = None
        link.close(1011)

    def _arm(self, deadline):
        """Makes sure the engine's one timer fires no later than `deadline`. With equal time-outs every
        later call's deadline is later, so the timer stays armed as it is: no timer per call."""
        if self._timer is not None and self._timer.when() <= deadline:
            return
        if self._timer is not None:
            self._timer.cancel()
        self._timer = self._loop.call_at(deadline, self._on_timer)

    def _on_timer(self):
        fired_at, self._timer = self._timer.when(), None
        pending = self._pending
        if pending is None:
            return
        answer, _, _, link, deadline = pending
        if deadline > fired_at:
            self._arm(deadline)  # set by an earlier call; this one has time left
        elif not answer.done():
            answer.set_exception(TimeoutError())
            self._drop(link)  # also ends a send that is waiting for the peer to read

    # ---- the engine methods the benchmark drives ---------------------------------------------------

    @staticmethod
    def _array_part(array):
        return array
