"""Small search logs written as files, and what an index built from one must
hold, computed without DuckDB: the aggregated records through
``build_arrays``, with the build's orders (videos by id, each term's videos
by count then id)."""

from __future__ import annotations

import collections
import json
import pathlib
import uuid

import duckdb

from quillon import PrefixSearch, build_arrays, normalize
from quillon._engine import Engine
from quillon.cli import main

U32_MAX = 2**32 - 1


def write_table(path: pathlib.Path, select_sql: str) -> pathlib.Path:
    """Writes the rows of ``select_sql`` (DuckDB SQL) to ``path``, in the
    format its extension names."""
    options = {".parquet": "FORMAT parquet", ".csv": "FORMAT csv, HEADER", ".jsonl": "FORMAT json"}[path.suffix]
    with duckdb.connect() as con:
        con.execute(f"COPY ({select_sql}) TO '{path}' ({options})")
    return path


def values_sql(rows, columns=("term", "video_id")) -> str:
    """A SELECT of literal ``rows`` (str, int, None, uuid.UUID) as ``columns``."""

    def literal(value):
        if value is None:
            return "NULL"
        if isinstance(value, str):
            return "'" + value.replace("'", "''") + "'"
        if isinstance(value, uuid.UUID):
            return f"'{value}'::UUID"
        return f"{value}::BIGINT"

    body = ", ".join("(" + ", ".join(literal(v) for v in row) + ")" for row in rows)
    return f"SELECT * FROM (VALUES {body}) AS log({', '.join(columns)})"


def write_jsonl(path: pathlib.Path, rows, columns=("term", "video_id")) -> pathlib.Path:
    path.write_text("".join(json.dumps(dict(zip(columns, row))) + "\n" for row in rows))
    return path


def stored_trie(index: pathlib.Path) -> bytes:
    """The module's stored form held in an index file (its "trie" section)."""
    return Engine(str(index)).stored_trie()


def run_cli(capsys, *argv: str) -> tuple[int, str, str]:
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def expected_index_bytes(rows, mode="fold", min_count=1, min_term_count=1, top_n=50) -> bytes:
    """The bytes of the index of ``rows`` ((term, int id, count) records),
    built through ``build_arrays`` on the aggregated records."""
    sums: collections.Counter[tuple[str, int]] = collections.Counter()
    for term, video, count in rows:
        if term is None:
            continue
        term = normalize(term, mode)
        if term and "\0" not in term:
            sums[term, video] += count
    pairs = {key: min(total, U32_MAX) for key, total in sums.items() if total >= min_count}
    totals: collections.Counter[str] = collections.Counter()
    for (term, _video), count in pairs.items():
        totals[term] += count
    kept = {key: count for key, count in pairs.items() if totals[key[0]] >= min_term_count}
    # Records in payload order, so that build_arrays keeps it; then the
    # video table is renumbered by id.
    records = sorted(((t, v, c) for (t, v), c in kept.items()), key=lambda r: (r[0], -r[2], r[1]))
    arrays = build_arrays(records, top_n)
    order = sorted(range(len(arrays.video_index)), key=lambda i: int.from_bytes(arrays.video_index[i], "little"))
    renumber = {old: new for new, old in enumerate(order)}
    payloads = [
        None if p is None else (p[0], [renumber[i] for i in p[1]], p[2]) for p in arrays.payloads
    ]
    video_index = [arrays.video_index[i] for i in order]
    search = PrefixSearch.from_internal_data_v2(
        arrays.node_shifts, arrays.child_labels, payloads, arrays.child_transitions, video_index, top_n
    )
    return search.to_bytes()
