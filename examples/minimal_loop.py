"""The smallest trainer loop worth copying: one engine, one user interface, one episode.

    PYTHONPATH=python .venv/bin/python examples/minimal_loop.py

Start a user interface for it in another terminal (or let this script start the Node one):
    node ui/node/run-ui.mjs --host 127.0.0.1 --port 8765
"""
import asyncio
import subprocess
from pathlib import Path

import numpy as np

import py_engine_tarnel as tarnel

PORT = 8765
SNAPSHOT_EQUITY = 4  # column of the snapshot vector (docs/protocol.md)


async def main() -> None:
    engine = tarnel.TarnelEngineAsync("127.0.0.1", PORT)
    await engine.start()
    ui = subprocess.Popen(["node", str(Path(__file__).parents[1] / "ui/node/run-ui.mjs"), "--port", str(PORT), "--quiet"])
    try:
        await engine.wait_connected(timeout_secs=30)
        steps = await engine.reset_episode(0, "train")
        rng = np.random.default_rng(0)
        for step in range(steps):
            if step % 20 == 0:
                await engine.place_ticket(rng.choice(["buy", "sell"]), 5, take_profit=0.5, stop_loss=0.5)
            snapshot, window = await engine.step_and_sync()
            if step % 64 == 0:
                print(f"step {step:>3}: close {window[-1, 3]:.3f}, equity {snapshot[SNAPSHOT_EQUITY]:.2f}")
        summary = (await engine.end_session())[0]
        print(f"return {summary[3]:+.4%} over {int(summary[6])} trades")
    finally:
        ui.terminate()
        ui.wait()


if __name__ == "__main__":
    asyncio.run(main())
