"""The engine of one environment and the page that serves it: starting the engine on its port, starting
(or taking) the user interface and waiting for it to connect, stopping both, and the texts that say
which engine and which page a failure was on."""
from __future__ import annotations

import subprocess
import sys
import weakref
from typing import Any

import numpy as np

import py_engine_tarnel as tarnel
from tarnel_rl.env.page_options import page_option, same_option
from tarnel_rl.hosting import ui_host
from tarnel_rl.watch.dashboard import Seat, print_address, take_seat

UI_KINDS = ("auto", "node", "browser")
# How the module's failures of the link and of the page begin (see docs/module.md, "When something fails").
LINK_ERRORS = ("RpcTransportError", "RpcError")
RENDER_MODES = ("human", "rgb_array")


def check_page_choices(ui: str | None, port: Any, render_mode: str | None, viewer_port: Any) -> None:
    """The environment's choices of page, port and rendering, before anything starts."""
    if ui is None and port is None:
        raise ValueError("with ui=None the port of the external user interface must be given")
    if ui is not None and ui not in UI_KINDS:
        raise ValueError(f"ui must be 'node', 'browser', 'auto' (Node.js) or None, got {ui!r}")
    _check_port("port", port)
    if render_mode is not None and render_mode not in RENDER_MODES:
        raise ValueError(f"render_mode must be 'human', 'rgb_array' or None, got {render_mode!r}")
    _check_port("viewer_port", viewer_port)
    if viewer_port is not None and render_mode != "human":
        raise ValueError(f"viewer_port is the live viewer's, which only render_mode='human' starts (render_mode "
                         f"is {render_mode!r})")


def _check_port(name: str, port: Any) -> None:
    if port is None:
        return
    if isinstance(port, bool) or not isinstance(port, (int, np.integer)) or not 1 <= port <= 65535:
        raise ValueError(f"{name} must be 1 to 65535, or None for a free one; got {port!r}")


def end_process(process: subprocess.Popen[bytes]) -> None:
    """At interpreter exit, for an environment that was never closed: end its Node.js user interface,
    which would otherwise go on trying to reconnect forever."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except Exception:
            process.kill()


class PageLink:
    """One engine and its page. `ui_kind` None: a page of the user's own connects to `host:port`.

    Invariant: `engine` is set once the engine listens and `ui` once a page was started or taken; both
    go back to None when `shut_down` stops them, the page first (so that it does not retry a closed port)."""

    def __init__(self, ui_kind: str | None, host: str, port: int | None, series_seed: int,
                 ui_options: dict[str, Any], timeout: float, connect_timeout: float | None) -> None:
        self.ui_kind = ui_kind
        self.host = host
        self.port = port
        self.series_seed = series_seed
        self.ui_options = ui_options
        self.timeout = timeout
        self.connect_timeout = connect_timeout
        self.engine: tarnel.TarnelEngineAsync | None = None
        self.ui: ui_host.NodeUI | ui_host.HostedPage | ui_host.BrowserUI | None = None
        self.process: subprocess.Popen[bytes] | None = None
        self.seat: Seat | None = None  # on the trainer's dashboard, with render_mode="human"
        self._finalizer: weakref.finalize[Any, Any] | None = None

    def take_seat(self, viewer_port: int | None) -> Seat:
        """A seat on the trainer's dashboard (its server starts with the first): before anything else
        starts, so that a taken port is one clear line."""
        self.seat, started = take_seat(viewer_port)
        if started:
            print_address(self.seat.url)
        return self.seat

    async def start_engine(self) -> None:
        auto_port = self.port is None
        port = self.port or 0
        for attempt in range(5):
            if auto_port:
                port = ui_host.free_port()
            engine = tarnel.TarnelEngineAsync(self.host, port)
            try:
                await engine.start()
                break
            except RuntimeError as error:
                # Another process may take a free port between the look-up and the bind.
                if "bind failed" in str(error) and not auto_port:
                    raise RuntimeError(f"the engine cannot listen on {self.host}:{port}, which another program "
                                       f"uses: give another port, or port=None for a free one ({error})") from error
                if not auto_port or attempt == 4 or "bind failed" not in str(error):
                    raise
        self.engine, self.port = engine, port

    async def connect_page(self, page: ui_host.HostedPage | None = None) -> tarnel.TarnelEngineAsync:
        """Starts the user interface (or takes `page`, one of a Node.js process that several environments
        share: tarnel_rl.vector_env), waits for it to connect and answers the engine."""
        engine, port = self.engine, self.port
        assert engine is not None and port is not None
        publish = None if self.seat is None else self.seat.publish_url
        if page is not None:
            self.ui = page
        elif self.ui_kind is not None:
            self.ui = await ui_host.open_ui(self.ui_kind, port, self.series_seed, self.host, self.ui_options,
                                            viewer=publish,
                                            allow_origin=None if self.seat is None else self.seat.allow_origin)
        if self.ui is not None:
            self.process = getattr(self.ui, "process", None)
            if self.process is not None:
                self._finalizer = weakref.finalize(self, end_process, self.process)
        if self.seat is not None and self.ui_kind is None:
            print(f"tarnel_rl: the page of your own for the engine on {self.host}:{port} publishes to the dashboard "
                  f"with viewer={publish} in its query", file=sys.stderr, flush=True)
        try:
            await ui_host.wait_connected(engine, self.ui, self.connect_timeout)
        except ui_host.UserInterfaceExited as error:
            raise RuntimeError(f"the user interface for the engine on {self.host}:{port} {error}") from None
        except RuntimeError as error:
            raise RuntimeError(self._not_connected(error)) from error
        return engine

    async def shut_down(self) -> None:
        """Stops the user interface first (so that it does not retry a closed port), then the engine and
        leaves the dashboard."""
        ui, self.ui = self.ui, None
        try:
            if ui is not None:
                await ui.close()
        finally:
            engine, self.engine = self.engine, None
            try:
                if engine is not None:
                    await engine.close()
            finally:
                self.leave_dashboard()

    def leave_dashboard(self) -> None:
        if self.seat is not None:
            self.seat.leave()
            self.seat = None

    def end_process(self) -> None:
        """Ends the Node.js process if it is still there; a no-op otherwise (and when done before)."""
        if self._finalizer is not None:
            self._finalizer()

    async def screenshot(self, path: str) -> None:
        """Saves the page as a PNG; only with the browser user interface."""
        # A browser, or a page of a tab that several pages share.
        if not isinstance(self.ui, (ui_host.BrowserUI, ui_host.HostedPage)) or self.ui.kind != "browser":
            raise RuntimeError("screenshots need the browser user interface (ui='browser')")
        await self.ui.screenshot(path)

    def note_where(self, error: RuntimeError | TimeoutError) -> None:
        """The module's texts say what failed, not where: a failure of the link or a time-out gets a note
        saying which engine and which page."""
        if self.engine is not None and (isinstance(error, TimeoutError) or str(error).startswith(LINK_ERRORS)):
            error.add_note(f"tarnel_rl: the engine on {self.host}:{self.port}, {self.describe_ui()}")

    def describe_ui(self) -> str:
        """Which page serves the engine, for the notes added to errors."""
        if self.ui_kind is None:
            return f"served by a user interface of your own (ui=None) that connects to ws://{self.host}:{self.port}"
        if self.process is not None:
            status = self.process.poll()
            ended = "" if status is None else f", which has exited with status {status}"
            return f"served by the Node.js user interface (pid {self.process.pid}{ended})"
        if isinstance(self.ui, ui_host.BrowserUI) and self.ui.url is not None:
            return f"served by the page {self.ui.url} in headless Chromium"
        return f"served by the {self.ui_kind} user interface"

    def _not_connected(self, error: RuntimeError) -> str:
        within = "" if self.connect_timeout is None else f" within {self.connect_timeout:g} s"
        head = f"no user interface connected to the engine on {self.host}:{self.port}{within} ({error})"
        if self.ui_kind is None:
            return (f"{head}: start yours for this port, for example serve {ui_host.ui_directory()} from 127.0.0.1 "
                    f"and open index.html?{self._page_query()}, or run {self._runner_command()}")
        return f"{head}; {self.describe_ui()}: run {self._runner_command()} by hand to see what it says"

    def _page_query(self) -> str:
        return ui_host.page_query(self.port or 0, self.series_seed, self.host, self.ui_options,
                                  None if self.seat is None else self.seat.publish_url)

    def _runner_command(self) -> str:
        return ui_host.runner_command(self.port or 0, self.series_seed, self.ui_options)

    def check_external_page(self, config: dict[str, Any], own_candles: bool) -> None:
        """With ui=None: the page of the user's own must run this environment's series and options, which
        the environment cannot pass on to it. A page that differs is refused, saying how to start the
        right one. `own_candles`: the environment sends its candles, so the page's seed does not matter."""
        found, wanted = [], []
        if not own_candles and config.get("candle_source") == "synthetic" and config.get("seed") != self.series_seed:
            found.append(f"seed {config.get('seed')}")
            wanted.append(f"series_seed={self.series_seed}")
        for key, value in self.ui_options.items():
            have = page_option(config, key)
            if have is not None and not same_option(have, value):
                found.append(f"{key} {have}")
                wanted.append(f"{key}={value!r}")
        if not found:
            return
        raise RuntimeError(
            f"the user interface connected to {self.host}:{self.port} runs {', '.join(found)}, but this environment "
            f"asks for {', '.join(wanted)}, and with ui=None it cannot pass them on: open the page as "
            f"index.html?{self._page_query()}, or run {self._runner_command()}, "
            "or give the environment the page's settings")
