"""One big file on a cluster: rowmend.dask on two workers against one, against
dask.dataframe.read_csv, and the Spark source against Spark's own CSV reader.

Writes one --mb MB file into bench/data/cluster/ (seeded: the same bytes on
every run): narrow rows and quoted rows whose fields hold delimiters, doubled
quotes and line breaks (LF and CRLF), 5% of the narrow rows damaged as in
bench/generate.py's "messy" set. Then, fastest of --reps runs each:

- ``rowmend.dask.read_csv(path, blocksize=...)`` on a LocalCluster of two
  worker processes and of one (one thread each, ``threads=1`` for the
  engine), timed as ``frame.map_partitions(len).compute()``;
- ``dask.dataframe.read_csv(path, blocksize=None)`` on the two-worker
  cluster: the only setting of Dask's reader that reads quoted line breaks
  right (it cuts blocks at raw newlines otherwise), every column a string,
  ``on_bad_lines="skip"``, Latin-1 decoding (pandas refuses the invalid UTF-8
  otherwise);
- with --spark: the ``rowmend`` Spark source on ``local[2]`` (rows, and the
  repaired and quarantined rows of its report) against
  ``spark.read.csv(multiLine=True, mode="PERMISSIVE")`` with a corrupt-record
  column (rows, and rows it could only keep as a raw string), both counted
  with ``count()``.

The targets: two workers at most 0.6x the time of one, and faster than Dask's
reader. rowmend's times include the planning on the client (the layout
settled from the file's start, the ranges scanned as tasks and joined), and
its row counts on two workers and on one must agree (the ranges read what
one read of the file reads; the tests hold each row to it).

    python bench/cluster.py                       # 2000 MB, 256 MiB blocks, Dask only
    python bench/cluster.py --spark               # and Spark (needs Java)
    python bench/cluster.py --mb 200 --blocksize "32 MiB" --reps 1   # a quick check
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402  (bench/generate.py: the row pools)

DATA = HERE / "data" / "cluster"
OUT = HERE.parent / "docs" / "benchmarks" / "cluster.json"


def write_file(mb: int) -> Path:
    """The input file, written unless present with the right size."""
    DATA.mkdir(parents=True, exist_ok=True)
    path = DATA / f"big_{mb}mb.csv"
    if path.exists() and abs(path.stat().st_size - mb * generate.MB) < 4096:
        return path
    rng = np.random.default_rng([generate.SEED, mb, 25])
    narrow = generate.narrow_pool(rng, 20_000)
    pool = narrow + generate.quote_pool(rng, 5_000)
    damaged = generate.damaged_pool(rng, narrow)
    generate.write_from_pool(path, generate.NARROW_HEADER, pool, mb * generate.MB, rng, damaged, 0.05)
    return path


def fastest(run: Callable[[], Any], reps: int) -> Tuple[float, Any]:
    """The fastest of ``reps`` runs in seconds, and what the last run returned."""
    best, result = float("inf"), None
    for _ in range(reps):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def dask_results(path: Path, blocksize: Optional[str], reps: int) -> Dict[str, Dict[str, Any]]:
    import dask
    import dask.dataframe as dd
    import distributed

    import rowmend.dask

    results: Dict[str, Dict[str, Any]] = {}
    options: Dict[str, Any] = {"threads": 1, "blocksize": blocksize}

    def lengths(frame: Any) -> int:
        return int(frame.map_partitions(len).compute().sum())

    for workers in (2, 1):
        with distributed.LocalCluster(
            n_workers=workers, processes=True, threads_per_worker=1, dashboard_address=None
        ) as cluster, distributed.Client(cluster):
            report: Dict[str, Any] = {}

            def with_rowmend() -> int:
                frame = rowmend.dask.read_csv(str(path), **options)
                rows = lengths(frame)
                merged = rowmend.dask.report(frame)
                report.update(repaired=merged.repaired_rows, quarantined=merged.quarantined_rows)
                report["partitions"] = frame.npartitions
                return rows

            seconds, rows = fastest(with_rowmend, reps)
            name = f"rowmend.dask.read_csv, {workers} worker{'s' if workers > 1 else ''}"
            results[name] = {"seconds": seconds, "rows": rows, **report}
            print(f"{name}: {seconds:.2f} s, {rows} rows, {report}")

            if workers == 2:

                def with_dask() -> int:
                    frame = dd.read_csv(
                        str(path), blocksize=None, on_bad_lines="skip", dtype=str, keep_default_na=False, encoding="latin-1"
                    )
                    return lengths(frame)

                with dask.config.set({"dataframe.convert-string": False}):
                    seconds, rows = fastest(with_dask, reps)
                name = "dask.dataframe.read_csv blocksize=None, 2 workers"
                results[name] = {"seconds": seconds, "rows": rows}
                print(f"{name}: {seconds:.2f} s, {rows} rows")
    return results


def spark_results(path: Path, blocksize: Optional[str], reps: int) -> Dict[str, Dict[str, Any]]:
    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession, functions

    import rowmend.spark

    spark = SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false").getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    results: Dict[str, Dict[str, Any]] = {}
    try:
        options: Dict[str, Any] = {"threads": 1}
        if blocksize is not None:
            options["blocksize"] = blocksize

        def with_rowmend() -> int:
            # A new read each time: the layout, the scans and the join are timed too.
            frame, _ = rowmend.spark.read_with_report(spark, str(path), **options)
            counted: int = frame.count()
            return counted

        seconds, rows = fastest(with_rowmend, reps)
        _, report_frame = rowmend.spark.read_with_report(spark, str(path), **options)
        merged = rowmend.spark.report(report_frame)
        results["rowmend Spark source, local[2]"] = {
            "seconds": seconds,
            "rows": rows,
            "repaired": merged.repaired_rows,
            "quarantined": merged.quarantined_rows,
        }
        print(f"rowmend on Spark: {seconds:.2f} s, {rows} rows, {merged.repaired_rows} repaired")

        header = generate.NARROW_HEADER.decode().strip().split(",")
        schema = ", ".join(f"{name} string" for name in header) + ", _corrupt_record string"
        csv = spark.read.schema(schema).csv(
            str(path), header=True, multiLine=True, mode="PERMISSIVE", columnNameOfCorruptRecord="_corrupt_record"
        )
        seconds, rows = fastest(csv.count, reps)
        # Spark refuses a query of the corrupt-record column alone on the raw
        # file: counted on a cached copy, outside the timing.
        cached = csv.cache()
        corrupt = cached.filter(functions.col("_corrupt_record").isNotNull()).count()
        cached.unpersist()
        results["Spark CSV PERMISSIVE multiLine, local[2]"] = {"seconds": seconds, "rows": rows, "corrupt_kept_raw": corrupt}
        print(f"Spark's CSV reader: {seconds:.2f} s, {rows} rows, {corrupt} only as a raw string")
    finally:
        spark.stop()
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=int, default=2000, help="size of the file in MB")
    parser.add_argument("--blocksize", default="256 MiB", help="the byte range of each partition ('none': one per file)")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--spark", action="store_true", help="also time the Spark source and Spark's CSV reader")
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args()
    blocksize = None if args.blocksize.lower() == "none" else args.blocksize

    import rowmend

    start = time.perf_counter()
    path = write_file(args.mb)
    print(f"{path}: {path.stat().st_size / 1e6:.0f} MB ({time.perf_counter() - start:.1f} s)")
    results = dask_results(path, blocksize, args.reps)
    if args.spark:
        results.update(spark_results(path, blocksize, args.reps))
    two = results["rowmend.dask.read_csv, 2 workers"]["seconds"]
    one = results["rowmend.dask.read_csv, 1 worker"]["seconds"]
    if results["rowmend.dask.read_csv, 2 workers"]["rows"] != results["rowmend.dask.read_csv, 1 worker"]["rows"]:
        print("two workers and one read different row counts", file=sys.stderr)
        return 1
    summary = {
        "mb": args.mb,
        "blocksize": blocksize,
        "reps": args.reps,
        "two_workers_over_one": round(two / one, 2),
        "results": {name: {k: round(v, 3) if isinstance(v, float) else v for k, v in r.items()} for name, r in results.items()},
        "machine": {"cpus": os.cpu_count(), "python": platform.python_version(), "rowmend": rowmend.__version__},
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(summary, indent=2) + "\n")
    print(f"two workers take {summary['two_workers_over_one']}x the time of one (target: at most 0.6); written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
