"""Engines across multiprocessing's start methods: a child made by fork() gets a working runtime of its
own, an engine it inherited fails at once, and the parent's engine is untouched (see fork_probe.py)."""

import json
import pathlib
import subprocess
import sys

import pytest

PROBE = pathlib.Path(__file__).with_name("fork_probe.py")
INHERITED = "RpcTransportError(seq=None, fnId=Some(12)): engine belongs to the parent process (pid "


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_rel_engines_in_child_processes(method):
    done = subprocess.run([sys.executable, str(PROBE), method], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.strip().splitlines()[-1])
    assert report["parent_before"] == [1.0] and report["parent_after"] == [2.0]
    assert report["exit_codes"] == [0, 0]
    assert report["port_free_after_close"] is True
    for child in report["children"]:
        assert child["own"] == [7.0]
        if method == "fork":
            assert child["inherited"].startswith(INHERITED), child["inherited"]
            assert child["inherited"].endswith("): a process made by fork() must create engines of its own")
            assert child["inherited_seconds"] < 1.0
            assert child["inherited_close"] is None
        else:
            assert "inherited" not in child
