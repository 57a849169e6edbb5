"""Reading an input into Arrow tables, pandas and Polars frames, or a stream of batches.

The salvage pass runs natively: chunks of UTF-8 go in, and Arrow record
batches come out, built directly in Arrow's memory layout, so no field ever
becomes a Python object on the way to a table.
"""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING, Any, Generator, Iterator, List, Optional, Tuple, Union

import pyarrow as pa

from rowmend._names import column_names, line_column_name, name_notes
from rowmend._options import Options, resolve_options
from rowmend._report import Report
from rowmend._detect import start_run
from rowmend._progress import run_progress
from rowmend._run import Run
from rowmend._sources import Source, open_source
from rowmend._typed import TypedPass, whole_table
from rowmend._typed_read import read_again, read_typed

if TYPE_CHECKING:
    import pandas
    import polars

__all__ = [
    "RowStream",
    "TableBatches",
    "check_table_options",
    "names_schema",
    "read_arrow",
    "read_pandas",
    "read_polars",
    "stream",
]

def _string_schema(names: List[str], line_column: Optional[str]) -> pa.Schema:
    fields = [pa.field(name, pa.string(), nullable=False) for name in names]
    if line_column is not None:
        fields.append(pa.field(line_column, pa.int64(), nullable=False))
    return pa.schema(fields)


def names_schema(names: List[str], options: Options) -> Tuple[pa.Schema, List[str]]:
    """The string schema of a table with columns ``names`` (and ``_line``, if asked), and all its names."""
    line_column = line_column_name(names) if options.line_numbers else None
    return _string_schema(names, line_column), names + ([line_column] if line_column is not None else [])


def _widened(batch: pa.RecordBatch, schema: pa.Schema) -> pa.RecordBatch:
    """``batch`` with its columns cast to the (wider) types of ``schema``."""
    columns = [column.cast(field.type) for column, field in zip(batch.columns, schema)]
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def _large_schema(schema: pa.Schema) -> pa.Schema:
    return pa.schema([field.with_type(pa.large_string()) if field.type == pa.string() else field for field in schema])


class TableBatches:
    """A run's rows as pyarrow record batches of one schema.

    The names are settled from the header when the first batch is taken (or
    at the end of input), and what had to change in the header's fields to
    make them names is noted in the run's report. The schema is the first
    batch's own: string columns, or ``large_string`` for a column whose
    values in that batch outgrew 32-bit offsets (a value of 2 GiB; batches
    are cut by bytes as well as rows, so nothing less gets there).

    With ``strict``, every batch comes in that schema, as a stream must: a
    later batch that needs a ``large_string`` column the schema lacks raises
    ``ValueError``. Without it such batches pass as they are, and
    :meth:`unified` makes one schema of them all.
    """

    def __init__(self, run: Run, *, strict: bool) -> None:
        self._run = run
        self._strict = strict
        self._names: Optional[List[str]] = None
        self._schema: Optional[pa.Schema] = None
        self._large = False  # whether the schema has large_string columns
        self._mixed = False  # whether some batch's schema differs from it

    @property
    def schema(self) -> Optional[pa.Schema]:
        """The schema, once the first batch was taken or :meth:`finish_schema` called; else None."""
        return self._schema

    def _settle_names(self) -> List[str]:
        if self._names is None:
            salvager = self._run.salvager
            header = salvager.header if self._run.options.header else None
            self._run.notes.extend(name_notes(header, salvager.columns))
            self._names = column_names(header, salvager.columns)
            if self._run.options.line_numbers:
                self._names.append(line_column_name(self._names))
        return self._names

    def take(self) -> List[pa.RecordBatch]:
        """The batches the run completed since the last call."""
        names = self._settle_names()
        taken = []
        for native in self._run.salvager.take_batches(names):
            batch = pa.record_batch(native)
            if self._schema is None:
                self._schema, self._large = batch.schema, native.large
            elif native.large or self._large:
                batch = self._conform(batch)
            taken.append(batch)
        return taken

    def _conform(self, batch: pa.RecordBatch) -> pa.RecordBatch:
        assert self._schema is not None
        if batch.schema.equals(self._schema):
            return batch
        try:
            return _widened(batch, self._schema)
        except (pa.ArrowInvalid, pa.ArrowCapacityError):  # offsets past 2 GiB
            if self._strict:
                raise ValueError(
                    f"{self._run.source.name}: a value of 2 GiB or more came after the stream's first batch, "
                    "whose string columns cannot hold it; read_arrow reads it into a large_string column"
                ) from None
            self._mixed = True
            return batch

    def finish_schema(self) -> pa.Schema:
        """The schema; at the end of an input that made no batch, its string schema from the names."""
        if self._schema is None:
            names = self._settle_names()
            line_column = names[-1] if self._run.options.line_numbers else None
            self._schema = _string_schema(names[:-1] if line_column is not None else names, line_column)
        return self._schema

    def unified(self, batches: List[pa.RecordBatch]) -> Tuple[pa.Schema, List[pa.RecordBatch]]:
        """One schema for all ``batches`` (taken without ``strict``) and the batches in it."""
        schema = self.finish_schema()
        if not self._mixed:
            return schema, batches
        wide = _large_schema(schema)
        return wide, [batch if batch.schema.equals(wide) else _widened(batch, wide) for batch in batches]


def string_batches(run: Run, tables: TableBatches) -> Iterator[pa.RecordBatch]:
    """The string batches of ``run``, fed to its end: each batch as soon as the pass has it ready."""
    for chunk in run.chunks():
        run.feed(chunk)
        if run.salvager.ready:
            yield from tables.take()
    run.finish()
    yield from tables.take()


class RowStream:
    """The rows of one input as Arrow record batches, read as they are taken.

    Iterate over it for :class:`pyarrow.RecordBatch` objects, or hand it to any
    consumer of the Arrow PyCapsule stream interface (``pyarrow.table(s)``,
    ``polars.DataFrame(s)``, ``duckdb.sql("SELECT ... FROM s")``). A stream
    is single-use. Made by :func:`stream`.

    Attributes:
        report: None until the last batch has been taken, then the
            :class:`Report` of the read.
    """

    report: Optional[Report]

    def __init__(self, source: Source, batch_rows: int, options: Options, *, strict: bool = True) -> None:
        self.report = None
        self._options = options
        self._batch_rows = batch_rows
        self._strict = strict
        self._tables: Optional[TableBatches] = None
        self._schema: Optional[pa.Schema] = None
        self._exported = False
        self._taken = False
        self._pending: Optional[pa.RecordBatch] = None
        self._source = open_source(source)
        self._batches = self._read()

    def __repr__(self) -> str:
        return f"<RowStream {self._source.name!r}>"

    def __iter__(self) -> RowStream:
        return self

    def __next__(self) -> pa.RecordBatch:
        if self._exported:
            raise RuntimeError("this stream was handed to an Arrow consumer; a stream is read once")
        self._taken = True
        if self._pending is not None:
            batch, self._pending = self._pending, None
            return batch
        return next(self._batches)

    def _settle(self) -> pa.Schema:
        """Read up to the first batch (kept for the reader), which settles the schema."""
        if self._schema is None:
            self._pending = next(self._batches, None)
        assert self._schema is not None, "the first batch or the end of input settles the schema"
        return self._schema

    def __arrow_c_schema__(self) -> object:
        """Export the batches' schema as an ``ArrowSchema`` PyCapsule, reading up to the first batch."""
        return self._settle().__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """Export the stream as an ``ArrowArrayStream`` PyCapsule.

        The schema is settled by reading up to the first batch.
        """
        if self._exported or self._taken:
            raise RuntimeError("this stream was already read; a stream is read once")
        schema = self._settle()
        self._exported = True
        first, self._pending = self._pending, None

        def batches() -> Iterator[pa.RecordBatch]:
            if first is not None:
                yield first
            yield from self._batches

        reader = pa.RecordBatchReader.from_batches(schema, batches())
        return reader.__arrow_c_stream__(requested_schema)

    @property
    def schema(self) -> Optional[pa.Schema]:
        """The batches' schema, once the first batch (or the end) was read; else None."""
        return self._schema

    def close(self) -> None:
        """Stop reading and close the input (a file object passed in stays open)."""
        self._batches.close()
        self._source.close()

    def _read(self) -> Generator[pa.RecordBatch, None, None]:
        with self._source as source:
            typed = self._options.dtypes is not None
            # A typed read places each misfit cell by its line.
            options = dataclasses.replace(self._options, line_numbers=True) if typed else self._options
            with run_progress(options, source) as told:
                run = start_run(source, options, told, batch_rows=self._batch_rows)
                self._tables = tables = TableBatches(run, strict=self._strict)
                if not typed:
                    for batch in string_batches(run, tables):
                        self._schema = self._schema or batch.schema
                        yield batch
                    self._schema = tables.finish_schema()
                else:
                    typing = TypedPass(
                        self._options, source.name, keep_lines=self._options.line_numbers, companions=False
                    )
                    for batch in typing.batches(string_batches(run, tables)):
                        self._schema = self._schema or batch.schema
                        yield batch
                    if self._schema is None:  # no rows: the names, as strings
                        schema = tables.finish_schema()
                        self._schema = schema if self._options.line_numbers else schema.remove(len(schema) - 1)
                    if typing.typing is not None:
                        typing.typing.finish(typing.rows)
                    run.typing = typing.typing.outcome if typing.typing is not None else None
            self.report = run.report()



def check_table_options(options: Options) -> None:
    """ValueError for options a table cannot be read with: rows left ragged (``expected_columns=0``)."""
    if options.expected_columns == 0:
        raise ValueError("expected_columns=0 leaves rows ragged, which a table cannot hold; pass None or a count")


def stream(source: Source, *, batch_rows: int = 65536, **options: Any) -> RowStream:
    """Read an input as a stream of Arrow record batches, in bounded memory.

    Args:
        source: A path or a binary file object, compressed or not (see
            :func:`rowmend._sources.open_source`).
        batch_rows: Rows per batch at most. A batch also ends at the row
            that brings its fields to 64 MiB, so very wide or very long rows
            make batches of fewer rows; the last batch may hold fewer.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).
            With ``dtypes``, a stream's types are decided from its first
            65,536 rows (it is read once); a later cell that does not fit
            is null, and the report keeps every such cell's text.

    Returns:
        A single-use :class:`RowStream`; its ``report`` is set once the last
        batch has been taken. Every batch has the schema of the first.

    Raises:
        TypeError, ValueError: An unknown option or an unusable value; while
            reading, a ``ValueError`` for a value of 2 GiB or more after the
            first batch, which its ``string`` columns cannot hold
            (:func:`read_arrow` reads it as ``large_string``).
        OSError: The input cannot be opened (``FileNotFoundError``, ...).

    Examples:
        >>> import io, pyarrow
        >>> s = stream(io.BytesIO(b"a,b\\n1,2\\n3\\n"))
        >>> pyarrow.table(s).to_pydict()
        {'a': ['1', '3'], 'b': ['2', '']}
        >>> s.report.repaired_rows
        1
    """
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int):
        raise TypeError(f"batch_rows must be an int, not {type(batch_rows).__name__}")
    if batch_rows < 1:
        raise ValueError(f"batch_rows must be at least 1, not {batch_rows}")
    resolved = resolve_options(**options)
    check_table_options(resolved)
    return RowStream(source, batch_rows, resolved)


def read_arrow(source: Source, **options: Any) -> pa.Table:
    """Read a whole input into a :class:`pyarrow.Table`.

    Columns are strings (empty fields are ``""``), or with ``dtypes="infer"``
    typed from every row (decided from the first rows, and a file read
    again when later rows need wider types; an input read once keeps the
    first rows' types): a cell that does not fit its column's type is
    null, and its text is in a ``NAME_raw`` column beside it. To see the
    run's :class:`Report`, read through :func:`stream` or clean to Parquet.

    Args:
        source: A path or a binary file object, compressed or not.
        **options: The reading options (:data:`rowmend._options.OPTIONS`).

    Examples:
        >>> import io
        >>> read_arrow(io.BytesIO(b"n;x\\n1;a\\n2;b\\n"), dtypes="infer").column("n").type
        DataType(int64)
    """
    resolved = resolve_options(**options)
    check_table_options(resolved)
    if resolved.dtypes is None:
        rows = RowStream(source, 65536, resolved, strict=False)
        batches = list(rows)
        assert rows._tables is not None
        schema, batches = rows._tables.unified(batches)
        return pa.Table.from_batches(batches, schema=schema)
    # Typed, the string rows come with their lines (to place misfits); a
    # file is read again when its later rows need wider types.
    strings = dataclasses.replace(resolved, dtypes=None, line_numbers=True)
    again = read_again(source)
    read: List[RowStream] = [RowStream(source, 65536, strings, strict=False)]
    out = _TypedBatches()

    def passes(number: int) -> RowStream:
        if number:
            assert again is not None
            read.append(RowStream(again(), 65536, strings, strict=False))
        return read[-1]

    read_typed(passes, out, resolved, read[0]._source.name, companions=True, again=again is not None)
    assert read[-1]._tables is not None
    empty = read[-1]._tables.finish_schema()
    if not resolved.line_numbers:
        empty = empty.remove(len(empty) - 1)
    return whole_table(out.batches, empty)


class _TypedBatches:
    """A typed read's batches, kept for one table; a read again starts them over."""

    def __init__(self) -> None:
        self.batches: List[pa.RecordBatch] = []

    def write(self, batch: pa.RecordBatch) -> None:
        self.batches.append(batch)

    def restart(self) -> None:
        self.batches.clear()


def read_pandas(source: Source, **options: Any) -> pandas.DataFrame:
    """Read a whole input into a :class:`pandas.DataFrame` backed by Arrow memory.

    Columns keep Arrow types (``pandas.ArrowDtype``), so strings are never
    copied into Python objects.

    Examples:
        >>> import io
        >>> read_pandas(io.BytesIO(b"a,b\\n1,x\\n")).dtypes["b"]
        string[pyarrow]
    """
    import pandas

    return read_arrow(source, **options).to_pandas(types_mapper=pandas.ArrowDtype)


def read_polars(source: Source, **options: Any) -> polars.DataFrame:
    """Read a whole input into a :class:`polars.DataFrame`, built from the Arrow memory.

    Each batch goes to Polars as it is read, without a rechunk, and is let go:
    the whole table is never held twice, once as Arrow and once as Polars.
    The frame's columns are in chunks of 65,536 rows; ``frame.rechunk()``
    joins them when one piece of memory per column matters more.

    Examples:
        >>> import io
        >>> read_polars(io.BytesIO(b"a,b\\n1,x\\n")).columns
        ['a', 'b']
    """
    import polars

    resolved = resolve_options(**options)
    check_table_options(resolved)
    if resolved.dtypes is not None:
        # Typing a column from every row needs all of its values.
        table: Union[pa.Table, pa.RecordBatch] = read_arrow(source, **options)
        return _polars_frame(table)
    rows = RowStream(source, 65536, resolved)
    frames = [_polars_frame(batch) for batch in rows]
    if not frames:
        assert rows.schema is not None
        return _polars_frame(pa.Table.from_batches([], schema=rows.schema))
    return polars.concat(frames, how="vertical", rechunk=False)


def _polars_frame(data: Union[pa.Table, pa.RecordBatch]) -> polars.DataFrame:
    import polars

    frame = polars.from_arrow(data, rechunk=False)
    assert isinstance(frame, polars.DataFrame)
    return frame
