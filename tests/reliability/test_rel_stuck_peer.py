"""Peers that stop reading, and stray malformed frames. A page that never reads must not keep a call, the
connection slot or the next page waiting longer than the call's time-out; a malformed frame that was not
the call's answer must cost that call only."""

import asyncio
import socket
import struct
import time

import numpy as np
import pytest

BINARY = 0x2
FN_INIT_CANDLES = 100
ECHO_REQUEST = 4
TIMEOUT = 1.0


def candles_never_sent_whole():
    """Candles whose request outgrows all the kernel can take for a page that never reads: the engine's send
    buffer (at most tcp_wmem's largest size, or twice wmem_max when set by hand) and the page's 4 KiB receive
    buffer. 1,000,000 rows (40 MB) with this kernel's defaults, more on a machine tuned for large buffers."""
    with open("/proc/sys/net/ipv4/tcp_wmem") as f:
        autotuned = int(f.read().split()[2])
    with open("/proc/sys/net/core/wmem_max") as f:
        by_hand = 2 * int(f.read())
    return np.zeros((max(1_000_000, 2 * max(autotuned, by_hand) // 40), 5))


async def non_reading_peer(link, rel):
    """A raw peer that completes the upgrade and reads nothing more; its receive buffer is made small so
    that the engine's writes back up quickly."""
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setblocking(False)
    await asyncio.wait_for(asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", link.port)), rel.STEP)
    reader, writer = await asyncio.open_connection(sock=sock)
    writer.write(rel.upgrade_request(link.port))
    assert await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), rel.STEP) == rel.SWITCHING_PROTOCOLS
    await asyncio.wait_for(link.engine.wait_connected(rel.STEP), rel.STEP + 1)
    return reader, writer


async def assert_next_page_served_within(link, rel, seconds):
    started = time.monotonic()
    await asyncio.wait_for(link.connect(drop_previous=False), seconds + rel.MARGIN)
    await link.snapshot()
    assert time.monotonic() - started < seconds + rel.MARGIN
    assert link.ui.last_seq[rel.FN_GET_SNAPSHOT] == 1  # the new page was installed


async def test_rel_large_request_to_a_page_that_never_reads(make_link, rel):
    link = await make_link(connected=False)
    _, writer = await non_reading_peer(link, rel)
    candles = candles_never_sent_whole()
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(link.engine.init_candles(candles, TIMEOUT), TIMEOUT + rel.MARGIN)
    assert info.value.args == (rel.transport_text(1, FN_INIT_CANDLES, "websocket send failed: send timed out"),)
    assert time.monotonic() - started < TIMEOUT + rel.MARGIN
    await assert_next_page_served_within(link, rel, 0.0)
    writer.transport.abort()


async def test_rel_cancelled_large_request_does_not_hold_the_next_page(make_link, rel):
    """The abandoned write ends at its own deadline, so the page that connects meanwhile is installed."""
    link = await make_link(connected=False)
    _, writer = await non_reading_peer(link, rel)
    call = asyncio.ensure_future(rel.awaiting(link.engine.init_candles(candles_never_sent_whole(), TIMEOUT)))
    await asyncio.sleep(0.2)
    call.cancel()
    with pytest.raises(asyncio.CancelledError):
        await call
    await assert_next_page_served_within(link, rel, TIMEOUT)
    writer.transport.abort()


async def test_rel_echo_flood_from_a_page_that_never_reads(make_link, rel):
    """The page floods echo requests during a call and never reads the replies: the replies' writes back
    up, and the call ends at its deadline with the connection dropped."""
    link = await make_link(connected=False)
    _, writer = await non_reading_peer(link, rel)
    call = link.engine.get_snapshot(TIMEOUT)
    echo = rel.ws_frame(BINARY, rel.frame(ECHO_REQUEST, 7, 1, bytes(1 << 20)), mask=b"\0\0\0\0")
    for _ in range(48):  # written without waiting: the engine stops reading once its replies back up
        writer.write(echo)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(call, TIMEOUT + rel.MARGIN)
    assert info.value.args == (rel.transport_text(1, rel.FN_GET_SNAPSHOT, "timeout waiting response"),)
    assert time.monotonic() - started < TIMEOUT + rel.MARGIN
    writer.transport.abort()
    await assert_next_page_served_within(link, rel, 0.0)


@pytest.mark.parametrize("stray", [
    pytest.param(lambda rel, seq, fn_id: b"\x01\x02\x03", id="3 bytes"),
    pytest.param(lambda rel, seq, fn_id: rel.frame(ECHO_REQUEST, 9, 1, b"abc")[:-1], id="echo request, wrong length"),
    pytest.param(lambda rel, seq, fn_id: rel.frame(rel.RESPONSE, seq, fn_id, b"\0" * 8) + b"\0", id="response, wrong length"),
])
async def test_rel_stray_malformed_frame_costs_one_call(make_link, raw_peers, rel, stray):
    link = await make_link(connected=False)
    peer = await raw_peers(link.port)
    await peer.upgrade(link.port)
    await asyncio.wait_for(link.engine.wait_connected(rel.STEP), rel.STEP + 1)

    first = link.engine.get_snapshot(rel.STEP)
    seq, fn_id = await peer.next_request()
    await peer.send(rel.ws_frame(BINARY, stray(rel, seq, fn_id)))
    with pytest.raises(ValueError):
        await asyncio.wait_for(first, rel.STEP)
    await peer.send(rel.ws_frame(BINARY, rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([1.0]))))  # the real answer
    for value in (2.0, 3.0):  # the late answer is skipped, and the link stays
        call = link.engine.get_snapshot(rel.STEP)
        seq, fn_id = await peer.next_request()
        await peer.send(rel.ws_frame(BINARY, rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([value]))))
        assert (await asyncio.wait_for(call, rel.STEP)).tolist() == [value]


async def test_rel_huge_text_messages_are_not_kept(make_link, raw_peers, rel):
    """Each connection receives one 40 MB text message and stays open. The first one warms the process's
    pool of large buffers (it keeps at most two); the connections after it must keep nothing large."""

    async def connection_with_a_huge_text():
        link = await make_link(connected=False)
        peer = await raw_peers(link.port)
        await peer.upgrade(link.port)
        await asyncio.wait_for(link.engine.wait_connected(rel.STEP), rel.STEP + 1)
        call = link.engine.get_snapshot(rel.STEP * 2)
        seq, fn_id = await peer.next_request()
        peer.writer.write(rel.ws_frame_head(0x1, 40_000_000) + b"\0\0\0\0" + b" " * 40_000_000)
        await peer.send(rel.ws_frame(BINARY, rel.frame(rel.RESPONSE, seq, fn_id, rel.vec_f64([1.0]))))
        assert (await asyncio.wait_for(call, rel.STEP * 2)).tolist() == [1.0]

    await connection_with_a_huge_text()
    before = await rel.stable(rel.rss_bytes)
    for _ in range(3):
        await connection_with_a_huge_text()
    grown = await rel.stable(rel.rss_bytes) - before
    # Kept whole, the three would hold 120 MB or more; the pool and the allocator account for a little.
    assert grown < 40_000_000, f"{grown / 1e6:.0f} MB kept by three connections after one 40 MB text each"
