"""Which of two calls ended first, told without a clock: a loaded machine delays both alike."""

import asyncio


async def ends_first(call, later, timeout=5.0):
    """Awaits `call` (at most `timeout` seconds) and tells whether it ended before `later`, a call made after
    it with a longer time-out, which is then cancelled. A future's done callbacks are queued the moment it
    ends, so the order they run in is the order the futures ended, however late the loop gets to them."""
    order = []
    call.add_done_callback(lambda _: order.append(call))
    later.add_done_callback(lambda _: order.append(later))
    await asyncio.wait([call], timeout=timeout)
    later.cancel()
    await asyncio.sleep(0)  # the cancelled call's callback
    return order[:1] == [call]
