"""The values a report is made of: notes, the records of rows set aside or repaired, where they sit."""

from __future__ import annotations

import reprlib
from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, NamedTuple, Tuple

__all__ = ["OLD_SKIP_KINDS", "SKIP_KINDS", "LineHistogram", "Note", "QuarantineRecord", "RepairRecord", "short_repr"]

#: The kinds of rows set aside as not part of the table, as ``skipped`` and
#: the record of repairs name them.
SKIP_KINDS = ("blank", "comment", "preamble", "footer", "section")
#: The kinds a report counted before later tables had one of their own.
OLD_SKIP_KINDS = SKIP_KINDS[:4]

# Reports and records print briefly: a raw row may be megabytes long, and a
# report may hold thousands of records.
short_repr = reprlib.Repr()
short_repr.maxstring = 60
short_repr.maxtuple = 3
short_repr.maxother = 200


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
        return f"QuarantineRecord(line={self.line}, reason={self.reason!r}, raw={short_repr.repr(self.raw)})"

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
            ``"comment"``, ``"preamble"``, ``"footer"`` or ``"section"`` (a
            later table below the first, and what follows it). Later versions may
            add words; code that reads records should expect others.
        raw: The row's original text, as it stood in the input.
        fields: The fields as they were kept (none for a row set aside).
        placement: For a ``"merged"`` or ``"filled"`` row repaired where its
            columns' kinds placed the repair rather than at its end, what was
            joined or where the empty field was put, with 1-based field and
            column numbers (``"fields 2 and 3 joined into column 2"``,
            ``"an empty field put in column 3"``); empty otherwise.
    """

    __module__ = "rowmend"

    line: int
    action: str
    raw: str
    fields: Tuple[str, ...]
    placement: str = ""

    def __repr__(self) -> str:
        placed = f", placement={self.placement!r}" if self.placement else ""
        return f"RepairRecord(line={self.line}, action={self.action!r}{placed}, raw={short_repr.repr(self.raw)})"

    def to_dict(self) -> Dict[str, Any]:
        """The record as a dictionary with the keys ``line``, ``action``, ``raw``, ``fields`` and ``placement``."""
        return {
            "line": self.line,
            "action": self.action,
            "raw": self.raw,
            "fields": list(self.fields),
            "placement": self.placement,
        }


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

    def to_dict(self) -> Dict[str, Any]:
        """The histogram as plain data: ``bin_lines``, ``last_line`` and ``counts`` (lists by action)."""
        return {
            "bin_lines": self.bin_lines,
            "last_line": self.last_line,
            "counts": {name: list(bins) for name, bins in self.counts.items()},
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> LineHistogram:
        """The histogram ``data`` describes, as :meth:`to_dict` makes it."""
        return cls(data["bin_lines"], data["last_line"], data["counts"])
