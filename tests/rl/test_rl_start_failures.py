"""Fast, clear failures at start: `ui_options` values refused in Python with the rule they break, a
Node.js runner that exits reported at once with what it said (not after the connect time-out), hints
that name commands an installed package has, and an environment that says to pass a factory when pickled."""
import pickle
import subprocess
import sys

import pytest

from rl_support import PYTHON_DIR, requires_node

gym = pytest.importorskip("gymnasium", reason="gymnasium is not installed (pip install '.[gym]')")

from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.gym_env import TradingEnv  # noqa: E402
from tarnel_rl.ui_options import checked_options  # noqa: E402


@pytest.mark.parametrize("options,message", [
    ({"episode_length": 0}, "ui_options['episode_length'] must be an integer >= 1, got 0"),
    ({"episode_length": 2.5}, "ui_options['episode_length'] must be an integer >= 1, got 2.5"),
    ({"bars": True}, "ui_options['bars'] must be an integer >= 2, got True"),
    ({"window": "8"}, "ui_options['window'] must be an integer >= 1, got '8'"),
    ({"sync": "lazy"}, "ui_options['sync'] must be 'deferred' or 'eager', got 'lazy'"),
    ({"series": "noise"}, "ui_options['series'] must be 'walk' or 'regime', got 'noise'"),
    ({"regime_drift": 0.1}, "ui_options['regime_drift'] must be a number from 0 to 0.1 (excluded), got 0.1"),
    ({"half_life": float("nan")}, "ui_options['half_life'] must be a number >= 0, got nan"),
    ({"regime_bars": 0.5}, "ui_options['regime_bars'] must be a number >= 1, got 0.5"),
    ({"fee_rate": -0.001}, "ui_options['fee_rate'] must be a number >= 0, got -0.001"),
    ({"slippage_bps": 10000}, "ui_options['slippage_bps'] must be a number from 0 to 10000 (excluded), got 10000"),
    ({"test_share": 1.0}, "ui_options['test_share'] must be a number between 0 and 1 (both excluded), got 1.0"),
    ({"validation_bars": -1}, "ui_options['validation_bars'] must be an integer >= 0, got -1"),
    ({"train_starts": "random"}, "ui_options['train_starts'] must be 'grid' or 'any', got 'random'"),
    ({"windows": 8}, "unknown ui_options key 'windows'"),
])
def test_ui_options_values_are_checked_in_python(options, message):
    with pytest.raises(ValueError) as info:
        TradingEnv(ui="node", ui_options=options)
    assert str(info.value).startswith(message)


def test_good_ui_options_pass_as_python_numbers():
    import numpy as np

    options = {"episode_length": np.int64(16), "regime_drift": np.float64(0.01), "series": "regime", "sync": "eager"}
    assert checked_options(options) == {"episode_length": 16, "regime_drift": 0.01, "series": "regime", "sync": "eager"}
    assert type(checked_options(options)["episode_length"]) is int


@requires_node
def test_a_runner_that_exits_is_reported_at_once_with_what_it_said(monkeypatch):
    # Let a value the runner refuses through Python's check: the runner exits at once, saying why. The
    # environment waits for ever for a connection (connect_timeout_secs=None), so only the exit ends it.
    monkeypatch.setattr(ui_host, "checked_options", lambda options: dict(options or {}))
    with pytest.raises(RuntimeError) as info:
        TradingEnv(ui="node", ui_options={"episode_length": 0}, connect_timeout_secs=None)
    text = str(info.value)
    assert "exited with status 2 before it connected; it said:" in text
    assert "engine option episodeLength must be an integer >= 1, got 0" in text


def test_hints_name_commands_of_an_installed_package():
    command = ui_host.runner_command(8765, 7, {"episode_length": 64, "regime_drift": 0.01})
    assert command == "python -m tarnel_rl.run_ui --port 8765 --seed 7 --episode-length 64 --regime-drift 0.01"
    assert "ui/node" not in command
    # The command checks its options as the environments do.
    result = subprocess.run([sys.executable, "-m", "tarnel_rl.run_ui", "--port", "8765", "--episode-length", "0"],
                            capture_output=True, text=True, timeout=60, cwd="/", env={"PYTHONPATH": str(PYTHON_DIR)})
    assert result.returncode == 2
    assert "ui_options['episode_length'] must be an integer >= 1, got 0" in result.stderr


@requires_node
def test_pickling_an_environment_says_to_pass_a_factory():
    env = TradingEnv(ui="node", ui_options={"episode_length": 4})
    try:
        with pytest.raises(TypeError, match="Pass a factory instead, a function that makes the environment"):
            pickle.dumps(env)
    finally:
        env.close()
