"""Not a test module: mypy checks this file against the installed stubs
(.ci/stages/stubtest.sh), so a stub that mypy cannot find, or whose types
drift from what a caller sees, fails CI. Running it is harmless."""

from __future__ import annotations

import pathlib
import uuid
from typing import assert_type

import _quillon
from quillon import Index, IndexLoadError, PrefixSearch, TermMatch, TrieArrays, VideoMatch, build_arrays, normalize
from quillon.manifest import Manifest
from quillon.normalize import MODES, Mode

assert_type(_quillon.PrefixSearch, type[PrefixSearch])
arrays = build_arrays([("cat", uuid.UUID(int=1), 3), ("cat", bytes(16), 1)], top_n=5)
assert_type(arrays, TrieArrays)
assert_type(build_arrays([("cat", 7, 3)], 5).video_index, list[bytes])
search = PrefixSearch.from_internal_data_v2(*arrays)
assert_type(search, PrefixSearch)
assert_type(search.fuzzy_match("cat"), list[tuple[str, int, int]])
assert_type(search.fuzzy_match("cat", 2, limit=None), list[tuple[str, int, int]])
assert_type(
    search.fuzzy_match_video("cat", max_dist=1, limit=3, include_prefix_nodes=True, min_score=0.5),
    list[tuple[str, float]],
)
assert_type(search.to_bytes(), bytes)
assert_type(PrefixSearch.from_bytes(search.to_bytes()), PrefixSearch)
hand_built = PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1], [b"\1\0\0\0"], 5)
assert_type(hand_built, PrefixSearch)
assert_type(normalize("Café", "fold"), str)
assert_type(MODES, tuple[Mode, ...])

# The Index API, as the server and scripts use it.
try:
    index = Index.open("cats.idx", verify=False)
except IndexLoadError as error:
    assert_type(str(error), str)
else:
    assert_type(index.path, pathlib.Path)
    assert_type(index.manifest, Manifest | None)
    assert_type(index.normalization, Mode)
    assert_type(index.search, PrefixSearch)
    assert_type(index.load_seconds, float)
    assert_type(index.size_bytes, int)
    assert_type(index.normalize("Cat"), str)
    assert_type(index.terms("cat", max_dist=2, limit=None), list[TermMatch])
    assert_type(index.terms("cat")[0].distance, int)
    assert_type(index.videos("cat", 1, 5, prefix_nodes=None, min_score=0.5), list[VideoMatch])
    assert_type(index.videos("cat")[0].score, float)
    assert_type(index.videos("cat")[0].video_id, str)
    if index.manifest is not None:
        assert_type(index.manifest.terms, int)
