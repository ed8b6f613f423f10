"""Search-as-you-type over a real word list, end to end.

Builds a trie of the 104,334 words of the English word list that quillon
bundles (quillon/example/data/american-english.gz), each with a few videos of a synthetic catalogue made from a fixed seed; saves it with
to_bytes, restores it with from_bytes and answers a batch of misspelt and
partial queries with the restored trie:

    python examples/autocomplete.py             # the built-in batch
    python examples/autocomplete.py cat teh     # these queries instead

For each query it prints the stored terms within a few edits, closest first,
and the best videos with their scores, with the time both searches took.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import tempfile
import time
from collections.abc import Iterator, Sequence

from quillon import PrefixSearch, build_arrays
from quillon.example import load_words

SEED = 2024
TOP_N = 50  # videos kept per trie node
WORDS_PER_TOPIC = 6  # consecutive words that share a topic video
FIRST_VIDEO_ID = 1_000_000
QUERIES = [
    "teh", "cat", "recieve", "seperate", "definately", "accomodate", "wierd",
    "goverment", "tommorow", "encyclop", "photosyn", "xylo",
]  # fmt: skip


def catalogue(words: Sequence[str], seed: int = SEED) -> Iterator[tuple[str, int, int]]:
    """(word, video id, count) records of a made-up video site, the same for
    every run: a word is searched the more often the shorter it is (Zipf-like
    counts), and leads to the topic video of its neighbours in the list plus
    up to three of the site's popular videos."""
    rng = random.Random(seed)
    by_popularity = sorted(range(len(words)), key=lambda i: len(words[i]) + 3 * rng.random())
    rank = [0] * len(words)
    for position, i in enumerate(by_popularity):
        rank[i] = position
    topics = (len(words) + WORDS_PER_TOPIC - 1) // WORDS_PER_TOPIC
    for i, word in enumerate(words):
        searches = max(1, int(2_000_000 / (rank[i] + 1) ** 0.9))
        topic_share = 0.4 + 0.5 * rng.random()
        yield word, FIRST_VIDEO_ID + i // WORDS_PER_TOPIC, max(1, int(searches * topic_share))
        rest = searches * (1 - topic_share)
        for _ in range(rng.randrange(4)):
            popular = FIRST_VIDEO_ID + int(topics * rng.random() ** 3)  # low ids are popular
            share = rng.random()
            yield word, popular, max(1, int(rest * share))
            rest *= 1 - share


def edits_for(query: str) -> int:
    return 1 if len(query) <= 4 else 2


def answer(
    search: PrefixSearch, query: str, max_dist: int, limit: int, popularity: dict[str, int]
) -> tuple[list[tuple[str, int, int]], list[tuple[str, float]], float]:
    start = time.perf_counter()
    terms = search.fuzzy_match(query, max_dist)
    videos = search.fuzzy_match_video(query, max_dist, limit=limit)
    elapsed = time.perf_counter() - start
    # fuzzy_match answers in trie order; show the closest, most searched first.
    terms.sort(key=lambda hit: (hit[2], -popularity[hit[0]]))
    return terms, videos, elapsed


def print_table(rows: list[tuple[str, ...]], right: set[int]) -> None:
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        cells = [cell.rjust(w) if c in right else cell.ljust(w) for c, (cell, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("queries", nargs="*", help=f"queries to answer (default: {' '.join(QUERIES)})")
    parser.add_argument("--max-dist", type=int, help="edits allowed (default: 1 up to 4 characters, else 2)")
    parser.add_argument("--limit", type=int, default=5, help="terms and videos shown per query (default: 5)")
    args = parser.parse_args(argv)
    queries = args.queries or QUERIES

    words = load_words()
    records = list(catalogue(words))
    popularity: dict[str, int] = {}
    for word, _video, count in records:
        popularity[word] = popularity.get(word, 0) + count

    start = time.perf_counter()
    arrays = build_arrays(records, top_n=TOP_N)
    middle = time.perf_counter()
    built = PrefixSearch.from_internal_data_v2(*arrays)
    build_time, arrays_time = time.perf_counter() - start, middle - start

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "words.trie"
        start = time.perf_counter()
        path.write_bytes(built.to_bytes())
        save_time = time.perf_counter() - start
        start = time.perf_counter()
        search = PrefixSearch.from_bytes(path.read_bytes())
        load_time = time.perf_counter() - start
        size = path.stat().st_size

    print(f"data   {len(words):,} terms from quillon/example/data/american-english.gz, "
          f"{len(arrays.video_index):,} synthetic videos (seed {SEED}), {len(records):,} records")
    print(f"build  {build_time:6.2f} s  build_arrays {arrays_time:.2f} s + from_internal_data_v2 "
          f"{build_time - arrays_time:.2f} s: {len(arrays.child_labels):,} nodes, at most {TOP_N} videos each")
    print(f"save   {save_time:6.2f} s  to_bytes: {size:,} bytes")
    print(f"load   {load_time:6.2f} s  from_bytes: the queries below use the restored trie")
    print()

    header = ("query", "edits", "ms", "term", "dist", "video", "score")
    rows: list[tuple[str, ...]] = [header, tuple("-" * len(cell) for cell in header)]
    for query in queries:
        max_dist = edits_for(query) if args.max_dist is None else args.max_dist
        terms, videos, elapsed = answer(search, query, max_dist, args.limit, popularity)
        shown = terms[: args.limit]
        term_cells = [(term, str(dist)) for term, _terminal, dist in shown]
        if len(terms) > len(shown):
            term_cells.append((f"(+{len(terms) - len(shown)} more)", ""))
        if not terms:
            term_cells.append(("(no term within reach)", ""))
        video_cells = [(video, f"{score:.4f}") for video, score in videos] or [("(no video)", "")]
        for line in range(max(len(term_cells), len(video_cells))):
            first = (query, str(max_dist), f"{elapsed * 1000:.2f}") if line == 0 else ("", "", "")
            term = term_cells[line] if line < len(term_cells) else ("", "")
            video = video_cells[line] if line < len(video_cells) else ("", "")
            rows.append(first + term + video)
    print_table(rows, right={1, 2, 4, 6})
    print()
    print("term: stored terms within `edits` of the query (fuzzy_match), closest and most searched first.")
    print("video: fuzzy_match_video, best first; with no stored term in reach, the videos come from")
    print("the trie nodes the query reaches as a prefix. ms: both searches together.")


if __name__ == "__main__":
    main()
