"""A host that is not installed is one clear message that says what to install, not a bare
ModuleNotFoundError or FileNotFoundError; and Node.js is the default host, the browser only when asked."""
import asyncio
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from tarnel_rl import ui_host  # noqa: E402


def test_the_driven_browser_without_playwright_says_what_to_install(monkeypatch):
    # The plain browser needs no Playwright; a browser driven by scripts does.
    monkeypatch.setitem(sys.modules, "playwright.async_api", None)  # what an import of a missing package meets
    with pytest.raises(RuntimeError, match=r"^the browser user interface needs Playwright, which is not installed: "
                       r"pip install playwright \(only its driver: the browser is the system's Chromium, "
                       r"/usr/bin/chromium\), or use the Node\.js user interface, ui='node'$") as info:
        asyncio.run(ui_host.BrowserUI.open(1, seed=7, automation=True))
    assert info.value.__cause__ is None and info.value.__suppress_context__


def test_the_browser_without_chromium_says_what_to_install(monkeypatch):
    monkeypatch.setattr(ui_host, "CHROMIUM", "/nonexistent/chromium")
    with pytest.raises(RuntimeError, match=r"^the browser user interface needs Chromium at /nonexistent/chromium, "
                       r"which is missing: apt-get install chromium, or use the Node\.js user interface, ui='node'$"):
        asyncio.run(ui_host.open_ui("browser", 1, seed=7))


@pytest.mark.parametrize("kind", ["node", "auto"])
def test_node_without_node_says_what_to_install(kind, monkeypatch):
    monkeypatch.setattr(ui_host.shutil, "which", lambda name: None)
    with pytest.raises(RuntimeError, match=r"^the Node\.js user interface needs Node\.js 20 or later, and the node "
                       r"command was not found: install Node\.js \(apt-get install nodejs npm\), or ask for the "
                       r"browser with ui='browser'$"):
        asyncio.run(ui_host.open_ui(kind, 1, seed=7))  # "auto" is Node.js: never a browser unasked


def test_node_is_the_default_host_everywhere():
    import inspect

    pytest.importorskip("gymnasium", reason="gymnasium is not installed")
    from tarnel_rl.gym_env import TradingEnv
    from tarnel_rl.vector_env import TradingVectorEnv

    for made in (TradingEnv, TradingVectorEnv):
        assert inspect.signature(made.__init__).parameters["ui"].default == "node"


def test_the_demo_without_node_says_so_in_one_line(monkeypatch, capsys):
    pytest.importorskip("gymnasium", reason="gymnasium is not installed")
    from tarnel_rl import demo

    monkeypatch.setattr(ui_host.shutil, "which", lambda name: None)
    assert demo.main(["--ui", "node", "--plot", ""]) == 2
    captured = capsys.readouterr()
    assert captured.err.splitlines() == [
        "demo: the Node.js user interface needs Node.js 20 or later, and the node command was not found: install "
        "Node.js (apt-get install nodejs npm), or ask for the browser with ui='browser'"]
