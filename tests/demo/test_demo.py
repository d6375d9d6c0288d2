"""The demo trainer: it learns on the regime series and beats the baselines on the test episodes, handles
the edge cases of its options, and says plainly what it cannot do."""
from __future__ import annotations

import json
import socket
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
pytest.importorskip("gymnasium", reason="the demo drives the Gymnasium environment")
from tarnel_rl import demo, ui_host  # noqa: E402

requires_node = pytest.mark.skipif(not ui_host.node_available(), reason="Node.js or ws is missing")


@pytest.mark.parametrize("values, window, expected", [
    ([], 3, []),
    ([1.0], 5, [1.0]),
    ([1.0, 3.0, 5.0, 7.0], 2, [1.0, 2.0, 4.0, 6.0]),
    ([2.0, 4.0, 6.0], 10, [2.0, 3.0, 4.0]),
])
def test_moving_average(values, window, expected):
    np.testing.assert_allclose(demo.moving_average(values, window), expected)


@pytest.mark.parametrize("argv, message", [
    (["--ui", "node", "--screenshot", "x.png"], "--screenshot needs the browser user interface"),
    (["--ui", "manual", "--screenshot", "x.png"], "--screenshot needs the browser user interface"),
    (["--ui", "auto", "--screenshot", "x.png"], "--screenshot needs the browser user interface (--ui browser), not --ui auto"),
    (["--viewer-port", "8800"], "--viewer-port is the live view's: give --watch too"),
    (["--episodes", "-1"], "--episodes must be 0 or more"),
])
def test_refused_options(argv, message, capsys):
    with pytest.raises(SystemExit) as exit_info:
        demo.parse_args(argv)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


def summary_lines(out: str) -> dict[str, str]:
    return {line.split(":")[0].strip(): line for line in out.splitlines() if line.startswith("  against ")}


@pytest.mark.slow
@requires_node
def test_the_agent_learns_and_beats_random_and_cash_on_the_test_episodes(tmp_path, capsys):
    plot = tmp_path / "demo.png"
    assert demo.main(["--ui", "node", "--episodes", "80", "--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    lines = summary_lines(out)
    assert "the agent beat it" in lines["against hold cash"], out
    assert "the agent beat it" in lines["against random"], out
    assert "against buy and hold" in lines
    table = out[out.index("test episodes: return"):out.index("\nsummary")]
    assert len([line for line in table.splitlines() if line.strip()[:1].isdigit()]) == 10
    assert plot.stat().st_size > 20_000


@pytest.mark.slow
@requires_node
@pytest.mark.parametrize("episodes", [0, 1])
def test_no_or_one_train_episode_still_evaluates_and_draws(episodes, tmp_path, capsys):
    plot = tmp_path / "demo.png"
    assert demo.main(["--ui", "node", "--episodes", str(episodes), "--steps", "12", "--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    assert len(summary_lines(out)) == 3
    assert ("mean train return" in out) == (episodes > 0)
    assert plot.is_file()
    # It ends with the out-of-sample report on the same test episodes, in percent.
    report = json.loads((tmp_path / "demo-report.json").read_text())
    assert out.rstrip().splitlines()[-1].startswith("  report:") and (tmp_path / "demo-report.png").is_file()
    assert report["episodes"] == 10 and report["policy"] == "greedy agent"
    assert report["policies"]["cash"]["total_return_pct"] == 0.0


@pytest.mark.parametrize("ui, option", [("node", "--port"), ("manual", "--http-port"), ("node", "--viewer-port"),
                                        ("manual", "--viewer-port")])
def test_a_busy_port_is_one_clear_line(ui, option, capsys):
    if ui == "node" and not ui_host.node_available():
        pytest.skip("Node.js or ws is missing")
    watch = ["--watch"] if option == "--viewer-port" else []
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        port = busy.getsockname()[1]
        assert demo.main(["--ui", ui, option, str(port), "--plot", "", *watch]) == 2
    err = capsys.readouterr().err
    assert err == f"demo: {option} {port} is in use by another program: choose another port, or leave it out " \
                  "to take a free one\n"


@pytest.mark.slow
@requires_node
def test_watch_prints_the_live_view_once_and_the_demo_runs_through(capsys):
    assert demo.main(["--ui", "node", "--watch", "--episodes", "2", "--steps", "10", "--plot", ""]) == 0
    captured = capsys.readouterr()
    lines = [line for line in captured.err.splitlines() if "live at" in line]
    assert len(lines) == 1 and lines[0].startswith("tarnel_rl: watch training live at "), captured.err
    assert lines[0].split(" live at ")[1].startswith("http://127.0.0.1:")
    assert len(summary_lines(captured.out)) == 3
