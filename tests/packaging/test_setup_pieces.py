"""scripts/setup.sh on a system that lacks pieces: each missing piece is installed under the first name apt
knows, and what is still missing afterwards gets exactly one line that says what to install. Run with a
PATH that holds only basic tools and stand-ins for apt-get and apt-cache (which record what they are asked
and install nothing), so that nothing is installed for real."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ["bash", "sed", "awk", "sort", "tail", "grep", "cat", "dirname", "env"]
FAKE_APT_CACHE = """#!/bin/sh
case "$1" in
  policy) case " $KNOWN " in *" $2 "*) printf '%s:\\n  Installed: (none)\\n  Candidate: 1.0-1\\n' "$2" ;; esac ;;
  pkgnames) printf 'libboost1.74-dev\\nlibboost1.83-dev\\n' ;;
esac
"""
FAKE_APT_GET = """#!/bin/sh
echo "$*" >> "$APT_LOG"
"""
REQUIRED_LINES = [
    "[setup] missing a C++23 compiler (g++ 12 or newer): install it (on Debian or Ubuntu: apt-get install g++)",
    "[setup] missing CMake: install it (on Debian or Ubuntu: apt-get install cmake)",
    "[setup] missing Ninja: install it (on Debian or Ubuntu: apt-get install ninja-build)",
    "[setup] missing Node.js with npm: install it (on Debian or Ubuntu: apt-get install nodejs npm)",
]
CHROMIUM_LINE = ("[setup] no Chromium (chromium, chromium-browser, google-chrome): the browser tests are skipped; "
                 "install Chromium to run them")


def write_command(directory: Path, name: str, text: str) -> None:
    (directory / name).write_text(text)
    (directory / name).chmod(0o755)


def run_setup(tmp_path: Path, with_apt: bool) -> tuple[subprocess.CompletedProcess, list[str]]:
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for tool in TOOLS:
        os.symlink(shutil.which(tool), bin_dir / tool)
    write_command(bin_dir, "id", "#!/bin/sh\necho 0\n")  # as root: no sudo
    if with_apt:
        write_command(bin_dir, "apt-cache", FAKE_APT_CACHE)
        write_command(bin_dir, "apt-get", FAKE_APT_GET)
    log = tmp_path / "apt.log"
    env = {"PATH": str(bin_dir), "APT_LOG": str(log), "KNOWN": "g++ ninja-build chromium-browser",
           "TARNEL_SETUP_PACKAGES_ONLY": "1", "HOME": str(tmp_path)}
    result = subprocess.run([str(bin_dir / "bash"), str(ROOT / "scripts/setup.sh")], cwd=ROOT, env=env,
                            capture_output=True, text=True, timeout=60)
    return result, log.read_text().splitlines() if log.exists() else []


@pytest.mark.parametrize("with_apt", [True, False], ids=["apt", "no-apt"])
def test_each_missing_piece_gets_one_line(tmp_path, with_apt):
    result, _ = run_setup(tmp_path, with_apt)
    lines = result.stdout.splitlines()
    assert result.returncode == 1, result.stdout + result.stderr
    for expected in [*REQUIRED_LINES, CHROMIUM_LINE]:
        assert lines.count(expected) == 1, f"{expected!r} not once in:\n{result.stdout}"
    assert not [line for line in lines if line.startswith("[setup] missing") and line not in REQUIRED_LINES]


def test_apt_is_asked_for_the_names_it_knows_only(tmp_path):
    result, apt_calls = run_setup(tmp_path, with_apt=True)
    assert apt_calls[0] == "update -qq", apt_calls
    installs = sorted(call.removeprefix("install -y -qq ") for call in apt_calls[1:])
    # cmake and nodejs are unknown to this apt; Chromium comes under its second name.
    assert installs == ["chromium-browser", "g++", "ninja-build"], apt_calls
    assert "[setup] installing Chromium for the browser tests: chromium-browser" in result.stdout.splitlines()
