"""Many files as one Dask DataFrame (:func:`read_csv`), and each file's report (:func:`reports`)."""

from __future__ import annotations

import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Tuple, Union

import dask.dataframe as dd
import pandas
import pyarrow as pa

from rowmend._options import resolve_options
from rowmend._outputs import named
from rowmend._partitions import ReadPlan, conform, merge_reports, plan_read
from rowmend._range_read import read_range
from rowmend._ranges import RangeLayout, RangeRead
from rowmend._ranges_plan import FilePart, file_parts
from rowmend._report import Report
from rowmend._sizes import parse_size
from rowmend._tables import check_table_options, stream
from rowmend.dask.files import File, Paths, close_source, open_inputs, opened, read_source
from rowmend.dask.report_store import collect, record

__all__ = ["read_csv", "report", "reports"]

# Dask's function, as Any: its typing varies between the releases rowmend supports.
_from_map: Any = dd.from_map

@dataclass(frozen=True)
class _ReadInfo:
    token: str
    names: Tuple[str, ...]
    max_records: int


# The frames read_csv made, by their collection's name: what reports() needs.
_reads: Dict[str, _ReadInfo] = {}


class _ReadPartition:
    """Reads one file into a pandas partition on a worker, and records its report."""

    def __init__(self, token: str, plan: ReadPlan) -> None:
        self.token = token
        self.plan = plan

    def __call__(self, part: FilePart) -> pandas.DataFrame:
        item = part.file
        if part.read is not None and part.layout is not None:
            table, report = _read_part(item, part.read, part.layout, self.plan)
        else:
            source = read_source(item)
            try:
                rows = stream(source, **self.plan.options)
                table = pa.Table.from_batches(list(rows), schema=rows.schema)
            except OSError as error:
                raise named(error, item.name) if error.filename is None else error from None
            finally:
                close_source(source)
            assert rows.report is not None
            report = rows.report
        table = conform(table, self.plan, item.name)
        record(self.token, part.index, report)
        return table.to_pandas(types_mapper=pandas.ArrowDtype)


def _read_part(item: File, read: RangeRead, layout: RangeLayout, plan: ReadPlan) -> Tuple[pa.Table, Report]:
    try:
        return read_range(item.file, item.name, layout, read, plan.options, list(plan.schema.names))
    except OSError as error:
        raise named(error, item.name) if error.filename is None else error from None


def _scan_on_cluster(scans: Any) -> List[Any]:
    """Phase one's scans as tasks of the current scheduler (a cluster's, when a client is active)."""
    import dask.base
    from dask.delayed import delayed

    compute: Any = dask.base.compute  # untyped in some dask releases
    return list(compute(*[delayed(scan)() for scan in scans]))


def read_csv(
    paths: Paths,
    *,
    blocksize: Union[int, str, None] = None,
    storage_options: Optional[Mapping[str, Any]] = None,
    **options: Any,
) -> dd.DataFrame:
    """Read many CSV files into a Dask DataFrame, one partition per file or per byte range of a big one.

    The layout comes from the first file: its delimiter and column count
    (detected or given) are passed to the reads of all the others, and its
    column names and types are the frame's. Each partition is read by
    :func:`rowmend.read_pandas`'s machinery on a worker, so its columns are
    Arrow-backed (``string[pyarrow]``, or the types Arrow infers with
    ``dtypes="infer"``, which are then the first file's types for every
    file). The first file is read on the client to settle the layout: its
    first rows only, or the whole of it with ``dtypes="infer"``.

    The partitions have no known divisions; each has the index its own
    :func:`rowmend.read_pandas` would give it.

    Args:
        paths: A path, a glob (``data/*.csv.gz``), an fsspec URL
            (``s3://bucket/2024/*.csv``, ``memory://data/a.csv``) or a list
            of them. Globs are expanded on the client, in fsspec's (sorted)
            order; the first file is the first of that order.
        blocksize: None (one partition per file), or the byte range of a
            partition (``"256 MiB"``, at least 64 KiB) for cutting big files,
            whose partitions then read exactly the rows, repairs and
            quarantine of one read of the file, with its true lines; the
            ranges are scanned as tasks when this is called. Compressed
            files, files no larger than a block or than the first range's
            8 MiB, and files in UTF-16, UTF-32 or an East Asian multi-byte
            encoding stay one partition.
        storage_options: Passed to the fsspec file system (credentials,
            endpoints, ...).
        **options: The reading options of :func:`rowmend.read_pandas`
            (:data:`rowmend._options.OPTIONS`).

    Returns:
        A lazy :class:`dask.dataframe.DataFrame`; :func:`reports` gives the
        files' reports once it has been computed.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value.
        FileNotFoundError: No file matches ``paths``, or the first file does
            not exist.
        ValueError: When computed, a file whose column names differ from the
            first file's (with a header row, a different column count shows
            as different names) or, with ``dtypes="infer"``, whose values
            do not convert to the first file's types; the message names the
            file. With ``blocksize``, a range whose rows could depend on
            rows across its cut (a table's end or a later table reaching
            over it): the message names the file and the line, and
            ``blocksize=None`` reads it.

    Examples:
        >>> import fsspec, rowmend.dask
        >>> fs = fsspec.filesystem("memory")
        >>> fs.pipe({"/doc/a.csv": b"id,name\\n1,x\\n", "/doc/b.csv": b"id,name\\n2,y,z\\n3\\n"})
        >>> frame = rowmend.dask.read_csv("memory://doc/*.csv")
        >>> frame.npartitions
        2
        >>> frame.compute(scheduler="sync")["name"].tolist()
        ['x', 'y,z', '']
        >>> [report.repaired_rows for report in rowmend.dask.reports(frame)]
        [0, 2]
    """
    resolved = resolve_options(**options)
    check_table_options(resolved)
    if resolved.progress:
        raise ValueError("progress=True would draw a bar in every worker: Dask's dashboard shows the progress")
    inputs = open_inputs(paths, storage_options)
    first = inputs[0]
    plan = plan_read(lambda: opened(first), first.name, options, resolved)
    size = None if blocksize is None else parse_size(blocksize, "blocksize")
    parts = file_parts(inputs, size, plan.options, _scan_on_cluster)
    reader = _ReadPartition(uuid.uuid4().hex, plan)
    meta = plan.schema.empty_table().to_pandas(types_mapper=pandas.ArrowDtype)
    frame = _from_map(reader, parts, meta=meta, divisions=None, label="rowmend-read-csv", enforce_metadata=False)
    _reads[frame._name] = _ReadInfo(reader.token, tuple(part.file.name for part in parts), resolved.max_records)
    result: dd.DataFrame = frame
    return result


def _row_count(partition: pandas.DataFrame) -> pandas.Series:
    return pandas.Series([len(partition)], dtype="int64")


def _info(frame: dd.DataFrame) -> _ReadInfo:
    info = _reads.get(getattr(frame, "_name", ""))
    if info is None:
        raise TypeError(
            "reports() takes a frame returned by rowmend.dask.read_csv, not one derived from it "
            f"({type(frame).__name__})"
        )
    return info


def reports(frame: dd.DataFrame) -> List[Report]:
    """The report of each partition (each file, or each byte range of a cut file) of a frame made by :func:`read_csv`, in order.

    Reports are recorded by the tasks that read the files (see the module's
    description), so after ``frame.compute()``, ``frame.persist()`` or any
    computation that read every partition they are simply collected. The
    files whose partitions were never computed are read now, on the cluster,
    and only their row counts come back.

    Args:
        frame: The frame :func:`read_csv` returned (not one derived from it).

    Returns:
        One :class:`~rowmend.Report` per file.

    Raises:
        TypeError: ``frame`` was not made by :func:`read_csv`.
        RuntimeError: Reports did not come back, as with Dask's
            multiprocessing scheduler, whose worker processes keep them.

    Examples:
        >>> import fsspec, rowmend.dask
        >>> fsspec.filesystem("memory").pipe("/doc/r.csv", b"a,b\\n1,2\\n3,4\\n5,6,7\\n")
        >>> reports(rowmend.dask.read_csv("memory://doc/r.csv"))[0].repaired_rows
        1
    """
    info = _info(frame)
    found = collect(info.token, len(info.names))
    missing = [index for index, report in enumerate(found) if report is None]
    if missing:
        frame.partitions[missing].map_partitions(_row_count, meta=pandas.Series(dtype="int64")).compute()
        found = collect(info.token, len(info.names))
    lost = [info.names[index] for index, report in enumerate(found) if report is None]
    if lost:
        raise RuntimeError(
            f"the reports of {', '.join(lost)} did not come back from the processes that read them; "
            "use a dask.distributed cluster or the threaded scheduler"
        )
    return [report for report in found if report is not None]


def report(frame: dd.DataFrame) -> Report:
    """One report for the whole read of a frame made by :func:`read_csv`: its partitions' reports merged.

    Counts add up over the files; the records are the files' in order, each
    with its line in its own file, the first ``max_records`` of each kind
    kept; the line histograms are merged by line (see
    :func:`rowmend._partitions.merge_reports`). Computes the partitions not
    read yet, as :func:`reports` does.

    Examples:
        >>> import fsspec, rowmend.dask
        >>> fsspec.filesystem("memory").pipe({"/doc/m1.csv": b"a,b\\n1\\n", "/doc/m2.csv": b"a,b\\n1,2,3\\n"})
        >>> merged = rowmend.dask.report(rowmend.dask.read_csv("memory://doc/m*.csv"))
        >>> merged.total_rows, merged.repaired_rows, merged.lines.totals()
        (2, 2, {'filled': 1, 'merged': 1})
    """
    return merge_reports(reports(frame), max_records=_info(frame).max_records)
