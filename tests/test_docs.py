"""README.md and the pages of docs/ as a reader uses them: the Python
examples of a page run in order, in one namespace and a fresh folder, and
print what their comments say; every relative link leads to a file, and to a
heading where it names one.

A comment line right after a ``print(...)`` line is that print's output
(``# [('104', 1.0)]``), one comment line per line printed. A block that cannot
run here says why in the line right before it,
``<!-- not run: needs a Spark session -->``, and is reported as skipped."""

from __future__ import annotations

import contextlib
import importlib.util
import io
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
NOT_RUN = "<!-- not run: "
BLOCK = re.compile(r"^(?:<!-- not run: (?P<reason>.+?) -->\n)?```python\n(?P<code>.*?)^```", re.M | re.S)
FENCED = re.compile(r"^```.*?^```", re.M | re.S)
LINK = re.compile(r"\]\(([^)\s]+)\)")


def name(page: pathlib.Path) -> str:
    return str(page.relative_to(ROOT))


def blocks(page: pathlib.Path) -> list[tuple[str | None, str]]:
    """The page's ```python blocks in order: (why it is not run or None, code)."""
    return [(match["reason"], match["code"]) for match in BLOCK.finditer(page.read_text(encoding="utf-8"))]


def expected_output(code: str) -> list[str]:
    lines = code.splitlines()
    expected = []
    for number, line in enumerate(lines):
        if line.lstrip().startswith("print("):
            for comment in lines[number + 1 :]:
                if not comment.strip().startswith("#"):
                    break
                expected.append(comment.strip()[2:])
    return expected


@pytest.mark.parametrize("page", [page for page in PAGES if any(reason is None for reason, _ in blocks(page))], ids=name)
def test_examples_print_what_they_say(page, tmp_path, monkeypatch):
    runnable = [code for reason, code in blocks(page) if reason is None]
    if any("quillon.spark" in code for code in runnable) and importlib.util.find_spec("pyspark") is None:
        pytest.skip(f"{name(page)} uses quillon.spark, which needs PySpark: pip install '.[spark]'")
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__main__"}
    for number, code in enumerate(runnable, start=1):
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(code, f"{name(page)}, python block {number}", "exec"), namespace)
        assert printed.getvalue().splitlines() == expected_output(code), f"{name(page)}, python block {number}"


NOT_RUN_BLOCKS = [(page, reason) for page in PAGES for reason, _ in blocks(page) if reason is not None]


@pytest.mark.parametrize(("page", "reason"), NOT_RUN_BLOCKS, ids=[name(page) for page, _ in NOT_RUN_BLOCKS])
def test_blocks_marked_not_run_are_skipped(page, reason):
    pytest.skip(f"{name(page)}: a python block not run here: {reason}")


@pytest.mark.parametrize("page", PAGES, ids=name)
def test_not_run_marks_stand_right_before_a_python_block(page):
    marks = page.read_text(encoding="utf-8").count(NOT_RUN)
    assert marks == sum(reason is not None for reason, _ in blocks(page))


def anchors(page: pathlib.Path) -> set[str]:
    """The anchors GitHub gives the page's headings."""
    found: set[str] = set()
    for heading in re.findall(r"^#{1,6} (.+?)\s*$", FENCED.sub("", page.read_text(encoding="utf-8")), flags=re.M):
        slug = unique = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        repeats = 0
        while unique in found:  # a repeated heading gets -1, -2, ...
            repeats += 1
            unique = f"{slug}-{repeats}"
        found.add(unique)
    return found


def relative_links(page: pathlib.Path) -> list[str]:
    text = FENCED.sub("", page.read_text(encoding="utf-8"))
    return [target for target in LINK.findall(text) if not re.match(r"[a-z]+:", target)]


@pytest.mark.parametrize("page", PAGES, ids=name)
def test_relative_links_lead_somewhere(page):
    dead = []
    for target in relative_links(page):
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists() or (anchor and file.suffix == ".md" and anchor not in anchors(file)):
            dead.append(target)
    assert not dead, f"{name(page)} links to what does not exist: {dead}"


def test_the_index_of_docs_lists_every_page():
    index = ROOT / "docs" / "README.md"
    listed = {(index.parent / target.partition("#")[0]).resolve() for target in relative_links(index)}
    assert {page for page in PAGES if page.parent == index.parent and page != index} <= listed
