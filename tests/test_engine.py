"""quillon._engine: an index file mapped and searched in place answers as
PrefixSearch does on the same index, bit for bit; a damaged or cut file is
a clear error when opened or read, never a crash; a file replaced by rename
keeps answering from the old mapping."""

from __future__ import annotations

import array
import os
import random
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quillon import Index, IndexLoadError, PrefixSearch
from quillon._engine import Engine, IndexFormatError, IndexWriter
from quillon.build import build_index
from search_logs import stored_trie, values_sql, write_table

LETTERS = "abcé \U0001f600"


def build(tmp_path, rows, name="i.idx"):
    log = write_table(tmp_path / f"{name}.parquet", values_sql(rows, ("term", "video_id", "count")))
    build_index([str(log)], tmp_path / name)
    return tmp_path / name


@settings(max_examples=30, deadline=None)
@given(
    rows=st.lists(st.tuples(st.text(LETTERS, min_size=1, max_size=6), st.integers(0, 40), st.integers(1, 9)), min_size=1, max_size=40),
    queries=st.lists(st.text(LETTERS, max_size=6), min_size=1, max_size=6),
    max_dist=st.integers(0, 3),
    limit=st.none() | st.integers(0, 8),
    prefix_nodes=st.sampled_from([None, True, False]),
    min_score=st.sampled_from([None, 0.0, 0.05]),
)
def test_the_mapped_index_answers_as_the_module_does(tmp_path_factory, rows, queries, max_dist, limit, prefix_nodes, min_score):
    path = build(tmp_path_factory.mktemp("engine"), [(t.strip() or "x", v, c) for t, v, c in rows])
    engine, module = Engine(str(path), deep_check=True), PrefixSearch.from_bytes(stored_trie(path))
    for query in queries:
        assert engine.fuzzy_match(query, max_dist, limit) == module.fuzzy_match(query, max_dist, limit)
        # Same videos, same order, the same floats to the bit.
        assert engine.fuzzy_match_video(query, max_dist, limit, prefix_nodes, min_score) == module.fuzzy_match_video(
            query, max_dist, limit, prefix_nodes, min_score
        )


def test_writer_refuses_unsorted_or_malformed_batches():
    writer = IndexWriter()

    def ends(*values):
        return array.array("Q", values)

    def u32(*values):
        return array.array("I", values)

    writer.add(b"ab", ends(1, 2), u32(1, 1), u32(0, 0), u32(), u32())
    with pytest.raises(ValueError, match=r"^term 2 does not sort after the term before it$"):
        writer.add(b"a", ends(1), u32(1), u32(0), u32(), u32())
    with pytest.raises(ValueError, match=r"^term 2 is not valid UTF-8$"):
        writer.add(b"\xff", ends(1), u32(1), u32(0), u32(), u32())
    with pytest.raises(ValueError, match=r"^a batch whose sizes add up to 2 entries, with 1 video ids and 1 counts$"):
        writer.add(b"c", ends(1), u32(1), u32(2), u32(0), u32(1))
    with pytest.raises(TypeError, match="^ends must hold unsigned 8-byte integers"):
        writer.add(b"c", u32(1), u32(1), u32(0), u32(), u32())
    assert writer.terms == 2


@pytest.fixture
def index_path(tmp_path):
    rng = random.Random(4)
    words = ["react", "reach", "read", "peace", "react native", "typescript", "type"]
    return build(tmp_path, [(rng.choice(words), rng.randrange(50), rng.randrange(1, 20)) for _ in range(400)])


def test_cut_or_damaged_files_are_errors_never_crashes(index_path, tmp_path):
    data = index_path.read_bytes()
    rng = random.Random(8)
    damaged = tmp_path / "damaged.idx"
    outcomes = {"refused": 0, "answered": 0, "damaged": 0}
    for round in range(300):
        body = bytearray(data[: rng.randrange(len(data))] if round < 60 else data)
        for _ in range(rng.randrange(1, 4)):
            body[rng.randrange(len(body))] ^= 1 << rng.randrange(8)
        damaged.write_bytes(bytes(body))
        try:
            engine = Engine(str(damaged))
        except IndexFormatError:
            outcomes["refused"] += 1
            continue
        try:
            for text in ("rea", "typescr", "pace", ""):
                engine.suggest(text, 2, 10, 10, 10)
            outcomes["answered"] += 1
        except Exception as error:  # the one kind a damaged array may raise
            assert type(error).__name__ == "DamagedIndexError", error
            outcomes["damaged"] += 1
    assert outcomes["refused"] > 0 and outcomes["answered"] > 0


def test_the_engine_is_a_buffer_of_the_mapped_file(index_path):
    engine = Engine(str(index_path))
    view = memoryview(engine)
    assert view.readonly and bytes(view) == index_path.read_bytes()
    offset, length = next((o, n) for name, o, n in engine.sections() if name == "trie")
    assert bytes(view[offset : offset + length]) == engine.stored_trie()


def test_an_index_replaced_by_rename_keeps_answering_from_its_mapping(index_path, tmp_path):
    index = Index.open(index_path)
    before = index.suggest("rea")
    other = build(tmp_path, [("zebra", 1, 1)], "other.idx")
    os.replace(other, index_path)  # as quillon build replaces the pair
    os.replace(other.with_name("other.idx.json"), index_path.with_name("i.idx.json"))
    assert index.suggest("rea") == before
    assert Index.open(index_path).suggest("rea").completions == []


def test_searches_run_in_threads_without_the_lock(index_path):
    index = Index.open(index_path)
    expected = {text: index.suggest(text) for text in ("rea", "type", "peac", "reakt", "")}
    failures: list[str] = []

    def ask() -> None:
        for _ in range(300):
            for text, answer in expected.items():
                if index.suggest(text) != answer:
                    failures.append(text)

    threads = [threading.Thread(target=ask) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_a_damaged_file_under_verification_is_refused_once_and_clearly(index_path):
    data = bytearray(index_path.read_bytes())
    data[-1] ^= 0xFF
    index_path.write_bytes(bytes(data))
    with pytest.raises(IndexLoadError, match="the index bytes do not have the SHA-256 its manifest records"):
        Index.open(index_path)
