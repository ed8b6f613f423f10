"""The manifest written beside an index as INDEX.json: how the index was
built and what it holds, with the size and SHA-256 of the index bytes so
that a reader can tell that the two belong together.
"""

from __future__ import annotations

import dataclasses
import json
import pathlib
from dataclasses import dataclass
from collections.abc import Callable
from typing import Any, Literal, get_args

from quillon.normalize import MODES, Mode

__all__ = [
    "FORMAT_VERSION",
    "IdKind",
    "Manifest",
    "ManifestCatalog",
    "ManifestSection",
    "ManifestSource",
    "READABLE_FORMATS",
    "manifest_path",
]

FORMAT_VERSION = 2
"""Format 2: the index is a container of sections (the module's stored trie,
the trie as flat arrays, the completion records); format 1 was the stored
trie alone."""
READABLE_FORMATS = (1, 2)
IdKind = Literal["int", "uuid", "string"]
"""The kind of the video ids: "int" (0..4294967295), "uuid" (16 bytes) or
"string" (the site's own ids, any text)."""


def manifest_path(index: str | pathlib.Path) -> pathlib.Path:
    """Where the manifest of ``index`` lives: the same name plus ``.json``."""
    index = pathlib.Path(index)
    return index.with_name(index.name + ".json")


@dataclass(frozen=True)
class ManifestSource:
    """One file the index was built from."""

    path: str
    format: str
    size_bytes: int


@dataclass(frozen=True)
class ManifestSection:
    """One section of a format 2 index file: where it lies and its SHA-256."""

    name: str
    offset: int
    length: int
    sha256: str


@dataclass(frozen=True)
class ManifestCatalog:
    """The video catalogue the index was built with (``--catalog``): the
    file, the columns read, and how its rows met the index's videos."""

    path: str
    format: str
    size_bytes: int
    id_column: str
    title_column: str
    kept_columns: tuple[str, ...]
    rows_read: int
    videos_with_row: int  # videos of the index with a title
    videos_without_row: int  # videos of the index shown by id alone
    rows_not_in_index: int  # rows of videos the index does not hold, ignored


@dataclass(frozen=True)
class Manifest:
    """What INDEX.json records. Counts of rows are rows of the sources; a
    pair is a (term, video) with its summed count."""

    format_version: int
    quillon_version: str
    built_at: str  # UTC, ISO 8601
    build_seconds: float
    normalization: Mode
    unicode_version: str  # of the tables normalisation used
    id_kind: IdKind  # "int": ids 0..4294967295; "uuid": 16-byte ids; "string": the site's own
    top_n: int
    min_count: int
    min_term_count: int
    rows_read: int
    rows_refused: int
    refused: dict[str, int]  # rows refused, by reason
    pairs_below_min_count: int
    terms_below_min_term_count: int
    pairs: int
    terms: int
    videos: int
    nodes: int
    index_size_bytes: int
    index_sha256: str
    columns: dict[str, str | None]  # term, video, count: the column names read
    sources: tuple[ManifestSource, ...]
    sections: tuple[ManifestSection, ...] = ()  # format 2: the sections of the index file
    catalog: ManifestCatalog | None = None  # None: built without a catalogue

    def to_json(self) -> str:
        return json.dumps(dataclasses.asdict(self), indent=2, ensure_ascii=False) + "\n"

    @classmethod
    def from_json(cls, text: str) -> Manifest:
        """Parses a manifest; ``ValueError`` says what is wrong with it."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as error:
            raise ValueError(f"not JSON ({error})") from None
        if not isinstance(data, dict):
            raise ValueError("not a JSON object")
        version = data.get("format_version")
        if version not in READABLE_FORMATS:
            raise ValueError(f"format_version {version!r}, this quillon reads {' and '.join(map(str, READABLE_FORMATS))}")
        values: dict[str, Any] = {}
        for field in dataclasses.fields(cls):
            if field.name not in data:
                if field.default is not dataclasses.MISSING and (version < FORMAT_VERSION or field.name in _LATER_FIELDS):
                    continue  # a field that older manifests did not have
                raise ValueError(f"no field {field.name!r}")
            values[field.name] = _checked(field.name, data[field.name])
        return cls(**values)


# What each field holds, by the JSON types it arrives as.
_INT_FIELDS = {
    "format_version", "top_n", "min_count", "min_term_count", "rows_read", "rows_refused",
    "pairs_below_min_count", "terms_below_min_term_count", "pairs", "terms", "videos", "nodes",
    "index_size_bytes",
}  # fmt: skip
_STR_FIELDS = {"quillon_version", "built_at", "unicode_version", "index_sha256"}
# Fields added within the current format: absent, they take their default.
_LATER_FIELDS = {"catalog"}
_CATALOG_COUNTS = ("size_bytes", "rows_read", "videos_with_row", "videos_without_row", "rows_not_in_index")


def _checked(name: str, value: Any) -> Any:
    def wrong(expected: str) -> ValueError:
        return ValueError(f"field {name!r} is {value!r}, not {expected}")

    if name in _INT_FIELDS:
        if type(value) is not int or value < 0:
            raise wrong("a count")
        return value
    if name in _STR_FIELDS:
        if not isinstance(value, str):
            raise wrong("text")
        return value
    if name == "build_seconds":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise wrong("a number")
        return float(value)
    if name == "normalization":
        if value not in MODES:
            raise wrong(" or ".join(MODES))
        return value
    if name == "id_kind":
        if value not in get_args(IdKind):
            raise wrong("'int', 'uuid' or 'string'")
        return value
    if name == "refused":
        if not isinstance(value, dict) or not all(type(v) is int and v >= 0 for v in value.values()):
            raise wrong("counts by reason")
        return {str(k): v for k, v in value.items()}
    if name == "columns":
        if not isinstance(value, dict) or not all(v is None or isinstance(v, str) for v in value.values()):
            raise wrong("column names")
        return {str(k): v for k, v in value.items()}
    if name == "sources":
        if not isinstance(value, list):
            raise wrong("a list of sources")
        try:
            return tuple(ManifestSource(str(s["path"]), str(s["format"]), int(s["size_bytes"])) for s in value)
        except (TypeError, KeyError, ValueError):
            raise wrong("a list of sources") from None
    if name == "sections":
        if not isinstance(value, list):
            raise wrong("a list of sections")
        try:
            return tuple(
                ManifestSection(str(s["name"]), _count(s["offset"]), _count(s["length"]), str(s["sha256"])) for s in value
            )
        except (TypeError, KeyError, ValueError):
            raise wrong("a list of sections") from None
    if name == "catalog":
        return None if value is None else _catalog(value, wrong)
    raise AssertionError(f"unhandled field {name}")


def _catalog(value: Any, wrong: Callable[[str], ValueError]) -> ManifestCatalog:
    expected = "a catalogue's description"
    if not isinstance(value, dict):
        raise wrong(expected)
    try:
        texts = {key: value[key] for key in ("path", "format", "id_column", "title_column")}
        counts = {key: value[key] for key in _CATALOG_COUNTS}
        kept = value["kept_columns"]
    except KeyError:
        raise wrong(expected) from None
    if not all(isinstance(text, str) for text in texts.values()) or not isinstance(kept, list):
        raise wrong(expected)
    if not all(isinstance(name, str) for name in kept) or not all(type(n) is int and n >= 0 for n in counts.values()):
        raise wrong(expected)
    return ManifestCatalog(**texts, **counts, kept_columns=tuple(kept))


def _count(value: Any) -> int:
    if type(value) is not int or value < 0:
        raise ValueError(f"{value!r} is not a count")
    return value
