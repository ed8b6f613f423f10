"""The files of a search log, as DuckDB reads them: which files, in which
format, which columns, and one SQL scan per group of alike files that yields
every row as (raw term, video id, count) in a canonical form.

Video ids come from the column's type: integers are ids 0..4294967295; the
UUID type and 16-byte binaries are UUIDs; text is read as it is and, once
read, is UUIDs where every value is UUID text, else the site's own string
ids (``aggregate`` decides). Text beside UUID-typed files must be UUIDs.

A row whose video id or count cannot be used becomes a row whose ``video``
or ``n`` is NULL; ``bad_rows_message`` later names the files, rows and values
behind them.
"""

from __future__ import annotations

import glob
import os
import pathlib
import re
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
    "ID_RULE",
    "IdRead",
    "MAX_ID_BYTES",
    "SourceFile",
    "SourceGroup",
    "bad_rows_message",
    "check_readable",
    "checked_columns",
    "checked_id_type",
    "column_types",
    "describe_sources",
    "holds_only_uuids",
    "id_kind_words",
    "is_empty",
    "known_format",
    "resolve_sources",
    "sql_ident",
    "sql_text",
    "suffix_list",
]

Format = Literal["parquet", "csv", "json"]
IdRead = Literal["int", "uuid", "text"]
"""How a scan reads video ids: as ids 0..4294967295, as UUIDs, or as text
(whose kind is decided once read: UUIDs where all are UUID text, else the
site's own string ids)."""
U32_MAX = 0xFFFF_FFFF
# The longest string id, in UTF-8 bytes: a longer one is a bad row.
MAX_ID_BYTES = 256

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
_UUID_TYPES = {"UUID", "BLOB"}
_ID_TYPES = _INTEGER_TYPES | _UUID_TYPES | {"VARCHAR"}
ID_RULE = "video ids must be integers, text (UUIDs or the site's own ids), UUIDs or 16-byte binaries"

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
    ids: IdRead = "int"
    csv_text: tuple[str, ...] = ()  # columns of a CSV file read as text, not as their values look

    def scan_sql(self, columns: Columns) -> str:
        """SELECT raw, shown, video, n: video and n NULL where unusable."""
        term = sql_ident(columns.term)
        shown = f"coalesce({sql_ident(columns.display)}::VARCHAR, {term})" if self.has_display else term
        return (
            f"SELECT {term} AS raw, {shown} AS shown, {self.video_sql(columns)} AS video, "
            f"{self._count_sql(columns)} AS n FROM {self.reader()}"
        )

    def reader(self, *, row_numbers: bool = False) -> str:
        """A table function reading the group's files."""
        return _reader(self.format, self.files, self.csv_text, row_numbers=row_numbers)

    def video_sql(self, columns: Columns) -> str:
        """The video id read as ``ids`` says: NULL where unusable."""
        video = sql_ident(columns.video)
        if self.ids == "int":
            return f"CASE WHEN {video} BETWEEN 0 AND {U32_MAX} THEN {video}::UINTEGER END"
        if self.ids == "text":
            return f"CASE WHEN strlen({video}) BETWEEN 1 AND {MAX_ID_BYTES} THEN {video} END"
        if self.video_type == "VARCHAR":
            return f"TRY_CAST({video} AS UUID)"
        if self.video_type == "BLOB":
            return f"CASE WHEN octet_length({video}) = 16 THEN TRY_CAST(hex({video}) AS UUID) END"
        return video  # UUID

    def _count_sql(self, columns: Columns) -> str:
        if self.count_type is None:
            return "1::BIGINT"
        count = sql_ident(columns.count)
        return f"CASE WHEN {count} BETWEEN 0 AND {U32_MAX} THEN {count}::BIGINT END"

    def problem_sql(self, columns: Columns) -> str:
        """A text that says what is wrong with a row's id or count, or NULL."""
        video, name = sql_ident(columns.video), columns.video
        # Values are quoted cut short: a malformed id may be any length.
        shown = f"left({video}::VARCHAR, {_VALUE_CHARS})"
        quoted = f"{sql_text(name + ' ' + chr(39))} || {shown} || {sql_text(chr(39))}"
        if self.ids == "int":
            bad_video = f"{sql_text(name + ' ')} || {shown} || ' is outside 0..{U32_MAX}'"
        elif self.ids == "text":
            bad_video = f"{quoted} || ' is ' || strlen({video}) || ' bytes, more than the {MAX_ID_BYTES} of a video id'"
        elif self.video_type == "BLOB":
            bad_video = f"{sql_text(name + ' is ')} || octet_length({video}) || ' bytes, not the 16 of a UUID'"
        else:
            bad_video = f"{quoted} || ' is not a UUID'"
        cases = [f"WHEN {video} IS NULL THEN {sql_text(name + ' is missing (NULL)')}"]
        if self.video_type == "VARCHAR":
            cases.append(f"WHEN {video} = '' THEN {sql_text(name + ' is empty')}")
        cases.append(f"WHEN {self.video_sql(columns)} IS NULL THEN {bad_video}")
        if self.count_type is not None:
            count, name = sql_ident(columns.count), columns.count
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
        check_readable(path)
        return [path]
    # A folder is a table written in parts (as Spark and DuckDB write them):
    # its data files, leaving out hidden and bookkeeping files (_SUCCESS).
    files = sorted(
        pathlib.Path(folder, name)
        for folder, subfolders, names in os.walk(path)
        for name in names
        if not name.startswith((".", "_")) and (format is not None or known_format(name) is not None)
    )
    if not files:
        raise BuildError(f"{path}: no data files in this folder ({suffix_list()})")
    for file in files:
        check_readable(file)
    return files


def check_readable(path: pathlib.Path) -> None:
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise BuildError(f"{path}: cannot read: {error.strerror}") from None


def known_format(name: str) -> Format | None:
    lowered = name.lower()
    for suffix in _COMPRESSION:
        lowered = lowered.removesuffix(suffix)
    for format, suffixes in FORMATS.items():
        if lowered.endswith(suffixes):
            return format
    return None


def _format_of(path: pathlib.Path) -> Format:
    format = known_format(path.name)
    if format is None:
        raise BuildError(f"{path}: unknown format; name the file {suffix_list()}, or give --format")
    return format


def suffix_list() -> str:
    return ", ".join(suffix for suffixes in FORMATS.values() for suffix in suffixes)


def describe_sources(con: duckdb.DuckDBPyConnection, files: Sequence[SourceFile], columns: Columns) -> list[SourceGroup]:
    """Checks each file's columns and their types and groups alike files;
    files without rows are left out.

    Raises ``BuildError`` naming the file for a missing column (and the
    option that names it), a column of the wrong type, video ids of two
    kinds, or no rows in any file."""
    wanted = [columns.term, columns.video, *([columns.count] if columns.count_required else [])]
    groups: dict[tuple[Format, str, str | None, bool], list[pathlib.Path]] = {}
    # The first file of each class of id column: integers, UUID-typed, text.
    first_of: dict[str, tuple[SourceFile, str]] = {}
    text_files: list[SourceFile] = []
    for file in files:
        # An empty text file has no types to check (a header alone reads as
        # text columns): it adds nothing, so it is not looked at further.
        if is_empty(con, file):
            continue
        types = column_types(con, file)
        # CSV has no types: its terms are read as text whatever they look like.
        term_types = None if file.format == "csv" else {"VARCHAR"}
        checked_columns(file, types, [(columns.term, "--term")], wanted)
        _checked_type(file, types, columns.term, term_types, "terms must be text")
        checked_columns(file, types, [(columns.video, "--video")], wanted)
        video_type = checked_id_type(con, file, types, columns.video)
        count_type: str | None = None
        if columns.count in types or columns.count_required:
            checked_columns(file, types, [(columns.count, "--count")], wanted)
            count_type = _checked_type(file, types, columns.count, _INTEGER_TYPES, "counts must be integers")
        id_class = _id_class(video_type)
        # Integers beside UUIDs or text: named with the first file of the other kind.
        rivals = [found for found_class, found in first_of.items() if (found_class == "int") != (id_class == "int")]
        if rivals:
            raise BuildError(_kinds_differ(con, columns.video, (file, video_type), rivals[0]))
        first_of.setdefault(id_class, (file, video_type))
        if id_class == "text":
            text_files.append(file)
        has_display = columns.display in types and columns.display not in (columns.term, columns.video, columns.count)
        groups.setdefault((file.format, video_type, count_type, has_display), []).append(file.path)
    if not groups:
        if len(files) == 1:
            raise BuildError(f"{files[0].path}: no rows")
        raise BuildError(f"no rows in any of the {len(files)} source files ({files[0].path}, ...)")
    text_read: IdRead = "text"
    if "uuid" in first_of and text_files:
        # Text beside UUID-typed files must be UUIDs, as it is read then.
        typed = first_of["uuid"]
        for file in text_files:
            if not holds_only_uuids(con, file, columns.video):
                earlier, later = sorted([typed, (file, "VARCHAR")], key=lambda found: files.index(found[0]))
                raise BuildError(_kinds_differ(con, columns.video, later, earlier))
        text_read = "uuid"
    return [
        SourceGroup(
            format, tuple(paths), video_type, count_type, has_display,
            ids=_id_read(video_type, text_read), csv_text=(columns.term,),
        )  # fmt: skip
        for (format, video_type, count_type, has_display), paths in groups.items()
    ]


def _id_class(video_type: str) -> str:
    return "int" if video_type in _INTEGER_TYPES else "uuid" if video_type in _UUID_TYPES else "text"


def _id_read(video_type: str, text_read: IdRead) -> IdRead:
    id_class = _id_class(video_type)
    return text_read if id_class == "text" else "int" if id_class == "int" else "uuid"


def _kinds_differ(
    con: duckdb.DuckDBPyConnection, column: str, later: tuple[SourceFile, str], earlier: tuple[SourceFile, str]
) -> str:
    def holds(found: tuple[SourceFile, str]) -> str:
        file, sql_type = found
        if sql_type in _INTEGER_TYPES:
            return f"integer ids ({sql_type})"
        if sql_type in _UUID_TYPES or holds_only_uuids(con, file, column):
            return f"UUIDs ({sql_type})"
        return f"text ids ({sql_type})"

    return (
        f"{later[0].path}: column '{column}' holds {holds(later)}, but {earlier[0].path} holds {holds(earlier)}; "
        "one index takes one kind of video id"
    )


def id_kind_words(kind: IdKind) -> str:
    """How messages name a kind of video id."""
    return {"int": "integer ids", "uuid": "UUIDs", "string": "text ids"}[kind]


def holds_only_uuids(con: duckdb.DuckDBPyConnection, file: SourceFile, column: str) -> bool:
    """Whether every value of the text column ``column`` of ``file`` that is
    neither NULL nor empty is UUID text (stops at the first that is not)."""
    video = sql_ident(column)
    reader = _reader(file.format, [file.path], ())
    return not _fetch(con, file, f"SELECT 1 FROM {reader} WHERE {video} <> '' AND TRY_CAST({video} AS UUID) IS NULL LIMIT 1")


def checked_id_type(con: duckdb.DuckDBPyConnection, file: SourceFile, types: dict[str, str], column: str) -> str:
    """The type of the id column ``column``: one of the types ids come in,
    else ``BuildError`` (for a JSON column, naming rows of each kind)."""
    if types[column] == "JSON":
        raise BuildError(json_ids_message(con, file, column))
    return _checked_type(file, types, column, _ID_TYPES, ID_RULE)


def json_ids_message(con: duckdb.DuckDBPyConnection, file: SourceFile, column: str) -> str:
    """What is wrong with an id column that DuckDB reads as JSON (values of
    more than one JSON type): the kinds it mixes, with the first rows of each."""
    video = sql_ident(column)
    con.execute("SET threads = 1")  # row numbers in file order; a failing build's last query
    rows = _fetch(
        con,
        file,
        f"SELECT row, kind, value FROM (SELECT row_number() OVER () AS row, "
        f"CASE WHEN coalesce(json_type({video}), 'NULL') = 'NULL' THEN NULL "
        f"WHEN json_type({video}) IN ('UBIGINT', 'BIGINT') THEN 'integer ids' "
        f"WHEN json_type({video}) = 'VARCHAR' THEN 'text ids' ELSE 'other values' END AS kind, "
        f"CASE WHEN json_type({video}) = 'VARCHAR' THEN '''' || left({video} ->> '$', {_VALUE_CHARS}) || '''' "
        f"ELSE left({video}::VARCHAR, {_VALUE_CHARS}) END AS value FROM {_reader(file.format, [file.path], ())}) "
        f"WHERE kind IS NOT NULL QUALIFY row_number() OVER (PARTITION BY kind ORDER BY row) <= {_EXAMPLES} ORDER BY row",
    )
    examples: dict[str, list[str]] = {}
    for row, kind, value in rows:
        examples.setdefault(str(kind), []).append(f"row {row}: {value}")

    def listed(kind: str) -> str:
        return f"{kind} ({'; '.join(examples[kind])})"

    if "other values" in examples:
        return f"{file.path}: column '{column}' holds values that are not video ids ({'; '.join(examples['other values'])}); {ID_RULE}"
    if len(examples) == 2:
        return (
            f"{file.path}: column '{column}' mixes {listed('integer ids')} and {listed('text ids')}; "
            "one index takes one kind of video id"
        )
    return f"{file.path}: column '{column}' is JSON; {ID_RULE}"


def is_empty(con: duckdb.DuckDBPyConnection, file: SourceFile) -> bool:
    return not _fetch(con, file, f"SELECT 1 FROM {_reader(file.format, [file.path], ())} LIMIT 1")


def column_types(con: duckdb.DuckDBPyConnection, file: SourceFile) -> dict[str, str]:
    """The columns of ``file`` and their types, as DuckDB reads them."""
    described = _fetch(con, file, f"DESCRIBE SELECT * FROM {_reader(file.format, [file.path], ())}")
    return {str(row[0]): str(row[1]) for row in described}


def _fetch(con: duckdb.DuckDBPyConnection, file: SourceFile, sql: str) -> list[tuple[object, ...]]:
    """The rows of ``sql``, which reads ``file``: a file DuckDB cannot read
    is a ``BuildError`` naming it."""
    try:
        return con.execute(sql).fetchall()
    except duckdb.OutOfMemoryException:
        raise
    except duckdb.Error as error:
        raise BuildError(f"{file.path}: cannot read as {file.format}: {first_line(error)}") from None


def checked_columns(file: SourceFile, types: dict[str, str], named: Sequence[tuple[str, str]], wanted: Sequence[str]) -> None:
    """Raises ``BuildError`` for the first column of ``named`` ((column,
    option) pairs) that ``file`` lacks, naming the option that names it; for
    a CSV file without a header row, saying so (``wanted``: the columns its
    first line should name)."""
    for column, option in named:
        if column in types:
            continue
        if file.format == "csv" and all(re.fullmatch(r"column\d+", name) for name in types):
            read_as = ", ".join(f"'{name}'" for name in types)
            raise BuildError(
                f"{file.path}: no header row (its columns read as {read_as}); "
                f"its first line must name the columns, e.g. {','.join(wanted)}"
            )
        available = ", ".join(f"'{name}'" for name in types) or "none"
        raise BuildError(f"{file.path}: no column '{column}' (columns: {available}); name it with {option}")


def _checked_type(file: SourceFile, types: dict[str, str], column: str, allowed: set[str] | None, rule: str) -> str:
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
            reader = _reader(group.format, [path], group.csv_text, row_numbers=group.format == "parquet")
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


def _reader(format: Format, files: Iterable[pathlib.Path], csv_text: Iterable[str], *, row_numbers: bool = False) -> str:
    """A table function reading ``files``; ``csv_text``: columns of a CSV
    file read as text whatever they look like (which fails where the file
    has no such column)."""
    paths = "[" + ", ".join(sql_text(str(path)) for path in files) + "]"
    if format == "parquet":
        return f"read_parquet({paths}, union_by_name = true{', file_row_number = true' if row_numbers else ''})"
    if format == "csv":
        text = ", ".join(f"{sql_text(name)}: 'VARCHAR'" for name in dict.fromkeys(csv_text))
        return f"read_csv({paths}, union_by_name = true{f', types = {{{text}}}' if text else ''})"
    return f"read_json({paths}, format = 'auto', union_by_name = true)"


def sql_ident(name: str) -> str:
    """``name`` as an SQL identifier."""
    return '"' + name.replace('"', '""') + '"'


def sql_text(text: str) -> str:
    """``text`` as an SQL string literal."""
    return "'" + text.replace("'", "''") + "'"


def first_line(error: BaseException) -> str:
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__
