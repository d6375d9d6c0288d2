"""Runs the reference user interface in Node.js in the foreground, for an engine of your own (or to see
what a runner says when it will not start):

    python -m tarnel_rl.run_ui --port 8765 --seed 7 [--episode-length 64 ...] [--viewer URL]

It finds the user interface and the npm package `ws` wherever the package is installed, as the
environments do, and shows the runner's output. Options are checked as `ui_options` are."""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys

from tarnel_rl.hosting import ui_host
from tarnel_rl.hosting.ui_options import RULES, checked_options


def _value(text: str) -> int | float | str:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarnel_rl.run_ui", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--viewer", default=None, help="the dashboard's publish address for this page")
    for key in RULES:
        parser.add_argument(f"--{key.replace('_', '-')}", dest=key, type=_value, default=None)
    args = parser.parse_args(argv)
    try:
        options = checked_options({key: getattr(args, key) for key in RULES if getattr(args, key) is not None})
    except ValueError as error:
        parser.error(str(error))
    if shutil.which("node") is None:
        print("run_ui: the Node.js user interface needs Node.js 20 or later (apt-get install nodejs npm)",
              file=sys.stderr)
        return 2
    ui = ui_host.ui_directory()
    modules = ui_host.node_modules_for_runner(ui)
    command = ["node", str(ui / "node" / "run-ui.mjs"), "--host", args.host, "--port", str(args.port),
               "--seed", str(args.seed)]
    for key, value in options.items():
        command += [f"--{key.replace('_', '-')}", str(value)]
    if args.viewer:
        command += ["--viewer", args.viewer]
    env = dict(os.environ, TARNEL_UI_NODE_MODULES=str(modules))
    try:
        return subprocess.call(command, env=env)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
