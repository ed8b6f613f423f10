"""from_internal_data_v2: the checks, their order and what the built trie holds."""

from __future__ import annotations

import collections
import copy
import sys

import pytest

from conftest import OVERRUN_MESSAGE, OVERRUNNING_ARRAYS
from interpreter import index_error, unsigned_long_long_error
from trie_builders import EMPTY, TERMINAL, WORKED_EXAMPLE_TERMS, flat_arrays, terms_arrays, with_

RANGE_MESSAGE = "out of range integral type conversion attempted"
ID_TABLE_MESSAGE = "video_index entries must be all 16 bytes (UUID) or all 4 bytes (int32)"
MISMATCH_MESSAGE = "video_ids and video_counts length mismatch"
TUPLE_LENGTH_MESSAGE = "Payload tuple must have 3 elements"



def failure(PrefixSearch, arrays, error=BaseException):
    with pytest.raises(error) as info:
        PrefixSearch.from_internal_data_v2(**arrays)
    return info.value


Pair = collections.namedtuple("Pair", "count ids")
Triple = collections.namedtuple("Triple", "total_count video_ids video_counts")


class TupleSubclass(tuple):
    pass


class Text(str):
    pass


# --- checks and their order -----------------------------------------------------------


@pytest.mark.parametrize(
    "arrays, message",
    [
        (with_(node_shifts=[0, 1]), "node_shifts len 2 != child_labels len 3"),
        (with_(node_shifts=[0, 1, 2, 3]), "node_shifts len 4 != child_labels len 3"),
        (with_(node_shifts=[]), "node_shifts len 0 != child_labels len 3"),
        (with_(node_shifts=[0, 1], payloads=[None]), "node_shifts len 2 != child_labels len 3"),
        (with_(node_shifts=[0], child_transitions=[9], video_index=[b""]), "node_shifts len 1 != child_labels len 3"),
        (with_(payloads=[None]), "payloads len 1 != child_labels len 3"),
        (with_(payloads=[None] * 4), "payloads len 4 != child_labels len 3"),
        (with_(payloads=[[0, [], []]]), "payloads len 1 != child_labels len 3"),
        (with_(payloads=[None], child_transitions=[7]), "payloads len 1 != child_labels len 3"),
        (with_(child_transitions=[1, 3]), "child_transitions[1] = 3 out of range [0..3)"),
        (with_(child_transitions=[5, 1, 4]), "child_transitions[0] = 5 out of range [0..3)"),
        (with_(child_transitions=[1, 2, 3, 9]), "child_transitions[2] = 3 out of range [0..3)"),
        (with_(child_transitions=[2**32 - 1]), "child_transitions[0] = 4294967295 out of range [0..3)"),
        (
            with_(child_transitions=[1, 3], payloads=[None, [0], (1,)], video_index=[b""]),
            "child_transitions[1] = 3 out of range [0..3)",
        ),
        (with_(EMPTY, child_transitions=[5]), "child_transitions[0] = 5 out of range [0..0)"),
        (with_(EMPTY, child_transitions=[0]), "child_transitions[0] = 0 out of range [0..0)"),
        (with_(EMPTY, node_shifts=[0]), "node_shifts len 1 != child_labels len 0"),
        (with_(EMPTY, payloads=[None]), "payloads len 1 != child_labels len 0"),
        (with_(child_labels=["", "a"]), "node_shifts len 3 != child_labels len 2"),
    ],
)
def test_shape_checks(PrefixSearch, arrays, message):
    exc = failure(PrefixSearch, arrays, ValueError)
    assert type(exc) is ValueError
    assert str(exc) == message


def test_payload_errors_come_before_id_table_errors(PrefixSearch):
    arrays = flat_arrays(
        [(None, "", None), (0, "a", TERMINAL), (1, "b", None), (2, "c", (1, [0, 1], [2])), (3, "d", TERMINAL)],
        video_index=[bytes(16), bytes(4)],
    )
    exc = failure(PrefixSearch, arrays, ValueError)
    assert str(exc) == MISMATCH_MESSAGE


def test_first_malformed_payload_entry_is_reported(PrefixSearch):
    exc = failure(PrefixSearch, with_(payloads=[None, (1, [0], []), [0, [], []]]), ValueError)
    assert str(exc) == MISMATCH_MESSAGE
    exc = failure(PrefixSearch, with_(payloads=[None, [0, [], []], (1, [0], [])]), TypeError)
    assert str(exc) == "'list' object cannot be converted to 'PyTuple'"


# --- payload entries ------------------------------------------------------------------------


class _Outer:
    class Inner:
        pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


PAYLOAD_ERRORS = [
    # entry, exception type, message
    ([0, [], []], TypeError, "'list' object cannot be converted to 'PyTuple'"),
    (5, TypeError, "'int' object cannot be converted to 'PyTuple'"),
    ("abc", TypeError, "'str' object cannot be converted to 'PyTuple'"),
    ({}, TypeError, "'dict' object cannot be converted to 'PyTuple'"),
    (_Outer.Inner(), TypeError, "'_Outer.Inner' object cannot be converted to 'PyTuple'"),
    ((0, []), ValueError, TUPLE_LENGTH_MESSAGE),
    (Pair(0, []), ValueError, TUPLE_LENGTH_MESSAGE),
    ((0, [], [], []), ValueError, TUPLE_LENGTH_MESSAGE),
    ((), ValueError, TUPLE_LENGTH_MESSAGE),
    ((None, "ab"), ValueError, TUPLE_LENGTH_MESSAGE),
    # element 0: the unsigned 32-bit rule, without any prefix
    ((1.0, [], []), TypeError, str(index_error(1.0))),
    (("1", [], []), TypeError, str(index_error("1"))),
    ((None, [], []), TypeError, str(index_error(None))),
    ((-1, [], []), OverflowError, str(unsigned_long_long_error(-1))),
    ((2**64, [], []), OverflowError, str(unsigned_long_long_error(2**64))),
    ((2**32, [], []), OverflowError, RANGE_MESSAGE),
    ((RaisingIndex(TypeError("plain")), [], []), TypeError, "plain"),
    # elements 1 and 2: the sequence rule, without any prefix
    ((0, "ab", []), TypeError, "Can't extract `str` to `Vec`"),
    ((0, [], "ab"), TypeError, "Can't extract `str` to `Vec`"),
    ((0, "", ""), TypeError, "Can't extract `str` to `Vec`"),
    ((0, Text("ab"), []), TypeError, "Can't extract `str` to `Vec`"),
    ((0, {1}, [1]), TypeError, "'set' object cannot be converted to 'Sequence'"),
    ((0, [1], {1: 2}), TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ((0, 5, []), TypeError, "'int' object cannot be converted to 'Sequence'"),
    ((0, None, None), TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ((0, [1.5], [1]), TypeError, str(index_error(1.5))),
    ((0, [1], ["2"]), TypeError, str(index_error("2"))),
    ((0, [-1], [1]), OverflowError, str(unsigned_long_long_error(-1))),
    ((0, [1], [2**32]), OverflowError, RANGE_MESSAGE),
    # the first failing element of an entry wins
    ((-1, "ab", [1]), OverflowError, str(unsigned_long_long_error(-1))),
    ((0, "ab", {1}), TypeError, "Can't extract `str` to `Vec`"),
    ((0, [1.5], "ab"), TypeError, str(index_error(1.5))),
    ((0, [1], "ab"), TypeError, "Can't extract `str` to `Vec`"),
    ((0, [1, 2], {1}), TypeError, "'set' object cannot be converted to 'Sequence'"),
    # the lengths are compared last
    ((5, [1, 2], [3]), ValueError, MISMATCH_MESSAGE),
    ((0, [], [0]), ValueError, MISMATCH_MESSAGE),
    ((0, [0], []), ValueError, MISMATCH_MESSAGE),
]


@pytest.mark.parametrize("entry, error, message", PAYLOAD_ERRORS)
def test_payload_entry_errors(PrefixSearch, entry, error, message):
    exc = failure(PrefixSearch, with_(payloads=[None, entry, TERMINAL]), error)
    assert type(exc) is error
    assert str(exc) == message


def test_payload_element_type_error_subclass_is_unchanged(PrefixSearch):
    class MyTypeError(TypeError):
        pass

    raised = MyTypeError("mine")
    exc = failure(PrefixSearch, with_(payloads=[None, (RaisingIndex(raised), [], []), None]))
    assert exc is raised


@pytest.mark.parametrize(
    "entry",
    [
        (0, [], []),
        (1, [0], [5]),
        Triple(3, [0, 0], [1, 2]),
        TupleSubclass((2, (0,), (9,))),
        (True, range(2), b"\x01\x02"),
        (2**32 - 1, [2**32 - 1, 7, 7], [2**32 - 1, 0, 1]),
    ],
    ids=["empty-lists", "plain", "namedtuple", "tuple-subclass", "other-forms", "extremes"],
)
def test_payload_entries_accepted(build, entry):
    # ids need not be below the number of videos, and may repeat
    trie = build(with_(payloads=[None, entry, None], video_index=[bytes(4)]))
    assert trie.fuzzy_match("a", 0) == [("a", 1, 0)]
    assert trie.fuzzy_match("ab", 0) == []


@pytest.mark.parametrize(
    "payloads, terms",
    [
        ([None, None, None], []),
        ([None, (0, [], []), None], ["a"]),
        ([None, None, (0, [], [])], ["ab"]),
        ([None, (0, [], []), (0, [], [])], ["a", "ab"]),
        ([(0, [], []), None, None], []),  # the root is never a hit
    ],
)
def test_terminal_nodes_are_those_with_a_payload(build, payloads, terms):
    trie = build(with_(payloads=payloads))
    assert [hit[0] for hit in trie.fuzzy_match("ab", 2)] == terms


# --- labels ----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "labels, query, term",
    [
        (["", "abc", "xyz"], "ax", "ax"),
        (["", "é", "ß"], "éß", "éß"),
        (["", "中", "文"], "中文", "中文"),
        (["", "e\u0301", "b"], "eb", "eb"),  # the combining accent is a second character
        (["", "😀", "𝔸"], "😀𝔸", "😀𝔸"),
        (["", "😀tail", "中文"], "😀中", "😀中"),
        (["zzz", "a", "b"], "ab", "ab"),  # the root's label is never read
        ([Text(""), Text("ab"), Text("b")], "ab", "ab"),
    ],
)
def test_labels_keep_their_first_character(build, labels, query, term):
    trie = build(with_(child_labels=labels))
    assert trie.fuzzy_match(query, 0) == [(term, 1, 0)]


def test_label_code_points(build):
    trie = build(with_(child_labels=["", "é", "😀"]))
    [(term, _, _)] = trie.fuzzy_match("é😀", 0)
    assert [ord(ch) for ch in term] == [233, 0x1F600]


@pytest.mark.parametrize("hidden", ["", "\x00", "\x00a"])
def test_label_of_code_point_zero_hides_the_node(build, hidden):
    # root -> hidden (terminal) -> "b" (terminal); root -> "a" (terminal)
    nodes = [(None, "", None), (0, hidden, TERMINAL), (1, "b", TERMINAL), (0, "a", TERMINAL)]
    trie = build(flat_arrays(nodes))
    assert trie.fuzzy_match("", 5) == [("a", 1, 1)]
    assert trie.fuzzy_match("b", 5) == [("a", 1, 1)]


# --- the id table ----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "video_index",
    [
        [],
        [bytes(16)],
        [bytes(range(16)), bytes(16), b"\xff" * 16],
        [bytes(4)],
        [b"\x01\x00\x00\x00", b"\xff\xff\xff\xff"],
        [list(range(16)), bytearray(16)],
        [(1, 0, 0, 0)],
    ],
    ids=["empty", "one-uuid", "uuids", "one-int", "ints", "uuid-forms", "int-tuple"],
)
def test_id_tables_accepted(build, video_index):
    assert build(with_(video_index=video_index)).fuzzy_match("ab", 0) == [("ab", 1, 0)]


@pytest.mark.parametrize(
    "video_index",
    [
        [bytes(16), bytes(4)],
        [bytes(4), bytes(16)],
        [b""],
        [bytes(4), b""],
        [bytes(5)],
        [bytes(15)],
        [bytes(17)],
        [bytes(1)],
        [bytes(32)],
        [bytes(16), bytes(16), bytes(8)],
    ],
    ids=["uuid-then-int", "int-then-uuid", "empty", "int-then-empty", "5", "15", "17", "1", "32", "uuids-then-8"],
)
def test_id_table_errors(PrefixSearch, video_index):
    exc = failure(PrefixSearch, with_(video_index=video_index), ValueError)
    assert type(exc) is ValueError
    assert str(exc) == ID_TABLE_MESSAGE


# --- shapes that build ------------------------------------------------------------------------------------


@pytest.mark.parametrize("video_top_n", [0, 1, 2**32 - 1])
def test_trie_without_nodes(build, PrefixSearch, video_top_n):
    trie = build(with_(EMPTY, video_top_n=video_top_n))
    assert type(trie) is PrefixSearch
    assert trie.fuzzy_match("", 3) == []


@pytest.mark.parametrize(
    "node_shifts, expected",
    [([0, 1, 2], [("ab", 1, 0)]), ([5, 5, 5], []), ([2**32 - 1] * 3, [])],
    ids=["last-run-starts-at-the-end", "runs-start-past-the-end", "runs-start-far-away"],
)
def test_last_node_never_overruns(build, node_shifts, expected):
    # the last node's run ends at the end of the edge list, so it never
    # reaches past it, wherever it starts
    assert build(with_(node_shifts=node_shifts)).fuzzy_match("ab", 0) == expected


def test_runs_whose_start_is_not_below_their_end_are_empty(build):
    # node 0 claims [2, 0) and node 1 [0, 0): both empty, so the root has no
    # children; node 2 owns both edges
    trie = build(with_(node_shifts=[2, 0, 0], child_transitions=[1, 2]))
    assert trie.fuzzy_match("ab", 5) == []


@pytest.mark.parametrize(
    "arrays, expected",
    [
        # a node listed twice is reached twice
        (with_(node_shifts=[0, 2, 2], child_transitions=[1, 1], payloads=[None, TERMINAL, None]), [("a", 1, 0), ("a", 1, 0)]),
        # a node listed nowhere is never reached
        (with_(node_shifts=[0, 1, 1], child_transitions=[1], payloads=[None, TERMINAL, TERMINAL]), [("a", 1, 0)]),
        # a child numbered below its parent: root -> 2 ("a") -> 1 ("b")
        (
            with_(node_shifts=[0, 1, 1], child_transitions=[2, 1], child_labels=["", "b", "a"], payloads=[None, TERMINAL, None]),
            [("ab", 1, 1)],
        ),
    ],
    ids=["listed-twice", "listed-nowhere", "numbered-below-parent"],
)
def test_any_graph_shape_is_accepted(build, arrays, expected):
    assert build(arrays).fuzzy_match("a", 1) == expected


def test_node_listing_itself_is_accepted(build):
    # node 1 ("a") is its own child
    trie = build(with_(node_shifts=[0, 1, 2], child_transitions=[1, 1], payloads=[None, TERMINAL, None]))
    assert trie.fuzzy_match("aa", 0) == [("aa", 1, 0)]


# --- internal errors ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "node_shifts, message",
    [
        ([0, 3, 3], OVERRUN_MESSAGE),
        ([0, 0, 3], OVERRUN_MESSAGE),
        ([0, 10, 12], "index out of bounds: the len is 2 but the index is 10"),
        ([0, 1, 3], OVERRUN_MESSAGE),
    ],
)
def test_run_past_the_edge_list_is_an_internal_error(PrefixSearch, PanicException, node_shifts, message):
    exc = failure(PrefixSearch, with_(OVERRUNNING_ARRAYS, node_shifts=node_shifts))
    assert type(exc) is PanicException
    assert exc.args == (message,)


def test_module_keeps_working_after_an_internal_error(PrefixSearch, PanicException, worked_example):
    exc = failure(PrefixSearch, OVERRUNNING_ARRAYS)
    assert type(exc) is PanicException
    assert worked_example.fuzzy_match("cat", 0) == [("cat", 1, 0)]
    fresh = PrefixSearch.from_internal_data_v2(**terms_arrays(WORKED_EXAMPLE_TERMS))
    assert fresh.fuzzy_match("cut", 0) == [("cut", 1, 0)]
    assert type(failure(PrefixSearch, OVERRUNNING_ARRAYS)) is PanicException


# --- the caller's objects ------------------------------------------------------------------------------------------


def fresh_arrays():
    """Arrays made of objects that no one else refers to."""
    return {
        "node_shifts": [0, 1, 2],
        "child_labels": ["".join(["r", "oot"]), "".join(["a", "x"]), "".join(["b", "y"])],
        "payloads": [None, (1, [0], [5]), tuple([2, [0, 1], [3, 4]])],
        "child_transitions": [1, 2],
        "video_index": [bytes(range(4)), bytes(range(1, 5))],
        "video_top_n": 3,
    }


def all_objects(arrays):
    objs = []
    for value in arrays.values():
        objs.append(value)
        if isinstance(value, list):
            for item in value:
                objs.append(item)
                if isinstance(item, tuple):
                    objs.extend(item)
    return [obj for obj in objs if not isinstance(obj, int) and obj is not None]


@pytest.mark.parametrize(
    "breakage",
    [
        {},
        {"node_shifts": [0, 1]},
        {"payloads_2": [0, [], []]},
        {"payloads_2": (1, [0, 1], [2])},
        {"video_index_1": b"abc"},
        {"node_shifts": [0, 3, 3]},
    ],
    ids=["success", "shape-error", "tuple-error", "mismatch", "id-table-error", "internal-error"],
)
def test_caller_objects_are_unchanged_and_released(PrefixSearch, breakage):
    arrays = fresh_arrays()
    for key, value in breakage.items():
        if key == "payloads_2":
            arrays["payloads"][2] = value
        elif key == "video_index_1":
            arrays["video_index"][1] = value
        else:
            arrays[key] = value
    snapshot = copy.deepcopy(arrays)
    objects = all_objects(arrays)
    before = [sys.getrefcount(obj) for obj in objects]
    try:
        trie = PrefixSearch.from_internal_data_v2(**arrays)
    except BaseException:  # noqa: BLE001 - the failure paths are the point
        trie = None
    assert (trie is None) == bool(breakage)
    after = [sys.getrefcount(obj) for obj in objects]
    assert arrays == snapshot
    assert after == before
    if trie is not None:
        assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
        del trie
        assert [sys.getrefcount(obj) for obj in objects] == before
