"""A small policy-gradient agent in NumPy: a linear softmax policy over the observation for discrete
actions, or a linear Gaussian policy for the target exposure (`Box(-1, 1)`), trained with REINFORCE. Enough to learn the structure of the regime series (docs/protocol.md, "Candles") in a few
hundred episodes; not a serious trading strategy.

Each `learn()` takes the episode recorded with `record()` (or several: `batch_episodes`), computes the
discounted reward-to-go of every step, standardises it over the batch (the mean is the baseline), and
takes one Adam step along the policy gradient plus a small entropy bonus that keeps the policy from
collapsing onto one action too early."""
from __future__ import annotations

from typing import Any

import numpy as np


class _EpisodeBatches:
    """What both agents share: the recorded episode, and one update every `batch_episodes` episodes."""

    def __init__(self, batch_episodes: int) -> None:
        if batch_episodes < 1:
            raise ValueError(f"batch_episodes must be at least 1, got {batch_episodes}")
        self.batch_episodes = batch_episodes
        self._trajectory: list[tuple[np.ndarray, Any, float]] = []
        self._batch: list[list[tuple[np.ndarray, Any, float]]] = []

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

    def _update(self, episodes: list[list[tuple[np.ndarray, Any, float]]]) -> None:
        raise NotImplementedError


class LinearSoftmaxPolicy(_EpisodeBatches):
    """`probabilities(obs) = softmax(weights @ [obs, 1])`; `weights` has shape (actions, observation_size + 1)."""

    def __init__(self, observation_size: int, actions: int, seed: int = 0, learning_rate: float = 0.05,
                 discount: float = 0.7, entropy_bonus: float = 0.01, batch_episodes: int = 1) -> None:
        super().__init__(batch_episodes)
        self.rng = np.random.default_rng(seed)
        self.weights = self.rng.normal(0.0, 0.01, size=(actions, observation_size + 1))
        self.learning_rate = learning_rate
        self.discount = discount
        self.entropy_bonus = entropy_bonus
        self._adam = _Adam(self.weights.shape)

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

    def _update(self, episodes: list[list[tuple[np.ndarray, int, float]]]) -> None:
        features, actions, returns = [], [], []
        for episode in episodes:
            to_go = _reward_to_go(np.array([r for _, _, r in episode]), self.discount)
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
        self.weights = self._adam.ascend(self.weights, gradient, self.learning_rate)


class LinearGaussianPolicy(_EpisodeBatches):
    """For a target exposure in [-1, 1]: the action is drawn from Normal(mean, std), mean =
    tanh(weights @ [obs, 1]), std = exp(log_std), and clipped to [-1, 1] for the environment (the gradient
    uses the drawn value). `learn()` works as `LinearSoftmaxPolicy.learn` does: standardised discounted
    reward-to-go as the advantage, one Adam step on the weights and on log_std, and an entropy bonus on
    log_std (the Gaussian's entropy grows with it) that keeps it exploring."""

    MIN_LOG_STD, MAX_LOG_STD = -3.0, 0.5

    def __init__(self, observation_size: int, seed: int = 0, learning_rate: float = 0.02, discount: float = 0.7,
                 entropy_bonus: float = 0.01, batch_episodes: int = 1, initial_std: float = 0.5) -> None:
        super().__init__(batch_episodes)
        if not initial_std > 0:
            raise ValueError(f"initial_std must be > 0, got {initial_std}")
        self.rng = np.random.default_rng(seed)
        # weights and log_std as one vector, so that one Adam step moves both.
        self.parameters = np.append(self.rng.normal(0.0, 0.01, size=observation_size + 1), np.log(initial_std))
        self.learning_rate = learning_rate
        self.discount = discount
        self.entropy_bonus = entropy_bonus
        self._adam = _Adam(len(self.parameters))

    @property
    def weights(self) -> np.ndarray:
        return self.parameters[:-1]

    @property
    def std(self) -> float:
        return float(np.exp(np.clip(self.parameters[-1], self.MIN_LOG_STD, self.MAX_LOG_STD)))

    def mean(self, observation: np.ndarray) -> float:
        return float(np.tanh(self.weights @ np.append(observation, 1.0)))

    def act(self, observation: np.ndarray, greedy: bool = False) -> np.ndarray:
        """The drawn exposure (the mean when greedy), as the environment's float32 action of shape (1,). The
        drawn value before clipping is what `record` should be given: `last_draw`."""
        mean = self.mean(observation)
        self.last_draw = mean if greedy else float(self.rng.normal(mean, self.std))
        return np.array([min(1.0, max(-1.0, self.last_draw))], dtype=np.float32)

    def record(self, observation: np.ndarray, action: float | np.ndarray, reward: float) -> None:
        """`action`: the drawn exposure (`last_draw`), or the action given to the environment."""
        self._trajectory.append((np.asarray(observation, dtype=np.float64), float(np.ravel(action)[0]), float(reward)))

    def _update(self, episodes: list[list[tuple[np.ndarray, float, float]]]) -> None:
        x = np.array([np.append(o, 1.0) for episode in episodes for o, _, _ in episode])
        a = np.array([drawn for episode in episodes for _, drawn, _ in episode])
        g = np.concatenate([_reward_to_go(np.array([r for _, _, r in episode]), self.discount) for episode in episodes])
        advantage = (g - g.mean()) / (g.std() + 1e-8)
        mean = np.tanh(x @ self.weights)
        std = self.std
        z = (a - mean) / std
        # d log N(a; mean, std) / d weights = z / std * (1 - mean^2) * x; / d log_std = z^2 - 1.
        gradient = np.empty_like(self.parameters)
        gradient[:-1] = ((advantage * z / std * (1.0 - mean**2))[:, None] * x).mean(axis=0)
        gradient[-1] = (advantage * (z**2 - 1.0)).mean() + self.entropy_bonus
        self.parameters = self._adam.ascend(self.parameters, gradient, self.learning_rate)
        self.parameters[-1] = np.clip(self.parameters[-1], self.MIN_LOG_STD, self.MAX_LOG_STD)


def _reward_to_go(rewards: np.ndarray, discount: float) -> np.ndarray:
    to_go = np.zeros_like(rewards)
    running = 0.0
    for t in range(len(rewards) - 1, -1, -1):
        running = rewards[t] + discount * running
        to_go[t] = running
    return to_go


class _Adam:
    """Adam for a gradient ascent: the observation's values differ in scale (returns, the position's sign,
    equity)."""

    def __init__(self, size: int | tuple[int, ...], beta1: float = 0.9, beta2: float = 0.999) -> None:
        self.beta1, self.beta2 = beta1, beta2
        self.moment1, self.moment2 = np.zeros(size), np.zeros(size)
        self.updates = 0

    def ascend(self, parameters: np.ndarray, gradient: np.ndarray, learning_rate: float) -> np.ndarray:
        """The parameters after one step up `gradient`."""
        self.updates += 1
        self.moment1 = self.beta1 * self.moment1 + (1 - self.beta1) * gradient
        self.moment2 = self.beta2 * self.moment2 + (1 - self.beta2) * gradient**2
        m = self.moment1 / (1 - self.beta1**self.updates)
        v = self.moment2 / (1 - self.beta2**self.updates)
        return parameters + learning_rate * m / (np.sqrt(v) + 1e-8)
