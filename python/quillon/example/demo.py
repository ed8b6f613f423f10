"""The index of ``quillon demo``: the example video site (its catalogue
and search log, ``quillon.example.site``) and its index, built once into a
folder (the user's cache by default) and reused."""

from __future__ import annotations

import os
import pathlib
from collections.abc import Callable

from quillon.build import BuildOptions, CatalogOptions, build_index
from quillon.build.progress import Progress
from quillon.errors import IndexLoadError
from quillon.example.site import make_site
from quillon.index import Index

__all__ = ["default_demo_folder", "demo_index"]


# The kept columns of the example catalogue that the page shows.
KEPT_COLUMNS = ("channel", "duration_s")


def demo_index(folder: pathlib.Path, announce: Callable[[str], None] = print) -> pathlib.Path:
    """The index of the example video site in ``folder``, built there first
    if it is missing or cannot be opened: its catalogue, search log and
    held-out searches (for ``quillon eval``) stay beside it."""
    index = folder / "site.idx"
    try:
        Index.open(index)
        return index
    except IndexLoadError:
        pass
    folder.mkdir(parents=True, exist_ok=True)
    announce(f"building the example index in {folder} (once; some seconds)")
    site = make_site(folder)
    options = BuildOptions(catalog=CatalogOptions(site.catalog, keep=KEPT_COLUMNS))
    build_index([str(site.search_log)], index, options, progress=Progress.for_terminal(quiet=False))
    return index


def default_demo_folder() -> pathlib.Path:
    cache = os.environ.get("XDG_CACHE_HOME") or str(pathlib.Path.home() / ".cache")
    return pathlib.Path(cache) / "quillon" / "demo"
