"""The aggregation of a search log in Spark, for logs that live on a cluster.

``aggregate`` turns a DataFrame of raw searches into the table that ``quillon
build`` turns into an index: one row per (normalised term, video) with the
summed count and the term's display text, the long tail dropped. Written as
Parquet, that table builds the same index bytes as the raw log would, with
the same ``--normalize``, ``--min-count`` and ``--min-term-count``::

    from quillon.spark import aggregate

    aggregate(spark.read.parquet("s3://logs/searches/"), min_count=2) \\
        .write.parquet("s3://logs/quillon-terms/")
    # then, on one machine: quillon build quillon-terms/ -o words.idx --min-count 2

The rules are the build's: without a count column each row counts once;
counts add up and stop at 4294967295; rows whose term is NULL, empty after
normalisation or holds U+0000 are left out; a term's display text is the
spelling typed most often (whitespace collapsed; ties by code point), or a
``display`` column's where the DataFrame has one; text video ids are UUIDs
where every one is UUID text, else the site's own ids, kept as typed; a row
with an unusable video id or count (NULL, empty, negative, too large, a
binary that is not 16 bytes, text of more than 256 bytes) fails the job
when the DataFrame is computed, naming the column and the value.
Normalisation runs once per distinct typed term, in a Python UDF over
``quillon.normalize``; the function travels to the executors by value, so
they need the driver's Python (its Unicode tables) but not quillon.

PySpark is an optional dependency: ``pip install 'quillon[spark]'``.
"""

# PySpark is optional: where it is missing its names are Any to mypy.
# mypy: disable-error-code="import-not-found"

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING

from quillon.normalize import MODES, Mode, normalize

if TYPE_CHECKING:
    # Private names: where PySpark is missing, stubtest would take public
    # ones for attributes the module lacks.
    import pyspark.sql as _sql
    import pyspark.sql.types as _types

__all__ = ["aggregate"]

U32_MAX = 0xFFFF_FFFF
# Values quoted in an error are cut to this many characters, as the build's.
_VALUE_CHARS = 60
# Sums are taken in decimals: a bigint sum of billions of counts of up to
# 2**32 - 1 could overflow (and wrap silently unless ANSI mode is on).
_SUM_TYPE = "decimal(20,0)"
# UUID text as the build's DuckDB reads it: 32 hex digits, hyphens anywhere,
# the whole optionally in braces.
_UUID_TEXT = r"\A(?:\{[0-9a-fA-F-]*\}|[0-9a-fA-F-]*)\z"
# The longest text video id, in UTF-8 bytes, as the build's.
_MAX_ID_BYTES = 256
# The column of display texts, where a DataFrame has one, as the build's.
_DISPLAY = "display"


def aggregate(
    df: _sql.DataFrame,
    term: str = "term",
    video: str = "video_id",
    count: str | None = None,
    normalize: Mode = "fold",
    min_count: int = 1,
    min_term_count: int = 1,
) -> _sql.DataFrame:
    """The log ``df`` aggregated to columns ``term`` (normalised),
    ``display`` (the spelling to show), ``video_id`` and ``count``.

    ``term`` names the text column; ``video`` the video id column: integers
    (0..4294967295, returned as bigint), text (returned as it is, or, where
    every value is a UUID in any case, with hyphens anywhere and optional
    braces, in the canonical lowercase form) or 16-byte binaries (returned
    as they are); ``count`` an integer column of counts (0..4294967295), or
    None to count each row once. Pairs counted fewer than ``min_count``
    times are dropped, then terms whose remaining pairs count fewer than
    ``min_term_count`` in all.

    Raises ``ValueError`` for a missing column or a bad option and
    ``TypeError`` for a column of the wrong type; bad values fail the Spark
    job that computes the result."""
    _require_pyspark()
    from pyspark.sql import Window
    from pyspark.sql import functions as F

    if normalize not in MODES:
        raise ValueError(f"unknown normalisation {normalize!r}: use one of {', '.join(MODES)}")
    for name, value in (("min_count", min_count), ("min_term_count", min_term_count)):
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= U32_MAX:
            raise ValueError(f"{name} must be an integer 0..{U32_MAX}, not {value!r}")
    types = {field.name: field.dataType for field in df.schema.fields}
    for name in (term, video, *([count] if count is not None else [])):
        if name not in types:
            available = ", ".join(f"'{column}'" for column in types) or "none"
            raise ValueError(f"no column '{name}' (columns: {available})")
    if types[term].typeName() != "string":
        raise TypeError(f"column '{term}' is {types[term].simpleString()}; terms must be text")
    # A display column, as the build reads one: the spelling to show.
    has_display = _DISPLAY in types and _DISPLAY not in (term, video, count)
    text_ids = types[video].typeName() == "string"

    # The typed term, in the default (binary) collation so that grouping
    # tells apart what the build tells apart.
    raw = _column(term).cast("string")
    rows = df.select(
        raw.alias("raw"),
        *([F.coalesce(_column(_DISPLAY).cast("string"), raw).alias("shown")] if has_display else []),
        _video_id(video, types[video]).alias("video_id"),
        (F.lit(1) if count is None else _count(count, types[count])).cast(_SUM_TYPE).alias("n"),
    )
    # NULL terms stay in until the join below drops them, and the join
    # matches NULL-safely: a filter on the raw term would be pushed below the
    # checks of ids and counts, and let bad rows of dropped terms through.
    raw_pairs = rows.groupBy("raw", *(["shown"] if has_display else []), "video_id").agg(F.sum("n").alias("n"))
    raw_terms = raw_pairs.select("raw").distinct()
    # The struct's fields are taken apart in a later projection: taken from
    # the UDF's call, each would call it again.
    term_map = raw_terms.select("raw", _spelled(F.col("raw"), normalize).alias("spelled"))
    term_map = term_map.select("raw", F.col("spelled.term").alias("term"), F.col("spelled.typed").alias("typed"))
    term_map = term_map.where(F.col("term").isNotNull() & (F.col("term") != "") & (F.instr("term", "\0") == 0))
    joined = raw_pairs.alias("p").join(term_map.alias("m"), F.col("p.raw").eqNullSafe(F.col("m.raw")))
    spelling = F.col("m.typed")
    if has_display:
        shown = raw_pairs.select("shown").distinct()
        shown = shown.select("shown", _collapsed(F.col("shown")).alias("display"))
        joined = joined.join(shown.alias("s"), F.col("p.shown") == F.col("s.shown"))
        spelling = F.col("s.display")
    video_id = F.col("p.video_id")
    if text_ids:
        # UUIDs where every id is UUID text, as the build decides once read.
        all_uuid = raw_pairs.agg(F.coalesce(F.min(F.when(_is_uuid_text(F.col("video_id")), 1).otherwise(0)), F.lit(1)))
        joined = joined.crossJoin(F.broadcast(all_uuid.toDF("all_uuid")))
        video_id = F.when(F.col("all_uuid") == 1, _canonical_uuid(video_id)).otherwise(video_id)

    # One shuffle, by term: what follows groups by the term and more, within
    # partitions, in one pass (two branches would compute all above twice).
    spelled_pairs = (
        joined.select(
            F.col("m.term").alias("term"), video_id.alias("video_id"), spelling.alias("display"), F.col("p.n").alias("n")
        )
        .repartition("term")
        .groupBy("term", "video_id", "display")
        .agg(F.sum("n").alias("n"))
    )
    # Each term's display text: over all its searches, whatever their
    # video, the spelling typed most often, whitespace collapsed; ties by
    # code point (Spark orders strings by their UTF-8 bytes): the least
    # (-times typed, spelling).
    typed = F.sum("n").over(Window.partitionBy("term", "display"))
    spelled_pairs = spelled_pairs.withColumn("typed", typed)
    best = F.min(F.struct(F.negative("typed").alias("order"), F.col("display").alias("display")))
    spelled_pairs = spelled_pairs.withColumn("best", best.over(Window.partitionBy("term")).getField("display"))
    pairs = spelled_pairs.groupBy("term", "video_id").agg(
        _capped_sum("n").alias("count"), F.first("best").alias("display")
    )
    if min_count > 0:
        pairs = pairs.where(F.col("count") >= min_count)
    # Every kept term counts at least min_count in all: a minimum term count
    # up to that leaves every term in.
    if min_term_count > min_count:
        total = F.sum(F.col("count").cast(_SUM_TYPE)).over(Window.partitionBy("term"))
        pairs = pairs.withColumn("total", total).where(F.col("total") >= min_term_count)
    return pairs.select("term", "display", "video_id", "count")


def _require_pyspark() -> None:
    try:
        import pyspark.sql  # noqa: F401
    except ImportError as error:
        raise ImportError(
            "quillon.spark needs PySpark: pip install 'quillon[spark]' (or '.[spark]' from a checkout)"
        ) from error


def _column(name: str) -> _sql.Column:
    """The top-level column ``name``, even where it holds dots or backticks."""
    from pyspark.sql import functions as F

    return F.col("`" + name.replace("`", "``") + "`")


def _capped_sum(name: str) -> _sql.Column:
    from pyspark.sql import functions as F

    return F.least(F.sum(F.col(name).cast(_SUM_TYPE)), F.lit(U32_MAX)).cast("bigint")


def _spelled(raw: _sql.Column, mode: Mode) -> _sql.Column:
    """A struct of the normalised term (``term``) and the term as typed,
    whitespace collapsed (``typed``): one Python call per distinct term."""
    # Marked nondeterministic so that the optimiser neither moves it nor
    # evaluates it twice (once in the filter on its result, once for the
    # column): it runs once per distinct typed term. Pickled rather than
    # through Arrow, which would need pandas and pyarrow for no gain here.
    from pyspark.sql import functions as F

    udf = F.udf(_normalizer(mode), "struct<term:string,typed:string>", useArrow=False)
    return udf.asNondeterministic()(raw)


def _collapsed(text: _sql.Column) -> _sql.Column:
    from pyspark.sql import functions as F

    def collapsed(text: str | None) -> str | None:
        return None if text is None else " ".join(text.split())

    return F.udf(collapsed, "string", useArrow=False).asNondeterministic()(text)


def _normalizer(mode: Mode) -> Callable[[str | None], tuple[str, str] | None]:
    """For a UDF: the text normalised by ``quillon.normalize`` and as typed
    with its whitespace collapsed. Sent to the executors by value, so that
    they need no quillon installed: it uses only the standard library."""
    from pyspark import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[normalize.__module__])  # type: ignore[no-untyped-call,unused-ignore]

    def normalized(text: str | None) -> tuple[str, str] | None:
        if text is None:
            return None
        return (text if mode == "none" else normalize(text, mode)), " ".join(text.split())

    return normalized


def _video_id(name: str, kind: _types.DataType) -> _sql.Column:
    """The video id: bigint, text as it is, or 16 bytes; a value that is
    none of these fails the job."""
    from pyspark.sql import functions as F

    value = _column(name)
    missing = _problem(F.lit(f"{name} is missing (NULL)"))
    if _is_integer(kind):
        outside = _problem(F.lit(f"{name} "), value.cast("string"), F.lit(f" is outside 0..{U32_MAX}"))
        return (
            F.when(value.isNull(), missing)
            .when((value < 0) | (value > U32_MAX), outside)
            .otherwise(value.cast("bigint"))
        )
    if kind.typeName() == "binary":
        wrong_size = _problem(F.lit(f"{name} is "), F.length(value).cast("string"), F.lit(" bytes, not the 16 of a UUID"))
        return F.when(value.isNull(), missing).when(F.length(value) != 16, wrong_size).otherwise(value)
    if kind.typeName() == "string":
        text = value.cast("string")
        empty = _problem(F.lit(f"{name} is empty"))
        too_long = _problem(
            F.lit(f"{name} '"), F.substring(text, 1, _VALUE_CHARS), F.lit("' is "), F.octet_length(text).cast("string"),
            F.lit(f" bytes, more than the {_MAX_ID_BYTES} of a video id"),
        )  # fmt: skip
        return F.when(text.isNull(), missing).when(text == "", empty).when(F.octet_length(text) > _MAX_ID_BYTES, too_long).otherwise(text)
    raise TypeError(
        f"column '{name}' is {kind.simpleString()}; video ids must be integers, text (UUIDs or the site's own ids) "
        "or 16-byte binaries"
    )


def _is_uuid_text(text: _sql.Column) -> _sql.Column:
    """Whether ``text`` is a UUID as the build's DuckDB reads one."""
    from pyspark.sql import functions as F

    return text.rlike(_UUID_TEXT) & (F.length(F.regexp_replace(text, r"[{}-]", "")) == 32)


def _canonical_uuid(text: _sql.Column) -> _sql.Column:
    """UUID text in the canonical form: lowercase, hyphens at 8-4-4-4-12."""
    from pyspark.sql import functions as F

    digits = F.lower(F.regexp_replace(text, r"[{}-]", ""))
    return F.concat_ws(
        "-", *(F.substring(digits, start, length) for start, length in ((1, 8), (9, 4), (13, 4), (17, 4), (21, 12)))
    )


def _count(name: str, kind: _types.DataType) -> _sql.Column:
    from pyspark.sql import functions as F

    if not _is_integer(kind):
        raise TypeError(f"column '{name}' is {kind.simpleString()}; counts must be integers")
    value = _column(name)
    return (
        F.when(value.isNull(), _problem(F.lit(f"{name} is missing (NULL)")))
        .when(
            (value < 0) | (value > U32_MAX),
            _problem(F.lit(f"{name} "), value.cast("string"), F.lit(f" is outside 0..{U32_MAX}")),
        )
        .otherwise(value)
    )


def _is_integer(kind: _types.DataType) -> bool:
    """Integer types, and decimals without a fraction (Spark's reading of
    unsigned 64-bit Parquet integers)."""
    name = kind.typeName()
    return name in {"byte", "short", "integer", "long"} or (name == "decimal" and getattr(kind, "scale", None) == 0)


def _problem(*parts: _sql.Column) -> _sql.Column:
    from pyspark.sql import functions as F

    return F.raise_error(F.concat(F.lit("quillon.spark.aggregate: bad row: "), *parts))
