"""quillon eval (quillon.build.evaluate): held-out searches replayed key by
key against an index, scored by typed length; figures worked out by hand on
a tiny index, seeded sessions, typo sessions scored apart, bad input named."""

from __future__ import annotations

import argparse
import csv
import json
import pathlib
import random
import subprocess
import sys

import pytest

from quillon.build import BuildError, build_index
from quillon.build import evaluate
from quillon.build.evaluate import Searches, Session, budget, make_sessions, read_searches, score
from quillon.errors import IndexLoadError
from quillon.normalize import normalize

# Ten terms starting "ca", all searched more than car, cart and cat: typing
# "cat" shows it only once the third key is down.
CA_WORDS = ["cab", "cabin", "cable", "cafe", "cage", "cake", "calf", "call", "calm", "camp"]
STORED = {**{word: 100 - i for i, word in enumerate(CA_WORDS)}, "car": 50, "cart": 30, "cat": 10, "dog": 5, "dot": 8}


def write_csv(path: pathlib.Path, header: tuple[str, ...], rows: list[tuple[object, ...]]) -> pathlib.Path:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)
    return path


@pytest.fixture(scope="module")
def tiny_index(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    folder = tmp_path_factory.mktemp("eval")
    log = write_csv(folder / "log.csv", ("term", "video_id", "count"), [(t, i, n) for i, (t, n) in enumerate(STORED.items())])
    build_index([str(log)], folder / "tiny.idx")
    return folder / "tiny.idx"


def run(capsys: pytest.CaptureFixture[str], *argv: object) -> dict:
    """quillon eval ARGV --json, as the command runs it; its report."""
    parser = argparse.ArgumentParser()
    evaluate.add_eval_command(parser.add_subparsers())
    args = parser.parse_args(["eval", *map(str, argv), "--json", "-q"])
    capsys.readouterr()
    assert args.run(args) == 0
    return json.loads(capsys.readouterr().out)


@pytest.mark.parametrize(
    "searched, s1, s5, mrr, shown_after",
    [
        # "c" and "ca" show the ten ca- words; "cat" shows cat first.
        ("cat", [0, 0, 1], [0, 0, 1], [0, 0, 1], 3),
        # "d" and "do" show dot (8) then dog (5); "dog" shows dog alone. Typed
        # "Dog": normalised as the index was built.
        ("Dog", [0, 0, 1], [1, 1, 1], [0.5, 0.5, 1], 1),
    ],
)
def test_figures_by_typed_length_are_those_worked_out_by_hand(capsys, tiny_index, tmp_path, searched, s1, s5, mrr, shown_after):
    held_out = write_csv(tmp_path / "held.csv", ("term",), [(searched,)] * 3)
    report = run(capsys, tiny_index, held_out, "--sessions", 7, "--typos", 0, "--budget", "none", "--budget", "default")
    assert (report["sessions"], report["typo_sessions"], report["keystrokes"], report["keystrokes_after_typo"]) == (7, 0, 21, 0)
    assert (report["searches"], report["distinct_searches"], report["sessions_not_stored"]) == (3, 1, 0)
    # Typed without a typo, the exact completions come first under any
    # budget: the same figures.
    assert [b["budget"]["name"] for b in report["budgets"]] == ["none", "1 from 3, 2 from 8, 1 within 3 (default)"]
    for figures in report["budgets"]:
        rows = figures["by_length"]
        assert [r["keystrokes"] for r in rows] == [7, 7, 7] + [0] * 8
        assert [r["success_at_1"] for r in rows[:3]] == s1 and [r["success_at_5"] for r in rows[:3]] == s5
        assert [r["mrr"] for r in rows[:3]] == mrr and rows[3]["mrr"] is None
        assert figures["overall"]["success_at_10"] == pytest.approx(sum(s5) / 3, abs=1e-4)
        assert figures["overall"]["mrr"] == pytest.approx(sum(mrr) / 3, abs=1e-4)
        assert figures["keystrokes_to_show"]["all"] == {"sessions": 7, "mean_keystrokes": shown_after, "never": 0}
        assert figures["after_typo"]["keystrokes"] == 0


def test_a_search_the_index_lacks_never_shows(capsys, tiny_index, tmp_path):
    held_out = write_csv(tmp_path / "held.csv", ("term",), [("cow",)])
    report = run(capsys, tiny_index, held_out, "--sessions", 2, "--typos", 0, "--budget", "1/2")
    figures = report["budgets"][0]
    assert report["sessions_not_stored"] == 2
    assert figures["overall"]["success_at_10"] == 0 and figures["keystrokes_to_show"]["all"]["never"] == 2


def test_keystrokes_after_a_typo_are_tallied_apart():
    # "dog" typed "dgo": "d" is still the start of dog; "dg" and "dgo" are not.
    typed = Session("dog", "dog", "dgo", 1, ("d", "dg", "dgo"), (False, True, True))
    clean = Session("dot", "dot", "dot", 0, ("d", "do", "dot"), (False, False, False))
    answers = {"d": ["dot", "dog"], "dg": ["dot", "dog"], "dgo": ["dog"], "do": ["dot", "dog"], "dot": ["dot"]}
    figures = score([typed, clean], answers.__getitem__)
    assert [t.keystrokes for t in figures.after_typo[:4]] == [0, 1, 1, 0]
    assert figures.after_typo[1].mrr == 0.5 and figures.after_typo[2].success(1) == 1.0
    assert [t.keystrokes for t in figures.all[:4]] == [2, 2, 2, 0]
    assert figures.all[0].mrr == pytest.approx(0.75)  # dog 2nd, dot 1st
    assert figures.shown_after == [1, 1] and figures.typos == [1, 0]
    assert figures.to_show("typo") == {"sessions": 1, "mean_keystrokes": 1.0, "never": 0}


SITE_LIKE = ["minecraft", "how to draw", "Crème brûlée", "taylor swift", "react tutorial", "gta 5", "top 10 goals", "i built a house"]


def test_sessions_are_drawn_as_searched_and_typed_with_typos_as_asked():
    searches = Searches(SITE_LIKE + ["x"], [1000] * len(SITE_LIKE) + [1], [pathlib.Path("held.csv")])
    sessions = make_sessions(searches, lambda t: normalize(t, "fold"), 400, 0.5, seed=3)
    typos = [s.typos for s in sessions]
    assert (typos.count(0), typos.count(1), typos.count(2)) == (200, 150, 50)
    assert sum(s.searched == "x" for s in sessions) < 4  # 1 search in 8,001
    for s in sessions:
        assert s.target == normalize(s.searched, "fold") and len(s.queries) == len(s.typed)
        assert list(s.after_typo) == [s.typos > 0 and not s.target.startswith(q) for q in s.queries]
        # A typo shows in what is typed: the last keystroke is past it.
        assert (s.typed == s.searched) == (s.typos == 0) and s.after_typo[-1] == (s.typos > 0)
    same = make_sessions(searches, lambda t: normalize(t, "fold"), 400, 0.5, seed=3)
    other = make_sessions(searches, lambda t: normalize(t, "fold"), 400, 0.5, seed=4)
    assert same == sessions and other != sessions


def test_typos_are_those_people_make():
    rng = random.Random(5)
    seen = set()
    for _ in range(400):
        typo = evaluate.with_typo("grape", rng)
        assert typo is not None and typo != "grape"
        if len(typo) == 6:
            seen.add("insert")  # after a letter: itself or a keyboard neighbour
            assert any(typo[:i + 1] + typo[i + 2:] == "grape" and typo[i + 1] in "grape"[i] + evaluate._NEIGHBOURS["grape"[i]] for i in range(5))
        elif len(typo) == 4:
            seen.add("delete")
        elif sorted(typo) == sorted("grape"):
            seen.add("swap")
            assert any(typo == "grape"[:i] + "grape"[i + 1] + "grape"[i] + "grape"[i + 2:] for i in range(4))
        else:
            seen.add("substitute")
            (at,) = [i for i in range(5) if typo[i] != "grape"[i]]
            assert typo[at] in evaluate._NEIGHBOURS["grape"[at]]
    assert seen == {"insert", "delete", "swap", "substitute"}
    assert evaluate.with_typo("42 7", rng) is None  # no letter


def test_the_same_seed_gives_the_same_report(capsys, tiny_index, tmp_path):
    held_out = write_csv(tmp_path / "held.csv", ("term", "count"), [("cable", 3), ("cart", 2), ("dog", 1), ("camp", 1)])
    first, again = (run(capsys, tiny_index, held_out, "--seed", 9, "--sessions", 50) for _ in range(2))
    other = run(capsys, tiny_index, held_out, "--seed", 10, "--sessions", 50)
    for report in (first, again, other):
        report.pop("seconds")
        for figures in report["budgets"]:
            assert figures.pop("timing")["p99_us"] > 0
    assert first == again and first != other
    assert (first["searches"], first["typo_sessions"], first["two_typo_sessions"]) == (7, 25, 6)
    # The default budgets, each once (the default may be one of the others).
    named = {(b.one_from, b.two_from, b.first_exact, b.one_within) for b in map(budget, evaluate.DEFAULT_BUDGETS)}
    assert len(first["budgets"]) == len(named) and sum(b["budget"]["default"] for b in first["budgets"]) == 2
    assert first["budgets"][0]["budget"]["name"] == "none" and first["budgets"][-1]["budget"]["first_exact"]
    # Without an edit no keystroke after a typo can show the search.
    assert first["budgets"][0]["after_typo"]["success_at_10"] == 0 < first["budgets"][2]["after_typo"]["success_at_10"]


def test_budgets_are_read_from_their_spelling():
    assert [budget("3/6").edits(q) for q in ("ab", "abc", "abcdef")] == [0, 1, 2]
    assert [budget("5").edits("x" * n) for n in (4, 5, 50)] == [0, 1, 1]
    assert budget("none").edits("x" * 50) == 0
    assert budget("default+first").first_exact and budget("default").default
    for bad in ("6/3", "0/2", "three", "3/6+last"):
        with pytest.raises(ValueError, match="budget|1 <= A"):
            budget(bad)


def test_bad_input_is_named(capsys, tiny_index, tmp_path):
    held_out = write_csv(tmp_path / "held.csv", ("term",), [("cat",)])
    with pytest.raises(BuildError, match=f"{tmp_path / 'missing.csv'}: no such file"):
        run(capsys, tiny_index, tmp_path / "missing.csv")
    with pytest.raises(BuildError, match=f"{held_out}: no column 'query'"):
        run(capsys, tiny_index, held_out, "--term", "query")
    with pytest.raises(IndexLoadError, match=f"{tmp_path / 'none.idx'}: no such index file"):
        run(capsys, tmp_path / "none.idx", held_out)
    counted = write_csv(tmp_path / "counted.csv", ("term", "count"), [("cat", 2), ("dog", -1)])
    with pytest.raises(BuildError, match=f"{counted}: 1 row with a bad count"):
        read_searches([str(counted)])
    empty = write_csv(tmp_path / "empty.csv", ("term", "count"), [("cat", 0)])
    with pytest.raises(BuildError, match=f"{empty}: no searches"):
        read_searches([str(empty)])
    blank = write_csv(tmp_path / "blank.csv", ("term",), [("  ",)])
    with pytest.raises(BuildError, match=f"{blank}: no search has a usable term after normalisation"):
        run(capsys, tiny_index, blank)


def test_the_command_exits_2_with_one_line_for_bad_input(tiny_index, tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "quillon.build.evaluate", "eval", str(tiny_index), str(tmp_path / "gone.parquet")],
        capture_output=True, text=True,
    )  # fmt: skip
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"quillon: error: {tmp_path / 'gone.parquet'}: no such file\n"


def test_the_text_report_shows_the_figures_of_the_json(capsys, tiny_index, tmp_path):
    held_out = write_csv(tmp_path / "held.csv", ("term",), [("Dog",), ("cart",)])
    report = run(capsys, tiny_index, held_out, "--sessions", 20, "--budget", "2/3", "--budget", "none")
    parser = argparse.ArgumentParser()
    evaluate.add_eval_command(parser.add_subparsers())
    args = parser.parse_args(["eval", str(tiny_index), str(held_out), "--sessions", "20", "--budget", "2/3", "--budget", "none", "-q"])
    assert args.run(args) == 0
    text = capsys.readouterr().out
    rows = {line.split("  ")[0]: line for line in text.splitlines() if line.startswith(("1 from 2, 2 from 3  ", "none  "))}
    for figures in report["budgets"]:
        overall, typo = figures["overall"], figures["after_typo"]
        name = figures["budget"]["name"]
        cells = rows[name][len(name) :].split()[:8]
        expected = [overall[k] for k in ("success_at_1", "success_at_5", "success_at_10", "mrr")]
        expected += [typo[k] for k in ("success_at_1", "success_at_5", "success_at_10", "mrr")]
        assert [float(c) for c in cells] == pytest.approx(expected, abs=5.1e-4)
    assert f"{report['keystrokes']:,} keystrokes, {report['keystrokes_after_typo']:,} after a typo" in text
    assert text.count(", by typed length") == 2


def test_replay_scores_any_completer_as_the_command_scores_ours(tiny_index):
    from quillon import Index
    from quillon.limits import default_edits

    index = Index.open(tiny_index)
    searches = Searches(["cabin", "Cart", "dog", "camp"], [5, 3, 2, 1], [tiny_index])
    sessions = make_sessions(searches, index.normalize, 60, 0.5, seed=2)
    (ours,) = evaluate.evaluate(index, sessions, [budget("default")])
    # The default budget is Index.complete's own (typos counted where typed).
    public = evaluate.replay(sessions, lambda q, e, _schedule: [c.term for c in index.complete(q)], default_edits)
    assert public.to_json() == {key: value for key, value in ours.to_json().items() if key != "timing"}


def test_first_exact_holds_the_first_character(tiny_index):
    from quillon import Index

    index = Index.open(tiny_index)
    # "xat" is one edit from cat, at its first character.
    typed = Session("cat", "cat", "xat", 1, ("x", "xa", "xat"), (True, True, True))
    loose, held = evaluate.evaluate(index, [typed], [budget("3"), budget("3+first")])
    assert loose.after_typo[2].success(1) == 1.0 and loose.shown_after == [3]
    assert held.after_typo[2].keystrokes == 1 and held.after_typo[2].success(10) == 0.0 and held.shown_after == [None]


def test_searches_are_read_from_any_format_the_build_reads(tmp_path):
    import duckdb

    parts = tmp_path / "held"
    parts.mkdir()
    for number, rows in enumerate([[("cat", 2), ("dog", 1)], [("cat", 1), ("  ", 4)]]):
        values = ", ".join(f"('{t}', {n})" for t, n in rows)
        duckdb.sql(f"COPY (SELECT * FROM (VALUES {values}) AS v(query, n)) TO '{parts / f'part-{number}.parquet'}' (FORMAT parquet)")
    jsonl = tmp_path / "more.jsonl"
    jsonl.write_text('{"query": "cow", "n": 7}\n{"query": null, "n": 1}\n')
    searches = read_searches([str(parts), str(jsonl)], term="query", count="n")
    assert (searches.texts, searches.counts, searches.rows) == (["  ", "cat", "cow", "dog"], [4, 3, 7, 1], 15)
    # Blank searches normalise to nothing and are never drawn.
    sessions = make_sessions(searches, lambda t: normalize(t, "fold"), 200, 0.0, seed=1)
    assert {s.searched for s in sessions} == {"cat", "cow", "dog"}
    assert sum(s.searched == "cow" for s in sessions) > sum(s.searched == "dog" for s in sessions)
