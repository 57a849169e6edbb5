"""Rescues examples/messy_export.csv and shows what came out.

Run from the repository root after `pip install .`:

    python examples/salvage_example.py
"""

import pathlib
import tempfile

import rowmend

here = pathlib.Path(__file__).resolve().parent
messy = here / "messy_export.csv"

with tempfile.TemporaryDirectory() as scratch:
    clean = pathlib.Path(scratch) / "clean.csv"
    quarantine = pathlib.Path(scratch) / "quarantine.csv"

    # Strict: rows with too many fields are set aside rather than merged.
    report = rowmend.clean(messy, clean, quarantine=quarantine, merge_overflow=False)
    print(f"encoding {report.encoding}, delimiter {report.delimiter!r}, {report.columns} columns")
    print(
        f"{report.total_rows} rows: {report.salvaged_rows} kept ({report.repaired_rows} repaired), "
        f"{report.quarantined_rows} set aside"
    )
    print("--- clean.csv ---")
    print(clean.read_text("utf-8"), end="")
    print("--- quarantine.csv ---")
    print(quarantine.read_text("utf-8"), end="")

# With the defaults every row is repaired to the table's width, straight into Arrow.
print("--- as a table ---")
for row in rowmend.read_arrow(messy).to_pylist():
    print(row)
