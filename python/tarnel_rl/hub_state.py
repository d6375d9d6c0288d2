"""The old import path of tarnel_rl.watch.hub_state: the same module object, so that imports and
patches written for it keep working."""
import importlib
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tarnel_rl.watch.hub_state import *  # noqa: F403
else:
    sys.modules[__name__] = importlib.import_module("tarnel_rl.watch.hub_state")
