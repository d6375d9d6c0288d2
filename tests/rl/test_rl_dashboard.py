"""The training dashboard: what an environment sends it (`TrainingFeed`: its pace, its figures, the
finished episodes), one hub and one address for a whole trainer (a `TradingVectorEnv`, `gym.make_vec`
sync and async), and a real browser that opens the dashboard while a 4-env vector trains and sees every
environment and the returns curve."""
import json
import urllib.parse
import urllib.request

import numpy as np
import pytest

from rl_support import requires_node, wait_until

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl import dashboard, ui_host  # noqa: E402
from tarnel_rl.gym_env import ENV_ID  # noqa: E402
from tarnel_rl.trading import ACTION_NAMES  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv  # noqa: E402


class Clock:
    def __init__(self) -> None:
        self.now = 100.0

    def __call__(self) -> float:
        return self.now


def feed_with_clock() -> tuple[dashboard.TrainingFeed, list[dict], Clock]:
    sent: list[dict] = []
    seat = dashboard.Seat(3, "url", "publish", sent.append, lambda origin: None)
    clock = Clock()
    return dashboard.TrainingFeed(seat, ACTION_NAMES, clock=clock), sent, clock


def test_the_feed_keeps_to_its_pace_and_never_loses_an_episode():
    feed, sent, clock = feed_with_clock()
    feed.reset("train", 4, np.zeros(18))
    assert [m["op"] for m in sent] == ["train"]  # a reset goes at once
    for _ in range(50):  # 50 steps within one pace gap: none goes
        feed.step(1, 0.5, np.ones(18))
    assert len(sent) == 1
    clock.now += 1.01 / dashboard.FEED_RATE
    feed.step(2, -0.25, np.full(18, 2.0))
    assert len(sent) == 2
    figures = sent[-1]["train"]
    assert (sent[-1]["env"], figures["type"], figures["index"], figures["step"]) == (3, "train", 4, 51)
    assert figures["actions"] == [ACTION_NAMES[1]] * (dashboard.LAST_KEPT - 1) + [ACTION_NAMES[2]]
    assert figures["rewards"][-2:] == [0.5, -0.25] and len(figures["rewards"]) == dashboard.LAST_KEPT
    assert figures["return_pct"] == pytest.approx(24.75) and figures["observation"] == [2.0] * 18
    assert figures["curve"][0] == 0.0 and figures["curve"][-1] == pytest.approx(24.75)
    clock.now += 1.01 / dashboard.FEED_RATE  # an episode's end keeps to the pace too
    feed.episode_end(-0.75)  # the closing of the session: part of the episode's return
    episode = [m for m in sent if m["op"] == "episode"]
    assert episode == [{"op": "episode", "env": 3, "episode": {
        "n": 1, "type": "train", "index": 4, "steps": 51, "return_pct": 24.0, "at_step": 51, "market_pct": None}}]
    assert sent[-1]["op"] == "train" and sent[-1]["train"]["episodes"] == 1
    assert sent[-1]["train"]["last_episode"] == {"n": 1, "return_pct": 24.0, "steps": 51}


def test_the_feed_thins_long_curves_and_sends_no_nan():
    feed, sent, clock = feed_with_clock()
    feed.reset("test", 0, np.array([np.nan, np.inf, 1.0]))
    assert sent[-1]["train"]["observation"] == [None, None, 1.0]
    for step in range(3 * dashboard.CURVE_POINTS):
        feed.step(0, 0.01, np.zeros(3))
    clock.now += 5.0
    feed.step(0, 0.01, np.zeros(3))
    figures = sent[-1]["train"]
    assert len(figures["curve"]) == dashboard.CURVE_POINTS and figures["curve"][-1] == pytest.approx(figures["return_pct"])
    assert figures["steps_per_second"] == pytest.approx((3 * dashboard.CURVE_POINTS + 1) / 5.0, rel=0.01)
    json.dumps(sent, allow_nan=False)  # plain JSON throughout


def stats_of(url: str) -> dict:
    parsed = urllib.parse.urlsplit(url)
    with urllib.request.urlopen(f"http://127.0.0.1:{parsed.port}/stats?{parsed.query}", timeout=10) as response:
        return json.loads(response.read())


@pytest.fixture
def fresh_dashboard():
    dashboard.close_viewers()
    yield
    dashboard.close_viewers()


@requires_node
@pytest.mark.parametrize("kind", ["vector", "sync", "async"])
def test_a_vector_prints_one_address_for_all_its_environments(kind, capfd, fresh_dashboard):
    options = {"ui": "node", "render_mode": "human", "ui_options": {"episode_length": 5}}
    if kind == "vector":
        envs = TradingVectorEnv(3, **options)
    else:
        envs = gym.make_vec(ENV_ID, num_envs=3, vectorization_mode=kind, **options)
    try:
        printed = [line for line in capfd.readouterr().err.splitlines() if "watch training live at" in line]
        assert len(printed) == 1, printed
        url = printed[0].rsplit(" ", 1)[1]
        envs.reset(seed=0)
        for _ in range(6):  # every environment ends an episode
            envs.step(np.ones(3, dtype=np.int64))
        labels = [e["label"] for e in stats_of(url)["envs"] if not e["closed"]]
        assert len(labels) == 3, stats_of(url)
        assert wait_until(lambda: stats_of(url)["episodes"] >= 3)
    finally:
        envs.close()


requires_browser = pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium is not installed")


@requires_browser
@requires_node
def test_a_browser_sees_every_env_and_the_returns_curve_while_a_vector_trains(fresh_dashboard):
    pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    from playwright.sync_api import sync_playwright

    envs = TradingVectorEnv(4, ui="node", render_mode="human", ui_options={"episode_length": 8})
    rng = np.random.default_rng(0)
    try:
        envs.reset(seed=0, options={"episode_type": "train"})
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=ui_host.CHROMIUM, args=ui_host.CHROMIUM_ARGS)
            try:
                page = browser.new_page(viewport={"width": 1200, "height": 900})
                page.goto(envs.viewer_url)
                seen = None
                for step in range(20000):  # trains until the dashboard shows four envs, episodes and candles
                    envs.step(rng.integers(0, 4, size=4))
                    if step % 10:
                        continue
                    seen = page.evaluate("""() => {
                        const v = window.liveViewer;
                        if (!v || v.envs.length < 4 || v.episodes.length < 8 || v.latest === null) return null;
                        return { cells: document.querySelectorAll('#grid .cell').length,
                                 labels: [...document.querySelectorAll('#grid .cell h3')].map((h) => h.textContent),
                                 drawn: v.returns.drawn, candles: v.chart.drawn.pricePane,
                                 observation: document.querySelectorAll('#observation li').length,
                                 rate: document.getElementById('stat-rate').textContent,
                                 feed: document.body.dataset.feed };
                    }""")
                    if seen and seen["drawn"]["train"] >= 8:
                        break
                assert seen, "the dashboard did not show the vector"
                assert seen["cells"] == 4 and seen["labels"] == ["env 0", "env 1", "env 2", "env 3"]
                assert seen["drawn"]["train"] >= 8 and seen["candles"]["w"] > 500 and seen["observation"] == 18
                assert seen["feed"] == "live"
                # Choosing another env shows its candles.
                page.click('#grid .cell[data-env="2"]')
                assert wait_until(lambda: (envs.step(rng.integers(0, 4, size=4)) and False) or page.evaluate(
                    "() => window.liveViewer.chosen === 2 && window.liveViewer.latest !== null"), timeout=30)
                # A test episode is marked on the curve.
                envs.reset(options={"episode_type": "test"})
                for _ in range(9):
                    envs.step(np.zeros(4, dtype=np.int64))
                assert wait_until(lambda: page.evaluate("() => window.liveViewer.returns.drawn.test") >= 4, timeout=30)
                assert len(page.locator("#returns").screenshot()) > 5_000
            finally:
                browser.close()
    finally:
        envs.close()


def test_the_feed_names_discrete_actions_and_shows_target_units_as_numbers():
    feed, sent, clock = feed_with_clock()
    feed.reset("train", 0, np.zeros(2))
    for action in (np.int64(3), 0, np.array([-0.5]), 2.25, 7):
        feed.step(action, 0.0, np.zeros(2))
    clock.now += 1.0
    feed.step(1, 0.0, np.zeros(2))
    assert sent[-1]["train"]["actions"] == [ACTION_NAMES[3], ACTION_NAMES[0], "-0.5", "2.25", "7", ACTION_NAMES[1]]
