"""What a read or a clean did: the counters and the rows set aside."""

from __future__ import annotations

import reprlib
from dataclasses import dataclass, field, fields
from itertools import islice
from typing import Any, Dict, Iterable, List, Mapping, Tuple

from rowmend._options import DEFAULT_MAX_RECORDS

__all__ = ["QuarantineLog", "QuarantineRecord", "Report"]

# Reports and records print briefly: a raw row may be megabytes long, and a
# report may hold thousands of records.
_short = reprlib.Repr()
_short.maxstring = 60
_short.maxtuple = 3
_short.maxother = 200


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
    """A row that was kept after repair, as it stood and as it was kept.

    Attributes:
        line: The 1-based physical line of the input on which the row begins.
        action: ``"filled"`` (padded with empty fields), ``"merged"``
            (surplus fields joined into the last column) or ``"quote
            repaired"`` (a stray quote inside a quoted field kept as text;
            a row also filled or merged is recorded by that action).
        raw: The row's original text, as it stood in the input.
        fields: The fields as they were kept.
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
        repaired_rows: Kept rows that were padded or had surplus fields merged.
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
        repairs: With ``record_repairs=True``, the first repaired rows in
            the same way; otherwise empty. ``repaired_rows`` counts the
            filled and merged ones.

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

    def __post_init__(self) -> None:
        object.__setattr__(self, "quarantine", tuple(self.quarantine))
        object.__setattr__(self, "repairs", tuple(self.repairs))
        object.__setattr__(self, "skipped", dict(self.skipped))
        counts = (self.total_rows, self.salvaged_rows, self.repaired_rows, self.quarantined_rows, self.replaced_bytes)
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
        if len(self.repairs) > self.salvaged_rows:
            # Rows whose only repair was a stray quote are recorded but not
            # counted in repaired_rows, which the backend's count matches.
            raise ValueError(f"the report holds more repair records than salvaged_rows: {self!r}")

    def __repr__(self) -> str:
        parts = []
        for field in fields(self):
            value = getattr(self, field.name)
            short = field.name in ("quarantine", "repairs")
            parts.append(f"{field.name}={_short.repr(value) if short else repr(value)}")
        return f"Report({', '.join(parts)})"

    def to_dict(self) -> Dict[str, Any]:
        """The report as plain data (``json.dumps`` takes it), keyed by attribute name.

        ``quarantine`` and ``repairs`` become lists of dictionaries (see
        :meth:`QuarantineRecord.to_dict` and :meth:`RepairRecord.to_dict`).
        """
        result: Dict[str, Any] = {field.name: getattr(self, field.name) for field in fields(self)}
        result["quarantine"] = [record.to_dict() for record in self.quarantine]
        result["repairs"] = [record.to_dict() for record in self.repairs]
        result["skipped"] = dict(self.skipped)
        return result


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
