"""Records of (term, video id, count) turned into the six arguments of
``PrefixSearch.from_internal_data_v2``.

The trie has one node per distinct prefix of the terms, the root (the empty
prefix) being node 0. Nodes are numbered in depth-first pre-order with the
children of every node taken by code point, which is the order of the sorted
prefixes: every child is numbered above its parent and the children of a node
stand in ``child_transitions`` sorted by label.
"""

from __future__ import annotations

import itertools
import operator
import uuid
from collections.abc import Iterable
from typing import NamedTuple, Union

__all__ = ["Payload", "Record", "TrieArrays", "VideoId", "build_arrays"]

U32_MAX = 0xFFFF_FFFF

VideoId = Union[uuid.UUID, bytes, int]
"""A video id: a ``uuid.UUID`` or 16 bytes (one kind), or an int 0..2**32-1."""

Record = tuple[str, VideoId, int]
"""(term, video id, count): ``count`` searches of ``term`` led to the video."""

Payload = tuple[int, list[int], list[int]]
"""(total_count, video indexes into video_index, counts) of one term."""

# Longest repr of a record quoted in an error message.
_REPR_LIMIT = 120


class TrieArrays(NamedTuple):
    """The arguments of ``PrefixSearch.from_internal_data_v2``, in its order."""

    node_shifts: list[int]
    child_labels: list[str]
    payloads: list[Payload | None]
    child_transitions: list[int]
    video_index: list[bytes]
    video_top_n: int


def build_arrays(records: Iterable[Record], top_n: int) -> TrieArrays:
    """The six arguments of ``PrefixSearch.from_internal_data_v2`` for ``records``.

    ``records`` is any iterable of ``(term, video_id, count)``, read once:

    - ``term``: a non-empty ``str`` without U+0000 (a label the search skips);
    - ``video_id``: a ``uuid.UUID`` or 16 ``bytes`` (the same kind), or an
      ``int`` 0..4294967295; all records use the same kind;
    - ``count``: an ``int`` 0..4294967295.

    Each distinct term gets one payload: its videos in the order they were
    first seen for that term, each with the sum of its records' counts, and a
    ``total_count`` equal to the sum of all the term's counts; sums saturate
    at 4294967295. ``video_index`` lists every distinct id in the order first
    seen (16 bytes per UUID, 4 little-endian bytes per int). ``top_n`` is the
    ``video_top_n`` handed on: the most videos any node keeps.

    Raises ``TypeError`` for an object of the wrong type and ``ValueError``
    for a wrong value, naming the record by its position (from 0) and repr.
    """
    top_n = _checked_top_n(top_n)
    ids = _IdTable()
    index_of = ids.index_of
    # term -> {video index: summed count}, both in first-seen order
    videos_of: dict[str, dict[int, int]] = {}

    term: object
    video: object
    count: object
    for position, record in enumerate(records):
        if type(record) is tuple and len(record) == 3:
            term, video, count = record
        else:
            term, video, count = _checked_shape(position, record)
        if type(term) is not str:
            term = _checked_term_type(position, record, term)
        videos = videos_of.get(term)
        if videos is None:
            _check_new_term(position, record, term)
            videos = videos_of[term] = {}
        # Only exact ints, bytes and UUIDs may use the table directly: an
        # object of another type can equal a key (5.0 == 5, True == 1).
        kind = type(video)
        index = index_of.get(video) if kind is int or kind is bytes or kind is uuid.UUID else None
        if index is None:
            index = ids.add(position, record, video)
        if type(count) is not int:
            count = _checked_count(position, record, count)
        elif count < 0 or count > U32_MAX:
            count = _checked_count(position, record, count)
        videos[index] = videos.get(index, 0) + count

    return _trie_arrays(videos_of, ids.video_index, top_n)


def _trie_arrays(videos_of: dict[str, dict[int, int]], video_index: list[bytes], top_n: int) -> TrieArrays:
    labels = [""]
    payloads: list[Payload | None] = [None]
    parents: list[int] = []  # parents[i] is the parent of node i + 1
    child_counts = [0]
    path = [0]  # path[k]: the node of the current term's prefix of length k
    previous = ""
    # Sorted terms visit the trie in pre-order: a prefix sorts before its
    # extensions, and the terms below one node are contiguous.
    for term in sorted(videos_of):
        common = 0
        bound = min(len(previous), len(term))
        while common < bound and previous[common] == term[common]:
            common += 1
        del path[common + 1 :]
        for label in term[common:]:
            node = len(labels)
            parent = path[-1]
            labels.append(label)
            payloads.append(None)
            parents.append(parent)
            child_counts[parent] += 1
            child_counts.append(0)
            path.append(node)
        videos = videos_of[term]
        total = sum(videos.values())
        if total <= U32_MAX:  # then so is every count
            payloads[path[-1]] = (total, list(videos), list(videos.values()))
        else:
            payloads[path[-1]] = (U32_MAX, list(videos), [min(count, U32_MAX) for count in videos.values()])
        previous = term

    node_shifts = list(itertools.accumulate(child_counts[:-1], initial=0))
    # Stable: siblings keep their increasing node ids, which is label order.
    child_transitions = [i + 1 for i in sorted(range(len(parents)), key=parents.__getitem__)]
    return TrieArrays(node_shifts, labels, payloads, child_transitions, video_index, top_n)


class _IdTable:
    """The video id table in first-seen order, of one kind of id."""

    def __init__(self) -> None:
        self.video_index: list[bytes] = []
        # Keys: int ids, 16-byte ids, and UUID objects seen so far. No key of
        # one kind equals a key of another, so one dict serves them all.
        self.index_of: dict[object, int] = {}
        self.kind: str | None = None  # "16-byte" or "int"
        self.kind_from = -1  # position of the record that fixed the kind

    def add(self, position: int, record: object, video: object) -> int:
        """The index of ``video``, which the fast lookup did not find."""
        key: bytes | int
        if isinstance(video, uuid.UUID):
            key, kind = video.bytes, "16-byte"
        elif isinstance(video, bytes):
            if len(video) != 16:
                raise ValueError(
                    _message(position, record, f"a bytes video id must be 16 bytes (a UUID), not {len(video)}")
                )
            key, kind = bytes(video), "16-byte"
        elif isinstance(video, bool):
            raise TypeError(_message(position, record, "a video id cannot be a bool"))
        else:
            try:
                key = operator.index(video)  # type: ignore[arg-type]
            except TypeError:
                raise TypeError(
                    _message(
                        position,
                        record,
                        f"a video id must be a uuid.UUID, 16 bytes or an int, not {type(video).__name__}",
                    )
                ) from None
            if not 0 <= key <= U32_MAX:
                raise ValueError(_message(position, record, f"an int video id must be 0..{U32_MAX}, not {key}"))
            kind = "int"

        if self.kind is None:
            self.kind, self.kind_from = kind, position
        elif kind != self.kind:
            raise ValueError(
                _message(
                    position,
                    record,
                    f"{'an' if kind == 'int' else 'a'} {kind} id among {self.kind} ids (the kind of record {self.kind_from}); "
                    "the ids are all UUIDs or 16 bytes, or all ints",
                )
            )

        index = self.index_of.get(key)
        if index is None:
            index = len(self.video_index)
            self.video_index.append(key if isinstance(key, bytes) else key.to_bytes(4, "little"))
            self.index_of[key] = index
        if type(video) is uuid.UUID:
            self.index_of[video] = index
        return index


def _checked_top_n(top_n: object) -> int:
    if isinstance(top_n, bool):
        raise TypeError("top_n must be an int, not bool")
    try:
        value = operator.index(top_n)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"top_n must be an int, not {type(top_n).__name__}") from None
    if not 0 <= value <= U32_MAX:
        raise ValueError(f"top_n must be 0..{U32_MAX}, not {value}")
    return value


def _checked_shape(position: int, record: object) -> tuple[object, object, object]:
    if not isinstance(record, (tuple, list)):
        raise TypeError(
            _message(position, record, f"a record must be a tuple (term, video_id, count), not {type(record).__name__}")
        )
    if len(record) != 3:
        raise ValueError(
            _message(position, record, f"a record must have 3 items (term, video_id, count), not {len(record)}")
        )
    term, video, count = record
    return term, video, count


def _checked_term_type(position: int, record: object, term: object) -> str:
    if not isinstance(term, str):
        raise TypeError(_message(position, record, f"the term must be a str, not {type(term).__name__}"))
    return str.__str__(term)  # a plain str, equal to the subclass instance


def _check_new_term(position: int, record: object, term: str) -> None:
    if not term:
        raise ValueError(_message(position, record, "the term is empty"))
    if "\0" in term:
        raise ValueError(_message(position, record, "the term contains U+0000, a label the search skips"))
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(_message(position, record, "the term contains a lone surrogate")) from None


def _checked_count(position: int, record: object, count: object) -> int:
    if isinstance(count, bool):
        raise TypeError(_message(position, record, "the count must be an int, not bool"))
    try:
        value = operator.index(count)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(_message(position, record, f"the count must be an int, not {type(count).__name__}")) from None
    if not 0 <= value <= U32_MAX:
        raise ValueError(_message(position, record, f"the count must be 0..{U32_MAX}, not {value}"))
    return value


def _message(position: int, record: object, problem: str) -> str:
    text = repr(record)
    if len(text) > _REPR_LIMIT:
        text = text[: _REPR_LIMIT - 3] + "..."
    return f"record {position} {text}: {problem}"
