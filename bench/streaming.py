"""Streaming figures of salvage_file: peak RSS on files far larger than its
window, speed against another build of the module, and how fast Ctrl-C ends
a long run.

Every measurement runs in a fresh child process; peak RSS is that child's
ru_maxrss, minus the same interpreter's RSS after importing the module. Builds
are compared side by side, alternating, fastest of --reps runs.

    python bench/generate.py --only clean_narrow messy
    python bench/streaming.py --new build-a --old build-b --reps 3
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"

CHILD = r"""
import os, resource, sys, time
sys.path.insert(0, sys.argv[1])
import _rowmend_backend as m
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
mode, src, out = sys.argv[2], sys.argv[3], sys.argv[4]
start = time.perf_counter()
if mode == "file":
    m.salvage_file(src, out, out + ".q")
elif mode == "import":
    pass
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(elapsed, base, peak)
"""

INTERRUPTED = r"""
import sys, time
sys.path.insert(0, sys.argv[1])
import _rowmend_backend as m
print("ready", flush=True)
try:
    m.salvage_file(sys.argv[2], sys.argv[2])
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def run_child(build: str, mode: str, src: str, out: str) -> tuple[float, int, int]:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, build, mode, src, out],
        check=True, capture_output=True, text=True,
    )
    elapsed, base, peak = done.stdout.split()
    return float(elapsed), int(base) * 1024, int(peak) * 1024


def one_field_file(path: pathlib.Path, field_bytes: int) -> None:
    if path.exists() and path.stat().st_size > field_bytes:
        return
    with open(path, "wb") as out:
        out.write(b"id,payload,tail\n1,\"")
        block = b"x" * (1 << 20)
        for _ in range(field_bytes >> 20):
            out.write(block)
        out.write(b"\",end\n2,short,row\n")


def measure(builds: dict[str, str], files: list[pathlib.Path], reps: int) -> list[dict]:
    rows = []
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        out = os.path.join(scratch, "out.csv")
        for path in files:
            runs: dict[str, list[tuple[float, int, int]]] = {name: [] for name in builds}
            for _ in range(reps):
                for name, build in builds.items():  # alternate the builds
                    os.sync()
                    runs[name].append(run_child(build, "file", str(path), out))
            for name, results in runs.items():
                times = [r[0] for r in results]
                rows.append({
                    "file": path.name, "bytes": path.stat().st_size, "build": name,
                    "fastest_s": min(times), "spread_s": max(times) - min(times),
                    "median_s": statistics.median(times),
                    "peak_rss_above_base_mib": max(r[2] - r[1] for r in results) / 2**20,
                })
    return rows


def ctrl_c(build: str, path: pathlib.Path, after_s: float) -> dict:
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        copy = pathlib.Path(scratch) / path.name
        subprocess.run(["cp", "--reflink=auto", str(path), str(copy)], check=True)
        before = (copy.stat().st_size, copy.stat().st_mtime_ns, copy.stat().st_ino)
        child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, build, str(copy)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(after_s)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        answer = child.stdout.readline().split()
        child.wait()
        after = (copy.stat().st_size, copy.stat().st_mtime_ns, copy.stat().st_ino)
        return {
            "file": path.name, "outcome": answer[0],
            "response_ms": (float(answer[1]) - sent) * 1000 if answer[0] == "interrupted" else None,
            "input_untouched": before == after,
            "files_left": sorted(os.listdir(scratch)),
        }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--new", required=True, help="build directory holding the module")
    parser.add_argument("--old", help="another build to compare speed with")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--field-mib", type=int, default=1024)
    parser.add_argument("--out", default=str(HERE.parent / "docs" / "benchmarks" / "streaming.json"))
    args = parser.parse_args()

    big = [DATA / "clean_narrow_2000mb.csv", DATA / "messy_2000mb.csv"]
    field = DATA / f"one_field_{args.field_mib}mib.csv"
    one_field_file(field, args.field_mib << 20)
    speed = [DATA / "clean_narrow_1000mb.csv", DATA / "messy_1000mb.csv",
             DATA / "clean_narrow_200mb.csv", DATA / "messy_200mb.csv"]

    builds = {"new": args.new}
    if args.old:
        builds["old"] = args.old
    report = {
        "memory": measure({"new": args.new}, big + [field], 1),
        "speed": measure(builds, speed, args.reps),
        "ctrl_c": [ctrl_c(args.new, DATA / "messy_2000mb.csv", s) for s in (0.5, 1.0, 1.5)],
    }
    pathlib.Path(args.out).write_text(json.dumps(report, indent=1) + "\n")
    print(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
