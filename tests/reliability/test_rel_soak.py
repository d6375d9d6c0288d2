"""Soak: many sequential calls through a real WebSocket client, with reconnects, time-outs and cancellations
mixed in at random. Every call must end with its own result or a documented error within its time-out, a
plain call must succeed at the end, and memory, descriptors and threads must not grow."""

import asyncio
import gc
import os
import random
import time

import pytest

LONG = os.environ.get("TARNEL_LONG_TESTS") == "1"

CALLS = 50_000 if LONG else 3_000


@pytest.mark.timeout(1800 if LONG else 240)
async def test_rel_soak_sequential_calls_with_faults_mixed_in(make_link, rel):
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    link = await make_link(ticket_delay=lambda: rng.choice([0.0, 0.0, 0.001, 0.004]))
    engine = link.engine
    lost = rel.link_lost_pattern(rel.FN_GET_SNAPSHOT)
    counts = dict.fromkeys(
        ["ok", "ticket_ok", "timeout", "replace", "drop", "close", "cancelled", "cancel_finished_first",
         "link_lost"], 0)
    slowest = 0.0
    calls_made = 0
    baseline = None
    warmup = CALLS // 5

    async def bounded(make_call, timeout):
        """Makes a call and awaits it; it must end within its time-out (plus a margin), counted from before the
        call was made. Returns (result, error, elapsed)."""
        nonlocal slowest, calls_made
        calls_made += 1
        started = time.monotonic()
        try:
            result, error = await asyncio.wait_for(make_call(), timeout + rel.MARGIN), None
        except asyncio.TimeoutError:
            raise AssertionError(f"a call with time-out {timeout} s did not end within {timeout + rel.MARGIN} s "
                                 f"(seed {seed})") from None
        except (RuntimeError, ValueError) as e:
            result, error = None, e
        elapsed = time.monotonic() - started
        slowest = max(slowest, elapsed - timeout)
        return result, error, elapsed

    async def plain_call():
        result, error, _ = await bounded(lambda: engine.get_snapshot(5.0), 5.0)
        assert error is None, f"{error!r} (seed {seed})"
        assert result.tolist() == [float(link.ui.last_seq[rel.FN_GET_SNAPSHOT]), float(link.ui.ident)]
        counts["ok"] += 1

    async def ticket_call():
        result, error, _ = await bounded(lambda: engine.get_ticket_list(5.0), 5.0)
        assert error is None, f"{error!r} (seed {seed})"
        seq = link.ui.last_seq[rel.FN_GET_TICKET_LIST]
        rows = 1 + seq % 5
        assert result.shape == (rows, 3) and result.ravel().tolist() == rel.ticket_values(seq, rows)
        counts["ticket_ok"] += 1

    async def timed_out_call():
        timeout = rng.choice([0.0, 0.01, 0.05])
        _, error, elapsed = await bounded(lambda: engine.get_ohlc(timeout), timeout)
        assert type(error) is RuntimeError, f"{error!r} (seed {seed})"
        assert error.args[0] == rel.transport_text(link.ui.last_seq[rel.FN_GET_OHLC], rel.FN_GET_OHLC,
                                                   "timeout waiting response"), error.args
        assert elapsed >= timeout - 0.002
        # The time-out emptied the slot: the next call finds no connection, then the interface comes back.
        _, error, _ = await bounded(lambda: engine.get_snapshot(1.0), 1.0)
        assert error.args == (rel.transport_text(None, rel.FN_GET_SNAPSHOT, "no websocket connected"),)
        await link.connect()
        counts["timeout"] += 1

    async def dropped_link_call(how):
        """The interface goes away without being replaced; the next call meets that and empties the slot."""
        if how == "close":
            closing = asyncio.ensure_future(link.ui.ws.close())
        else:
            link.ui.ws.transport.abort()
        _, error, _ = await bounded(lambda: engine.get_snapshot(5.0), 5.0)
        assert type(error) is RuntimeError, f"{error!r} (seed {seed})"
        if how == "close":
            # The closing handshake is answered inside the engine's read.
            assert error.args[0] == rel.transport_text(link.ui.last_seq[rel.FN_GET_SNAPSHOT], rel.FN_GET_SNAPSHOT,
                                                       "websocket closed"), error.args
            await asyncio.wait_for(closing, rel.STEP)
        else:
            assert lost.fullmatch(error.args[0]), error.args[0]
            counts["link_lost"] += 1
        await link.connect()
        counts[how] += 1

    async def cancelled_call():
        """A delayed call abandoned at a random point; its late answer must not disturb the next call."""
        nonlocal calls_made
        calls_made += 1
        task = asyncio.ensure_future(rel.awaiting(engine.get_ticket_list(5.0)))
        when = rng.choice(["at once", "next turn", 0.0005, 0.002, 0.006])
        if when == "next turn":
            await asyncio.sleep(0)
        elif when != "at once":
            await asyncio.sleep(when)
        task.cancel()
        try:
            result = await asyncio.wait_for(task, 5.0 + rel.MARGIN)
        except asyncio.CancelledError:
            counts["cancelled"] += 1
        else:
            seq = link.ui.last_seq[rel.FN_GET_TICKET_LIST]
            assert result.ravel().tolist() == rel.ticket_values(seq, 1 + seq % 5)
            counts["cancel_finished_first"] += 1
        await plain_call()

    started = time.monotonic()
    for i in range(CALLS):
        if i == warmup:
            await link.connect()
            gc.collect()
            baseline = (rel.rss_bytes(), await rel.stable(rel.open_fds), rel.thread_count())
        r = rng.random()
        if r < 0.015:
            await timed_out_call()
        elif r < 0.025:
            await link.connect()  # a newer interface replaces the current one
            counts["replace"] += 1
        elif r < 0.035:
            await dropped_link_call(rng.choice(["drop", "close"]))
        elif r < 0.085:
            await cancelled_call()
        elif r < 0.2:
            await ticket_call()
        else:
            await plain_call()
    elapsed = time.monotonic() - started

    await link.connect()
    await plain_call()
    gc.collect()
    rss, fds, threads = rel.rss_bytes(), await rel.settle_to(rel.open_fds, baseline[1]), rel.thread_count()
    growth = rss - baseline[0]
    print(f"\nsoak (seed {seed}): {calls_made} calls ({CALLS} steps) in {elapsed:.1f} s, {counts}; slowest end "
          f"beyond its time-out {slowest:.3f} s; RSS {baseline[0] / 2**20:.1f} -> {rss / 2**20:.1f} MiB ({growth / 2**20:+.2f} MiB); "
          f"descriptors {baseline[1]} -> {fds}; threads {baseline[2]} -> {threads}")
    assert growth < 5 * 2**20, f"RSS grew by {growth / 2**20:.2f} MiB after warm-up (seed {seed})"
    assert fds == baseline[1], f"open descriptors {baseline[1]} -> {fds} (seed {seed})"
    assert threads == baseline[2], f"threads {baseline[2]} -> {threads} (seed {seed})"
    # Every kind of event happened, so the run showed what it claims.
    assert all(counts[k] > 0 for k in ("ok", "ticket_ok", "timeout", "replace", "cancelled")), counts
    assert counts["drop"] + counts["close"] > 0, counts

