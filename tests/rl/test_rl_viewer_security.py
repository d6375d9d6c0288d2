"""The hub belongs to its trainer: no state without the view token, no publication without the publish
token, nothing from another site's page (its Origin) or through another host name (DNS rebinding), no
`Access-Control-Allow-Origin: *`; and the hub ends with the trainer's process even when a child that the
trainer forked still holds the hub's pipe."""
import http.client
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from rl_support import PYTHON_DIR, wait_until

from tarnel_rl.viewer import ViewerHub  # noqa: E402

EVIL = "http://evil.example"


def request(hub: ViewerHub, method: str, path: str, body: bytes | None = None,
            headers: dict | None = None) -> tuple[int, dict, bytes]:
    connection = http.client.HTTPConnection("127.0.0.1", hub.port, timeout=10)
    try:
        connection.request(method, path, body=body, headers={"Content-Type": "text/plain", **(headers or {})})
        response = connection.getresponse()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
    finally:
        connection.close()


@pytest.fixture
def hub():
    hub = ViewerHub()
    seat = hub.join("env 0")
    assert seat == 0
    yield hub
    hub.close()


def test_tokens_gate_state_and_publication(hub):
    view, publish = hub.view_token, hub.publish_token
    assert view != publish and len(view) >= 20 and f"token={view}" in hub.url and publish not in hub.url
    state = b'{"n": 1}'
    # A forged publication: no token, the view token, a wrong one.
    for query in ("", f"?token={view}&env=0", "?token=guess&env=0"):
        status, _, _ = request(hub, "POST", "/publish" + query, state)
        assert status == 403, query
    assert hub.latest() is None and hub.publications == 0
    status, _, answer = request(hub, "POST", f"/publish?token={publish}&env=0", state)
    assert (status, json.loads(answer)) == (200, {"viewers": 0})
    assert hub.latest() == {"n": 1}
    # The state and the stream need the view token; the publish token does not open them.
    for path in ("/state", "/events", "/stats"):
        for query in ("", f"?token={publish}", "?token="):
            assert request(hub, "GET", path + query)[0] == 403, path + query
    status, headers, body = request(hub, "GET", f"/state?token={view}")
    assert (status, json.loads(body)) == (200, {"n": 1}) and "access-control-allow-origin" not in headers
    # The page and its modules hold no secret.
    assert request(hub, "GET", "/")[0] == 200 and request(hub, "GET", "/src/viewer.js")[0] == 200


@pytest.mark.parametrize("method,path", [("GET", "/state?token={view}"), ("GET", "/events?token={view}"),
                                         ("GET", "/stats?token={view}"),
                                         ("POST", "/publish?token={publish}&env=0")])
def test_requests_from_another_site_are_refused_even_with_the_token(hub, method, path):
    path = path.format(view=hub.view_token, publish=hub.publish_token)
    body = b'{"forged": true}' if method == "POST" else None
    status, headers, _ = request(hub, method, path, body, {"Origin": EVIL})
    assert status == 403 and "access-control-allow-origin" not in headers
    # Another host name that resolves to 127.0.0.1 (DNS rebinding) is refused too.
    assert request(hub, method, path, body, {"Host": f"evil.example:{hub.port}"})[0] == 403
    assert hub.latest() is None


def test_a_page_origin_the_trainer_allowed_may_publish_and_read_its_answer(hub):
    page = "http://127.0.0.1:45678"
    path = f"/publish?token={hub.publish_token}&env=0"
    assert request(hub, "POST", path, b"{}", {"Origin": page})[0] == 403
    hub.allow_origin(page)
    assert wait_until(lambda: request(hub, "POST", path, b'{"n": 2}', {"Origin": page})[0] == 200)
    status, headers, _ = request(hub, "POST", path, b'{"n": 3}', {"Origin": page})
    assert status == 200 and headers["access-control-allow-origin"] == page
    # Only loopback pages may be allowed, and the hub's own page still cannot publish without the token.
    hub.allow_origin(EVIL)
    assert request(hub, "POST", path, b"{}", {"Origin": EVIL})[0] == 403
    assert request(hub, "POST", "/publish?env=0", b"{}", {"Origin": page})[0] == 403
    assert hub.latest() == {"n": 3}


def test_malformed_messages_are_refused_without_harm(hub):
    token = hub.publish_token
    for path, body, status in [
        (f"/train?token={token}", b"[1, 2]", 400), (f"/train?token={token}", b'{"op": "join"}', 400),
        (f"/train?token={token}", b'{"op": "train", "env": 9}', 400), (f"/publish?token={token}&env=7", b"{}", 400),
        (f"/train?token={token}", b"not json", 400), (f"/join?token={token}", b"", 411),
    ]:
        assert request(hub, "POST", path, body)[0] == status, (path, body)
    assert hub.send({"op": "unknown"}) and hub.stats()["envs"] == [{"label": "env 0", "closed": False}]


def test_the_hub_ends_with_its_trainer_though_a_forked_child_holds_its_pipe(tmp_path):
    # The trainer starts a hub, forks a child that lives on (it inherits the hub's pipe), and is killed.
    script = textwrap.dedent(f"""
        import os, sys, time
        sys.path.insert(0, {str(PYTHON_DIR)!r})
        from tarnel_rl.viewer import ViewerHub
        hub = ViewerHub()
        child = os.fork()
        if child == 0:
            time.sleep(60)
            os._exit(0)
        print(hub.process.pid, child, flush=True)
        time.sleep(60)
    """)
    trainer = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    hub_pid, child_pid = (int(n) for n in trainer.stdout.readline().split())
    try:
        os.kill(trainer.pid, signal.SIGKILL)
        trainer.wait(10)
        assert wait_until(lambda: not _alive(hub_pid), timeout=20), "the hub outlived its trainer"
        assert _alive(child_pid)  # the child was still there, holding the pipe
    finally:
        for pid in (child_pid, hub_pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# --- no local process can wear the hub out -------------------------------------------------------------

import resource  # noqa: E402
import socket  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

from tarnel_rl import hub_state  # noqa: E402
from tarnel_rl.ui_host import ui_directory  # noqa: E402


def proc_status(pid: int) -> dict:
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.split()
    return {"threads": int(fields["Threads"][0]), "rss_kib": int(fields["VmRSS"][0])}


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_fds(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


def first_event_within(port: int, token: str, limit: float) -> float:
    """Connects a dashboard and reads until its first event; answers the seconds from before the connect."""
    started = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=limit + 5) as dashboard:
        dashboard.sendall(f"GET /events?token={token}&env=0 HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        received = b""
        while b"\nevent: " not in received and b"\r\n\r\nevent: " not in received:
            chunk = dashboard.recv(65536)
            assert chunk, f"the hub closed the dashboard's stream: {received[:200]!r}"
            received += chunk
            assert time.monotonic() - started < limit + 5
    return time.monotonic() - started


def hold_connections(port: int, count: int) -> list[socket.socket]:
    held = []
    for _ in range(count):
        held.append(socket.create_connection(("127.0.0.1", port), timeout=10))
    return held


def test_idle_and_stalled_connections_leave_a_dashboard_room(hub):
    pid = hub.process.pid
    before = proc_status(pid)
    cpu_before = cpu_seconds(pid)
    held = hold_connections(hub.port, 300)  # idle: they never send a byte
    try:
        # A head that stalls half-way, a publication whose body never comes, and endless header lines.
        stalled = socket.create_connection(("127.0.0.1", hub.port), timeout=10)
        stalled.sendall(b"GET /stats HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: a")
        body = socket.create_connection(("127.0.0.1", hub.port), timeout=10)
        body.sendall(f"POST /publish?token={hub.publish_token}&env=0 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Content-Length: 1000000\r\n\r\n{".encode())
        held += [stalled, body]
        refused_lines = 0
        for _ in range(8):
            endless = socket.create_connection(("127.0.0.1", hub.port), timeout=10)
            held.append(endless)
            try:
                endless.sendall(b"GET / HTTP/1.1\r\nX-Endless: ")
                for _ in range(160):  # 10 MiB each, unless the hub ends it first
                    endless.sendall(b"a" * 65536)
            except OSError:
                refused_lines += 1  # the hub closed it: the line was too long
        assert refused_lines == 8
        # The hub has no thread per connection, and its memory and CPU stay bounded.
        during = proc_status(pid)
        assert during["threads"] <= before["threads"] + 2, (before, during)
        assert during["rss_kib"] < before["rss_kib"] + 64 * 1024, (before, during)
        assert cpu_seconds(pid) - cpu_before < 5.0
        # A dashboard still connects and gets its first event within a second, from before its request.
        assert first_event_within(hub.port, hub.view_token, 1.0) < 1.0
        stats = hub.stats()
        assert stats["pushed_out"] >= 300 - 256 and stats["connections"] <= 256, stats
    finally:
        for connection in held:
            connection.close()


def start_hub_process(nofile: int, *extra: str) -> tuple[subprocess.Popen, int, str]:
    """A hub run directly, with at most `nofile` descriptors."""
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    process = subprocess.Popen([sys.executable, "-m", "tarnel_rl.viewer_server", "--ui", str(ui_directory()), *extra],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               preexec_fn=limit, env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    first = process.stdout.readline().decode().split()
    assert first[:1] == ["listening"], first
    start_hub_process.tokens[process.pid] = (first[2], first[3])
    return process, int(first[1]), first[2]


start_hub_process.tokens = {}  # pid: (view token, publish token)


@pytest.mark.parametrize("bound", ["within the descriptors", "beyond them"])
def test_a_hub_out_of_descriptors_does_not_spin_and_recovers(bound):
    # Within the descriptors (the default) the idle connections push each other out; beyond them (a bound
    # larger than the descriptors allow) accept fails with EMFILE and the hub must wait, not spin.
    extra = () if bound == "within the descriptors" else ("--max-connections", "1000")
    process, port, token = start_hub_process(64, *extra)
    held: list[socket.socket] = []
    try:
        held = hold_connections(port, 150)  # the kernel completes them all: its backlog is 128
        if extra:
            assert wait_until(lambda: open_fds(process.pid) >= 60, timeout=20), open_fds(process.pid)
        cpu_before, window_start = cpu_seconds(process.pid), time.monotonic()
        while time.monotonic() - window_start < 2.0:  # the window the CPU time is measured over
            time.sleep(0.1)
        used = cpu_seconds(process.pid) - cpu_before
        window = time.monotonic() - window_start
        assert used < 0.25 * window, f"the hub used {used:.2f} s of CPU in {window:.2f} s"
        if not extra:
            assert first_event_within(port, token, 1.0) < 1.0
        for connection in held:
            connection.close()
        held = []
        assert first_event_within(port, token, 5.0) < 5.0  # asyncio tries to accept again within a second
    finally:
        for connection in held:
            connection.close()
        process.stdin.close()
        process.wait(10)


def test_labels_figures_states_and_env_numbers_are_bounded(hub):
    token = hub.publish_token
    status, _, _ = request(hub, "POST", f"/join?token={token}", json.dumps({"label": "x" * (1 << 20)}).encode())
    assert status == 413  # a 1 MiB label does not even arrive
    joined = [json.loads(request(hub, "POST", f"/join?token={token}", json.dumps({"label": "y" * 60_000}).encode())[2])
              for _ in range(3)]
    assert [j["env"] for j in joined] == [1, 2, 3]
    labels = [e["label"] for e in hub.stats()["envs"]]
    assert labels[1:] == ["y" * hub_state.MAX_LABEL_CHARS] * 3
    figures = {"op": "train", "env": 1, "train": {"curve": [0.5] * 10_000}}
    status, _, answer = request(hub, "POST", f"/train?token={token}", json.dumps(figures).encode())
    assert status == 400 and b"more than 16384" in answer
    status, _, answer = request(hub, "POST", f"/publish?token={token}&env=0", b"x" * (hub_state.MAX_STATE_BYTES + 1))
    assert status == 413
    for path in (f"/state?token={hub.view_token}&env=\u00b2", f"/events?token={hub.view_token}&env=-1",
                 f"/state?token={hub.view_token}&env=99999999999"):
        status, _, answer = request(hub, "GET", urllib_quote(path))
        assert status == 400 and b"env must be a seat's number" in answer, (path, status, answer)
    status, _, _ = request(hub, "POST", urllib_quote(f"/publish?token={token}&env=\u00b2"), b"{}")
    assert status == 400
    # The train event names no label: each seat's label goes once, in the seats event.
    request(hub, "POST", f"/train?token={token}", json.dumps({"op": "train", "env": 2, "train": {"step": 1}}).encode())
    events = read_events(hub, {"seats", "train"})
    assert b"yyyy" not in events["train"] and len(events["train"]) < 200
    assert [s["label"] for s in json.loads(events["seats"])["seats"]][1] == "y" * hub_state.MAX_LABEL_CHARS


def test_the_pages_states_together_are_bounded():
    state = hub_state.HubState()
    seats = [state.join(None) for _ in range(10)]
    big = b"s" * hub_state.MAX_STATE_BYTES
    kept = hub_state.MAX_STATES_TOTAL_BYTES // hub_state.MAX_STATE_BYTES
    for env in seats[:kept]:
        state.publish_page(env, big)
    with pytest.raises(OverflowError, match="more than"):
        state.publish_page(seats[kept], big)
    state.publish_page(seats[0], b"{}")  # a seat's smaller state frees room for another's
    state.publish_page(seats[kept], b"x" * 1000)
    with pytest.raises(ValueError, match="its 256 seats"):
        for _ in range(hub_state.MAX_SEATS):
            state.join("more")


def urllib_quote(path: str) -> str:
    import urllib.parse
    return urllib.parse.quote(path, safe="/?=&")


def read_events(hub: ViewerHub, wanted: set) -> dict:
    """The data of the first event of each name in `wanted`, from a dashboard's stream."""
    found: dict = {}
    with socket.create_connection(("127.0.0.1", hub.port), timeout=10) as stream:
        stream.sendall(f"GET /events?token={hub.view_token} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        received = b""
        deadline = time.monotonic() + 10
        while not wanted <= set(found) and time.monotonic() < deadline:
            received += stream.recv(65536)
            for block in received.split(b"\n\n"):
                lines = block.split(b"\n")
                if len(lines) >= 2 and lines[-2].startswith(b"event: ") and lines[-1].startswith(b"data: "):
                    found.setdefault(lines[-2][7:].decode(), lines[-1][6:])
    return found


def test_a_stalled_head_is_closed_and_a_stalled_body_answered_408():
    process, port, _ = start_hub_process(1024, "--head-secs", "1", "--body-secs", "1")
    try:
        # The view token is not even needed to hold a connection: the head's time is bounded.
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", port), timeout=20) as stalled:
            stalled.sendall(b"GET /stats HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: a")
            assert stalled.recv(100) == b""  # closed by the hub, without an answer
        assert 0.9 < time.monotonic() - started < 15
        with socket.create_connection(("127.0.0.1", port), timeout=20) as idle:
            assert idle.recv(100) == b""  # an idle connection too
        with socket.create_connection(("127.0.0.1", port), timeout=20) as body:
            body.sendall(b"POST /train?token=x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\n{")
            assert body.recv(100).startswith(b"HTTP/1.1 403")  # no token: refused before its body is read
        # A publisher's body that stalls gets its answer, and its connection ends.
        publish_token = start_hub_process.tokens[process.pid][1]
        with socket.create_connection(("127.0.0.1", port), timeout=20) as body:
            body.sendall(f"POST /train?token={publish_token} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Content-Length: 10\r\n\r\n{".encode())
            answer = b""
            while chunk := body.recv(1000):
                answer += chunk
            assert answer.startswith(b"HTTP/1.1 408") and b"did not arrive within 1 s" in answer
    finally:
        process.stdin.close()
        process.wait(10)


# --- the publish token is on no command line ------------------------------------------------------------

import asyncio  # noqa: E402

from rl_support import requires_node  # noqa: E402
from tarnel_rl import ui_host  # noqa: E402


def command_lines(pids) -> dict:
    lines = {}
    for pid in pids:
        try:
            lines[pid] = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            pass
    return lines


def process_group(pgid: int) -> list[int]:
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if int(Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()[2]) == pgid:
                    members.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return members


@pytest.fixture
def refused_port():
    """A port on which nothing listens (held bound, so that nothing else takes it): the page's link
    retries while its publisher publishes."""
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        yield held.getsockname()[1]


@requires_node
def test_the_node_page_gets_the_publish_token_through_its_environment(hub, refused_port):
    ui = ui_host.NodeUI(refused_port, 1, viewer=hub.publish_url)
    try:
        assert wait_until(lambda: hub.publications >= 1, timeout=30), ui.exit_report()  # it got the address
        lines = command_lines([ui.process.pid, hub.process.pid])
        assert len(lines) == 2 and "run-ui.mjs" in lines[ui.process.pid]
        for line in lines.values():
            assert hub.publish_token not in line and hub.view_token not in line and "token=" not in line, line
    finally:
        asyncio.run(ui.close())


def all_processes() -> list[int]:
    return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]


@pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium is not installed")
@pytest.mark.parametrize("automation", [False, True], ids=["plain browser", "driven by Playwright"])
def test_the_browser_page_gets_the_publish_token_off_its_address_and_command_lines(hub, refused_port, automation):
    if automation:
        pytest.importorskip("playwright.async_api", reason="Playwright is not installed")

    async def open_and_check() -> None:
        ui = await ui_host.BrowserUI.open(refused_port, 1, viewer=hub.publish_url, allow_origin=hub.allow_origin,
                                          automation=automation)
        try:
            assert hub.publish_token not in ui.url and "viewer=" not in ui.url
            published = await asyncio.to_thread(wait_until, lambda: hub.publications >= 1, 60)
            assert published, "the page did not publish: it did not get the hub's address"
            # Every process of this machine: the browser's, Playwright's driver, the hub's.
            lines = command_lines(all_processes() if automation else process_group(ui.browser_process))
            assert len(lines) >= 2 and any("chromium" in line for line in lines.values()), lines
            for line in lines.values():  # (other programs of this machine may carry tokens of their own)
                assert hub.publish_token not in line and (automation or "token=" not in line), line
        finally:
            await ui.close()

    asyncio.run(open_and_check())
