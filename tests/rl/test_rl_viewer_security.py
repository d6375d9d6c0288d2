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
