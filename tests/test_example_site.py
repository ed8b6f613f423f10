"""The example video site of quillon.example.site: a seed always gives the
same catalogue and search log, split into parts or not, and they look like
a real site's (multi-word titles, string ids, searches typed with typos,
Zipf-like popularity); the held-out log continues the search log."""

from __future__ import annotations

import collections
import pathlib
import re
import subprocess
import sys
import textwrap
import unicodedata
import uuid

import duckdb
import pytest

import quillon.example

# This tree's generator, even where an older quillon is installed.
EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "python" / "quillon" / "example"
if str(EXAMPLE) not in quillon.example.__path__:
    quillon.example.__path__.insert(0, str(EXAMPLE))
from quillon.example import site  # noqa: E402

ROWS, VIDEOS, SEED = 40_000, 4_000, 11


def table(path: pathlib.Path) -> list[tuple]:
    """The rows of a Parquet file, or of a folder of part files, in order."""
    source = path / "*.parquet" if path.is_dir() else path
    return duckdb.sql(f"SELECT * FROM read_parquet('{source}')").fetchall()


def plain(text: str) -> str:
    """Lower case, no accents, no punctuation around words, single spaces."""
    bare = "".join(c for c in unicodedata.normalize("NFKD", text.lower()) if not unicodedata.combining(c))
    return " ".join(word.strip("()[]|:!?,.-") for word in bare.split() if word.strip("()[]|:!?,.-"))


def prefix_share(log: list[tuple], titles: dict) -> float:
    return sum(titles[video].startswith(plain(term)) for term, video in log) / len(log)


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    folder = tmp_path_factory.mktemp("site")
    made = site.make_site(folder, ROWS, VIDEOS, SEED)
    catalog = table(made.catalog)
    return made, catalog, table(made.search_log), {video: plain(title) for video, title, _, _ in catalog}


def test_a_seed_gives_the_same_site_another_seed_another(small, tmp_path):
    made, catalog, log, _ = small
    again = site.make_site(tmp_path / "again", ROWS, VIDEOS, SEED)
    assert table(again.catalog) == catalog and table(again.search_log) == log
    assert table(again.held_out) == table(made.held_out)
    other = site.make_site(tmp_path / "other", ROWS // 10, VIDEOS // 10, SEED + 1)
    others = table(other.catalog)
    assert {row[0] for row in others}.isdisjoint(row[0] for row in catalog)
    assert sum(mine[1] != theirs[1] for mine, theirs in zip(catalog, others)) > 0.9 * len(others)
    assert sum(mine[0] != theirs[0] for mine, theirs in zip(log, table(other.search_log))) > 0.5 * len(log) // 10


def test_catalogue_has_site_ids_and_titles_of_shared_topics(small):
    _, catalog, _, titles = small
    ids = [video for video, _, _, _ in catalog]
    assert len(set(ids)) == VIDEOS
    assert all(re.fullmatch(r"[A-Za-z0-9_-]{10}[AEIMQUYcgkosw048]", video) for video in ids)
    words = [title.split() for _, title, _, _ in catalog]
    assert min(map(len, words)) >= 2 and max(map(len, words)) == site.MAX_TITLE_WORDS
    text = " ".join(title for _, title, _, _ in catalog)
    assert {"é", "(", "|", "-"} <= set(text) and re.search(r"\b20\d\d\b", text) and re.search(r"\b[A-Z][a-z]", text)
    first_words = collections.Counter(title.split()[0] for title in titles.values())
    assert first_words["how"] > VIDEOS // 20  # "how to ..." is a topic of its own
    assert all(channel and duration > 0 for _, _, channel, duration in catalog)


def test_searches_are_typed_as_people_type(small):
    _, catalog, log, titles = small
    counts = collections.Counter(term for term, _ in log)
    assert all(term.strip() for term in counts)
    assert sum(" " in term.strip() for term, _ in log) > 0.4 * len(log)
    # Zipf-like: a head searched hundreds of times leading to many videos, a long tail once.
    head, searched = counts.most_common(1)[0]
    assert searched > 0.005 * len(log) and len({video for term, video in log if term == head}) > 100
    assert sum(count == 1 for count in counts.values()) > 0.3 * len(counts)
    # Mostly prefixes of the title; some with two letters swapped, some without accents.
    assert prefix_share(log, titles) > 0.5
    swapped = [
        term for term, video in log
        if not titles[video].startswith(plain(term))
        and any(titles[video].startswith(plain(term[:i] + term[i + 1] + term[i] + term[i + 2 :])) for i in range(len(term) - 1))
    ]
    assert len(swapped) > 0.002 * len(log)
    accented = {video: title.lower() for video, title, _, _ in catalog if not title.isascii()}
    assert any(not plain(term).isascii() for term, _ in log)
    typed_bare = sum(
        term.isascii() and not accented[video][: len(term)].isascii() and titles[video].startswith(plain(term))
        for term, video in log if video in accented
    )
    assert typed_bare > 0.002 * len(log)


def test_held_out_log_continues_the_log(small, tmp_path):
    made, _, log, titles = small
    held_out = table(made.held_out)
    assert len(held_out) == ROWS // 10 and held_out != log[: len(held_out)]
    longer = site.make_site_log(tmp_path / "longer.parquet", ROWS + len(held_out), SEED, catalog=site.build_catalog(VIDEOS, SEED))
    assert table(longer.path)[ROWS:] == held_out
    assert abs(prefix_share(held_out, titles) - prefix_share(log, titles)) < 0.03


def test_parts_hold_the_rows_of_the_single_file(tmp_path):
    catalog = site.build_catalog(VIDEOS, SEED)
    rows = site.BLOCK_ROWS + 17
    single = site.make_site_log(tmp_path / "log.parquet", rows, SEED, catalog=catalog)
    held_out = tmp_path / "held"
    parts = site.make_site_log(tmp_path / "log", rows, SEED, catalog=catalog, parts=3, held_out=held_out, held_out_rows=900)
    assert [file.name for file in parts.files] == ["part-00000.parquet", "part-00001.parquet", "part-00002.parquet"]
    assert table(parts.path) == table(single.path)
    assert len(parts.held_out_files) == 1 and len(table(held_out)) == 900


@pytest.mark.heavy
def test_a_large_log_is_written_in_bounded_memory(tmp_path):
    script = textwrap.dedent(f"""
        import resource
        import quillon.example
        quillon.example.__path__.insert(0, {str(EXAMPLE)!r})
        from quillon.example import site
        site.make_site_log({str(tmp_path / "log")!r}, 1_500_000, 5, catalog=site.build_catalog(50_000, 5), parts=3)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600, check=False)
    assert done.returncode == 0, done.stderr
    assert len(list((tmp_path / "log").iterdir())) == 3
    assert duckdb.sql(f"SELECT count(*) FROM '{tmp_path / 'log'}/*.parquet'").fetchall() == [(1_500_000,)]
    assert int(done.stdout) < 600 * 1024  # kB: a 500,000-row part at a time


def test_other_id_kinds_name_the_same_videos(small, tmp_path):
    _, catalog, _, _ = small
    by_int = table(site.make_catalog(tmp_path / "int.parquet", VIDEOS, SEED, id_kind="int").path)
    uuid_catalog = site.make_catalog(tmp_path / "uuid.parquet", VIDEOS, SEED, id_kind="uuid")
    by_uuid = table(uuid_catalog.path)
    assert [row[1:] for row in by_int] == [row[1:] for row in by_uuid] == [row[1:] for row in catalog]
    assert [video for video, *_ in by_int] == list(range(site.FIRST_INT_ID, site.FIRST_INT_ID + VIDEOS))
    uuids = [uuid.UUID(video) for video, *_ in by_uuid]
    assert len(set(uuids)) == VIDEOS and {u.version for u in uuids} == {4} and str(uuids[0]) == by_uuid[0][0]
    log = table(site.make_site_log(tmp_path / "log.parquet", 1000, SEED, catalog=uuid_catalog).path)
    assert {video for _, video in log} <= {video for video, *_ in by_uuid}
