"""The live viewer's hub: a small HTTP server on 127.0.0.1 that takes the state the driven page publishes
and passes it on to any number of read-only viewers in the user's own browser.

    hub = ViewerHub()                 # a free port; ViewerHub(8800) for a given one
    hub.url                           # open this in a browser: the viewer page
    hub.publish_url                   # give this to the page (`--viewer` or `&viewer=`): it POSTs its state here
    hub.close()

The page (ui/src/viewer-publisher.js) POSTs its whole state as JSON at most 30 times a second while
viewers watch (once a second while none do); the answer tells it how many watch. Viewers get the latest
state as server-sent events (`GET /events`), each on a thread of its own: a slow viewer skips states and
holds up no one, and none of this touches the engine's link. `GET /state` answers the latest state,
`GET /stats` how many watch and how many states came.

The server runs in a process of its own (`python -m tarnel_rl.viewer --port N`), so that relaying
states never takes the trainer's interpreter lock: in the trainer's process its threads slowed the
steps and the publications both. It ends when its stdin ends, a pipe whose writing end only the
trainer's process holds, so it never outlives the trainer, however that one ends.
"""
from __future__ import annotations

import argparse
import errno
import http.server
import json
import os
import socketserver
import subprocess
import sys
import threading
import urllib.request
import weakref
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tarnel_rl.ui_host import ui_directory

MAX_STATE_BYTES = 8 << 20
KEEP_ALIVE_SECS = 15.0
# The files a viewer loads: its page and the modules it imports (the chart and what the chart reads).
VIEWER_FILES = ("viewer.html", "src/viewer.js", "src/viewer-state.js", "src/chart.js", "src/book.js",
                "src/candles.js", "src/columns.js", "src/orders.js", "src/errors.js", "src/prng.js")


class ViewerPortTaken(OSError):
    """The viewer's port is used by another program."""


def _taken(port: int) -> str:
    return (f"the viewer's port {port} on 127.0.0.1 is in use by another program: give another viewer_port, or "
            "leave it out to take a free one")


class ViewerHub:
    """The hub on 127.0.0.1:`port` (0: a free one), in a process of its own, serving the viewer from `ui`
    (default: `ui_directory()`). A taken port raises `ViewerPortTaken`."""

    def __init__(self, port: int = 0, ui: Path | None = None) -> None:
        if not isinstance(port, int) or isinstance(port, bool) or not 0 <= port <= 65535:
            raise ValueError(f"viewer_port must be 1 to 65535, or None for a free one; got {port!r}")
        ui = ui or ui_directory()
        package_parent = str(Path(__file__).resolve().parents[1])
        path = os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")]))
        self._process = subprocess.Popen(
            [sys.executable, "-m", "tarnel_rl.viewer", "--port", str(port), "--ui", str(ui)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=dict(os.environ, PYTHONPATH=path), text=True)
        self._finalizer = weakref.finalize(self, _end_hub, self._process)
        assert self._process.stdout is not None
        first = self._process.stdout.readline().split()
        self._process.stdout.close()
        if first[:1] != ["listening"]:
            self.close()
            if first[:1] == ["taken"]:
                raise ViewerPortTaken(errno.EADDRINUSE, _taken(port))
            raise RuntimeError(f"the live viewer's server did not start (it said {' '.join(first)!r})")
        self.port: int = int(first[1])

    @property
    def url(self) -> str:
        """The viewer page, to open in a browser."""
        return f"http://127.0.0.1:{self.port}/"

    @property
    def publish_url(self) -> str:
        """Where the page publishes its state."""
        return f"http://127.0.0.1:{self.port}/publish"

    @property
    def process(self) -> subprocess.Popen[str]:
        return self._process

    @property
    def viewers(self) -> int:
        """Viewers connected now."""
        return int(self._get("stats")["viewers"])

    @property
    def publications(self) -> int:
        """States the page has published."""
        return int(self._get("stats")["publications"])

    def latest(self) -> dict[str, Any] | None:
        """The last state the page published; None before the first."""
        return self._get("state")

    def close(self) -> None:
        """Stops the server (every viewer's stream ends). Idempotent."""
        self._finalizer()

    def _get(self, path: str) -> Any:
        with urllib.request.urlopen(self.url + path, timeout=10) as response:
            body = response.read()
        return json.loads(body) if body else None


def _end_hub(process: subprocess.Popen[str]) -> None:
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


class HubServer:
    """The server itself, in the hub's process: its threads and the latest state."""

    def __init__(self, port: int, ui: Path) -> None:
        self._ui = ui
        self._changed = threading.Condition()
        self._state: bytes | None = None
        self._version = 0
        self._viewers = 0
        self._closed = False
        self.publications = 0
        self._server = _Server(("127.0.0.1", port), _Handler)  # a taken port raises OSError (EADDRINUSE)
        self._server.hub = self
        self.port: int = self._server.server_address[1]

    def serve(self) -> None:
        """Serves until `close()`."""
        self._server.serve_forever()

    def stats(self) -> dict[str, int]:
        with self._changed:
            return {"viewers": self._viewers, "publications": self.publications}

    def close(self) -> None:
        """Stops the server and ends every viewer's stream. Idempotent."""
        with self._changed:
            if self._closed:
                return
            self._closed = True
            self._changed.notify_all()
        self._server.shutdown()
        self._server.server_close()

    # --- called by the request handlers, on the server's threads -----------------------------------------

    def _publish(self, state: bytes) -> int:
        with self._changed:
            self._state = state
            self._version += 1
            self.publications += 1
            self._changed.notify_all()
            return self._viewers

    def _stream(self, write: Callable[[bytes], None]) -> None:
        """Writes every new state to one viewer until it goes or the hub closes."""
        seen = 0
        with self._changed:
            self._viewers += 1
        try:
            while True:
                with self._changed:
                    self._changed.wait_for(lambda: self._closed or self._version != seen, timeout=KEEP_ALIVE_SECS)
                    if self._closed:
                        return
                    state, fresh = self._state, self._version != seen
                    seen = self._version
                # A comment line keeps the stream alive (and finds a viewer that went) while nothing changes.
                write(b"data: " + state + b"\n\n" if fresh and state is not None else b": idle\n\n")
        except OSError:  # the viewer went away
            return
        finally:
            with self._changed:
                self._viewers -= 1


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    hub: HubServer


class _Handler(http.server.BaseHTTPRequestHandler):
    server: _Server
    protocol_version = "HTTP/1.1"  # keep-alive: the publisher reuses its connection

    def do_GET(self) -> None:  # noqa: N802 - the base class's naming
        path = self.path.split("?", 1)[0]
        if path == "/events":
            self._events()
        elif path == "/state":
            state = self.server.hub._state
            self._reply(200 if state is not None else 204, state or b"", "application/json")
        elif path == "/stats":
            self._reply(200, json.dumps(self.server.hub.stats()).encode(), "application/json")
        else:
            name = "viewer.html" if path in ("/", "/index.html") else path.lstrip("/")
            if name not in VIEWER_FILES:
                self._reply(404, b"not found\n", "text/plain")
                return
            kind = "text/html; charset=utf-8" if name.endswith(".html") else "text/javascript"
            self._reply(200, (self.server.hub._ui / name).read_bytes(), kind)

    def do_POST(self) -> None:  # noqa: N802
        if self.path.split("?", 1)[0] != "/publish":
            self._reply(404, b"not found\n", "text/plain")
            return
        length = int(self.headers.get("Content-Length") or -1)
        if not 0 < length <= MAX_STATE_BYTES:
            self.close_connection = True
            self._reply(413 if length > 0 else 411, b"a state of 1 byte to 8 MiB, with its Content-Length\n", "text/plain")
            return
        # One line per event: JSON from JSON.stringify has none, but a stray newline must not split it.
        state = self.rfile.read(length).replace(b"\r", b"").replace(b"\n", b" ")
        viewers = self.server.hub._publish(state)
        self._reply(200, json.dumps({"viewers": viewers}).encode(), "application/json")

    def do_OPTIONS(self) -> None:  # noqa: N802 - a browser's preflight, should a page send one
        self._reply(204, b"", "text/plain")

    def _events(self) -> None:
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True

        def write(chunk: bytes) -> None:
            self.wfile.write(chunk)
            self.wfile.flush()

        self.server.hub._stream(write)

    def _reply(self, status: int, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        # The page that publishes is served from another port (the browser host) or from no origin (Node.js).
        self.send_header("Access-Control-Allow-Origin", "*")
        self.send_header("Access-Control-Allow-Methods", "GET, POST, OPTIONS")
        self.send_header("Access-Control-Allow-Headers", "Content-Type")
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass


def main(argv: list[str] | None = None) -> int:
    """The hub's process: says `listening PORT` (or `taken`) on stdout, then serves until stdin ends."""
    parser = argparse.ArgumentParser(description="the live viewer's hub")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--ui", type=Path, default=None)
    args = parser.parse_args(argv)
    try:
        server = HubServer(args.port, args.ui or ui_directory())
    except OSError as error:
        print("taken" if error.errno == errno.EADDRINUSE else f"failed {error}", flush=True)
        return 2
    print(f"listening {server.port}", flush=True)

    def watch_stdin() -> None:
        while sys.stdin.buffer.read(4096):
            pass
        server.close()

    threading.Thread(target=watch_stdin, name="tarnel-viewer-stdin", daemon=True).start()
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())
