"""Typed columns: each column's kind decided from its cells, the cells that do not fit kept as text.

The native :class:`~rowmend._native.ColumnTyper` classifies every cell of a
string column (integer, decimal with its marks, boolean, date with its
order, time, timestamp, a missing value's spelling, a leading-zero code,
text) and decides the column's type from the counts; then, in one native
pass over a batch's cells, it reads each fitting cell into the Arrow
array's values ("1.234,50" as 1234.5, "07/03/2024" read day-first as that
date), exactly or not at all: a value its type would round or clip is a
misfit.

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
from typing import TYPE_CHECKING, AbstractSet, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Set, Tuple, Union

import pyarrow as pa
import pyarrow.compute as pc

from rowmend._native import ColumnTyper
from rowmend._options import Options
from rowmend._records import Note
from rowmend._types import COMPANION_SUFFIX, DEFAULT_NULL_VALUES, MISFIT_SHARE, ColumnType, MisfitRecord

if TYPE_CHECKING:
    from typing_extensions import Buffer

__all__ = [
    "PREFIX_ROWS",
    "TableTyping",
    "TypedPass",
    "TypingOutcome",
    "companion_name",
    "untyped_outcome",
    "whole_table",
]

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
class _Built:
    """One column of one batch as typed values, and its misfits' indices."""

    array: pa.Array
    misfits: List[int]


# What the native typer builds a column's values as: a decimal's precision
# and scale (0, 0 for float64) and the most digits a float64 may take (-1: any).
_Target = Tuple[int, int, int]
_ANY: _Target = (0, 0, -1)

# Which typed columns get a NAME_raw column: none, those with misfits in a
# batch, or a fixed set (see TableTyping._typed_batch).
Companions = Union[bool, AbstractSet[str]]


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
        self._targets: Dict[str, _Target] = {}
        self._prefix_rows = 0
        self._max_records = options.max_records
        # Asked for: a missing value's spelling is null in a text column too.
        self._text_nulls = (
            pa.array(list(options.null_values if options.null_values is not None else DEFAULT_NULL_VALUES))
            if options.nulls_in_text
            else None
        )
        #: The columns given a NAME_raw column in every batch, when the prefix fixed them.
        self.fixed_companions: AbstractSet[str] = frozenset()
        # Columns whose misfits passed the share in an earlier pass: strings now.
        self._too_dirty: Dict[str, Note] = {}

    @classmethod
    def again(cls, previous: TableTyping, options: Options, source: str) -> TableTyping:
        """The typing of another pass over the same input, in the types ``previous`` saw over every row.

        Its typers have counted every cell, so nothing is counted again;
        what the earlier pass measured (a decimal's digits) sizes the
        types, and a column whose misfits passed the share stays text.
        """
        typing = cls([column.name for column in previous._columns], options, source)
        typing._prefix_rows = previous._prefix_rows
        for column, before in zip(typing._columns, previous._columns):
            column.typer = before.typer
        typing._too_dirty = dict(previous._too_dirty)
        typing.decide()
        for column, before in zip(typing._columns, previous._columns):
            if column.kind == "decimal" and before.kind == "decimal":
                column.whole, column.scale, column.exponent = before.whole, before.scale, before.exponent
        typing._fix_targets()
        return typing

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
            if override is None and column.name in self._too_dirty:
                column.kind = "string"
                notes.append(self._too_dirty[column.name])
            elif override is None:
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

    def _build(self, column: _Column, array: pa.Array, target: _Target, *, count: bool = False) -> _Built:
        """The column's cells as its decided type, read in one native pass (and counted, with ``count``);
        decimals as float64 unless ``target`` has a precision."""
        validity, values, misfits, whole, scale, exponent = column.typer.build(*_buffers(array), *target, count)
        column.whole = max(column.whole, whole)
        column.scale = max(column.scale, scale)
        column.exponent = column.exponent or exponent
        arrow = pa.decimal128(target[0], target[1]) if target[0] else self._value_type(column)
        typed = pa.Array.from_buffers(arrow, len(array), [pa.py_buffer(validity), pa.py_buffer(values)])
        indices = memoryview(misfits).cast("q").tolist() if misfits else []
        column.misfits += len(indices)
        return _Built(typed, indices)

    def _value_type(self, column: _Column) -> pa.DataType:
        """The Arrow type the native typer builds for the column's kind (float64 for decimals)."""
        if column.kind == "decimal":
            return pa.float64()
        arrow = self._arrow_type(column)
        assert arrow is not None
        return arrow

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

    def _record(self, name: str, original: pa.Array, lines: Optional[pa.Array], indices: List[int], limit: int) -> None:
        records = self.outcome.records
        for index in indices:
            if len(records) >= limit:
                return
            line = int(lines[index].as_py()) if lines is not None else 0
            records.append(MisfitRecord(line, name, str(original[index].as_py())))

    def _fix_targets(self) -> None:
        """Each typed column's Arrow type from what its values need so far; the natives' targets for it.

        A float64 column takes at most 15 digits from here on (more would
        be rounded: such a number is a misfit, and its digits are measured);
        a decimal128 column as many as its precision.
        """
        for column in self._columns:
            if column.kind == "string":
                continue
            column.arrow = self._arrow_type(column)
            if column.arrow is None:
                column.kind = "string"
                self.outcome.notes.append(
                    Note("type-too-wide", f"column {column.name!r} stays string: its numbers have more than 38 digits")
                )
            elif pa.types.is_floating(column.arrow):
                self._targets[column.name] = (0, 0, _FLOAT_DIGITS)
            elif pa.types.is_decimal(column.arrow):
                self._targets[column.name] = (column.arrow.precision, column.arrow.scale, -1)

    def first(
        self,
        prefix: List[pa.RecordBatch],
        line_column: Optional[str],
        prefix_rows: int,
        companions: Optional[Companions],
    ) -> List[pa.RecordBatch]:
        """The prefix's batches typed as decided from them; the types are fixed from here on for :meth:`next`.

        Numbers after the prefix that would lose digits in its Arrow type
        are misfits there. ``companions`` None: the columns with misfits in
        the prefix get a ``NAME_raw`` column in every batch
        (:attr:`fixed_companions`).
        """
        self._prefix_rows = prefix_rows
        typed = [column for column in self._columns if column.kind != "string"]
        built = [
            {column.name: self._build(column, _as_array(batch.column(column.name)), _ANY) for column in typed}
            for batch in prefix
        ]
        self._fix_targets()
        for column in typed:
            target = self._targets.get(column.name)
            if column.kind != "string" and target is not None and target[0]:
                column.misfits = 0  # more digits than a float64 holds: read again as decimal128
                for batch, columns in zip(prefix, built):
                    columns[column.name] = self._build(column, _as_array(batch.column(column.name)), target)
        if companions is None:
            self.fixed_companions = companions = frozenset(c.name for c in typed if c.kind != "string" and c.misfits)
        return [self._typed_batch(batch, columns, line_column, companions) for batch, columns in zip(prefix, built)]

    def next(self, batch: pa.RecordBatch, line_column: Optional[str], companions: Companions, *, count: bool) -> pa.RecordBatch:
        """A later batch in the fixed types (its cells counted first when ``count``)."""
        columns = {}
        for column in self._columns:
            cells = _as_array(batch.column(column.name))
            if column.kind != "string":
                columns[column.name] = self._build(column, cells, self._targets.get(column.name, _ANY), count=count)
            elif count and (column.decision.get("ambiguous") or not column.decision.get("values")):
                # A text column stays text whatever comes; one that had no
                # values yet, or dates without a day above 12, may not.
                column.typer.add(*_buffers(cells))
        return self._typed_batch(batch, columns, line_column, companions)

    def reasons_to_read_again(self, companions: Companions) -> List[str]:
        """What the pass's types missed, seen over every row: a column that reads as another kind, a
        column whose misfits passed the share, a decimal with more digits than its type holds, or
        (``companions`` a set: a schema already written) misfits in a column given no ``NAME_raw``."""
        reasons = []
        for column in self._columns:
            override = column.name in self._overrides
            counted = column.typer.decide(misfit_share=MISFIT_SHARE)
            values = int(counted.get("values") or 0)
            whole = counted["kind"] if not override else column.kind
            if column.name in self._too_dirty:
                continue
            if whole != column.kind:
                reasons.append(f"column {column.name!r} reads as {whole} over every row, not as {column.kind}")
            elif column.kind == "string":
                continue
            elif column.kind == "decimal" and self._arrow_type(column) != column.arrow:
                reasons.append(f"column {column.name!r} has numbers of more digits than {column.arrow} holds")
            elif not override and values and column.misfits > MISFIT_SHARE * values:
                self._too_dirty[column.name] = Note(
                    "type-misfit-share",
                    f"column {column.name!r} stays string: {column.misfits:,} of its {values:,} values "
                    f"({100 * column.misfits / values:.1f}%) do not read as {column.kind}, more than "
                    f"{100 * MISFIT_SHARE:g}%",
                )
                reasons.append(f"column {column.name!r} has more than {100 * MISFIT_SHARE:g}% misfits over every row")
            elif not isinstance(companions, bool) and column.misfits and column.name not in companions:
                reasons.append(
                    f"column {column.name!r} has misfits after the first rows, which wrote the file's columns "
                    "without one for their text"
                )
        return reasons

    def planned_companions(self) -> Set[str]:
        """The columns a pass with every row counted gives a ``NAME_raw`` column: those the counts say
        have misfits, and those whose misfits an earlier pass in the same type saw."""
        return {
            column.name
            for column in self._columns
            if column.kind != "string" and (int(column.decision.get("misfits", 0)) or column.misfits)  # type: ignore[call-overload]
        }

    def _typed_batch(
        self, batch: pa.RecordBatch, columns: Mapping[str, _Built], line_column: Optional[str], companions: Companions
    ) -> pa.RecordBatch:
        """The batch with its typed columns, and a ``NAME_raw`` column beside those ``companions`` allows.

        ``companions`` is False (no such column: every misfit goes to the
        records), True (beside a column with misfits in this batch) or the
        set of columns that have one in every batch (a schema fixed ahead).
        A misfit without one is recorded whatever the cap: its only copy.
        """
        lines = batch.column(line_column) if line_column is not None else None
        arrays: List[pa.Array] = []
        fields: List[pa.Field] = []
        taken = list(batch.schema.names)
        by_name = {column.name: column for column in self._columns}
        for index, field_ in enumerate(batch.schema):
            original = batch.column(index)
            column = by_name.get(field_.name)
            if column is None or column.kind == "string":
                if column is not None and self._text_nulls is not None:
                    original = self._nulled(_as_array(original))
                    field_ = field_.with_nullable(True)
                arrays.append(original)
                fields.append(field_)
                continue
            converted = columns[field_.name]
            typed = converted.array
            arrays.append(typed)
            fields.append(pa.field(field_.name, typed.type))
            beside = field_.name in companions if not isinstance(companions, bool) else companions and bool(converted.misfits)
            limit = self._max_records if beside else sys.maxsize
            self._record(field_.name, original, lines, converted.misfits, limit)
            if beside:
                raw = _companion(_as_array(original), converted.misfits)
                name = companion_name(field_.name, taken)
                taken.append(name)
                self._companions[field_.name] = name
                arrays.append(raw)
                fields.append(pa.field(name, original.type))
        return pa.RecordBatch.from_arrays(arrays, schema=pa.schema(fields))

    def _nulled(self, text: pa.Array) -> pa.Array:
        """A text column with its missing values' spellings (blanks around them aside) as nulls."""
        assert self._text_nulls is not None
        missing = pc.is_in(pc.utf8_trim(text, " \t"), value_set=self._text_nulls.cast(text.type))
        return pc.if_else(missing, pa.scalar(None, text.type), text)

    def finish(self, rows: int, *, rereads: Sequence[str] = (), last_pass: bool = True) -> None:
        """The outcome's types, counts and notes, once every batch is out.

        ``rereads`` are the reasons the input was read again before this
        pass. After a pass that is the last one possible (a stream read
        once), a column that read as another kind over every row is noted.
        """
        outcome = self.outcome
        for column in self._columns:
            outcome.types[column.name] = self._column_type(column)
            if column.kind != "string":
                outcome.misfits[column.name] = column.misfits
            if column.kind != "string" and column.misfits:
                their = "its" if column.misfits == 1 else "their"
                where = (
                    f"{their} text is in {self._companions[column.name]!r}"
                    if column.name in self._companions
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
        if rereads:
            outcome.notes.append(
                Note(
                    "type-reread",
                    f"the types decided from the first {self._prefix_rows:,} rows did not hold ("
                    + "; ".join(rereads)
                    + "): the file was read again in the types of every row",
                )
            )
        if not last_pass or rows <= self._prefix_rows:
            return
        notes = outcome.notes
        notes.append(
            Note(
                "type-prefix",
                f"the input is read once: the column types were decided from its first {self._prefix_rows:,} "
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
                        "as over the first; the input was read once and kept the first rows' type (a file "
                        "read by its path is read again in the type of every row)",
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


class TypedPass:
    """Types one pass's string batches as they come: decided from a prefix, then fixed.

    The string batches carry the run's line column last (the typed read
    asks for it, to place misfits); it is dropped from what goes out unless
    the caller asked for line numbers.

    Args:
        options: The read's options.
        source: The input's name, for messages.
        keep_lines: Keep the line column in what goes out.
        companions: False for no ``NAME_raw`` columns (a stream: misfits go
            to the records), True for one beside a column in each batch
            where it has misfits (a table, made whole at its end), None for
            a schema fixed by the first batch written (Parquet): the columns
            with misfits in the prefix, or those planned by ``previous``.
        previous: The typing of an earlier pass over the same input; this
            pass takes the types it saw over every row.
    """

    def __init__(
        self,
        options: Options,
        source: str,
        *,
        keep_lines: bool,
        companions: Optional[bool],
        previous: Optional[TableTyping] = None,
    ) -> None:
        self._options = options
        self._source = source
        self._keep_lines = keep_lines
        self._mode = companions
        self._companions: Companions = companions if companions is not None else frozenset()
        self.typing: Optional[TableTyping] = None
        self._planned = previous is not None
        if previous is not None:
            self.typing = TableTyping.again(previous, options, source)
            if companions is None:
                self._companions = frozenset(self.typing.planned_companions())
        self.rows = 0

    @property
    def companions(self) -> Companions:
        """The ``companions`` the batches were made with (with None given: the set the schema has)."""
        return self._companions

    def _out(self, batch: pa.RecordBatch, line_column: str) -> pa.RecordBatch:
        return batch if self._keep_lines else batch.drop_columns([line_column])

    def batches(self, strings: Iterable[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        """The typed batches of ``strings``; :attr:`typing` holds the outcome once they are all taken."""
        prefix: List[pa.RecordBatch] = []
        line_column = ""
        started = self._planned
        for batch in strings:
            if self.typing is None:
                self.typing = TableTyping(batch.schema.names[:-1], self._options, self._source)
            line_column = line_column or batch.schema.names[-1]
            self.rows += batch.num_rows
            if started:
                typed = self.typing.next(batch, line_column, self._companions, count=not self._planned)
                yield self._out(typed, line_column)
                continue
            prefix.append(batch)
            self.typing.add(batch)
            if self.rows >= PREFIX_ROWS:
                started = True
                yield from self._first(prefix, line_column)
                prefix = []
        if self.typing is not None and not started:
            yield from self._first(prefix, line_column)

    def _first(self, prefix: List[pa.RecordBatch], line_column: str) -> Iterator[pa.RecordBatch]:
        assert self.typing is not None
        self.typing.decide()
        typed = self.typing.first(prefix, line_column, PREFIX_ROWS, self._mode if self._mode is not None else None)
        if self._mode is None:
            self._companions = self.typing.fixed_companions
        for batch in typed:
            yield self._out(batch, line_column)


def untyped_outcome(names: Sequence[str], options: Options, source: str) -> TypingOutcome:
    """The outcome of typing a table of no rows: every column a string column."""
    typing = TableTyping(names, options, source)
    typing.decide()
    typing.finish(0)
    return typing.outcome


def whole_table(batches: List[pa.RecordBatch], empty: pa.Schema) -> pa.Table:
    """One table of a typed pass's batches: a ``NAME_raw`` column some batches lack is null there, and
    a string column some batches hold as ``large_string`` is that in all."""
    if not batches:
        return pa.Table.from_batches([], schema=empty)
    fields: Dict[str, pa.Field] = {}
    order: List[str] = []
    for batch in batches:
        previous = None
        for field_ in batch.schema:
            if field_.name not in fields:
                fields[field_.name] = field_
                # A companion first seen in a later batch stands beside its column.
                at = order.index(previous) + 1 if previous is not None else 0
                order.insert(at, field_.name)
            elif pa.types.is_large_string(field_.type):
                fields[field_.name] = field_
            previous = field_.name
    schema = pa.schema([fields[name] for name in order])
    same = []
    for batch in batches:
        if batch.schema.equals(schema):
            same.append(batch)
            continue
        arrays = [
            batch.column(name).cast(field_.type) if name in batch.schema.names else pa.nulls(batch.num_rows, field_.type)
            for name, field_ in zip(order, schema)
        ]
        same.append(pa.RecordBatch.from_arrays(arrays, schema=schema))
    return pa.Table.from_batches(same, schema=schema)
