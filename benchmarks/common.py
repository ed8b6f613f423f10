"""What the benchmarks share, so that each benchmark file keeps to its question.

- Data sets: load_dataset (a Debian word list's terms and their trie with a
  synthetic video catalogue), make_queries (stored words after 0, 1 or 2
  edits, typed prefixes), typed_prefixes and prefixes_of (keystrokes).
- Timing: timed_calls and time_keystrokes (one call per query or keystroke),
  fastest, percentile, summary and spread_text (median [min..max] over the
  repeats), CpuMeter and OtherProcesses (how busy the rest of the machine was).
- Builds compared in one run (--module-path): compare_builds.
- The run: parse_args, run_word_lists, print_header, print_targets, write_json.

Only the standard library is imported at module level: build_bench.py's
driver must stay small, since each child's peak memory starts from its size.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pathlib
import platform
import random
import re
import statistics
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PACKAGE_DIR = os.path.join(REPO, "python")

ENGLISH = "/usr/share/dict/american-english-large"
FRENCH = "/usr/share/dict/french"
SEED = 20261207
QUICK_WORDS = 20_000
TOP_N = 50
EDIT_KINDS = ("edit0", "edit1", "edit2")
QUERY_KINDS = EDIT_KINDS + ("prefix",)
PREFIX_LENGTHS = (2, 3, 4, 5, 6)
# Other processes busier than this (cores) competed with a benchmark for
# one of the two cores.
BUSY_CORES = 0.3


# --------------------------------------------------------------------------
# Data sets
# --------------------------------------------------------------------------


def load_words(path, sample=None):
    """The distinct non-empty lines of a UTF-8 word list, in code point order;
    with `sample`, about that many of them, evenly spaced.

    Sorted input makes each node's children appear in label order in a trie
    built by inserting the words in turn, which is the order the module
    reports hits in."""
    with open(path, encoding="utf-8") as f:
        words = sorted({line.strip() for line in f} - {""})
    if sample and sample < len(words):
        step = len(words) / sample
        words = [words[int(i * step)] for i in range(sample)]
    return words


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


def prefixes_of(words, max_prefix=0):
    """The keystrokes of typing each word one character at a time: its
    prefixes of 1 to max_prefix characters (0: up to the whole word)."""
    keystrokes = []
    for word in words:
        last = len(word) if max_prefix == 0 else min(len(word), max_prefix)
        keystrokes.extend(word[:n] for n in range(1, last + 1))
    return keystrokes


def typed_prefixes(words, count, seed, max_prefix):
    """`count` words drawn with `seed`, and their keystrokes (prefixes_of)."""
    sample = random.Random(seed).sample(words, min(count, len(words)))
    return sample, prefixes_of(sample, max_prefix)


def debian_package(path):
    """The Debian package (and version) that installed a word list."""
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


class Dataset:
    """A word list's terms and the trie arrays of them (trie_arrays), with
    `info`: what the reports say of them, and how long each step took;
    `other_cores`: how busy the rest of the machine was meanwhile."""

    def __init__(self, path, sample_words, seed):
        meter = CpuMeter()
        t0 = time.perf_counter()
        self.words = load_words(path, sample_words)
        t1 = time.perf_counter()
        self.arrays = trie_arrays(self.words, seed)
        t2 = time.perf_counter()
        self.path = path
        self.nodes = len(self.arrays["child_labels"])
        self.info = {
            "terms": len(self.words),
            "non_ascii_terms": sum(1 for w in self.words if not w.isascii()),
            "mean_length": statistics.fmean(len(w) for w in self.words),
            "max_length": max(len(w) for w in self.words),
            "nodes": self.nodes,
            "videos": len(self.arrays["video_index"]),
            "video_top_n": TOP_N,
            "package": debian_package(path),
            "load_s": t1 - t0,
            "build_arrays_s": t2 - t1,
        }
        self.other_cores = meter.other_cores()
        progress(f"{len(self.words):,} terms, {self.nodes:,} nodes; build_arrays {t2 - t1:.1f} s")


def load_dataset(path, sample_words=None, seed=SEED):
    return Dataset(path, sample_words, seed)


def built_and_restored(arrays):
    """The instance built from `arrays`, the one restored from its stored
    form, and those bytes; the restored one must encode to the same bytes."""
    from _quillon import PrefixSearch

    built = PrefixSearch.from_internal_data_v2(**arrays)
    data = built.to_bytes()
    restored = PrefixSearch.from_bytes(data)
    check(restored.to_bytes() == data, "to_bytes(from_bytes(b)) != b")
    return built, restored, data


def dataset_heading(path, info):
    return (
        f"== {path} ({info['package']}): {info['terms']:,} terms ({info['non_ascii_terms']:,} non-ASCII), "
        f"{info['nodes']:,} nodes, {info['videos']:,} videos, top_n {info['video_top_n']}"
    )


def print_list_heading(data, *lines):
    """A word list's part of a report: the data set, `lines`, and how busy
    the rest of the machine was (data["noise_other_cores"])."""
    print()
    print(dataset_heading(data["words_path"], data["dataset"]))
    for line in lines:
        print(f"   {line}")
    print(f"   {busy_text(data['noise_other_cores'])}")


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


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


def time_keystrokes(call, keystrokes):
    """Nanoseconds of call(keystroke) for each keystroke, one pass, the
    collector paused during the pass (a collection would land on whichever
    keystroke happened to trigger it)."""
    clock = time.perf_counter_ns
    times = []
    gc.collect()
    gc.disable()
    try:
        for q in keystrokes:
            t0 = clock()
            call(q)
            times.append(clock() - t0)
    finally:
        gc.enable()
    return times


def fastest(runs, indexes=None):
    """Each item's least time over the repeats (`runs`: one list of times per
    repeat), for the items at `indexes` (default all): what the item itself
    costs. An item looks slow only if every repeat found it slow, not because
    the machine was busy with something else once."""
    indexes = range(len(runs[0])) if indexes is None else indexes
    return [min(run[i] for run in runs) for i in indexes]


def percentile(values, fraction):
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, math.ceil(fraction * len(ordered)) - 1)]


def summary(samples):
    """Median, min and max of the per-repeat values."""
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples), "samples": samples}


def spread_text(s, fmt="{:.3g}"):
    """A summary as "median [min..max]"."""
    return f"{fmt.format(s['median'])} [{fmt.format(s['min'])}..{fmt.format(s['max'])}]"


class QueryStats:
    """Per-query times of one cell (engine, query set, setting) over repeats."""

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
    return summary([s / f for s, f in zip(slow.means, fast.means)])


def cpu_clock_seconds(pid="self"):
    """User and system CPU time of a live process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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
        """None where /proc/stat is missing or the phase was too short for its
        clock ticks (1/100 s) to tell."""
        wall = time.perf_counter() - self._t0
        busy = self._busy()
        if busy is None or self._b0 is None or wall < 0.5:
            return None
        return max(0.0, (busy - self._b0) - (self._own() - self._o0)) / wall


class OtherProcesses:
    """CpuMeter's reading less the CPU time of processes the benchmark runs
    but does not wait for (build workers, a server), which the caller adds."""

    def __init__(self):
        self._meter = CpuMeter()
        self._started = time.perf_counter()
        self._workers_cpu = 0.0

    def add_worker_cpu(self, seconds):
        self._workers_cpu += seconds

    def cores(self):
        busy = self._meter.other_cores()
        if busy is None:
            return None
        return max(0.0, busy - self._workers_cpu / (time.perf_counter() - self._started))


def busy_text(noise):
    """The line that states how many cores other processes kept busy, one
    figure or one per phase ({phase: cores}), with a note when the run
    competed for CPU."""
    phases = noise if isinstance(noise, dict) else {"": noise}
    shown = ", ".join(
        f"{name} {'n/a' if cores is None else f'{cores:.2f}'}".strip() for name, cores in phases.items()
    )
    busy = [cores for cores in phases.values() if cores is not None]
    if not busy:
        return "other processes' CPU use: not measured"
    note = (
        f" (NOTE: up to {max(busy):.2f} of {os.cpu_count()} cores: this run competed for CPU, expect wide spreads)"
        if max(busy) > BUSY_CORES
        else ""
    )
    return f"other processes' CPU use (cores): {shown}{note}"


def status_kib(field, pid="self"):
    """A field of /proc/PID/status in KiB (VmRSS, VmHWM), or None."""
    with open(f"/proc/{pid}/status") as f:
        match = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    return int(match.group(1)) if match else None


# --------------------------------------------------------------------------
# The machine and the report
# --------------------------------------------------------------------------


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


def machine_line(m):
    return f"machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}, Python {m['python']}"


def load_line(result):
    load = lambda values: " ".join(f"{x:.2f}" for x in values)  # noqa: E731
    return f"load average at start {load(result['machine']['loadavg_start'])}, at end {load(result['loadavg_end'])}"


def print_header(result, note="figures are median [min..max] over the repeats"):
    """The machine, the module or builds timed, repeats and seed, the load."""
    print(machine_line(result["machine"]))
    if "module" in result:
        print(f"module:  {result['module']}")
    for line in result.get("builds", ()):
        print(f"build {line}")
    print(f"repeats: {result['repeats']}, seed {result['seed']}; {note}")
    print(load_line(result))


def progress(message):
    print(f"... {message}", file=sys.stderr, flush=True)


def check(condition, message):
    """Stops the benchmark when two engines (or two builds) disagree."""
    if not condition:
        raise SystemExit(f"ANSWERS DISAGREE: {message}")


def verdict(met):
    return "met" if met else "NOT met"


def print_targets(result, lines_of):
    """The targets of the speed work, lines_of(data) for each word list."""
    print()
    print("== targets (median [min..max] over repeats; 'met' judged on the median)")
    for data in result["lists"]:
        name = os.path.basename(data["words_path"])
        for line in lines_of(data):
            print(f"   {name}: {line}")


def target_line(label, s, target, fmt="{:.3g}", unit="x"):
    """One target: a summary against the least median that meets it."""
    goal = f"{target:,.0f}" if target >= 1000 else f"{target:g}"
    return f"{label}: {spread_text(s, fmt)}{unit} (target >= {goal}{unit}: {verdict(s['median'] >= target)})"


def write_json(path, result):
    if path:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)


# --------------------------------------------------------------------------
# Options and the run over the word lists
# --------------------------------------------------------------------------


def parse_args(argv, doc, quick_help, counts, words=None, module_paths=False, more=None, seed=SEED, at_least_zero=()):
    """The options of a benchmark: --seed, --quick, --json, and each count of
    `counts` ({name: (value with --quick, value without, help)}) as --name N;
    with `words` (the default lists), --words and --sample-words, --quick
    then sampling QUICK_WORDS words of each list; with module_paths,
    --module-path. more(parser) adds the benchmark's own options. Counts
    must be at least 1 (those named in at_least_zero, 0)."""
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    for name, (_quick, full, text) in counts.items():
        p.add_argument("--" + name.replace("_", "-"), type=int, metavar="N", help=f"{text} (default {full:,})")
    p.add_argument("--seed", type=int, default=seed, help=f"seed of the data and of any sampling (default {seed})")
    p.add_argument("--quick", action="store_true", help=f"smoke run: {quick_help}")
    p.add_argument("--json", metavar="OUT", help="also write the results as JSON to OUT")
    if words:
        names = " and ".join(os.path.basename(w) for w in words)
        p.add_argument("--words", action="append", metavar="PATH", help=f"word list, one UTF-8 word a line; repeat for several (default {names})")
        p.add_argument("--sample-words", type=int, metavar="N", help="use about N evenly spaced words of each list")
    if module_paths:
        p.add_argument(
            "--module-path",
            action="append",
            metavar="DIR",
            help="a directory holding a built _quillon (a CMake build directory, or site-packages); "
            "repeat to compare builds in one run, the first being the baseline (default: the installed module)",
        )
        p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    if more:
        more(p)
    args = p.parse_args(argv)
    for name, (quick, full, _text) in counts.items():
        if getattr(args, name) is None:
            setattr(args, name, quick if args.quick else full)
        low = 0 if name in at_least_zero else 1
        if getattr(args, name) < low:
            p.error(f"--{name.replace('_', '-')} must be at least {low}")
    if words:
        args.words = args.words or list(words)
        if args.quick and args.sample_words is None:
            args.sample_words = QUICK_WORDS
    return args


def run_word_lists(args, measure_list, print_report, **header):
    """A benchmark's main loop: measure_list(args, path) for each word list,
    then the report (print_report(result)) and the JSON."""
    for path in args.words:
        if not os.path.isfile(path):
            raise SystemExit(f"word list not found: {path} (see benchmarks/README.md for apt-get install)")
    result = {
        "machine": machine_info(),
        **header,
        "repeats": args.repeats,
        "seed": args.seed,
        "sample_words": args.sample_words,
    }
    started = time.perf_counter()
    result["lists"] = []
    for path in args.words:
        progress(path)
        result["lists"].append(measure_list(args, path))
    result["loadavg_end"] = os.getloadavg()
    result["wall_s"] = time.perf_counter() - started
    print_report(result)
    print(f"\n(total {result['wall_s']:.0f} s)")
    write_json(args.json, result)
    return result


def installed_module():
    import _quillon

    return _quillon.__file__


# --------------------------------------------------------------------------
# Builds compared in one run (--module-path)
#
# One worker process per build: the same script run with --worker, its import
# path led by the build's directory, so that each imports its own _quillon.
# The parent sends one request at a time (a JSON line on the worker's stdin)
# and reads one JSON line back, the builds taking turns repeat by repeat
# (in_turn) so that a disturbance from elsewhere falls on all of them alike.
# The first build writes the data every worker loads, in a worker of its own
# that exits afterwards (prepare_tries); every worker checks that it reads
# those bytes back unchanged (load_stored).
# --------------------------------------------------------------------------


class WorkerError(RuntimeError):
    pass


class WorkerProcess:
    """A child process answering requests one JSON line at a time: each
    {"op", "args"} gets back {"ok": result} or {"error": traceback}."""

    def __init__(self, what, command, env, cwd=None, close_timeout=60):
        self._what = what  # names the worker in errors
        self._close_timeout = close_timeout
        self._process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1, env=env, cwd=cwd
        )

    @property
    def pid(self):
        return self._process.pid

    def call(self, op, **args):
        self._process.stdin.write(json.dumps({"op": op, "args": args}) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise WorkerError(f"{self._what}: the worker exited (code {self._process.wait()})")
        reply = json.loads(line)
        if "error" in reply:
            raise WorkerError(f"{self._what}: {op} failed:\n{reply['error']}")
        return reply["ok"]

    def close(self):
        if self._process.poll() is None:
            self._process.stdin.close()
            self._process.wait(timeout=self._close_timeout)


class Build(WorkerProcess):
    """One build of _quillon, served by a worker process."""

    def __init__(self, label, module_path, script):
        self.module_path = module_path
        env = dict(os.environ)
        # The build's directory first; the package sources last, for
        # build_arrays when the directory holds the extension alone.
        path = [p for p in (module_path, env.get("PYTHONPATH"), HERE, PACKAGE_DIR) if p]
        env["PYTHONPATH"] = os.pathsep.join(path)
        super().__init__(f"build {label}", [sys.executable, script, "--worker"], env)
        self.label = label
        self.module_file = self.call("hello")["module"]
        if module_path and os.path.dirname(os.path.realpath(self.module_file)) != os.path.realpath(module_path):
            self.close()
            raise SystemExit(f"--module-path {module_path}: no _quillon there (imported {self.module_file})")

    def describe(self):
        return f"{self.label} = {self.module_path or 'the installed module'} ({self.module_file})"


def start_builds(script, module_paths):
    """One Build per module path (labelled A, B, ...), or one for the
    installed module when there is none."""
    paths = module_paths or [None]
    if len(paths) > 26:
        raise SystemExit("at most 26 --module-path options")
    builds = []
    try:
        for index, path in enumerate(paths):
            if path is not None and not os.path.isdir(path):
                raise SystemExit(f"--module-path {path}: not a directory")
            builds.append(Build(chr(ord("A") + index), path, script))
    except BaseException:
        for build in builds:
            build.close()
        raise
    return builds


def prepare_tries(script, build, words_path, seed, sample_words, directory):
    """Writes trie.bin and twin.bin (see prepare) with `build`'s module, in a
    worker of its own that exits afterwards: the workers that are measured
    all start from the same state, none with the heap that building left."""
    setup = Build(f"{build.label} (setup)", build.module_path, script)
    try:
        return setup.call(
            "prepare", words_path=words_path, seed=seed, sample_words=sample_words, directory=directory
        )
    finally:
        setup.close()


def in_turn(builds, repeat):
    """The builds in the order of one repeat: reversed every other repeat,
    so that no build always runs first (or right after another's garbage)."""
    return builds if repeat % 2 == 0 else builds[::-1]


def compare_builds(script, args, handlers, measure_list, print_report):
    """A build-against-build benchmark's main: serves requests when run as a
    worker; otherwise starts the builds' workers and runs
    measure_list(args, path, workers) over the word lists."""
    if args.worker:
        serve(handlers)
        return
    workers = start_builds(script, args.module_path)
    try:
        run_word_lists(
            args,
            lambda a, path: measure_list(a, path, workers),
            print_report,
            builds=[w.describe() for w in workers],
        )
    finally:
        for w in workers:
            w.close()


def serve(handlers):
    """Answers requests on stdin until it closes. Nothing else may write to
    stdout: progress and diagnostics go to stderr."""
    import _quillon

    answer_requests(dict(handlers, hello=lambda: {"module": _quillon.__file__}, prepare=prepare))


def answer_requests(handlers):
    """The loop of a WorkerProcess's child: each request on stdin is
    handlers[op](**args); the reply, or the traceback, one line on stdout
    (anything else the handlers print goes to stderr)."""
    out = sys.stdout
    sys.stdout = sys.stderr
    for line in sys.stdin:
        request = json.loads(line)
        try:
            reply = {"ok": handlers[request["op"]](**request["args"])}
        except Exception:  # noqa: BLE001 - reported to the parent, which stops
            reply = {"error": traceback.format_exc()}
        out.write(json.dumps(reply) + "\n")
        out.flush()


def prepare(words_path, seed, sample_words, directory):
    """Writes the stored forms of the benchmark trie (trie.bin) and of its
    twin with empty payloads (twin.bin) into `directory`; returns what they
    hold. The twin keeps every payload present, with total 0 and no videos,
    so that the same nodes are terms and every walk is the same."""
    from _quillon import PrefixSearch

    started = time.perf_counter()
    dataset = load_dataset(words_path, sample_words, seed)
    arrays = dataset.arrays
    search = PrefixSearch.from_internal_data_v2(**arrays)
    twin_arrays = dict(arrays, payloads=[None if p is None else (0, [], []) for p in arrays["payloads"]])
    twin = PrefixSearch.from_internal_data_v2(**twin_arrays)
    for name, instance in (("trie.bin", search), ("twin.bin", twin)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(instance.to_bytes())
    return dict(dataset.info, seconds=time.perf_counter() - started)


def load_stored(directory, name):
    """The instance stored in directory/name, checked to encode back to the
    same bytes, and those bytes."""
    from _quillon import PrefixSearch

    with open(os.path.join(directory, name), "rb") as f:
        data = f.read()
    search = PrefixSearch.from_bytes(data)
    if search.to_bytes() != data:
        raise RuntimeError(f"{name}: to_bytes(from_bytes(b)) != b")
    return search, data


# --------------------------------------------------------------------------
# Completions: the data sets, the typing sessions and the peers
# (completion_quality.py, completion_speed.py)
#
# Three data sets, each an index written by quillon build and the searches
# that sessions are drawn from: "example", the example video site of
# quillon.example.site (its held-out log); "million", the same generator at a
# million distinct queries and more (part files, as examples/make_video_site.py
# writes them); "english", a word list with the counts that load_dataset's
# catalogue gives (sessions drawn from the list by those counts). Generated
# once into --data and reused while the generator and the parameters are
# the same.
# --------------------------------------------------------------------------

COMPLETION_DATA = "/tmp/quillon-bench/completions"
COMPLETION_SETS = ("example", "million", "english")
SITE_ROWS = 300_000
MILLION_ROWS = 4_000_000
QUICK_SITE_ROWS = 20_000
QUICK_SITE_VIDEOS = 2_000
QUICK_COMPLETION_WORDS = 5_000
REDISEARCH_MODULE = "/usr/lib/redis/modules/redisearch.so"


def completion_options(parser):
    """The options the completion benchmarks share (parse_args's `more`)."""
    parser.add_argument("--data", default=COMPLETION_DATA, metavar="DIR", help=f"where the data sets are generated and kept (default {COMPLETION_DATA})")
    parser.add_argument("--sets", default=",".join(COMPLETION_SETS), metavar="NAMES", help="data sets, comma-separated, of " + ", ".join(COMPLETION_SETS) + " (default all; --quick: example,english at small sizes)")
    parser.add_argument("--site-rows", type=int, metavar="N", help=f"searches in the example site's log (default {SITE_ROWS:,}; --quick {QUICK_SITE_ROWS:,})")
    parser.add_argument("--million-rows", type=int, default=MILLION_ROWS, metavar="N", help=f"searches in the million set's log (default {MILLION_ROWS:,}: 1.1 million distinct queries)")
    parser.add_argument("--words", default=ENGLISH, metavar="PATH", help=f"the word list of the english set (default {ENGLISH})")
    parser.add_argument("--sample-words", type=int, metavar="N", help=f"about N evenly spaced words of the list (default all; --quick {QUICK_COMPLETION_WORDS:,})")
    parser.add_argument("--typos", type=float, default=0.5, metavar="FRACTION", help="share of sessions typed with typos, a quarter of them with two (default 0.5)")


def completion_set_names(args):
    names = [name.strip() for name in args.sets.split(",") if name.strip()]
    for name in names:
        if name not in COMPLETION_SETS:
            raise SystemExit(f"--sets: unknown data set {name!r} (of {', '.join(COMPLETION_SETS)})")
    if args.quick and args.sets == ",".join(COMPLETION_SETS):
        names = ["example", "english"]
    return names


class CompletionSet:
    """One data set: its index (opened without the SHA-256 check; the build
    wrote it), the searches that sessions are drawn from, and what the
    report says of them."""

    def __init__(self, name, index_path, searches, info):
        from quillon import Index

        self.name = name
        self.index_path = index_path
        self.index = Index.open(index_path, verify=False)
        self.searches = searches
        self.info = dict(info, terms=self.index.manifest.terms, nodes=self.index.manifest.nodes, index_bytes=self.index.size_bytes)

    def heading(self):
        i = self.info
        return f"== {self.name}: {i['source']}; {i['terms']:,} terms, {i['nodes']:,} nodes, index {i['index_bytes'] / 2**20:,.1f} MiB"


def _source_digest(module):
    import hashlib

    with open(module.__file__, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def _builder_digest():
    """The code that turns a log into an index: a set whose index an earlier
    build wrote is built again when it changes."""
    import hashlib
    import importlib

    digest = hashlib.sha256()
    # By import_module: quillon.build's own names shadow some of its modules.
    for name in ("quillon.build.aggregate", "quillon.build.pipeline", "quillon.normalize", "quillon._engine"):
        with open(importlib.import_module(name).__file__, "rb") as f:
            digest.update(f.read())
    return digest.hexdigest()[:16]


def _cached(folder, stamp, make):
    """Runs make(folder) unless folder/stamp.json records the same stamp."""
    path = os.path.join(folder, "stamp.json")
    try:
        with open(path, encoding="utf-8") as f:
            if json.load(f) == stamp:
                return
    except (OSError, ValueError):
        pass
    os.makedirs(folder, exist_ok=True)
    make(folder)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(stamp, f)


def quillon_build(sources, index, *options):
    """`quillon build SOURCES -o INDEX`, quiet; stops the benchmark on failure."""
    command = [sys.executable, "-m", "quillon", "build", *sources, "-o", index, "-q", *options]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"quillon build failed ({done.returncode}): {done.stderr.strip()}")


def site_set(args, name, rows, parts):
    """The example video site of `rows` searches (integer ids, so that any
    build reads them), its index and its held-out log."""
    import quillon.example.site as site
    from quillon.build.evaluate import read_searches

    videos = (QUICK_SITE_VIDEOS if args.quick else site.DEFAULT_VIDEOS) if parts is None else max(site.DEFAULT_VIDEOS, rows // 13)
    folder = os.path.join(args.data, f"{name}-{rows}-{args.seed}")
    stamp = {"rows": rows, "videos": videos, "parts": parts, "seed": args.seed, "generator": _source_digest(site), "builder": _builder_digest()}

    def make(folder):
        progress(f"{name}: generating {rows:,} searches (quillon.example.site) in {folder}")
        made = site.make_site(folder, rows, videos, args.seed, parts=parts, id_kind="int")
        progress(f"{name}: quillon build")
        quillon_build([str(made.search_log)], os.path.join(folder, "site.idx"))

    _cached(folder, stamp, make)
    suffix = ".parquet" if parts is None else ""
    held_out = os.path.join(folder, f"held_out{suffix}")
    searches = read_searches([held_out])
    source = f"quillon.example.site, {rows:,} searches of {videos:,} videos (seed {args.seed}), held out {searches.rows:,}"
    return CompletionSet(name, os.path.join(folder, "site.idx"), searches, {"source": source, "folder": folder, "rows": rows})


def word_counts(path, sample_words, seed):
    """A word list's words with the counts load_dataset's catalogue gives
    them (each word's payload total), in the list's order, and each word's
    (video, count) records."""
    words = load_words(path, sample_words)
    catalogue = Catalogue(len(words), seed)
    records = []
    for word in words:
        total, picks, counts = catalogue.payload()
        records.append((word, total, [(catalogue.ids[pick], count) for pick, count in zip(picks, counts)]))
    return records


def word_set(args):
    """The word list as a log (one row per word and video, with its count),
    its index, and sessions drawn from the words by their counts."""
    from quillon.build.evaluate import Searches

    sample = args.sample_words if args.sample_words is not None else (QUICK_COMPLETION_WORDS if args.quick else None)
    if not os.path.isfile(args.words):
        raise SystemExit(f"word list not found: {args.words} (see benchmarks/README.md for apt-get install)")
    records = word_counts(args.words, sample, args.seed)
    folder = os.path.join(args.data, f"english-{sample or 'all'}-{args.seed}")
    stamp = {"words": args.words, "size": os.path.getsize(args.words), "sample": sample, "seed": args.seed, "builder": _builder_digest()}

    def make(folder):
        import csv

        progress(f"english: {len(records):,} words to a log in {folder}")
        log = os.path.join(folder, "log.csv")
        with open(log, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(("term", "video_id", "count"))
            writer.writerows((word, video, count) for word, _total, pairs in records for video, count in pairs)
        quillon_build([log], os.path.join(folder, "words.idx"), "--count", "count")

    _cached(folder, stamp, make)
    searches = Searches([w for w, _, _ in records], [t for _, t, _ in records], [pathlib.Path(args.words)])
    source = f"{args.words} ({debian_package(args.words)}), {len(records):,} words, counts of load_dataset's catalogue (seed {args.seed})"
    return CompletionSet("english", os.path.join(folder, "words.idx"), searches, {"source": source, "folder": folder})


def completion_sets(args):
    """The data sets named by --sets, generated (or reused) in --data."""
    sets = []
    for name in completion_set_names(args):
        if name == "example":
            sets.append(site_set(args, "example", args.site_rows or (QUICK_SITE_ROWS if args.quick else SITE_ROWS), None))
        elif name == "million":
            sets.append(site_set(args, "million", args.million_rows, max(1, args.million_rows // 1_000_000)))
        else:
            sets.append(word_set(args))
    return sets


def completion_sessions(data, args):
    """quillon eval's sessions over the data set's searches."""
    from quillon.build.evaluate import make_sessions

    return make_sessions(data.searches, data.index.normalize, args.sessions, args.typos, args.seed)


def stored_completions(index):
    """Every stored term with its count, most searched first: the
    completions of the empty text, which every term completes."""
    hits = index.engine.complete("", 0, index.manifest.terms + 1)
    check(len(hits) == index.manifest.terms, f"{len(hits):,} completions of '' for {index.manifest.terms:,} terms")
    return [(term, count) for term, _display, _edits, count, _covered in hits]


def missing_peers():
    """What the peer engines need that is not installed: {name: how to get it}."""
    import importlib.util
    import shutil

    missing = {}
    if shutil.which("redis-server") is None:
        missing["redis-server"] = "apt-get install redis-server"
    if redisearch_module() is None:
        missing["the RediSearch module"] = "apt-get install redis-redisearch, or set QUILLON_REDISEARCH_MODULE"
    if importlib.util.find_spec("redis") is None:
        missing["redis (Python client)"] = "pip install redis"
    if importlib.util.find_spec("tantivy") is None:
        missing["tantivy (Python)"] = "pip install tantivy"
    if importlib.util.find_spec("rapidfuzz") is None:
        missing["rapidfuzz"] = "pip install rapidfuzz"
    return missing


def redisearch_module():
    """The RediSearch module file: $QUILLON_REDISEARCH_MODULE, Debian's, or
    what dpkg lists for redis-redisearch; None where there is none."""
    named = os.environ.get("QUILLON_REDISEARCH_MODULE")
    if named:
        return named if os.path.isfile(named) else None
    if os.path.isfile(REDISEARCH_MODULE):
        return REDISEARCH_MODULE
    try:
        listed = subprocess.run(["dpkg", "-L", "redis-redisearch"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = [line for line in listed.splitlines() if line.endswith(".so") and os.path.isfile(line)]
    return found[0] if found else None


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RediSearch:
    """A redis-server of our own with the RediSearch module, on a free port
    of 127.0.0.1, in a temporary folder, nothing saved; stopped by close()."""

    KEY = "completions"

    def __init__(self):
        import tempfile

        import redis

        module = redisearch_module()
        if module is None:
            raise SystemExit("the RediSearch module is not installed (apt-get install redis-redisearch)")
        self.folder = tempfile.mkdtemp(prefix="quillon-redisearch-")
        self.port = free_port()
        self._log = open(os.path.join(self.folder, "redis.log"), "w")
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", self.folder, "--loadmodule", module],
            stdout=self._log, stderr=subprocess.STDOUT,
        )  # fmt: skip
        self.client = redis.Redis(host="127.0.0.1", port=self.port)
        deadline = time.monotonic() + 20
        while True:
            try:
                self.client.ping()
                break
            except redis.ConnectionError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    raise SystemExit(f"redis-server did not start; see {self._log.name}")
                time.sleep(0.05)
        self.module = module
        self.version = self.client.info("server")["redis_version"]
        modules = self.client.execute_command("MODULE", "LIST")
        self.module_version = next((m[b"ver"] for m in modules if m[b"name"] in (b"ft", b"search")), None)

    def load(self, stored):
        """FT.SUGADD of every (term, count), the count as the score."""
        pipe = self.client.pipeline(transaction=False)
        for number, (term, count) in enumerate(stored, 1):
            pipe.execute_command("FT.SUGADD", self.KEY, term, count)
            if number % 10_000 == 0:
                pipe.execute()
        pipe.execute()
        held = self.client.execute_command("FT.SUGLEN", self.KEY)
        check(held == len(stored), f"RediSearch holds {held:,} suggestions of {len(stored):,} added")

    def complete(self, prefix, limit, fuzzy=True):
        found = self.client.execute_command("FT.SUGGET", self.KEY, prefix, *(("FUZZY",) if fuzzy else ()), "MAX", limit)
        return [term.decode() for term in found or ()]

    def reset_stats(self):
        self.client.execute_command("CONFIG", "RESETSTAT")

    def server_usec_per_call(self, command="ft.sugget"):
        """usec_per_call of `command` in INFO commandstats since the reset."""
        for name, stats in self.client.info("commandstats").items():
            if name.lower() == f"cmdstat_{command}":
                return float(stats["usec_per_call"]), int(stats["calls"])
        return None, 0

    def close(self):
        import shutil

        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class TantivyTerms:
    """tantivy (PyPI) over the stored terms: one document per term, the term
    indexed whole (raw tokenizer) and stored, its count a fast field;
    complete() is a fuzzy term query with prefix=True and swaps costing one,
    the hits ordered by count."""

    def __init__(self, stored):
        import tempfile

        import tantivy

        self.tantivy = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("term", stored=True, tokenizer_name="raw", index_option="basic")
        builder.add_unsigned_field("count", stored=False, indexed=False, fast=True)
        self.schema = builder.build()
        self.folder = tempfile.mkdtemp(prefix="quillon-tantivy-")
        self.index = tantivy.Index(self.schema, path=self.folder)
        writer = self.index.writer(heap_size=256_000_000, num_threads=1)
        for term, count in stored:
            doc = tantivy.Document()
            doc.add_text("term", term)
            doc.add_unsigned("count", count)
            writer.add_document(doc)
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()
        check(self.searcher.num_docs == len(stored), f"tantivy holds {self.searcher.num_docs:,} documents of {len(stored):,}")

    def hits(self, prefix, distance, limit):
        """(count, document address) of the best `limit`, by count."""
        query = self.tantivy.Query.fuzzy_term_query(
            self.schema, "term", prefix, distance=distance, transposition_cost_one=True, prefix=True
        )
        return self.searcher.search(query, limit, count=False, order_by_field="count").hits

    def complete(self, prefix, distance, limit):
        searcher = self.searcher
        return [searcher.doc(address)["term"][0] for _count, address in self.hits(prefix, distance, limit)]

    def close(self):
        import shutil

        shutil.rmtree(self.folder, ignore_errors=True)
