"""The aggregation of a search log in DuckDB, down to the sorted table the
trie is built from.

Tables, in the order they are made (all temporary, spilled to disk by
DuckDB when they outgrow its memory limit):

- ``raw_pairs``: the rows grouped by (raw term, shown spelling, video), with
  summed counts (the shown spelling is the raw term, or a display column's),
  the number of rows and of bad rows behind each group. No Python runs per
  row; everything after this works on groups. Video ids read as text are
  UUIDs where every one is UUID text, else the site's own string ids.
- ``term_map``: each distinct raw term and its normalised form, computed by
  ``quillon.normalize`` once per distinct raw term.
- ``term_ids``, ``raw_ids``: each normalised term numbered (``sid``) in
  code-point order, and the number of each raw term's normalised form, so
  that what follows groups and joins numbers rather than text.
- ``all_pairs``: (sid, video, count) grouped again by normalised term (and
  by UUID, for UUIDs read as text), counts summed and saturated at
  4294967295.
- ``term_totals``: each term's total count and number of videos over its
  pairs that reach the minimum count.
- ``terms``: the terms whose total reaches the minimum term count, numbered
  (``tid``) in code-point order.
- ``kept``: the pairs that reach the minimum count, of the kept terms.
- ``videos``: the videos of the kept pairs, numbered (``vix``) by id:
  integers by value, UUIDs by their bytes, string ids by their UTF-8 bytes.
- ``entries``: (tid, vix, count) in the order of the payloads: by term, then
  count descending, then video number, which is the id's order.
- ``displays``: for each kept term whose users typed it otherwise, the
  spelling typed most often (whitespace collapsed), ties by code point.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager
from dataclasses import dataclass

import duckdb
import numpy as np
import numpy.typing as npt

from quillon.errors import BuildError
from quillon.manifest import IdKind
from quillon.normalize import Mode, normalize
from quillon.build.sources import Columns, SourceGroup, bad_rows_message, first_line, sql_text

__all__ = ["Aggregated", "PackedIds", "TermBatch", "aggregate", "packed_video_ids", "read_files", "term_batches"]

U32_MAX = 0xFFFF_FFFF

# Why rows are left out without failing the build, as the manifest names them.
REFUSED_NULL = "no term (NULL)"
REFUSED_EMPTY = "empty after normalisation"
REFUSED_NUL = "contains U+0000"

QueryWatch = Callable[[str, "int | None"], AbstractContextManager[None]]

# The ASCII characters str.split() takes for whitespace, for RE2: display
# texts collapse whitespace as normalisation does.
_ASCII_WHITESPACE = r"[\t\n\x0b\x0c\r\x1c-\x1f ]"


def _collapsed(text: str) -> str:
    """``text`` with its whitespace runs as one space, trimmed."""
    return " ".join(text.split())


# An ASCII text that str.split() would change: whitespace other than single
# spaces between words.
_ASCII_UNEVEN = r"[\t\n\x0b\x0c\r\x1c-\x1f]|  |^ | $"


def _collapsed_sql(column: str) -> str:
    """``_collapsed`` in SQL: ASCII texts (as many bytes as characters) by
    DuckDB, the others by Python, once each."""
    ascii_collapsed = (
        f"CASE WHEN regexp_matches({column}, '{_ASCII_UNEVEN}') "
        f"THEN trim(regexp_replace({column}, '{_ASCII_WHITESPACE}+', ' ', 'g'), ' ') ELSE {column} END"
    )
    return f"CASE WHEN strlen({column}) = length({column}) THEN {ascii_collapsed} ELSE quillon_collapse({column}) END"


def _normalized_sql(column: str, normalization: Mode) -> str:
    """``quillon.normalize`` in SQL: ASCII texts by DuckDB (folding ASCII is
    lower-casing and collapsing whitespace; lower-casing it is DuckDB's
    lower()), the others by Python, once each."""
    if normalization == "none":
        return column
    if normalization == "lower":
        return f"CASE WHEN strlen({column}) = length({column}) THEN lower({column}) ELSE quillon_normalize({column}) END"
    return (
        f"CASE WHEN strlen({column}) = length({column}) THEN lower({_collapsed_sql(column)}) "
        f"ELSE quillon_normalize({column}) END"
    )


@dataclass(frozen=True)
class Aggregated:
    rows_read: int
    refused: dict[str, int]
    pairs_below_min_count: int
    terms_below_min_term_count: int
    pairs: int
    terms: int
    videos: int
    id_kind: IdKind


@dataclass(frozen=True)
class TermBatch:
    """Consecutive terms in code-point order with their payloads, as flat
    arrays: term i is ``text[ends[i - 1]:ends[i]]`` (UTF-8) and has
    ``sizes[i]`` entries, the next ones of ``video_ids`` and ``counts``; its
    display text is ``display_text[display_ends[i - 1]:display_ends[i]]``,
    empty where users typed it as it is stored."""

    text: bytes
    ends: npt.NDArray[np.uint64]
    totals: npt.NDArray[np.uint32]
    sizes: npt.NDArray[np.uint32]
    video_ids: npt.NDArray[np.uint32]
    counts: npt.NDArray[np.uint32]
    display_text: bytes
    display_ends: npt.NDArray[np.uint64]

    def __len__(self) -> int:
        return len(self.ends)

    def terms(self) -> list[str]:
        """The terms as str objects (for tests and small batches)."""
        starts = [0, *self.ends[:-1].tolist()]
        return [self.text[a:b].decode() for a, b in zip(starts, self.ends.tolist())]


def aggregate(
    con: duckdb.DuckDBPyConnection,
    groups: Sequence[SourceGroup],
    columns: Columns,
    normalization: Mode,
    min_count: int,
    min_term_count: int,
    watch: QueryWatch,
) -> Aggregated:
    """Makes the tables of this module's description from ``groups``.

    Raises ``BuildError`` for rows with unusable ids or counts, and when no
    term is left to index."""
    scans = " UNION ALL ".join(f"({group.scan_sql(columns)})" for group in groups)
    # Without a display column the spelling shown is the term as typed: one
    # column to group by, not two.
    displayed = any(group.has_display for group in groups)
    with watch("reading", _known_rows(con, groups)):
        read_files(
            con,
            f"CREATE TEMP TABLE raw_pairs AS SELECT raw, {'shown, ' if displayed else ''}video, sum(n) AS n, count(*) AS rows, "
            f"count(*) FILTER (WHERE video IS NULL OR n IS NULL) AS bad FROM ({scans}) "
            f"GROUP BY raw, {'shown, ' if displayed else ''}video",
        )
    rows_read, bad = _one(con, "SELECT coalesce(sum(rows), 0), coalesce(sum(bad), 0) FROM raw_pairs")
    if bad:
        con.execute("SET threads = 1")  # row numbers in file order
        raise BuildError(bad_rows_message(con, groups, columns))
    id_kind, video = _id_kind(con, groups)

    with watch("normalising", None):
        # Once per distinct typed term: its rows and searches, its normalised
        # form and (without a display column) the spelling it shows,
        # whitespace collapsed.
        con.create_function("quillon_normalize", lambda text: normalize(text, normalization), ["VARCHAR"], "VARCHAR")
        con.create_function("quillon_collapse", _collapsed, ["VARCHAR"], "VARCHAR")
        con.execute(
            f"CREATE TEMP TABLE term_map AS SELECT raw, rows, n, {_normalized_sql('raw', normalization)} AS term"
            f"{'' if displayed else ', ' + _collapsed_sql('raw') + ' AS shown'} "
            "FROM (SELECT raw, sum(rows) AS rows, sum(n) AS n FROM raw_pairs GROUP BY raw)",
        )
    null_terms, empty_terms, nul_terms = _one(
        con,
        "SELECT coalesce(sum(rows) FILTER (WHERE raw IS NULL), 0), coalesce(sum(rows) FILTER (WHERE term = ''), 0), "
        "coalesce(sum(rows) FILTER (WHERE contains(term, chr(0))), 0) FROM term_map",
    )

    with watch("aggregating", None):
        # Terms numbered in code-point order (sid), so that the pairs are
        # grouped and joined by number, not by text.
        con.execute(
            "CREATE TEMP TABLE term_ids AS SELECT row_number() OVER (ORDER BY term)::UINTEGER AS sid, term "
            "FROM (SELECT DISTINCT term FROM term_map WHERE raw IS NOT NULL AND term <> '' AND NOT contains(term, chr(0)))"
        )
        con.execute("CREATE TEMP TABLE raw_ids AS SELECT raw, sid FROM term_map JOIN term_ids USING (term)")
        con.execute(
            f"CREATE TEMP TABLE all_pairs AS SELECT sid, video, least(sum(n), {U32_MAX})::UINTEGER AS n "
            f"FROM (SELECT sid, {video} AS video, n FROM raw_pairs JOIN raw_ids USING (raw)) GROUP BY sid, video",
        )
        con.execute(
            f"CREATE TEMP TABLE term_totals AS SELECT sid, least(sum(n), {U32_MAX})::UINTEGER AS total, "
            f"count(*)::UINTEGER AS size FROM all_pairs WHERE n >= {min_count} GROUP BY sid",
        )
        con.execute(
            "CREATE TEMP TABLE terms AS SELECT (row_number() OVER (ORDER BY sid) - 1)::BIGINT AS tid, sid, term, total, size "
            f"FROM term_totals JOIN term_ids USING (sid) WHERE total >= {min_term_count} ORDER BY tid",
        )
        con.execute(
            "CREATE TEMP TABLE kept AS SELECT tid, video, n FROM all_pairs JOIN terms USING (sid) "
            f"WHERE n >= {min_count}",
        )
        con.execute(
            "CREATE TEMP TABLE videos AS SELECT (row_number() OVER (ORDER BY video) - 1)::UINTEGER AS vix, video "
            "FROM (SELECT DISTINCT video FROM kept) ORDER BY vix",
        )
        con.execute(
            "CREATE TEMP TABLE entries AS SELECT tid, vix, n FROM kept JOIN videos USING (video) ORDER BY tid, n DESC, vix"
        )
        # What users typed for each term, by how often: the most typed
        # spelling (ties by code point) is the one a search box shows.
        if displayed:
            candidates = (
                f"SELECT sid, {_collapsed_sql('shown')} AS shown, sum(n) AS n FROM raw_pairs JOIN raw_ids USING (raw) "
                "WHERE shown IS NOT NULL GROUP BY ALL"
            )
        else:
            candidates = "SELECT sid, shown, sum(n) AS n FROM term_map JOIN raw_ids USING (raw) GROUP BY sid, shown"
        # The most typed by hashing twice (the greatest count, then the least
        # spelling that has it) rather than by sorting every term's spellings.
        con.execute(
            f"CREATE TEMP TABLE displays AS WITH candidates AS ({candidates}), "
            "most AS (SELECT sid, max(n) AS n FROM candidates GROUP BY sid) "
            "SELECT tid, display FROM (SELECT sid, min(shown) AS display FROM candidates JOIN most USING (sid, n) GROUP BY sid) "
            "JOIN terms USING (sid) WHERE display <> term"
        )
    all_pairs, pairs_at_min_count, all_terms, terms, videos, entries = _one(
        con,
        "SELECT (SELECT count(*) FROM all_pairs), (SELECT coalesce(sum(size), 0) FROM term_totals), "
        "(SELECT count(*) FROM term_totals), (SELECT count(*) FROM terms), (SELECT count(*) FROM videos), "
        "(SELECT count(*) FROM entries)",
    )
    aggregated = Aggregated(
        rows_read=rows_read,
        refused={REFUSED_NULL: null_terms, REFUSED_EMPTY: empty_terms, REFUSED_NUL: nul_terms},
        pairs_below_min_count=all_pairs - pairs_at_min_count,
        terms_below_min_term_count=all_terms - terms,
        pairs=entries,
        terms=terms,
        videos=videos,
        id_kind=id_kind,
    )
    if not terms:
        raise BuildError(_nothing_left(aggregated, min_count, min_term_count))
    return aggregated


def _id_kind(con: duckdb.DuckDBPyConnection, groups: Sequence[SourceGroup]) -> tuple[IdKind, str]:
    """The kind of the log's video ids, and the SQL that makes ``raw_pairs.video``
    an id of that kind: text read as it is is UUIDs where every value is UUID
    text, else the site's own ids."""
    if groups[0].ids == "int":
        return "int", "video"
    if groups[0].ids == "uuid":
        return "uuid", "video"
    not_uuid = con.execute("SELECT 1 FROM raw_pairs WHERE TRY_CAST(video AS UUID) IS NULL LIMIT 1").fetchall()
    return ("string", "video") if not_uuid else ("uuid", "video::UUID")


def _nothing_left(aggregated: Aggregated, min_count: int, min_term_count: int) -> str:
    refused = sum(aggregated.refused.values())
    reasons = [f"{refused:,} of {aggregated.rows_read:,} rows refused"]
    if aggregated.pairs_below_min_count:
        reasons.append(f"{aggregated.pairs_below_min_count:,} (term, video) pairs below --min-count {min_count}")
    if aggregated.terms_below_min_term_count:
        reasons.append(f"{aggregated.terms_below_min_term_count:,} terms below --min-term-count {min_term_count}")
    return "nothing left to index: " + ", ".join(reasons)


def term_batches(con: duckdb.DuckDBPyConnection, terms: int, batch_terms: int) -> Iterator[TermBatch]:
    """The ``terms`` terms in code-point order, ``batch_terms`` at a time,
    as flat arrays: no Python object per term."""
    for first in range(0, terms, batch_terms):
        bounds = f"tid >= {first} AND tid < {first + batch_terms}"
        (text, display_text), = con.execute(
            f"SELECT coalesce(string_agg(term, '' ORDER BY tid), ''), coalesce(string_agg(coalesce(display, ''), '' ORDER BY tid), '') "
            f"FROM terms LEFT JOIN displays USING (tid) WHERE {bounds}"
        ).fetchall()
        head = con.execute(
            f"SELECT strlen(term) AS length, strlen(coalesce(display, '')) AS shown, total, size "
            f"FROM terms LEFT JOIN displays USING (tid) WHERE {bounds} ORDER BY tid"
        ).fetchnumpy()
        body = con.execute(f"SELECT vix, n FROM entries WHERE {bounds} ORDER BY tid, n DESC, vix").fetchnumpy()
        yield TermBatch(
            text=str(text).encode("utf-8"),
            ends=np.cumsum(head["length"], dtype=np.uint64),
            totals=np.asarray(head["total"], dtype=np.uint32),
            sizes=np.asarray(head["size"], dtype=np.uint32),
            video_ids=np.asarray(body["vix"], dtype=np.uint32),
            counts=np.asarray(body["n"], dtype=np.uint32),
            display_text=str(display_text).encode("utf-8"),
            display_ends=np.cumsum(head["shown"], dtype=np.uint64),
        )


@dataclass(frozen=True)
class PackedIds:
    """The ids of the videos in ``vix`` order, as the index writer takes
    them: ``ids`` of ``width`` bytes each (4: little-endian 32-bit ids; 16:
    UUIDs) and, for string ids, ``keys``: the strings (UTF-8, concatenated)
    and where each ends, the 32-bit ids being 0..V-1."""

    ids: bytes
    width: int
    keys: tuple[bytes, npt.NDArray[np.uint64]] | None = None


def packed_video_ids(con: duckdb.DuckDBPyConnection, id_kind: IdKind) -> PackedIds:
    """The ids of the ``videos`` table, built in DuckDB and numpy: no Python
    object per video."""
    if id_kind == "int":
        ids = con.execute("SELECT video FROM videos ORDER BY vix").fetchnumpy()["video"]
        return PackedIds(np.asarray(ids, dtype="<u4").tobytes(), 4)
    if id_kind == "uuid":
        (packed,) = con.execute(
            "SELECT coalesce(unhex(string_agg(replace(video::VARCHAR, '-', ''), '' ORDER BY vix)), ''::BLOB) FROM videos"
        ).fetchone() or (b"",)
        return PackedIds(bytes(packed), 16)
    (text,) = con.execute("SELECT encode(coalesce(string_agg(video, '' ORDER BY vix), '')) FROM videos").fetchone() or (b"",)
    lengths = con.execute("SELECT strlen(video) AS length FROM videos ORDER BY vix").fetchnumpy()["length"]
    return PackedIds(
        np.arange(len(lengths), dtype="<u4").tobytes(), 4, (bytes(text), np.cumsum(lengths, dtype=np.uint64))
    )


def _known_rows(con: duckdb.DuckDBPyConnection, groups: Sequence[SourceGroup]) -> int | None:
    """The number of rows to read when every file's metadata says it."""
    if any(group.format != "parquet" for group in groups):
        return None
    files = ", ".join(sql_text(str(path)) for group in groups for path in group.files)
    return int(_one(con, f"SELECT count(*) FROM read_parquet([{files}], union_by_name = true)")[0])


def read_files(con: duckdb.DuckDBPyConnection, sql: str, what: str = "the log") -> None:
    """Runs ``sql``, which reads files; a file DuckDB cannot read is a
    ``BuildError`` naming it (or ``what``, where DuckDB does not say)."""
    try:
        con.execute(sql)
    except duckdb.OutOfMemoryException:
        raise
    except duckdb.Error as error:
        raise BuildError(_read_error_message(error, what)) from None


def _read_error_message(error: duckdb.Error, what: str) -> str:
    """DuckDB's report of a file it cannot read (a malformed CSV line, a
    value its column's type refuses, a Parquet file cut short), in one line:
    the file, the error, the line and what is wrong with it."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    file = next((line.removeprefix("file = ") for line in lines if line.startswith("file = ")), None)
    details = [line for line in lines[1:] if line.startswith(("Original Line:", "Error when converting", "Expected Number"))]
    text = "; ".join([lines[0] if lines else type(error).__name__, *details])
    return f"{file}: cannot read: {text}" if file else f"cannot read {what}: {text}"


def _one(con: duckdb.DuckDBPyConnection, sql: str) -> tuple[int, ...]:
    (row,) = con.execute(sql).fetchall()
    return tuple(int(value) for value in row)
