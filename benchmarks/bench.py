#!/usr/bin/env python3
"""Speed and memory of _quillon on a real word list, against its peers.

Builds a trie of every word of a Debian word list (one payload per word, a few
videos each from a synthetic catalogue with Zipf-like popularity and counts),
then measures construction, the stored form, and both searches on seeded
queries: stored words with 0, 1 and 2 random edits, and typed prefixes of 2
to 6 characters. The same queries go through RapidFuzz's linear scan
(process.extract with the Levenshtein distance) and a plain-Python trie walk;
every compared answer is checked against the module's before any ratio is
reported. Figures are medians over --repeats runs with their min..max spread,
and the report states how busy the rest of the machine was meanwhile.

See benchmarks/README.md for the set-up and the meaning of each figure.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

DEFAULT_WORDS = "/usr/share/dict/american-english-large"
TOP_N = 50
EDIT_KINDS = ("edit0", "edit1", "edit2")
QUERY_KINDS = EDIT_KINDS + ("prefix",)
PREFIX_LENGTHS = (2, 3, 4, 5, 6)
MAX_DISTS = (0, 1, 2)

# Targets of the optimisation work, checked in the summary.
TARGET_RAPIDFUZZ = {1: 100.0, 2: 20.0}
TARGET_WALK = 3.0
TARGET_RESTORE = 10.0
TARGET_CODEC_MBS = 500.0
TARGET_NODES_PER_S = 1_000_000.0


# --------------------------------------------------------------------------
# Data set
# --------------------------------------------------------------------------


def load_words(path, sample=None):
    """The distinct non-empty lines of a UTF-8 word list, in code point order;
    with `sample`, about that many of them, evenly spaced.

    Sorted input makes each node's children appear in label order in the dict
    trie below, which is the order the module reports hits in."""
    with open(path, encoding="utf-8") as f:
        words = sorted({line.strip() for line in f} - {""})
    if sample and sample < len(words):
        step = len(words) / sample
        words = [words[int(i * step)] for i in range(sample)]
    return words


def dict_trie(words):
    """Nested dicts keyed by character; the key None holds the index of the
    word that ends at that node. Words must come sorted: then every dict lists
    its terminal marker first and its children in label order."""
    root = {}
    for index, word in enumerate(words):
        level = root
        for ch in word:
            child = level.get(ch)
            if child is None:
                child = level[ch] = {}
            level = child
        level[None] = index
    return root


class Catalogue:
    """A deterministic synthetic video catalogue: video v (0-based rank) is
    picked with probability proportional to 1 / (v + 1), each word gets 1 to 5
    distinct videos, and view counts follow a Pareto law of index 1 (the
    continuous form of Zipf's law)."""

    def __init__(self, word_count, seed):
        rng = random.Random(seed * 7919 + 17)
        self.video_count = max(100, word_count // 4)
        self.ids = rng.sample(range(1, 2**31), self.video_count)
        cumulative = []
        total = 0.0
        for rank in range(1, self.video_count + 1):
            total += 1.0 / rank
            cumulative.append(total)
        self._cumulative = cumulative
        self._rng = rng
        self._all = list(range(self.video_count))

    def payload(self):
        rng = self._rng
        wanted = 1 + min(4, int(rng.expovariate(0.7)))
        picks = rng.choices(self._all, cum_weights=self._cumulative, k=wanted)
        ids = list(dict.fromkeys(picks))
        counts = [min(1_000_000, int(rng.paretovariate(1.0))) for _ in ids]
        return (sum(counts), ids, counts)


def trie_arrays(words, seed):
    """The six arguments of from_internal_data_v2 for `words`, made by
    quillon.build_arrays from one record per word and video: every word gets
    a payload from the catalogue. The records come video by video, most
    popular first, so the id table lists the videos used in the catalogue's
    order (small, one-byte indexes for the popular ones). Nodes are numbered
    in depth-first pre-order with children in label order."""
    from quillon import build_arrays

    catalogue = Catalogue(len(words), seed)
    records = []  # (rank, word, count)
    for word in words:
        _total, picks, counts = catalogue.payload()
        records.extend((pick, word, count) for pick, count in zip(picks, counts))
    records.sort(key=lambda record: record[0])
    ids = catalogue.ids
    return build_arrays(((word, ids[rank], count) for rank, word, count in records), TOP_N)._asdict()


def make_queries(words, count, seed):
    """`count` queries of each kind, seeded: editN is a stored word (of at
    least N + 1 characters) after N random edits (insert, delete or substitute
    one character; inserted characters are drawn with the list's own character
    frequencies, so edits may happen to cancel out); prefix is the first 2 to 6
    characters of a stored word, lengths taken in turn."""
    rng = random.Random(seed)
    text = "".join(words)

    def edited(word, edits):
        chars = list(word)
        for _ in range(edits):
            op = rng.choice(("insert", "delete", "substitute") if len(chars) > 1 else ("insert", "substitute"))
            pos = rng.randrange(len(chars) + (op == "insert"))
            if op == "insert":
                chars.insert(pos, rng.choice(text))
            elif op == "delete":
                del chars[pos]
            else:
                old = chars[pos]
                new = old
                while new == old:
                    new = rng.choice(text)
                chars[pos] = new
        return "".join(chars)

    queries = {}
    for edits, kind in enumerate(EDIT_KINDS):
        pool = [w for w in words if len(w) > edits]
        queries[kind] = [edited(rng.choice(pool), edits) for _ in range(count)]
    by_length = {n: [w for w in words if len(w) >= n] for n in PREFIX_LENGTHS}
    queries["prefix"] = [
        rng.choice(by_length[n])[:n] for n in (PREFIX_LENGTHS[i % len(PREFIX_LENGTHS)] for i in range(count))
    ]
    return queries


# --------------------------------------------------------------------------
# Peers
# --------------------------------------------------------------------------


def python_trie_walk(root, words, query, max_dist):
    """The classic trie walk in plain Python: one Levenshtein row per visited
    node, computed from the parent's row, and a subtree abandoned once its
    row minimum exceeds max_dist. Returns (term, distance) in depth-first
    order with children in label order."""
    n = len(query)
    hits = []

    def visit(node, label, prev):
        row = [prev[0] + 1]
        for j in range(1, n + 1):
            row.append(min(row[j - 1] + 1, prev[j] + 1, prev[j - 1] + (query[j - 1] != label)))
        if row[n] <= max_dist and None in node:
            hits.append((words[node[None]], row[n]))
        if min(row) <= max_dist:
            for child_label, child in node.items():
                if child_label is not None:
                    visit(child, child_label, row)

    first = list(range(n + 1))
    for label, child in root.items():
        if label is not None:
            visit(child, label, first)
    return hits


def rapidfuzz_scan(process, scorer, words, query, max_dist):
    """(term, distance) of every word within max_dist of query, by RapidFuzz's
    linear scan. processor=None: no case folding, the module is case-sensitive."""
    found = process.extract(query, words, scorer=scorer, score_cutoff=max_dist, limit=None, processor=None)
    return [(choice, int(score)) for choice, score, _index in found]


# --------------------------------------------------------------------------
# Measurement helpers
# --------------------------------------------------------------------------


class CpuMeter:
    """How much CPU other processes used while a phase ran: the machine's busy
    time from /proc/stat minus this process's (and its waited-for children's)
    own CPU time, divided by the wall time. 1.0 means one core fully busy."""

    def __init__(self):
        self._tick = os.sysconf("SC_CLK_TCK")
        self.start()

    def _busy(self):
        try:
            with open("/proc/stat") as f:
                fields = [int(x) for x in f.readline().split()[1:]]
        except OSError:
            return None
        # user nice system idle iowait irq softirq steal ...
        return (fields[0] + fields[1] + fields[2] + fields[5] + fields[6]) / self._tick

    @staticmethod
    def _own():
        t = os.times()
        return t.user + t.system + t.children_user + t.children_system

    def start(self):
        self._t0, self._b0, self._o0 = time.perf_counter(), self._busy(), self._own()

    def other_cores(self):
        wall = time.perf_counter() - self._t0
        busy = self._busy()
        if busy is None or self._b0 is None or wall <= 0:
            return None
        return max(0.0, (busy - self._b0) - (self._own() - self._o0)) / wall


def percentile(values, fraction):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def summary(samples):
    """Median, min and max of the per-repeat values."""
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "samples": samples}


def spread_text(s, fmt="{:.3g}"):
    return f"{fmt.format(s['median'])} [{fmt.format(s['min'])}..{fmt.format(s['max'])}]"


def timed_calls(fn, queries):
    """Calls fn(query) for each query; returns (ns per call, results)."""
    clock = time.perf_counter_ns
    times = []
    results = []
    for q in queries:
        t0 = clock()
        r = fn(q)
        times.append(clock() - t0)
        results.append(r)
    return times, results


class QueryStats:
    """Per-query times of one (engine, query set, max_dist) cell over repeats."""

    def __init__(self):
        self.means = []  # microseconds, one per repeat
        self.p99s = []

    def add(self, ns):
        self.means.append(statistics.fmean(ns) / 1000.0)
        self.p99s.append(percentile(ns, 0.99) / 1000.0)

    def to_json(self):
        return {"mean_us": summary(self.means), "p99_us": summary(self.p99s)}


def ratio_summary(slow, fast):
    """Per-repeat ratios of mean per-query time (repeats paired in order)."""
    pairs = list(zip(slow.means, fast.means))
    return summary([s / f for s, f in pairs])


# --------------------------------------------------------------------------
# Peak memory, one fresh child process per phase
# --------------------------------------------------------------------------


def _status_kib(field):
    with open("/proc/self/status") as f:
        match = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    return int(match.group(1)) if match else None


# VmHWM readings taken before each reset: the child's lifetime peak is the
# largest of them and the final one. (ru_maxrss is no use here: after fork
# and exec it still carries the parent's resident size.)
_peaks = []


def _reset_peak():
    """Resets VmHWM to the current RSS (Linux 4.0 and later)."""
    _peaks.append(_status_kib("VmHWM"))
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
    return _status_kib("VmRSS")


def child_phase(args):
    """Runs in a fresh interpreter: one memory phase, result as JSON on stdout.

    Each phase frees what it can (garbage collection, then malloc_trim so that
    freed heap pages leave the resident set), records the resident set,
    resets the high-water mark, makes the call and reads VmHWM: the
    difference is the call's peak extra memory, C++ allocations included."""
    import _quillon

    out = {"reset_peak": True}
    if args.child_phase == "build":
        words = load_words(args.words[0], args.sample_words)
        arrays = trie_arrays(words, args.seed)
        before = _settle()
        out["reset_peak"] = _reset_peak()
        search = _quillon.PrefixSearch.from_internal_data_v2(**arrays)
        out["build_peak_kib"] = _status_kib("VmHWM") - before
        out["build_rss_growth_kib"] = _settle() - before
        before = _settle()
        out["reset_peak"] &= _reset_peak()
        data = search.to_bytes()
        out["to_bytes_peak_kib"] = _status_kib("VmHWM") - before
        with open(args.child_file, "wb") as f:
            f.write(data)
    elif args.child_phase == "restore":
        with open(args.child_file, "rb") as f:
            data = f.read()
        before = _settle()
        out["reset_peak"] = _reset_peak()
        search = _quillon.PrefixSearch.from_bytes(data)
        out["from_bytes_peak_kib"] = _status_kib("VmHWM") - before
        out["instance_rss_kib"] = _settle() - before
        del data
        words = load_words(args.words[0], args.sample_words)
        queries = make_queries(words, 50, args.seed)
        del words
        before = _settle()
        out["reset_peak"] &= _reset_peak()
        for q in queries["edit2"] + queries["prefix"]:
            search.fuzzy_match(q, 2)
            search.fuzzy_match_video(q, 1, None, True)
        out["query_peak_kib"] = _status_kib("VmHWM") - before
    out["process_peak_kib"] = max(_peaks + [_status_kib("VmHWM")])
    print(json.dumps(out))


def measure_memory(args, words_path):
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as tmp:
        data_file = os.path.join(tmp, "trie.bin")
        result = {}
        for phase in ("build", "restore"):
            cmd = [
                sys.executable,
                os.path.abspath(__file__),
                "--child-phase",
                phase,
                "--child-file",
                data_file,
                "--words",
                words_path,
                "--seed",
                str(args.seed),
            ]
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
# The benchmark of one word list
# --------------------------------------------------------------------------


def progress(message):
    print(f"... {message}", file=sys.stderr, flush=True)


def check(condition, message):
    if not condition:
        raise SystemExit(f"ANSWERS DISAGREE: {message}")


def bench_words(args, words_path, PrefixSearch, rapidfuzz_parts):
    report = {"words_path": words_path}
    meter = CpuMeter()
    noise = {}

    # Data set and the Python-side arrays (timed once).
    t0 = time.perf_counter()
    words = load_words(words_path, args.sample_words)
    t1 = time.perf_counter()
    arrays = trie_arrays(words, args.seed)
    t2 = time.perf_counter()
    root = dict_trie(words)
    node_count = len(arrays["child_labels"])
    report["dataset"] = {
        "terms": len(words),
        "non_ascii_terms": sum(1 for w in words if not w.isascii()),
        "mean_length": statistics.fmean(len(w) for w in words),
        "max_length": max(len(w) for w in words),
        "nodes": node_count,
        "videos": len(arrays["video_index"]),
        "video_top_n": TOP_N,
        "package": debian_package(words_path),
        "load_s": t1 - t0,
        "build_arrays_s": t2 - t1,
    }
    queries = make_queries(words, args.queries, args.seed)
    report["queries_per_kind"] = args.queries
    noise["setup"] = meter.other_cores()
    progress(f"{len(words):,} terms, {node_count:,} nodes; build_arrays {t2 - t1:.1f} s")

    # Construction and the stored form. A loop stops repeating once it has
    # used --time-budget seconds (at least one sample is always taken).
    meter.start()
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
            check(encoded == data, "two builds of the same arrays give different bytes")
        del search, encoded
        gc.collect()
        t0 = time.perf_counter()
        search = PrefixSearch.from_bytes(data)
        from_s.append(time.perf_counter() - t0)
        check(search.to_bytes() == data, "to_bytes(from_bytes(b)) != b")
    noise["build_and_codec"] = meter.other_cores()
    progress(
        f"from_internal_data_v2 {statistics.median(build_s):.3g} s, to_bytes {statistics.median(to_s):.3g} s, "
        f"from_bytes {statistics.median(from_s):.3g} s ({len(build_s)} runs)"
    )
    size = len(data)
    del arrays
    gc.collect()
    mb = size / 1e6
    report["build"] = {
        "repeats": len(build_s),
        "seconds": summary(build_s),
        "nodes_per_s": summary([node_count / s for s in build_s]),
    }
    report["stored"] = {
        "bytes": size,
        "bytes_per_term": size / len(words),
        "bytes_per_node": size / node_count,
        "to_bytes_s": summary(to_s),
        "from_bytes_s": summary(from_s),
        "to_bytes_mb_per_s": summary([mb / s for s in to_s]),
        "from_bytes_mb_per_s": summary([mb / s for s in from_s]),
        "build_over_from_bytes": summary([b / f for b, f in zip(build_s, from_s)]),
    }

    # Searches. For each max_dist and query kind the module runs the block
    # of queries, then each peer does, then the module runs it again (its
    # time per query is the mean of both runs): each engine keeps its caches
    # warm within a block, and a disturbance from elsewhere on the machine
    # falls on the module's runs and the peers' alike. The slow Python walk
    # takes part in the first --python-repeats repeats only.
    process, scorer = rapidfuzz_parts
    word_queries = [q for kind in EDIT_KINDS for q in queries[kind]]
    sets = ("words",) + QUERY_KINDS
    engines = {
        "quillon": lambda k: (lambda q: search.fuzzy_match(q, k)),
        "rapidfuzz": lambda k: (lambda q: rapidfuzz_scan(process, scorer, words, q, k)),
        "python_trie": lambda k: (lambda q: python_trie_walk(root, words, q, k)),
    }
    if args.no_peers:
        engines = {"quillon": engines["quillon"]}
    stats = {(e, k, kind): QueryStats() for e in engines for k in MAX_DISTS for kind in sets}
    video_sets = {
        "words": (word_queries, None),
        "prefix": (queries["prefix"], None),
        "prefix_with_prefix_nodes": (queries["prefix"], True),
    }
    video_stats = {name: QueryStats() for name in video_sets}
    hits = {}
    meter.start()
    for repeat in range(args.repeats):
        active = [e for e in engines if e != "python_trie" or repeat < args.python_repeats]
        for k in MAX_DISTS:
            answers = {}
            pooled = {e: [] for e in active}
            for kind in QUERY_KINDS:
                qs = queries[kind]
                ns = {}
                first, answers[("quillon", kind)] = timed_calls(engines["quillon"](k), qs)
                for e in active[1:]:
                    ns[e], answers[(e, kind)] = timed_calls(engines[e](k), qs)
                second, again = timed_calls(engines["quillon"](k), qs)
                check(again == answers[("quillon", kind)], f"fuzzy_match answers differ between two runs ({kind})")
                ns["quillon"] = [(a + b) / 2 for a, b in zip(first, second)]
                for e in active:
                    stats[(e, k, kind)].add(ns[e])
                    if kind in EDIT_KINDS:
                        pooled[e].extend(ns[e])
                if repeat == 0:
                    hits[(k, kind)] = statistics.fmean(len(r) for r in answers[("quillon", kind)])
            for e in active:
                stats[(e, k, "words")].add(pooled[e])
            if repeat == 0:
                verify(answers, queries, k, active)
        for name, (qs, include_prefix) in video_sets.items():
            ns, results = timed_calls(lambda q: search.fuzzy_match_video(q, 1, None, include_prefix), qs)
            video_stats[name].add(ns)
            if repeat == 0:
                check(
                    [sorted(r) for r in results]
                    == [sorted(built.fuzzy_match_video(q, 1, None, include_prefix)) for q in qs],
                    f"fuzzy_match_video differs between a built and a restored instance ({name})",
                )
        progress(f"searches: repeat {repeat + 1} of {args.repeats} done")
    noise["searches"] = meter.other_cores()

    report["fuzzy_match"] = {
        f"max_dist={k}": {
            kind: {
                "mean_hits": (
                    statistics.fmean(hits[(k, x)] for x in EDIT_KINDS) if kind == "words" else hits[(k, kind)]
                ),
                "queries": len(word_queries) if kind == "words" else len(queries[kind]),
                **{engine: stats[(engine, k, kind)].to_json() for engine in engines},
                **(
                    {
                        "rapidfuzz_over_quillon": ratio_summary(
                            stats[("rapidfuzz", k, kind)], stats[("quillon", k, kind)]
                        ),
                        "python_trie_over_quillon": ratio_summary(
                            stats[("python_trie", k, kind)], stats[("quillon", k, kind)]
                        ),
                    }
                    if not args.no_peers
                    else {}
                ),
            }
            for kind in sets
        }
        for k in MAX_DISTS
    }
    report["fuzzy_match_video"] = {name: s.to_json() for name, s in video_stats.items()}
    report["noise_other_cores"] = noise
    return report


def verify(answers, queries, k, engines):
    """The peers' answers against the module's, for one max_dist."""
    for kind in QUERY_KINDS:
        for i, q in enumerate(queries[kind]):
            ours = [(term, dist) for term, _one, dist in answers[("quillon", kind)][i]]
            check(len(set(ours)) == len(ours), f"fuzzy_match({q!r}, {k}) repeats a term")
            if "python_trie" in engines:
                theirs = answers[("python_trie", kind)][i]
                check(ours == theirs, f"fuzzy_match({q!r}, {k}) != Python trie walk: {ours[:5]} vs {theirs[:5]}")
            if "rapidfuzz" in engines:
                theirs = answers[("rapidfuzz", kind)][i]
                check(
                    set(ours) == set(theirs),
                    f"fuzzy_match({q!r}, {k}) != RapidFuzz: only ours {sorted(set(ours) - set(theirs))[:5]}, "
                    f"only theirs {sorted(set(theirs) - set(ours))[:5]}",
                )


# --------------------------------------------------------------------------
# The C++ walk benchmark, on the same queries
# --------------------------------------------------------------------------


def run_walk_bench(binary, words_path, queries, repeats, sample):
    with tempfile.TemporaryDirectory(prefix="quillon-walk-") as tmp:
        qfile = os.path.join(tmp, "queries.tsv")
        jfile = os.path.join(tmp, "walk.json")
        with open(qfile, "w", encoding="utf-8") as f:
            for kind in QUERY_KINDS:
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


# --------------------------------------------------------------------------
# Report
# --------------------------------------------------------------------------


def debian_package(path):
    try:
        real = os.path.realpath(path)
        owner = subprocess.run(["dpkg", "-S", real], capture_output=True, text=True, check=True).stdout
        name = owner.split(":")[0].strip()
        version = subprocess.run(
            ["dpkg-query", "-W", "-f", "${Version}", name], capture_output=True, text=True, check=True
        ).stdout
        return f"{name} {version}"
    except (OSError, subprocess.CalledProcessError, IndexError):
        return "unknown"


def machine_info():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            match = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            model = match.group(1) if match else model
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "loadavg_start": os.getloadavg(),
    }


def print_report(result):
    m = result["machine"]
    print(f"machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, Python {m['python']}")
    print(f"module:  {result['module']}")
    print(f"rapidfuzz: {result.get('rapidfuzz', 'not run')}")
    print(
        f"repeats: {result['repeats']}, seed {result['seed']}; figures are median [min..max] over the repeats"
    )
    print(f"load average at start {fmt_load(m['loadavg_start'])}, at end {fmt_load(result['loadavg_end'])}")
    for data in result["lists"]:
        d = data["dataset"]
        print()
        print(f"== {data['words_path']} ({d['package']})")
        print(
            f"   {d['terms']:,} distinct terms ({d['non_ascii_terms']:,} non-ASCII), mean length "
            f"{d['mean_length']:.1f}, max {d['max_length']}; {d['nodes']:,} nodes; "
            f"{d['videos']:,} videos, top_n {d['video_top_n']}"
        )
        print(
            f"   queries: {data['queries_per_kind']} per kind (edit0, edit1, edit2, prefix); "
            f"'words' = the three edit kinds together"
        )
        noise = data["noise_other_cores"]
        b, s = data["build"], data["stored"]
        print(
            "   other processes' CPU use (cores): "
            + ", ".join(f"{k} {v:.2f}" if v is not None else f"{k} n/a" for k, v in noise.items())
        )
        busy = [v for v in noise.values() if v is not None]
        if busy and max(busy) > 0.3:
            print(
                f"   NOTE: other processes kept up to {max(busy):.2f} of the {result['machine']['cores']} cores busy: "
                "this run competed for CPU, expect wide spreads"
            )
        if b["repeats"] < result["repeats"]:
            print(
                f"   NOTE: construction and to_bytes/from_bytes ran {b['repeats']} time(s) only: "
                "that loop went past --time-budget"
            )
        print()
        print(f"   build_arrays (once):     {d['build_arrays_s']:.2f} s")
        print(f"   from_internal_data_v2:   {spread_text(b['seconds'])} s = {spread_text(b['nodes_per_s'], '{:,.0f}')} nodes/s")
        print(f"   stored form:             {s['bytes']:,} bytes, {s['bytes_per_term']:.1f} B/term, {s['bytes_per_node']:.1f} B/node")
        print(f"   to_bytes:                {spread_text(s['to_bytes_s'])} s = {spread_text(s['to_bytes_mb_per_s'])} MB/s")
        print(f"   from_bytes:              {spread_text(s['from_bytes_s'])} s = {spread_text(s['from_bytes_mb_per_s'])} MB/s")
        print(f"   build / from_bytes:      {spread_text(s['build_over_from_bytes'])}x")
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
        print()
        engines = [e for e in ("quillon", "rapidfuzz", "python_trie") if e in data["fuzzy_match"]["max_dist=0"]["words"]]
        print(
            "   fuzzy_match, microseconds per query: mean / p99; ratios = peer mean / quillon mean "
            f"(python walk in {min(result['python_repeats'], result['repeats'])} repeats)"
        )
        header = f"   {'set':<8}{'k':>2}{'hits':>8}"
        for e in engines:
            header += f"  {e + ' mean':>26}{'p99':>9}"
        if len(engines) > 1:
            header += f"  {'rapidfuzz/quillon':>24}  {'python/quillon':>22}"
        print(header)
        for k in MAX_DISTS:
            for kind, cell in data["fuzzy_match"][f"max_dist={k}"].items():
                line = f"   {kind:<8}{k:>2}{cell['mean_hits']:>8.1f}"
                for e in engines:
                    line += f"  {spread_text(cell[e]['mean_us']):>26}{cell[e]['p99_us']['median']:>9.4g}"
                if len(engines) > 1:
                    line += f"  {spread_text(cell['rapidfuzz_over_quillon'], '{:.1f}'):>24}"
                    line += f"  {spread_text(cell['python_trie_over_quillon'], '{:.1f}'):>22}"
                print(line)
        print()
        print("   fuzzy_match_video (max_dist 1), microseconds per query: mean / p99")
        for name, cell in data["fuzzy_match_video"].items():
            print(f"   {name:<26} {spread_text(cell['mean_us']):>26} {cell['p99_us']['median']:>9.4g}")
        walk = data.get("walk_bench")
        if walk:
            print()
            print("   C++ core walk (walk_bench, same queries): ns per query, fast vs reference")
            print(walk["text"].rstrip().replace("\n", "\n   | ").join(("   | ", "")))
    print()
    print_targets(result)


def fmt_load(load):
    return " ".join(f"{x:.2f}" for x in load)


def print_targets(result):
    print("== targets (median [min..max] over repeats; 'met' judged on the median)")
    for data in result["lists"]:
        name = os.path.basename(data["words_path"])
        for line in target_lines(data):
            print(f"   {name}: {line}")


def target_lines(data):
    lines = []

    def verdict(value, target):
        return "met" if value >= target else "NOT met"

    fm = data["fuzzy_match"]
    for k, target in TARGET_RAPIDFUZZ.items():
        cell = fm[f"max_dist={k}"]["words"]
        if "rapidfuzz_over_quillon" in cell:
            r = cell["rapidfuzz_over_quillon"]
            lines.append(
                f"fuzzy_match max_dist {k} vs RapidFuzz scan: {spread_text(r, '{:.1f}')}x "
                f"(target >= {target:g}x: {verdict(r['median'], target)})"
            )
    walk = data.get("walk_bench")
    if walk:
        for k in (1, 2):
            r = walk["json"]["results"][f"max_dist={k}"]["words"]["reference_over_fast"]
            lines.append(
                f"core walk max_dist {k} vs reference twin: {spread_text(r, '{:.2f}')}x "
                f"(target >= {TARGET_WALK:g}x: {verdict(r['median'], TARGET_WALK)})"
            )
    s, b = data["stored"], data["build"]
    r = s["build_over_from_bytes"]
    lines.append(
        f"from_bytes vs from_internal_data_v2: {spread_text(r)}x faster "
        f"(target >= {TARGET_RESTORE:g}x: {verdict(r['median'], TARGET_RESTORE)})"
    )
    for key, label in (("to_bytes_mb_per_s", "encode (to_bytes)"), ("from_bytes_mb_per_s", "decode (from_bytes)")):
        r = s[key]
        lines.append(
            f"{label}: {spread_text(r)} MB/s (target >= {TARGET_CODEC_MBS:g}: "
            f"{verdict(r['median'], TARGET_CODEC_MBS)})"
        )
    r = b["nodes_per_s"]
    lines.append(
        f"from_internal_data_v2 top_n {TOP_N}: {spread_text(r, '{:,.0f}')} nodes/s "
        f"(target >= {TARGET_NODES_PER_S:,.0f}: {verdict(r['median'], TARGET_NODES_PER_S)})"
    )
    return lines


# --------------------------------------------------------------------------


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--words",
        action="append",
        metavar="PATH",
        help=f"word list, one UTF-8 word a line; repeat for several lists (default {DEFAULT_WORDS})",
    )
    p.add_argument("--repeats", type=int, default=None, help="timed repeats of every measurement (default 5)")
    p.add_argument("--queries", type=int, default=None, help="queries of each kind (default 100)")
    p.add_argument(
        "--python-repeats", type=int, default=3, help="repeats that include the plain-Python walk (default 3)"
    )
    p.add_argument(
        "--time-budget",
        type=float,
        default=30.0,
        metavar="S",
        help="stop repeating construction and to_bytes/from_bytes once that loop has used S seconds (default 30)",
    )
    p.add_argument("--seed", type=int, default=20261207, help="seed of the catalogue and the queries")
    p.add_argument("--sample-words", type=int, metavar="N", help="use about N evenly spaced words of each list")
    p.add_argument(
        "--quick",
        action="store_true",
        help="smoke run: 2 repeats, 15 queries of each kind, 20,000 words of each list",
    )
    p.add_argument("--json", metavar="OUT", help="also write the results as JSON to OUT")
    p.add_argument("--no-peers", action="store_true", help="time the module alone (no RapidFuzz, no Python walk)")
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory child processes")
    p.add_argument(
        "--walk-bench",
        metavar="BIN",
        help="path of the built walk_bench: also run the C++ walk benchmark on the same queries",
    )
    p.add_argument("--child-phase", choices=("build", "restore"), help=argparse.SUPPRESS)
    p.add_argument("--child-file", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    args.words = args.words or [DEFAULT_WORDS]
    if args.repeats is None:
        args.repeats = 2 if args.quick else 5
    if args.queries is None:
        args.queries = 15 if args.quick else 100
    if args.quick and args.sample_words is None:
        args.sample_words = 20_000
    if args.repeats < 1 or args.queries < 1:
        p.error("--repeats and --queries must be at least 1")
    return args


def main(argv=None):
    args = parse_args(argv)
    if args.child_phase:
        child_phase(args)
        return
    from _quillon import PrefixSearch

    import _quillon

    rapidfuzz_parts = (None, None)
    result = {
        "machine": machine_info(),
        "module": _quillon.__file__,
        "repeats": args.repeats,
        "python_repeats": args.python_repeats,
        "seed": args.seed,
        "sample_words": args.sample_words,
    }
    if not args.no_peers:
        try:
            import rapidfuzz
            from rapidfuzz import process
            from rapidfuzz.distance import Levenshtein
        except ImportError:
            raise SystemExit("RapidFuzz is missing: pip install rapidfuzz (or pass --no-peers)")
        rapidfuzz_parts = (process, Levenshtein.distance)
        result["rapidfuzz"] = rapidfuzz.__version__
    walk_bin = args.walk_bench
    if walk_bin and not (os.path.isfile(walk_bin) or shutil.which(walk_bin)):
        raise SystemExit(f"walk_bench not found: {walk_bin}")
    result["lists"] = []
    started = time.perf_counter()
    for path in args.words:
        if not os.path.isfile(path):
            raise SystemExit(f"word list not found: {path} (see benchmarks/README.md for apt-get install)")
        progress(path)
        data = bench_words(args, path, PrefixSearch, rapidfuzz_parts)
        if not args.no_memory:
            progress("peak memory (fresh child processes)")
            data["memory"] = measure_memory(args, path)
        if walk_bin:
            progress("walk_bench")
            words = load_words(path, args.sample_words)
            queries = make_queries(words, args.queries, args.seed)
            parsed, text = run_walk_bench(walk_bin, path, queries, args.repeats, args.sample_words)
            d = data["dataset"]
            if (parsed["terms"], parsed["nodes"]) != (d["terms"], d["nodes"]):
                raise SystemExit(
                    f"walk_bench built another trie: {parsed['terms']} terms, {parsed['nodes']} nodes "
                    f"(bench.py: {d['terms']}, {d['nodes']})"
                )
            data["walk_bench"] = {"json": parsed, "text": text}
        result["lists"].append(data)
    result["loadavg_end"] = os.getloadavg()
    result["wall_s"] = time.perf_counter() - started
    print_report(result)
    print(f"\n(total {result['wall_s']:.0f} s)")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
