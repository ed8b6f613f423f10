"""``quillon build``: a search log (Parquet, CSV, JSON Lines) to an index
file and its manifest.

The phases: read and aggregate the log in DuckDB (``quillon.build.aggregate``);
read the video catalogue, where one is given (``quillon.build.catalog``);
stream the aggregated terms, sorted by code point, in batches of flat arrays
into the package's native writer (``quillon._engine.IndexWriter``), which
builds the trie (no Python object per node) and writes the index file, a
container of sections, with the videos' own ids and catalogue columns where
there are any, to a temporary file; hash it, then put it and INDEX.json in
place atomically (``quillon.build.output``).
"""

from __future__ import annotations

import datetime
import importlib.metadata
import mmap
import pathlib
import shutil
import tempfile
import time
from collections.abc import Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass, field

import duckdb

from quillon._engine import IndexWriter
from quillon.build.aggregate import Aggregated, aggregate, packed_video_ids, term_batches
from quillon.build.catalog import CatalogCounts, CatalogOptions, catalog_arrays, describe_catalog, read_catalog
from quillon.build.output import install_index_files, temporary_path
from quillon.build.progress import Progress
from quillon.build.sources import Columns, Format, describe_sources, first_line, resolve_sources
from quillon.errors import BuildError
from quillon.integrity import digests
from quillon.manifest import FORMAT_VERSION, Manifest, ManifestCatalog, ManifestSection, ManifestSource, manifest_path
from quillon.normalize import MODES, UNICODE_VERSION, Mode

__all__ = ["BuildOptions", "BuildResult", "CatalogOptions", "build_index"]

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
    catalog: CatalogOptions | None = None  # the videos' titles and kept columns

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
    _check_output(output, [file.path for file in files], options.catalog)

    phases: dict[str, float] = {}
    with _connection(output, options, progress) as con:
        clock = time.perf_counter()
        groups = describe_sources(con, files, options.columns)
        # The catalogue's columns are checked before the log is read.
        catalog = describe_catalog(con, options.catalog, groups[0].ids) if options.catalog is not None else None

        def watch(description: str, rows: int | None) -> AbstractContextManager[None]:
            return progress.query(con, description, rows)

        aggregated = aggregate(
            con, groups, options.columns, options.normalization, options.min_count, options.min_term_count, watch
        )
        counts = read_catalog(con, catalog, aggregated.id_kind, watch) if catalog is not None else None
        phases["aggregate"] = time.perf_counter() - clock
        clock = time.perf_counter()
        writer = _stream_terms(con, aggregated, progress)
        ids = packed_video_ids(con, aggregated.id_kind)
        columns = catalog_arrays(con, catalog) if catalog is not None else None
        phases["arrays"] = time.perf_counter() - clock

    clock = time.perf_counter()
    written = temporary_path(output)
    try:
        with progress.phase("building", writer.nodes, " nodes") as advance:
            if columns is None:
                layout = writer.write(written, ids.ids, ids.width, options.top_n, keys=ids.keys)
            else:
                layout = writer.write(
                    written, ids.ids, ids.width, options.top_n, keys=ids.keys, has_row=columns.has_row,
                    titles=columns.titles, field_names=columns.field_names, fields=[*columns.fields],
                )  # fmt: skip
            del writer, columns
            advance(layout["nodes"])
        phases["trie"] = time.perf_counter() - clock
        clock = time.perf_counter()
        with progress.phase("hashing", layout["size"], "B") as advance:
            sha256, section_sha256 = _digests(written, layout["sections"])
            advance(layout["size"])
        phases["hash"] = time.perf_counter() - clock
        nodes = layout["nodes"]
        size = layout["size"]
        sections = tuple(
            ManifestSection(name, offset, length, section_sha256[name]) for name, offset, length in layout["sections"]
        )
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
            index_size_bytes=size,
            index_sha256=sha256,
            columns={
                "term": options.columns.term,
                "video": options.columns.video,
                "count": options.columns.count if any(group.count_type for group in groups) else None,
            },
            sources=tuple(ManifestSource(str(file.path.resolve()), file.format, file.path.stat().st_size) for file in files),
            sections=sections,
            catalog=_manifest_catalog(catalog.options, catalog.file.path, catalog.file.format, catalog.size_bytes, counts)
            if catalog is not None and counts is not None
            else None,
        )
        clock = time.perf_counter()
        install_index_files(output, written, manifest.to_json())
        phases["write"] = time.perf_counter() - clock
        return BuildResult(manifest, output, manifest_path(output), phases)
    except BaseException:
        written.unlink(missing_ok=True)
        raise


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


def _stream_terms(con: duckdb.DuckDBPyConnection, aggregated: Aggregated, progress: Progress) -> IndexWriter:
    writer = IndexWriter()
    with progress.phase("indexing", aggregated.terms, " terms") as advance:
        for batch in term_batches(con, aggregated.terms, BATCH_TERMS):
            writer.add(
                batch.text, batch.ends, batch.totals, batch.sizes, batch.video_ids, batch.counts,
                batch.display_text, batch.display_ends,
            )  # fmt: skip
            advance(len(batch))
    return writer


def _digests(path: pathlib.Path, sections: list[tuple[str, int, int]]) -> tuple[str, dict[str, str]]:
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        return digests(mapped, sections)


def _manifest_catalog(
    options: CatalogOptions, path: pathlib.Path, format: str, size: int, counts: CatalogCounts
) -> ManifestCatalog:
    return ManifestCatalog(
        path=str(path.resolve()),
        format=format,
        size_bytes=size,
        id_column=options.id,
        title_column=options.title,
        kept_columns=options.keep,
        rows_read=counts.rows_read,
        videos_with_row=counts.videos_with_row,
        videos_without_row=counts.videos_without_row,
        rows_not_in_index=counts.rows_not_in_index,
    )


def _check_output(output: pathlib.Path, sources: Sequence[pathlib.Path], catalog: CatalogOptions | None) -> None:
    if not output.parent.is_dir():
        raise BuildError(f"{output}: the folder {output.parent} does not exist")
    if output.is_dir():
        raise BuildError(f"{output}: is a folder; name the index file to write")
    resolved = {output.resolve(), manifest_path(output).resolve()}
    for source in sources:
        if source.resolve() in resolved:
            raise BuildError(f"{output}: is also a source; the index would overwrite its own log")
    if catalog is not None and pathlib.Path(catalog.path).resolve() in resolved:
        raise BuildError(f"{output}: is also the catalogue; the index would overwrite it")


def _version() -> str:
    try:
        return importlib.metadata.version("quillon")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"
