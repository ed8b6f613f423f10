"""The aggregation of a search log in Spark, for logs that live on a cluster.

``aggregate`` turns a DataFrame of raw searches into the table that ``quillon
build`` turns into an index: one row per (normalised term, video) with the
summed count, the long tail dropped. Written as Parquet, that table builds
the same index bytes as the raw log would, with the same ``--normalize``,
``--min-count`` and ``--min-term-count``::

    from quillon.spark import aggregate

    aggregate(spark.read.parquet("s3://logs/searches/"), min_count=2) \\
        .write.parquet("s3://logs/quillon-terms/")
    # then, on one machine: quillon build quillon-terms/ -o words.idx --min-count 2

The rules are the build's: without a count column each row counts once;
counts add up and stop at 4294967295; rows whose term is NULL, empty after
normalisation or holds U+0000 are left out; a row with an unusable video id
or count (NULL, negative, too large, a malformed UUID, a binary that is not
16 bytes) fails the job when the DataFrame is computed, naming the column
and the value. Normalisation runs once per distinct typed term, in a Python
UDF over ``quillon.normalize``; the function travels to the executors by
value, so they need the driver's Python (its Unicode tables) but not
quillon.

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
    ``video_id`` and ``count``.

    ``term`` names the text column; ``video`` the video id column: integers
    (0..4294967295, returned as bigint), UUIDs as text (any case, hyphens
    anywhere, optional braces; returned in the canonical lowercase form) or
    16-byte binaries (returned as they are); ``count`` an integer column of
    counts (0..4294967295), or None to count each row once. Pairs counted
    fewer than ``min_count`` times are dropped, then terms whose remaining
    pairs count fewer than ``min_term_count`` in all.

    Raises ``ValueError`` for a missing column or a bad option and
    ``TypeError`` for a column of the wrong type; bad values fail the Spark
    job that computes the result."""
    _require_pyspark()
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

    # The typed term, in the default (binary) collation so that grouping
    # tells apart what the build tells apart.
    rows = df.select(
        _column(term).cast("string").alias("raw"),
        _video_id(video, types[video]).alias("video_id"),
        (F.lit(1) if count is None else _count(count, types[count])).cast(_SUM_TYPE).alias("n"),
    )
    # NULL terms stay in until the join below drops them, and the join
    # matches NULL-safely: a filter on the raw term would be pushed below the
    # checks of ids and counts, and let bad rows of dropped terms through.
    raw_pairs = rows.groupBy("raw", "video_id").agg(F.sum("n").alias("n"))
    raw_terms = raw_pairs.select("raw").distinct()
    term_map = raw_terms.select("raw", _normalized(F.col("raw"), normalize).alias("term"))
    term_map = term_map.where(F.col("term").isNotNull() & (F.col("term") != "") & (F.instr("term", "\0") == 0))
    joined = raw_pairs.alias("p").join(term_map.alias("m"), F.col("p.raw").eqNullSafe(F.col("m.raw")))
    pairs = joined.groupBy("m.term", "p.video_id").agg(_capped_sum("p.n").alias("count"))
    if min_count > 0:
        pairs = pairs.where(F.col("count") >= min_count)
    # Every kept term counts at least min_count in all: a minimum term count
    # up to that leaves every term in.
    if min_term_count > min_count:
        totals = pairs.groupBy("term").agg(_capped_sum("count").alias("total"))
        kept_terms = totals.where(F.col("total") >= min_term_count).select("term")
        pairs = pairs.join(kept_terms, "term", "left_semi")
    return pairs.select("term", "video_id", "count")


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


def _normalized(raw: _sql.Column, mode: Mode) -> _sql.Column:
    if mode == "none":
        return raw
    # Marked nondeterministic so that the optimiser neither moves it nor
    # evaluates it twice (once in the filter on its result, once for the
    # column): it runs once per distinct typed term. Pickled rather than
    # through Arrow, which would need pandas and pyarrow for no gain here.
    from pyspark.sql import functions as F

    udf = F.udf(_normalizer(mode), "string", useArrow=False)
    return udf.asNondeterministic()(raw)


def _normalizer(mode: Mode) -> Callable[[str | None], str | None]:
    """``quillon.normalize`` for a UDF, sent to the executors by value, so
    that they need no quillon installed: it uses only the standard library."""
    from pyspark import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[normalize.__module__])  # type: ignore[no-untyped-call,unused-ignore]

    def normalized(text: str | None) -> str | None:
        return None if text is None else normalize(text, mode)

    return normalized


def _video_id(name: str, kind: _types.DataType) -> _sql.Column:
    """The video id, canonical: bigint, UUID text in lowercase with hyphens,
    or 16 bytes; a value that is none of these fails the job."""
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
        digits = F.lower(F.regexp_replace(text, r"[{}-]", ""))
        canonical = F.concat_ws(
            "-", *(F.substring(digits, start, length) for start, length in ((1, 8), (9, 4), (13, 4), (17, 4), (21, 12)))
        )
        malformed = _problem(F.lit(f"{name} '"), F.substring(text, 1, _VALUE_CHARS), F.lit("' is not a UUID"))
        well_formed = text.rlike(_UUID_TEXT) & (F.length(digits) == 32)
        return F.when(text.isNull(), missing).when(~well_formed, malformed).otherwise(canonical)
    raise TypeError(
        f"column '{name}' is {kind.simpleString()}; video ids must be integers, UUIDs (as text) or 16-byte binaries"
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
