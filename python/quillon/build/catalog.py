"""The video catalogue of a build (``quillon build --catalog``): a table of
the site's videos (Parquet, CSV or JSON Lines, read by DuckDB as the log
is) whose title and kept columns the index stores, as text, for each of its
videos.

Catalogue ids match the log's as the log's ids match each other: an index
of integer ids takes integer ids, one of UUIDs takes UUIDs (typed, 16-byte
binaries or UUID text), one of string ids takes text, compared byte for
byte. A CSV catalogue of a string-id index is read as text whatever its
values look like: the cell ``007`` is the id "007". Anything else is
refused, as are rows with unusable ids and ids whose rows differ.

Tables (temporary, after the log's ``videos``): ``catalog_rows``, the rows
read (id, title and kept columns as text, NULL as ""); ``catalog``, one row
per id. The arrays for the index writer are built from them in DuckDB and
numpy: no Python object per video.
"""

from __future__ import annotations

import pathlib
from collections.abc import Callable
from contextlib import AbstractContextManager
from dataclasses import dataclass

import duckdb
import numpy as np
import numpy.typing as npt

from quillon.build.aggregate import read_files
from quillon.build.sources import (
    Columns,
    IdRead,
    SourceFile,
    SourceGroup,
    bad_rows_message,
    check_readable,
    checked_columns,
    checked_id_type,
    column_types,
    id_kind_words,
    is_empty,
    known_format,
    sql_ident,
    suffix_list,
)
from quillon.errors import BuildError
from quillon.manifest import IdKind

__all__ = [
    "MOST_KEPT_COLUMNS",
    "Catalog",
    "CatalogArrays",
    "CatalogCounts",
    "CatalogOptions",
    "catalog_arrays",
    "describe_catalog",
    "read_catalog",
]

# The most columns an index keeps besides the title (the index format's limit).
MOST_KEPT_COLUMNS = 24
# Videos whose rows differ quoted in the message, and the most characters of
# a value each quotes.
_EXAMPLES = 3
_VALUE_CHARS = 60

QueryWatch = Callable[[str, "int | None"], AbstractContextManager[None]]
_INTEGER_TYPES = {
    "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT",
    "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT", "UHUGEINT",
}  # fmt: skip


@dataclass(frozen=True)
class CatalogOptions:
    """Where the catalogue is and which of its columns to read: the id
    (``--catalog-id``), the title (``--catalog-title``) and the columns kept
    besides (``--catalog-keep``, at most 24)."""

    path: str | pathlib.Path
    id: str = "video_id"
    title: str = "title"
    keep: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        if len(self.keep) > MOST_KEPT_COLUMNS:
            raise BuildError(
                f"{self.path}: --catalog-keep names {len(self.keep)} columns; an index keeps at most {MOST_KEPT_COLUMNS}"
            )
        for number, name in enumerate(self.keep):
            if not name:
                raise BuildError(f"{self.path}: --catalog-keep names an empty column")
            if name in self.keep[:number]:
                raise BuildError(f"{self.path}: --catalog-keep names '{name}' twice")


@dataclass(frozen=True)
class Catalog:
    """A catalogue file whose columns have been checked."""

    options: CatalogOptions
    file: SourceFile
    id_type: str
    size_bytes: int


@dataclass(frozen=True)
class CatalogCounts:
    rows_read: int
    videos_with_row: int
    videos_without_row: int
    rows_not_in_index: int


@dataclass(frozen=True)
class CatalogArrays:
    """What the index writer takes, a value per video in ``vix`` order:
    ``has_row`` 1 where the catalogue has a row; each text column as its
    UTF-8 bytes concatenated and where each text ends."""

    has_row: npt.NDArray[np.uint8]
    titles: tuple[bytes, npt.NDArray[np.uint64]]
    field_names: list[str]
    fields: list[tuple[bytes, npt.NDArray[np.uint64]]]


def describe_catalog(con: duckdb.DuckDBPyConnection, options: CatalogOptions, log_ids: IdRead) -> Catalog:
    """Checks the catalogue's file and columns, and its id column's type
    against the log's where that is known before the log is read
    (``log_ids``: how the log's ids are read)."""
    file = _catalog_file(options.path)
    if is_empty(con, file):
        raise BuildError(f"{file.path}: no rows")
    types = column_types(con, file)
    named = [(options.id, "--catalog-id"), (options.title, "--catalog-title"), *((name, "--catalog-keep") for name in options.keep)]
    checked_columns(file, types, named, [options.id, options.title, *options.keep])
    catalog = Catalog(options, file, checked_id_type(con, file, types, options.id), file.path.stat().st_size)
    if log_ids != "text":  # text is UUIDs or string ids, known once the log is read
        _check_id_kind(catalog, "int" if log_ids == "int" else "uuid")
    return catalog


def read_catalog(con: duckdb.DuckDBPyConnection, catalog: Catalog, id_kind: IdKind, watch: QueryWatch) -> CatalogCounts:
    """Reads the catalogue into ``catalog_rows`` and ``catalog`` and counts
    its rows against the ``videos`` of the index.

    Raises ``BuildError`` for ids of another kind than the log's, rows with
    unusable ids, and ids whose rows differ."""
    _check_id_kind(catalog, id_kind)
    group, columns = _scan(catalog, id_kind)
    texts = ", ".join(f"coalesce({sql_ident(name)}::VARCHAR, '') AS {column}" for column, name in _text_columns(catalog))
    with watch("catalogue", None):
        read_files(
            con,
            f"CREATE TEMP TABLE catalog_rows AS SELECT {group.video_sql(columns)} AS video, {texts} FROM {group.reader()}",
            str(catalog.file.path),
        )
        if con.execute("SELECT 1 FROM catalog_rows WHERE video IS NULL LIMIT 1").fetchall():
            con.execute("SET threads = 1")  # row numbers in file order
            raise BuildError(bad_rows_message(con, [group], columns))
        con.execute("CREATE TEMP TABLE catalog AS SELECT DISTINCT * FROM catalog_rows")
        (differing,) = con.execute(
            "SELECT count(*) FROM (SELECT video FROM catalog GROUP BY video HAVING count(*) > 1)"
        ).fetchone() or (0,)
        if differing:
            raise BuildError(_differing_rows_message(con, catalog, group, columns, int(differing)))
        rows_read, with_row, videos, not_in_index = (
            con.execute(
                "SELECT (SELECT count(*) FROM catalog_rows), (SELECT count(*) FROM videos JOIN catalog USING (video)), "
                "(SELECT count(*) FROM videos), (SELECT count(*) FROM catalog_rows ANTI JOIN videos USING (video))"
            ).fetchone()
            or (0, 0, 0, 0)
        )
    return CatalogCounts(int(rows_read), int(with_row), int(videos) - int(with_row), int(not_in_index))


def catalog_arrays(con: duckdb.DuckDBPyConnection, catalog: Catalog) -> CatalogArrays:
    """The catalogue's columns for each video of the index, in ``vix``
    order: "" and ``has_row`` 0 for a video without a row."""
    columns = [column for column, _name in _text_columns(catalog)]
    joined = "FROM videos v LEFT JOIN catalog c ON v.video = c.video"
    lengths = con.execute(
        "SELECT (c.video IS NOT NULL)::UTINYINT AS has_row, "
        + ", ".join(f"strlen(coalesce(c.{column}, '')) AS {column}" for column in columns)
        + f" {joined} ORDER BY v.vix"
    ).fetchnumpy()
    texts = con.execute(
        "SELECT "
        + ", ".join(f"encode(coalesce(string_agg(coalesce(c.{column}, ''), '' ORDER BY v.vix), ''))" for column in columns)
        + f" {joined}"
    ).fetchone()
    assert texts is not None
    flat = [(bytes(text), np.cumsum(lengths[column], dtype=np.uint64)) for text, column in zip(texts, columns)]
    return CatalogArrays(
        has_row=np.asarray(lengths["has_row"], dtype=np.uint8),
        titles=flat[0],
        field_names=list(catalog.options.keep),
        fields=flat[1:],
    )


def _catalog_file(path: str | pathlib.Path) -> SourceFile:
    path = pathlib.Path(path)
    if not path.exists():
        raise BuildError(f"{path}: no such file")
    if path.is_dir():
        raise BuildError(f"{path}: is a folder; --catalog takes one file")
    check_readable(path)
    format = known_format(path.name)
    if format is None:
        raise BuildError(f"{path}: unknown format; name the catalogue {suffix_list()}")
    return SourceFile(path, format)


def _text_columns(catalog: Catalog) -> list[tuple[str, str]]:
    """(table column, catalogue column) for the title and each kept column."""
    options = catalog.options
    return [("title", options.title), *((f"field_{number}", name) for number, name in enumerate(options.keep))]


def _reads_as_text(catalog: Catalog, id_kind: IdKind) -> bool:
    """A CSV catalogue of a string-id index: its ids read as written."""
    return id_kind == "string" and catalog.file.format == "csv"


def _check_id_kind(catalog: Catalog, id_kind: IdKind) -> None:
    id_type = catalog.id_type
    fits = {
        "int": id_type in _INTEGER_TYPES,
        "uuid": id_type in ("UUID", "BLOB", "VARCHAR"),
        "string": id_type == "VARCHAR" or _reads_as_text(catalog, id_kind),
    }
    if fits[id_kind]:
        return
    holds: IdKind = "int" if id_type in _INTEGER_TYPES else "uuid" if id_type in ("UUID", "BLOB") else "string"
    raise BuildError(
        f"{catalog.file.path}: column '{catalog.options.id}' holds {id_kind_words(holds)} ({id_type}), but the log's "
        f"video ids are {id_kind_words(id_kind)}; a catalogue's ids must be of the log's kind"
    )


def _scan(catalog: Catalog, id_kind: IdKind) -> tuple[SourceGroup, Columns]:
    """The catalogue as a source group reading its ids as the index's, and
    the columns of its id (and, standing for the term, its title)."""
    options = catalog.options
    as_text = _reads_as_text(catalog, id_kind)
    ids: IdRead = "int" if id_kind == "int" else "uuid" if id_kind == "uuid" else "text"
    group = SourceGroup(
        format=catalog.file.format,
        files=(catalog.file.path,),
        video_type="VARCHAR" if as_text else catalog.id_type,
        count_type=None,
        ids=ids,
        # CSV cells read as written: "007" stays "007" in a kept column.
        csv_text=(options.title, *options.keep, *((options.id,) if as_text else ())),
    )
    return group, Columns(term=options.title, video=options.id)


def _differing_rows_message(
    con: duckdb.DuckDBPyConnection, catalog: Catalog, group: SourceGroup, columns: Columns, differing: int
) -> str:
    """Names the first ids (in file order) whose rows differ, each with the
    first column in which two of its rows differ and their row numbers."""
    con.execute("SET threads = 1")  # row numbers in file order; a failing build's last query
    parquet = group.format == "parquet"
    row = "file_row_number + 1" if parquet else "row_number() OVER ()"
    text_columns = _text_columns(catalog)
    names = [column for column, _name in text_columns]
    texts = ", ".join(f"coalesce({sql_ident(name)}::VARCHAR, '') AS {column}" for column, name in text_columns)
    listed = ", ".join(names)
    rows = con.execute(
        f"WITH numbered AS (SELECT {row} AS row, {group.video_sql(columns)} AS video, "
        f"left({sql_ident(columns.video)}::VARCHAR, {_VALUE_CHARS}) AS shown, {texts} FROM {group.reader(row_numbers=parquet)}), "
        "variants AS (SELECT video, min(row) AS row, arg_min(shown, row) AS shown, "
        f"{listed} FROM numbered WHERE video IN (SELECT video FROM catalog GROUP BY video HAVING count(*) > 1) "
        f"GROUP BY video, {listed}), "
        f"firsts AS (SELECT video, min(row) AS first FROM variants GROUP BY video ORDER BY first LIMIT {_EXAMPLES}) "
        f"SELECT first, row, shown, {listed} FROM variants JOIN firsts USING (video) "
        "QUALIFY row_number() OVER (PARTITION BY video ORDER BY row) <= 2 ORDER BY first, row"
    ).fetchall()
    examples: list[str] = []
    for first, second in zip(rows[::2], rows[1::2]):
        differs = next(i for i in range(len(names)) if first[3 + i] != second[3 + i])
        shown = first[2] if group.ids == "int" else f"'{first[2]}'"
        examples.append(
            f"{columns.video} {shown}: {text_columns[differs][1]} '{first[3 + differs][:_VALUE_CHARS]}' in row {first[1]}, "
            f"'{second[3 + differs][:_VALUE_CHARS]}' in row {second[1]}"
        )
    ids = "video id has rows" if differing == 1 else "video ids have rows"
    return f"{catalog.file.path}: {differing:,} {ids} that differ, e.g. {'; '.join(examples)}; a video's rows must agree"
