"""Binding of call arguments to parameters: the messages and their order."""

from __future__ import annotations

import itertools
import random

import pytest

from trie_builders import terms_arrays

FM = "PrefixSearch.fuzzy_match()"
FID = "PrefixSearch.from_internal_data_v2()"
FID_PARAMS = ["node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n"]
VALID = terms_arrays(["ab", "b"])  # the six arguments of a small valid trie


def call_fuzzy_match(trie, args, kwargs):
    with pytest.raises(TypeError) as info:
        trie.fuzzy_match(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


def call_constructor(target, args, kwargs):
    with pytest.raises(TypeError) as info:
        target.from_internal_data_v2(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


def positional(count):
    return tuple(VALID[name] for name in FID_PARAMS[:count])


# --- missing required arguments ---------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, f"{FM} missing 1 required positional argument: 'term'"),
        ((), {"max_dist": 1}, f"{FM} missing 1 required positional argument: 'term'"),
        ((), {"limit": None, "max_dist": 0}, f"{FM} missing 1 required positional argument: 'term'"),
    ],
)
def test_fuzzy_match_missing_term(worked_example, args, kwargs, expected):
    assert call_fuzzy_match(worked_example, args, kwargs) == expected


@pytest.mark.parametrize(
    "given_positionally, given_by_keyword, expected_tail",
    [
        (
            0,
            [],
            "missing 6 required positional arguments: 'node_shifts', 'child_labels', 'payloads', "
            "'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (
            1,
            [],
            "missing 5 required positional arguments: 'child_labels', 'payloads', "
            "'child_transitions', 'video_index', and 'video_top_n'",
        ),
        (3, [], "missing 3 required positional arguments: 'child_transitions', 'video_index', and 'video_top_n'"),
        (4, [], "missing 2 required positional arguments: 'video_index' and 'video_top_n'"),
        (5, [], "missing 1 required positional argument: 'video_top_n'"),
        (
            0,
            ["video_top_n", "node_shifts"],
            "missing 4 required positional arguments: 'child_labels', 'payloads', "
            "'child_transitions', and 'video_index'",
        ),
        (
            1,
            ["payloads"],
            "missing 4 required positional arguments: 'child_labels', 'child_transitions', "
            "'video_index', and 'video_top_n'",
        ),
        (
            0,
            ["node_shifts", "payloads", "child_transitions", "video_top_n"],
            "missing 2 required positional arguments: 'child_labels' and 'video_index'",
        ),
        (
            2,
            ["video_top_n", "payloads", "video_index"],
            "missing 1 required positional argument: 'child_transitions'",
        ),
    ],
)
def test_constructor_missing_arguments(PrefixSearch, given_positionally, given_by_keyword, expected_tail):
    kwargs = {name: VALID[name] for name in given_by_keyword}
    message = call_constructor(PrefixSearch, positional(given_positionally), kwargs)
    assert message == f"{FID} {expected_tail}"


def test_missing_arguments_are_checked_before_conversion(PrefixSearch):
    # the first argument is unconvertible, but the count problem is reported
    assert call_constructor(PrefixSearch, ("not a sequence",), {}) == (
        f"{FID} missing 5 required positional arguments: 'child_labels', 'payloads', "
        "'child_transitions', 'video_index', and 'video_top_n'"
    )


# --- too many positional arguments ---------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("a", 1, None, 4), {}),
        (("a", 1, None, 4), {"foo": 1}),
        (("a", 1, None, 4), {"term": "b"}),
        ((b"a", -1, "x", 4), {}),
    ],
    ids=["plain", "with-unknown-keyword", "with-repeated-keyword", "with-unconvertible-values"],
)
def test_fuzzy_match_too_many_positional(worked_example, args, kwargs):
    assert call_fuzzy_match(worked_example, args, kwargs) == (
        f"{FM} takes from 1 to 3 positional arguments but 4 were given"
    )


def test_fuzzy_match_count_in_message(worked_example):
    assert call_fuzzy_match(worked_example, ("a",) * 7, {}) == (
        f"{FM} takes from 1 to 3 positional arguments but 7 were given"
    )


@pytest.mark.parametrize(
    "extra, kwargs, count",
    [
        ((None,), {}, 7),
        ((None,), {"foo": 1}, 7),
        ((None,), {"node_shifts": []}, 7),
        ((None, None, None, None), {}, 10),
    ],
    ids=["plain", "with-unknown-keyword", "with-repeated-keyword", "ten"],
)
def test_constructor_too_many_positional(PrefixSearch, worked_example, extra, kwargs, count):
    args = positional(6) + extra
    expected = f"{FID} takes 6 positional arguments but {count} were given"
    assert call_constructor(PrefixSearch, args, kwargs) == expected
    assert call_constructor(worked_example, args, kwargs) == expected


# --- keyword problems -----------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, name",
    [
        (("a",), {"term": "b"}, "term"),
        (("a", 1), {"max_dist": 2}, "max_dist"),
        (("a", 1, None), {"limit": 2}, "limit"),
        (("a", 1, None), {"max_dist": 0, "limit": 2}, "max_dist"),
        ((b"bytes",), {"term": 5}, "term"),
    ],
)
def test_fuzzy_match_multiple_values(worked_example, args, kwargs, name):
    assert call_fuzzy_match(worked_example, args, kwargs) == f"{FM} got multiple values for argument '{name}'"


def test_constructor_multiple_values_wins_over_missing(PrefixSearch):
    message = call_constructor(PrefixSearch, ([],), {"child_labels": [], "node_shifts": []})
    assert message == f"{FID} got multiple values for argument 'node_shifts'"


@pytest.mark.parametrize(
    "args, kwargs, name",
    [
        ((), {"term": "a", "foo": 1}, "foo"),
        ((), {"foo": 1}, "foo"),  # not the missing 'term'
        (("a",), {"Term": "b"}, "Term"),
        (("a",), {"self": 1}, "self"),
        (("a",), {"maxdist": 1}, "maxdist"),
        (("a",), {"max_dist ": 1}, "max_dist "),
        (("a",), {"include_prefix_nodes": True}, "include_prefix_nodes"),
        (("a",), {"é": 1}, "é"),
        (("a",), {"\ud800": 1}, "\ud800"),  # a name that has no UTF-8 form
        ((b"not text",), {"bar": 1}, "bar"),
    ],
)
def test_fuzzy_match_unexpected_keyword(worked_example, args, kwargs, name):
    assert call_fuzzy_match(worked_example, args, kwargs) == f"{FM} got an unexpected keyword argument '{name}'"


def test_constructor_unexpected_keyword_wins_over_missing(PrefixSearch):
    message = call_constructor(PrefixSearch, (), {"node_shifts": [], "b": b""})
    assert message == f"{FID} got an unexpected keyword argument 'b'"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("a",), {"foo": 1, "term": "b"}, f"{FM} got an unexpected keyword argument 'foo'"),
        (("a",), {"term": "b", "foo": 1}, f"{FM} got multiple values for argument 'term'"),
        (("a",), {"max_dist": 1, "term": "b", "bar": 1}, f"{FM} got multiple values for argument 'term'"),
        (("a", 1), {"limit": 1, "max_dist": 2}, f"{FM} got multiple values for argument 'max_dist'"),
    ],
)
def test_first_offending_keyword_wins(worked_example, args, kwargs, expected):
    assert call_fuzzy_match(worked_example, args, kwargs) == expected


# --- everything by keyword ---------------------------------------------------------------


@pytest.mark.parametrize("order", list(itertools.permutations(["term", "max_dist", "limit"])))
def test_fuzzy_match_keywords_in_any_order(worked_example, order):
    values = {"term": "cat", "max_dist": 1, "limit": 3}
    kwargs = {name: values[name] for name in order}
    assert worked_example.fuzzy_match(**kwargs) == [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("cat",), {"limit": 3}),
        (("cat", 1), {"limit": 3}),
        ((), {"limit": 3, "term": "cat"}),
        (("cat",), {"limit": 3, "max_dist": 1}),
    ],
)
def test_fuzzy_match_mixed_positional_and_keyword(worked_example, args, kwargs):
    assert worked_example.fuzzy_match(*args, **kwargs) == [("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]


def _shuffled(seed):
    names = list(FID_PARAMS)
    random.Random(seed).shuffle(names)
    return names


@pytest.mark.parametrize("names", [list(reversed(FID_PARAMS))] + [_shuffled(seed) for seed in range(3)])
def test_constructor_keywords_in_any_order(PrefixSearch, names):
    trie = PrefixSearch.from_internal_data_v2(**{name: VALID[name] for name in names})
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    assert trie.fuzzy_match("b", 0) == [("b", 1, 0)]


@pytest.mark.parametrize("split", range(7))
def test_constructor_positional_then_keywords(PrefixSearch, split):
    args = positional(split)
    kwargs = {name: VALID[name] for name in reversed(FID_PARAMS[split:])}
    trie = PrefixSearch.from_internal_data_v2(*args, **kwargs)
    assert trie.fuzzy_match("ab", 0) == [("ab", 1, 0)]
