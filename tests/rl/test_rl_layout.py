"""The package's layout: each old flat path (tarnel_rl.gym_env, tarnel_rl.data, ...) is the very module of
its sub-package, so that imports, monkeypatching and `python -m` written for it keep working."""
import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from rl_support import PYTHON_DIR

PACKAGE = PYTHON_DIR / "tarnel_rl"
OLD_PATH = re.compile(r'^"""The old import path of (tarnel_rl\.\w+\.\w+):')
RUNNABLE = ("evaluate", "train", "demo", "run_ui", "dashboard", "viewer_server", "viewer")
SUB_PACKAGES = ("env", "hosting", "watch", "market_data", "verdict", "agents")


def old_paths() -> list[tuple[str, str]]:
    pairs = []
    for path in sorted(PACKAGE.glob("*.py")):
        if path.name != "__init__.py":
            found = OLD_PATH.match(path.read_text())
            assert found, f"{path.name}: a module at the package's top is an old path whose docstring names its home"
            pairs.append((f"tarnel_rl.{path.stem}", found[1]))
    return pairs


def test_old_paths_cover_what_users_import():
    old = {name for name, _ in old_paths()}
    assert {"tarnel_rl.gym_env", "tarnel_rl.vector_env", "tarnel_rl.data", "tarnel_rl.ui_host",
            "tarnel_rl.trading", "tarnel_rl.evaluate", "tarnel_rl.dashboard"} <= old
    assert {f"tarnel_rl.{name}" for name in RUNNABLE} <= old


@pytest.mark.parametrize("old, new", old_paths())
def test_an_old_path_is_the_same_module_object(old, new):
    if new.startswith(("tarnel_rl.env.", "tarnel_rl.watch.", "tarnel_rl.verdict.", "tarnel_rl.agents.")):
        pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
    module = importlib.import_module(old)
    assert module is importlib.import_module(new) is sys.modules[old]
    assert module.__name__ == new
    # A patch through the old path reaches the code of the new one.
    marker = object()
    setattr(module, "_layout_marker", marker)
    try:
        assert importlib.import_module(new)._layout_marker is marker
    finally:
        delattr(module, "_layout_marker")


@pytest.mark.parametrize("name", SUB_PACKAGES)
def test_a_sub_package_says_what_it_holds(name):
    text = (PACKAGE / name / "__init__.py").read_text()
    assert text.startswith('"""') and len(text.splitlines()[0]) > 20, text


def test_importing_the_old_gym_env_path_registers_the_environment():
    # What gym.make("tarnel_rl.gym_env:tarnel_rl/Trading-v0") does first (tests/packaging makes one that way).
    pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
    code = ("import importlib, gymnasium as gym; importlib.import_module('tarnel_rl.gym_env'); "
            "registered = gym.registry['tarnel_rl/Trading-v0']; print(registered.id, registered.entry_point)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)), check=True).stdout
    assert out.split() == ["tarnel_rl/Trading-v0", "tarnel_rl.env.gym_env:TradingEnv"]


@pytest.mark.parametrize("name", RUNNABLE)
def test_python_dash_m_on_an_old_path_runs_the_module(name):
    pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")
    result = subprocess.run([sys.executable, "-m", f"tarnel_rl.{name}", "--help"], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)), cwd=Path(PYTHON_DIR).parent)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: "), result.stdout
