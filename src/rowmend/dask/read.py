"""Many files as one Dask DataFrame (:func:`read_csv`), and each file's report (:func:`reports`)."""

from __future__ import annotations

import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Tuple

import dask.dataframe as dd
import pandas
import pyarrow as pa
import pyarrow.compute as pc

from rowmend._layout import Layout, settle_layout
from rowmend._options import Options, resolve_options
from rowmend._outputs import named
from rowmend._report import Report
from rowmend._sources import open_source
from rowmend._tables import check_table_options, names_schema, read_arrow, stream
from rowmend.dask.files import File, Paths, close_source, open_inputs, read_source
from rowmend.dask.report_store import collect, record

__all__ = ["read_csv", "reports"]

# Dask's function, as Any: its typing varies between the releases rowmend supports.
_from_map: Any = dd.from_map

@dataclass(frozen=True)
class _ReadInfo:
    token: str
    names: Tuple[str, ...]


# The frames read_csv made, by their collection's name: what reports() needs.
_reads: Dict[str, _ReadInfo] = {}


def _layout(item: File, resolved: Options) -> Tuple[Layout, pa.Schema]:
    """The first file's layout and string schema, from as much of it as settles them."""
    source = read_source(item)
    try:
        with open_source(source) as opened:
            layout = settle_layout(opened, resolved)
    except OSError as error:
        raise named(error, item.name) if error.filename is None else error from None
    finally:
        close_source(source)
    if layout is None:
        raise ValueError(f"{item.name}: the first file holds no row to take the layout from")
    assert layout.names is not None, "a detected layout names its columns"
    schema, _ = names_schema(list(layout.names), resolved)
    return layout, schema


def _typed_schema(item: File, options: Dict[str, Any]) -> pa.Schema:
    """The schema with Arrow's inferred types, which needs the whole first file."""
    source = read_source(item)
    try:
        schema: pa.Schema = read_arrow(source, **options).schema
        return schema
    finally:
        close_source(source)


class _ReadPartition:
    """Reads one file into a pandas partition on a worker, and records its report."""

    def __init__(self, token: str, options: Dict[str, Any], schema: pa.Schema, first: str) -> None:
        self.token = token
        self.options = options
        self.schema = schema
        self.first = first

    def __call__(self, item: File) -> pandas.DataFrame:
        source = read_source(item)
        try:
            rows = stream(source, **self.options)
            table = pa.Table.from_batches(list(rows), schema=rows.schema)
        except OSError as error:
            raise named(error, item.name) if error.filename is None else error from None
        finally:
            close_source(source)
        assert rows.report is not None
        table = self._conform(table, item.name)
        record(self.token, item.index, rows.report)
        return table.to_pandas(types_mapper=pandas.ArrowDtype)

    def _conform(self, table: pa.Table, name: str) -> pa.Table:
        """The table with the first file's columns and types, or ValueError naming the file."""
        if table.column_names != self.schema.names:
            raise ValueError(
                f"{name}: its columns {table.column_names} differ from {self.schema.names}, "
                f"those of the first file ({self.first}); read files of different layouts separately"
            )
        columns = []
        for field, column in zip(self.schema, table.columns):
            if column.type != field.type:
                # As type inference reads them: an empty field is a missing value.
                column = pc.if_else(pc.equal(column, ""), pa.scalar(None, column.type), column)
                try:
                    column = pc.cast(column, field.type)
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
                    raise ValueError(
                        f"{name}: column {field.name!r} does not convert to {field.type}, "
                        f"its type in the first file ({self.first}): {error}"
                    ) from None
            columns.append(column)
        return pa.Table.from_arrays(columns, schema=self.schema)


def read_csv(
    paths: Paths,
    *,
    storage_options: Optional[Mapping[str, Any]] = None,
    **options: Any,
) -> dd.DataFrame:
    """Read many CSV files into a Dask DataFrame, one partition per file.

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
            file.

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
    layout, schema = _layout(first, resolved)
    # Every file is read with the first file's layout; types are settled after.
    partition_options = {
        **options,
        "delimiter": layout.delimiter,
        "quote_char": layout.quote_char,
        "escape_char": layout.escape_char,
        "expected_columns": layout.columns,
    }
    partition_options.pop("dtypes", None)
    if resolved.layout is not None:
        partition_options["layout"] = resolved.layout  # read once here, not from a path on every worker
    if resolved.dtypes is not None:
        schema = _typed_schema(first, {**partition_options, "dtypes": resolved.dtypes})
    reader = _ReadPartition(uuid.uuid4().hex, partition_options, schema, first.name)
    meta = schema.empty_table().to_pandas(types_mapper=pandas.ArrowDtype)
    frame = _from_map(reader, inputs, meta=meta, divisions=None, label="rowmend-read-csv", enforce_metadata=False)
    _reads[frame._name] = _ReadInfo(reader.token, tuple(item.name for item in inputs))
    result: dd.DataFrame = frame
    return result


def _row_count(partition: pandas.DataFrame) -> pandas.Series:
    return pandas.Series([len(partition)], dtype="int64")


def reports(frame: dd.DataFrame) -> List[Report]:
    """The report of each file of a frame made by :func:`read_csv`, in the frame's order.

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
    info = _reads.get(getattr(frame, "_name", ""))
    if info is None:
        raise TypeError(
            "reports() takes a frame returned by rowmend.dask.read_csv, not one derived from it "
            f"({type(frame).__name__})"
        )
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
