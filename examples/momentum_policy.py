"""A scripted policy for `python -m tarnel_rl.evaluate --policy examples.momentum_policy:momentum`: with
the target-exposure action (`--action target`), fully long after a rising bar and half short after a
falling one, read from the default features (the last of the 16 log returns is observation[15]). It
trains nothing; it is a baseline of the kind a trainer's policy has to beat."""
import numpy as np


def momentum(observation):
    return np.array([1.0 if observation[15] > 0 else -0.5], dtype=np.float32)
