"""quillon.Index and the query and info commands: opening with and without
verification, every reason an index cannot be opened, and the order and
normalisation of answers."""

from __future__ import annotations

import hashlib
import json

import pytest

from quillon import Index, IndexLoadError, PrefixSearch, TermMatch, VideoMatch, build_arrays
from quillon.build import build_index
from search_logs import run_cli, values_sql, write_table

ROWS = [("Cat", 7), ("cat", 7), ("cat", 12), ("cart", 3), ("car", 3), ("cut", 4), ("CAT", 30), ("cathedral", 5)]


@pytest.fixture
def index_path(tmp_path):
    log = write_table(tmp_path / "log.parquet", values_sql(ROWS))
    build_index([str(log)], tmp_path / "cats.idx")
    return tmp_path / "cats.idx"


def test_open_verifies_and_answers_normalised_queries(index_path):
    index = Index.open(index_path)
    assert index.path == index_path and index.normalization == "fold" and index.size_bytes == index_path.stat().st_size
    assert index.manifest is not None and index.manifest.terms == 5 and index.load_seconds > 0
    assert isinstance(index.search, PrefixSearch)
    assert index.normalize(" CÄT ") == "cat"
    # Closest first, then trie order; the limit cuts after sorting. Two
    # characters get no edit by default, three one.
    assert index.terms("CA") == []
    assert index.terms("CAT") == index.terms("CAT", 1) == [("cat", 0), ("car", 1), ("cart", 1), ("cut", 1)]
    assert index.terms("Cut", 1, limit=2) == [TermMatch("cut", 0), TermMatch("cat", 1)]
    assert index.search.fuzzy_match("CAT") == []  # the raw trie is not normalised
    # The node of cat: 7 twice, 12, 30 and (from cathedral below it) 5 once
    # each; equal scores by id, as numbers.
    expected = [VideoMatch("7", 0.4), VideoMatch("5", 0.2), VideoMatch("12", 0.2), VideoMatch("30", 0.2)]
    assert index.videos("cAt", 0, prefix_nodes=False) == expected
    assert index.videos("cat", 0, limit=2) == expected[:2]
    assert index.videos("cat", 0, min_score=0.3) == expected[:1]
    assert index.videos("cathe", 0) == [VideoMatch("5", 1.0)]  # a prefix typed halfway
    assert index.videos("cathe", 0, prefix_nodes=False) == []
    assert expected[0].video_id == "7"  # the name before the catalogue


def test_one_set_of_limits(index_path):
    index = Index.open(index_path)
    for call in (index.terms, index.videos, index.complete, index.suggest):
        with pytest.raises(ValueError, match=r"^limit must be an integer from 1 to 100, not -1$"):
            call("cat", limit=-1)
        with pytest.raises(ValueError, match=r"^limit must be an integer from 1 to 100, not 101$"):
            call("cat", limit=101)
    with pytest.raises(ValueError, match=r"^max_dist must be an integer from 0 to 3, not 9$"):
        index.terms("cat", 9)
    with pytest.raises(ValueError, match=r"^max_edits must be an integer from 0 to 3, not 4$"):
        index.complete("cat", max_edits=4)
    assert len(index.terms("cat", 3, limit=100)) == 4  # all but cathedral
    # None lists every answer, as it always has for terms and videos.
    assert index.terms("cat", 3, limit=None) == index.terms("cat", 3, limit=100)
    assert index.videos("cat", 0, limit=None) == index.videos("cat", 0, limit=100)
    assert len(index.videos("c", 0, limit=None)) == 6  # every video below c


def corrupt(index_path, change):
    manifest_path = index_path.with_name(index_path.name + ".json")
    if change == "index missing":
        index_path.unlink()
        return f"{index_path}: cannot read the index: No such file or directory"
    if change == "both missing":
        index_path.unlink()
        manifest_path.unlink()
        return f"{index_path}: no such index file"
    if change == "manifest missing":
        manifest_path.unlink()
        return (
            f"{index_path}: no manifest cats.idx.json beside it to verify it against, so it was not written by "
            "quillon build, or its manifest was moved"
        )
    if change == "byte flipped":
        data = bytearray(index_path.read_bytes())
        data[-1] ^= 1
        index_path.write_bytes(bytes(data))
        return f"{index_path}: the index bytes do not have the SHA-256 its manifest records"
    if change == "truncated":
        index_path.write_bytes(index_path.read_bytes()[:-1])
        size = index_path.stat().st_size
        return f"{index_path}: the index has {size:,} bytes, its manifest says {size + 1:,}; they are not of the same build"
    manifest = json.loads(manifest_path.read_text())
    if change == "not an index":
        index_path.write_bytes(b"\xff" * 8)
        manifest.update(index_size_bytes=8, index_sha256=hashlib.sha256(b"\xff" * 8).hexdigest())
        manifest_path.write_text(json.dumps(manifest))
        return f"{index_path}: not a quillon index: neither an index container nor the stored trie of an older quillon; rebuild it with quillon build"
    if change == "newer format":
        manifest["format_version"] = 3
        manifest_path.write_text(json.dumps(manifest))
        return f"{manifest_path}: not a quillon manifest: format_version 3, this quillon reads 1 and 2"
    if change == "bad field":
        manifest["normalization"] = "upper"
        manifest_path.write_text(json.dumps(manifest))
        return f"{manifest_path}: not a quillon manifest: field 'normalization' is 'upper', not none or lower or fold"
    manifest_path.write_text("{")
    return f"{manifest_path}: not a quillon manifest: not JSON ("


CHANGES = ["index missing", "both missing", "manifest missing", "byte flipped", "truncated", "not an index", "newer format", "bad field", "not json"]


@pytest.mark.parametrize("change", CHANGES)
def test_every_reason_not_to_open_is_one_error_naming_the_file(index_path, capsys, change):
    message = corrupt(index_path, change)
    with pytest.raises(IndexLoadError) as raised:
        Index.open(index_path)
    assert str(raised.value).startswith(message)
    status, out, err = run_cli(capsys, "query", index_path, "cat")
    assert (status, out) == (2, "") and err.startswith(f"quillon: error: {message}")


def test_without_verification_a_raw_index_opens_unnormalised(tmp_path, index_path, capsys):
    raw = tmp_path / "raw.bin"
    raw.write_bytes(PrefixSearch.from_internal_data_v2(*build_arrays([("Cat", 1, 2)], 5)).to_bytes())
    index = Index.open(raw, verify=False)
    assert index.manifest is None and index.normalization == "none"
    assert index.terms("Cat", 0) == [("Cat", 0)] and index.terms("cat", 0) == []
    # A flipped byte passes unverified (the size still matches).
    corrupt(index_path, "byte flipped")
    assert Index.open(index_path, verify=False).manifest is not None
    status, out, err = run_cli(capsys, "info", raw, "--no-verify")
    assert status == 0 and "manifest    none: a raw index, queries not normalised" in out


def test_query_command_prints_tables_or_json_lines(index_path, capsys):
    status, out, err = run_cli(capsys, "query", index_path, "CAT", "cathe", "--max-dist", "0", "--videos", "--limit", "2")
    assert (status, err) == (0, "")
    assert out.splitlines() == [
        "CAT  (as 'cat', 0 edits)",
        "  completion  edits  count",
        "  cat             0      4",
        "  cathedral       0      1",
        "  term  dist",
        "  cat      0",
        "  video   score",
        "  7      0.4000",
        "  5      0.2000",
        "cathe  (0 edits)",
        "  completion  edits  count",
        "  cathedral       0      1",
        "  term                    dist",
        "  (no term within reach)",
        "  video   score",
        "  5      1.0000",
    ]
    status, out, err = run_cli(capsys, "query", index_path, "Cut", "--json")
    assert status == 0
    assert [json.loads(line) for line in out.splitlines()] == [
        {
            "query": "Cut",
            "normalized": "cut",
            "max_dist": 1,
            # The exact completion leaves the list short: one edit is let in.
            "edits": 1,
            "completions": [
                {"term": "cut", "display": "cut", "edits": 0, "count": 1, "covered": 3},
                {"term": "cat", "display": "cat", "edits": 1, "count": 4, "covered": 3},
                {"term": "cathedral", "display": "cathedral", "edits": 1, "count": 1, "covered": 3},
            ],
            "terms": [{"term": "cut", "distance": 0}, {"term": "cat", "distance": 1}],
        }
    ]


def test_info_command_shows_the_manifest_load_time_and_memory(index_path, capsys):
    status, out, err = run_cli(capsys, "info", index_path)
    assert (status, err) == (0, "")
    assert out.startswith(f"index       {index_path}: {index_path.stat().st_size:,} bytes, SHA-256 verified\n")
    for line in ("holds       5 terms, 14 nodes, 6 videos (int ids), at most 50 videos a node", "normalised  fold (Unicode ", "rows        8 read, 0 refused", "load        ", "memory      "):
        assert f"\n{line}" in out
    status, out, err = run_cli(capsys, "info", index_path, "--json")
    info = json.loads(out)
    assert info["manifest"]["index_sha256"] == hashlib.sha256(index_path.read_bytes()).hexdigest()
    assert info["size_bytes"] == index_path.stat().st_size and info["load_seconds"] > 0
