"""A small policy-gradient agent in NumPy: a linear softmax policy trained with REINFORCE and a
running baseline. Enough to show learning on the link; not a serious trading strategy."""
from __future__ import annotations

import numpy as np


class LinearSoftmaxPolicy:
    def __init__(self, observation_size: int, actions: int, seed: int = 0, learning_rate: float = 0.02,
                 discount: float = 0.98) -> None:
        self.rng = np.random.default_rng(seed)
        self.weights = self.rng.normal(0.0, 0.01, size=(actions, observation_size + 1))
        self.learning_rate = learning_rate
        self.discount = discount
        self._trajectory: list[tuple[np.ndarray, int, float]] = []

    def probabilities(self, observation: np.ndarray) -> np.ndarray:
        logits = self.weights @ np.append(observation, 1.0)
        logits -= logits.max()
        exp = np.exp(logits)
        return exp / exp.sum()

    def act(self, observation: np.ndarray, greedy: bool = False) -> int:
        p = self.probabilities(observation)
        return int(np.argmax(p)) if greedy else int(self.rng.choice(len(p), p=p))

    def record(self, observation: np.ndarray, action: int, reward: float) -> None:
        self._trajectory.append((observation, action, reward))

    def learn(self) -> float:
        """One REINFORCE update from the recorded episode; returns the episode's total reward."""
        if not self._trajectory:
            return 0.0
        rewards = np.array([r for _, _, r in self._trajectory])
        returns = np.zeros_like(rewards)
        running = 0.0
        for t in range(len(rewards) - 1, -1, -1):
            running = rewards[t] + self.discount * running
            returns[t] = running
        advantages = (returns - returns.mean()) / (returns.std() + 1e-8)
        gradient = np.zeros_like(self.weights)
        for (observation, action, _), advantage in zip(self._trajectory, advantages):
            x = np.append(observation, 1.0)
            p = self.probabilities(observation)
            one_hot = np.zeros_like(p)
            one_hot[action] = 1.0
            gradient += np.outer(one_hot - p, x) * advantage
        self.weights += self.learning_rate * gradient / len(self._trajectory)
        self._trajectory.clear()
        return float(rewards.sum())
