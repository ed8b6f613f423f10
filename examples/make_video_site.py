"""Writes the example video site: a catalogue of videos and the log of the
searches that led to them, with a held-out continuation to evaluate on:

    python examples/make_video_site.py                     # video_site/, 300,000 searches
    python examples/make_video_site.py big --rows 20000000 --videos 1500000

In FOLDER: catalog.parquet (video_id, title, channel, duration_s), and the
search log (term, video_id) and its held-out continuation, as
search_log.parquet and held_out.parquet, or, with more rows than fit in one
part (or with --parts), as the folders search_log/ and held_out/ of part
files written one at a time, so memory stays bounded. The same seed gives
the same site. See quillon/example/site.py.
"""

from __future__ import annotations

import argparse
import math
import resource
import time

from quillon.example.site import DEFAULT_ROWS, DEFAULT_SEED, DEFAULT_VIDEOS, ROWS_PER_PART, make_site


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?", default="video_site", help="where to write the site (default: video_site)")
    parser.add_argument("--rows", type=int, default=DEFAULT_ROWS, help=f"searches in the log (default: {DEFAULT_ROWS:,})")
    parser.add_argument("--videos", type=int, help=f"videos in the catalogue (default: rows / 13, at least {DEFAULT_VIDEOS:,})")
    parser.add_argument("--held-out-rows", type=int, help="searches in the held-out log (default: a tenth of --rows)")
    parser.add_argument("--parts", type=int, help=f"part files of the log (default: one per {ROWS_PER_PART:,} rows, none up to that)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help=f"the seed (default: {DEFAULT_SEED})")
    parser.add_argument("--ids", choices=("string", "int", "uuid"), default="string", help="kind of video ids (default: string)")
    args = parser.parse_args()
    videos = args.videos if args.videos is not None else max(DEFAULT_VIDEOS, args.rows // 13)
    parts = args.parts if args.parts is not None or args.rows <= ROWS_PER_PART else math.ceil(args.rows / ROWS_PER_PART)
    start = time.perf_counter()
    site = make_site(
        args.folder, args.rows, videos, args.seed, held_out_rows=args.held_out_rows, parts=parts, id_kind=args.ids
    )
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(
        f"wrote {args.folder}: {site.videos:,} videos, {site.rows:,} searches of {site.distinct_terms:,} distinct terms "
        f"leading to {site.searched_videos:,} videos, {site.held_out_rows:,} held out (seed {args.seed}) "
        f"in {time.perf_counter() - start:.1f} s, peak memory {peak_mb:,.0f} MB"
    )


if __name__ == "__main__":
    main()
