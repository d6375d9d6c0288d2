"""What a step of `TradingEnv` pays: a function of the equity before and after the step.

    TradingEnv(reward="pct")                         # the default: the equity change, % of the initial balance
    TradingEnv(reward="log")                         # 100 x the log return of the equity
    TradingEnv(reward="dsr")                         # the differential Sharpe ratio, eta 0.01
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


class DifferentialSharpe(Reward):
    """The differential Sharpe ratio of Moody and Saffell: how much the step's return R = after / before - 1
    raises an exponential moving estimate of the Sharpe ratio. With A and B the moving averages of R and
    R^2 (rate `eta`, both 0 at the start of an episode):

        D = (B' dA - A' dB / 2) / (B' - A'^2)^(3/2),   dA = R - A',  dB = R^2 - B'

    where A' and B' are the values before the step; then A += eta dA, B += eta dB. While B' - A'^2 is not
    above zero (the first step, or after only equal returns) D is 0."""

    name = "dsr"

    def __init__(self, eta: float = 0.01) -> None:
        if not (isinstance(eta, (int, float)) and 0 < eta <= 1):
            raise ValueError(f"the differential Sharpe ratio's eta must be in (0, 1], got {eta!r}")
        self.eta = float(eta)
        self._state = (0.0, 0.0)
        self._before_last = (0.0, 0.0)
        self._last: tuple[float, float] | None = None  # (equity before, reward) of the last step

    def reset(self, initial_balance: float) -> None:
        super().reset(initial_balance)
        self._state = self._before_last = (0.0, 0.0)
        self._last = None

    def _update(self, state: tuple[float, float], ret: float) -> tuple[float, tuple[float, float]]:
        a, b = state
        delta_a, delta_b = ret - a, ret * ret - b
        variance = b - a * a
        value = (b * delta_a - 0.5 * a * delta_b) / variance ** 1.5 if variance > 0 else 0.0
        return float(value), (a + self.eta * delta_a, b + self.eta * delta_b)

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
