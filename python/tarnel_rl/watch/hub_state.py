"""What the hub holds (its seats, the finished episodes, the trainer's logged values,
the run) and the server-sent events it makes of them; no I/O, every size bounded."""
from __future__ import annotations

import json
import time
from collections import deque
from collections.abc import Callable
from typing import Any

MAX_SEATS = 256
MAX_LABEL_CHARS = 200  # a longer label is cut
MAX_FIGURES_BYTES = 16 << 10  # one seat's trainer figures, as JSON (the feed sends about 4 KiB)
MAX_STATE_BYTES = 8 << 20  # one page state
MAX_STATES_TOTAL_BYTES = 64 << 20  # the page states of all seats together
MAX_EPISODE_BYTES = 4 << 10
MAX_SCALAR_NAME_CHARS = 100
MAX_SCALAR_NAMES = 256
EPISODES_KEPT = 20_000  # finished episodes remembered for the returns curve (the oldest go first)
SCALARS_KEPT = 100_000  # logged values remembered for the dashboards that connect later


def _json(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":"), allow_nan=False).encode()


class Seat:
    """One environment's place in the hub."""

    def __init__(self, env: int, label: str) -> None:
        self.env = env
        self.label = label
        self.closed = False
        self.figures: bytes | None = None  # the trainer's latest figures, as JSON
        self.env_steps = 0  # as last reported by its trainer
        self.page: bytes | None = None
        self.page_version = 0
        self.watchers = 0  # dashboards showing this seat's candles


class Cursor:
    """How far one dashboard has been told."""

    def __init__(self) -> None:
        self.seats = -1
        self.figures = -1
        self.episodes = 0
        self.scalars = 0
        self.page = 0
        self.run = -1


class HubState:
    """The hub's memory. Every change bumps `version` and calls `on_change` (which wakes the streams).
    A malformed or oversized message raises ValueError and changes nothing."""

    def __init__(self, on_change: Callable[[], None] = lambda: None, started: float | None = None) -> None:
        self._on_change = on_change
        self.started = time.time() if started is None else started
        self.seats: list[Seat] = []
        self.version = 0
        self._seats_version = 0
        self._figures_version = 0
        self._run_version = 0
        self._episodes: deque[bytes] = deque(maxlen=EPISODES_KEPT)
        self.episodes_total = 0
        self._scalars: deque[bytes] = deque(maxlen=SCALARS_KEPT)
        self._scalar_names: set[str] = set()
        self.scalars_total = 0
        self.run: dict[str, Any] = {"name": "", "live": True, "config": {}}
        self._states_bytes = 0
        self.publications = 0
        self.on_episode: Callable[[bytes], None] = lambda line: None  # the run folder's writer

    def wall(self) -> float:
        return round(time.time() - self.started, 3)

    def _changed(self, seats: bool = False, figures: bool = False) -> None:
        self.version += 1
        self._seats_version += seats
        self._figures_version += figures
        self._on_change()

    # --- the trainer's messages (its stdin lines, or /join and /train from its workers) ----------------

    def command(self, message: dict[str, Any]) -> Any:
        """`join` (answers the new seat's number), `label`, `train` (a seat's figures), `episode`,
        `leave`, `scalars` (the trainer's logged values) and `run` (its name and configuration)."""
        op = message.get("op")
        if op == "join":
            return self.join(message.get("label"))
        if op == "scalars":
            self.add_scalars(message.get("scalars"))
        elif op == "run":
            self.set_run(message.get("name"), message.get("config"))
        elif op in ("train", "episode", "leave", "label"):
            seat = self.seat(message.get("env"))
            if op == "train":
                self._set_figures(seat, message.get("train"))
            elif op == "episode":
                self._add_episode(seat, message.get("episode"))
            elif op == "label":
                seat.label = _label(message.get("label"), seat.env)
                self._changed(seats=True)
            else:
                seat.closed = True
                self._changed(seats=True)
        else:
            raise ValueError(f"unknown message {op!r}")
        return None

    def join(self, label: Any) -> int:
        if len(self.seats) >= MAX_SEATS:
            raise ValueError(f"this hub has its {MAX_SEATS} seats taken")
        env = len(self.seats)
        self.seats.append(Seat(env, _label(label, env)))
        self._changed(seats=True)
        return env

    def seat(self, env: Any) -> Seat:
        if not isinstance(env, int) or isinstance(env, bool) or not 0 <= env < len(self.seats):
            raise ValueError(f"no environment {env!r} joined this hub")
        return self.seats[env]

    def _set_figures(self, seat: Seat, figures: Any) -> None:
        if not isinstance(figures, dict):
            raise ValueError("a seat's figures are a JSON object")
        steps = figures.get("env_steps")
        if isinstance(steps, int) and not isinstance(steps, bool) and steps >= 0:
            seat.env_steps = steps
        encoded = _json(figures)
        if len(encoded) > MAX_FIGURES_BYTES:
            raise ValueError(f"a seat's figures take {len(encoded)} bytes, more than {MAX_FIGURES_BYTES}")
        seat.figures = encoded
        self._changed(figures=True)

    def _add_episode(self, seat: Seat, episode: Any) -> None:
        if not isinstance(episode, dict):
            raise ValueError("an episode is a JSON object")
        steps = episode.get("at_step")
        if isinstance(steps, int) and not isinstance(steps, bool) and steps >= seat.env_steps:
            seat.env_steps = steps
        record = {"market_pct": None, **episode, "env": seat.env, "wall": self.wall(),
                  "env_steps": sum(s.env_steps for s in self.seats)}
        encoded = _json(record)
        if len(encoded) > MAX_EPISODE_BYTES:
            raise ValueError(f"an episode takes {len(encoded)} bytes, more than {MAX_EPISODE_BYTES}")
        self._episodes.append(encoded)
        self.episodes_total += 1
        self.on_episode(encoded)
        self._changed()

    def add_scalars(self, entries: Any) -> None:
        if not isinstance(entries, list):
            raise ValueError("scalars are a JSON list")
        checked = [_scalar(entry) for entry in entries]
        for name, _ in checked:
            if name not in self._scalar_names and len(self._scalar_names) >= MAX_SCALAR_NAMES:
                raise ValueError(f"more than {MAX_SCALAR_NAMES} logged names")
            self._scalar_names.add(name)
        for _, encoded in checked:
            self._scalars.append(encoded)
        self.scalars_total += len(checked)
        if checked:
            self._changed()

    def set_run(self, name: Any, config: Any) -> None:
        if not isinstance(config, dict):
            raise ValueError("a run's configuration is a JSON object")
        encoded = _json(config)
        if len(encoded) > MAX_FIGURES_BYTES * 4:
            raise ValueError(f"a run's configuration takes {len(encoded)} bytes, more than {MAX_FIGURES_BYTES * 4}")
        self.run = {"name": str(name or "")[:MAX_LABEL_CHARS], "live": True, "config": config}
        self._run_version += 1
        self._changed()

    # --- the pages' states ---------------------------------------------------------------------------

    def publish_page(self, env: Any, state: bytes) -> int:
        """A page's state for seat `env`; answers how many dashboards watch that seat's candles."""
        seat = self.seat(env)
        if len(state) > MAX_STATE_BYTES:
            raise OverflowError(f"a page state of {len(state)} bytes, more than {MAX_STATE_BYTES}")
        held = self._states_bytes - len(seat.page or b"") + len(state)
        if held > MAX_STATES_TOTAL_BYTES:
            raise OverflowError(f"the pages' states would take {held} bytes, more than {MAX_STATES_TOTAL_BYTES}")
        self._states_bytes = held
        seat.page = state
        seat.page_version += 1
        self.publications += 1
        self._changed()
        return seat.watchers

    # --- what goes out ------------------------------------------------------------------------------

    def stats(self, viewers: int) -> dict[str, Any]:
        return {"viewers": viewers, "publications": self.publications,
                "envs": [{"label": s.label, "closed": s.closed} for s in self.seats],
                "episodes": self.episodes_total, "scalars": self.scalars_total}

    def events(self, cursor: Cursor, watched: Seat | None) -> list[bytes]:
        """The events one dashboard has not seen yet, oldest first; moves its cursor."""
        chunks = []
        if cursor.run != self._run_version:  # on connect, and again when the trainer adds to its configuration
            cursor.run = self._run_version
            chunks.append(_event(b"run", _json(self.run)))
        if cursor.seats != self._seats_version:
            cursor.seats = self._seats_version
            seats = [{"env": s.env, "label": s.label, "closed": s.closed} for s in self.seats]
            chunks.append(_event(b"seats", _json({"seats": seats})))
        if cursor.figures != self._figures_version:
            cursor.figures = self._figures_version
            envs = [b'{"env":%d,"train":%s}' % (s.env, s.figures or b"null") for s in self.seats]
            chunks.append(_event(b"train", b'{"envs":[' + b",".join(envs) + b"]}"))
        fresh = _tail(self._episodes, self.episodes_total, cursor.episodes)
        cursor.episodes = self.episodes_total
        if fresh:
            chunks.append(_event(b"episodes", b"[" + b",".join(fresh) + b"]"))
        fresh = _tail(self._scalars, self.scalars_total, cursor.scalars)
        cursor.scalars = self.scalars_total
        if fresh:
            chunks.append(_event(b"scalars", b'{"scalars":[' + b",".join(fresh) + b"]}"))
        if watched is not None and watched.page is not None and watched.page_version != cursor.page:
            cursor.page = watched.page_version
            chunks.append(_event(b"page", watched.page))
        return chunks


def _event(name: bytes, data: bytes) -> bytes:
    return b"event: " + name + b"\ndata: " + data + b"\n\n"


def _tail(kept: deque[bytes], total: int, seen: int) -> list[bytes]:
    """The entries after the first `seen` of `total`, of those still kept."""
    fresh = min(total - seen, len(kept))
    return [kept[i] for i in range(len(kept) - fresh, len(kept))]  # a deque is quick to index near its ends


def _label(label: Any, env: int) -> str:
    text = str(label) if label else f"env {env}"
    return text[:MAX_LABEL_CHARS]


def _scalar(entry: Any) -> tuple[str, bytes]:
    """One logged value, checked: {"name", "step", "wall", "value"}."""
    if not isinstance(entry, dict):
        raise ValueError("a logged value is a JSON object")
    name, step, wall, value = entry.get("name"), entry.get("step"), entry.get("wall"), entry.get("value")
    if not isinstance(name, str) or not 0 < len(name) <= MAX_SCALAR_NAME_CHARS:
        raise ValueError(f"a logged value's name is 1 to {MAX_SCALAR_NAME_CHARS} characters, not {name!r}"[:200])
    if not isinstance(step, int) or isinstance(step, bool):
        raise ValueError(f"the step of {name!r} is an integer, not {step!r}")
    for field, number in (("wall", wall), ("value", value)):
        if number is not None and (not isinstance(number, (int, float)) or isinstance(number, bool)):
            raise ValueError(f"the {field} of {name!r} is a number or null, not {number!r}")
    return name, _json({"name": name, "step": step, "wall": wall, "value": value})
