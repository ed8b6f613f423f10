#!/usr/bin/env python3
"""How much faster the core's walk is than its textbook twin, on the queries
of the Python benchmarks.

Runs the C++ walk_bench (built with -DQUILLON_BUILD_BENCHMARKS=ON) on a
Debian word list with the seeded queries of terms_vs_peers.py and videos.py
(common.make_queries), so that its report speaks of the same queries. The
twin is tests/reference/walk.hpp; walk_bench checks every answer of the fast
walk against it before timing. This script checks that walk_bench built the
same trie (terms and nodes) as the Python benchmarks. See
benchmarks/README.md.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile

import common

TARGET_WALK = 3.0
DEFAULT_BINARY = os.path.join(common.REPO, "build", "bench", "benchmarks", "walk_bench")


def run_walk_bench(binary, words_path, queries, repeats, sample):
    with tempfile.TemporaryDirectory(prefix="quillon-walk-") as tmp:
        qfile = os.path.join(tmp, "queries.tsv")
        jfile = os.path.join(tmp, "walk.json")
        with open(qfile, "w", encoding="utf-8") as f:
            for kind in common.QUERY_KINDS:
                for q in queries[kind]:
                    f.write(f"{kind}\t{q}\n")
        cmd = [binary, words_path, "--queries", qfile, "--repeats", str(repeats), "--json", jfile]
        if sample:
            cmd += ["--sample", str(sample)]
        proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            raise SystemExit(f"walk_bench failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
        with open(jfile, encoding="utf-8") as f:
            return json.load(f), proc.stdout


def measure_list(args, words_path):
    dataset = common.load_dataset(words_path, args.sample_words, args.seed)
    queries = common.make_queries(dataset.words, args.queries, args.seed)
    del dataset.arrays
    common.progress("walk_bench")
    parsed, text = run_walk_bench(args.walk_bench, words_path, queries, args.repeats, args.sample_words)
    d = dataset.info
    if (parsed["terms"], parsed["nodes"]) != (d["terms"], d["nodes"]):
        raise SystemExit(
            f"walk_bench built another trie: {parsed['terms']} terms, {parsed['nodes']} nodes "
            f"(the Python benchmarks: {d['terms']}, {d['nodes']})"
        )
    return {
        "words_path": words_path,
        "dataset": d,
        "queries_per_kind": args.queries,
        "walk_bench": parsed,
        "text": text,
        "noise_other_cores": {"setup": dataset.other_cores, "walk_bench": parsed.get("other_cores")},
    }


def print_report(result):
    common.print_header(result, "walk_bench's own figures below")
    print(f"walk_bench: {result['walk_bench_binary']}")
    for data in result["lists"]:
        common.print_list_heading(data, f"queries: {data['queries_per_kind']} per kind (edit0, edit1, edit2, prefix)")
        print("   C++ core walk (walk_bench, same queries): ns per query, fast vs reference")
        print(data["text"].rstrip().replace("\n", "\n   | ").join(("   | ", "")))
    common.print_targets(result, target_lines)


def target_lines(data):
    results = data["walk_bench"]["results"]
    return [
        common.target_line(
            f"core walk max_dist {k} vs reference twin", results[f"max_dist={k}"]["words"]["reference_over_fast"],
            TARGET_WALK, "{:.2f}",
        )
        for k in (1, 2)
    ]


def parse_args(argv):
    def more(p):
        p.add_argument(
            "--walk-bench",
            metavar="BIN",
            default=DEFAULT_BINARY,
            help="the built walk_bench (default build/bench/benchmarks/walk_bench in the repository)",
        )

    counts = {"repeats": (2, 5, "walk_bench's --repeats"), "queries": (15, 100, "queries of each kind")}
    quick = "2 repeats, 15 queries of each kind, 20,000 words of each list"
    args = common.parse_args(argv, __doc__, quick, counts, [common.ENGLISH], more=more)
    if not (os.path.isfile(args.walk_bench) or shutil.which(args.walk_bench)):
        raise SystemExit(f"walk_bench not found: {args.walk_bench} (see benchmarks/README.md to build it)")
    return args


def main(argv=None):
    args = parse_args(argv)
    common.run_word_lists(args, measure_list, print_report, walk_bench_binary=args.walk_bench)


if __name__ == "__main__":
    main()
