"""Time per byte of the hard lines against clean rows, on one and two threads.

For each input (the 10 MB line full of stray quotes, the 10 MB unterminated
field, and clean narrow, messy and quote-heavy rows of the same size) it times
`_rowmend_backend.salvage_file` and `rowmend.clean` with `threads=1` and
`threads=2`, writing into a fresh regular file each run, and prints seconds,
MB/s and each input's time per byte as a multiple of clean narrow rows' (the
target for the two pathological lines is 3x). Fastest of --reps runs; run it
on a quiet machine.

    python bench/generate.py --max-mb 10
    python bench/stray_quote_line.py --reps 5
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import _rowmend_backend
import rowmend

DATA = Path(__file__).resolve().parent / "data"
INPUTS = ["clean_narrow_10mb", "messy_10mb", "quote_heavy_10mb",
          "pathological_quotes_10mb", "pathological_unterminated_10mb"]


def fastest(run, reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args(argv)
    missing = [name for name in INPUTS if not (DATA / f"{name}.csv").exists()]
    if missing:
        print("missing inputs (python bench/generate.py --max-mb 10):", ", ".join(missing))
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.csv")

        def fresh() -> str:
            if os.path.exists(out):
                os.unlink(out)
            return out

        runs = {
            "salvage_file": lambda src, threads: _rowmend_backend.salvage_file(src, fresh()),
            "clean": lambda src, threads: rowmend.clean(src, fresh(), threads=threads),
        }
        per_byte: dict[tuple[str, int], float] = {}
        for name in INPUTS:
            src = str(DATA / f"{name}.csv")
            size = os.path.getsize(src)
            for call, run in runs.items():
                # The backend's calls choose their threads themselves.
                for threads in ((0,) if call == "salvage_file" else (1, 2)):
                    seconds = fastest(lambda: run(src, threads), args.reps)
                    key = (call, threads)
                    if name == "clean_narrow_10mb":
                        per_byte[key] = seconds / size
                    ratio = seconds / size / per_byte[key]
                    label = call if call == "salvage_file" else f"clean threads={threads}"
                    print(f"{name:32} {label:18} {seconds:7.3f} s {size / seconds / 1e6:8.1f} MB/s "
                          f"{ratio:5.2f}x clean narrow per byte")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
