"""The type stubs src/lib/_quillon.pyi against the module as it runs.

mypy.stubtest (.ci/stages/stubtest.sh) checks most of this; it cannot judge
fuzzy_match and fuzzy_match_video, whose text signatures leave out the
receiver, so their parameters are compared here, together with everything
else a reader of the stub relies on."""

from __future__ import annotations

import ast
import importlib.resources
import inspect
import pathlib

import pytest

import _quillon
from quillon import build_arrays

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "lib" / "_quillon.pyi"
PrefixSearch = _quillon.PrefixSearch


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text())


def stub_class() -> ast.ClassDef:
    return next(node for node in stub_tree().body if isinstance(node, ast.ClassDef))


def stub_methods() -> dict[str, ast.FunctionDef]:
    return {node.name: node for node in stub_class().body if isinstance(node, ast.FunctionDef)}


def decorators(node: ast.FunctionDef | ast.ClassDef) -> set[str]:
    return {ast.unparse(d) for d in node.decorator_list}


def test_module_names_match():
    tree = stub_tree()
    assigned = next(node for node in tree.body if isinstance(node, ast.Assign))
    assert ast.unparse(assigned.targets[0]) == "__all__"
    assert ast.literal_eval(assigned.value) == _quillon.__all__
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert classes == ["PrefixSearch"] and functions == []


def test_class_is_final_in_the_stub_as_at_run_time():
    assert "final" in decorators(stub_class())
    with pytest.raises(TypeError):
        type("Sub", (PrefixSearch,), {})


def test_the_stub_has_every_method_and_no_other():
    runtime = {name for name in vars(PrefixSearch) if not name.startswith("_")}
    assert set(stub_methods()) == runtime


@pytest.mark.parametrize("name", sorted(stub_methods()))
def test_parameters_defaults_and_static_kind_match(name):
    stub = stub_methods()[name]
    static = isinstance(inspect.getattr_static(PrefixSearch, name), staticmethod)
    assert ("staticmethod" in decorators(stub)) == static
    args = stub.args
    assert not args.vararg and not args.kwarg and not args.kwonlyargs and not args.posonlyargs
    names = [a.arg for a in args.args]
    if not static:
        assert names[0] == "self"
        names = names[1:]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    stub_params = list(zip(names, [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults))

    runtime = inspect.signature(getattr(PrefixSearch, name)).parameters.values()
    runtime_params = [(p.name, p.default) for p in runtime if p.name != "self"]
    assert stub_params == runtime_params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in runtime if p.name != "self")
    # Every parameter and the result are annotated.
    assert stub.returns is not None
    assert all(a.annotation is not None for a in args.args if a.arg != "self")


def test_results_have_the_annotated_shapes():
    methods = stub_methods()
    assert ast.unparse(methods["fuzzy_match"].returns) == "list[tuple[str, int, int]]"
    assert ast.unparse(methods["fuzzy_match_video"].returns) == "list[tuple[str, float]]"
    assert ast.unparse(methods["to_bytes"].returns) == "bytes"
    for name in ("from_bytes", "from_internal_data_v2"):
        assert ast.unparse(methods[name].returns) == "PrefixSearch"
    records = [("car", 101, 3), ("cart", 102, 1), ("cat", 101, 4), ("cut", 104, 2)]
    worked_example = PrefixSearch.from_internal_data_v2(*build_arrays(records, top_n=5))
    hits = worked_example.fuzzy_match("cat")
    assert hits and all(type(t) is str and type(m) is int and type(d) is int for t, m, d in hits)
    ranked = worked_example.fuzzy_match_video("cat", include_prefix_nodes=True, min_score=0.0)
    assert ranked and all(type(video) is str and type(score) is float for video, score in ranked)
    assert type(worked_example.to_bytes()) is bytes


def test_quillon_ships_py_typed():
    assert importlib.resources.files("quillon").joinpath("py.typed").is_file()
