"""The trie arrays from terms that arrive sorted by code point, in one pass.

Sorted terms visit the trie in pre-order: a prefix sorts before its
extensions and the terms below one node are contiguous. So each term only
adds the nodes of its suffix past the longest prefix it shares with the term
before it, numbered in order of arrival, and the numbering is the same as
``build_arrays`` gives (depth-first, children by code point, every child
above its parent). Nothing is kept per term but its payload and the labels
and parents of its new nodes.
"""

from __future__ import annotations

import array
from collections.abc import Sequence
from typing import NamedTuple, cast

import numpy as np
import numpy.typing as npt

__all__ = ["HAND_LISTS", "StreamedArrays", "SortedTermTrie"]

# The node arrays go to from_internal_data_v2 as numpy uint32 arrays, which
# it copies from their buffers: as lists they would cost a Python int per
# node. True hands lists instead, as builds did before; the build benchmark
# compares the two.
HAND_LISTS = False


class StreamedArrays(NamedTuple):
    """The six arguments of ``PrefixSearch.from_internal_data_v2``; the node
    arrays are uint32 arrays (sequences of ints to the module) or lists."""

    node_shifts: Sequence[int]
    child_labels: list[str]
    payloads: list[tuple[int, Sequence[int], Sequence[int]] | None]
    child_transitions: Sequence[int]
    video_index: list[bytes]
    video_top_n: int


class SortedTermTrie:
    """Takes batches of terms in strictly increasing code-point order, each
    with its payload, and gives the flat arrays of their trie."""

    def __init__(self) -> None:
        self.labels: list[str] = [""]
        self.payloads: list[tuple[int, Sequence[int], Sequence[int]] | None] = [None]
        # parents[i] is the parent of node i + 1.
        self._parents = array.array("I")
        self._path = [0]  # _path[k]: the node of the last term's prefix of length k
        self._last = ""
        self.terms = 0

    @property
    def nodes(self) -> int:
        return len(self.labels)

    def add(
        self,
        terms: Sequence[str],
        totals: Sequence[int],
        sizes: Sequence[int],
        video_ids: Sequence[int],
        counts: Sequence[int],
    ) -> None:
        """Adds ``terms`` in order: term i has ``sizes[i]`` videos, the next
        ones of ``video_ids`` and ``counts``, and the total count ``totals[i]``.

        Raises ``ValueError`` for a term that does not sort after the one
        before it, or is empty."""
        labels, payloads, parents, path = self.labels, self.payloads, self._parents, self._path
        last = self._last
        start = 0
        for term, total, size in zip(terms, totals, sizes):
            if term <= last:
                raise ValueError(f"terms out of order: {term!r} after {last!r}")
            # The common prefix; the comparison above guarantees that the
            # new term does not end inside it.
            common = 0
            bound = min(len(last), len(term))
            while common < bound and last[common] == term[common]:
                common += 1
            first = len(labels)
            added = len(term) - common
            labels.extend(term[common:])
            parents.append(path[common])
            parents.extend(range(first, first + added - 1))
            del path[common + 1 :]
            path.extend(range(first, first + added))
            if added > 1:
                payloads.extend([None] * (added - 1))
            end = start + size
            payloads.append((total, video_ids[start:end], counts[start:end]))
            start = end
            last = term
        self.terms += len(terms)
        self._last = last

    def arrays(self, video_index: list[bytes], top_n: int) -> StreamedArrays:
        """The arguments of ``from_internal_data_v2`` for the terms added."""
        parents = np.frombuffer(self._parents, dtype=np.uint32)
        children = np.bincount(parents, minlength=len(self.labels))
        node_shifts = np.zeros(len(self.labels), dtype=np.uint32)
        node_shifts[1:] = np.cumsum(children[:-1])
        # Stable: the children of a node keep their increasing ids, which is
        # the order of their labels.
        child_transitions = np.argsort(parents, kind="stable").astype(np.uint32) + 1
        if HAND_LISTS:
            return StreamedArrays(
                node_shifts.tolist(), self.labels, self.payloads, child_transitions.tolist(), video_index, top_n
            )
        return StreamedArrays(
            _as_sequence(node_shifts), self.labels, self.payloads, _as_sequence(child_transitions), video_index, top_n
        )


def _as_sequence(values: npt.NDArray[np.uint32]) -> Sequence[int]:
    # What the type checker cannot see: a one-dimensional array is a sequence.
    return cast("Sequence[int]", values)
