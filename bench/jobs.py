"""Where a pool of processes starts to pay: ``rowmend clean`` with --jobs 1, 2 and the default.

Writes folders of seeded messy CSV files into bench/data/jobs/ (by default 50
files of 20 KB, as the trial's folder, and 8 files each of 1, 8, 32 and 128
MB), then cleans each folder into a scratch folder with ``--jobs 1``,
``--jobs 2`` and no --jobs (the rule in rowmend._many.default_workers:
one process below POOL_BYTES of input), fastest of --reps runs each, as
whole command runs (the interpreter's start included, as a user sees it).

    python bench/jobs.py                   # every folder
    python bench/jobs.py --sizes 0.02 8    # 50 small files and 8 of 8 MB

The default is right when its time is the better of the other two on every
folder; POOL_BYTES should sit where --jobs 2 starts to win. Run it on a
quiet machine: other work on the cores makes the times noise.
"""

from __future__ import annotations

import argparse
import json
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from rowmend._many import POOL_BYTES


def write_folder(folder: Path, files: int, size: int) -> None:
    """``files`` messy CSV files of about ``size`` bytes each, 5% of rows ragged."""
    if folder.exists() and len(list(folder.iterdir())) == files:
        return
    folder.mkdir(parents=True, exist_ok=True)
    rng = random.Random(22)
    for index in range(files):
        lines = ["id,name,city,amount,note"]
        written = 0
        while written < size:
            row = f"{len(lines)},name {rng.randrange(10**6)},city {rng.randrange(50)},{rng.randrange(10**5) / 100},n"
            if rng.random() < 0.05:
                row = row.rsplit(",", 2)[0]  # a short row, filled by the clean
            lines.append(row)
            written += len(row) + 1
        (folder / f"part-{index:03}.csv").write_text("\n".join(lines) + "\n")


def clean(folder: Path, jobs: list[str]) -> float:
    with tempfile.TemporaryDirectory(prefix="rowmend-jobs-") as out:
        start = time.perf_counter()
        subprocess.run([sys.executable, "-m", "rowmend", "clean", str(folder), "--output-dir", out, *jobs],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=float, nargs="+", default=[0.02, 1, 8, 32, 128],
                        help="file sizes in MB, one folder each (0.02: 50 files; else 8)")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--out", type=Path, help="write the results as JSON here too")
    parser.add_argument("--keep", action="store_true", help="keep bench/data/jobs/ for the next run")
    args = parser.parse_args()
    data = Path(__file__).parent / "data" / "jobs"
    results = []
    print(f"pool from {POOL_BYTES >> 20} MiB of input", flush=True)
    for megabytes in args.sizes:
        files = 50 if megabytes < 0.1 else 8
        folder = data / f"{files}x{megabytes:g}mb"
        write_folder(folder, files, int(megabytes * (1 << 20)))
        row = {"files": files, "mb_each": megabytes}
        for label, flags in (("jobs 1", ["--jobs", "1"]), ("jobs 2", ["--jobs", "2"]), ("default", [])):
            row[label] = min(clean(folder, flags) for _ in range(args.reps))
        results.append(row)
        print(f"{files:3} x {megabytes:6g} MB   jobs 1 {row['jobs 1']:6.2f} s   jobs 2 {row['jobs 2']:6.2f} s   "
              f"default {row['default']:6.2f} s", flush=True)
    if args.out:
        args.out.write_text(json.dumps({"pool_bytes": POOL_BYTES, "results": results}, indent=2) + "\n")
    if not args.keep:
        shutil.rmtree(data, ignore_errors=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
