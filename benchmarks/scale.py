#!/usr/bin/env python3
"""At the scale of a large site: one install of quillon against another.

For each data set, each install (--before-python, then this Python):

- build: `quillon build` of the set's log, end to end, in a process of its
  own: rows per second on the wall clock and the process's peak resident
  memory, beside the index file's size. The install that has them also
  reads the set's catalogue (titles), as `quillon demo` does.
- keystrokes: sessions of the set's held-out searches (quillon eval's
  sessions, half of them typed with typos), each keystroke computed as
  that install's `/api/suggest` computes it with its defaults: limit 10,
  videos on, the edits by the text's length. One process per install; each
  keystroke's fastest time over --repeats passes; p50 and p99.
- workers: 1, 2 and 4 processes open the index (without the SHA-256) and
  answer the same keystrokes, as server workers would; then each one's
  resident (RSS) and proportional (PSS, shared pages split among their
  users) memory from /proc/PID/smaps_rollup. What a worker beyond the first
  adds is the growth of the summed PSS per worker; less what an idle
  worker (the install imported, no index open) holds, it is the index's
  share, which the target bounds. Opening time is
  Index.open in a fresh process, the median over the workers.

Installs with different algorithms answer differently: the report compares
costs, not answers (completion_quality.py compares what users see). The
sets: english (the word list as a log, common.word_set), example (the
example site's log, common.site_set) and scale (--scale-log: a folder with
search_log/, held_out/ and catalog.parquet of integer ids, such as
`python -m quillon.example.site` writes with --id-kind int).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import time

import common

LIMIT = 10
SHORT_QUERY = 4  # the earlier install's default: 1 edit up to this length, else 2
WORKER_COUNTS = (1, 2, 4)
TARGET_P99_MS_SCALE = 1.0
TARGET_P99_MS_ENGLISH = 0.3
TARGET_WORKER_SHARE = 0.1
TARGET_OPEN_MS_300MB = 50.0
TARGET_ROWS_PER_S = 1_000_000
TARGET_PEAK_OVER_FILE = 3.0


# --------------------------------------------------------------------------
# Worker: one install's process
# --------------------------------------------------------------------------

_state = {}


def worker_open(index):
    import quillon

    started = time.perf_counter()
    _state["index"] = quillon.Index.open(index, verify=False)
    seconds = time.perf_counter() - started
    return {"open_s": seconds, "quillon": quillon.__file__, "version": getattr(quillon, "__version__", "?")}


def _keystroke_call(index):
    """What this install's /api/suggest computes for one text."""
    if hasattr(index, "suggest"):
        return lambda q: index.suggest(q, LIMIT)

    def earlier(q):
        edits = 1 if len(index.normalize(q)) <= SHORT_QUERY else 2
        return index.terms(q, edits, LIMIT), index.videos(q, edits, LIMIT)

    return earlier


def worker_idle():
    """Imports the install and opens nothing: what every worker holds
    before an index."""
    import quillon  # noqa: F401

    return {}


def worker_replay(keystrokes):
    call = _keystroke_call(_state["index"])
    cpu = time.process_time()
    ns = common.time_keystrokes(call, keystrokes)
    return {"ns": ns, "cpu_s": time.process_time() - cpu}


def worker_touch(keystrokes):
    call = _keystroke_call(_state["index"])
    for q in keystrokes:
        call(q)
    return {}


def worker_main():
    common.answer_requests({"idle": worker_idle, "open": worker_open, "replay": worker_replay, "touch": worker_touch})


class Worker(common.WorkerProcess):
    """A process of one install, answering worker_* requests."""

    def __init__(self, python, label):
        env = dict(os.environ, PYTHONPATH=common.HERE)  # this folder only: the install's own quillon
        super().__init__(label, [python, os.path.abspath(__file__), "--worker"], env, cwd="/", close_timeout=120)

    def memory_kib(self):
        fields = {}
        with open(f"/proc/{self.pid}/smaps_rollup") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[2] == "kB":
                    fields[parts[0].rstrip(":")] = int(parts[1])
        return {"rss": fields["Rss"], "pss": fields["Pss"]}


# --------------------------------------------------------------------------
# Parent
# --------------------------------------------------------------------------


def build(python, label, data, folder, reuse):
    """`quillon build` of the set with `python`'s install; its figures are
    kept beside the index, so that --reuse-builds reports them again."""
    index = os.path.join(folder, f"{data['name']}-{label}.idx")
    record = index + ".bench.json"
    if reuse and os.path.exists(record) and os.path.exists(index):
        with open(record, encoding="utf-8") as f:
            return index, json.load(f)
    command = [python, "-m", "quillon", "build", *data["sources"], "-o", index, "-q", *data["options"]]
    if data.get("catalog") and label == "after":
        command += ["--catalog", data["catalog"]]
    common.progress(f"{data['name']}: {label}: {' '.join(command[1:])}")
    started = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd="/")
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    error = process.stderr.read()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{label}: quillon build failed ({process.returncode}): {error.strip()}")
    with open(index + ".json", encoding="utf-8") as f:
        manifest = json.load(f)
    figures = {
        "seconds": seconds,
        "rows": manifest["rows_read"],
        "rows_per_s": manifest["rows_read"] / seconds,
        "peak_rss_bytes": usage.ru_maxrss * 1024,
        "index_bytes": os.path.getsize(index),
        "nodes": manifest["nodes"],
        "terms": manifest["terms"],
    }
    figures["peak_over_file"] = figures["peak_rss_bytes"] / figures["index_bytes"]
    with open(record, "w", encoding="utf-8") as f:
        json.dump(figures, f)
    return index, figures


def keystroke_figures(python, label, index, keystrokes, repeats):
    worker = Worker(python, label)
    try:
        opened = worker.call("open", index=index)
        worker.call("touch", keystrokes=keystrokes)  # warm: the pages and the caches
        runs = []
        for _ in range(repeats):
            runs.append(worker.call("replay", keystrokes=keystrokes)["ns"])
    finally:
        worker.close()
    best = common.fastest(runs)
    per_repeat = [(common.percentile(r, 0.5) / 1e3, common.percentile(r, 0.99) / 1e3) for r in runs]
    return {
        "install": opened["quillon"],
        "p50_us": common.percentile(best, 0.5) / 1e3,
        "p99_us": common.percentile(best, 0.99) / 1e3,
        "mean_us": statistics.fmean(best) / 1e3,
        "p50_us_per_repeat": common.summary([p[0] for p in per_repeat]),
        "p99_us_per_repeat": common.summary([p[1] for p in per_repeat]),
    }


def available_bytes():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def worker_figures(python, label, index, keystrokes, counts):
    """Open time and memory of 1, 2, 4 workers; a count is passed over
    (None) when what one worker held, times the count, would not fit."""
    out = {}
    one_worker_bytes = None
    for count in counts:
        if one_worker_bytes is not None and one_worker_bytes * count * 1.2 > available_bytes():
            out[count] = None
            continue
        workers = [Worker(python, f"{label} worker {i + 1}") for i in range(count)]
        idle = Worker(python, f"{label} idle worker")
        try:
            idle.call("idle")
            opens = [w.call("open", index=index)["open_s"] for w in workers]
            for w in workers:
                w.call("touch", keystrokes=keystrokes)
            memory = [w.memory_kib() for w in workers]
            interpreter = idle.memory_kib()["pss"] * 1024
        finally:
            for w in workers + [idle]:
                w.close()
        out[count] = {
            "open_ms_median": statistics.median(opens) * 1e3,
            "rss_bytes": sum(m["rss"] for m in memory) * 1024,
            "pss_bytes": sum(m["pss"] for m in memory) * 1024,
            "interpreter_pss_bytes": interpreter,
        }
        if count == 1:
            one_worker_bytes = out[1]["rss_bytes"]
    first = out.get(1)
    for count, figures in out.items():
        if figures and first and count > 1:
            growth = (figures["pss_bytes"] - first["pss_bytes"]) / (count - 1)
            figures["pss_added_per_worker_bytes"] = growth
            figures["index_added_per_worker_bytes"] = growth - figures["interpreter_pss_bytes"]
    return out


def data_sets(args):
    """Each set: its name, log files, build options, catalogue and searches."""
    from quillon.build.evaluate import read_searches

    sets = []
    for name in args.sets.split(","):
        if name == "english":
            made = common.word_set(args)
            log = os.path.join(made.info["folder"], "log.csv")
            sets.append({"name": name, "sources": [log], "options": ["--count", "count"], "searches": made.searches, "normalize": made.index.normalize})
        elif name == "example":
            made = common.site_set(args, "example", args.site_rows or common.SITE_ROWS, None)
            folder = made.info["folder"]
            sets.append({
                "name": name, "sources": [os.path.join(folder, "search_log.parquet")], "options": [],
                "catalog": os.path.join(folder, "catalog.parquet"), "searches": made.searches, "normalize": made.index.normalize,
            })
        elif name == "scale":
            if not args.scale_log:
                raise SystemExit("--sets scale needs --scale-log DIR")
            folder = args.scale_log
            from quillon import normalize

            sets.append({
                "name": name, "sources": [os.path.join(folder, "search_log")], "options": [],
                "catalog": os.path.join(folder, "catalog.parquet"),
                "searches": read_searches([os.path.join(folder, "held_out")]),
                "normalize": lambda text: normalize(text, "fold"),
            })
        else:
            raise SystemExit(f"--sets: unknown data set {name!r} (of english, example, scale)")
    return sets


def session_keystrokes(data, args):
    from quillon.build.evaluate import make_sessions

    sessions = make_sessions(data["searches"], data["normalize"], args.sessions, 0.5, args.seed)
    return [q for s in sessions for q in s.queries]


def measure_set(args, data, installs):
    keystrokes = session_keystrokes(data, args)
    common.progress(f"{data['name']}: {len(keystrokes):,} keystrokes of {args.sessions:,} sessions")
    folder = os.path.join(args.data, "scale")
    os.makedirs(folder, exist_ok=True)
    report = {"keystrokes": len(keystrokes), "installs": {}}
    meter = common.CpuMeter()
    meter.start()
    for label, python in installs:
        index, built = build(python, label, data, folder, args.reuse_builds)
        common.progress(f"{data['name']}: {label}: keystrokes")
        keys = keystroke_figures(python, label, index, keystrokes, args.repeats)
        common.progress(f"{data['name']}: {label}: workers")
        workers = worker_figures(python, label, index, keystrokes[: args.touch], WORKER_COUNTS)
        report["installs"][label] = {"build": built, "keystrokes": keys, "workers": workers}
    report["noise_other_cores"] = meter.other_cores()
    return report


def mib(n):
    return f"{n / 2**20:,.0f} MiB"


def print_set(name, r):
    print(f"\n== {name}: {r['keystrokes']:,} keystrokes; {common.busy_text(r['noise_other_cores'])}")
    installs = r["installs"]
    for label, f in installs.items():
        b, k = f["build"], f["keystrokes"]
        print(f"   {label}: {b['nodes']:,} nodes, index {mib(b['index_bytes'])}")
        print(f"      build: {b['rows']:,} rows in {b['seconds']:.1f} s = {b['rows_per_s']:,.0f} rows/s, peak {mib(b['peak_rss_bytes'])} ({b['peak_over_file']:.2f}x the file)")
        print(f"      keystroke: p50 {k['p50_us']:,.1f} us, p99 {k['p99_us']:,.1f} us, mean {k['mean_us']:,.1f} us "
              f"(per repeat p99 {common.spread_text(k['p99_us_per_repeat'], '{:,.0f}')} us)")
        for count, w in f["workers"].items():
            if w is None:
                print(f"      {count} workers: would not fit in the memory available")
                continue
            added = w.get("pss_added_per_worker_bytes")
            more = "" if added is None else (
                f", each worker beyond the first adds {mib(added)}, of which the index "
                f"{mib(w['index_added_per_worker_bytes'])} ({w['index_added_per_worker_bytes'] / b['index_bytes']:.3f}x the file)"
            )
            print(f"      {count} worker(s): open {w['open_ms_median']:,.1f} ms, RSS {mib(w['rss_bytes'])}, PSS {mib(w['pss_bytes'])}{more}")
    if "before" in installs and "after" in installs:
        before, after = installs["before"], installs["after"]
        ratio = lambda a, b: a / b if b else float("nan")  # noqa: E731
        kb, ka = before["keystrokes"], after["keystrokes"]
        bb, ba = before["build"], after["build"]
        print(f"   after / before: keystroke p50 {ratio(ka['p50_us'], kb['p50_us']):.3f}x, p99 {ratio(ka['p99_us'], kb['p99_us']):.3f}x; "
              f"open {ratio(after['workers'][1]['open_ms_median'], before['workers'][1]['open_ms_median']):.4f}x; "
              f"build rows/s {ratio(ba['rows_per_s'], bb['rows_per_s']):.2f}x, peak memory {ratio(ba['peak_rss_bytes'], bb['peak_rss_bytes']):.2f}x")


def print_targets(result):
    print("\n== targets (the after install)")
    for name, r in result["sets"].items():
        after = r["installs"].get("after")
        if not after:
            continue
        b, k, w = after["build"], after["keystrokes"], after["workers"]
        if name == "english":
            print(f"   english: p99 {k['p99_us'] / 1e3:.3f} ms (target <= {TARGET_P99_MS_ENGLISH} ms: {common.verdict(k['p99_us'] / 1e3 <= TARGET_P99_MS_ENGLISH)})")
        elif b["nodes"] >= 10_000_000:
            print(f"   {name}: p99 {k['p99_us'] / 1e3:.3f} ms on {b['nodes']:,} nodes (target <= {TARGET_P99_MS_SCALE} ms: {common.verdict(k['p99_us'] / 1e3 <= TARGET_P99_MS_SCALE)})")
        added = [x["index_added_per_worker_bytes"] / b["index_bytes"] for c, x in w.items() if x and c > 1]
        if added:
            print(f"   {name}: each worker beyond the first adds for the index at most {max(added):.3f}x the file (target <= {TARGET_WORKER_SHARE}: {common.verdict(max(added) <= TARGET_WORKER_SHARE)})")
        opened = w[1]["open_ms_median"]
        print(f"   {name}: open {opened:.2f} ms for {mib(b['index_bytes'])} (target < {TARGET_OPEN_MS_300MB:g} ms for 300 MB: {common.verdict(opened < TARGET_OPEN_MS_300MB)})")
        if b["rows"] < 1_000_000:
            continue  # a small log's build is the interpreter's and DuckDB's start-up
        print(f"   {name}: build {b['rows_per_s']:,.0f} rows/s (target >= {TARGET_ROWS_PER_S:,}: {common.verdict(b['rows_per_s'] >= TARGET_ROWS_PER_S)}), "
              f"peak {b['peak_over_file']:.2f}x the file (target <= {TARGET_PEAK_OVER_FILE:g}: {common.verdict(b['peak_over_file'] <= TARGET_PEAK_OVER_FILE)})")


def more_options(p):
    p.add_argument("--before-python", metavar="PYTHON", help="the Python of the install to compare against (a virtual environment's bin/python)")
    p.add_argument("--sets", default="english,example", help="of english, example, scale, comma-separated (default english,example)")
    p.add_argument("--scale-log", metavar="DIR", help="the log at scale: a folder with search_log/, held_out/ and catalog.parquet, integer ids")
    p.add_argument("--data", default=common.COMPLETION_DATA, metavar="DIR", help=f"where the sets and the indexes are kept (default {common.COMPLETION_DATA})")
    p.add_argument("--site-rows", type=int, metavar="N", help=f"searches in the example site's log (default {common.SITE_ROWS:,})")
    p.add_argument("--words", default=common.ENGLISH, metavar="PATH", help=f"the english set's word list (default {common.ENGLISH})")
    p.add_argument("--sample-words", type=int, metavar="N", help="about N evenly spaced words of the list")
    p.add_argument("--reuse-builds", action="store_true", help="reuse an index (and its build figures) this benchmark wrote earlier")


def main(argv):
    if "--worker" in argv:
        worker_main()
        return
    counts = {
        "sessions": (100, 1000, "sessions typed, keystroke by keystroke"),
        "repeats": (2, 3, "passes over the keystrokes; each keystroke's fastest counts"),
        "touch": (200, 2000, "keystrokes each worker answers before its memory is read"),
    }
    args = common.parse_args(argv, __doc__, "100 sessions, 2 repeats, the example set at 20,000 rows", counts, more=more_options)
    if args.quick and args.site_rows is None:
        args.site_rows = common.QUICK_SITE_ROWS
    installs = ([("before", args.before_python)] if args.before_python else []) + [("after", sys.executable)]
    result = {"machine": common.machine_info(), "installs": dict(installs), "repeats": args.repeats, "seed": args.seed, "sets": {}}
    for data in data_sets(args):
        result["sets"][data["name"]] = measure_set(args, data, installs)
    result["loadavg_end"] = os.getloadavg()
    print(common.machine_line(result["machine"]))
    for label, python in installs:
        print(f"{label}: {python}")
    print(f"sessions {args.sessions:,}, repeats {args.repeats}, seed {args.seed}; {common.load_line(result)}")
    for name, r in result["sets"].items():
        print_set(name, r)
    print_targets(result)
    common.write_json(args.json, result)


if __name__ == "__main__":
    main(sys.argv[1:])
