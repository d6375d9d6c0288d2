"""Where tarnel_rl.chromium finds the browser: the first of its names on the path, in the order given, an
executable only, and Debian's path when there is none."""
from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
from tarnel_rl.chromium import CHROMIUM_NAMES, find_chromium  # noqa: E402


def install(directory: Path, name: str, executable: bool = True) -> Path:
    command = directory / name
    command.write_text("#!/bin/sh\nexit 0\n")
    command.chmod(0o755 if executable else 0o644)
    return command


@pytest.mark.parametrize("name", CHROMIUM_NAMES)
def test_each_name_is_found_alone(tmp_path, name):
    assert find_chromium(path=str(tmp_path)) == "/usr/bin/chromium"
    command = install(tmp_path, name)
    assert find_chromium(path=str(tmp_path)) == str(command)


def test_the_earlier_name_wins_over_a_later_one(tmp_path):
    later = tmp_path / "later"
    earlier = tmp_path / "earlier"
    later.mkdir()
    earlier.mkdir()
    install(later, "chromium")
    preferred = install(earlier, "chromium-browser")
    # "chromium" comes first among the names even though its directory comes later on the path.
    assert find_chromium(path=f"{earlier}:{later}") == str(later / "chromium")
    assert find_chromium(("chromium-browser", "chromium"), path=f"{earlier}:{later}") == str(preferred)


def test_a_file_that_is_not_executable_is_not_taken(tmp_path):
    install(tmp_path, "chromium", executable=False)
    google = install(tmp_path, "google-chrome")
    assert find_chromium(path=str(tmp_path)) == str(google)
