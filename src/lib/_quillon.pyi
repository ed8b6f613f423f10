"""Type stubs of the extension module _quillon (see docs/module.md).

Installed twice from this one file: as _quillon.pyi beside the module, and as
the stub package _quillon-stubs, which is where mypy looks for a top-level
module's stubs in site-packages.

Internal errors (a broken invariant, which only inconsistent arrays given to
from_internal_data_v2 can cause) raise PanicException, a subclass of
BaseException that is not an attribute of the module.
"""

from collections.abc import Sequence
from typing import final

__all__ = ["PrefixSearch"]

@final
class PrefixSearch:
    """A read-only character trie of search terms, each node with the videos
    that its subtree leads to. Not constructible directly (PrefixSearch()
    raises TypeError) and not subclassable: build one with
    from_internal_data_v2 or restore one with from_bytes."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[int],
        child_labels: Sequence[str],
        payloads: Sequence[tuple[int, Sequence[int], Sequence[int]] | None],
        child_transitions: Sequence[int],
        video_index: Sequence[Sequence[int]],
        video_top_n: int,
    ) -> PrefixSearch:
        """Builds a trie from flat arrays (quillon.build_arrays makes them).

        Node i's children are child_transitions[node_shifts[i]:node_shifts[i + 1]];
        child_labels[i] is the character into node i; payloads[i] is None or
        (total_count, video indexes, counts) for a node where a term ends;
        video_index holds the ids, all 16 bytes (UUIDs) or all 4 bytes
        (little-endian 32-bit ints); every node keeps at most video_top_n videos.
        Raises ValueError or TypeError for inconsistent arrays, OverflowError
        for integers outside 0..4294967295.
        """

    def to_bytes(self) -> bytes:
        """The trie as bytes, for from_bytes. Deterministic; no header."""

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """Restores a trie from to_bytes output; bytes after it are ignored.

        Raises ValueError "decode error: ..." for bytes that do not hold a
        consistent trie, TypeError for anything but bytes.
        """

    def fuzzy_match(self, term: str, max_dist: int = 1, limit: int | None = None) -> list[tuple[str, int, int]]:
        """The stored terms within max_dist edits of term, as
        (stored term, 1, distance), in depth-first trie order (not sorted),
        at most limit of them."""

    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: int | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: float | None = None,
    ) -> list[tuple[str, float]]:
        """The videos that best answer term, as (id text, score), best first.

        Id texts are lowercase hyphenated UUIDs or decimal ints. Scores are
        shares of the matched nodes' weighted counts; below min_score
        (default 0.01) they are dropped; at most limit are returned.
        """
