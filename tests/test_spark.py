"""quillon.spark.aggregate: a raw log aggregated by Spark (local mode) and
written as Parquet builds the same index bytes (display texts and the
site's own ids included) as the raw log built directly; bad ids and counts
fail the job.

Without PySpark or Java these tests skip, unless QUILLON_REQUIRE_SPARK=1
(as CI's spark stage sets), when they fail instead. Under a preloaded
AddressSanitizer (the sanitizer stage) they always skip: the JVM cannot
run with it."""

from __future__ import annotations

import decimal
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import uuid

import pytest

from quillon.build import BuildOptions, build_index
from quillon.cli import main
from quillon.build.spark import _normalizer, aggregate
from search_logs import U32_MAX

PARQUET_SCHEMA = {"int": "bigint", "uuid": "string", "binary": "binary", "string": "string"}


def skip_or_fail(missing: str) -> None:
    if os.environ.get("QUILLON_REQUIRE_SPARK") == "1":
        pytest.fail(f"QUILLON_REQUIRE_SPARK=1, but {missing}", pytrace=False)
    pytest.skip(missing)


@pytest.fixture(scope="module")
def pyspark():
    try:
        import pyspark
    except ImportError:
        skip_or_fail("PySpark is not installed (pip install '.[spark]')")
    return pyspark


@pytest.fixture(scope="module")
def spark(pyspark):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the JVM does not run with AddressSanitizer preloaded")
    if not (os.environ.get("JAVA_HOME") or shutil.which("java")):
        skip_or_fail("no Java runtime (no java on PATH, no JAVA_HOME)")
    from pyspark.sql import SparkSession

    session = (
        SparkSession.builder.master("local[2]")
        .appName("quillon-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.default.parallelism", "2")
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def video_id(kind: str, number: int):
    """Video ``number`` as an id of ``kind``; UUID texts in varied spellings,
    which the aggregation must make canonical; string ids of varied forms
    (one like a UUID, which string ids keep as typed)."""
    if kind == "int":
        return number
    value = uuid.UUID(int=number * 0x1_0000_0001_0000_0001 + (number << 120))
    if kind == "string":
        return [f"dQw4w9WgX{number}", str(number), "{" + value.hex.upper() + "}", f"clip-é-{number}"][number % 4]
    if kind == "binary":
        return value.bytes
    return [str(value), str(value).upper(), "{" + value.hex + "}", value.hex[:7] + "-" + value.hex[7:]][number % 4]


def raw_log(kind: str, with_count: bool, with_display: bool = False) -> list[tuple]:
    """Searches with case, accent and spacing variants, terms that end up
    empty or with U+0000 or NULL, counts that saturate, and rare terms
    that the minimum counts drop; with a display column, NULL in some rows."""
    rng = random.Random(11)
    words = ["Straße", "strasse", "ÉCOLE", "école", "ecole", "Café  Noir", "cafe noir", "x", "xy", "\U0001f600 emoji", "ß"]
    rows = [
        (rng.choice(words), video_id(kind, rng.randrange(1, 40)), rng.choice([0, 1, 1, 2, 7]))
        for _ in range(600)
    ]
    rows += [(None, video_id(kind, 1), 5), ("   ", video_id(kind, 2), 5), ("nul\0", video_id(kind, 3), 5)]
    rows += [("Big", video_id(kind, 4), U32_MAX), ("big", video_id(kind, 4), U32_MAX), ("BIG", video_id(kind, 5), 3)]
    rows += [("Rare", video_id(kind, 6), 1), ("once", video_id(kind, 7), 0)]
    rows = [row if with_count else row[:2] for row in rows]
    return [(*row, None if i % 3 else f"Shown  {i % 2}") for i, row in enumerate(rows)] if with_display else rows


@pytest.mark.parametrize(
    ("kind", "with_count", "mode", "min_count", "min_term_count", "with_display"),
    [
        ("int", False, "fold", 2, 1, False),
        ("int", True, "lower", 1, 40, False),
        ("uuid", True, "fold", 0, 3, False),
        ("binary", False, "none", 1, 1, False),
        ("string", True, "fold", 1, 1, False),
        ("string", False, "lower", 2, 1, True),
    ],
)
def test_spark_path_builds_the_bytes_of_the_direct_build(
    spark, tmp_path, kind, with_count, mode, min_count, min_term_count, with_display
):
    schema = f"term string, video_id {PARQUET_SCHEMA[kind]}" + (", count bigint" if with_count else "")
    schema += ", display string" if with_display else ""
    spark.createDataFrame(raw_log(kind, with_count, with_display), schema).write.parquet(str(tmp_path / "raw"))
    options = BuildOptions(normalization=mode, min_count=min_count, min_term_count=min_term_count)
    direct = build_index([str(tmp_path / "raw")], tmp_path / "direct.idx", options)
    assert direct.manifest.rows_refused == (3 if mode == "fold" else 2)  # only fold empties "   "
    assert (direct.manifest.pairs_below_min_count > 0) == (min_count > 1 or with_count and min_count > 0)
    assert (direct.manifest.terms_below_min_term_count > 0) == (min_term_count > min_count)

    aggregated = aggregate(
        spark.read.parquet(str(tmp_path / "raw")),
        count="count" if with_count else None,
        normalize=mode,
        min_count=min_count,
        min_term_count=min_term_count,
    )
    assert aggregated.dtypes == [("term", "string"), ("display", "string"), ("video_id", PARQUET_SCHEMA[kind]), ("count", "bigint")]
    aggregated.write.parquet(str(tmp_path / "aggregated"))
    via_spark = build_index([str(tmp_path / "aggregated")], tmp_path / "spark.idx", options)

    assert (tmp_path / "spark.idx").read_bytes() == (tmp_path / "direct.idx").read_bytes()
    # Spark kept exactly the pairs the direct build kept, nothing for it to drop.
    assert via_spark.manifest.rows_read == direct.manifest.pairs
    assert via_spark.manifest.rows_refused == 0
    assert via_spark.manifest.pairs_below_min_count == via_spark.manifest.terms_below_min_term_count == 0
    assert via_spark.manifest.id_kind == direct.manifest.id_kind == {"binary": "uuid"}.get(kind, kind)
    ids = {row.video_id for row in aggregated.select("video_id").distinct().collect()}
    if kind == "uuid":
        assert all(re.fullmatch(r"[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}", i) for i in ids)
    if kind == "string":  # as typed, the one like a UUID too
        assert ids <= {video_id(kind, number) for number in range(1, 40)} and any(i.startswith("{") for i in ids)


BAD_ROW = "quillon.spark.aggregate: bad row: "


@pytest.mark.parametrize(
    ("schema", "rows", "options", "error", "message"),
    [
        # Bad values fail the job, also in rows whose term is dropped.
        ("term string, video_id bigint", [("a", 1), (None, None)], {}, Exception, BAD_ROW + "video_id is missing (NULL)"),
        ("term string, video_id int", [("a", 1), ("  ", -5)], {}, Exception, BAD_ROW + f"video_id -5 is outside 0..{U32_MAX}"),
        ("term string, video_id decimal(20,0)", [("a", decimal.Decimal(U32_MAX + 1))], {}, Exception, f"video_id {U32_MAX + 1} is outside"),
        ("term string, video_id string", [("a", "42"), ("b", "")], {}, Exception, BAD_ROW + "video_id is empty"),
        ("term string, video_id string", [("a", "é" * 129)], {}, Exception, BAD_ROW + f"video_id '{'é' * 60}' is 258 bytes, more than the 256 of a video id"),
        ("term string, video_id binary", [("a", b"\1" * 15)], {}, Exception, BAD_ROW + "video_id is 15 bytes, not the 16 of a UUID"),
        ("term string, video_id int, n int", [("a", 1, -1)], {"count": "n"}, Exception, BAD_ROW + f"n -1 is outside 0..{U32_MAX}"),
        ("term string, video_id int, n int", [("a", 1, None)], {"count": "n"}, Exception, BAD_ROW + "n is missing (NULL)"),
        # Bad columns and options are refused at once.
        ("term string, vid int", [("a", 1)], {}, ValueError, "no column 'video_id' (columns: 'term', 'vid')"),
        ("term string, video_id double", [("a", 1.0)], {}, TypeError, "column 'video_id' is double; video ids must be"),
        ("term int, video_id int", [(1, 1)], {}, TypeError, "column 'term' is int; terms must be text"),
        ("term string, video_id int, n string", [("a", 1, "1")], {"count": "n"}, TypeError, "column 'n' is string; counts must be integers"),
        ("term string, video_id int", [("a", 1)], {"normalize": "upper"}, ValueError, "unknown normalisation 'upper'"),
        ("term string, video_id int", [("a", 1)], {"min_count": -1}, ValueError, f"min_count must be an integer 0..{U32_MAX}, not -1"),
    ],
)
def test_bad_logs_are_refused_naming_column_and_value(spark, schema, rows, options, error, message):
    with pytest.raises(error, match=re.escape(message)):
        aggregate(spark.createDataFrame(rows, schema), **options).collect()


def test_executors_need_no_quillon_to_normalise(pyspark):
    from pyspark import cloudpickle

    payload = cloudpickle.dumps(_normalizer("fold"))
    script = (
        "import pickle, sys; sys.modules['quillon'] = sys.modules['_quillon'] = None; "
        "f = pickle.loads(sys.stdin.buffer.read()); print(repr((f(' Café  NOIR '), f(None))))"
    )
    done = subprocess.run([sys.executable, "-c", script], input=payload, capture_output=True, check=True)
    assert done.stdout.decode().strip() == repr((("cafe noir", "Café NOIR"), None))


def test_without_pyspark_the_error_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyspark", None)
    monkeypatch.setitem(sys.modules, "pyspark.sql", None)
    with pytest.raises(ImportError, match=re.escape("pip install 'quillon[spark]'")):
        aggregate(None)  # type: ignore[arg-type]


def test_readme_example_builds_what_the_raw_log_builds(spark, tmp_path, monkeypatch):
    readme = (pathlib.Path(__file__).parent.parent / "docs" / "python-api.md").read_text()
    block = re.search(r"```python\n(from quillon\.spark .*?)```", readme, flags=re.S).group(1)
    # Spark resolves paths against the JVM's folder, the command against ours.
    spark.createDataFrame(raw_log("int", False), "term string, video_id bigint").write.parquet(str(tmp_path / "searches"))
    exec(block.replace("s3://logs/", f"{tmp_path}/"), {"spark": spark})
    monkeypatch.chdir(tmp_path)
    command = re.search(r"^# quillon (build .*)$", block, flags=re.M).group(1).split()
    assert main(command) == 0
    # The raw log, with the same options but the output.
    assert main(["build", "searches", *command[2:-1], "direct.idx"]) == 0
    assert pathlib.Path(command[-1]).read_bytes() == pathlib.Path("direct.idx").read_bytes()
