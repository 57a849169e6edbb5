"""Typed tables with known truth, each written with one pollution of how its values look.

A clean table has an integer ``id``, a decimal ``amount``, an integer
``qty``, a boolean ``paid``, a date ``day`` and a ``code`` that is text
(five digits, leading zeros kept). Each case writes it with one pollution:

- ``clean``: as a strict parser writes it (the control);
- ``decimal_comma``: amounts as ``1234,56``, fields split by ``;``;
- ``thousands``: amounts as ``1,234.56`` (quoted where the comma needs it);
- ``mixed_dates``: half the days as ``13/02/2024`` (day-first), half ISO;
- ``null_spellings``: 5% of amounts and quantities as ``NA``, ``N/A``,
  ``-``, ``null``, ``#N/A`` or empty;
- ``late_misfit``: one quantity near the end is ``8011-N``, a text that is
  no number (its truth is that text: a reader keeps it or loses it);
- ``large_integers``: ids of 20 digits, past int64;
- ``currency_percent``: amounts as ``$1,234.56`` and quantities as ``12%``;
- ``leading_zeros``: every code has a leading zero (all files have codes;
  here none lacks one, so a reader that turns codes into numbers changes
  every value).

The truth of a cell is its kind (``integer``, ``decimal``, ``boolean``,
``date``, ``string``) and its value (an ``int``, a ``decimal.Decimal``, a
``bool``, a ``datetime.date``, a ``str``, or None for a missing value).
"""

from __future__ import annotations

import csv
import datetime
import decimal
import io
import random
from dataclasses import dataclass
from typing import Any, Dict, List, Tuple

__all__ = ["COLUMNS", "KINDS", "POLLUTIONS", "Case", "make_case"]

COLUMNS = ("id", "amount", "qty", "paid", "day", "code")
KINDS = {"id": "integer", "amount": "decimal", "qty": "integer", "paid": "boolean", "day": "date", "code": "string"}
POLLUTIONS = (
    "clean",
    "decimal_comma",
    "thousands",
    "mixed_dates",
    "null_spellings",
    "late_misfit",
    "large_integers",
    "currency_percent",
    "leading_zeros",
)
_NULLS = ("NA", "N/A", "-", "null", "#N/A", "")


@dataclass
class Case:
    """One polluted file: its bytes and the truth of every cell (a dict per row)."""

    name: str
    data: bytes
    truth: List[Dict[str, Any]]
    kinds: Dict[str, str]


def _rows(rng: random.Random, count: int, pollution: str) -> List[Dict[str, Any]]:
    rows = []
    for i in range(count):
        rows.append(
            {
                "id": 10**19 + rng.randrange(10**19) if pollution == "large_integers" else 100000 + i,
                "amount": decimal.Decimal(rng.randrange(100, 10_000_000)) / 100,
                "qty": rng.randrange(0, 500),
                "paid": rng.random() < 0.5,
                "day": datetime.date(2024, 1, 1) + datetime.timedelta(days=rng.randrange(366)),
                "code": f"{rng.randrange(0, 10000 if pollution == 'leading_zeros' else 100000):05d}",
            }
        )
    return rows


def _text(column: str, value: Any, row: int, pollution: str, rng: random.Random) -> str:
    if value is None:
        return rng.choice(_NULLS)
    if column == "amount":
        if pollution == "decimal_comma":
            return f"{value:.2f}".replace(".", ",")
        if pollution == "thousands":
            return f"{value:,.2f}"
        if pollution == "currency_percent":
            return f"${value:,.2f}"
        return f"{value:.2f}"
    if column == "qty" and pollution == "currency_percent":
        return f"{value}%"
    if column == "paid":
        return "true" if value else "false"
    if column == "day":
        if pollution == "mixed_dates" and row % 2:
            return value.strftime("%d/%m/%Y")
        return value.isoformat()
    return str(value)


def make_case(pollution: str, seed: int, rows: int = 2000) -> Case:
    """The case of ``pollution`` made from ``seed``: the file and the truth of its cells."""
    rng = random.Random(seed)
    truth = _rows(rng, rows, pollution)
    if pollution == "null_spellings":
        for row in truth:
            for column in ("amount", "qty"):
                if rng.random() < 0.05:
                    row[column] = None
    kinds = dict(KINDS)
    texts: List[List[str]] = []
    for index, row in enumerate(truth):
        texts.append([_text(column, row[column], index, pollution, rng) for column in COLUMNS])
    if pollution == "late_misfit":
        late = rows - 10
        texts[late][COLUMNS.index("qty")] = "8011-N"
        truth[late]["qty"] = "8011-N"  # a text in an integer column: kept or lost
    delimiter = ";" if pollution == "decimal_comma" else ","
    out = io.StringIO()
    writer = csv.writer(out, delimiter=delimiter, lineterminator="\n")
    writer.writerow(COLUMNS)
    writer.writerows(texts)
    return Case(f"{pollution}_{seed}", out.getvalue().encode(), truth, kinds)


def cells(case: Case) -> List[Tuple[int, str, str, Any]]:
    """Every cell of the case's truth: (row, column, kind, value)."""
    return [(index, column, case.kinds[column], row[column]) for index, row in enumerate(case.truth) for column in COLUMNS]
