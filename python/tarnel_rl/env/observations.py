"""What `TradingEnv` observes after each step: a function of the candle window and the account.

    TradingEnv(observation="features")   # the default: 16 log returns (x100), the position's sign, equity (x10)
    TradingEnv(observation="raw")        # the 16 snapshot values, then the window (window x 5), row by row
    TradingEnv(observation=ObservationFunction(my_function, my_space))
    TradingEnv(candles=..., observation=WithFeatureColumns(window=8))   # and the candles' own feature columns

Candles with feature columns (`feature_*`, tarnel_rl.data, or tarnel_rl.features) add today's row of them
to the default observation; `WithFeatureColumns(base, window)` chooses the base and how many bars of them.

A function of your own is called as `function(window, snapshot)`: `window` is the last `window` candles
(window x 5: open, high, low, close, volume; oldest first, the last row is the current bar) and
`snapshot` the account's 16 values (docs/protocol.md, "Snapshot": equity at 4, net units at 10, ...).
It answers an array that belongs to the space it declares; the environment casts it to the space's dtype.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from gymnasium import spaces
from numpy.typing import NDArray

from tarnel_rl.env.trading import RETURNS_IN_OBSERVATION, make_observation, observation_size

CANDLE_COLUMNS = 5
SNAPSHOT_SIZE = 16
# Bounds of the 16 snapshot values (docs/protocol.md, "Snapshot"): counts, prices, fees and the
# drawdown are never negative, `done` is 0 or 1, the episode type is -1, 0 or 1, the index is >= -1.
# Money amounts have no bound: there is no margin limit, so even equity may fall below zero.
_INF = np.inf
SNAPSHOT_LOW = np.array([0, 0, 0, -_INF, -_INF, -_INF, -_INF, 0, 0, 0, -_INF, 0, 0, -1, -1, 0], dtype=np.float64)
SNAPSHOT_HIGH = np.array([_INF] * 12 + [1, 1, _INF, _INF], dtype=np.float64)


class Observation:
    """`bind(config)` is called once the page's configuration (get_rl_config) is known and answers the
    observation space; then `observe(window, snapshot)` makes each observation."""

    name = "custom"

    def bind(self, config: dict[str, Any]) -> spaces.Space[Any]:
        raise NotImplementedError

    def observe(self, window: NDArray[np.float64], snapshot: NDArray[np.float64]) -> Any:
        raise NotImplementedError

    def attach_candles(self, candles: Any) -> None:
        """Called before `bind` with the environment's candles (None for the synthetic series)."""


class Features(Observation):
    name = "features"

    def bind(self, config: dict[str, Any]) -> spaces.Box:
        self.initial_balance = float(config.get("initial_balance", 10000.0))
        low, high = np.full(observation_size(), -np.inf), np.full(observation_size(), np.inf)
        low[RETURNS_IN_OBSERVATION], high[RETURNS_IN_OBSERVATION] = -1.0, 1.0  # the position's sign
        return spaces.Box(low=low, high=high, dtype=np.float64)

    def observe(self, window: NDArray[np.float64], snapshot: NDArray[np.float64]) -> NDArray[np.float64]:
        return make_observation(snapshot, window, self.initial_balance)


class Raw(Observation):
    name = "raw"

    def bind(self, config: dict[str, Any]) -> spaces.Box:
        window = int(config["window"])
        low = np.concatenate([SNAPSHOT_LOW, np.zeros(window * CANDLE_COLUMNS)])
        high = np.concatenate([SNAPSHOT_HIGH, np.full(window * CANDLE_COLUMNS, np.inf)])
        return spaces.Box(low=low, high=high, dtype=np.float64)

    def observe(self, window: NDArray[np.float64], snapshot: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.concatenate([snapshot, window.ravel()])


class ObservationFunction(Observation):
    """Your own `function(window, snapshot) -> array` with the `space` it fills. `space` may also be a
    function of the page's configuration (for example to size it by `config["window"]`)."""

    def __init__(self, function: Callable[[NDArray[np.float64], NDArray[np.float64]], Any],
                 space: spaces.Space[Any] | Callable[[dict[str, Any]], spaces.Space[Any]]) -> None:
        if not callable(function):
            raise TypeError(f"the observation function must be callable, got {function!r}")
        self.function = function
        self.space = space
        self.name = getattr(function, "__name__", "custom")

    def bind(self, config: dict[str, Any]) -> spaces.Space[Any]:
        space = self.space if isinstance(self.space, spaces.Space) else self.space(config)
        if not isinstance(space, spaces.Space):
            raise TypeError(f"the observation's space must be a gymnasium space, got {space!r}")
        self._bound = space
        return space

    def observe(self, window: NDArray[np.float64], snapshot: NDArray[np.float64]) -> Any:
        value = self.function(window, snapshot)
        dtype = getattr(self._bound, "dtype", None)
        return value if dtype is None else np.asarray(value, dtype=dtype)


class WithFeatureColumns(Observation):
    """`base`'s observation (the default features unless given) followed by the candles' feature columns
    of the last `window` bars up to the current one (the snapshot's bar), oldest first, bar by bar: a
    Box of base + window x F values, unbounded. It never reads a bar after the current one."""

    name = "features+columns"

    def __init__(self, base: Observation | None = None, window: int = 1) -> None:
        if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 1:
            raise ValueError(f"the feature columns' window must be an integer >= 1, got {window!r}")
        self.base = base if base is not None else Features()
        self.window = int(window)
        self.columns: NDArray[np.float64] | None = None
        self.names: tuple[str, ...] = ()

    def attach_candles(self, candles: Any) -> None:
        self.base.attach_candles(candles)
        columns = getattr(candles, "features", None)
        if columns is None or columns.shape[1] == 0:
            raise ValueError("WithFeatureColumns needs candles with feature columns (feature_* columns in the file, "
                             "features=[...] when loading, or tarnel_rl.features.with_features)")
        self.columns = np.asarray(columns, dtype=np.float64)
        self.names = tuple(candles.feature_names)

    def bind(self, config: dict[str, Any]) -> spaces.Box:
        if self.columns is None:
            raise ValueError("WithFeatureColumns needs the environment's candles (candles=...), which have the "
                             "feature columns")
        base = self.base.bind(config)
        if not isinstance(base, spaces.Box) or len(base.shape) != 1:
            raise TypeError(f"WithFeatureColumns extends a flat Box observation, not {base!r}")
        extra = self.window * self.columns.shape[1]
        self._base_is_features = type(self.base) is Features
        return spaces.Box(low=np.concatenate([base.low, np.full(extra, -np.inf)]),
                          high=np.concatenate([base.high, np.full(extra, np.inf)]), dtype=np.float64)

    def observe(self, window: NDArray[np.float64], snapshot: NDArray[np.float64]) -> NDArray[np.float64]:
        assert self.columns is not None
        bar = int(snapshot[SNAPSHOT_BAR])
        rows = self.columns[max(0, bar - self.window + 1):bar + 1]
        if len(rows) < self.window:  # a bar too early for a whole window: zeros before the series starts
            rows = np.vstack([np.zeros((self.window - len(rows), self.columns.shape[1])), rows])
        return np.concatenate([np.asarray(self.base.observe(window, snapshot), dtype=np.float64), rows.ravel()])


SNAPSHOT_BAR = 1  # the cursor's bar in the snapshot (docs/protocol.md, "Snapshot")
KINDS = {"features": Features, "raw": Raw}


def make_observation_kind(choice: Any, candles: Any = None) -> Observation:
    """The observation asked for; the default features carry today's row of the candles' feature columns
    when they have some."""
    if choice == "features" and getattr(candles, "features", None) is not None and candles.features.shape[1] > 0:
        return WithFeatureColumns(Features(), window=1)
    if isinstance(choice, Observation):
        return choice
    if isinstance(choice, str) and choice in KINDS:
        return KINDS[choice]()
    raise ValueError(f"observation must be 'features', 'raw' or a tarnel_rl.observations.ObservationFunction, "
                     f"got {choice!r}")
