"""The reference user interface end to end: the real module driving the page in headless Chromium and
the same engine in Node.js, with one seed and one sequence of actions, must give the same results."""
import asyncio
import sys
from pathlib import Path

import numpy as np
import pytest

import py_engine_tarnel as tarnel
from support.ports import start_on_held_port

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from tarnel_rl import ui_host  # noqa: E402
from tarnel_rl.trading import FLAT, HOLD, LONG, SHORT, TradingSession  # noqa: E402

STEPS = 300
SEED = 11
# A fixed, busy pattern of actions: opens, flips and closes positions throughout.
ACTIONS = [(LONG, HOLD, HOLD, SHORT, HOLD, FLAT, HOLD, LONG, SHORT, HOLD)[i % 10] for i in range(STEPS)]


async def drive(kind: str, screenshot: Path | None = None) -> dict:
    engine, port = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), 10.0)
    ui = await ui_host.open_ui(kind, port, SEED)
    try:
        await engine.wait_connected(timeout_secs=30)
        session = TradingSession(engine, events=True)  # the events are compared too
        config = await session.load_config()
        snapshots, rewards, events = [], [], []
        step = await session.reset(0, "train")
        episode = 0
        for action in ACTIONS:
            if step.done:
                await session.finish()
                episode += 1
                step = await session.reset(episode % config["train_episodes"], "train")
            step = await session.step(action)
            snapshots.append(step.snapshot)
            rewards.append(step.reward)
            events.extend(step.events)
        summary = await session.finish()
        ohlc = await engine.get_ohlc()
        if screenshot is not None:
            await asyncio.sleep(0.3)  # let the page draw its last animation frame
            await ui.screenshot(screenshot)
        return {"snapshots": np.array(snapshots), "rewards": np.array(rewards), "events": np.array(events),
                "summary": summary, "ohlc": ohlc}
    finally:
        await ui.close()
        await engine.close()


@pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or the user interface's npm packages are missing")
async def test_a_trainer_loop_runs_on_the_node_user_interface():
    result = await drive("node")
    assert result["snapshots"].shape == (STEPS, 16)
    assert len(result["events"]) > 50  # the action pattern opens and closes positions all along
    assert np.all(np.isfinite(result["snapshots"]))
    assert result["ohlc"].shape[1] == 5


@pytest.mark.skipif(not ui_host.browser_available(), reason="headless Chromium (/usr/bin/chromium) or Playwright is not installed")
@pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or the user interface's npm packages are missing")
async def test_the_browser_and_node_give_the_same_results_and_the_page_draws(tmp_path):
    shot = tmp_path / "page.png"
    browser = await drive("browser", screenshot=shot)
    node = await drive("node")
    for key in ("snapshots", "rewards", "events", "summary", "ohlc"):
        np.testing.assert_array_equal(browser[key], node[key], err_msg=key)

    import matplotlib.image

    pixels = matplotlib.image.imread(shot)[..., :3]
    assert pixels.shape[0] > 300 and pixels.shape[1] > 600
    # A drawn chart has many distinct colours spread over the canvas; a blank page has one or two.
    chart = pixels[100:-50, 50:-150].reshape(-1, 3)
    assert len(np.unique((chart * 255).astype(np.uint8), axis=0)) > 20
    assert chart.std() > 0.02
