"""A training run kept on disk: `RUNS_DIR/NAME/` with config.json, episodes.jsonl and scalars.jsonl
(one JSON object per line), written through a buffer that a thread of its own flushes, and read back,
downsampled, for the past runs' dashboard."""
from __future__ import annotations

import atexit
import json
import os
import re
import threading
import time
import weakref
from pathlib import Path
from typing import Any

CONFIG_FILE = "config.json"
EPISODES_FILE = "episodes.jsonl"
SCALARS_FILE = "scalars.jsonl"
FLUSH_SECS = 0.5
MAX_BUFFERED_BYTES = 16 << 20  # lines beyond it are dropped (and counted) until the disk catches up
POINTS_SHOWN = 20_000  # per curve, for a past run
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,199}")


def check_run_name(name: str) -> str:
    """A run's folder name: letters, digits, '.', '_' and '-', not starting with a dot (never a path)."""
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(f"a run's name is 1 to 200 letters, digits, '.', '_' or '-', not starting with a dot; "
                         f"got {name!r}"[:300])
    return name


def new_run_folder(runs_dir: str | os.PathLike, name: str | None = None) -> Path:
    """Makes `RUNS_DIR/<UTC time>[-name]` (with `-2`, `-3`... when taken) and answers it."""
    stem = time.strftime("%Y-%m-%dT%H-%M-%S", time.gmtime()) + (f"-{check_run_name(name)}" if name else "")
    root = Path(runs_dir).absolute()  # the trainer may change its directory later
    root.mkdir(parents=True, exist_ok=True)
    for attempt in range(1, 1000):
        folder = root / (stem if attempt == 1 else f"{stem}-{attempt}")
        try:
            folder.mkdir()
            return folder
        except FileExistsError:
            continue
    raise FileExistsError(f"no free run folder named {stem}-N in {root}")


class RunWriter:
    """Appends lines to a run folder's files without ever waiting for the disk: `append` only adds to a
    buffer, which a daemon thread writes every FLUSH_SECS (and `close`, or the interpreter's exit)."""

    def __init__(self, folder: str | os.PathLike) -> None:
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self._lock = threading.Lock()
        self._pending: dict[str, list[bytes]] = {}
        self._pending_bytes = 0
        self.dropped = 0  # lines lost because the buffer was full
        self._wake = threading.Event()
        self._closed = False
        self.after_flush: list = []  # called on the writer's thread after each periodic flush
        self._thread = threading.Thread(target=self._run, name="tarnel-run-writer", daemon=True)
        self._thread.start()
        atexit.register(_close_at_exit, weakref.ref(self))

    def append(self, file: str, *lines: bytes) -> None:
        """JSON lines (without their newlines) for `file` of the folder."""
        size = sum(len(line) + 1 for line in lines)
        with self._lock:
            if self._pending_bytes + size > MAX_BUFFERED_BYTES:
                self.dropped += len(lines)
                return
            self._pending.setdefault(file, []).extend(lines)
            self._pending_bytes += size

    def write_config(self, config: dict[str, Any]) -> None:
        """config.json, replaced whole (written to a temporary file, then renamed)."""
        text = json.dumps(config, indent=2, sort_keys=True, default=str)
        temporary = self.folder / f".{CONFIG_FILE}.{os.getpid()}"
        temporary.write_text(text + "\n")
        os.replace(temporary, self.folder / CONFIG_FILE)

    def flush(self) -> None:
        with self._lock:
            pending, self._pending, self._pending_bytes = self._pending, {}, 0
        for file, lines in pending.items():
            # One write per flush and file, appended: several processes of a trainer may share a file.
            with open(self.folder / file, "ab") as out:
                out.write(b"\n".join(lines) + b"\n")

    def close(self) -> None:
        """Writes what is buffered and stops the thread. Idempotent."""
        if not self._closed:
            self._closed = True
            self._wake.set()
            self._thread.join(timeout=10)
        self.flush()

    def abandon(self) -> None:
        """In a forked child: the parent writes what was buffered; this copy writes nothing."""
        self._closed = True
        self._lock = threading.Lock()
        self._pending, self._pending_bytes = {}, 0

    def _run(self) -> None:
        while not self._closed:
            self._wake.wait(FLUSH_SECS)
            try:
                self.flush()
            except OSError:
                pass  # a full disk must not end the trainer; the next flush tries again with newer lines
            for hook in list(self.after_flush):
                hook()


def _close_at_exit(ref: weakref.ref[RunWriter]) -> None:
    writer = ref()
    if writer is not None:
        try:
            writer.close()
        except OSError:
            pass


# --- reading runs back ------------------------------------------------------------------------------------

def list_runs(runs_dir: str | os.PathLike) -> list[dict[str, Any]]:
    """Every run folder under `runs_dir`, oldest name first: its name, configuration, how many episodes
    it holds and the names it logged (remembered while its files do not change)."""
    root = Path(runs_dir)
    runs = []
    for folder in sorted(root.iterdir()) if root.is_dir() else []:
        if folder.is_dir() and _NAME.fullmatch(folder.name):
            runs.append(_summary(folder))
    return runs


def _summary(folder: Path) -> dict[str, Any]:
    marks = tuple(_mark(folder / file) for file in (CONFIG_FILE, EPISODES_FILE, SCALARS_FILE))
    known = _summaries.get(folder)
    if known is not None and known[0] == marks:
        return known[1]
    names = _counts_by_name(folder / SCALARS_FILE)
    summary = {"name": folder.name, "config": _read_config(folder), "episodes": _count_lines(folder / EPISODES_FILE),
               "scalars": sorted(names)}
    if len(_summaries) > 1000:
        _summaries.clear()
    _summaries[folder] = (marks, summary)
    return summary


_summaries: dict[Path, tuple[tuple, dict[str, Any]]] = {}


def _mark(path: Path) -> tuple[int, int]:
    try:
        status = path.stat()
    except OSError:
        return (-1, -1)
    return (status.st_size, status.st_mtime_ns)


def read_run(runs_dir: str | os.PathLike, name: str) -> dict[str, Any]:
    """One run: its configuration, its episodes and its logged values, each curve (the episodes, each
    logged name) evenly thinned to at most POINTS_SHOWN points, its first and last kept. Read in two
    passes, so that a long run costs no more memory than what is answered. An unknown name raises
    FileNotFoundError."""
    folder = Path(runs_dir) / check_run_name(name)
    if not folder.is_dir():
        raise FileNotFoundError(f"no run named {name!r} in {runs_dir}")
    episodes_file, scalars_file = folder / EPISODES_FILE, folder / SCALARS_FILE
    episode_picks = _picks(sum(1 for _ in _read_lines(episodes_file)), POINTS_SHOWN)
    episodes = [entry for n, entry in enumerate(_read_lines(episodes_file)) if n in episode_picks]
    picks = {name: _picks(count, POINTS_SHOWN) for name, count in _counts_by_name(scalars_file).items()}
    seen: dict[str, int] = {}
    scalars = []
    for entry in _read_lines(scalars_file):
        kind = entry.get("name")
        if isinstance(kind, str) and kind in picks:
            index = seen[kind] = seen.get(kind, -1) + 1
            if index in picks[kind]:
                scalars.append(entry)
    return {"name": folder.name, "config": _read_config(folder), "live": False, "episodes": episodes,
            "scalars": scalars}


def _counts_by_name(path: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    for entry in _read_lines(path):
        if isinstance(entry.get("name"), str):
            counts[entry["name"]] = counts.get(entry["name"], 0) + 1
    return counts


def _picks(count: int, most: int) -> range | set[int]:
    """The indices `thinned` keeps of `count` entries."""
    if count <= most:
        return range(count)
    return set(thinned(range(count), most))


def thinned(entries: Any, most: int) -> list[Any]:
    """At most `most` entries, evenly spread, the first and the last kept."""
    if len(entries) <= most:
        return list(entries)
    if most < 2:
        return list(entries[len(entries) - most:]) if most > 0 else []
    step = (len(entries) - 1) / (most - 1)
    return [entries[round(i * step)] for i in range(most)]


def _read_config(folder: Path) -> dict[str, Any]:
    try:
        config = json.loads((folder / CONFIG_FILE).read_text())
    except (OSError, ValueError):
        return {}
    return config if isinstance(config, dict) else {}


def _read_lines(path: Path):
    """The JSON objects of a JSONL file; a line that is not one (a line cut by a crash) is skipped."""
    try:
        with open(path, "rb") as lines:
            for line in lines:
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue
                if isinstance(entry, dict):
                    yield entry
    except FileNotFoundError:
        return


def _count_lines(path: Path) -> int:
    try:
        with open(path, "rb") as lines:
            return sum(1 for line in lines if line.strip())
    except FileNotFoundError:
        return 0
