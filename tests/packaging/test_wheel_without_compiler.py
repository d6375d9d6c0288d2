"""make wheel's wheel where users install it: scripts/wheel.sh repairs and checks it, and it installs into a
fresh venv of each CPython found here (Debian's /usr/bin/python3, and 3.12 and 3.13 where installed) with no
compiler on PATH and CC and CXX pointing at /bin/false, then runs an episode there."""
from __future__ import annotations

import glob
import os
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

from test_installed_package import readme_gym_snippet  # the README's own episode

ROOT = Path(__file__).resolve().parents[2]
WHEEL_NAME = re.compile(r"py_engine_tarnel-0\.1\.0-cp311-abi3-manylinux_2_(\d+)_x86_64\.whl")
COMPILERS = ("gcc", "g++", "cc", "c++", "clang", "clang++", "clang++-14")

pytestmark = [pytest.mark.slow, pytest.mark.timeout(900)]


def runs(interpreter: str, version: str) -> bool:
    """Whether `interpreter` starts, is CPython `version` and can make a venv (a pyenv shim of a version
    that is not selected does not start)."""
    check = f"import sys, venv; sys.exit(sys.version.startswith('{version}.') is False)"
    try:
        return subprocess.run([interpreter, "-c", check], capture_output=True, timeout=60).returncode == 0
    except OSError:
        return False


def interpreters() -> list[str]:
    """Debian's Python 3.11, then a 3.12 and a 3.13 wherever one is installed (under pyenv, or on PATH)."""
    wanted = [("3.11", ["/usr/bin/python3"])]
    for version in ("3.12", "3.13"):
        wanted.append((version, [*sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}.*/bin/python{version}"))),
                                 shutil.which(f"python{version}") or ""]))
    return [next(c for c in candidates if c and runs(c, version)) for version, candidates in wanted
            if any(c and runs(c, version) for c in candidates)]


def run(args, env=None, timeout=600, cwd=None) -> str:
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, env=env, cwd=cwd)
    assert result.returncode == 0, f"{' '.join(map(str, args))} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    """The wheel as make wheel leaves it, made from the wheel scripts/test.sh built (else build/dev's)."""
    base = tmp_path_factory.mktemp("wheel")
    env = dict(os.environ, TARNEL_DIST_DIR=str(base / "dist"))
    if os.environ.get("TARNEL_TEST_WHEEL"):
        (base / "build" / "wheel").mkdir(parents=True)
        shutil.copy(os.environ["TARNEL_TEST_WHEEL"], base / "build" / "wheel")
        env["TARNEL_BUILD_DIR"] = str(base / "build")
    out = run([ROOT / "scripts" / "wheel.sh"], env=env)
    made = list((base / "dist").glob("*.whl"))
    assert len(made) == 1, out
    assert f"[wheel] {made[0].name}: " in out
    return made[0]


def test_the_wheel_is_one_abi3_manylinux_wheel_for_this_glibc(wheel):
    tag = WHEEL_NAME.fullmatch(wheel.name)
    assert tag, wheel.name
    glibc = os.confstr("CS_GNU_LIBC_VERSION").split()[1]  # "glibc 2.36"
    assert int(tag.group(1)) <= int(glibc.split(".")[1]), (wheel.name, glibc)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = archive.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
    assert f"Tag: cp311-abi3-manylinux_2_{tag.group(1)}_x86_64" in info.splitlines()
    assert "Root-Is-Purelib: false" in info.splitlines()
    assert "Classifier: Operating System :: POSIX :: Linux" in metadata.splitlines()
    assert "Requires-Python: >=3.11" in metadata.splitlines()
    assert [n for n in names if n.endswith(".so")] == ["py_engine_tarnel.abi3.so"]  # nothing vendored


@pytest.mark.skipif(shutil.which("node") is None, reason="the episode's user interface needs Node.js")
@pytest.mark.parametrize("interpreter", interpreters(), ids=lambda path: Path(path).name + ":" + path)
def test_an_episode_runs_from_a_fresh_venv_without_a_compiler(wheel, interpreter, tmp_path):
    venv = tmp_path / "venv"
    run([interpreter, "-m", "venv", venv])
    # PATH holds the venv and Node.js only: no compiler, and none named by CC or CXX either.
    tools = tmp_path / "bin"
    tools.mkdir()
    os.symlink(shutil.which("node"), tools / "node")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARNEL_UI_DIR", "VIRTUAL_ENV")}
    env.update(PATH=f"{venv / 'bin'}:{tools}", CC="/bin/false", CXX="/bin/false")
    python = venv / "bin" / "python"
    absent = run([python, "-c", f"import shutil; print([c for c in {COMPILERS!r} if shutil.which(c)])"], env=env)
    assert absent.strip() == "[]"
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:",
         f"{wheel}[gym]"], env=env)
    work = tmp_path / "work"  # outside the source tree: only the installed package can answer
    work.mkdir()
    out = run([python, "-c", readme_gym_snippet() + "\nimport sys, py_engine_tarnel; print(sys.version_info[:2]); "
               "print(py_engine_tarnel.__file__)"], env=env, cwd=work, timeout=300)
    *_, episode_return, version, module = out.strip().splitlines()
    float(episode_return)
    assert version == str(tuple(int(p) for p in run([interpreter, "-c", "import sys; print(*sys.version_info[:2])"]).split()))
    assert module.startswith(str(venv)) and module.endswith("py_engine_tarnel.abi3.so"), module
