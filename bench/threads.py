"""One file on one CPU and on two: the time of each shape, the ratio, and the
machine's own ceiling for that ratio.

For each shape (bench/data/SHAPE_NNmb.csv) it times
`_rowmend_backend.salvage_file` with the process pinned to one CPU and then
to two (the backend uses the CPUs it may run on), and `rowmend.clean` with
`threads=1` and `threads=2` (with the options that let rows be read on
blocks: no blank, comment, preamble or footer detection; and with the
defaults, which keep one thread for the rows), each into a fresh regular
file, fastest of --reps runs. The outputs of one and two CPUs are compared
by digest: they must be the same bytes.

The ceiling: two CPU-bound processes (SHA-256 over a buffer in memory) pinned
to two CPUs at once, against one alone. On a VM whose two vCPUs share a
core, or a noisy host, the pair runs slower than one alone, and no parallel
run can beat 0.5 / that efficiency. Run it on a quiet machine:

    python bench/generate.py --max-mb 200
    python bench/threads.py --mb 200 --reps 5 --json docs/benchmarks/threads.json
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List

import _rowmend_backend
import rowmend

DATA = Path(__file__).resolve().parent / "data"
SHAPES = ["clean_narrow", "clean_wide", "quote_heavy", "messy"]
#: Every row judged on its own: rows may be read on blocks.
ALONE = {"skip_blank_rows": False, "comment": "none", "skip_preamble": 0, "skip_footer": 0}
BURN = "import hashlib,time;b=bytes(64<<20);t=time.perf_counter();[hashlib.sha256(b).digest() for _ in range({n})];print(time.perf_counter()-t)"


def fastest(run: Callable[[], None], reps: int) -> float:
    best = float("inf")
    for _ in range(reps):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def digest(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def pinned(cpus: List[int], run: Callable[[], None]) -> Callable[[], None]:
    def go() -> None:
        everywhere = os.sched_getaffinity(0)
        os.sched_setaffinity(0, cpus)
        try:
            run()
        finally:
            os.sched_setaffinity(0, everywhere)

    return go


def ceiling(cpus: List[int], rounds: int) -> Dict[str, float]:
    """Seconds of one pinned SHA-256 process alone, and of two at once."""

    def burn(cpu: int) -> subprocess.Popen:
        return subprocess.Popen(
            ["taskset", "-c", str(cpu), sys.executable, "-c", BURN.format(n=rounds)], stdout=subprocess.PIPE, text=True
        )

    alone = float(burn(cpus[0]).communicate()[0])
    pair = [burn(cpu) for cpu in cpus[:2]]
    together = max(float(p.communicate()[0]) for p in pair)
    return {"one_alone_s": alone, "two_at_once_s": together, "efficiency": alone / together}


def main(argv: List[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=200)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--shapes", nargs="*", default=SHAPES)
    ap.add_argument("--burn-rounds", type=int, default=40, help="SHA-256 passes over 64 MiB for the ceiling")
    ap.add_argument("--json", default=None, help="write the results here too")
    ap.add_argument("--data", type=Path, default=DATA, help="where the generated inputs are")
    args = ap.parse_args(argv)
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        print("needs two CPUs to run on")
        return 1
    results: Dict[str, object] = {"cpus": len(cpus), "ceiling": ceiling(cpus, args.burn_rounds), "shapes": {}}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.csv")

        def fresh() -> str:
            if os.path.exists(out):
                os.unlink(out)
            return out

        for shape in args.shapes:
            src = str(args.data / f"{shape}_{args.mb}mb.csv")
            if not os.path.exists(src):
                print(f"missing {src} (python bench/generate.py --max-mb {args.mb})")
                continue
            runs: Dict[str, Dict[int, Callable[[], None]]] = {
                "salvage_file": {n: pinned(cpus[:n], lambda: _rowmend_backend.salvage_file(src, fresh())) for n in (1, 2)},
                "clean (rows on blocks)": {n: (lambda n=n: rowmend.clean(src, fresh(), threads=n, **ALONE)) for n in (1, 2)},
                "clean (defaults)": {n: (lambda n=n: rowmend.clean(src, fresh(), threads=n)) for n in (1, 2)},
            }
            rows = {}
            for name, by_threads in runs.items():
                seconds, digests = {}, {}
                for n, run in by_threads.items():
                    seconds[n] = fastest(run, args.reps)
                    digests[n] = digest(out)
                size = os.path.getsize(src) / 1e6
                rows[name] = {
                    "one_s": seconds[1],
                    "two_s": seconds[2],
                    "ratio": seconds[2] / seconds[1],
                    "one_mb_s": size / seconds[1],
                    "two_mb_s": size / seconds[2],
                    "same_bytes": digests[1] == digests[2],
                }
                print(
                    f"{shape:14} {name:24} 1 CPU {seconds[1]:7.3f} s  2 CPUs {seconds[2]:7.3f} s  "
                    f"ratio {seconds[2] / seconds[1]:.2f}  same bytes: {digests[1] == digests[2]}"
                )
            results["shapes"][shape] = rows  # type: ignore[index]
    c = results["ceiling"]
    print(
        f"ceiling: one SHA-256 process {c['one_alone_s']:.2f} s alone, two at once {c['two_at_once_s']:.2f} s "  # type: ignore[index]
        f"(efficiency {c['efficiency']:.2f}; best possible two-CPU ratio {0.5 / c['efficiency']:.2f})"  # type: ignore[index]
    )
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
