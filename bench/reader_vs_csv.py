#!/usr/bin/env python3
"""SalvageReader against csv.reader over the same generated clean CSV.

Each measurement runs in a fresh process; the two contenders alternate and
the median of the repetitions is reported. For the reader, construction (read
+ salvage of the whole file) and iteration (handing every row to Python) are
timed separately; csv.reader is timed from open() to the last row.

    PYTHONPATH=build-e python bench/reader_vs_csv.py --mb 100
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

MB = 1_000_000


def child(name: str, path: str) -> dict:
    if name == "reader":
        import _rowmend_backend as rm

        t0 = time.perf_counter()
        reader = rm.SalvageReader(path)
        t1 = time.perf_counter()
        n = 0
        for _ in reader:
            n += 1
        t2 = time.perf_counter()
        return {"construct": t1 - t0, "iterate": t2 - t1, "total": t2 - t0, "rows": n}
    import csv

    t0 = time.perf_counter()
    n = 0
    with open(path, newline="", encoding="utf-8") as f:
        for _ in csv.reader(f):
            n += 1
    t1 = time.perf_counter()
    return {"total": t1 - t0, "rows": n}


def peak_rss_self() -> int:
    """Own peak RSS in bytes. VmHWM, unlike ru_maxrss, is not carried over
    from the parent across exec()."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def measure(name: str, path: Path) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", name, str(path)]
    with tempfile.TemporaryFile() as so, tempfile.TemporaryFile() as se:
        p = subprocess.Popen(cmd, stdout=so, stderr=se)
        _, status, _ = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        so.seek(0)
        se.seek(0)
        out, err = so.read(), se.read()
    if p.returncode != 0:
        raise SystemExit(f"{name} failed: {err.decode(errors='replace')[-500:]}")
    return json.loads(out.decode().strip().splitlines()[-1])


def main(argv: list[str]) -> int:
    if argv and argv[0] == "--child":
        rec = child(argv[1], argv[2])
        rec["peak_rss"] = peak_rss_self()
        print(json.dumps(rec))
        return 0
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=100, help="size of the clean narrow input (a generated size)")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--json", action="store_true", help="print the result as one JSON line")
    args = ap.parse_args(argv)

    # Only the parent needs it: it imports numpy, which the measured
    # children must not carry.
    import generate

    path = generate.DATA_DIR / generate.file_name("clean_narrow", args.mb)
    if not path.exists():
        raise SystemExit(f"{path} is missing: run bench/generate.py")
    with open(path, "rb") as f:  # warm the page cache
        while f.read(16 * MB):
            pass
    runs: dict[str, list[dict]] = {"reader": [], "csv": []}
    for _ in range(args.reps):
        for name in runs:
            runs[name].append(measure(name, path))
    if runs["reader"][0]["rows"] != runs["csv"][0]["rows"]:
        raise SystemExit(f"row counts differ: reader {runs['reader'][0]['rows']}, csv {runs['csv'][0]['rows']}")

    def med(name: str, key: str) -> float:
        return statistics.median(r[key] for r in runs[name])

    csv_total = med("csv", "total")
    res = {
        "file": path.name,
        "bytes": path.stat().st_size,
        "rows": runs["csv"][0]["rows"],
        "reps": args.reps,
        "csv_seconds": csv_total,
        "reader_construct_seconds": med("reader", "construct"),
        "reader_iterate_seconds": med("reader", "iterate"),
        "reader_total_seconds": med("reader", "total"),
        "reader_peak_rss": med("reader", "peak_rss"),
        "csv_peak_rss": med("csv", "peak_rss"),
    }
    res["total_ratio"] = res["reader_total_seconds"] / csv_total
    res["iterate_ratio"] = res["reader_iterate_seconds"] / csv_total
    if args.json:
        print(json.dumps(res))
    else:
        print(f"{res['file']}: {res['rows']} rows, median of {args.reps}")
        print(f"  csv.reader                     {csv_total:8.3f} s  peak RSS {res['csv_peak_rss'] / MB:7.1f} MB")
        print(f"  SalvageReader construct        {res['reader_construct_seconds']:8.3f} s")
        print(f"  SalvageReader iterate          {res['reader_iterate_seconds']:8.3f} s")
        print(f"  SalvageReader construct+iter   {res['reader_total_seconds']:8.3f} s  "
              f"peak RSS {res['reader_peak_rss'] / MB:7.1f} MB")
        print(f"  construct+iterate / csv.reader {res['total_ratio']:.2f}  (target <= 1)")
        print(f"  iterate / csv.reader           {res['iterate_ratio']:.2f}  (target <= 0.5)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
