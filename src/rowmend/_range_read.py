"""One byte range of a big file read as a partition: the layout settled once, each range read with it.

:func:`range_layout` settles, on the driver, what every range of a file is
read with (the parser's settings, the trailing column, the encoding), and
:func:`read_range` reads one range (the bytes from its first row start to
the next range's) into an Arrow table and its report, its lines the file's
own. Its rows are the ones a read of the whole file gives for those bytes,
or it raises :class:`RangeReadError`: the engine says when a range's rows
may depend on rows across its cut (a table's end or a later table reaching
over it), and the rows read are checked against the count the scan found.
"""

from __future__ import annotations

import dataclasses
import io
from typing import Any, Dict, List, Mapping, Optional, Tuple

import pyarrow as pa

from rowmend._detect import feed_until_settled, start_run
from rowmend._options import Options, resolve_options
from rowmend._ranges import RangeLayout, RangeRead, cuttable_encoding
from rowmend._report import Report
from rowmend._run import Run
from rowmend._sources import open_source, plain_source
from rowmend._tables import TableBatches

__all__ = ["RangeReadError", "range_layout", "read_range"]

# The note the engine makes when it drops an empty trailing column.
_TRAILING_DROPPED = "trailing-column-dropped"


class RangeReadError(ValueError):
    """A range of a file whose rows the read of that range alone cannot tell exactly.

    Raised rather than giving rows that might differ from a read of the
    whole file; reading the file as one partition (``blocksize=None``)
    always works.
    """


def _settled(salvager: Any) -> Tuple[Any, ...]:
    return (
        salvager.delimiter,
        salvager.quote_char,
        salvager.escape_char,
        salvager.columns,
        salvager.header_rows,
        salvager.preamble_rows,
    )


def range_layout(source: Any, options: Options) -> Optional[RangeLayout]:
    """What every range of the file ``source`` is read with, settled from its start; None when it cannot be cut.

    A file cannot be cut when its encoding hides line breaks inside other
    characters (:func:`rowmend._ranges.cuttable_encoding`), or it holds no row.
    """
    with open_source(source) as opened:
        run = start_run(opened, options)
        if not cuttable_encoding(run.encoding):
            return None
        salvager = run.salvager
        feed_until_settled(run, run.chunks())
        if salvager.columns < 1 or salvager.delimiter is None:
            return None
        dropped = any(code == _TRAILING_DROPPED for code, _ in salvager.notes)
        delimiter = salvager.delimiter
        quote = salvager.quote_char or '"'
        escape = salvager.escape_char
        quoting = options.quote_char != "none"
        # The runaway-quote test counts the fields of a line as parsed: the
        # dropped column among them.
        runaway = salvager.columns + (1 if dropped else 0) if options.repairs == "auto" else 0
        grammar = (
            ord(delimiter[0]),
            ord(quote) if quoting else ord('"'),
            quoting,
            options.repair_quotes,
            ord(escape) if escape else 0,
            len(delimiter) == 2,
            runaway,
        )
        return RangeLayout(grammar, dropped, run.encoding, run.native_encoding(), _settled(salvager), salvager.settled_columns)


class _RangeRun(Run):
    """A run over one range, decoding as the run over the file's start did."""

    def __init__(self, source: Any, options: Options, native_encoding: str, **native: Any) -> None:
        self._pinned = native_encoding
        super().__init__(source, options, None, **native)

    def native_encoding(self) -> str:
        return self._pinned


class _Slice(io.RawIOBase):
    """The bytes ``[start, end)`` of an fsspec file."""

    def __init__(self, file: Any, start: int, end: int) -> None:
        super().__init__()
        self._file = file.fs.open(file.path, "rb")
        self._file.seek(start)
        self._left = end - start

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if self._left <= 0:
            return 0
        count: int = self._file.readinto(view[: min(len(view), self._left)])
        self._left -= count
        return count

    def close(self) -> None:
        self._file.close()
        super().close()


def read_range(
    file: Any, name: str, layout: RangeLayout, read: RangeRead, options: Mapping[str, Any], names: List[str], batch_rows: int = 65536
) -> Tuple[pa.Table, Report]:
    """The rows of one range of a file (an fsspec file shown as ``name``) and its report.

    ``options`` are the file's reading options (its layout fixed);
    ``names`` the columns the file's first range names, which the later
    ranges, reading no header, take.

    Raises:
        RangeReadError: The range's rows may differ from a read of the whole file.
    """
    assert read.end is not None, "a range read knows where its rows end"
    given: Dict[str, Any] = {key: value for key, value in options.items() if key != "layout"}
    from rowmend._ranges import range_options

    given = range_options(given, read)
    given["encoding"] = layout.encoding
    inside = read.index > 0
    if inside:
        # The dialect and width the file's start settled, not this range's own guess.
        delimiter, quote, escape, columns = layout.settled[:4]
        given.update(delimiter=delimiter, escape_char=escape, expected_columns=columns)
        if given.get("quote_char") != "none":
            given["quote_char"] = quote
    resolved: Options = resolve_options(**given)
    native_range: Tuple[Any, ...] = (read.first.line, inside, not read.last, layout.trailing_dropped)
    # Every range, the first too, judges and places repairs by the columns
    # the file's start settled: a first range may end before the rows the
    # start settled them on.
    if layout.columns is not None:
        native_range += (layout.columns,)
    stream = _Slice(file, read.first.offset, read.end)
    with plain_source(stream, name, read.end - read.first.offset) as source:
        run = _RangeRun(source, dataclasses.replace(resolved, progress=False), layout.native_encoding, batch_rows=batch_rows, range=native_range)
        tables = TableBatches(run, strict=False)
        batches: List[pa.RecordBatch] = []
        for chunk in run.chunks():
            run.feed(chunk)
            if run.salvager.ready:
                batches.extend(tables.take())
        run.finish()
        batches.extend(tables.take())
        schema, batches = tables.unified(batches)
        _check(run, read, layout, name)
        report = run.report()
    table = pa.Table.from_batches(batches, schema=schema)
    if inside and table.column_names != names:
        table = table.rename_columns(names[: len(table.column_names)])
    return table, report


def _check(run: Run, read: RangeRead, layout: RangeLayout, name: str) -> None:
    salvager = run.salvager
    where = f"{name}: the byte range from line {read.first.line} (offset {read.first.offset})"
    advice = "; read this file as one partition (blocksize=None)"
    if salvager.range_unsure:
        raise RangeReadError(
            f"{where} cannot be read apart from the rows around it: the end of the table, or another table, "
            f"reaches across its cut{advice}"
        )
    if read.rows is not None and salvager.parsed_rows != read.rows:
        raise RangeReadError(f"{where} read {salvager.parsed_rows} rows where its scan found {read.rows}{advice}")
    if read.index == 0 and not read.last and _settled(salvager) != layout.settled:
        raise RangeReadError(f"{where} settled another layout than the file's start{advice}")
