"""to_bytes / from_bytes: the bytes written, what is accepted back, the exact
decode failures and the refusal of decoded arrays that contradict each other."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _quillon
from _quillon import PrefixSearch
from stored_model import (
    INT32,
    PAYLOAD_TYPE_NAME,
    UUID,
    Model,
    candidates,
    candidates_for_call,
    check_ranking,
    decode_verdict,
    encode,
    examples,
    read,
    tree_model,
    varint,
)
from trie_builders import terms_arrays

PROPERTY = settings(
    max_examples=examples(150),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

TWO_NODE_ARRAYS = dict(
    node_shifts=[0, 1],
    child_labels=["", "a"],
    payloads=[None, (3, [0], [3])],
    child_transitions=[1],
    video_index=[(1000).to_bytes(4, "little")],
    video_top_n=10,
)
TWO_NODE_BYTES = bytes.fromhex(
    "02 00 01"  # node_shifts [0, 1]
    "02 00 61"  # child_labels [0, 'a']
    "01 01"  # child_transitions [1]
    "02 01 03 01 00 01 03 01 03 01 00 01 03"  # two payloads {3, [0], [3]}
    "00"  # video_uuids []
    "01 FB E8 03"  # video_int_ids [1000]
    "01"  # id_mode Int32
    "02 00 01"  # is_terminal [false, true]
)
EMPTY_ARRAYS = dict(
    node_shifts=[], child_labels=[], payloads=[], child_transitions=[], video_index=[], video_top_n=0
)


def build(arrays):
    return PrefixSearch.from_internal_data_v2(**arrays)


def decode_error(data) -> str:
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    return str(info.value)


# --- the bytes written -------------------------------------------------------


@pytest.mark.parametrize(
    "arrays, expected",
    [(TWO_NODE_ARRAYS, TWO_NODE_BYTES), (EMPTY_ARRAYS, bytes(8))],
    ids=["two-node", "empty"],
)
def test_examples_encode_byte_for_byte(arrays, expected):
    search = build(arrays)
    assert search.to_bytes() == expected
    assert type(search.to_bytes()) is bytes
    assert PrefixSearch.from_bytes(expected).to_bytes() == expected


def test_two_node_example_answers_after_decoding():
    search = PrefixSearch.from_bytes(TWO_NODE_BYTES)
    assert search.fuzzy_match("a") == [("a", 1, 0)]
    assert search.fuzzy_match_video("a") == [("1000", 1.0)]


@pytest.mark.parametrize(
    "label, encoded",
    [
        ("", b"\x00"),
        ("\x00", b"\x00"),
        ("a", b"a"),
        ("ab", b"a"),
        ("\x7f", b"\x7f"),
        ("\x80", b"\xc2\x80"),
        ("é", b"\xc3\xa9"),
        ("\u07ff", b"\xdf\xbf"),
        ("\u0800", b"\xe0\xa0\x80"),
        ("€", b"\xe2\x82\xac"),
        ("\uffff", b"\xef\xbf\xbf"),
        ("\U00010000", b"\xf0\x90\x80\x80"),
        ("\U0001d11e", b"\xf0\x9d\x84\x9e"),
        ("\U0010ffff", b"\xf4\x8f\xbf\xbf"),
    ],
)
def test_labels_are_written_as_utf8_without_count(label, encoded):
    data = build(
        dict(
            node_shifts=[0, 1],
            child_labels=["", label],
            payloads=[None, (1, [], [])],
            child_transitions=[1],
            video_index=[],
            video_top_n=1,
        )
    ).to_bytes()
    # node_shifts takes 3 bytes, then the label count and the root's label 0
    assert data[3:5] == b"\x02\x00"
    assert data[5 : 5 + len(encoded)] == encoded
    code_point = ord(label[0]) if label else 0
    expected = Model(
        node_shifts=[0, 1],
        child_labels=[0, code_point],
        child_transitions=[1],
        payloads=[(1, [], []), (1, [], [])],
        is_terminal=[False, True],
    )
    assert data == encode(expected)


INT_IDS = [0, 1, 250, 251, 65535, 65536, 2**31, 2**32 - 1]


@pytest.mark.parametrize(
    "table_size, count_bytes",
    [(0, b"\x00"), (250, b"\xfa"), (251, b"\xfb\xfb\x00"), (65535, b"\xfb\xff\xff"), (65536, b"\xfc\x00\x00\x01\x00")],
)
def test_int_id_table_counts_and_values(table_size, count_bytes):
    ids = (INT_IDS * (table_size // len(INT_IDS) + 1))[:table_size]
    search = build(dict(EMPTY_ARRAYS, video_index=[i.to_bytes(4, "little") for i in ids]))
    data = search.to_bytes()
    mode = b"\x01" if ids else b"\x00"
    assert data[:5] == bytes(5)  # four empty node arrays, no uuids
    assert data[5 : 5 + len(count_bytes)] == count_bytes
    assert data == encode(Model(video_int_ids=ids, id_mode=INT32 if ids else UUID))
    assert data.endswith(mode + b"\x00")


def test_int_id_values_take_the_shortest_form():
    data = build(dict(EMPTY_ARRAYS, video_index=[i.to_bytes(4, "little") for i in INT_IDS])).to_bytes()
    assert data == bytes.fromhex(
        "00 00 00 00 00 08"
        "00 01 FA FB FB 00 FB FF FF FC 00 00 01 00 FC 00 00 00 80 FC FF FF FF FF"
        "01 00"
    )


@pytest.mark.parametrize("table_size, count_bytes", [(1, b"\x01"), (251, b"\xfb\xfb\x00")])
def test_uuid_table_is_raw_16_byte_entries(table_size, count_bytes):
    uuids = [bytes((i + k) % 256 for k in range(16)) for i in range(table_size)]
    data = build(dict(EMPTY_ARRAYS, video_index=uuids)).to_bytes()
    assert data == bytes(4) + count_bytes + b"".join(uuids) + b"\x00\x00\x00"


@pytest.mark.parametrize("nodes, count_bytes", [(250, b"\xfa"), (251, b"\xfb\xfb\x00"), (65536, b"\xfc\x00\x00\x01\x00")])
def test_node_counts(nodes, count_bytes):
    # a root with nodes - 1 leaf children labelled x
    arrays = dict(
        node_shifts=[0] + [nodes - 1] * (nodes - 1),
        child_labels=[""] + ["x"] * (nodes - 1),
        payloads=[None] * nodes,
        child_transitions=list(range(1, nodes)),
        video_index=[],
        video_top_n=3,
    )
    data = build(arrays).to_bytes()
    assert data.startswith(count_bytes)
    expected = Model(
        node_shifts=arrays["node_shifts"],
        child_labels=[0] + [ord("x")] * (nodes - 1),
        child_transitions=arrays["child_transitions"],
        payloads=[(0, [], [])] * nodes,
        is_terminal=[False] * nodes,
    )
    assert data == encode(expected)


def test_payload_fields_in_every_form():
    # a single node has no children, so its payload is stored as given
    payload = (2**32 - 1, [250, 251, 65535, 65536, 2**32 - 1], [0, 1, 2**32 - 1, 7, 65536])
    search = build(
        dict(node_shifts=[0], child_labels=["r"], payloads=[payload], child_transitions=[], video_index=[], video_top_n=9)
    )
    assert search.to_bytes() == bytes.fromhex(
        "01 00  01 72  00"
        "01 01 FC FF FF FF FF"
        "05 FA FB FB 00 FB FF FF FC 00 00 01 00 FC FF FF FF FF"
        "05 00 01 FC FF FF FF FF 07 FC 00 00 01 00"
        "00 00 00 01 01"
    )


# --- round trips -------------------------------------------------------------

# mostly a and b, so that queries meet many stored terms
term_text = st.text(st.sampled_from("aaabbbcé\U0001d11e"), min_size=1, max_size=4)


@st.composite
def payload_tuples(draw, table_size):
    """A payload tuple, usually with ids inside a table of ``table_size`` and
    a total near the sum of its counts; now and then 32-bit extremes."""
    big = st.integers(0, 2**32 - 1)
    pairs = draw(
        st.lists(
            st.tuples(
                st.integers(0, table_size) if draw(st.booleans()) else st.integers(0, max(0, table_size - 1)),
                st.integers(0, 60) if draw(st.integers(0, 4)) else big,
            ),
            max_size=5,
        )
    )
    counts = [p[1] for p in pairs]
    total = draw(st.one_of(st.just(min(sum(counts), 2**32 - 1)), st.integers(0, 200), big))
    return (total, [p[0] for p in pairs], counts)


@st.composite
def built_tries(draw):
    """Arrays for from_internal_data_v2 storing some terms, nodes numbered
    breadth first, children in a drawn order."""
    if draw(st.booleans()):
        ids = draw(st.lists(st.binary(min_size=16, max_size=16), max_size=5, unique=True))
    else:
        ids = [i.to_bytes(4, "little") for i in draw(st.lists(st.integers(0, 2**32 - 1), max_size=5, unique=True))]
    terms = draw(st.dictionaries(term_text, payload_tuples(len(ids)), max_size=10))
    return terms_arrays(
        terms, ids, draw(st.sampled_from([3, 8, 0, 1, 2])), reverse=draw(st.booleans())
    )


QUERIES = ["", "a", "ab", "abc", "ca", "é\U0001d11e", "bcab"]
VIDEO_ARGS = [
    dict(),
    dict(max_dist=0),
    dict(max_dist=2, limit=2),
    dict(include_prefix_nodes=True),
    dict(include_prefix_nodes=False, min_score=0.0),
    dict(include_prefix_nodes=True, limit=1, min_score=0.2),
    dict(max_dist=3, min_score=-1.0, limit=3),
]


@PROPERTY
@given(arrays=built_tries(), tail=st.binary(max_size=8), drawn=st.lists(term_text, max_size=3))
def test_round_trip_answers_and_bytes(arrays, tail, drawn):
    x = build(arrays)
    data = x.to_bytes()
    assert x.to_bytes() == data

    model, used = read(data)
    assert used == len(data)
    assert encode(model) == data, "not every varint is in its shortest form"
    n = len(arrays["child_labels"])
    assert model.node_shifts == arrays["node_shifts"]
    assert model.child_labels == [0] + [ord(label) for label in arrays["child_labels"][1:]]
    assert model.child_transitions == arrays["child_transitions"]
    assert model.is_terminal == [p is not None for p in arrays["payloads"]]
    assert len(model.payloads) == n and all(p is not None for p in model.payloads)
    ids = arrays["video_index"]
    if ids and len(ids[0]) == 4:
        assert (model.id_mode, model.video_uuids) == (INT32, [])
        assert model.video_int_ids == [int.from_bytes(i, "little") for i in ids]
    else:
        assert (model.id_mode, model.video_int_ids) == (UUID, [])
        assert model.video_uuids == ids

    y = PrefixSearch.from_bytes(data)
    assert y.to_bytes() == data
    assert PrefixSearch.from_bytes(data + tail).to_bytes() == data

    for query in QUERIES + drawn:
        for max_dist, limit in [(1, None), (0, None), (2, None), (2, 2), (1, 0)]:
            assert y.fuzzy_match(query, max_dist, limit) == x.fuzzy_match(query, max_dist, limit)
        for kwargs in VIDEO_ARGS:
            expected = candidates_for_call(model, query, kwargs)
            from_x = x.fuzzy_match_video(query, **kwargs)
            from_y = y.fuzzy_match_video(query, **kwargs)
            check_ranking(from_x, model, expected, kwargs.get("limit"))
            check_ranking(from_y, model, expected, kwargs.get("limit"))
            if "limit" not in kwargs:
                assert sorted(from_x) == sorted(from_y)


@PROPERTY
@given(arrays=built_tries(), rnd=st.randoms(use_true_random=False))
def test_longer_varint_forms_decode_the_same(arrays, rnd):
    data = build(arrays).to_bytes()
    model, _ = read(data)

    def widen(value, is_count):
        shortest = len(varint(value))
        forms = [w for w in (1, 3, 5, 9) if w >= shortest and (w < 9 or is_count)]
        return rnd.choice(forms)

    widened = encode(model, widen)
    assert PrefixSearch.from_bytes(widened).to_bytes() == data


@pytest.mark.parametrize(
    "data",
    [
        # the node_shifts count 2 in the three longer forms
        b"\xfb\x02\x00" + TWO_NODE_BYTES[1:],
        b"\xfc\x02\x00\x00\x00" + TWO_NODE_BYTES[1:],
        b"\xfd\x02\x00\x00\x00\x00\x00\x00\x00" + TWO_NODE_BYTES[1:],
        # every value and count widened at once
        encode(read(TWO_NODE_BYTES)[0], lambda value, is_count: 9 if is_count else 5),
        encode(read(TWO_NODE_BYTES)[0], lambda value, is_count: 3),
    ],
    ids=["count-fb", "count-fc", "count-fd", "all-wide", "all-fb"],
)
def test_longer_forms_of_the_two_node_example(data):
    search = PrefixSearch.from_bytes(data)
    assert search.to_bytes() == TWO_NODE_BYTES
    assert search.fuzzy_match_video("a") == [("1000", 1.0)]


@pytest.mark.parametrize(
    "id_bytes, text",
    [(b"\x05", "5"), (b"\xfb\x05\x00", "5"), (b"\xfc\x05\x00\x00\x00", "5"), (b"\xfc\xe8\x03\x00\x00", "1000")],
)
def test_32_bit_value_in_a_longer_form(id_bytes, text):
    data = TWO_NODE_BYTES.replace(b"\x01\xfb\xe8\x03", b"\x01" + id_bytes)
    search = PrefixSearch.from_bytes(data)
    assert search.fuzzy_match_video("a") == [(text, 1.0)]
    assert search.to_bytes() == TWO_NODE_BYTES.replace(b"\x01\xfb\xe8\x03", b"\x01" + varint(int(text)))


@pytest.mark.parametrize("tail", [b"\x00", b"\xff", b"garbage" * 10, TWO_NODE_BYTES])
def test_trailing_bytes_are_ignored(tail):
    assert PrefixSearch.from_bytes(TWO_NODE_BYTES + tail).to_bytes() == TWO_NODE_BYTES
    assert PrefixSearch.from_bytes(bytes(8) + tail).to_bytes() == bytes(8)


def test_decoding_does_not_propagate_again():
    # root -> a -> b where a's payload leaves out everything b holds
    model = tree_model(
        [None, 0, 1],
        [0, "a", "b"],
        [None, (1, [1], [1]), (7, [0], [7])],
        terminal=[False, False, True],
        int_ids=[10, 11],
    )
    data = encode(model)
    search = PrefixSearch.from_bytes(data)
    assert search.to_bytes() == data
    assert search.fuzzy_match_video("a", 0, include_prefix_nodes=True) == [("11", 1.0)]
    assert search.fuzzy_match_video("ab", 0) == [("10", 1.0)]


# --- decode failures ---------------------------------------------------------


def unexpected_end(missing):
    return f"UnexpectedEnd {{ additional: {missing} }}"


def invalid_integer(expected, found):
    return f"InvalidIntegerType {{ expected: {expected}, found: {found} }}"


def unexpected_variant(type_name, found):
    return f'UnexpectedVariant {{ type_name: "{type_name}", allowed: Range {{ min: 0, max: 1 }}, found: {found} }}'


def invalid_char(*buffer):
    return f"InvalidCharEncoding([{', '.join(map(str, buffer))}])"


# Bytes that bring the decoder to the start of each sequence's count: every
# earlier field empty.
SEQUENCE_FIELDS = {
    "node_shifts": b"",
    "child_labels": b"\x00",
    "child_transitions": b"\x00" * 2,
    "payloads": b"\x00" * 3,
    "video_uuids": b"\x00" * 4,
    "video_int_ids": b"\x00" * 5,
    "is_terminal": b"\x00" * 7,
    "video_ids": b"\x00" * 3 + b"\x01\x01\x00",
    "video_counts": b"\x00" * 3 + b"\x01\x01\x00\x00",
}
# Bytes that bring the decoder to a 32-bit item.
U32_ITEMS = {
    "node_shifts entry": b"\x01",
    "child_transitions entry": b"\x00\x00\x01",
    "total_count": b"\x00" * 3 + b"\x01\x01",
    "video_ids entry": b"\x00" * 3 + b"\x01\x01\x00\x01",
    "video_counts entry": b"\x00" * 3 + b"\x01\x01\x00\x00\x01",
    "video_int_ids entry": b"\x00" * 5 + b"\x01",
    "id_mode": b"\x00" * 6,
}

DECODE_FAILURES = [
    ("empty input", b"", unexpected_end(1)),
    *[(f"ends before field {k}", bytes(k), unexpected_end(1)) for k in range(1, 8)],
    *[(f"two-node example cut to {k} bytes at a field start", TWO_NODE_BYTES[:k], unexpected_end(1)) for k in (3, 6, 8, 21, 22, 26, 27)],
    # a count that is cut short, or has a refused discriminant
    *[
        (f"{name} count {tail.hex()}", prefix + tail, message)
        for name, prefix in SEQUENCE_FIELDS.items()
        for tail, message in [
            (b"\xfb", unexpected_end(2)),
            (b"\xfb\x01", unexpected_end(1)),
            (b"\xfc", unexpected_end(4)),
            (b"\xfc\x01\x00", unexpected_end(2)),
            (b"\xfd", unexpected_end(8)),
            (b"\xfd\x01\x00\x00\x00\x00\x00\x00", unexpected_end(1)),
            (b"\xfe", invalid_integer("U64", "U128")),
            (b"\xff", invalid_integer("U64", "Reserved")),
            (b"\xfe\x00\x00\x00\x00\x00\x00\x00\x00", invalid_integer("U64", "U128")),
        ]
    ],
    # 32-bit items
    *[
        (f"{name} {tail.hex()}", prefix + tail, message)
        for name, prefix in U32_ITEMS.items()
        for tail, message in [
            (b"\xfd", invalid_integer("U32", "U64")),
            (b"\xfd\x00\x00\x00\x00\x00\x00\x00\x00", invalid_integer("U32", "U64")),
            (b"\xfe", invalid_integer("U32", "U128")),
            (b"\xff", invalid_integer("U32", "Reserved")),
            (b"", unexpected_end(1)),
            (b"\xfb", unexpected_end(2)),
            (b"\xfc", unexpected_end(4)),
            (b"\xfc\x01\x02\x03", unexpected_end(1)),
        ]
    ],
    # the id mode
    ("id_mode 2", bytes(6) + b"\x02", unexpected_variant("IdMode", 2)),
    ("id_mode 250", bytes(6) + b"\xfa", unexpected_variant("IdMode", 250)),
    ("id_mode 2 widened", bytes(6) + b"\xfb\x02\x00", unexpected_variant("IdMode", 2)),
    ("id_mode max", bytes(6) + b"\xfc\xff\xff\xff\xff", unexpected_variant("IdMode", 4294967295)),
    # the payload tag is a plain byte
    *[
        (f"payload tag {tag}", b"\x00" * 3 + b"\x01" + bytes([tag]), unexpected_variant(PAYLOAD_TYPE_NAME, tag))
        for tag in (2, 250, 251, 252, 253, 255)
    ],
    ("second payload tag", b"\x00" * 3 + b"\x02\x00\x07", unexpected_variant(PAYLOAD_TYPE_NAME, 7)),
    ("payload tag missing", b"\x00" * 3 + b"\x02\x00", unexpected_end(1)),
    # labels
    *[
        (f"label {raw.hex()}", b"\x00\x01" + raw, message)
        for raw, message in [
            (b"\xff", invalid_char(255, 0, 0, 0)),
            (b"\x80", invalid_char(128, 0, 0, 0)),
            (b"\xbf", invalid_char(191, 0, 0, 0)),
            (b"\xc0\x80", invalid_char(192, 0, 0, 0)),
            (b"\xc1\xbf", invalid_char(193, 0, 0, 0)),
            (b"\xf5\x80\x80\x80", invalid_char(245, 0, 0, 0)),
            (b"\xf8", invalid_char(248, 0, 0, 0)),
            (b"\xed\xa0\x80", invalid_char(237, 160, 128, 0)),
            (b"\xed\xbf\xbf", invalid_char(237, 191, 191, 0)),
            (b"\xe0\x80\x80", invalid_char(224, 128, 128, 0)),
            (b"\xe0\x9f\xbf", invalid_char(224, 159, 191, 0)),
            (b"\xf0\x80\x80\x80", invalid_char(240, 128, 128, 128)),
            (b"\xf0\x8f\xbf\xbf", invalid_char(240, 143, 191, 191)),
            (b"\xf4\x90\x80\x80", invalid_char(244, 144, 128, 128)),
            (b"\xc3\x28", invalid_char(195, 40, 0, 0)),
            (b"\xe2\x82\x41", invalid_char(226, 130, 65, 0)),
            (b"\xf0\x9d\x84\xc0", invalid_char(240, 157, 132, 192)),
            (b"\xc3", unexpected_end(1)),
            (b"\xe2", unexpected_end(2)),
            (b"\xe2\x82", unexpected_end(1)),
            (b"\xf0", unexpected_end(3)),
            (b"\xf0\x9d", unexpected_end(2)),
            (b"\xf0\x9d\x84", unexpected_end(1)),
            (b"\xed\xa0", unexpected_end(1)),
            (b"", unexpected_end(1)),
        ]
    ],
    ("second label bad", b"\x00\x02a\xff", invalid_char(255, 0, 0, 0)),
    # flags
    ("is_terminal 2", bytes(7) + b"\x01\x02", "InvalidBooleanValue(2)"),
    ("is_terminal 255", bytes(7) + b"\x01\xff", "InvalidBooleanValue(255)"),
    ("second is_terminal 5", bytes(7) + b"\x02\x01\x05", "InvalidBooleanValue(5)"),
    ("is_terminal cut", bytes(7) + b"\x02\x01", unexpected_end(1)),
    # 16-byte ids
    *[
        (f"uuid with {left} bytes left", bytes(4) + b"\x01" + bytes(left), unexpected_end(16 - left))
        for left in (0, 1, 5, 15)
    ],
    ("second uuid cut", bytes(4) + b"\x02" + bytes(16) + bytes(3), unexpected_end(13)),
    # a byte-level failure wins over contradicting arrays decoded before it
    ("lengths disagree, then a bad flag", b"\x01\x00\x00\x00\x00\x00\x00\x00\x01\x02", "InvalidBooleanValue(2)"),
    ("payload lists disagree, then input ends", b"\x00" * 3 + b"\x01\x01\x00\x01\x05\x00", unexpected_end(1)),
    ("child out of range, then a bad id mode", b"\x00\x00\x01\x09\x00\x00\x00\x03", unexpected_variant("IdMode", 3)),
]


@pytest.mark.parametrize(
    "data, message", [case[1:] for case in DECODE_FAILURES], ids=[case[0] for case in DECODE_FAILURES]
)
def test_decode_failures(data, message):
    assert decode_error(data) == "decode error: " + message
    # the plain model used by the property tests agrees
    assert decode_verdict(data) == ("error", "decode error: " + message)


def test_decode_failure_is_a_plain_value_error():
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(b"")
    assert type(info.value) is ValueError
    assert info.value.args == ("decode error: UnexpectedEnd { additional: 1 }",)


@pytest.mark.parametrize("cut", range(len(TWO_NODE_BYTES)))
def test_every_prefix_of_the_two_node_example_fails(cut):
    message = decode_error(TWO_NODE_BYTES[:cut])
    assert message == decode_verdict(TWO_NODE_BYTES[:cut])[1]
    assert message.startswith("decode error: UnexpectedEnd { additional: ")


# --- arrays that contradict each other ---------------------------------------


def chain(**changes) -> Model:
    """root -> a -> b with payloads on every node, then ``changes``."""
    model = tree_model(
        [None, 0, 1],
        [0, "a", "b"],
        [(2, [0], [2]), (2, [0], [2]), (2, [0], [2])],
        terminal=[False, False, True],
        int_ids=[42],
    )
    for name, value in changes.items():
        setattr(model, name, value)
    return model


def five_nodes(**changes) -> Model:
    model = Model(
        node_shifts=[0, 2, 4, 4, 4],
        child_labels=[0, ord("a"), ord("b"), ord("c"), ord("d")],
        child_transitions=[1, 2, 3, 4],
        payloads=[None] * 5,
        is_terminal=[False, True, True, True, True],
    )
    for name, value in changes.items():
        setattr(model, name, value)
    return model


INCONSISTENT = [
    ("node_shifts short", chain(node_shifts=[0, 1]), "node_shifts len 2 != child_labels len 3"),
    ("node_shifts long", chain(node_shifts=[0, 1, 2, 2]), "node_shifts len 4 != child_labels len 3"),
    ("node_shifts empty", chain(node_shifts=[]), "node_shifts len 0 != child_labels len 3"),
    ("payloads short", chain(payloads=[None, None]), "payloads len 2 != child_labels len 3"),
    ("payloads long", chain(payloads=[None] * 4), "payloads len 4 != child_labels len 3"),
    ("is_terminal short", chain(is_terminal=[]), "is_terminal len 0 != child_labels len 3"),
    ("is_terminal long", chain(is_terminal=[True] * 4), "is_terminal len 4 != child_labels len 3"),
    ("no labels", chain(child_labels=[]), "node_shifts len 3 != child_labels len 0"),
    ("child past the nodes", five_nodes(child_transitions=[1, 2, 3, 9]), "child_transitions[3] = 9 out of range [0..5)"),
    ("child equal to the count", five_nodes(child_transitions=[1, 5, 3, 4]), "child_transitions[1] = 5 out of range [0..5)"),
    ("first bad child reported", five_nodes(child_transitions=[1, 2, 7, 6]), "child_transitions[2] = 7 out of range [0..5)"),
    ("huge child", five_nodes(child_transitions=[2**32 - 1, 2, 3, 4]), "child_transitions[0] = 4294967295 out of range [0..5)"),
    ("child without nodes", Model(child_transitions=[5]), "child_transitions[0] = 5 out of range [0..0)"),
    ("run past the edges", chain(node_shifts=[0, 5, 5]), "children of node 0 at [0..5) out of range [0..2)"),
    ("inner run past the edges", chain(node_shifts=[0, 1, 4], child_transitions=[1, 2]), "children of node 1 at [1..4) out of range [0..2)"),
    ("run starting past the edges", chain(node_shifts=[3, 5, 5]), "children of node 0 at [3..5) out of range [0..2)"),
    ("first bad run reported", five_nodes(node_shifts=[0, 6, 7, 8, 8]), "children of node 0 at [0..6) out of range [0..4)"),
    ("counts short", chain(payloads=[None, (1, [], []), (4, [0, 1], [4])]), "video_ids and video_counts length mismatch (payloads[2])"),
    ("counts long", chain(payloads=[(1, [], [3]), None, None]), "video_ids and video_counts length mismatch (payloads[0])"),
    ("first bad payload reported", chain(payloads=[None, (1, [0], []), (1, [], [1])]), "video_ids and video_counts length mismatch (payloads[1])"),
    # several contradictions: the first of the order above is reported
    ("shifts before payloads", chain(node_shifts=[0], payloads=[None]), "node_shifts len 1 != child_labels len 3"),
    ("payloads before flags", chain(payloads=[None], is_terminal=[True]), "payloads len 1 != child_labels len 3"),
    ("flags before children", chain(is_terminal=[True], child_transitions=[9, 9]), "is_terminal len 1 != child_labels len 3"),
    ("children before runs", chain(node_shifts=[0, 5, 5], child_transitions=[1, 3]), "child_transitions[1] = 3 out of range [0..3)"),
    ("runs before payload lists", chain(node_shifts=[0, 5, 5], payloads=[(1, [0], []), None, None]), "children of node 0 at [0..5) out of range [0..2)"),
    ("lengths before payload lists", chain(payloads=[(1, [0], []), None]), "payloads len 2 != child_labels len 3"),
]


@pytest.mark.parametrize(
    "model, message", [case[1:] for case in INCONSISTENT], ids=[case[0] for case in INCONSISTENT]
)
def test_contradicting_arrays_are_refused(model, message):
    data = encode(model)
    assert decode_error(data) == "decode error: " + message
    assert decode_verdict(data) == ("error", "decode error: " + message)


CONSISTENT = [
    ("empty trie", Model()),
    ("empty trie with int ids", Model(video_int_ids=[1, 2], id_mode=INT32)),
    ("single root", tree_model([None], [0], [(3, [0], [3])], int_ids=[5])),
    (
        "children numbered below their parent",
        Model(
            node_shifts=[0, 1, 1],
            child_labels=[0, ord("b"), ord("a")],
            child_transitions=[2, 1],
            payloads=[(9, [0, 1], [6, 3]), (3, [1], [3]), (6, [0, 1], [4, 2])],
            video_int_ids=[100, 200],
            id_mode=INT32,
            is_terminal=[False, True, True],
        ),
    ),
    (
        "payload ids beyond the id table",
        tree_model([None, 0], [0, "a"], [(10, [0, 7, 1], [5, 4, 1]), (10, [7, 0, 1], [4, 5, 1])], int_ids=[1, 2]),
    ),
    (
        "absent payloads",
        tree_model(
            [None, 0, 1, 0],
            [0, "a", "b", "b"],
            [None, None, (4, [0], [4]), None],
            terminal=[False, True, True, False],
            uuids=[bytes(range(16))],
        ),
    ),
    (
        "empty runs and a run of the last node",
        Model(
            node_shifts=[0, 2, 1],
            child_labels=[0, ord("a"), ord("b")],
            child_transitions=[1, 2],
            payloads=[None, (2, [0], [2]), (1, [0], [1])],
            video_int_ids=[3],
            id_mode=INT32,
            is_terminal=[False, True, True],
        ),
    ),
    (
        "runs starting past the edges but empty",
        Model(
            node_shifts=[9, 9],
            child_labels=[0, ord("a")],
            child_transitions=[1],
            payloads=[None, (1, [0], [1])],
            video_int_ids=[3],
            id_mode=INT32,
            is_terminal=[False, True],
        ),
    ),
    (
        "a node listed twice and a node listing itself",
        Model(
            node_shifts=[0, 3, 4],
            child_labels=[0, ord("a"), ord("b")],
            child_transitions=[1, 2, 1, 1],
            payloads=[None, (5, [0], [5]), (2, [1], [2])],
            video_int_ids=[11, 22],
            id_mode=INT32,
            is_terminal=[False, True, True],
        ),
    ),
    (
        "labels 0 and astral labels",
        tree_model(
            [None, 0, 0, 2],
            [0, 0, 0x1D11E, "a"],
            [None, (5, [0], [5]), (2, [0], [2]), (3, [1], [3])],
            int_ids=[7, 8],
        ),
    ),
    (
        "id mode without a matching table",
        tree_model([None, 0], [0, "a"], [None, (1, [0], [1])], uuids=[bytes(16)], int_ids=[]),
    ),
]


@pytest.mark.parametrize("model", [case[1] for case in CONSISTENT], ids=[case[0] for case in CONSISTENT])
def test_consistent_hand_made_tries_are_accepted(model):
    data = encode(model)
    search = PrefixSearch.from_bytes(data)
    assert search.to_bytes() == data
    for query in ["", "a", "b", "ab", "ba", "\U0001d11ea", "x"]:
        for max_dist in (0, 1, 2):
            search.fuzzy_match(query, max_dist)
            for flag in (None, True, False):
                expected = candidates(model, query, max_dist, flag, None)
                got = search.fuzzy_match_video(query, max_dist, include_prefix_nodes=flag)
                check_ranking(got, model, expected, None)


def test_child_numbered_below_its_parent_is_walked():
    model = CONSISTENT[3][1]
    search = PrefixSearch.from_bytes(encode(model))
    assert search.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    assert search.fuzzy_match("a", 1) == [("a", 1, 0), ("ab", 1, 1)]
    assert search.fuzzy_match_video("ab", 0) == [("200", 1.0)]


def test_nodes_without_payload_are_passed_over():
    model = CONSISTENT[5][1]  # "a" (terminal, absent), "ab" (terminal, 4), "b" (absent)
    search = PrefixSearch.from_bytes(encode(model))
    assert search.fuzzy_match("a", 0) == [("a", 1, 0)]
    assert search.fuzzy_match_video("a", 0) == []
    # "a" is terminal without a payload and adds nothing; "ab" carries it all
    assert search.fuzzy_match_video("ab", 1) == [("00010203-0405-0607-0809-0a0b0c0d0e0f", 1.0)]


def test_ids_beyond_the_table_are_left_out_after_decoding():
    model = CONSISTENT[4][1]
    search = PrefixSearch.from_bytes(encode(model))
    assert search.fuzzy_match_video("a") == [("1", 0.5), ("2", 0.1)]
    assert search.fuzzy_match_video("a", limit=1) == [("1", 0.5)]
    # index 7 (0.4) takes the second place before the table is consulted
    assert search.fuzzy_match_video("a", limit=2) == [("1", 0.5)]
    assert search.fuzzy_match_video("a", limit=3) == [("1", 0.5), ("2", 0.1)]


# --- the Python methods ------------------------------------------------------


class BytesSubclass(bytes):
    pass


def test_bytes_subclass_is_accepted():
    search = PrefixSearch.from_bytes(BytesSubclass(TWO_NODE_BYTES))
    assert type(search) is PrefixSearch
    assert search.to_bytes() == TWO_NODE_BYTES


def test_keyword_argument_is_accepted():
    assert PrefixSearch.from_bytes(b=TWO_NODE_BYTES).to_bytes() == TWO_NODE_BYTES


@pytest.mark.parametrize(
    "value, type_name",
    [
        (bytearray(TWO_NODE_BYTES), "bytearray"),
        (memoryview(TWO_NODE_BYTES), "memoryview"),
        ("abc", "str"),
        (None, "NoneType"),
        (list(TWO_NODE_BYTES), "list"),
    ],
)
def test_other_buffers_are_refused(value, type_name):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_bytes(value)
    assert str(info.value) == f"argument 'b': '{type_name}' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'"),
        ((TWO_NODE_BYTES, TWO_NODE_BYTES), {}, "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given"),
        ((b"", b"", b""), {}, "PrefixSearch.from_bytes() takes 1 positional arguments but 3 were given"),
        ((TWO_NODE_BYTES,), {"b": b""}, "PrefixSearch.from_bytes() got multiple values for argument 'b'"),
        ((), {"data": b""}, "PrefixSearch.from_bytes() got an unexpected keyword argument 'data'"),
    ],
)
def test_from_bytes_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_bytes(*args, **kwargs)
    assert str(info.value) == message


def test_from_bytes_binding_error_wins_over_bad_bytes():
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_bytes(bytearray(), b"\xff")
    assert str(info.value) == "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given"


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((b"",), {}), ((), {"x": 1})])
def test_to_bytes_takes_no_arguments(args, kwargs):
    search = build(TWO_NODE_ARRAYS)
    with pytest.raises(TypeError):
        search.to_bytes(*args, **kwargs)
    assert search.to_bytes() == TWO_NODE_BYTES


def test_from_bytes_on_an_instance():
    search = build(TWO_NODE_ARRAYS)
    other = search.from_bytes(search.to_bytes())
    assert other is not search
    assert other.to_bytes() == TWO_NODE_BYTES


# --- counts from untrusted input ---------------------------------------------

HUGE = (2**40).to_bytes(8, "little")

# Each input announces far more elements than it holds.
HUGE_COUNTS = [
    ("node_shifts", b"\xfd" + HUGE + b"\x00\x00\x00", unexpected_end(1)),
    ("node_shifts 32-bit count", b"\xfc\xff\xff\xff\xff\x01\x02", unexpected_end(1)),
    ("child_labels", b"\x00\xfd" + HUGE + b"ab", unexpected_end(1)),
    ("child_transitions", b"\x00\x00\xfd" + HUGE + b"\x05", unexpected_end(1)),
    ("payloads", b"\x00\x00\x00\xfd" + HUGE + b"\x00\x00", unexpected_end(1)),
    ("video_ids", b"\x00\x00\x00\x01\x01\x00\xfd" + HUGE, unexpected_end(1)),
    ("video_uuids", b"\x00" * 4 + b"\xfd" + HUGE + b"\x00\x00\x00", unexpected_end(13)),
    ("video_int_ids", b"\x00" * 5 + b"\xfd" + HUGE + b"\x00", unexpected_end(1)),
    ("is_terminal", b"\x00" * 7 + b"\xfd" + HUGE + b"\x01", unexpected_end(1)),
    ("largest count", b"\xfd" + b"\xff" * 8 + b"\x00", unexpected_end(1)),
]

CHILD_PROGRAM = textwrap.dedent(
    """
    import json, os, resource, sys
    from _quillon import PrefixSearch

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    data = bytes.fromhex(sys.argv[1])
    capped = "asan" not in open("/proc/self/maps").read()
    if capped:
        # leave 256 MiB of address space: a reservation sized from the count
        # (terabytes here) fails instead of going unnoticed
        limit = vm_size() + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        PrefixSearch.from_bytes(data)
        outcome = ["accepted"]
    except BaseException as exc:
        outcome = [type(exc).__name__, str(exc)]
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(json.dumps([outcome, grown, capped]))
    """
)


@pytest.mark.parametrize("data, message", [case[1:] for case in HUGE_COUNTS], ids=[case[0] for case in HUGE_COUNTS])
def test_huge_counts_fail_without_allocating(data, message):
    module_dir = os.path.dirname(_quillon.__file__)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, env.get("PYTHONPATH", "")])
    proc = subprocess.run(
        [sys.executable, "-c", CHILD_PROGRAM, data.hex()],
        capture_output=True,
        text=True,
        env=env,
        stdin=subprocess.DEVNULL,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcome, grown_kib, _capped = json.loads(proc.stdout.strip().splitlines()[-1])
    assert outcome == ["ValueError", "decode error: " + message]
    # ru_maxrss is in KiB: the peak resident size grew by less than 16 MiB
    assert grown_kib < 16 * 1024
