"""The hub, in a process of its own (`python -m tarnel_rl.viewer_server --parent PID`):
a small HTTP server on 127.0.0.1 (aiohttp, one thread) that gathers what every environment of a trainer
publishes and passes it on to the dashboards (ui/viewer.html) in the user's own browser.

What comes in, per environment (a "seat", numbered from 0 in the order the environments joined):
  - the page's state (candles, positions, equity, last calls): POSTed by the page to
    `/publish?token=P&env=N`, at most 30 times a second while someone watches that seat's candles, once a
    second otherwise (ui/src/viewer-publisher.js);
  - the trainer's side (its figures, finished episodes, logged values, the run's name and configuration):
    JSON lines on this process's stdin, or POSTed to `/train?token=P&env=N` by environments in the
    trainer's worker processes (`/join` gives them a seat).

What goes out: `GET /events?token=V&env=N` streams server-sent events to a dashboard (`run`, `seats`,
`train`, `episodes`, `scalars`, and `page`: seat N's page state; see tarnel_rl.hub_state), at most 30 a
second per dashboard. `GET /state?token=V&env=N` answers seat N's latest page state, `GET /stats?token=V`
the counters. With `--runs DIR` it serves past runs instead (`/runs`, `/run?name=`), read-only.

The hub belongs to its trainer, and no other local process can forge its figures or wear it out:
  - Two secrets, made here and said only to the trainer (on stdout): the view token V, which the
    dashboard's address carries and which `/state`, `/stats`, `/events`, `/runs` and `/run` need; and the
    publish token P, which the pages and workers need to publish. Both are compared in constant time.
  - A request that names an origin must come from the hub's own page, or, for publications, from a page
    origin the trainer allowed; a `Host` other than 127.0.0.1 or localhost (DNS rebinding) is refused.
  - Every wait is bounded: a request's head must arrive within HEAD_SECS of the connection (or of the
    previous answer), a body within BODY_SECS, a write to a dashboard within WRITE_SECS. Header lines,
    headers, bodies, labels, figures and page states have size limits; connections are bounded within
    the process's descriptors (tarnel_rl.hub_connections), and when descriptors run out the event loop
    stops accepting for a second rather than spinning.
  - It ends when its stdin ends or when the trainer's process (`--parent`) ends, whichever comes first.
"""
from __future__ import annotations

import argparse
import asyncio
import errno
import hmac
import json
import os
import re
import secrets
import signal
import sys
from pathlib import Path
from typing import Any

from aiohttp import web

from tarnel_rl.watch.hub_connections import MAX_CONNECTIONS, BoundedServer, descriptor_budget
from tarnel_rl.watch.hub_state import MAX_STATE_BYTES, Cursor, HubState  # noqa: F401  (MAX_STATE_BYTES: as before)
from tarnel_rl.watch.run_folder import EPISODES_FILE, RunWriter, list_runs, read_run

MAX_TRAIN_BYTES = 64 << 10  # a POST to /train or /join
MAX_LINE_BYTES = 1 << 20  # a line of the trainer's on stdin (a longer one is dropped)
MAX_VIEWERS = 64  # event streams at once
HEAD_SECS = 10.0  # from a connection (or the previous answer) to a whole request head
BODY_SECS = 10.0
WRITE_SECS = 30.0  # a dashboard that reads nothing for this long is dropped
LINGER_SECS = 1.0  # the unread rest of a refused body is drained this long before closing (not to reset)
KEEP_ALIVE_SECS = 15.0
EVENT_INTERVAL_SECS = 1 / 30  # the most a dashboard is sent: 30 updates a second
HEADER_LIMITS = {"max_line_size": 4096, "max_field_size": 4096, "max_headers": 32}
# The files a dashboard loads, found from its page: the modules it names and those they import.
_PAGE_MODULE = re.compile(rb"""<script[^>]*\ssrc=["'](src/[A-Za-z0-9_-]+\.js)["']""")
_IMPORT = re.compile(rb"""(?:\bfrom|\bimport)\s*\(?\s*["']\./([A-Za-z0-9_-]+\.js)["']""")
# The files every dashboard loaded before it grew (kept for the code that imports the name).
VIEWER_FILES = ("viewer.html", "src/viewer.js", "src/viewer-state.js", "src/chart.js", "src/book.js",
                "src/candles.js", "src/columns.js", "src/orders.js", "src/errors.js", "src/prng.js",
                "src/returns-chart.js", "src/dashboard-cells.js")
LOOPBACK_HOSTS = ("127.0.0.1", "localhost")
_TEXT = "text/plain"


class Refused(Exception):
    """A request answered with an error status and a one-line reason."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status


class Hub:
    """The hub's server: the routes, the checks and the streams; `state` holds what it knows.
    `runs_dir`: serve those past runs (read-only) instead of a live trainer."""

    def __init__(self, ui: Path, runs_dir: Path | None = None, head_secs: float = HEAD_SECS,
                 body_secs: float = BODY_SECS) -> None:
        self.ui = ui
        self.head_secs, self.body_secs = head_secs, body_secs
        self.runs_dir = runs_dir
        self.view_token = secrets.token_urlsafe(18)
        self.publish_token = secrets.token_urlsafe(18)
        self._wake = asyncio.Event()
        self.state = HubState(self._changed)
        self.writer: RunWriter | None = None  # the run folder's, once the trainer names it
        self.viewers = 0
        self.closed = asyncio.Event()
        self.port = 0
        self._origins: set[str] = set()
        self._publish_origins: set[str] = set()
        self.server: BoundedServer | None = None
        self.files = dashboard_files(ui)
        self._reading = asyncio.Semaphore(2)

    def _changed(self) -> None:
        self._wake.set()
        self._wake = asyncio.Event()  # the streams wait on the event of their time

    def listen(self, port: int, max_connections: int) -> None:
        self.server = BoundedServer(self.handle, max_connections, access_log=None, keepalive_timeout=self.head_secs,
                                    lingering_time=LINGER_SECS,
                                    **HEADER_LIMITS)
        self.port = self.server.listen(port)
        self._origins = {f"http://{host}:{self.port}" for host in LOOPBACK_HOSTS}
        self._publish_origins = set(self._origins)

    async def close(self) -> None:
        self.closed.set()
        self._changed()
        if self.server is not None:
            self.server.stop_listening()
            await self.server.shutdown(1.0)
        if self.writer is not None:
            self.writer.close()

    # --- the trainer's messages ------------------------------------------------------------------------

    def command(self, message: dict[str, Any]) -> Any:
        """A message of the trainer's (its stdin: trusted). Besides the seats' messages (HubState.command):
        `allow-origin` (a page origin that may publish), and in `run` the run's `folder` (where the hub
        appends the finished episodes) and `started` (seconds since the epoch, whence `wall` counts)."""
        if message.get("op") == "run" and message.get("folder") and self.writer is None:
            self.writer = writer = RunWriter(Path(str(message["folder"])))
            self.state.on_episode = lambda line: writer.append(EPISODES_FILE, line)
            if isinstance(message.get("started"), (int, float)):
                self.state.started = float(message["started"])
        if message.get("op") == "allow-origin":
            origin = str(message.get("origin"))
            if not origin.startswith(tuple(f"http://{host}:" for host in LOOPBACK_HOSTS)):
                raise ValueError(f"only loopback pages may publish, not {origin}")
            self._publish_origins.add(origin)
            return None
        return self.state.command(message)

    # --- requests --------------------------------------------------------------------------------------

    async def handle(self, request: web.BaseRequest) -> web.StreamResponse:
        assert self.server is not None
        self.server.busy.add(request.protocol)
        try:
            return await self._route(request)
        except Refused as refusal:
            reply = self._reply(request, refusal.status, f"{refusal}\n".encode(), _TEXT)
            if request.method == "POST":
                reply.force_close()  # its body was not read: the connection ends after the answer
            return reply
        finally:
            self.server.busy.discard(request.protocol)

    async def _route(self, request: web.BaseRequest) -> web.StreamResponse:
        path, method = request.path, request.method
        if method == "OPTIONS":  # a preflight: nothing is allowed beyond simple requests
            allowed = self._origin_allowed(request, publishing=True)
            return self._reply(request, 204 if allowed else 403, b"", _TEXT)
        if method == "POST" and path in ("/publish", "/train", "/join") and self.runs_dir is None:
            self._check(request, self.publish_token, publishing=True)
            return await self._post(request, path)
        if method not in ("GET", "HEAD"):
            raise Refused(404 if method == "POST" else 405, "not here")
        if path in ("/events", "/state", "/stats", "/runs", "/run"):
            self._check(request, self.view_token, publishing=False)
            return await self._get(request, path)
        self._check_host(request)
        # The page and its modules hold no secret: they are served to anyone on this machine.
        name = "viewer.html" if path in ("/", "/index.html") else path.lstrip("/")
        if name not in self.files:
            raise Refused(404, "not found")
        kind = "text/html; charset=utf-8" if name.endswith(".html") else (
            "text/css" if name.endswith(".css") else "text/javascript")
        return self._reply(request, 200, (self.ui / name).read_bytes(), kind)

    async def _get(self, request: web.BaseRequest, path: str) -> web.StreamResponse:
        if path in ("/runs", "/run"):
            return await self._past_runs(request, path)
        env = _env_of(request)
        if path == "/events":
            return await self._events(request, env)
        if path == "/stats":
            assert self.server is not None
            stats = {**self.state.stats(self.viewers), "connections": self.server.open_connections(),
                     "pushed_out": self.server.pushed_out}
            return self._reply(request, 200, json.dumps(stats).encode(), "application/json")
        try:
            page = self.state.seat(env).page if self.state.seats else None
        except ValueError as error:
            raise Refused(404, str(error)) from None
        return self._reply(request, 200 if page is not None else 204, page or b"", "application/json")

    async def _past_runs(self, request: web.BaseRequest, path: str) -> web.StreamResponse:
        if self.runs_dir is None:
            raise Refused(404, "this hub serves a live trainer: past runs are served by "
                               "python -m tarnel_rl.dashboard RUNS_DIR")
        runs_dir = self.runs_dir
        # Reading a long run takes a while: on a thread, never the loop's, and a few at a time (memory).
        async with self._reading:
            if path == "/runs":
                answer: Any = {"runs": await asyncio.to_thread(list_runs, runs_dir)}
            else:
                try:
                    answer = await asyncio.to_thread(read_run, runs_dir, request.query.get("name", ""))
                except ValueError as error:
                    raise Refused(400, str(error)) from None
                except FileNotFoundError as error:
                    raise Refused(404, str(error)) from None
            body = await asyncio.to_thread(lambda: json.dumps(answer, separators=(",", ":")).encode())
        return self._reply(request, 200, body, "application/json")

    async def _post(self, request: web.BaseRequest, path: str) -> web.StreamResponse:
        limit = MAX_STATE_BYTES if path == "/publish" else MAX_TRAIN_BYTES
        length = request.content_length
        if length is None or length <= 0:
            raise Refused(411, "a body of 1 byte to its limit, with its Content-Length")
        if length > limit:
            raise Refused(413, f"a body of {length} bytes, more than {limit}")
        try:
            body = await asyncio.wait_for(request.content.readexactly(length), self.body_secs)
        except asyncio.TimeoutError:
            raise Refused(408, f"the body did not arrive within {self.body_secs:g} s") from None
        except asyncio.IncompleteReadError:
            raise Refused(400, "the body ended early") from None
        # One line per event: JSON from JSON.stringify has none, but a stray newline must not split it.
        body = body.replace(b"\r", b"").replace(b"\n", b" ")
        try:
            if path == "/publish":
                answer: Any = {"viewers": self.state.publish_page(_env_of(request), body)}
            else:
                message = json.loads(body)
                if not isinstance(message, dict):
                    raise ValueError("a JSON object is wanted")
                if path == "/join":
                    message = {"op": "join", "label": message.get("label")}
                elif message.get("op") not in ("train", "episode", "leave", "label", "scalars"):
                    raise ValueError(f"unknown message {message.get('op')!r}")
                answer = {"env": self.state.command(message)}
        except OverflowError as error:
            raise Refused(413, str(error)) from None
        except (ValueError, KeyError, TypeError) as error:
            raise Refused(400, str(error)) from None
        return self._reply(request, 200, json.dumps(answer).encode(), "application/json")

    async def _events(self, request: web.BaseRequest, env: int) -> web.StreamResponse:
        if self.viewers >= MAX_VIEWERS:
            raise Refused(503, f"{MAX_VIEWERS} dashboards are connected already")
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream", "Cache-Control": "no-store"})
        response.force_close()
        await response.prepare(request)
        cursor, watched, seen = Cursor(), None, -1
        self.viewers += 1
        try:
            while not self.closed.is_set():
                if self.state.version == seen:
                    try:
                        await asyncio.wait_for(self._wake.wait(), KEEP_ALIVE_SECS)
                    except asyncio.TimeoutError:
                        pass
                    if self.closed.is_set():
                        break
                if watched is None and 0 <= env < len(self.state.seats):  # the seat may join after the dashboard
                    watched = self.state.seats[env]
                    watched.watchers += 1
                seen = self.state.version
                chunks = self.state.events(cursor, watched)
                # A comment line keeps the stream alive (and finds a dashboard that went) while nothing changes.
                await asyncio.wait_for(response.write(b"".join(chunks) if chunks else b": idle\n\n"), WRITE_SECS)
                await asyncio.sleep(EVENT_INTERVAL_SECS)
        except (ConnectionError, asyncio.TimeoutError, RuntimeError):
            pass  # the dashboard went away, or reads nothing
        finally:
            self.viewers -= 1
            if watched is not None:
                watched.watchers -= 1
        return response

    # --- checks and answers ----------------------------------------------------------------------------

    def _check_host(self, request: web.BaseRequest) -> None:
        if (request.headers.get("Host") or "").rsplit(":", 1)[0] not in LOOPBACK_HOSTS:
            raise Refused(403, "this hub answers only to 127.0.0.1 and localhost")

    def _origin_allowed(self, request: web.BaseRequest, publishing: bool) -> bool:
        """No origin (a program, or the hub's own page's same-origin request), the hub's own, or for a
        publication a page origin the trainer allowed."""
        origin = request.headers.get("Origin")
        return origin is None or origin in (self._publish_origins if publishing else self._origins)

    def _check(self, request: web.BaseRequest, token: str, publishing: bool) -> None:
        """The request's Host, Origin and token."""
        self._check_host(request)
        if not self._origin_allowed(request, publishing):
            raise Refused(403, "requests from other sites are refused")
        if not hmac.compare_digest(request.query.get("token", "").encode(), token.encode()):
            raise Refused(403, "a valid token is needed: open the address the trainer printed")

    def _reply(self, request: web.BaseRequest, status: int, body: bytes, kind: str) -> web.Response:
        headers = {"Content-Type": kind, "Cache-Control": "no-store"}
        origin = request.headers.get("Origin")
        # Only the pages the trainer allowed may read the answer to their publication (the browser user
        # interface is served from another port than the hub).
        if origin is not None and status < 400 and origin in self._publish_origins:
            headers.update({"Access-Control-Allow-Origin": origin, "Vary": "Origin"})
        return web.Response(status=status, body=body if request.method != "HEAD" else None, headers=headers)


def dashboard_files(ui: Path) -> frozenset[str]:
    """viewer.html and the modules it loads, transitively (no other file of the user interface)."""
    try:
        page = (ui / "viewer.html").read_bytes()
    except OSError:
        return frozenset()
    found = {"viewer.html"}
    waiting = [name.decode() for name in _PAGE_MODULE.findall(page)]
    while waiting:
        name = waiting.pop()
        if name in found:
            continue
        try:
            text = (ui / name).read_bytes()
        except OSError:
            continue
        found.add(name)
        waiting += [f"src/{module.decode()}" for module in _IMPORT.findall(text)]
    return frozenset(found)


def _env_of(request: web.BaseRequest) -> int:
    text = request.query.get("env", "0")
    if not (text.isascii() and text.isdigit() and len(text) <= 6):
        raise Refused(400, f"env must be a seat's number, not {text[:20]!r}")
    return int(text)


class _TrainerLines(asyncio.Protocol):
    """The trainer's messages on stdin, one JSON line each, until the pipe ends; a bad or overlong line
    is dropped (a message never stops the hub)."""

    def __init__(self, hub: Hub) -> None:
        self._hub = hub
        self._buffer = bytearray()
        self._skipping = False  # inside a line longer than MAX_LINE_BYTES

    def data_received(self, data: bytes) -> None:
        self._buffer += data
        while (end := self._buffer.find(b"\n")) >= 0:
            line = bytes(self._buffer[:end])
            del self._buffer[:end + 1]
            if self._skipping:
                self._skipping = False
                continue
            try:
                message = json.loads(line)
                if isinstance(message, dict):
                    self._hub.command(message)
            except (ValueError, KeyError, TypeError, OverflowError):
                pass
        if len(self._buffer) > MAX_LINE_BYTES:
            self._buffer.clear()
            self._skipping = True

    def connection_lost(self, exc: Exception | None) -> None:
        self._hub.closed.set()


async def serve(args: argparse.Namespace) -> int:
    loop = asyncio.get_running_loop()
    hub = Hub(args.ui, runs_dir=args.runs, head_secs=args.head_secs, body_secs=args.body_secs)
    try:
        hub.listen(args.port, descriptor_budget() if args.max_connections is None else args.max_connections)
    except OSError as error:
        if args.runs is not None:
            print(f"tarnel_rl: cannot listen on 127.0.0.1:{args.port}: {error.strerror}", file=sys.stderr, flush=True)
        else:
            print("taken" if error.errno == errno.EADDRINUSE else f"failed {error}", flush=True)
        return 2
    if args.runs is not None:  # in the foreground, for a person: the address to open
        print(f"tarnel_rl: past runs of {args.runs} at http://127.0.0.1:{hub.port}/?token={hub.view_token}&runs=1",
              file=sys.stderr, flush=True)
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(signal_number, hub.closed.set)
    else:
        print(f"listening {hub.port} {hub.view_token} {hub.publish_token}", flush=True)
        await loop.connect_read_pipe(lambda: _TrainerLines(hub), sys.stdin.buffer)
        if args.parent is not None:
            _watch_parent(loop, args.parent, hub.closed.set)
    await hub.closed.wait()
    await hub.close()
    return 0


def _watch_parent(loop: asyncio.AbstractEventLoop, parent: int, stop: Any) -> None:
    """Calls `stop` when the process `parent` ends (a pidfd where the kernel has them, else polling)."""
    try:
        fd = os.pidfd_open(parent)
    except (AttributeError, OSError):
        fd = None
    if fd is not None:
        loop.add_reader(fd, stop)
        return

    def poll() -> None:
        if os.getppid() != parent:
            stop()
        else:
            loop.call_later(0.5, poll)

    poll()


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="the training dashboard's hub")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--ui", type=Path, required=True)
    parser.add_argument("--parent", type=int, default=None, help="the trainer's process id: the hub ends with it")
    parser.add_argument("--runs", type=Path, default=None, help="serve these past runs, read-only")
    parser.add_argument("--max-connections", type=int, default=None,
                        help=f"open connections at most (default: {MAX_CONNECTIONS}, within the descriptors)")
    parser.add_argument("--head-secs", type=float, default=HEAD_SECS, help="the time a request's head may take")
    parser.add_argument("--body-secs", type=float, default=BODY_SECS, help="the time a request's body may take")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    """The hub's process: says `listening PORT VIEW_TOKEN PUBLISH_TOKEN` (or `taken`) on stdout, then
    serves until stdin or the parent ends. With --runs it serves past runs until interrupted."""
    return asyncio.run(serve(parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main())
