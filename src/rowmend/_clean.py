"""Writing a clean file (CSV or Parquet) and a quarantine file, all or nothing.

The outputs go through :class:`rowmend._outputs.OutputSet`: each is written
to a temporary file beside its destination and all are renamed into place
only when the run has succeeded, so a failed or interrupted run changes no
file, the input included when it is also the destination.
"""

from __future__ import annotations

import contextlib
import csv
import dataclasses
import io
import json
import os
import stat
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, Mapping, Optional, Tuple, Union

from rowmend._checks import check_character
from rowmend._options import Options, resolve_options
from rowmend._outputs import (
    FileKey,
    NamedSink,
    Output,
    OutputSet,
    PendingFile,
    clean_format,
    descriptor_key,
    file_key,
    named,
    quarantine_name,
    refuse_clashes,
    repairs_path,
    set_aside_path,
)
from rowmend._records import Note
from rowmend._report import Report
from rowmend._detect import start_run
from rowmend._progress import run_progress
from rowmend._run import Progress, Run
from rowmend._sources import Source, open_source
from rowmend._typed_read import read_again

__all__ = ["clean"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


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
            beside it and renamed into place once every output is complete.
            A file it replaces keeps its mode, and its owner and group where
            the process may set them (else the report's ``notes`` say so); a
            symbolic link is written through to its target. When it is the
            source itself, the file is cleaned in place.
        quarantine: Path of the quarantine file (header
            ``line,reason,raw_content``), one record per set-aside row with
            the row's original text; written with the clean file. None writes
            none (the rows are still counted and the first ones kept in the
            report), except in place: there the rows would be lost, so they
            go to ``NAME.quarantine.csv`` beside the input, written only when
            rows were quarantined and never over an existing file.
            With ``record_repairs=True`` the record of repairs is written
            beside it as well: ``NAME.repairs.csv`` for a quarantine file
            ``NAME.csv`` or ``NAME.quarantine.csv``, header
            ``line,action,raw_content,kept_fields,placement``, the report's ``repairs``
            (the first ``max_records`` rows of each action, the fields kept
            as a JSON list such as ``["1", "x,y"]``); not beside a
            quarantine that is a device such as ``/dev/null``. Beside it too
            go the rows set aside as not part of the table, blank ones aside
            (a title above the table, comments, footers, a later table):
            ``NAME.skipped.csv``, header ``line,kind,raw_content``, every
            such row with its original text, written when there are such
            rows (and over an earlier run's file, which would otherwise
            describe another run). In place it goes beside the input, never
            over an existing file.
        output_delimiter: The clean file's delimiter, one ASCII character;
            None keeps the input's.
        format: ``"csv"`` or ``"parquet"``; None takes ``"parquet"`` for a
            destination ending in ``.parquet`` or ``.pq``, else ``"csv"``.
            Parquet columns are strings, or with ``dtypes`` typed from every
            row as :func:`read_arrow` types them (``NAME_raw`` columns hold
            the text of cells that did not fit; the report counts them).
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
        TypeError, ValueError: An unknown option or an unusable value; an
            output that names the input (other than the in-place clean) or
            another output, raised before anything is written.
        OSError: The input cannot be read or an output cannot be written;
            the exception names the file as given. No file is changed.

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
    return clean_into(source, destination, quarantine, resolved, output_delimiter, format, progress)


def clean_into(
    source: Source,
    destination: PathArg,
    quarantine: Optional[PathArg],
    resolved: Options,
    output_delimiter: Optional[str] = None,
    format: Optional[str] = None,
    progress: Optional[Progress] = None,
    streams: Optional[Mapping[str, int]] = None,
    quarantine_if_rows: bool = False,
) -> Report:
    """:func:`clean` with resolved options; ``streams`` maps destinations to open descriptors written as they are.

    With ``quarantine_if_rows`` the quarantine file is written only when it
    holds rows: the command line's files in ``--quarantine-dir``, which it
    names itself. A quarantine file the caller named is always written, empty
    but for its header when no row was set aside, so no earlier run's
    quarantine survives beside the new clean file.
    """
    streams = streams or {}
    check_character("output_delimiter", output_delimiter)
    destination = _path_of("destination", destination)
    quarantine = _path_of("quarantine", quarantine) if quarantine is not None else None
    format = clean_format(destination, format, output_delimiter)
    if format == "csv" and (resolved.line_numbers or resolved.dtypes is not None):
        given = "line_numbers=True" if resolved.line_numbers else f"dtypes={resolved.dtypes!r}"
        raise ValueError(
            f"{given} applies to Parquet output and tables, not to the CSV file {destination}: "
            "give format='parquet' (or a .parquet name), or leave it out"
        )
    plan = _Plan.make(source, destination, quarantine, resolved.record_repairs, streams)

    with open_source(source) as opened, OutputSet() as outputs, run_progress(resolved, opened, progress) as told:
        clean_file = outputs.add(destination, fd=streams.get(destination))
        quarantine_file: Optional[PendingFile] = None
        repairs_file: Optional[PendingFile] = None
        set_aside_file: Optional[PendingFile] = None
        native: dict[str, Any] = {}
        kept_beside: List[Note] = []
        deferred = plan.default_quarantine or (quarantine_if_rows and plan.quarantine not in streams)
        if plan.quarantine is not None:
            if not deferred:
                quarantine_file = outputs.add(plan.quarantine, fd=streams.get(plan.quarantine))
                spool = quarantine_file.folder
            else:
                spool = os.path.dirname(os.path.realpath(plan.quarantine))
            # Quarantined rows wait beside their file, not in a scratch folder that may be small.
            native["quarantine_dir"] = spool
        if plan.repairs is not None:
            repairs_file = outputs.add(plan.repairs)
        if plan.set_aside is not None:
            # Every set-aside row is kept, so they wait on disk beside their file past a few MiB.
            native["set_aside_dir"] = os.path.dirname(os.path.realpath(plan.set_aside))
        if format == "csv":
            native["output_fd"] = clean_file.fd
            if output_delimiter is not None:
                native["output_delimiter"] = ord(output_delimiter)
            run = start_run(opened, resolved, told, **native)
            _feed(run, opened.name, destination)
        else:
            # The input is read again for its types only into a file of our own.
            again = read_again(source) if destination not in streams else None
            run = _write_parquet(opened, resolved, clean_file, native, told, again)
        if plan.default_quarantine and run.salvager.quarantined_rows:
            assert plan.quarantine is not None
            # The only copy of these rows: it never replaces a file, not even an earlier run's quarantine.
            quarantine_file = outputs.add(plan.quarantine, replace=False, like=destination)
            count = run.salvager.quarantined_rows
            kept_beside.append(
                Note(
                    "quarantine-beside-input",
                    f"{destination}: cleaned in place; {count:,} quarantined row{'s' if count != 1 else ''} "
                    f"kept in {plan.quarantine}",
                )
            )
        elif deferred and run.salvager.quarantined_rows:
            assert plan.quarantine is not None
            quarantine_file = outputs.add(plan.quarantine)
        set_aside = _set_aside_rows(run.salvager.skipped)
        if plan.set_aside is not None and not plan.default_quarantine:
            if set_aside or os.path.lexists(plan.set_aside):
                # An earlier run's file is replaced even when nothing is set aside: it would describe another run.
                set_aside_file = outputs.add(plan.set_aside)
        elif plan.set_aside is not None and set_aside:
            # The only copy of these rows too: never over an existing file.
            set_aside_file = outputs.add(plan.set_aside, replace=False, like=destination)
            kept_beside.append(
                Note(
                    "set-aside-beside-input",
                    f"{destination}: cleaned in place; {set_aside:,} row{'s' if set_aside != 1 else ''} set aside "
                    f"as not part of the table kept in {plan.set_aside}",
                )
            )
        if quarantine_file is not None:
            try:
                run.salvager.write_quarantine(quarantine_file.fd)
            except OSError as error:
                raise named(error, quarantine_file.path) from None
        if set_aside_file is not None:
            try:
                run.salvager.write_set_aside(set_aside_file.fd)
            except OSError as error:
                raise named(error, set_aside_file.path) from None
        report = run.report()
        if kept_beside:
            report = dataclasses.replace(report, notes=report.notes + tuple(kept_beside))
        if repairs_file is not None:
            _write_repairs(report, repairs_file)
        outputs.commit()
    notes = outputs.notes
    return dataclasses.replace(report, notes=report.notes + notes) if notes else report


def _set_aside_rows(skipped: Mapping[str, int]) -> int:
    """The rows written to the set-aside file: every skipped row but blank ones."""
    return sum(count for kind, count in skipped.items() if kind != "blank")


def _path_of(what: str, path: object) -> str:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"{what} must be a path (str, bytes or os.PathLike), not {type(path).__name__}")
    return os.fsdecode(path)


def _source_key(source: Source) -> Tuple[str, Optional[FileKey]]:
    """The input's name and key, for a path or an open file; no key for a stream without a file."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(source), file_key(source)
    name = getattr(source, "name", None)
    name = os.fsdecode(name) if isinstance(name, (str, bytes)) else "the input"
    try:
        fd = getattr(source, "fileno")()
    except (AttributeError, OSError, ValueError):
        return name, None
    return name, descriptor_key(fd) if isinstance(fd, int) else None


@dataclass(frozen=True)
class _Plan:
    """Where one run's quarantine, record of repairs and rows set aside go, checked against the input."""

    quarantine: Optional[str]
    repairs: Optional[str]
    set_aside: Optional[str]
    default_quarantine: bool

    @classmethod
    def make(
        cls,
        source: Source,
        destination: str,
        quarantine: Optional[str],
        record_repairs: bool,
        streams: Mapping[str, int],
    ) -> _Plan:
        input_name, input_key = _source_key(source)
        in_place = destination not in streams and input_key is not None and file_key(destination) == input_key
        default = in_place and quarantine is None
        if default:
            # Cleaning in place drops the quarantined rows from the only copy: they go beside it.
            quarantine = os.path.join(os.path.dirname(destination), quarantine_name(destination))
        repairs = set_aside = None
        if quarantine is not None and (default or not _is_device(quarantine, streams)):
            # Rows taken as not part of the table are kept where the quarantined ones are.
            set_aside = set_aside_path(quarantine)
            if record_repairs and not default:
                repairs = repairs_path(quarantine)
        outputs = [
            ("clean file", destination),
            ("quarantine", quarantine),
            ("record of repairs", repairs),
            ("rows set aside", set_aside),
        ]
        refuse_clashes(
            [(input_name, input_key)],
            [Output(input_name, role, path) for role, path in outputs if path is not None and path not in streams],
            in_place=[destination] if in_place else [],
        )
        return cls(quarantine, repairs, set_aside, default)


def _is_device(path: str, streams: Mapping[str, int]) -> bool:
    """Whether ``path`` is written as it stands (a device, a FIFO, a stream): nothing can go beside it."""
    if path in streams:
        return True
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _feed(run: Run, source_name: str, destination: str) -> None:
    """Feeds the whole input; a failed read names the input, a failed write the clean file."""
    chunks = iter(run.chunks())
    while True:
        try:
            chunk = next(chunks, None)
        except OSError as error:
            raise error if error.filename is not None else named(error, source_name) from None
        if chunk is None:
            break
        try:
            run.feed(chunk)
        except OSError as error:
            raise error if error.filename is not None else named(error, destination) from None
    try:
        run.finish()
    except OSError as error:
        raise error if error.filename is not None else named(error, destination) from None


def _write_repairs(report: Report, output: PendingFile) -> None:
    """The report's repairs as CSV: line, action, the row as read, the fields kept (a JSON list), the placement."""
    try:
        with os.fdopen(os.dup(output.fd), "w", encoding="utf-8", newline="") as out:
            writer = csv.writer(out, lineterminator="\n")
            writer.writerow(["line", "action", "raw_content", "kept_fields", "placement"])
            for record in report.repairs:
                # A list reads as one, whatever the fields hold: ["1", "x,y"].
                kept = json.dumps(list(record.fields), ensure_ascii=False) if record.fields else ""
                writer.writerow([record.line, record.action, record.raw, kept, record.placement])
    except OSError as error:
        raise named(error, output.path) from None


class _ParquetBatches:
    """A typed read's batches written to a Parquet file as they come; a read again starts the file over."""

    def __init__(self, clean_file: PendingFile) -> None:
        self._file = clean_file
        self._sink = io.BufferedWriter(NamedSink(clean_file.fd, clean_file.path), 1 << 20)
        self._writer: Any = None

    def write(self, batch: Any) -> None:
        import pyarrow.parquet as pq

        self._writer = self._writer or pq.ParquetWriter(self._sink, batch.schema)
        self._writer.write_batch(batch)

    def restart(self) -> None:
        self.abandon()
        try:
            os.ftruncate(self._file.fd, 0)
            os.lseek(self._file.fd, 0, os.SEEK_SET)
        except OSError as error:
            raise named(error, self._file.path) from None
        self._sink = io.BufferedWriter(NamedSink(self._file.fd, self._file.path), 1 << 20)

    def abandon(self) -> None:
        """Closes the writer over a file about to be dropped (its close may fail: the file is gone anyway)."""
        if self._writer is not None:
            with contextlib.suppress(Exception):
                self._writer.close()
        self._writer = None
        with contextlib.suppress(Exception):
            self._sink.close()

    def close(self, empty: Any) -> None:
        """Ends the file; with no batch written, a file of no rows in the ``empty`` schema."""
        import pyarrow.parquet as pq

        self._writer = self._writer or pq.ParquetWriter(self._sink, empty)
        self._writer.close()
        self._sink.close()


def _write_typed_parquet(
    opened: Any,
    options: Any,
    clean_file: PendingFile,
    native: dict[str, Any],
    progress: Optional[Progress],
    again: Optional[Callable[[], Source]],
) -> Run:
    """The typed Parquet file, written batch by batch; read again (``again``) when later rows widen a type."""
    from rowmend._tables import TableBatches, string_batches
    from rowmend._typed import untyped_outcome
    from rowmend._typed_read import read_typed

    # The rows come with their lines, which place the misfit cells.
    strings = dataclasses.replace(options, line_numbers=True)
    runs: List[Tuple[Run, TableBatches]] = []
    output = _ParquetBatches(clean_file)

    def passes(number: int) -> Iterator[Any]:
        with contextlib.ExitStack() as stack:
            source = opened if number == 0 else stack.enter_context(open_source(again() if again else opened))
            run = start_run(source, strings, progress, **native)
            tables = TableBatches(run, strict=True)
            runs.append((run, tables))
            yield from string_batches(run, tables)

    try:
        typing = read_typed(passes, output, options, opened.name, companions=None, again=again is not None)
        run, tables = runs[-1]
        schema = tables.finish_schema()
        if not options.line_numbers:
            schema = schema.remove(len(schema) - 1)
        output.close(schema)
    except BaseException:
        output.abandon()
        raise
    run.typing = typing.outcome if typing is not None else untyped_outcome(schema.names, options, opened.name)
    return run


def _write_parquet(
    opened: Any,
    options: Any,
    clean_file: PendingFile,
    native: dict[str, Any],
    progress: Optional[Progress],
    again: Optional[Callable[[], Source]] = None,
) -> Run:
    import pyarrow.parquet as pq

    from rowmend._tables import TableBatches, string_batches

    if options.dtypes is not None:
        return _write_typed_parquet(opened, options, clean_file, native, progress, again)
    run = start_run(opened, options, progress, **native)
    tables = TableBatches(run, strict=True)
    # Errors of Parquet's writer name the file written, not the input read.
    with io.BufferedWriter(NamedSink(clean_file.fd, clean_file.path), 1 << 20) as sink:
        writer: Optional[pq.ParquetWriter] = None
        try:
            for chunk in run.chunks():
                run.feed(chunk)
                if run.salvager.ready:
                    for batch in tables.take():
                        writer = writer or pq.ParquetWriter(sink, batch.schema)
                        writer.write_batch(batch)
            run.finish()
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
