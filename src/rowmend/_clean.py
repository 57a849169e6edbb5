"""Writing a clean file (CSV or Parquet) and a quarantine file, atomically.

Each output is written to a temporary file beside its destination and
renamed into place only when the run has succeeded, so a failed or
interrupted run leaves no half-written file and never touches an existing
one, the input included when it is also the destination.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import io
import os
import stat
import tempfile
from typing import Any, List, Optional, Union

from rowmend._options import _check_character, resolve_options
from rowmend._report import Report
from rowmend._run import Progress, Run
from rowmend._sources import Source, open_source

__all__ = ["clean"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_PARQUET_SUFFIXES = (".parquet", ".pq")


class _AtomicOutput:
    """A temporary file beside ``path`` that becomes ``path`` on commit.

    A destination that exists and is not a regular file (``/dev/null``, a
    FIFO, a terminal) is written directly: renaming over it would replace
    the device with a file, for every user of the system when run as root.
    """

    def __init__(self, path: PathArg, what: str) -> None:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"{what} must be a path (str, bytes or os.PathLike), not {type(path).__name__}")
        self.path = os.fsdecode(path)
        self.temporary: Optional[str] = None
        try:
            mode = os.stat(self.path).st_mode
        except OSError:
            mode = 0  # not there yet, or a failure the temporary file's creation will name
        if mode and not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
            try:
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CLOEXEC)
            except OSError as error:
                raise _named(error, self.path) from None
            return
        directory, name = os.path.split(os.path.abspath(self.path))
        # Keep the temporary name within the file system's limit on a name.
        try:
            self.fd, self.temporary = tempfile.mkstemp(prefix=f".{name[:200]}.", suffix=".rowmend-tmp", dir=directory)
        except OSError as error:
            raise _named(error, self.path) from None
        # mkstemp gives 0600; a finished output gets what a new file would.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(self.fd, 0o666 & ~umask)

    @property
    def directory(self) -> str:
        """Where scratch files for this output may go: beside it, or for a device the temporary folder."""
        return os.path.dirname(self.temporary) if self.temporary is not None else tempfile.gettempdir()

    def commit(self) -> None:
        os.close(self.fd)
        self.fd = -1
        if self.temporary is not None:
            os.replace(self.temporary, self.path)

    def discard(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        if self.temporary is None:
            return
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass


def _named(error: OSError, path: str) -> OSError:
    """The same failure, naming the file it happened to."""
    if error.errno is None:
        return OSError(f"{path}: {error}")
    return OSError(error.errno, error.strerror, path)


def clean(
    source: Source,
    destination: PathArg,
    *,
    quarantine: Optional[PathArg] = None,
    output_delimiter: Optional[str] = None,
    format: Optional[str] = None,
    progress: Union[bool, Progress, None] = None,
    **options: Any,
) -> Report:
    """Rescue a CSV file into a clean file, setting aside what cannot be repaired.

    Args:
        source: A path or a binary file object, compressed or not.
        destination: Path of the clean file. Written to a temporary file
            beside it and renamed into place once complete.
        quarantine: Path of the quarantine file (header
            ``line,reason,raw_content``), one record per set-aside row with
            the row's original text; written atomically too. None writes none
            (the rows are still counted and the first ones kept in the report).
            With ``record_repairs=True`` the record of repairs is written
            beside it as well: ``NAME.repairs.csv`` for a quarantine file
            ``NAME.csv`` (see :func:`repairs_path`), header
            ``line,action,raw_content,kept_fields``, the report's ``repairs``
            (the first ``max_records`` rows of each action); not beside a
            quarantine that is a device such as ``/dev/null``.
        output_delimiter: The clean file's delimiter, one ASCII character;
            None keeps the input's.
        format: ``"csv"`` or ``"parquet"``; None takes ``"parquet"`` for a
            destination ending in ``.parquet`` or ``.pq``, else ``"csv"``.
            Parquet columns are strings, or typed by Arrow's inference with
            ``dtypes="infer"``.
        progress: True shows a progress bar (bytes and rows per second) on
            standard error or in a notebook; None or False shows nothing. A
            callable is called instead after each chunk of input (about
            1 MiB) and once at the end, as ``progress(bytes_read,
            rows_read)``: the bytes taken from the input as stored
            (compressed, if it is; compare with the file's size) and the
            data rows read so far. It runs in the calling thread; an
            exception it raises ends the run, and no output is written.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).

    Returns:
        The run's :class:`Report`.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value.
        OSError: The input cannot be read or an output cannot be written;
            the exception names the file.

    Examples:
        >>> import io, os, tempfile, rowmend
        >>> out = os.path.join(tempfile.mkdtemp(), "clean.csv")
        >>> report = rowmend.clean(io.BytesIO(b"a,b\\n1,2,3\\n4\\n"), out, expected_columns=2)
        >>> open(out).read()
        'a,b\\n1,"2,3"\\n4,\\n'
        >>> report.repaired_rows
        2
    """
    resolved = resolve_options(**options)
    if isinstance(progress, bool):
        resolved = dataclasses.replace(resolved, progress=progress)
        progress = None
    elif progress is not None and not callable(progress):
        raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")
    _check_character("output_delimiter", output_delimiter)
    destination_name = os.fsdecode(destination) if isinstance(destination, (str, bytes, os.PathLike)) else ""
    if format is None:
        format = "parquet" if destination_name.lower().endswith(_PARQUET_SUFFIXES) else "csv"
    if format not in ("csv", "parquet"):
        raise ValueError(f"format must be 'csv' or 'parquet', not {format!r}")
    if format == "parquet" and output_delimiter is not None:
        raise ValueError("output_delimiter applies to CSV output only")
    if format == "csv" and (resolved.line_numbers or resolved.dtypes is not None):
        raise ValueError("line_numbers and dtypes apply to Parquet output and tables, not to CSV output")

    with open_source(source) as opened:
        clean_file = _AtomicOutput(destination, "destination")
        quarantine_file = _AtomicOutput(quarantine, "quarantine") if quarantine is not None else None
        repairs_file: Optional[_AtomicOutput] = None
        try:
            # A device (/dev/null) has no "beside" to write to.
            if quarantine_file is not None and quarantine_file.temporary is not None and resolved.record_repairs:
                repairs_file = _AtomicOutput(repairs_path(quarantine_file.path), "repairs file")
            native: dict[str, Any] = {}
            if quarantine_file is not None:
                native["quarantine_dir"] = quarantine_file.directory
            if format == "csv":
                native["output_fd"] = clean_file.fd
                if output_delimiter is not None:
                    native["output_delimiter"] = ord(output_delimiter)
                run = Run(opened, resolved, **native)
                try:
                    run.feed_all(progress)
                except OSError as error:
                    raise _named(error, clean_file.path) from None
            else:
                run = _write_parquet(opened, resolved, clean_file, native, progress)
            if quarantine_file is not None:
                try:
                    run.salvager.write_quarantine(quarantine_file.fd)
                except OSError as error:
                    raise _named(error, quarantine_file.path) from None
            report = run.report()
            if repairs_file is not None:
                _write_repairs(report, repairs_file, output_delimiter or report.delimiter)
                repairs_file.commit()
            if quarantine_file is not None:
                quarantine_file.commit()
            clean_file.commit()
        except BaseException:
            for output in (clean_file, quarantine_file, repairs_file):
                if output is not None:
                    output.discard()
            raise
    return report


def repairs_path(quarantine: str) -> str:
    """Where the record of repairs goes beside a quarantine file: ``q.csv`` gives ``q.repairs.csv``.

    Examples:
        >>> repairs_path("out/bad.csv"), repairs_path("bad")
        ('out/bad.repairs.csv', 'bad.repairs.csv')
    """
    stem = quarantine[:-4] if quarantine.lower().endswith(".csv") else quarantine
    return stem + ".repairs.csv"


def _write_repairs(report: Report, output: _AtomicOutput, delimiter: str) -> None:
    """The report's repairs as CSV: line, action, the row as read, the fields kept (as one CSV row)."""
    try:
        with os.fdopen(os.dup(output.fd), "w", encoding="utf-8", newline="") as out:
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(["line", "action", "raw_content", "kept_fields"])
            for record in report.repairs:
                kept = io.StringIO()
                if record.fields:
                    csv.writer(kept, delimiter=delimiter, lineterminator="").writerow(record.fields)
                writer.writerow([record.line, record.action, record.raw, kept.getvalue()])
    except OSError as error:
        raise _named(error, output.path) from None


def _write_parquet(
    opened: Any, options: Any, clean_file: _AtomicOutput, native: dict[str, Any], progress: Optional[Progress]
) -> Run:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from rowmend._tables import TableBatches, infer_types

    run = Run(opened, options, **native)
    tables = TableBatches(run, strict=options.dtypes != "infer")
    with os.fdopen(os.dup(clean_file.fd), "wb") as sink:
        if options.dtypes == "infer":
            # Inferring a column's type needs all of its values.
            run.feed_all(progress)
            schema, batches = tables.unified(tables.take())
            pq.write_table(infer_types(pa.Table.from_batches(batches, schema=schema), options), sink)
            return run
        writer: Optional[pq.ParquetWriter] = None
        try:
            try:
                for chunk in run.chunks():
                    run.feed(chunk, progress)
                    if run.salvager.ready:
                        for batch in tables.take():
                            writer = writer or pq.ParquetWriter(sink, batch.schema)
                            writer.write_batch(batch)
                run.finish(progress)
            finally:
                run.close()
            for batch in tables.take():
                writer = writer or pq.ParquetWriter(sink, batch.schema)
                writer.write_batch(batch)
            writer = writer or pq.ParquetWriter(sink, tables.finish_schema())
        except BaseException:
            # Closed before the file under it (which is about to be
            # discarded): left to the collector, its close would write to a
            # closed file and print an ignored exception.
            if writer is not None:
                with contextlib.suppress(Exception):
                    writer.close()
            raise
        writer.close()
    return run
