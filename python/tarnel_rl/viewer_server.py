"""The live viewer's hub, in a process of its own (`python -m tarnel_rl.viewer_server --parent PID`): a small
HTTP server on 127.0.0.1 that gathers what every environment of a trainer publishes and passes it on to the
training dashboard (ui/viewer.html) in the user's own browser.

What comes in, per environment (a "seat", numbered from 0 in the order the environments joined):
  - the page's state (candles, positions, equity, last calls): POSTed by the page to
    `/publish?token=P&env=N`, at most 30 times a second while someone watches that seat's candles, once a
    second otherwise (ui/src/viewer-publisher.js);
  - the trainer's side (episode, step, last actions and rewards, observation, steps per second, the
    returns of finished episodes): written by the trainer as JSON lines on this process's stdin, or POSTed
    to `/train?token=P&env=N` by environments in the trainer's worker processes.

What goes out: `GET /events?token=V&env=N` streams server-sent events to a dashboard (`train`: every
seat's latest figures; `episodes`: the episodes finished since the last event; `page`: seat N's page
state), at most 30 a second per dashboard, each dashboard on a thread of its own. `GET /state?token=V&env=N`
answers seat N's latest page state, `GET /stats?token=V` the counters.

The hub belongs to its trainer:
  - Two secrets, made here and said only to the trainer (on stdout): the view token V, which the
    dashboard's address carries (as notebook servers do) and which `/state`, `/stats` and `/events` need;
    and the publish token P, which the pages and workers need to publish.
  - A request that names an origin (every browser's cross-origin request does) must come from the hub's
    own page, or, for publications, from a page origin the trainer allowed (the browser user interface's
    static server); a `Host` other than 127.0.0.1 or localhost (DNS rebinding) is refused too. No
    `Access-Control-Allow-Origin: *`: another site's page can neither read nor write.
  - It ends when its stdin ends or when the trainer's process (`--parent`) ends, whichever comes first:
    a child the trainer forked may hold on to the pipe, but not to the trainer's life.
"""
from __future__ import annotations

import argparse
import errno
import hmac
import http.server
import json
import os
import secrets
import select
import socketserver
import sys
import threading
import time
import urllib.parse
from collections.abc import Callable
from pathlib import Path
from typing import Any

MAX_STATE_BYTES = 8 << 20
MAX_TRAIN_BYTES = 1 << 20
KEEP_ALIVE_SECS = 15.0
EVENT_INTERVAL_SECS = 1 / 30  # the most a dashboard is sent: 30 updates a second
EPISODES_KEPT = 20_000  # finished episodes remembered for the returns curve (the oldest go first)
PARENT_POLL_SECS = 0.5
# The files a dashboard loads: its page and the modules it imports (the charts and what they read).
VIEWER_FILES = ("viewer.html", "src/viewer.js", "src/viewer-state.js", "src/chart.js", "src/book.js",
                "src/candles.js", "src/columns.js", "src/orders.js", "src/errors.js", "src/prng.js",
                "src/returns-chart.js", "src/dashboard-cells.js", "src/draw-schedule.js", "src/series-buckets.js",
                "src/smoothing.js", "src/axis-ticks.js", "src/plot-frame.js", "src/episode-history.js",
                "src/line-chart.js", "src/scalar-charts.js", "src/run-browser.js", "src/stream-replay.js")


class Seat:
    """One environment's place in the hub."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.page: bytes | None = None
        self.page_version = 0
        self.train: Any = None
        self.closed = False
        self.watchers = 0  # dashboards showing this seat's candles


class HubServer:
    """The server in the hub's process: its threads, the seats and the finished episodes."""

    def __init__(self, port: int, ui: Path, view_token: str | None = None, publish_token: str | None = None) -> None:
        self._ui = ui
        self.view_token = view_token or secrets.token_urlsafe(18)
        self.publish_token = publish_token or secrets.token_urlsafe(18)
        self._changed = threading.Condition()
        self._seats: list[Seat] = []
        self._episodes: list[bytes] = []
        self._episodes_dropped = 0  # how many of the oldest were forgotten
        self._version = 0
        self._viewers = 0
        self._closed = False
        self.publications = 0
        self._server = _Server(("127.0.0.1", port), _Handler)  # a taken port raises OSError (EADDRINUSE)
        self._server.hub = self
        self.port: int = self._server.server_address[1]
        self._origins = {f"http://127.0.0.1:{self.port}", f"http://localhost:{self.port}"}
        self._publish_origins = set(self._origins)

    def serve(self) -> None:
        """Serves until `close()`."""
        self._server.serve_forever()

    def close(self) -> None:
        """Stops the server and ends every dashboard's stream. Idempotent."""
        with self._changed:
            if self._closed:
                return
            self._closed = True
            self._changed.notify_all()
        self._server.shutdown()
        self._server.server_close()

    def stats(self) -> dict[str, Any]:
        with self._changed:
            return {"viewers": self._viewers, "publications": self.publications,
                    "envs": [{"label": s.label, "closed": s.closed} for s in self._seats],
                    "episodes": self._episodes_dropped + len(self._episodes)}

    # --- what the trainer says (stdin lines, or /train and /join from its workers) ----------------------

    def command(self, message: dict[str, Any]) -> Any:
        """One message of the trainer's: `join` (answers the new seat's number), `train` (a seat's figures),
        `episode` (a finished episode), `leave` (a closed environment), `allow-origin` (a page origin that
        may publish). A malformed message raises ValueError."""
        op = message.get("op")
        with self._changed:
            if op == "join":
                self._seats.append(Seat(str(message.get("label") or f"env {len(self._seats)}")))
                answer: Any = len(self._seats) - 1
            elif op == "allow-origin":
                origin = str(message["origin"])
                if not origin.startswith(("http://127.0.0.1:", "http://localhost:")):
                    raise ValueError(f"only loopback pages may publish, not {origin}")
                self._publish_origins.add(origin)
                return None
            else:
                seat = self._seat(message.get("env"))
                if op == "train":
                    seat.train = message.get("train")
                elif op == "episode":
                    record = dict(message.get("episode") or {}, env=message["env"])
                    self._episodes.append(json.dumps(record, separators=(",", ":")).encode())
                    if len(self._episodes) > EPISODES_KEPT:
                        del self._episodes[0]
                        self._episodes_dropped += 1
                elif op == "leave":
                    seat.closed = True
                else:
                    raise ValueError(f"unknown message {op!r}")
                answer = None
            self._version += 1
            self._changed.notify_all()
            return answer

    def _seat(self, env: Any) -> Seat:
        if not isinstance(env, int) or isinstance(env, bool) or not 0 <= env < len(self._seats):
            raise ValueError(f"no environment {env!r} joined this hub")
        return self._seats[env]

    # --- called by the request handlers, on the server's threads -----------------------------------------

    def origin_allowed(self, origin: str | None, publishing: bool) -> bool:
        """No origin (a program, or the hub's own page's same-origin request), the hub's own, or for a
        publication a page origin the trainer allowed."""
        if origin is None:
            return True
        with self._changed:
            return origin in (self._publish_origins if publishing else self._origins)

    def publish_page(self, env: Any, state: bytes) -> int:
        """A page's state for seat `env`; answers how many dashboards watch that seat's candles."""
        with self._changed:
            seat = self._seat(env)
            seat.page = state
            seat.page_version += 1
            self.publications += 1
            self._version += 1
            self._changed.notify_all()
            return seat.watchers

    def page_state(self, env: Any) -> bytes | None:
        with self._changed:
            return self._seat(env).page if self._seats else None

    def stream(self, env: int, write: Callable[[bytes], None]) -> None:
        """Writes every change to one dashboard, at most EVENT_INTERVAL_SECS apart, until it goes or the hub
        closes. `env`: the seat whose candles it shows."""
        seen_version, seen_page, seen_episodes = -1, 0, 0
        watched: Seat | None = None
        with self._changed:
            self._viewers += 1
        try:
            while True:
                with self._changed:
                    self._changed.wait_for(lambda: self._closed or self._version != seen_version,
                                           timeout=KEEP_ALIVE_SECS)
                    if self._closed:
                        return
                    if watched is None and 0 <= env < len(self._seats):  # the seat may join after the dashboard
                        watched = self._seats[env]
                        watched.watchers += 1
                    fresh = self._version != seen_version
                    seen_version = self._version
                    chunks = self._changes(watched, seen_page, seen_episodes) if fresh else []
                    if watched is not None:
                        seen_page = watched.page_version
                    seen_episodes = self._episodes_dropped + len(self._episodes)
                # A comment line keeps the stream alive (and finds a dashboard that went) while nothing changes.
                write(b"".join(chunks) if chunks else b": idle\n\n")
                time.sleep(EVENT_INTERVAL_SECS)
        except OSError:  # the dashboard went away
            return
        finally:
            with self._changed:
                self._viewers -= 1
                if watched is not None:
                    watched.watchers -= 1

    def _changes(self, watched: Seat | None, seen_page: int, seen_episodes: int) -> list[bytes]:
        """The events for one dashboard (under the lock)."""
        envs = [{"label": s.label, "closed": s.closed, "train": s.train} for s in self._seats]
        chunks = [b"event: train\ndata: " + json.dumps({"envs": envs}, separators=(",", ":")).encode() + b"\n\n"]
        first = max(0, seen_episodes - self._episodes_dropped)
        if first < len(self._episodes):
            chunks.append(b"event: episodes\ndata: [" + b",".join(self._episodes[first:]) + b"]\n\n")
        if watched is not None and watched.page is not None and watched.page_version != seen_page:
            chunks.append(b"event: page\ndata: " + watched.page + b"\n\n")
        return chunks


class _Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    hub: HubServer


class _Handler(http.server.BaseHTTPRequestHandler):
    server: _Server
    protocol_version = "HTTP/1.1"  # keep-alive: the publisher reuses its connection

    def do_GET(self) -> None:  # noqa: N802 - the base class's naming
        path, query = self._split()
        hub = self.server.hub
        if path in ("/events", "/state", "/stats"):
            if not self._allowed(query, hub.view_token, publishing=False):
                return
            env = _env_of(query, default=0)
            if path == "/events":
                self._events(env)
            elif path == "/state":
                try:
                    state = hub.page_state(env)
                except ValueError as error:
                    self._reply(404, f"{error}\n".encode(), "text/plain")
                    return
                self._reply(200 if state is not None else 204, state or b"", "application/json")
            else:
                self._reply(200, json.dumps(hub.stats()).encode(), "application/json")
            return
        if not self._host_allowed():
            return
        # The page and its modules hold no secret: they are served to anyone on this machine.
        name = "viewer.html" if path in ("/", "/index.html") else path.lstrip("/")
        if name not in VIEWER_FILES:
            self._reply(404, b"not found\n", "text/plain")
            return
        kind = "text/html; charset=utf-8" if name.endswith(".html") else "text/javascript"
        self._reply(200, (hub._ui / name).read_bytes(), kind)

    def do_POST(self) -> None:  # noqa: N802
        path, query = self._split()
        hub = self.server.hub
        if path not in ("/publish", "/train", "/join"):
            self._reply(404, b"not found\n", "text/plain")
            return
        if not self._allowed(query, hub.publish_token, publishing=True):
            return
        limit = MAX_STATE_BYTES if path == "/publish" else MAX_TRAIN_BYTES
        length = int(self.headers.get("Content-Length") or -1)
        if not 0 < length <= limit:
            self.close_connection = True
            self._reply(413 if length > 0 else 411, b"a body of 1 byte to its limit, with its Content-Length\n",
                        "text/plain")
            return
        # One line per event: JSON from JSON.stringify has none, but a stray newline must not split it.
        body = self.rfile.read(length).replace(b"\r", b"").replace(b"\n", b" ")
        try:
            if path == "/publish":
                answer: Any = {"viewers": hub.publish_page(_env_of(query, default=0), body)}
            else:
                message = json.loads(body)
                if not isinstance(message, dict):
                    raise ValueError("a JSON object is wanted")
                if path == "/join":
                    message = {"op": "join", "label": message.get("label")}
                elif message.get("op") not in ("train", "episode", "leave"):
                    raise ValueError(f"unknown message {message.get('op')!r}")
                answer = {"env": hub.command(message)}
        except (ValueError, KeyError) as error:
            self._reply(400, f"{error}\n".encode(), "text/plain")
            return
        self._reply(200, json.dumps(answer).encode(), "application/json")

    def do_OPTIONS(self) -> None:  # noqa: N802 - a preflight: nothing is allowed beyond simple requests
        self._reply(403 if not self.server.hub.origin_allowed(self.headers.get("Origin"), True) else 204, b"",
                    "text/plain")

    def _split(self) -> tuple[str, dict[str, list[str]]]:
        path, _, query = self.path.partition("?")
        return path, urllib.parse.parse_qs(query)

    def _host_allowed(self) -> bool:
        host = (self.headers.get("Host") or "").rsplit(":", 1)[0]
        if host in ("127.0.0.1", "localhost"):
            return True
        self._reply(403, b"this hub answers only to 127.0.0.1 and localhost\n", "text/plain")
        return False

    def _allowed(self, query: dict[str, list[str]], token: str, publishing: bool) -> bool:
        """The request's Host, Origin and token; a refusal is answered here."""
        if not self._host_allowed():
            return False
        if not self.server.hub.origin_allowed(self.headers.get("Origin"), publishing):
            self._reply(403, b"requests from other sites are refused\n", "text/plain")
            return False
        given = (query.get("token") or [""])[0]
        if not hmac.compare_digest(given.encode(), token.encode()):
            self._reply(403, b"a valid token is needed: open the address the trainer printed\n", "text/plain")
            return False
        return True

    def _events(self, env: int) -> None:
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

        self.server.hub.stream(env, write)

    def _reply(self, status: int, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        origin = self.headers.get("Origin")
        # Only the pages the trainer allowed may read the answer to their publication (the browser user
        # interface is served from another port than the hub).
        if origin is not None and status < 400 and self.server.hub.origin_allowed(origin, publishing=True):
            self.send_header("Access-Control-Allow-Origin", origin)
            self.send_header("Vary", "Origin")
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base class's name
        pass


def _env_of(query: dict[str, list[str]], default: int) -> int:
    text = (query.get("env") or [str(default)])[0]
    return int(text) if text.isdigit() else -1


def _watch_parent(parent: int, stop: Callable[[], None]) -> None:
    """Calls `stop` when the process `parent` ends (a pidfd where the kernel has them, else polling)."""
    try:
        fd = os.pidfd_open(parent)
    except (AttributeError, OSError):
        fd = None
    if fd is not None:
        select.select([fd], [], [])
        os.close(fd)
    else:
        while os.getppid() == parent:
            time.sleep(PARENT_POLL_SECS)
    stop()


def _read_commands(server: HubServer) -> None:
    """The trainer's messages, one JSON line each, until its pipe ends; a bad line is dropped (a message
    never stops the hub)."""
    for line in sys.stdin.buffer:
        try:
            message = json.loads(line)
            if isinstance(message, dict):
                server.command(message)
        except (ValueError, KeyError, TypeError):
            pass
    server.close()


def main(argv: list[str] | None = None) -> int:
    """The hub's process: says `listening PORT VIEW_TOKEN PUBLISH_TOKEN` (or `taken`) on stdout, then
    serves until stdin or the parent ends."""
    parser = argparse.ArgumentParser(description="the live viewer's hub")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--ui", type=Path, required=True)
    parser.add_argument("--parent", type=int, default=None, help="the trainer's process id: the hub ends with it")
    args = parser.parse_args(argv)
    try:
        server = HubServer(args.port, args.ui)
    except OSError as error:
        print("taken" if error.errno == errno.EADDRINUSE else f"failed {error}", flush=True)
        return 2
    print(f"listening {server.port} {server.view_token} {server.publish_token}", flush=True)
    threading.Thread(target=_read_commands, args=(server,), name="tarnel-viewer-stdin", daemon=True).start()
    if args.parent is not None:
        threading.Thread(target=_watch_parent, args=(args.parent, server.close), name="tarnel-viewer-parent",
                         daemon=True).start()
    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())
