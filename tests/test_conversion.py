"""Which Python objects each parameter accepts, and how refusals are worded."""

from __future__ import annotations

import array
import enum

import pytest

import _quillon
from interpreter import index_error, long_error, unsigned_long_long_error, utf8_error
from trie_builders import CHAIN, terms_arrays, with_

RANGE_MESSAGE = "out of range integral type conversion attempted"
FID_PARAMS = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"]
ARRAY_PARAMS = FID_PARAMS[:5]



class _Outer:
    class Inner:
        """A type whose qualified name differs from its name."""


class Text(str):
    def __str__(self):
        return "something else"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc, cause=None):
        self.exc = exc
        self.cause = cause

    def __index__(self):
        if self.cause is None:
            raise self.exc
        raise self.exc from self.cause


class MyTypeError(TypeError):
    pass


class Color(enum.IntEnum):
    RED = 0
    GREEN = 1


class Seq:
    """A minimal sequence: __len__ and __getitem__ only."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class LyingLength(Seq):
    """Claims far more items than it yields."""

    def __len__(self):
        return 2**40


class FailingLength(Seq):
    def __len__(self):
        raise RuntimeError("no length today")


class FailingIter(Seq):
    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        raise self.exc


class FailingMidway(Seq):
    """Yields its items, then raises instead of stopping."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        yield from self.items
        raise self.exc


# --- text ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, type_name",
    [
        (b"cat", "bytes"),
        (bytearray(b"cat"), "bytearray"),
        (5, "int"),
        (None, "NoneType"),
        (["cat"], "list"),
        (_Outer.Inner(), "_Outer.Inner"),
    ],
)
def test_term_must_be_text(worked_example, value, type_name):
    with pytest.raises(TypeError) as info:
        worked_example.fuzzy_match(value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'term': '{type_name}' object cannot be converted to 'PyString'"


def test_term_str_subclass_is_read_as_its_text(worked_example):
    assert worked_example.fuzzy_match(Text("cat"), 0) == [("cat", 1, 0)]


@pytest.mark.parametrize("text", ["\ud800", "ca\udfff"])
def test_term_lone_surrogate_raises_unicode_encode_error(worked_example, text):
    with pytest.raises(UnicodeEncodeError) as info:
        worked_example.fuzzy_match(text)
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(utf8_error(text))


@pytest.mark.parametrize(
    "value, type_name",
    [(b"a", "bytes"), (None, "NoneType"), (97, "int"), (_Outer.Inner(), "_Outer.Inner")],
)
def test_label_must_be_text(PrefixSearch, value, type_name):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(child_labels=["", value, "b"]))
    assert str(info.value) == (
        f"argument 'child_labels': '{type_name}' object cannot be converted to 'PyString'"
    )


def test_label_lone_surrogate_raises_unicode_encode_error(PrefixSearch):
    with pytest.raises(UnicodeEncodeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(child_labels=["", "a", "\udc80"]))
    assert str(info.value) == str(utf8_error("\udc80"))


def test_label_str_subclass_is_read_as_its_text(build):
    trie = build(with_(child_labels=[Text(""), Text("a"), Text("b")]))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]


# --- unsigned 32-bit integers ---------------------------------------------------------


def ab_terms():
    # a, ab, abc, abcd: from "ab" they lie at distances 1, 0, 1, 2
    return terms_arrays(["a", "ab", "abc", "abcd"])


@pytest.mark.parametrize(
    "value, same_as",
    [
        (True, 1),
        (False, 0),
        (Color.GREEN, 1),
        (Index(2), 2),
        (2**32 - 1, 2**32 - 1),
        (Index(2**32 - 1), 2**32 - 1),
    ],
    ids=["True", "False", "IntEnum", "__index__", "max", "__index__-max"],
)
def test_max_dist_accepts_integer_values(build, value, same_as):
    trie = build(ab_terms())
    assert trie.fuzzy_match("ab", value) == trie.fuzzy_match("ab", same_as)


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, [("a", 1, 1)]),
        (False, []),
        (Index(2), [("a", 1, 1), ("ab", 1, 0)]),
        (Color.GREEN, [("a", 1, 1)]),
        (2**32 - 1, [("a", 1, 1), ("ab", 1, 0), ("abc", 1, 1), ("abcd", 1, 2)]),
    ],
)
def test_limit_accepts_integer_values(build, value, expected):
    assert build(ab_terms()).fuzzy_match("ab", 2, value) == expected


def test_numpy_integers_are_accepted(build):
    np = pytest.importorskip("numpy")
    trie = build(ab_terms())
    assert trie.fuzzy_match("ab", np.int64(1), np.uint32(2)) == [("a", 1, 1), ("ab", 1, 0)]
    with pytest.raises(OverflowError) as info:
        trie.fuzzy_match("ab", np.uint64(2**32))
    assert str(info.value) == RANGE_MESSAGE


def test_video_top_n_accepts_its_whole_range(build):
    for value in (0, 1, 2**32 - 1, True, Index(7)):
        assert build(with_(video_top_n=value)).fuzzy_match("ab", 0) == [("ab", 1, 0)]


def place_integer(param, value, trie_factory):
    """Performs a call with ``value`` in the unsigned 32-bit parameter ``param``."""
    if param == "max_dist":
        return trie_factory().fuzzy_match("ab", value)
    if param == "limit":
        return trie_factory().fuzzy_match("ab", 1, value)
    if param == "video_top_n":
        return _quillon.PrefixSearch.from_internal_data_v2(**with_(video_top_n=value))
    if param == "node_shifts":
        return _quillon.PrefixSearch.from_internal_data_v2(**with_(node_shifts=[0, value, 2]))
    if param == "child_transitions":
        return _quillon.PrefixSearch.from_internal_data_v2(**with_(child_transitions=[1, value]))
    raise AssertionError(param)


INTEGER_PARAMS = ["max_dist", "limit", "video_top_n", "node_shifts", "child_transitions"]


@pytest.fixture
def chain_trie(build):
    return lambda: build(CHAIN)


@pytest.mark.parametrize("param", INTEGER_PARAMS)
@pytest.mark.parametrize("value", [2**32, 2**32 + 1, 2**64 - 1, Index(2**32)], ids=["2**32", "2**32+1", "2**64-1", "__index__"])
def test_integer_above_32_bits_overflows(chain_trie, param, value):
    with pytest.raises(OverflowError) as info:
        place_integer(param, value, chain_trie)
    assert type(info.value) is OverflowError
    assert str(info.value) == RANGE_MESSAGE


@pytest.mark.parametrize("param", INTEGER_PARAMS)
@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, Index(-1)], ids=["-1", "-2**70", "2**64", "2**100", "__index__-1"])
def test_integer_negative_or_beyond_64_bits_raises_interpreter_overflow(chain_trie, param, value):
    with pytest.raises(OverflowError) as info:
        place_integer(param, value, chain_trie)
    raw = value.value if isinstance(value, Index) else value
    assert type(info.value) is OverflowError
    assert str(info.value) == str(unsigned_long_long_error(raw))
    assert not str(info.value).startswith("argument")


NON_INTEGERS = {
    "float": 1.0,
    "None": None,
    "str": "1",
    "complex": 1j,
    "bytes": b"\x01",
    "nested-class": _Outer.Inner(),
}


@pytest.mark.parametrize(
    "param, kind",
    [
        (param, kind)
        for param in INTEGER_PARAMS
        for kind in NON_INTEGERS
        if not (param == "limit" and kind == "None")  # None is "no limit" there
    ],
)
def test_integer_parameter_refuses_non_integers(chain_trie, param, kind):
    value = NON_INTEGERS[kind]
    with pytest.raises(TypeError) as info:
        place_integer(param, value, chain_trie)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': {index_error(value)}"


@pytest.mark.parametrize("param", INTEGER_PARAMS)
def test_index_returning_a_non_integer(chain_trie, param):
    with pytest.raises(TypeError) as info:
        place_integer(param, Index("3"), chain_trie)
    assert str(info.value) == f"argument '{param}': {index_error(Index('3'))}"


@pytest.mark.parametrize("param", INTEGER_PARAMS)
@pytest.mark.parametrize(
    "make_exc",
    [lambda: ValueError("boom"), lambda: MyTypeError("subclassed"), lambda: OverflowError("mine"), lambda: KeyError("k")],
    ids=["ValueError", "TypeError-subclass", "OverflowError", "KeyError"],
)
def test_raising_index_propagates_unchanged(chain_trie, param, make_exc):
    exc = make_exc()
    with pytest.raises(BaseException) as info:
        place_integer(param, RaisingIndex(exc), chain_trie)
    assert info.value is exc


@pytest.mark.parametrize("param", INTEGER_PARAMS)
def test_raising_index_type_error_is_wrapped(chain_trie, param):
    exc = TypeError("custom")
    with pytest.raises(TypeError) as info:
        place_integer(param, RaisingIndex(exc), chain_trie)
    assert type(info.value) is TypeError
    assert info.value is not exc
    assert str(info.value) == f"argument '{param}': custom"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("param", INTEGER_PARAMS)
def test_wrapped_type_error_keeps_the_cause(chain_trie, param):
    cause = KeyError("inner")
    exc = TypeError("outer")
    with pytest.raises(TypeError) as info:
        place_integer(param, RaisingIndex(exc, cause), chain_trie)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': outer"
    assert info.value.__cause__ is cause


# --- sequences ------------------------------------------------------------------------------


SEQUENCE_FORMS = {
    "list": list,
    "tuple": tuple,
    "Seq": Seq,
    "LyingLength": LyingLength,
    "FailingLength": FailingLength,
}
INTEGER_SEQUENCE_FORMS = dict(
    SEQUENCE_FORMS,
    bytes=bytes,
    bytearray=bytearray,
    array=lambda values: array.array("I", values),
    range=lambda values: range(values[0], values[-1] + 1),
)


@pytest.mark.parametrize("param", ["node_shifts", "child_transitions"])
@pytest.mark.parametrize("form", list(INTEGER_SEQUENCE_FORMS))
def test_integer_sequences_in_any_sequence_form(build, param, form):
    # both arrays of CHAIN are runs of consecutive integers, so range fits
    trie = build(with_(**{param: INTEGER_SEQUENCE_FORMS[form](CHAIN[param])}))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    assert trie.fuzzy_match("b", 1) == [("ab", 1, 1)]


@pytest.mark.parametrize("param", ["child_labels", "payloads", "video_index"])
@pytest.mark.parametrize("form", list(SEQUENCE_FORMS))
def test_other_sequences_in_any_sequence_form(build, param, form):
    arrays = with_(video_index=[b"\x01\x00\x00\x00"])
    trie = build(with_(arrays, **{param: SEQUENCE_FORMS[form](arrays[param])}))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]


@pytest.mark.parametrize("form", list(SEQUENCE_FORMS))
def test_payload_lists_in_any_sequence_form(build, form):
    payload = (5, SEQUENCE_FORMS[form]([0, 1]), SEQUENCE_FORMS[form]([3, 4]))
    trie = build(with_(payloads=[None, None, payload], video_index=[bytes(4), bytes(4)]))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]


@pytest.mark.parametrize(
    "entry",
    [bytes(4), bytearray(4), [255, 0, 0, 0], (1, 2, 3, 4), range(4), Seq([0, 0, 0, 255]), LyingLength([9] * 4),
     [True, False, Index(255), Index(0)], bytes(16), list(range(16))],
    ids=["bytes", "bytearray", "list", "tuple", "range", "Seq", "LyingLength", "bool-and-__index__", "bytes16", "list16"],
)
def test_video_index_entries_in_any_sequence_form(build, entry):
    assert build(with_(video_index=[entry, entry])).fuzzy_match("ab", 0) == [("ab", 1, 0)]


NOT_SEQUENCES = [
    ({1, 2}, "set"),
    (frozenset(), "frozenset"),
    ({0: 1}, "dict"),
    ({}.keys(), "dict_keys"),
    ((x for x in [0]), "generator"),
    (iter([0, 1]), "list_iterator"),
    (5, "int"),
    (None, "NoneType"),
    (_Outer.Inner(), "_Outer.Inner"),
]


@pytest.mark.parametrize("param", ARRAY_PARAMS)
@pytest.mark.parametrize("value, type_name", NOT_SEQUENCES, ids=[name for _, name in NOT_SEQUENCES])
def test_array_parameter_refuses_non_sequences(PrefixSearch, param, value, type_name):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: value}))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': '{type_name}' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("param", ARRAY_PARAMS)
@pytest.mark.parametrize("value", ["", "ab", "\x00\x01", Text("ab")], ids=["empty", "ab", "control", "subclass"])
def test_array_parameter_refuses_str(PrefixSearch, param, value):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: value}))
    assert str(info.value) == f"argument '{param}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("param", ["node_shifts", "child_transitions"])
@pytest.mark.parametrize(
    "bad",
    [1.5, "1", None, [1]],
    ids=["float", "str", "None", "list"],
)
def test_bad_element_gives_its_own_message_under_the_prefix(PrefixSearch, param, bad):
    values = list(CHAIN[param])
    values[1] = bad
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: values}))
    assert str(info.value) == f"argument '{param}': {index_error(bad)}"


def test_first_failing_element_is_reported(PrefixSearch):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(node_shifts=[0, "x", 1.5]))
    assert str(info.value) == f"argument 'node_shifts': {index_error('x')}"


@pytest.mark.parametrize("param", ["node_shifts", "child_transitions"])
def test_element_overflow_is_not_prefixed(PrefixSearch, param):
    for bad, message in ((-1, str(unsigned_long_long_error(-1))), (2**32, RANGE_MESSAGE)):
        values = list(CHAIN[param])
        values[0] = bad
        with pytest.raises(OverflowError) as info:
            PrefixSearch.from_internal_data_v2(**with_(**{param: values}))
        assert str(info.value) == message


@pytest.mark.parametrize("param", ARRAY_PARAMS)
@pytest.mark.parametrize(
    "make_exc",
    [lambda: RuntimeError("no iterator"), lambda: MyTypeError("sub")],
    ids=["RuntimeError", "TypeError-subclass"],
)
def test_failing_iteration_propagates_unchanged(PrefixSearch, param, make_exc):
    exc = make_exc()
    with pytest.raises(BaseException) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: FailingIter(CHAIN[param], exc)}))
    assert info.value is exc
    exc = make_exc()
    with pytest.raises(BaseException) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: FailingMidway(CHAIN[param], exc)}))
    assert info.value is exc


@pytest.mark.parametrize("param", ARRAY_PARAMS)
def test_failing_iteration_with_type_error_is_wrapped(PrefixSearch, param):
    cause = ValueError("why")
    exc = TypeError("mid-way")
    exc.__cause__ = cause
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(**{param: FailingMidway(CHAIN[param], exc)}))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{param}': mid-way"
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("param", ["node_shifts", "child_labels", "child_transitions"])
def test_sequence_claiming_a_huge_length_converts_its_items(build, param):
    # __len__ says 2**40; only the items actually yielded count
    trie = build(with_(**{param: LyingLength(CHAIN[param])}))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    assert trie.fuzzy_match("a", 0) == []


def test_payload_lists_claiming_a_huge_length(build, PrefixSearch):
    trie = build(with_(payloads=[None, None, (1, LyingLength([0]), LyingLength([5]))], video_index=[bytes(4)]))
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_internal_data_v2(**with_(payloads=[None, None, (1, LyingLength([0]), [5, 6])]))
    assert str(info.value) == "video_ids and video_counts length mismatch"


# --- byte values -----------------------------------------------------------------------------------


@pytest.mark.parametrize("value", [256, -1, 2**40, -(2**40), Index(256), Index(-1)], ids=["256", "-1", "2**40", "-2**40", "__index__256", "__index__-1"])
def test_byte_value_out_of_range(PrefixSearch, value):
    with pytest.raises(OverflowError) as info:
        PrefixSearch.from_internal_data_v2(**with_(video_index=[[0, 0, 0, value]]))
    assert type(info.value) is OverflowError
    assert str(info.value) == RANGE_MESSAGE


def test_byte_value_out_of_range_comes_before_the_length_check(PrefixSearch):
    # one entry of length 1 would fail the id table check, but conversion runs first
    with pytest.raises(OverflowError) as info:
        PrefixSearch.from_internal_data_v2(**with_(video_index=[[256]]))
    assert str(info.value) == RANGE_MESSAGE


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
def test_byte_value_beyond_c_long(PrefixSearch, value):
    with pytest.raises(OverflowError) as info:
        PrefixSearch.from_internal_data_v2(**with_(video_index=[[value, 0, 0, 0]]))
    assert str(info.value) == str(long_error(value))


@pytest.mark.parametrize("value", [1.5, None, "a", b"a"], ids=["float", "None", "str", "bytes"])
def test_byte_value_refuses_non_integers(PrefixSearch, value):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(video_index=[[0, value, 0, 0]]))
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'video_index': {index_error(value)}"


@pytest.mark.parametrize(
    "entry, message",
    [
        ("abcd", "Can't extract `str` to `Vec`"),
        (Text("abcd"), "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        ({1, 2, 3, 4}, "'set' object cannot be converted to 'Sequence'"),
    ],
    ids=["str", "str-subclass", "int", "None", "set"],
)
def test_video_index_entry_must_be_a_sequence(PrefixSearch, entry, message):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(video_index=[bytes(4), entry]))
    assert str(info.value) == f"argument 'video_index': {message}"


# --- order among arguments ---------------------------------------------------------------------------

BAD_VALUES = {
    "node_shifts": {1},
    "child_labels": {1},
    "payloads": {1},
    "child_transitions": {1},
    "video_index": {1},
    "video_top_n": "x",
}


@pytest.mark.parametrize("first_bad", range(6), ids=FID_PARAMS)
def test_first_wrong_constructor_argument_wins(PrefixSearch, first_bad):
    arrays = dict(CHAIN)
    for name in FID_PARAMS[first_bad:]:
        arrays[name] = BAD_VALUES[name]
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**arrays)
    assert str(info.value).startswith(f"argument '{FID_PARAMS[first_bad]}': ")


@pytest.mark.parametrize(
    "args, error, prefix",
    [
        ((b"x", "y", "z"), TypeError, "argument 'term': "),
        (("x", "y", "z"), TypeError, "argument 'max_dist': "),
        (("x", -1, "z"), OverflowError, ""),
        (("x", 1, "z"), TypeError, "argument 'limit': "),
        (("\ud800", "y", "z"), UnicodeEncodeError, ""),
    ],
)
def test_first_wrong_fuzzy_match_argument_wins(worked_example, args, error, prefix):
    with pytest.raises(error) as info:
        worked_example.fuzzy_match(*args)
    assert type(info.value) is error
    assert str(info.value).startswith(prefix)
    if error is OverflowError:
        assert str(info.value) == str(unsigned_long_long_error(-1))


def test_conversion_errors_come_before_construction_checks(PrefixSearch):
    # node_shifts is too short, and payload 2 is malformed, but both are
    # construction checks: the unconvertible video_top_n is reported
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(node_shifts=[0], payloads=[None, None, [0, [], []]], video_top_n="x"))
    assert str(info.value) == f"argument 'video_top_n': {index_error('x')}"
    # payload entries are checked by the construction, so a video_index that
    # cannot be converted is reported first
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(payloads=[None, None, [0, [], []]], video_index=["abcd"]))
    assert str(info.value) == "argument 'video_index': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "payloads, message",
    [
        ((None, 5, "x"), "'int' object cannot be converted to 'PyTuple'"),
        ([[], {}, b""], "'list' object cannot be converted to 'PyTuple'"),
        (b"\x00\x00\x00", "'int' object cannot be converted to 'PyTuple'"),
    ],
)
def test_payload_entries_are_checked_by_the_construction(PrefixSearch, payloads, message):
    # any object is a valid element of the payloads sequence; what an entry
    # holds is the construction's business, reported without a prefix
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_internal_data_v2(**with_(payloads=payloads))
    assert str(info.value) == message
