#!/usr/bin/env python3
"""How fast a trie is built and stored, and what memory that takes.

On a Debian word list's trie (common.load_dataset: a synthetic catalogue,
top_n 50): from_internal_data_v2 in nodes/s, to_bytes and from_bytes in MB/s
and how many times faster restoring is than building (the baseline, timed in
the same loop), and the peak memory of each, every phase in a fresh child
process. Each run checks that two builds give the same bytes and that the
bytes restore to an instance that encodes to them. See benchmarks/README.md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import common

TARGET_RESTORE = 10.0
TARGET_CODEC_MBS = 500.0
TARGET_NODES_PER_S = 1_000_000.0


def measure_list(args, words_path):
    from _quillon import PrefixSearch

    dataset = common.load_dataset(words_path, args.sample_words, args.seed)
    arrays, node_count = dataset.arrays, dataset.nodes
    noise = {"setup": dataset.other_cores}

    # The loop stops repeating once it has used --time-budget seconds (at
    # least one sample is always taken). The first instance built and the
    # last one restored stay alive while the next are made, as they do in a
    # process that goes on to search them.
    meter = common.CpuMeter()
    build_s, to_s, from_s = [], [], []
    built = data = None
    loop_start = time.perf_counter()
    while len(build_s) < args.repeats and (not build_s or time.perf_counter() - loop_start < args.time_budget):
        gc.collect()
        t0 = time.perf_counter()
        search = PrefixSearch.from_internal_data_v2(**arrays)
        build_s.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        encoded = search.to_bytes()
        to_s.append(time.perf_counter() - t0)
        if built is None:
            built, data = search, encoded
        else:
            common.check(encoded == data, "two builds of the same arrays give different bytes")
        del search, encoded
        gc.collect()
        t0 = time.perf_counter()
        search = PrefixSearch.from_bytes(data)
        from_s.append(time.perf_counter() - t0)
        common.check(search.to_bytes() == data, "to_bytes(from_bytes(b)) != b")
    del built, search
    noise["build_and_codec"] = meter.other_cores()
    common.progress(
        f"from_internal_data_v2 {statistics.median(build_s):.3g} s, to_bytes {statistics.median(to_s):.3g} s, "
        f"from_bytes {statistics.median(from_s):.3g} s ({len(build_s)} runs)"
    )
    size = len(data)
    mb = size / 1e6
    report = {
        "words_path": words_path,
        "dataset": dataset.info,
        "build": {
            "repeats": len(build_s),
            "seconds": common.summary(build_s),
            "nodes_per_s": common.summary([node_count / s for s in build_s]),
        },
        "stored": {
            "bytes": size,
            "bytes_per_term": size / len(dataset.words),
            "bytes_per_node": size / node_count,
            "to_bytes_s": common.summary(to_s),
            "from_bytes_s": common.summary(from_s),
            "to_bytes_mb_per_s": common.summary([mb / s for s in to_s]),
            "from_bytes_mb_per_s": common.summary([mb / s for s in from_s]),
            "build_over_from_bytes": common.summary([b / f for b, f in zip(build_s, from_s)]),
        },
        "noise_other_cores": noise,
    }
    del dataset, arrays
    gc.collect()
    if not args.no_memory:
        common.progress("peak memory (fresh child processes)")
        report["memory"] = measure_memory(args, words_path)
    return report


# --------------------------------------------------------------------------
# Peak memory, one fresh child process per phase
# --------------------------------------------------------------------------

# VmHWM readings taken before each reset: the child's lifetime peak is the
# largest of them and the final one. (ru_maxrss is no use here: after fork
# and exec it still carries the parent's resident size.)
_peaks = []


def _reset_peak():
    """Resets VmHWM to the current RSS (Linux 4.0 and later)."""
    _peaks.append(common.status_kib("VmHWM"))
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _settle():
    """Collects garbage and hands freed heap pages back to the system (glibc's
    malloc_trim, where there is one); returns the resident size in KiB."""
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    return common.status_kib("VmRSS")


def child_phase(args):
    """Runs in a fresh interpreter: one memory phase, result as JSON on stdout.

    Each phase frees what it can (garbage collection, then malloc_trim so that
    freed heap pages leave the resident set), records the resident set,
    resets the high-water mark, makes the call and reads VmHWM: the
    difference is the call's peak extra memory, C++ allocations included."""
    import _quillon

    vmhwm = lambda: common.status_kib("VmHWM")  # noqa: E731
    out = {"reset_peak": True}
    if args.child_phase == "build":
        words = common.load_words(args.words[0], args.sample_words)
        arrays = common.trie_arrays(words, args.seed)
        before = _settle()
        out["reset_peak"] = _reset_peak()
        search = _quillon.PrefixSearch.from_internal_data_v2(**arrays)
        out["build_peak_kib"] = vmhwm() - before
        out["build_rss_growth_kib"] = _settle() - before
        before = _settle()
        out["reset_peak"] &= _reset_peak()
        data = search.to_bytes()
        out["to_bytes_peak_kib"] = vmhwm() - before
        with open(args.child_file, "wb") as f:
            f.write(data)
    elif args.child_phase == "restore":
        with open(args.child_file, "rb") as f:
            data = f.read()
        before = _settle()
        out["reset_peak"] = _reset_peak()
        search = _quillon.PrefixSearch.from_bytes(data)
        out["from_bytes_peak_kib"] = vmhwm() - before
        out["instance_rss_kib"] = _settle() - before
        del data
        words = common.load_words(args.words[0], args.sample_words)
        queries = common.make_queries(words, 50, args.seed)
        del words
        before = _settle()
        out["reset_peak"] &= _reset_peak()
        for q in queries["edit2"] + queries["prefix"]:
            search.fuzzy_match(q, 2)
            search.fuzzy_match_video(q, 1, None, True)
        out["query_peak_kib"] = vmhwm() - before
    out["process_peak_kib"] = max(_peaks + [vmhwm()])
    print(json.dumps(out))


def measure_memory(args, words_path):
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as tmp:
        data_file = os.path.join(tmp, "trie.bin")
        result = {}
        for phase in ("build", "restore"):
            cmd = [sys.executable, os.path.abspath(__file__), "--child-phase", phase, "--child-file", data_file]
            cmd += ["--words", words_path, "--seed", str(args.seed)]
            if args.sample_words:
                cmd += ["--sample-words", str(args.sample_words)]
            proc = subprocess.run(cmd, capture_output=True, text=True, check=False)
            if proc.returncode != 0:
                raise RuntimeError(f"memory phase {phase} failed:\n{proc.stderr}")
            part = json.loads(proc.stdout.strip().splitlines()[-1])
            result[f"{phase}_process_peak_kib"] = part.pop("process_peak_kib")
            result["reset_peak"] = result.get("reset_peak", True) and part.pop("reset_peak")
            result.update(part)
        return result


# --------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------


def print_report(result):
    common.print_header(result)
    spread = common.spread_text
    for data in result["lists"]:
        d, b, s = data["dataset"], data["build"], data["stored"]
        common.print_list_heading(data)
        if b["repeats"] < result["repeats"]:
            print(
                f"   NOTE: construction and to_bytes/from_bytes ran {b['repeats']} time(s) only: "
                "that loop went past --time-budget"
            )
        print()
        print(f"   build_arrays (once):     {d['build_arrays_s']:.2f} s")
        print(f"   from_internal_data_v2:   {spread(b['seconds'])} s = {spread(b['nodes_per_s'], '{:,.0f}')} nodes/s")
        print(f"   stored form:             {s['bytes']:,} bytes, {s['bytes_per_term']:.1f} B/term, {s['bytes_per_node']:.1f} B/node")
        print(f"   to_bytes:                {spread(s['to_bytes_s'])} s = {spread(s['to_bytes_mb_per_s'])} MB/s")
        print(f"   from_bytes:              {spread(s['from_bytes_s'])} s = {spread(s['from_bytes_mb_per_s'])} MB/s")
        print(f"   build / from_bytes:      {spread(s['build_over_from_bytes'])}x")
        mem = data.get("memory")
        if mem:
            how = "VmHWM after resetting it" if mem["reset_peak"] else "VmHWM (reset refused: lifetime peaks)"
            print(f"   peak memory ({how}, fresh process per phase):")
            print(
                f"     from_internal_data_v2 +{mem['build_peak_kib'] / 1024:.1f} MiB peak "
                f"(+{mem['build_rss_growth_kib'] / 1024:.1f} MiB kept), "
                f"to_bytes +{mem['to_bytes_peak_kib'] / 1024:.1f} MiB, "
                f"from_bytes +{mem['from_bytes_peak_kib'] / 1024:.1f} MiB peak "
                f"(+{mem['instance_rss_kib'] / 1024:.1f} MiB kept = "
                f"{mem['instance_rss_kib'] * 1024 / d['terms']:.0f} B/term in memory), "
                f"queries +{mem['query_peak_kib'] / 1024:.2f} MiB"
            )
            print(
                f"     whole-process peak (VmHWM over the child's life): build child {mem['build_process_peak_kib'] / 1024:.0f} MiB, "
                f"restore child {mem['restore_process_peak_kib'] / 1024:.0f} MiB"
            )
    common.print_targets(result, target_lines)


def target_lines(data):
    s, b = data["stored"], data["build"]
    return [
        common.target_line("from_bytes faster than from_internal_data_v2", s["build_over_from_bytes"], TARGET_RESTORE),
        common.target_line("encode (to_bytes)", s["to_bytes_mb_per_s"], TARGET_CODEC_MBS, unit=" MB/s"),
        common.target_line("decode (from_bytes)", s["from_bytes_mb_per_s"], TARGET_CODEC_MBS, unit=" MB/s"),
        common.target_line(
            f"from_internal_data_v2 top_n {common.TOP_N}", b["nodes_per_s"], TARGET_NODES_PER_S, "{:,.0f}", " nodes/s"
        ),
    ]


def parse_args(argv):
    def more(p):
        p.add_argument(
            "--time-budget",
            type=float,
            default=30.0,
            metavar="S",
            help="stop repeating once the loop has used S seconds (default 30)",
        )
        p.add_argument("--no-memory", action="store_true", help="skip the peak-memory child processes")
        p.add_argument("--child-phase", choices=("build", "restore"), help=argparse.SUPPRESS)
        p.add_argument("--child-file", help=argparse.SUPPRESS)

    counts = {"repeats": (2, 5, "builds, encodings and restores timed")}
    return common.parse_args(argv, __doc__, "2 repeats, 20,000 words of each list", counts, [common.ENGLISH], more=more)


def main(argv=None):
    args = parse_args(argv)
    if args.child_phase:
        child_phase(args)
        return
    common.run_word_lists(args, measure_list, print_report, module=common.installed_module())


if __name__ == "__main__":
    main()
