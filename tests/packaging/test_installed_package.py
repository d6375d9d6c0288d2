"""The package as `pip install` leaves it: a wheel built from this tree (or $TARNEL_TEST_WHEEL, the one
scripts/test.sh has just built), installed with its dependencies into a fresh venv and used from a
directory outside the source tree. The user interface must come with it, the type checker must find the
real signatures of the module and of tarnel_rl (a training script type-checks under `mypy --strict` with
precise types), the README's environment snippet must run, and so must rendering: frames, and the live
viewer reachable while training goes on."""
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
UI_FILES = ["index.html", "viewer.html", "package.json", "package-lock.json", "node/run-ui.mjs", "trivial/index.html",
            *(f"{d}/{p.name}" for d in ("src", "trivial") for p in sorted((ROOT / "ui" / d).glob("*.js")))]

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
    # Without the developer's own source tree, user interface directory or packages for it.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARNEL_UI_DIR", "TARNEL_UI_NODE_MODULES")}
    found = run([python, "-c", "from tarnel_rl import ui_host; print(ui_host.ui_directory()); "
                 "print(ui_host.node_modules_for_runner())"], cwd=work, env=env).split()
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
    assert re.match(r"def \(self: tarnel_rl\.env\.trading\.TradingSession, action: (builtins\.)?int, units: (builtins\.)?int \| None =\)",
                    revealed[3]), revealed[3]
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


TRAINING_SCRIPT = '''
    from tarnel_rl.gym_env import TradingEnv
    from tarnel_rl.vector_env import TradingVectorEnv


    def train(episodes: int) -> float:
        env = TradingEnv(ui="node", render_mode="rgb_array")
        total = 0.0
        try:
            for _ in range(episodes):
                obs, info = env.reset(seed=0)
                done = False
                while not done:
                    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
                    total += reward
                    done = terminated or truncated
                reveal_type(obs)
                reveal_type(reward)
                reveal_type(terminated)
                reveal_type(info)
                reveal_type(env.render())
        finally:
            env.close()
        envs = TradingVectorEnv(2)
        observations, rewards, terminations, _, infos = envs.step(envs.action_space.sample())
        reveal_type(observations)
        reveal_type(rewards)
        reveal_type(terminations)
        envs.close()
        return total
'''


def test_a_training_script_type_checks_under_strict_with_precise_types(venv, tmp_path):
    pytest.importorskip("mypy", reason="mypy is part of the test extra")
    python, _, work = venv
    script = work / "train.py"
    script.write_text(textwrap.dedent(TRAINING_SCRIPT))
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable", str(python),
                             "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(script)],
                            cwd=work, capture_output=True, text=True, timeout=300, env=env)
    out = result.stdout
    assert " error: " not in out, out + result.stderr
    revealed = re.findall(r'Revealed type is "(.*)"', out)
    float64 = r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.float64\]\]"
    patterns = [float64, r"builtins\.float|float", r"builtins\.bool|bool", r"builtins\.dict\[builtins\.str, Any\]|dict\[str, Any\]",
                r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.unsignedinteger\[.*8Bit\]\]\] \| None", float64, float64,
                r"numpy\.ndarray\[.*numpy\.dtype\[numpy\.bool.*\]\]"]
    assert len(revealed) == len(patterns), out
    for found, pattern in zip(revealed, patterns):
        assert re.fullmatch(pattern, found), (found, pattern)


WATCHING_SCRIPT = '''
    import json, sys, threading, urllib.request
    import gymnasium as gym

    env = gym.make("tarnel_rl.gym_env:tarnel_rl/Trading-v0", render_mode="rgb_array", max_episode_steps=5)
    env.reset(seed=0)
    env.step(1)
    frame = env.render()
    print("frame", frame.shape, frame.dtype)
    env.close()

    from tarnel_rl.gym_env import TradingEnv
    env = TradingEnv(render_mode="human")
    states = []
    def watch():
        events = env.viewer_url.replace("/?token=", "/events?token=")
        with urllib.request.urlopen(events, timeout=60) as stream:
            page_event = False
            for line in stream:
                if line.startswith(b"event: "):
                    page_event = line.strip() == b"event: page"
                elif line.startswith(b"data: ") and page_event:
                    states.append(json.loads(line[6:]))
    threading.Thread(target=watch, daemon=True).start()
    page = urllib.request.urlopen(env.viewer_url, timeout=10).read()
    env.reset(seed=0)
    for t in range(20000):  # training goes on until the viewer has seen a step
        *_, terminated, truncated, _ = env.step(t % 4)
        if terminated or truncated:
            env.reset()
        if any(s["session"]["step"] > 0 for s in states):
            break
    print("viewer", b"src/viewer.js" in page, max(s["session"]["step"] for s in states) > 0)
    env.close()
'''


@pytest.mark.skipif(shutil.which("node") is None, reason="Node.js is not installed")
def test_frames_and_the_live_viewer_from_the_installed_package(venv):
    python, _, work = venv
    # TARNEL_VIEWER: a dashboard of this test process's own would be joined by the script's environment.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TARNEL_UI_DIR", "TARNEL_VIEWER")}
    result = subprocess.run([str(python), "-c", textwrap.dedent(WATCHING_SCRIPT)], cwd=work, capture_output=True,
                            text=True, timeout=180, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.splitlines() == ["frame (400, 720, 3) uint8", "viewer True True"], result.stdout
    assert re.fullmatch(r"tarnel_rl: watch training live at http://127\.0\.0\.1:\d+/\?token=[\w-]+\n", result.stderr), \
        result.stderr
