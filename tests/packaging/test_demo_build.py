"""What make demo builds (scripts/setup.sh with TARNEL_SETUP_WHEEL_CACHE=1): the wheel alone, without the
C++ unit tests, in a tree of its own, with a line for the step, its progress lines with their seconds and
its time; a second run builds nothing. The venv's python, apt and npm are stand-ins that record what they
are asked, so that nothing is built or installed for real."""
from __future__ import annotations

import hashlib
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAKE_PYTHON = """#!/bin/sh
echo "$*" >> "$CALLS"
if [ "$3" = wheel ]; then
  while [ $# -gt 0 ]; do [ "$1" = -w ] && out="$2"; shift; done
  mkdir -p "$out" && : > "$out/py_engine_tarnel-0.1.0-cp311-abi3-linux_x86_64.whl"
  echo "  [1/2] Building CXX object CMakeFiles/tarnel_runtime.dir/src/runtime/a.cpp.o"
  echo "some compiler noise"
  echo "  [2/2] Linking CXX shared module py_engine_tarnel.abi3.so"
fi
"""
RECORD = '#!/bin/sh\necho "$0 $*" >> "$CALLS"\n'


def run_demo_setup(tmp_path: Path) -> tuple[subprocess.CompletedProcess, list[str]]:
    venv, fakes, calls = tmp_path / "venv", tmp_path / "fakes", tmp_path / "calls"
    (venv / "bin").mkdir(parents=True, exist_ok=True)
    fakes.mkdir(exist_ok=True)
    (venv / "bin" / "python").write_text(FAKE_PYTHON)
    for name in ("apt-get", "apt-cache", "sudo", "npm"):
        (fakes / name).write_text(RECORD)
    for script in [venv / "bin" / "python", *fakes.iterdir()]:
        script.chmod(0o755)
    # The Python packages count as installed: the stamp setup.sh leaves after installing them.
    (venv / ".tarnel-deps").write_text(hashlib.sha256((ROOT / "pyproject.toml").read_bytes()).hexdigest()[:16] + "\n")
    env = dict(os.environ, PATH=f"{fakes}:{os.environ['PATH']}", CALLS=str(calls), TARNEL_VENV=str(venv),
               TARNEL_SETUP_WHEEL_CACHE="1", TARNEL_MODULE_BUILD_DIR=str(tmp_path / "module"),
               TARNEL_WHEEL_CACHE=str(tmp_path / "cache"), TARNEL_BUILD_DIR=str(tmp_path / "dev"),
               TARNEL_LOG_DIR=str(tmp_path / "logs"))
    result = subprocess.run(["bash", str(ROOT / "scripts" / "setup.sh")], cwd=ROOT, env=env, capture_output=True,
                            text=True, timeout=120)
    return result, calls.read_text().splitlines() if calls.exists() else []


def test_the_demo_builds_the_wheel_alone_and_shows_its_progress(tmp_path):
    result, calls = run_demo_setup(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    wheels = [c for c in calls if " wheel " in f" {c} "]
    assert len(wheels) == 1 and f"build-dir={tmp_path / 'module'}" in wheels[0], calls
    assert "TARNEL_BUILD_TESTS" not in wheels[0]  # no C++ unit tests for the demo
    start = next(i for i, line in enumerate(lines) if line.startswith("[setup] building the module ("))
    progress = lines[start + 1:start + 3]
    assert [line.split(None, 2)[2] for line in progress] == [
        "[1/2] Building CXX object CMakeFiles/tarnel_runtime.dir/src/runtime/a.cpp.o",
        "[2/2] Linking CXX shared module py_engine_tarnel.abi3.so"], lines
    assert all(line.startswith("[setup] ") and line.split()[1].endswith("s") for line in progress)
    assert lines[start + 3].startswith("[setup] building the module (") and " done in " in lines[start + 3]
    assert (tmp_path / "venv" / ".tarnel-built").read_text().strip() == str(tmp_path / "module")
    assert any("install -q --no-deps --force-reinstall" in c and c.endswith(".whl") for c in calls)
    assert len(list((tmp_path / "cache").glob("*/py_engine_tarnel-*.whl"))) == 1  # for the next clone
    assert (tmp_path / "logs" / "module.log").read_text().count("some compiler noise") == 1  # all of it kept

    again, calls_again = run_demo_setup(tmp_path)
    assert again.returncode == 0 and "[setup] build up to date" in again.stdout.splitlines(), again.stdout
    assert [c for c in calls_again[len(calls):] if " wheel " in f" {c} "] == []
