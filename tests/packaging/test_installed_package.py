"""The package as `pip install` leaves it: a wheel built from this tree (or $TARNEL_TEST_WHEEL, the one
scripts/test.sh has just built), installed with its dependencies into a fresh venv and used from a
directory outside the source tree. The user interface must come with it, the type checker must find the
real signatures of the module and of tarnel_rl, and the README's environment snippet must run."""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
UI_FILES = ["index.html", "package.json", "package-lock.json", "node/run-ui.mjs",
            *(f"src/{p.name}" for p in sorted((ROOT / "ui" / "src").glob("*.js")))]

pytestmark = [pytest.mark.slow, pytest.mark.timeout(900)]


def run(args, cwd, timeout=600, env=None):
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=timeout,
                            env=env)
    assert result.returncode == 0, f"{' '.join(map(str, args))} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    """A fresh venv with the wheel and the `gym` extra installed; returns (python, site-packages, workdir)."""
    base = tmp_path_factory.mktemp("installed")
    wheel = os.environ.get("TARNEL_TEST_WHEEL")
    if not wheel:
        out = base / "wheel"
        run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", out,
             "-C", f"build-dir={base / 'build'}", ROOT], cwd=ROOT, timeout=850)
        wheel = str(next(out.glob("py_engine_tarnel-*.whl")))
    run([sys.executable, "-m", "venv", base / "venv"], cwd=base)
    python = base / "venv" / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", f"{wheel}[gym]"], cwd=base)
    site = Path(run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], cwd=base).strip())
    work = base / "work"  # no ui/ and no python/ here: only the installed package can answer
    work.mkdir()
    return python, site, work


def test_the_user_interface_is_installed_inside_the_package_and_found(venv):
    python, site, work = venv
    found = run([python, "-c", "from tarnel_rl import ui_host; print(ui_host.ui_directory()); "
                 "print(ui_host.node_modules_for_runner())"], cwd=work).split()
    assert found == [str(site / "tarnel_rl" / "ui"), str(site / "tarnel_rl" / "ui" / "node_modules")]
    installed = site / "tarnel_rl" / "ui"
    for name in UI_FILES:  # the same files as in the tree: a stale or partial copy would fail here
        assert (installed / name).read_bytes() == (ROOT / "ui" / name).read_bytes(), name
    assert (installed / "node_modules" / "ws" / "package.json").is_file()


def test_the_stub_package_is_the_root_stub_and_tarnel_rl_is_typed(venv):
    _, site, _ = venv
    assert (site / "py_engine_tarnel-stubs" / "__init__.pyi").read_bytes() == (ROOT / "py_engine_tarnel.pyi").read_bytes()
    assert (site / "tarnel_rl" / "py.typed").is_file()


USER_CODE = '''
    import py_engine_tarnel as tarnel
    from tarnel_rl import ui_host
    from tarnel_rl.trading import TradingSession

    engine = tarnel.TarnelEngineAsync("127.0.0.1", 8765)
    reveal_type(engine.step_and_sync)
    reveal_type(tarnel.decode_vec_f64_py)
    reveal_type(ui_host.ui_directory)
    reveal_type(TradingSession.step)
    engine.reset_episode("three", "train")
'''


def test_mypy_finds_the_real_signatures_in_the_installed_package(venv, tmp_path):
    pytest.importorskip("mypy", reason="mypy is part of the test extra")
    python, _, work = venv
    user = work / "user_code.py"
    user.write_text(textwrap.dedent(USER_CODE))
    # The project's mypy, looking up packages in the fresh venv only (PEP 561: the stub package there).
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(python), "--no-incremental",
                             "--cache-dir", str(tmp_path / "cache"), str(user)],
                            cwd=work, capture_output=True, text=True, timeout=300, env=env)
    out = result.stdout
    revealed = re.findall(r'Revealed type is "(.*)"', out)
    assert len(revealed) == 4, out + result.stderr
    assert "missing library stubs" not in out and "import-untyped" not in out, out
    assert re.fullmatch(r"def \(timeout_secs: .*\) -> \w*asyncio\.(futures\.)?Future\[tuple\[numpy\.ndarray\[.*"
                        r"numpy\.float64\]\], numpy\.ndarray\[.*numpy\.float64\]\]\]\]", revealed[0]), revealed[0]
    assert re.fullmatch(r"def \(payload: (builtins\.)?bytes\) -> numpy\.ndarray\[.*numpy\.float64\]\]", revealed[1]), revealed[1]
    assert revealed[2] == "def () -> pathlib.Path", revealed[2]
    assert re.match(r"def \(self: tarnel_rl\.trading\.TradingSession, action: (builtins\.)?int\)", revealed[3]), revealed[3]
    # A wrong argument is an error: the signatures are checked, not Any.
    assert re.search(r'user_code.py:11: error: Argument 1 to "reset_episode" of "TarnelEngineAsync" has '
                     r'incompatible type "str"', out), out


def readme_gym_snippet() -> str:
    text = (ROOT / "README.md").read_text()
    section = text[text.index("### The environment"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.mark.skipif(shutil.which("node") is None, reason="Node.js is not installed")
def test_the_readme_environment_snippet_runs_from_the_installed_package(venv):
    python, site, work = venv
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARNEL_UI_DIR")}
    out = run([python, "-c", readme_gym_snippet() + "\nimport tarnel_rl; print(tarnel_rl.__file__)"],
              cwd=work, timeout=180, env=env)
    lines = out.strip().splitlines()
    assert lines[-1] == str(site / "tarnel_rl" / "__init__.py")
    float(lines[-2])  # the episode's return
