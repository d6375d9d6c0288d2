"""The Gymnasium environment against the real module and the Node.js user interface: the API checker,
whole episodes, observations and rewards against the raw arrays, resets, limits, the background event
loop, and what close() stops."""
import asyncio
import errno
import os
import socket
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

from rl_support import PYTHON_DIR, requires_node, ui_processes, wait_until

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
from gymnasium.utils.env_checker import check_env  # noqa: E402

from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT, make_observation  # noqa: E402

pytestmark = requires_node

SNAP_STEP, SNAP_CLOSE, SNAP_NET_UNITS, SNAP_STEPS_LEFT, SNAP_DONE, SNAP_TYPE, SNAP_INDEX = 0, 2, 10, 11, 12, 13, 14
# Opens, flips, holds and closes positions all through an episode.
PATTERN = (LONG, HOLD, HOLD, SHORT, HOLD, FLAT, HOLD, LONG, SHORT, FLAT, FLAT, HOLD)


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
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            check_env(env.unwrapped)  # made through gym.make: also makes a second environment and closes it twice
        # The only complaint allowed: returns and money amounts have no finite bound, and say so.
        others = [str(w.message) for w in caught if "infinity" not in str(w.message)]
        assert others == []
    finally:
        env.close()


def test_a_whole_episode_of_raw_observations(make_env):
    env = make_env(observation="raw", series_seed=11)
    config = env.config
    window, length, balance = config["window"], config["episode_length"], config["initial_balance"]
    assert env.observation_space.shape == (16 + window * 5,) and env.observation_space.dtype == np.float64

    obs, info = env.reset(seed=3, options={"episode_type": "test", "episode_index": 1})
    assert (info["episode_type"], info["episode_index"], info["step"]) == ("test", 1, 0)
    snapshot = info["snapshot"]
    assert snapshot.shape == (16,) and info["window"].shape == (window, 5) and info["events"].shape == (0, 10)
    assert (snapshot[SNAP_STEP], snapshot[SNAP_STEPS_LEFT], snapshot[SNAP_TYPE], snapshot[SNAP_INDEX]) == (0, length, 1, 1)
    np.testing.assert_array_equal(obs, np.concatenate([snapshot, info["window"].ravel()]))
    assert obs in env.observation_space

    equity, position, events, opened = info["equity"], 0, 0, 0
    for t in range(length):
        action = PATTERN[t % len(PATTERN)]
        obs, reward, terminated, truncated, info = env.step(action)
        snapshot = info["snapshot"]
        assert obs in env.observation_space
        np.testing.assert_array_equal(obs[:16], snapshot)
        np.testing.assert_array_equal(obs[16:].reshape(window, 5), info["window"])
        assert info["window"][-1, 3] == snapshot[SNAP_CLOSE]  # the window ends on the cursor's bar
        assert snapshot[SNAP_STEP] == t + 1 and info["step"] == t + 1
        # The action decides the position: one lot long, short, or none; hold keeps it.
        position = {LONG: 10, SHORT: -10, FLAT: 0}.get(action, position)
        assert snapshot[SNAP_NET_UNITS] == position
        assert reward == (info["equity"] - equity) / balance * 100.0
        equity = info["equity"]
        assert terminated == (t == length - 1) and snapshot[SNAP_DONE] == terminated
        assert truncated is False
        assert info["events"].ndim == 2 and info["events"].shape[1] == 10
        events += len(info["events"])
        opened += int(np.sum(info["events"][:, 0] == 1))
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
    with pytest.raises(ValueError, match=r"^episode_type must be 'train' or 'test', got 'valid'$"):
        env.reset(options={"episode_type": "valid"})
    with pytest.raises(ValueError, match=r"^unknown reset options: episode$"):
        env.reset(options={"episode": 1})
    env.reset(options={"episode_index": 0})
    with pytest.raises(ValueError, match=r"^action must be one of 0\.\.3, got 4$"):
        env.step(4)
    env.step(np.int64(FLAT))  # NumPy integers, as samplers give them, are actions too


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


async def test_works_inside_a_running_event_loop(make_env):
    """A notebook cell runs inside an event loop: the synchronous API must still work there."""
    asyncio.get_running_loop()
    env = make_env()
    obs, _ = env.reset(seed=1)
    _, _, _, _, info = env.step(LONG)
    assert info["snapshot"][SNAP_NET_UNITS] == 10
    assert env.loop_thread is not threading.current_thread()

    async def from_the_envs_own_loop():
        env.step(HOLD)

    inner = asyncio.run_coroutine_threadsafe(from_the_envs_own_loop(), env._loop.loop)
    with pytest.raises(RuntimeError, match="own event loop thread"):
        inner.result(timeout=10)
    env.step(HOLD)  # still usable


def test_close_stops_the_user_interface_and_the_loop_thread(make_env):
    env = make_env()
    env.reset(seed=0)
    env.step(LONG)
    process, thread, port = env.ui_process, env.loop_thread, env.port
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
    # The module's server cannot be stopped: its port stays taken until the process ends, and the next
    # environment takes a fresh one.
    with socket.socket() as s, pytest.raises(OSError) as info:
        s.bind(("127.0.0.1", port))
    assert info.value.errno == errno.EADDRINUSE
    other = make_env()
    assert other.port != port


def test_an_external_user_interface_is_used_and_left_running():
    port = ui_host.free_port()
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


def test_a_user_interface_that_never_connects():
    before = {t for t in threading.enumerate() if t.name == "tarnel-env-loop"}
    with pytest.raises(RuntimeError) as info:
        TradingEnv(ui=None, port=ui_host.free_port(), connect_timeout_secs=0.3)
    assert str(info.value) == "RpcTransportError(seq=None, fnId=None): wait_connected timed out"
    assert wait_until(lambda: {t for t in threading.enumerate() if t.name == "tarnel-env-loop"} <= before)
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
