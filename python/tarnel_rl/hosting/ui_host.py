"""Runs the reference user interface for an engine: in Node.js (the same engine code as the page, with
the `ws` package; the default, and the fastest) or, when asked for, in headless Chromium (the real page,
served from a local static server so that its origin passes the engine's origin check). Everything started here is stopped by `close()`, and none of it outlives
the Python process that started it, however that process ends: the Node.js runner exits at the end of
its stdin, a pipe whose writing end only this process holds; the browser likewise quits when its DevTools
pipe from this process ends (`tarnel_rl.chromium`), and a browser driven by Playwright goes with its
driver, which exits when its own pipe from this process closes; the page's static server is a thread."""
from __future__ import annotations

import asyncio
import fcntl
import functools
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.parse
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from .chromium import CHROMIUM, CHROMIUM_ARGS, HeadlessChromium
from .ui_options import UI_OPTIONS, checked_options  # noqa: F401  (importable from here, as before)

STDERR_SHOWN = 2000  # characters of an exited runner's standard error that its error shows
EXIT_POLL_SECS = 0.05


class UserInterfaceExited(RuntimeError):
    """The user interface's process ended before it connected; the text has its standard error."""


def ui_directory() -> Path:
    """The reference user interface: `$TARNEL_UI_DIR` when set, else the copy installed inside this
    package (`tarnel_rl/ui`, put there by `pip install`), else the project's own `ui/` when running from
    a checkout."""
    override = os.environ.get("TARNEL_UI_DIR")
    package = Path(__file__).resolve().parents[1]  # tarnel_rl/, this file being tarnel_rl/hosting/ui_host.py
    candidates = [Path(override)] if override else [package / "ui", package.parents[1] / "ui"]
    for candidate in candidates:
        if (candidate / "index.html").is_file() and (candidate / "node" / "run-ui.mjs").is_file():
            return candidate
    where = " or ".join(str(c) for c in candidates)
    raise FileNotFoundError(f"the reference user interface (ui/index.html) was not found in {where}")


def _ws_version(ui: Path) -> str:
    """The version of `ws` that the user interface's package-lock.json pins."""
    try:
        lock = json.loads((ui / "package-lock.json").read_text())
        return str(lock["packages"]["node_modules/ws"]["version"])
    except (OSError, ValueError, KeyError):
        return "8"


def _node_packages_cache(ui: Path) -> Path:
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    return cache / "tarnel_rl" / f"node-ws-{_ws_version(ui)}"


def _node_modules_with_ws(ui: Path) -> Path | None:
    """Where the Node.js runner finds `ws`: the user interface's own node_modules, else the cache that
    `node_modules_for_runner` fills; None when neither has it."""
    for modules in (ui / "node_modules", _node_packages_cache(ui) / "node_modules"):
        if (modules / "ws" / "package.json").is_file():
            return modules
    return None


def node_modules_for_runner(ui: Path | None = None) -> Path:
    """The node_modules directory holding the npm package `ws`, which the Node.js runner needs.

    A checkout has it in ui/node_modules once `npm ci` has run there (scripts/setup.sh does it), and a
    wheel built from such a checkout carries it. Otherwise it is installed once, with npm, into the
    user's cache (`~/.cache/tarnel_rl/node-ws-VERSION`, the version that ui/package-lock.json pins),
    saying so on stderr; without npm this raises a RuntimeError that says what to install."""
    ui = ui or ui_directory()
    found = _node_modules_with_ws(ui)
    if found is not None:
        return found
    npm = shutil.which("npm")
    version = _ws_version(ui)
    prefix = _node_packages_cache(ui)
    if npm is None:
        raise RuntimeError(
            f"the Node.js user interface needs the npm package ws, which is not in {ui / 'node_modules'}, and "
            f"npm was not found to install it: install npm (it comes with Node.js), or run `npm ci` in {ui}")
    prefix.mkdir(parents=True, exist_ok=True)
    with open(prefix / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # several processes may start user interfaces at once
        if not (prefix / "node_modules" / "ws" / "package.json").is_file():
            print(f"tarnel_rl: installing the npm package ws@{version} for the Node.js user interface into "
                  f"{prefix} (once)", file=sys.stderr, flush=True)
            result = subprocess.run(
                [npm, "install", "--prefix", str(prefix), "--no-audit", "--no-fund", "--no-save",
                 "--no-package-lock", f"ws@{version}"],
                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
            if result.returncode != 0 or not (prefix / "node_modules" / "ws" / "package.json").is_file():
                raise RuntimeError(f"npm could not install ws@{version} into {prefix} (exit {result.returncode}): "
                                   f"{result.stderr.strip()[-500:]}; run `npm ci` in {ui} instead")
    return prefix / "node_modules"


def _checked_options(options: dict | None) -> dict:
    return checked_options(options)


def page_query(engine_port: int | Sequence[int], seed: int | Sequence[int], host: str = "127.0.0.1",
               options: dict | None = None, viewer: str | None = None) -> str:
    """The query of the page (index.html) that serves the engine on host:engine_port with `seed` and the
    engine `options`; with `viewer`, the page also publishes its state to that hub address. Lists of
    ports and seeds give the query of pages.html, which shows one page per port in one tab."""
    def listed(value: int | Sequence[int]) -> int | str:
        return value if isinstance(value, int) else ",".join(str(int(v)) for v in value)

    fields = {"host": host, "port": listed(engine_port), "seed": listed(seed), **_checked_options(options)}
    if viewer is not None:
        fields["viewer"] = viewer
    return urllib.parse.urlencode(fields, safe=":/")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def browser_available() -> bool:
    """Chromium is there (Playwright is needed only for a browser driven by scripts: automation=True)."""
    return os.path.exists(CHROMIUM)


def node_available() -> bool:
    """Node.js is there, and the npm package `ws` is too or npm can install it."""
    if shutil.which("node") is None:
        return False
    try:
        return _node_modules_with_ws(ui_directory()) is not None or shutil.which("npm") is not None
    except FileNotFoundError:
        return False


class StaticServer:
    """Serves a directory on 127.0.0.1 from a background thread."""

    def __init__(self, directory: Path, port: int = 0) -> None:
        handler = functools.partial(_QuietHandler, directory=str(directory))
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, name="tarnel-ui-http", daemon=True)
        self._thread.start()

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.port}/{path.lstrip('/')}"

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".mjs": "text/javascript", ".js": "text/javascript"}

    def log_message(self, format: str, *args) -> None:  # noqa: A002 - the base class's name
        pass


class NodeUI:
    """The reference user interface's engine and link, run by Node.js: one page, or one page for each of
    several engine ports in one process (`engine_port` and `seed` lists of one length; `pages()` hands
    out one handle per page), each page with its own engine, link and state."""

    kind = "node"
    _closing_all: "asyncio.Future[None] | None" = None  # the closing that its pages' handles share

    def __init__(self, engine_port: int | Sequence[int], seed: int | Sequence[int], host: str = "127.0.0.1",
                 options: dict | None = None, viewer: str | None = None) -> None:
        ui = ui_directory()
        script = ui / "node" / "run-ui.mjs"
        ports = [engine_port] if isinstance(engine_port, int) else [int(p) for p in engine_port]
        seeds = [seed] if isinstance(seed, int) else [int(s) for s in seed]
        if not ports or len(seeds) != len(ports):
            raise ValueError(f"{len(seeds)} seeds for {len(ports)} engine ports")
        if viewer is not None and len(ports) > 1:
            raise ValueError("a Node.js process that publishes to the dashboard hosts one page only")
        self.ports = ports
        self._closing: asyncio.Future | None = None
        extra = []
        for key, value in _checked_options(options).items():
            extra += [f"--{key.replace('_', '-')}", str(value)]
        if shutil.which("node") is None:
            raise RuntimeError("the Node.js user interface needs Node.js 20 or later, and the node command was not "
                               "found: install Node.js (apt-get install nodejs npm), or ask for the browser with "
                               "ui='browser'")
        modules = node_modules_for_runner(ui)
        env = None if modules == ui / "node_modules" else dict(os.environ, TARNEL_UI_NODE_MODULES=str(modules))
        if viewer is not None:  # its token goes through the environment: a command line is readable by all
            env = dict(env or os.environ, TARNEL_VIEWER_PUBLISH=viewer)
        # Its standard error goes to a file, not a pipe: nothing need read it while it runs, and what it
        # said is there when it exits before connecting (a bad option, a missing package).
        self._stderr = tempfile.TemporaryFile()
        self._process = subprocess.Popen(
            ["node", str(script), "--host", host, "--port", ",".join(map(str, ports)),
             "--seed", ",".join(map(str, seeds)), "--quiet", "--watch-parent", *extra],
            # The runner ends when its stdin ends: this process holds the pipe's only writing end (it is not
            # inherited by other children), which the kernel closes however this process ends, SIGKILL
            # included, and whichever thread started the runner. Nothing is ever written to it.
            stdin=subprocess.PIPE,
            # Nothing reads its output: a pipe would fill up over a long run and stall the process.
            stdout=subprocess.DEVNULL,
            stderr=self._stderr,
            env=env,
        )

    def pages(self) -> list["HostedPage"]:
        """One handle per page, in the order of the ports, for the environments that share this process."""
        return [HostedPage(self, port) for port in self.ports]

    def exit_report(self) -> str | None:
        """None while the runner runs; once it has exited, its status and the end of its standard error."""
        status = self._process.poll()
        if status is None:
            return None
        self._stderr.seek(0)
        said = self._stderr.read().decode(errors="replace").strip()
        if len(said) > STDERR_SHOWN:
            said = "..." + said[-STDERR_SHOWN:]
        return f"exited with status {status} before it connected" + (f"; it said:\n{said}" if said else " and said nothing")

    @property
    def process(self) -> subprocess.Popen:
        """The Node.js process (for its pid, or to end it without an event loop at interpreter exit)."""
        return self._process

    async def close(self) -> None:
        """Ends the process (SIGTERM, then SIGKILL after 5 s). Idempotent; callers that close it at the
        same time all wait for the same ending."""
        if self._closing is None:
            self._closing = asyncio.ensure_future(self._end())
        elif self._closing.done():
            return
        await asyncio.shield(self._closing)

    async def _end(self) -> None:
        if self._process.poll() is None:
            self._process.terminate()
            self._close_stdin()
            try:
                await asyncio.to_thread(self._process.wait, 5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                await asyncio.to_thread(self._process.wait)
        self._close_stdin()
        self._stderr.close()

    def _close_stdin(self) -> None:
        if self._process.stdin is not None and not self._process.stdin.closed:
            try:
                self._process.stdin.close()
            except OSError:
                pass


class HostedPage:
    """One page of a user interface that hosts several (a `NodeUI` process, or a `BrowserUI` tab showing
    pages.html): what an environment holds as its user interface. Closing it closes the whole host, so the
    environments that share it close together; they all wait for the same closing."""

    def __init__(self, host: "NodeUI | BrowserUI", port: int) -> None:
        self.host = host
        self.port = port
        self.kind = host.kind

    @property
    def process(self) -> subprocess.Popen | None:
        """The Node.js process that hosts the page (None in a browser)."""
        return getattr(self.host, "process", None)

    def exit_report(self) -> str | None:
        return self.host.exit_report() if isinstance(self.host, NodeUI) else None

    async def screenshot(self, path: str | os.PathLike) -> None:
        if not isinstance(self.host, BrowserUI):
            raise RuntimeError("screenshots need the browser user interface (ui='browser')")
        await self.host.screenshot(path)

    async def close(self) -> None:
        closing = getattr(self.host, "_closing_all", None)
        if closing is None:
            closing = self.host._closing_all = asyncio.ensure_future(self.host.close())
        elif closing.done():
            return
        await asyncio.shield(closing)


class BrowserUI:
    """The reference page in headless Chromium (the system's, found by tarnel_rl.chromium.find_chromium).

    By default the browser runs as a plain process showing the page (`tarnel_rl.chromium`), with nothing
    between the page and its WebSocket; `screenshot` asks the browser itself over its DevTools pipe.
    With `automation=True` Playwright drives it instead, for scripts run in the page (`page`): the driver
    is then told of every WebSocket frame, which costs the page far more per call than its own work.
    `page` is the page to show, relative to the user interface's directory."""

    kind = "browser"
    _closing_all: "asyncio.Future[None] | None" = None  # the closing that its pages' handles share

    def __init__(self) -> None:
        self._playwright = None
        self._browser = None
        self._chromium: HeadlessChromium | None = None
        self._server: StaticServer | None = None
        self.page = None
        self.url: str | None = None  # the page's address
        self.ports: list[int] = []

    def pages(self) -> list[HostedPage]:
        """One handle per page (pages.html shows one per port), in the order of the ports."""
        return [HostedPage(self, port) for port in self.ports]

    @classmethod
    async def open(cls, engine_port: int | Sequence[int], seed: int | Sequence[int], host: str = "127.0.0.1",
                   options: dict | None = None, viewer: str | None = None, page: str = "index.html",
                   automation: bool = False, allow_origin: Callable[[str], None] | None = None) -> "BrowserUI":
        """Starts the browser on `page`; lists of ports and seeds (one per page) show pages.html instead,
        one page per port in one tab (`pages()` hands out one handle per page)."""
        if automation:
            try:
                from playwright.async_api import async_playwright
            except ImportError:
                raise RuntimeError("the browser user interface needs Playwright, which is not installed: pip install "
                                   "playwright (only its driver: the browser is the system's Chromium, "
                                   f"{CHROMIUM}), or use the Node.js user interface, ui='node'") from None
        if not os.path.exists(CHROMIUM):
            raise RuntimeError(f"the browser user interface needs Chromium at {CHROMIUM}, which is missing: "
                               "apt-get install chromium, or use the Node.js user interface, ui='node'")
        ports = [engine_port] if isinstance(engine_port, int) else [int(p) for p in engine_port]
        if not isinstance(engine_port, int):
            if viewer is not None and len(ports) > 1:
                raise ValueError("a browser tab that publishes to the dashboard shows one page only")
            page = "pages.html"
        query = page_query(engine_port, seed, host, options)  # the hub's address, with its token, goes apart
        ui = cls()
        ui.ports = ports
        try:
            ui._server = StaticServer(ui_directory())
            if viewer is not None and allow_origin is not None:  # the hub takes publications from allowed pages only
                allow_origin(ui._server.url("").rstrip("/"))
            url = ui.url = ui._server.url(f"{page}?{query}")
            # Given to the page before its own scripts run, and only to a page of our static server.
            before_page = None if viewer is None else (
                f"if (location.origin === {json.dumps(ui._server.url('').rstrip('/'))}) "
                f"globalThis.tarnelViewerPublish = {json.dumps(viewer)};")
            if not automation:
                # The page is opened over the browser's DevTools pipe, after the script that gives it the hub's
                # address: neither is on a command line, which every local user can read.
                ui._chromium = HeadlessChromium("about:blank", executable=CHROMIUM)
                await asyncio.to_thread(ui._chromium.wait_ready)
                await asyncio.to_thread(ui._chromium.open_page, url, before_page)
                return ui
            ui._playwright = await async_playwright().start()
            # Playwright gives every launch a fresh, temporary profile of its own.
            ui._browser = await ui._playwright.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS)
            ui.page = await ui._browser.new_page(viewport={"width": 1200, "height": 700})
            if before_page is not None:
                await ui.page.add_init_script(before_page)
            await ui.page.goto(url)
        except BaseException:
            await ui.close()
            raise
        return ui

    @property
    def browser_process(self) -> int | None:
        """The process under which the plain browser and all its helpers run (None when driven)."""
        return None if self._chromium is None else self._chromium.pid

    async def screenshot(self, path: str | os.PathLike) -> None:
        if self.page is not None:
            await self.page.screenshot(path=str(path))
            return
        if self._chromium is None:
            raise RuntimeError("the browser is closed")
        Path(path).write_bytes(await asyncio.to_thread(self._chromium.screenshot_png))

    async def close(self) -> None:
        if self._chromium is not None:
            chromium, self._chromium = self._chromium, None
            await asyncio.to_thread(chromium.close)
        if self._browser is not None:
            await self._browser.close()
            self._browser = None
        if self._playwright is not None:
            await self._playwright.stop()
            self._playwright = None
        if self._server is not None:
            self._server.close()
            self._server = None


async def open_ui(kind: str, engine_port: int, seed: int, host: str = "127.0.0.1", options: dict | None = None,
                  viewer: str | None = None, allow_origin: Callable[[str], None] | None = None) -> NodeUI | BrowserUI:
    """Starts the user interface of `kind` for the engine listening on host:engine_port: "node" (Node.js,
    the fastest; "auto" is the same) or "browser" (headless Chromium, only when asked for: it costs
    several times more per call, and matters only for looking at the page). `options` may set the
    engine's `bars`, `window`, `episode_length`, `sync`, `series`, `regime_drift`, `regime_bars` and
    `half_life` (see docs/protocol.md). `viewer`: the hub's publish address
    (`tarnel_rl.watch.viewer`), to which the page then publishes its state; `allow_origin` tells the hub the
    browser page's origin."""
    if kind == "browser":
        return await BrowserUI.open(engine_port, seed, host, options, viewer, allow_origin=allow_origin)
    if kind in ("node", "auto"):
        return NodeUI(engine_port, seed, host, options, viewer)
    raise ValueError(f"unknown user interface kind: {kind!r}")


async def wait_connected(engine: Any, ui: NodeUI | HostedPage | BrowserUI | None, timeout: float | None) -> None:
    """Waits for the engine's first connection, as `engine.wait_connected` does, but raises
    `UserInterfaceExited` (with what the runner said) as soon as the Node.js runner has exited: a runner
    that refused its options must not cost the whole connect time-out."""
    waiting = asyncio.ensure_future(engine.wait_connected(timeout_secs=timeout))
    runner = ui if isinstance(ui, NodeUI) else ui.host if isinstance(ui, HostedPage) else None
    if not isinstance(runner, NodeUI):
        await waiting
        return
    try:
        while not waiting.done():
            report = runner.exit_report()
            if report is not None:
                raise UserInterfaceExited(f"(the Node.js runner, pid {runner.process.pid}) {report}")
            await asyncio.wait([waiting], timeout=EXIT_POLL_SECS)
        waiting.result()
    finally:
        if not waiting.done():
            waiting.cancel()


def runner_command(port: int, seed: int, options: dict | None = None) -> str:
    """The command that runs the Node.js user interface for this port, seed and options in the
    foreground, showing what it says; it works wherever the package is installed."""
    extra = "".join(f" --{key.replace('_', '-')} {value}" for key, value in (options or {}).items())
    return f"python -m tarnel_rl.run_ui --port {port} --seed {seed}{extra}"
