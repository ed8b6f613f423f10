"""Sequences of unsigned 32-bit integers given as buffers (array.array('I'),
numpy uint32, memoryview): read straight from the buffer, they must give
exactly what iterating them gives, in results and in errors; every other
form keeps the generic path."""

from __future__ import annotations

import array
import random

import numpy
import pytest

import _quillon
from quillon import build_arrays
from trie_builders import CHAIN, with_

PrefixSearch = _quillon.PrefixSearch

U32_FORMS = {
    "array I": lambda values: array.array("I", values),
    "numpy uint32": lambda values: numpy.array(values, dtype=numpy.uint32),
    "numpy <u4": lambda values: numpy.array(values, dtype="<u4"),
    "memoryview": lambda values: memoryview(array.array("I", values)),
}


def records(count=400, seed=11):
    rng = random.Random(seed)
    words = ["".join(rng.choice("abcé\U0001f600") for _ in range(rng.randrange(1, 7))) for _ in range(count)]
    return [(word, rng.randrange(2**32), rng.randrange(1, 50)) for word in words]


@pytest.mark.parametrize("form", list(U32_FORMS))
def test_buffers_build_the_same_trie_as_lists(form):
    arrays = build_arrays(records(), top_n=4)
    to_form = U32_FORMS[form]
    payloads = [None if p is None else (p[0], to_form(p[1]), to_form(p[2])) for p in arrays.payloads]
    from_buffers = PrefixSearch.from_internal_data_v2(
        to_form(arrays.node_shifts), arrays.child_labels, payloads, to_form(arrays.child_transitions),
        arrays.video_index, arrays.video_top_n,
    )  # fmt: skip
    assert from_buffers.to_bytes() == PrefixSearch.from_internal_data_v2(*arrays).to_bytes()


class Backwards(array.array):
    """An array whose iteration is not its buffer."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


def generic_forms():
    """Buffers that must not be read directly, each with the list that
    iterating it gives (which the module must treat the same way)."""
    values = [0, 1, 2]
    matrix = numpy.array([[0, 1], [2, 3]], dtype=numpy.uint32)
    return {
        "subclass iterating otherwise": (Backwards("I", values), [2, 1, 0]),
        "numpy uint64": (numpy.array(values, dtype=numpy.uint64), values),
        "numpy >u4": (numpy.array(values, dtype=">u4"), values),
        "strided numpy": (numpy.arange(6, dtype=numpy.uint32)[::2], [0, 2, 4]),
        "array i, negative": (array.array("i", [0, -1]), [0, -1]),
        "numpy int64, too large": (numpy.array([0, 2**32], dtype=numpy.int64), [0, 2**32]),
        "bytes": (b"\x00\x01\x02", values),
        "memoryview of bytes": (memoryview(b"\x00\x01\x02"), values),
        "2-d numpy": (matrix, list(matrix)),
        "0-d numpy": (numpy.array(5, dtype=numpy.uint32), None),
    }


def outcome(call):
    try:
        return ("ok", call().to_bytes())
    except BaseException as error:  # noqa: BLE001 - the outcome, internal errors included, is compared
        return (type(error), str(error))


@pytest.mark.parametrize("name", list(generic_forms()))
@pytest.mark.parametrize("place", ["node_shifts", "child_transitions", "payload ids"])
def test_other_forms_take_the_generic_path(name, place):
    given, iterated = generic_forms()[name]

    def build(values):
        if place == "payload ids":
            payload = (1, values, [1] * (len(iterated) if iterated is not None else 1))
            return lambda: PrefixSearch.from_internal_data_v2(**with_(payloads=[None, None, payload], video_index=[bytes(4)]))
        return lambda: PrefixSearch.from_internal_data_v2(**with_(**{place: values}))

    got = outcome(build(given))
    if iterated is None:  # nothing to iterate: the interpreter's refusal
        assert got[0] is TypeError and "iteration over a 0-d array" in got[1]
    else:
        assert got == outcome(build(iterated))


def test_a_released_memoryview_fails_as_iterating_it_does():
    view = memoryview(array.array("I", CHAIN["node_shifts"]))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        PrefixSearch.from_internal_data_v2(**with_(node_shifts=view))
