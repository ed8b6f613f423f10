"""Behaviour at the edges of size: a trie of ten million nodes, a payload of a
million videos, a query of ten thousand code points and the largest
max_dist. The large cases run in a child process, which reports the time
and the peak memory they took."""

from __future__ import annotations

import random

import pytest

from interpreter import run_isolated
from trie_builders import expected_matches, levenshtein, terms_arrays

import _quillon

PrefixSearch = _quillon.PrefixSearch

# --- ten million nodes --------------------------------------------------------------------------------

# A ten-way tree numbered like a heap: node i's children are 10i + 1 to
# 10i + 10, labelled "0" to "9", so node ids grow downwards and the term of a
# node is the digits of its path. Every third node carries a payload of one
# video out of 100,000 (4-byte ids).
BIG_NODES = 10_000_000
BIG_VIDEOS = 100_000
BIG_TOP_N = 8


def digit_node(term: str) -> int:
    node = 0
    for digit in term:
        node = 10 * node + 1 + int(digit)
    return node


def digit_payload(node: int):
    return (node % 7 + 1, [node % BIG_VIDEOS], [node % 7 + 1]) if node % 3 == 0 else None


def digit_matches(query: str, max_dist: int):
    """What fuzzy_match answers on the ten-way tree: every stored digit
    string within max_dist edits of the query, in walk order (children by
    digit, a node before those below it: the order of sorted())."""

    def edits(t):
        for i in range(len(t) + 1):
            yield t[:i] + t[i + 1 :]
            for d in "0123456789":
                yield t[:i] + d + t[i + 1 :]
                yield t[:i] + d + t[i:]

    near = {query}
    for _ in range(max_dist):
        near |= {edit for t in near for edit in edits(t)}
    stored = [t for t in near if t and digit_node(t) < BIG_NODES and digit_payload(digit_node(t))]
    return [[t, 1, levenshtein(query, t)] for t in sorted(stored)]


BIG_TRIE = f"""
import json, resource, time
import _quillon
from test_limits import BIG_NODES, BIG_TOP_N, BIG_VIDEOS, digit_payload

P = _quillon.PrefixSearch
n = BIG_NODES
clock = time.perf_counter()
arrays = dict(
    node_shifts=[min(10 * i, n - 1) for i in range(n)],
    child_labels=[""] + ["0123456789"[(i - 1) % 10] for i in range(1, n)],
    payloads=[digit_payload(i) for i in range(n)],
    child_transitions=list(range(1, n)),
    video_index=[j.to_bytes(4, "little") for j in range(BIG_VIDEOS)],
    video_top_n=BIG_TOP_N,
)
seconds = {{"arrays": time.perf_counter() - clock}}

def timed(name, action):
    global clock
    clock = time.perf_counter()
    result = action()
    seconds[name] = time.perf_counter() - clock
    return result

built = timed("build", lambda: P.from_internal_data_v2(**arrays))
del arrays
stored = timed("to_bytes", built.to_bytes)
restored = timed("from_bytes", lambda: P.from_bytes(stored))
queries = [("2718281", 0, None), ("2718281", 1, None), ("999999", 2, 5), ("", 1, None)]
answers = [[s.fuzzy_match(*q) for q in queries] + [s.fuzzy_match_video("27182", 1)] for s in (built, restored)]
print(json.dumps({{
    "bytes": len(stored),
    "same bytes": restored.to_bytes() == stored,
    "same answers": answers[0] == answers[1],
    "answers": answers[1],
    "seconds": seconds,
    "max_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}}))
"""


@pytest.mark.heavy
def test_ten_million_nodes_build_and_round_trip():
    result = run_isolated(BIG_TRIE, memory_cap=12 << 30, timeout=600)
    assert result["same bytes"] and result["same answers"], result
    exact, near, far, empty, videos = result["answers"]
    assert digit_payload(digit_node("2718281"))
    assert exact == [["2718281", 1, 0]]
    assert near == digit_matches("2718281", 1)
    assert far == digit_matches("999999", 2)[:5]
    assert empty == digit_matches("", 1)
    # the videos of "27182" and of its neighbours, best first
    assert videos and all(0 <= int(v) < BIG_VIDEOS for v, _score in videos)
    assert [score for _v, score in videos] == sorted((score for _v, score in videos), reverse=True)


# --- a million videos ---------------------------------------------------------------------------------

MANY_VIDEOS = 1_000_000

MANY_VIDEOS_RUN = f"""
import json, resource, time
import _quillon

P = _quillon.PrefixSearch
m = {MANY_VIDEOS}
# "a" -> "ab"; "ab" counts every video (video v counted v + 1 times) and
# the largest total, "a" counts three of them; ids are 4 bytes, video v's id
# being 7v + 1.
counts = list(range(1, m + 1))
total = 4294967295
arrays = dict(
    node_shifts=[0, 1, 2],
    child_labels=["", "a", "b"],
    payloads=[None, (6, [0, 1, 2], [1, 2, 3]), (total, list(range(m)), counts)],
    child_transitions=[1, 2],
    video_index=[(7 * v + 1).to_bytes(4, "little") for v in range(m)],
    video_top_n=4294967295,
)
seconds = {{}}
clock = time.perf_counter()
built = P.from_internal_data_v2(**arrays)
seconds["build"] = time.perf_counter() - clock
clock = time.perf_counter()
stored = built.to_bytes()
restored = P.from_bytes(stored)
seconds["round trip"] = time.perf_counter() - clock
clock = time.perf_counter()
everything = restored.fuzzy_match_video("ab", 0, min_score=0.0)
seconds["ranking"] = time.perf_counter() - clock
merged = restored.fuzzy_match_video("a", 0, 4, min_score=0.0)
print(json.dumps({{
    "same bytes": restored.to_bytes() == stored,
    "bytes": len(stored),
    "total": total,
    "count": len(everything),
    "exact": everything == [(str(7 * v + 1), (v + 1) / total) for v in reversed(range(m))],
    "head": everything[:3],
    "merged": merged,
    "default min score": len(restored.fuzzy_match_video("ab", 0)),
    "seconds": seconds,
    "max_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}}))
"""


@pytest.mark.heavy
def test_a_payload_of_a_million_videos():
    result = run_isolated(MANY_VIDEOS_RUN, memory_cap=8 << 30, timeout=600)
    assert result["same bytes"]
    assert result["count"] == MANY_VIDEOS
    # best first, each video's share of the node's count, ids in decimal
    assert result["exact"], result["head"]
    # "a" merged its own three videos into the million, and its total
    # stays at the largest count instead of wrapping
    m, total = MANY_VIDEOS, result["total"]
    assert result["merged"] == [[str(7 * v + 1), (v + 1) / total] for v in range(m - 1, m - 5, -1)]
    # no single video holds 1% of the total
    assert result["default min score"] == 0


# --- ten thousand code points ---------------------------------------------------------------------------


def long_query(n=10_000):
    """n code points, none of them "a" or "b": CJK ideographs with an emoji
    every seventh place."""
    return "".join(chr(0x1F600 + i % 50) if i % 7 == 6 else chr(0x4E00 + i % 500) for i in range(n))


LONG = long_query()
LONG_TERMS = {
    LONG: 0,
    LONG[:4321] + "x" + LONG[4322:]: 1,
    LONG[:-1]: 1,
    LONG + "z": 1,
    LONG[:5000]: 5000,
    "ab": len(LONG),  # no code point in common
}

LONG_QUERY_RUN = f"""
import json, resource, time
import _quillon
from test_limits import LONG, LONG_TERMS
from trie_builders import flat_arrays, term_nodes

# Only the query itself counts a video (id 7, five times); the other terms
# count none.
nodes = [(parent, label, p and (0, [], [])) for parent, label, p in term_nodes(list(LONG_TERMS))]
child = {{(parent, label): i for i, (parent, label, _p) in enumerate(nodes) if i}}
node = 0
for ch in LONG:
    node = child[(node, ch)]
nodes[node] = (*nodes[node][:2], (5, [0], [5]))
s = _quillon.PrefixSearch.from_internal_data_v2(**flat_arrays(nodes, video_index=[(7).to_bytes(4, "little")]))
clock = time.perf_counter()
answers = {{
    str(max_dist): s.fuzzy_match(LONG, max_dist)
    for max_dist in (0, 1, 4999, 5000, 4294967295)
}}
ranked = s.fuzzy_match_video(LONG, 1)
seconds = time.perf_counter() - clock
print(json.dumps({{
    "answers": answers,
    "ranked": ranked,
    "seconds": seconds,
    "max_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
}}))
"""


def test_a_query_of_ten_thousand_code_points():
    result = run_isolated(LONG_QUERY_RUN, memory_cap=4 << 30, timeout=600)

    def within(bound):
        # walk order: children by code point, a node before those below it,
        # which is the order of sorted() on the terms
        return [[t, 1, d] for t, d in sorted(LONG_TERMS.items()) if d <= bound]

    answers = result["answers"]
    assert answers["0"] == within(0)
    assert answers["1"] == within(1)
    assert answers["4999"] == within(4999)
    assert answers["5000"] == within(5000)
    assert answers["4294967295"] == within(len(LONG))
    # the video is reached through the query's own term and through its
    # prefix one edit away, the only nodes in reach that count anything
    assert result["ranked"] == [["7", 1.0]]


# --- the largest max_dist -------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def many_terms():
    rng = random.Random(4294967295)
    terms = sorted({"".join(rng.choice("abcdé中") for _ in range(rng.randint(1, 9))) for _ in range(3000)})
    arrays = terms_arrays(terms)
    return arrays, PrefixSearch.from_internal_data_v2(**arrays)


@pytest.mark.parametrize("query", ["", "a", "cab中", "éééééééééééé", "zzzz"])
def test_the_largest_max_dist_reaches_every_term_with_its_exact_distance(many_terms, query):
    arrays, search = many_terms
    hits = search.fuzzy_match(query, 4294967295)
    assert hits == expected_matches(arrays, query, 4294967295)
    assert len(hits) == sum(p is not None for p in arrays["payloads"])
    assert search.fuzzy_match(query, 4294967295, 7) == hits[:7]
