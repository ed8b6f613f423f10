"""A plain-Python model of a stored trie: its eight arrays, their byte form
(written and read back independently of the module, with the exact failure
texts), and the video ranking computed from them by brute force.

Tests use it to hand-make byte strings that construction can never produce
(absent payloads, children numbered below their parent, widened varints,
broken items) and to predict what the module must answer for them.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Callable, Optional

from trie_builders import lay_out, levenshtein, run_of, term_nodes

PAYLOAD_TYPE_NAME = "core::option::Option<quillon::payload::Payload>"
UUID, INT32 = 0, 1


def examples(n: int) -> int:
    """Example count for a property test: sanitized runs are many times slower."""
    if os.environ.get("HYPOTHESIS_PROFILE") == "sanitize":
        return max(10, n // 5)
    return n


@dataclass
class Model:
    """The eight fields of a trie, in stored order. Labels are code points;
    a payload is None or (total_count, video_ids, video_counts)."""

    node_shifts: list = field(default_factory=list)
    child_labels: list = field(default_factory=list)
    child_transitions: list = field(default_factory=list)
    payloads: list = field(default_factory=list)
    video_uuids: list = field(default_factory=list)
    video_int_ids: list = field(default_factory=list)
    id_mode: int = UUID
    is_terminal: list = field(default_factory=list)

    def id_table(self) -> list:
        return self.video_uuids if self.id_mode == UUID else self.video_int_ids

    def id_text(self, index: int) -> str:
        if self.id_mode == UUID:
            h = self.video_uuids[index].hex()
            return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
        return str(self.video_int_ids[index])

    def children(self, node: int) -> list:
        return run_of(self.node_shifts, self.child_transitions, node)


def tree_model(parents, labels, payloads, *, terminal=None, int_ids=None, uuids=None, order=None):
    """A consistent Model for the tree in which node i hangs below parents[i]
    (parents[0] is None). Children are stored in increasing id, or as
    ``order[parent]`` lists them. ``terminal`` defaults to "has a payload"."""
    n = len(parents)
    kids = [[] for _ in range(n)]
    for node in range(1, n):
        kids[parents[node]].append(node)
    for parent, listed in (order or {}).items():
        assert sorted(listed) == sorted(kids[parent])
        kids[parent] = list(listed)
    shifts, transitions = lay_out(kids)
    if terminal is None:
        terminal = [p is not None for p in payloads]
    return Model(
        node_shifts=shifts,
        child_labels=[ord(label) if isinstance(label, str) else label for label in labels],
        child_transitions=transitions,
        payloads=list(payloads),
        video_uuids=list(uuids or []),
        video_int_ids=list(int_ids or []),
        id_mode=INT32 if int_ids is not None else UUID,
        is_terminal=list(terminal),
    )


# --- writing ---------------------------------------------------------------

# Total byte width of each varint form.
_FORMS = {1: None, 3: 251, 5: 252, 9: 253}


def varint(value: int, width: Optional[int] = None) -> bytes:
    """``value`` as a varint: the shortest form, or the form of ``width``
    bytes (1, 3, 5 or 9) when it can hold the value."""
    if width is None:
        width = 1 if value <= 250 else 3 if value < 1 << 16 else 5 if value < 1 << 32 else 9
    if width == 1:
        assert value <= 250
        return bytes([value])
    return bytes([_FORMS[width]]) + value.to_bytes(width - 1, "little")


# A widening policy: given a value and whether it is a count, the width to
# write it in, or None for the shortest form.
Widen = Callable[[int, bool], Optional[int]]


def encode(model: Model, widen: Optional[Widen] = None) -> bytes:
    def num(value, is_count=False):
        return varint(value, widen(value, is_count) if widen else None)

    def seq(items, put):
        return num(len(items), True) + b"".join(put(item) for item in items)

    def payload(p):
        if p is None:
            return b"\x00"
        total, ids, counts = p
        return b"\x01" + num(total) + seq(ids, num) + seq(counts, num)

    return b"".join(
        [
            seq(model.node_shifts, num),
            seq(model.child_labels, lambda cp: chr(cp).encode("utf-8")),
            seq(model.child_transitions, num),
            seq(model.payloads, payload),
            seq(model.video_uuids, bytes),
            seq(model.video_int_ids, num),
            num(model.id_mode),
            seq(model.is_terminal, lambda t: b"\x01" if t else b"\x00"),
        ]
    )


# --- reading ---------------------------------------------------------------


class DecodeFailure(Exception):
    """A decode failure; ``str()`` is the text after "decode error: "."""


def _unexpected_end(missing: int):
    raise DecodeFailure(f"UnexpectedEnd {{ additional: {missing} }}")


def _char_width(first: int) -> int:
    if first <= 0x7F:
        return 1
    if 0xC2 <= first <= 0xDF:
        return 2
    if 0xE0 <= first <= 0xEF:
        return 3
    if 0xF0 <= first <= 0xF4:
        return 4
    return 0


class _Reader:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def left(self) -> int:
        return len(self.data) - self.pos

    def byte(self) -> int:
        if self.left() < 1:
            _unexpected_end(1)
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, count: int, whole: int) -> bytes:
        """The next ``count`` bytes of an item ``whole`` bytes long, of
        which ``whole - count`` were read already."""
        if self.left() < count:
            _unexpected_end(whole - (whole - count + self.left()))
        self.pos += count
        return self.data[self.pos - count : self.pos]

    def varint(self, expected: str) -> int:
        first = self.byte()
        if first <= 250:
            return first
        if first == 253 and expected == "U32":
            found = "U64"
        elif first == 254:
            found = "U128"
        elif first == 255:
            found = "Reserved"
        else:
            found = None
        if found:
            raise DecodeFailure(f"InvalidIntegerType {{ expected: {expected}, found: {found} }}")
        width = {251: 2, 252: 4, 253: 8}[first]
        return int.from_bytes(self.take(width, width + 1), "little")

    def u32(self) -> int:
        return self.varint("U32")

    def seq(self, read) -> list:
        count = self.varint("U64")
        return [read() for _ in range(count)]

    def char(self) -> int:
        first = self.byte()
        width = _char_width(first)
        if not width:
            raise DecodeFailure(f"InvalidCharEncoding([{first}, 0, 0, 0])")
        raw = bytes([first]) + self.take(width - 1, width)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            padded = list(raw) + [0] * (4 - len(raw))
            raise DecodeFailure(f"InvalidCharEncoding({padded})") from None
        assert len(text) == 1
        return ord(text)

    def payload(self):
        tag = self.byte()
        if tag == 0:
            return None
        if tag != 1:
            raise DecodeFailure(_variant(PAYLOAD_TYPE_NAME, tag))
        return (self.u32(), self.seq(self.u32), self.seq(self.u32))

    def uuid(self) -> bytes:
        return self.take(16, 16)

    def id_mode(self) -> int:
        mode = self.u32()
        if mode > 1:
            raise DecodeFailure(_variant("IdMode", mode))
        return mode

    def boolean(self) -> bool:
        value = self.byte()
        if value > 1:
            raise DecodeFailure(f"InvalidBooleanValue({value})")
        return value == 1


def _variant(type_name: str, found: int) -> str:
    return (
        f'UnexpectedVariant {{ type_name: "{type_name}", '
        f"allowed: Range {{ min: 0, max: 1 }}, found: {found} }}"
    )


def read(data: bytes) -> tuple[Model, int]:
    """The model at the start of ``data`` and the number of bytes it took,
    checked for the byte format only; raises DecodeFailure."""
    r = _Reader(data)
    model = Model(
        node_shifts=r.seq(r.u32),
        child_labels=r.seq(r.char),
        child_transitions=r.seq(r.u32),
        payloads=r.seq(r.payload),
        video_uuids=r.seq(r.uuid),
        video_int_ids=r.seq(r.u32),
        id_mode=r.id_mode(),
        is_terminal=r.seq(r.boolean),
    )
    return model, r.pos


def inconsistency(model: Model) -> Optional[str]:
    """The first contradiction between the arrays, as from_bytes words it."""
    n = len(model.child_labels)
    for name in ("node_shifts", "payloads", "is_terminal"):
        length = len(getattr(model, name))
        if length != n:
            return f"{name} len {length} != child_labels len {n}"
    for i, child in enumerate(model.child_transitions):
        if child >= n:
            return f"child_transitions[{i}] = {child} out of range [0..{n})"
    size = len(model.child_transitions)
    for node in range(n):
        begin = model.node_shifts[node]
        end = model.node_shifts[node + 1] if node + 1 < n else size
        if begin < end and end > size:
            return f"children of node {node} at [{begin}..{end}) out of range [0..{size})"
    for i, p in enumerate(model.payloads):
        if p is not None and len(p[1]) != len(p[2]):
            return f"video_ids and video_counts length mismatch (payloads[{i}])"
    return None


def decode(data: bytes) -> Model:
    """What from_bytes accepts, or DecodeFailure with the text it reports."""
    model, _used = read(data)
    fault = inconsistency(model)
    if fault:
        raise DecodeFailure(fault)
    return model


def decode_verdict(data: bytes):
    """("ok", model) or ("error", the full ValueError text)."""
    try:
        return "ok", decode(data)
    except DecodeFailure as failure:
        return "error", f"decode error: {failure}"


# --- ranking ---------------------------------------------------------------




def node_hits(model: Model, term: str, max_dist: int, terminal_only: bool) -> list:
    """(node, dist) for every node whose path text lies within ``max_dist``
    of ``term``, in depth-first pre-order, found by trying every path no
    longer than len(term) + max_dist (no longer path can be that close)."""
    if not model.child_labels:
        return []
    query = list(term)
    deepest = len(query) + max_dist
    hits = []

    def visit(node, path):
        for child in model.children(node):
            label = model.child_labels[child]
            if label == 0 or len(path) == deepest:
                continue
            text = path + [chr(label)]
            dist = levenshtein(query, text)
            if dist <= max_dist and (model.is_terminal[child] or not terminal_only):
                hits.append((child, dist))
            visit(child, text)

    visit(0, [])
    return hits


def candidates(model, term, max_dist=1, include_prefix_nodes=None, min_score=None) -> list:
    """(video index, score) of every video that passes the threshold, before
    ranking, the limit and the id-table check. Sums run in walk order and,
    within a payload, in list order."""
    if include_prefix_nodes is None:
        hits = node_hits(model, term, max_dist, True) or node_hits(model, term, max_dist, False)
    else:
        hits = node_hits(model, term, max_dist, not include_prefix_nodes)
    qlen = len(term)
    sums: dict = {}
    total = 0.0
    for node, dist in hits:
        if dist == 0:
            weight = 1.0
        else:
            weight = 0.0 if qlen == 0 else (1.0 - dist / qlen) * 0.05
            if not weight > 0.0:
                continue
        if not model.is_terminal[node]:
            weight *= 0.85
        payload = model.payloads[node]
        if payload is None:
            continue
        count_total, ids, counts = payload
        total += float(count_total) * weight
        for video, count in zip(ids, counts):
            sums[video] = sums.get(video, 0.0) + float(count) * weight
    if not total > 0.0:
        return []
    threshold = 0.01 if min_score is None else float(min_score)
    scored = [(video, acc / total) for video, acc in sums.items()]
    return [(video, score) for video, score in scored if score >= threshold]


def candidates_for_call(model, term, kwargs) -> list:
    """candidates() for the keyword arguments of a fuzzy_match_video call."""
    return candidates(
        model,
        term,
        kwargs.get("max_dist", 1),
        kwargs.get("include_prefix_nodes"),
        kwargs.get("min_score"),
    )


def check_ranking(result, model: Model, cands: list, limit: Optional[int]) -> None:
    """Asserts that ``result`` is a correct ranking of ``cands``: best first,
    the ``limit`` best kept (any choice among scores tied at the cut), and
    then the candidates outside the id table left out."""
    assert isinstance(result, list)
    for item in result:
        assert type(item) is tuple and len(item) == 2
        assert type(item[0]) is str and type(item[1]) is float
    scores = [score for _text, score in result]
    assert scores == sorted(scores, reverse=True), result
    table = len(model.id_table())

    def visible(items):
        return sorted((model.id_text(v), s) for v, s in items if v < table)

    ranked = sorted(cands, key=lambda c: -c[1])
    if limit is None or len(ranked) <= limit:
        assert sorted(result) == visible(ranked)
        return
    if limit == 0:
        assert result == []
        return
    cut = ranked[limit - 1][1]
    above = [c for c in ranked if c[1] > cut]
    tied = [c for c in ranked if c[1] == cut]
    slots = limit - len(above)
    got_above = sorted(item for item in result if item[1] > cut)
    got_tied = sorted(item for item in result if item[1] == cut)
    assert len(got_above) + len(got_tied) == len(result), "a score below the cut was kept"
    assert got_above == visible(above)
    hidden_tied = sum(1 for v, _s in tied if v >= table)
    assert max(0, slots - hidden_tied) <= len(got_tied) <= slots
    pool = visible(tied)
    for item in got_tied:
        assert item in pool
        pool.remove(item)


def term_model(terms: dict, *, non_terminal=(), int_ids=None, uuids=None) -> Model:
    """A Model storing exactly these payloads (nothing propagated): ``terms``
    maps each path text to its payload (None for no payload); every prefix
    gets a node; paths in ``non_terminal`` are not terminal. Nodes are
    numbered breadth first, children in label order."""
    nodes = term_nodes(terms)
    texts = [""]  # the path text of every node; parents come first
    for parent, label, _payload in nodes[1:]:
        texts.append(texts[parent] + label)
    return tree_model(
        [parent for parent, _label, _payload in nodes],
        [0] + [label for _parent, label, _payload in nodes[1:]],
        [payload for _parent, _label, payload in nodes],
        terminal=[node > 0 and text in terms and text not in non_terminal for node, text in enumerate(texts)],
        int_ids=int_ids,
        uuids=uuids,
    )
