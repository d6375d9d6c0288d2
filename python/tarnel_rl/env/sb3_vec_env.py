"""Stable-Baselines3's `VecEnv` over a `TradingVectorEnv`: SB3 drives N engines on one event loop in one
process (no worker processes, no pickling).

    from stable_baselines3 import PPO
    from tarnel_rl.env.sb3_vec_env import sb3_vec_env
    from tarnel_rl.env.vector_env import TradingVectorEnv

    venv = sb3_vec_env(TradingVectorEnv(4, ui="node", max_episode_steps=256))
    PPO("MlpPolicy", venv).learn(10_000)
    venv.close()

SB3's conventions, which differ from gymnasium's vector API: an environment whose episode ends is reset
in the same step; the step answers the new episode's first observation, `dones[i]` is True, and
`infos[i]` has `terminal_observation` (the ended episode's last observation) and `TimeLimit.truncated`
(the episode was cut short, not ended). `infos[i]["summary"]` is the session's summary, as with the
environment. `seed(s)` seeds environment i with s + i at the next reset.

The class is made on first use, on SB3's `VecEnv` (from `stable_baselines3.common.vec_env`, which needs
PyTorch with the rest of SB3); `sb3_vec_env(vector, base=...)` takes another base class of the same
interface (the tests use SB3's module alone).
"""
from __future__ import annotations

import asyncio
import functools
from collections.abc import Iterable, Sequence
from typing import Any

import gymnasium as gym
import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.gym_env import TradingEnv
from tarnel_rl.env.vector_env import TradingVectorEnv


def sb3_vec_env(vector: TradingVectorEnv, base: type | None = None) -> Any:
    """`vector` as an SB3 `VecEnv` (see the module's text). Closing it closes `vector`."""
    if base is None:
        try:
            from stable_baselines3.common.vec_env import VecEnv as base
        except ImportError as error:
            raise RuntimeError("the SB3 adapter needs Stable-Baselines3: pip install stable-baselines3 (it brings "
                               f"PyTorch) ({error})") from None
    return _adapter_class(base)(vector)


@functools.cache
def _adapter_class(base: type) -> type:
    class TradingVecEnv(base):  # type: ignore[misc, valid-type]
        def __init__(self, vector: TradingVectorEnv) -> None:
            self.vector = vector
            self._actions: NDArray[Any] | None = None
            spaces = (vector.single_observation_space, vector.single_action_space)
            base.__init__(self, vector.num_envs, *spaces)  # type: ignore[misc]

        @property
        def envs(self) -> list[TradingEnv]:
            return self.vector.envs

        def reset(self) -> NDArray[np.float64]:
            for env, seed in zip(self.envs, self._seeds):
                if seed is not None:
                    gym.Env.reset(env, seed=seed)  # seeds the environment's generator, as TradingEnv.reset does
            options = self._options

            async def reset_all() -> list[tuple[NDArray[np.float64], dict[str, Any]]]:
                return await asyncio.gather(*(env._async_reset(o or None) for env, o in zip(self.envs, options)))

            results = self.vector._loop.run(reset_all(), self.vector._step_timeout())
            self.reset_infos = [info for _, info in results]
            self._reset_seeds()
            self._reset_options()
            return np.stack([obs for obs, _ in results])

        def step_async(self, actions: NDArray[Any]) -> None:
            self._actions = np.asarray(actions).reshape(self.num_envs)

        def step_wait(self) -> tuple[NDArray[np.float64], NDArray[np.float32], NDArray[np.bool_], list[dict[str, Any]]]:
            if self._actions is None:
                raise RuntimeError("step_wait() without step_async()")
            actions, self._actions = self._actions, None

            async def one(env: TradingEnv, action: Any) -> tuple[NDArray[np.float64], float, bool, dict[str, Any]]:
                obs, reward, terminated, truncated, info = await env._async_step(int(action))
                if terminated or truncated:
                    info = dict(info, terminal_observation=obs)
                    info["TimeLimit.truncated"] = truncated and not terminated
                    obs, _ = await env._async_reset(None)
                return obs, reward, terminated or truncated, info

            async def step_all() -> list[tuple[NDArray[np.float64], float, bool, dict[str, Any]]]:
                return await asyncio.gather(*(one(env, a) for env, a in zip(self.envs, actions)))

            results = self.vector._loop.run(step_all(), self.vector._step_timeout())
            return (np.stack([r[0] for r in results]), np.array([r[1] for r in results], dtype=np.float32),
                    np.array([r[2] for r in results], dtype=bool), [r[3] for r in results])

        def close(self) -> None:
            self.vector.close()

        def get_attr(self, attr_name: str, indices: Any = None) -> list[Any]:
            return [getattr(self.envs[i], attr_name) for i in self._indices(indices)]

        def set_attr(self, attr_name: str, value: Any, indices: Any = None) -> None:
            for i in self._indices(indices):
                setattr(self.envs[i], attr_name, value)

        def env_method(self, method_name: str, *method_args: Any, indices: Any = None,
                       **method_kwargs: Any) -> list[Any]:
            return [getattr(self.envs[i], method_name)(*method_args, **method_kwargs) for i in self._indices(indices)]

        def env_is_wrapped(self, wrapper_class: type[gym.Wrapper], indices: Any = None) -> list[bool]:
            return [False for _ in self._indices(indices)]  # the environments are never wrapped

        def get_images(self) -> Sequence[NDArray[np.uint8] | None]:
            return [env.render() if env.render_mode == "rgb_array" else None for env in self.envs]

        def _indices(self, indices: None | int | Iterable[int]) -> list[int]:
            if indices is None:
                return list(range(self.num_envs))
            return [indices] if isinstance(indices, int) else list(indices)

    return TradingVecEnv
