"""The small-file sweep: do small tables come back with their header and every row?

Every table of 1 to 12 data rows and 2 to 6 columns, with a header of words
and at least one column of numbers or dates, is read with the defaults as it
is, with one ragged row at each position (a field short, cut to its first
field, a field long; and so again with a delimiter at the end of every
line, header included),
and with one at each position and the last row ragged the other way (the
widest row last, or the narrowest).
A table comes back when its header names the first columns and each of its
rows comes back whole: its cells, in order, joined by the delimiter, are the
line as written (a short row padded, a long row merged into its last field,
or every row under one more column when the long row ties the widths).

    python bench/small_files.py            # the share that comes back, per shape
    python bench/small_files.py --failures 10

Left out as undecidable: tables with no column of numbers or dates (a text
table with or without a header reads the same either way; such a file is
read with its first row as names when no name recurs below), and one-column
tables (no delimiter to tell a ragged row by).
"""

from __future__ import annotations

import argparse
import io
import itertools
import random
from typing import Dict, Iterator, List, NamedTuple, Optional, Tuple

WORDS = ["id", "name", "amount", "city", "day", "code", "price", "owner"]
TEXTS = ["ana", "bo", "rome", "oslo", "red", "blue", "kiwi", "pear", "x9", "lima"]

# Column kinds per table: "t" text, "n" number, "d" date; at least one n or d.
PATTERNS = ["nt", "tn", "dtn", "tnt", "ntn", "tdt"]


class SmallTable(NamedTuple):
    """One generated file and what must come back from it."""

    name: str
    header: List[str]
    lines: List[str]  # the data rows as written, one line each

    @property
    def data(self) -> bytes:
        return ("\n".join([",".join(self.header)] + self.lines) + "\n").encode()


def _cell(kind: str, rng: random.Random) -> str:
    if kind == "n":
        return rng.choice([str(rng.randint(1, 999)), f"{rng.randint(0, 99)}.{rng.randint(10, 99)}"])
    if kind == "d":
        return f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
    return rng.choice(TEXTS)


def tables(seed: int = 0) -> Iterator[SmallTable]:
    """Every shape of the sweep, clean and with each ragged row."""
    rng = random.Random(seed)
    shapes = sorted({(rows, width, (pattern * width)[:width]) for rows, width, pattern in
                     itertools.product(range(1, 13), range(2, 7), PATTERNS)})
    for rows, width, kinds in shapes:
        header = WORDS[:width]
        body = [[_cell(kind, rng) for kind in kinds] for _ in range(rows)]
        name = f"{rows}x{width}-{kinds}"
        yield SmallTable(name, header, [",".join(r) for r in body])
        for at, change in itertools.product(range(rows), ["short", "cut", "long"]):
            lines = _ragged(body, {at: change}, rng)
            yield SmallTable(f"{name}-{change}@{at + 1}", header, lines)
            # As spreadsheets export it: a delimiter at the end of every line.
            yield SmallTable(f"{name}-trailing-{change}@{at + 1}", header + [""], [line + "," for line in lines])
        # Two ragged rows, one of them last: the widest row may come last.
        pairs = [("short", "long"), ("cut", "long"), ("long", "short"), ("long", "cut")]
        for at, (change, last) in itertools.product(range(rows - 1), pairs):
            yield SmallTable(
                f"{name}-{change}@{at + 1}+{last}@{rows}", header, _ragged(body, {at: change, rows - 1: last}, rng)
            )


def _ragged(body: List[List[str]], changes: Dict[int, str], rng: random.Random) -> List[str]:
    """The rows as lines, those in ``changes`` a field short or a field long."""
    lines = []
    for at, row in enumerate(body):
        change = changes.get(at)
        cells = {"short": row[:-1], "cut": row[:1], "long": row + [_cell("n", rng)]}.get(change or "", row)
        lines.append(",".join(cells))
    return lines


def failure(table: SmallTable) -> Optional[str]:
    """Why the table did not come back with its header and every row, or None."""
    import pyarrow as pa

    import rowmend

    stream = rowmend.stream(io.BytesIO(table.data))
    got = pa.table(stream)
    names = got.column_names
    header = [name for name in table.header if name]
    if names[: len(header)] != header:
        return f"names {names}"
    if any(not name.startswith("column_") for name in names[len(header) :]):
        return f"names {names}"
    rows = [list(row.values()) for row in got.to_pylist()]
    back = [",".join(row).rstrip(",") for row in rows]
    if back != [line.rstrip(",") for line in table.lines]:
        return f"rows {back}"
    report = stream.report
    if report.header_rows != 1 or report.skipped_rows:
        return f"header rows {report.header_rows}, skipped {report.skipped}"
    return None


def corpus_controls() -> List[Tuple[str, List[str], List[List[str]]]]:
    """The shared corpus's well-formed tables, whole: (path, header, records)."""
    from pollution_cases import CORPUS, corpus_tables

    return [(str(CORPUS / path), header, records) for path, (header, records) in corpus_tables(max_records=10**9)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--failures", type=int, default=0, help="print this many failed tables")
    args = parser.parse_args()
    total = failed = 0
    shown = 0
    for table in tables():
        total += 1
        why = failure(table)
        if why is not None:
            failed += 1
            if shown < args.failures:
                shown += 1
                print(f"{table.name}: {why}\n  {table.data!r}")
    print(f"{total - failed} of {total} tables come back ({100 * (total - failed) / total:.1f}%)")


if __name__ == "__main__":
    main()
