"""Every relative link of README.md, ui/README.md and docs/*.md leads somewhere: the file exists, and an
`#anchor` names a heading of the document it points into (as the code host's renderer makes anchors).

The documentation was split across files, so a link such as `[x](#usage)` that was right in one file is
wrong once its text moved; this finds every such link, in the files that exist now or are added later.
"""
from __future__ import annotations

import re
from pathlib import Path
from urllib.parse import unquote

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", ROOT / "ui" / "README.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCED_BLOCK = re.compile(r"^(`{3,})[^\n]*\n.*?^\1[ \t]*$", re.S | re.M)
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1", re.S)
LINK = re.compile(r"(?<!\\)\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
HEADING = re.compile(r"^#{1,6}[ \t]+(.+?)[ \t]*#*[ \t]*$", re.M)
EXTERNAL = re.compile(r"^[a-z][a-z0-9+.-]*:", re.I)  # http:, https:, mailto: ...


def prose(text: str) -> str:
    """The text without code: links and headings inside code blocks and spans are not links or headings."""
    return CODE_SPAN.sub("", FENCED_BLOCK.sub("", text))


def anchor(heading: str) -> str:
    """The anchor the renderer gives a heading: lower case, punctuation dropped (but `-` and `_`), spaces
    to `-`; link targets inside the heading count by their text."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).lower()
    return "".join("-" if c == " " else c for c in text if c.isalnum() or c in " -_")


def anchors(document: Path) -> set[str]:
    found: set[str] = set()
    # A heading's code spans are part of its text (the backticks drop out as punctuation); code blocks are not.
    for heading in HEADING.findall(FENCED_BLOCK.sub("", document.read_text())):
        slug, n = anchor(heading), 0
        while (slug if n == 0 else f"{slug}-{n}") in found:  # repeated headings get -1, -2, ...
            n += 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found


def broken_links(document: Path) -> list[str]:
    """Every relative link of the document that does not resolve, with why."""
    broken = []
    for target in LINK.findall(prose(document.read_text())):
        if EXTERNAL.match(target):
            continue
        path, _, fragment = target.partition("#")
        into = (document.parent / unquote(path)).resolve() if path else document
        if not into.exists():
            broken.append(f"{target}: no file {into}")
        elif fragment and (into.suffix != ".md" or unquote(fragment) not in anchors(into)):
            broken.append(f"{target}: no heading with the anchor #{fragment} in {into.name}")
    return broken


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda d: str(d.relative_to(ROOT)))
def test_every_relative_link_resolves(document):
    assert broken_links(document) == []


def test_the_readme_links_into_docs_and_back():
    """The split is linked both ways: the README reaches every document of docs/, each of those the README."""
    readme = prose((ROOT / "README.md").read_text())
    for document in sorted((ROOT / "docs").glob("*.md")):
        assert f"](docs/{document.name}" in readme, f"README.md does not link to docs/{document.name}"


@pytest.mark.parametrize("text, expected", [
    ("[a](#there)\n\n## There\n", []),
    ("[a](#not-there)\n\n## There\n", ["#not-there: no heading with the anchor #not-there in doc.md"]),
    ("[a](other.md#b)", ["other.md#b: no heading with the anchor #b in other.md"]),
    ("[a](other.md#a-b_c-d)", []),
    ("[a](missing.md)", ["missing.md: no file {tmp}/missing.md"]),
    ("[a](sub/)", []),
    ("[a](https://example.invalid/x#y) `[b](#inline-code)`\n```sh\n[c](#fenced)\n```\n", []),
    ("[a](#twice-1)\n\n## Twice\n\n## Twice\n", []),
    ("[a](#twice-2)\n\n## Twice\n\n## Twice\n", ["#twice-2: no heading with the anchor #twice-2 in doc.md"]),
    ("[a](#code-heading)\n\n```md\n## Code heading\n```\n", ["#code-heading: no heading with the anchor "
                                                             "#code-heading in doc.md"]),
    ("[a](other.md#)", []),
    ("[a](doc.md#heading)\n\n## Heading\n", []),
    ("[a](#run-it)\n\n## Run `it`\n", []),
])
def test_the_checker_finds_what_is_broken_and_only_that(tmp_path, text, expected):
    (tmp_path / "sub").mkdir()
    (tmp_path / "other.md").write_text("# A, b_c (d)\n")
    document = tmp_path / "doc.md"
    document.write_text(text)
    assert broken_links(document) == [e.replace("{tmp}", str(tmp_path)) for e in expected]


@pytest.mark.parametrize("heading, slug", [
    ("Snapshot (`get_snapshot`, `step_and_sync`)", "snapshot-get_snapshot-step_and_sync"),
    ("The environment, as a trainer steps it", "the-environment-as-a-trainer-steps-it"),
    ("The other end: the reference user interface", "the-other-end-the-reference-user-interface"),
    ("Where the remaining time goes, and why the missed targets are missed",
     "where-the-remaining-time-goes-and-why-the-missed-targets-are-missed"),
    ("Links [in](x.md) headings", "links-in-headings"),
])
def test_anchors_are_made_as_the_renderer_makes_them(heading, slug):
    assert anchor(heading) == slug
