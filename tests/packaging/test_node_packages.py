"""Where the Node.js runner finds its one npm package, `ws`, when the user interface came without it."""
from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
from tarnel_rl import ui_host  # noqa: E402

WS = ROOT / "ui" / "node_modules"
needs_ws = pytest.mark.skipif(shutil.which("node") is None or not (WS / "ws").is_dir(),
                              reason="Node.js or ui/node_modules (npm ci) is missing")


@pytest.fixture
def bare_ui(tmp_path, monkeypatch):
    """A copy of the user interface without node_modules, chosen with TARNEL_UI_DIR, and an empty cache."""
    ui = tmp_path / "ui"
    ui.mkdir()
    for name in ("index.html", "package.json", "package-lock.json"):
        shutil.copy(ROOT / "ui" / name, ui / name)
    for name in ("src", "node", "trivial"):
        shutil.copytree(ROOT / "ui" / name, ui / name)
    monkeypatch.setenv("TARNEL_UI_DIR", str(ui))
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return ui


@needs_ws
@pytest.mark.parametrize("modules, code, text", [
    (None, 2, "the npm package ws is missing: run `npm ci`"),
    ("elsewhere", 2, "it is not in TARNEL_UI_NODE_MODULES="),
    (WS, 0, "usage: run-ui.mjs"),
])
def test_the_runner_loads_ws_from_its_directory_or_the_named_one(bare_ui, modules, code, text):
    env = {"PATH": "/usr/bin:/bin:/usr/local/bin"}
    if modules is not None:
        env["TARNEL_UI_NODE_MODULES"] = str(bare_ui / modules if modules == "elsewhere" else modules)
    result = subprocess.run([shutil.which("node"), str(bare_ui / "node" / "run-ui.mjs"), "--help"], env=env,
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == code, result.stderr
    assert text in result.stdout + result.stderr


def test_without_ws_and_without_npm_the_error_says_what_to_install(bare_ui, monkeypatch):
    monkeypatch.setattr(ui_host.shutil, "which", lambda name: None)
    assert ui_host.ui_directory() == bare_ui
    with pytest.raises(RuntimeError, match=r"needs the npm package ws.*npm was not found.*run `npm ci` in"):
        ui_host.node_modules_for_runner()
    assert not ui_host.node_available()


def test_ws_in_the_cache_is_used_without_npm(bare_ui, tmp_path, monkeypatch):
    monkeypatch.setattr(ui_host.shutil, "which", lambda name: None)
    cached = tmp_path / "cache" / "tarnel_rl" / f"node-ws-{ui_host._ws_version(bare_ui)}" / "node_modules"
    cached.mkdir(parents=True)
    (cached / "ws").mkdir()
    (cached / "ws" / "package.json").write_text("{}")
    assert ui_host.node_modules_for_runner() == cached


def test_a_directory_without_the_user_interface_is_refused(tmp_path, monkeypatch):
    monkeypatch.setenv("TARNEL_UI_DIR", str(tmp_path))
    with pytest.raises(FileNotFoundError, match=r"ui/index.html\) was not found in " + str(tmp_path)):
        ui_host.ui_directory()
