"""scripts/wheel-cache.sh, which lets a second clone on the same machine install the module without
compiling: a tree's key depends on the content of what goes into the wheel and not on where the tree is,
a stored wheel is found under its key only, and the cache keeps the newest few keys."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "wheel-cache.sh"
IN_THE_WHEEL = ["src", "cmake", "python", "ui", "CMakeLists.txt", "pyproject.toml", "py_engine_tarnel.pyi", "README.md"]


def cache(tmp_path: Path, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    env = dict(os.environ, TARNEL_WHEEL_CACHE=str(tmp_path / "cache"))
    return subprocess.run([str(SCRIPT), *args], capture_output=True, text=True, timeout=60, env=env, check=check)


@pytest.fixture
def clone(tmp_path) -> Path:
    """A copy of what goes into the wheel, elsewhere: as a second clone would have it."""
    tree = tmp_path / "clone"
    tree.mkdir()
    ignore = shutil.ignore_patterns("node_modules", "__pycache__")
    for name in IN_THE_WHEEL:
        source = ROOT / name
        if source.is_dir():
            shutil.copytree(source, tree / name, ignore=ignore)
        else:
            shutil.copy(source, tree / name)
    (tree / "tests").mkdir()
    return tree


def key(tmp_path: Path, tree: Path) -> str:
    return cache(tmp_path, "key", str(tree)).stdout.strip()


def test_a_second_clone_has_the_same_key(tmp_path, clone):
    first = key(tmp_path, ROOT)
    assert len(first) == 32 and int(first, 16) >= 0
    assert key(tmp_path, clone) == first


@pytest.mark.parametrize("changed", ["src/codec/frame.cpp", "cmake/BoostHeaders.cmake",
                                     "python/tarnel_rl/hosting/chromium.py", "ui/index.html", "pyproject.toml",
                                     "py_engine_tarnel.pyi"])
def test_a_change_to_what_goes_into_the_wheel_changes_the_key(tmp_path, clone, changed):
    before = key(tmp_path, clone)
    with open(clone / changed, "a") as file:
        file.write("\n")
    assert key(tmp_path, clone) != before


def test_a_change_outside_the_wheel_keeps_the_key(tmp_path, clone):
    before = key(tmp_path, clone)
    (clone / "tests" / "test_new.py").write_text("def test_x(): pass\n")
    (clone / "ui" / "node_modules").mkdir()
    (clone / "ui" / "node_modules" / "left.js").write_text("1")
    assert key(tmp_path, clone) == before


def test_a_wheel_is_found_under_its_key_only(tmp_path):
    wheel = tmp_path / "py_engine_tarnel-0.1.0-cp311-abi3-linux_x86_64.whl"
    wheel.write_bytes(b"not really a wheel")
    assert cache(tmp_path, "find", "a" * 32, check=False).returncode == 1
    cache(tmp_path, "store", "a" * 32, str(wheel))
    found = Path(cache(tmp_path, "find", "a" * 32).stdout.strip())
    assert found.read_bytes() == wheel.read_bytes() and found != wheel
    assert cache(tmp_path, "find", "b" * 32, check=False).returncode == 1


def test_the_cache_keeps_the_newest_five_keys(tmp_path):
    wheel = tmp_path / "py_engine_tarnel-0.1.0-cp311-abi3-linux_x86_64.whl"
    wheel.write_bytes(b"w")
    keys = [f"{n:032x}" for n in range(7)]
    for n, name in enumerate(keys):
        cache(tmp_path, "store", name, str(wheel))
        os.utime(tmp_path / "cache" / name, (1_000_000 + n, 1_000_000 + n))  # stored in this order
    cache(tmp_path, "store", keys[6], str(wheel))  # prunes again, after the times were set
    kept = sorted(p.name for p in (tmp_path / "cache").iterdir())
    assert kept == sorted(keys[2:]), kept
