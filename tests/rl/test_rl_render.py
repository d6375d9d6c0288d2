"""Watching and recording: the episode trace behind `render_mode="rgb_array"` (positions, fills and
closes from the snapshots alone), its frames, a video recorded by gymnasium's RecordVideo with the
Node.js host, and `render_mode="human"`: the hub passes the page's state on to any number of viewers
while training goes on, and a real browser draws it."""
import json
import socket
import threading
import urllib.error
import urllib.parse
import urllib.request

import numpy as np
import pytest

from rl_support import requires_node, wait_until

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl import dashboard, frames, ui_host  # noqa: E402
from tarnel_rl.episode_trace import EpisodeTrace  # noqa: E402
from tarnel_rl.gym_env import ENV_ID, TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT  # noqa: E402
from tarnel_rl.viewer import ViewerHub, ViewerPortTaken  # noqa: E402

CLOSE, EQUITY, NET, STEPS_LEFT = 2, 4, 10, 11


def snapshot(step: int, close: float, net: float, equity: float = 10000.0, left: int = 10) -> np.ndarray:
    values = np.zeros(16)
    values[[0, CLOSE, EQUITY, NET, STEPS_LEFT]] = step, close, equity, net, left - step
    return values


def window(close: float, rows: int = 1) -> np.ndarray:
    return np.tile([close, close + 1, close - 1, close, 100.0], (rows, 1))


def test_the_trace_follows_the_position_from_the_snapshots():
    trace = EpisodeTrace()
    trace.start("train", 2, snapshot(0, 100.0, 0), window(100.0, 4), 10000.0)
    assert (len(trace.candles), trace.first, trace.steps_total, trace.equity) == (4, 3, 10, [10000.0])
    # Long 10 at 100 (the close the step starts from), then flipped short at 103: a gaining close and a fill.
    for step, (close, net) in enumerate([(101.0, 10), (103.0, 10), (102.0, -10), (102.5, -10)], start=1):
        trace.step(snapshot(step, close, net, equity=10000.0 + step), window(close))
    assert [(m.at, m.price, m.side, m.opened, m.gain) for m in trace.marks] == [
        (3, 100.0, 1, True, False), (5, 103.0, 1, False, True), (5, 103.0, -1, True, False)]
    assert (trace.position.side, trace.position.units, trace.position.at, trace.position.price) == (-1, 10, 5, 103.0)
    trace.finish(10003.5)  # the end closes the short at 102.5: a gain
    assert trace.position is None and trace.ended and trace.step_count == 4
    assert (trace.marks[-1].at, trace.marks[-1].price, trace.marks[-1].opened, trace.marks[-1].gain) == (7, 102.5, False, True)
    assert trace.equity == [10000.0, 10001.0, 10002.0, 10003.0, 10003.5]


def colour_pixels(frame: np.ndarray, colour) -> int:
    return int(np.all(frame == np.array(colour, dtype=np.uint8), axis=-1).sum())


@pytest.mark.parametrize("size", [(400, 720), (120, 200)])
def test_a_frame_draws_candles_position_marks_and_equity(size):
    trace = EpisodeTrace()
    trace.start("train", 0, snapshot(0, 100.0, 0, left=20), window(100.0, 3), 10000.0)
    for step, (close, net) in enumerate([(101.0, 10), (99.0, 10), (98.0, 10)], start=1):
        trace.step(snapshot(step, close, net, equity=10000.0 - 5 * step, left=20),
                   np.array([[close + 1, close + 2, close - 2, close, 50.0]]))  # falling candles
    frame = frames.draw_frame(trace, *size)
    assert frame.shape == (*size, 3) and frame.dtype == np.uint8
    assert colour_pixels(frame, frames.DOWN) > 0 and colour_pixels(frame, frames.UP) > 0  # falling, and the flat lead-in
    assert colour_pixels(frame, frames.BUY) > 0  # the long's triangle and entry level
    assert colour_pixels(frame, frames.EQUITY) > 0 and colour_pixels(frame, frames.BASELINE) > 0
    # The progress bar: 3 of 20 steps done.
    row = frame[frames.PROGRESS_ROWS[0], :, :]
    done = colour_pixels(row[None], frames.PROGRESS)
    assert done == round((size[1] - frames.LEFT - frames.RIGHT) * 3 / 20)
    empty = frames.draw_frame(EpisodeTrace(), *size)  # before any reset: the panes only
    assert colour_pixels(empty, frames.UP) == 0 and colour_pixels(empty, frames.EQUITY) == 0
    with pytest.raises(ValueError, match="a frame needs at least 60 x 80 pixels, got 40 x 720"):
        frames.draw_frame(trace, 40, 720)


@requires_node
def test_rgb_array_frames_follow_the_episode_on_the_node_host():
    env = TradingEnv(ui="node", render_mode="rgb_array", ui_options={"episode_length": 12})
    try:
        assert env.metadata["render_modes"] == ["human", "rgb_array"] and env.viewer_url is None
        env.reset(seed=0)
        first = env.render()
        seen = [first]
        for action in (LONG, HOLD, SHORT, FLAT, HOLD):
            env.step(action)
            seen.append(env.render())
        assert all(f.shape == (400, 720, 3) and f.dtype == np.uint8 for f in seen)
        assert all(not np.array_equal(a, b) for a, b in zip(seen, seen[1:]))  # every step shows
        assert colour_pixels(seen[1], frames.BUY) > 0 and colour_pixels(seen[3], frames.SELL) > 0
    finally:
        env.close()


@requires_node
def test_record_video_with_the_node_host(tmp_path):
    pytest.importorskip("moviepy", reason="gymnasium's RecordVideo needs moviepy (pip install moviepy)")
    import imageio.v3 as iio

    env = gym.make(ENV_ID, ui="node", render_mode="rgb_array", max_episode_steps=15)
    env = gym.wrappers.RecordVideo(env, str(tmp_path / "videos"), episode_trigger=lambda episode: episode == 0,
                                   name_prefix="trading")
    try:
        env.reset(seed=1)
        for t in range(15):
            *_, terminated, truncated, _ = env.step(LONG if t % 5 == 0 else HOLD)
        assert truncated and not terminated
        env.reset(seed=2)  # ends the recording of episode 0; episode 1 is not recorded
    finally:
        env.close()
    videos = sorted((tmp_path / "videos").glob("*.mp4"))
    assert [v.name for v in videos] == ["trading-episode-0.mp4"]
    video = iio.imread(videos[0], plugin="pyav") if _has_pyav() else iio.imread(videos[0])
    assert video.shape[1:] == (400, 720, 3)
    assert video.shape[0] == 16  # the reset's frame and one per step


def _has_pyav() -> bool:
    try:
        import av  # noqa: F401
    except ImportError:
        return False
    return True


# --- the live viewer ---------------------------------------------------------------------------------


def post(url: str, body: bytes) -> tuple[int, dict | bytes]:
    request = urllib.request.Request(url, data=body, method="POST", headers={"Content-Type": "text/plain"})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, error.read()


class Viewer:
    """One dashboard's event stream over a socket of its own, read on a thread: `states` are the page
    states received, `train` the trainer's figures, `episodes` the finished episodes. `close()` shuts
    the socket down, as a closed browser tab does."""

    def __init__(self, url: str, env: int = 0) -> None:
        self.states: list[dict] = []
        self.train: list[dict] = []
        self.episodes: list[dict] = []
        self.seats: list[list] = []
        parsed = urllib.parse.urlsplit(url)
        token = urllib.parse.parse_qs(parsed.query)["token"][0]
        self.sock = socket.create_connection(("127.0.0.1", parsed.port), timeout=30)
        self.sock.sendall(f"GET /events?token={token}&env={env} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Accept: text/event-stream\r\n\r\n".encode())
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self) -> None:
        event = "message"
        try:
            with self.sock.makefile("rb") as stream:
                for line in stream:
                    if line.startswith(b"event: "):
                        event = line[7:].strip().decode()
                    elif line.startswith(b"data: "):
                        data = json.loads(line[6:])
                        if event == "page":
                            self.states.append(data)
                        elif event == "train":
                            self.train.append(data)
                        elif event == "episodes":
                            self.episodes.extend(data)
                        elif event == "seats":
                            self.seats.append(data["seats"])
                    elif line == b"\n":
                        event = "message"
        except (OSError, ValueError):
            pass

    def close(self) -> None:
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def test_the_hub_passes_each_state_to_every_viewer():
    hub = ViewerHub()
    viewers = []
    try:
        assert hub.join() == 0 and hub.join("second") == 1
        assert post(hub.publish_url, b'{"n": 0}') == (200, {"viewers": 0})
        viewers = [Viewer(hub.url) for _ in range(3)] + [Viewer(hub.url, env=1)]
        assert wait_until(lambda: hub.viewers == 4)
        assert wait_until(lambda: all(v.states == [{"n": 0}] for v in viewers[:3]))  # the latest, at once
        for n in range(1, 4):
            assert post(hub.publish_url, json.dumps({"n": n}, indent=1).encode()) == (200, {"viewers": 3})
            assert wait_until(lambda: all(v.states[-1:] == [{"n": n}] for v in viewers[:3]))
        assert hub.latest() == {"n": 3} and viewers[3].states == []  # seat 1's dashboard gets seat 1's pages
        assert post(hub.publish_url_of(1), b'{"seat": 1}') == (200, {"viewers": 1})
        assert wait_until(lambda: viewers[3].states == [{"seat": 1}])
        # The trainer's figures and finished episodes reach every dashboard, whichever seat it shows.
        assert hub.send({"op": "train", "env": 1, "train": {"step": 5}})
        assert hub.send({"op": "episode", "env": 0, "episode": {"type": "test", "return_pct": 1.5}})
        for viewer in viewers:
            assert wait_until(lambda: viewer.train and viewer.train[-1]["envs"][1]["train"] == {"step": 5})
            assert wait_until(lambda: [{k: e[k] for k in ("type", "return_pct", "env")} for e in viewer.episodes]
                              == [{"type": "test", "return_pct": 1.5, "env": 0}])
        assert [e["env"] for e in viewers[0].train[-1]["envs"]] == [0, 1]
        assert [s["label"] for s in viewers[0].seats[-1]] == ["env 0", "second"]  # labels go in the seats event
        viewers[0].close()
        assert wait_until(lambda: post(hub.publish_url, b'{"n": 4}')[1] == {"viewers": 2}, timeout=30)
        page = urllib.request.urlopen(hub.url, timeout=10)
        assert page.headers["Content-Type"].startswith("text/html") and b"src/viewer.js" in page.read()
        for path in ("src/viewer.js", "src/chart.js", "src/viewer-state.js", "src/returns-chart.js"):
            assert urllib.request.urlopen(f"{hub.origin}/{path}", timeout=10).status == 200
        for path in ("index.html/../../etc/passwd", "node/run-ui.mjs", "src/engine.js"):
            with pytest.raises(urllib.error.HTTPError):
                urllib.request.urlopen(f"{hub.origin}/{path}", timeout=10)
        assert post(hub.origin + "/elsewhere", b"{}")[0] == 404
        assert post(hub.publish_url, b"")[0] == 411
    finally:
        for viewer in viewers:
            viewer.close()
        hub.close()
    for viewer in viewers[1:]:  # closing the hub ends their streams
        viewer.thread.join(10)
        assert not viewer.thread.is_alive()


def test_a_taken_viewer_port_is_one_clear_line():
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        with pytest.raises(ViewerPortTaken) as info:
            ViewerHub(port)
        assert str(info.value) == (f"the viewer's port {port} on 127.0.0.1 is in use by another program: "
                                   "give another viewer_port, or leave it out to take a free one")
        assert info.value.errno == 98
        with pytest.raises(ViewerPortTaken):
            TradingEnv(ui="node", render_mode="human", viewer_port=port)


@pytest.fixture
def fresh_dashboard():
    """Each test's environments on a hub of their own (the hub is the process's, and outlives them)."""
    dashboard.close_viewers()
    yield
    dashboard.close_viewers()


@requires_node
def test_human_mode_publishes_to_viewers_while_training_goes_on(capfd, fresh_dashboard):
    env = TradingEnv(ui="node", render_mode="human", ui_options={"episode_length": 40})
    viewers = []
    try:
        url = env.viewer_url
        assert url.startswith("http://127.0.0.1:") and "/?token=" in url
        assert capfd.readouterr().err == f"tarnel_rl: watch training live at {url}\n"
        viewers = [Viewer(url) for _ in range(2)]
        env.reset(seed=0, options={"episode_index": 2})
        rng = np.random.default_rng(0)
        for _ in range(30000):  # until both viewers have seen steps of this episode: the link stays the trainer's
            _, _, terminated, truncated, _ = env.step(int(rng.integers(4)))
            if terminated or truncated:
                env.reset(options={"episode_index": 2})
            if all(any(s["session"]["index"] == 2 and s["session"]["step"] > 0 for s in v.states) for v in viewers) \
                    and all(v.episodes for v in viewers):
                break
        for viewer in viewers:
            state = [s for s in viewer.states if s["session"]["index"] == 2][-1]
            assert state["seed"] == 7 and state["link"] == "connected" and state["session"]["type"] == 0
            assert state["calls"] and {c["fn"] for c in state["calls"]} <= {
                "step_and_sync", "place_ticket", "close_positions", "end_session", "reset_episode", "get_snapshot",
                "get_ohlc", "get_rl_config"}
            assert len(state["equity"]) == state["session"]["step"] + 1
            episode = viewer.episodes[0]
            assert (episode["type"], episode["index"], episode["steps"], episode["env"]) == ("train", 2, 40, 0)
            figures = viewer.train[-1]["envs"][0]["train"]
            assert figures["type"] == "train" and len(figures["observation"]) == 18
        assert capfd.readouterr().err == ""  # printed once
        assert env.render() is None
        second = TradingEnv(ui="node", render_mode="human", ui_options={"episode_length": 40})
        try:  # a second environment of the trainer joins the same dashboard, silently
            assert second.viewer_url == url and capfd.readouterr().err == ""
        finally:
            second.close()
    finally:
        for viewer in viewers:
            viewer.close()
        env.close()
    assert [e["closed"] for e in ViewerHubStats(url)["envs"]] == [True, True]
    dashboard.close_viewers()
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(url, timeout=5)  # the trainer's dashboard ends with close_viewers()


def ViewerHubStats(url: str) -> dict:  # noqa: N802 - reads as the hub's stats
    parsed = urllib.parse.urlsplit(url)
    with urllib.request.urlopen(f"http://127.0.0.1:{parsed.port}/stats?{parsed.query}", timeout=10) as response:
        return json.loads(response.read())


requires_browser = pytest.mark.skipif(not ui_host.browser_available(),
                                      reason="headless Chromium (/usr/bin/chromium) or Playwright is not installed")


@requires_browser
@requires_node
@pytest.mark.parametrize("host", ["node", "browser"])
def test_a_browser_opens_the_live_viewer_while_the_environment_trains(host, fresh_dashboard):
    pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    from playwright.sync_api import sync_playwright

    env = TradingEnv(ui=host, render_mode="human", ui_options={"episode_length": 60})
    try:
        env.reset(seed=0, options={"episode_index": 1})
        with sync_playwright() as playwright:
            browser = playwright.chromium.launch(executable_path=ui_host.CHROMIUM, args=ui_host.CHROMIUM_ARGS)
            try:
                page = browser.new_page(viewport={"width": 1000, "height": 900})
                page.goto(env.viewer_url)
                rng = np.random.default_rng(1)
                drawn = None
                for _ in range(30000):  # trains until the viewer has drawn a few states of this episode
                    _, _, terminated, truncated, _ = env.step(int(rng.integers(4)))
                    if terminated or truncated:
                        env.reset(options={"episode_index": 1})
                    drawn = page.evaluate("() => window.liveViewer && window.liveViewer.updates > 3 && "
                                          "window.liveViewer.latest && window.liveViewer.latest.session.index === 1 && "
                                          "window.liveViewer.chart.drawn.pricePane && "
                                          "({ feed: document.body.dataset.feed, marks: window.liveViewer.chart.drawn.marks.length,"
                                          "   pane: window.liveViewer.chart.drawn.pricePane,"
                                          "   calls: document.querySelectorAll('#calls li').length })")
                    if drawn:
                        break
                assert drawn, "the viewer drew no state of the episode"
                assert drawn["feed"] == "live" and drawn["pane"]["w"] > 500 and drawn["calls"] > 0
                pixels = page.locator("#chart").screenshot()
                assert len(pixels) > 10_000  # a drawn chart, not a blank canvas
            finally:
                browser.close()
        env.step(HOLD)  # the viewer never took the link
    finally:
        env.close()


# --- readable frames: text and one time axis -----------------------------------------------------------


def long_trace(steps: int) -> EpisodeTrace:
    """An episode of `steps` steps after a window of 32 candles, with a long from step 3."""
    trace = EpisodeTrace()
    trace.start("test", 5, snapshot(0, 100.0, 0, left=steps + 10), window(100.0, 32), 10000.0)
    for step in range(1, steps + 1):
        close = 100.0 + np.sin(step / 5.0) * 3
        trace.step(snapshot(step, close, 10 if step >= 3 else 0, equity=10000.0 + step * 2, left=steps + 10),
                   np.array([[close, close + 1, close - 1, close, 50.0]]), action=LONG if step == 3 else HOLD,
                   reward=0.02)
    return trace


@pytest.mark.parametrize("steps", [5, 59, 150])
def test_the_equity_under_a_candle_belongs_to_that_candles_bar(steps):
    trace = long_trace(steps)
    where = frames.layout(trace)
    frame = frames.draw_frame(trace)
    for k in range(steps + 1):
        bar = trace.first + k
        if bar < where.start:
            continue  # scrolled out of both panes alike
        x = frames.equity_x(trace, k)
        assert x == where.candle_x(bar)
        # The candle of that bar is drawn at x in the price pane, and the equity line passes x below it.
        prices = frame[where.prices.y:where.prices.y + where.prices.h, x]
        equity = frame[where.equity.y:where.equity.y + where.equity.h, x]
        assert colour_pixels(prices[None], frames.UP) + colour_pixels(prices[None], frames.DOWN) > 0, k
        assert colour_pixels(equity[None], frames.EQUITY) > 0, k
    # The last point of both panes is the same bar: the newest candle, at the same x.
    last = where.candle_x(len(trace.candles) - 1)
    assert frames.equity_x(trace, steps) == last <= where.prices.x + where.prices.w
    # Nothing of the equity line lies right of the newest candle.
    right = frame[where.equity.y:where.equity.y + where.equity.h, last + 2:where.equity.x + where.equity.w - 1]
    assert colour_pixels(right, frames.EQUITY) == 0


def test_a_frame_says_step_action_reward_return_and_prices():
    trace = long_trace(59)
    assert frames.headline(trace) == "test #5  step 59/69  action hold  reward +0.020 %  return +1.180 %"
    frame = frames.draw_frame(trace)
    where = frames.layout(trace)
    text_rows = frame[frames.PROGRESS_ROWS[1]:where.prices.y]
    assert colour_pixels(text_rows, frames.TEXT) > 200  # the headline is drawn
    scale = frame[where.prices.y:where.equity.y + where.equity.h, where.prices.x + where.prices.w + 2:]
    assert colour_pixels(scale, frames.TEXT) > 100  # the price and equity scales
    # Different text, different pixels: the step's figures are drawn, not a fixed picture.
    other = long_trace(59)
    other.actions[-1], other.rewards[-1] = LONG, -1.5
    assert not np.array_equal(frames.draw_frame(other)[:where.prices.y], frame[:where.prices.y])
    assert np.array_equal(frames.draw_frame(other)[where.prices.y:], frame[where.prices.y:])


def test_markers_are_big_enough_for_a_video():
    trace = EpisodeTrace()  # a long opened at step 1 and closed at a gain at step 3: a triangle and a square
    trace.start("train", 0, snapshot(0, 100.0, 0, left=10), window(100.0, 4), 10000.0)
    for step, (close, net) in enumerate([(100.0, 10), (101.0, 10), (102.0, 0), (102.0, 0)], start=1):
        trace.step(snapshot(step, close, net, left=10), window(close))
    frame = frames.draw_frame(trace)
    pane = frames.layout(trace).prices
    prices = frame[pane.y:pane.y + pane.h, pane.x:pane.x + pane.w]
    size = 2 * frames.MARK_HALF + 1
    # The triangle of the fill (the only thing in the buy colour once the long is closed).
    rows, columns = np.nonzero(np.all(prices == np.array(frames.BUY, dtype=np.uint8), axis=-1))
    assert columns.max() - columns.min() + 1 == size and rows.max() - rows.min() + 1 == frames.MARK_HALF + 1


@pytest.mark.parametrize("action,reward,said", [(None, float("nan"), "action -  reward -"),
                                                 (SHORT, -0.25, "action short  reward -0.250 %"),
                                                 (np.array([0.5]), 1.0, "action +0.5  reward +1.000 %")])
def test_the_headline_says_any_kind_of_action(action, reward, said):
    trace = long_trace(3)
    trace.actions[-1], trace.rewards[-1] = action, reward
    assert said in frames.headline(trace)
