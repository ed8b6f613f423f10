"""``quillon.Index``: an index file opened with its manifest, answering
queries normalised as the build normalised its terms.

An index written by this quillon (format 2) is mapped into memory and
searched in place by the package's engine (``quillon._engine``): opening
costs no decoding, processes on one machine share its pages, and one walk
of the trie answers a keystroke (``suggest``). An index of an older quillon
(format 1, the module's stored trie alone) is decoded by ``_quillon`` and
answers terms and videos, but has no completions: rebuild it for those.
"""

from __future__ import annotations

import pathlib
import time
import warnings
from collections.abc import Callable
from typing import NamedTuple, ParamSpec, TypeVar

from _quillon import PrefixSearch
from quillon._engine import DamagedIndexError, Engine, IndexFormatError
from quillon.errors import IndexLoadError, OutdatedIndexError
from quillon.integrity import Identity, digests, verified_once
from quillon.limits import DEFAULT_LIMIT, checked_edits, checked_limit, default_schedule
from quillon.manifest import Manifest, manifest_path
from quillon.normalize import UNICODE_VERSION, Mode, normalize

__all__ = ["Completion", "Index", "Suggestions", "TermMatch", "VideoMatch"]

_CONTAINER_MAGIC = b"QUILLON\0"
_Params = ParamSpec("_Params")
_Result = TypeVar("_Result")


class TermMatch(NamedTuple):
    """A stored term within the edits of the whole query."""

    term: str
    distance: int


class VideoMatch(NamedTuple):
    """A video and its score: its share of what the matched terms led to."""

    id: str  # the site's own id; for numbers and UUIDs, as written by the build
    score: float
    title: str | None = None  # from the build's catalogue, where it has a row
    fields: dict[str, str] | None = None  # the catalogue's kept columns

    @property
    def video_id(self) -> str:
        """The id, under its name before format 2."""
        return self.id


class Completion(NamedTuple):
    """A stored term that the typed text could be the start of."""

    term: str  # as stored (normalised)
    display: str  # the spelling users typed most often; the term where none differs
    edits: int  # between the typed text and the closest prefix of the term
    count: int  # type: ignore[assignment]  # how often the term was searched (shadows tuple.count)
    covered: int  # code points of the term that the typed text covers


class Suggestions(NamedTuple):
    """What a search box shows for one state of its text: the completions,
    and the terms and videos within the fewest edits (up to ``max_edits``)
    that fill the completions."""

    query: str
    normalized: str
    max_edits: int
    completions: list[Completion]
    terms: list[TermMatch]
    videos: list[VideoMatch] | None
    edits: int = 0  # the edits the answer used


class Index:
    """A loaded index. Open one with ``Index.open``; instances never change,
    so threads may share one. Searches of a format 2 index run without the
    interpreter lock."""

    path: pathlib.Path
    manifest: Manifest | None
    normalization: Mode
    load_seconds: float
    size_bytes: int
    format: int  # 2: a container mapped by the engine; 1: the stored trie alone
    engine: Engine | None  # format 2

    def __init__(
        self,
        path: pathlib.Path,
        manifest: Manifest | None,
        engine: Engine | None,
        search: PrefixSearch | None,
        load_seconds: float,
        size_bytes: int,
    ) -> None:
        self.path = path
        self.manifest = manifest
        self.normalization = manifest.normalization if manifest is not None else "none"
        self.engine = engine
        self._search = search
        self.format = 2 if engine is not None else 1
        self.load_seconds = load_seconds
        self.size_bytes = size_bytes

    @classmethod
    def open(cls, path: str | pathlib.Path, verify: bool = True) -> Index:
        """Opens the index at ``path`` with its manifest ``path + ".json"``.

        With ``verify`` (the default) the manifest must exist, and the
        index must have its SHA-256 and (format 2) the structure of a sound
        index; both are checked once per file identity, as other processes
        on the machine record it (``quillon.integrity``). Without, a
        manifest is still read where present (its size must match), only
        what every read relies on is checked, and an index without a
        manifest opens with its queries not normalised.

        Raises ``IndexLoadError`` naming the file and the reason."""
        path = pathlib.Path(path)
        started = time.perf_counter()
        if path.is_dir():
            raise IndexLoadError(f"{path}: is a folder, not an index file; name the file that quillon build wrote (-o)")
        manifest = _read_manifest(path, required=verify)
        try:
            with open(path, "rb") as file:
                head = file.read(len(_CONTAINER_MAGIC))
        except OSError as error:
            raise IndexLoadError(f"{path}: cannot read the index: {error.strerror}") from None
        if head == _CONTAINER_MAGIC:
            engine = _open_engine(path, manifest, verify)
            return cls(path, manifest, engine, None, time.perf_counter() - started, engine.size)
        search, size = _open_stored_trie(path, manifest, verify)
        return cls(path, manifest, None, search, time.perf_counter() - started, size)

    @property
    def search(self) -> PrefixSearch:
        """The index's trie as a ``_quillon.PrefixSearch`` (decoded from the
        file's stored form the first time it is asked for)."""
        if self._search is None:
            assert self.engine is not None
            self._search = PrefixSearch.from_bytes(self.engine.stored_trie())
        return self._search

    def normalize(self, text: str) -> str:
        """``text`` normalised as the build normalised the terms."""
        return normalize(text, self.normalization)

    def suggest(self, text: str, limit: int = DEFAULT_LIMIT, max_edits: int | None = None, videos: bool = True) -> Suggestions:
        """Everything a search box shows for ``text``, from one walk: the
        completions, the terms within the edits of the whole text and (with
        ``videos``) the videos, each list at most ``limit`` long. Typos are
        let in only where the text as typed leaves the completions short:
        the terms and videos are those within the fewest edits, up to
        ``max_edits``, that fill the completions (``edits``). ``max_edits``
        None: by the text's length, each typo counted at the length where it
        was typed (``quillon.limits``). A swap of neighbours is one edit."""
        normalized = self.normalize(text)
        edits = checked_edits(max_edits, normalized)
        checked_limit(limit)
        if self.engine is None:
            terms = self._stored_terms(normalized, edits, limit)
            found = self._stored_videos(normalized, edits, limit, True, 0.0) if videos else None
            return Suggestions(text, normalized, edits, [], terms, found, edits)
        completions, term_hits, video_hits, used = self._guarded(
            self.engine.suggest,
            normalized,
            edits,
            limit,
            limit,
            limit if videos else 0,
            # No floor: a popular prefix spreads its searches thin, and an
            # absolute floor would hide the videos of exactly those.
            min_score=0.0,
            schedule=default_schedule(normalized) if max_edits is None else None,
        )
        return Suggestions(
            text,
            normalized,
            edits,
            [_completion(hit) for hit in completions],
            [TermMatch(term, distance) for term, distance in term_hits],
            [self._video(video, score) for video, score in video_hits] if videos else None,
            used,
        )

    def complete(self, text: str, limit: int = DEFAULT_LIMIT, max_edits: int | None = None) -> list[Completion]:
        """The most searched stored terms that ``text`` could be the start
        of, allowing ``max_edits`` typos (None: by the text's length, each
        typo counted at the length where it was typed): fewer edits first,
        then the most searched, then by code point. A swap of neighbours is
        one edit.

        Raises ``OutdatedIndexError`` for an index of format 1, which has no
        completions."""
        normalized = self.normalize(text)
        edits = checked_edits(max_edits, normalized)
        checked_limit(limit)
        if self.engine is None:
            raise OutdatedIndexError(
                f"{self.path}: built by an older quillon (index format 1), which stored no completions; "
                "rebuild it with quillon build to complete queries"
            )
        schedule = default_schedule(normalized) if max_edits is None else None
        return [_completion(hit) for hit in self._guarded(self.engine.complete, normalized, edits, limit, schedule=schedule)]

    def terms(self, query: str, max_dist: int | None = None, limit: int | None = DEFAULT_LIMIT) -> list[TermMatch]:
        """The stored terms within ``max_dist`` edits of the whole normalised
        ``query`` (None: by its length), closest first, then in code-point
        order, at most ``limit`` (None: all)."""
        normalized = self.normalize(query)
        edits = checked_edits(max_dist, normalized, "max_dist")
        limit = _list_limit(limit)
        if self.engine is None:
            return self._stored_terms(normalized, edits, limit)
        schedule = default_schedule(normalized) if max_dist is None else None
        _, hits, _, _ = self._guarded(self.engine.suggest, normalized, edits, 0, limit, 0, schedule=schedule)
        return [TermMatch(term, distance) for term, distance in hits]

    def videos(
        self,
        query: str,
        max_dist: int | None = None,
        limit: int | None = DEFAULT_LIMIT,
        prefix_nodes: bool | None = True,
        min_score: float | None = None,
    ) -> list[VideoMatch]:
        """The videos that best answer the normalised ``query``, best first,
        equal scores by id (numbers by value), at most ``limit``: a query
        that leads to videos shows up to ``limit`` of them, however thinly
        its searches spread (None: all). ``max_dist`` None: by the query's
        length.
        ``prefix_nodes``: also rank through nodes where no term ends
        (``True``, for a query typed halfway), never (``False``), or only when
        no term is in reach (``None``). ``min_score``: the lowest score kept
        (None: no floor)."""
        normalized = self.normalize(query)
        edits = checked_edits(max_dist, normalized, "max_dist")
        limit = _list_limit(limit)
        floor = 0.0 if min_score is None else min_score
        if self.engine is None:
            return self._stored_videos(normalized, edits, limit, prefix_nodes, floor)
        schedule = default_schedule(normalized) if max_dist is None else None
        _, _, hits, _ = self._guarded(
            self.engine.suggest, normalized, edits, 0, 0, limit, False, prefix_nodes, floor, schedule=schedule
        )
        return [self._video(video, score) for video, score in hits]

    def video(self, video: int) -> VideoMatch:
        """The id, title and kept columns of the video at ``video`` in the
        index's table, with a score of 0 (format 2)."""
        return self._video(video, 0.0)

    def __repr__(self) -> str:
        return f"Index({str(self.path)!r}, normalization={self.normalization!r}, size_bytes={self.size_bytes})"

    def _video(self, video: int, score: float) -> VideoMatch:
        engine = self.engine
        assert engine is not None
        if not engine.catalogued:
            return VideoMatch(engine.video_key(video), score)
        return VideoMatch(engine.video_key(video), score, engine.video_title(video), engine.video_fields(video))

    def _guarded(self, search: Callable[_Params, _Result], *args: _Params.args, **kwargs: _Params.kwargs) -> _Result:
        try:
            return search(*args, **kwargs)
        except DamagedIndexError as error:
            raise IndexLoadError(f"{self.path}: {error}; rebuild it, or replace it from its source") from None

    def _stored_terms(self, normalized: str, edits: int, limit: int) -> list[TermMatch]:
        hits = self.search.fuzzy_match(normalized, edits)
        # Stable: within one distance the walk's order, that of the terms.
        hits.sort(key=lambda hit: hit[2])
        return [TermMatch(term, distance) for term, _terminal, distance in hits[:limit]]

    def _stored_videos(
        self, normalized: str, edits: int, limit: int, prefix_nodes: bool | None, min_score: float | None
    ) -> list[VideoMatch]:
        ranked = self.search.fuzzy_match_video(normalized, edits, include_prefix_nodes=prefix_nodes, min_score=min_score)
        # The module leaves the order of equal scores open; ids of one kind
        # sort by value when shorter ones come first.
        ranked.sort(key=lambda hit: (-hit[1], len(hit[0]), hit[0]))
        return [VideoMatch(video, score) for video, score in ranked[:limit]]


# What limit=None asks of the engine and of a list slice: every answer.
_ALL = 2**32 - 1


def _list_limit(limit: int | None) -> int:
    return _ALL if limit is None else checked_limit(limit)


def _completion(hit: tuple[str, str | None, int, int, int]) -> Completion:
    term, display, edits, count, covered = hit
    return Completion(term, term if display is None else display, edits, count, covered)


def _open_engine(path: pathlib.Path, manifest: Manifest | None, verify: bool) -> Engine:
    if manifest is not None:
        _check_size(path, path.stat().st_size, manifest)  # before the header says the same less plainly
    try:
        engine = Engine(str(path))
    except IndexFormatError as error:
        raise IndexLoadError(f"{path}: not a sound quillon index ({error}); rebuild it with quillon build") from None
    except OSError as error:
        raise IndexLoadError(f"{path}: cannot read the index: {error}") from None
    if manifest is not None:
        _check_size(path, engine.size, manifest)
        if verify:

            def sound() -> bool:
                if digests(engine)[0] != manifest.index_sha256:
                    return False
                try:
                    engine.deep_check()
                except IndexFormatError as error:
                    raise IndexLoadError(f"{path}: not a sound quillon index ({error}); rebuild it with quillon build") from None
                return True

            if not verified_once(engine.identity, manifest.index_sha256, sound):
                raise IndexLoadError(f"{path}: the index bytes do not have the SHA-256 its manifest records")
        _warn_of_unicode(path, manifest)
    return engine


def _open_stored_trie(path: pathlib.Path, manifest: Manifest | None, verify: bool) -> tuple[PrefixSearch, int]:
    try:
        data = path.read_bytes()
    except OSError as error:
        raise IndexLoadError(f"{path}: cannot read the index: {error.strerror}") from None
    if manifest is not None:
        _check_size(path, len(data), manifest)
        stat = path.stat()
        identity: Identity = (stat.st_dev, stat.st_ino, stat.st_size, stat.st_mtime_ns, stat.st_ctime_ns)
        if verify and not verified_once(identity, manifest.index_sha256, lambda: digests(data)[0] == manifest.index_sha256):
            raise IndexLoadError(f"{path}: the index bytes do not have the SHA-256 its manifest records")
        _warn_of_unicode(path, manifest)
    try:
        return PrefixSearch.from_bytes(data), len(data)
    except ValueError:
        raise IndexLoadError(
            f"{path}: not a quillon index: neither an index container nor the stored trie of an older quillon; "
            "rebuild it with quillon build"
        ) from None


def _check_size(path: pathlib.Path, size: int, manifest: Manifest) -> None:
    if size != manifest.index_size_bytes:
        raise IndexLoadError(
            f"{path}: the index has {size:,} bytes, its manifest says {manifest.index_size_bytes:,}; "
            "they are not of the same build"
        )


def _warn_of_unicode(path: pathlib.Path, manifest: Manifest) -> None:
    if manifest.normalization != "none" and manifest.unicode_version != UNICODE_VERSION:
        warnings.warn(
            f"{path}: built with the Unicode {manifest.unicode_version} tables, this Python has "
            f"{UNICODE_VERSION}; queries with characters normalised differently by the two may miss",
            stacklevel=3,
        )


def _read_manifest(path: pathlib.Path, required: bool) -> Manifest | None:
    where = manifest_path(path)
    try:
        text = where.read_text(encoding="utf-8")
    except FileNotFoundError:
        if not path.exists():
            raise IndexLoadError(f"{path}: no such index file") from None
        if required:
            raise IndexLoadError(
                f"{path}: no manifest {where.name} beside it to verify it against, so it was not written by "
                "quillon build, or its manifest was moved",
                unverified_opens=True,
            ) from None
        return None
    except (OSError, UnicodeDecodeError) as error:
        raise IndexLoadError(f"{where}: cannot read the manifest: {error}") from None
    try:
        return Manifest.from_json(text)
    except ValueError as error:
        raise IndexLoadError(f"{where}: not a quillon manifest: {error}") from None
