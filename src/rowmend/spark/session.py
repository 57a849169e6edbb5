"""Reading through a Spark session: the sources registered, the rows and the report read, the report merged."""

from __future__ import annotations

import json
import os
from typing import Any, List, Sequence, Tuple, Union

from pyspark.sql import DataFrame, SparkSession

from rowmend._layout import Layout
from rowmend._options import DEFAULT_MAX_RECORDS, OPTIONS
from rowmend._partitions import merge_reports
from rowmend._report import Report
from rowmend.spark.source import RowmendReportSource, RowmendSource

__all__ = ["read_with_report", "register", "report"]

_NULLABLE_WORD = {spec.name: ("none" if "none" in spec.words else "auto" if "auto" in spec.words else None) for spec in OPTIONS}


def register(spark: SparkSession) -> None:
    """Add the ``rowmend`` and ``rowmend-report`` formats to the session (again is harmless)."""
    spark.dataSource.register(RowmendSource)
    spark.dataSource.register(RowmendReportSource)


def _text(name: str, value: Any) -> Union[str, None]:
    """A reading option's value as the string ``.option()`` passes; None to leave it out."""
    if isinstance(value, Layout):
        raise TypeError("layout: give Spark the path of the layout's JSON file (Layout.to_json), not the object")
    if value is None:
        if name == "dtypes":
            return "string"
        return _NULLABLE_WORD.get(name)  # the word that means None, or leave the default
    if isinstance(value, bool):
        return "true" if value else "false"
    return os.fspath(value) if isinstance(value, os.PathLike) else str(value)


def read_with_report(
    spark: SparkSession, paths: Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]], **options: Any
) -> Tuple[DataFrame, DataFrame]:
    """The rows of CSV files and their report, as two DataFrames.

    Registers the formats, then reads ``paths`` with
    ``spark.read.format("rowmend")`` and with ``format("rowmend-report")``,
    the same options given to both.

    Args:
        spark: The session.
        paths: A path, a glob or a URL, or a list of them.
        **options: The reading options of :func:`rowmend.read_arrow`
            (:data:`rowmend._options.OPTIONS`), as Python values; and
            ``blocksize``.

    Returns:
        ``(rows, report)``: the rows, and one row per partition with its
        counts and quarantined rows (:data:`rowmend.spark.REPORT_SCHEMA`),
        which :func:`report` merges. Both are lazy; the report reads the
        files again when computed, counting the rows rather than keeping
        them.
    """
    register(spark)
    listed: List[str] = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(p) for p in paths]
    readers = []
    for name in ("rowmend", "rowmend-report"):
        reader = spark.read.format(name)
        for option, value in options.items():
            text = _text(option, value)
            if text is not None:
                reader = reader.option(option, text)
        readers.append(reader.load(listed if len(listed) > 1 else listed[0]))
    return readers[0], readers[1]


def report(report_frame: DataFrame) -> Report:
    """One :class:`~rowmend.Report` for a whole read, from its ``rowmend-report`` DataFrame.

    Collects the report rows (one per partition, small: counts and at most
    ``max_records`` records each) and merges them in partition order:
    counts add up, the records keep each row's line in its own file (the
    first ``max_records`` of each kind, as the read was given), the line
    histograms are merged by line.
    """
    rows = sorted(report_frame.collect(), key=lambda row: row["partition"])
    if not rows:
        raise ValueError("the report frame holds no partition's report: was it filtered?")
    reports = []
    max_records = DEFAULT_MAX_RECORDS
    for row in rows:
        data = json.loads(row["report"])
        max_records = data.pop("max_records", max_records)
        data["quarantine"] = [dict(record.asDict()) for record in row["quarantine"]]
        reports.append(Report.from_dict(data))
    return merge_reports(reports, max_records=max_records)
