"""The page answers every call from one reused buffer: driven by the real module, in headless Chromium
and in Node.js, a long answer (thousands of candles) and the short ones between them must each arrive
whole and right, checked against the candles the test itself loaded."""
import sys
from pathlib import Path

import numpy as np
import pytest

import py_engine_tarnel as tarnel
from support.ports import start_on_held_port

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from tarnel_rl import ui_host  # noqa: E402

WINDOW = 4000  # the window every step_and_sync answers: 160 kB of candles
ROUNDS = 6

HOSTS = [
    pytest.param("node", marks=pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or ws is missing")),
    pytest.param("browser", marks=pytest.mark.skipif(not ui_host.browser_available(),
                                                      reason="headless Chromium or Playwright is missing")),
]


def candles(bars: int) -> np.ndarray:
    rng = np.random.default_rng(3)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.002, bars)))
    open_ = np.concatenate([[100.0], close[:-1]])
    return np.column_stack([open_, np.maximum(open_, close) * 1.001, np.minimum(open_, close) * 0.999, close,
                            rng.uniform(500, 1500, bars)])


@pytest.mark.parametrize("kind", HOSTS)
async def test_long_and_short_answers_alternate_and_each_is_right(kind):
    series = candles(WINDOW + 100)
    engine, port = await start_on_held_port(lambda port: tarnel.TarnelEngineAsync("127.0.0.1", port), 10.0)
    ui = await ui_host.open_ui(kind, port, 5, options={"window": WINDOW})
    try:
        await engine.wait_connected(timeout_secs=30)
        await engine.init_candles(series)
        np.testing.assert_array_equal(await engine.get_ohlc(), series[:WINDOW])  # the series' own session
        for step in range(1, ROUNDS + 1):
            bar = WINDOW - 1 + step
            snapshot, window = await engine.step_and_sync()
            np.testing.assert_array_equal(window, series[bar - WINDOW + 1:bar + 1])
            assert (snapshot[0], snapshot[1], snapshot[2]) == (step, bar, series[bar, 3])
            receipt = await engine.place_ticket("buy", 1)
            assert receipt.shape == (8,) and receipt[4] == series[bar, 3]
            np.testing.assert_array_equal(await engine.get_ohlc(), series[:bar + 1])
            closed = await engine.close_positions([int(receipt[0])], [1], [0.0])
            assert closed.shape == (1, 8) and closed[0, 0] == receipt[0]
            assert (await engine.get_snapshot())[8] == 0  # no position open
    finally:
        await ui.close()
        await engine.close()
