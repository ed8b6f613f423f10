"""from_bytes on damaged and arbitrary input: it either hands out a trie that
answers every query, or refuses with a decode error; nothing else."""

from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _quillon import PrefixSearch
from stored_model import INT32, Model, decode_verdict, encode, examples
from strategies import summed_payloads
from trie_builders import terms_arrays

PROPERTY = settings(
    max_examples=examples(300),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

LETTERS = "ab\U0001d11e"


@st.composite
def valid_encodings(draw):
    """Bytes of a trie, built by the module or written by hand."""
    if draw(st.booleans()):
        terms = draw(
            st.dictionaries(
                st.text(st.sampled_from(LETTERS), min_size=1, max_size=3),
                summed_payloads(st.integers(0, 3), st.integers(0, 300), max_size=3),
                max_size=5,
            )
        )
        size = draw(st.sampled_from([0, 4, 16]))
        table = [bytes([i]) * size for i in range(draw(st.integers(0, 3)))] if size else []
        arrays = terms_arrays(terms, table, draw(st.integers(0, 3)))
        return PrefixSearch.from_internal_data_v2(**arrays).to_bytes()
    # a hand-made trie: any shape, absent payloads, ids past the table
    n = draw(st.integers(0, 5))
    transitions = draw(st.lists(st.integers(0, max(0, n - 1)), max_size=6)) if n else []
    shifts = sorted(draw(st.lists(st.integers(0, len(transitions)), min_size=n, max_size=n)))
    payload = st.one_of(st.none(), summed_payloads(st.integers(0, 300), st.integers(0, 300), max_size=3))
    model = Model(
        node_shifts=shifts,
        child_labels=[draw(st.sampled_from([0, 97, 98, 0xE9, 0x1D11E])) for _ in range(n)],
        child_transitions=transitions,
        payloads=[draw(payload) for _ in range(n)],
        video_uuids=[bytes([i]) * 16 for i in range(draw(st.integers(0, 2)))],
        video_int_ids=draw(st.lists(st.integers(0, 70000), max_size=2)),
        id_mode=draw(st.sampled_from([0, INT32])),
        is_terminal=[draw(st.booleans()) for _ in range(n)],
    )
    return encode(model)


@st.composite
def mutated(draw):
    data = bytearray(draw(valid_encodings()))
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        action = draw(st.sampled_from(["replace", "insert", "delete", "small"]))
        if action == "insert":
            data.insert(at, draw(st.integers(0, 255)))
        elif at < len(data):
            if action == "delete":
                del data[at]
            elif action == "replace":
                data[at] = draw(st.integers(0, 255))
            else:
                data[at] = draw(st.sampled_from([0, 1, 2, 5, 250, 251, 252, 253, 254, 255]))
    return bytes(data)


@st.composite
def truncated(draw):
    data = draw(valid_encodings())
    return data[: draw(st.integers(0, max(0, len(data) - 1)))]


# Mostly small values, so that counts stay within the input now and then.
random_bytes = st.one_of(
    st.binary(max_size=48),
    st.lists(st.sampled_from([0, 1, 2, 3, 97, 251, 252, 253, 254, 255]), max_size=48).map(bytes),
)

QUERIES = [("", 1), ("a", 1), ("ab", 1), ("b\U0001d11e", 2), ("ba", 0)]


def exercise(data: bytes) -> None:
    expected_kind, expected = decode_verdict(data)
    try:
        search = PrefixSearch.from_bytes(data)
    except ValueError as exc:
        assert str(exc).startswith("decode error: ")
        assert expected_kind == "error", f"refused {data.hex()}: {exc}"
        assert str(exc) == expected
        return
    except BaseException as exc:  # noqa: BLE001 - a panic must fail the test, not escape it
        pytest.fail(f"from_bytes({data.hex()}) raised {type(exc).__name__}: {exc}")
    assert type(search) is PrefixSearch
    assert expected_kind == "ok", f"accepted {data.hex()}, expected {expected}"
    try:
        assert search.to_bytes() == encode(expected)
        for query, max_dist in QUERIES:
            for term, one, dist in search.fuzzy_match(query, max_dist):
                assert type(term) is str and one == 1 and dist <= max_dist
            search.fuzzy_match(query, max_dist, 0)
            for flag in (None, True, False):
                for text, score in search.fuzzy_match_video(query, max_dist, None, flag, -1.0):
                    assert type(text) is str and type(score) is float
            search.fuzzy_match_video(query, max_dist, 1)
    except AssertionError:
        raise
    except BaseException as exc:  # noqa: BLE001
        pytest.fail(f"trie decoded from {data.hex()} raised {type(exc).__name__}: {exc}")


@PROPERTY
@given(data=truncated())
def test_truncated_encodings(data):
    exercise(data)
    # a proper prefix always ends inside some item
    assert decode_verdict(data)[1].startswith("decode error: UnexpectedEnd")


@PROPERTY
@given(data=mutated())
def test_mutated_encodings(data):
    exercise(data)


@PROPERTY
@given(data=random_bytes)
def test_random_bytes(data):
    exercise(data)


@PROPERTY
@given(data=valid_encodings(), tail=st.binary(max_size=6))
def test_valid_encodings_with_a_tail(data, tail):
    assert decode_verdict(data)[0] == "ok"
    exercise(data + tail)
    assert PrefixSearch.from_bytes(data + tail).to_bytes() == data
