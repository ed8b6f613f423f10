"""Readable descriptions of tries, turned into the six flat arrays that
``PrefixSearch.from_internal_data_v2`` takes, plus a plain-Python model of
``fuzzy_match`` to check the module against.

A trie is described as a list of nodes ``(parent, label, payload)``; node 0 is
the root and has parent ``None``. A node's children are listed in increasing
node id unless ``child_order`` gives another order. ``payload`` is ``None`` for
a node where no term ends, otherwise the payload tuple handed to the module.
"""

from __future__ import annotations

from typing import Iterable, Sequence

# A payload that makes its node terminal and carries no videos.
TERMINAL = (1, [], [])


def flat_arrays(nodes, *, child_order=None, video_index=(), video_top_n=8):
    """The keyword arguments of ``from_internal_data_v2`` for ``nodes``."""
    children = [[] for _ in nodes]
    for node, (parent, _label, _payload) in enumerate(nodes):
        if node == 0:
            assert parent is None, "node 0 is the root"
            continue
        children[parent].append(node)
    for parent, kids in (child_order or {}).items():
        assert sorted(kids) == sorted(children[parent]), "child_order must permute the children"
        children[parent] = list(kids)
    node_shifts = []
    child_transitions = []
    for kids in children:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(kids)
    return {
        "node_shifts": node_shifts,
        "child_labels": [label for _parent, label, _payload in nodes],
        "payloads": [payload for _parent, _label, payload in nodes],
        "child_transitions": child_transitions,
        "video_index": list(video_index),
        "video_top_n": video_top_n,
    }


def term_nodes(terms: Iterable[str], *, sort_children=True):
    """Nodes of a trie that stores ``terms``, one node per distinct prefix.

    Nodes are numbered breadth first, so children are numbered above their
    parents and each node's children stand in child order: by code point when
    ``sort_children`` is true, otherwise in order of first appearance.
    """
    tree = {}  # label -> subtree of the same shape
    ends = set()
    for term in terms:
        assert term, "the root holds no term"
        level = tree
        for ch in term:
            level = level.setdefault(ch, {})
        ends.add(term)

    nodes = [(None, "", None)]
    queue = [(0, "", tree)]
    while queue:
        parent, prefix, level = queue.pop(0)
        labels = sorted(level) if sort_children else list(level)
        for label in labels:
            term = prefix + label
            nodes.append((parent, label, TERMINAL if term in ends else None))
            queue.append((len(nodes) - 1, term, level[label]))
    return nodes


def terms_arrays(terms, *, sort_children=True, **kwargs):
    return flat_arrays(term_nodes(terms, sort_children=sort_children), **kwargs)


def chain_arrays(length, terminal_depths, label="a"):
    """A single path root -> 1 -> 2 -> ... -> length - 1, every edge ``label``."""
    terminal_depths = set(terminal_depths)
    return {
        "node_shifts": list(range(length)),
        "child_labels": [""] + [label] * (length - 1),
        "payloads": [TERMINAL if depth in terminal_depths else None for depth in range(length)],
        "child_transitions": list(range(1, length)),
        "video_index": [],
        "video_top_n": 4,
    }


# root -> a -> b, with "ab" stored
CHAIN = {
    "node_shifts": [0, 1, 2],
    "child_labels": ["", "a", "b"],
    "payloads": [None, None, TERMINAL],
    "child_transitions": [1, 2],
    "video_index": [],
    "video_top_n": 3,
}


# a trie with no nodes at all
EMPTY = {
    "node_shifts": [],
    "child_labels": [],
    "payloads": [],
    "child_transitions": [],
    "video_index": [],
    "video_top_n": 0,
}


def with_(base=CHAIN, **changes):
    """The arrays of `base` with some of them replaced."""
    arrays = dict(base)
    arrays.update(changes)
    return arrays


# The stored terms car, cart, cat and cut with every node's children in
# alphabetical order.
WORKED_EXAMPLE_TERMS = ["car", "cart", "cat", "cut"]


def levenshtein(a: str, b: str) -> int:
    """Edit distance over code points: insert, delete, substitute cost 1."""
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), prev[j] + 1, cur[j - 1] + 1))
        prev = cur
    return prev[-1]


def children_of(arrays, node) -> Sequence[int]:
    shifts = arrays["node_shifts"]
    transitions = arrays["child_transitions"]
    start = shifts[node]
    end = shifts[node + 1] if node + 1 < len(shifts) else len(transitions)
    return transitions[start:end] if start < end else []


def stored_terms(arrays, max_depth=None):
    """(term, node) for every terminal node reachable from the root without
    passing through an unlabelled node, in depth-first pre-order with the
    children in child_transitions order. A node reached by several paths is
    listed once per path. ``max_depth`` bounds the paths followed, which a
    graph with a cycle needs."""
    labels = [label[:1] for label in arrays["child_labels"]]
    found = []
    if not labels:
        return found
    stack = [(child, "") for child in reversed(children_of(arrays, 0))]
    while stack:
        node, prefix = stack.pop()
        label = labels[node]
        if label in ("", "\x00"):
            continue
        term = prefix + label
        if max_depth is not None and len(term) > max_depth:
            continue
        if arrays["payloads"][node] is not None:
            found.append((term, node))
        stack.extend((child, term) for child in reversed(children_of(arrays, node)))
    return found


def effective_max_dist(arrays, query, max_dist):
    """The bound the walk uses: never above len(query) + node count. In a
    tree no term is longer than the node count, so this changes no answer;
    in a graph with a cycle it is what keeps the walk finite."""
    return min(max_dist, len(query) + len(arrays["child_labels"]))


def expected_matches(arrays, query, max_dist=1, limit=None):
    """What fuzzy_match must answer, found by scanning every stored term.

    A term longer than len(query) + max_dist is farther than max_dist from
    the query, so paths are followed no deeper than that."""
    max_dist = effective_max_dist(arrays, query, max_dist)
    hits = []
    for term, _node in stored_terms(arrays, max_depth=len(query) + max_dist):
        dist = levenshtein(query, term)
        if dist <= max_dist:
            hits.append((term, 1, dist))
    return hits if limit is None else hits[:limit]
