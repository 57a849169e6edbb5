"""Wide rows and long fields through the package: time and peak memory of
read_arrow, split into the native pass and pyarrow's import of the batches.

Every case runs in a fresh child process; peak RSS is that child's ru_maxrss
minus its RSS after importing rowmend and pyarrow. Run it on a quiet machine:

    python bench/wide_rows.py                 # 1,000,000 fields, 13 MB
    python bench/wide_rows.py --fields 100000 --reps 3
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys, time
import pyarrow as pa
import rowmend
from rowmend._names import column_names
from rowmend._native import Salvager
case, path = sys.argv[1], sys.argv[2]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
if case == "read_arrow":
    rowmend.read_arrow(path, header=False)
elif case == "native pass":
    salvager = Salvager(header=False)
    with open(path, "rb") as f:
        salvager.feed(f.read())
    salvager.finish()
    salvager.take_batches(column_names(None, salvager.columns))
elif case == "stream, batch_rows=10**9":
    list(rowmend.stream(path, batch_rows=10**9, header=False))
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)
"""

CASES = ("native pass", "read_arrow", "stream, batch_rows=10**9")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fields", type=int, default=1_000_000, help="fields in each of the two rows")
    parser.add_argument("--reps", type=int, default=2, help="runs per case; the fastest is shown")
    args = parser.parse_args()
    row = b",".join(b"%d" % (i % 1_000_000) for i in range(args.fields))
    with tempfile.NamedTemporaryFile(suffix=".csv") as file:
        file.write(row + b"\n" + row + b"\n")
        file.flush()
        size = len(row) * 2 + 2
        print(f"two rows of {args.fields:,} fields, {size / 1e6:.1f} MB")
        print(f"{'case':<28} {'seconds':>8} {'peak MiB':>9} {'x size':>7}")
        for case in CASES:
            runs = []
            for _ in range(args.reps):
                out = subprocess.run(
                    [sys.executable, "-c", CHILD, case, file.name], capture_output=True, text=True, check=True
                ).stdout.split()
                runs.append((float(out[0]), int(out[1]) / 1024))
            seconds, peak = min(runs)
            print(f"{case:<28} {seconds:>8.2f} {peak:>9.0f} {peak * 2**20 / size:>7.1f}")


if __name__ == "__main__":
    main()
