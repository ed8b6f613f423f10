#!/usr/bin/env python3
"""How long fuzzy_match_video takes per query.

On a Debian word list's trie (common.load_dataset: a synthetic catalogue,
top_n 50) restored from its stored form, and the seeded queries of
terms_vs_peers.py: fuzzy_match_video at max_dist 1 on the edited words and on
the typed prefixes (default arguments), and on the prefixes with
include_prefix_nodes=True. The first repeat checks that the built and the
restored instance rank the same videos with the same scores. See
benchmarks/README.md; keystrokes.py times the same call keystroke by
keystroke against the walk alone.
"""

from __future__ import annotations

import common

MAX_DIST = 1


def measure_list(args, words_path):
    dataset = common.load_dataset(words_path, args.sample_words, args.seed)
    noise = {"setup": dataset.other_cores}
    queries = common.make_queries(dataset.words, args.queries, args.seed)
    built, search, _data = common.built_and_restored(dataset.arrays)
    del dataset.arrays

    video_sets = {
        "words": ([q for kind in common.EDIT_KINDS for q in queries[kind]], None),
        "prefix": (queries["prefix"], None),
        "prefix_with_prefix_nodes": (queries["prefix"], True),
    }
    stats = {name: common.QueryStats() for name in video_sets}
    meter = common.CpuMeter()
    for repeat in range(args.repeats):
        for name, (qs, include_prefix) in video_sets.items():
            ns, results = common.timed_calls(lambda q: search.fuzzy_match_video(q, MAX_DIST, None, include_prefix), qs)
            stats[name].add(ns)
            if repeat == 0:
                common.check(
                    [sorted(r) for r in results]
                    == [sorted(built.fuzzy_match_video(q, MAX_DIST, None, include_prefix)) for q in qs],
                    f"fuzzy_match_video differs between a built and a restored instance ({name})",
                )
        common.progress(f"repeat {repeat + 1} of {args.repeats} done")
    noise["searches"] = meter.other_cores()
    return {
        "words_path": words_path,
        "dataset": dataset.info,
        "queries_per_kind": args.queries,
        "fuzzy_match_video": {name: s.to_json() for name, s in stats.items()},
        "noise_other_cores": noise,
    }


def print_report(result):
    common.print_header(result)
    for data in result["lists"]:
        common.print_list_heading(
            data,
            f"queries: {data['queries_per_kind']} per kind; 'words' = the words after 0, 1 and 2 edits together, "
            "'prefix' = typed prefixes of 2 to 6 characters",
        )
        print()
        print(f"   fuzzy_match_video (max_dist {MAX_DIST}), microseconds per query: mean / p99")
        for name, cell in data["fuzzy_match_video"].items():
            print(f"   {name:<26} {common.spread_text(cell['mean_us']):>26} {cell['p99_us']['median']:>9.4g}")


def main(argv=None):
    counts = {"repeats": (2, 5, "timed passes over the queries"), "queries": (15, 100, "queries of each kind")}
    quick = "2 repeats, 15 queries of each kind, 20,000 words of each list"
    args = common.parse_args(argv, __doc__, quick, counts, [common.ENGLISH])
    common.run_word_lists(args, measure_list, print_report, module=common.installed_module())


if __name__ == "__main__":
    main()
