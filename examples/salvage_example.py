"""Salvages examples/messy_export.csv and shows what came out.

Run from the repository root after `pip install .`:

    python examples/salvage_example.py
"""

import pathlib
import tempfile

import _rowmend_backend as rowmend

here = pathlib.Path(__file__).resolve().parent
messy = here / "messy_export.csv"

with tempfile.TemporaryDirectory() as scratch:
    clean = pathlib.Path(scratch) / "clean.csv"
    quarantine = pathlib.Path(scratch) / "quarantine.csv"

    print("sniffed delimiter:", repr(rowmend.sniff(messy.read_text("utf-8", "replace"))))

    # Strict: rows with too many fields are set aside rather than merged.
    summary = rowmend.salvage_file(str(messy), str(clean), str(quarantine), merge_overflow=False)
    print(summary)
    print("--- clean.csv ---")
    print(clean.read_text("utf-8"), end="")
    print("--- quarantine.csv ---")
    print(quarantine.read_text("utf-8"), end="")

    # Streaming: every row repaired to the inferred width, as lists of str.
    print("--- rows streamed with the defaults ---")
    with rowmend.open(str(messy)) as reader:
        for row in reader:
            print(row)
        print(reader.summary.to_dict())
