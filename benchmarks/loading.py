"""How fast the stored form loads: from_bytes (and to_bytes) in MB/s.

The trie of each word list (common.load_dataset: a synthetic catalogue,
top_n 50) is written once with to_bytes, then every build restores it in two
settings, the builds taking turns repeat by repeat (--module-path, as
keystrokes.py):

- fresh: from_bytes is the first thing a new process does with the module,
  as a service restoring its trie at start-up: every page it fills is new.
  One process per restore.
- loop: a long-lived process restores it over and over, the previous
  instance freed first, as construction.py's loop does (after two untimed
  restores, so that every build's allocator is in the same steady state). What the
  allocator kept from earlier calls makes this setting depend on the past.

Each restore is checked to write the same bytes back. MB/s are 10^6 bytes of
the stored form per second, on the wall clock and on the process's own CPU
time (which leaves out the time the machine gave to other processes).
"""

from __future__ import annotations

import gc
import os
import sys
import tempfile
import time

import common
from construction import TARGET_CODEC_MBS as TARGET_MB_S

SETTINGS = ("fresh", "loop")
WARM_UP = 2
FIGURES = ("from_bytes_mb_per_s", "from_bytes_cpu_mb_per_s", "to_bytes_mb_per_s", "to_bytes_cpu_mb_per_s")

_state = {}


def restore_and_encode(data):
    """One from_bytes and one to_bytes of `data`, on the wall clock and in
    CPU time; nothing of an earlier call is alive."""
    from _quillon import PrefixSearch

    started = time.process_time()
    gc.collect()
    wall, cpu = time.perf_counter(), time.process_time()
    search = PrefixSearch.from_bytes(data)
    out = {"from_bytes_s": time.perf_counter() - wall, "from_bytes_cpu_s": time.process_time() - cpu}
    wall, cpu = time.perf_counter(), time.process_time()
    encoded = search.to_bytes()
    out.update(to_bytes_s=time.perf_counter() - wall, to_bytes_cpu_s=time.process_time() - cpu)
    if encoded != data:
        raise RuntimeError("to_bytes(from_bytes(b)) != b")
    del search, encoded
    out["cpu_s"] = time.process_time() - started
    return out


def stored_bytes(directory):
    with open(os.path.join(directory, "trie.bin"), "rb") as f:
        return f.read()


def worker_fresh(directory):
    """The fresh setting: this process has restored nothing before."""
    return restore_and_encode(stored_bytes(directory))


def worker_load(directory):
    """The loop setting: reads the stored trie and restores it WARM_UP times
    untimed."""
    _state["data"] = stored_bytes(directory)
    for _ in range(WARM_UP):
        restore_and_encode(_state["data"])
    return {"bytes": len(_state["data"])}


def worker_loop():
    return restore_and_encode(_state["data"])


def measure_list(args, words_path, workers):
    script = os.path.abspath(__file__)
    runs = {(setting, w.label): [] for setting in SETTINGS for w in workers}
    others = common.OtherProcesses()
    with tempfile.TemporaryDirectory(prefix="quillon-loading-") as tmp:
        common.progress(f"{words_path}: building the trie with build {workers[0].label}")
        dataset = common.prepare_tries(script, workers[0], words_path, args.seed, args.sample_words, tmp)
        size = [w.call("load", directory=tmp)["bytes"] for w in workers][0]
        for repeat in range(args.repeats):
            for w in common.in_turn(workers, repeat):
                fresh = common.Build(w.label, w.module_path, script)
                try:
                    runs[("fresh", w.label)].append(fresh.call("fresh", directory=tmp))
                finally:
                    fresh.close()
                runs[("loop", w.label)].append(w.call("loop"))
                for setting in SETTINGS:
                    others.add_worker_cpu(runs[(setting, w.label)][-1]["cpu_s"])
    mb = size / 1e6
    first = workers[0].label
    report = {
        "words_path": words_path,
        "dataset": dataset,
        "bytes": size,
        "noise_other_cores": others.cores(),
        "settings": {},
    }
    for setting in SETTINGS:
        figures = {}
        for w in workers:
            samples = runs[(setting, w.label)]
            figures[w.label] = {
                key.replace("_s", "_mb_per_s"): common.summary([mb / one[key] for one in samples])
                for key in ("from_bytes_s", "from_bytes_cpu_s", "to_bytes_s", "to_bytes_cpu_s")
            }
        against = {
            w.label: {
                key: common.summary(
                    [a[key] / b[key] for a, b in zip(runs[(setting, w.label)], runs[(setting, first)])]
                )
                for key in ("from_bytes_s", "from_bytes_cpu_s")
            }
            for w in workers[1:]
        }
        report["settings"][setting] = {"builds": figures, "against_first": against}
    return report


def print_report(result):
    common.print_header(result)
    print("fresh: each restore the first in a new process; loop: one process restoring again and again")
    for data in result["lists"]:
        common.print_list_heading(data, f"stored form {data['bytes']:,} bytes")
        print(
            f"   {'setting':<9}{'build':<7}{'from_bytes MB/s':>22}{'(CPU time)':>22}"
            f"{'to_bytes MB/s':>22}{'(CPU time)':>22}"
        )
        for setting, cell in data["settings"].items():
            for label, b in cell["builds"].items():
                print(
                    f"   {setting:<9}{label:<7}"
                    + "".join(f"{common.spread_text(b[key], '{:.0f}'):>22}" for key in FIGURES)
                )
        for setting, cell in data["settings"].items():
            first = next(iter(cell["builds"]))
            for label, r in cell["against_first"].items():
                print(
                    f"   {setting}: from_bytes time, build {label} / build {first} per repeat: "
                    f"wall {common.spread_text(r['from_bytes_s'], '{:.2f}')}, "
                    f"CPU {common.spread_text(r['from_bytes_cpu_s'], '{:.2f}')}"
                )
        for setting, cell in data["settings"].items():
            for label, b in cell["builds"].items():
                median = b["from_bytes_mb_per_s"]["median"]
                verdict = "met" if median >= TARGET_MB_S else "NOT met"
                print(
                    f"   {setting}: build {label} from_bytes {median:.0f} MB/s on the wall clock "
                    f"(target >= {TARGET_MB_S:g}: {verdict})"
                )


def main(argv=None):
    counts = {"repeats": (5, 21, "restores per build and setting")}
    quick = "5 repeats, tries of 20,000 words"
    args = common.parse_args(argv, __doc__, quick, counts, [common.ENGLISH, common.FRENCH], module_paths=True)
    handlers = {"fresh": worker_fresh, "load": worker_load, "loop": worker_loop}
    common.compare_builds(os.path.abspath(__file__), args, handlers, measure_list, print_report)


if __name__ == "__main__":
    sys.exit(main())
