"""What adapters call on the vector environment: `get_attr`, `set_attr`, `call`, `render` (a grid of every
environment's frame), and the Stable-Baselines3 `VecEnv` adapter, checked against SB3's own `VecEnv`
class when SB3 is installed (its vec_env module alone: it needs no PyTorch) and against the same
interface written out here otherwise."""
import abc
import importlib.util
from pathlib import Path

import numpy as np
import pytest

from rl_support import requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl import frames  # noqa: E402
from tarnel_rl.sb3_vec_env import sb3_vec_env  # noqa: E402
from tarnel_rl.trading import HOLD, LONG  # noqa: E402
from tarnel_rl.vector_env import TradingVectorEnv, tile_frames  # noqa: E402


def test_tile_frames_puts_environment_i_at_its_place():
    tiles = [np.full((4, 6, 3), i, dtype=np.uint8) for i in range(5)]
    grid = tile_frames(tiles)
    assert grid.shape == (8, 18, 3)  # 3 columns, 2 rows
    for i in range(5):
        row, column = divmod(i, 3)
        assert np.all(grid[row * 4:(row + 1) * 4, column * 6:(column + 1) * 6] == i)
    assert np.all(grid[4:8, 12:18] == 0)  # no environment 5
    with pytest.raises(ValueError, match="no frames"):
        tile_frames([])


@requires_node
def test_get_set_call_and_render_on_every_environment():
    envs = TradingVectorEnv(3, ui="node", render_mode="rgb_array", ui_options={"episode_length": 8})
    try:
        assert envs.get_attr("series_seed") == (7, 8, 9)
        envs.set_attr("episode_type", "test")
        assert envs.get_attr("episode_type") == ("test", "test", "test")
        envs.set_attr("episode_type", ["train", "test", "train"])
        assert envs.get_attr("episode_type") == ("train", "test", "train")
        with pytest.raises(ValueError, match="2 values for 3 environments"):
            envs.set_attr("episode_type", ["train", "test"])
        envs.reset(seed=0)
        assert [info["episode_type"] for _, info in envs.call("reset", seed=1)] == ["train", "test", "train"]
        assert envs.call("initial_balance") == (10000.0,) * 3  # not callable: answered as it is
        envs.reset(seed=0)
        envs.step(np.array([LONG, HOLD, LONG]))
        grid = envs.render()
        assert grid.shape == (2 * frames.FRAME_HEIGHT, 2 * frames.FRAME_WIDTH, 3)
        for i, env in enumerate(envs.envs):
            row, column = divmod(i, 2)
            tile = grid[row * frames.FRAME_HEIGHT:(row + 1) * frames.FRAME_HEIGHT,
                        column * frames.FRAME_WIDTH:(column + 1) * frames.FRAME_WIDTH]
            assert np.array_equal(tile, env.render())
        assert not grid[frames.FRAME_HEIGHT:, frames.FRAME_WIDTH:].any()
    finally:
        envs.close()
    with pytest.raises(RuntimeError, match="closed"):
        envs.call("reset")


def sb3_vec_env_class():
    """SB3's `VecEnv`, from its vec_env module alone (SB3's package imports PyTorch; that module does not)."""
    found = importlib.util.find_spec("stable_baselines3")
    if found is None or found.origin is None:
        return None
    path = Path(found.origin).parent / "common" / "vec_env" / "base_vec_env.py"
    module_source = importlib.util.spec_from_file_location("sb3_base_vec_env", path)
    module = importlib.util.module_from_spec(module_source)
    module_source.loader.exec_module(module)
    return module.VecEnv


class VecEnvInterface(abc.ABC):
    """SB3's `VecEnv` interface, written out: its constructor and its abstract methods."""

    def __init__(self, num_envs, observation_space, action_space):
        self.num_envs, self.observation_space, self.action_space = num_envs, observation_space, action_space
        self._seeds = [None] * num_envs
        self._options = [{} for _ in range(num_envs)]
        self.render_mode = self.get_attr("render_mode")[0]

    def _reset_seeds(self):
        self._seeds = [None] * self.num_envs

    def _reset_options(self):
        self._options = [{} for _ in range(self.num_envs)]

    def seed(self, seed=None):
        self._seeds = [None if seed is None else seed + i for i in range(self.num_envs)]

    def step(self, actions):
        self.step_async(actions)
        return self.step_wait()

    for name in ("reset", "step_async", "step_wait", "close", "get_attr", "set_attr", "env_method",
                 "env_is_wrapped", "get_images"):
        locals()[name] = abc.abstractmethod(lambda self, *args, **kwargs: None)
    del name


BASES = [pytest.param(VecEnvInterface, id="interface")]
if sb3_vec_env_class() is not None:
    BASES.append(pytest.param(sb3_vec_env_class(), id="stable-baselines3"))


@requires_node
@pytest.mark.parametrize("base", BASES)
def test_the_sb3_adapter_follows_sb3s_conventions(base):
    venv = sb3_vec_env(TradingVectorEnv(2, ui="node", ui_options={"episode_length": 3}), base=base)
    try:
        assert isinstance(venv, base) and venv.num_envs == 2 and venv.render_mode is None
        assert venv.observation_space.shape == (18,) and venv.action_space.n == 4
        venv.seed(5)
        first = venv.reset()
        assert first.shape == (2, 18) and venv._seeds == [None, None]  # the seeds are used once
        for t in range(3):
            obs, rewards, dones, infos = venv.step(np.array([LONG, HOLD]))
            assert obs.shape == (2, 18) and rewards.dtype == np.float32 and dones.dtype == bool
            assert isinstance(infos, list) and len(infos) == 2
        # The episodes (3 steps) ended at the third step: reset in the same step, SB3's way.
        assert dones.tolist() == [True, True]
        for info, observation in zip(infos, obs):
            assert info["terminal_observation"].shape == (18,) and info["TimeLimit.truncated"] is False
            assert info["summary"][0] == 3 and not np.array_equal(info["terminal_observation"], observation)
        assert infos[0]["summary"][6] == 1  # the long was closed by the session's end
        obs, _, dones, _ = venv.step(np.array([HOLD, HOLD]))  # the new episodes go on
        assert dones.tolist() == [False, False]
        assert venv.get_attr("series_seed") == [7, 8] and venv.get_attr("series_seed", indices=1) == [8]
        venv.set_attr("units", 3, indices=[0])
        assert venv.get_attr("units") == [3, 10]
        assert venv.env_method("end_episode", indices=1)[0][0] == 1  # the summary of one step
        assert venv.env_is_wrapped(gym.Wrapper) == [False, False] and venv.get_images() == [None, None]
        with pytest.raises(RuntimeError, match="step_wait"):
            venv.step_wait()
    finally:
        venv.close()
    assert venv.vector.closed
