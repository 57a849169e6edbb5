"""Typed columns: each column's kind decided from its cells, the cells that do not fit kept as text.

The native :class:`~rowmend._native.ColumnTyper` classifies every cell of a
string column (integer, decimal with its marks, boolean, date with its
order, time, timestamp, a missing value's spelling, a leading-zero code,
text), decides the column's type from the counts, and writes each fitting
cell as the plain text a strict parser reads ("1.234,50" as "1234.50",
"07/03/2024" read day-first as "2024-03-07"). pyarrow's casts then make
the typed arrays from that text; they are exact, and the classifier has
already said which cells they may read.

A cell that does not fit its column's type (a "misfit") is null in the
typed column. Its text is never lost: a whole table gains a string column
``NAME_raw`` beside each column that has misfits, holding their text (null
elsewhere), and the run's report counts them per column exactly and keeps
their line, column and text. A column with more than 1% misfits stays a
string column, with a note.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import pyarrow as pa
import pyarrow.compute as pc

from rowmend._native import ColumnTyper
from rowmend._options import Options
from rowmend._records import Note
from rowmend._types import COMPANION_SUFFIX, MISFIT_SHARE, ColumnType, MisfitRecord

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = ["PREFIX_ROWS", "StreamTyping", "TableTyping", "TypingOutcome", "companion_name", "type_table"]

#: Rows a stream's types are decided from before its first batch goes out.
PREFIX_ROWS = 65536

# A decimal column of at most this many digits is float64, which holds
# every such number exactly as written; more, and it is decimal128.
_FLOAT_DIGITS = 15
_DECIMAL_DIGITS = 38


@dataclass
class TypingOutcome:
    """What typing a run's columns found, for its report.

    Attributes:
        types: Each column's decided type, in column order.
        misfits: Per typed column, the exact count of cells that did not fit.
        records: The misfit cells' line, column and text.
        notes: What the run's notes say about the types.
    """

    types: Dict[str, ColumnType] = field(default_factory=dict)
    misfits: Dict[str, int] = field(default_factory=dict)
    records: List[MisfitRecord] = field(default_factory=list)
    notes: List[Note] = field(default_factory=list)


def companion_name(name: str, taken: Iterable[str]) -> str:
    """The name of the column of ``name``'s misfit text: ``NAME_raw``, numbered when that is taken."""
    used = set(taken)
    candidate = name + COMPANION_SUFFIX
    number = 2
    while candidate in used:
        candidate = f"{name}{COMPANION_SUFFIX}_{number}"
        number += 1
    return candidate


def _buffers(column: pa.Array) -> Tuple[Buffer, Buffer, int, int, bool]:
    """The offsets and data buffers of a string array, as the native typer reads them."""
    large = pa.types.is_large_string(column.type)
    buffers = column.buffers()
    offsets: Buffer = buffers[1] if buffers[1] is not None else b"\0" * 8
    data: Buffer = buffers[2] if buffers[2] is not None else b""
    return offsets, data, column.offset, len(column), large


def _as_array(column: object) -> pa.Array:
    if isinstance(column, pa.ChunkedArray):
        return column.combine_chunks()
    assert isinstance(column, pa.Array)
    return column


def _companion(original: pa.Array, misfits: List[int]) -> pa.Array:
    """The misfits' text where they are, null elsewhere: the string array's own buffers under a new validity."""
    if original.offset or original.null_count:
        original = pa.concat_arrays([pc.fill_null(original, "")])  # offset 0, no nulls of its own
    bitmap = bytearray((len(original) + 7) // 8)
    for index in misfits:
        bitmap[index >> 3] |= 1 << (index & 7)
    buffers = original.buffers()
    return pa.Array.from_buffers(original.type, len(original), [pa.py_buffer(bitmap), buffers[1], buffers[2]])


@dataclass
class _Column:
    """One column's typer and what was decided for it."""

    name: str
    typer: ColumnTyper
    kind: str = "string"
    decision: Mapping[str, object] = field(default_factory=dict)
    arrow: Optional[pa.DataType] = None
    misfits: int = 0
    whole: int = 0
    scale: int = 0
    exponent: bool = False


@dataclass
class _Converted:
    """One column of one batch as normalized text, and its misfits' indices."""

    text: pa.Array
    misfits: List[int]


class TableTyping:
    """The typing of one table's columns: cells counted, types decided, batches converted.

    Args:
        names: The table's column names (the line column, if any, excluded).
        options: The run's options: ``dtypes`` (``"infer"`` or per-column
            kinds), ``null_values``, ``decimal``, ``thousands``.
        source: The input's name, for messages.
    """

    def __init__(self, names: Sequence[str], options: Options, source: str) -> None:
        self._source = source
        self._overrides = options.dtypes if isinstance(options.dtypes, Mapping) else {}
        unknown = sorted(set(self._overrides) - set(names))
        if unknown:
            raise ValueError(
                f"{source}: dtypes names {', '.join(map(repr, unknown))}, which the table does not have; "
                f"its columns are {', '.join(map(repr, names))}"
            )
        self._columns = [
            _Column(
                name,
                ColumnTyper(null_values=options.null_values, decimal=options.decimal, thousands=options.thousands),
            )
            for name in names
        ]
        self.outcome = TypingOutcome()
        self._companions: Dict[str, str] = {}

    def add(self, batch: pa.RecordBatch) -> None:
        """Counts the kinds of every cell of ``batch``'s typed columns."""
        for column in self._columns:
            column.typer.add(*_buffers(_as_array(batch.column(column.name))))

    def decide(self) -> None:
        """Decides each column's type from the cells counted so far (or its override)."""
        notes = self.outcome.notes
        for column in self._columns:
            override = self._overrides.get(column.name)
            if override is not None:
                kind, day_first = override
                column.decision = (
                    column.typer.decide(kind, day_first=day_first) if kind != "string" else {"kind": "string"}
                )
            else:
                column.decision = column.typer.decide(misfit_share=MISFIT_SHARE)
            column.kind = str(column.decision["kind"])
            if override is None:
                notes.extend(self._decision_notes(column))

    def _decision_notes(self, column: _Column) -> List[Note]:
        decision, name = column.decision, column.name
        notes = []
        values, misfits = int(decision.get("values", 0)), int(decision.get("misfits", 0))  # type: ignore[call-overload]
        if column.kind == "string" and decision.get("ambiguous"):
            nearest = decision.get("nearest")
            if nearest in ("date", "timestamp", "string"):
                what = "its dates could be day-first or month-first (no day above 12)"
            else:
                what = "its numbers read as thousands with one mark and as decimals with the other"
            notes.append(
                Note("type-ambiguous", f"column {name!r} stays string: {what}; give its kind in dtypes to read it")
            )
        elif column.kind == "string" and decision.get("nearest") not in (None, "string") and misfits:
            notes.append(
                Note(
                    "type-misfit-share",
                    f"column {name!r} stays string: {misfits:,} of its {values:,} values "
                    f"({100 * misfits / values:.1f}%) do not read as {decision['nearest']}, more than "
                    f"{100 * MISFIT_SHARE:g}%",
                )
            )
        elif column.kind == "string" and int(decision.get("codes", 0)) > 0:  # type: ignore[call-overload]
            notes.append(
                Note("type-codes", f"column {name!r} stays string: it holds codes with leading zeros, such as 007")
            )
        if column.kind in ("integer", "decimal") and decision.get("unit"):
            notes.append(
                Note(
                    "type-unit",
                    f"column {name!r}: every number is written with {decision['unit']!r}, which its "
                    "values leave out (the unit is in the column's type)",
                )
            )
        return notes

    def layout_kinds(self) -> List[str]:
        """Each column's decided kind as ``dtypes`` spells it (a date's order with it: ``"date-dmy"``)."""
        kinds = []
        for column in self._columns:
            order = column.decision.get("order")
            if column.kind in ("date", "timestamp") and order is not None:
                kinds.append(f"{column.kind}-{'dmy' if order == 'day-first' else 'mdy'}")
            else:
                kinds.append(column.kind)
        return kinds

    @property
    def kinds(self) -> Dict[str, str]:
        """Each column's decided kind."""
        return {column.name: column.kind for column in self._columns}

    def _convert(self, column: _Column, array: pa.Array, limits: Tuple[int, int, int]) -> _Converted:
        validity, offsets, data, misfits, large, whole, scale, exponent = column.typer.convert(
            *_buffers(array), *limits
        )
        column.whole = max(column.whole, whole)
        column.scale = max(column.scale, scale)
        column.exponent = column.exponent or exponent
        text = pa.Array.from_buffers(
            pa.large_string() if large else pa.string(),
            len(array),
            [pa.py_buffer(validity), pa.py_buffer(offsets), pa.py_buffer(data)],
        )
        indices = memoryview(misfits).cast("q").tolist() if misfits else []
        column.misfits += len(indices)
        return _Converted(text, indices)

    def _arrow_type(self, column: _Column) -> Optional[pa.DataType]:
        """The Arrow type of a typed column, from what its values need; None when no type holds them."""
        kind = column.kind
        if kind == "integer":
            return pa.int64()
        if kind == "boolean":
            return pa.bool_()
        if kind == "date":
            return pa.date32()
        if kind == "time":
            return pa.time64("us")
        if kind == "timestamp":
            return pa.timestamp("us", "UTC" if column.decision.get("zoned") else None)
        if kind == "decimal":
            if column.exponent or column.whole + column.scale <= _FLOAT_DIGITS:
                return pa.float64()
            if column.whole + column.scale <= _DECIMAL_DIGITS:
                return pa.decimal128(column.whole + column.scale, column.scale)
        return None

    def _cast(self, column: _Column, text: pa.Array) -> pa.Array:
        assert column.arrow is not None
        if pa.types.is_time(column.arrow):
            return pc.cast(pc.cast(text, pa.timestamp("us")), column.arrow)
        return pc.cast(text, column.arrow)

    def _record(self, name: str, original: pa.Array, lines: Optional[pa.Array], indices: List[int], limit: int) -> None:
        records = self.outcome.records
        for index in indices:
            if len(records) >= limit:
                return
            line = int(lines[index].as_py()) if lines is not None else 0
            records.append(MisfitRecord(line, name, str(original[index].as_py())))

    def table(self, batches: List[pa.RecordBatch], line_column: Optional[str], max_records: int) -> List[pa.RecordBatch]:
        """The batches typed as decided, with a ``NAME_raw`` column beside each column with misfits.

        The misfits are counted exactly first, so that a column with more
        than 1% of them stays a string column and only columns that have
        some gain a companion.
        """
        typed = [column for column in self._columns if column.kind != "string"]
        verbatim = {column.name: cast for column in typed if (cast := self._verbatim(column, batches)) is not None}
        converted: List[Dict[str, Union[_Converted, pa.Array]]] = [
            {
                column.name: verbatim[column.name][index]
                if column.name in verbatim
                else self._convert(column, _as_array(batch.column(column.name)), (-1, -1, -1))
                for column in typed
            }
            for index, batch in enumerate(batches)
        ]
        for column in typed:
            if column.name in verbatim:
                continue
            values = int(column.decision.get("values", 0))  # type: ignore[call-overload]
            column.arrow = self._arrow_type(column)
            override = column.name in self._overrides
            if column.arrow is None:
                self.outcome.notes.append(
                    Note("type-too-wide", f"column {column.name!r} stays string: its numbers have more than 38 digits")
                )
            elif not override and values and column.misfits > MISFIT_SHARE * values:
                self.outcome.notes.append(
                    Note(
                        "type-misfit-share",
                        f"column {column.name!r} stays string: {column.misfits:,} of its {values:,} values "
                        f"({100 * column.misfits / values:.1f}%) do not read as {column.kind}, more than "
                        f"{100 * MISFIT_SHARE:g}%",
                    )
                )
                column.arrow = None
            if column.arrow is None:
                column.kind = "string"
        out = []
        for batch, columns in zip(batches, converted):
            out.append(self._typed_batch(batch, columns, line_column, companions=True, max_records=max_records))
        self._finish_outcome(companions=True)
        return out

    def _verbatim(self, column: _Column, batches: List[pa.RecordBatch]) -> Optional[List[pa.Array]]:
        """The column's cells cast as they stand, when every one is a value written as a cast reads it.

        The classifier counted every cell: with no misfit, no missing value
        and no leading-zero code, a column of plain numbers or ISO dates
        needs no rewriting, and the cast reads each cell's own text. A cell
        the cast still refuses sends the column the long way.
        """
        decision = column.decision
        if not decision.get("verbatim") or decision.get("misfits") or decision.get("nulls") or decision.get("codes"):
            return None
        column.whole = int(decision.get("whole_digits", 0))  # type: ignore[call-overload]
        column.scale = int(decision.get("scale", 0))  # type: ignore[call-overload]
        column.exponent = bool(decision.get("exponent"))
        column.arrow = self._arrow_type(column)
        if column.arrow is None:
            return None
        try:
            return [pc.cast(_as_array(batch.column(column.name)), column.arrow) for batch in batches]
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            column.whole = column.scale = 0
            column.exponent = False
            return None

    def _typed_batch(
        self,
        batch: pa.RecordBatch,
        columns: Mapping[str, Union[_Converted, pa.Array]],
        line_column: Optional[str],
        *,
        companions: bool,
        max_records: int,
    ) -> pa.RecordBatch:
        lines = batch.column(line_column) if line_column is not None else None
        arrays: List[pa.Array] = []
        fields: List[pa.Field] = []
        taken = list(batch.schema.names)
        by_name = {column.name: column for column in self._columns}
        for index, field_ in enumerate(batch.schema):
            original = batch.column(index)
            column = by_name.get(field_.name)
            if column is None or column.kind == "string":
                arrays.append(original)
                fields.append(field_)
                continue
            converted = columns[field_.name]
            if isinstance(converted, pa.Array):  # cast as it stood
                arrays.append(converted)
                fields.append(pa.field(field_.name, converted.type))
                continue
            try:
                typed = self._cast(column, converted.text)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
                raise ValueError(f"{self._source}: column {field_.name!r} as {column.arrow}: {error}") from None
            arrays.append(typed)
            fields.append(pa.field(field_.name, typed.type))
            self._record(field_.name, original, lines, converted.misfits, max_records)
            if companions and column.misfits:
                raw = _companion(_as_array(original), converted.misfits)
                name = companion_name(field_.name, taken)
                taken.append(name)
                self._companions[field_.name] = name
                arrays.append(raw)
                fields.append(pa.field(name, original.type))
        return pa.RecordBatch.from_arrays(arrays, schema=pa.schema(fields))

    def _finish_outcome(self, *, companions: bool) -> None:
        outcome = self.outcome
        for column in self._columns:
            outcome.types[column.name] = self._column_type(column)
            if column.kind != "string":
                outcome.misfits[column.name] = column.misfits
            if column.kind != "string" and column.misfits:
                their = "its" if column.misfits == 1 else "their"
                where = (
                    f"{their} text is in {self._companions.get(column.name, column.name + COMPANION_SUFFIX)!r}"
                    if companions
                    else f"{their} text is in the report's misfit_records, every one of them"
                )
                outcome.notes.append(
                    Note(
                        "type-misfits",
                        f"column {column.name!r} ({column.kind}): {column.misfits:,} "
                        f"{'cell does' if column.misfits == 1 else 'cells do'} not fit and "
                        f"{'is' if column.misfits == 1 else 'are'} null; {where}",
                    )
                )

    def _column_type(self, column: _Column) -> ColumnType:
        decision = column.decision
        number = column.kind in ("integer", "decimal")
        return ColumnType(
            kind=column.kind,
            arrow=str(column.arrow) if column.kind != "string" and column.arrow is not None else "string",
            decimal=str(decision["decimal"]) if number else None,
            # No cell grouped its digits: the separator the column would take is no fact about it.
            thousands=(str(decision["thousands"]) if decision.get("grouped") else "") if number else None,
            unit=str(decision.get("unit") or "") if number else "",
            order=str(decision["order"]) if column.kind in ("date", "timestamp") and decision.get("order") else None,
        )

    # ---- streams ---------------------------------------------------------

    def stream_prefix(
        self, prefix: List[pa.RecordBatch], line_column: Optional[str], prefix_rows: int
    ) -> List[pa.RecordBatch]:
        """The prefix's batches typed; the types are fixed from here on for :meth:`stream_batch`.

        Numbers after the prefix that would lose digits in its Arrow type
        are misfits there.
        """
        self._prefix_rows = prefix_rows
        typed = [column for column in self._columns if column.kind != "string"]
        converted = [
            {column.name: self._convert(column, _as_array(batch.column(column.name)), (-1, -1, -1)) for column in typed}
            for batch in prefix
        ]
        self._limits: Dict[str, Tuple[int, int, int]] = {}
        for column in typed:
            column.arrow = self._arrow_type(column)
            if column.arrow is None:
                column.kind = "string"
            elif pa.types.is_floating(column.arrow):
                self._limits[column.name] = (-1, -1, _FLOAT_DIGITS)
            elif pa.types.is_decimal(column.arrow):
                precision, scale = column.arrow.precision, column.arrow.scale
                self._limits[column.name] = (precision - scale, scale, precision)
        return [
            self._typed_batch(batch, columns, line_column, companions=False, max_records=sys.maxsize)
            for batch, columns in zip(prefix, converted)
        ]

    def stream_batch(self, batch: pa.RecordBatch, line_column: Optional[str]) -> pa.RecordBatch:
        """A later batch of a stream in the prefix's types; its misfits go to the records, uncapped."""
        self.add(batch)
        columns = {
            column.name: self._convert(
                column, _as_array(batch.column(column.name)), self._limits.get(column.name, (-1, -1, -1))
            )
            for column in self._columns
            if column.kind != "string"
        }
        return self._typed_batch(batch, columns, line_column, companions=False, max_records=sys.maxsize)

    def finish_stream(self, rows: int) -> None:
        """Notes what the whole stream showed: the prefix's size, and columns whose later rows read wider."""
        self._finish_outcome(companions=False)
        notes = self.outcome.notes
        if rows > self._prefix_rows:
            notes.append(
                Note(
                    "type-prefix",
                    f"a stream is read once: the column types were decided from its first {self._prefix_rows:,} "
                    "rows, and later cells that do not fit them are misfits",
                )
            )
        for column in self._columns:
            if column.name in self._overrides:
                continue
            whole = column.typer.decide(misfit_share=MISFIT_SHARE)
            if whole["kind"] != column.kind:
                notes.append(
                    Note(
                        "type-widened-later",
                        f"column {column.name!r}: over all its rows it reads as {whole['kind']}, not {column.kind} "
                        "as over the first; the stream kept the first rows' type (read_arrow, read_pandas, "
                        "read_polars and Parquet output type it from every row)",
                    )
                )


class StreamTyping:
    """Types a stream's string batches as they come: decided from a prefix, then fixed.

    The string batches carry the run's line column last (the typed read
    asks for it, to place misfits); it is dropped from what goes out unless
    the caller asked for line numbers.
    """

    def __init__(self, options: Options, source: str, *, keep_lines: bool) -> None:
        self._options = options
        self._source = source
        self._keep_lines = keep_lines
        self._prefix_rows = PREFIX_ROWS
        self.typing: Optional[TableTyping] = None
        self.rows = 0

    def _out(self, batch: pa.RecordBatch, line_column: str) -> pa.RecordBatch:
        return batch if self._keep_lines else batch.drop_columns([line_column])

    def batches(self, strings: Iterable[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        """The typed batches of ``strings``; :attr:`typing` holds the outcome once they are all taken."""
        prefix: List[pa.RecordBatch] = []
        line_column = ""
        started = False
        for batch in strings:
            if self.typing is None:
                line_column = batch.schema.names[-1]
                self.typing = TableTyping(batch.schema.names[:-1], self._options, self._source)
            self.rows += batch.num_rows
            if started:
                yield self._out(self.typing.stream_batch(batch, line_column), line_column)
                continue
            prefix.append(batch)
            self.typing.add(batch)
            if self.rows >= self._prefix_rows:
                started = True
                yield from self._first(prefix, line_column)
                prefix = []
        if self.typing is None:
            return
        if not started:
            yield from self._first(prefix, line_column)
        self.typing.finish_stream(self.rows)

    def _first(self, prefix: List[pa.RecordBatch], line_column: str) -> Iterator[pa.RecordBatch]:
        assert self.typing is not None
        self.typing.decide()
        for batch in self.typing.stream_prefix(prefix, line_column, self._prefix_rows):
            yield self._out(batch, line_column)


def type_table(
    schema: pa.Schema, batches: List[pa.RecordBatch], options: Options, source: str, *, keep_lines: bool
) -> Tuple[pa.Table, TypingOutcome]:
    """A whole table typed from every one of its rows; its string batches carry the line column last."""
    line_column = schema.names[-1]
    typing = TableTyping(schema.names[:-1], options, source)
    for batch in batches:
        typing.add(batch)
    typing.decide()
    typed = typing.table(batches, line_column, options.max_records)
    if typed:
        table = pa.Table.from_batches(typed)
    else:
        table = pa.Table.from_batches([], schema=schema)
    if not keep_lines:
        table = table.drop_columns([line_column])
    return table, typing.outcome
