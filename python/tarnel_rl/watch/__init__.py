"""Watching training: the dashboard, its hub and viewer, the trainer's logged values and run folders, the
rgb_array frames, and saved episodes (traces) with their replay and checks."""
