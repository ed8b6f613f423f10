"""The build pipeline of ``quillon build``: a search log (Parquet, CSV, JSON
Lines, read by DuckDB; or a table aggregated by Spark) to an index file and
its manifest, written atomically.

- ``sources``: which files, which format and columns, one SQL scan per group;
- ``aggregate``: the DuckDB aggregation down to the sorted terms;
- ``catalog``: the video catalogue (titles and kept columns) stored beside them;
- ``spark``: the same aggregation as a Spark DataFrame, for logs on a cluster;
- ``trie_stream``: the sorted terms to the trie's flat arrays, in one pass;
- ``pipeline``: ``build_index``, the phases in order, and the manifest;
- ``output``: writing the index and the manifest atomically;
- ``progress``: progress bars on a terminal.

It uses the public API of ``quillon`` and never the server.
"""

from quillon.build.catalog import CatalogOptions
from quillon.build.output import write_index_files
from quillon.build.pipeline import BuildOptions, BuildResult, build_index
from quillon.errors import BuildError

__all__ = ["BuildError", "BuildOptions", "BuildResult", "CatalogOptions", "build_index", "write_index_files"]
