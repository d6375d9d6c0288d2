"""Several markets for one environment: named candle series, of which each reset picks one (seeded, or
as `options={"market": name}` asks), so that one policy trains across instruments. The page still holds
one series at a time: a reset on another market loads that market's candles into it first.

    env = TradingEnv(candles={"AAA": "aaa.csv", "BBB": "bbb.csv"}, test_share=0.2)
    env.reset(seed=0)                                  # a market drawn from the environment's generator
    env.reset(options={"market": "BBB"})               # or the one asked for; info["market"] names it

The markets must agree on what the observation and the split are made of: the same feature columns, and
the same held-out bars when the split is given by date (`test_from`); a split by share holds for each."""
from __future__ import annotations

from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

import numpy as np

from tarnel_rl.market_data.loader import Candles, load_candles


def _is_series(source: Any) -> bool:
    """A whole series by itself: a path, loaded candles, a frame, or a 2-D array."""
    return (isinstance(source, (str, Path, Candles)) or hasattr(source, "columns")
            or (isinstance(source, np.ndarray) and source.ndim == 2))


def _several(source: Any) -> bool:
    """A list of series rather than one series given as rows of numbers."""
    return isinstance(source, (list, tuple)) and len(source) > 0 and all(_is_series(s) for s in source)


class Markets:
    """The named series and the one the page holds now (`current`)."""

    def __init__(self, named: Mapping[str, Candles]) -> None:
        if not named:
            raise ValueError("candles: give at least one market")
        self.named = dict(named)
        self.names = list(self.named)
        self.current = self.names[0]
        features = {name: tuple(getattr(c, "feature_names", ()) or ()) for name, c in self.named.items()}
        if len(set(features.values())) > 1:
            listed = "; ".join(f"{name}: {list(names) or 'none'}" for name, names in features.items())
            raise ValueError(f"the markets must have the same feature columns, for the same observation ({listed})")

    @classmethod
    def load(cls, source: Any) -> Markets:
        """One market from a single source, or several from a dict (name -> source) or a list of sources
        (named by their file's stem, else "market 0", "market 1", ...)."""
        if isinstance(source, Mapping):
            return cls({str(name): load_candles(s) for name, s in source.items()})
        if not _several(source):
            return cls({"market 0": load_candles(source)})
        named: dict[str, Candles] = {}
        for i, s in enumerate(source):
            name = Path(s).stem if isinstance(s, (str, Path)) else f"market {i}"
            if name in named:
                raise ValueError(f"two markets would be named {name!r}: give them names with a dict")
            named[name] = load_candles(s)
        return cls(named)

    def __len__(self) -> int:
        return len(self.names)

    @property
    def candles(self) -> Candles:
        return self.named[self.current]

    def same_for_each(self, what: str, compute: Callable[[Candles], Any]) -> Any:
        """`compute(candles)`, which must give the same for every market (`what` names it in the refusal)."""
        results = {name: compute(candles) for name, candles in self.named.items()}
        if len({repr(r) for r in results.values()}) > 1:
            listed = "; ".join(f"{name}: {r}" for name, r in results.items())
            raise ValueError(f"the markets differ in {what} ({listed}): the page holds one layout for all of them; "
                             f"split them by share (test_share=...) instead")
        return results[self.current]

    def choose(self, asked: Any, rng: np.random.Generator) -> str:
        """The market a reset plays: `asked` (a name or an index), else one drawn from `rng` (no draw with
        a single market, so that one market's seeded resets are what they always were)."""
        if asked is None:
            return self.current if len(self.names) == 1 else self.names[int(rng.integers(len(self.names)))]
        if isinstance(asked, (int, np.integer)) and not isinstance(asked, bool) and 0 <= asked < len(self.names):
            return self.names[int(asked)]
        if isinstance(asked, str) and asked in self.named:
            return asked
        raise ValueError(f"unknown market {asked!r}: the markets are {', '.join(map(repr, self.names))} "
                         f"(or their indices 0 to {len(self.names) - 1})")
