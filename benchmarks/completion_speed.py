#!/usr/bin/env python3
"""How fast a keystroke's completions come, against RediSearch and tantivy,
and what the completion data costs in bytes and in time to open.

Over the keystrokes of quillon eval's typing sessions (common.completion_sets,
common.completion_sessions), top 10, the default budget:

- ours in process: Index.complete on the raw typed text (normalisation
  included) and Engine.complete on the normalised text;
- RediSearch (FT.SUGGET prefix FUZZY MAX 10, a redis-server of our own on
  127.0.0.1): its own server time, the mean from INFO commandstats
  (usec_per_call of ft.sugget after CONFIG RESETSTAT) and each call's from
  SLOWLOG (slowlog-log-slower-than 0), and the round trip through redis-py;
- tantivy in process: the fuzzy prefix term query of completion_quality.py,
  ordered by count, and the stored terms of its hits.

Per keystroke, the least time over the repeats (common.fastest); p50 and p99
of those, and each repeat's mean (median [min..max] over the repeats). Then
the completion data per trie node (the index's "completion" section less
its display texts, over the nodes: the records, and apart the bytes an
index has once whatever its size) and the time to open an index without
its SHA-256 (Index.open(path, verify=False), and Engine(path)). Answers are
checked first: Index.complete must equal Engine.complete on every
keystroke, and each peer's answers must be those it gave in the first
repeat. See benchmarks/README.md.
"""

from __future__ import annotations

import gc
import os
import statistics
import struct
import time

import common
from common import CpuMeter, busy_text, check, fastest, percentile, progress, spread_text, summary, verdict

SHOWN = 10
TARGET_P99_US = 100.0  # ours in process, a million queries
TARGET_SERVER_SHARE = 0.2  # ours' mean over RediSearch's server time
TARGET_NODE_BYTES = 16.0
TARGET_OPEN_MS = 5.0


def keystrokes_of(sessions):
    """(raw text, normalised text, edits) of every scored keystroke."""
    from quillon.limits import default_edits

    return [
        (session.typed[:n], query, default_edits(query))
        for session in sessions
        for n, query in enumerate(session.queries, 1)
        if query
    ]


def completion_bytes(index):
    """The completion section's bytes and the share of its display texts,
    read from its array directory (name, element width, offset, count)."""
    sections = {s.name: s for s in index.manifest.sections}
    section = sections["completion"]
    with open(index.path, "rb") as f:
        f.seek(section.offset)
        head = f.read(8 + 64 * 32)
    count = struct.unpack_from("<I", head, 0)[0]
    arrays = {}
    for i in range(count):
        name, width, _offset, elements = struct.unpack_from("<12sIQQ", head, 8 + 32 * i)
        arrays[name.rstrip(b"\0").decode()] = (width, elements)
    width, elements = arrays["nodes"]
    check(elements == index.manifest.nodes, f"{elements:,} completion records for {index.manifest.nodes:,} nodes")
    display = sum((w * n + 63) // 64 * 64 for name, (w, n) in arrays.items() if name.startswith("disp_"))
    records = width * elements
    return {
        "section_bytes": section.length,
        "display_bytes": display,
        "record_bytes": width,
        # What grows with the nodes, and what an index has once (the
        # directory, alignment).
        "bytes_per_node": records / index.manifest.nodes,
        "fixed_bytes": section.length - display - records,
        "section_less_display_per_node": (section.length - display) / index.manifest.nodes,
    }


def open_times(path, opens):
    """Milliseconds of Index.open(path, verify=False) and of Engine(path),
    `opens` times each, alternating."""
    from quillon import Index
    from quillon._engine import Engine

    times = {"Index.open(verify=False)": [], "Engine(path)": []}
    clock = time.perf_counter
    for _ in range(opens):
        t0 = clock()
        index = Index.open(path, verify=False)
        t1 = clock()
        engine = Engine(str(path))
        t2 = clock()
        check(index.engine.node_count == engine.node_count, "Index.open and Engine read different node counts")
        del index, engine
        times["Index.open(verify=False)"].append((t1 - t0) * 1e3)
        times["Engine(path)"].append((t2 - t1) * 1e3)
    return {name: {"median_ms": statistics.median(t), "max_ms": max(t), "min_ms": min(t)} for name, t in times.items()}


def slowlog_durations(redis, expected):
    """Server microseconds of each FT.SUGGET since the last SLOWLOG RESET."""
    entries = redis.client.slowlog_get(expected + 100)
    durations = [int(e["duration"]) for e in entries if _text(e["command"]).lower().startswith("ft.sugget")]
    check(len(durations) == expected, f"SLOWLOG holds {len(durations):,} FT.SUGGET calls of {expected:,}")
    return durations


def _text(value):
    return value.decode(errors="replace") if isinstance(value, bytes) else str(value)


def measure_set(args, data):
    from quillon.limits import default_schedule

    meter = CpuMeter()
    sessions = common.completion_sessions(data, args)
    keys = keystrokes_of(sessions)
    index, engine = data.index, data.index.engine
    texts = [text for text, _, _ in keys]
    pairs = [(query, edits) for _, query, edits in keys]
    scheduled = [(query, edits, default_schedule(query)) for _, query, edits in keys]
    queries = [query for _, query, _ in keys]
    progress(f"{data.name}: checking Index.complete against Engine.complete on {len(keys):,} keystrokes")
    for text, query, edits in keys:
        public = [c.term for c in index.complete(text, SHOWN)]
        check(
            public == [hit[0] for hit in engine.complete(query, edits, SHOWN, False, default_schedule(query))],
            f"{data.name}: Index.complete({text!r}) != Engine.complete",
        )
    stored = common.stored_completions(index)

    runs = {"quillon Index.complete": [], "quillon Engine.complete": [], "redisearch round trip": [], "redisearch server": [], "tantivy": []}
    server_means = []
    peers = []
    try:
        progress(f"{data.name}: loading RediSearch and tantivy with {len(stored):,} terms")
        redis = common.RediSearch()
        peers.append(redis)
        redis.load(stored)
        tantivy = common.TantivyTerms(stored)
        peers.append(tantivy)
        redis.client.config_set("slowlog-max-len", len(keys) + 100)
        redis.client.config_set("slowlog-log-slower-than", 0)
        first = {}
        for repeat in range(args.repeats):
            progress(f"{data.name}: repeat {repeat + 1} of {args.repeats}")
            runs["quillon Index.complete"].append(common.time_keystrokes(lambda t: index.complete(t, SHOWN), texts))
            runs["quillon Engine.complete"].append(
                common.time_keystrokes(lambda p: engine.complete(p[0], p[1], SHOWN, False, p[2]), scheduled)
            )
            redis.reset_stats()
            redis.client.slowlog_reset()
            runs["redisearch round trip"].append(common.time_keystrokes(lambda q: redis.complete(q, SHOWN), queries))
            usec, calls = redis.server_usec_per_call()
            check(calls == len(queries), f"commandstats counted {calls:,} FT.SUGGET calls of {len(queries):,}")
            server_means.append(usec)
            runs["redisearch server"].append([d * 1000 for d in slowlog_durations(redis, len(queries))])
            if repeat < args.tantivy_repeats:
                runs["tantivy"].append(common.time_keystrokes(lambda p: tantivy.complete(p[0], p[1], SHOWN), pairs))
            if repeat == 0:
                # What each peer answers must not change from repeat to repeat.
                first["redisearch"] = [redis.complete(q, SHOWN) for q in queries[: args.recheck]]
                first["tantivy"] = [tantivy.complete(q, e, SHOWN) for q, e in pairs[: args.recheck]]
        check(first["redisearch"] == [redis.complete(q, SHOWN) for q in queries[: args.recheck]], "RediSearch answers changed between repeats")
        check(first["tantivy"] == [tantivy.complete(q, e, SHOWN) for q, e in pairs[: args.recheck]], "tantivy answers changed between repeats")
        peer_info = {"redis": redis.version, "redisearch": redis.module_version}
    finally:
        for peer in peers:
            peer.close()
    gc.collect()

    engines = {}
    for name, repeats in runs.items():
        per_key = fastest(repeats)
        engines[name] = {
            "repeats": len(repeats),
            "mean_us": summary([statistics.fmean(r) / 1000 for r in repeats]),
            "p50_us": percentile(per_key, 0.50) / 1000,
            "p99_us": percentile(per_key, 0.99) / 1000,
        }
    engines["redisearch server"]["commandstats_usec_per_call"] = summary(server_means)
    best_engine = fastest(runs["quillon Engine.complete"])
    by_edits = {}
    for edits in sorted({e for _, e in pairs}):
        picked = [t for t, (_, e) in zip(best_engine, pairs) if e == edits]
        by_edits[edits] = {"keystrokes": len(picked), "p50_us": percentile(picked, 0.5) / 1000, "p99_us": percentile(picked, 0.99) / 1000, "mean_us": statistics.fmean(picked) / 1000}

    ours = [statistics.fmean(r) / 1000 for r in runs["quillon Index.complete"]]
    ratios = {
        "Index.complete mean / RediSearch server mean (commandstats)": summary([o / s for o, s in zip(ours, server_means)]),
        "Index.complete mean / RediSearch round trip mean": summary([o / (statistics.fmean(r) / 1000) for o, r in zip(ours, runs["redisearch round trip"])]),
        "Index.complete mean / tantivy mean": summary([o / (statistics.fmean(r) / 1000) for o, r in zip(ours, runs["tantivy"])]),
        "Engine.complete mean / RediSearch server mean (commandstats)": summary([statistics.fmean(r) / 1000 / s for r, s in zip(runs["quillon Engine.complete"], server_means)]),
    }
    progress(f"{data.name}: sizes and opening")
    return {
        "name": data.name,
        "heading": data.heading(),
        "info": data.info,
        "sessions": len(sessions),
        "keystrokes": len(keys),
        "peers": peer_info,
        "engines": engines,
        "ours_by_edits": by_edits,
        "ratios": ratios,
        "completion_data": completion_bytes(index),
        "open": open_times(data.index_path, args.opens),
        "noise_other_cores": meter.other_cores(),
    }


def print_set(result):
    print()
    print(result["heading"])
    p = result["peers"]
    print(f"   {result['sessions']} sessions, {result['keystrokes']:,} keystrokes, top {SHOWN}, the default budget; redis-server {p['redis']}, RediSearch {p['redisearch']}; tantivy (PyPI)")
    print(f"   {busy_text(result['noise_other_cores'])}")
    print(f"   {'µs per keystroke':<34} {'p50':>8} {'p99':>9}   {'mean (median [min..max] over repeats)':<40}")
    for name, e in result["engines"].items():
        print(f"   {name:<34} {e['p50_us']:>8.1f} {e['p99_us']:>9.1f}   {spread_text(e['mean_us'], '{:.1f}')}  ({e['repeats']} repeats)")
    server = result["engines"]["redisearch server"]["commandstats_usec_per_call"]
    print(f"   {'redisearch server, commandstats':<34} {'':>8} {'':>9}   {spread_text(server, '{:.1f}')}")
    print("   ours (Engine.complete) by the edits the budget allows:")
    for edits, e in result["ours_by_edits"].items():
        print(f"      {edits} edits: {e['keystrokes']:,} keystrokes, p50 {e['p50_us']:.1f} µs, p99 {e['p99_us']:.1f} µs, mean {e['mean_us']:.1f} µs")
    for label, s in result["ratios"].items():
        print(f"   {label}: {spread_text(s, '{:.3f}')}")
    c = result["completion_data"]
    print(
        f"   completion data: {c['section_bytes']:,} bytes, {c['display_bytes']:,} of them display texts: "
        f"{c['bytes_per_node']:.3f} bytes per node and {c['fixed_bytes']:,} bytes per index (directory, alignment); "
        f"{c['section_less_display_per_node']:.4f} bytes per node in all"
    )
    for name, t in result["open"].items():
        print(f"   {name}: {t['median_ms']:.3f} ms median [{t['min_ms']:.3f}..{t['max_ms']:.3f}]")


def print_report(result):
    common.print_header(result, note="p50/p99 of each keystroke's least time over the repeats; means median [min..max]")
    for data in result["sets"]:
        print_set(data)
    print()
    print("== targets")
    for data in result["sets"]:
        name = data["name"]
        ours = data["engines"]["quillon Index.complete"]
        share = data["ratios"]["Index.complete mean / RediSearch server mean (commandstats)"]["median"]
        million = data["info"]["terms"] >= 1_000_000
        print(f"   {name}: p99 per keystroke in process {ours['p99_us']:.1f} µs (target <= {TARGET_P99_US:g} µs at a million queries: {verdict(ours['p99_us'] <= TARGET_P99_US)}{'' if million else '; not a million queries'})")
        print(f"   {name}: mean {share:.3f}x RediSearch's server time (target <= {TARGET_SERVER_SHARE:g}x: {verdict(share <= TARGET_SERVER_SHARE)})")
        per_node = data["completion_data"]["bytes_per_node"]
        print(f"   {name}: completion data {per_node:.3f} bytes per node (target <= {TARGET_NODE_BYTES:g}: {verdict(per_node <= TARGET_NODE_BYTES)})")
        opened = data["open"]["Index.open(verify=False)"]["median_ms"]
        print(f"   {name}: Index.open(verify=False) {opened:.3f} ms (target < {TARGET_OPEN_MS:g} ms: {verdict(opened < TARGET_OPEN_MS)}{'' if million else '; not a million queries'})")


def main(argv=None):
    def more(parser):
        common.completion_options(parser)

    args = common.parse_args(
        argv,
        __doc__,
        "small data sets (a 20,000-search example site, 5,000 words), 40 sessions, 2 repeats",
        {
            "sessions": (40, 400, "typing sessions per data set"),
            "repeats": (2, 5, "passes over the keystrokes"),
            "tantivy_repeats": (1, 1, "of them also timing tantivy (a pass takes minutes at a million queries)"),
            "opens": (20, 200, "times the index is opened"),
            "recheck": (200, 1000, "keystrokes whose peer answers are compared between repeats"),
        },
        more=more,
    )
    missing = common.missing_peers()
    if missing:
        raise SystemExit("missing: " + "; ".join(f"{what} ({how})" for what, how in missing.items()))
    result = {"machine": common.machine_info(), "repeats": args.repeats, "seed": args.seed}
    started = time.perf_counter()
    result["sets"] = [measure_set(args, data) for data in common.completion_sets(args)]
    result["loadavg_end"] = os.getloadavg()
    result["wall_s"] = time.perf_counter() - started
    print_report(result)
    print(f"\n(total {result['wall_s']:.0f} s)")
    common.write_json(args.json, result)
    return result


if __name__ == "__main__":
    main()
