"""The trainer's own values (a loss, an entropy, a learning rate): `tarnel_rl.log(step, loss=...)`, or a
`ScalarWriter` for Stable-Baselines3's logger, kept in the run folder (scalars.jsonl) and shown by the
dashboard (its `scalars` event); and the run folder of this trainer (`current_run`).

Where runs are kept: `tarnel_rl.log.configure(runs_dir=..., name=..., config=...)`, else the environment
variable TARNEL_RUNS_DIR, else `runs/` under the current directory as soon as the dashboard is on
(render_mode="human"). Without any of them nothing is kept (the first `log` says so once). The worker
processes of a trainer inherit its run folder (TARNEL_RUN) and append to the same files.
"""
from __future__ import annotations

import json
import math
import os
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarnel_rl.watch.run_folder import SCALARS_FILE, RunWriter, new_run_folder

RUNS_DIR_VARIABLE = "TARNEL_RUNS_DIR"
RUN_VARIABLE = "TARNEL_RUN"  # {"folder", "started"}: the run of the process that started this one
DEFAULT_RUNS_DIR = "runs"
HUB_GAP_SECS = 0.1
HUB_BATCH = 500  # logged values per message to the hub (a line well within the pipe's buffer)  # logged values go to the hub at most this often (the rest wait for the next call)


@dataclass
class Run:
    """One trainer's run: its folder, when it started (seconds since the epoch) and its writer."""

    folder: Path
    started: float
    writer: RunWriter
    config: dict[str, Any] = field(default_factory=dict)

    @property
    def name(self) -> str:
        return self.folder.name


_lock = threading.Lock()
_settings: dict[str, Any] = {"runs_dir": None, "name": None, "config": {}}
_run: Run | None = None
_run_pid: int | None = None


def current_run(for_dashboard: bool = False) -> Run | None:
    """This trainer's run, made on first need: in the folder its parent process made (TARNEL_RUN), else
    under the configured runs folder, TARNEL_RUNS_DIR, or (`for_dashboard`) `runs/`. None when runs are
    not kept."""
    global _run, _run_pid
    if _run is not None and _run_pid == os.getpid():  # the quick way, every call after the first
        return _run
    with _lock:
        if _run is not None and _run_pid == os.getpid():
            return _run
        inherited = os.environ.get(RUN_VARIABLE)
        if inherited:
            try:
                where = json.loads(inherited)
                _run, _run_pid = Run(Path(where["folder"]), float(where["started"]), RunWriter(where["folder"])), os.getpid()
                return _run
            except (ValueError, KeyError, TypeError, OSError):
                pass  # a stale or garbled variable: make a run of our own
        runs_dir = _settings["runs_dir"] or os.environ.get(RUNS_DIR_VARIABLE) or (
            DEFAULT_RUNS_DIR if for_dashboard else None)
        if not runs_dir or _settings.get("unwritable") == runs_dir:
            return None
        try:
            folder = new_run_folder(runs_dir, _settings["name"])
        except OSError as error:  # a folder that cannot be written stops nothing: it is said once
            _settings["unwritable"] = runs_dir
            warnings.warn(f"tarnel_rl: this run cannot be kept in {runs_dir} ({error.strerror or error}): set "
                          f"{RUNS_DIR_VARIABLE} to a folder you can write", stacklevel=2)
            return None
        started = time.time()
        _run, _run_pid = Run(folder, started, RunWriter(folder)), os.getpid()
        _write_config(_run)
        os.environ[RUN_VARIABLE] = json.dumps({"folder": str(folder.resolve()), "started": started})
        return _run


def run_started() -> float:
    """When this trainer's run started (seconds since the epoch), without making a run: the run's, the
    parent process's run's, or this process's start."""
    if _run is not None and _run_pid == os.getpid():
        return _run.started
    try:
        return float(json.loads(os.environ.get(RUN_VARIABLE) or "")["started"])
    except (ValueError, KeyError, TypeError):
        return _process_started


def _write_config(run: Run) -> None:
    described = {key: value for key, value in run.config.items() if key == "environment"}
    run.config = {"name": run.name, "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(run.started)),
                  "command": sys.argv, **described, **_settings["config"]}
    run.writer.write_config(run.config)


def describe(section: str, values: dict[str, Any]) -> None:
    """Adds `values` to the run's config.json under `section` (the environment's configuration goes
    under "environment"), once per section and process, and tells the dashboard."""
    run = current_run()
    if run is None or section in run.config:
        return
    run.config[section] = values
    run.writer.write_config(run.config)
    _tell_hub({"op": "run", "name": run.name, "config": run.config})


def _tell_hub(message: dict[str, Any]) -> bool:
    """Sends a message to the hub this process started, if any, without waiting."""
    dashboard = sys.modules.get("tarnel_rl.watch.dashboard")  # never imported here: logging needs no dashboard
    hub = dashboard.current_hub() if dashboard is not None else None
    return bool(hub is not None and hub.send(message))


class TrainingLog:
    """`log(step, **values)`: records named numbers at the trainer's `step` (the module-level
    `tarnel_rl.log`). A value that is not a finite number is kept as null."""

    def __init__(self) -> None:
        self._pending: list[dict[str, Any]] = []
        self._last_sent = -math.inf
        self._warned = False

    def __call__(self, step: int, /, **values: Any) -> None:
        if isinstance(step, bool) or not isinstance(step, int):
            try:
                step = int(step.__index__())
            except (AttributeError, TypeError):
                raise TypeError(f"log's step is an integer (the trainer's step), not {step!r}") from None
        run = current_run()
        started = run.started if run is not None else _process_started
        wall = round(time.time() - started, 3)
        entries = [{"name": name, "step": step, "wall": wall, "value": _number(value)} for name, value in values.items()]
        if run is not None:
            if self._send_pending not in run.writer.after_flush:  # what waits for the hub goes within FLUSH_SECS
                run.writer.after_flush.append(self._send_pending)
            run.writer.append(SCALARS_FILE, *(_encode(entry).encode() for entry in entries))
        elif not self._warned:
            self._warned = True
            warnings.warn("tarnel_rl.log: logged values are not kept: set TARNEL_RUNS_DIR or call "
                          "tarnel_rl.log.configure(runs_dir=...), or train with render_mode='human'", stacklevel=2)
        with _lock:
            self._pending += entries
        self._send_pending(wait=True)

    def _send_pending(self, wait: bool = False) -> None:
        """Sends the values not yet sent to the hub; `wait`: unless they went less than HUB_GAP_SECS ago."""
        with _lock:
            now = time.monotonic()
            if not self._pending or (wait and now - self._last_sent < HUB_GAP_SECS):
                return
            self._last_sent = now
            pending, self._pending = self._pending, []
        for first in range(0, len(pending), HUB_BATCH):
            _tell_hub({"op": "scalars", "scalars": pending[first:first + HUB_BATCH]})

    def configure(self, runs_dir: str | os.PathLike | None = None, name: str | None = None,
                  config: dict[str, Any] | None = None) -> Run | None:
        """Where this trainer's run is kept (`runs_dir`, made if missing), its folder's name (after the
        start time: `2026-12-08T06-01-02-NAME`) and what config.json holds besides (your
        hyper-parameters: any JSON). Call it before the first environment or `log` to choose the folder;
        `config` may also be given later and updates config.json. Answers the run (None: not kept)."""
        if config is not None and not isinstance(config, dict):
            raise TypeError(f"config is a dict of JSON values, not {type(config).__name__}")
        if name is not None:
            from tarnel_rl.watch.run_folder import check_run_name
            check_run_name(name)
        made = _run if _run is not None and _run_pid == os.getpid() else None
        if made is not None and (runs_dir is not None or name is not None):
            warnings.warn(f"tarnel_rl.log.configure: this trainer's run is kept in {made.folder} already (an "
                          "environment or a log made it): runs_dir and name apply from the next trainer process; "
                          "call configure before the first environment", stacklevel=2)
        with _lock:
            if runs_dir is not None:
                _settings["runs_dir"] = os.fspath(runs_dir)
            if name is not None:
                _settings["name"] = name
            if config is not None:
                _settings["config"] = dict(config)
        run = current_run()
        if run is not None and config is not None:
            _write_config(run)
            _tell_hub({"op": "run", "name": run.name, "config": run.config})
        return run

    def writer(self) -> ScalarWriter:
        """An output for Stable-Baselines3's logger (`logger.output_formats.append(tarnel_rl.log.writer())`),
        or for any loop that logs dicts. SB3's logger writes only to its `KVWriter`s: with SB3 installed the
        writer is one (SB3 is not needed otherwise)."""
        try:
            from stable_baselines3.common.logger import KVWriter
        except ImportError:
            return ScalarWriter(self)
        return _as_kv_writer(KVWriter)(self)


class ScalarWriter:
    """`write(key_values, key_excluded, step)`, as Stable-Baselines3's `KVWriter`: the numbers of
    `key_values` go to `tarnel_rl.log` (text, arrays of more than one value, and figures and videos are
    left out)."""

    def __init__(self, log: TrainingLog | None = None) -> None:
        self._log = log or globals()["log"]

    def write(self, key_values: dict[str, Any], key_excluded: dict[str, Any] | None = None, step: int = 0) -> None:
        numbers = {}
        for key, value in key_values.items():
            excluded = (key_excluded or {}).get(key) or ()
            if "tarnel" in excluded:
                continue
            if hasattr(value, "item") and getattr(value, "size", 1) == 1:  # NumPy and PyTorch scalars
                value = value.item()
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                numbers[key] = value
        if numbers:
            self._log(int(step), **numbers)

    def close(self) -> None:
        run = current_run()
        if run is not None:
            run.writer.flush()


_kv_writers: dict[type, type] = {}


def _as_kv_writer(base: type) -> type:
    """ScalarWriter as a subclass of SB3's KVWriter (made once)."""
    if base not in _kv_writers:
        _kv_writers[base] = type("SB3ScalarWriter", (ScalarWriter, base), {"__module__": __name__})
    return _kv_writers[base]


_encode = json.JSONEncoder(separators=(",", ":")).encode


def _number(value: Any) -> float | int | None:
    if hasattr(value, "item"):
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise TypeError(f"logged values are numbers, not {value!r}"[:200]) from None
    return value if isinstance(value, int) or math.isfinite(value) else None


def _forget_run_after_fork() -> None:
    """A forked worker appends to its parent's folder through a writer of its own (threads do not fork):
    the parent's writer and its buffer (which the parent writes) are left alone, and so is its lock."""
    global _run, _run_pid, _lock
    if _run is not None:
        _run.writer.abandon()
    _run, _run_pid, _lock = None, None, threading.Lock()


os.register_at_fork(after_in_child=_forget_run_after_fork)
_process_started = time.time()
log = TrainingLog()
