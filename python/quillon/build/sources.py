"""The files of a search log, as DuckDB reads them: which files, in which
format, which columns, and one SQL scan per group of alike files that yields
every row as (raw term, video id, count) in a canonical form.

A row whose video id or count cannot be used becomes a row whose ``video``
or ``n`` is NULL; ``bad_rows_message`` later names the files, rows and values
behind them.
"""

from __future__ import annotations

import glob
import os
import pathlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Literal

import duckdb

from quillon.errors import BuildError
from quillon.manifest import IdKind

__all__ = [
    "BuildError",
    "Columns",
    "FORMATS",
    "SourceFile",
    "SourceGroup",
    "bad_rows_message",
    "describe_sources",
    "resolve_sources",
    "sql_text",
]

Format = Literal["parquet", "csv", "json"]
U32_MAX = 0xFFFF_FFFF

# File name endings by format; each may be followed by a compression suffix,
# which DuckDB undoes by itself.
FORMATS: dict[Format, tuple[str, ...]] = {
    "parquet": (".parquet", ".pq"),
    "csv": (".csv", ".tsv"),
    "json": (".jsonl", ".ndjson", ".json"),
}
_COMPRESSION = (".gz", ".zst")

_INTEGER_TYPES = {
    "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT",
    "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT", "UHUGEINT",
}  # fmt: skip
_UUID_TYPES = {"VARCHAR", "UUID", "BLOB"}

# Examples quoted in a message about bad rows, per file, and the most
# characters of a value each quotes.
_EXAMPLES = 3
_VALUE_CHARS = 60


@dataclass(frozen=True)
class Columns:
    """The names of the columns to read; a ``count`` column that is absent
    from a file is an error only when ``count_required``. A ``display``
    column, where a file has one, holds the spelling to show for the row's
    term (a table aggregated elsewhere keeps it there); elsewhere the term as
    typed is its own."""

    term: str = "term"
    video: str = "video_id"
    count: str = "count"
    count_required: bool = False
    display: str = "display"


@dataclass(frozen=True)
class SourceFile:
    path: pathlib.Path
    format: Format


@dataclass(frozen=True)
class SourceGroup:
    """Files of one format whose columns have the same types: one scan."""

    format: Format
    files: tuple[pathlib.Path, ...]
    video_type: str
    count_type: str | None  # None: no count column, every row counts once
    has_display: bool = False  # a display column, else the term as typed shows

    @property
    def id_kind(self) -> IdKind:
        return "int" if self.video_type in _INTEGER_TYPES else "uuid"

    def scan_sql(self, columns: Columns) -> str:
        """SELECT raw, shown, video, n: video and n NULL where unusable."""
        term = _ident(columns.term)
        shown = f"coalesce({_ident(columns.display)}::VARCHAR, {term})" if self.has_display else term
        return (
            f"SELECT {term} AS raw, {shown} AS shown, {self._video_sql(columns)} AS video, "
            f"{self._count_sql(columns)} AS n FROM {_reader(self.format, self.files, columns)}"
        )

    def _video_sql(self, columns: Columns) -> str:
        video = _ident(columns.video)
        if self.video_type in _INTEGER_TYPES:
            return f"CASE WHEN {video} BETWEEN 0 AND {U32_MAX} THEN {video}::UINTEGER END"
        if self.video_type == "VARCHAR":
            return f"TRY_CAST({video} AS UUID)"
        if self.video_type == "BLOB":
            return f"CASE WHEN octet_length({video}) = 16 THEN TRY_CAST(hex({video}) AS UUID) END"
        return video  # UUID

    def _count_sql(self, columns: Columns) -> str:
        if self.count_type is None:
            return "1::BIGINT"
        count = _ident(columns.count)
        return f"CASE WHEN {count} BETWEEN 0 AND {U32_MAX} THEN {count}::BIGINT END"

    def problem_sql(self, columns: Columns) -> str:
        """A text that says what is wrong with a row's id or count, or NULL."""
        video, name = _ident(columns.video), columns.video
        # Values are quoted cut short: a malformed id may be any length.
        shown = f"left({video}::VARCHAR, {_VALUE_CHARS})"
        if self.video_type in _INTEGER_TYPES:
            bad_video = f"{sql_text(name + ' ')} || {shown} || ' is outside 0..{U32_MAX}'"
        elif self.video_type == "BLOB":
            bad_video = f"{sql_text(name + ' is ')} || octet_length({video}) || ' bytes, not the 16 of a UUID'"
        else:
            bad_video = f"{sql_text(name + ' ' + chr(39))} || {shown} || {sql_text(chr(39) + ' is not a UUID')}"
        cases = [
            f"WHEN {video} IS NULL THEN {sql_text(name + ' is missing (NULL)')}",
            f"WHEN {self._video_sql(columns)} IS NULL THEN {bad_video}",
        ]
        if self.count_type is not None:
            count, name = _ident(columns.count), columns.count
            cases.append(f"WHEN {count} IS NULL THEN {sql_text(name + ' is missing (NULL)')}")
            cases.append(
                f"WHEN {self._count_sql(columns)} IS NULL THEN "
                f"{sql_text(name + ' ')} || {count}::VARCHAR || ' is outside 0..{U32_MAX}'"
            )
        return "CASE " + " ".join(cases) + " END"


def resolve_sources(arguments: Sequence[str], format: Format | None = None) -> list[SourceFile]:
    """The files named by ``arguments`` (files, folders, glob patterns), each
    once, in the order given (a pattern's or folder's files sorted)."""
    seen: set[pathlib.Path] = set()
    files: list[SourceFile] = []
    for argument in arguments:
        for path in _expand(argument, format):
            key = path.resolve()
            if key in seen:
                continue
            seen.add(key)
            files.append(SourceFile(path, format or _format_of(path)))
    if not files:
        raise BuildError("no source files given")
    return files


def _expand(argument: str, format: Format | None) -> list[pathlib.Path]:
    if glob.has_magic(argument):
        matches = sorted(glob.glob(argument, recursive=True))
        if not matches:
            raise BuildError(f"{argument}: no file matches this pattern")
        return [file for match in matches for file in _expand_path(pathlib.Path(match), format)]
    path = pathlib.Path(argument)
    if not path.exists():
        raise BuildError(f"{argument}: no such file")
    return _expand_path(path, format)


def _expand_path(path: pathlib.Path, format: Format | None) -> list[pathlib.Path]:
    if not path.is_dir():
        _check_readable(path)
        return [path]
    # A folder is a table written in parts (as Spark and DuckDB write them):
    # its data files, leaving out hidden and bookkeeping files (_SUCCESS).
    files = sorted(
        pathlib.Path(folder, name)
        for folder, subfolders, names in os.walk(path)
        for name in names
        if not name.startswith((".", "_")) and (format is not None or _known_format(name) is not None)
    )
    if not files:
        raise BuildError(f"{path}: no data files in this folder ({_suffix_list()})")
    for file in files:
        _check_readable(file)
    return files


def _check_readable(path: pathlib.Path) -> None:
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise BuildError(f"{path}: cannot read: {error.strerror}") from None


def _known_format(name: str) -> Format | None:
    lowered = name.lower()
    for suffix in _COMPRESSION:
        lowered = lowered.removesuffix(suffix)
    for format, suffixes in FORMATS.items():
        if lowered.endswith(suffixes):
            return format
    return None


def _format_of(path: pathlib.Path) -> Format:
    format = _known_format(path.name)
    if format is None:
        raise BuildError(f"{path}: unknown format; name the file {_suffix_list()}, or give --format")
    return format


def _suffix_list() -> str:
    return ", ".join(suffix for suffixes in FORMATS.values() for suffix in suffixes)


def describe_sources(con: duckdb.DuckDBPyConnection, files: Sequence[SourceFile], columns: Columns) -> list[SourceGroup]:
    """Checks each file's columns and their types and groups alike files;
    files without rows are left out.

    Raises ``BuildError`` naming the file for a missing column, a column of
    the wrong type, video ids of two kinds (integers and UUIDs), or no rows
    in any file."""
    groups: dict[tuple[Format, str, str | None, bool], list[pathlib.Path]] = {}
    kind_from: tuple[IdKind, pathlib.Path, str] | None = None
    for file in files:
        # An empty text file has no types to check (a header alone reads as
        # text columns): it adds nothing, so it is not looked at further.
        if _is_empty(con, file, columns):
            continue
        types = _column_types(con, file, columns)
        # CSV has no types: its terms are read as text whatever they look like.
        term_types = None if file.format == "csv" else {"VARCHAR"}
        _checked_type(file, types, columns.term, term_types, "terms must be text")
        video_type = _checked_type(
            file, types, columns.video, _INTEGER_TYPES | _UUID_TYPES,
            "video ids must be integers, UUIDs (as text or UUID) or 16-byte binaries",
        )  # fmt: skip
        count_type: str | None = None
        if columns.count in types or columns.count_required:
            count_type = _checked_type(file, types, columns.count, _INTEGER_TYPES, "counts must be integers")
        kind: IdKind = "int" if video_type in _INTEGER_TYPES else "uuid"
        if kind_from is None:
            kind_from = (kind, file.path, video_type)
        elif kind != kind_from[0]:
            raise BuildError(
                f"{file.path}: column '{columns.video}' holds {_kind_text(kind, video_type)}, but "
                f"{kind_from[1]} holds {_kind_text(kind_from[0], kind_from[2])}; one index takes one kind of video id"
            )
        has_display = columns.display in types and columns.display not in (columns.term, columns.video, columns.count)
        groups.setdefault((file.format, video_type, count_type, has_display), []).append(file.path)
    if not groups:
        if len(files) == 1:
            raise BuildError(f"{files[0].path}: no rows")
        raise BuildError(f"no rows in any of the {len(files)} source files ({files[0].path}, ...)")
    return [
        SourceGroup(format, tuple(paths), video_type, count_type, has_display)
        for (format, video_type, count_type, has_display), paths in groups.items()
    ]


def _is_empty(con: duckdb.DuckDBPyConnection, file: SourceFile, columns: Columns) -> bool:
    try:
        return not con.execute(f"SELECT 1 FROM {_reader(file.format, [file.path], columns, typed=False)} LIMIT 1").fetchall()
    except duckdb.Error as error:
        raise BuildError(f"{file.path}: cannot read as {file.format}: {first_line(error)}") from None


def _kind_text(kind: IdKind, sql_type: str) -> str:
    return f"integer ids ({sql_type})" if kind == "int" else f"UUIDs ({sql_type})"


def _column_types(con: duckdb.DuckDBPyConnection, file: SourceFile, columns: Columns) -> dict[str, str]:
    try:
        described = con.execute(f"DESCRIBE SELECT * FROM {_reader(file.format, [file.path], columns, typed=False)}").fetchall()
    except duckdb.Error as error:
        raise BuildError(f"{file.path}: cannot read as {file.format}: {first_line(error)}") from None
    return {str(row[0]): str(row[1]) for row in described}


def _checked_type(file: SourceFile, types: dict[str, str], column: str, allowed: set[str] | None, rule: str) -> str:
    if column not in types:
        available = ", ".join(f"'{name}'" for name in types) or "none"
        raise BuildError(f"{file.path}: no column '{column}' (columns: {available})")
    if allowed is not None and types[column] not in allowed:
        raise BuildError(f"{file.path}: column '{column}' is {types[column]}; {rule}")
    return types[column]


def bad_rows_message(con: duckdb.DuckDBPyConnection, groups: Iterable[SourceGroup], columns: Columns) -> str:
    """Names the files with rows whose id or count is unusable: for the first
    such file, how many and the first few with their row numbers (from 1, in
    file order); for the others, how many files they are."""
    found: list[str] = []
    for group in groups:
        for path in group.files:
            # Row numbers: Parquet knows them; for text formats, read in one
            # thread so that row_number() follows the file.
            row = "file_row_number + 1" if group.format == "parquet" else "row_number() OVER ()"
            reader = _reader(group.format, [path], columns, row_numbers=group.format == "parquet")
            rows = con.execute(
                f"SELECT row, problem, count(*) OVER () FROM (SELECT {row} AS row, {group.problem_sql(columns)} AS problem "
                f"FROM {reader}) WHERE problem IS NOT NULL ORDER BY row LIMIT {_EXAMPLES}"
            ).fetchall()
            if rows:
                examples = "; ".join(f"row {row}: {problem}" for row, problem, _total in rows)
                total = rows[0][2]
                what = columns.video + (f" or {columns.count}" if group.count_type is not None else "")
                found.append(f"{path}: {total:,} {'row' if total == 1 else 'rows'} with a bad {what}, e.g. {examples}")
    if not found:
        return "rows with a bad video id or count (the files changed while being read?)"
    if len(found) > 1:
        return f"{found[0]} (and bad rows in {len(found) - 1} more {'file' if len(found) == 2 else 'files'})"
    return found[0]


def _reader(
    format: Format, files: Iterable[pathlib.Path], columns: Columns, *, row_numbers: bool = False, typed: bool = True
) -> str:
    """A table function reading ``files``; ``typed``: the term column of a
    CSV file is read as text (which fails where the file has no such column)."""
    paths = "[" + ", ".join(sql_text(str(path)) for path in files) + "]"
    if format == "parquet":
        return f"read_parquet({paths}, union_by_name = true{', file_row_number = true' if row_numbers else ''})"
    if format == "csv":
        types = f", types = {{{sql_text(columns.term)}: 'VARCHAR'}}" if typed else ""
        return f"read_csv({paths}, union_by_name = true{types})"
    return f"read_json({paths}, format = 'auto', union_by_name = true)"


def _ident(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def sql_text(text: str) -> str:
    """``text`` as an SQL string literal."""
    return "'" + text.replace("'", "''") + "'"


def first_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__
