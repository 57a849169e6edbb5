"""Where repairs of ragged rows put the cells: placed by column kind or at the row's end.

For the pollution types that damage rows in place (``missing_separators``:
two cells run together; ``extra_separator_in_text``: a text value holding
an unquoted delimiter; ``extra_separators``: delimiters added at a row's
end), reads each generated file with ``rowmend.read_arrow`` twice, with
``repairs="auto"`` (repairs placed by the columns' kinds) and with
``repairs="backend"`` (surplus merged into the last column, short rows
padded at the end), and scores the damaged rows only: the share of their
cells that land in their true columns, and the share of rows whose every
cell does.

    python bench/placement.py --cases 50

Only files whose table came back with the true number of rows are scored
(the others are counted); a damaged row is one that Python's csv reads with
another width than the header's.
"""

from __future__ import annotations

import argparse
import csv
import io
import pathlib
import sys
import tempfile
from typing import Dict, List, Sequence

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from pollution_cases import make_case  # noqa: E402
from pollution_score import canonical  # noqa: E402

KINDS = ("missing_separators", "extra_separator_in_text", "extra_separators")


def _read(path: str, repairs: str) -> List[List[str]]:
    import rowmend

    table = rowmend.read_arrow(path, repairs=repairs)
    columns = [["" if v is None else str(v) for v in col.to_pylist()] for col in table.columns]
    return [list(r) for r in zip(*columns)]


def measure(kind: str, cases: int, seed: int, directory: pathlib.Path) -> Dict[str, Dict[str, float]]:
    """Cell and row placement shares of the damaged rows of ``cases`` files, per repairs mode."""
    totals = {mode: {"cells": 0, "cells_right": 0, "rows": 0, "rows_right": 0, "unaligned": 0} for mode in ("auto", "backend")}
    for index in range(cases):
        case = make_case(kind, index, seed=seed)
        width = len(case.records[0])
        parsed = list(csv.reader(io.StringIO(case.text, newline="")))[1:]
        damaged = [i for i, row in enumerate(parsed) if len(row) != width]
        path = directory / f"{case.name}.csv"
        path.write_text(case.text, encoding="utf-8")
        for mode, counts in totals.items():
            records = _read(str(path), mode)
            if len(records) != len(case.records):
                counts["unaligned"] += 1
                continue
            for i in damaged:
                right = sum(canonical(a) == canonical(b) for a, b in zip(records[i], case.records[i]))
                counts["cells"] += width
                counts["cells_right"] += right
                counts["rows"] += 1
                counts["rows_right"] += right == width
    return {
        mode: {
            "cell_share": c["cells_right"] / c["cells"] if c["cells"] else 1.0,
            "row_share": c["rows_right"] / c["rows"] if c["rows"] else 1.0,
            "damaged_rows": c["rows"],
            "unaligned_files": c["unaligned"],
        }
        for mode, c in totals.items()
    }


def main(argv: Sequence[str] | None = None) -> None:
    """Print the placement table."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=50, help="files per pollution type (default 50)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--kinds", nargs="+", choices=KINDS, default=list(KINDS))
    args = parser.parse_args(argv)
    print("| pollution | damaged rows | cells placed right: backend | auto | rows all right: backend | auto |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        for kind in args.kinds:
            result = measure(kind, args.cases, args.seed, pathlib.Path(tmp))
            b, a = result["backend"], result["auto"]
            print(
                f"| {kind} | {a['damaged_rows']} | {b['cell_share']:.3f} | {a['cell_share']:.3f} "
                f"| {b['row_share']:.3f} | {a['row_share']:.3f} |"
                + (f" unaligned files: {b['unaligned_files']}/{a['unaligned_files']}" if b["unaligned_files"] + a["unaligned_files"] else "")
            )


if __name__ == "__main__":
    main()
