#!/usr/bin/env python3
"""The names of the tests that failed, one a line, read from a test run's machine-readable report:

    failed_tests.py junit FILE   pytest's --junitxml file (also Google Test's --gtest_output=xml)
    failed_tests.py tap FILE     node --test's TAP output; a test that failed only through its subtests is
                                 left out, its subtests are named
    failed_tests.py ctest FILE   CTest's Testing/Temporary/LastTestsFailed.log ("number:name" lines)

A missing or unreadable report prints nothing: scripts/test.sh then points to the stage's own output."""

import re
import sys
import xml.etree.ElementTree as ElementTree


def junit(path):
    for case in ElementTree.parse(path).iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            yield node_id(case.get("classname", ""), case.get("name", "?"))


def node_id(classname, name):
    """pytest's name for a test, "tests/x/test_y.py::TestZ::test_w", from the report's dotted classname."""
    parts = classname.split(".")
    module_end = next((i + 1 for i, part in enumerate(parts) if part.startswith("test_")), 0)
    if not module_end:
        return f"{classname}::{name}" if classname else name
    return "::".join(["/".join(parts[:module_end]) + ".py", *parts[module_end:], name])


def tap(path):
    lines = open(path, encoding="utf-8", errors="replace").read().splitlines()
    for i, line in enumerate(lines):
        failed = re.match(r"^(\s*)not ok \d+ - (.*)$", line)
        if not failed:
            continue
        indent, name = failed.groups()
        location, through_subtests = "", False
        for detail in lines[i + 1:]:  # the test's YAML block, ended by "..." at its own indentation
            if detail == indent + "  ...":
                break
            if detail.startswith(indent + "  location: "):
                location = detail.split(": ", 1)[1].strip("'")
            through_subtests |= detail == indent + "  failureType: 'subtestsFailed'"
        if not through_subtests:
            yield f"{name} ({location})" if location else name


def ctest(path):
    for line in open(path, encoding="utf-8", errors="replace"):
        if ":" in line:
            yield line.split(":", 1)[1].strip()


def main(kind, path):
    try:
        for name in {"junit": junit, "tap": tap, "ctest": ctest}[kind](path):
            print(name)
    except (OSError, ElementTree.ParseError):
        pass


if __name__ == "__main__":
    main(*sys.argv[1:])
