"""Several builds of _quillon measured in one session, each in its own process.

A benchmark that compares builds (main against a branch, say) starts one
worker process per build: the same script run with --worker, its import path
led by the build's directory, so that each process imports its own
_quillon. The parent sends each worker one request at a time (a JSON line on
its standard input) and reads one JSON line back; it interleaves the builds
repeat by repeat, so that a disturbance from elsewhere on the machine falls
on all of them alike. Without any --module-path, the one build is the
_quillon that this interpreter imports (the installed module).

The first build also writes the data every worker loads, in a worker of its
own that exits afterwards: the stored form of the benchmark's trie
(bench.py's catalogue and word list, built with the package's build_arrays),
and of its twin with the same nodes and empty payloads. Every worker checks
that it reads those bytes back unchanged.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.join(os.path.dirname(HERE), "python")


class WorkerError(RuntimeError):
    pass


class Build:
    """One build of _quillon, served by a worker process."""

    def __init__(self, label, module_path, script):
        self.label = label
        self.module_path = module_path
        env = dict(os.environ)
        # The build's directory first; the package sources last, for
        # build_arrays when the directory holds the extension alone.
        path = [p for p in (module_path, env.get("PYTHONPATH"), HERE, PACKAGE_DIR) if p]
        env["PYTHONPATH"] = os.pathsep.join(path)
        self._process = subprocess.Popen(
            [sys.executable, script, "--worker"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
            env=env,
        )
        self.module_file = self.call("hello")["module"]
        if module_path and os.path.dirname(os.path.realpath(self.module_file)) != os.path.realpath(module_path):
            self.close()
            raise SystemExit(f"--module-path {module_path}: no _quillon there (imported {self.module_file})")

    def call(self, op, **args):
        self._process.stdin.write(json.dumps({"op": op, "args": args}) + "\n")
        self._process.stdin.flush()
        line = self._process.stdout.readline()
        if not line:
            raise WorkerError(f"build {self.label}: the worker exited (code {self._process.wait()})")
        reply = json.loads(line)
        if "error" in reply:
            raise WorkerError(f"build {self.label}: {op} failed:\n{reply['error']}")
        return reply["ok"]

    def close(self):
        if self._process.poll() is None:
            self._process.stdin.close()
            self._process.wait(timeout=60)

    def describe(self):
        return f"{self.label} = {self.module_path or 'the installed module'} ({self.module_file})"


def start(script, module_paths):
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


class OtherProcesses:
    """How many cores the rest of the machine kept busy while the workers
    ran: bench.CpuMeter's reading, less the workers' own CPU time (the meter
    counts only waited-for children as this process's own)."""

    def __init__(self):
        import bench

        self._meter = bench.CpuMeter()
        self._started = time.perf_counter()
        self._workers_cpu = 0.0

    def add_worker_cpu(self, seconds):
        self._workers_cpu += seconds

    def cores(self):
        busy = self._meter.other_cores()
        if busy is None:
            return None
        return max(0.0, busy - self._workers_cpu / (time.perf_counter() - self._started))


def busy_text(cores):
    """The line that reports OtherProcesses.cores(), with a note when the run
    competed for CPU (on a 2-core machine, above about 0.3)."""
    if cores is None:
        return "other processes' CPU use: not measured"
    note = " (NOTE: competed for CPU; expect wide spreads)" if cores > 0.3 else ""
    return f"other processes' CPU use: {cores:.2f} cores{note}"


DEFAULT_WORDS = ("/usr/share/dict/american-english-large", "/usr/share/dict/french")


def parser(description, repeats_help):
    """The options every build-against-build benchmark takes; the caller adds
    its own and fills in the defaults that depend on --quick."""
    p = argparse.ArgumentParser(description=description)
    p.add_argument(
        "--words",
        action="append",
        metavar="PATH",
        help="word list, one UTF-8 word a line; repeat for several (default: the English and the French list)",
    )
    p.add_argument(
        "--module-path",
        action="append",
        metavar="DIR",
        help="a directory holding a built _quillon (a CMake build directory, or site-packages); "
        "repeat to compare builds in one run, the first being the baseline (default: the installed module)",
    )
    p.add_argument("--repeats", type=int, default=None, help=repeats_help)
    p.add_argument("--seed", type=int, default=20261207, help="seed of the catalogue and of any sampling")
    p.add_argument(
        "--sample-words", type=int, metavar="N", help="build the trie of about N evenly spaced words of each list"
    )
    p.add_argument("--json", metavar="OUT", help="also write the results as JSON to OUT")
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    return p


def main(script, args, handlers, measure_list, print_report):
    """A benchmark's main: serves requests when run as a worker; otherwise
    starts the builds' workers, measures each word list with
    measure_list(args, path, workers), prints the report and writes the
    JSON."""
    if args.worker:
        serve(handlers)
        return
    args.words = args.words or list(DEFAULT_WORDS)
    for path in args.words:
        if not os.path.isfile(path):
            raise SystemExit(f"word list not found: {path} (see benchmarks/README.md for apt-get install)")
    import bench

    workers = start(script, args.module_path)
    try:
        result = {
            "machine": bench.machine_info(),
            "builds": [w.describe() for w in workers],
            "repeats": args.repeats,
            "seed": args.seed,
            "lists": [measure_list(args, path, workers) for path in args.words],
        }
    finally:
        for w in workers:
            w.close()
    print_report(result)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump(result, f, indent=1)


# --------------------------------------------------------------------------
# Worker side
# --------------------------------------------------------------------------


def serve(handlers):
    """Answers requests on stdin until it closes. Nothing else may write to
    stdout: progress and diagnostics go to stderr."""
    import _quillon

    handlers = dict(handlers, hello=lambda: {"module": _quillon.__file__}, prepare=prepare)
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
    import bench
    from _quillon import PrefixSearch

    started = time.perf_counter()
    words = bench.load_words(words_path, sample_words)
    arrays = bench.trie_arrays(words, seed)
    search = PrefixSearch.from_internal_data_v2(**arrays)
    twin_arrays = dict(arrays, payloads=[None if p is None else (0, [], []) for p in arrays["payloads"]])
    twin = PrefixSearch.from_internal_data_v2(**twin_arrays)
    for name, instance in (("trie.bin", search), ("twin.bin", twin)):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(instance.to_bytes())
    return {
        "terms": len(words),
        "non_ascii_terms": sum(1 for w in words if not w.isascii()),
        "nodes": len(arrays["child_labels"]),
        "videos": len(arrays["video_index"]),
        "video_top_n": bench.TOP_N,
        "package": bench.debian_package(words_path),
        "seconds": time.perf_counter() - started,
    }


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
