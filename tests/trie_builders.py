"""The one place the tests turn tries into the six flat arrays that
``PrefixSearch.from_internal_data_v2`` takes, plus a plain-Python model of
``fuzzy_match`` to check the module against.

A trie is described as a list of nodes ``(parent, label, payload)``; node 0 is
the root and has parent ``None``. A node's children are listed in increasing
node id unless ``child_order`` gives another order. ``payload`` is ``None`` for
a node where no term ends, otherwise the payload tuple handed to the module.
Tries of terms are made by ``term_nodes`` / ``terms_arrays``; any graph, from
per-node child lists, by ``graph_arrays``.
"""

from __future__ import annotations

from typing import Iterable, Mapping, Sequence, Union

# A payload that makes its node terminal and carries no videos.
TERMINAL = (1, [], [])


def lay_out(children) -> tuple[list, list]:
    """``node_shifts`` and ``child_transitions`` for the child lists
    ``children[i]`` of each node i, each node's run right after the
    previous one's."""
    node_shifts = []
    child_transitions = []
    for kids in children:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(kids)
    return node_shifts, child_transitions


def run_of(node_shifts, child_transitions, node) -> Sequence[int]:
    """The children of ``node`` as the module reads them: from its shift up
    to the next node's, or to the end of child_transitions for the last."""
    start = node_shifts[node]
    end = node_shifts[node + 1] if node + 1 < len(node_shifts) else len(child_transitions)
    return child_transitions[start:end] if start < end else []


def graph_arrays(children, labels, payloads, *, video_index=(), video_top_n=8):
    """The keyword arguments of ``from_internal_data_v2`` for any graph: node
    i has the children ``children[i]`` in that order, the label ``labels[i]``
    and the payload ``payloads[i]``."""
    node_shifts, child_transitions = lay_out(children)
    return {
        "node_shifts": node_shifts,
        "child_labels": list(labels),
        "payloads": list(payloads),
        "child_transitions": child_transitions,
        "video_index": list(video_index),
        "video_top_n": video_top_n,
    }


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
    return graph_arrays(
        children,
        [label for _parent, label, _payload in nodes],
        [payload for _parent, _label, payload in nodes],
        video_index=video_index,
        video_top_n=video_top_n,
    )


Terms = Union[Iterable[str], Mapping[str, object]]


def term_nodes(terms: Terms, *, sort_children=True, reverse=False):
    """Nodes of a trie that stores ``terms``, one node per distinct prefix.

    ``terms`` is an iterable of terms, each stored with ``TERMINAL``, or a
    mapping of each term to its payload (``None``: its path gets nodes and no
    payload). Nodes are numbered breadth first, so children are numbered
    above their parents and each node's children stand in child order: by
    code point when ``sort_children`` is true (descending with ``reverse``),
    otherwise in order of first appearance.
    """
    payload_of = terms if isinstance(terms, Mapping) else dict.fromkeys(terms, TERMINAL)
    tree: dict = {}  # label -> subtree of the same shape
    for term in payload_of:
        assert term, "the root holds no term"
        level = tree
        for ch in term:
            level = level.setdefault(ch, {})

    nodes = [(None, "", None)]
    queue = [(0, "", tree)]
    while queue:
        parent, prefix, level = queue.pop(0)
        labels = sorted(level, reverse=reverse) if sort_children else list(level)
        for label in labels:
            term = prefix + label
            nodes.append((parent, label, payload_of.get(term)))
            queue.append((len(nodes) - 1, term, level[label]))
    return nodes


def terms_arrays(terms: Terms, video_index=(), video_top_n=8, *, sort_children=True, reverse=False):
    """The arguments of ``from_internal_data_v2`` for a trie storing ``terms``
    (see ``term_nodes``)."""
    nodes = term_nodes(terms, sort_children=sort_children, reverse=reverse)
    return flat_arrays(nodes, video_index=video_index, video_top_n=video_top_n)


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
    return run_of(arrays["node_shifts"], arrays["child_transitions"], node)


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
