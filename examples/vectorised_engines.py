"""Several engines on several ports, each with its own user interface, driven concurrently from one
event loop: a vectorised environment. Calls on one engine are answered one at a time; different engines
run fully in parallel on the module's worker threads.

    PYTHONPATH=python .venv/bin/python examples/vectorised_engines.py [N]
"""
import asyncio
import sys
import time

import py_engine_tarnel as tarnel
from tarnel_rl import ui_host
from tarnel_rl.trading import ACTION_NAMES, TradingSession

import numpy as np


async def run_one(index: int, episodes: int) -> tuple[int, list[float]]:
    port = ui_host.free_port()
    engine = tarnel.TarnelEngineAsync("127.0.0.1", port)
    await engine.start()
    ui = await ui_host.open_ui("node", port, seed=100 + index)
    try:
        await engine.wait_connected(timeout_secs=30)
        session = TradingSession(engine)
        rng = np.random.default_rng(index)
        returns, steps = [], 0
        for episode in range(episodes):
            step = await session.reset(episode, "train")
            while not step.done:
                step = await session.step(int(rng.integers(len(ACTION_NAMES))))
                steps += 1
            returns.append(float((await session.finish())[3]))
        return steps, returns
    finally:
        await ui.close()


async def main(n: int) -> None:
    started = time.perf_counter()
    results = await asyncio.gather(*(run_one(i, episodes=2) for i in range(n)))
    elapsed = time.perf_counter() - started
    steps = sum(s for s, _ in results)
    for i, (_, returns) in enumerate(results):
        print(f"engine {i}: returns {', '.join(f'{r:+.4f}' for r in returns)}")
    print(f"{n} engines, {steps} steps in {elapsed:.1f} s: {steps / elapsed:.0f} steps/s in all")


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 4))
