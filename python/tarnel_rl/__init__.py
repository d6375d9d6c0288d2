"""Tools around py_engine_tarnel for reinforcement learning: hosting the reference user interface (in
headless Chromium or in Node.js), a trading session with discrete actions, the Gymnasium environment and
its vector form (they need the `gym` extra), a rollout worker for Ray, a small NumPy agent, and the demo
trainer."""
