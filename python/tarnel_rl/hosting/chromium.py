"""Headless Chromium showing one page, as a plain browser process: no automation layer between the page
and its WebSocket, so that nothing copies its frames (a driven browser reports every frame to its driver).

Its lifetime hangs on a pipe. The browser is started with `--remote-debugging-pipe`: it reads DevTools
commands from its fd 3 and ends when that pipe ends, and the only writing end is held by this process
(not inherited by any other child). However this process ends, SIGKILL included and whichever thread
started the browser, the kernel closes that end and the browser quits. Nothing is sent on the pipe
unless a page is opened over it (`open_page`: the address and a script to run before the page's own, which
stay off the command line) or a screenshot is asked for (`Page.captureScreenshot`, through a session
that is detached again).

A small bash parent waits for the browser and then removes its temporary profile; it holds no end of the
pipe, so it lives exactly as long as the browser."""
from __future__ import annotations

import base64
import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

# The browser's command goes by other names on other systems; the first found on PATH is used. When none
# is, CHROMIUM is Debian's path, which then does not exist: callers test that and skip or explain.
CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable")


def find_chromium(names: tuple[str, ...] = CHROMIUM_NAMES, path: str | None = None) -> str:
    """The full path of the first of `names` found on `path` (default: PATH), else /usr/bin/chromium."""
    for name in names:
        found = shutil.which(name, path=path)
        if found:
            return found
    return "/usr/bin/chromium"


CHROMIUM = find_chromium()
# Flags for a browser on a machine without network access beyond loopback.
CHROMIUM_ARGS = [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
]

# The bash parent: starts the browser in the background with the pipe's ends as its fds 3 and 4, drops
# its own copies of them, waits, then removes the profile. $1 and $2 are the pipe's fds here, $3 the
# profile; the browser's command line follows.
_SUPERVISOR = ('read_fd=$1 write_fd=$2 profile=$3; shift 3; '
               '"$@" 3<&"$read_fd" 4>&"$write_fd" 0</dev/null & '
               'browser=$!; eval "exec $read_fd<&- $write_fd>&-"; '
               'wait "$browser"; status=$?; rm -rf -- "$profile"; exit "$status"')


def _above_stdio(fd: int) -> int:
    """`fd` moved to a number above 9, close-on-exec, so that mapping it onto 3 or 4 cannot clash."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class HeadlessChromium:
    """One headless Chromium process showing `url` in a window of `width` x `height` pixels."""

    def __init__(self, url: str, width: int = 1200, height: int = 700, executable: str = CHROMIUM) -> None:
        self._profile = Path(tempfile.mkdtemp(prefix="tarnel-chromium-"))
        to_browser_read, self._to_browser = map(_above_stdio, os.pipe())
        self._from_browser, from_browser_write = map(_above_stdio, os.pipe())
        command = [executable, *CHROMIUM_ARGS, "--remote-debugging-pipe", f"--user-data-dir={self._profile}",
                   f"--window-size={width},{height}", url]
        log = open(self._profile / "browser.log", "wb")
        try:
            self.process = subprocess.Popen(
                ["/bin/bash", "-c", _SUPERVISOR, "tarnel-chromium", str(to_browser_read), str(from_browser_write),
                 str(self._profile), *command],
                pass_fds=(to_browser_read, from_browser_write), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=log,
                start_new_session=True)  # its own process group, ended as one when it must be
        except BaseException:
            for fd in (self._to_browser, self._from_browser):
                os.close(fd)
            shutil.rmtree(self._profile, ignore_errors=True)
            raise
        finally:
            log.close()
            os.close(to_browser_read)
            os.close(from_browser_write)
        self._received = b""
        self._next_id = 0

    def wait_ready(self, timeout: float = 30.0) -> str:
        """Waits until the browser answers on its pipe; returns its version. Raises RuntimeError, with
        the end of its log, when it ended instead."""
        try:
            return self._command("Browser.getVersion", {}, time.monotonic() + timeout)["product"]
        except (RuntimeError, TimeoutError, OSError) as error:
            raise RuntimeError(f"headless Chromium did not start ({error}): {self.failure()}") from error

    def open_page(self, url: str, before_page: str | None = None, timeout: float = 30.0) -> None:
        """Shows `url` in the browser's page, running `before_page` (JavaScript) first in every document it
        loads. Both go over the pipe, never on a command line. The session stays attached with its Page
        domain on (disabling it would drop the script); a page that stays put sends it no more events."""
        deadline = time.monotonic() + timeout
        while True:  # the first page may appear a moment after the browser answers
            pages = [t for t in self._command("Target.getTargets", {}, deadline)["targetInfos"] if t["type"] == "page"]
            if pages:
                break
            if time.monotonic() > deadline:
                raise RuntimeError("the browser shows no page")
            time.sleep(0.05)
        session = self._command("Target.attachToTarget", {"targetId": pages[0]["targetId"], "flatten": True},
                                deadline)["sessionId"]
        if before_page is not None:
            self._command("Page.enable", {}, deadline, session)  # the script is run only with the domain on
            self._command("Page.addScriptToEvaluateOnNewDocument", {"source": before_page}, deadline, session)
        self._command("Page.navigate", {"url": url}, deadline, session)

    @property
    def pid(self) -> int:
        """The browser's parent process: the browser and its helpers are its descendants."""
        return self.process.pid

    def screenshot_png(self, timeout: float = 10.0) -> bytes:
        """The page as it is drawn now, as PNG bytes."""
        deadline = time.monotonic() + timeout
        targets = self._command("Target.getTargets", {}, deadline)["targetInfos"]
        pages = [t for t in targets if t["type"] == "page"]
        if not pages:
            raise RuntimeError("the browser shows no page")
        session = self._command("Target.attachToTarget", {"targetId": pages[0]["targetId"], "flatten": True},
                                deadline)["sessionId"]
        try:
            data = self._command("Page.captureScreenshot", {"format": "png"}, deadline, session)["data"]
        finally:
            self._command("Target.detachFromTarget", {"sessionId": session}, deadline)
        return base64.b64decode(data)

    def _command(self, method: str, params: dict, deadline: float, session: str | None = None) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session is not None:
            message["sessionId"] = session
        data = json.dumps(message).encode() + b"\0"
        try:
            while data:
                data = data[os.write(self._to_browser, data):]
        except BrokenPipeError:
            raise RuntimeError(f"the browser has ended (exit status {self.process.poll()})") from None
        while True:  # events and other sessions' messages come on the same pipe: skip them
            reply = json.loads(self._read_message(deadline))
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"the browser refused {method}: {reply['error'].get('message')}")
                return reply["result"]

    def _read_message(self, deadline: float) -> bytes:
        while b"\0" not in self._received:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise TimeoutError("the browser did not answer in time")
            chunk = os.read(self._from_browser, 1 << 20)
            if not chunk:
                raise RuntimeError(f"the browser has ended (exit status {self.process.poll()})")
            self._received += chunk
        message, _, self._received = self._received.partition(b"\0")
        return message

    def close(self, timeout: float = 10.0) -> None:
        """Ends the browser (by ending its pipe; by SIGKILL to its process group if it outlasts
        `timeout`) and removes its profile. Idempotent."""
        if self._to_browser != -1:
            os.close(self._to_browser)
            os.close(self._from_browser)
            self._to_browser = self._from_browser = -1
        try:
            self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.process.wait()
        shutil.rmtree(self._profile, ignore_errors=True)

    def failure(self) -> str:
        """The end of the browser's log, to say why it stopped."""
        try:
            return (self._profile / "browser.log").read_text(errors="replace")[-2000:]
        except OSError:
            return ""
