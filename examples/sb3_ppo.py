"""Stable-Baselines3 PPO over the Gymnasium environment, on the regime-switching series.

    pip install 'py_engine_tarnel[sb3]'   # stable-baselines3 (and PyTorch), gymnasium; '.[sb3]' in a checkout
    PYTHONPATH=python python examples/sb3_ppo.py [--timesteps 50000] [--ui node|browser|auto] [--seed 7]

PPO trains on random train episodes (the environment draws the index at each reset), then the
deterministic policy plays every test episode; its mean return is printed beside a random policy's on
the same episodes. The environment is the one the demo uses: 8000 bars of the regime series in episodes
of 128 steps (docs/protocol.md, "Candles").
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
from tarnel_rl.gym_env import TradingEnv  # noqa: E402


def play_test_episodes(env: TradingEnv, choose) -> list[float]:
    returns = []
    for index in range(int(env.config["test_episodes"])):
        observation, _ = env.reset(options={"episode_type": "test", "episode_index": index})
        while True:
            observation, _, terminated, truncated, info = env.step(choose(observation))
            if terminated or truncated:
                returns.append(float(info["summary"][3]))
                break
    return returns


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--timesteps", type=int, default=50_000)
    parser.add_argument("--ui", choices=["node", "browser", "auto"], default="node")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    try:
        from stable_baselines3 import PPO
    except ImportError:
        print("this example needs Stable-Baselines3: pip install stable-baselines3 (it brings PyTorch)", file=sys.stderr)
        return 2

    env = TradingEnv(ui=args.ui, series_seed=args.seed,
                     ui_options={"series": "regime", "bars": 8000, "episode_length": 128})
    try:
        model = PPO("MlpPolicy", env, n_steps=1024, batch_size=256, learning_rate=3e-4, gamma=0.9,
                    seed=args.seed, verbose=0, device="cpu")
        started = time.perf_counter()
        model.learn(total_timesteps=args.timesteps)
        elapsed = time.perf_counter() - started
        print(f"trained on {args.timesteps} steps in {elapsed:.0f} s ({args.timesteps / elapsed:.0f} steps/s)")
        agent = play_test_episodes(env, lambda o: int(model.predict(o, deterministic=True)[0]))
        rng = np.random.default_rng(args.seed)
        random = play_test_episodes(env, lambda o: int(rng.integers(env.action_space.n)))
        print(f"test episodes: {len(agent)}; mean return: PPO {np.mean(agent):+.4f}, random policy "
              f"{np.mean(random):+.4f}, holding cash +0.0000")
    finally:
        env.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
