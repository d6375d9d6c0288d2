"""The trainer's handle on the hub (`ViewerHub`; the hub itself is tarnel_rl.watch.viewer_server), a process of
its own on 127.0.0.1 that passes what the environments publish on to the dashboard in the user's browser.

    hub = ViewerHub()                 # a free port; ViewerHub(8800) for a given one
    hub.url                           # open this in a browser: the dashboard (its address carries the view token)
    seat = hub.join("env 0")          # a place for one environment: seat.publish_url goes to its page
    hub.close()

The hub runs in a process of its own, so that relaying states never takes the trainer's interpreter
lock. It ends when its stdin (a pipe whose writing end the trainer holds) ends or when the trainer's
process ends, however that one ends and whatever children it forked.
"""
from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
import threading
import urllib.error
import urllib.request
import weakref
from pathlib import Path
from typing import Any

from tarnel_rl.hosting.ui_host import ui_directory
from tarnel_rl.watch.viewer_server import MAX_STATE_BYTES, VIEWER_FILES  # noqa: F401  (importable from here, as before)


class ViewerPortTaken(OSError):
    """The viewer's port is used by another program."""

    def __str__(self) -> str:  # the plain sentence, without OSError's "[Errno 98]"
        return str(self.strerror)


def _taken(port: int) -> str:
    return (f"the viewer's port {port} on 127.0.0.1 is in use by another program: give another viewer_port, or "
            "leave it out to take a free one")


class ViewerHub:
    """The hub on 127.0.0.1:`port` (0: a free one), in a process of its own, serving the dashboard from
    `ui` (default: `ui_directory()`). A taken port raises `ViewerPortTaken`."""

    def __init__(self, port: int = 0, ui: Path | None = None) -> None:
        if not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 65535:
            raise ValueError(f"viewer_port must be 1 to 65535, or None for a free one; got {port!r}")
        ui = ui or ui_directory()
        package_parent = str(Path(__file__).resolve().parents[2])  # the folder that holds tarnel_rl/
        path = os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")]))
        self._process = subprocess.Popen(
            [sys.executable, "-m", "tarnel_rl.watch.viewer_server", "--port", str(port), "--ui", str(ui),
             "--parent", str(os.getpid())],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONPATH=path))
        self.owner = os.getpid()
        self._send_lock = threading.Lock()  # the trainer's threads (a step, a log flush) write whole lines
        self._finalizer = weakref.finalize(self, _end_hub, self._process)
        assert self._process.stdout is not None and self._process.stdin is not None
        first = self._process.stdout.readline().decode().split()
        self._process.stdout.close()
        if first[:1] != ["listening"] or len(first) != 4:
            self.close()
            if first[:1] == ["taken"]:
                raise ViewerPortTaken(errno.EADDRINUSE, _taken(port))
            raise RuntimeError(f"the live viewer's server did not start (it said {' '.join(first)!r})")
        self.port: int = int(first[1])
        self.view_token, self.publish_token = first[2], first[3]
        # The trainer's messages must never stall a step: a full pipe (a stalled hub) drops them.
        os.set_blocking(self._process.stdin.fileno(), False)

    @property
    def origin(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def url(self) -> str:
        """The dashboard, to open in a browser (it carries the view token)."""
        return f"{self.origin}/?token={self.view_token}"

    @property
    def publish_url(self) -> str:
        """Where the page of seat 0 publishes its state (`join` gives each seat its own)."""
        return self.publish_url_of(0)

    def publish_url_of(self, env: int) -> str:
        return f"{self.origin}/publish?token={self.publish_token}&env={env}"

    @property
    def process(self) -> subprocess.Popen[bytes]:
        return self._process

    @property
    def viewers(self) -> int:
        """Dashboards connected now."""
        return int(self._get("stats")["viewers"])

    @property
    def publications(self) -> int:
        """States the pages have published."""
        return int(self._get("stats")["publications"])

    def stats(self) -> dict[str, Any]:
        return dict(self._get("stats"))

    def latest(self, env: int = 0) -> dict[str, Any] | None:
        """The last state seat `env`'s page published; None before the first."""
        return self._get(f"state", env=env)

    def join(self, label: str | None = None) -> int:
        """A new seat for one environment; answers its number."""
        answer = post_json(f"{self.origin}/join?token={self.publish_token}", {"label": label})
        return int(answer["env"])

    def send(self, message: dict[str, Any]) -> bool:
        """Writes one message to the hub's stdin without waiting (the trainer's figures); False when it
        was dropped because the hub is behind or gone."""
        line = json.dumps(message, separators=(",", ":")).encode() + b"\n"
        with self._send_lock:
            return self._write_line(line)

    def _write_line(self, line: bytes) -> bool:
        stdin = self._process.stdin
        if stdin is None or stdin.closed:
            return False
        try:
            written = os.write(stdin.fileno(), line)
        except (BlockingIOError, BrokenPipeError, OSError):
            return False
        if written != len(line):  # a partial line would garble the next one: end it as a line of its own
            try:
                os.write(stdin.fileno(), b"\n")
            except OSError:
                pass
            return False
        return True

    def allow_origin(self, origin: str) -> None:
        """Lets a page served from `origin` (a loopback address) publish with the publish token."""
        self.send({"op": "allow-origin", "origin": origin})

    def close(self) -> None:
        """Stops the server (every dashboard's stream ends). Idempotent."""
        self._finalizer()

    def _get(self, path: str, **query: Any) -> Any:
        extra = "".join(f"&{key}={value}" for key, value in query.items())
        with urllib.request.urlopen(f"{self.origin}/{path}?token={self.view_token}{extra}", timeout=10) as response:
            body = response.read()
        return json.loads(body) if body else None


def post_json(url: str, message: dict[str, Any], timeout: float = 10.0) -> Any:
    """POSTs `message` as JSON (text/plain, as the pages do) and answers the decoded answer."""
    request = urllib.request.Request(url, data=json.dumps(message).encode(), method="POST",
                                     headers={"Content-Type": "text/plain"})
    with urllib.request.urlopen(request, timeout=timeout) as response:
        return json.loads(response.read())


def _end_hub(process: subprocess.Popen[bytes]) -> None:
    if process.stdin is not None and not process.stdin.closed:
        try:
            process.stdin.close()  # the hub ends at the end of its stdin
        except OSError:
            pass
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def main(argv: list[str] | None = None) -> int:
    """`python -m tarnel_rl.viewer` runs the hub in the foreground (as before)."""
    from tarnel_rl.watch.viewer_server import main as serve

    return serve(argv)


if __name__ == "__main__":
    sys.exit(main())
