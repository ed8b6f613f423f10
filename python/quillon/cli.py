"""The ``quillon`` command: ``build``, ``query``, ``info``, ``eval``,
``serve`` and ``demo``, a thin layer over the public API, the build
pipeline and the server.

Results go to standard output, progress and errors to standard error. Exit
status: 0 done, 2 bad usage or bad input (one line naming the file and what
is wrong; nothing written), 1 anything else (out of memory, a full disk, a
bug), 128 + the signal when interrupted (130 for Ctrl-C, 143 for SIGTERM).
``serve`` and ``demo`` stop on Ctrl-C or SIGTERM with status 0.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import pathlib
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from typing import NoReturn, TypeVar

import duckdb

import quillon
from quillon.build import BuildOptions, build_index
from quillon.build.catalog import CatalogOptions
from quillon.build.evaluate import add_eval_command
from quillon.build.progress import Progress
from quillon.build.sources import FORMATS, Columns
from quillon.errors import BuildError, IndexLoadError
from quillon.index import Index, Suggestions
from quillon.limits import DEFAULT_LIMIT, MAX_EDITS, MAX_LIMIT, ONE_EDIT_FROM, ONE_EDIT_WITHIN, TWO_EDITS_FROM
from quillon.normalize import MODES

__all__ = ["main"]

EXIT_BAD_INPUT = 2
Number = TypeVar("Number", int, float)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: ``sys.argv[1:]``); returns
    the exit status."""
    args = _parser().parse_args(argv)
    # Interrupted or terminated, a build removes what it wrote so far; DuckDB
    # may report the interruption as an error of its own.
    signalled: list[int] = []

    def interrupt(signum: int, _frame: object) -> NoReturn:
        signalled.append(signum)
        raise KeyboardInterrupt

    on_main_thread = threading.current_thread() is threading.main_thread()
    signums = (signal.SIGINT, signal.SIGTERM) if on_main_thread else ()
    previous = {signum: signal.signal(signum, interrupt) for signum in signums}
    try:
        return _run(args)
    except BaseException as error:
        if not signalled and not isinstance(error, KeyboardInterrupt):
            raise
        _error("interrupted; nothing written")
        return 128 + (signalled[0] if signalled else signal.SIGINT)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _run(args: argparse.Namespace) -> int:
    try:
        return int(args.run(args))
    except IndexLoadError as error:
        _error(error.reason + (getattr(args, "unverified_advice", "") if error.unverified_opens else ""))
        return EXIT_BAD_INPUT
    except BuildError as error:
        _error(str(error))
        return EXIT_BAD_INPUT
    except duckdb.OutOfMemoryException as error:
        _error(f"out of memory: {error}; give DuckDB more room with --memory-limit, or a --temp-dir with free space")
        return 1
    except BrokenPipeError:
        # The reader of our output went away (quillon query ... | head).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:  # a full disk, a folder that cannot be written
        _error(str(error))
        return 1


def count(text: str) -> int:
    """An argparse type: an int of at least 0."""
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, not {value}")
    return value


def _ranged(low: Number, high: Number) -> Callable[[str], Number]:
    """An argparse type: a number (of the type of ``low``) from ``low`` to ``high``."""
    kind = type(low)

    def number(text: str) -> Number:
        value = kind(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low}..{high}, not {text}")
        return value

    number.__name__ = kind.__name__  # argparse names it in "invalid int value"
    return number


def _error(message: str) -> None:
    print(f"quillon: error: {message}", file=sys.stderr)


def _budget_text() -> str:
    return (
        f"none below {ONE_EDIT_FROM} characters, 1 from {ONE_EDIT_FROM}, 2 from {TWO_EDITS_FROM}, "
        f"at most 1 within the first {ONE_EDIT_WITHIN}"
    )


def _examples(*lines: str) -> str:
    return "example:\n" + "\n".join(f"  {line}" for line in lines)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillon",
        description="Typo-tolerant search-as-you-type: build an index from a search log and query it.",
        epilog=_examples("quillon demo", "quillon build search_log.parquet -o site.idx && quillon serve site.idx"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"quillon {quillon.__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    build = commands.add_parser(
        "build",
        help="build an index file from search log files",
        description="Aggregate a search log (one row per search that led to a video) with DuckDB and write "
        "the index INDEX and its manifest INDEX.json, atomically: a failed build leaves any earlier pair as it was.",
        epilog=_examples(
            "quillon build search_log.parquet -o site.idx",
            "quillon build 'logs/2026-*/*.csv' --term query --video item --count n -o site.idx",
            "quillon build search_log.parquet --catalog catalog.parquet --catalog-keep channel,duration_s -o site.idx",
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    build.add_argument("sources", nargs="+", metavar="SOURCE", help="Parquet, CSV or JSON Lines files, folders of them, or glob patterns")
    build.add_argument("-o", "--output", required=True, type=pathlib.Path, metavar="INDEX", help="the index file to write")
    build.add_argument("--format", choices=sorted(FORMATS), help="the format of every source (default: from each file name)")
    build.add_argument("--term", default="term", metavar="COLUMN", help="the column of search terms (default: term)")
    build.add_argument("--video", default="video_id", metavar="COLUMN", help="the column of video ids: integers 0..4294967295, UUIDs (as text, UUID or 16-byte binaries) or the site's own text ids (default: video_id)")
    build.add_argument("--count", metavar="COLUMN", help="the column of counts; without it every row counts once (default: count, where present)")
    build.add_argument("--catalog", metavar="FILE", help="a Parquet, CSV or JSON Lines table of the videos: the index keeps each video's title (and --catalog-keep columns)")
    build.add_argument("--catalog-id", metavar="COLUMN", help="the catalogue's column of video ids, of the log's kind (default: video_id)")
    build.add_argument("--catalog-title", metavar="COLUMN", help="the catalogue's column of titles (default: title)")
    build.add_argument("--catalog-keep", type=_column_list, metavar="COLUMN,...", help="more catalogue columns to keep as text, at most 24 (default: none)")
    build.add_argument("--normalize", choices=MODES, default="fold", help="how terms and queries are normalised (default: fold)")
    build.add_argument("--top-n", type=_ranged(1, 0xFFFF_FFFF), default=50, metavar="N", help="the most videos a trie node keeps, at least 1 (default: 50)")
    build.add_argument("--min-count", type=count, default=1, metavar="N", help="drop (term, video) pairs counted fewer than N times (default: 1)")
    build.add_argument("--min-term-count", type=count, default=1, metavar="N", help="then drop terms counted fewer than N times in all (default: 1)")
    build.add_argument("--memory-limit", metavar="SIZE", help="DuckDB's memory limit, e.g. 4GB (default: 80%% of the memory)")
    build.add_argument("--temp-dir", type=pathlib.Path, metavar="DIR", help="where DuckDB spills what does not fit (default: a fresh folder beside INDEX)")
    build.add_argument("--threads", type=int, metavar="N", help="DuckDB's threads (default: one per core)")
    build.add_argument("-q", "--quiet", action="store_true", help="no progress bars and no summary")
    build.set_defaults(run=_build)

    query = commands.add_parser(
        "query",
        help="answer queries from an index",
        description="Answer each TEXT from INDEX as a search box would: the completions (the most searched terms "
        "TEXT could be the start of), the stored terms within --max-dist edits of the whole TEXT and, with --videos, "
        "the best videos.",
        epilog=_examples("quillon query site.idx 'how to' mincraft --videos", "quillon query site.idx reac --json"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    query.add_argument("index", type=pathlib.Path, metavar="INDEX")
    query.add_argument("texts", nargs="+", metavar="TEXT")
    query.add_argument("--max-dist", type=_ranged(0, MAX_EDITS), metavar="K", help=f"edits allowed, 0..{MAX_EDITS} (default: by the length of TEXT: {_budget_text()})")
    query.add_argument("--limit", type=_ranged(1, MAX_LIMIT), default=DEFAULT_LIMIT, metavar="N", help=f"completions, terms and videos shown per query, 1..{MAX_LIMIT} (default: {DEFAULT_LIMIT})")
    query.add_argument("--videos", action="store_true", help="also rank the videos")
    query.add_argument("--json", action="store_true", help="one JSON object per query, one a line, as /api/suggest answers")
    query.add_argument("--no-verify", dest="verify", action="store_false", help="skip the SHA-256 check; open an index without a manifest")
    query.set_defaults(run=_query, unverified_advice="; --no-verify opens it unverified, its queries not normalised")

    info = commands.add_parser(
        "info",
        help="describe an index",
        description="Print the manifest of INDEX, the time it takes to load and the memory it takes once loaded.",
        epilog=_examples("quillon info site.idx", "quillon info site.idx --json"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    info.add_argument("index", type=pathlib.Path, metavar="INDEX")
    info.add_argument("--json", action="store_true", help="the manifest and the measures as one JSON object")
    info.add_argument("--no-verify", dest="verify", action="store_false", help="skip the SHA-256 check; open an index without a manifest")
    info.set_defaults(run=_info, unverified_advice="; --no-verify opens it unverified")

    add_eval_command(commands)

    serve = commands.add_parser(
        "serve",
        help="answer a search box over HTTP",
        description="Serve INDEX over HTTP: the page at /, /api/suggest and /healthz. A new INDEX written by "
        "quillon build is picked up within a second, or at once on SIGHUP, once it has loaded and verified.",
        epilog=_examples("quillon serve site.idx", "quillon serve site.idx --host 0.0.0.0 --port 8080 --workers 4"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    serve.add_argument("index", type=pathlib.Path, metavar="INDEX")
    _add_server_options(serve)
    serve.set_defaults(run=_serve, unverified_advice="; quillon serve opens only an index written by quillon build, with its manifest")

    demo = commands.add_parser(
        "demo",
        help="build the example index if missing and serve it",
        description="Build the example search log and its index in --dir (once), then serve it as quillon serve does.",
        epilog=_examples("quillon demo", "quillon demo --port 8080 --dir /tmp/demo"),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument("--dir", type=pathlib.Path, metavar="DIR", help="where the example index lives (default: ~/.cache/quillon/demo)")
    _add_server_options(demo)
    demo.set_defaults(run=_demo)
    return parser


def _add_server_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=_ranged(0, 65535), default=8000, help="the port (default: 8000; 0: any free one)")
    parser.add_argument("--workers", type=_ranged(1, 64), default=1, metavar="N", help="worker processes (default: 1)")
    parser.add_argument("--check-interval", type=_ranged(0.01, 3600.0), default=1.0, metavar="SECONDS", help="how often each worker looks for a new index file (default: 1)")
    parser.add_argument("--access-log", action="store_true", help="log every request")
    parser.add_argument(
        "--allow-origin",
        dest="allow_origins",
        action="append",
        default=[],
        type=_origin,
        metavar="ORIGIN",
        help="let pages of ORIGIN (scheme://host[:port], e.g. https://www.example.com) call the API from the browser; repeatable (default: none)",
    )


def _origin(text: str) -> str:
    """An argparse type: an origin, as the browser's Origin header says it."""
    from quillon.server.app import checked_origin  # the web stack loads only for serve and demo

    try:
        return checked_origin(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _column_list(text: str) -> tuple[str, ...]:
    """An argparse type: column names separated by commas."""
    names = tuple(name.strip() for name in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"an empty column name in {text!r}")
    return names


def _catalog_options(args: argparse.Namespace) -> CatalogOptions | None:
    named = {"--catalog-id": args.catalog_id, "--catalog-title": args.catalog_title, "--catalog-keep": args.catalog_keep}
    if args.catalog is None:
        given = [option for option, value in named.items() if value is not None]
        if given:
            raise BuildError(f"{given[0]} names a column of the catalogue; give the catalogue with --catalog FILE")
        return None
    return CatalogOptions(
        args.catalog, id=args.catalog_id or "video_id", title=args.catalog_title or "title", keep=args.catalog_keep or ()
    )


def _build(args: argparse.Namespace) -> int:
    options = BuildOptions(
        columns=Columns(term=args.term, video=args.video, count=args.count or "count", count_required=args.count is not None),
        format=args.format,
        normalization=args.normalize,
        top_n=args.top_n,
        min_count=args.min_count,
        min_term_count=args.min_term_count,
        memory_limit=args.memory_limit,
        temp_dir=args.temp_dir,
        threads=args.threads,
        catalog=_catalog_options(args),
    )
    result = build_index(args.sources, args.output, options, Progress.for_terminal(args.quiet))
    if not args.quiet:
        m = result.manifest
        seconds = m.build_seconds
        untitled = f" ({m.catalog.videos_without_row:,} without a catalogue row)" if m.catalog is not None else ""
        print(
            f"wrote {result.index_path} ({m.index_size_bytes:,} bytes) and {result.manifest_path.name}: "
            f"{m.terms:,} terms, {m.nodes:,} nodes, {m.videos:,} videos{untitled} from {m.rows_read:,} rows "
            f"({m.rows_refused:,} refused) in {seconds:.2f} s, {m.rows_read / max(seconds, 1e-9):,.0f} rows/s"
        )
    return 0


def _query(args: argparse.Namespace) -> int:
    index = Index.open(args.index, verify=args.verify)
    for text in args.texts:
        found = index.suggest(text, args.limit, args.max_dist, args.videos)
        if args.json:
            print(json.dumps(_answer_json(found), ensure_ascii=False))
            continue
        edits = f"{found.max_edits} edit{'' if found.max_edits == 1 else 's'}"
        print(f"{text}  ({edits})" if found.normalized == text else f"{text}  (as {found.normalized!r}, {edits})")
        if index.format == 1:
            print("  (no completions: this index was built by an older quillon; rebuild it to complete queries)")
        else:
            rows = [(c.display, str(c.edits), f"{c.count:,}") for c in found.completions] or [("(no completion within reach)", "", "")]
            _print_columns([("completion", "edits", "count"), *rows], indent="  ")
        rows2 = [(term, str(distance)) for term, distance in found.terms] or [("(no term within reach)", "")]
        _print_columns([("term", "dist"), *rows2], indent="  ")
        if found.videos is not None:
            titled = any(v.title for v in found.videos)
            videos = [(v.id, f"{v.score:.4f}", *((v.title or "",) if titled else ())) for v in found.videos]
            header = ("video", "score", *(("title",) if titled else ()))
            _print_columns([header, *(videos or [("(no video)", "", *(("",) if titled else ()))])], indent="  ")
    return 0


def _answer_json(found: Suggestions) -> dict[str, object]:
    """One answer as ``/api/suggest`` gives it, without the server's fields."""
    answer: dict[str, object] = {
        "query": found.query,
        "normalized": found.normalized,
        "max_dist": found.max_edits,
        "edits": found.edits,
    }
    answer["completions"] = [completion._asdict() for completion in found.completions]
    answer["terms"] = [match._asdict() for match in found.terms]
    if found.videos is not None:
        answer["videos"] = [
            {"id": v.id, "score": v.score, "title": v.title, **({"fields": v.fields} if v.fields else {})} for v in found.videos
        ]
    return answer


def _serve(args: argparse.Namespace) -> int:
    from quillon.server import serve  # the web stack loads only for these commands

    return serve(
        args.index, args.host, args.port, args.workers, args.check_interval, args.access_log, allow_origins=args.allow_origins
    )


def _demo(args: argparse.Namespace) -> int:
    from quillon.example.demo import default_demo_folder, demo_index
    from quillon.server import serve

    index = demo_index(args.dir or default_demo_folder())
    return serve(index, args.host, args.port, args.workers, args.check_interval, args.access_log, allow_origins=args.allow_origins)


def _print_columns(rows: list[tuple[str, ...]], indent: str) -> None:
    """Aligned columns: the first and any last text column left-aligned,
    numbers right-aligned."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    numeric = [i > 0 and all(row[i].replace(",", "").replace(".", "").isdigit() or not row[i] for row in rows[1:]) for i in range(len(widths))]
    for row in rows:
        cells = [cell.rjust(width) if numeric[i] else cell.ljust(width) for i, (cell, width) in enumerate(zip(row, widths))]
        print(f"{indent}{'  '.join(cells)}".rstrip())


def _info(args: argparse.Namespace) -> int:
    before = _resident_bytes()
    index = Index.open(args.index, verify=args.verify)
    after = _resident_bytes()
    memory = after - before if before is not None and after is not None else None
    m = index.manifest
    if args.json:
        info: dict[str, object] = {
            "index": str(index.path),
            "verified": args.verify,
            "size_bytes": index.size_bytes,
            "load_seconds": round(index.load_seconds, 6),
            "resident_bytes_added": memory,
            "manifest": dataclasses.asdict(m) if m is not None else None,
        }
        print(json.dumps(info, indent=2, ensure_ascii=False))
        return 0
    check = "SHA-256 verified" if args.verify else "not verified"
    print(f"index       {index.path}: {index.size_bytes:,} bytes, {check}")
    if m is None:
        print("manifest    none: a raw index, queries not normalised")
    else:
        refused = ", ".join(f"{rows:,} {reason}" for reason, rows in m.refused.items())
        print(f"built       {m.built_at} in {m.build_seconds:.2f} s by quillon {m.quillon_version} (format {m.format_version})")
        print(f"holds       {m.terms:,} terms, {m.nodes:,} nodes, {m.videos:,} videos ({m.id_kind} ids), at most {m.top_n} videos a node")
        print(f"normalised  {m.normalization} (Unicode {m.unicode_version})")
        print(f"rows        {m.rows_read:,} read, {m.rows_refused:,} refused{f' ({refused})' if refused else ''}")
        print(
            f"kept        {m.pairs:,} (term, video) pairs; below --min-count {m.min_count}: {m.pairs_below_min_count:,} pairs; "
            f"below --min-term-count {m.min_term_count}: {m.terms_below_min_term_count:,} terms"
        )
        print(f"columns     term {m.columns['term']!r}, video {m.columns['video']!r}, count {m.columns['count']!r}")
        for number, source in enumerate(m.sources):
            print(f"{'sources' if number == 0 else '':<12}{source.path} ({source.format}, {source.size_bytes:,} bytes)")
        if m.catalog is not None:
            c = m.catalog
            kept = ", ".join(repr(name) for name in c.kept_columns) or "none"
            print(f"catalogue   {c.path} ({c.format}, {c.size_bytes:,} bytes): id {c.id_column!r}, title {c.title_column!r}, kept {kept}")
            print(
                f"{'':<12}{c.rows_read:,} rows read; {c.videos_with_row:,} videos with a row, {c.videos_without_row:,} without; "
                f"{c.rows_not_in_index:,} {'row' if c.rows_not_in_index == 1 else 'rows'} of videos not in the index"
            )
        print(f"sha256      {m.index_sha256}")
    print(f"load        {index.load_seconds:.3f} s (read, verify, decode)")
    shown = f"{memory / 2**20:,.1f} MiB" if memory is not None else "unknown"
    print(f"memory      {shown}: growth of the resident set while loading")
    return 0


def _resident_bytes() -> int | None:
    """The resident set size of this process, where Linux tells it."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None
