"""What a read or a clean did: the counters and the rows set aside."""

from __future__ import annotations

import os
import reprlib
from dataclasses import dataclass, field, fields
from itertools import islice
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

from rowmend._options import DEFAULT_MAX_RECORDS
from rowmend._types import ColumnType, MisfitRecord

if TYPE_CHECKING:
    import pandas
    import pyarrow

__all__ = ["LineHistogram", "Note", "QuarantineLog", "QuarantineRecord", "RepairRecord", "Report", "SKIP_KINDS"]

#: The kinds of rows set aside as not part of the table, as ``skipped`` and
#: the record of repairs name them.
SKIP_KINDS = ("blank", "comment", "preamble", "footer")

# Reports and records print briefly: a raw row may be megabytes long, and a
# report may hold thousands of records.
_short = reprlib.Repr()
_short.maxstring = 60
_short.maxtuple = 3
_short.maxother = 200


class Note(NamedTuple):
    """Something a run must tell its user that no count says.

    A decision that set rows aside, a reading that was considered and not
    taken, a file whose owner could not be kept: each is one note.

    Attributes:
        code: A short fixed word for programs to branch on (``"owner-not-kept"``);
            later versions may add codes, so code that reads notes should
            expect others.
        message: The same in the user's words, naming the line, column or file.

    Examples:
        >>> note = Note("owner-not-kept", "out.csv: kept its mode but not its owner")
        >>> note.code, note.to_dict()["message"]
        ('owner-not-kept', 'out.csv: kept its mode but not its owner')
    """

    code: str
    message: str

    def to_dict(self) -> Dict[str, str]:
        """The note as a dictionary with the keys ``code`` and ``message``."""
        return {"code": self.code, "message": self.message}


Note.__module__ = "rowmend"


@dataclass(frozen=True)
class QuarantineRecord:
    """A row that was set aside rather than repaired.

    Attributes:
        line: The 1-based physical line of the input (after decompression)
            on which the row begins.
        reason: Why the row was set aside.
        raw: The row's original text, as it stood in the input.
    """

    __module__ = "rowmend"

    line: int
    reason: str
    raw: str

    def __repr__(self) -> str:
        return f"QuarantineRecord(line={self.line}, reason={self.reason!r}, raw={_short.repr(self.raw)})"

    def to_dict(self) -> Dict[str, Any]:
        """The record as a dictionary with the keys ``line``, ``reason`` and ``raw``."""
        return {"line": self.line, "reason": self.reason, "raw": self.raw}


@dataclass(frozen=True)
class RepairRecord:
    """A row that was kept after repair, or set aside as not part of the table.

    Attributes:
        line: The 1-based physical line of the input on which the row begins.
        action: What was done: ``"filled"`` (padded with empty fields),
            ``"merged"`` (surplus fields joined into the last column),
            ``"quote repaired"`` (a stray quote inside a quoted field kept as
            text), ``"bytes replaced"`` (bytes that were not UTF-8 became
            U+FFFD), ``"quote read as text"`` (a quote that opened a field
            running on for 64 lines or 1 MiB, or to the end of the input,
            through lines that read as rows, kept as text so that those lines
            are rows again; a row repaired in several ways is recorded once,
            by this first, then in the order above), or
            for a row set aside as not part of the table its kind: ``"blank"``,
            ``"comment"``, ``"preamble"`` or ``"footer"``. Later versions may
            add words; code that reads records should expect others.
        raw: The row's original text, as it stood in the input.
        fields: The fields as they were kept (none for a row set aside).
    """

    __module__ = "rowmend"

    line: int
    action: str
    raw: str
    fields: Tuple[str, ...]

    def __repr__(self) -> str:
        return f"RepairRecord(line={self.line}, action={self.action!r}, raw={_short.repr(self.raw)})"

    def to_dict(self) -> Dict[str, Any]:
        """The record as a dictionary with the keys ``line``, ``action``, ``raw`` and ``fields``."""
        return {"line": self.line, "action": self.action, "raw": self.raw, "fields": list(self.fields)}


@dataclass(frozen=True)
class LineHistogram:
    """Where in the input the rows that were not kept as they stood sit.

    Every such row of the run is counted, however long the input: each bin
    covers ``bin_lines`` consecutive lines, bin ``i`` the lines from
    ``i * bin_lines + 1`` on.

    Attributes:
        bin_lines: Lines per bin.
        last_line: The last line of the input that was read.
        counts: Per action (``"filled"``, ``"merged"``, ``"too few fields"``,
            ``"too many fields"`` and the skipped kinds), rows per bin; every
            list holds the same number of bins, enough to reach ``last_line``.

    Examples:
        >>> h = LineHistogram(bin_lines=2, last_line=5, counts={"filled": (1, 0, 2)})
        >>> h.totals(), h.bins
        ({'filled': 3}, 3)
    """

    __module__ = "rowmend"

    bin_lines: int
    last_line: int
    counts: Mapping[str, Tuple[int, ...]] = field(default_factory=dict, hash=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "counts", {name: tuple(bins) for name, bins in self.counts.items()})
        if self.bin_lines < 1 or self.last_line < 0:
            raise ValueError(f"bin_lines must be at least 1 and last_line at least 0: {self!r}")
        if len({len(bins) for bins in self.counts.values()}) > 1:
            raise ValueError("every action's counts must cover the same bins")

    @property
    def bins(self) -> int:
        """How many bins each action's counts hold."""
        return max((len(bins) for bins in self.counts.values()), default=0)

    def totals(self) -> Dict[str, int]:
        """Rows per action over the whole input, for the actions that happened."""
        return {name: sum(bins) for name, bins in self.counts.items() if any(bins)}


@dataclass(frozen=True, repr=False)
class Report:
    """The outcome of reading or cleaning one input.

    The row counters count rows read: a header row is none of them, so
    ``salvaged_rows`` is the number of rows of the table read.
    ``total_rows == salvaged_rows + quarantined_rows + skipped_rows`` always
    holds.

    Attributes:
        total_rows: Rows read from the input, the header row not included.
        salvaged_rows: Rows kept, repaired ones included.
        repaired_rows: Kept rows that were padded, had surplus fields
            merged, or had a quote that never closed read as text.
        quarantined_rows: Rows set aside; exact even when ``quarantine``
            holds only the first of them.
        skipped_rows: Rows set aside as not part of the table (blank lines,
            comment lines, a preamble above the table, a footer below it),
            never as data.
        skipped: How many rows were skipped of each kind (``"blank"``,
            ``"comment"``, ``"preamble"``, ``"footer"``).
        delimiter: The separator used, given or detected: one character, or
            the character and a blank (``", "``) when a blank after every
            delimiter was read as part of the separator.
        columns: The column count used, given or inferred (0: rows were
            left as parsed).
        encoding: The text encoding the input was decoded with;
            ``"utf-8+cp1252"`` for detected UTF-8 in which some bytes were
            not UTF-8 and were read as cp1252 rather than replaced.
        replaced_bytes: Input bytes that could not be decoded in that
            encoding and became U+FFFD.
        quarantine: The first quarantined rows (10,000 unless
            ``max_records`` said otherwise), in input order.
        repairs: With ``record_repairs=True``, the first repaired rows and
            the first rows skipped as not part of the table, up to
            ``max_records`` of each action, in input order; otherwise empty.
            ``repaired_rows`` and ``skipped`` count them all, but for rows whose
            only repair was a stray quote, which ``repaired_rows`` leaves out
            as the backend's count does.
        lines: Where the repaired, quarantined and skipped rows sit in the
            input (a :class:`LineHistogram` of every one of them); None for a
            report not made by a run.
        header: The names the header row gave the columns; None when the
            first row was read as data.
        header_rows: The records read as the header's names (1 for a
            one-line header, k for a header of k rows, 0 when the first row
            was read as data). They are not in ``total_rows``, so
            ``header_rows + total_rows`` is every record the input held.
        notes: What the run has to say that no count says, in order: a
            reading considered and not taken, rows set aside as a second
            table, an owner that could not be kept (see :class:`Note`).
        column_types: With ``dtypes``: each column's :class:`ColumnType`
            (kind, Arrow type, number format, unit, date order); else empty.
        misfits: With ``dtypes``: per typed column, the exact count of
            cells that did not fit its type (null in the column).
        misfit_records: Those cells' line, column and text
            (:class:`MisfitRecord`): the first ``max_records`` of a table
            or Parquet file, which also keeps them in ``NAME_raw``
            columns; every one of a stream's.

    Examples:
        >>> report = Report(total_rows=3, salvaged_rows=2, repaired_rows=1, quarantined_rows=1,
        ...                 delimiter=",", columns=2, encoding="utf-8", replaced_bytes=0,
        ...                 quarantine=(QuarantineRecord(4, "too many fields", "a,b,c"),))
        >>> report.quarantine[0].line
        4
        >>> report.to_dict()["quarantine"]
        [{'line': 4, 'reason': 'too many fields', 'raw': 'a,b,c'}]
    """

    __module__ = "rowmend"

    total_rows: int
    salvaged_rows: int
    repaired_rows: int
    quarantined_rows: int
    delimiter: str
    columns: int
    encoding: str
    replaced_bytes: int
    quarantine: Tuple[QuarantineRecord, ...] = ()
    skipped_rows: int = 0
    skipped: Mapping[str, int] = field(default_factory=dict, hash=False)
    repairs: Tuple[RepairRecord, ...] = ()
    lines: Optional[LineHistogram] = field(default=None, compare=False)
    header: Optional[Tuple[str, ...]] = None
    header_rows: int = 0
    notes: Tuple[Note, ...] = ()
    column_types: Mapping[str, ColumnType] = field(default_factory=dict, hash=False)
    misfits: Mapping[str, int] = field(default_factory=dict, hash=False)
    misfit_records: Tuple[MisfitRecord, ...] = ()

    def __post_init__(self) -> None:
        object.__setattr__(self, "quarantine", tuple(self.quarantine))
        object.__setattr__(
            self, "notes", tuple(Note(**note) if isinstance(note, Mapping) else Note(*note) for note in self.notes)
        )
        object.__setattr__(self, "repairs", tuple(self.repairs))
        object.__setattr__(self, "skipped", dict(self.skipped))
        object.__setattr__(
            self,
            "column_types",
            {
                name: kind if isinstance(kind, ColumnType) else ColumnType.from_dict(kind)
                for name, kind in self.column_types.items()
            },
        )
        object.__setattr__(self, "misfits", dict(self.misfits))
        object.__setattr__(
            self,
            "misfit_records",
            tuple(r if isinstance(r, MisfitRecord) else MisfitRecord(**r) for r in self.misfit_records),
        )
        if self.header is not None:
            object.__setattr__(self, "header", tuple(self.header))
        counts = (
            self.total_rows,
            self.salvaged_rows,
            self.repaired_rows,
            self.quarantined_rows,
            self.replaced_bytes,
            self.header_rows,
        )
        if min(counts + (self.columns, self.skipped_rows) + tuple(self.skipped.values())) < 0:
            raise ValueError(f"a report's counts cannot be negative: {self!r}")
        if self.total_rows != self.salvaged_rows + self.quarantined_rows + self.skipped_rows:
            raise ValueError(f"total_rows must equal salvaged_rows + quarantined_rows + skipped_rows: {self!r}")
        if self.skipped and sum(self.skipped.values()) != self.skipped_rows:
            raise ValueError(f"the skipped counts per kind must add up to skipped_rows: {self!r}")
        if self.repaired_rows > self.salvaged_rows:
            raise ValueError(f"repaired_rows cannot exceed salvaged_rows: {self!r}")
        if len(self.quarantine) > self.quarantined_rows:
            raise ValueError(f"the report holds more quarantine records than quarantined_rows: {self!r}")
        if len(self.repairs) > self.salvaged_rows + self.skipped_rows:
            # Rows whose only repair was a stray quote are recorded but not
            # counted in repaired_rows, which the backend's count matches.
            raise ValueError(f"the report holds more repair records than salvaged and skipped rows: {self!r}")

    def __repr__(self) -> str:
        parts = []
        for field in fields(self):
            value = getattr(self, field.name)
            if field.name == "lines":
                continue
            if field.name in ("column_types", "misfits", "misfit_records") and not value:
                continue  # a read without dtypes has none
            short = field.name in ("quarantine", "repairs", "notes", "misfit_records")
            parts.append(f"{field.name}={_short.repr(value) if short else repr(value)}")
        return f"Report({', '.join(parts)})"

    def to_dict(self) -> Dict[str, Any]:
        """The report as plain data (``json.dumps`` takes it), keyed by attribute name.

        ``quarantine``, ``repairs`` and ``notes`` become lists of dictionaries
        (see :meth:`QuarantineRecord.to_dict`, :meth:`RepairRecord.to_dict`
        and :meth:`Note.to_dict`).
        ``lines`` is left out: it is for drawing, see :meth:`to_html`.
        """
        result: Dict[str, Any] = {field.name: getattr(self, field.name) for field in fields(self) if field.name != "lines"}
        result["quarantine"] = [record.to_dict() for record in self.quarantine]
        result["repairs"] = [record.to_dict() for record in self.repairs]
        result["skipped"] = dict(self.skipped)
        result["header"] = list(self.header) if self.header is not None else None
        result["notes"] = [note.to_dict() for note in self.notes]
        result["column_types"] = {name: kind.to_dict() for name, kind in self.column_types.items()}
        result["misfits"] = dict(self.misfits)
        result["misfit_records"] = [record.to_dict() for record in self.misfit_records]
        return result

    def records(self) -> List[Dict[str, Any]]:
        """The repair and quarantine records as one list of rows, in input order.

        Each row has ``line``, ``action`` (a repair's or skip's word, or
        ``"quarantined"``), ``reason`` (a quarantined row's; else None),
        ``raw`` and ``fields`` (the kept fields; None for a row not kept).
        """
        rows: List[Dict[str, Any]] = [
            {"line": r.line, "action": "quarantined", "reason": r.reason, "raw": r.raw, "fields": None}
            for r in self.quarantine
        ]
        for repair in self.repairs:
            kept = list(repair.fields) if repair.action not in SKIP_KINDS else None
            rows.append({"line": repair.line, "action": repair.action, "reason": None, "raw": repair.raw, "fields": kept})
        rows.sort(key=lambda row: row["line"])
        return rows

    def to_arrow(self) -> "pyarrow.Table":
        """The repair and quarantine records (:meth:`records`) as a :class:`pyarrow.Table`."""
        import pyarrow as pa

        schema = pa.schema(
            [
                ("line", pa.int64()),
                ("action", pa.string()),
                ("reason", pa.string()),
                ("raw", pa.string()),
                ("fields", pa.list_(pa.string())),
            ]
        )
        return pa.Table.from_pylist(self.records(), schema=schema)

    def to_pandas(self) -> "pandas.DataFrame":
        """The repair and quarantine records (:meth:`records`) as a :class:`pandas.DataFrame`."""
        return self.to_arrow().to_pandas()

    def to_html(
        self, path: Optional[Union[str, "os.PathLike[str]"]] = None, *, rows: int = 100, title: str = "rowmend report"
    ) -> str:
        """The report as one self-contained HTML page: summary, charts and the first rows of each action.

        Needs matplotlib (``pip install 'rowmend[report]'``) for the charts.

        Args:
            path: Where to write the page (UTF-8, replacing what is there);
                None writes nothing.
            rows: Records shown per action (quarantined, filled, ...); the
                counts stay exact.
            title: The page's title and heading.

        Returns:
            The page's text.
        """
        from rowmend._html import report_page

        page = report_page(self, rows=rows, title=title)
        if path is not None:
            with open(path, "w", encoding="utf-8") as out:
                out.write(page)
        return page

    def _repr_html_(self) -> str:
        """The summary and the first rows of each action, for Jupyter (no charts, no matplotlib needed)."""
        from rowmend._html import report_fragment

        return report_fragment(self, rows=5)


class QuarantineLog:
    """Collects quarantined rows for a :class:`Report`.

    Counts every row added but keeps only the first ``max_records``, so that
    a badly damaged input cannot fill memory with records.

    Examples:
        >>> log = QuarantineLog(max_records=1)
        >>> log.add(2, "too many fields", "a,b,c")
        >>> log.extend([(5, "too few fields", "a"), (9, "too few fields", "b")])
        >>> log.count, log.records
        (3, (QuarantineRecord(line=2, reason='too many fields', raw='a,b,c'),))
    """

    def __init__(self, max_records: int = DEFAULT_MAX_RECORDS) -> None:
        if max_records < 0:
            raise ValueError(f"max_records must be at least 0, not {max_records}")
        self.max_records = max_records
        self.count = 0
        self._kept: List[QuarantineRecord] = []

    def add(self, line: int, reason: str, raw: str) -> None:
        """Count one quarantined row, and keep it while there is room."""
        self.count += 1
        if len(self._kept) < self.max_records:
            self._kept.append(QuarantineRecord(line, reason, raw))

    def extend(self, records: Iterable[Tuple[int, str, str]]) -> None:
        """Count many quarantined rows given as ``(line, reason, raw)``."""
        records = iter(records)
        room = self.max_records - len(self._kept)
        before = len(self._kept)
        self._kept.extend(QuarantineRecord(line, reason, raw) for line, reason, raw in islice(records, max(room, 0)))
        self.count += len(self._kept) - before + sum(1 for _ in records)

    @property
    def records(self) -> Tuple[QuarantineRecord, ...]:
        """The records kept, in the order they were added."""
        return tuple(self._kept)
