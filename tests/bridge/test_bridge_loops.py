"""How finished calls reach their event loops: one registration per loop, gone with the loop; several loops
in several threads; uvloop; and what the results own. (A loop closed with calls in flight: test_bridge_futures.)"""

import asyncio
import gc
import os
import socket
import struct
import threading
import weakref

import numpy as np
import pytest
from websockets.asyncio.client import connect

from support.ports import held_port, start_on_held_port
from support.unraisable import unraisable  # noqa: F401 (fixture)
from test_bridge_futures import STEP, UI, served_engine

FN_GET_SNAPSHOT, FN_GET_OHLC, FN_INIT_CANDLES = 12, 15, 100
HEADER = struct.Struct("<BBHIHHI")
NO_CONNECTION = "RpcTransportError(seq=None, fnId=Some(12)): no websocket connected"
NEVER_STARTED = 1  # the port of engines that never listen


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
    engine = Engine("127.0.0.1", NEVER_STARTED)

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

    shared = (Engine("127.0.0.1", NEVER_STARTED), threading.Lock())
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
    engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
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
    engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
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


# The event loop drives the link: a raw user interface on a blocking socket, so that the page can act while
# no loop runs. Whatever it sends from a loop's thread goes through `send`: the module may be reading on that
# very thread, and loopback's buffers take far less than a large answer (128 KiB at first here).

class RawUI:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=STEP)
        self.sock.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                          "Sec-WebSocket-Version: 13\r\n\r\n".encode())
        received = b""
        while not received.endswith(b'"0.1.0"}'):
            chunk = self.sock.recv(4096)
            assert chunk, "closed before the greeting"
            received += chunk

    def next_request(self):
        """(seq, fn_id) of the next request: a 2-byte frame header and the 16-byte RPC header."""
        data = b""
        while len(data) < 18:
            chunk = self.sock.recv(18 - len(data))
            assert chunk, "closed"
            data += chunk
        _, _, _, seq, fn_id, _, _ = HEADER.unpack_from(data, 2)
        return seq, fn_id

    async def send(self, data):
        """Sends from a worker thread while the calling loop goes on running."""
        await asyncio.to_thread(self.sock.sendall, data)

    def frame(self, seq, fn_id, payload):
        """A masked binary WebSocket frame carrying a Response."""
        message = HEADER.pack(1, 2, 0, seq, fn_id, 0, len(payload)) + payload
        n = len(message)
        length = bytes([n]) if n < 126 else (bytes([126]) + struct.pack(">H", n) if n < 1 << 16
                                             else bytes([127]) + struct.pack(">Q", n))
        mask = os.urandom(4)
        masked = (np.frombuffer(message, np.uint8) ^ np.resize(np.frombuffer(mask, np.uint8), n)).tobytes()
        return bytes([0x82, 0x80 | length[0]]) + length[1:] + mask + masked

    def closed_within(self, seconds):
        self.sock.settimeout(seconds)
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False


def snapshot_payload(value):
    return struct.pack("<Id", 1, value)


def ohlc_payload(rows):
    return struct.pack("<II", rows, 5) + np.arange(rows * 5, dtype="<f8").tobytes()


def test_a_page_that_replaces_another_while_no_loop_runs_is_installed_at_once(Engine):
    """Installing happens on the worker threads: the replaced page is dropped while the engine's loop is
    stopped, and the next call goes to the new page."""
    loop = asyncio.new_event_loop()
    try:
        async def start():
            return await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)

        async def connected():
            await asyncio.wait_for(engine.wait_connected(), STEP)

        engine, port = loop.run_until_complete(start())
        first = RawUI(port)
        loop.run_until_complete(connected())
        second = RawUI(port)  # the loop is not running
        assert first.closed_within(STEP)

        async def call():
            return engine.get_snapshot(STEP)

        future = loop.run_until_complete(call())
        seq, fn_id = second.next_request()
        second.sock.sendall(second.frame(seq, fn_id, snapshot_payload(7.0)))  # small: the kernel takes it at once
        assert loop.run_until_complete(asyncio.wait_for(future, STEP)).tolist() == [7.0]
    finally:
        loop.close()


def test_large_messages_hand_the_link_over_and_back(Engine, unraisable):  # noqa: F811
    """A large answer moves on the link's own thread while its loop stops watching: small calls after it are
    driven by the loop again, a loop closed in the middle of one lets go of everything, and a new loop takes
    over."""
    large = ohlc_payload(100_000)  # 4 MB, above the size moved off the loops

    async def rounds(engine, ui):
        for i in range(3):
            call = engine.get_ohlc(STEP)
            seq, fn_id = await asyncio.to_thread(ui.next_request)
            await ui.send(ui.frame(seq, fn_id, large))
            np.testing.assert_array_equal(await asyncio.wait_for(call, STEP),
                                          np.arange(500_000, dtype="<f8").reshape(100_000, 5))
            for value in (1.0, 2.0):
                call = engine.get_snapshot(STEP)
                seq, fn_id = await asyncio.to_thread(ui.next_request)
                await ui.send(ui.frame(seq, fn_id, snapshot_payload(value + i)))
                assert (await asyncio.wait_for(call, STEP)).tolist() == [value + i]

    async def serve():
        engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
        ui = await asyncio.to_thread(RawUI, port)
        await asyncio.wait_for(engine.wait_connected(), STEP)
        await rounds(engine, ui)
        return engine, ui

    engine, ui = asyncio.run(serve())

    # Half of a large answer arrives, then its loop is closed with the call pending.
    loop = asyncio.new_event_loop()

    async def start_large():
        return engine.get_ohlc(STEP)

    pending = loop.run_until_complete(start_large())
    seq, fn_id = ui.next_request()
    frame = ui.frame(seq, fn_id, large)
    loop.run_until_complete(ui.send(frame[: len(frame) // 2]))
    loop.run_until_complete(asyncio.sleep(0.2))  # a moment for the loop to read the head and step back
    loop.close()
    # Read by the link's own thread (not this one, so a blocking send is safe): reported, then lost.
    ui.sock.sendall(frame[len(frame) // 2:])
    assert unraisable.wait_for("a call's delivery: RuntimeError: Event loop is closed", STEP), unraisable.texts()
    assert not pending.done()

    async def again():
        await rounds(engine, ui)
        await asyncio.wait_for(engine.close(), STEP)

    asyncio.run(again())
    ui.sock.close()


@pytest.mark.parametrize("kind", ["asyncio", "uvloop"])
def test_a_large_message_ends_while_another_registered_loop_is_not_running(Engine, kind):
    """The loop that steps back for a large message leaves it to the link's own thread, not to the other
    loops that are registered: those may not be running."""
    new_loop = pytest.importorskip("uvloop").new_event_loop if kind == "uvloop" else asyncio.new_event_loop
    with held_port() as port:  # from the engine's making to its start
        engine = Engine("127.0.0.1", port)
        idle = new_loop()  # registered by its one call below, then never run again

        async def no_connection():
            with pytest.raises(RuntimeError):
                await asyncio.wait_for(engine.get_snapshot(STEP), STEP)

        idle.run_until_complete(no_connection())

        async def main():
            await asyncio.wait_for(engine.start(), STEP)
            ui = await asyncio.to_thread(RawUI, port)
            await asyncio.wait_for(engine.wait_connected(), STEP)
            for _ in range(2):
                call = engine.get_ohlc(STEP)
                seq, fn_id = await asyncio.to_thread(ui.next_request)
                await ui.send(ui.frame(seq, fn_id, ohlc_payload(100_000)))
                assert (await asyncio.wait_for(call, STEP)).shape == (100_000, 5)
            await asyncio.wait_for(engine.close(), STEP)
            ui.sock.close()

        try:
            with asyncio.Runner(loop_factory=new_loop) as runner:
                runner.run(main())
        finally:
            idle.close()
