"""A user interface started through tarnel_rl.ui_host never outlives the trainer that started it: a child
interpreter starts one (from its main thread, or from a thread that has ended since, as environments
do from their loop threads), is killed with SIGKILL, and every process it had started must be gone
within a few seconds."""
from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
from tarnel_rl import ui_host  # noqa: E402
from support.ports import held_port  # noqa: E402

GONE_WITHIN_S = 10.0

TRAINER = textwrap.dedent('''
    import asyncio, sys, threading, time
    from tarnel_rl import ui_host

    kind, where, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    uis = []

    def start():
        # No engine listens on the port: the user interface keeps retrying, as one whose trainer died does.
        loop = asyncio.new_event_loop()
        uis.append(loop.run_until_complete(ui_host.open_ui(kind, port, 7)))
        if kind == "browser":  # Playwright's driver is served by this loop: keep it running
            threading.Thread(target=loop.run_forever, daemon=True).start()

    if where == "main":
        start()
    else:
        worker = threading.Thread(target=start)
        worker.start()
        worker.join()  # the thread that started it is gone before the trainer is killed
    print("ready", flush=True)
    time.sleep(120)
''')


def descendants(pid: int) -> set[int]:
    """Every live process under pid, through /proc/*/stat's parent field."""
    parents: dict[int, int] = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
            except OSError:
                continue
            parents[int(entry.name)] = int(stat.rsplit(")", 1)[1].split()[1])
    found, frontier = set(), {pid}
    while frontier:
        frontier = {child for child, parent in parents.items() if parent in frontier} - found
        found |= frontier
    return found


def alive(pid: int) -> bool:
    """Running or sleeping; a zombie (ended, waiting to be reaped by whoever adopted it) counts as gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] not in ("Z", "X")


KINDS = [
    pytest.param("node", marks=pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or ws is missing")),
    pytest.param("browser", marks=pytest.mark.skipif(not ui_host.browser_available(),
                                                      reason="headless Chromium or Playwright is missing")),
]


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("kind", KINDS)
def test_a_killed_trainer_leaves_no_user_interface_behind(kind, where):
    with held_port() as port:  # nothing listens on it: the user interface keeps retrying
        env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
        trainer = subprocess.Popen([sys.executable, "-c", TRAINER, kind, where, str(port)], env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        started: set[int] = set()
        try:
            line = trainer.stdout.readline()  # bounded: the child sleeps at most 120 s, and is killed below
            assert line == "ready\n", trainer.stderr.read() if trainer.poll() is not None else line
            started = descendants(trainer.pid)
            names = {Path(f"/proc/{p}/comm").read_text().strip() for p in started if alive(p)}
            assert ("node" in names) if kind == "node" else any("chrom" in n for n in names), names
        finally:
            trainer.send_signal(signal.SIGKILL)
            trainer.wait(10)
        deadline = time.monotonic() + GONE_WITHIN_S
        while time.monotonic() < deadline and any(alive(p) for p in started):
            time.sleep(0.1)
        left = {p: Path(f"/proc/{p}/cmdline").read_bytes()[:80] for p in started if alive(p)}
        for pid in left:  # do not leave them running for the other tests
            os.kill(pid, signal.SIGKILL)
        assert not left, f"still running {GONE_WITHIN_S} s after the trainer was killed: {left}"


@pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or ws is missing")
async def test_close_ends_the_node_runner_and_its_pipe():
    with held_port() as port:  # nothing listens on it
        ui = ui_host.NodeUI(port, seed=3)
        process = ui.process
        assert process.poll() is None
        await ui.close()
        assert process.returncode in (0, -signal.SIGTERM)  # SIGTERM, before or after its handler was set up
        assert process.stdin.closed
