"""Headless Chromium as a plain process (tarnel_rl.chromium): a screenshot through its DevTools pipe, a
clear error when it cannot start, nothing left behind by close(), and the Playwright-driven browser still
there for scripts."""
from __future__ import annotations

import io
import os
import sys
import time
from pathlib import Path

import pytest

import py_engine_tarnel as tarnel
from support.ports import start_on_held_port

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.chromium import CHROMIUM, HeadlessChromium  # noqa: E402

needs_chromium = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="headless Chromium is not installed")


def live_tree(root: int) -> set[int]:
    """root and the processes under it that still run (zombies count as ended)."""
    parents, states = {}, {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            parents[int(entry.name)], states[int(entry.name)] = int(fields[1]), fields[0]
    found, frontier = {root}, {root}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier} - found
        found |= frontier
    return {pid for pid in found if states.get(pid, "X") not in ("Z", "X")}


def running(pid: int) -> bool:
    try:
        return (Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]) not in ("Z", "X")
    except OSError:
        return False


@needs_chromium
def test_a_screenshot_comes_through_the_pipe_and_close_leaves_nothing():
    import matplotlib.image

    browser = HeadlessChromium("data:text/html,<body style='margin:0;background:rgb(255,0,0)'></body>", 640, 400)
    try:
        assert "Chrom" in browser.wait_ready()
        started = live_tree(browser.pid)
        assert len(started) > 2  # the bash parent, the browser and its helpers
        pixels = None
        for _ in range(50):  # bounded: the page may not have painted yet
            pixels = matplotlib.image.imread(io.BytesIO(browser.screenshot_png()), format="png")[..., :3]
            if (pixels[5, 5] == (1.0, 0.0, 0.0)).all():
                break
            time.sleep(0.1)
        assert pixels.shape[1] == 640 and (pixels[5, 5] == (1.0, 0.0, 0.0)).all()
    finally:
        browser.close()
    deadline = time.monotonic() + 10  # helpers end a moment after the browser, on their own
    while time.monotonic() < deadline and any(running(pid) for pid in started):
        time.sleep(0.1)
    assert not [pid for pid in started if running(pid)]
    assert not browser._profile.exists()
    browser.close()  # idempotent


def test_a_browser_that_cannot_start_says_so_and_leaves_no_profile():
    browser = HeadlessChromium("about:blank", executable="/bin/false")
    with pytest.raises(RuntimeError, match=r"headless Chromium did not start \(the browser has ended"):
        browser.wait_ready(timeout=10)
    browser.close()
    assert browser.process.returncode == 1
    assert not browser._profile.exists()


@pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium is missing")
async def test_the_driven_browser_serves_the_page_and_runs_scripts_in_it():
    pytest.importorskip("playwright.async_api", reason="Playwright is not installed")
    engine, port = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), 10.0)
    ui = await ui_host.BrowserUI.open(port, 4, automation=True)
    try:
        assert ui.browser_process is None and ui.page is not None
        await engine.wait_connected(timeout_secs=30)
        await engine.reset_episode(1, "train")
        snapshot = await engine.get_snapshot()
        seen = await ui.page.evaluate("window.referenceUi.engine.session.snapshot()")
        assert list(snapshot) == seen
    finally:
        await ui.close()
        await engine.close()
