"""The examples and the walk-through of docs/cli.md run as a new user would
run them, and print what they say they print. The Python examples of the
README and docs/ are run by test_docs.py."""

from __future__ import annotations

import gzip
import pathlib
import re
import subprocess
import sys

import quillon
from quillon.example import word_list_path

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(*args: str, cwd: pathlib.Path) -> str:
    done = subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300, check=False
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def rows(output: str) -> list[list[str]]:
    return [line.split() for line in output.splitlines()]


def test_bundled_word_list_travels_with_its_licence():
    # The installed package's copy: the one `quillon demo` and the examples read.
    word_list = word_list_path()
    assert word_list.parent.parent.parent == pathlib.Path(quillon.__file__).parent
    with gzip.open(word_list, "rt", encoding="utf-8") as lines:
        words = [line.rstrip("\n") for line in lines]
    assert len(set(words)) >= 50_000
    notice = (word_list.parent / "american-english.copyright").read_text()
    assert "Copyright 2000-2011 by Kevin Atkinson" in notice
    assert "Permission to use, copy, modify, distribute and sell these word" in notice


def test_autocomplete_answers_the_queries_given(tmp_path):
    output = run(str(EXAMPLES / "autocomplete.py"), "cat", "teh", "encyclop", cwd=tmp_path)
    lines = output.splitlines()
    assert re.match(r"data +104,334 terms from quillon/example/data/american-english.gz, [\d,]+ synthetic videos", lines[0])
    for line, word in zip(lines[1:4], ["build", "save", "load"]):
        assert re.match(rf"{word} +\d+\.\d\d s ", line), line
    table = rows(output)
    header = table.index(["query", "edits", "ms", "term", "dist", "video", "score"])
    # The query's first row: query, edits, ms, then its closest term and best video.
    first = {row[0]: row for row in table[header + 2 :] if len(row) == 7 and row[0] in ("cat", "teh")}
    assert first["cat"][1] == "1" and first["cat"][3:5] == ["cat", "0"]
    assert first["teh"][1] == "1" and first["teh"][4] == "1"
    # No stored term within 2 edits of "encyclop": the videos come from prefix nodes.
    encyclop = next(row for row in table if row[:3] and row[0] == "encyclop")
    assert encyclop[1] == "2" and re.fullmatch(r"0\.\d{4}|1\.0000", encyclop[-1])
    scores = [float(row[-1]) for row in table[header + 2 :] if row and re.fullmatch(r"0\.\d{4}|1\.0000", row[-1])]
    assert scores and all(0.01 <= score <= 1 for score in scores)
    assert all(query in output for query in ("cat", "teh", "encyclop"))
    # Only the queries given: none of the built-in batch.
    assert "recieve" not in output


def test_quickstart_prints_the_worked_example(tmp_path):
    output = run(str(EXAMPLES / "quickstart.py"), cwd=tmp_path)
    assert output.strip() == "[('car', 1, 1), ('cart', 1, 1), ('cat', 1, 0), ('cut', 1, 1)]"


def test_search_log_commands_print_what_the_docs_show(tmp_path):
    text = (ROOT / "docs" / "cli.md").read_text()
    section = text[text.index("## From a search log to an index") :]
    shown = re.findall(r"^# (wrote .*)$", section, flags=re.M)
    assert len(shown) == 2
    outputs = [
        run(str(EXAMPLES / "make_search_log.py"), cwd=tmp_path),
        run("-m", "quillon", "build", "search_log.parquet", "-o", "words.idx", cwd=tmp_path),
    ]
    # Everything but the timings.
    untimed = [re.sub(r"in [\d.]+ s.*", "", line) for line in shown]
    assert [re.sub(r"in [\d.]+ s.*", "", out.strip()) for out in outputs] == untimed
    query = run("-m", "quillon", "query", "words.idx", "RÉSUMÉ", "mothr", "kevl", "--videos", "--limit", "3", cwd=tmp_path)
    block = section[section.index("```text\nRÉSUMÉ") + len("```text\n") :]
    expected = block[: block.index("...\n")]
    assert query.startswith(expected)
