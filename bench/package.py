"""Figures of the rowmend package against the backend and pandas.

Every measurement runs in a fresh child process, contenders alternating,
fastest of --reps runs; peak RSS is the child's ru_maxrss.

    python bench/generate.py --only clean_narrow messy
    python bench/package.py --reps 3
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"

CHILD = r"""
import resource, sys, time, threading
job, args = sys.argv[1], sys.argv[2:]
if job == "salvage_file":
    import _rowmend_backend as m
    run = lambda: m.salvage_file(args[0], args[1])
elif job == "read_arrow":
    import rowmend
    run = lambda: rowmend.read_arrow(args[0], encoding=args[1])
elif job == "read_pandas":
    import rowmend
    run = lambda: rowmend.read_pandas(args[0])
elif job == "stream":
    import rowmend
    def run():
        for batch in rowmend.stream(args[0]):
            pass
elif job == "clean":
    import rowmend
    run = lambda: rowmend.clean(args[0], args[1], encoding=args[2], threads=1)
elif job == "clean_two_threads":
    import rowmend
    def run():
        threads = [threading.Thread(target=rowmend.clean, args=(src, out), kwargs={"threads": 1})
                   for src, out in ((args[0], args[1]), (args[2], args[3]))]
        for t in threads: t.start()
        for t in threads: t.join()
elif job == "clean_one_after_other":
    import rowmend
    def run():
        rowmend.clean(args[0], args[1], threads=1)
        rowmend.clean(args[2], args[3], threads=1)
elif job == "pandas":
    import pandas
    run = lambda: pandas.read_csv(args[0], on_bad_lines="skip", encoding="latin-1", dtype=str,
                                  keep_default_na=False)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
run()
elapsed = time.perf_counter() - start
print(elapsed, base * 1024, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def child(job: str, *args: str) -> tuple[float, int, int]:
    done = subprocess.run([sys.executable, "-c", CHILD, job, *args], check=True,
                          capture_output=True, text=True)
    elapsed, base, peak = done.stdout.split()
    return float(elapsed), int(base), int(peak)


def compare(contenders: dict[str, tuple[str, ...]], reps: int) -> dict[str, dict[str, float]]:
    runs: dict[str, list[tuple[float, int, int]]] = {name: [] for name in contenders}
    for _ in range(reps):
        for name, call in contenders.items():
            os.sync()
            runs[name].append(child(*call))
    return {
        name: {
            "fastest_s": min(r[0] for r in results),
            "spread_s": max(r[0] for r in results) - min(r[0] for r in results),
            "peak_rss_mib": max(r[2] for r in results) / 2**20,
            "peak_above_base_mib": max(r[2] - r[1] for r in results) / 2**20,
        }
        for name, results in runs.items()
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--out", default=str(HERE.parent / "docs" / "benchmarks" / "package.json"))
    args = parser.parse_args()
    messy = DATA / "messy_200mb.csv"
    report: dict[str, object] = {"input_mib": messy.stat().st_size / 2**20}
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        out = os.path.join(scratch, "out.csv")
        # The messy file holds Latin-1 bytes: auto detection reads it as cp1252.
        report["read_arrow"] = compare({
            "salvage_file": ("salvage_file", str(messy), out),
            "read_arrow": ("read_arrow", str(messy), "auto"),
            "read_pandas": ("read_pandas", str(messy)),
            "pandas_skip": ("pandas", str(messy)),
        }, args.reps)
        # The same text in three encodings, written by a child process: peak
        # RSS survives exec, so the parent must never hold a big string.
        encoded = {name: os.path.join(scratch, f"text.{name}.csv") for name in ("utf-8", "cp1252", "utf-16-le")}
        subprocess.run([sys.executable, "-c", (
            "import sys\n"
            "text = open(sys.argv[1], 'rb').read().decode('latin-1')\n"
            "for codec, path in zip(('utf-8', 'latin-1', 'utf-16-le'), sys.argv[2:]):\n"
            "    open(path, 'wb').write(text.encode(codec))\n"
        ), str(messy), *encoded.values()], check=True)
        report["decoding"] = compare(
            {name: ("clean", path, out, name) for name, path in encoded.items()}, args.reps)
        for name in encoded:
            if name != "utf-8":
                os.unlink(encoded[name])
        second = os.path.join(scratch, "second.csv")
        os.link(encoded["utf-8"], second)
        report["threads"] = compare({
            "one_after_other": ("clean_one_after_other", encoded["utf-8"], out, second, out + "2"),
            "two_threads": ("clean_two_threads", encoded["utf-8"], out, second, out + "2"),
        }, args.reps)
    big = DATA / "messy_2000mb.csv"
    if big.exists():
        report["stream_2gb"] = compare({"stream": ("stream", str(big))}, 1)
    pathlib.Path(args.out).write_text(json.dumps(report, indent=1) + "\n")
    print(json.dumps(report, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
