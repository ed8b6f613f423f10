"""Hypothesis strategies the tests share: the one random-trie shape, payload
tuples, and queries near stored texts. Kept apart from ``trie_builders`` so
that the child interpreters of the heavy tests need not import hypothesis."""

from __future__ import annotations

from hypothesis import strategies as st


@st.composite
def random_trees(draw, max_nodes, *, renumber=False):
    """The child lists of a random tree of 1 to ``max_nodes`` nodes, node 0
    the root: half the nodes hang below the node made just before them (for
    long paths), the others below any earlier node; each node's children in
    a random order. Children are numbered above their parents unless
    ``renumber``, which shuffles the ids of every node but the root."""
    count = draw(st.integers(1, max_nodes))
    parents = [None] + [draw(st.integers(0, i - 1)) if draw(st.booleans()) else i - 1 for i in range(1, count)]
    number = list(range(count))
    if renumber:
        number = [0] + draw(st.permutations(list(range(1, count))))
    children = [[] for _ in range(count)]
    for node in range(1, count):
        children[number[parents[node]]].append(number[node])
    return [draw(st.permutations(kids)) for kids in children]


def summed_payloads(video_ids, counts, max_size):
    """Payload tuples of up to ``max_size`` (video, count) entries drawn from
    the two strategies, with a total equal to the sum of the counts."""
    return st.lists(st.tuples(video_ids, counts), max_size=max_size).map(
        lambda pairs: (sum(c for _v, c in pairs), [v for v, _c in pairs], [c for _v, c in pairs])
    )


@st.composite
def near_queries(draw, texts, letters, *, max_edits=2, max_length=4):
    """Mostly one of ``texts`` after up to ``max_edits`` random edits (insert,
    delete or replace one of ``letters``), so that hits are common; now and
    then any text of up to ``max_length`` of the letters."""
    if not texts or draw(st.integers(0, 4)) == 0:
        return draw(st.text(st.sampled_from(letters), max_size=max_length))
    query = list(draw(st.sampled_from(sorted(texts))))
    for _ in range(draw(st.integers(0, max_edits))):
        at = draw(st.integers(0, len(query)))
        edit = draw(st.sampled_from(["insert", "delete", "replace"]))
        if edit == "insert":
            query.insert(at, draw(st.sampled_from(letters)))
        elif at < len(query):
            if edit == "delete":
                del query[at]
            else:
                query[at] = draw(st.sampled_from(letters))
    return "".join(query)
