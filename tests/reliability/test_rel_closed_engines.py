"""Engines created, used and closed in numbers: descriptors, threads and memory come back to where they
were, and every port can be bound again at once."""

import asyncio

import pytest


@pytest.mark.timeout(600)
async def test_rel_closed_engines_leave_nothing_behind(tarnel, rel):
    count = rel.scale(200, 1000)

    async def serve_once(port):
        """An engine on the port (held by the caller), one call through it, then closed."""
        async with tarnel.TarnelEngineAsync("127.0.0.1", port) as engine:
            await asyncio.wait_for(engine.start(), rel.STEP)
            ui = await rel.AnsweringUI.connect(port, 1)
            await asyncio.wait_for(engine.wait_connected(rel.STEP), rel.STEP + 1)
            assert (await asyncio.wait_for(engine.get_snapshot(rel.STEP), rel.STEP + 1)).tolist() == [1.0, 1.0]
        await ui.wait_closed()  # the engine closed the connection
        await ui.shutdown()

    async def one_engine():
        with rel.held_port() as port:
            await serve_once(port)

    # The last twenty engines' ports are held from before the first figures until they are bound again at
    # the end, so that no other program can take them in between.
    reused = [rel.hold_port() for _ in range(20)]
    ports = [holder.getsockname()[1] for holder in reused]
    for _ in range(5):  # the runtime's threads, the module's caches and the test's own imports
        await one_engine()
    fds, threads = rel.open_fds(), rel.thread_count()
    rss = await rel.stable(rel.rss_bytes)
    for _ in range(count - len(ports)):
        await one_engine()
    for port in ports:
        await serve_once(port)
    assert await rel.settle_to(rel.open_fds, fds) == fds
    assert rel.thread_count() == threads
    grown = await rel.stable(rel.rss_bytes) - rss
    assert grown < 8_000_000, f"{grown / 1e6:.1f} MB more after {count} engines"
    for port in ports:  # their connections linger in TIME_WAIT, which a new engine's listener allows
        async with tarnel.TarnelEngineAsync("127.0.0.1", port) as again:
            await asyncio.wait_for(again.start(), rel.STEP)
    for holder in reused:
        holder.close()
