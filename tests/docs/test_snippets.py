"""Every code snippet of README.md, ui/README.md and docs/*.md runs as written.

The convention (also in docs/module.md, "Snippets in the documentation"):
- a ```python block is run, in a fresh interpreter, from an empty directory, with python/ on the path;
  one that starts a Node.js user interface (`ui="node"`, `open_ui("node", ...)`) is skipped when Node.js
  is missing, one that imports gymnasium when gymnasium is missing, and one that records a video with
  gymnasium's RecordVideo when moviepy is missing;
- a ```sh block is a shell command for people to run, never run here, and is reported as skipped;
- any block may be marked to be skipped by the line `<!-- snippet: skip (why) -->` right before its
  opening fence; the reason is reported. A block in any other language must carry that mark.
"""
from __future__ import annotations

import errno
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
from tarnel_rl import ui_host  # noqa: E402

ADDRESS_IN_USE = os.strerror(errno.EADDRINUSE)
DOCUMENTS = [ROOT / "README.md", ROOT / "ui" / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^(?:<!-- snippet: skip \((?P<skip>[^)]*)\) -->\n)?```(?P<lang>\w*)\n(?P<code>.*?)^```$",
                   re.S | re.M)


def snippets():
    for document in DOCUMENTS:
        text = document.read_text()
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start("code"))
            name = f"{document.relative_to(ROOT)}:{line}"
            yield pytest.param(match["lang"], match["code"], match["skip"], id=name)


def test_the_documents_have_snippets_and_marks_are_well_formed():
    params = list(snippets())
    assert sum(1 for p in params if p.values[0] == "python") >= 4
    for document in DOCUMENTS:
        text = document.read_text()
        # A mark (a line of its own) must sit right before a fence, or it marks nothing.
        for mark in re.finditer(r"^<!-- snippet:.*?-->", text, re.M):
            assert re.match(r"<!-- snippet: skip \([^)]+\) -->\n```", text[mark.start():]), \
                f"{document.name}: misplaced or malformed mark {mark.group()!r}"


@pytest.mark.slow
@pytest.mark.parametrize("lang, code, skip", list(snippets()))
def test_snippet_runs_as_written(lang, code, skip, tmp_path):
    if skip is not None:
        pytest.skip(f"marked: {skip}")
    if lang == "sh":
        pytest.skip("a shell command, for people to run")
    assert lang == "python", f"a ```{lang} block must be marked <!-- snippet: skip (why) -->"
    if re.search(r"""ui="node"|open_ui\("node\"""", code) and not ui_host.node_available():
        pytest.skip("needs Node.js and ws")
    if "gymnasium" in code or "tarnel_rl.gym_env" in code or "vector_env" in code:
        if importlib.util.find_spec("gymnasium") is None:
            pytest.skip("needs gymnasium (the gym extra)")
    if "RecordVideo" in code and importlib.util.find_spec("moviepy") is None:
        pytest.skip("needs moviepy (gymnasium's RecordVideo writes the video with it)")
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    # A snippet that starts an engine on a port it found free can lose that port to another program before
    # binding it: it is run again, on a port it finds anew (a fixed port that is taken fails every time).
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True,
                                text=True, timeout=240)
        if ADDRESS_IN_USE not in result.stderr:
            break
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
