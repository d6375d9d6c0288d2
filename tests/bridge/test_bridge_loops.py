"""How finished calls reach their event loops: one registration per loop, gone with the loop; several loops
in several threads; uvloop; and what the results own. (A loop closed with calls in flight: test_bridge_futures.)"""

import asyncio
import gc
import os
import struct
import threading
import weakref

import numpy as np
import pytest
from websockets.asyncio.client import connect

from test_bridge_futures import STEP, UI, free_port, served_engine

FN_GET_SNAPSHOT, FN_GET_OHLC, FN_INIT_CANDLES = 12, 15, 100
HEADER = struct.Struct("<BBHIHHI")
NO_CONNECTION = "RpcTransportError(seq=None, fnId=Some(12)): no websocket connected"


@pytest.fixture
def Engine(tarnel):
    return tarnel.TarnelEngineAsync


def open_fds():
    return len(os.listdir("/proc/self/fd"))


async def snapshot_round_trips(engine, ui, count, ident):
    for i in range(count):
        call = engine.get_snapshot(STEP)
        await ui.answer(await ui.next_seq(), [float(i), ident])
        assert (await asyncio.wait_for(call, STEP)).tolist() == [float(i), ident]


def test_a_thousand_loops_leave_no_registration_behind(Engine):
    """Every loop gets its own registration with its first call; closing the loop ends it: no descriptor
    and no loop stays behind."""
    engine = Engine("127.0.0.1", free_port())

    async def one_call():
        with pytest.raises(RuntimeError, match=r"^RpcTransportError\(seq=None, fnId=Some\(12\)\): no websocket"):
            await asyncio.wait_for(engine.get_snapshot(STEP), STEP)
        with pytest.raises(RuntimeError):  # a second call reuses the loop's registration
            await asyncio.wait_for(engine.get_snapshot(STEP), STEP)

    asyncio.run(one_call())  # the runtime's threads and descriptors exist from here on
    fds = open_fds()
    loops = weakref.WeakSet()
    for _ in range(1000):
        loop = asyncio.new_event_loop()
        loops.add(loop)
        loop.run_until_complete(one_call())
        loop.close()
        del loop
    gc.collect()
    assert open_fds() == fds
    assert len(loops) == 0


def test_loops_in_several_threads_each_get_their_own_results(Engine):
    """Four threads, each with its own loop: two with an engine of their own, two sharing one engine."""
    errors, finished = [], []

    def worker(ident, shared):
        async def main():
            if shared is None:
                engine, ui = await served_engine(Engine)
                await snapshot_round_trips(engine, ui, 200, ident)
                ui.close()
            else:
                engine, lock = shared
                for _ in range(50):
                    with pytest.raises(RuntimeError) as info:
                        await asyncio.wait_for(engine.get_snapshot(STEP), STEP)
                    assert info.value.args == (NO_CONNECTION,)
            finished.append(threading.current_thread().name)

        try:
            asyncio.run(main())
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    shared = (Engine("127.0.0.1", free_port()), threading.Lock())
    threads = [threading.Thread(target=worker, args=(float(i), None if i < 2 else shared), name=f"t{i}")
               for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == []
    assert sorted(finished) == ["t0", "t1", "t2", "t3"]


def test_uvloop_drives_calls_and_lets_go_of_its_registration(Engine):
    uvloop = pytest.importorskip("uvloop")

    async def main():
        engine, ui = await served_engine(Engine)
        await snapshot_round_trips(engine, ui, 50, 9.0)
        ui.close()
        await asyncio.wait_for(engine.close(), STEP)

    uvloop.run(main())  # the runtime's threads exist from here on
    fds = open_fds()
    for _ in range(20):
        uvloop.run(main())
    gc.collect()
    assert open_fds() == fds


async def test_a_large_response_becomes_the_arrays_own_memory(Engine):
    port = free_port()
    engine = Engine("127.0.0.1", port)
    await asyncio.wait_for(engine.start(), STEP)
    rows = 100_000
    values = np.arange(rows * 5, dtype="<f8")
    async with connect(f"ws://127.0.0.1:{port}", max_size=None, open_timeout=STEP) as ws:
        await asyncio.wait_for(ws.recv(), STEP)
        await asyncio.wait_for(engine.wait_connected(), STEP)
        small, large = engine.get_ohlc(STEP), engine.get_ohlc(STEP)
        for shape in ((2, 5), (rows, 5)):
            _, _, _, seq, fn_id, _, _ = HEADER.unpack_from(await asyncio.wait_for(ws.recv(), STEP))
            payload = struct.pack("<II", *shape) + values[: shape[0] * shape[1]].tobytes()
            await ws.send(HEADER.pack(1, 2, 0, seq, fn_id, 0, len(payload)) + payload)
        small, large = await asyncio.wait_for(small, STEP), await asyncio.wait_for(large, STEP)
    np.testing.assert_array_equal(small, values[:10].reshape(2, 5))
    np.testing.assert_array_equal(large, values.reshape(rows, 5))
    for array in (small, large):
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.writeable
    assert large.base is not None and small.base is None  # the large one owns the received payload
    large[0, 0] = -1.0
    assert large[0, 0] == -1.0


async def test_a_request_too_large_for_one_frame_is_refused_at_the_call(Engine):
    """2^29 x 1 float64 values make a payload of 2^32 + 8 bytes: the frame's length field cannot hold it.
    The array is never touched (its pages are never written), and nothing is sent."""
    port = free_port()
    engine = Engine("127.0.0.1", port)
    await asyncio.wait_for(engine.start(), STEP)
    ui = await UI.connect(port)
    await asyncio.wait_for(engine.wait_connected(), STEP)
    huge = np.zeros((1 << 29, 1))
    with pytest.raises(ValueError, match=r"^request payload too large: 4294967304 bytes, a frame carries at most "
                                         r"4294967295$"):
        engine.init_candles(huge)
    call = engine.get_snapshot(STEP)
    seq = await ui.next_seq()  # the next request is the first one sent
    assert seq == 1
    await ui.answer(seq, [1.0])
    assert (await asyncio.wait_for(call, STEP)).tolist() == [1.0]
    ui.close()
