"""Large results own the memory they were received into, and give it back when they go: the next large
answer is received into it. A result still alive is never written over, whatever order results go in."""

import asyncio
import struct

import numpy as np

from test_bridge_futures import STEP
from test_bridge_loop_liveness import ThreadPage, response, run, start_engine

ROWS = 2 * 1024 * 1024 // (8 * 5)  # 2 MiB answers: received into buffers of their own


def distinct_matrix(seq):
    return struct.pack("<II", ROWS, 5) + np.full(ROWS * 5, float(seq), dtype="<f8").tobytes()


def test_results_dropped_in_any_order_leave_the_live_ones_intact(tarnel):
    loop = asyncio.new_event_loop()
    engine, port = start_engine(tarnel.TarnelEngineAsync, loop)
    page = ThreadPage(port, answer_at_once=lambda seq, fn_id: response(seq, fn_id, distinct_matrix(seq)))
    try:
        async def calls():
            await asyncio.wait_for(engine.wait_connected(), STEP)
            kept = {}
            # Keep some, drop others (their memory goes back), keep receiving: every live result must
            # still hold its own answer.
            for step in range(12):
                result = await asyncio.wait_for(engine.get_ohlc(STEP), STEP)
                kept[step] = result
                if step % 3 == 1:
                    kept.pop(step - 1)
                if step % 4 == 3:
                    kept.pop(min(kept))
            return kept

        kept = run(loop, calls)
        assert len(kept) >= 4
        for result in kept.values():
            assert result.shape == (ROWS, 5)
            assert (result == result[0, 0]).all()
        assert len({result[0, 0] for result in kept.values()}) == len(kept)
    finally:
        page.close()
        run(loop, engine.close)
        loop.close()
