"""The origin check during the upgrade, seen from clients on loopback: who is let in, the exact 403
refusal, the log lines, and that a refusal changes nothing for the installed connection."""

import asyncio

import pytest

ACCEPTED = [
    pytest.param(None, id="no-origin"),
    pytest.param(b"", id="empty"),
    pytest.param(b"///", id="only-slashes"),
    pytest.param(b"http://example.org\xe9", id="byte-above-126"),
    pytest.param(b"\x80", id="lone-high-byte"),
    pytest.param(b"http://localhost:5173", id="localhost-port"),
    pytest.param(b"http://localhost", id="localhost"),
    pytest.param(b"http://127.0.0.1:8080", id="loopback-port"),
    pytest.param(b"https://127.0.0.1", id="https-loopback"),
    pytest.param(b"https://localhost/", id="https-localhost-slash"),
    pytest.param(b"https://tarnel.app", id="hosted"),
    pytest.param(b"https://beta.tarnel.app:443", id="hosted-beta-port"),
    pytest.param(b"https://beta.tarnel.app//", id="hosted-beta-slashes"),
]

REFUSED = [
    pytest.param(b"null", "null", id="null"),
    pytest.param(b"http://example.org", "http://example.org", id="example"),
    pytest.param(b"http://example.org///", "http://example.org", id="example-slashes"),
    pytest.param(b"HTTP://LOCALHOST", "HTTP://LOCALHOST", id="upper-case"),
    pytest.param(b"http://127.0.0.10", "http://127.0.0.10", id="loopback-lookalike"),
    pytest.param(b"http://localhost.evil.example", "http://localhost.evil.example", id="localhost-subdomain"),
    pytest.param(b"https://tarnel.app.evil.example", "https://tarnel.app.evil.example", id="hosted-subdomain"),
    pytest.param(b"http://tarnel.app", "http://tarnel.app", id="hosted-over-http"),
    pytest.param(b"http://exa\tmple.org", "http://exa\tmple.org", id="inner-tab"),
]


async def upgrade_with_origin(raw_clients, port, tk, origin):
    client = await raw_clients(port)
    await client.send(tk.upgrade_request(port, origin=origin))
    return client


@pytest.mark.parametrize("origin", ACCEPTED)
async def test_accepted_origins_get_the_upgrade_and_the_handshake(
    engine, port, raw_clients, server_log, tk, origin
):
    client = await upgrade_with_origin(raw_clients, port, tk, origin)
    assert await client.read_head() == tk.SWITCHING_PROTOCOLS
    assert await client.read_exactly(len(tk.HANDSHAKE_FRAME)) == tk.HANDSHAKE_FRAME
    await asyncio.wait_for(engine.wait_connected(), tk.STEP)
    # The installed connection carries calls.
    future = engine.get_snapshot(tk.STEP)
    seq, fn_id, payload = await client.next_request()
    assert (seq, fn_id, payload) == (1, tk.FN_GET_SNAPSHOT, b"")
    await client.send_binary(tk.response_frame(seq, fn_id, tk.vec_f64([0.5])))
    assert (await asyncio.wait_for(future, tk.STEP)).tolist() == [0.5]
    text = server_log.read()
    assert tk.REJECTED_ORIGIN not in text and tk.ACCEPT_FAILED not in text


@pytest.mark.parametrize("origin, logged", REFUSED)
async def test_refused_origins_get_a_bare_403_then_end_of_stream(
    engine, port, raw_clients, server_log, tk, origin, logged
):
    client = await upgrade_with_origin(raw_clients, port, tk, origin)
    assert await client.read_to_eof() == b"HTTP/1.1 403 Forbidden\r\n\r\n"
    rejected_line = tk.REJECTED_ORIGIN + logged + "\n"
    text = await server_log.wait_for(lambda t: rejected_line in t and tk.ACCEPT_FAILED in t[t.index(rejected_line) :])
    after = text[text.index(rejected_line) + len(rejected_line) :]
    failed = next(line for line in after.splitlines(keepends=True) if line.startswith(tk.ACCEPT_FAILED))
    assert failed.endswith("\n")
    assert "403" in failed, failed


async def test_the_first_origin_field_decides_and_its_name_is_not_case_sensitive(
    engine, port, raw_clients, server_log, tk
):
    fields = [
        "Upgrade: websocket",
        "Connection: Upgrade",
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
        "Sec-WebSocket-Version: 13",
    ]
    refused = await raw_clients(port)
    await refused.send(
        tk.upgrade_request(port, fields=fields + ["oRiGiN: http://example.org", "Origin: http://localhost"])
    )
    assert await refused.read_to_eof() == tk.FORBIDDEN
    await server_log.wait_for(lambda t: tk.REJECTED_ORIGIN + "http://example.org\n" in t)

    accepted = await raw_clients(port)
    await accepted.send(
        tk.upgrade_request(port, fields=fields + ["ORIGIN: http://localhost", "Origin: http://example.org"])
    )
    assert await accepted.read_head() == tk.SWITCHING_PROTOCOLS
    assert await accepted.read_exactly(len(tk.HANDSHAKE_FRAME)) == tk.HANDSHAKE_FRAME


async def test_the_origin_is_checked_only_for_valid_upgrade_requests(engine, port, raw_clients, server_log, tk):
    client = await raw_clients(port)
    await client.send(tk.upgrade_request(port, method="POST", origin="http://example.org"))
    assert await client.read_to_eof() == b""
    await server_log.wait_for(lambda t: tk.ACCEPT_FAILED in t)
    assert tk.REJECTED_ORIGIN not in server_log.read()


async def test_a_refusal_leaves_the_installed_connection_and_the_counter_alone(
    engine, port, raw_clients, connect_ui, server_log, tk
):
    ui = await connect_ui()
    await asyncio.wait_for(engine.wait_connected(), tk.STEP)
    assert await tk.snapshot_round_trip(engine, ui, (1.0,)) == 1

    for origin in (b"http://example.org", b"null", b"https://tarnel.app.evil.example"):
        client = await upgrade_with_origin(raw_clients, port, tk, origin)
        assert await client.read_to_eof() == tk.FORBIDDEN
    await server_log.wait_for(lambda t: t.count(tk.ACCEPT_FAILED) >= 3)

    # Still the same connection, and the counter went on from where it was.
    assert await tk.snapshot_round_trip(engine, ui, (2.0, 3.0)) == 2
    assert await tk.snapshot_round_trip(engine, ui, ()) == 3


async def test_a_refusal_wakes_no_waiter(engine, port, raw_clients, connect_ui, server_log, tk):
    waiter = engine.wait_connected()
    client = await upgrade_with_origin(raw_clients, port, tk, b"http://example.org")
    assert await client.read_to_eof() == tk.FORBIDDEN
    await server_log.wait_for(lambda t: tk.ACCEPT_FAILED in t)
    await asyncio.sleep(0.3)
    assert not waiter.done()
    with pytest.raises(RuntimeError, match="wait_connected timed out$"):
        await asyncio.wait_for(engine.wait_connected(0), tk.STEP)
    future = engine.get_snapshot(tk.STEP)
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(future, tk.STEP)
    assert str(info.value) == f"RpcTransportError(seq=None, fnId=Some({tk.FN_GET_SNAPSHOT})): no websocket connected"

    ui = await connect_ui()
    assert await asyncio.wait_for(waiter, tk.STEP) is None
    assert await tk.snapshot_round_trip(engine, ui) == 1


async def test_websockets_client_with_a_refused_origin_is_turned_away(engine, port, connect_ui, tk):
    from websockets.exceptions import InvalidStatus

    with pytest.raises(InvalidStatus) as info:
        await connect_ui(origin="http://example.org")
    assert info.value.response.status_code == 403
    ui = await connect_ui(origin="https://tarnel.app")
    assert ui.handshake == tk.HANDSHAKE
