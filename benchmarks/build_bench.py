#!/usr/bin/env python3
"""Build throughput: a raw search log in Parquet to index bytes.

Generates a log of --rows raw events (quillon.example: one row per search,
columns term and video_id, no counts) and builds its index two ways, each in
a fresh child process so that its peak memory is its own:

- build: quillon build's pipeline (quillon.build.build_index): DuckDB
  aggregation, normalisation of the distinct terms, the streaming pass into
  the trie arrays, from_internal_data_v2, to_bytes, the atomic write;
- build_arrays: the path a user had before it: read the rows from the same
  file, normalise each term (memoised per distinct term), build_arrays over
  one record per row, from_internal_data_v2, to_bytes.

Both must give the same stored terms and node count, checked before any
figure is printed. See benchmarks/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import common
from common import CpuMeter, spread_text, summary, verdict

TARGET_ROWS_PER_S = 1_000_000
TARGET_PEAK_BYTES = 4 * 2**30
TARGET_RATIO = 3.0
U32_MAX = 2**32 - 1


# --------------------------------------------------------------------------
# The children: one build each, reporting JSON on standard output
# --------------------------------------------------------------------------


def child_build(log: str, out: str, mode: str, lists: bool) -> dict[str, object]:
    import quillon.build.trie_stream
    from quillon.build import BuildOptions, build_index

    quillon.build.trie_stream.HAND_LISTS = lists
    start = time.perf_counter()
    result = build_index([log], out, BuildOptions(normalization=mode))  # type: ignore[arg-type]
    seconds = time.perf_counter() - start
    return {
        "seconds": seconds,
        "phases": result.phase_seconds,
        "rows": result.manifest.rows_read,
        "terms": result.manifest.terms,
        "nodes": result.manifest.nodes,
        "index": out,
    }


def child_nodes(nodes: int, lists: bool) -> dict[str, object]:
    """from_internal_data_v2 on a ten-way tree of ``nodes`` nodes (every
    third a term, as in tests/test_limits.py), its node arrays as numpy
    uint32 arrays or as lists: what the buffer path saves where the trie is
    large."""
    import numpy as np

    from quillon import PrefixSearch

    ids = np.arange(nodes, dtype=np.uint32)
    node_shifts = np.minimum(ids.astype(np.uint64) * 10, nodes - 1).astype(np.uint32)
    child_transitions = ids[1:]
    labels = [""] + ["0123456789"[(i - 1) % 10] for i in range(1, nodes)]
    payloads = [(1, [i % 1000], [1]) if i % 3 == 0 else None for i in range(nodes)]
    video_index = [i.to_bytes(4, "little") for i in range(1000)]
    start = time.perf_counter()
    shifts = node_shifts.tolist() if lists else node_shifts
    transitions = child_transitions.tolist() if lists else child_transitions
    del node_shifts, child_transitions
    search = PrefixSearch.from_internal_data_v2(shifts, labels, payloads, transitions, video_index, 8)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "phases": {}, "rows": nodes, "terms": 0, "nodes": nodes, "index": "", "bytes": len(search.to_bytes())}


def child_build_arrays(log: str, out: str, mode: str) -> dict[str, object]:
    import duckdb

    from quillon import PrefixSearch, build_arrays, normalize

    phases: dict[str, float] = {}
    start = clock = time.perf_counter()
    with duckdb.connect() as con:
        columns = con.execute(f"SELECT term, video_id FROM read_parquet('{log}')").fetchnumpy()
    terms, videos = columns["term"].tolist(), columns["video_id"].tolist()
    del columns
    phases["read"] = time.perf_counter() - clock

    clock = time.perf_counter()
    normalized: dict[str, str] = {}

    def records():  # type: ignore[no-untyped-def]
        for term, video in zip(terms, videos):
            folded = normalized.get(term)
            if folded is None:
                folded = normalized[term] = normalize(term, mode)  # type: ignore[arg-type]
            if folded:
                yield folded, video, 1

    arrays = build_arrays(records(), 50)
    phases["build_arrays"] = time.perf_counter() - clock
    rows = len(terms)
    del terms, videos, normalized
    clock = time.perf_counter()
    search = PrefixSearch.from_internal_data_v2(*arrays)
    nodes, stored = len(arrays.child_labels), sum(p is not None for p in arrays.payloads)
    del arrays
    phases["from_internal_data_v2"] = time.perf_counter() - clock
    clock = time.perf_counter()
    data = search.to_bytes()
    phases["to_bytes"] = time.perf_counter() - clock
    seconds = time.perf_counter() - start
    pathlib.Path(out).write_bytes(data)
    return {"seconds": seconds, "phases": phases, "rows": rows, "terms": stored, "nodes": nodes, "index": out}


# --------------------------------------------------------------------------
# The driver: stays small (standard library only), so that a child's peak
# resident size, which starts from the driver's, is the child's own.
# --------------------------------------------------------------------------


def run_child(kind: str, log: pathlib.Path, out: pathlib.Path, mode: str, lists: bool = False, nodes: int = 0) -> dict[str, object]:
    command = [sys.executable, __file__, "--child", kind, "--log", str(log), "--out", str(out), "--normalize", mode]
    command += ["--node-arrays", str(nodes)]
    if lists:
        command.append("--lists")
    meter = CpuMeter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    output = process.stdout.read()
    _pid, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{kind} child failed with status {process.returncode}")
    report: dict[str, object] = json.loads(output)
    report["peak_bytes"] = usage.ru_maxrss * 1024
    report["cpu_seconds"] = usage.ru_utime + usage.ru_stime  # the whole child, start-up included
    report["other_cores"] = meter.other_cores()
    return report


def stored_terms(index: str) -> list[list[object]]:
    """Every stored term of an index file (the build's container or the
    module's bytes alike) with its distance from "", read in a child (the
    driver stays small)."""
    code = (
        "import json, sys; from quillon import Index; "
        "s = Index.open(sys.argv[1], verify=False).search; "
        f"print(json.dumps(s.fuzzy_match('', {U32_MAX})))"
    )
    done = subprocess.run([sys.executable, "-c", code, index], capture_output=True, text=True, check=True)
    terms: list[list[object]] = json.loads(done.stdout)
    return terms


def make_log(folder: pathlib.Path, rows: int, seed: int) -> pathlib.Path:
    log = folder / f"search_log_{rows}_{seed}.parquet"
    if not log.exists():
        code = (
            "import sys; from quillon.example import make_search_log; "
            "make_search_log(sys.argv[1] + '.part', int(sys.argv[2]), int(sys.argv[3]))"
        )
        subprocess.run([sys.executable, "-c", code, str(log), str(rows), str(seed)], check=True)
        os.replace(str(log) + ".part", log)
    return log


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    def more(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("--normalize", default="fold", choices=("none", "lower", "fold"))
        parser.add_argument("--data", type=pathlib.Path, help="folder for the generated log, kept for later runs (default: a temporary one)")
        parser.add_argument("--child", choices=("build", "build_arrays", "nodes"), help=argparse.SUPPRESS)
        parser.add_argument("--log", help=argparse.SUPPRESS)
        parser.add_argument("--out", help=argparse.SUPPRESS)
        parser.add_argument("--lists", action="store_true", help=argparse.SUPPRESS)

    counts = {
        "rows": (1_000_000, 10_000_000, "raw event rows"),
        "repeats": (1, 3, "runs of the build pipeline"),
        "baseline_repeats": (1, 1, "runs of the build_arrays path"),
        "node_arrays": (1_000_000, 10_000_000, "nodes of the trie that compares node arrays as lists and as buffers (0: skip)"),
    }
    quick = "1,000,000 rows, 1 run each, node arrays of 1,000,000 nodes"
    return common.parse_args(argv, __doc__, quick, counts, more=more, seed=2024, at_least_zero=("node_arrays",))  # type: ignore[no-any-return]


def main(argv: list[str] | None = None) -> None:
    args = parse_args(argv)
    if args.child == "build":
        print(json.dumps(child_build(args.log, args.out, args.normalize, args.lists)))
        return
    if args.child == "build_arrays":
        print(json.dumps(child_build_arrays(args.log, args.out, args.normalize)))
        return
    if args.child == "nodes":
        print(json.dumps(child_nodes(args.node_arrays, args.lists)))
        return

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.data or pathlib.Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        started = time.perf_counter()
        log = make_log(folder, args.rows, args.seed)
        print(f"log      {log} ({log.stat().st_size / 1e6:,.1f} MB, {args.rows:,} rows), ready in {time.perf_counter() - started:.1f} s")
        machine = common.machine_info()
        print(f"{common.machine_line(machine)}; normalisation {args.normalize}")
        runs: dict[str, list[dict[str, object]]] = {"build": [], "build (lists)": [], "build_arrays": []}
        out = pathlib.Path(scratch)
        for repeat in range(max(args.repeats, args.baseline_repeats)):
            if repeat < args.repeats:
                runs["build"].append(run_child("build", log, out / "build.idx", args.normalize))
                runs["build (lists)"].append(run_child("build", log, out / "lists.idx", args.normalize, lists=True))
            if repeat < args.baseline_repeats:
                runs["build_arrays"].append(run_child("build_arrays", log, out / "arrays.idx", args.normalize))
        check(runs, out)
        nodes: dict[str, list[dict[str, object]]] = {"numpy uint32": [], "lists": []}
        if args.node_arrays:
            for _repeat in range(args.repeats):
                for name, lists in (("numpy uint32", False), ("lists", True)):
                    nodes[name].append(run_child("nodes", log, out, args.normalize, lists=lists, nodes=args.node_arrays))
            if nodes["numpy uint32"][0]["bytes"] != nodes["lists"][0]["bytes"]:
                raise SystemExit("node arrays as buffers and as lists give different tries")
        report(runs, nodes, args, machine)


def check(runs: dict[str, list[dict[str, object]]], out: pathlib.Path) -> None:
    """The paths must agree before any figure counts: the build the same
    bytes with lists and arrays, the same terms and nodes as build_arrays."""
    new, old = runs["build"][-1], runs["build_arrays"][-1]
    if (out / "build.idx").read_bytes() != (out / "lists.idx").read_bytes():
        raise SystemExit("the build gives different bytes with lists and with arrays")
    if (new["terms"], new["nodes"], new["rows"]) != (old["terms"], old["nodes"], old["rows"]):
        raise SystemExit(f"the two paths disagree: {new} against {old}")
    if stored_terms(str(out / "build.idx")) != stored_terms(str(out / "arrays.idx")):
        raise SystemExit("the two paths store different terms")


def print_runs(runs: dict[str, list[dict[str, object]]], rows: int, unit: str) -> dict[str, dict[str, object]]:
    print()
    print(f"{'':<16}{'seconds':>24}  {unit + '/s':>32}  {'peak memory (MiB)':>24}  {'CPU s':>20}  other cores busy")
    speeds: dict[str, dict[str, object]] = {}
    for name, samples in runs.items():
        seconds = summary([float(r["seconds"]) for r in samples])  # type: ignore[arg-type]
        speed = summary([rows / float(r["seconds"]) for r in samples])  # type: ignore[arg-type]
        peak = summary([int(r["peak_bytes"]) / 2**20 for r in samples])  # type: ignore[call-overload]
        cpu = summary([float(r["cpu_seconds"]) for r in samples])  # type: ignore[arg-type]
        others = [float(r["other_cores"]) for r in samples if r["other_cores"] is not None]  # type: ignore[arg-type]
        speeds[name] = speed
        print(
            f"{name:<16}{spread_text(seconds, '{:.2f}'):>24}  {spread_text(speed, '{:,.0f}'):>32}  "
            f"{spread_text(peak, '{:,.0f}'):>24}  {spread_text(cpu, '{:.1f}'):>20}  {max(others, default=0):.2f}"
        )
    return speeds


def report(runs: dict[str, list[dict[str, object]]], nodes: dict[str, list[dict[str, object]]], args: argparse.Namespace, machine: dict[str, object]) -> None:
    rows = args.rows
    results: dict[str, object] = {"machine": machine, "rows": rows, "normalize": args.normalize, "runs": runs, "node_arrays": nodes}
    speeds = print_runs(runs, rows, "rows")
    print()
    for name, samples in runs.items():
        phases = samples[0]["phases"]
        assert isinstance(phases, dict)
        cells = []
        for phase in phases:
            times = [float(r["phases"][phase]) for r in samples]  # type: ignore[index]
            cells.append(f"{phase} {statistics.median(times):.2f} s ({rows / statistics.median(times):,.0f} rows/s)")
        print(f"{name:<16}" + "; ".join(cells))
    new = [rows / float(r["seconds"]) for r in runs["build"]]  # type: ignore[arg-type]
    old = statistics.median(rows / float(r["seconds"]) for r in runs["build_arrays"])  # type: ignore[arg-type]
    lists = [rows / float(r["seconds"]) for r in runs["build (lists)"]]  # type: ignore[arg-type]
    ratio = summary([speed / old for speed in new])
    gain = summary([a / b for a, b in zip(new, lists)])
    peak = max(int(r["peak_bytes"]) for r in runs["build"])  # type: ignore[call-overload]
    print()
    print("targets")
    print(f"  build >= {TARGET_ROWS_PER_S:,} rows/s end to end: {spread_text(speeds['build'], '{:,.0f}')}: {verdict(statistics.median(new) >= TARGET_ROWS_PER_S)}")
    print(f"  build peak < 4 GiB: {peak / 2**30:.2f} GiB: {verdict(peak < TARGET_PEAK_BYTES)}")
    print(f"  build >= {TARGET_RATIO:g}x the build_arrays path: {spread_text(ratio, '{:.1f}')}x: {verdict(ratio['median'] >= TARGET_RATIO)}")
    print(f"  arrays against lists handed to from_internal_data_v2: {spread_text(gain, '{:.2f}')}x end to end")
    results.update(ratio=ratio, array_gain=gain)
    if nodes["lists"]:
        print(f"\nfrom_internal_data_v2 on a trie of {args.node_arrays:,} nodes, its node arrays as:")
        print_runs(nodes, args.node_arrays, "nodes")
    results["loadavg_end"] = os.getloadavg()
    print()
    print(common.load_line(results))
    common.write_json(args.json, results)


if __name__ == "__main__":
    main()
