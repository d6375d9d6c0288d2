"""A user interface that misbehaves during a call: resets the TCP connection in the middle of a frame, closes
the connection, sends an oversized message, an unmasked frame or invalid UTF-8 in a text frame. The call
ends with its documented error, the connection slot is emptied, and the next user interface is served."""

import asyncio
import struct
import time

import pytest

MB64 = 64 * 1024 * 1024
CLOSE, TEXT, BINARY, CONTINUATION = 0x8, 0x1, 0x2, 0x0
ZERO_MASK = b"\0\0\0\0"  # a valid masking key that leaves the bytes as they are: large frames cost nothing


async def raw_link(make_link, raw_peers):
    """An engine whose installed connection is a raw peer; returns (link, peer)."""
    link = await make_link(connected=False)
    peer = await raw_peers(link.port)
    await peer.upgrade(link.port)
    await asyncio.wait_for(link.engine.wait_connected(5.0), 6.0)
    return link, peer


async def read_close_frame(peer, timeout=5.0):
    """The engine's close frame, if it sends one before the connection ends: its status code, else None."""
    try:
        head = await asyncio.wait_for(peer.reader.readexactly(2), timeout)
        assert head[0] == 0x80 | CLOSE and head[1] & 0x80 == 0, head
        payload = await asyncio.wait_for(peer.reader.readexactly(head[1] & 0x7F), timeout)
    except (asyncio.IncompleteReadError, ConnectionError):
        return None  # ended (or reset, when unread bytes were left) before a whole close frame
    return struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None


async def assert_dropped_then_next_ui_served(link, rel):
    """The slot was emptied: the next call finds no connection; a new interface is installed and served
    from start_seq again."""
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(link.engine.get_snapshot(2.0), 3.0)
    assert info.value.args == (rel.transport_text(None, rel.FN_GET_SNAPSHOT, "no websocket connected"),)
    await link.connect()
    await link.snapshot()
    assert link.ui.last_seq[rel.FN_GET_SNAPSHOT] == 1


async def fails_with_text(call, text, timeout=10.0):
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(call, timeout)
    assert type(info.value) is RuntimeError
    assert info.value.args == (text,)


async def test_rel_reset_in_the_middle_of_a_frame(make_link, raw_peers, rel):
    link, peer = await raw_link(make_link, raw_peers)
    call = link.engine.get_snapshot(5.0)
    seq, fn_id = await peer.next_request()
    answer = rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([1.0, 2.0, 3.0]))
    whole = rel.ws_frame(BINARY, answer)
    await peer.send(whole[: len(whole) // 2])  # the head and half of the payload
    await asyncio.sleep(0.05)
    peer.reset()
    await fails_with_text(call, rel.transport_text(seq, fn_id, "websocket recv failed: Connection reset by peer"))
    await assert_dropped_then_next_ui_served(link, rel)


@pytest.mark.parametrize("how", ["close frame", "end of stream", "reset before the request"])
async def test_rel_peer_closes_during_a_call(make_link, raw_peers, rel, how):
    link, peer = await raw_link(make_link, raw_peers)
    if how == "reset before the request":
        peer.reset()
        await asyncio.sleep(0.05)
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(link.engine.get_snapshot(5.0), 10.0)
        assert rel.link_lost_pattern(rel.FN_GET_SNAPSHOT).fullmatch(info.value.args[0]), info.value.args
        assert info.value.args[0].startswith(rel.transport_text(1, rel.FN_GET_SNAPSHOT, ""))
    else:
        call = link.engine.get_snapshot(5.0)
        seq, fn_id = await peer.next_request()
        if how == "close frame":
            await peer.send(rel.ws_frame(CLOSE, struct.pack(">H", 1000) + b"bye"))
            assert await read_close_frame(peer) == 1000  # the closing handshake is answered
            peer.close()
        else:
            peer.writer.write_eof()
        await fails_with_text(call, rel.transport_text(seq, fn_id, "websocket closed"))
        assert await peer.read_to_eof() == b""
    await assert_dropped_then_next_ui_served(link, rel)


@pytest.mark.parametrize("violation", ["close frame", "unmasked frame"])
async def test_rel_peer_that_never_closes_its_side_holds_up_nobody(make_link, raw_peers, rel, violation):
    """After a close frame (answered, or sent for a protocol violation) the peer neither reads nor closes.
    The call must still end soon, although its time-out is an hour, and the interface that connects
    meanwhile must be installed and served."""
    link, peer = await raw_link(make_link, raw_peers)
    call = link.engine.get_snapshot(3600.0)
    seq, fn_id = await peer.next_request()
    started = time.monotonic()
    if violation == "close frame":
        await peer.send(rel.ws_frame(CLOSE, struct.pack(">H", 1001)))
        text = "websocket closed"
    else:
        await peer.send(rel.ws_frame(BINARY, rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([1.0])), masked=False))
        text = "websocket recv failed: The WebSocket frame was unmasked"
    connecting = asyncio.ensure_future(link.connect())
    await fails_with_text(call, rel.transport_text(seq, fn_id, text), timeout=10.0)
    assert time.monotonic() - started < 5.0
    await asyncio.wait_for(connecting, 10.0)
    await link.snapshot()
    assert link.ui.last_seq[rel.FN_GET_SNAPSHOT] == 1  # the new interface was installed


async def send_tolerantly(peer, chunks):
    """Writes the chunks until the engine closes the connection; returns the bytes written."""
    written = 0
    try:
        for chunk in chunks:
            peer.writer.write(chunk)
            await asyncio.wait_for(peer.writer.drain(), 10.0)
            written += len(chunk)
    except (ConnectionError, OSError):
        pass
    return written


@pytest.mark.parametrize("fragments", [1, 3], ids=["one frame", "three frames"])
async def test_rel_message_of_64_mib_plus_one_byte(make_link, raw_peers, rel, fragments):
    link, peer = await raw_link(make_link, raw_peers)
    call = link.engine.get_snapshot(20.0)
    seq, fn_id = await peer.next_request()
    # A response frame of 64 MiB + 1 bytes in all, split over `fragments` WebSocket frames.
    header = rel.HEADER.pack(1, rel.RESPONSE, 0, seq, fn_id, 0, MB64 + 1 - rel.HEADER.size)
    sizes = [(MB64 + 1) // fragments] * fragments
    sizes[-1] += MB64 + 1 - sum(sizes)
    chunk = bytes(1 << 20)

    def message_chunks():
        for i, size in enumerate(sizes):
            opcode = BINARY if i == 0 else CONTINUATION
            head = rel.ws_frame_head(opcode, size, fin=i == fragments - 1)
            yield head + ZERO_MASK
            left = size
            if i == 0:
                yield header
                left -= len(header)
            while left:
                yield chunk[: min(left, len(chunk))]
                left -= min(left, len(chunk))

    sender = asyncio.ensure_future(send_tolerantly(peer, message_chunks()))
    # The engine refuses the message with close code 1009 ("message too big"); the frame is lost when the
    # connection is reset over the bytes still on their way.
    assert await read_close_frame(peer, timeout=30.0) in (1009, None)
    peer.close()
    await fails_with_text(call, rel.transport_text(
        seq, fn_id, "websocket recv failed: The WebSocket message exceeded the locally configured limit"), 30.0)
    await asyncio.wait_for(sender, 30.0)
    await assert_dropped_then_next_ui_served(link, rel)


@pytest.mark.parametrize(
    "name, message, failure, code",
    [
        ("unmasked binary frame", lambda rel, answer: rel.ws_frame(BINARY, answer, masked=False),
         "The WebSocket frame was unmasked", 1002),
        ("invalid UTF-8 in a text frame", lambda rel, answer: rel.ws_frame(TEXT, b"status: \xc3\x28 ok"),
         "The WebSocket frame payload was not valid utf8", 1007),
        ("a surrogate in a text frame", lambda rel, answer: rel.ws_frame(TEXT, "ok".encode() + b"\xed\xa0\x80"),
         "The WebSocket frame payload was not valid utf8", 1007),
    ],
    ids=lambda v: v if isinstance(v, str) and " " in v else "",
)
async def test_rel_protocol_violation_during_a_call(make_link, raw_peers, rel, name, message, failure, code):
    link, peer = await raw_link(make_link, raw_peers)
    call = link.engine.get_snapshot(5.0)
    seq, fn_id = await peer.next_request()
    answer = rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([4.0]))
    await peer.send(message(rel, answer))
    assert await read_close_frame(peer) == code
    peer.close()
    await fails_with_text(call, rel.transport_text(seq, fn_id, "websocket recv failed: " + failure))
    await assert_dropped_then_next_ui_served(link, rel)
