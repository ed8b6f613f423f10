"""Type stubs of quillon._engine, the package's native engine (src/engine/)."""

from collections.abc import Sequence
from os import PathLike
from typing import Any, TypedDict, final

from numpy.typing import NDArray
from typing_extensions import Buffer

# Flat arrays: numpy arrays, array.array, bytes.
_Array = Buffer | NDArray[Any]

MAX_EDITS: int

class IndexFormatError(ValueError): ...
class DamagedIndexError(RuntimeError): ...

_CompletionHit = tuple[str, str | None, int, int, int]

class _WrittenIndex(TypedDict):
    nodes: int
    terms: int
    size: int
    videos: int
    sections: list[tuple[str, int, int]]

@final
class Engine:
    """An index file mapped read-only and searched in place."""

    def __new__(cls, path: str | bytes | PathLike[str], deep_check: bool = False) -> Engine: ...
    @property
    def node_count(self) -> int: ...
    @property
    def video_count(self) -> int: ...
    @property
    def size(self) -> int: ...
    @property
    def has_completions(self) -> bool: ...
    @property
    def id_kind(self) -> str: ...
    @property
    def catalogued(self) -> bool: ...
    @property
    def identity(self) -> tuple[int, int, int, int, int]: ...
    def suggest(
        self,
        text: str,
        max_edits: int,
        completions: int,
        terms: int,
        videos: int,
        first_exact: bool = False,
        prefix_nodes: bool | None = True,
        min_score: float | None = None,
        schedule: Sequence[int] | None = None,
    ) -> tuple[list[_CompletionHit], list[tuple[str, int]], list[tuple[int, float]], int]: ...
    def complete(
        self, text: str, max_edits: int, limit: int, first_exact: bool = False, schedule: Sequence[int] | None = None
    ) -> list[_CompletionHit]: ...
    def fuzzy_match(self, term: str, max_dist: int = 1, limit: int | None = None) -> list[tuple[str, int, int]]: ...
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: int = 1,
        limit: int | None = None,
        include_prefix_nodes: bool | None = None,
        min_score: float | None = None,
    ) -> list[tuple[str, float]]: ...
    def video_key(self, video: int, /) -> str: ...
    def video_title(self, video: int, /) -> str | None: ...
    def video_fields(self, video: int, /) -> dict[str, str] | None: ...
    def field_names(self) -> list[str]: ...
    def stored_trie(self) -> bytes: ...
    def sections(self) -> list[tuple[str, int, int]]: ...
    def deep_check(self) -> None: ...
    # The mapped bytes (the buffer protocol; read-only): memoryview(engine).
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class IndexWriter:
    """Terms sorted by code point, in batches of flat arrays, to an index file."""

    def __new__(cls) -> IndexWriter: ...
    @property
    def nodes(self) -> int: ...
    @property
    def terms(self) -> int: ...
    def add(
        self,
        text: _Array,
        ends: _Array,
        totals: _Array,
        sizes: _Array,
        video_ids: _Array,
        counts: _Array,
        display_text: _Array | None = None,
        display_ends: _Array | None = None,
    ) -> None: ...
    def write(
        self,
        path: str | bytes | PathLike[str],
        video_index: _Array,
        id_width: int,
        top_n: int,
        keys: tuple[_Array, _Array] | None = None,
        has_row: _Array | None = None,
        titles: tuple[_Array, _Array] | None = None,
        field_names: list[str] | None = None,
        fields: list[tuple[_Array, _Array]] | None = None,
    ) -> _WrittenIndex: ...
