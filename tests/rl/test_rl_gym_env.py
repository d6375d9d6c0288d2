"""The Gymnasium environment against the real module and the Node.js user interface: the API checker,
whole episodes, observations and rewards against the raw arrays, the calls each step makes, resets,
limits, where the engine calls run (the calling thread or a background loop), a second user interface
taking over the port, and what close() stops."""
import asyncio
import gc
import os
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node, ui_processes, wait_until
from support.ports import held_port
from support.tcp_table import connected

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
from gymnasium.utils.env_checker import check_env  # noqa: E402

from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.gym_env import EVENT_ROWS, TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT, UserInterfaceReplaced, make_observation  # noqa: E402

pytestmark = requires_node

SNAP_STEP, SNAP_CLOSE, SNAP_NET_UNITS, SNAP_STEPS_LEFT, SNAP_DONE, SNAP_TYPE, SNAP_INDEX = 0, 2, 10, 11, 12, 13, 14
# Opens, flips, holds and closes positions all through an episode.
PATTERN = (LONG, HOLD, HOLD, SHORT, HOLD, FLAT, HOLD, LONG, SHORT, FLAT, FLAT, HOLD)


class ThreadRecorder:
    """Stands in front of an engine and records the thread each call is made on."""

    def __init__(self, engine):
        self._engine = engine
        self.threads: list[threading.Thread] = []

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        def call(*args, **kwargs):
            self.threads.append(threading.current_thread())
            return method(*args, **kwargs)

        return call


def leftover_threads(before: set) -> set:
    return {t for t in threading.enumerate() if t.name.startswith("tarnel-env") and t not in before}


@pytest.fixture
def make_env():
    made = []

    def make(**kwargs):
        env = TradingEnv(**{"ui": "node", **kwargs})
        made.append(env)
        return env

    yield make
    for env in made:
        env.close()


@pytest.mark.parametrize("observation", ["features", "raw"])
def test_check_env_passes(observation):
    env = gym.make("tarnel_rl/Trading-v0", ui="node", observation=observation)
    try:
        # Engines that earlier tests left open would warn when collected: collected now, they cannot warn
        # in the middle of the check, however the collector's timing falls.
        gc.collect()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            check_env(env.unwrapped)  # made through gym.make: also makes a second environment and closes it twice
        # The only complaint allowed: returns and money amounts have no finite bound, and say so.
        others = [str(w.message) for w in caught if "infinity" not in str(w.message)]
        assert others == []
    finally:
        env.close()


def test_a_whole_episode_of_raw_observations(make_env):
    env = make_env(observation="raw", series_seed=11, events=True)
    config = env.config
    window, length, balance = config["window"], config["episode_length"], config["initial_balance"]
    assert env.observation_space.shape == (16 + window * 5,) and env.observation_space.dtype == np.float64

    obs, info = env.reset(seed=3, options={"episode_type": "test", "episode_index": 1})
    assert (info["episode_type"], info["episode_index"], info["step"]) == ("test", 1, 0)
    snapshot = info["snapshot"]
    assert snapshot.shape == (16,) and info["window"].shape == (window, 5)
    assert info["events"].shape == (EVENT_ROWS, 10) and np.isnan(info["events"]).all() and info["event_count"] == 0
    assert (snapshot[SNAP_STEP], snapshot[SNAP_STEPS_LEFT], snapshot[SNAP_TYPE], snapshot[SNAP_INDEX]) == (0, length, 1, 1)
    np.testing.assert_array_equal(obs, np.concatenate([snapshot, info["window"].ravel()]))
    assert obs in env.observation_space

    equity, position, events, opened = info["equity"], 0, 0, 0
    for t in range(length):
        action = PATTERN[t % len(PATTERN)]
        calls = env.engine_calls
        wanted = {LONG: 10, SHORT: -10, FLAT: 0}.get(action, position)
        # step_and_sync and fetch_events, a close when a position must go, a ticket when one must come,
        # end_session and the closing's events at the end; never the ticket list.
        expected_calls = 2 + (position != 0 and wanted != position) + (wanted != 0 and wanted != position)
        expected_calls += 2 * (t == length - 1)
        obs, reward, terminated, truncated, info = env.step(action)
        assert env.engine_calls - calls == expected_calls, (t, action, position)
        snapshot = info["snapshot"]
        assert obs in env.observation_space
        np.testing.assert_array_equal(obs[:16], snapshot)
        np.testing.assert_array_equal(obs[16:].reshape(window, 5), info["window"])
        assert info["window"][-1, 3] == snapshot[SNAP_CLOSE]  # the window ends on the cursor's bar
        assert snapshot[SNAP_STEP] == t + 1 and info["step"] == t + 1
        # The action decides the position: one lot long, short, or none; hold keeps it.
        position = {LONG: 10, SHORT: -10, FLAT: 0}.get(action, position)
        assert snapshot[SNAP_NET_UNITS] == position
        if not terminated:
            assert reward == (info["equity"] - equity) / balance * 100.0
        else:  # the last step's reward includes the session's closing: what was open is closed and pays its fee
            assert reward == pytest.approx((info["summary"][2] - equity) / balance * 100.0, rel=1e-9, abs=1e-12)
            assert info["summary"][2] < info["equity"]  # the fee of the last position's close
        equity = info["equity"]
        assert terminated == (t == length - 1) and snapshot[SNAP_DONE] == terminated
        assert truncated is False
        count = info["event_count"]
        assert info["events"].shape == (EVENT_ROWS, 10) and count <= 3
        assert np.isnan(info["events"][count:]).all() and not np.isnan(info["events"][:count]).any()
        assert count == expected_calls - 2 - 2 * (t == length - 1) + (t == length - 1 and position != 0)
        events += count
        opened += int(np.sum(info["events"][:count, 0] == 1))
    assert info["events"][count - 1, 8] == (5 if position else 0)  # the session's end closed the last position
    summary = info["summary"]
    assert summary.shape == (12,)
    assert (summary[0], summary[10], summary[11]) == (length, 1, 1)
    assert opened > length // 6 and events > opened
    # The summary closes the last position at the close: equity less that fill's fee at most.
    assert equity - 1.0 < summary[2] <= equity
    with pytest.raises(RuntimeError, match="the episode is over: call reset"):
        env.step(HOLD)


def test_feature_observations_resets_and_the_step_limit(make_env):
    env = make_env(max_episode_steps=5)
    assert env.observation_space.shape == (18,)
    counts = {"train": env.config["train_episodes"], "test": env.config["test_episodes"]}

    # A seeded reset draws its episode from the environment's generator: the same seed, the same episode.
    first = env.reset(seed=21)
    again = env.reset(seed=21)
    assert first[1]["episode_type"] == "train"  # the constructor's episode type
    assert first[1]["episode_index"] == again[1]["episode_index"]
    np.testing.assert_array_equal(first[0], again[0])
    drawn = {env.reset(seed=s)[1]["episode_index"] for s in range(12)}
    assert len(drawn) > 1 and drawn <= set(range(counts["train"]))

    obs, info = env.reset(options={"episode_type": "test", "episode_index": counts["test"] - 1})
    assert sorted(info) == ["episode_index", "episode_type", "equity", "snapshot", "step", "window"]
    np.testing.assert_array_equal(obs, make_observation(info["snapshot"], info["window"], env.initial_balance))
    for t in range(5):
        obs, reward, terminated, truncated, info = env.step(LONG if t == 0 else HOLD)
        np.testing.assert_array_equal(obs, make_observation(info["snapshot"], info["window"], env.initial_balance))
        assert obs[16] == 1.0  # long
        assert (terminated, truncated) == (False, t == 4)
        assert ("summary" in info) == (t == 4)
    assert info["summary"][0] == 5 and info["summary"][6] == 1  # ended after 5 steps, one trade closed
    with pytest.raises(RuntimeError, match="the episode is over"):
        env.step(HOLD)

    with pytest.raises(ValueError, match=rf"^test episode index {counts['test']} out of range \({counts['test']} test episodes\)$"):
        env.reset(options={"episode_type": "test", "episode_index": counts["test"]})
    for kind in ("valid", "eval", "tset", "", "TEST", None):
        with pytest.raises(ValueError, match=rf"^episode_type must be 'train', 'validation' or 'test', got {kind!r}$"):
            env.reset(options={"episode_type": kind})
    with pytest.raises(ValueError, match=r"^episode_type must be 'train', 'validation' or 'test', got 'eval'$"):
        TradingEnv(ui="node", episode_type="eval")
    with pytest.raises(ValueError, match=r"^unknown reset options: episode$"):
        env.reset(options={"episode": 1})
    env.reset(options={"episode_index": 0})
    with pytest.raises(ValueError, match=r"^action must be one of 0\.\.3, got 4$"):
        env.step(4)
    env.step(np.int64(FLAT))  # NumPy integers, as samplers give them, are actions too


@pytest.mark.parametrize("events", [False, True])
def test_make_with_max_episode_steps_ends_the_session_on_truncation(events):
    env = gym.make("tarnel_rl/Trading-v0", ui="node", max_episode_steps=4, events=events)
    try:
        for episode in range(2):
            env.reset(seed=episode)
            for t in range(4):
                _, _, terminated, truncated, info = env.step(SHORT if t == 1 else HOLD)
                assert (terminated, truncated, "summary" in info) == (False, t == 3, t == 3)
            summary = info["summary"]
            assert summary.shape == (12,) and summary[0] == 4 and summary[6] == 1  # 4 steps, the short closed
            assert (summary[10], summary[11]) == (0, info["episode_index"])
            if events:  # the closing of the short, by the end of the session
                assert info["event_count"] == 1 and info["events"][0, 0] == 2 and info["events"][0, 8] == 5
            with pytest.raises(RuntimeError, match="the episode is over"):
                env.unwrapped.step(HOLD)
    finally:
        env.close()


@pytest.mark.parametrize("ending", ["terminated", "max_episode_steps", "gym.make TimeLimit"])
def test_the_rewards_of_an_episode_add_up_to_its_return(ending, make_env):
    # A long position is still open at the end: the session's end closes it and charges its fee, which
    # the last step's reward must include.
    if ending == "gym.make TimeLimit":
        env = gym.make("tarnel_rl/Trading-v0", ui="node", max_episode_steps=9, ui_options={"episode_length": 30})
    else:
        env = make_env(max_episode_steps=9 if ending == "max_episode_steps" else None, ui_options={"episode_length": 30})
    try:
        for episode in range(2):
            env.reset(seed=episode)
            rewards = []
            while True:
                _, reward, terminated, truncated, info = env.step(LONG)
                assert type(reward) is float
                rewards.append(reward)
                if terminated or truncated:
                    break
            assert len(rewards) == (30 if ending == "terminated" else 9)
            assert info["summary"][6] == 1 and env.unwrapped.closing_reward < 0  # the closing fee
            assert sum(rewards) == pytest.approx(info["summary"][3] * 100.0, rel=1e-9, abs=1e-12)
    finally:
        env.close()


@pytest.mark.parametrize("kwargs, error, message", [
    ({"timeout_secs": -1}, ValueError, "timeout_secs must be a finite number of seconds above 0"),
    ({"timeout_secs": float("nan")}, ValueError, "timeout_secs must be a finite number"),
    ({"timeout_secs": float("inf")}, ValueError, "timeout_secs must be a finite number"),
    ({"timeout_secs": 0}, ValueError, "timeout_secs must be a finite number of seconds above 0"),
    ({"timeout_secs": 1e12}, ValueError, r"at most 1e\+09, got 1000000000000\.0"),
    ({"timeout_secs": "10"}, TypeError, "timeout_secs must be a number of seconds, got '10'"),
    ({"connect_timeout_secs": -0.5}, ValueError, "connect_timeout_secs must be a finite number"),
    ({"units": 0}, ValueError, "units must be at least 1, got 0"),
    ({"units": -3}, ValueError, "units must be at least 1, got -3"),
    ({"units": 1.5}, TypeError, "units must be an integer, got 1.5"),
    ({"units": True}, TypeError, "units must be an integer, got True"),
    ({"units": 2 ** 31}, ValueError, r"units must be at most 2147483647 \(2\^31 - 1, .*\), got 2147483648"),
    ({"units": np.int64(10 ** 12)}, ValueError, "units must be at most 2147483647"),
    ({"port": 70000}, ValueError, "port must be 1 to 65535, or None for a free one; got 70000"),
    ({"port": 0}, ValueError, "port must be 1 to 65535"),
    ({"candles": np.zeros((10, 4))}, ValueError, r"candles must be an N x 5 array .* got shape \(10, 4\)"),
    ({"ui_options": {"windows": 8}}, ValueError, "unknown ui_options key 'windows'"),
    ({"render_mode": "video"}, ValueError, "render_mode must be 'human', 'rgb_array' or None, got 'video'"),
    ({"viewer_port": 8800}, ValueError, "viewer_port is the live viewer's, which only render_mode='human' starts"),
    ({"render_mode": "human", "viewer_port": 123456}, ValueError, "viewer_port must be 1 to 65535"),
    ({"ui": "chromium"}, ValueError, "ui must be 'node', 'browser', 'auto' \\(Node.js\\) or None, got 'chromium'"),
])
def test_arguments_are_checked_when_the_environment_is_made(kwargs, error, message):
    before = set(threading.enumerate())
    with pytest.raises(error, match=message):
        TradingEnv(**kwargs)
    assert leftover_threads(before) == set()  # refused before anything started


def test_a_series_too_long_for_the_page_is_refused_with_the_bars_it_may_have(monkeypatch):
    from tarnel_rl import trading

    # init_candles' message: a 16-byte frame header, an 8-byte matrix header, 40 bytes a bar, within the
    # 4 GiB - 1 that the page's `ws` socket takes
    assert trading.MAX_BARS == 107_374_181
    assert 16 + 8 + 40 * trading.MAX_BARS <= 2 ** 32 - 1 < 16 + 8 + 40 * (trading.MAX_BARS + 1)
    trading.check_series_length(trading.MAX_BARS)
    with pytest.raises(ValueError, match="107374182 bars, .* at most 107374181 bars of 5 values"):
        trading.check_series_length(trading.MAX_BARS + 1)
    # with the times as a sixth column (the financing's): 48 bytes a bar
    assert 16 + 8 + 48 * 89_478_484 <= 2 ** 32 - 1 < 16 + 8 + 48 * 89_478_485
    trading.check_series_length(89_478_484, columns=6)
    with pytest.raises(ValueError, match="series of market 'AAA' has 89478485 bars, .* at most 89478484 bars of 6"):
        trading.check_series_length(89_478_485, "AAA", columns=6)
    # the environment checks its candles when it is made (a series of 100 million bars is 4 GB: a lower
    # limit stands in for it here)
    monkeypatch.setattr(trading, "MAX_BARS", 40)
    candles = np.array([[10.0, 11.0, 9.0, 10.0, 1.0]] * 41)
    before = set(threading.enumerate())
    with pytest.raises(ValueError, match="the series has 41 bars, .* at most 40 bars"):
        TradingEnv(candles=candles)
    assert leftover_threads(before) == set()


@pytest.mark.parametrize("page, env_kwargs, differences", [
    ({"seed": 1}, {}, "runs seed 1, but this environment asks for series_seed=7"),
    ({"seed": 7, "options": {"window": 16}}, {"ui_options": {"window": 8}},
     "runs window 16, but this environment asks for window=8"),
    ({"seed": 3, "options": {"series": "regime"}}, {"series_seed": 4, "ui_options": {"series": "walk"}},
     "runs seed 3, series regime, but this environment asks for series_seed=4, series='walk'"),
])
def test_a_page_of_your_own_with_another_seed_or_options_is_refused(page, env_kwargs, differences):
    with held_port() as port:
        node = ui_host.NodeUI(port, seed=page["seed"], options=page.get("options"))
        try:
            with pytest.raises(RuntimeError) as info:
                TradingEnv(ui=None, port=port, **env_kwargs)
            text = str(info.value)
            assert differences in text, text
            assert "with ui=None it cannot pass them on: open the page as index.html?host=127.0.0.1" in text
            assert f"python -m tarnel_rl.run_ui --port {port} --seed {env_kwargs.get('series_seed', 7)}" in text
        finally:
            asyncio.run(node.close())


def test_a_failed_call_says_which_engine_and_which_user_interface(make_env):
    env = make_env()
    env.reset(seed=0)
    env.ui_process.kill()
    env.ui_process.wait(10)
    with pytest.raises(RuntimeError) as info:
        for _ in range(3):  # the link may take a call to notice
            env.step(HOLD)
    notes = getattr(info.value, "__notes__", [])
    assert notes == [f"tarnel_rl: the engine on 127.0.0.1:{env.port}, served by the Node.js user interface "
                     f"(pid {env.ui_process.pid}, which has exited with status -9)"], notes


def test_the_engine_options_of_the_user_interface(make_env):
    env = make_env(ui_options={"window": 8, "episode_length": 20}, observation="raw")
    assert (env.config["window"], env.config["episode_length"]) == (8, 20)
    assert env.observation_space.shape == (16 + 8 * 5,)
    env.reset(seed=0)
    steps = 0
    while True:
        _, _, terminated, truncated, info = env.step(HOLD)
        steps += 1
        if terminated or truncated:
            break
    assert (steps, terminated, info["summary"][0]) == (20, True, 20)


def test_without_a_running_loop_the_calls_run_on_the_calling_thread(make_env):
    before = set(threading.enumerate())
    env = make_env()
    assert env.loop_thread is None and leftover_threads(before) == set()
    recorder = env._session.engine = ThreadRecorder(env._session.engine)
    env.reset(seed=1)
    env.step(LONG)
    assert recorder.threads and set(recorder.threads) == {threading.current_thread()}

    # Another thread may use the environment too (not at the same time): its calls run on it.
    recorder.threads.clear()
    worker = threading.Thread(target=lambda: env.step(SHORT), name="trainer-2")
    worker.start()
    worker.join(30)
    assert {t.name for t in recorder.threads} == {"trainer-2"}

    # Called from inside a running event loop, the same loop is driven by a helper thread meanwhile.
    recorder.threads.clear()

    async def in_a_notebook_cell():
        return env.step(FLAT)

    _, _, _, _, info = asyncio.run(in_a_notebook_cell())
    assert info["snapshot"][SNAP_NET_UNITS] == 0
    assert {t.name.startswith("tarnel-env-call") for t in recorder.threads} == {True}

    # A call while another one runs in a different thread is refused.
    started, release = threading.Event(), threading.Event()

    async def hold_the_loop():
        started.set()
        while not release.is_set():
            await asyncio.sleep(0.01)

    holder = threading.Thread(target=env._loop.run, args=(hold_the_loop(), 10.0))
    holder.start()
    assert started.wait(10)
    try:
        with pytest.raises(RuntimeError, match="^the environment is already running a call in another thread$"):
            env.step(HOLD)
    finally:
        release.set()
        holder.join(10)

    # From a coroutine on the environment's own loop, a synchronous call would deadlock: refused.
    async def from_the_envs_own_loop():
        env.step(HOLD)

    with pytest.raises(RuntimeError, match="own event loop thread"):
        env._loop.run(from_the_envs_own_loop(), 10.0)
    env.step(HOLD)  # still usable
    env.close()
    assert env._loop.loop.is_closed() and leftover_threads(before) == set()


async def test_works_inside_a_running_event_loop(make_env):
    """A notebook cell runs inside an event loop: the synchronous API must still work there."""
    asyncio.get_running_loop()
    env = make_env()
    recorder = env._session.engine = ThreadRecorder(env._session.engine)
    obs, _ = env.reset(seed=1)
    _, _, _, _, info = env.step(LONG)
    assert info["snapshot"][SNAP_NET_UNITS] == 10
    assert env.loop_thread is not None and env.loop_thread is not threading.current_thread()
    assert set(recorder.threads) == {env.loop_thread}

    async def from_the_envs_own_loop():
        env.step(HOLD)

    inner = asyncio.run_coroutine_threadsafe(from_the_envs_own_loop(), env._loop.loop)
    with pytest.raises(RuntimeError, match="own event loop thread"):
        inner.result(timeout=10)
    env.step(HOLD)  # still usable


async def test_close_stops_the_user_interface_the_engine_and_the_loop_thread(make_env):
    with held_port() as port:  # held until the second environment binds it again
        env = make_env(port=port)  # inside a running loop: the environment's loop runs on a thread of its own
        env.reset(seed=0)
        env.step(LONG)
        process, thread = env.ui_process, env.loop_thread
        assert ui_processes([port]) == [process.pid] and thread.is_alive()
        env.close()
        assert process.returncode is not None and not os.path.exists(f"/proc/{process.pid}")
        assert not thread.is_alive()
        assert ui_processes([port]) == []
        env.close()  # a second close does nothing
        with pytest.raises(RuntimeError, match="^the environment is closed$"):
            env.reset()
        with pytest.raises(RuntimeError, match="^the environment is closed$"):
            env.step(HOLD)
        # The engine was closed: its port is free at once, for a new environment on the same port.
        other = make_env(port=port)
        other.reset(seed=0)
        assert other.port == port and other.step(HOLD)[4]["snapshot"].shape == (16,)


def test_an_external_user_interface_is_used_and_left_running():
    with held_port() as port:
        node = ui_host.NodeUI(port, seed=7)  # it retries until the engine listens
        try:
            env = TradingEnv(ui=None, port=port)
            try:
                assert env.ui is None and env.ui_process is None
                obs, info = env.reset(options={"episode_index": 2})
                obs, _, _, _, info = env.step(SHORT)
                assert info["snapshot"][SNAP_NET_UNITS] == -10
            finally:
                env.close()
            assert node.process.poll() is None  # not the environment's to stop
        finally:
            node.process.terminate()
            node.process.wait(10)


@pytest.mark.parametrize("inside_a_loop", [False, True])
def test_a_user_interface_that_never_connects(inside_a_loop):
    before = set(threading.enumerate())

    async def make(port):
        return TradingEnv(ui=None, port=port, connect_timeout_secs=0.3)

    with held_port() as port, pytest.raises(RuntimeError) as info:
        asyncio.run(make(port)) if inside_a_loop else TradingEnv(ui=None, port=port, connect_timeout_secs=0.3)
    text = str(info.value)
    assert text.startswith("no user interface connected to the engine on 127.0.0.1:"), text
    assert (" within 0.3 s (RpcTransportError(seq=None, fnId=None): wait_connected timed out): start yours for this "
            "port") in text, text
    assert "index.html?host=127.0.0.1&port=" in text and "&seed=7" in text
    assert str(info.value.__cause__) == "RpcTransportError(seq=None, fnId=None): wait_connected timed out"
    assert wait_until(lambda: leftover_threads(before) == set())
    with pytest.raises(ValueError, match="port of the external user interface must be given"):
        TradingEnv(ui=None)


def test_an_environment_never_closed_ends_its_user_interface_at_exit():
    script = ("import sys\nfrom tarnel_rl.gym_env import TradingEnv\n"
              "env = TradingEnv(ui='node')\nenv.reset(seed=0)\nenv.step(1)\n"
              "print(env.ui_process.pid, env.port, flush=True)\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})
    assert result.returncode == 0, result.stderr
    pid, port = map(int, result.stdout.split())
    assert wait_until(lambda: ui_processes([port]) == [], timeout=10), f"Node.js process {pid} still runs"


def test_a_second_user_interface_on_the_port_is_reported_at_the_next_step(make_env):
    env = make_env()
    env.reset(seed=0, options={"episode_type": "train", "episode_index": 1})
    env.step(LONG)
    env.step(HOLD)
    # What a second terminal, tab or reload does: the same runner, pointed at the same port.
    second = subprocess.Popen(["node", str(ui_host.ui_directory() / "node" / "run-ui.mjs"), "--host", "127.0.0.1",
                               "--port", str(env.port), "--seed", "7", "--quiet"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        # Its connection is there before the steps go on: however slowly Node.js starts, the episode cannot
        # run out first.
        assert wait_until(lambda: connected(second.pid, env.port), timeout=30)
        error, steps, deadline = None, 0, time.monotonic() + 30
        while error is None and time.monotonic() < deadline and steps < 2000:
            try:
                env.step(HOLD)  # answered by the first user interface until the second one is connected
                steps += 1
            except UserInterfaceReplaced as replaced:
                error = replaced
            time.sleep(0.01)
        assert error is not None, f"{steps} steps went on with no error"
        message = str(error)
        assert message.startswith("the user interface was replaced: the engine now answers for ")
        assert f"not for train episode 1 at step {steps + 3} " in message
        assert message.endswith("this episode is lost: call reset() to start a new one")
        with pytest.raises(RuntimeError, match=r"^the episode is over: call reset\(\) before step\(\)$"):
            env.step(HOLD)
    finally:
        second.terminate()
        second.wait(10)
    # With the second one gone, the first reconnects by itself; a reset starts a new episode on it.
    for _ in range(100):
        try:
            obs, info = env.reset(options={"episode_index": 0})
            break
        except RuntimeError:  # "no websocket connected" until it is back
            time.sleep(0.1)
    else:
        pytest.fail("no reset succeeded after the second user interface ended")
    _, _, _, _, info = env.step(SHORT)
    assert info["snapshot"][SNAP_NET_UNITS] == -10 and info["snapshot"][SNAP_STEP] == 1
    assert (info["snapshot"][SNAP_TYPE], info["snapshot"][SNAP_INDEX]) == (0, 0)
