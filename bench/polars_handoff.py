"""read_polars against Polars' own read_csv: wall time and peak memory.

Writes a clean CSV of --mb MB into bench/data/polars/ (seeded: the same bytes
on every run), then reads it in a fresh process for each contender, fastest
of --reps runs, and records each run's peak RSS (the child's ru_maxrss, less
that of the same process after its imports):

- ``rowmend.read_polars``: the rows go to Polars batch by batch, without a
  rechunk, so the table is never held as Arrow and Polars at once;
- ``polars.from_arrow(rowmend.read_arrow(...))``: the hand-off as it was, the
  whole Arrow table first and a rechunked copy of it;
- ``polars.read_csv(..., infer_schema=False)``: Polars' own reader, every
  column a string as rowmend's are.

    python bench/polars_handoff.py                  # 2 GB, as the trial measured
    python bench/polars_handoff.py --mb 64 --reps 1 # a quick check

Run it on a quiet machine: other work on the cores makes the times noise.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import time
from pathlib import Path

CONTENDERS = {
    "rowmend.read_polars": "import rowmend, polars\nframe = rowmend.read_polars(PATH)",
    "from_arrow(read_arrow)": "import rowmend, polars\nframe = polars.from_arrow(rowmend.read_arrow(PATH))",
    "polars.read_csv": "import polars\nframe = polars.read_csv(PATH, infer_schema=False)",
}

# The child imports first, then notes its memory, then reads: the peak less
# that base is what the read itself held.
CHILD = """
import resource, sys, time
{imports}
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
{read}
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(seconds, (peak - base) * 1024, frame.height)
"""


def write_input(path: Path, megabytes: int) -> None:
    """A seeded CSV of about ``megabytes`` MB: ids, names, cities, amounts, notes."""
    if path.exists() and path.stat().st_size >= megabytes << 20:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    rng = random.Random(22)
    cities = ["Oslo", "Lisboa", "Zürich", "Montréal", "São Paulo", "Kraków"]
    with open(path, "w", encoding="utf-8") as out:
        out.write("id,name,city,amount,note\n")
        written, row = 0, 0
        while written < megabytes << 20:
            lines = []
            for _ in range(10_000):
                row += 1
                lines.append(f"{row},name {rng.randrange(10**6)},{rng.choice(cities)},"
                             f"{rng.randrange(10**5) / 100},note {'x' * rng.randrange(30)}\n")
            chunk = "".join(lines)
            out.write(chunk)
            written += len(chunk.encode())


def run(code: str, path: Path) -> tuple[float, int, int]:
    imports, read = code.split("\n", 1)
    script = CHILD.format(imports=imports, read=read.replace("PATH", repr(str(path))))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    seconds, peak, rows = result.stdout.split()
    return float(seconds), int(peak), int(rows)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=2048, help="size of the input in MB (default: 2048)")
    parser.add_argument("--reps", type=int, default=3, help="runs of each contender; the fastest counts")
    parser.add_argument("--out", type=Path, help="write the results as JSON here too")
    args = parser.parse_args()
    path = Path(__file__).parent / "data" / "polars" / f"clean-{args.mb}mb.csv"
    write_input(path, args.mb)
    results = []
    for name, code in CONTENDERS.items():
        runs = [run(code, path) for _ in range(args.reps)]
        seconds = min(r[0] for r in runs)
        peak = max(r[1] for r in runs)
        results.append({"reader": name, "seconds": seconds, "peak_bytes": peak, "rows": runs[0][2]})
        print(f"{name:24} {seconds:8.2f} s  {peak / 2**30:6.2f} GiB  {runs[0][2]:,} rows", flush=True)
    if args.out:
        args.out.write_text(json.dumps({"mb": args.mb, "cpus": os.cpu_count(), "when": time.time(),
                                        "results": results}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
