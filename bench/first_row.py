"""How long ``rowmend clean FILE | head -1`` waits for its first row, with and without --stream.

By default the clean rows meant for standard output are written to a
scratch file and copied out once the run has succeeded (a failed run prints
nothing), so the first row comes after the whole file has been cleaned;
``--stream`` writes the rows as they are cleaned. This measures both, the
fastest of --reps runs, on a generated file of --mb MB (bench/data/first_row/):
the time until the first line arrives, and until the command exits.

    python bench/first_row.py                 # 2 GB, as in the report that asked for --stream
    python bench/first_row.py --mb 50 --reps 1   # a quick check
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
DATA = HERE / "data" / "first_row"


def make_input(mb: int) -> Path:
    """A plain CSV file of about ``mb`` MB, one ragged row in a hundred; kept between runs."""
    path = DATA / f"rows-{mb}mb.csv"
    if path.exists():
        return path
    DATA.mkdir(parents=True, exist_ok=True)
    block = b"".join(
        (b"%d,north,2024-01-%02d,%d.50\n" % (i, i % 28 + 1, i) if i % 100 else b"%d,south\n" % i) for i in range(10_000)
    )
    with open(path, "wb") as out:
        out.write(b"id,region,date,amount\n")
        for _ in range(max(1, (mb << 20) // len(block))):
            out.write(block)
    return path


def first_row(path: Path, stream: bool) -> Dict[str, float]:
    """Seconds to the first line of standard output, and to the command's end (its reader stops after one line)."""
    command = [sys.executable, "-m", "rowmend", "clean", str(path), *(["--stream"] if stream else [])]
    start = time.perf_counter()
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as process:
        assert process.stdout is not None
        process.stdout.readline()
        first = time.perf_counter() - start
        process.stdout.close()  # as head does: the writer sees a closed pipe
        process.wait()
    return {"first_row_s": first, "exit_s": time.perf_counter() - start}


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=2048)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args(argv)
    path = make_input(args.mb)
    results = {}
    for stream in (False, True):
        runs = [first_row(path, stream) for _ in range(args.reps)]
        results["--stream" if stream else "default"] = {key: min(run[key] for run in runs) for key in runs[0]}
    print(json.dumps({"mb": args.mb, "reps": args.reps, "results": results}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
