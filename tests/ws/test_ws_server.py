"""The connection server on loopback: start and bind failures, the upgrade and handshake message,
installation of user interfaces and wait_connected."""

import asyncio
import errno
import gc
import os
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from support.call_order import ends_first

BIND_PREFIX = "RpcTransportError(seq=None, fnId=None): bind failed on "
WAIT_TIMED_OUT = "RpcTransportError(seq=None, fnId=None): wait_connected timed out"


def tcp_connects(host, port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(2)
        return s.connect_ex((host, port)) == 0


async def still_pending(future, seconds=0.3):
    await asyncio.sleep(seconds)
    return not future.done()


# ---- start -----------------------------------------------------------------------------------------


class TestStart:
    async def test_start_listens_on_the_given_address_only(self, tarnel, port, tk):
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
        assert not tcp_connects("127.0.0.1", port)
        future = engine.start()
        assert isinstance(future, asyncio.Future)
        assert await asyncio.wait_for(future, tk.STEP) is None
        assert tcp_connects("127.0.0.1", port)
        # Bound to 127.0.0.1, not to every address: another loopback address is not served.
        with socket.socket() as control:
            control.bind(("0.0.0.0", 0))
            control.listen()
            if tcp_connects("127.0.0.2", control.getsockname()[1]):
                assert not tcp_connects("127.0.0.2", port)

    async def test_second_start_on_the_same_port_fails_and_the_first_server_goes_on(
        self, tarnel, engine, port, connect_ui, tk
    ):
        expected = f"{BIND_PREFIX}127.0.0.1:{port}: {os.strerror(errno.EADDRINUSE)}"
        for again in (engine, tarnel.TarnelEngineAsync("127.0.0.1", port, 5)):
            with pytest.raises(RuntimeError) as info:
                await asyncio.wait_for(again.start(), tk.STEP)
            assert type(info.value) is RuntimeError
            assert info.value.args == (expected,)
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        assert await tk.snapshot_round_trip(engine, ui) == 1

    async def test_bind_failure_on_a_port_held_by_another_listener_and_a_retry(self, tarnel, port, connect_ui, tk):
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
        with socket.socket() as listener:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # beside the test's own holder
            listener.bind(("127.0.0.1", port))
            listener.listen()
            with pytest.raises(RuntimeError) as info:
                await asyncio.wait_for(engine.start(), tk.STEP)
            assert str(info.value) == f"{BIND_PREFIX}127.0.0.1:{port}: {os.strerror(errno.EADDRINUSE)}"
        # A failed start leaves nothing behind and may be repeated.
        assert await asyncio.wait_for(engine.start(), tk.STEP) is None
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE

    async def test_a_host_name_is_looked_up(self, tarnel, port, connect_ui, tk):
        engine = tarnel.TarnelEngineAsync("localhost", port)
        assert await asyncio.wait_for(engine.start(), tk.STEP) is None
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        assert await tk.snapshot_round_trip(engine, ui) == 1

    async def test_an_unresolvable_host_name_fails_with_the_resolver_text(self, tarnel, port):
        engine = tarnel.TarnelEngineAsync("nosuch.invalid", port)
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(engine.start(), 60)
        text = str(info.value)
        prefix = f"{BIND_PREFIX}nosuch.invalid:{port}: "
        assert text.startswith(prefix), text
        assert len(text) > len(prefix)

    async def test_the_address_text_is_host_colon_port_without_changes(self, tarnel, port):
        # "127.0.0.1:80:<port>" is no literal address: its host part "127.0.0.1:80" goes to the resolver.
        host = "127.0.0.1:80"
        engine = tarnel.TarnelEngineAsync(host, port)
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(engine.start(), 60)
        assert str(info.value).startswith(f"{BIND_PREFIX}{host}:{port}: "), str(info.value)

    async def test_dropping_the_engine_after_start_leaves_the_port_listening(self, tarnel, port, connect_ui, tk):
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
        await asyncio.wait_for(engine.start(), tk.STEP)
        del engine
        gc.collect()
        assert tcp_connects("127.0.0.1", port)
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE

    def test_restart_on_the_same_port_after_the_previous_server_closed_its_connections(self, tk):
        # The first server process ends while its user interface is connected, so the server side closes
        # first and its end of the connection lingers; a new server must still bind the port at once.
        with tk.held_port() as port:
            server = textwrap.dedent(
                f"""
                import asyncio, sys
                import py_engine_tarnel as m

                async def main():
                    engine = m.TarnelEngineAsync("127.0.0.1", {port})
                    await engine.start()
                    print("listening", flush=True)
                    await asyncio.wait_for(engine.wait_connected(), 10)
                    print("connected", flush=True)
                    sys.stdin.readline()

                asyncio.run(main())
                """
            )
            for round_ in range(3):
                child = subprocess.Popen(
                    [sys.executable, "-c", server],
                    stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    text=True,
                )
                try:
                    assert child.stdout.readline() == "listening\n", child.stderr.read()
                    with socket.create_connection(("127.0.0.1", port), timeout=5) as ui:
                        ui.sendall(tk.upgrade_request(port))
                        received = b""
                        while len(received) < len(tk.SWITCHING_PROTOCOLS) + len(tk.HANDSHAKE_FRAME):
                            chunk = ui.recv(4096)
                            assert chunk
                            received += chunk
                        assert received == tk.SWITCHING_PROTOCOLS + tk.HANDSHAKE_FRAME
                        assert child.stdout.readline() == "connected\n"
                        child.stdin.close()  # the server process ends with the connection open
                        assert child.wait(timeout=20) == 0, child.stderr.read()
                        assert ui.recv(4096) == b""
                finally:
                    if child.poll() is None:
                        child.kill()
                        child.wait()


# ---- upgrade and handshake -------------------------------------------------------------------------


class TestHandshake:
    async def test_the_first_message_is_the_handshake_text(self, engine, connect_ui, tk):
        ui = await connect_ui()
        assert type(ui.handshake) is str
        assert ui.handshake == '{"type":"handshake","python_library_version":"0.1.0"}'
        assert len(ui.handshake.encode()) == 53

    async def test_exact_switching_protocols_response_then_the_handshake_frame(self, engine, port, raw_clients, tk):
        client = await raw_clients(port)
        await client.send(tk.upgrade_request(port))
        assert await client.read_head() == (
            b"HTTP/1.1 101 Switching Protocols\r\n"
            b"Connection: Upgrade\r\n"
            b"Upgrade: websocket\r\n"
            b"Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            b"\r\n"
        )
        assert await client.read_exactly(55) == b"\x81\x35" + tk.HANDSHAKE.encode()
        # Nothing else follows until a call is made.
        with pytest.raises(asyncio.TimeoutError):
            await client.read_exactly(1, timeout=0.3)

    async def test_the_response_answers_the_clients_own_key(self, engine, port, raw_clients, tk):
        client = await raw_clients(port)
        await client.send(tk.upgrade_request(port, key="x3JJHMbDL1EzLkh9GBhXDw=="))
        head = await client.read_head()
        assert head == (
            b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
            b"Sec-WebSocket-Accept: HSmrc0sMlYUkAGmm5OPpG2HaGWk=\r\n\r\n"
        )

    @pytest.mark.parametrize(
        "request_kwargs",
        [
            {"fields": ["Accept: */*"]},
            {"fields": ["Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13"]},
            {
                "fields": [
                    "Upgrade: websocket",
                    "Connection: Upgrade",
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
                    "Sec-WebSocket-Version: 12",
                ]
            },
            {"method": "POST"},
            {"version": "HTTP/1.0"},
            {"fields": ["Upgrade: websocket", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13"]},
        ],
        ids=["plain-get", "no-key", "version-12", "post", "http-1.0", "no-connection-field"],
    )
    async def test_an_invalid_upgrade_request_gets_no_bytes_only_a_close(
        self, engine, port, raw_clients, server_log, connect_ui, tk, request_kwargs
    ):
        client = await raw_clients(port)
        await client.send(tk.upgrade_request(port, **request_kwargs))
        assert await client.read_to_eof() == b""
        text = await server_log.wait_for(lambda t: tk.ACCEPT_FAILED in t)
        line = next(line for line in text.splitlines(keepends=True) if line.startswith(tk.ACCEPT_FAILED))
        assert line.endswith("\n") and len(line) > len(tk.ACCEPT_FAILED) + 1
        assert tk.REJECTED_ORIGIN not in text
        # The server goes on accepting.
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE

    async def test_garbage_instead_of_a_request_is_closed_and_logged(self, engine, port, raw_clients, server_log, tk):
        client = await raw_clients(port)
        await client.send(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(64) + b"\r\n\r\n")
        assert await client.read_to_eof() == b""
        await server_log.wait_for(lambda t: tk.ACCEPT_FAILED in t)

    async def test_a_peer_that_closes_before_its_request_is_logged_and_harmless(
        self, engine, port, raw_clients, server_log, connect_ui, tk
    ):
        client = await raw_clients(port)
        await client.send(b"GET / HTTP/1.1\r\nHost: x\r\n")
        client.writer.close()
        await server_log.wait_for(lambda t: tk.ACCEPT_FAILED in t)
        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE


# ---- installation and wait_connected -------------------------------------------------------------------


class TestInstallation:
    async def test_a_second_ui_replaces_the_first_without_a_close_frame(
        self, tarnel, port, raw_clients, connect_ui, tk
    ):
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port, 1000)
        await asyncio.wait_for(engine.start(), tk.STEP)
        first = await raw_clients(port)
        await first.upgrade(port, origin="http://127.0.0.1:3000")
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        # Two calls answered by the first user interface advance the counter to 1002.
        for expected_seq in (1000, 1001):
            future = engine.get_snapshot(tk.STEP)
            seq, fn_id, payload = await first.next_request()
            assert (seq, fn_id, payload) == (expected_seq, tk.FN_GET_SNAPSHOT, b"")
            await first.send_binary(tk.response_frame(seq, fn_id, tk.vec_f64([float(seq)])))
            assert (await asyncio.wait_for(future, tk.STEP)).tolist() == [float(expected_seq)]

        second = await connect_ui()
        assert second.handshake == tk.HANDSHAKE
        # The first connection is dropped: end of stream, and not one byte of a close frame before it.
        assert await first.read_to_eof() == b""
        # The next call goes to the second user interface, starting again at start_seq.
        assert await tk.snapshot_round_trip(engine, second) == 1000
        assert await tk.snapshot_round_trip(engine, second) == 1001

    async def test_each_new_connection_starts_again_at_start_seq(self, tarnel, port, connect_ui, tk):
        engine = tarnel.TarnelEngineAsync("127.0.0.1", port, 4294967295)
        await asyncio.wait_for(engine.start(), tk.STEP)
        first = await connect_ui()
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        assert [await tk.snapshot_round_trip(engine, first) for _ in range(3)] == [4294967295, 0, 1]
        second = await connect_ui()
        await asyncio.wait_for(first.ws.wait_closed(), tk.STEP)  # replaced
        assert await tk.snapshot_round_trip(engine, second) == 4294967295

    async def test_wait_connected_resolves_at_once_when_connected(self, tarnel, engine, connect_ui, tk):
        await connect_ui()
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        never_connected = tarnel.TarnelEngineAsync("127.0.0.1", 1)
        for timeout in (None, 0, 0.0, -0.0, 30):
            call = engine.wait_connected(timeout)
            assert await ends_first(call, never_connected.wait_connected(1.0), tk.STEP)  # at once: within 1 s
            assert call.result() is None
        assert await asyncio.wait_for(engine.wait_connected(timeout_secs=0), tk.STEP) is None

    async def test_wait_connected_still_resolves_after_the_ui_went_away_between_calls(
        self, engine, connect_ui, tk
    ):
        ui = await connect_ui()
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        await ui.ws.close()
        await asyncio.sleep(0.2)
        # Nothing watches the installed connection between calls.
        assert await asyncio.wait_for(engine.wait_connected(0), tk.STEP) is None

    @pytest.mark.parametrize("timeout", [0, 0.0, -0.0], ids=["int", "float", "negative-zero"])
    async def test_wait_connected_with_zero_time_out_fails_promptly(self, tarnel, engine, tk, timeout):
        for subject in (engine, tarnel.TarnelEngineAsync("127.0.0.1", 1)):  # listening, and never started
            call = subject.wait_connected(timeout)
            assert await ends_first(call, subject.wait_connected(1.0), tk.STEP)
            assert type(call.exception()) is RuntimeError
            assert call.exception().args == (WAIT_TIMED_OUT,)

    async def test_wait_connected_time_out_is_honoured(self, engine, tk):
        started = time.monotonic()
        with pytest.raises(RuntimeError, match=r"^RpcTransportError\(seq=None, fnId=None\): wait_connected timed out$"):
            await asyncio.wait_for(engine.wait_connected(0.4), tk.STEP)
        elapsed = time.monotonic() - started
        assert 0.35 <= elapsed < 2.0

    async def test_wait_connected_without_time_out_waits_for_a_connection(self, engine, connect_ui, tk):
        waiter = engine.wait_connected()
        assert await still_pending(waiter, 1.0)
        await connect_ui()
        assert await asyncio.wait_for(waiter, tk.STEP) is None

    async def test_one_installation_wakes_every_waiter(self, engine, connect_ui, tk):
        waiters = [engine.wait_connected() for _ in range(25)]
        waiters += [engine.wait_connected(timeout_secs=30) for _ in range(25)]
        await asyncio.sleep(0.3)
        assert not any(w.done() for w in waiters)
        await connect_ui()
        results = await asyncio.wait_for(asyncio.gather(*waiters), tk.STEP)
        assert results == [None] * 50

    async def test_a_ui_connecting_during_a_call_is_installed_when_the_call_ends(self, engine, connect_ui, tk):
        first = await connect_ui()
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        call = engine.get_snapshot(tk.STEP * 2)
        seq, fn_id, _ = await first.next_request()
        assert (seq, fn_id) == (1, tk.FN_GET_SNAPSHOT)

        second = await connect_ui()  # the handshake arrives while the call still waits
        assert second.handshake == tk.HANDSHAKE
        waiter = engine.wait_connected()
        assert await still_pending(waiter, 0.5)
        assert await still_pending(call, 0.0)
        # The first connection stays open until its call has ended.
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(first.ws.recv(), 0.3)

        await first.respond(seq, fn_id, tk.vec_f64([7.0]))
        assert (await asyncio.wait_for(call, tk.STEP)).tolist() == [7.0]
        assert await asyncio.wait_for(waiter, tk.STEP) is None
        await asyncio.wait_for(first.ws.wait_closed(), tk.STEP)
        assert first.ws.protocol.close_rcvd is None  # dropped, no close frame
        assert await tk.snapshot_round_trip(engine, second) == 1

    async def test_a_stalled_peer_holds_up_nobody_and_is_dropped_after_ten_seconds(
        self, engine, port, raw_clients, connect_ui, server_log, tk
    ):
        opened = time.monotonic()  # before connecting: the engine's limit cannot start earlier
        silent = await raw_clients(port)  # TCP open, never a request
        partial = await raw_clients(port)  # half a request
        await partial.send(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        await asyncio.sleep(0.2)

        ui = await connect_ui()
        assert ui.handshake == tk.HANDSHAKE
        await asyncio.wait_for(engine.wait_connected(), tk.STEP)
        assert await tk.snapshot_round_trip(engine, ui) == 1
        assert tk.ACCEPT_FAILED not in server_log.read()

        assert await silent.read_to_eof(timeout=14) == b""
        assert await partial.read_to_eof(timeout=3) == b""
        elapsed = time.monotonic() - opened
        assert 10.0 - 0.001 <= elapsed <= 13.0, elapsed
        text = await server_log.wait_for(lambda t: t.count(tk.ACCEPT_FAILED) >= 2)
        assert all(line.endswith("\n") for line in text.splitlines(keepends=True))
        # The installed connection was not disturbed.
        assert await tk.snapshot_round_trip(engine, ui) == 2
