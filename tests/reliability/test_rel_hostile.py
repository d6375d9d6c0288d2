"""Hostile peers: floods of connections with refused origins, and peers that open TCP and never finish the
upgrade. Each refused peer gets exactly the 403 bytes and nothing is installed; stalled peers are dropped
after the 10-second upgrade limit while the user interface is served all along."""

import asyncio
import itertools
import os
import time

import pytest

LONG = os.environ.get("TARNEL_LONG_TESTS") == "1"
REFUSED = 1_000 if LONG else 200
STALLED = 100 if LONG else 20
REFUSED_ORIGINS = [
    "http://example.org",
    "null",
    "http://localhost.evil.example",
    "http://127.0.0.10",
    "HTTP://LOCALHOST",
    "https://tarnel.app.evil.example:443",
    "http://localhost@evil.example",
]


async def refused_peer(port, origin, rel):
    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", port), rel.STEP)
    try:
        writer.write(rel.upgrade_request(port, origin=origin))
        await asyncio.wait_for(writer.drain(), rel.STEP)
        return await asyncio.wait_for(reader.read(), rel.STEP)  # everything until the engine closes
    finally:
        writer.transport.abort()


@pytest.mark.timeout(600 if LONG else 120)
async def test_rel_flood_of_refused_origins(make_link, rel, capfd):
    link = await make_link()
    await link.snapshot()
    baseline_fds = await rel.stable(rel.open_fds)
    origins = itertools.cycle(REFUSED_ORIGINS)
    seqs = [link.ui.last_seq[rel.FN_GET_SNAPSHOT]]
    started = time.monotonic()
    for first in range(0, REFUSED, 20):
        batch = [refused_peer(link.port, next(origins), rel) for _ in range(min(20, REFUSED - first))]
        answers = await asyncio.gather(*batch)
        assert all(answer == rel.FORBIDDEN for answer in answers), {a for a in answers if a != rel.FORBIDDEN}
        # The installed interface keeps working, and nothing replaced it: the seq counter was not reset.
        await link.snapshot()
        seqs.append(link.ui.last_seq[rel.FN_GET_SNAPSHOT])
    elapsed = time.monotonic() - started
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    assert not link.ui.closed

    log = capfd.readouterr().err
    lines = log.splitlines(keepends=True)
    assert all(line.startswith(rel.LOG_PREFIX) and line.endswith("\n") for line in lines), lines[:5]
    rejected = [line for line in lines if line.startswith(rel.LOG_PREFIX + "rejected origin: ")]
    failed = [line for line in lines if line == rel.LOG_PREFIX + "accept failed: origin refused with HTTP 403 Forbidden\n"]
    assert len(rejected) == len(failed) == REFUSED and len(lines) == 2 * REFUSED
    assert {line[len(rel.LOG_PREFIX + "rejected origin: "):-1] for line in rejected} == set(REFUSED_ORIGINS)
    fds = await rel.settle_to(rel.open_fds, baseline_fds)
    print(f"\n{REFUSED} refused origins in {elapsed:.2f} s, each answered with exactly the 403 bytes; "
          f"{len(seqs)} calls served meanwhile; descriptors {baseline_fds} -> {fds}")
    assert fds == baseline_fds


async def silent(port, rel, background):
    """Opens TCP and sends nothing."""
    return await asyncio.open_connection("127.0.0.1", port)


async def half_request(port, rel, background):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n")
    return reader, writer


async def slow_request(port, rel, background):
    """Sends a valid upgrade request one byte every half second: it would take far longer than the limit."""
    reader, writer = await asyncio.open_connection("127.0.0.1", port)

    async def trickle():
        for byte in rel.upgrade_request(port):
            if writer.is_closing():
                return
            writer.write(bytes([byte]))
            await asyncio.sleep(0.5)

    background.append(asyncio.ensure_future(trickle()))
    return reader, writer


@pytest.mark.timeout(300 if LONG else 120)
async def test_rel_stalled_upgrades_are_dropped_after_the_limit_while_others_are_served(make_link, rel, capfd):
    link = await make_link(connected=False)
    baseline_fds = await rel.stable(rel.open_fds)
    background = []
    kinds = [silent, half_request, slow_request]
    opened_at = time.monotonic()
    peers, opened, dropped = [], [], [None] * STALLED
    for i in range(STALLED):
        opened.append(time.monotonic())  # before connecting: the engine's limit cannot start earlier
        peers.append(await kinds[i % 3](link.port, rel, background))
    ends = [asyncio.ensure_future(asyncio.wait_for(reader.read(), 20.0)) for reader, _ in peers]
    for i, end in enumerate(ends):
        end.add_done_callback(lambda _, i=i: dropped.__setitem__(i, time.monotonic() - opened[i]))
    await asyncio.sleep(0.2)

    # Served while every stalled peer is still in its upgrade (however long serving took on a loaded machine).
    await link.connect()
    await link.snapshot()
    assert not any(end.done() for end in ends), dropped
    calls = 1
    while not all(end.done() for end in ends) and time.monotonic() - opened_at < 20.0:
        await link.snapshot()
        calls += 1
        await asyncio.sleep(0.1)
    for task in background:
        task.cancel()
    received = await asyncio.gather(*ends)
    assert received == [b""] * STALLED  # no response at all, only the close
    assert 10.0 - 0.001 <= min(dropped) and max(dropped) <= 15.0, dropped
    for _, writer in peers:
        writer.transport.abort()

    log = capfd.readouterr().err
    assert log.count(rel.LOG_PREFIX + "accept failed: upgrade not completed within 10 seconds\n") == STALLED, log
    assert log.count(rel.LOG_PREFIX) == STALLED, log
    await link.snapshot()
    assert not link.ui.closed
    fds = await rel.settle_to(rel.open_fds, baseline_fds + 2)  # the interface's two ends stay open
    print(f"\n{STALLED} stalled upgrades dropped {min(dropped):.2f} to {max(dropped):.2f} s after they opened; "
          f"{calls} calls served "
          f"meanwhile; descriptors {baseline_fds} -> {fds} (+2: the interface)")
    assert fds == baseline_fds + 2
