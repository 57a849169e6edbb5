"""Scores of a reading against the truth of a polluted file.

A reading is a header (a list of names, or None when the reader saw none)
and records (lists of str). Three F1 scores in [0, 1] compare it with the
truth; each is 2PR / (P + R) of a precision P and a recall R, and 1 when
both sides are empty:

- **header F1**: the names as a set of (position, name) pairs. When either
  side has no header, the score is 1 if neither has one, else 0.
- **record F1**: records as a multiset of tuples of cells; a record matches
  only when every cell matches and it has no cell more or less.
- **cell F1**: cells as a multiset of (column position, text) pairs over all
  records. A record shifted by a stray preamble line still scores its cells;
  a cell in the wrong column, cut in the wrong place or with a quote left on
  does not. Extra rows (preamble, footer, a header read as data) lower the
  precision, lost rows the recall.

Cells are compared after :func:`canonical`: a plain decimal number compares
by value (``12.50`` equals ``12.5``, as a reader that types its columns
prints it) and ``true``/``false`` by lower case; everything else exactly,
blanks included.
"""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass
from decimal import Decimal, InvalidOperation
from typing import Hashable, Iterable, List, Optional, Sequence

__all__ = ["Reading", "Scores", "canonical", "f1", "score"]

_NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")


@dataclass(frozen=True)
class Reading:
    """What a reader returned: a header (None for none) and records."""

    header: Optional[List[str]]
    records: List[List[str]]


@dataclass(frozen=True)
class Scores:
    """The three F1 scores of one reading."""

    header: float
    record: float
    cell: float


def canonical(cell: str) -> str:
    """The form in which cells are compared.

    Examples:
        >>> canonical("12.50"), canonical("12.5"), canonical("007")
        ('12.5', '12.5', '7')
        >>> canonical("TRUE"), canonical(" 1"), canonical("1,5")
        ('true', ' 1', '1,5')
    """
    if _NUMBER.fullmatch(cell):
        try:
            value = Decimal(cell)
        except InvalidOperation:  # pragma: no cover - the pattern admits only numbers
            return cell
        if value == value.to_integral_value():
            return format(value.to_integral_value(), "f")
        return format(value.normalize(), "f")
    if cell.lower() in ("true", "false"):
        return cell.lower()
    return cell


def f1(truth: Iterable[Hashable], found: Iterable[Hashable]) -> float:
    """F1 of two multisets; 1 when both are empty.

    Examples:
        >>> f1(["a", "b"], ["a", "b"]), f1(["a", "b"], ["a"]), f1([], [])
        (1.0, 0.6666666666666666, 1.0)
    """
    want, got = Counter(truth), Counter(found)
    total_want, total_got = sum(want.values()), sum(got.values())
    if total_want == 0 and total_got == 0:
        return 1.0
    hits = sum((want & got).values())
    if hits == 0:
        return 0.0
    precision, recall = hits / total_got, hits / total_want
    return 2 * precision * recall / (precision + recall)


def _cells(records: Sequence[Sequence[str]]) -> List[tuple]:
    return [(j, canonical(cell)) for r in records for j, cell in enumerate(r)]


def score(truth: Reading, found: Reading) -> Scores:
    """Header, record and cell F1 of a reading against the truth."""
    if truth.header is None or found.header is None:
        header = 1.0 if truth.header is None and found.header is None else 0.0
    else:
        header = f1(enumerate(truth.header), enumerate(found.header))
    record = f1(
        (tuple(canonical(c) for c in r) for r in truth.records),
        (tuple(canonical(c) for c in r) for r in found.records),
    )
    return Scores(header, record, f1(_cells(truth.records), _cells(found.records)))
