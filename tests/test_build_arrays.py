"""quillon.build_arrays: records of (term, video id, count) to the six
arguments of from_internal_data_v2, checked against a naive twin, through the
module, and on every refusal."""

from __future__ import annotations

import re
import uuid

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quillon
import quillon
from quillon import PrefixSearch, TrieArrays, build_arrays
from trie_builders import levenshtein, run_of

U32_MAX = 2**32 - 1

# The README's worked example: car, cart, cat and cut with videos 101..104.
WORKED_RECORDS = [("car", 101, 3), ("cart", 102, 1), ("cat", 101, 4), ("cat", 103, 1), ("cut", 104, 2)]
WORKED_ARRAYS = (
    [0, 1, 3, 5, 6, 6, 6, 7],
    ["", "c", "a", "r", "t", "t", "u", "t"],
    [None, None, None, (3, [0], [3]), (1, [1], [1]), (5, [0, 2], [4, 1]), None, (2, [3], [2])],
    [1, 2, 6, 3, 5, 4, 7],
    [i.to_bytes(4, "little") for i in (101, 102, 103, 104)],
    50,
)


def canonical(video) -> bytes:
    if isinstance(video, uuid.UUID):
        return video.bytes
    if isinstance(video, bytes):
        return video
    return int(video).to_bytes(4, "little")


def id_text(video) -> str:
    return str(uuid.UUID(bytes=canonical(video))) if len(canonical(video)) == 16 else str(int(video))


def naive_arrays(records, top_n):
    """The same arrays built the obvious way: the nodes are the sorted
    distinct prefixes (which is pre-order with children by label), each
    node's children found by scanning every node."""
    video_index: list[bytes] = []
    payload_of: dict[str, tuple[list[int], list[int]]] = {}
    for term, video, count in records:
        if canonical(video) not in video_index:
            video_index.append(canonical(video))
        index = video_index.index(canonical(video))
        ids, counts = payload_of.setdefault(term, ([], []))
        if index in ids:
            counts[ids.index(index)] += count
        else:
            ids.append(index)
            counts.append(count)
    prefixes = sorted({term[:k] for term in payload_of for k in range(len(term) + 1)} | {""})
    number = {prefix: i for i, prefix in enumerate(prefixes)}
    node_shifts: list[int] = []
    child_transitions: list[int] = []
    for prefix in prefixes:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(number[q] for q in prefixes if q and q[:-1] == prefix)
    payloads = []
    for prefix in prefixes:
        if prefix in payload_of:
            ids, counts = payload_of[prefix]
            payloads.append((min(sum(counts), U32_MAX), ids, [min(c, U32_MAX) for c in counts]))
        else:
            payloads.append(None)
    labels = [prefix[-1:] for prefix in prefixes]
    return (node_shifts, labels, payloads, child_transitions, video_index, top_n)


# --- the arrays --------------------------------------------------------------


def test_worked_example_gives_the_readme_arrays():
    arrays = build_arrays(WORKED_RECORDS, top_n=50)
    assert isinstance(arrays, TrieArrays)
    assert tuple(arrays) == WORKED_ARRAYS
    assert arrays.video_top_n == 50 and arrays.child_labels == WORKED_ARRAYS[1]
    search = PrefixSearch.from_internal_data_v2(*arrays)
    assert search.fuzzy_match("cat") == [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0), ("cut", 1, 1)]


def test_package_reexports_the_module_class():
    assert quillon.PrefixSearch is _quillon.PrefixSearch
    assert set(quillon.__all__) >= {"PrefixSearch", "build_arrays", "TrieArrays"}


def test_no_records_give_a_lone_root():
    arrays = build_arrays([], 7)
    assert tuple(arrays) == ([0], [""], [None], [], [], 7)
    search = PrefixSearch.from_internal_data_v2(*arrays)
    assert search.fuzzy_match("") == [] and search.fuzzy_match_video("a") == []


def test_counts_are_summed_per_video_in_first_seen_order():
    records = [("b", 7, 1), ("a", 9, 2), ("a", 7, 3), ("a", 9, 4), ("a", 8, 0)]
    arrays = build_arrays(records, 5)
    # ids in first-seen order over all records: 7, 9, 8
    assert arrays.video_index == [(7).to_bytes(4, "little"), (9).to_bytes(4, "little"), (8).to_bytes(4, "little")]
    assert arrays.child_labels == ["", "a", "b"]
    assert arrays.payloads == [None, (9, [1, 0, 2], [6, 3, 0]), (1, [0], [1])]


def test_sums_saturate_at_32_bits():
    records = [("a", 1, U32_MAX), ("a", 1, 5), ("a", 2, U32_MAX - 1), ("b", 1, U32_MAX)]
    arrays = build_arrays(records, 5)
    assert arrays.payloads[1] == (U32_MAX, [0, 1], [U32_MAX, U32_MAX - 1])
    assert arrays.payloads[2] == (U32_MAX, [0], [U32_MAX])
    PrefixSearch.from_internal_data_v2(*arrays)  # every value fits the module


def test_uuid_objects_and_their_bytes_are_one_id():
    first, second = uuid.UUID(int=1), uuid.UUID("00010203-0405-0607-0809-0a0b0c0d0e0f")
    records = [("x", first, 1), ("x", first.bytes, 2), ("y", second.bytes, 3), ("y", second, 4)]
    arrays = build_arrays(records, 5)
    assert arrays.video_index == [first.bytes, second.bytes]
    assert arrays.payloads[1:] == [(3, [0], [3]), (7, [1], [7])]
    search = PrefixSearch.from_internal_data_v2(*arrays)
    assert search.fuzzy_match_video("y", 0) == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 1.0)]


def test_int_ids_are_four_little_endian_bytes():
    arrays = build_arrays([("a", 0, 1), ("a", U32_MAX, 1), ("a", 258, 1)], 5)
    assert arrays.video_index == [b"\0\0\0\0", b"\xff\xff\xff\xff", b"\x02\x01\0\0"]
    search = PrefixSearch.from_internal_data_v2(*arrays)
    assert sorted(video for video, _ in search.fuzzy_match_video("a", 0)) == ["0", "258", "4294967295"]


def test_records_may_be_lists_named_tuples_and_a_generator_read_once():
    class Row(tuple):
        pass

    def rows():
        yield ["car", 101, 3]
        yield ("cart", 102, 1)
        yield Row(("cat", 101, 4))
        yield ("cat", 103, 1)
        yield ("cut", 104, 2)

    assert tuple(build_arrays(rows(), 50)) == WORKED_ARRAYS


def test_numpy_integers_are_ints():
    records = [("car", numpy.uint32(101), numpy.int64(3)), ("cart", 102, 1), ("cat", numpy.int32(101), 4)]
    records += [("cat", 103, numpy.uint8(1)), ("cut", 104, 2)]
    assert tuple(build_arrays(records, top_n=numpy.int64(50))) == WORKED_ARRAYS


def test_str_subclass_terms_are_stored_as_str():
    class Text(str):
        pass

    arrays = build_arrays([(Text("ab"), 1, 1), ("ab", 1, 1)], 3)
    assert arrays.child_labels == ["", "a", "b"] and arrays.payloads[2] == (2, [0], [2])
    assert all(type(label) is str for label in arrays.child_labels)


def test_children_are_numbered_above_their_parents_and_sorted_by_label():
    words = ["zebra", "apple", "app", "b", "Zed", "é", "😀x", "apply", "ap"]
    arrays = build_arrays(((w, i, 1) for i, w in enumerate(words)), 3)
    labels = arrays.child_labels
    seen = 0
    for node in range(len(labels)):
        kids = run_of(arrays.node_shifts, arrays.child_transitions, node)
        assert all(kid > node for kid in kids)
        assert [labels[k] for k in kids] == sorted(labels[k] for k in kids)
        assert len({labels[k] for k in kids}) == len(kids)
        seen += len(kids)
    assert seen == len(labels) - 1  # a tree: every node but the root has one parent
    assert len(labels) == 1 + len({w[:k] for w in words for k in range(1, len(w) + 1)})


# --- refusals ----------------------------------------------------------------

GOOD = ("cat", 7, 1)
UUID_ID = uuid.UUID(int=5)

REFUSED = [
    # records, exception, position of the bad record, problem
    ([("", 7, 1)], ValueError, 0, "the term is empty"),
    ([GOOD, ("a\0b", 7, 1)], ValueError, 1, "U+0000"),
    ([("\ud800", 7, 1)], ValueError, 0, "lone surrogate"),
    ([(b"cat", 7, 1)], TypeError, 0, "the term must be a str, not bytes"),
    ([GOOD, (None, 7, 1)], TypeError, 1, "the term must be a str, not NoneType"),
    ([GOOD, ("cat", 7, -1)], ValueError, 1, "the count must be 0..4294967295, not -1"),
    ([("cat", 7, 2**32)], ValueError, 0, "the count must be 0..4294967295, not 4294967296"),
    ([("cat", 7, 1.0)], TypeError, 0, "the count must be an int, not float"),
    ([("cat", 7, "1")], TypeError, 0, "the count must be an int, not str"),
    ([("cat", 7, True)], TypeError, 0, "the count must be an int, not bool"),
    ([GOOD, ("dog", UUID_ID, 1)], ValueError, 1, "a 16-byte id among int ids (the kind of record 0)"),
    ([("dog", UUID_ID, 1), GOOD], ValueError, 1, "an int id among 16-byte ids"),
    ([("dog", bytes(16), 1), ("cat", 3, 1)], ValueError, 1, "an int id among 16-byte ids"),
    ([("cat", b"\1\0\0\0", 1)], ValueError, 0, "a bytes video id must be 16 bytes (a UUID), not 4"),
    ([("cat", bytes(17), 1)], ValueError, 0, "must be 16 bytes (a UUID), not 17"),
    ([("cat", -1, 1)], ValueError, 0, "an int video id must be 0..4294967295, not -1"),
    ([("cat", 2**32, 1)], ValueError, 0, "an int video id must be 0..4294967295, not 4294967296"),
    ([("cat", True, 1)], TypeError, 0, "a video id cannot be a bool"),
    ([GOOD, ("cat", 7.0, 1)], TypeError, 1, "a video id must be a uuid.UUID, 16 bytes or an int, not float"),
    ([("cat", str(UUID_ID), 1)], TypeError, 0, "not str"),
    ([("cat", bytearray(16), 1)], TypeError, 0, "not bytearray"),
    ([GOOD, ("cat", 7)], ValueError, 1, "a record must have 3 items (term, video_id, count), not 2"),
    ([("cat", 7, 1, 0)], ValueError, 0, "not 4"),
    (["cat"], TypeError, 0, "a record must be a tuple (term, video_id, count), not str"),
    ([{"cat": 7}], TypeError, 0, "not dict"),
]


@pytest.mark.parametrize("records, error, position, problem", REFUSED, ids=[case[3] for case in REFUSED])
def test_bad_records_are_refused_by_position_and_repr(records, error, position, problem):
    with pytest.raises(error) as raised:
        build_arrays(records, 5)
    assert type(raised.value) is error
    message = str(raised.value)
    assert message.startswith(f"record {position} {records[position]!r}: "), message
    assert problem in message


def test_a_long_record_is_quoted_in_short():
    with pytest.raises(ValueError) as raised:
        build_arrays([("x" * 1000, 7, -1)], 5)
    assert len(str(raised.value)) < 200
    assert re.match(r"record 0 \('xxx+\.\.\.: the count must be", str(raised.value))


def test_the_first_bad_record_is_reported_after_the_good_ones():
    records = [GOOD] * 3 + [("", 7, 1), ("cat", 7, -1)]
    with pytest.raises(ValueError, match=r"^record 3 \('', 7, 1\): the term is empty$"):
        build_arrays(iter(records), 5)


@pytest.mark.parametrize(
    "top_n, error, message",
    [
        (-1, ValueError, "top_n must be 0..4294967295, not -1"),
        (2**32, ValueError, "top_n must be 0..4294967295, not 4294967296"),
        (None, TypeError, "top_n must be an int, not NoneType"),
        (5.0, TypeError, "top_n must be an int, not float"),
        (True, TypeError, "top_n must be an int, not bool"),
    ],
)
def test_bad_top_n_is_refused(top_n, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        build_arrays([GOOD], top_n)


def test_top_n_is_required():
    with pytest.raises(TypeError):
        build_arrays([GOOD])  # type: ignore[call-arg]


# --- through the module --------------------------------------------------------


TERMS = st.text(alphabet="abcBé😀", min_size=1, max_size=4)
COUNTS = st.one_of(st.integers(0, 20), st.just(U32_MAX))
INT_IDS = st.integers(0, 6).map(lambda i: 1000 + i)
UUID_IDS = st.integers(0, 6).map(lambda i: uuid.UUID(int=i * 0x1111)).flatmap(
    lambda u: st.sampled_from([u, u.bytes])
)


@st.composite
def record_lists(draw):
    ids = draw(st.sampled_from([INT_IDS, UUID_IDS]))
    return draw(st.lists(st.tuples(TERMS, ids, COUNTS), max_size=25))


@settings(max_examples=150)
@given(records=record_lists(), top_n=st.integers(0, 8))
def test_matches_the_naive_build(records, top_n):
    assert tuple(build_arrays(records, top_n)) == naive_arrays(records, top_n)


@settings(max_examples=60)
@given(records=record_lists(), query=st.text(alphabet="abcBé😀", max_size=4), max_dist=st.integers(0, 2))
def test_fuzzy_match_answers_like_a_scan_of_the_sorted_terms(records, query, max_dist):
    # Children sorted by label make the walk's pre-order the sorted order.
    search = PrefixSearch.from_internal_data_v2(*build_arrays(records, 8))
    terms = sorted({term for term, _, _ in records})
    expected = [(t, 1, levenshtein(query, t)) for t in terms if levenshtein(query, t) <= max_dist]
    assert search.fuzzy_match(query, max_dist) == expected


@settings(max_examples=60)
@given(records=record_lists())
def test_every_term_round_trips_with_its_videos(records):
    own: dict[str, dict[str, int]] = {}
    for term, video, count in records:
        videos = own.setdefault(term, {})
        videos[id_text(video)] = videos.get(id_text(video), 0) + count
    built = PrefixSearch.from_internal_data_v2(*build_arrays(records, top_n=len(records) + 1))
    restored = PrefixSearch.from_bytes(built.to_bytes())
    assert restored.to_bytes() == built.to_bytes()
    for search in (built, restored):
        for term, videos in own.items():
            assert search.fuzzy_match(term, 0) == [(term, 1, 0)]
            ranked = dict(search.fuzzy_match_video(term, 0, min_score=0.0))
            total = sum(videos.values())
            if total == 0 or total > U32_MAX or any(other.startswith(term) and other != term for other in own):
                # a zero total ranks nothing; saturated sums and the subtree's
                # own videos change the shares, not the presence
                assert total == 0 or set(videos) <= set(ranked)
            else:
                assert ranked == {video: count / total for video, count in videos.items()}
