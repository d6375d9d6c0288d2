"""The trading task as an environment: the session on the page (trading), its actions, observations, rewards,
account and markets, the Gymnasium environment and its vector forms, the episode summary, and the loops and
workers (SB3, Ray) that drive them.

The task's objects are importable from here: `MarketData` and `Split` (tarnel_rl.env.market), `Costs` and
`Sizing` (tarnel_rl.env.account), and the environments `TradingEnv` and `TradingVectorEnv`. Each is loaded
when first asked for, so that `import tarnel_rl.env.trading` needs neither gymnasium nor the candle loader."""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarnel_rl.env.account import Costs, Sizing
    from tarnel_rl.env.gym_env import TradingEnv
    from tarnel_rl.env.market import MarketData, Split
    from tarnel_rl.env.vector_env import TradingVectorEnv

_HOMES = {
    "MarketData": "tarnel_rl.env.market",
    "Split": "tarnel_rl.env.market",
    "Costs": "tarnel_rl.env.account",
    "Sizing": "tarnel_rl.env.account",
    "TradingEnv": "tarnel_rl.env.gym_env",
    "TradingVectorEnv": "tarnel_rl.env.vector_env",
}
__all__ = ["MarketData", "Split", "Costs", "Sizing", "TradingEnv", "TradingVectorEnv"]


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module 'tarnel_rl.env' has no attribute {name!r}")
    return getattr(importlib.import_module(_HOMES[name]), name)
