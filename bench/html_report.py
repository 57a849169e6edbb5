"""What the HTML report costs on a large messy file: time added to a clean, and the page's size.

Each measurement runs in a fresh child process, the contenders alternating,
fastest of --reps runs:

- api plain: ``rowmend.clean(input, out.csv, quarantine=q.csv)``;
- api report: the same with ``record_repairs=True`` (which also writes
  ``q.repairs.csv``), then ``report.to_html(report.html)``; the child times
  the clean and the page apart (matplotlib's import falls in the page's time);
- cli plain: ``rowmend clean input -o out.csv --quarantine q.csv``, the
  whole process timed;
- cli report: the same with ``--report report.html``.

    python bench/generate.py --only messy --max-mb 1000
    nice python bench/html_report.py --mb 1000 --reps 2 --out docs/benchmarks/report.json
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE / "data"

CHILD = r"""
import json, os, sys, time
import rowmend
source, scratch, job = sys.argv[1:4]
out = os.path.join(scratch, "out.csv")
quarantine = os.path.join(scratch, "q.csv")
start = time.perf_counter()
report = rowmend.clean(source, out, quarantine=quarantine, record_repairs=(job == "report"))
cleaned = time.perf_counter() - start
result = {"clean_s": cleaned, "rows": report.total_rows, "repaired": report.repaired_rows,
          "quarantined": report.quarantined_rows, "skipped": report.skipped_rows}
if job == "report":
    page = os.path.join(scratch, "report.html")
    start = time.perf_counter()
    report.to_html(page, rows=100)
    result["html_s"] = time.perf_counter() - start
    result["html_bytes"] = os.path.getsize(page)
    result["repairs_csv_bytes"] = os.path.getsize(rowmend._clean.repairs_path(quarantine))
    result["bins"] = report.lines.bins
    result["lines_per_bin"] = report.lines.bin_lines
result["total_s"] = result["clean_s"] + result.get("html_s", 0.0)
print(json.dumps(result))
"""


def measure(source: pathlib.Path, job: str) -> dict:
    with tempfile.TemporaryDirectory(prefix="rowmend-report-bench-", dir=source.parent) as scratch:
        if job.startswith("api"):
            done = subprocess.run(
                [sys.executable, "-c", CHILD, str(source), scratch, job.split()[1]],
                check=True,
                capture_output=True,
                text=True,
            )
            result: dict = json.loads(done.stdout)
            return result
        argv = [sys.executable, "-m", "rowmend", "clean", str(source), "-o", f"{scratch}/out.csv"]
        argv += ["--quarantine", f"{scratch}/q.csv", "--allow-quarantine"]
        if job == "cli report":
            argv += ["--report", f"{scratch}/report.html"]
        start = time.perf_counter()
        subprocess.run(argv, check=True, capture_output=True)
        result = {"total_s": time.perf_counter() - start}
        if job == "cli report":
            result["html_bytes"] = os.path.getsize(f"{scratch}/report.html")
        return result


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=1000, help="the messy file's size (bench/generate.py sizes)")
    parser.add_argument("--reps", type=int, default=2, help="runs of each contender; the fastest counts")
    parser.add_argument("--out", type=pathlib.Path, help="write the figures as JSON here")
    args = parser.parse_args(argv)
    source = DATA / f"messy_{args.mb}mb.csv"
    if not source.exists():
        sys.exit(f"{source} is missing: python bench/generate.py --only messy --max-mb {args.mb}")
    jobs = ("api plain", "api report", "cli plain", "cli report")
    runs: dict = {job: [] for job in jobs}
    for rep in range(args.reps):
        for job in jobs:
            runs[job].append(measure(source, job))
            print(f"rep {rep + 1} {job}: {runs[job][-1]['total_s']:.2f} s", flush=True)
    best = {job: min(runs[job], key=lambda r: r["total_s"]) for job in jobs}
    plain, report = best["api plain"], best["api report"]
    cli_plain, cli_report = best["cli plain"]["total_s"], best["cli report"]["total_s"]
    figures = {
        "input": source.name,
        "input_bytes": source.stat().st_size,
        "machine": f"{platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}",
        "reps": args.reps,
        "plain_s": plain["total_s"],
        "report_clean_s": report["clean_s"],
        "report_html_s": report["html_s"],
        "report_s": report["total_s"],
        "added_percent": (report["total_s"] - plain["total_s"]) / plain["total_s"] * 100,
        "cli_plain_s": cli_plain,
        "cli_report_s": cli_report,
        "cli_added_percent": (cli_report - cli_plain) / cli_plain * 100,
        "cli_html_bytes": best["cli report"]["html_bytes"],
        "html_bytes": report["html_bytes"],
        "repairs_csv_bytes": report["repairs_csv_bytes"],
        "rows": report["rows"],
        "repaired": report["repaired"],
        "quarantined": report["quarantined"],
        "skipped": report["skipped"],
        "bins": report["bins"],
        "lines_per_bin": report["lines_per_bin"],
        "runs": runs,
    }
    print(json.dumps({k: v for k, v in figures.items() if k != "runs"}, indent=2))
    if args.out is not None:
        args.out.write_text(json.dumps(figures, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
