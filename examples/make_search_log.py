"""Writes the synthetic search log that the README builds an index from:

    python examples/make_search_log.py                  # search_log.parquet, 300,000 rows
    python examples/make_search_log.py big.parquet --rows 10000000 --seed 7

One row per search that led to a video (columns term and video_id), drawn
from the bundled word list with typos, case variants and Zipf-like
popularity; the same seed gives the same file. See quillon/example/.
"""

from __future__ import annotations

import argparse
import time

from quillon.example import DEFAULT_ROWS, DEFAULT_SEED, make_search_log


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", default="search_log.parquet", help="the Parquet file to write")
    parser.add_argument("--rows", type=int, default=DEFAULT_ROWS, help=f"rows to write (default: {DEFAULT_ROWS:,})")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"the seed (default: {DEFAULT_SEED})")
    parser.add_argument("--uuid", action="store_true", help="UUID video ids instead of integers")
    args = parser.parse_args()
    start = time.perf_counter()
    log = make_search_log(args.path, args.rows, args.seed, id_kind="uuid" if args.uuid else "int")
    print(
        f"wrote {log.path}: {log.rows:,} searches of {log.distinct_terms:,} distinct typed terms "
        f"leading to {log.videos:,} videos (seed {args.seed}) in {time.perf_counter() - start:.1f} s"
    )


if __name__ == "__main__":
    main()
