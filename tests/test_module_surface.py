"""The module object, the PrefixSearch class and its method table."""

from __future__ import annotations

import copy
import importlib
import inspect
import pickle
import sys
import weakref

import pytest

import _quillon
from conftest import OVERRUN_MESSAGE, OVERRUNNING_ARRAYS
from interpreter import run_isolated
from trie_builders import WORKED_EXAMPLE_TERMS, terms_arrays

METHODS = [
    # name, static, __text_signature__, signature on the class, on an instance
    (
        "from_internal_data_v2",
        True,
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
        "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)",
    ),
    ("to_bytes", False, "($self)", "(self, /)", "()"),
    ("from_bytes", True, "(b)", "(b)", "(b)"),
    (
        "fuzzy_match",
        False,
        "(term, max_dist=1, limit=None)",
        "(term, max_dist=1, limit=None)",
        "(term, max_dist=1, limit=None)",
    ),
    (
        "fuzzy_match_video",
        False,
        "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
        "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
        "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)",
    ),
]
METHOD_NAMES = [m[0] for m in METHODS]


# --- the module ---------------------------------------------------------------


def test_module_doc_is_empty_string():
    assert _quillon.__doc__ == ""


def test_module_all_lists_only_the_class():
    assert _quillon.__all__ == ["PrefixSearch"]
    assert type(_quillon.__all__) is list


def test_module_has_no_public_name_but_the_class():
    assert [name for name in dir(_quillon) if not name.startswith("_")] == ["PrefixSearch"]


def test_module_has_no_functions():
    callables = [name for name, value in vars(_quillon).items() if callable(value)]
    assert callables == ["PrefixSearch"]


def test_repeated_import_returns_the_same_module():
    first = _quillon
    assert importlib.import_module("_quillon") is first
    saved = sys.modules.pop("_quillon")
    try:
        again = importlib.import_module("_quillon")
    finally:
        sys.modules["_quillon"] = saved
    assert again is first
    assert again.PrefixSearch is first.PrefixSearch
    assert first.__all__ == ["PrefixSearch"]


def test_reload_returns_the_same_module():
    cls = _quillon.PrefixSearch
    assert importlib.reload(_quillon) is _quillon
    assert _quillon.PrefixSearch is cls
    assert _quillon.__all__ == ["PrefixSearch"]


def test_second_interpreter_is_refused_with_import_error(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "subinterp.txt"
    inner = f"""
try:
    import _quillon
except ImportError:
    result = "ImportError"
except BaseException as exc:
    result = "other " + type(exc).__name__
else:
    result = "imported"
open({str(out)!r}, "w").write(result)
"""
    # Run apart: a module that wrongly loads into the second interpreter
    # could take the whole process down with it.
    result = run_isolated(
        f"""
        import json, _testcapi
        import _quillon
        status = _testcapi.run_in_subinterp({inner!r})
        print(json.dumps([status, open({str(out)!r}).read()]))
        """
    )
    assert result == [0, "ImportError"]


# --- the class -----------------------------------------------------------------


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__module__", "builtins"),
        ("__name__", "PrefixSearch"),
        ("__qualname__", "PrefixSearch"),
        ("__doc__", None),
        ("__bases__", (object,)),
    ],
)
def test_class_attributes(PrefixSearch, attribute, expected):
    assert getattr(PrefixSearch, attribute) == expected


def test_class_is_the_module_attribute(PrefixSearch):
    assert PrefixSearch is _quillon.PrefixSearch
    assert isinstance(PrefixSearch, type)


def test_class_cannot_be_subclassed(PrefixSearch):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (PrefixSearch,), {})


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((), {"node_shifts": []}), (tuple(terms_arrays(["a"]).values()), {})],
    ids=["no-args", "two-args", "keyword", "valid-arrays"],
)
def test_direct_construction_is_refused(PrefixSearch, args, kwargs):
    with pytest.raises(TypeError) as info:
        PrefixSearch(*args, **kwargs)
    assert str(info.value) == "No constructor defined for PrefixSearch"


def test_dunder_new_is_refused(PrefixSearch):
    with pytest.raises(TypeError) as info:
        PrefixSearch.__new__(PrefixSearch)
    assert str(info.value) == "No constructor defined for PrefixSearch"


def test_object_new_cannot_make_an_uninitialised_instance(PrefixSearch):
    with pytest.raises(TypeError):
        object.__new__(PrefixSearch)


@pytest.mark.parametrize("name", ["foo", "trie", "fuzzy_match", "__dict__"])
def test_instance_takes_no_attributes(worked_example, name):
    with pytest.raises(AttributeError):
        setattr(worked_example, name, 1)


def test_instance_has_no_dict(worked_example):
    with pytest.raises(AttributeError):
        worked_example.__dict__


def test_instance_has_no_weak_references(worked_example):
    with pytest.raises(TypeError):
        weakref.ref(worked_example)


def test_instances_compare_and_hash_by_identity(build):
    arrays = terms_arrays(WORKED_EXAMPLE_TERMS)
    first, second = build(arrays), build(arrays)
    assert first == first
    assert first != second
    assert hash(first) == hash(first)
    assert len({first, second}) == 2
    assert "PrefixSearch object at 0x" in repr(first)


@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy])
def test_instances_cannot_be_pickled_or_copied(worked_example, operation):
    with pytest.raises(TypeError):
        operation(worked_example)


# --- the method table ------------------------------------------------------------


def test_methods_in_table_order(PrefixSearch):
    own = [name for name in vars(PrefixSearch) if not name.startswith("__")]
    assert own == METHOD_NAMES


@pytest.mark.parametrize("name, static, text_signature, on_class, on_instance", METHODS, ids=METHOD_NAMES)
def test_method_signature_and_doc(PrefixSearch, worked_example, name, static, text_signature, on_class, on_instance):
    raw = vars(PrefixSearch)[name]
    assert isinstance(raw, staticmethod) is static
    method = getattr(PrefixSearch, name)
    assert method.__name__ == name
    assert method.__text_signature__ == text_signature
    assert method.__doc__ is None
    assert str(inspect.signature(method)) == on_class
    assert str(inspect.signature(getattr(worked_example, name))) == on_instance


@pytest.mark.parametrize("name", ["fuzzy_match", "fuzzy_match_video"])
def test_method_parameters_are_positional_or_keyword(PrefixSearch, name):
    params = inspect.signature(getattr(PrefixSearch, name)).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["max_dist"].default == 1
    assert type(params["max_dist"].default) is int
    assert params["limit"].default is None


def test_static_constructor_works_on_class_and_instance(PrefixSearch, worked_example):
    arrays = terms_arrays(["ab"])
    from_class = PrefixSearch.from_internal_data_v2(**arrays)
    from_instance = worked_example.from_internal_data_v2(**arrays)
    assert type(from_class) is PrefixSearch
    assert type(from_instance) is PrefixSearch
    assert from_instance is not worked_example
    assert from_class.fuzzy_match("ab", 0) == from_instance.fuzzy_match("ab", 0) == [("ab", 1, 0)]
    # the instance the call went through is unchanged
    assert worked_example.fuzzy_match("ab", 0) == []


def test_instance_method_through_the_class(PrefixSearch, worked_example):
    assert PrefixSearch.fuzzy_match(worked_example, "cat", 0) == [("cat", 1, 0)]


def test_instance_method_refuses_a_foreign_receiver(PrefixSearch):
    with pytest.raises(TypeError):
        PrefixSearch.fuzzy_match("not a trie", "cat")


# --- internal errors ---------------------------------------------------------------


def test_panic_exception_derives_from_base_exception_only(PanicException):
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__mro__[1:] == (BaseException, object)
    assert not issubclass(PanicException, Exception)


def test_panic_is_not_caught_by_except_exception(PrefixSearch, PanicException):
    with pytest.raises(BaseException) as info:
        try:
            PrefixSearch.from_internal_data_v2(**OVERRUNNING_ARRAYS)
        except Exception:  # noqa: BLE001 - the point of the test
            pytest.fail("an internal error was caught by 'except Exception'")
    assert type(info.value) is PanicException
    assert info.value.args == (OVERRUN_MESSAGE,)
    assert str(info.value) == OVERRUN_MESSAGE


def test_panic_class_is_created_once(PrefixSearch, PanicException):
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            PrefixSearch.from_internal_data_v2(**OVERRUNNING_ARRAYS)
        assert type(info.value) is PanicException


def test_panic_class_is_not_a_module_attribute(PanicException):
    assert not any(value is PanicException for value in vars(_quillon).values())
