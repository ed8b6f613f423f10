"""fuzzy_match: which stored terms lie within max_dist edits, in walk order."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from interpreter import run_isolated
from strategies import near_queries, random_trees
from trie_builders import (
    EMPTY,
    TERMINAL,
    expected_matches,
    flat_arrays,
    graph_arrays,
    levenshtein,
    stored_terms,
    terms_arrays,
)

WORKED_EXAMPLE_ANSWER = [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0), ("cut", 1, 1)]
# a chain root -> a -> a ... in which node 1 ("a") lists itself as its child
SELF_LOOP = {
    "node_shifts": [0, 1],
    "child_labels": ["", "a"],
    "payloads": [None, TERMINAL],
    "child_transitions": [1, 1],
    "video_index": [],
    "video_top_n": 5,
}
# root -> a -> b -> a -> b ... through nodes 1 and 2, both terminal
TWO_NODE_LOOP = {
    "node_shifts": [0, 1, 2],
    "child_labels": ["", "a", "b"],
    "payloads": [None, TERMINAL, TERMINAL],
    "child_transitions": [1, 2, 1],
    "video_index": [],
    "video_top_n": 5,
}


def assert_hits_well_formed(hits):
    assert type(hits) is list
    for hit in hits:
        assert type(hit) is tuple and len(hit) == 3
        term, terminal, dist = hit
        assert type(term) is str
        assert type(terminal) is int and terminal == 1
        assert type(dist) is int


# --- the worked example ------------------------------------------------------------------


def test_worked_example(worked_example):
    hits = worked_example.fuzzy_match("cat", 1)
    assert hits == WORKED_EXAMPLE_ANSWER
    assert_hits_well_formed(hits)


@pytest.mark.parametrize(
    "limit, expected",
    [
        (None, WORKED_EXAMPLE_ANSWER),
        (0, []),  # a result never holds more hits than its limit
        (1, WORKED_EXAMPLE_ANSWER[:1]),
        (2, WORKED_EXAMPLE_ANSWER[:2]),
        (3, WORKED_EXAMPLE_ANSWER[:3]),
        (4, WORKED_EXAMPLE_ANSWER),
        (5, WORKED_EXAMPLE_ANSWER),
        (2**32 - 1, WORKED_EXAMPLE_ANSWER),
    ],
)
def test_limit_keeps_the_first_hits_in_walk_order(worked_example, limit, expected):
    assert worked_example.fuzzy_match("cat", 1, limit) == expected
    assert worked_example.fuzzy_match("cat", limit=limit) == expected


def test_limit_zero_returns_nothing_even_when_everything_matches(worked_example):
    assert worked_example.fuzzy_match("", 2**32 - 1, 0) == []
    assert worked_example.fuzzy_match("cat", 0, 0) == []


def test_children_are_walked_in_stored_order(build):
    # the same terms, every node's children stored in reverse alphabetical order
    trie = build(terms_arrays(["cut", "cat", "cart", "car"], sort_children=False))
    assert trie.fuzzy_match("cat", 1) == [("cut", 1, 1), ("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]


@pytest.mark.parametrize(
    "query, max_dist, expected",
    [
        ("cat", 0, [("cat", 1, 0)]),
        ("cart", 0, [("cart", 1, 0)]),
        ("ca", 0, []),  # a node where no term ends
        ("c", 0, []),
        ("dog", 0, []),
        ("ca", 1, [("car", 1, 1), ("cat", 1, 1)]),
        ("cu", 1, [("cut", 1, 1)]),
        ("cart", 1, [("car", 1, 1), ("cart", 1, 0), ("cat", 1, 1)]),
        ("xyz", 2, []),
        ("ct", 1, [("cat", 1, 1), ("cut", 1, 1)]),
        ("cta", 2, [("car", 1, 2), ("cat", 1, 2), ("cut", 1, 2)]),  # no transposition step
    ],
)
def test_worked_example_queries(worked_example, query, max_dist, expected):
    assert worked_example.fuzzy_match(query, max_dist) == expected


# --- defaults ------------------------------------------------------------------------------


def test_default_max_dist_is_one(build):
    # from "ab": a and abc lie at 1, abcd at 2
    trie = build(terms_arrays(["a", "ab", "abc", "abcd"]))
    at_one = [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1)]
    assert trie.fuzzy_match("ab", 1) == at_one
    assert trie.fuzzy_match("ab") == at_one
    assert trie.fuzzy_match("ab", limit=None) == at_one
    assert trie.fuzzy_match(term="ab") == at_one
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    assert trie.fuzzy_match("ab", 2) == at_one + [("abcd", 1, 2)]


def test_no_limit_by_default(build):
    terms = [chr(ord("a") + i) for i in range(20)]
    trie = build(terms_arrays(terms))
    everything = [(t, 1, 1) for t in terms]
    assert trie.fuzzy_match("z") == everything
    assert trie.fuzzy_match("z", 1, None) == everything


# --- edge cases -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "max_dist, expected",
    [
        (0, []),
        (1, [("a", 1, 1), ("b", 1, 1)]),
        (2, [("a", 1, 1), ("ab", 1, 2), ("b", 1, 1)]),
        (3, [("a", 1, 1), ("ab", 1, 2), ("abc", 1, 3), ("b", 1, 1)]),
    ],
)
@pytest.mark.parametrize("root_terminal", [False, True])
def test_empty_term(build, max_dist, expected, root_terminal):
    arrays = terms_arrays(["a", "ab", "abc", "b"])
    if root_terminal:
        arrays["payloads"][0] = TERMINAL
    assert build(arrays).fuzzy_match("", max_dist) == expected


def test_non_terminal_node_is_passed_but_not_reported(build):
    # root -> a (not terminal) -> b (terminal)
    trie = build(flat_arrays([(None, "", None), (0, "a", None), (1, "b", TERMINAL)]))
    assert trie.fuzzy_match("a", 1) == [("ab", 1, 1)]
    assert trie.fuzzy_match("a", 0) == []


def test_unlabelled_node_hides_its_subtree(build):
    # root -> a -> "" -> b, and a -> c; every node but the root terminal
    nodes = [(None, "", None), (0, "a", TERMINAL), (1, "", TERMINAL), (2, "b", TERMINAL), (1, "c", TERMINAL)]
    trie = build(flat_arrays(nodes))
    assert trie.fuzzy_match("ab", 2) == [("a", 1, 1), ("ac", 1, 1)]
    assert trie.fuzzy_match("a", 0) == [("a", 1, 0)]


@pytest.mark.parametrize(
    "query, max_dist, expected",
    [
        ("😀", 0, [("😀", 1, 0)]),
        ("😀", 1, [("a", 1, 1), ("😀", 1, 0), ("😀𝔸", 1, 1)]),
        ("x", 1, [("a", 1, 1), ("😀", 1, 1)]),
        ("𝔸", 1, [("a", 1, 1), ("😀", 1, 1), ("😀𝔸", 1, 1)]),
        ("😀😀", 1, [("😀", 1, 1), ("😀𝔸", 1, 1)]),
        ("𝔸😀", 2, [("a", 1, 2), ("😀", 1, 1), ("😀𝔸", 1, 2)]),
    ],
)
def test_astral_characters_count_as_one(build, query, max_dist, expected):
    trie = build(terms_arrays(["a", "😀", "😀𝔸"]))
    assert trie.fuzzy_match(query, max_dist) == expected


@pytest.mark.parametrize(
    "query, max_dist, expected",
    [
        ("Cat", 1, [("cat", 1, 1)]),
        ("CAT", 2, []),
        ("e\u0301", 1, []),  # no normalisation: two code points against one
        ("e\u0301", 2, [("é", 1, 2), ("中文", 1, 2)]),
        ("é", 0, [("é", 1, 0)]),
        ("straße", 0, [("straße", 1, 0)]),
        ("strasse", 1, []),
        ("中文", 1, [("中文", 1, 0), ("中文字", 1, 1)]),
    ],
)
def test_code_points_compare_exactly(build, query, max_dist, expected):
    trie = build(terms_arrays(["cat", "é", "straße", "中文", "中文字"]))
    assert trie.fuzzy_match(query, max_dist) == expected


@pytest.mark.parametrize(
    "query, max_dist, expected",
    [
        ("a\x00", 0, []),
        ("a\x00", 1, [("a", 1, 1)]),
        ("\x00", 0, []),
        ("\x00", 1, [("a", 1, 1)]),
        ("\x00a", 0, []),
    ],
)
def test_query_with_nul_characters(build, query, max_dist, expected):
    assert build(terms_arrays(["a"])).fuzzy_match(query, max_dist) == expected


def test_hits_with_equal_distance_keep_walk_order(build):
    trie = build(terms_arrays(["ba", "ab", "bb", "aa"], sort_children=False))
    # children in order of first appearance: b (a, b), a (b, a)
    assert trie.fuzzy_match("cc", 2) == [("ba", 1, 2), ("bb", 1, 2), ("ab", 1, 2), ("aa", 1, 2)]


def test_every_hit_is_a_tuple_with_the_int_one_in_the_middle(build):
    trie = build(terms_arrays(["a", "ab", "😀", "é", "b"]))
    hits = trie.fuzzy_match("a", 3)
    assert len(hits) == 5
    assert_hits_well_formed(hits)


def test_instance_answers_the_same_every_time(worked_example):
    answers = [worked_example.fuzzy_match("cat", 1) for _ in range(3)]
    assert answers == [WORKED_EXAMPLE_ANSWER] * 3


# --- inputs outside the everyday range ----------------------------------------------------------


@pytest.mark.parametrize("query", ["", "a", "cat", "😀", "x" * 50])
@pytest.mark.parametrize("max_dist", [0, 1, 5, 2**16, 2**32 - 1])
@pytest.mark.parametrize("limit", [None, 0, 3])
def test_trie_without_nodes_has_no_hits(build, query, max_dist, limit):
    assert build(EMPTY).fuzzy_match(query, max_dist, limit) == []


@pytest.mark.parametrize("max_dist", [65532, 65533, 65535, 65536, 65537, 65539, 131075, 2**32 - 101, 2**32 - 1])
def test_distances_beyond_16_bits_use_the_full_max_dist(worked_example, max_dist):
    # the low 16 bits of 65536 are 0, of 65537 1, of 65539 3: all four terms
    # lie within the full value, which is what must count
    assert worked_example.fuzzy_match("xyz", max_dist) == [("car", 1, 3), ("cart", 1, 4), ("cat", 1, 3), ("cut", 1, 3)]
    assert worked_example.fuzzy_match("", max_dist) == [("car", 1, 3), ("cart", 1, 4), ("cat", 1, 3), ("cut", 1, 3)]


def test_huge_max_dist_on_a_small_trie(worked_example):
    assert worked_example.fuzzy_match("a", 4294967200) == [("car", 1, 2), ("cart", 1, 3), ("cat", 1, 2), ("cut", 1, 3)]


def test_huge_max_dist_needs_no_huge_allocation():
    result = run_isolated(
        """
        import json
        import _quillon
        from trie_builders import WORKED_EXAMPLE_TERMS, chain_arrays, terms_arrays
        build = lambda arrays: _quillon.PrefixSearch.from_internal_data_v2(**arrays)
        small = build(terms_arrays(WORKED_EXAMPLE_TERMS))
        chain = build(chain_arrays(1000, [1, 999]))
        out = [
            small.fuzzy_match("a", 4294967200),
            small.fuzzy_match("cat", 4294967295, 2),
            [(len(t), m, d) for t, m, d in chain.fuzzy_match("a", 4294967200)],
        ]
        print(json.dumps(out))
        """,
        memory_cap=1 << 30,
    )
    assert result == [
        [["car", 1, 2], ["cart", 1, 3], ["cat", 1, 2], ["cut", 1, 3]],
        [["car", 1, 1], ["cart", 1, 1]],
        [[1, 1, 0], [999, 1, 998]],
    ]


CHAIN_LENGTH = 200_000
CHAIN_TERMINALS = [1, 65535, 65536, 65537, 65538, 100_000, CHAIN_LENGTH - 1]


def test_deep_chain_with_distances_beyond_16_bits():
    queries = [
        ("a", 300_000, None),
        ("b", 300_000, None),
        ("a", 65_536, None),
        ("a", 150_000, None),
        ("", 65_535, None),
        ("a", 4_294_967_200, None),
        ("a", 300_000, 2),
    ]
    result = run_isolated(
        f"""
        import json
        import _quillon
        from trie_builders import chain_arrays
        trie = _quillon.PrefixSearch.from_internal_data_v2(**chain_arrays({CHAIN_LENGTH}, {CHAIN_TERMINALS}))
        out = []
        for query, max_dist, limit in {queries!r}:
            hits = trie.fuzzy_match(query, max_dist, limit)
            out.append([[len(t), t == "a" * len(t), m, d] for t, m, d in hits])
        print(json.dumps(out))
        """,
        memory_cap=2 << 30,
    )

    def hits(depths, offset):
        return [[d, True, 1, d + offset] for d in depths]

    assert result == [
        hits(CHAIN_TERMINALS, -1),
        hits(CHAIN_TERMINALS, 0),
        hits([1, 65535, 65536, 65537], -1),
        hits([1, 65535, 65536, 65537, 65538, 100_000], -1),
        hits([1, 65535], 0),
        hits(CHAIN_TERMINALS, -1),
        hits([1, 65535], -1),
    ]


def test_query_longer_than_16_bits():
    n = 70_000
    result = run_isolated(
        f"""
        import json
        import _quillon
        from trie_builders import terms_arrays
        trie = _quillon.PrefixSearch.from_internal_data_v2(**terms_arrays(["a", "aa", "aaa"]))
        out = [
            trie.fuzzy_match("a" * {n}, 1),
            trie.fuzzy_match("a" * {n}, {n}),
            trie.fuzzy_match("a" * {n}, {n} - 2),
            trie.fuzzy_match("a" * {n}, 4294967295),
            trie.fuzzy_match("b" * {n}, {n}),
            trie.fuzzy_match("b" * {n}, {n} - 1),
        ]
        print(json.dumps(out))
        """,
        memory_cap=2 << 30,
    )
    assert result == [
        [],
        [["a", 1, n - 1], ["aa", 1, n - 2], ["aaa", 1, n - 3]],
        [["aa", 1, n - 2], ["aaa", 1, n - 3]],
        [["a", 1, n - 1], ["aa", 1, n - 2], ["aaa", 1, n - 3]],
        [["a", 1, n], ["aa", 1, n], ["aaa", 1, n]],
        [],
    ]


# --- graphs that are not trees ------------------------------------------------------------------------


@pytest.mark.parametrize("max_dist", range(8))
def test_self_loop_with_small_max_dist(build, max_dist):
    # every "a" * k is a stored term, at distance k - 1 from "a"; the walk
    # goes no farther than len(query) + node count = 3 edits
    bound = min(max_dist, 3)
    expected = [("a" * k, 1, k - 1) for k in range(1, bound + 2)]
    assert build(SELF_LOOP).fuzzy_match("a", max_dist) == expected


@pytest.mark.parametrize("query", ["", "ab", "ba", "abab"])
@pytest.mark.parametrize("max_dist", range(7))
def test_two_node_loop_with_small_max_dist(build, query, max_dist):
    assert build(TWO_NODE_LOOP).fuzzy_match(query, max_dist) == expected_matches(TWO_NODE_LOOP, query, max_dist)


def test_loop_with_huge_max_dist_terminates():
    result = run_isolated(
        f"""
        import json
        import _quillon
        build = lambda arrays: _quillon.PrefixSearch.from_internal_data_v2(**arrays)
        loop = build({SELF_LOOP!r})
        out = [
            [(len(t), t == "a" * len(t), m, d) for t, m, d in loop.fuzzy_match("a", max_dist)]
            for max_dist in (65536, 4294967295)
        ]
        out.append(loop.fuzzy_match("a", 4294967295, 3))
        out.append(len(build({TWO_NODE_LOOP!r}).fuzzy_match("ab", 4294967295)) > 0)
        print(json.dumps(out))
        """,
        memory_cap=4 << 30,
    )
    *unlimited, limited, two_node_found = result
    for hits in unlimited:
        # whatever depth the walk stops at, what it reports is exact and in order
        assert hits, "the loop's first terms lie within any large distance"
        assert hits == [[k, True, 1, k - 1] for k in range(1, len(hits) + 1)]
    assert limited == [["a", 1, 0], ["aa", 1, 1], ["aaa", 1, 2]]
    assert two_node_found is True


# --- against a plain scan of the stored terms ------------------------------------------------------------

ALPHABET = ["a", "b", "é", "ß", "中", "😀", "𝔸"]
# "" marks an unlabelled node; a label's characters after the first are ignored
label_strategy = st.tuples(st.sampled_from(ALPHABET + [""]), st.sampled_from(["", "", "", "x", "é😀"])).map(
    lambda parts: parts[0] + parts[1] if parts[0] else ""
)
limit_strategy = st.one_of(st.none(), st.integers(0, 4))


@st.composite
def tries(draw, max_nodes=25):
    """Random tries: children numbered above their parents, random child order."""
    children = draw(random_trees(max_nodes))
    labels = [draw(label_strategy) for _ in children]
    return graph_arrays(children, labels, [TERMINAL if draw(st.booleans()) else None for _ in children])


@st.composite
def graphs(draw, max_nodes=5):
    """Random graphs: any node may list any nodes as children, itself and its
    ancestors included, some more than once."""
    count = draw(st.integers(1, max_nodes))
    children = [draw(st.lists(st.integers(0, count - 1), max_size=3)) for _ in range(count)]
    labels = [draw(label_strategy) for _ in range(count)]
    payloads = [TERMINAL if draw(st.booleans()) else None for _ in range(count)]
    return graph_arrays(children, labels, payloads, video_top_n=2)


@st.composite
def searches(draw):
    arrays = draw(tries())
    terms = [term for term, _node in stored_terms(arrays)]
    return arrays, draw(near_queries(terms, ALPHABET, max_edits=3, max_length=5))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(search=searches(), max_dist=st.integers(0, 3), limit=limit_strategy)
def test_matches_a_scan_of_all_stored_terms(PrefixSearch, search, max_dist, limit):
    arrays, query = search
    hits = PrefixSearch.from_internal_data_v2(**arrays).fuzzy_match(query, max_dist, limit)
    assert hits == expected_matches(arrays, query, max_dist, limit)
    assert_hits_well_formed(hits)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(arrays=graphs(), query=st.lists(st.sampled_from(ALPHABET), max_size=3).map("".join),
       max_dist=st.integers(0, 4), limit=limit_strategy)
def test_graphs_match_a_scan_of_all_paths(PrefixSearch, arrays, query, max_dist, limit):
    hits = PrefixSearch.from_internal_data_v2(**arrays).fuzzy_match(query, max_dist, limit)
    assert hits == expected_matches(arrays, query, max_dist, limit)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.sampled_from(ALPHABET), min_size=1, max_size=8).map("".join),
       st.lists(st.sampled_from(ALPHABET), max_size=8).map("".join))
def test_single_term_distance(PrefixSearch, stored, query):
    trie = PrefixSearch.from_internal_data_v2(**terms_arrays([stored]))
    dist = levenshtein(query, stored)
    assert trie.fuzzy_match(query, dist) == [(stored, 1, dist)]
    if dist:
        assert trie.fuzzy_match(query, dist - 1) == []
