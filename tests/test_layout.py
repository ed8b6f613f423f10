"""The package's layers: the public API at the top, the build pipeline and the
server each in a subpackage of their own, the command line over both.
Dependencies run one way, which these tests read from the source."""

from __future__ import annotations

import ast
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "quillon"
# Modules kept only so that documented imports keep working.
ALIASES = {"quillon.app", "quillon.spark", "quillon.examplelog"}


def modules() -> dict[str, pathlib.Path]:
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def imported(path: pathlib.Path) -> set[str]:
    """The quillon modules that a module imports, anywhere in it."""
    names = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module)
    return {name for name in names if name == "quillon" or name.startswith("quillon.")}


def layer(module: str) -> str:
    if module == "quillon.__main__":  # python -m quillon: the command line
        return "cli"
    for part in ("build", "server", "example", "cli"):
        if module == f"quillon.{part}" or module.startswith(f"quillon.{part}."):
            return part
    return "api"


# What each layer may import besides the public API.
ALLOWED = {
    "api": set(),
    "build": {"build"},
    "server": {"server"},
    "example": {"example", "build"},
    "cli": {"cli", "build", "server", "example"},
}


@pytest.mark.parametrize("module", sorted(set(modules()) - ALIASES))
def test_imports_run_one_way(module):
    path = modules()[module]
    crossing = sorted(name for name in imported(path) if layer(name) not in ALLOWED[layer(module)] | {"api"})
    assert not crossing, f"{module} ({layer(module)}) imports {crossing}"


def test_only_the_command_line_uses_both_build_and_server():
    both = [
        module
        for module, path in modules().items()
        if {"build", "server"} <= {layer(name) for name in imported(path)} and module not in ALIASES
    ]
    assert both == ["quillon.cli"]


@pytest.mark.parametrize("module", sorted(modules()))
def test_each_module_says_what_it_is_for(module):
    docstring = ast.get_docstring(ast.parse(modules()[module].read_text(encoding="utf-8")))
    assert docstring and len(docstring.split()) >= 5, f"{module} opens without a sentence saying what it is for"
