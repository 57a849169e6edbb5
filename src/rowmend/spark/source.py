"""The Spark data sources ``rowmend`` (the rows) and ``rowmend-report`` (each partition's report).

Both are Spark's Python data sources. The layout is settled once, on the
driver, from the first file (:func:`rowmend._partitions.plan_read`) when
Spark asks for the schema; the plan travels with the source to the reader
and with every partition to the executors, which read one file or one
byte range of a big file each (``blocksize``; the ranges are scanned and
joined where Spark plans the read, as tasks of a session active there) and
yield Arrow record batches.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, Dict, Generator, Iterator, List, Optional, Sequence

import pyarrow as pa
from pyspark.sql.datasource import DataSource, DataSourceReader, InputPartition
from pyspark.sql.pandas.types import from_arrow_schema, to_arrow_schema
from pyspark.sql.types import StructType

from rowmend._inputs import File, close_source, open_inputs, opened, read_source
from rowmend._options import resolve_options
from rowmend._outputs import named
from rowmend._partitions import ReadPlan, conform, plan_read
from rowmend._range_read import read_range
from rowmend._ranges_plan import FilePart, file_parts
from rowmend._report import Report
from rowmend._tables import check_table_options, stream
from rowmend.spark.options import blocksize_option, paths_option, reading_options

__all__ = ["REPORT_SCHEMA", "RowmendReportSource", "RowmendSource"]

# Rows per Arrow batch handed to Spark: small enough that a batch of text
# stays far below Arrow's 2 GiB per column, large enough to be cheap.
_BATCH_ROWS = 16384

#: The report source's columns, one row per partition: its file and
#: number, its counts, ``quarantine`` (its quarantined rows, the first
#: ``max_records``) and ``report`` (the rest of its :class:`~rowmend.Report`
#: as JSON: repairs, skipped kinds, notes, the line histogram), which
#: :func:`rowmend.spark.report` reads back.
REPORT_SCHEMA = pa.schema(
    [
        ("path", pa.string()),
        ("partition", pa.int32()),
        ("total_rows", pa.int64()),
        ("salvaged_rows", pa.int64()),
        ("repaired_rows", pa.int64()),
        ("quarantined_rows", pa.int64()),
        ("skipped_rows", pa.int64()),
        ("replaced_bytes", pa.int64()),
        ("encoding", pa.string()),
        ("quarantine", pa.list_(pa.struct([("line", pa.int64()), ("reason", pa.string()), ("raw", pa.string())]))),
        ("report", pa.string()),
    ]
)


@dataclass(frozen=True)
class _Settled:
    """What the driver settled once: the files and the plan every partition reads with."""

    files: List[File]
    parts: List[FilePart]
    plan: ReadPlan
    max_records: int


class _FilePartition(InputPartition):
    """One file read whole, or one byte range of it, by one task."""

    def __init__(self, part: FilePart) -> None:
        super().__init__(part.index)
        self.part = part
        self.item = part.file


def _scan_as_tasks(scans: Sequence[Any]) -> List[Any]:
    """Phase one's scans as tasks of the Spark session active where the read is planned, else in turn there.

    Spark plans a Python data source in a Python worker of its own, where
    no session is active: the scans then run there one after the other,
    at the engine's scanning speed, before any partition is read.
    """
    from pyspark.sql import SparkSession

    session = SparkSession.getActiveSession()
    if session is None or len(scans) < 2:
        return [scan() for scan in scans]
    return list(session.sparkContext.parallelize(list(scans), len(scans)).map(lambda scan: scan()).collect())


def _settle(given: Dict[str, str]) -> _Settled:
    """The files and the read plan, from the source's options (on the driver)."""
    options = reading_options(given)
    resolved = resolve_options(**options)
    check_table_options(resolved)
    if resolved.progress:
        raise ValueError("progress=true would draw a bar in every executor: Spark's UI shows the progress")
    files = open_inputs(paths_option(given), None)
    first = files[0]

    plan = plan_read(lambda: opened(first), first.name, options, resolved)
    parts = file_parts(files, blocksize_option(given), plan.options, _scan_as_tasks)
    return _Settled(files, parts, plan, resolved.max_records)


def _read_file(part: FilePart, plan: ReadPlan) -> Generator[pa.RecordBatch, None, Report]:
    """The partition's rows as record batches conformed to the plan; the report is the generator's return value."""
    item = part.file
    if part.read is not None and part.layout is not None:
        try:
            table, report = read_range(item.file, item.name, part.layout, part.read, plan.options, list(plan.schema.names), _BATCH_ROWS)
        except OSError as error:
            raise named(error, item.name) if error.filename is None else error from None
        yield from conform(table, plan, item.name).to_batches(max_chunksize=_BATCH_ROWS)
        return report
    source = read_source(item)
    try:
        rows = stream(source, batch_rows=_BATCH_ROWS, **plan.options)
        for batch in rows:
            yield from conform(pa.Table.from_batches([batch]), plan, item.name).to_batches()
    except OSError as error:
        raise named(error, item.name) if error.filename is None else error from None
    finally:
        close_source(source)
    assert rows.report is not None
    return rows.report


class _SettlingSource(DataSource):
    """A source that settles the layout once, when Spark first asks for the schema or a reader."""

    def __init__(self, options: Dict[str, str]) -> None:
        super().__init__(options)
        self._settled: Optional[_Settled] = None

    def settled(self) -> _Settled:
        # Spark asks for the schema, then pickles this source to make the
        # reader: what schema() settled comes along.
        if self._settled is None:
            self._settled = _settle(dict(self.options))
        return self._settled


class RowmendSource(_SettlingSource):
    """``spark.read.format("rowmend")``: CSV files read by rowmend, one partition per file or byte range (``blocksize``).

    Options are the reading options of :func:`rowmend.read_arrow` by name,
    as strings (``.option("skip_footer", "auto")``, ``.option("header",
    True)``). The schema is the first file's columns: strings, or Arrow's
    inferred types with ``dtypes="infer"``. A schema given with
    ``.schema(...)`` renames and casts those columns in order.
    """

    @classmethod
    def name(cls) -> str:
        """The format's name: ``rowmend``."""
        return "rowmend"

    def schema(self) -> StructType:
        """The columns of the first file, under its layout."""
        struct: StructType = from_arrow_schema(self.settled().plan.schema)
        return struct

    def reader(self, schema: StructType) -> DataSourceReader:
        """The reader of the files, each a partition."""
        return _RowsReader(self.settled(), to_arrow_schema(schema))


class RowmendReportSource(_SettlingSource):
    """``spark.read.format("rowmend-report")``: one row per partition of the same read (:data:`REPORT_SCHEMA`).

    It takes the options and paths of the ``rowmend`` read it reports on,
    and reads the files again (the rows are counted, not kept).
    """

    @classmethod
    def name(cls) -> str:
        """The format's name: ``rowmend-report``."""
        return "rowmend-report"

    def schema(self) -> StructType:
        """:data:`REPORT_SCHEMA`."""
        struct: StructType = from_arrow_schema(REPORT_SCHEMA)
        return struct

    def reader(self, schema: StructType) -> DataSourceReader:
        """The reader of the partitions' reports."""
        return _ReportReader(self.settled())


class _Reader(DataSourceReader):
    def __init__(self, settled: _Settled) -> None:
        self.settled = settled

    def partitions(self) -> Sequence[InputPartition]:
        return [_FilePartition(part) for part in self.settled.parts]


class _RowsReader(_Reader):
    def __init__(self, settled: _Settled, schema: pa.Schema) -> None:
        super().__init__(settled)
        self.schema = schema

    def read(self, partition: InputPartition) -> Iterator[pa.RecordBatch]:
        assert isinstance(partition, _FilePartition)
        planned = self.settled.plan.schema
        if len(self.schema) != len(planned):
            raise ValueError(
                f"the schema given has {len(self.schema)} columns, the files {len(planned)} ({', '.join(planned.names)})"
            )
        for batch in _read_file(partition.part, self.settled.plan):
            if batch.schema != self.schema:
                try:
                    batch = batch.rename_columns(self.schema.names).cast(self.schema)
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
                    raise ValueError(f"{partition.item.name}: its rows do not convert to the schema given: {error}") from None
            yield batch


class _ReportReader(_Reader):
    def read(self, partition: InputPartition) -> Iterator[pa.RecordBatch]:
        assert isinstance(partition, _FilePartition)
        rows = _read_file(partition.part, self.settled.plan)
        while True:
            try:
                next(rows)
            except StopIteration as stop:
                report: Report = stop.value
                break
        yield _report_batch(partition.item.name, partition.value, report, self.settled.max_records)


def _report_batch(path: str, index: int, report: Report, max_records: int) -> pa.RecordBatch:
    rest = report.to_dict(lines=True)
    quarantine = rest.pop("quarantine")
    rest["max_records"] = max_records  # for the merge: records kept per kind
    row = {
        "path": path,
        "partition": index,
        **{name: getattr(report, name) for name in _COUNTS},
        "encoding": report.encoding,
        "quarantine": quarantine,
        "report": json.dumps(rest),
    }
    return pa.RecordBatch.from_pylist([row], schema=REPORT_SCHEMA)


_COUNTS = ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "skipped_rows", "replaced_bytes")
