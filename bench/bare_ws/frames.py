"""RFC 6455 frames in the server's role: reading the client's masked frames, writing unmasked ones.

Unmasking is where the time goes on large messages, so it is done by NumPy eight bytes at a time,
straight from the received chunk into the message's own buffer; a small frame (the common RPC call)
is cheaper to unmask with one integer XOR than to hand to NumPy at all.
"""

import struct

import numpy as np

CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA

# Below this many bytes a payload that has fully arrived is unmasked with Python integers.
SMALL_PAYLOAD = 512

_LEN16 = struct.Struct("!H")
_LEN64 = struct.Struct("!Q")
_HEAD16 = struct.Struct("!BBH")
_HEAD64 = struct.Struct("!BBQ")


class ProtocolError(Exception):
    """The peer broke RFC 6455; `code` is the close code to answer with."""

    def __init__(self, code, reason):
        super().__init__(reason)
        self.code = code


def frame_header(opcode, length):
    """The header of one final, unmasked frame (the server never masks)."""
    if length < 126:
        return bytes((0x80 | opcode, length))
    if length < 1 << 16:
        return _HEAD16.pack(0x80 | opcode, 126, length)
    return _HEAD64.pack(0x80 | opcode, 127, length)


def unmask_small(data, start, count, mask):
    """data[start:start + count] unmasked, as bytes."""
    masks = (mask * ((count >> 2) + 1))[:count]
    plain = int.from_bytes(data[start:start + count], "little") ^ int.from_bytes(masks, "little")
    return plain.to_bytes(count, "little")


def unmask_into(dst, at, data, start, count, mask, phase):
    """Writes data[start:start + count], unmasked, to the uint8 array dst at `at`; `phase` is the offset of
    data[start] in the frame's payload, which decides where in the 4-byte mask the XOR starts."""
    key = mask[phase:] + mask[:phase]
    words = count >> 3
    if words:
        np.bitwise_xor(np.frombuffer(data, np.uint64, words, start), np.frombuffer(key * 2, np.uint64)[0],
                       out=dst[at:at + 8 * words].view(np.uint64))
    tail = count - 8 * words
    if tail:
        dst[at + 8 * words:at + count] = np.frombuffer(unmask_small(data, start + 8 * words, tail, key), np.uint8)


class FrameReader:
    """Cuts a byte stream into frames and hands each, unmasked, to on_frame(opcode, fin, payload).

    The payload is bytes for a small frame that arrived whole, else a uint8 NumPy array filled as the
    chunks come (so a 40 MB frame is never joined from pieces). The chunks fed may be views of a receive
    buffer that is reused, so nothing is kept that views them. Raises ProtocolError on a bad frame."""

    def __init__(self, on_frame, max_payload):
        self._on_frame = on_frame
        self._max_payload = max_payload
        self._partial = b""  # the start of a frame header split across chunks
        self._payload = None  # the array of the frame being filled, and its state below
        self._filled = 0
        self._mask = b""
        self._opcode = 0
        self._fin = True

    def feed(self, data):
        if self._partial:
            data, self._partial = self._partial + data, b""
        pos, end = 0, len(data)
        while pos < end:
            if self._payload is not None:
                pos = self._fill(data, pos, end)
                continue
            if end - pos < 2:
                break
            b0, b1 = data[pos], data[pos + 1]
            if not b1 & 0x80:
                raise ProtocolError(1002, "unmasked frame from the client")
            if b0 & 0x70:
                raise ProtocolError(1002, "reserved bits set without an extension")
            length = b1 & 0x7F
            size = 6 if length < 126 else 8 if length == 126 else 14
            if end - pos < size:
                break
            if length == 126:
                (length,) = _LEN16.unpack_from(data, pos + 2)
            elif length == 127:
                (length,) = _LEN64.unpack_from(data, pos + 2)
            opcode, fin = b0 & 0x0F, bool(b0 & 0x80)
            if opcode & 0x8 and (not fin or length > 125):
                raise ProtocolError(1002, "fragmented or oversized control frame")
            if length > self._max_payload:
                raise ProtocolError(1009, f"frame of {length} bytes is too big")
            mask = bytes(data[pos + size - 4:pos + size])
            pos += size
            if length < SMALL_PAYLOAD and end - pos >= length:
                payload = unmask_small(data, pos, length, mask)
                pos += length
                self._on_frame(opcode, fin, payload)
            else:
                # np.empty: the pages are written once, by the unmasking, not first zeroed as well.
                self._payload, self._filled = np.empty(length, np.uint8), 0
                self._mask, self._opcode, self._fin = mask, opcode, fin
        if pos < end:
            self._partial = bytes(data[pos:])

    def _fill(self, data, pos, end):
        payload, filled = self._payload, self._filled
        count = min(len(payload) - filled, end - pos)
        unmask_into(payload, filled, data, pos, count, self._mask, filled & 3)
        filled += count
        if filled < len(payload):
            self._filled = filled
        else:
            self._payload = None
            self._on_frame(self._opcode, self._fin, payload)
        return pos + count
