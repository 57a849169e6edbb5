"""Peak memory of a file whose second line (or header) opens a quote that never closes.

Read strictly (repairs="backend") the quote makes the rest of the file one
value, held whole; the package's reading (repairs="auto") reads the quote as
text after looking 64 lines ahead, and the file streams in a window. Each run
is a fresh child process cleaning the file to CSV; peak RSS is its ru_maxrss
minus the interpreter's after importing rowmend.

    python bench/runaway_quote.py --mb 200
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import tempfile

CHILD = r"""
import resource, sys
import rowmend
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
report = rowmend.clean(sys.argv[1], sys.argv[2], repairs=sys.argv[3])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(report.total_rows, report.repaired_rows, base, peak)
"""


def make_input(path: pathlib.Path, megabytes: int, head: bytes) -> int:
    """`head`, then rows of 2,x up to the size; returns the file's size."""
    block = b"2,x\n" * (1 << 18)  # 1 MiB
    with open(path, "wb") as out:
        out.write(head)
        for _ in range(megabytes):
            out.write(block)
    return path.stat().st_size


def measure(path: pathlib.Path, repairs: str, scratch: pathlib.Path) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(path), str(scratch / f"out-{repairs}.csv"), repairs],
        capture_output=True,
        text=True,
        check=True,
    )
    rows, repaired, base, peak = map(int, done.stdout.split())
    return {"repairs": repairs, "rows": rows, "repaired": repaired, "peak_rss_mib": round((peak - base) / 1024, 1)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=200, help="size of the rows after the quote, in MiB")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        scratch = pathlib.Path(folder)
        results = []
        for where, head in (("second line", b'a,b\n1,"open\n'), ("header", b'a,"b\n')):
            source = scratch / "runaway.csv"
            size = make_input(source, args.mb, head)
            for repairs in ("auto", "backend"):
                results.append({"quote in": where, **measure(source, repairs, scratch)})
    print(json.dumps({"input_mib": round(size / (1 << 20), 1), "runs": results}, indent=2))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
