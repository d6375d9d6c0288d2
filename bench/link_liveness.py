"""What the link's liveness costs and gives, measured as a careless program would meet it:

- how long a closed loop's unanswered call (timeout_secs=1) takes to end while another loop is kept
  without running (the old page is dropped when it ends);
- the process's descriptors before and after 30 loops are dropped, unclosed, each with a call in flight;
- the time to cancel N calls queued behind one that waits, for N = 10,000, 20,000 and 40,000.

    python bench/link_liveness.py
"""
import asyncio
import gc
import os
import socket
import struct
import threading
import time

import py_engine_tarnel as tarnel
from websockets.exceptions import ConnectionClosed
from websockets.sync.client import connect

HEADER = struct.Struct("<BBHIHHI")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Page(threading.Thread):
    """A page on a thread of its own that reads requests, answers those it is told to, and notes its end."""

    def __init__(self, port, answer=False):
        super().__init__(daemon=True)
        self.port, self.answer = port, answer
        self.greeted, self.closed, self.requests = threading.Event(), threading.Event(), []
        self.start()
        assert self.greeted.wait(5)

    def run(self):
        try:
            with connect(f"ws://127.0.0.1:{self.port}", close_timeout=1) as ws:
                ws.recv()
                self.greeted.set()
                while True:
                    _, _, _, seq, fn_id, _, _ = HEADER.unpack_from(ws.recv())
                    self.requests.append(seq)
                    if self.answer:
                        ws.send(HEADER.pack(1, 2, 0, seq, fn_id, 0, 12) + struct.pack("<Id", 1, 1.0))
        except (ConnectionClosed, OSError):
            pass
        finally:
            self.closed.set()


def started_engine(loop):
    port = free_port()
    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)

    async def start():
        await engine.start()
    loop.run_until_complete(start())
    return engine, port


def in_loop(loop, make):
    async def inside():
        return make()
    return loop.run_until_complete(inside())


def closed_loop_call_ends():
    kept = asyncio.new_event_loop()
    engine, port = started_engine(kept)
    try:
        in_loop(kept, lambda: engine.get_snapshot(1.0)).cancel()  # the kept loop now watches the link
    except RuntimeError:
        pass
    page = Page(port)
    closing = asyncio.new_event_loop()
    in_loop(closing, lambda: engine.wait_connected())
    began = time.monotonic()
    in_loop(closing, lambda: engine.get_snapshot(timeout_secs=1.0))
    closing.close()
    ended = page.closed.wait(10)
    return time.monotonic() - began if ended else None


def descriptors_after_dropped_loops(count=30):
    owner = asyncio.new_event_loop()
    engine, port = started_engine(owner)
    Page(port, answer=True)
    in_loop(owner, lambda: engine.wait_connected())
    gc.collect()
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(count):
        dropped = asyncio.new_event_loop()

        async def call_in_a_task():
            asyncio.ensure_future(engine.get_snapshot(60.0))
            await asyncio.sleep(0)
        dropped.run_until_complete(call_in_a_task())
        del dropped
    for _ in range(100):
        gc.collect()
        time.sleep(0.02)
    return before, len(os.listdir("/proc/self/fd"))


def cancellation_seconds(count):
    loop = asyncio.new_event_loop()
    engine, port = started_engine(loop)
    Page(port)

    async def cancel_queue():
        await engine.wait_connected()
        first = engine.get_snapshot(60.0)
        queued = [engine.get_snapshot(60.0) for _ in range(count)]
        began = time.perf_counter()
        for call in queued:
            call.cancel()
        await asyncio.gather(*queued, return_exceptions=True)
        for _ in range(3):
            await asyncio.sleep(0)
        elapsed = time.perf_counter() - began
        first.cancel()
        return elapsed
    return loop.run_until_complete(cancel_queue())


def main():
    took = closed_loop_call_ends()
    print(f"closed loop's call (timeout 1 s) ended with another loop kept idle: "
          f"{'not within 10 s' if took is None else f'{took:.2f} s'}")
    before, after = descriptors_after_dropped_loops()
    print(f"descriptors: {before} before, {after} after 30 loops dropped mid-call")
    for count in (10_000, 20_000, 40_000):
        print(f"cancelling {count:,} queued calls: {cancellation_seconds(count):.2f} s")
    os._exit(0)  # the engines listen until the process ends


if __name__ == "__main__":
    main()
