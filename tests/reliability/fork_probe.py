"""Runs engines across multiprocessing's start methods; prints one JSON line with what the children saw.

    python fork_probe.py fork|forkserver|spawn

The parent starts an engine (so the module's worker threads exist), serves one call on it, then starts two
child processes with the given method. Each child starts an engine of its own, connects a user interface
to it and makes a call; under fork it also calls the engine it inherited from the parent, which must fail
at once. Afterwards the parent's engine must still work."""

import asyncio
import json
import multiprocessing
import struct
import sys
import time
from pathlib import Path

import py_engine_tarnel as tarnel
from websockets.asyncio.client import connect

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for support.ports
from support.ports import can_listen, held_port, start_on_held_port  # noqa: E402

HEADER = struct.Struct("<BBHIHHI")
ORIGIN = "http://localhost:5173"
STEP = 10.0


async def answer_one_call(engine, port, value):
    """Connects a user interface that answers one get_snapshot with [value]; returns the call's result.

    The greeting comes before the engine installs the page, so a call made right after it may still go to
    the page this one replaces (one that closed its side): that call fails with a link error, which empties
    the slot, and the call is made again."""
    # The engine reads nothing between calls, so it never answers the closing handshake: do not wait for it.
    async with connect(f"ws://127.0.0.1:{port}", origin=ORIGIN, compression=None, open_timeout=STEP,
                       close_timeout=0.1) as ws:
        await asyncio.wait_for(ws.recv(), STEP)  # the greeting
        for _ in range(3):
            await asyncio.wait_for(engine.wait_connected(STEP), STEP)
            call = asyncio.ensure_future(engine.get_snapshot(STEP))
            request = asyncio.ensure_future(ws.recv())
            await asyncio.wait({call, request}, timeout=STEP, return_when=asyncio.FIRST_COMPLETED)
            if request.done():
                _, _, _, seq, fn_id, _, _ = HEADER.unpack_from(request.result())
                payload = struct.pack("<Id", 1, value)
                await ws.send(HEADER.pack(1, 2, 0, seq, fn_id, 0, len(payload)) + payload)
                return (await asyncio.wait_for(call, STEP)).tolist()
            request.cancel()
            if not (call.done() and isinstance(call.exception(), RuntimeError)):
                raise TimeoutError(f"no request and no failure within {STEP} s")
        raise AssertionError("three calls went to pages already replaced")


async def child_main(inherited):
    seen = {}
    if inherited is not None:
        started = time.monotonic()
        try:
            await asyncio.wait_for(inherited.get_snapshot(STEP), STEP)
            seen["inherited"] = "no error"
        except RuntimeError as error:
            seen["inherited"] = str(error)
        seen["inherited_seconds"] = time.monotonic() - started
        seen["inherited_close"] = await asyncio.wait_for(inherited.close(), STEP)
    engine, port = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), STEP)
    async with engine:
        seen["own"] = await answer_one_call(engine, port, 7.0)
    return seen


def child(results, inherited_engines):
    inherited = inherited_engines[0] if inherited_engines else None
    results.put(asyncio.run(child_main(inherited)))


def main(method):
    with held_port() as port:  # until the check that the closed engine gave it back
        run(method, port)


def run(method, port):
    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
    report = {"method": method}

    async def serve(value):
        if value == 1.0:
            await asyncio.wait_for(engine.start(), STEP)
        return await answer_one_call(engine, port, value)

    report["parent_before"] = asyncio.run(serve(1.0))
    context = multiprocessing.get_context(method)
    results = context.Queue()
    # The engine object itself goes to fork children only: it cannot be pickled.
    inherited = [engine] if method == "fork" else []
    children = [context.Process(target=child, args=(results, inherited)) for _ in range(2)]
    for process in children:
        process.start()
    report["children"] = [results.get(timeout=60) for _ in children]
    for process in children:
        process.join(30)
    report["exit_codes"] = [process.exitcode for process in children]
    report["parent_after"] = asyncio.run(serve(2.0))
    # A child holding copies of the engine's descriptors must not keep its port once the engine closes.
    sleeper = context.Process(target=time.sleep, args=(30,))
    sleeper.start()

    async def close():
        await asyncio.wait_for(engine.close(), STEP)

    try:
        asyncio.run(close())
        report["port_free_after_close"] = can_listen(port)
    finally:
        sleeper.terminate()
        sleeper.join(10)
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1])
