"""The old import path of tarnel_rl.watch.viewer: the same module object, so that imports and
`python -m tarnel_rl.viewer` written for it keep working."""
import importlib
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from tarnel_rl.watch.viewer import *  # noqa: F403
elif __name__ == "__main__":
    from tarnel_rl.watch.viewer import main

    sys.exit(main())
else:
    sys.modules[__name__] = importlib.import_module("tarnel_rl.watch.viewer")
