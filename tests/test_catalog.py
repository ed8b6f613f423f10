"""quillon build --catalog: the videos' titles and kept columns stored for
ids of each kind, given back by Index, query and info and counted in the
manifest; and every way a catalogue is refused, with nothing written."""

from __future__ import annotations

import json
import uuid

import pytest

from quillon import Index, VideoMatch
from quillon.build import BuildOptions, build_index
from quillon.build.catalog import CatalogOptions
from quillon.manifest import Manifest
from search_logs import run_cli, values_sql, write_jsonl, write_table

# Ids as a site has them: "007" a string, not the number 7.
SITE_LOG = [("cat", "dQw4w9WgXcQ"), ("cat", "007"), ("dog", "zz-no-row")]
SITE_CATALOG = (
    "video_id,title,channel,duration_s\n"
    "dQw4w9WgXcQ,Never Gonna Give You Up,Rick,0213\n"
    '007,"Bond, James",,90\n'
    "dQw4w9WgXcQ,Never Gonna Give You Up,Rick,0213\n"  # a duplicate alike: fine
    "unsearched,Not in the index,X,1\n"
)


def test_string_ids_come_back_as_typed_with_their_titles(tmp_path, capsys):
    log = write_jsonl(tmp_path / "log.jsonl", SITE_LOG)
    catalog = tmp_path / "catalog.csv"
    catalog.write_text(SITE_CATALOG)
    index = tmp_path / "site.idx"
    status, out, err = run_cli(capsys, "build", log, "-o", index, "--catalog", catalog, "--catalog-keep", "channel,duration_s")
    assert (status, err) == (0, "") and "3 videos (1 without a catalogue row) from 3 rows" in out
    assert json.loads((tmp_path / "site.idx.json").read_text())["catalog"] == {
        "path": str(catalog.resolve()), "format": "csv", "size_bytes": catalog.stat().st_size,
        "id_column": "video_id", "title_column": "title", "kept_columns": ["channel", "duration_s"],
        "rows_read": 4, "videos_with_row": 2, "videos_without_row": 1, "rows_not_in_index": 1,
    }  # fmt: skip

    status, out, _ = run_cli(capsys, "query", index, "cat", "--videos", "--json")
    # Equal scores in the order of the ids' bytes; CSV cells as written.
    assert json.loads(out)["videos"] == [
        {"id": "007", "score": 0.5, "title": "Bond, James", "fields": {"channel": "", "duration_s": "90"}},
        {"id": "dQw4w9WgXcQ", "score": 0.5, "title": "Never Gonna Give You Up", "fields": {"channel": "Rick", "duration_s": "0213"}},
    ]
    assert Index.open(index).videos("dog", 0) == [VideoMatch("zz-no-row", 1.0, None, None)]

    status, out, _ = run_cli(capsys, "info", index)
    assert (
        f"\ncatalogue   {catalog.resolve()} (csv, {catalog.stat().st_size:,} bytes): id 'video_id', title 'title', "
        "kept 'channel', 'duration_s'\n            4 rows read; 2 videos with a row, 1 without; 1 row of videos not in the index\n"
    ) in out
    # A manifest written before catalogues were recorded reads as without one.
    manifest = json.loads((tmp_path / "site.idx.json").read_text())
    del manifest["catalog"]
    assert Manifest.from_json(json.dumps(manifest)).catalog is None


def test_integer_and_uuid_ids_meet_their_catalogues(tmp_path):
    ints = write_table(tmp_path / "ints.parquet", values_sql([("a", 1), ("a", 2), ("a", 2)]))
    # A NULL title is an empty one: the video has a row.
    write_table(tmp_path / "ints_catalog.parquet", "SELECT * FROM (VALUES (2, NULL), (1, 'One'), (5, 'Five')) t(video_id, title)")
    options = BuildOptions(catalog=CatalogOptions(tmp_path / "ints_catalog.parquet"))
    manifest = build_index([str(ints)], tmp_path / "ints.idx", options).manifest
    assert Index.open(tmp_path / "ints.idx").videos("a", 0) == [VideoMatch("2", 2 / 3, "", {}), VideoMatch("1", 1 / 3, "One", {})]
    assert manifest.catalog is not None and (manifest.catalog.videos_with_row, manifest.catalog.rows_not_in_index) == (2, 1)

    first, second = uuid.UUID(int=1), uuid.UUID(int=2)
    uuids = write_table(tmp_path / "uuids.csv", values_sql([("a", str(first).upper()), ("a", str(second))]))
    write_table(tmp_path / "uuids_catalog.parquet", f"SELECT unhex('{second.hex}') AS id, 'Second' AS name")
    options = BuildOptions(catalog=CatalogOptions(tmp_path / "uuids_catalog.parquet", id="id", title="name"))
    build_index([str(uuids)], tmp_path / "uuids.idx", options)
    assert Index.open(tmp_path / "uuids.idx").videos("a", 0) == [VideoMatch(str(first), 0.5), VideoMatch(str(second), 0.5, "Second", {})]


def test_an_index_keeps_at_most_24_columns_besides_the_title(tmp_path, capsys):
    log = write_table(tmp_path / "log.parquet", values_sql([("a", 1)]))
    names = [f"c{i}" for i in range(25)]
    catalog = write_table(tmp_path / "catalog.parquet", "SELECT 1 AS video_id, 't' AS title, " + ", ".join(f"'{n}' AS {n}" for n in names))
    status, _, err = run_cli(capsys, "build", log, "-o", tmp_path / "i", "--catalog", catalog, "--catalog-keep", ",".join(names))
    assert (status, err) == (2, f"quillon: error: {catalog}: --catalog-keep names 25 columns; an index keeps at most 24\n")
    assert run_cli(capsys, "build", log, "-o", tmp_path / "i", "--catalog", catalog, "--catalog-keep", ",".join(names[:24]))[0] == 0
    assert Index.open(tmp_path / "i").video(0).fields == {name: name for name in names[:24]}


def refused_catalogues():
    """(log rows, catalogue file name, its rows as SQL, options, message)."""
    ints = [("a", 7), ("a", 9)]
    differing = values_sql(
        [(7, "Cats", "A"), (7, "Cats", "A"), (9, "Dogs", "B"), (7, "Kittens", "A"), (9, "Dogs", "C")],
        ("video_id", "title", "channel"),
    )
    return [
        (ints, "catalog.csv", "SELECT 7 AS id, 'Cats' AS name", ["--catalog-id", "id"], "{c}: no column 'title' (columns: 'id', 'name'); name it with --catalog-title"),
        (ints, "catalog.csv", "SELECT 7 AS video_id, 'Cats' AS title", ["--catalog-keep", "channel"], "{c}: no column 'channel' (columns: 'video_id', 'title'); name it with --catalog-keep"),
        (ints, "catalog.jsonl", differing, ["--catalog-keep", "channel"], "{c}: 2 video ids have rows that differ, e.g. video_id 7: title 'Cats' in row 1, 'Kittens' in row 4; video_id 9: channel 'B' in row 3, 'C' in row 5; a video's rows must agree"),
        (ints, "catalog.parquet", "SELECT * FROM (VALUES (7, 'Cats'), (NULL, 'Dogs')) t(video_id, title)", [], "{c}: 1 row with a bad video_id, e.g. row 2: video_id is missing (NULL)"),
        # Checked before the log is read, and (for text ids) once it is.
        (ints, "catalog.parquet", "SELECT '7' AS video_id, 'Cats' AS title", [], "{c}: column 'video_id' holds text ids (VARCHAR), but the log's video ids are integer ids; a catalogue's ids must be of the log's kind"),
        ([("a", "7")], "catalog.parquet", "SELECT 7 AS video_id, 'Cats' AS title", [], "{c}: column 'video_id' holds integer ids (INTEGER), but the log's video ids are text ids; a catalogue's ids must be of the log's kind"),
        (ints, None, None, ["--catalog-title", "name"], "--catalog-title names a column of the catalogue; give the catalogue with --catalog FILE"),
    ]  # fmt: skip


@pytest.mark.parametrize(("log_rows", "name", "sql", "options", "message"), refused_catalogues())
def test_a_bad_catalogue_is_refused_and_the_old_index_kept(tmp_path, capsys, log_rows, name, sql, options, message):
    log = write_table(tmp_path / "log.parquet", values_sql(log_rows))
    assert run_cli(capsys, "build", log, "-o", tmp_path / "i")[0] == 0
    catalog = tmp_path / (name or "none")
    if sql is not None:
        write_table(catalog, sql)
        options = ["--catalog", catalog, *options]
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    assert run_cli(capsys, "build", log, "-o", tmp_path / "i", *options) == (2, "", f"quillon: error: {message.format(c=catalog)}\n")
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
