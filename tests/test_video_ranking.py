"""fuzzy_match_video: node weights, the prefix-node fallback, thresholds,
limits, id texts, arguments, and a comparison with a brute-force model."""

from __future__ import annotations

import fractions
import math

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _quillon import PrefixSearch
from stored_model import (
    INT32,
    Model,
    candidates_for_call,
    check_ranking,
    decode,
    encode,
    examples,
    term_model,
)
from strategies import near_queries, random_trees, summed_payloads
from trie_builders import lay_out, terms_arrays

IDS = [1000 + i for i in range(12)]  # video index i has the id text str(1000 + i)


def ids(*indexes):
    return [str(1000 + i) for i in indexes]


def from_model(model: Model) -> PrefixSearch:
    """An instance holding exactly ``model``'s payloads (decoding does not
    propagate)."""
    return PrefixSearch.from_bytes(encode(model))


def model_of(terms, non_terminal=()):
    return term_model(terms, non_terminal=non_terminal, int_ids=IDS)


def fuzzy(dist, qlen):
    return (1.0 - dist / qlen) * 0.05


PREFIX = 0.85


# --- the worked example ------------------------------------------------------

WORKED_TERMS = {"cat": (10, [7, 9], [6, 4]), "car": (20, [9], [20])}
WORKED_RESULT = [("1007", 0.5625), ("1009", 0.43750000000000006)]


@pytest.fixture(scope="module")
def worked():
    return PrefixSearch.from_internal_data_v2(
        **terms_arrays(WORKED_TERMS, [i.to_bytes(4, "little") for i in IDS], 10)
    )


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"max_dist": 1},
        {"limit": None, "include_prefix_nodes": None, "min_score": None},
        {"limit": 2},
        {"limit": 5, "min_score": 0.01},
    ],
)
def test_worked_example(worked, kwargs):
    assert worked.fuzzy_match_video("cat", **kwargs) == WORKED_RESULT


def test_worked_example_by_hand():
    # car comes first in the walk: its weighted counts are added first
    w = fuzzy(1, 3)
    total = 0.0 + 20 * w + 10 * 1.0
    assert [6 * 1.0 / total, (0.0 + 20 * w + 4 * 1.0) / total] == [s for _t, s in WORKED_RESULT]


def test_worked_example_after_a_round_trip(worked):
    again = PrefixSearch.from_bytes(worked.to_bytes())
    assert again.fuzzy_match_video("cat") == WORKED_RESULT


def test_worked_example_variations(worked):
    assert worked.fuzzy_match_video("cat", limit=1) == WORKED_RESULT[:1]
    assert worked.fuzzy_match_video("cat", 0) == [("1007", 0.6), ("1009", 0.4)]
    assert worked.fuzzy_match_video("car", 0) == [("1009", 1.0)]
    w = fuzzy(1, 3)
    total = 0.0 + 20 * 1.0 + 10 * w
    both = [("1009", (20 * 1.0 + 4 * w) / total), ("1007", 6 * w / total)]
    assert both[1][1] < 0.01
    assert worked.fuzzy_match_video("car", min_score=0.0) == both
    assert worked.fuzzy_match_video("car") == both[:1]


# --- node weights ------------------------------------------------------------


def case_exact():
    model = model_of({"ab": (8, [0, 1], [6, 2])})
    return model, ("ab",), {}, [(ids(0)[0], 0.75), (ids(1)[0], 0.25)]


def case_fuzzy_one():
    model = model_of({"ab": (10, [0], [10]), "abc": (30, [1], [30])})
    w = fuzzy(1, 2)
    total = 0.0 + 10 * 1.0 + 30 * w
    return model, ("ab",), {}, [(ids(0)[0], 10 * 1.0 / total), (ids(1)[0], 30 * w / total)]


def case_fuzzy_two():
    # "ab" lies 2 edits from "abcd" (qlen 4): weight (1 - 2/4) * 0.05
    model = model_of({"ab": (40, [1], [40]), "abcd": (10, [0], [10])})
    w = fuzzy(2, 4)
    total = 0.0 + 40 * w + 10 * 1.0
    return model, ("abcd", 2), {}, [(ids(0)[0], 10 * 1.0 / total), (ids(1)[0], 40 * w / total)]


def case_far_nodes_ignored():
    # with "ab" and max_dist 2, "x" (2 edits) adds nothing, not even to the total
    model = model_of({"ab": (10, [0], [10]), "b": (100, [2], [100]), "x": (1000, [1], [1000])})
    w = fuzzy(1, 2)
    total = 0.0 + 10 * 1.0 + 100 * w
    return model, ("ab", 2), {}, [(ids(0)[0], 10 / total), (ids(2)[0], 100 * w / total)]


def case_only_far_nodes():
    model = model_of({"x": (5, [0], [5]), "yz": (5, [1], [5])})
    return model, ("ab", 2), {"min_score": -1.0}, []


def case_prefix_exact():
    model = model_of({"ab": (20, [0], [5]), "abc": (40, [1], [40])}, non_terminal={"ab"})
    w = fuzzy(1, 2)
    total = 0.0 + 20 * (1.0 * PREFIX) + 40 * w
    expected = [(ids(1)[0], 40 * w / total), (ids(0)[0], 5 * (1.0 * PREFIX) / total)]
    return model, ("ab",), {"include_prefix_nodes": True}, sorted(expected, key=lambda e: -e[1])


def case_prefix_fuzzy():
    model = model_of({"a": (10, [0], [10]), "ab": (4, [1], [4])}, non_terminal={"a"})
    w = fuzzy(1, 2) * PREFIX
    total = 0.0 + 10 * w + 4 * 1.0
    return model, ("ab",), {"include_prefix_nodes": True}, [(ids(1)[0], 4 / total), (ids(0)[0], 10 * w / total)]


def case_prefix_nodes_skipped_when_false():
    model = model_of({"a": (10, [0], [10]), "ab": (4, [1], [4])}, non_terminal={"a"})
    return model, ("ab",), {"include_prefix_nodes": False}, [(ids(1)[0], 1.0)]


def case_prefix_nodes_skipped_when_absent():
    model = model_of({"a": (10, [0], [10]), "ab": (4, [1], [4])}, non_terminal={"a"})
    return model, ("ab",), {}, [(ids(1)[0], 1.0)]


FALLBACK_TERMS = {
    "a": (30, [0, 1], [20, 10]),
    "ab": (30, [0, 1], [20, 10]),
    "abc": (30, [0, 1], [20, 10]),
    "abcd": (30, [0, 1], [20, 10]),
    "abcde": (30, [0, 1], [20, 10]),
    "abcdef": (30, [0, 1], [20, 10]),
}
FALLBACK_PREFIXES = {"a", "ab", "abc", "abcd", "abcde"}


def fallback_expected():
    # prefix nodes a (1 edit), ab (exact), abc (1 edit), all scaled by 0.85
    w1 = fuzzy(1, 2) * PREFIX
    w0 = 1.0 * PREFIX
    total = 0.0 + 30 * w1 + 30 * w0 + 30 * w1
    v0 = 0.0 + 20 * w1 + 20 * w0 + 20 * w1
    v1 = 0.0 + 10 * w1 + 10 * w0 + 10 * w1
    return [(ids(0)[0], v0 / total), (ids(1)[0], v1 / total)]


def case_fallback_when_no_terminal_node():
    model = model_of(FALLBACK_TERMS, non_terminal=FALLBACK_PREFIXES)
    return model, ("ab",), {}, fallback_expected()


def case_fallback_same_as_true():
    model = model_of(FALLBACK_TERMS, non_terminal=FALLBACK_PREFIXES)
    return model, ("ab",), {"include_prefix_nodes": True}, fallback_expected()


def case_no_fallback_when_false():
    model = model_of(FALLBACK_TERMS, non_terminal=FALLBACK_PREFIXES)
    return model, ("ab",), {"include_prefix_nodes": False}, []


def case_no_fallback_when_terminal_node_adds_nothing():
    # the terminal run finds "xy", 2 edits from "ab": it weighs nothing, yet
    # it was found, so the prefix nodes are not consulted
    terms = dict(FALLBACK_TERMS, xy=(5, [2], [5]))
    model = model_of(terms, non_terminal=FALLBACK_PREFIXES)
    return model, ("ab", 2), {"min_score": -1.0}, []


def case_no_fallback_when_terminal_node_has_no_payload():
    terms = dict(FALLBACK_TERMS, ab=None)
    model = model_of(terms, non_terminal=FALLBACK_PREFIXES - {"ab"})
    return model, ("ab", 1), {"min_score": -1.0}, []


def case_terminal_and_prefix_nodes_together():
    terms = dict(FALLBACK_TERMS, ab=(30, [0, 1], [20, 10]))
    model = model_of(terms, non_terminal=FALLBACK_PREFIXES - {"ab"})
    w1 = fuzzy(1, 2) * PREFIX
    total = 0.0 + 30 * w1 + 30 * 1.0 + 30 * w1
    return (
        model,
        ("ab",),
        {"include_prefix_nodes": True},
        [(ids(0)[0], (0.0 + 20 * w1 + 20 * 1.0 + 20 * w1) / total), (ids(1)[0], (0.0 + 10 * w1 + 10 * 1.0 + 10 * w1) / total)],
    )


def case_zero_total_count():
    model = model_of({"ab": (0, [0, 1], [5, 3])})
    return model, ("ab",), {"min_score": -1.0}, []


def case_counts_above_the_total():
    model = model_of({"ab": (4, [0, 1], [8, 1])})
    return model, ("ab",), {}, [(ids(0)[0], 2.0), (ids(1)[0], 0.25)]


def case_repeated_id_in_one_payload():
    model = model_of({"ab": (10, [0, 1, 0], [3, 4, 2])})
    return model, ("ab",), {}, [(ids(0)[0], 0.5), (ids(1)[0], 0.4)]


def case_empty_term():
    model = model_of({"a": (5, [0], [5]), "b": (5, [1], [5])}, non_terminal={"b"})
    return model, ("", 3), {"min_score": -1.0}, []


def case_empty_term_with_prefix_nodes():
    model = model_of({"a": (5, [0], [5]), "b": (5, [1], [5])}, non_terminal={"b"})
    return model, ("", 1), {"include_prefix_nodes": True, "min_score": -1.0}, []


def case_astral_code_point_counts_once():
    # "\U0001d11ea" is 2 code points: "\U0001d11e" lies 1 edit away, weight 0.025
    model = model_of({"\U0001d11e": (10, [1], [10]), "\U0001d11ea": (10, [0], [10])})
    w = fuzzy(1, 2)
    total = 0.0 + 10 * w + 10 * 1.0
    return model, ("\U0001d11ea",), {}, [(ids(0)[0], 10 / total), (ids(1)[0], 10 * w / total)]


WEIGHT_CASES = [
    case_exact,
    case_fuzzy_one,
    case_fuzzy_two,
    case_far_nodes_ignored,
    case_only_far_nodes,
    case_prefix_exact,
    case_prefix_fuzzy,
    case_prefix_nodes_skipped_when_false,
    case_prefix_nodes_skipped_when_absent,
    case_fallback_when_no_terminal_node,
    case_fallback_same_as_true,
    case_no_fallback_when_false,
    case_no_fallback_when_terminal_node_adds_nothing,
    case_no_fallback_when_terminal_node_has_no_payload,
    case_terminal_and_prefix_nodes_together,
    case_zero_total_count,
    case_counts_above_the_total,
    case_repeated_id_in_one_payload,
    case_empty_term,
    case_empty_term_with_prefix_nodes,
    case_astral_code_point_counts_once,
]


@pytest.mark.parametrize("case", WEIGHT_CASES, ids=[c.__name__[5:] for c in WEIGHT_CASES])
def test_weights(case):
    model, args, kwargs, expected = case()
    assert from_model(model).fuzzy_match_video(*args, **kwargs) == expected


@pytest.mark.parametrize("flag", [numpy.bool_(True), numpy.array([1, 0]).astype(bool)[0]])
def test_numpy_true_is_a_flag(flag):
    model = model_of(FALLBACK_TERMS, non_terminal=FALLBACK_PREFIXES | {"abcdef"})
    search = from_model(model)
    assert search.fuzzy_match_video("abcdef", 0, include_prefix_nodes=flag) == [
        (ids(0)[0], 20 * PREFIX / (30 * PREFIX)),
        (ids(1)[0], 10 * PREFIX / (30 * PREFIX)),
    ]
    assert search.fuzzy_match_video("abcdef", 0) == search.fuzzy_match_video("abcdef", 0, include_prefix_nodes=flag)
    assert search.fuzzy_match_video("abcdef", 0, include_prefix_nodes=numpy.bool_(False)) == []


def test_numpy_false_is_a_flag():
    model = model_of(FALLBACK_TERMS, non_terminal=FALLBACK_PREFIXES)
    assert from_model(model).fuzzy_match_video("ab", include_prefix_nodes=numpy.bool_(False)) == []
    assert from_model(model).fuzzy_match_video("ab", include_prefix_nodes=numpy.bool_(True)) == fallback_expected()


def test_video_reached_through_several_nodes_accumulates():
    # built and propagated: ca and c hold cab's and cat's videos summed
    search = PrefixSearch.from_internal_data_v2(
        **terms_arrays({"cat": (4, [0], [4]), "cab": (6, [0, 1], [2, 4])}, [i.to_bytes(4, "little") for i in IDS], 10)
    )
    # walk: c (1 edit, prefix), ca (exact, prefix), cab (1 edit), cat (1 edit)
    w_c = fuzzy(1, 2) * PREFIX
    w_ca = 1.0 * PREFIX
    w_leaf = fuzzy(1, 2)
    total = 0.0 + 10 * w_c + 10 * w_ca + 6 * w_leaf + 4 * w_leaf
    video0 = 0.0 + 6 * w_c + 6 * w_ca + 2 * w_leaf + 4 * w_leaf
    video1 = 0.0 + 4 * w_c + 4 * w_ca + 4 * w_leaf
    assert search.fuzzy_match_video("ca", include_prefix_nodes=True) == [
        (ids(0)[0], video0 / total),
        (ids(1)[0], video1 / total),
    ]
    # the terminal nodes alone
    total = 0.0 + 6 * w_leaf + 4 * w_leaf
    assert search.fuzzy_match_video("ca") == [
        (ids(0)[0], (0.0 + 2 * w_leaf + 4 * w_leaf) / total),
        (ids(1)[0], 4 * w_leaf / total),
    ]


# --- limit and threshold ----------------------------------------------------

# one exact node: video i scores counts[i] / 1000
LADDER = model_of({"q": (1000, [0, 1, 2, 3, 4, 5], [9, 400, 10, 0, 250, 331])})
LADDER_ALL = [
    (ids(1)[0], 0.4),
    (ids(5)[0], 0.331),
    (ids(4)[0], 0.25),
    (ids(2)[0], 0.01),
    (ids(0)[0], 0.009),
    (ids(3)[0], 0.0),
]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, LADDER_ALL[:4]),
        ({"min_score": None}, LADDER_ALL[:4]),
        ({"min_score": 0.01}, LADDER_ALL[:4]),
        ({"min_score": 0.0}, LADDER_ALL),
        ({"min_score": -0.5}, LADDER_ALL),
        ({"min_score": -math.inf}, LADDER_ALL),
        ({"min_score": 0.25}, LADDER_ALL[:3]),
        ({"min_score": 0.2500000001}, LADDER_ALL[:2]),
        ({"min_score": 0.4}, LADDER_ALL[:1]),
        ({"min_score": 0.41}, []),
        ({"min_score": 1}, []),
        ({"min_score": math.nan}, []),
        ({"min_score": math.inf}, []),
        ({"min_score": fractions.Fraction(1, 4)}, LADDER_ALL[:3]),
        ({"min_score": numpy.float64(0.331)}, LADDER_ALL[:2]),
        ({"limit": 0}, []),
        ({"limit": 0, "min_score": -1.0}, []),
        ({"limit": 1}, LADDER_ALL[:1]),
        ({"limit": 3}, LADDER_ALL[:3]),
        ({"limit": 4}, LADDER_ALL[:4]),
        ({"limit": 5}, LADDER_ALL[:4]),
        ({"limit": 4294967295}, LADDER_ALL[:4]),
        ({"limit": 5, "min_score": 0.0}, LADDER_ALL[:5]),
        ({"limit": 2, "min_score": 0.3}, LADDER_ALL[:2]),
        ({"limit": None}, LADDER_ALL[:4]),
        ({"limit": True}, LADDER_ALL[:1]),
    ],
)
def test_limit_and_threshold(kwargs, expected):
    assert from_model(LADDER).fuzzy_match_video("q", 0, **kwargs) == expected


@pytest.mark.parametrize("min_score, kept", [(1, 2), (1.0, 2), (True, 2), (1.5, 1), (2.0, 1), (2.5, 0)])
def test_min_score_of_one_and_above(min_score, kept):
    model = model_of({"q": (4, [0, 1, 2], [4, 8, 3])})  # scores 1.0, 2.0, 0.75
    result = from_model(model).fuzzy_match_video("q", min_score=min_score)
    assert result == [(ids(1)[0], 2.0), (ids(0)[0], 1.0)][:kept]


def test_equal_scores_and_the_limit():
    model = model_of({"q": (10, [0, 1, 2, 3], [3, 3, 3, 1])})
    search = from_model(model)
    tied = {(i, 0.3) for i in ids(0, 1, 2)}
    assert set(search.fuzzy_match_video("q")) == tied | {(ids(3)[0], 0.1)}
    assert search.fuzzy_match_video("q")[-1] == (ids(3)[0], 0.1)
    for limit in (1, 2, 3):
        result = search.fuzzy_match_video("q", limit=limit)
        assert len(result) == limit and len(set(result)) == limit and set(result) <= tied


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, [("1000", 0.3), ("1001", 0.1)]),
        (1, []),
        (2, [("1000", 0.3)]),
        (3, [("1000", 0.3)]),
        (4, [("1000", 0.3), ("1001", 0.1)]),
    ],
)
def test_ids_outside_the_table_are_left_out_after_the_limit(limit, expected):
    # video indexes 7 and 5 lie beyond the two-entry table but score best
    model = term_model({"q": (10, [7, 0, 5, 1], [4, 3, 2, 1])}, int_ids=[1000, 1001])
    assert from_model(model).fuzzy_match_video("q", limit=limit) == expected


# --- id texts ---------------------------------------------------------------


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"\xff\xff\xff\xff", "4294967295"),
        (b"\x00\x00\x00\x80", "2147483648"),
        (b"\x00\x00\x00\x00", "0"),
        (b"\x07\x00\x00\x00", "7"),
        (b"\xe8\x03\x00\x00", "1000"),
        (b"\x01\x02\x03\x04", "67305985"),
        (bytes(range(16)), "00010203-0405-0607-0809-0a0b0c0d0e0f"),
        (b"\xff" * 16, "ffffffff-ffff-ffff-ffff-ffffffffffff"),
        (bytes(16), "00000000-0000-0000-0000-000000000000"),
        (bytes.fromhex("a1b2c3d4e5f60718293a4b5c6d7e8f90"), "a1b2c3d4-e5f6-0718-293a-4b5c6d7e8f90"),
    ],
)
def test_id_texts(raw, text):
    search = PrefixSearch.from_internal_data_v2([0, 1], ["", "v"], [None, (2, [0], [2])], [1], [raw], 4)
    assert search.fuzzy_match_video("v") == [(text, 1.0)]


def test_id_texts_pick_the_right_table_entry():
    uuids = [bytes([i] * 16) for i in range(3)]
    search = PrefixSearch.from_internal_data_v2(
        [0, 1], ["", "v"], [None, (10, [2, 0, 1], [5, 3, 2])], [1], uuids, 4
    )
    assert search.fuzzy_match_video("v") == [
        ("02020202-0202-0202-0202-020202020202", 0.5),
        ("00000000-0000-0000-0000-000000000000", 0.3),
        ("01010101-0101-0101-0101-010101010101", 0.2),
    ]


def test_result_shape():
    result = from_model(LADDER).fuzzy_match_video("q", 0)
    assert type(result) is list
    assert all(type(item) is tuple and len(item) == 2 for item in result)
    assert all(type(item[0]) is str and type(item[1]) is float for item in result)
    assert [s for _t, s in result] == sorted((s for _t, s in result), reverse=True)


def test_repeated_calls_agree_and_leave_the_trie_alone():
    search = from_model(LADDER)
    data = search.to_bytes()
    first = search.fuzzy_match_video("q", 0, min_score=0.0)
    for _ in range(5):
        assert search.fuzzy_match_video("q", 0, min_score=0.0) == first
    assert search.to_bytes() == data


def test_empty_trie_ranks_nothing():
    search = PrefixSearch.from_bytes(bytes(8))
    assert search.fuzzy_match_video("a") == []
    assert search.fuzzy_match_video("", include_prefix_nodes=True) == []


# --- arguments ---------------------------------------------------------------


@pytest.fixture(scope="module")
def ladder():
    return from_model(LADDER)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("q",), {"include_prefix_nodes": 1}, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        (("q",), {"include_prefix_nodes": 0}, "argument 'include_prefix_nodes': 'int' object cannot be converted to 'PyBool'"),
        (("q",), {"include_prefix_nodes": "yes"}, "argument 'include_prefix_nodes': 'str' object cannot be converted to 'PyBool'"),
        ((b"q",), {}, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'term': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {}, "PrefixSearch.fuzzy_match_video() missing 1 required positional argument: 'term'"),
        (("q", 1, None, None, None, None), {}, "PrefixSearch.fuzzy_match_video() takes from 1 to 5 positional arguments but 6 were given"),
        (("q",), {"term": "q"}, "PrefixSearch.fuzzy_match_video() got multiple values for argument 'term'"),
        (("q",), {"prefix": True}, "PrefixSearch.fuzzy_match_video() got an unexpected keyword argument 'prefix'"),
    ],
)
def test_argument_errors_with_exact_text(ladder, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ladder.fuzzy_match_video(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, prefix",
    [
        (("a", None), {}, "argument 'max_dist': "),
        (("a", 1.0), {}, "argument 'max_dist': "),
        (("a",), {"limit": "2"}, "argument 'limit': "),
        (("a",), {"min_score": "0.5"}, "argument 'min_score': "),
        (("a",), {"min_score": [0.5]}, "argument 'min_score': "),
    ],
)
def test_argument_type_errors_are_prefixed(ladder, args, kwargs, prefix):
    with pytest.raises(TypeError) as info:
        ladder.fuzzy_match_video(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(prefix)


@pytest.mark.parametrize(
    "kwargs",
    [{"max_dist": -1}, {"max_dist": 4294967296}, {"limit": -1}, {"limit": 2**32}, {"limit": 2**64}],
)
def test_out_of_range_counts(ladder, kwargs):
    with pytest.raises(OverflowError) as info:
        ladder.fuzzy_match_video("q", **kwargs)
    assert not str(info.value).startswith("argument")


def test_keywords_in_any_order(ladder):
    assert ladder.fuzzy_match_video(
        min_score=0.0, include_prefix_nodes=False, limit=2, max_dist=0, term="q"
    ) == LADDER_ALL[:2]
    assert ladder.fuzzy_match_video("q", 0, 2, False, 0.0) == LADDER_ALL[:2]


# --- against the brute-force model --------------------------------------------

LETTERS = "aaabbc\U0001d11e"


@st.composite
def hand_made_tries(draw):
    """A consistent tree of up to 14 nodes: random shape, nodes numbered in
    any order (children may be numbered below their parent), labels with an
    occasional 0, payloads on any node or none, ids partly beyond the table."""
    kids = draw(random_trees(14, renumber=True))
    n = len(kids)
    codes = [ord(c) for c in LETTERS]
    labels = [0] + [0 if draw(st.integers(0, 9)) == 0 else draw(st.sampled_from(codes)) for _ in range(1, n)]
    table = draw(st.integers(0, 5))
    payloads, terminal = [], []
    for _ in range(n):
        if draw(st.integers(0, 3)):
            pairs = draw(st.lists(st.tuples(st.integers(0, table + 1), st.integers(0, 40)), max_size=4))
            total = draw(st.one_of(st.just(sum(c for _v, c in pairs)), st.integers(0, 100)))
            payloads.append((total, [v for v, _c in pairs], [c for _v, c in pairs]))
        else:
            payloads.append(None)
        terminal.append(draw(st.booleans()))
    shifts, transitions = lay_out(kids)
    if draw(st.booleans()):
        uuids, ints, mode = [bytes([i]) * 16 for i in range(table)], [], 0
    else:
        uuids, ints, mode = [], [7 * i for i in range(table)], INT32
    return Model(shifts, labels, transitions, payloads, uuids, ints, mode, terminal)


def path_texts(model: Model) -> list:
    """The text of every node reachable from the root (a tree)."""
    texts, stack = [], [(0, "")]
    while stack:
        node, text = stack.pop()
        for child in model.children(node):
            label = model.child_labels[child]
            if label:
                texts.append(text + chr(label))
                stack.append((child, text + chr(label)))
    return texts


ranking_args = st.fixed_dictionaries(
    {},
    optional={
        "max_dist": st.integers(0, 3),
        "limit": st.one_of(st.none(), st.integers(0, 4)),
        "include_prefix_nodes": st.one_of(st.none(), st.booleans()),
        "min_score": st.one_of(st.none(), st.sampled_from([0.0, -1.0, 0.05, 0.2, 0.5, math.nan])),
    },
)

PROPERTY = settings(
    max_examples=examples(300),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def compare(search, model, query, kwargs):
    expected = candidates_for_call(model, query, kwargs)
    check_ranking(search.fuzzy_match_video(query, **kwargs), model, expected, kwargs.get("limit"))


@PROPERTY
@given(model=hand_made_tries(), kwargs=ranking_args, data=st.data())
def test_ranking_matches_the_model_on_hand_made_tries(model, kwargs, data):
    query = data.draw(near_queries(path_texts(model), LETTERS), label="query")
    compare(from_model(model), model, query, kwargs)


@st.composite
def built_terms(draw):
    terms = draw(
        st.dictionaries(
            st.text(st.sampled_from(LETTERS), min_size=1, max_size=4),
            summed_payloads(st.integers(0, 5), st.integers(0, 40), max_size=4),
            max_size=8,
        )
    )
    return terms_arrays(
        terms,
        [(7 * i).to_bytes(4, "little") for i in range(draw(st.integers(0, 6)))],
        draw(st.integers(1, 5)),
        reverse=draw(st.booleans()),
    )


@PROPERTY
@given(arrays=built_terms(), kwargs=ranking_args, data=st.data())
def test_ranking_matches_the_model_on_built_tries(arrays, kwargs, data):
    search = PrefixSearch.from_internal_data_v2(**arrays)
    # the propagated payloads, as stored
    model = decode(search.to_bytes())
    query = data.draw(near_queries(path_texts(model), LETTERS), label="query")
    compare(search, model, query, kwargs)
