"""Tools around py_engine_tarnel for reinforcement learning: hosting the reference user interface (in
headless Chromium or in Node.js), a small NumPy agent, and the demo trainer."""
