"""What a read or a clean did: the :class:`Report`, its counters and the rows set aside."""

from __future__ import annotations

import os
from dataclasses import MISSING, dataclass, field, fields
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Tuple, Union

from rowmend._html import report_fragment, report_page
from rowmend._records import OLD_SKIP_KINDS, SKIP_KINDS, LineHistogram, Note, QuarantineRecord, RepairRecord, short_repr
from rowmend._types import ColumnType, MisfitRecord

if TYPE_CHECKING:
    import pandas
    import pyarrow

__all__ = ["Report"]


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
            comment lines, a preamble above the table, a footer below it, a
            later table below it), never as data.
        skipped: How many rows were skipped of each kind (``"blank"``,
            ``"comment"``, ``"preamble"``, ``"footer"``, ``"section"``: a
            later table and every line after it). A report made before
            ``"section"`` was counted apart (its later tables are in
            ``"footer"``) reads with ``"section": 0``.
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
        for each in fields(self):
            value = getattr(self, each.name)
            if each.name == "lines":
                continue
            if each.name in ("column_types", "misfits", "misfit_records") and not value:
                continue  # a read without dtypes has none
            short = each.name in ("quarantine", "repairs", "notes", "misfit_records")
            parts.append(f"{each.name}={short_repr.repr(value) if short else repr(value)}")
        return f"Report({', '.join(parts)})"

    def to_dict(self, *, lines: bool = False) -> Dict[str, Any]:
        """The report as plain data (``json.dumps`` takes it), keyed by attribute name.

        ``quarantine``, ``repairs`` and ``notes`` become lists of dictionaries
        (see :meth:`QuarantineRecord.to_dict`, :meth:`RepairRecord.to_dict`
        and :meth:`Note.to_dict`). :meth:`from_dict` makes the report again.

        Args:
            lines: Whether to keep ``lines`` too (:meth:`LineHistogram.to_dict`),
                for a report that travels and is drawn at the other end; by
                default it is left out: it is for drawing, see :meth:`to_html`.
        """
        result: Dict[str, Any] = {each.name: getattr(self, each.name) for each in fields(self) if each.name != "lines"}
        result["quarantine"] = [record.to_dict() for record in self.quarantine]
        result["repairs"] = [record.to_dict() for record in self.repairs]
        result["skipped"] = dict(self.skipped)
        result["header"] = list(self.header) if self.header is not None else None
        result["notes"] = [note.to_dict() for note in self.notes]
        result["column_types"] = {name: kind.to_dict() for name, kind in self.column_types.items()}
        result["misfits"] = dict(self.misfits)
        result["misfit_records"] = [record.to_dict() for record in self.misfit_records]
        if lines:
            result["lines"] = self.lines.to_dict() if self.lines is not None else None
        return result

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> Report:
        """The report ``data`` describes, as :meth:`to_dict` makes it, also after a trip through JSON.

        ``Report.from_dict(report.to_dict()) == report`` for every report.
        ``lines`` comes back when ``data`` holds it (``to_dict(lines=True)``);
        otherwise the report made has none.

        Raises:
            ValueError: ``data`` is not a mapping, lacks a field a report
                needs, has one that no report has, holds a record that is no
                record, or counts that do not add up; the message says which.

        Examples:
            >>> report = Report(total_rows=2, salvaged_rows=1, repaired_rows=0, quarantined_rows=1,
            ...                 delimiter=";", columns=2, encoding="utf-8", replaced_bytes=0,
            ...                 quarantine=(QuarantineRecord(3, "too many fields", "a;b;c"),))
            >>> Report.from_dict(report.to_dict()) == report
            True
        """
        if not isinstance(data, Mapping):
            raise ValueError(f"a report is a mapping of its fields, not {type(data).__name__}")
        known = {each.name: each for each in fields(cls)}
        unknown = sorted(set(data) - set(known))
        if unknown:
            raise ValueError(f"unknown report field(s) {', '.join(map(repr, unknown))}")
        missing = [
            name
            for name, each in known.items()
            if name not in data and each.default is MISSING and each.default_factory is MISSING
        ]
        if missing:
            raise ValueError(f"the report lacks the field(s) {', '.join(map(repr, missing))}")
        values = dict(data)
        try:
            values["quarantine"] = tuple(QuarantineRecord(**record) for record in data.get("quarantine", ()))
            values["repairs"] = tuple(
                RepairRecord(**{**record, "fields": tuple(record["fields"])}) for record in data.get("repairs", ())
            )
            values["notes"] = tuple(Note(**note) for note in data.get("notes", ()))
            skipped = data.get("skipped")
            if isinstance(skipped, Mapping) and set(skipped) == set(OLD_SKIP_KINDS):
                # Counted before later tables had a kind of their own.
                values["skipped"] = {**skipped, "section": 0}
            if data.get("lines") is not None:
                values["lines"] = LineHistogram.from_dict(data["lines"])
            return cls(**values)
        except (TypeError, KeyError) as error:
            raise ValueError(f"not a report: {type(error).__name__}: {error}") from None

    def records(self) -> List[Dict[str, Any]]:
        """The repair and quarantine records as one list of rows, in input order.

        Each row has ``line``, ``action`` (a repair's or skip's word, or
        ``"quarantined"``), ``reason`` (a quarantined row's; else None),
        ``raw``, ``fields`` (the kept fields; None for a row not kept) and
        ``placement`` (what a repair placed by the columns' kinds joined or
        where it put an empty field; None otherwise).
        """
        rows: List[Dict[str, Any]] = [
            {"line": r.line, "action": "quarantined", "reason": r.reason, "raw": r.raw, "fields": None, "placement": None}
            for r in self.quarantine
        ]
        for repair in self.repairs:
            kept = list(repair.fields) if repair.action not in SKIP_KINDS else None
            rows.append(
                {
                    "line": repair.line,
                    "action": repair.action,
                    "reason": None,
                    "raw": repair.raw,
                    "fields": kept,
                    "placement": repair.placement or None,
                }
            )
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
                ("placement", pa.string()),
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
        page = report_page(self, rows=rows, title=title)
        if path is not None:
            with open(path, "w", encoding="utf-8") as out:
                out.write(page)
        return page

    def _repr_html_(self) -> str:
        """The summary and the first rows of each action, for Jupyter (no charts, no matplotlib needed)."""
        return report_fragment(self, rows=5)
