"""Shared by the Gymnasium and Ray tests: the package's path, the skip markers, and finding the Node.js user
interfaces that an environment started (by the port on their command line)."""
import os
import sys
import time
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

from tarnel_rl import ui_host  # noqa: E402

requires_node = pytest.mark.skipif(not ui_host.node_available(),
                                   reason="Node.js or the user interface's npm packages (ui/node_modules/ws) are missing")


def ui_processes(ports) -> list[int]:
    """Process ids of the live Node.js user interfaces started for any of these engine ports (a runner
    that hosts several pages names them all after one `--port`, comma-separated)."""
    wanted = {str(p) for p in ports}
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().decode(errors="replace").split("\0")
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state == "Z" or not any(a.endswith("run-ui.mjs") for a in args):
            continue
        if any(a == "--port" and wanted & set(v.split(",")) for a, v in zip(args, args[1:])):
            found.append(int(entry))
    return found


def wait_until(predicate, timeout: float = 10.0, interval: float = 0.05) -> bool:
    """Polls `predicate` until it is true or `timeout` seconds have passed; answers its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return bool(value)
        time.sleep(interval)
