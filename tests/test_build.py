"""quillon build: a search log to an index and its manifest; refusals of bad
input, determinism, atomic replacement and the end-to-end property."""

from __future__ import annotations

import hashlib
import io
import json
import os
import random
import signal
import subprocess
import sys
import time
import uuid

import duckdb
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillon import Index, PrefixSearch, VideoMatch, build_arrays, normalize
from quillon.build import BuildError, BuildOptions, build_index
from quillon.example import make_search_log
from quillon.build.progress import Progress
from quillon.build.trie_stream import SortedTermTrie
from search_logs import U32_MAX, expected_index_bytes, run_cli, stored_trie, values_sql, write_jsonl, write_table

LOG = [("cat", 1), ("Cat", 1), ("cat", 2), ("car", 3), ("cart", 3), ("cut", 4), ("CUT ", 4), ("dog", 9)]


def build(capsys, *argv):
    return run_cli(capsys, "build", *argv)


def test_a_log_becomes_an_index_pair(tmp_path, capsys):
    log = write_table(tmp_path / "log.parquet", values_sql(LOG))
    status, out, err = build(capsys, log, "-o", tmp_path / "out.idx")
    assert (status, err) == (0, "")  # no progress where stderr is not a terminal
    assert out.startswith(f"wrote {tmp_path / 'out.idx'} (") and "5 terms, " in out and "from 8 rows (0 refused)" in out
    data = (tmp_path / "out.idx").read_bytes()
    assert stored_trie(tmp_path / "out.idx") == expected_index_bytes([(t, v, 1) for t, v in LOG])
    manifest = json.loads((tmp_path / "out.idx.json").read_text())
    assert manifest["index_sha256"] == hashlib.sha256(data).hexdigest() and manifest["format_version"] == 2
    # Each section where the manifest says, with its own checksum.
    assert [section["name"] for section in manifest["sections"]] == ["trie", "nodes", "completion"]
    for section in manifest["sections"]:
        body = data[section["offset"] : section["offset"] + section["length"]]
        assert hashlib.sha256(body).hexdigest() == section["sha256"]
    assert (manifest["terms"], manifest["videos"], manifest["pairs"], manifest["rows_read"]) == (5, 5, 6, 8)
    assert (manifest["normalization"], manifest["id_kind"], manifest["top_n"]) == ("fold", "int", 50)
    assert manifest["nodes"] == 11  # root, c, ca, car, cart, cat, cu, cut, d, do, dog
    assert manifest["sources"] == [{"path": str(log.resolve()), "format": "parquet", "size_bytes": log.stat().st_size}]
    assert sorted(os.listdir(tmp_path)) == ["log.parquet", "out.idx", "out.idx.json"]  # no spill folder left


def test_the_index_holds_plain_to_bytes_and_quiet_prints_nothing(tmp_path, capsys):
    log = write_jsonl(tmp_path / "log.jsonl", LOG)
    assert build(capsys, log, "-o", tmp_path / "i", "--quiet", "--normalize", "none") == (0, "", "")
    search = PrefixSearch.from_bytes(stored_trie(tmp_path / "i"))
    assert [t for t, _, _ in search.fuzzy_match("Cat", 0)] == ["Cat"]  # none: case kept


def test_case_and_accent_variants_meet_under_fold(tmp_path):
    variants = ["Café", "CAFE", "cafe\u0301", " café ", "cafe"]
    log = write_table(tmp_path / "log.parquet", values_sql([(v, i) for i, v in enumerate(variants)]))
    build_index([str(log)], tmp_path / "i")
    index = Index.open(tmp_path / "i")
    assert index.manifest is not None and index.manifest.terms == 1
    for query in variants:
        assert index.terms(query, 0) == [("cafe", 0)]
        assert sorted(v.id for v in index.videos(query, 0)) == [str(i) for i in range(5)]


def test_terms_normalised_in_sql_are_those_normalize_gives(tmp_path):
    # ASCII terms are folded and their spellings collapsed by DuckDB, the
    # rest by quillon.normalize: every kind of whitespace str.split() takes.
    typed = ["  Foo\tBar ", "a\x0bb", "A\x1cB", "x\r\ny", "x  y", "CAFÉ  au\u2003lait", " ok ", "Ok"]
    log = write_table(tmp_path / "log.parquet", values_sql([(t, i) for i, t in enumerate(typed)]))
    build_index([str(log)], tmp_path / "i")
    index = Index.open(tmp_path / "i")
    stored = {c.term: c.display for c in index.complete("", limit=100)}
    assert set(stored) == {normalize(t, "fold") for t in typed}
    # Spellings typed as often: the least by code point shows.
    assert stored["foo bar"] == "Foo Bar" and stored["a b"] == "A B" and stored["cafe au lait"] == "CAFÉ au lait"


def test_progress_reports_phases_with_rates(tmp_path):
    log = write_table(tmp_path / "log.parquet", values_sql(LOG))
    stream = io.StringIO()
    build_index([str(log)], tmp_path / "i", progress=Progress(enabled=True, stream=stream))
    shown = stream.getvalue()
    for phase in ("reading", "normalising", "aggregating", "indexing", "building", "hashing"):
        assert phase in shown
    assert "rows/s" in shown and "terms/s" in shown


# --- refusals: exit status 2, one line naming the file, nothing written -------------------------------


def bad_input_cases():
    ints = values_sql([("a", 1), ("b", -5), ("c", 2), ("d", None), ("e", 4294967296)])
    texts = values_sql([("a", "x" * 256), ("b", ""), ("c", "é" + "x" * 255), ("d", None)], ("term", "vid"))
    counts = values_sql([("a", 1, 2), ("b", 1, -1), ("c", 1, None)], ("term", "video_id", "count"))
    return [
        ("missing.parquet", None, [], "{d}/missing.parquet: no such file"),
        ("log.txt", "SELECT 'a' AS term, 1 AS video_id", [], "{d}/log.txt: unknown format; name the file .parquet, .pq, .csv, .tsv, .jsonl, .ndjson, .json, or give --format"),
        ("log.parquet", "SELECT 'a' AS term, 1 AS vid", [], "{d}/log.parquet: no column 'video_id' (columns: 'term', 'vid'); name it with --video"),
        ("log.parquet", "SELECT 'a' AS query, 1 AS video_id", [], "{d}/log.parquet: no column 'term' (columns: 'query', 'video_id'); name it with --term"),
        ("log.parquet", "SELECT 'a' AS term, 1.5 AS video_id", [], "{d}/log.parquet: column 'video_id' is DECIMAL(2,1); video ids must be integers, text (UUIDs or the site's own ids), UUIDs or 16-byte binaries"),
        ("log.parquet", "SELECT 7 AS term, 1 AS video_id", [], "{d}/log.parquet: column 'term' is INTEGER; terms must be text"),
        ("log.parquet", "SELECT 'a' AS term, 1 AS video_id, 'x' AS n", ["--count", "n"], "{d}/log.parquet: column 'n' is VARCHAR; counts must be integers"),
        ("log.parquet", "SELECT 'a' AS term, 1 AS video_id", ["--count", "n"], "{d}/log.parquet: no column 'n' (columns: 'term', 'video_id'); name it with --count"),
        ("log.csv", "SELECT 'a' AS term, 1 AS video_id LIMIT 0", [], "{d}/log.csv: no rows"),
        ("log.parquet", ints, [], "{d}/log.parquet: 3 rows with a bad video_id, e.g. row 2: video_id -5 is outside 0..4294967295; row 4: video_id is missing (NULL); row 5: video_id 4294967296 is outside 0..4294967295"),
        # String ids: 256 bytes at most, not empty.
        ("log.parquet", texts, ["--video", "vid"], "{d}/log.parquet: 3 rows with a bad vid, e.g. row 2: vid is empty; row 3: vid 'é" + "x" * 59 + "' is 257 bytes, more than the 256 of a video id; row 4: vid is missing (NULL)"),
        ("log.jsonl", counts, [], "{d}/log.jsonl: 2 rows with a bad video_id or count, e.g. row 2: count -1 is outside 0..4294967295; row 3: count is missing (NULL)"),
        ("log.parquet", "SELECT 'a' AS term, '\\xAB\\xCD'::BLOB AS video_id", [], "{d}/log.parquet: 1 row with a bad video_id, e.g. row 1: video_id is 2 bytes, not the 16 of a UUID"),
        ("log.parquet", values_sql([(" ", 1), ("b", 1)]), ["--min-count", "2"], "nothing left to index: 1 of 2 rows refused, 1 (term, video) pairs below --min-count 2"),
        # Past the rows DuckDB samples to guess a CSV column's type.
        ("log.csv", "SELECT 'w' || i AS term, i::VARCHAR AS video_id, i AS k FROM range(30000) t(i) UNION ALL SELECT 'bad', 'abc', 30000 ORDER BY k", [], "{d}/log.csv: cannot read: Conversion Error: CSV Error on Line: 30002; Original Line: bad,abc,30000; Error when converting column \"video_id\". Could not convert string \"abc\" to 'BIGINT'"),
    ]


@pytest.mark.parametrize(("name", "sql", "options", "message"), bad_input_cases())
def test_bad_input_is_refused_and_the_old_index_kept(tmp_path, capsys, name, sql, options, message):
    good = write_table(tmp_path / "good.parquet", values_sql(LOG))
    assert build(capsys, good, "-o", tmp_path / "out.idx")[0] == 0
    source = tmp_path / name
    if sql is not None:  # a .txt file is written as CSV
        write_table(source.with_suffix(".csv") if source.suffix == ".txt" else source, sql).rename(source)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    status, out, err = build(capsys, source, "-o", tmp_path / "out.idx", *options)
    assert (status, out) == (2, "")
    assert err == "quillon: error: " + message.format(d=tmp_path) + "\n"
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_mixed_id_kinds_and_self_overwrite_are_refused(tmp_path, capsys):
    ints = write_table(tmp_path / "a.csv", values_sql([("a", 1)]))
    uuids = write_table(tmp_path / "b.csv", values_sql([("a", uuid.UUID(int=1))]))
    texts = write_table(tmp_path / "c.csv", values_sql([("a", "abc")]))
    typed = write_table(tmp_path / "d.parquet", values_sql([("a", uuid.UUID(int=1))]))
    mixed = write_jsonl(tmp_path / "e.jsonl", [("a", 17), ("b", "abc"), ("c", 9), ("d", None)])
    refusals = [
        ([ints, uuids], f"{uuids}: column 'video_id' holds UUIDs (VARCHAR), but {ints} holds integer ids (BIGINT)"),
        ([texts, ints], f"{ints}: column 'video_id' holds integer ids (BIGINT), but {texts} holds text ids (VARCHAR)"),
        ([typed, uuids, texts], f"{texts}: column 'video_id' holds text ids (VARCHAR), but {typed} holds UUIDs (UUID)"),
        ([mixed], f"{mixed}: column 'video_id' mixes integer ids (row 1: 17; row 3: 9) and text ids (row 2: 'abc')"),
    ]
    for sources, message in refusals:
        status, _, err = build(capsys, *sources, "-o", tmp_path / "i")
        assert (status, err) == (2, f"quillon: error: {message}; one index takes one kind of video id\n")
    status, _, err = build(capsys, ints, "-o", ints)
    assert status == 2 and err == f"quillon: error: {ints}: is also a source; the index would overwrite its own log\n"
    assert sorted(os.listdir(tmp_path)) == ["a.csv", "b.csv", "c.csv", "d.parquet", "e.jsonl"]


def test_a_csv_file_without_a_header_row_is_named_so(tmp_path, capsys):
    log = tmp_path / "log.csv"
    log.write_text("cat,1,2\ndog,2,5\n")
    status, out, err = build(capsys, log, "-o", tmp_path / "i", "--count", "n")
    assert (status, out) == (2, "")
    assert err == (
        f"quillon: error: {log}: no header row (its columns read as 'column0', 'column1', 'column2'); "
        "its first line must name the columns, e.g. term,video_id,n\n"
    )
    assert build(capsys, log, "-o", tmp_path / "i", "--term", "column0", "--video", "column1", "-q")[0] == 0


def test_refused_rows_are_counted_not_fatal(tmp_path):
    rows = [("a", 1), (None, 1), ("  ", 2), ("\u0301", 2), ("x\0y", 3), ("b", 3)]
    log = write_table(tmp_path / "log.parquet", values_sql(rows))
    manifest = build_index([str(log)], tmp_path / "i").manifest
    assert manifest.rows_read == 6 and manifest.rows_refused == 4 and manifest.terms == 2
    assert manifest.refused == {"no term (NULL)": 1, "empty after normalisation": 2, "contains U+0000": 1}


# --- atomic replacement -------------------------------------------------------------------------------


def test_a_build_failing_midway_leaves_the_old_pair(tmp_path, monkeypatch):
    log = write_table(tmp_path / "log.parquet", values_sql(LOG))
    build_index([str(log)], tmp_path / "i", BuildOptions(normalization="none"))
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    calls = []
    real_fsync = os.fsync

    def failing_fsync(fd):
        calls.append(fd)
        if len(calls) == 1:  # the manifest's temporary file; the engine wrote and flushed the index's
            raise OSError(28, "No space left on device")
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", failing_fsync)
    with pytest.raises(OSError, match="No space left"):
        build_index([str(log)], tmp_path / "i", BuildOptions(normalization="fold"))
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


# --- determinism and the end-to-end property ----------------------------------------------------------


def test_same_bytes_whatever_the_files_row_order_or_pre_aggregation(tmp_path):
    rng = random.Random(5)
    words = ["Straße", "strasse", "ÉCOLE", "école", "ecole", "x", "xy", "\U0001f600 emoji", "zebra", "ß"]
    rows = [(rng.choice(words), rng.randrange(1, 400)) for _ in range(3000)]
    whole = write_table(tmp_path / "whole.parquet", values_sql(rows))
    reference = build_index([str(whole)], tmp_path / "ref.idx", BuildOptions(min_count=2))
    assert stored_trie(tmp_path / "ref.idx") == expected_index_bytes([(t, v, 1) for t, v in rows], min_count=2)

    rng.shuffle(rows)
    parts = [
        write_table(tmp_path / "p1.parquet", values_sql(rows[:1000])),
        write_table(tmp_path / "p2.csv", values_sql(rows[1000:2000])),
        write_jsonl(tmp_path / "p3.jsonl", rows[2000:]),
    ]
    build_index([str(p) for p in parts], tmp_path / "split.idx", BuildOptions(min_count=2))

    # Aggregated and normalised elsewhere (here by DuckDB with the same
    # function), written with a count column and, for each term, the spelling
    # typed most often (whitespace collapsed; ties by code point) to show.
    with duckdb.connect(config={"default_collation": ""}) as con:
        con.create_function("fold", lambda text: normalize(text, "fold"), ["VARCHAR"], "VARCHAR")
        con.create_function("collapse", lambda text: " ".join(text.split()), ["VARCHAR"], "VARCHAR")
        con.execute(
            f"COPY (WITH typed AS (SELECT fold(term) AS term, collapse(term) AS shown, video_id FROM '{whole}'), "
            "shown AS (SELECT term, shown AS display FROM (SELECT term, shown, "
            "row_number() OVER (PARTITION BY term ORDER BY n DESC, shown) AS place "
            "FROM (SELECT term, shown, count(*) AS n FROM typed GROUP BY term, shown)) "
            "WHERE place = 1) "
            f"SELECT term, display, video_id, least(count(*), {U32_MAX}) AS count FROM typed JOIN shown USING (term) "
            f"GROUP BY ALL) TO '{tmp_path / 'agg.parquet'}' (FORMAT parquet)"
        )
    build_index([str(tmp_path / "agg.parquet")], tmp_path / "agg.idx", BuildOptions(min_count=2))
    data = (tmp_path / "ref.idx").read_bytes()
    assert (tmp_path / "split.idx").read_bytes() == data
    assert (tmp_path / "agg.idx").read_bytes() == data
    assert reference.manifest.pairs_below_min_count > 0


@settings(max_examples=25, deadline=None)
@given(
    st.lists(
        st.tuples(st.text("aAbé\u0301 \U00010000", max_size=4), st.integers(0, U32_MAX), st.integers(0, U32_MAX)),
        min_size=1,
        max_size=30,
    ),
    st.sampled_from(["none", "lower", "fold"]),
    st.integers(0, 3),
    st.integers(1, 4),
)
def test_index_equals_build_arrays_on_the_aggregated_records(tmp_path_factory, rows, mode, min_count, top_n):
    folder = tmp_path_factory.mktemp("log")
    log = write_table(folder / "log.parquet", values_sql(rows, ("term", "video_id", "count")))
    expected = expected_index_bytes(rows, mode, min_count, min_count, top_n)
    kept = PrefixSearch.from_bytes(expected).fuzzy_match("", U32_MAX)
    options = BuildOptions(normalization=mode, min_count=min_count, min_term_count=min_count, top_n=top_n)
    if not kept:
        with pytest.raises(BuildError, match="nothing left to index"):
            build_index([str(log)], folder / "i", options)
        return
    build_index([str(log)], folder / "i", options)
    assert stored_trie(folder / "i") == expected


def test_uuid_and_binary_ids_are_one_kind_ordered_by_bytes(tmp_path):
    high, low = uuid.UUID("ff000000-0000-0000-0000-000000000001"), uuid.UUID(int=2)
    as_text = write_table(tmp_path / "a.csv", values_sql([("t", str(high)), ("t", str(low).upper())]))
    as_blob = write_table(tmp_path / "b.parquet", f"SELECT 't' AS term, unhex('{low.hex}') AS video_id")
    build_index([str(as_text), str(as_blob)], tmp_path / "i")
    index = Index.open(tmp_path / "i")
    assert index.manifest is not None and index.manifest.id_kind == "uuid" and index.manifest.videos == 2
    assert [(v.id, v.score) for v in index.videos("t", 0)] == [(str(low), 2 / 3), (str(high), 1 / 3)]
    # Text that is all UUIDs (in any spelling) builds what UUID-typed ids build.
    rows = [("t", high), ("t", low), ("u", low)]
    write_table(tmp_path / "typed.parquet", values_sql(rows))
    write_jsonl(tmp_path / "text.jsonl", [(t, "{" + v.hex.upper() + "}") for t, v in rows])
    build_index([str(tmp_path / "typed.parquet")], tmp_path / "typed.idx")
    build_index([str(tmp_path / "text.jsonl")], tmp_path / "text.idx")
    assert (tmp_path / "text.idx").read_bytes() == (tmp_path / "typed.idx").read_bytes()


def test_other_text_ids_are_the_sites_own_kept_as_typed(tmp_path, capsys):
    longest = "é" * 128  # 256 bytes
    like_a_uuid = "{" + uuid.UUID(int=7).hex.upper() + "}"  # among string ids, a string like the others
    ids = ["b-slug", "17", "B-slug", longest, like_a_uuid, "dQw4w9WgXcQ"]
    log = write_jsonl(tmp_path / "log.jsonl", [("cat", video) for video in ids] + [("cats", "17")])
    status, out, _ = build(capsys, log, "-o", tmp_path / "i")
    assert status == 0 and "6 videos from 7 rows" in out
    index = Index.open(tmp_path / "i")
    assert index.manifest is not None and index.manifest.id_kind == "string"
    # Equal scores in the order of the ids' UTF-8 bytes; "17" first by count.
    assert [v.id for v in index.videos("cat", 0)] == ["17", "B-slug", "b-slug", "dQw4w9WgXcQ", like_a_uuid, longest]
    assert index.videos("cats", 0) == [VideoMatch("17", 1.0)]


# --- the command and the example log ------------------------------------------------------------------


def test_console_script_and_module_run_the_command():
    for command in ([sys.executable, "-m", "quillon", "--help"], [os.path.join(os.path.dirname(sys.executable), "quillon"), "build", "--help"]):
        done = subprocess.run(command, capture_output=True, text=True, timeout=60, check=False)
        assert done.returncode == 0 and done.stdout.startswith("usage: quillon")


def test_example_log_is_deterministic_and_realistic(tmp_path):
    first = make_search_log(tmp_path / "a.parquet", rows=20_000, seed=3)
    make_search_log(tmp_path / "b.parquet", rows=20_000, seed=3)
    assert (tmp_path / "a.parquet").read_bytes() == (tmp_path / "b.parquet").read_bytes()
    assert first.rows == 20_000 and 1_000 < first.distinct_terms < 20_000
    manifest = build_index([str(first.path)], tmp_path / "i").manifest
    # Case variants and stray spaces fold together; typos stay apart.
    assert manifest.rows_read == 20_000 and manifest.terms < first.distinct_terms


# --- the streaming pass -------------------------------------------------------------------------------


@given(st.lists(st.text("ab\U00010000é", min_size=1, max_size=6), unique=True), st.integers(0, 40))
def test_streaming_pass_gives_the_arrays_of_build_arrays(terms, split):
    terms.sort()
    trie = SortedTermTrie()
    for part in (terms[:split], terms[split:]):  # in two batches
        trie.add(part, [5] * len(part), [1] * len(part), [0] * len(part), [5] * len(part))
    arrays = trie.arrays([], 3)
    expected = build_arrays([(term, 0, 5) for term in terms], 3)
    assert [list(arrays.node_shifts), arrays.child_labels, list(arrays.child_transitions)] == [
        expected.node_shifts, expected.child_labels, expected.child_transitions
    ]
    assert arrays.payloads == expected.payloads


def test_streaming_pass_refuses_terms_out_of_order():
    trie = SortedTermTrie()
    with pytest.raises(ValueError, match=r"^terms out of order: 'ab' after 'b'$"):
        trie.add(["b", "ab"], [1, 1], [0, 0], [], [])


def test_a_terminated_build_leaves_the_old_pair_and_no_litter(tmp_path):
    small = write_table(tmp_path / "small.parquet", values_sql(LOG))
    (tmp_path / "out").mkdir()
    build_index([str(small)], tmp_path / "out" / "i")
    big = make_search_log(tmp_path / "big.parquet", rows=1_000_000).path
    before = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()}
    command = [sys.executable, "-m", "quillon", "build", str(big), "-o", str(tmp_path / "out" / "i"), "--threads", "1"]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    # The spill folder appears as the build starts reading.
    while process.poll() is None and not any(p.name.startswith(".quillon-spill-") for p in (tmp_path / "out").iterdir()):
        time.sleep(0.005)
    process.send_signal(signal.SIGTERM)
    _out, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (128 + signal.SIGTERM, "quillon: error: interrupted; nothing written\n")
    assert {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()} == before
