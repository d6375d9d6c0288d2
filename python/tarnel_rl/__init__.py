"""Tools around py_engine_tarnel for reinforcement learning: hosting the reference user interface (in
Node.js, or in headless Chromium when asked for), a trading session with discrete actions, the Gymnasium
environment and its vector form (they need the `gym` extra) with its frames and its dashboard, a
rollout worker for Ray, a small NumPy agent, and the demo trainer.

The parts live in sub-packages: env (the task), hosting (the page), watch (the dashboard, logs, frames,
traces), market_data (candles), verdict (out-of-sample reports) and agents; the modules at this level are
their old paths, kept as the same module objects (docs/layout.md).

`tarnel_rl.log(step, loss=..., entropy=...)` records the trainer's own values in its run folder and on
its dashboard (tarnel_rl.training_log)."""
from tarnel_rl.watch.training_log import log

__all__ = ["log"]
