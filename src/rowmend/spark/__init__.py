"""CSV files read by rowmend as Spark DataFrames, with each read's report as a second DataFrame.

:func:`register` adds two Python data sources to a Spark session:
``spark.read.format("rowmend").option(...).load(paths)`` gives the rows, one
partition per file, with the layout (delimiter, quote, columns, header names
and, with ``dtypes="infer"``, types) settled once from the first file on
the driver; ``format("rowmend-report")`` with the same options and paths
gives one row per partition with its counts and quarantined rows.
:func:`read_with_report` makes both; :func:`report` merges the report rows
into one :class:`~rowmend.Report`.

Options are the reading options of :func:`rowmend.read_arrow`, by the same
names, as strings (Spark turns ``.option("header", True)`` into
``"true"``). Paths are read through fsspec on the executors (local paths,
``s3://`` with s3fs, ...), so every executor must reach them.

PySpark is optional: ``pip install 'rowmend[spark]'`` (Spark needs Java).
"""

from __future__ import annotations

try:
    import pyspark.sql.datasource  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised in a child process
    raise ImportError(
        f"rowmend.spark needs PySpark 4 ({exc}); install it with: pip install 'rowmend[spark]'"
    ) from exc

from rowmend.spark.session import read_with_report, register, report
from rowmend.spark.source import REPORT_SCHEMA, RowmendReportSource, RowmendSource

__all__ = ["REPORT_SCHEMA", "RowmendReportSource", "RowmendSource", "read_with_report", "register", "report"]
