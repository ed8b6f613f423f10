"""The completion quality benchmark's smoke run: --quick (a small example
site and 5,000 words, 40 sessions each) against RediSearch and tantivy must
report figures for every engine on every data set, ours the completions
that Index.complete gives. Skipped, saying what is missing, where
redis-server, the RediSearch module, tantivy or the English word list is
not installed; failed
instead where QUILLON_REQUIRE_PEERS=1. And the benchmark's own checkers (its
prefix distance, its scan of every term) agree with the engine."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import pytest

from quillon import Index

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
sys.path.insert(0, str(BENCHMARKS))
import common  # noqa: E402

ENGINES = {"quillon", "redisearch", "redisearch-budget", "tantivy", "prefix"}


@pytest.fixture(scope="module")
def peers_present() -> None:
    missing = common.missing_peers()
    if not os.path.isfile(common.ENGLISH):
        missing["the English word list"] = "apt-get install wamerican-large"
    if missing:
        reason = "completion peers not installed: " + "; ".join(f"{what} ({how})" for what, how in missing.items())
        if os.environ.get("QUILLON_REQUIRE_PEERS") == "1":
            pytest.fail(reason + ", and QUILLON_REQUIRE_PEERS=1")
        pytest.skip(reason)


@pytest.mark.heavy  # a benchmark in a child process, with a Redis server of its own
def test_the_quick_quality_run_reports_every_engine_and_ours_as_index_complete(peers_present, tmp_path):
    out = tmp_path / "quality.json"
    done = subprocess.run(
        [sys.executable, str(BENCHMARKS / "completion_quality.py"), "--quick", "--json", str(out), "--data", str(tmp_path / "data")],
        capture_output=True, text=True, timeout=900,
    )  # fmt: skip
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    result = json.loads(out.read_text())
    assert [data["name"] for data in result["sets"]] == ["example", "english"]
    for data in result["sets"]:
        assert set(data["engines"]) == ENGINES and data["sessions"] == 40
        assert data["checks"]["brute_force_queries"] == 3 and data["keystrokes_after_typo"] > 0
        for name, figures in data["engines"].items():
            # The same keystrokes scored for each engine, a figure at each typed length typed.
            assert figures["overall"]["keystrokes"] == data["keystrokes"], name
            assert figures["after_typo"]["keystrokes"] == data["keystrokes_after_typo"], name
            typed = [row for row in figures["by_length"] if row["keystrokes"]]
            assert typed and all(0 <= row["success_at_5"] <= 1 and 0 <= row["mrr"] <= 1 for row in typed), name
        # Exact prefixes cannot follow a typo; every fuzzy engine can.
        assert data["engines"]["prefix"]["after_typo"]["success_at_10"] == 0
        assert all(data["engines"][name]["after_typo"]["success_at_10"] > 0 for name in ENGINES - {"prefix"})
        index = Index.open(data["index"])
        assert len(data["samples"]) == 30
        for sample in data["samples"]:
            assert [c.term for c in index.complete(sample["text"])] == sample["quillon"], sample["text"]
        assert data["targets"].keys() == {"redisearch", "redisearch-budget"}
    for name in ENGINES:
        assert name in done.stdout
    assert "== targets" in done.stdout and "other processes' CPU use" in done.stdout


def test_the_benchmarks_distance_is_the_prefix_distance_with_swaps():
    import completion_quality as quality

    cases = [("hwo", "how to", 2, 1), ("ab", "ba", 2, 1), ("abcd", "ab", 3, 2), ("", "abc", 0, 0), ("mnie", "minecraft", 2, 1)]
    for query, term, bound, expected in cases:
        assert quality.prefix_distance(query, term, bound) == expected, (query, term)
    assert quality.prefix_distance("abc", "bacd", 2) == 1
    assert quality.prefix_distance("abc", "bacd", 2, swaps=False) == 2  # Levenshtein, as RediSearch counts
    assert quality.prefix_distance("xyz", "abc", 1) == 2  # beyond the bound: bound + 1


def test_the_benchmarks_scan_of_every_term_agrees_with_the_engine(tmp_path):
    pytest.importorskip("rapidfuzz", reason="rapidfuzz not installed (pip install rapidfuzz)")
    import completion_quality as quality
    from quillon.build import build_index

    stored = {"minecraft": 9, "mine": 4, "mind": 4, "mint": 7, "money": 3, "nine": 8, "maine": 2, "amine": 1}
    log = tmp_path / "log.csv"
    log.write_text("term,video_id,count\n" + "".join(f"{t},{i},{n}\n" for i, (t, n) in enumerate(stored.items())))
    build_index([str(log)], tmp_path / "x.idx")
    engine = Index.open(tmp_path / "x.idx").engine
    pairs = sorted(stored.items(), key=lambda item: (-item[1], item[0]))
    for query in ("m", "mi", "mnie", "mine", "nime", "zz"):
        for edits in (0, 1, 2):
            ours = [(hit[0], hit[2]) for hit in engine.complete(query, edits, 10)]
            assert quality.brute_completions(pairs, query, edits, 10) == ours, (query, edits)
