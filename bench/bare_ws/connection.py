"""One WebSocket connection in the server's role, as a bare asyncio protocol: the upgrade, then frames
joined into messages, pings answered, the close handshake, and sending with the transport's flow control.

It is an asyncio.BufferedProtocol, the variant of asyncio.Protocol that hands the transport the buffer to
receive into. With data_received, the selector transport calls recv(256 KiB) for every read: a fresh
256 KiB bytes object that glibc maps and unmaps each time, about 20 us per read on this machine even
when 150 bytes arrive. One reused receive buffer costs 2 us.

It reports to a listener: link_opened(conn), link_message(conn, opcode, payload) with opcode TEXT (a
str) or BINARY (bytes, or a uint8 NumPy array for a large message), and link_closed(conn).
"""

import asyncio

from . import upgrade
from .frames import BINARY, CLOSE, CONTINUATION, PING, PONG, TEXT, FrameReader, ProtocolError, frame_header

# Messages up to this size go out as one write of one joined buffer; larger ones are written in slices
# straight from the caller's buffer, waiting whenever the transport asks to pause, so that the
# transport copies at most the unsent rest of one slice instead of the whole message.
INLINE_BYTES = 64 * 1024
SLICE_BYTES = 1 << 20
RECEIVE_BYTES = 256 * 1024


class WebSocketConnection(asyncio.BufferedProtocol):
    def __init__(self, listener, max_message):
        self._listener = listener
        self._max_message = max_message
        self._transport = None
        self._head = bytearray()  # the upgrade request until its blank line
        self._reader = None  # the frame reader once upgraded
        self._fragments = None  # the parts of a fragmented message, while it is arriving
        self._fragmented_opcode = BINARY
        self._fragmented_size = 0
        self._closing = False
        self._paused = False
        self._drain_waiter = None
        self._receive = memoryview(bytearray(RECEIVE_BYTES))

    @property
    def is_open(self):
        return self._reader is not None and not self._closing

    # ---- asyncio.BufferedProtocol ------------------------------------------------------------------------

    def connection_made(self, transport):
        self._transport = transport  # asyncio has already set TCP_NODELAY on it

    def get_buffer(self, sizehint):
        return self._receive

    def buffer_updated(self, nbytes):
        if self._closing:
            return
        # A view of the reused buffer: whatever outlives this call is copied out of it (see FrameReader).
        data = self._receive[:nbytes]
        try:
            if self._reader is not None:
                self._reader.feed(data)
            else:
                self._upgrade(data)
        except ProtocolError as error:
            self.close(error.code)

    def connection_lost(self, exc):
        was_open = self._reader is not None
        self._closing = True
        if self._drain_waiter is not None and not self._drain_waiter.done():
            self._drain_waiter.set_exception(ConnectionResetError("connection lost while sending"))
        if was_open:
            self._listener.link_closed(self)

    def pause_writing(self):
        self._paused = True

    def resume_writing(self):
        self._paused = False
        if self._drain_waiter is not None and not self._drain_waiter.done():
            self._drain_waiter.set_result(None)

    # ---- receiving ----------------------------------------------------------------------------------------

    def _upgrade(self, data):
        self._head += data
        end = self._head.find(b"\r\n\r\n")
        if end < 0:
            if len(self._head) > upgrade.MAX_REQUEST_HEAD:
                self._refuse(upgrade.BAD_REQUEST)
            return
        reply, opened = upgrade.answer(bytes(self._head[:end + 4]))
        if not opened:
            self._refuse(reply)
            return
        rest = bytes(self._head[end + 4:])
        self._head = None
        self._transport.write(reply)
        self._reader = FrameReader(self._on_frame, self._max_message)
        self._listener.link_opened(self)
        if rest:  # frames the client sent right behind its request
            self._reader.feed(rest)

    def _refuse(self, reply):
        self._closing = True
        self._transport.write(reply)
        self._transport.close()

    def _on_frame(self, opcode, fin, payload):
        if opcode & 0x8:
            self._on_control(opcode, payload)
        elif opcode == CONTINUATION:
            if self._fragments is None:
                raise ProtocolError(1002, "continuation frame with no message begun")
            self._add_fragment(payload)
            if fin:
                parts, self._fragments = self._fragments, None
                self._deliver(self._fragmented_opcode, b"".join(parts))
        elif opcode in (TEXT, BINARY):
            if self._fragments is not None:
                raise ProtocolError(1002, "new message before the fragmented one ended")
            if fin:
                self._deliver(opcode, payload)
            else:
                self._fragments, self._fragmented_opcode, self._fragmented_size = [], opcode, 0
                self._add_fragment(payload)
        else:
            raise ProtocolError(1002, f"unknown opcode {opcode}")

    def _add_fragment(self, payload):
        self._fragmented_size += len(payload)
        if self._fragmented_size > self._max_message:
            raise ProtocolError(1009, "fragmented message too big")
        self._fragments.append(payload)

    def _on_control(self, opcode, payload):
        if opcode == PING:
            self._transport.write(frame_header(PONG, len(payload)) + bytes(payload))
        elif opcode == CLOSE:
            if len(payload) == 1:
                raise ProtocolError(1002, "close frame with a 1-byte body")
            # Echo the peer's code (RFC 6455 5.5.1), then end the TCP connection: the server closes first.
            code = bytes(payload[:2])
            self._closing = True
            self._transport.write(frame_header(CLOSE, len(code)) + code)
            self._transport.close()
        elif opcode != PONG:
            raise ProtocolError(1002, f"unknown control opcode {opcode}")

    def _deliver(self, opcode, payload):
        if opcode == TEXT:
            try:
                payload = bytes(payload).decode("utf-8")
            except UnicodeDecodeError:
                raise ProtocolError(1007, "text message is not UTF-8") from None
        self._listener.link_message(self, opcode, payload)

    # ---- sending and closing --------------------------------------------------------------------------

    def send_now(self, opcode, data):
        """Sends one small message (bytes) in one write."""
        if self._closing:
            raise ConnectionResetError("connection closing")
        self._transport.write(frame_header(opcode, len(data)) + data)

    async def send(self, opcode, parts):
        """Sends one message made of `parts` (bytes-like, each viewed as bytes), in one frame."""
        if self._closing:
            raise ConnectionResetError("connection closing")
        views = [memoryview(part).cast("B") for part in parts]
        pending = [frame_header(opcode, sum(len(view) for view in views))]
        for view in views:
            if len(view) <= INLINE_BYTES:
                pending.append(view)
                continue
            self._transport.write(b"".join(pending))
            pending = []
            for offset in range(0, len(view), SLICE_BYTES):
                self._transport.write(view[offset:offset + SLICE_BYTES])
                if self._paused:
                    await self._drained()
        if pending:
            self._transport.write(b"".join(pending))

    async def _drained(self):
        if self._closing:
            raise ConnectionResetError("connection lost while sending")
        self._drain_waiter = asyncio.get_running_loop().create_future()
        try:
            await self._drain_waiter
        finally:
            self._drain_waiter = None

    def close(self, code=1000):
        """Starts the close handshake when nothing is queued; otherwise cuts the connection, since a
        close frame behind a queued message would wait for a peer that may not be reading."""
        if self._closing or self._transport is None:
            return
        self._closing = True
        if self._reader is not None and self._transport.get_write_buffer_size() == 0:
            self._transport.write(frame_header(CLOSE, 2) + code.to_bytes(2, "big"))
            self._transport.close()
        else:
            self._transport.abort()
