"""The checks on a finished run: limits on quarantined, repaired and skipped rows, and the exit status they give."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Optional, Tuple

from rowmend._batch import FAILED_CHECK, OK
from rowmend._report import Report

__all__ = ["Limit", "check"]


@dataclass(frozen=True)
class Limit:
    """A limit on rows: a count (``100``) or a share of the rows read (``5%``).

    Examples:
        >>> Limit.parse("5%").exceeded(6, 100), Limit.parse("5%").exceeded(5, 100)
        (True, False)
        >>> Limit.parse("0").exceeded(1, 10**9)
        True
    """

    value: float
    percent: bool
    text: str

    @classmethod
    def parse(cls, text: str) -> Limit:
        """Read ``N`` or ``P%``; raises ``argparse.ArgumentTypeError`` for anything else."""
        percent = text.endswith("%")
        try:
            value = float(text[:-1]) if percent else int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a count or a percentage such as 5%, not {text!r}") from None
        # Written as a range so that nan% is refused too.
        if not (value >= 0 and (not percent or value <= 100)):
            raise argparse.ArgumentTypeError(f"expected a count or a percentage from 0% to 100%, not {text!r}")
        return cls(value, percent, text)

    def exceeded(self, count: int, total: int) -> bool:
        """Whether ``count`` rows out of ``total`` are more than the limit allows."""
        return count * 100 > self.value * total if self.percent else count > self.value


def check(report: Report, args: argparse.Namespace) -> Tuple[int, str, str]:
    """The exit status a report calls for, why (when it is not 0), and a word for the summary."""
    problems = []
    label = "ok"
    total = report.total_rows
    quarantined, repaired = report.quarantined_rows, report.repaired_rows
    limit: Optional[Limit] = args.max_quarantined
    if limit is not None and limit.exceeded(quarantined, total):
        problems.append(f"{quarantined:,} of {total:,} rows quarantined, more than --max-quarantined {limit.text}")
        label = "over limit"
    elif limit is None and quarantined and not args.allow_quarantine:
        problems.append(f"{quarantined:,} of {total:,} rows quarantined")
        label = "quarantined"
    limit = args.max_repaired
    if limit is not None and limit.exceeded(repaired, total):
        problems.append(f"{repaired:,} of {total:,} rows repaired, more than --max-repaired {limit.text}")
        label = "over limit"
    limit = args.max_skipped
    if limit is not None and limit.exceeded(report.skipped_rows, total):
        problems.append(
            f"{report.skipped_rows:,} of {total:,} rows set aside as not part of the table, "
            f"more than --max-skipped {limit.text}"
        )
        label = "over limit"
    return (FAILED_CHECK, "; ".join(problems), label) if problems else (OK, "", label)
