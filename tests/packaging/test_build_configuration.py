"""What the CMake configuration decides before anything compiles: Boost's headers from where it was told
(the version checked, the directory printed, no search of the system's), one clear error on other systems,
and, for the tree that pip built, not one system Boost header among the compiler's inputs."""
from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TARNEL_BUILD_DIR", ROOT / "build" / "dev"))

needs_cmake = pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("ninja") is None,
                                 reason="needs cmake and ninja")


def configure(tmp_path: Path, *definitions: str) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "TARNEL_BOOST_INCLUDE_DIR"}
    return subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tmp_path / "tree"), "-G", "Ninja",
                           "-DTARNEL_BUILD_MODULE=OFF", "-DTARNEL_BUILD_TESTS=OFF", *definitions],
                          capture_output=True, text=True, timeout=120, env=env)


def boost_headers(tmp_path: Path, version: int) -> Path:
    """A directory that looks like Boost `version` (as BOOST_VERSION) to the configuration."""
    include = tmp_path / f"boost-{version}"
    (include / "boost").mkdir(parents=True)
    (include / "boost" / "version.hpp").write_text(f'#define BOOST_VERSION {version}\n#define BOOST_LIB_VERSION "x"\n')
    return include


@needs_cmake
@pytest.mark.parametrize("version, shown", [(108100, "1.81.0"), (108600, "1.86.0"), (109003, "1.90.3")])
def test_given_headers_are_used_and_named(tmp_path, version, shown):
    include = boost_headers(tmp_path, version)
    result = configure(tmp_path, f"-DTARNEL_BOOST_INCLUDE_DIR={include}")
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"-- Boost {shown} headers: {include} (from TARNEL_BOOST_INCLUDE_DIR)" in result.stdout.splitlines()
    cache = (tmp_path / "tree" / "CMakeCache.txt").read_text()
    assert "Boost_DIR:" not in cache, "the system's Boost was searched for as well"


@needs_cmake
@pytest.mark.parametrize("case, error", [
    ("old", "Boost 1.80.0 in {include} is older than 1.81"),
    ("empty", "TARNEL_BOOST_INCLUDE_DIR={include} holds no boost/version.hpp"),
])
def test_unusable_headers_stop_the_configuration(tmp_path, case, error):
    include = boost_headers(tmp_path, 108000) if case == "old" else tmp_path / "nothing"
    include.mkdir(exist_ok=True)
    result = configure(tmp_path, f"-DTARNEL_BOOST_INCLUDE_DIR={include}")
    assert result.returncode != 0
    assert error.format(include=include) in " ".join(result.stderr.split()), result.stderr


@needs_cmake
def test_another_system_gets_one_clear_error(tmp_path):
    result = configure(tmp_path, "-DCMAKE_SYSTEM_NAME=Darwin")
    assert result.returncode != 0
    errors = [line for line in result.stderr.splitlines() if "CMake Error" in line]
    assert len(errors) == 1, result.stderr
    assert "py_engine_tarnel builds on Linux only (this is Darwin)" in result.stderr


@pytest.mark.skipif(shutil.which("ninja") is None or not (BUILD / "build.ninja").is_file(),
                    reason="needs the tree that scripts/setup.sh built with pip")
def test_the_pip_build_reads_no_system_boost_header():
    # The compiler's own record of every header each object read (ninja keeps it from the depfiles).
    deps = subprocess.run(["ninja", "-C", str(BUILD), "-t", "deps"], capture_output=True, text=True,
                          timeout=120, check=True).stdout
    headers = [line.strip() for line in deps.splitlines() if line.startswith("    ")]
    boost = [h for h in headers if "/boost/" in h]
    assert len(boost) > 1000, "the tree's record of headers is missing or was not made by this build"
    system = [h for h in boost if "boost_headers/include/boost/" not in h]
    assert system == [], system[:5]

