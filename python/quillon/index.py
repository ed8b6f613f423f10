"""``quillon.Index``: an index file opened with its manifest, answering
queries normalised as the build normalised its terms."""

from __future__ import annotations

import hashlib
import pathlib
import time
import warnings
from typing import NamedTuple

from _quillon import PrefixSearch
from quillon.errors import IndexLoadError
from quillon.manifest import Manifest, manifest_path
from quillon.normalize import UNICODE_VERSION, Mode, normalize

__all__ = ["Index", "IndexLoadError", "TermMatch", "VideoMatch"]


class TermMatch(NamedTuple):
    term: str
    distance: int


class VideoMatch(NamedTuple):
    video_id: str  # decimal for int ids, lowercase hyphenated for UUIDs
    score: float


class Index:
    """A loaded index. Open one with ``Index.open``; instances never change,
    so threads may share one (each call holds the interpreter lock)."""

    path: pathlib.Path
    manifest: Manifest | None
    normalization: Mode
    search: PrefixSearch
    load_seconds: float
    size_bytes: int

    def __init__(
        self,
        path: pathlib.Path,
        manifest: Manifest | None,
        search: PrefixSearch,
        load_seconds: float,
        size_bytes: int,
    ) -> None:
        self.path = path
        self.manifest = manifest
        self.normalization = manifest.normalization if manifest is not None else "none"
        self.search = search
        self.load_seconds = load_seconds
        self.size_bytes = size_bytes

    @classmethod
    def open(cls, path: str | pathlib.Path, verify: bool = True) -> Index:
        """Reads the index at ``path`` and its manifest ``path + ".json"``.

        With ``verify`` (the default) the manifest must exist and the index
        bytes must have its SHA-256. Without it a manifest is still read
        when present (its size must match), and an index without one opens
        as a raw ``to_bytes`` file whose queries are not normalised.

        Raises ``IndexLoadError`` naming the file and the reason."""
        path = pathlib.Path(path)
        started = time.perf_counter()
        manifest = _read_manifest(path, required=verify)
        try:
            data = path.read_bytes()
        except OSError as error:
            raise IndexLoadError(f"{path}: cannot read the index: {error.strerror}") from None
        if manifest is not None:
            if len(data) != manifest.index_size_bytes:
                raise IndexLoadError(
                    f"{path}: the index has {len(data):,} bytes, its manifest says {manifest.index_size_bytes:,}; "
                    "they are not of the same build"
                )
            if verify and hashlib.sha256(data).hexdigest() != manifest.index_sha256:
                raise IndexLoadError(f"{path}: the index bytes do not have the SHA-256 its manifest records")
            if manifest.normalization != "none" and manifest.unicode_version != UNICODE_VERSION:
                warnings.warn(
                    f"{path}: built with the Unicode {manifest.unicode_version} tables, this Python has "
                    f"{UNICODE_VERSION}; queries with characters normalised differently by the two may miss",
                    stacklevel=2,
                )
        try:
            search = PrefixSearch.from_bytes(data)
        except ValueError as error:
            raise IndexLoadError(f"{path}: not an index: {error}") from None
        return cls(path, manifest, search, time.perf_counter() - started, len(data))

    def normalize(self, text: str) -> str:
        """``text`` normalised as the build normalised the terms."""
        return normalize(text, self.normalization)

    def terms(self, query: str, max_dist: int = 1, limit: int | None = 10) -> list[TermMatch]:
        """The stored terms within ``max_dist`` edits of the normalised
        ``query``, closest first (then in trie order, which is code-point
        order of the terms), at most ``limit`` (``None``: all)."""
        _check_limit(limit)
        hits = self.search.fuzzy_match(self.normalize(query), max_dist)
        # Stable: within one distance the walk's order, that of the terms.
        hits.sort(key=lambda hit: hit[2])
        return [TermMatch(term, distance) for term, _terminal, distance in hits[:limit]]

    def videos(
        self,
        query: str,
        max_dist: int = 1,
        limit: int | None = 10,
        prefix_nodes: bool | None = True,
        min_score: float | None = None,
    ) -> list[VideoMatch]:
        """The videos that best answer the normalised ``query``, best first,
        equal scores by id (ints by value), at most ``limit`` (``None``:
        all). ``prefix_nodes``: also rank through nodes where no term ends
        (``True``, for a query typed halfway), never (``False``), or only
        when no term is in reach (``None``). ``min_score``: the lowest score
        kept (``None``: 0.01)."""
        _check_limit(limit)
        ranked = self.search.fuzzy_match_video(
            self.normalize(query), max_dist, include_prefix_nodes=prefix_nodes, min_score=min_score
        )
        # The module leaves the order of equal scores open; ids of one kind
        # sort by value when shorter ones come first.
        ranked.sort(key=lambda hit: (-hit[1], len(hit[0]), hit[0]))
        return [VideoMatch(video, score) for video, score in ranked[:limit]]

    def __repr__(self) -> str:
        return f"Index({str(self.path)!r}, normalization={self.normalization!r}, size_bytes={self.size_bytes})"


def _read_manifest(path: pathlib.Path, required: bool) -> Manifest | None:
    where = manifest_path(path)
    try:
        text = where.read_text(encoding="utf-8")
    except FileNotFoundError:
        if not path.exists():
            raise IndexLoadError(f"{path}: no such index file") from None
        if required:
            raise IndexLoadError(
                f"{path}: no manifest {where.name} to verify the index against; "
                "open it without verification to use it as a raw index (normalisation 'none')"
            ) from None
        return None
    except (OSError, UnicodeDecodeError) as error:
        raise IndexLoadError(f"{where}: cannot read the manifest: {error}") from None
    try:
        return Manifest.from_json(text)
    except ValueError as error:
        raise IndexLoadError(f"{where}: not a quillon manifest: {error}") from None


def _check_limit(limit: int | None) -> None:
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 0):
        raise ValueError(f"limit must be an int of at least 0 or None, not {limit!r}")
