"""The index of ``quillon demo``: the example search log and its index,
built once into a folder (the user's cache by default) and reused."""

from __future__ import annotations

import os
import pathlib
from collections.abc import Callable

from quillon.build import build_index
from quillon.build.progress import Progress
from quillon.errors import IndexLoadError
from quillon.example import make_search_log
from quillon.index import Index

__all__ = ["default_demo_folder", "demo_index"]


def demo_index(folder: pathlib.Path, announce: Callable[[str], None] = print) -> pathlib.Path:
    """The index of the example search log in ``folder``, built there
    first if it is missing or cannot be opened."""
    index = folder / "words.idx"
    try:
        Index.open(index)
        return index
    except IndexLoadError:
        pass
    folder.mkdir(parents=True, exist_ok=True)
    announce(f"building the example index in {folder} (once; a few seconds)")
    log = make_search_log(folder / "search_log.parquet").path
    build_index([str(log)], index, progress=Progress.for_terminal(quiet=False))
    return index


def default_demo_folder() -> pathlib.Path:
    cache = os.environ.get("XDG_CACHE_HOME") or str(pathlib.Path.home() / ".cache")
    return pathlib.Path(cache) / "quillon" / "demo"
