"""The training dashboard: what an environment sends it (`TrainingFeed`: its pace, its figures, the
finished episodes), one hub and one address for a whole trainer (a `TradingVectorEnv`, `gym.make_vec`
sync and async), and a real browser that opens the dashboard while a 4-env vector trains and sees every
environment and the returns curve."""
import json
import urllib.error
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


# --- the cards through fast, short episodes; the trainer's logged values; the runs kept ----------------

def test_fast_short_episodes_leave_the_cards_their_figures():
    # 3,000 steps a second in episodes of 64 steps: 47 resets a second must not hold the cards at step 0.
    feed, sent, clock = feed_with_clock()
    steps_per_second, length = 3000, 64
    for episode in range(3 * steps_per_second // length):
        feed.reset("train", episode, np.zeros(2))
        for _ in range(length):
            clock.now += 1.0 / steps_per_second
            feed.step(1, 0.01, np.zeros(2))
        feed.episode_end(0.0)
    figures = [m["train"] for m in sent if m["op"] == "train"]
    episodes = [m["episode"] for m in sent if m["op"] == "episode"]
    assert len(episodes) == 3 * steps_per_second // length  # every episode goes
    assert 3 * dashboard.FEED_RATE - 1 <= len(figures) <= 3 * dashboard.FEED_RATE + 1  # and the pace holds
    later = figures[1:]
    assert sum(f["step"] > 0 for f in later) >= 0.9 * len(later), [f["step"] for f in later]
    for f in later:  # the last finished episode, for a card to show beside the running one
        assert f["last_episode"]["n"] >= 1 and f["last_episode"]["steps"] == length
        assert f["last_episode"]["return_pct"] == pytest.approx(0.64)
        assert f["env_steps"] == f["last_episode"]["n"] * length + f["step"]


@pytest.fixture
def fresh_run(tmp_path, monkeypatch):
    """A trainer with no run yet, keeping its runs under tmp_path/runs."""
    from tarnel_rl import training_log

    dashboard.close_viewers()
    monkeypatch.setenv(training_log.RUNS_DIR_VARIABLE, str(tmp_path / "runs"))
    monkeypatch.delenv(training_log.RUN_VARIABLE, raising=False)
    monkeypatch.setattr(training_log, "_run", None)
    monkeypatch.setattr(training_log, "_settings", {"runs_dir": None, "name": None, "config": {}})
    yield tmp_path / "runs"
    dashboard.close_viewers()
    if training_log._run is not None:
        training_log._run.writer.close()


def read_stream(url: str, wanted: set, timeout: float = 10.0) -> dict:
    """The data of every event named in `wanted` on a dashboard's stream, until each has come once."""
    import socket
    import time

    parsed = urllib.parse.urlsplit(url)
    found: dict = {}
    with socket.create_connection(("127.0.0.1", parsed.port), timeout=timeout) as stream:
        stream.sendall(f"GET /events?{parsed.query} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        received, deadline = b"", time.monotonic() + timeout
        while not wanted <= set(found) and time.monotonic() < deadline:
            received += stream.recv(65536)
            *blocks, received = received.split(b"\n\n")
            for block in blocks:
                lines = block.split(b"\n")
                if len(lines) >= 2 and lines[-2].startswith(b"event: "):
                    found.setdefault(lines[-2][7:].decode(), []).append(json.loads(lines[-1][6:]))
    return found


def test_logged_values_reach_the_dashboard_and_the_run_folder(fresh_run):
    import tarnel_rl
    from tarnel_rl import run_folder, training_log

    run = tarnel_rl.log.configure(name="ppo", config={"lr": 3e-4, "net": [64, 64]})
    assert run is not None and run.folder.parent == fresh_run and run.name.endswith("-ppo")
    seat, started = dashboard.take_seat(None, "env 0")
    assert started
    tarnel_rl.log(100, loss=np.float32(0.5), entropy=1.25)
    tarnel_rl.log(200, loss=float("nan"))
    writer = tarnel_rl.log.writer()  # as SB3's logger calls its outputs
    writer.write({"train/loss": 0.25, "train/clip": np.array(0.1), "rollout/name": "ppo", "time/fps": 3000,
                  "hidden": 1.0}, {"hidden": ("tarnel",)}, step=300)
    # What waited for the pace goes with the run writer's next flush, within half a second.
    assert wait_until(lambda: stats_of(seat.url)["scalars"] == 6), stats_of(seat.url)
    events = read_stream(seat.url, {"run", "seats", "scalars"})
    assert events["run"][0]["name"] == run.name and events["run"][0]["config"]["lr"] == 3e-4
    assert events["seats"][0] == {"seats": [{"env": 0, "label": "env 0", "closed": False}]}
    sent = [(s["name"], s["step"], s["value"]) for e in events["scalars"] for s in e["scalars"]]
    expected = [("loss", 100, 0.5), ("entropy", 100, 1.25), ("loss", 200, None), ("train/loss", 300, 0.25),
                ("train/clip", 300, pytest.approx(0.1)), ("time/fps", 300, 3000)]
    assert sent == expected
    run.writer.flush()
    kept = [json.loads(line) for line in (run.folder / run_folder.SCALARS_FILE).read_text().splitlines()]
    assert [(s["name"], s["step"], s["value"]) for s in kept] == expected
    assert all(0 <= s["wall"] < 60 for s in kept)
    config = json.loads((run.folder / run_folder.CONFIG_FILE).read_text())
    assert config["lr"] == 3e-4 and config["net"] == [64, 64] and config["name"] == run.name
    # A finished episode lands in episodes.jsonl (the hub writes it), stamped like the event's.
    seat.send({"op": "episode", "env": 0, "episode": {"n": 1, "type": "train", "index": 0, "steps": 5,
                                                      "return_pct": 1.5, "at_step": 5}})
    assert wait_until(lambda: (run.folder / run_folder.EPISODES_FILE).is_file(), timeout=10)
    episode = json.loads((run.folder / run_folder.EPISODES_FILE).read_text().splitlines()[0])
    assert episode["env"] == 0 and episode["env_steps"] == 5 and episode["market_pct"] is None and episode["wall"] >= 0
    with pytest.raises(TypeError, match="step is an integer"):
        tarnel_rl.log(1.5, loss=1.0)
    with pytest.raises(TypeError, match="numbers"):
        tarnel_rl.log(1, loss="high")
    with pytest.raises(ValueError, match="a run's name"):
        tarnel_rl.log.configure(name="../elsewhere")
    assert training_log.current_run() is run


def write_run(folder, episodes: int, scalars: dict) -> None:
    from tarnel_rl import run_folder

    writer = run_folder.RunWriter(folder)
    writer.write_config({"lr": 0.001})
    for n in range(episodes):
        writer.append(run_folder.EPISODES_FILE, json.dumps({"n": n + 1, "return_pct": n / 100, "env": 0}).encode())
    for name, count in scalars.items():
        for step in range(count):
            writer.append(run_folder.SCALARS_FILE, json.dumps({"name": name, "step": step, "wall": step,
                                                               "value": step * 2}).encode())
    writer.close()


def test_past_runs_are_served_read_only_behind_the_token(tmp_path):
    import subprocess
    import sys

    from rl_support import PYTHON_DIR
    from tarnel_rl import run_folder

    runs = tmp_path / "runs"
    write_run(runs / "2026-12-08T06-00-00-a", 25_000, {"loss": 30_000, "entropy": 10})
    write_run(runs / "2026-12-08T07-00-00-b", 3, {})
    (runs / ".hidden").mkdir()
    server = subprocess.Popen([sys.executable, "-m", "tarnel_rl.dashboard", str(runs)], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              env={**__import__("os").environ, "PYTHONPATH": str(PYTHON_DIR)})
    try:
        line = server.stderr.readline()
        assert "past runs of" in line and "&runs=1" in line, line
        address = line.rsplit(" ", 1)[1].strip()
        parsed = urllib.parse.urlsplit(address)
        token = urllib.parse.parse_qs(parsed.query)["token"][0]
        base = f"http://127.0.0.1:{parsed.port}"

        def get(path: str, headers: dict | None = None) -> tuple[int, bytes]:
            request = urllib.request.Request(base + path, headers=headers or {})
            try:
                with urllib.request.urlopen(request, timeout=30) as response:
                    return response.status, response.read()
            except urllib.error.HTTPError as error:
                return error.code, error.read()

        assert get("/runs")[0] == 403 and get("/run?name=2026-12-08T07-00-00-b")[0] == 403
        assert get(f"/runs?token={token}", {"Origin": "http://evil.example"})[0] == 403
        assert get(f"/runs?token={token}", {"Host": f"evil.example:{parsed.port}"})[0] == 403
        status, body = get(f"/runs?token={token}")
        listed = json.loads(body)["runs"]
        assert status == 200 and [r["name"] for r in listed] == ["2026-12-08T06-00-00-a", "2026-12-08T07-00-00-b"]
        assert listed[0] == {"name": "2026-12-08T06-00-00-a", "config": {"lr": 0.001}, "episodes": 25_000,
                             "scalars": ["entropy", "loss"]}
        status, body = get(f"/run?token={token}&name=2026-12-08T06-00-00-a")
        run = json.loads(body)
        assert status == 200 and run["config"] == {"lr": 0.001}
        assert len(run["episodes"]) == run_folder.POINTS_SHOWN  # thinned evenly, first and last kept
        assert run["episodes"][0]["n"] == 1 and run["episodes"][-1]["n"] == 25_000
        losses = [s for s in run["scalars"] if s["name"] == "loss"]
        assert len(losses) == run_folder.POINTS_SHOWN and losses[-1]["step"] == 29_999
        assert [s["step"] for s in run["scalars"] if s["name"] == "entropy"] == list(range(10))
        for name, status in (("../runs", 400), (".hidden", 400), ("nothing", 404)):
            assert get(f"/run?token={token}&name={name}")[0] == status, name
        assert get("/")[0] == 200  # the page holds no secret
        # Read-only: nothing can be published or joined.
        for path in ("/publish", "/join", "/train"):
            request = urllib.request.Request(f"{base}{path}?token={token}", data=b"{}", method="POST")
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(request, timeout=30)
            assert refused.value.code == 404
    finally:
        server.terminate()
        assert server.wait(10) == 0


def test_thinning_keeps_the_ends_and_spreads_evenly():
    from tarnel_rl.run_folder import thinned

    assert thinned(list(range(10)), 20) == list(range(10))
    assert thinned(list(range(101)), 11) == list(range(0, 101, 10))
    assert thinned(list(range(5)), 1) == [4] and thinned([1, 2], 0) == []


def test_the_environment_describes_itself_once_in_the_run_config(fresh_run):
    from tarnel_rl import run_folder, training_log

    feed, sent, clock = feed_with_clock()
    feed.describe({"window": 32, "fee_rate": 0.0002})
    feed.describe({"window": 64})  # another environment of the same trainer: the first stays
    training_log.log.configure(config={"lr": 0.01})  # the trainer's own settings beside it
    run = training_log.current_run()
    config = json.loads((run.folder / run_folder.CONFIG_FILE).read_text())
    assert config["environment"] == {"window": 32, "fee_rate": 0.0002} and config["lr"] == 0.01


def events_of(chunks: list) -> dict:
    return {c.split(b"\n")[0][7:].decode(): json.loads(c.split(b"\n")[1][6:]) for c in chunks}


def test_each_dashboard_is_told_each_change_once_in_the_events_shapes():
    from tarnel_rl.hub_state import Cursor, HubState

    state = HubState(started=0.0)
    cursor = Cursor()
    assert list(events_of(state.events(cursor, None))) == ["run", "seats", "train"]
    assert state.events(cursor, None) == []  # nothing new
    state.join("first")
    state.join(None)
    state.command({"op": "train", "env": 1, "train": {"step": 3, "env_steps": 40}})
    state.command({"op": "episode", "env": 0, "episode": {"n": 1, "return_pct": 2.0, "at_step": 64}})
    state.command({"op": "scalars", "scalars": [{"name": "loss", "step": 7, "wall": 1.5, "value": 0.25}]})
    told = events_of(state.events(cursor, state.seats[0]))
    assert told["seats"] == {"seats": [{"env": 0, "label": "first", "closed": False},
                                       {"env": 1, "label": "env 1", "closed": False}]}
    assert told["train"] == {"envs": [{"env": 0, "train": None}, {"env": 1, "train": {"step": 3, "env_steps": 40}}]}
    [episode] = told["episodes"]
    assert (episode["env"], episode["env_steps"], episode["market_pct"]) == (0, 64 + 40, None) and episode["wall"] > 0
    assert told["scalars"] == {"scalars": [{"name": "loss", "step": 7, "wall": 1.5, "value": 0.25}]}
    state.command({"op": "leave", "env": 1})
    state.set_run("r", {"lr": 1})
    told = events_of(state.events(cursor, None))
    assert list(told) == ["run", "seats"] and told["run"] == {"name": "r", "live": True, "config": {"lr": 1}}
    assert told["seats"]["seats"][1]["closed"] is True


@pytest.mark.parametrize("entry, reason", [
    ({"name": "", "step": 1, "wall": 0, "value": 1}, "1 to 100 characters"),
    ({"name": "x" * 101, "step": 1, "wall": 0, "value": 1}, "1 to 100 characters"),
    ({"name": "loss", "step": 1.5, "wall": 0, "value": 1}, "step of 'loss' is an integer"),
    ({"name": "loss", "step": 1, "wall": 0, "value": "1"}, "value of 'loss' is a number or null"),
    ({"name": "loss", "step": 1, "wall": True, "value": 1}, "wall of 'loss' is a number or null"),
    ("loss", "a logged value is a JSON object"),
])
def test_malformed_logged_values_are_refused_and_change_nothing(entry, reason):
    from tarnel_rl.hub_state import HubState

    state = HubState()
    good = {"name": "ok", "step": 1, "wall": 0, "value": 1}
    with pytest.raises(ValueError, match=reason):
        state.add_scalars([good, entry])
    assert state.scalars_total == 0  # the good one of the same message is not kept either


def test_without_a_runs_folder_logging_says_once_that_nothing_is_kept(fresh_run, monkeypatch, tmp_path):
    from tarnel_rl import training_log

    monkeypatch.delenv(training_log.RUNS_DIR_VARIABLE)
    monkeypatch.chdir(tmp_path)
    log = training_log.TrainingLog()
    with pytest.warns(UserWarning, match="not kept: set TARNEL_RUNS_DIR"):
        log(1, loss=0.5)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        log(2, loss=0.4)  # once only
    assert training_log.current_run() is None and not (tmp_path / "runs").exists()
    # With the dashboard on, runs/ under the current directory is the default.
    assert training_log.current_run(for_dashboard=True).folder.parent == tmp_path / "runs"


def test_the_writer_is_one_of_sb3_s_outputs_when_sb3_is_there(fresh_run, monkeypatch):
    import sys
    import types

    import tarnel_rl
    from tarnel_rl import training_log

    class KVWriter:  # SB3's base class of its outputs; its Logger.dump writes only to instances of it
        def write(self, key_values, key_excluded, step=0):
            raise NotImplementedError

    logger = types.ModuleType("stable_baselines3.common.logger")
    logger.KVWriter = KVWriter
    for name in ("stable_baselines3", "stable_baselines3.common"):
        monkeypatch.setitem(sys.modules, name, types.ModuleType(name))
    monkeypatch.setitem(sys.modules, "stable_baselines3.common.logger", logger)
    writer = tarnel_rl.log.writer()
    assert isinstance(writer, KVWriter) and isinstance(writer, training_log.ScalarWriter)
    assert type(tarnel_rl.log.writer()) is type(writer)
    outputs = [writer]  # as SB3's Logger.dump does
    for output in outputs:
        if isinstance(output, KVWriter):
            output.write({"train/loss": 0.5}, {"train/loss": None}, 7)
    writer.close()
    run = training_log.current_run()
    assert json.loads((run.folder / "scalars.jsonl").read_text())["step"] == 7
    monkeypatch.setitem(sys.modules, "stable_baselines3.common.logger", None)  # SB3 missing: a plain writer
    assert type(tarnel_rl.log.writer()) is training_log.ScalarWriter


def test_a_runs_folder_that_cannot_be_written_stops_nothing(fresh_run, monkeypatch, tmp_path):
    from tarnel_rl import training_log

    blocked = tmp_path / "a-file"
    blocked.write_text("")
    monkeypatch.setenv(training_log.RUNS_DIR_VARIABLE, str(blocked / "runs"))
    with pytest.warns(UserWarning, match="cannot be kept in .*a-file/runs"):
        assert training_log.current_run(for_dashboard=True) is None
    seat, started = dashboard.take_seat(None, "env 0")  # the dashboard still starts, without a run
    assert started and stats_of(seat.url)["envs"] == [{"label": "env 0", "closed": False}]


def test_a_taken_viewer_port_leaves_no_run_folder_behind(fresh_run):
    import socket

    from tarnel_rl.viewer import ViewerPortTaken

    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        with pytest.raises(ViewerPortTaken):
            dashboard.take_seat(busy.getsockname()[1])
    assert not fresh_run.exists()
