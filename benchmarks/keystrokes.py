#!/usr/bin/env python3
"""Search-as-you-type replayed: sampled words typed one character at a time.

Each keystroke is one call of fuzzy_match_video(prefix, max_dist, limit=10,
include_prefix_nodes=True), and again with include_prefix_nodes absent, at
max_dist 1 and 2, on the trie of a Debian word list (common.load_dataset:
a synthetic catalogue, top_n 50). Reported per keystroke: p50 and p99 of the
time of one call overall and per prefix length, and ranking / walk: what the
call costs beyond the walk of the same prefixes, over that walk. The walk is the
same call on a twin of the trie whose payloads are empty: the same nodes,
the same terms, the same walk, nothing to rank.

With --module-path given twice or more, every build replays the same
keystrokes in its own process, the builds taking turns repeat by repeat;
their answers must agree exactly (ids and scores) before any figure is
reported. See benchmarks/README.md.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

import common

MAX_DISTS = (1, 2)
PREFIX_NODES = (True, None)  # include_prefix_nodes: True, or absent
LIMIT = 10


def cell_name(max_dist, prefix_nodes):
    return f"k={max_dist} {'prefix nodes' if prefix_nodes else 'absent'}"


# --------------------------------------------------------------------------
# Worker: one build
# --------------------------------------------------------------------------

_state = {}


def worker_load(directory, prefixes):
    _state["trie"], _ = common.load_stored(directory, "trie.bin")
    _state["twin"], _ = common.load_stored(directory, "twin.bin")
    _state["prefixes"] = prefixes
    return {}


def _calls(search, max_dist, prefix_nodes):
    if prefix_nodes is None:
        return lambda q: search.fuzzy_match_video(q, max_dist, LIMIT)
    return lambda q: search.fuzzy_match_video(q, max_dist, LIMIT, prefix_nodes)


def worker_answers(max_dist, prefix_nodes):
    """Every keystroke's answer, exactly (repr keeps every bit of a score);
    the twin must answer nothing."""
    call = _calls(_state["trie"], max_dist, prefix_nodes)
    twin = _calls(_state["twin"], max_dist, prefix_nodes)
    answers = [repr(call(q)) for q in _state["prefixes"]]
    if any(twin(q) for q in _state["prefixes"]):
        raise RuntimeError("the twin with empty payloads ranked a video")
    return answers


def worker_replay(max_dist, prefix_nodes, twin_first):
    """Nanoseconds of each keystroke's call, on the trie and on its twin,
    one pass each (in the order asked), the collector paused during a pass."""
    out = {}
    cpu = time.process_time()
    for name in ("twin", "trie") if twin_first else ("trie", "twin"):
        out[name] = common.time_keystrokes(_calls(_state[name], max_dist, prefix_nodes), _state["prefixes"])
    out["cpu_s"] = time.process_time() - cpu
    return out


# --------------------------------------------------------------------------
# Parent
# --------------------------------------------------------------------------


def percentiles(ns):
    """p50 and p99 (nearest rank) in microseconds."""
    return common.percentile(ns, 0.50) / 1000.0, common.percentile(ns, 0.99) / 1000.0


def ranking_over_walk(trie_ns, twin_ns):
    walk = sum(twin_ns)
    return (sum(trie_ns) - walk) / walk if walk else float("nan")


def replay_list(args, words_path, workers):
    words = common.load_words(words_path, args.sample_words)
    sample, prefixes = common.typed_prefixes(words, args.typed_words, args.seed, args.max_prefix)
    lengths = sorted({len(p) for p in prefixes})
    by_length = {n: [i for i, p in enumerate(prefixes) if len(p) == n] for n in lengths}
    with tempfile.TemporaryDirectory(prefix="quillon-keystrokes-") as tmp:
        common.progress(f"{words_path}: building the trie and its twin with build {workers[0].label}")
        dataset = common.prepare_tries(
            os.path.abspath(__file__), workers[0], words_path, args.seed, args.sample_words, tmp
        )
        for w in workers:
            w.call("load", directory=tmp, prefixes=prefixes)

    # Answers first (this also warms every build up): all builds alike.
    cells = [(k, p) for k in MAX_DISTS for p in PREFIX_NODES]
    for k, p in cells:
        reference = workers[0].call("answers", max_dist=k, prefix_nodes=p)
        for w in workers[1:]:
            theirs = w.call("answers", max_dist=k, prefix_nodes=p)
            for q, a, b in zip(prefixes, reference, theirs):
                common.check(
                    a == b, f"{cell_name(k, p)} {q!r}: build {workers[0].label} {a} != build {w.label} {b}"
                )

    samples = {(w.label, k, p): [] for w in workers for k, p in cells}  # per repeat: (trie ns, twin ns)
    others = common.OtherProcesses()
    for repeat in range(args.repeats):
        for w in common.in_turn(workers, repeat):
            for k, p in cells:
                times = w.call("replay", max_dist=k, prefix_nodes=p, twin_first=repeat % 2 == 1)
                samples[(w.label, k, p)].append((times["trie"], times["twin"]))
                others.add_worker_cpu(times["cpu_s"])
        common.progress(f"{os.path.basename(words_path)}: repeat {repeat + 1} of {args.repeats} done")

    report = {
        "words_path": words_path,
        "dataset": dataset,
        "typed_words": len(sample),
        "max_prefix": args.max_prefix,
        "keystrokes": len(prefixes),
        "keystrokes_per_length": {n: len(ix) for n, ix in by_length.items()},
        "noise_other_cores": others.cores(),
        "builds": {},
    }
    for w in workers:
        per_build = {}
        for k, p in cells:
            runs = samples[(w.label, k, p)]
            cell = {"overall": figures(runs, range(len(prefixes)))}
            cell["per_length"] = {n: figures(runs, ix) for n, ix in by_length.items()}
            per_build[cell_name(k, p)] = cell
        report["builds"][w.label] = per_build
    if len(workers) > 1:
        report["against_first"] = {
            w.label: {
                cell_name(k, p): against(samples[(w.label, k, p)], samples[(workers[0].label, k, p)])
                for k, p in cells
            }
            for w in workers[1:]
        }
    return report


def typical(runs, which, indexes):
    """Each keystroke's fastest time over the repeats (which: 0 the trie, 1
    the twin), for the keystrokes at `indexes` (common.fastest)."""
    return common.fastest([run[which] for run in runs], indexes)


def figures(runs, indexes):
    """p50, p99 and ranking / walk of the keystrokes at `indexes`, taken on
    each keystroke's fastest time over the repeats; beside each, the same
    figure taken on every repeat alone (its spread is the noise of the run)."""
    trie, twin = typical(runs, 0, indexes), typical(runs, 1, indexes)
    p50, p99 = percentiles(trie)
    per_repeat = {"p50_us": [], "p99_us": [], "ranking_over_walk": [], "walk_p50_us": []}
    for trie_ns, twin_ns in runs:
        one = [trie_ns[i] for i in indexes]
        one_twin = [twin_ns[i] for i in indexes]
        per_repeat["p50_us"].append(percentiles(one)[0])
        per_repeat["p99_us"].append(percentiles(one)[1])
        per_repeat["ranking_over_walk"].append(ranking_over_walk(one, one_twin))
        per_repeat["walk_p50_us"].append(percentiles(one_twin)[0])
    values = {
        "p50_us": p50,
        "p99_us": p99,
        "ranking_over_walk": ranking_over_walk(trie, twin),
        "walk_p50_us": percentiles(twin)[0],
    }
    return {name: {"value": values[name], "per_repeat": common.summary(per_repeat[name])} for name in values}


def against(runs, baseline_runs):
    """This build's p50, p99 and total time over the first build's (below
    1: faster), on each keystroke's fastest time; beside them, per repeat."""
    everything = range(len(runs[0][0]))
    mine, base = typical(runs, 0, everything), typical(baseline_runs, 0, everything)
    values = {
        "p50": percentiles(mine)[0] / percentiles(base)[0],
        "p99": percentiles(mine)[1] / percentiles(base)[1],
        "total": sum(mine) / sum(base),
    }
    per_repeat = {"p50": [], "p99": [], "total": []}
    for (trie_ns, _), (base_ns, _) in zip(runs, baseline_runs):
        a, b = percentiles(trie_ns), percentiles(base_ns)
        per_repeat["p50"].append(a[0] / b[0])
        per_repeat["p99"].append(a[1] / b[1])
        per_repeat["total"].append(sum(trie_ns) / sum(base_ns))
    return {name: {"value": values[name], "per_repeat": common.summary(per_repeat[name])} for name in values}


def us(x):
    """Microseconds, without exponents: 9.31, 22.1, 356, 7,720."""
    return f"{x:,.0f}" if x >= 100 else f"{x:.3g}"


def ratio(x):
    return f"{x:.2f}"


def fmt(figure, style=us):
    """The figure on the keystrokes' fastest times, then [min..max] of it
    taken on each repeat alone."""
    r = figure["per_repeat"]
    return f"{style(figure['value'])} [{style(r['min'])}..{style(r['max'])}]"


def print_report(result):
    common.print_header(result, f"limit {LIMIT}; times of one call per keystroke, in microseconds")
    print(
        "each figure is taken on every keystroke's fastest time over the repeats, then [min..max] of the same "
        "figure taken on each repeat alone (the noise)"
    )
    print(
        "ranking / walk = (call - the same call on the twin with empty payloads) / the twin's call, "
        "summed over the keystrokes"
    )
    for data in result["lists"]:
        upto = "the whole word" if data["max_prefix"] == 0 else f"up to {data['max_prefix']} characters"
        common.print_list_heading(
            data, f"{data['typed_words']} words typed one character at a time, {upto}: {data['keystrokes']:,} keystrokes"
        )
        for label, cells in data["builds"].items():
            print()
            print(f"   build {label}")
            print(
                f"   {'max_dist':<10}{'prefix nodes':<14}{'p50':>22}{'p99':>26}{'ranking / walk':>22}"
                f"{'walk p50':>20}"
            )
            for name, cell in cells.items():
                k, p = name.split(" ", 1)
                o = cell["overall"]
                print(
                    f"   {k[2:]:<10}{'True' if p == 'prefix nodes' else 'absent':<14}{fmt(o['p50_us']):>22}"
                    f"{fmt(o['p99_us']):>26}{fmt(o['ranking_over_walk'], ratio):>22}{fmt(o['walk_p50_us']):>20}"
                )
            print("   per prefix length (keystrokes): p50 / p99, ranking / walk")
            names = list(cells)
            print("   " + f"{'length':<12}" + "".join(f"{n:>28}" for n in names))
            for n, count in data["keystrokes_per_length"].items():
                line = f"   {str(n) + ' (' + str(count) + ')':<12}"
                for name in names:
                    f = cells[name]["per_length"][n]
                    text = (
                        f"{us(f['p50_us']['value'])} / {us(f['p99_us']['value'])}, "
                        f"{ratio(f['ranking_over_walk']['value'])}"
                    )
                    line += f"{text:>28}"
                print(line)
        for label, cells in data.get("against_first", {}).items():
            first = next(iter(data["builds"]))
            print()
            print(f"   build {label} / build {first}, per repeat (below 1: faster)")
            print(f"   {'cell':<22}{'p50':>22}{'p99':>22}{'total':>22}")
            for name, r in cells.items():
                print(
                    f"   {name:<22}{fmt(r['p50'], ratio):>22}{fmt(r['p99'], ratio):>22}"
                    f"{fmt(r['total'], ratio):>22}"
                )


def main(argv=None):
    counts = {
        "repeats": (2, 5, "passes over the keystrokes per build and cell"),
        "typed_words": (60, 300, "words typed"),
        "max_prefix": (8, 8, "type each word up to N characters, as a search box's users do (0: the whole word)"),
    }
    args = common.parse_args(
        argv,
        __doc__,
        "2 repeats, 60 words typed, tries of 20,000 words",
        counts,
        [common.ENGLISH, common.FRENCH],
        module_paths=True,
        at_least_zero=("max_prefix",),
    )
    handlers = {"load": worker_load, "answers": worker_answers, "replay": worker_replay}
    common.compare_builds(os.path.abspath(__file__), args, handlers, replay_list, print_report)


if __name__ == "__main__":
    sys.exit(main())
