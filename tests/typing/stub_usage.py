"""Not a test module: mypy checks this file against the installed stubs
(.ci/stages/stubtest.sh), so a stub that mypy cannot find, or whose types
drift from what a caller sees, fails CI. Running it is harmless."""

from __future__ import annotations

import uuid
from typing import assert_type

import _quillon
from quillon import PrefixSearch, TrieArrays, build_arrays, normalize
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
