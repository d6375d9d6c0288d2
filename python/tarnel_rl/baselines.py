"""The old import path of tarnel_rl.verdict.baselines: the same module object, so that imports and
patches written for it keep working."""
import importlib
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tarnel_rl.verdict.baselines import *  # noqa: F403
else:
    sys.modules[__name__] = importlib.import_module("tarnel_rl.verdict.baselines")
