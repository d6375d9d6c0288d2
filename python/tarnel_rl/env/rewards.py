"""What a step of `TradingEnv` pays: a function of the equity before and after the step.

    TradingEnv(reward="pct")                         # the default: the equity change, % of the initial balance
    TradingEnv(reward="log")                         # 100 x the log return of the equity
    TradingEnv(reward="dsr")                         # the differential Sharpe ratio, eta 0.01, 10 steps of warm-up
    TradingEnv(reward=DifferentialSharpe(eta=0.05))

The last step of an episode also pays for the closing of the session (what was still open is closed and
pays its fee and slippage): the environment calls `step` for the step and then `closing` for the closing,
and adds the two. For "pct" and "log" the closing is one more change of equity, so an episode's rewards
add up to its return (in percent, or 100 x its log return). The differential Sharpe ratio is no sum: its
`closing` answers what makes the last step's reward the one of the step's return and the closing's taken
together, as one period.
"""
from __future__ import annotations

import math
from typing import Any


class Reward:
    """The base: `reset` at every episode's start, `step(before, after)` for each step's change of equity,
    `closing(before, after)` for the session's closing (by default one more step)."""

    name = "custom"

    def reset(self, initial_balance: float) -> None:
        self.initial_balance = float(initial_balance)

    def step(self, before: float, after: float) -> float:
        raise NotImplementedError

    def closing(self, before: float, after: float) -> float:
        return self.step(before, after)


class EquityChangePercent(Reward):
    """(after - before) / initial balance x 100: the rewards of an episode add up to its return in percent."""

    name = "pct"

    def step(self, before: float, after: float) -> float:
        return (after - before) / self.initial_balance * 100.0


class LogReturn(Reward):
    """100 x ln(after / before): the rewards add up to 100 x ln(final / initial). An equity at or below
    zero (there is no margin limit) is taken as 1e-9 of the initial balance, so the reward stays finite."""

    name = "log"

    def step(self, before: float, after: float) -> float:
        floor = 1e-9 * self.initial_balance
        return 100.0 * math.log(max(after, floor) / max(before, floor))


_Moments = tuple[int, float, float]  # steps seen, A, B


class DifferentialSharpe(Reward):
    """The differential Sharpe ratio of Moody and Saffell: how much the step's return R = after / before - 1
    raises a moving estimate of the Sharpe ratio. With A and B the moving averages of R and R^2 before the
    step, sigma = sqrt(max(B - A^2, min_std^2)), S = A / sigma and z = (R - A) / sigma, clipped to
    [-max_z, max_z]:

        D = z + S (1 - z^2) / 2

    which, while sigma^2 = B - A^2 and |z| <= max_z, is their (B dA - A dB / 2) / (B - A^2)^(3/2) with
    dA = R - A, dB = R^2 - B. Then A += eta dA and B += eta dB.

    Warm-up: the first `warmup` steps of an episode pay 0, and A and B start as the plain means of their
    R and R^2. (Started from 0, the variance after one step is eta (1 - eta) R1^2: a second return much
    larger than a tiny first one was paid millions.) `min_std`, a return's standard deviation per step
    (1e-4: 0.01 %), stands in for a variance the moments do not show yet, as after flat steps only.

    The bound: |D| <= |z| + |S| (1 + z^2) / 2 <= max_z + |S| (1 + max_z^2) / 2. A step pays about its
    return's distance from the running mean in running standard deviations: |D| <= |R - A| / sigma
    (1 + |S| max_z / 2) + |S| / 2: with the Sharpe ratio S of one step near 1 or under, as on market
    series after the warm-up (a daily S of 1 is 16 a year), at most (1 + max_z / 2) / min_std times
    |R - A|, plus 1/2 (tests/rl/test_rl_rewards.py checks it on every step of the shipped sample).
    The clip only acts where sigma is too young or too calm to measure a return by: there the term
    S z^2 / 2 would pay a return of 850 standard deviations -360,000.

    `DifferentialSharpe(eta, warmup=0, min_std=0, max_z=math.inf)` is the recursion started from A = B = 0
    (a step whose variance is not above 0 pays 0)."""

    name = "dsr"

    def __init__(self, eta: float = 0.01, warmup: int = 10, min_std: float = 1e-4, max_z: float = 10.0) -> None:
        if isinstance(eta, bool) or not (isinstance(eta, (int, float)) and 0 < eta <= 1):
            raise ValueError(f"the differential Sharpe ratio's eta must be in (0, 1], got {eta!r}")
        if isinstance(warmup, bool) or not isinstance(warmup, int) or warmup < 0:
            raise ValueError(f"the differential Sharpe ratio's warmup must be a whole number of steps, 0 or more, "
                             f"got {warmup!r}")
        if isinstance(min_std, bool) or not (isinstance(min_std, (int, float)) and 0 <= min_std < math.inf):
            raise ValueError(f"the differential Sharpe ratio's min_std must be a finite number, 0 or more, "
                             f"got {min_std!r}")
        if isinstance(max_z, bool) or not (isinstance(max_z, (int, float)) and max_z > 0):
            raise ValueError(f"the differential Sharpe ratio's max_z must be a number above 0, got {max_z!r}")
        self.eta, self.warmup, self.min_std, self.max_z = float(eta), warmup, float(min_std), float(max_z)
        self._state: _Moments = (0, 0.0, 0.0)
        self._before_last: _Moments = self._state
        self._last: tuple[float, float] | None = None  # (equity before, reward) of the last step

    def reset(self, initial_balance: float) -> None:
        super().reset(initial_balance)
        self._state = self._before_last = (0, 0.0, 0.0)
        self._last = None

    def value(self, state: _Moments, ret: float) -> float:
        """D for the return `ret` after the moments `state` (steps seen, A, B)."""
        count, a, b = state
        if count < self.warmup:
            return 0.0
        sigma = math.sqrt(max(b - a * a, self.min_std * self.min_std))
        if not sigma > 0:
            return 0.0
        z, sharpe = min(max((ret - a) / sigma, -self.max_z), self.max_z), a / sigma
        return float(z + 0.5 * sharpe * (1.0 - z * z))

    def _update(self, state: _Moments, ret: float) -> tuple[float, _Moments]:
        count, a, b = state
        rate = 1.0 / (count + 1) if count < self.warmup else self.eta  # plain means over the warm-up
        return self.value(state, ret), (count + 1, a + rate * (ret - a), b + rate * (ret * ret - b))

    def step(self, before: float, after: float) -> float:
        value, state = self._update(self._state, _simple_return(before, after))
        self._before_last, self._state = self._state, state
        self._last = (before, value)
        return value

    def closing(self, before: float, after: float) -> float:
        if self._last is None:  # no step before the closing: the closing is its own period
            return self.step(before, after)
        start, paid = self._last
        value, state = self._update(self._before_last, _simple_return(start, after))
        self._state = state
        self._last = (start, value)
        return value - paid


def _simple_return(before: float, after: float) -> float:
    return after / before - 1.0 if before > 0 else 0.0


REWARDS = {"pct": EquityChangePercent, "log": LogReturn, "dsr": DifferentialSharpe}


def make_reward(choice: Any) -> Reward:
    """"pct", "log", "dsr" or a `Reward`."""
    if isinstance(choice, Reward):
        return choice
    if isinstance(choice, str) and choice in REWARDS:
        return REWARDS[choice]()
    raise ValueError(f"reward must be one of {', '.join(map(repr, REWARDS))} or a tarnel_rl.rewards.Reward, got {choice!r}")
