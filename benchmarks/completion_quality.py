#!/usr/bin/env python3
"""How good our completions are against what a site might use instead.

Replays the same typing sessions as quillon eval (held-out searches drawn as
they occur, so popular queries come often; half of them typed with typos, a
quarter of those with two; quillon.build.evaluate) against:

- quillon: Index.complete with the default budget (quillon.limits);
- redisearch: RediSearch's suggestion dictionary (a redis-server of our own
  with the module): FT.SUGADD of every stored term with its count as the
  score, FT.SUGGET prefix FUZZY MAX 10;
- redisearch-budget: the same, FUZZY only where our budget allows an edit;
- tantivy: a document per stored term with its count, a fuzzy term query
  with prefix=True, swaps costing one, the distance our budget allows, the
  hits ordered by count;
- prefix: the baseline, the 10 most searched stored terms that start with
  exactly what is typed.

Every engine holds the same terms and counts: those of our index. Reports
success@1/5/10 and MRR by typed length, overall and over the keystrokes
after a typo, and the keystrokes until the search shows, on each data set
(common.completion_sets: the example site, a million queries, the English
list). The answers are checked before any figure is printed: ours against
Index.complete on the raw typed text, against the baseline at no edit,
against a brute-force scan (rapidfuzz's OSA distance over term prefixes) on a
sample, each completion's edits and count; the peers' answers are stored
terms within the distance they were given. See benchmarks/README.md.
"""

from __future__ import annotations

import bisect
import heapq
import os
import random
import time

import common
from common import CpuMeter, busy_text, check, progress, verdict

SHOWN = 10
ENGINES = ("quillon", "redisearch", "redisearch-budget", "tantivy", "prefix")
TARGET_TYPO_MARGIN = 0.10


# --------------------------------------------------------------------------
# The baseline and the checks
# --------------------------------------------------------------------------


class ExactPrefix:
    """The k most searched stored terms that start with the text, ties by
    code point: sorted terms, the range of a prefix found by bisection."""

    def __init__(self, stored):
        ordered = sorted(stored)
        self.terms = [term for term, _ in ordered]
        self.counts = [count for _, count in ordered]

    def complete(self, prefix, limit):
        low = bisect.bisect_left(self.terms, prefix)
        high = bisect.bisect_left(self.terms, prefix + "\U0010ffff", low)
        best = heapq.nsmallest(limit, range(low, high), key=lambda i: (-self.counts[i], i))
        return [(self.terms[i], self.counts[i]) for i in best]


def prefix_distance(query, term, bound, swaps=True):
    """The least edit distance between `query` and a prefix of `term`
    (optimal string alignment: a swap of neighbours one edit, with
    `swaps`), or bound + 1 when it is above `bound`."""
    n = len(query)
    previous2 = None
    previous = list(range(n + 1))  # term[:0] against query[:j]
    best = previous[n]
    for i in range(1, len(term) + 1):
        row = [i] + [0] * n
        t = term[i - 1]
        for j in range(1, n + 1):
            cost = query[j - 1] != t
            value = min(previous[j] + 1, row[j - 1] + 1, previous[j - 1] + cost)
            if swaps and previous2 is not None and j > 1 and query[j - 1] == term[i - 2] and query[j - 2] == t:
                value = min(value, previous2[j - 2] + 1)
            row[j] = value
        best = min(best, row[n])
        if min(row) > bound:
            break
        previous2, previous = previous, row
    return best if best <= bound else bound + 1


def brute_completions(stored, query, edits, limit):
    """The completions by a scan of every term: the distances of all term
    prefixes of length len(query) - edits .. len(query) + edits by
    rapidfuzz's OSA distance, each term's least, then fewer edits first,
    the most searched, by code point."""
    from rapidfuzz import process
    from rapidfuzz.distance import OSA

    distance_of = {}
    for length in range(max(0, len(query) - edits), len(query) + edits + 1):
        prefixes = list({term[:length] for term, _ in stored if len(term) >= length})
        for prefix, dist, _ in process.extract(query, prefixes, scorer=OSA.distance, score_cutoff=edits, limit=None):
            distance_of[prefix] = min(dist, distance_of.get(prefix, edits + 1))
    found = []
    for term, count in stored:
        dist = min((distance_of.get(term[:length], edits + 1) for length in range(max(0, len(query) - edits), min(len(term), len(query) + edits) + 1)), default=edits + 1)
        if dist <= edits:
            found.append((dist, -count, term))
    return [(term, dist) for dist, _, term in heapq.nsmallest(limit, found)]


def check_ours(data, sessions, stored, baseline, brute_queries, seed):
    """Stops unless our completions agree with Index.complete on the raw
    typed texts, with the baseline at no edit, with a brute-force scan on a
    sample, and carry their terms' counts and their true edits in order."""
    from quillon.limits import default_edits, default_schedule

    index = data.index
    counts = dict(stored)
    engine = index.engine
    queries = {}
    for session in sessions:
        for n, query in enumerate(session.queries, 1):
            if query and query not in queries:
                queries[query] = session.typed[:n]
    for query, text in queries.items():
        edits = default_edits(query)
        hits = engine.complete(query, edits, SHOWN, False, default_schedule(query))
        public = [(c.term, c.edits, c.count) for c in index.complete(text, SHOWN)]
        check(public == [(t, e, c) for t, _d, e, c, _v in hits], f"{data.name}: Index.complete({text!r}) != Engine.complete({query!r}, {edits})")
        keys = [(e, -c, t) for t, _d, e, c, _v in hits]
        check(keys == sorted(keys), f"{data.name}: completions of {query!r} out of order: {hits}")
        for term, _display, got, count, _covered in hits:
            check(counts.get(term) == count, f"{data.name}: {term!r} completes {query!r} with count {count}, stored {counts.get(term)}")
            check(got <= edits and prefix_distance(query, term, edits) == got, f"{data.name}: {term!r} is {prefix_distance(query, term, edits)} edits from {query!r}, reported {got}")
        exact = [(t, c) for t, _d, _e, c, _v in engine.complete(query, 0, SHOWN)]
        check(exact == baseline.complete(query, SHOWN), f"{data.name}: no-edit completions of {query!r} differ from the exact-prefix baseline")
    sample = random.Random(seed).sample(sorted(queries), min(brute_queries, len(queries)))
    started = time.perf_counter()
    for query in sample:
        edits = default_edits(query)
        ours = [(t, e) for t, _d, e, _c, _v in engine.complete(query, edits, SHOWN)]
        check(ours == brute_completions(stored, query, edits, SHOWN), f"{data.name}: completions of {query!r} ({edits} edits) differ from a scan of every term")
    return {"keystroke_queries": len(queries), "brute_force_queries": len(sample), "brute_force_s": time.perf_counter() - started}


def checked_peer(name, complete, counts, distance, swaps, ordered):
    """A peer's completer whose every answer is checked: stored terms, each
    within the distance it was asked for (distance(our budget's edits);
    Levenshtein for RediSearch, which has no swaps), hits by count where the
    peer orders so."""

    def checked(query, edits, _schedule=None):
        found = complete(query, edits)
        bound = distance(edits)
        for term in found:
            check(term in counts, f"{name}: {term!r} for {query!r} is not a stored term")
            check(prefix_distance(query, term, bound, swaps) <= bound, f"{name}: {term!r} is beyond {bound} edits of {query!r}")
        if ordered:
            got = [counts[term] for term in found]
            check(got == sorted(got, reverse=True), f"{name}: answers to {query!r} not by count")
        check(len(set(found)) == len(found), f"{name}: a term twice for {query!r}")
        return found

    return checked


# --------------------------------------------------------------------------
# One data set
# --------------------------------------------------------------------------


def measure_set(args, data):
    from quillon.build.evaluate import replay
    from quillon.limits import default_edits

    meter = CpuMeter()
    sessions = common.completion_sessions(data, args)
    stored = common.stored_completions(data.index)
    counts = dict(stored)
    baseline = ExactPrefix(stored)
    progress(f"{data.name}: checking our answers")
    checks = check_ours(data, sessions, stored, baseline, args.brute_force, args.seed)

    index = data.index
    completers = {
        "quillon": lambda q, e, _schedule=None: [c.term for c in index.complete(q, SHOWN)],
        "prefix": lambda q, e, _schedule=None: [term for term, _ in baseline.complete(q, SHOWN)],
    }
    peers = []
    try:
        progress(f"{data.name}: loading RediSearch and tantivy with {len(stored):,} terms")
        redis = common.RediSearch()
        peers.append(redis)
        started = time.perf_counter()
        redis.load(stored)
        load = {"redisearch_s": time.perf_counter() - started}
        started = time.perf_counter()
        tantivy = common.TantivyTerms(stored)
        peers.append(tantivy)
        load["tantivy_s"] = time.perf_counter() - started
        completers["redisearch"] = checked_peer("redisearch", lambda q, e: redis.complete(q, SHOWN), counts, lambda e: 1, False, False)
        completers["redisearch-budget"] = checked_peer("redisearch-budget", lambda q, e: redis.complete(q, SHOWN, fuzzy=e > 0), counts, lambda e: min(e, 1), False, False)
        completers["tantivy"] = checked_peer("tantivy", lambda q, e: tantivy.complete(q, e, SHOWN), counts, lambda e: e, True, True)
        figures, seconds = {}, {}
        for name in ENGINES:
            progress(f"{data.name}: replaying {len(sessions)} sessions against {name}")
            started = time.perf_counter()
            figures[name] = replay(sessions, completers[name], default_edits)
            seconds[name] = time.perf_counter() - started
        peer_info = {"redis": redis.version, "redisearch": redis.module_version, "redisearch_module": redis.module}
    finally:
        for peer in peers:
            peer.close()
    samples = []
    for session in sessions:
        for n, query in enumerate(session.queries, 1):
            if query and len(samples) < args.samples:
                samples.append({"text": session.typed[:n], "query": query, "quillon": [c.term for c in index.complete(session.typed[:n], SHOWN)]})
    return {
        "name": data.name,
        "index": str(data.index_path),
        "heading": data.heading(),
        "info": data.info,
        "sessions": len(sessions),
        "typo_sessions": sum(s.typos > 0 for s in sessions),
        "two_typo_sessions": sum(s.typos > 1 for s in sessions),
        "sessions_not_stored": sum(s.target not in counts for s in sessions),
        "keystrokes": sum(1 for s in sessions for q in s.queries if q),
        "keystrokes_after_typo": sum(1 for s in sessions for q, a in zip(s.queries, s.after_typo) if q and a),
        "checks": checks,
        "load": load,
        "peers": peer_info,
        "seconds": seconds,
        "engines": {name: f.to_json() for name, f in figures.items()},
        "targets": targets(figures),
        "samples": samples,
        "noise_other_cores": meter.other_cores(),
    }


def targets(figures):
    """Ours against each RediSearch variant: success@5 at every typed length
    at least its, and at least TARGET_TYPO_MARGIN higher after a typo."""
    from quillon.build.evaluate import LENGTHS

    ours = figures["quillon"]
    found = {}
    for peer in ("redisearch", "redisearch-budget"):
        theirs = figures[peer]
        behind = [
            length for length, a, b in zip(LENGTHS, ours.all, theirs.all)
            if a.keystrokes and a.success(5) < b.success(5)
        ]  # fmt: skip
        margin = ours.overall(True).success(5) - theirs.overall(True).success(5) if ours.overall(True).keystrokes else None
        found[peer] = {
            "lengths_behind": behind,
            "every_length_met": not behind,
            "after_typo_margin": margin,
            "after_typo_met": margin is not None and margin >= TARGET_TYPO_MARGIN,
        }
    return found


# --------------------------------------------------------------------------
# The report
# --------------------------------------------------------------------------


def _cell(value, digits=3):
    return "-" if value is None else f"{value:.{digits}f}"


def print_set(result):
    print()
    print(result["heading"])
    print(
        f"   {result['sessions']} sessions ({result['typo_sessions']} with typos, {result['two_typo_sessions']} with two; "
        f"{result['sessions_not_stored']} searched a query the index does not hold), {result['keystrokes']:,} keystrokes scored, "
        f"{result['keystrokes_after_typo']:,} after a typo"
    )
    c = result["checks"]
    print(
        f"   checked: ours = Index.complete on {c['keystroke_queries']:,} distinct keystrokes, = the exact-prefix baseline at no edit, "
        f"= a scan of every term on {c['brute_force_queries']} of them; peers' answers stored terms within their distance"
    )
    p = result["peers"]
    print(f"   peers: redis-server {p['redis']}, RediSearch {p['redisearch']} ({p['redisearch_module']}); tantivy (PyPI)")
    print(f"   {busy_text(result['noise_other_cores'])}")
    engines = result["engines"]
    for part, title in (("by_length", "success@5 by typed length, all keystrokes"), ("after_typo_by_length", "success@5 by typed length, keystrokes after a typo")):
        print()
        print(f"   {title}")
        print(f"   {'length':>6} {'keys':>6}  " + "  ".join(f"{name:>17}" for name in ENGINES))
        for i, row in enumerate(engines["quillon"][part]):
            cells = "  ".join(f"{_cell(engines[name][part][i]['success_at_5']):>17}" for name in ENGINES)
            print(f"   {row['length']:>6} {row['keystrokes']:>6,}  {cells}")
    print()
    print(f"   {'overall':<26}" + "  ".join(f"{name:>17}" for name in ENGINES))
    lines = [
        ("success@1", "overall", "success_at_1"),
        ("success@5", "overall", "success_at_5"),
        ("success@10", "overall", "success_at_10"),
        ("MRR", "overall", "mrr"),
        ("success@5 after a typo", "after_typo", "success_at_5"),
        ("MRR after a typo", "after_typo", "mrr"),
    ]
    for label, part, key in lines:
        print(f"   {label:<26}" + "  ".join(f"{_cell(engines[name][part][key]):>17}" for name in ENGINES))
    for which in ("all", "clean", "typo"):
        cells = "  ".join(
            f"{_cell(engines[name]['keystrokes_to_show'][which]['mean_keystrokes'], 2):>9} ({engines[name]['keystrokes_to_show'][which]['never']:>4} never)".rjust(17)
            for name in ENGINES
        )
        print(f"   {'keystrokes to show, ' + which:<26}{cells}")
    ours = engines["quillon"]
    print()
    for peer in ("redisearch", "redisearch-budget", "tantivy", "prefix"):
        theirs = engines[peer]
        ratio = ours["overall"]["success_at_5"] / theirs["overall"]["success_at_5"] if theirs["overall"]["success_at_5"] else None
        diff = (ours["after_typo"]["success_at_5"] or 0) - (theirs["after_typo"]["success_at_5"] or 0)
        print(f"   ours against {peer}: success@5 {_cell(ratio, 2)}x, after a typo {diff:+.3f}; MRR {ours['overall']['mrr']:.3f} against {theirs['overall']['mrr']:.3f}")
    seconds = ", ".join(f"{name} {s:.1f} s" for name, s in result["seconds"].items())
    print(f"   replay time (not a speed figure; see completion_speed.py): {seconds}")


def print_report(result):
    common.print_header(result, note="figures are exact for the seed (no timing)")
    for data in result["sets"]:
        print_set(data)
    print()
    print(f"== targets (success@5; against both RediSearch variants; after a typo at least {TARGET_TYPO_MARGIN:.2f} higher)")
    for data in result["sets"]:
        for peer, t in data["targets"].items():
            lengths = "every typed length" if t["every_length_met"] else f"behind at lengths {', '.join(t['lengths_behind'])}"
            print(f"   {data['name']}, against {peer}: at least its at every typed length: {verdict(t['every_length_met'])} ({lengths})")
            print(f"   {data['name']}, against {peer}: after a typo {_cell(t['after_typo_margin'])} higher: {verdict(t['after_typo_met'])}")


def main(argv=None):
    args = common.parse_args(
        argv,
        __doc__,
        "small data sets (a 20,000-search example site, 5,000 words), 40 sessions",
        {
            "sessions": (40, 400, "typing sessions per data set"),
            "brute_force": (3, 10, "keystrokes per data set checked against a scan of every term"),
            "samples": (30, 30, "keystrokes per data set whose completions the JSON lists (for the smoke test)"),
        },
        more=common.completion_options,
    )
    missing = common.missing_peers()
    if missing:
        raise SystemExit("missing: " + "; ".join(f"{what} ({how})" for what, how in missing.items()))
    result = {"machine": common.machine_info(), "repeats": 1, "seed": args.seed, "typos": args.typos}
    started = time.perf_counter()
    result["sets"] = []
    for data in common.completion_sets(args):
        result["sets"].append(measure_set(args, data))
    result["loadavg_end"] = os.getloadavg()
    result["wall_s"] = time.perf_counter() - started
    print_report(result)
    print(f"\n(total {result['wall_s']:.0f} s)")
    common.write_json(args.json, result)
    return result


if __name__ == "__main__":
    main()
