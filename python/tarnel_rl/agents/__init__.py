"""Agents and trainers: a small NumPy agent, the trainer that teaches it, and the demo."""
