"""A small policy-gradient agent in NumPy: a linear softmax policy over the observation, trained with
REINFORCE. Enough to learn the structure of the regime series (docs/protocol.md, "Candles") in a few
hundred episodes; not a serious trading strategy.

Each `learn()` takes the episode recorded with `record()` (or several: `batch_episodes`), computes the
discounted reward-to-go of every step, standardises it over the batch (the mean is the baseline), and
takes one Adam step along the policy gradient plus a small entropy bonus that keeps the policy from
collapsing onto one action too early."""
from __future__ import annotations

import numpy as np


class LinearSoftmaxPolicy:
    """`probabilities(obs) = softmax(weights @ [obs, 1])`; `weights` has shape (actions, observation_size + 1)."""

    def __init__(self, observation_size: int, actions: int, seed: int = 0, learning_rate: float = 0.05,
                 discount: float = 0.7, entropy_bonus: float = 0.01, batch_episodes: int = 1) -> None:
        if batch_episodes < 1:
            raise ValueError(f"batch_episodes must be at least 1, got {batch_episodes}")
        self.rng = np.random.default_rng(seed)
        self.weights = self.rng.normal(0.0, 0.01, size=(actions, observation_size + 1))
        self.learning_rate = learning_rate
        self.discount = discount
        self.entropy_bonus = entropy_bonus
        self.batch_episodes = batch_episodes
        self._moment1 = np.zeros_like(self.weights)
        self._moment2 = np.zeros_like(self.weights)
        self._updates = 0
        self._trajectory: list[tuple[np.ndarray, int, float]] = []
        self._batch: list[list[tuple[np.ndarray, int, float]]] = []

    def probabilities(self, observation: np.ndarray) -> np.ndarray:
        logits = self.weights @ np.append(observation, 1.0)
        logits -= logits.max()
        exp = np.exp(logits)
        return exp / exp.sum()

    def act(self, observation: np.ndarray, greedy: bool = False) -> int:
        p = self.probabilities(observation)
        return int(np.argmax(p)) if greedy else int(self.rng.choice(len(p), p=p))

    def record(self, observation: np.ndarray, action: int, reward: float) -> None:
        self._trajectory.append((np.asarray(observation, dtype=np.float64), int(action), float(reward)))

    def learn(self) -> float:
        """Ends the recorded episode and returns its total reward; every `batch_episodes` episodes, one
        update of the weights from them."""
        if not self._trajectory:
            return 0.0
        episode, self._trajectory = self._trajectory, []
        self._batch.append(episode)
        total = float(sum(r for _, _, r in episode))
        if len(self._batch) >= self.batch_episodes:
            self._update(self._batch)
            self._batch = []
        return total

    def _update(self, episodes: list[list[tuple[np.ndarray, int, float]]]) -> None:
        features, actions, returns = [], [], []
        for episode in episodes:
            rewards = np.array([r for _, _, r in episode])
            to_go = np.zeros_like(rewards)
            running = 0.0
            for t in range(len(rewards) - 1, -1, -1):
                running = rewards[t] + self.discount * running
                to_go[t] = running
            features.append(np.array([np.append(o, 1.0) for o, _, _ in episode]))
            actions.append(np.array([a for _, a, _ in episode]))
            returns.append(to_go)
        x = np.concatenate(features)
        a = np.concatenate(actions)
        g = np.concatenate(returns)
        advantage = (g - g.mean()) / (g.std() + 1e-8)
        logits = x @ self.weights.T
        logits -= logits.max(axis=1, keepdims=True)
        p = np.exp(logits)
        p /= p.sum(axis=1, keepdims=True)
        chosen = np.zeros_like(p)
        chosen[np.arange(len(a)), a] = 1.0
        gradient = ((chosen - p) * advantage[:, None]).T @ x / len(a)
        if self.entropy_bonus:
            log_p = np.log(p + 1e-12)
            entropy = -(p * log_p).sum(axis=1, keepdims=True)
            gradient += self.entropy_bonus * (-p * (log_p + entropy)).T @ x / len(a)
        # Adam: the observation's values differ in scale (returns, the position's sign, equity).
        self._updates += 1
        beta1, beta2 = 0.9, 0.999
        self._moment1 = beta1 * self._moment1 + (1 - beta1) * gradient
        self._moment2 = beta2 * self._moment2 + (1 - beta2) * gradient**2
        m = self._moment1 / (1 - beta1**self._updates)
        v = self._moment2 / (1 - beta2**self._updates)
        self.weights = self.weights + self.learning_rate * m / (np.sqrt(v) + 1e-8)
