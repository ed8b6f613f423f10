#!/usr/bin/env python3
"""How fast fuzzy_match is against what a user might pick instead.

On a Debian word list's trie (common.load_dataset) and seeded queries (stored
words after 0, 1 and 2 random edits, typed prefixes of 2 to 6 characters),
fuzzy_match at max_dist 0, 1 and 2 against RapidFuzz's linear scan
(process.extract with the Levenshtein distance) and a plain-Python trie walk.
Every answer of a peer is checked against the module's before any ratio is
reported. Figures are medians over --repeats runs with their min..max spread,
and the report states how busy the rest of the machine was meanwhile. See
benchmarks/README.md.
"""

from __future__ import annotations

import os
import statistics

import common

MAX_DISTS = (0, 1, 2)
TARGET_RAPIDFUZZ = {1: 100.0, 2: 20.0}


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


def measure_list(args, words_path, rapidfuzz_parts):
    dataset = common.load_dataset(words_path, args.sample_words, args.seed)
    noise = {"setup": dataset.other_cores}
    words = dataset.words
    root = dict_trie(words)
    queries = common.make_queries(words, args.queries, args.seed)
    _built, search, _data = common.built_and_restored(dataset.arrays)
    del dataset.arrays, _built

    # For each max_dist and query kind the module runs the block of queries,
    # then each peer does, then the module runs it again (its time per query
    # is the mean of both runs): each engine keeps its caches warm within a
    # block, and a disturbance from elsewhere on the machine falls on the
    # module's runs and the peers' alike. The slow Python walk takes part in
    # the first --python-repeats repeats only.
    process, scorer = rapidfuzz_parts
    word_queries = [q for kind in common.EDIT_KINDS for q in queries[kind]]
    sets = ("words",) + common.QUERY_KINDS
    engines = {
        "quillon": lambda k: (lambda q: search.fuzzy_match(q, k)),
        "rapidfuzz": lambda k: (lambda q: rapidfuzz_scan(process, scorer, words, q, k)),
        "python_trie": lambda k: (lambda q: python_trie_walk(root, words, q, k)),
    }
    if args.no_peers:
        engines = {"quillon": engines["quillon"]}
    stats = {(e, k, kind): common.QueryStats() for e in engines for k in MAX_DISTS for kind in sets}
    hits = {}
    meter = common.CpuMeter()
    for repeat in range(args.repeats):
        active = [e for e in engines if e != "python_trie" or repeat < args.python_repeats]
        for k in MAX_DISTS:
            answers = {}
            pooled = {e: [] for e in active}
            for kind in common.QUERY_KINDS:
                qs = queries[kind]
                ns = {}
                first, answers[("quillon", kind)] = common.timed_calls(engines["quillon"](k), qs)
                for e in active[1:]:
                    ns[e], answers[(e, kind)] = common.timed_calls(engines[e](k), qs)
                second, again = common.timed_calls(engines["quillon"](k), qs)
                common.check(again == answers[("quillon", kind)], f"fuzzy_match answers differ between two runs ({kind})")
                ns["quillon"] = [(a + b) / 2 for a, b in zip(first, second)]
                for e in active:
                    stats[(e, k, kind)].add(ns[e])
                    if kind in common.EDIT_KINDS:
                        pooled[e].extend(ns[e])
                if repeat == 0:
                    hits[(k, kind)] = statistics.fmean(len(r) for r in answers[("quillon", kind)])
            for e in active:
                stats[(e, k, "words")].add(pooled[e])
            if repeat == 0:
                verify(answers, queries, k, active)
        common.progress(f"searches: repeat {repeat + 1} of {args.repeats} done")
    noise["searches"] = meter.other_cores()

    def cell(k, kind):
        out = {
            "mean_hits": (
                statistics.fmean(hits[(k, x)] for x in common.EDIT_KINDS) if kind == "words" else hits[(k, kind)]
            ),
            "queries": len(word_queries) if kind == "words" else len(queries[kind]),
        }
        out.update({engine: stats[(engine, k, kind)].to_json() for engine in engines})
        if not args.no_peers:
            for peer in ("rapidfuzz", "python_trie"):
                out[f"{peer}_over_quillon"] = common.ratio_summary(stats[(peer, k, kind)], stats[("quillon", k, kind)])
        return out

    return {
        "words_path": words_path,
        "dataset": dataset.info,
        "queries_per_kind": args.queries,
        "fuzzy_match": {f"max_dist={k}": {kind: cell(k, kind) for kind in sets} for k in MAX_DISTS},
        "noise_other_cores": noise,
    }


def verify(answers, queries, k, engines):
    """The peers' answers against the module's, for one max_dist: the Python
    walk's list exactly (same terms, distances and order), RapidFuzz's as a
    set of (term, distance); no term twice."""
    for kind in common.QUERY_KINDS:
        for i, q in enumerate(queries[kind]):
            ours = [(term, dist) for term, _one, dist in answers[("quillon", kind)][i]]
            common.check(len(set(ours)) == len(ours), f"fuzzy_match({q!r}, {k}) repeats a term")
            if "python_trie" in engines:
                theirs = answers[("python_trie", kind)][i]
                common.check(ours == theirs, f"fuzzy_match({q!r}, {k}) != Python trie walk: {ours[:5]} vs {theirs[:5]}")
            if "rapidfuzz" in engines:
                theirs = answers[("rapidfuzz", kind)][i]
                common.check(
                    set(ours) == set(theirs),
                    f"fuzzy_match({q!r}, {k}) != RapidFuzz: only ours {sorted(set(ours) - set(theirs))[:5]}, "
                    f"only theirs {sorted(set(theirs) - set(ours))[:5]}",
                )


def print_report(result):
    common.print_header(result)
    print(f"rapidfuzz: {result.get('rapidfuzz', 'not run')}")
    spread = common.spread_text
    for data in result["lists"]:
        common.print_list_heading(
            data,
            f"queries: {data['queries_per_kind']} per kind (edit0, edit1, edit2, prefix); "
            "'words' = the three edit kinds together",
        )
        print()
        table = data["fuzzy_match"]
        engines = [e for e in ("quillon", "rapidfuzz", "python_trie") if e in table["max_dist=0"]["words"]]
        print(
            "   fuzzy_match, microseconds per query: mean / p99; ratios = peer mean / quillon mean "
            f"(python walk in {min(result['python_repeats'], result['repeats'])} repeats)"
        )
        columns = [(e + " mean", "p99") for e in engines]
        ratios = [("rapidfuzz_over_quillon", "rapidfuzz/quillon"), ("python_trie_over_quillon", "python/quillon")]
        ratios = ratios if len(engines) > 1 else []
        print(
            f"   {'set':<8}{'k':>2}{'hits':>8}"
            + "".join(f"  {mean:>28}{p99:>10}" for mean, p99 in columns)
            + "".join(f"  {title:>24}" for _key, title in ratios)
        )
        for k in MAX_DISTS:
            for kind, cell in table[f"max_dist={k}"].items():
                print(
                    f"   {kind:<8}{k:>2}{cell['mean_hits']:>8.1f}"
                    + "".join(f"  {spread(cell[e]['mean_us']):>28}{cell[e]['p99_us']['median']:>10.4g}" for e in engines)
                    + "".join(f"  {spread(cell[key], '{:.1f}'):>24}" for key, _title in ratios)
                )
    common.print_targets(result, target_lines)


def target_lines(data):
    lines = []
    for k, target in TARGET_RAPIDFUZZ.items():
        cell = data["fuzzy_match"][f"max_dist={k}"]["words"]
        if "rapidfuzz_over_quillon" in cell:
            label = f"fuzzy_match max_dist {k} vs RapidFuzz scan"
            lines.append(common.target_line(label, cell["rapidfuzz_over_quillon"], target, "{:.1f}"))
    return lines


def parse_args(argv):
    def more(p):
        p.add_argument("--no-peers", action="store_true", help="time the module alone (no RapidFuzz, no Python walk)")

    counts = {
        "repeats": (2, 5, "timed repeats of every search"),
        "queries": (15, 100, "queries of each kind"),
        "python_repeats": (3, 3, "repeats that include the plain-Python walk"),
    }
    quick = "2 repeats, 15 queries of each kind, 20,000 words of each list"
    return common.parse_args(argv, __doc__, quick, counts, [common.ENGLISH], more=more)


def main(argv=None):
    args = parse_args(argv)
    header = {"module": common.installed_module(), "python_repeats": args.python_repeats}
    rapidfuzz_parts = (None, None)
    if not args.no_peers:
        try:
            import rapidfuzz
            from rapidfuzz import process
            from rapidfuzz.distance import Levenshtein
        except ImportError:
            raise SystemExit("RapidFuzz is missing: pip install rapidfuzz (or pass --no-peers)")
        rapidfuzz_parts = (process, Levenshtein.distance)
        header["rapidfuzz"] = rapidfuzz.__version__
    common.run_word_lists(args, lambda a, path: measure_list(a, path, rapidfuzz_parts), print_report, **header)


if __name__ == "__main__":
    main()
