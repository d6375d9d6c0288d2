"""Storms: a user interface reconnecting hundreds of times while calls run, and thousands of calls cancelled
at random points. Nothing may crash or stay locked, and a final call must succeed."""

import asyncio
import collections
import contextlib
import os
import random
import re
import time

import pytest

LONG = os.environ.get("TARNEL_LONG_TESTS") == "1"
RECONNECTS = 2_000 if LONG else 300
CANCELLED_CALLS = 30_000 if LONG else 3_000


@pytest.mark.timeout(1200 if LONG else 180)
async def test_rel_reconnect_storm_while_calls_run(make_link, rel):
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    link = await make_link()
    baseline_fds = await rel.stable(rel.open_fds)
    lost = rel.link_lost_pattern(rel.FN_GET_SNAPSHOT)
    timed_out = re.compile(r"RpcTransportError\(seq=Some\(\d+\), fnId=Some\(12\)\): timeout waiting response")
    storm_uis = []
    outcomes = collections.Counter()
    storm_over = asyncio.Event()
    call_ended = asyncio.Event()
    idents = {link.ui.ident}

    async def caller():
        while not storm_over.is_set():
            timeout = rng.choice([0.2, 0.5])
            started = time.monotonic()
            try:
                result = await asyncio.wait_for(link.engine.get_snapshot(timeout), timeout + rel.MARGIN)
            except asyncio.TimeoutError:
                raise AssertionError(f"a call did not end within its time-out (seed {seed})") from None
            except RuntimeError as error:
                text = error.args[0]
                if text.endswith("no websocket connected"):
                    outcomes["no connection"] += 1
                    await asyncio.sleep(0.002)
                elif lost.fullmatch(text):
                    outcomes["link lost"] += 1
                else:
                    # The request went out on a connection that was replaced before the answer was read.
                    assert timed_out.fullmatch(text), f"{text} (seed {seed})"
                    outcomes["timeout"] += 1
            else:
                assert result[1] in idents, result
                outcomes["ok"] += 1
            assert time.monotonic() - started < timeout + rel.MARGIN
            call_ended.set()

    async def storm():
        for i in range(RECONNECTS):
            idents.add(1000 + i)
            ui = await rel.AnsweringUI.connect(link.port, 1000 + i)
            storm_uis.append(ui)
            if rng.random() < 0.3:
                ui.ws.transport.abort()  # some go away again at once
            # Calls run between the reconnects: wait until one more has ended (or a moment passed).
            call_ended.clear()
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(call_ended.wait(), rng.choice([0.001, 0.5]))
        storm_over.set()

    started = time.monotonic()
    await asyncio.gather(storm(), caller(), caller())
    elapsed = time.monotonic() - started

    # The final connection serves calls; every connection of the storm was closed by the engine.
    await link.connect()
    idents.add(link.ui.ident)
    for _ in range(3):
        await link.snapshot()
    await asyncio.wait_for(link.engine.wait_connected(), rel.STEP)
    for ui in storm_uis:
        await asyncio.wait_for(ui.ws.wait_closed(), rel.STEP)
        await ui.shutdown()
    fds = await rel.settle_to(rel.open_fds, baseline_fds)
    print(f"\nreconnect storm (seed {seed}): {RECONNECTS} reconnects in {elapsed:.1f} s while calls ran: "
          f"{dict(outcomes)}; descriptors {baseline_fds} -> {fds}")
    assert fds == baseline_fds
    assert outcomes["ok"] > RECONNECTS // 4, outcomes


@pytest.mark.timeout(1200 if LONG else 180)
async def test_rel_cancellation_storm(make_link, rel):
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    link = await make_link(ticket_delay=lambda: rng.choice([0.0, 0.0005, 0.002]), record=True)
    engine = link.engine
    baseline_fds = await rel.stable(rel.open_fds)
    outcomes = collections.Counter()
    delivered = set()  # (fnId, seq) of every answer a call returned: each may be returned once only
    launched = 0
    started = time.monotonic()

    async def one_call(method):
        task = asyncio.ensure_future(rel.awaiting(getattr(engine, method)(5.0)))
        when = rng.choice(["never", "at once", "next turn", 0.0002, 0.001, 0.003])
        if when == "at once":
            task.cancel()
        elif when == "next turn":
            await asyncio.sleep(0)
            task.cancel()
        elif when != "never":
            await asyncio.sleep(when)
            task.cancel()
        try:
            result = await asyncio.wait_for(task, 5.0 + rel.MARGIN)
        except asyncio.CancelledError:
            outcomes["cancelled"] += 1
            return
        if method == "get_snapshot":
            seq, ident = int(result[0]), int(result[1])
            assert ident == link.ui.ident
            key = (rel.FN_GET_SNAPSHOT, seq)
        else:
            seq = int(result[0, 0] // 1000)
            assert result.ravel().tolist() == rel.ticket_values(seq, 1 + seq % 5)
            key = (rel.FN_GET_TICKET_LIST, seq)
        assert key in link.ui.seen, key
        assert key not in delivered, f"the answer to {key} was returned twice (seed {seed})"
        delivered.add(key)
        outcomes["ok" if when == "never" else "finished before its cancel"] += 1

    while launched < CANCELLED_CALLS:
        batch = min(rng.randint(1, 12), CANCELLED_CALLS - launched)
        launched += batch
        methods = [rng.choice(["get_snapshot", "get_ticket_list"]) for _ in range(batch)]
        results = await asyncio.gather(*(one_call(m) for m in methods), return_exceptions=True)
        errors = [r for r in results if isinstance(r, BaseException)]
        assert not errors, f"{errors[0]!r} (seed {seed})"
    elapsed = time.monotonic() - started

    # No lock stays held: single and concurrent calls succeed at once, and so does wait_connected.
    await link.snapshot(timeout=2.0)
    await asyncio.wait_for(asyncio.gather(*(engine.get_snapshot(2.0) for _ in range(10))), 5.0)
    await asyncio.wait_for(engine.wait_connected(), rel.STEP)
    # Every call whose request went out either returned its answer or was cancelled after sending.
    sent = link.ui.request_count - 11  # less the eleven calls after the storm
    answered = outcomes["ok"] + outcomes["finished before its cancel"]
    cancelled_after_send = sent - answered
    cancelled_before_send = outcomes["cancelled"] - cancelled_after_send
    fds = await rel.settle_to(rel.open_fds, baseline_fds)
    print(f"\ncancellation storm (seed {seed}): {CANCELLED_CALLS} calls in {elapsed:.1f} s: {dict(outcomes)}; "
          f"cancelled before their request went out {cancelled_before_send}, after {cancelled_after_send}; "
          f"descriptors {baseline_fds} -> {fds}")
    assert outcomes["cancelled"] > CANCELLED_CALLS // 3
    # A call's request goes out as it is made, unless another request is being written: most cancelled
    # calls were cancelled after sending, and their late answers were skipped.
    assert cancelled_after_send > 0 and cancelled_before_send >= 0
    assert fds == baseline_fds
