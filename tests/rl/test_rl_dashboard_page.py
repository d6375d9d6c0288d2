"""The training dashboard in a real browser over a whole run: a 4-env vector trains at full speed with
64-step episodes while the page shows every card moving (never a reset's zeros), the returns curve and the
trainer's logged loss; then the finished run's folder is served by `python -m tarnel_rl.dashboard` and
the page draws it from disk. Everything waits on the page's own state (Playwright's wait_for_function)."""
import json
import os
import re
import select
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

import tarnel_rl  # noqa: E402
from tarnel_rl import dashboard, training_log, ui_host  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv  # noqa: E402

requires_browser = pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium is not installed")
MAX_STEPS = 400_000  # the training thread's bound: it normally stops long before, when the test says so
WAIT_MS = 60_000  # the longest any page state is waited for (Chromium's start on a busy machine)

# Every card shows a running step above 0, or the last finished episode: never "step 0".
CARDS_MOVING = """() => {
    const steps = [...document.querySelectorAll('#grid [data-env] .card-step')].map((e) => e.textContent);
    return steps.length === 4 && steps.every((t) => /^step [1-9]\\d*$/.test(t) || /^episode [1-9]\\d* · return -?\\d+\\.\\d{3} %$/.test(t));
}"""


class Trainer(threading.Thread):
    """Steps the vector with random actions as fast as it goes and logs a loss every 64 steps, until told
    to stop (or MAX_STEPS)."""

    def __init__(self, envs: TradingVectorEnv) -> None:
        super().__init__(name="test-trainer", daemon=True)
        self.envs = envs
        self.stop = threading.Event()
        self.steps = 0
        self.failure: BaseException | None = None

    def run(self) -> None:
        rng = np.random.default_rng(0)
        try:
            while not self.stop.is_set() and self.steps < MAX_STEPS:
                self.envs.step(rng.integers(0, 4, size=4))
                self.steps += 1
                if self.steps % 64 == 0:
                    tarnel_rl.log(self.steps, loss=1.0 / (1 + self.steps / 64))
        except BaseException as error:  # noqa: BLE001 - reported by the test
            self.failure = error


@pytest.fixture
def run_folder(tmp_path, monkeypatch):
    """This test's runs go to tmp_path, in a run made anew (not one an earlier test made in this process)."""
    dashboard.close_viewers()
    monkeypatch.setenv(training_log.RUNS_DIR_VARIABLE, str(tmp_path))
    monkeypatch.delenv(training_log.RUN_VARIABLE, raising=False)
    monkeypatch.setattr(training_log, "_run", None)
    yield tmp_path
    dashboard.close_viewers()


def hub_episodes(url: str) -> int:
    """How many episodes the hub behind the dashboard at `url` was given."""
    parts = urllib.parse.urlsplit(url)
    with urllib.request.urlopen(f"http://{parts.netloc}/stats?{parts.query}", timeout=10) as answer:
        return int(json.loads(answer.read())["episodes"])


def past_runs_address(process: subprocess.Popen, timeout: float = 30.0) -> str:
    """The address `python -m tarnel_rl.dashboard` prints, read within `timeout` seconds."""
    deadline = time.monotonic() + timeout
    seen = b""
    while b"\n" not in seen:
        left = deadline - time.monotonic()
        assert left > 0, f"the past runs' server said nothing in {timeout} s: {seen!r}"
        ready, _, _ = select.select([process.stdout], [], [], left)
        if ready:
            chunk = os.read(process.stdout.fileno(), 4096)
            assert chunk, f"the past runs' server ended: {seen!r} (exit {process.poll()})"
            seen += chunk
    found = re.search(rb"http://127\.0\.0\.1:\d+/\?\S*runs=1", seen)
    assert found, seen
    return found.group().decode()


@requires_browser
@requires_node
def test_a_browser_follows_a_full_speed_run_then_reads_it_back_from_its_folder(run_folder):
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    envs = TradingVectorEnv(4, render_mode="human", ui_options={"episode_length": 64})
    trainer = Trainer(envs)
    try:
        envs.reset(seed=0, options={"episode_type": "train"})
        with sync_api.sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=ui_host.CHROMIUM, args=ui_host.CHROMIUM_ARGS)
            try:
                page = browser.new_page(viewport={"width": 1300, "height": 1000})
                errors: list[str] = []
                page.on("pageerror", lambda error: errors.append(str(error)))
                page.goto(envs.viewer_url)
                page.wait_for_function("() => document.querySelectorAll('#grid [data-env] .card-step').length === 4",
                                       timeout=WAIT_MS)
                trainer.start()
                # Live, the cards move within a second: short episodes never leave a card on a reset's zeros.
                page.wait_for_function("() => window.tarnelDashboard.returnsChart.drawn.train >= 4", timeout=WAIT_MS)
                page.wait_for_function(CARDS_MOVING, timeout=1000)
                page.wait_for_function("() => (window.tarnelDashboard.scalarCharts.loss?.drawn.points ?? 0) >= 3",
                                       timeout=WAIT_MS)
                assert page.locator('#scalars canvas[data-scalar="loss"]').count() == 1
                # The axes follow the choice on the page.
                page.select_option("#x-axis", "steps")
                page.wait_for_function("""() => {
                    const d = window.tarnelDashboard;
                    return d.returnsChart.drawn.xAxis === 'steps' && d.scalarCharts.loss.drawn.xAxis === 'steps';
                }""", timeout=WAIT_MS)
                page.select_option("#x-axis", "wall")
                page.wait_for_function("""() => window.tarnelDashboard.returnsChart.drawn.xAxis === 'wall'
                    && window.tarnelDashboard.returnsChart.drawn.xLabels.every((l) => / (s|min|h)$/.test(l))""",
                                       timeout=WAIT_MS)
                page.wait_for_function(CARDS_MOVING, timeout=WAIT_MS)  # still moving after all that
                live = page.evaluate("""() => ({ episodes: window.tarnelDashboard.history.episodes,
                    header: document.getElementById('run-name').textContent })""")
                trainer.stop.set()
                trainer.join(60)
                assert not trainer.is_alive() and trainer.failure is None, trainer.failure
                assert live["episodes"] >= 4 and live["header"] != "-", live
                # Every episode once: the page has what the hub was given, and choosing another environment
                # (a new stream, which sends them all again) adds none.
                total = -1
                for _ in range(60):  # the hub may still be reading the trainer's last messages
                    total = hub_episodes(envs.viewer_url)
                    try:
                        page.wait_for_function("(n) => window.tarnelDashboard.history.episodes === n", arg=total,
                                               timeout=1000)
                    except sync_api.TimeoutError:
                        continue
                    if hub_episodes(envs.viewer_url) == total:
                        break
                assert page.evaluate("() => window.tarnelDashboard.history.episodes") == total
                page.click('#grid [data-env="2"]')
                page.wait_for_function("() => window.liveViewer.chosen === 2 && window.liveViewer.latest !== null",
                                       timeout=WAIT_MS)
                assert page.evaluate("() => window.tarnelDashboard.history.episodes") == total
                assert errors == []
            finally:
                browser.close()
            trainer.stop.set()
            trainer.join(60)
            envs.close()
            run = training_log.current_run()
            assert run is not None and run.folder.parent == run_folder
            run.writer.flush()
            dashboard.close_viewers()  # the hub writes the last episodes as it ends

            # The finished run, served from its folder and drawn by the same page.
            past = subprocess.Popen([sys.executable, "-m", "tarnel_rl.dashboard", str(run_folder)],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
            try:
                address = past_runs_address(past)
                browser = playwright.chromium.launch(executable_path=ui_host.CHROMIUM, args=ui_host.CHROMIUM_ARGS)
                try:
                    page = browser.new_page(viewport={"width": 1300, "height": 1000})
                    page.goto(address)
                    box = page.locator(f'#run-list input[data-run="{run.name}"]')
                    box.wait_for(timeout=WAIT_MS)
                    box.check()
                    page.wait_for_function("""() => {
                        const runs = window.tarnelDashboard.runs;
                        return runs.charts.train?.drawn.points > 0 && runs.scalarCharts.loss?.drawn.lines === 1;
                    }""", timeout=WAIT_MS)
                    shown = page.evaluate("""() => ({ mode: document.body.dataset.mode,
                        cards: document.querySelectorAll('#grid [data-env]').length,
                        episodes: Number(document.getElementById('stat-episodes').textContent) })""")
                    assert shown["mode"] == "runs" and shown["cards"] == 0 and shown["episodes"] >= live["episodes"], shown
                finally:
                    browser.close()
            finally:
                past.terminate()
                past.wait(30)
    finally:
        trainer.stop.set()
        if trainer.is_alive():
            trainer.join(60)
        envs.close()
