"""``quillon build``: a search log (Parquet, CSV, JSON Lines) to an index
file and its manifest.

The phases: read and aggregate the log in DuckDB (``quillon.build.aggregate``);
stream the aggregated terms, sorted by code point, into the trie arrays
(``quillon.build.trie_stream``); build the trie with ``from_internal_data_v2`` and
take its ``to_bytes``; write INDEX and INDEX.json atomically
(``quillon.build.output``).
"""

from __future__ import annotations

import datetime
import gc
import hashlib
import importlib.metadata
import pathlib
import shutil
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass, field

import duckdb

from _quillon import PrefixSearch
from quillon.build.aggregate import Aggregated, aggregate, term_batches, video_index
from quillon.build.output import write_index_files
from quillon.build.progress import Progress
from quillon.build.sources import Columns, Format, describe_sources, first_line, resolve_sources
from quillon.build.trie_stream import SortedTermTrie
from quillon.errors import BuildError
from quillon.manifest import FORMAT_VERSION, Manifest, ManifestSource, manifest_path
from quillon.normalize import MODES, UNICODE_VERSION, Mode

__all__ = ["BuildOptions", "BuildResult", "build_index"]

U32_MAX = 0xFFFF_FFFF
# Terms per batch read back from DuckDB: large enough that a query per batch
# costs nothing, small enough that a batch's arrays stay a few megabytes.
BATCH_TERMS = 100_000


@dataclass(frozen=True)
class BuildOptions:
    columns: Columns = field(default_factory=Columns)
    format: Format | None = None  # None: from each file's name
    normalization: Mode = "fold"
    top_n: int = 50
    min_count: int = 1
    min_term_count: int = 1
    memory_limit: str | None = None  # DuckDB's, e.g. "4GB"; None: its default
    temp_dir: pathlib.Path | None = None  # None: a fresh folder beside the index
    threads: int | None = None  # None: DuckDB's default, one per core

    def __post_init__(self) -> None:
        if self.normalization not in MODES:
            raise BuildError(f"unknown normalisation {self.normalization!r}: use one of {', '.join(MODES)}")
        for name in ("top_n", "min_count", "min_term_count"):
            value = getattr(self, name)
            if not 0 <= value <= U32_MAX:
                raise BuildError(f"--{name.replace('_', '-')} must be 0..{U32_MAX}, not {value}")
        if self.threads is not None and self.threads < 1:
            raise BuildError(f"--threads must be at least 1, not {self.threads}")


@dataclass(frozen=True)
class BuildResult:
    manifest: Manifest
    index_path: pathlib.Path
    manifest_path: pathlib.Path
    phase_seconds: dict[str, float]


def build_index(
    sources: Sequence[str],
    output: str | pathlib.Path,
    options: BuildOptions | None = None,
    progress: Progress | None = None,
) -> BuildResult:
    """Builds the index of the search log ``sources`` (files, folders or
    glob patterns) and writes it to ``output``, with its manifest beside it.

    Raises ``BuildError`` for input it cannot use, naming the file and what
    is wrong; then nothing has been written and an earlier index at
    ``output`` is left as it was."""
    options = options or BuildOptions()
    progress = progress or Progress(enabled=False)
    started = time.perf_counter()
    built_at = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    output = pathlib.Path(output)
    files = resolve_sources(sources, options.format)
    _check_output(output, [file.path for file in files])

    phases: dict[str, float] = {}
    with _connection(output, options, progress) as con:
        clock = time.perf_counter()
        groups = describe_sources(con, files, options.columns)

        def watch(description: str, rows: int | None) -> AbstractContextManager[None]:
            return progress.query(con, description, rows)

        aggregated = aggregate(
            con, groups, options.columns, options.normalization, options.min_count, options.min_term_count, watch
        )
        phases["aggregate"] = time.perf_counter() - clock
        clock = time.perf_counter()
        trie = _stream_terms(con, aggregated, progress)
        nodes = trie.nodes
        arrays = trie.arrays(video_index(con, aggregated.id_kind), options.top_n)
        phases["arrays"] = time.perf_counter() - clock

    clock = time.perf_counter()
    with progress.phase("building", nodes, " nodes") as advance:
        search = PrefixSearch.from_internal_data_v2(*arrays)
        del arrays, trie
        data = search.to_bytes()
        del search
        advance(nodes)
    phases["trie"] = time.perf_counter() - clock

    manifest = Manifest(
        format_version=FORMAT_VERSION,
        quillon_version=_version(),
        built_at=built_at.isoformat().replace("+00:00", "Z"),
        build_seconds=round(time.perf_counter() - started, 3),
        normalization=options.normalization,
        unicode_version=UNICODE_VERSION,
        id_kind=aggregated.id_kind,
        top_n=options.top_n,
        min_count=options.min_count,
        min_term_count=options.min_term_count,
        rows_read=aggregated.rows_read,
        rows_refused=sum(aggregated.refused.values()),
        refused={reason: rows for reason, rows in aggregated.refused.items() if rows},
        pairs_below_min_count=aggregated.pairs_below_min_count,
        terms_below_min_term_count=aggregated.terms_below_min_term_count,
        pairs=aggregated.pairs,
        terms=aggregated.terms,
        videos=aggregated.videos,
        nodes=nodes,
        index_size_bytes=len(data),
        index_sha256=hashlib.sha256(data).hexdigest(),
        columns={
            "term": options.columns.term,
            "video": options.columns.video,
            "count": options.columns.count if any(group.count_type for group in groups) else None,
        },
        sources=tuple(ManifestSource(str(file.path.resolve()), file.format, file.path.stat().st_size) for file in files),
    )
    clock = time.perf_counter()
    with progress.phase("writing", len(data), "B") as advance:
        write_index_files(output, data, manifest.to_json())
        advance(len(data))
    phases["write"] = time.perf_counter() - clock
    return BuildResult(manifest, output, manifest_path(output), phases)


@contextmanager
def _connection(output: pathlib.Path, options: BuildOptions, progress: Progress) -> Iterator[duckdb.DuckDBPyConnection]:
    """A DuckDB connection with the build's settings, spilling to
    ``options.temp_dir`` or else to a fresh folder beside the index, which
    is removed afterwards."""
    try:
        spill = options.temp_dir or pathlib.Path(tempfile.mkdtemp(prefix=".quillon-spill-", dir=output.parent))
    except OSError as error:
        raise BuildError(f"{output}: cannot write in {output.parent}: {error.strerror}") from None
    # Terms compare by code point (UTF-8 bytes), not by a collation.
    config: dict[str, str | bool | int | float | list[str]] = {"temp_directory": str(spill), "default_collation": ""}
    if options.memory_limit is not None:
        config["memory_limit"] = options.memory_limit
    if options.threads is not None:
        config["threads"] = options.threads
    try:
        try:
            con = duckdb.connect(config=config)
        except duckdb.Error as error:
            raise BuildError(f"cannot start DuckDB with these settings: {first_line(error)}") from None
        try:
            # DuckDB draws no progress bar of its own; ours reads its estimate.
            con.execute(f"SET enable_progress_bar = {str(progress.enabled).lower()}; SET enable_progress_bar_print = false")
            yield con
        finally:
            con.close()
    finally:
        if options.temp_dir is None:
            shutil.rmtree(spill, ignore_errors=True)


def _stream_terms(con: duckdb.DuckDBPyConnection, aggregated: Aggregated, progress: Progress) -> SortedTermTrie:
    trie = SortedTermTrie()
    # The pass creates millions of tuples and lists that all live on, so the
    # cyclic garbage collector would only rescan them again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        with progress.phase("indexing", aggregated.terms, " terms") as advance:
            for batch in term_batches(con, aggregated.terms, BATCH_TERMS):
                trie.add(batch.terms, batch.totals, batch.sizes, batch.video_ids.tolist(), batch.counts.tolist())
                advance(len(batch.terms))
    finally:
        if collecting:
            gc.enable()
    return trie


def _check_output(output: pathlib.Path, sources: Sequence[pathlib.Path]) -> None:
    if not output.parent.is_dir():
        raise BuildError(f"{output}: the folder {output.parent} does not exist")
    if output.is_dir():
        raise BuildError(f"{output}: is a folder; name the index file to write")
    resolved = {output.resolve(), manifest_path(output).resolve()}
    for source in sources:
        if source.resolve() in resolved:
            raise BuildError(f"{output}: is also a source; the index would overwrite its own log")


def _version() -> str:
    try:
        return importlib.metadata.version("quillon")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"
