"""Typo-tolerant search-as-you-type over a character trie of search terms.

``PrefixSearch`` is the class of the extension module ``_quillon``;
``build_arrays`` turns (term, video id, count) records into the six arguments
of ``PrefixSearch.from_internal_data_v2``::

    from quillon import PrefixSearch, build_arrays

    search = PrefixSearch.from_internal_data_v2(*build_arrays(records, top_n=50))

``Index`` opens an index file written by ``quillon build`` and answers
queries normalised the way the build normalised the terms::

    from quillon import Index

    index = Index.open("words.idx")
    index.complete("mot")   # [Completion(term='mother', display='mother', edits=0, count=14, covered=3), ...]
    index.suggest("mothr")  # completions, terms and videos from one walk

The rest of the package builds on this public API: ``quillon.build`` (the
pipeline of ``quillon build``), ``quillon.server`` (``quillon serve``),
``quillon.example`` (the example search log) and ``quillon.cli`` (the
command over them).
"""

import importlib.metadata

from _quillon import PrefixSearch

from quillon.arrays import Payload, Record, TrieArrays, VideoId, build_arrays
from quillon.errors import BuildError, IndexLoadError, OutdatedIndexError
from quillon.index import Completion, Index, Suggestions, TermMatch, VideoMatch
from quillon.normalize import normalize

try:
    __version__ = importlib.metadata.version("quillon")
except importlib.metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "unknown"

__all__ = [
    "BuildError",
    "Completion",
    "Index",
    "IndexLoadError",
    "OutdatedIndexError",
    "Payload",
    "PrefixSearch",
    "Record",
    "Suggestions",
    "TermMatch",
    "TrieArrays",
    "VideoId",
    "VideoMatch",
    "build_arrays",
    "__version__",
    "normalize",
]
