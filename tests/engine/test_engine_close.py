"""close() and `async with`: the engine stops listening, drops its connection, fails what is in flight and
what comes later with "engine closed", and gives its port back at once."""

import asyncio

import pytest

from support.ports import can_listen
from support.tcp_table import delivered_and_read, until

FN_GET_SNAPSHOT, FN_GET_OHLC = 12, 15
CLOSED = "engine closed"


def transport_text(seq, fn_id, message):
    def option(value):
        return "None" if value is None else f"Some({value})"
    return f"RpcTransportError(seq={option(seq)}, fnId={option(fn_id)}): {message}"


async def test_close_fails_everything_in_flight_and_after(make_link, fails_with, wire):
    link = await make_link()
    link.ui.on(FN_GET_OHLC, wire.silence())
    link.ui.on(FN_GET_SNAPSHOT, wire.silence())
    in_flight = link.engine.get_ohlc(30.0)
    await link.ui.next_request()
    queued = link.engine.get_snapshot(30.0)  # sent behind the call in flight, waits in line for its answer
    await link.ui.next_request()
    assert await asyncio.wait_for(link.engine.close(), wire.QUICK) is None
    await fails_with(RuntimeError, transport_text(1, FN_GET_OHLC, CLOSED), in_flight)
    await fails_with(RuntimeError, transport_text(2, FN_GET_SNAPSHOT, CLOSED), queued)
    await link.ui.wait_closed()
    await fails_with(RuntimeError, transport_text(None, FN_GET_SNAPSHOT, CLOSED), link.engine.get_snapshot())
    await fails_with(RuntimeError, transport_text(None, None, CLOSED), link.engine.wait_connected())
    await fails_with(RuntimeError, transport_text(None, None, CLOSED), link.engine.start())
    assert await asyncio.wait_for(link.engine.close(), wire.QUICK) is None  # idempotent


async def test_close_ends_waiters_and_frees_the_port_for_a_new_engine(tarnel, make_link, fails_with, wire):
    link = await make_link(connected=False)
    waiter = link.engine.wait_connected()
    await asyncio.sleep(0.05)
    await asyncio.wait_for(link.engine.close(), wire.QUICK)
    await fails_with(RuntimeError, transport_text(None, None, CLOSED), waiter)
    # The port stays held for the test, so nobody else can have taken it meanwhile.
    with pytest.raises(OSError):
        await asyncio.wait_for(asyncio.open_connection("127.0.0.1", link.port), wire.QUICK)
    assert can_listen(link.port)
    async with tarnel.TarnelEngineAsync("127.0.0.1", link.port) as again:
        await asyncio.wait_for(again.start(), wire.QUICK)  # the same port, at once


async def test_async_with_gives_the_engine_and_closes_it_on_error(tarnel, fails_with, wire):
    with wire.held_port() as port:
        with pytest.raises(KeyError):
            async with tarnel.TarnelEngineAsync("127.0.0.1", port) as engine:
                assert type(engine) is tarnel.TarnelEngineAsync
                await asyncio.wait_for(engine.start(), wire.QUICK)
                assert not can_listen(port)
                raise KeyError("the block's own error propagates")
        assert can_listen(port)
    await fails_with(RuntimeError, transport_text(None, FN_GET_SNAPSHOT, CLOSED), engine.get_snapshot())


async def test_close_drops_an_upgrade_in_progress(make_link, wire):
    link = await make_link(connected=False)
    reader, writer = await asyncio.wait_for(asyncio.open_connection("127.0.0.1", link.port), wire.QUICK)
    writer.write(b"GET / HTTP/1.1\r\n")  # half a request: the upgrade is still waiting for the rest
    # The engine has accepted the connection and read the half request (a connection it had not accepted yet
    # would be reset with its listener instead).
    assert await until(lambda: delivered_and_read(link.port, writer.get_extra_info("sockname")[1]))
    await asyncio.wait_for(link.engine.close(), wire.QUICK)
    assert await asyncio.wait_for(reader.read(), wire.QUICK) == b""
    writer.close()
