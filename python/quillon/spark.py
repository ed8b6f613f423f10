"""``quillon.spark.aggregate``, where it has always been documented: the
build's aggregation as a Spark DataFrame (``quillon.build.spark``)."""

from quillon.build.spark import aggregate

__all__ = ["aggregate"]
