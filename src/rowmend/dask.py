"""Many files as one Dask DataFrame, and many files cleaned on a cluster's workers.

:func:`read_csv` reads a list, a glob or fsspec URLs of CSV files (local
paths, ``s3://``, ``gs://``, ``memory://`` and every other file system fsspec
knows; gzip, bz2, xz and zstd input is recognised by its first bytes) into a
:class:`dask.dataframe.DataFrame` of one partition per file, each partition
read by rowmend on a worker. :func:`reports` gives back each file's
:class:`~rowmend.Report`. :func:`clean` writes a clean file and a quarantine
file per input through fsspec, on the workers.

Dask and fsspec are optional: ``pip install 'rowmend[dask]'``.

How the reports come back from the workers: the function that reads a
partition records the file's report as it finishes. On a
``dask.distributed`` cluster it stores the report (as plain data) in the
scheduler's metadata store, under the key of its collection and file, so
that any client of the cluster can fetch it whichever worker read the file
and whether or not that worker is still alive; under Dask's threaded or
synchronous scheduler the task runs in the client's own process and the
report stays there. :func:`reports` collects them, and reads (on the
cluster, keeping only the row counts) the files whose partitions were never
computed. Reports are small: the counters and at most ``max_records``
quarantined rows per file, so ``max_records`` bounds what the scheduler
holds.
"""

from __future__ import annotations

import io
import os
import sys
import tempfile
import threading
import uuid
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

try:
    import dask.dataframe as dd
    import fsspec
    from dask.base import compute as _dask_compute
    from dask.delayed import delayed as _dask_delayed
except ImportError as exc:  # pragma: no cover - exercised in a child process
    raise ImportError(
        f"rowmend.dask needs Dask and fsspec ({exc}); install them with: pip install 'rowmend[dask]'"
    ) from exc

import pandas
import pyarrow as pa
import pyarrow.compute as pc

from rowmend._clean import clean as _clean_file
from rowmend._options import Options, _check_character, resolve_options
from rowmend._outputs import (
    FileKey,
    Output,
    clean_format,
    clean_name,
    file_key,
    named,
    quarantine_name,
    refuse_clashes,
    set_aside_path,
)
from rowmend._report import Note, QuarantineRecord, RepairRecord, Report
from rowmend._layout import Layout, settle_layout
from rowmend._sources import open_source
from rowmend._tables import _check_table_options, names_schema, read_arrow, stream

__all__ = ["clean", "read_csv", "reports"]

#: What ``paths`` may be: one path, glob or URL, or a sequence of them.
Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

# Dask's functions, as Any: some are untyped and their typing varies between
# the releases rowmend supports.
_from_map: Any = dd.from_map
_delayed: Any = _dask_delayed
_compute: Any = _dask_compute

# The scheduler metadata key under which partition functions leave reports.
_REPORTS_KEY = "rowmend-reports"


# --- the files -------------------------------------------------------------


@dataclass(frozen=True)
class _File:
    """One input: its position among the inputs, its fsspec handle and its name."""

    index: int
    file: Any  # fsspec.core.OpenFile: pickles as its file system and path
    name: str

    @property
    def local(self) -> bool:
        return _is_local(self.file.fs)


class _NamedReader(io.RawIOBase):
    """A file opened through fsspec, under the name errors should show."""

    def __init__(self, file: Any, name: str) -> None:
        super().__init__()
        self._file = file
        self.name = name

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        count: int = self._file.readinto(buffer)
        return count


def _is_local(fs: Any) -> bool:
    protocol = fs.protocol
    return "file" in (protocol if isinstance(protocol, (tuple, list)) else (protocol,))


def _open_inputs(paths: Paths, storage_options: Optional[Mapping[str, Any]]) -> List[_File]:
    """Expand paths, globs and URLs into the files, in fsspec's order, naming each."""
    if isinstance(paths, (str, os.PathLike)):
        urlpaths: Union[str, List[str]] = os.fspath(paths)
    elif isinstance(paths, Sequence) and not isinstance(paths, bytes):
        urlpaths = [os.fspath(path) for path in paths]
        if not urlpaths:
            raise ValueError("paths is empty: give at least one path, glob or URL")
    else:
        raise TypeError(f"paths must be a path, a glob, a URL or a list of them, not {type(paths).__name__}")
    # compression=None: rowmend tells compression from the first bytes, not the name.
    files = fsspec.open_files(urlpaths, mode="rb", compression=None, **dict(storage_options or {}))
    if not files:
        raise FileNotFoundError(f"no file matches {paths!r}")
    result = []
    for index, file in enumerate(files):
        name = file.path if _is_local(file.fs) else file.fs.unstrip_protocol(file.path)
        result.append(_File(index, file, name))
    return result


def _read_source(item: _File) -> Any:
    """What the reading functions take for the file: a local path, or the opened remote file."""
    if item.local:
        return item.file.path
    return _NamedReader(item.file.open(), item.name)


def _close(source: Any) -> None:
    if isinstance(source, _NamedReader):
        source._file.close()


# --- reports: recorded where the partition was read, collected by the client ---

_local_reports: Dict[Tuple[str, int], Report] = {}
_local_lock = threading.Lock()


def _worker_client() -> Any:
    """The distributed client of the worker running this task, or None outside a worker."""
    if "distributed" not in sys.modules:
        return None  # nothing imported distributed: no worker runs this process
    from distributed import get_client, get_worker

    try:
        get_worker()
    except ValueError:
        return None
    return get_client()


def _record(token: str, index: int, report: Report) -> None:
    client = _worker_client()
    if client is None:
        with _local_lock:
            _local_reports[(token, index)] = report
    else:
        client.set_metadata([_REPORTS_KEY, token, str(index)], report.to_dict())


def _report_from_dict(data: Mapping[str, Any]) -> Report:
    values = dict(data)
    values["quarantine"] = tuple(QuarantineRecord(**record) for record in values["quarantine"])
    values["repairs"] = tuple(
        RepairRecord(record["line"], record["action"], record["raw"], tuple(record["fields"]))
        for record in values.get("repairs", ())
    )
    values["notes"] = tuple(Note(**note) for note in values.get("notes", ()))
    return Report(**values)


def _collect(token: str, count: int) -> List[Optional[Report]]:
    with _local_lock:
        found: List[Optional[Report]] = [_local_reports.get((token, index)) for index in range(count)]
    if None in found and "distributed" in sys.modules:
        from distributed import default_client

        try:
            client: Any = default_client()  # type: ignore[no-untyped-call]
        except ValueError:
            return found
        stored = client.get_metadata([_REPORTS_KEY, token], default=None) or {}
        for key, data in stored.items():
            if found[int(key)] is None:
                found[int(key)] = _report_from_dict(data)
    return found


@dataclass(frozen=True)
class _ReadInfo:
    token: str
    names: Tuple[str, ...]


# The frames read_csv made, by their collection's name: what reports() needs.
_reads: Dict[str, _ReadInfo] = {}


# --- read_csv --------------------------------------------------------------


def _layout(item: _File, resolved: Options) -> Tuple[Layout, pa.Schema]:
    """The first file's layout and string schema, from as much of it as settles them."""
    source = _read_source(item)
    try:
        with open_source(source) as opened:
            layout = settle_layout(opened, resolved)
    except OSError as error:
        raise named(error, item.name) if error.filename is None else error from None
    finally:
        _close(source)
    if layout is None:
        raise ValueError(f"{item.name}: the first file holds no row to take the layout from")
    assert layout.names is not None, "a detected layout names its columns"
    schema, _ = names_schema(list(layout.names), resolved)
    return layout, schema


def _typed_schema(item: _File, options: Dict[str, Any]) -> pa.Schema:
    """The schema with Arrow's inferred types, which needs the whole first file."""
    source = _read_source(item)
    try:
        schema: pa.Schema = read_arrow(source, **options).schema
        return schema
    finally:
        _close(source)


class _ReadPartition:
    """Reads one file into a pandas partition on a worker, and records its report."""

    def __init__(self, token: str, options: Dict[str, Any], schema: pa.Schema, first: str) -> None:
        self.token = token
        self.options = options
        self.schema = schema
        self.first = first

    def __call__(self, item: _File) -> pandas.DataFrame:
        source = _read_source(item)
        try:
            rows = stream(source, **self.options)
            table = pa.Table.from_batches(list(rows), schema=rows.schema)
        except OSError as error:
            raise named(error, item.name) if error.filename is None else error from None
        finally:
            _close(source)
        assert rows.report is not None
        table = self._conform(table, item.name)
        _record(self.token, item.index, rows.report)
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
    _check_table_options(resolved)
    if resolved.progress:
        raise ValueError("progress=True would draw a bar in every worker: Dask's dashboard shows the progress")
    inputs = _open_inputs(paths, storage_options)
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
    found = _collect(info.token, len(info.names))
    missing = [index for index, report in enumerate(found) if report is None]
    if missing:
        frame.partitions[missing].map_partitions(_row_count, meta=pandas.Series(dtype="int64")).compute()
        found = _collect(info.token, len(info.names))
    lost = [info.names[index] for index, report in enumerate(found) if report is None]
    if lost:
        raise RuntimeError(
            f"the reports of {', '.join(lost)} did not come back from the processes that read them; "
            "use a dask.distributed cluster or the threaded scheduler"
        )
    return [report for report in found if report is not None]


# --- clean -----------------------------------------------------------------


@dataclass(frozen=True)
class _CleanJob:
    """One file to clean: where it comes from, where its outputs go."""

    item: _File
    fs: Any  # the output's fsspec file system
    clean_path: str
    quarantine_path: Optional[str]
    output_delimiter: Optional[str]
    format: str
    options: Dict[str, Any]


def _clean_one(job: _CleanJob) -> Report:
    """Clean one file on a worker.

    On a local file system rowmend.clean writes the outputs itself, each to a
    temporary file renamed into place once complete. Elsewhere they are
    written to a local temporary directory first and uploaded once complete,
    quarantine file first, each in one upload, which object stores make
    visible only when whole; a failed run uploads nothing.
    """
    source = _read_source(job.item)
    arguments: Dict[str, Any] = {"output_delimiter": job.output_delimiter, "format": job.format, **job.options}
    try:
        if _is_local(job.fs):
            for path in (job.clean_path, job.quarantine_path):
                if path is not None:
                    job.fs.makedirs(os.path.dirname(path), exist_ok=True)
            return _clean_file(source, job.clean_path, quarantine=job.quarantine_path, **arguments)
        with tempfile.TemporaryDirectory(prefix="rowmend-") as scratch:
            clean_local = os.path.join(scratch, "clean")
            quarantine_local = os.path.join(scratch, "quarantine") if job.quarantine_path is not None else None
            report = _clean_file(source, clean_local, quarantine=quarantine_local, **arguments)
            if quarantine_local is not None:
                assert job.quarantine_path is not None
                if os.path.exists(set_aside_path(quarantine_local)):
                    job.fs.put_file(set_aside_path(quarantine_local), set_aside_path(job.quarantine_path))
                job.fs.put_file(quarantine_local, job.quarantine_path)
            job.fs.put_file(clean_local, job.clean_path)
            return report
    except OSError as error:
        raise named(error, job.item.name) if error.filename is None else error from None
    finally:
        _close(source)


def clean(
    paths: Paths,
    output_dir: Union[str, "os.PathLike[str]"],
    *,
    quarantine: bool = True,
    quarantine_dir: Optional[Union[str, "os.PathLike[str]"]] = None,
    output_delimiter: Optional[str] = None,
    format: str = "csv",
    storage_options: Optional[Mapping[str, Any]] = None,
    output_storage_options: Optional[Mapping[str, Any]] = None,
    **options: Any,
) -> Dict[str, Report]:
    """Clean many CSV files on the workers of the current Dask scheduler.

    Each file is cleaned as :func:`rowmend.clean` cleans it (its own
    layout detected; the same bytes), on whichever worker Dask gives it,
    and its outputs are written through fsspec. In ``output_dir`` each file
    keeps its name without a compression suffix (``a.csv.gz`` gives
    ``a.csv``; ``a.parquet`` with ``format="parquet"``). Its quarantine file
    is ``a.quarantine.csv``, beside it or in ``quarantine_dir``, as the
    command line names it, and beside that ``a.skipped.csv`` holds the rows
    set aside as not part of the table (preamble, comments, footers). No output may name an input (there is no
    in-place clean here) or another output: that is refused before any
    file is cleaned.

    Outputs appear only when complete: on the local file system each is
    written to a temporary file beside it and renamed into place; on any
    other file system (``s3://``, ``gs://``, ``memory://``) each is written to
    a temporary file on the worker's disk and then uploaded in one piece, the
    quarantine files before the clean file. Local paths are paths on the
    workers' machines.

    Args:
        paths: A path, a glob, an fsspec URL or a list of them.
        output_dir: A directory or fsspec URL for the clean files; made if
            missing.
        quarantine: Whether to write the quarantine files.
        quarantine_dir: A directory or fsspec URL for the quarantine files
            instead of beside the clean ones.
        output_delimiter: The clean files' delimiter; None keeps each
            input's.
        format: ``"csv"`` or ``"parquet"``.
        storage_options: Passed to the inputs' fsspec file system.
        output_storage_options: Passed to the outputs' file system; by
            default ``storage_options``.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).

    Returns:
        Each file's :class:`~rowmend.Report`, by the file's path (or URL,
        off the local file system), in the order of the inputs.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value, an
            output that would be written over an input, or two outputs
            that would have the same name.
        FileNotFoundError: No file matches ``paths``.
        OSError: An input cannot be read or an output written; the message
            names the file. Files cleaned before the failure keep their
            outputs.

    Examples:
        >>> import fsspec, rowmend.dask
        >>> fs = fsspec.filesystem("memory")
        >>> fs.pipe("/in/a.csv", b"a,b\\n1,2\\n3,4,5\\n6,7\\n")
        >>> import dask
        >>> with dask.config.set(scheduler="sync"):
        ...     done = rowmend.dask.clean("memory://in/*.csv", "memory://out")
        >>> fs.cat("/out/a.csv")
        b'a,b\\n1,2\\n3,"4,5"\\n6,7\\n'
        >>> done["memory:///in/a.csv"].repaired_rows
        1
    """
    resolve_options(**options)
    _check_character("output_delimiter", output_delimiter)
    format = clean_format("", format, output_delimiter)
    inputs = _open_inputs(paths, storage_options)
    out_options = dict(output_storage_options if output_storage_options is not None else storage_options or {})
    out_fs, out_root = fsspec.core.url_to_fs(os.fspath(output_dir), **out_options)
    quarantine_root = out_root
    if quarantine_dir is not None:
        quarantine_fs, quarantine_root = fsspec.core.url_to_fs(os.fspath(quarantine_dir), **out_options)
        if type(quarantine_fs) is not type(out_fs):
            raise ValueError(
                f"quarantine_dir ({os.fspath(quarantine_dir)}) must be on the file system of "
                f"output_dir ({os.fspath(output_dir)})"
            )

    local = _is_local(out_fs)

    def key_of(path: str) -> Optional[FileKey]:
        return file_key(path) if local else FileKey(resolved=out_fs.unstrip_protocol(path))

    jobs = []
    checked = []
    for item in inputs:
        clean_path = out_root.rstrip("/") + "/" + clean_name(item.name, format)
        quarantine_path = None
        if quarantine:
            quarantine_path = quarantine_root.rstrip("/") + "/" + quarantine_name(item.name)
            checked.append(Output(item.name, "quarantine", quarantine_path))
            checked.append(Output(item.name, "rows set aside", set_aside_path(quarantine_path)))
        checked.append(Output(item.name, "clean file", clean_path))
        jobs.append(_CleanJob(item, out_fs, clean_path, quarantine_path, output_delimiter, format, dict(options)))
    keys = [
        (item.name, file_key(item.file.path) if item.local else FileKey(resolved=item.name))
        for item in inputs
        if item.local == local
    ]
    refuse_clashes(keys, checked, key_of=key_of)
    out_fs.makedirs(out_root, exist_ok=True)
    if quarantine and quarantine_dir is not None:
        out_fs.makedirs(quarantine_root, exist_ok=True)

    token = uuid.uuid4().hex
    clean_one = _delayed(_clean_one, pure=False)
    done = _compute(*[clean_one(job, dask_key_name=f"rowmend-clean-{token}-{job.item.index}") for job in jobs])
    return {job.item.name: report for job, report in zip(jobs, done)}
