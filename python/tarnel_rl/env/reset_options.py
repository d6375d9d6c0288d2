"""What `reset(options=...)` may ask for, and the episode it starts: the episode type, its index (drawn
from the environment's seeded generator when not given) or the walk-forward pass over a held-out range."""
from __future__ import annotations

from typing import Any

import numpy as np

# What reset's episode_type may name: validation episodes are the page's test episodes after its test
# range's (docs/protocol.md, "Episodes").
ENV_EPISODE_TYPES = ("train", "validation", "test")
RESET_OPTIONS = ("episode_type", "episode_index", "walk_forward", "market")


def check_env_episode_type(episode_type: Any) -> str:
    if not isinstance(episode_type, str) or episode_type not in ENV_EPISODE_TYPES:
        raise ValueError(f"episode_type must be 'train', 'validation' or 'test', got {episode_type!r}")
    return episode_type


def episode_kind(options: dict[str, Any], default: str) -> str:
    """The episode type a reset asks for (`default`: the constructor's); unknown options are refused."""
    unknown = set(options) - set(RESET_OPTIONS)
    if unknown:
        raise ValueError(f"unknown reset options: {', '.join(sorted(unknown))}")
    return check_env_episode_type(options.get("episode_type", default))


def episode_index(kind: str, options: dict[str, Any], config: dict[str, Any], rng: np.random.Generator) -> int:
    """The index within `kind` of the episode a reset starts, by the page's configuration `config`."""
    if options.get("walk_forward"):
        return walk_forward_index(kind, options.get("episode_index"), config)
    count = int(config.get(f"{kind}_episodes", 0))
    if count < 1:
        raise ValueError(f"the series has no {kind} episodes")
    asked = options.get("episode_index")
    index = int(rng.integers(count)) if asked is None else int(asked)
    if not 0 <= index < count:
        raise ValueError(f"{kind} episode index {index} out of range ({count} {kind} episodes)")
    return index


def walk_forward_index(kind: str, asked: Any, config: dict[str, Any]) -> int:
    """The index, within `kind`, of the page's walk-forward pass over that held-out range: the test
    episodes' indices go on after the validation episodes', where the passes follow them."""
    if asked is not None:
        raise ValueError("a walk-forward pass has no episode_index: it is the whole range")
    if kind == "train":
        raise ValueError("walk-forward passes are over the held-out ranges: episode_type 'test' or 'validation'")
    passes = config.get("walk_forward_episodes")
    if passes is None:
        raise ValueError("the page has no walk-forward passes: make the environment with "
                         "ui_options={'walk_forward': True}")
    page_index = passes.get(kind)
    if page_index is None:
        raise ValueError(f"the page has no walk-forward pass over the {kind} range (none, or fewer than window - 1 "
                         "bars before it, or a single bar)")
    return int(page_index) - (int(config["test_episodes"]) if kind == "validation" else 0)
