"""Many files on a local Dask cluster: rowmend.dask against the same reads one
after the other, and against dask.dataframe.read_csv (which drops rows).

Writes --files messy files of --mb MB each into bench/data/dask/ (seeded:
the same bytes on every run; 5% of rows damaged, as bench/generate.py's
"messy" set), then reads all of them, fastest of --reps runs each:

- ``rowmend.read_pandas`` on each file in turn, in this process;
- ``rowmend.dask.read_csv`` on a LocalCluster of --workers processes with one
  thread each (the cluster is started once, outside the timings);
- ``dask.dataframe.read_csv(..., on_bad_lines="skip")`` on the same cluster,
  with every column a string and Latin-1 decoding (pandas refuses the
  invalid UTF-8 otherwise), counting the rows it returns.

Each contender returns only each partition's row count, so what is timed is
the reading, not the transfer of frames to the client.

    python bench/dask_files.py                      # 200 files of 10 MB
    python bench/dask_files.py --files 10 --mb 1    # a quick check
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path
from typing import Callable, Dict, List, Tuple

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402  (bench/generate.py: the row pools of the "messy" set)

DATA = HERE / "data" / "dask"
OUT = HERE.parent / "docs" / "benchmarks" / "dask.json"


def write_files(count: int, mb: int) -> List[Path]:
    """The input files, written unless present with the right size."""
    folder = DATA / f"{mb}mb"
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng([generate.SEED, mb, 7])
    pool = generate.narrow_pool(rng, 20_000)
    damaged = generate.damaged_pool(rng, pool)
    paths = []
    for index in range(count):
        path = folder / f"part_{index:04d}.csv"
        paths.append(path)
        if path.exists() and abs(path.stat().st_size - mb * generate.MB) < 4096:
            continue
        # One seed per file: file i is the same whatever --files says.
        file_rng = np.random.default_rng([generate.SEED, mb, index])
        generate.write_from_pool(path, generate.NARROW_HEADER, pool, mb * generate.MB, file_rng, damaged, 0.05)
    return paths


def fastest(run: Callable[[], int], reps: int) -> Tuple[float, int]:
    """The fastest of ``reps`` runs in seconds, and the rows the run returned."""
    best, rows = float("inf"), 0
    for _ in range(reps):
        start = time.perf_counter()
        rows = run()
        best = min(best, time.perf_counter() - start)
    return best, rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--mb", type=int, default=10, help="size of each file in MB")
    parser.add_argument("--workers", type=int, default=2, help="worker processes, one thread each")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args()

    import dask
    import dask.dataframe as dd
    import distributed
    import pandas

    import rowmend
    import rowmend.dask

    start = time.perf_counter()
    paths = write_files(args.files, args.mb)
    total_bytes = sum(path.stat().st_size for path in paths)
    print(f"{len(paths)} files, {total_bytes / 1e6:.0f} MB in {paths[0].parent} ({time.perf_counter() - start:.1f} s)")
    glob = str(paths[0].parent / "part_*.csv")

    def one_after_the_other() -> int:
        return sum(len(rowmend.read_pandas(path)) for path in paths)

    def row_counts(frame: dd.DataFrame) -> int:
        counts = frame.map_partitions(lambda part: pandas.Series([len(part)]), meta=pandas.Series(dtype="int64"))
        return int(counts.compute().sum())

    results: Dict[str, Dict[str, float]] = {}

    seconds, rows = fastest(one_after_the_other, args.reps)
    results["rowmend.read_pandas, one file after the other"] = {"seconds": seconds, "rows": rows}
    print(f"one after the other: {seconds:.2f} s, {rows} rows")

    start = time.perf_counter()
    with distributed.LocalCluster(
        n_workers=args.workers, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        startup = time.perf_counter() - start
        print(f"cluster of {args.workers} workers up in {startup:.1f} s")

        reports: List[rowmend.Report] = []

        def with_rowmend() -> int:
            frame = rowmend.dask.read_csv(glob)
            rows = row_counts(frame)
            reports[:] = rowmend.dask.reports(frame)
            return rows

        seconds, rows = fastest(with_rowmend, args.reps)
        results[f"rowmend.dask.read_csv, {args.workers} workers"] = {
            "seconds": seconds,
            "rows": rows,
            "repaired_rows": sum(report.repaired_rows for report in reports),
            "quarantined_rows": sum(report.quarantined_rows for report in reports),
        }
        print(f"rowmend.dask: {seconds:.2f} s, {rows} rows")
        kept = rows

        def with_dask() -> int:
            frame = dd.read_csv(
                glob, on_bad_lines="skip", dtype=str, keep_default_na=False, encoding="latin-1", blocksize=None
            )
            return row_counts(frame)

        with dask.config.set({"dataframe.convert-string": False}):
            seconds, rows = fastest(with_dask, args.reps)
        results[f"dask.dataframe.read_csv on_bad_lines='skip', {args.workers} workers"] = {
            "seconds": seconds,
            "rows": rows,
            "rows_dropped": kept - rows,
        }
        print(f"dask.dataframe.read_csv: {seconds:.2f} s, {rows} rows ({kept - rows} fewer)")
        del client

    sequential = results["rowmend.read_pandas, one file after the other"]["seconds"]
    on_cluster = results[f"rowmend.dask.read_csv, {args.workers} workers"]["seconds"]
    summary = {
        "files": len(paths),
        "mb_per_file": args.mb,
        "total_bytes": total_bytes,
        "workers": args.workers,
        "reps": args.reps,
        "cluster_startup_seconds": round(startup, 2),
        "speedup_over_one_after_the_other": round(sequential / on_cluster, 2),
        "results": {name: {k: round(v, 3) if isinstance(v, float) else v for k, v in r.items()} for name, r in results.items()},
        "machine": {
            "cpus": os.cpu_count(),
            "python": platform.python_version(),
            "rowmend": rowmend.__version__,
            "dask": dask.__version__,
            "pandas": pandas.__version__,
        },
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(summary, indent=2) + "\n")
    print(f"speed-up on {args.workers} workers: {summary['speedup_over_one_after_the_other']}x; written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
