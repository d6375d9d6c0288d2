"""An episode kept in a file, and played back without any engine or page.

    env = TradingEnv(record_trace=True)            # or render_mode="rgb_array", which records it too
    ... play an episode ...
    save_trace(env.episode_trace, "out/episode.json")

    replay = Replay("out/episode.json")
    replay.actions, replay.rewards, replay.equity, replay.summary
    frames = list(replay.frames())                 # 400 x 720 x 3 uint8 frames, one a step, as render() draws

The file is JSON (`"format": "tarnel_rl episode trace"`, `"version": 1`): the episode's type and
index, the initial balance, the candles from the history window to the last bar (and their times as
ISO 8601 texts, `"times"`, when the series has times; else null), per step the action
(a discrete action, or the target net units that a target exposure asked for) and the reward, and
after each step (index 0: at the start) the net units, the close and the equity; the fills and closes
as the chart marks them; and the summary (`tarnel_rl.summary.EpisodeSummary`) once the episode ended.
Any JSON reader can load it. `load_trace` and `Replay` check a file before playing it back
(`tarnel_rl.trace_check`: keys, types, lengths, and the equity, fills and summary agreeing with the
actions, net units and closes): a damaged or edited file is a ValueError naming the file and the fault.
"""
from __future__ import annotations

import json
import math
from collections.abc import Iterator
from dataclasses import asdict
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.summary import EpisodeSummary
from tarnel_rl.watch.episode_trace import EpisodeTrace
from tarnel_rl.watch.frames import draw_frame
from tarnel_rl.watch.trace_check import TraceError, check_trace

FORMAT, VERSION = "tarnel_rl episode trace", 1


def _plain(value: Any) -> Any:
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, (np.floating, np.integer)):
        return _plain(value.item())
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _time_text(moment: np.datetime64) -> str | None:
    """ISO 8601 to the last nonzero unit (2024-01-31, 2024-01-31T09:30): read back exactly by datetime64."""
    return None if np.isnat(moment) else str(np.datetime_as_string(moment, unit="auto"))


def trace_times(data: dict[str, Any]) -> NDArray[np.datetime64] | None:
    """A loaded trace's candle times as datetime64[ns] (None for a trace without times)."""
    times = data.get("times")
    return None if times is None else np.array([np.datetime64(t, "ns") for t in times], dtype="datetime64[ns]")


def trace_to_dict(trace: EpisodeTrace) -> dict[str, Any]:
    return {
        "format": FORMAT,
        "version": VERSION,
        "episode_type": trace.kind,
        "episode_index": trace.index,
        "initial_balance": trace.initial_balance,
        "steps_total": trace.steps_total,
        "first": trace.first,  # the candle the first step starts from (the last of the history window)
        "candles": _plain(np.asarray(trace.candles, dtype=np.float64)),
        "times": None if trace.times is None else [_time_text(t) for t in trace.times],
        "actions": _plain(list(trace.actions)),
        "rewards": _plain(list(trace.rewards)),
        "net_units": _plain(list(trace.net_units)),
        "closes": _plain(list(trace.closes)),
        "equity": _plain(list(trace.equity)),
        "fills": [_plain(asdict(mark)) for mark in trace.marks],
        "ended": trace.ended,
        "summary": None if trace.summary is None else {k: _plain(v) for k, v in asdict(trace.summary).items()},
    }


def save_trace(trace: EpisodeTrace | None, path: str | Path) -> Path:
    """Writes `trace` (an environment's `episode_trace`) as JSON to `path`; answers the path."""
    if trace is None or not trace.equity:
        raise ValueError("there is no episode to save: make the environment with record_trace=True (or "
                         "render_mode='rgb_array') and play an episode first")
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(trace_to_dict(trace)))
    return target


def load_trace(source: str | Path | dict[str, Any]) -> dict[str, Any]:
    """The saved trace as a dictionary, checked (`tarnel_rl.trace_check`): a damaged or edited file is a
    ValueError naming the file and its first fault."""
    where = "the trace" if isinstance(source, dict) else str(source)
    if isinstance(source, dict):
        data = source
    else:
        try:
            data = json.loads(Path(source).read_text())
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ValueError(f"{where}: not a {FORMAT}: not JSON ({error})") from None
    if not isinstance(data, dict) or data.get("format") != FORMAT or data.get("version") != VERSION:
        found = (f"format {data.get('format')!r}, version {data.get('version')!r}" if isinstance(data, dict)
                 else f"a JSON {type(data).__name__}")
        raise ValueError(f"{where}: not a {FORMAT} of version {VERSION}: {found}")
    try:
        check_trace(data)
    except TraceError as error:
        raise ValueError(f"{where}: a damaged trace: {error}") from None
    return data


class Replay:
    """A saved episode, played back step by step from its file (or dictionary)."""

    def __init__(self, source: str | Path | dict[str, Any]) -> None:
        self.data = load_trace(source)
        self.actions: list[Any] = self.data["actions"]
        self.rewards: list[float] = [math.nan if r is None else r for r in self.data["rewards"]]
        self.equity: list[float] = self.data["equity"]
        # Each candle's time (datetime64[ns]), when the episode's series had times; else None.
        self.times: NDArray[np.datetime64] | None = trace_times(self.data)
        summary = self.data["summary"]
        fields: dict[str, Any] = {} if summary is None else {k: (math.nan if v is None else v) for k, v in summary.items()}
        self.summary = EpisodeSummary(**fields) if fields else None

    @property
    def steps(self) -> int:
        return len(self.equity) - 1

    def trace_at(self, step: int) -> EpisodeTrace:
        """The episode as it stood after `step` steps (0: at its start), as an environment's trace."""
        if not 0 <= step <= self.steps:
            raise ValueError(f"step must be 0 to {self.steps}, got {step}")
        d = self.data
        candles: NDArray[np.float64] = np.asarray(d["candles"], dtype=np.float64)
        first = d["first"]
        times = self.times
        trace = EpisodeTrace()
        trace.begin(d["episode_type"], d["episode_index"], candles[:first + 1], d["steps_total"], d["equity"][0],
                    d["closes"][0], d["net_units"][0], d["initial_balance"], None if times is None else times[:first + 1])
        for k in range(1, step + 1):
            trace.advance(d["net_units"][k], candles[first + k], d["equity"][k], d["closes"][k],
                          d["actions"][k - 1], self.rewards[k - 1], None if times is None else times[first + k])
        if step == self.steps and d["ended"]:
            trace.finish(d["equity"][-1], self.summary)
        return trace

    def render(self, step: int | None = None) -> NDArray[np.uint8]:
        """The frame `render()` drew after `step` steps (by default the last)."""
        return draw_frame(self.trace_at(self.steps if step is None else step))

    def frames(self, every: int = 1) -> Iterator[NDArray[np.uint8]]:
        """A frame every `every` steps from the start, and always the last one."""
        if every < 1:
            raise ValueError(f"every must be at least 1, got {every}")
        for step in [*range(0, self.steps, every), self.steps]:
            yield self.render(step)
