#!/usr/bin/env python3
"""Side-by-side benchmark of salvage_file against the tools a user would
otherwise reach for, plus sniff against csv.Sniffer and CleverCSV.

Every file measurement runs in a fresh process; contenders alternate
(A B C A B C ...) and the median of the repetitions is reported. Wall time is
taken inside the child around the work alone (imports excluded); peak RSS is
the child's own high-water mark (VmHWM; wait4()'s ru_maxrss is kept as well).
Inputs come from generate.py.

    PYTHONPATH=build-e python bench/run.py --max-mb 10 --reps 2   # smoke run
    PYTHONPATH=build-e python bench/run.py --wait-quiet            # full run

Writes docs/benchmarks/results.json, results.md and chart.png.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
DATA_DIR = BENCH_DIR / "data"
OUT_DIR = DATA_DIR / "out"
DOCS = REPO / "docs" / "benchmarks"
CORPUS = Path("/work/shared/corpus")
MB = 1_000_000

sys.path.insert(0, str(BENCH_DIR))

# Contenders in the order they alternate. "tolerant" marks the options a
# user needs to get any output at all from damaged input.
CONTENDERS = [
    "salvage_file",
    "salvage_file_1t",
    "clean",
    "floor",
    "polars",
    "polars_1t",
    "polars_noquote_1t",
    "duckdb",
    "duckdb_1t",
    "pandas",
    "csv",
    "reader",
]
LABELS = {
    "salvage_file": "rowmend salvage_file",
    "salvage_file_1t": "salvage_file pinned to 1 CPU",
    "clean": "rowmend.clean",
    "floor": "I/O floor (1 MiB copy)",
    "polars": "Polars read_csv + write_csv",
    "polars_1t": "Polars, 1 thread",
    "polars_noquote_1t": "Polars, quote_char=None, 1 thread",
    "duckdb": "DuckDB COPY (read_csv)",
    "duckdb_1t": "DuckDB, 1 thread",
    "pandas": "pandas read_csv + to_csv",
    "csv": "Python csv.reader + csv.writer",
    "reader": "rowmend SalvageReader (iterate, no output)",
}
# Peers that run on one core, the comparison the single-thread target asks for.
SINGLE_THREAD_PEERS = ["polars_1t", "polars_noquote_1t", "duckdb_1t", "pandas", "csv"]
ALL_PEERS = ["polars", "polars_1t", "polars_noquote_1t", "duckdb", "duckdb_1t", "pandas", "csv"]
TOLERANT_KINDS = {"messy", "pathological_quotes", "pathological_unterminated"}


# ----------------------------------------------------------------------------
# Child side: one measurement, result as one JSON line on stdout.


def child(name: str, inp: str, out: str, tolerant: bool) -> dict:
    if name in ("polars_1t", "polars_noquote_1t"):
        # Must be set before polars is imported; it sizes its pool once.
        os.environ["POLARS_MAX_THREADS"] = "1"
    info: dict = {}
    if name in ("salvage_file", "salvage_file_1t"):
        if name == "salvage_file_1t":
            # As `taskset -c N`: the call sees one CPU and keeps to one thread.
            os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        import _rowmend_backend as rm

        t0 = time.perf_counter()
        s = rm.salvage_file(inp, out)
        t1 = time.perf_counter()
        info = s.to_dict()
        info["digest"] = digest(out)
    elif name == "clean":
        import rowmend

        t0 = time.perf_counter()
        report = rowmend.clean(inp, out)
        t1 = time.perf_counter()
        info = {"rows": report.salvaged_rows}
    elif name == "reader":
        import _rowmend_backend as rm

        t0 = time.perf_counter()
        n = 0
        for _ in rm.SalvageReader(inp):
            n += 1
        t1 = time.perf_counter()
        info = {"rows": n}
    elif name == "floor":
        # A plain copy through one 1 MiB buffer into a new file.
        t0 = time.perf_counter()
        buf = bytearray(1 << 20)
        view = memoryview(buf)
        with open(inp, "rb", buffering=0) as f, open(out, "wb", buffering=0) as g:
            while n := f.readinto(buf):
                g.write(view[:n])
        t1 = time.perf_counter()
    elif name in ("polars", "polars_1t", "polars_noquote_1t"):
        import polars as pl

        kw = dict(infer_schema=False)
        if name == "polars_noquote_1t":
            # The way past Polars' "not properly escaped" refusal: quotes
            # become ordinary bytes, kept in the fields as they are.
            kw["quote_char"] = None
        if tolerant:
            kw.update(truncate_ragged_lines=True, ignore_errors=True, encoding="utf8-lossy")
        t0 = time.perf_counter()
        df = pl.read_csv(inp, **kw)
        df.write_csv(out)
        t1 = time.perf_counter()
        info = {"rows": df.height, "threads": pl.thread_pool_size()}
    elif name in ("duckdb", "duckdb_1t"):
        import duckdb

        con = duckdb.connect()
        if name == "duckdb_1t":
            con.execute("SET threads = 1")
        src = inp.replace("'", "''")
        dst = out.replace("'", "''")
        # null_padding cannot be combined with quoted line breaks in the
        # parallel scanner, so it is asked for only where rows are ragged.
        opts = ", ignore_errors = true, null_padding = true" if tolerant else ""
        t0 = time.perf_counter()
        con.execute(
            f"COPY (SELECT * FROM read_csv('{src}', all_varchar = true{opts})) "
            f"TO '{dst}' (FORMAT csv, HEADER true)"
        )
        t1 = time.perf_counter()
        info = {"threads": con.execute("SELECT current_setting('threads')").fetchone()[0]}
    elif name == "pandas":
        import pandas as pd

        t0 = time.perf_counter()
        df = pd.read_csv(
            inp, dtype=str, keep_default_na=False, on_bad_lines="skip",
            encoding_errors="replace", engine="c",
        )
        df.to_csv(out, index=False)
        t1 = time.perf_counter()
        info = {"rows": len(df)}
    elif name == "csv":
        import csv

        csv.field_size_limit(sys.maxsize)  # the pathological files hold 10 MB fields
        t0 = time.perf_counter()
        with open(inp, newline="", encoding="utf-8", errors="replace") as f, open(
            out, "w", newline="", encoding="utf-8"
        ) as g:
            csv.writer(g).writerows(csv.reader(f))
        t1 = time.perf_counter()
    else:
        raise SystemExit(f"unknown contender {name}")
    info["out_bytes"] = os.path.getsize(out) if os.path.exists(out) else 0
    return {"seconds": t1 - t0, "info": info}


def digest(path: str) -> str:
    """A hash of the output, taken after the timed part, to show two runs wrote the same bytes."""
    import hashlib

    h = hashlib.blake2b(digest_size=16)
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(1 << 22):
            h.update(chunk)
    return h.hexdigest()


def peak_rss_self() -> int:
    """This process's own peak resident set, in bytes.

    ru_maxrss is carried across exec(), so a child started from a parent that
    once held more memory reports the parent's peak; VmHWM belongs to the
    current address space only."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def error_text(exc: BaseException) -> str:
    # Peers quote the offending input back; a 10 MB line is no error message.
    lines = [ln.strip()[:160] for ln in str(exc).splitlines()
             if ln.strip() and not ln.strip().startswith("Original Line")]
    return (type(exc).__name__ + ": " + " ".join(lines[:2]))[:240]


# ----------------------------------------------------------------------------
# Parent side.


def warm(path: Path) -> None:
    with open(path, "rb", buffering=0) as f:
        while f.read(16 * 1024 * 1024):
            pass


def measure(name: str, inp: Path, tolerant: bool, timeout: float) -> dict:
    """Runs one contender once in a fresh process and returns its record."""
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    out = OUT_DIR / f"{name}.csv"
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child", name, str(inp), str(out)]
    if tolerant:
        cmd.append("--tolerant")
    with tempfile.TemporaryFile() as so, tempfile.TemporaryFile() as se:
        started = time.perf_counter()
        p = subprocess.Popen(cmd, stdout=so, stderr=se, start_new_session=True)
        timed_out = False
        while True:
            # wait4 hands back this child's own rusage, so ru_maxrss is its
            # peak and not the largest of every child so far.
            pid, status, ru = os.wait4(p.pid, os.WNOHANG)
            if pid:
                break
            if time.perf_counter() - started > timeout:
                os.killpg(p.pid, signal.SIGKILL)
                pid, status, ru = os.wait4(p.pid, 0)
                timed_out = True
                break
            time.sleep(0.005)
        wall = time.perf_counter() - started
        p.returncode = os.waitstatus_to_exitcode(status)
        so.seek(0)
        se.seek(0)
        stdout = so.read().decode("utf-8", "replace")
        stderr = se.read().decode("utf-8", "replace")
    if out.exists():
        out.unlink()
    rec = {"process_seconds": wall, "ru_maxrss": ru.ru_maxrss * 1024, "peak_rss": ru.ru_maxrss * 1024}
    reported = None
    try:
        reported = json.loads(stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        pass
    if reported:
        rec.update(reported)
    if timed_out:
        rec["status"] = "timeout"
    elif p.returncode != 0:
        last = [ln for ln in stderr.strip().splitlines() if ln.strip()]
        rec["status"] = "error"
        if "error" not in rec:
            rec["error"] = last[-1][:240] if last else f"exit status {p.returncode}"
    else:
        rec["status"] = "ok"
    return rec


def summarise(runs: list[dict]) -> dict:
    ok = [r for r in runs if r["status"] == "ok"]
    if not ok:
        worst = runs[0]
        return {"status": worst["status"], "error": worst.get("error", ""), "runs": runs}
    return {
        "status": "ok",
        "seconds": statistics.median(r["seconds"] for r in ok),
        "peak_rss": statistics.median(r["peak_rss"] for r in ok),
        "out_bytes": ok[-1]["info"].get("out_bytes", 0),
        "info": ok[-1]["info"],
        "reps": len(ok),
        "runs": runs,
    }


def datasets(max_mb: int | None, only: list[str] | None) -> list[tuple[str, int, Path]]:
    # Imported here, not at the top: it brings numpy (and OpenBLAS threads)
    # along, which must not ride into the measured children.
    import generate

    items = []
    for kind, sizes in generate.SIZES.items():
        for mb in sizes:
            items.append((kind, mb))
    items.append(("pathological_quotes", generate.PATHOLOGICAL_MB))
    items.append(("pathological_unterminated", generate.PATHOLOGICAL_MB))
    out = []
    for kind, mb in items:
        if max_mb is not None and mb > max_mb:
            continue
        if only and kind not in only:
            continue
        path = DATA_DIR / generate.file_name(kind, mb)
        if path.exists():
            out.append((kind, mb, path))
        else:
            print(f"missing {path.name}: run bench/generate.py", file=sys.stderr)
    out.sort(key=lambda t: (t[1], t[0]))
    return out


def contenders_for(kind: str) -> list[str]:
    # The reader hands rows to Python instead of writing a file; it is run on
    # the two kinds that its memory target is stated for. Polars without
    # quoting is only a workaround for the damaged-quote refusal on messy data.
    names = list(CONTENDERS)
    if kind not in ("clean_narrow", "messy"):
        names.remove("reader")
    if kind != "messy":
        names.remove("polars_noquote_1t")
    return names


def run_files(args, log) -> list[dict]:
    results = []
    # The last good time and peak RSS per (kind, contender), to skip runs
    # that would clearly take too long or too much memory at the next size.
    last: dict[tuple[str, str], tuple[int, float, float]] = {}
    for kind, mb, path in datasets(args.max_mb, args.only):
        tolerant = kind in TOLERANT_KINDS
        # The pathological files are small: a peer that needs minutes for
        # 10 MB has shown what it does with them.
        timeout = args.pathological_timeout if kind.startswith("pathological") else args.timeout
        names = contenders_for(kind)
        if args.contenders:
            names = [n for n in names if n in args.contenders]
        skipped = {}
        for n in names:
            prev = last.get((kind, n))
            if prev:
                pmb, psec, prss = prev
                est_sec = psec * mb / pmb
                est_rss = prss * mb / pmb
                if est_sec > args.max_seconds:
                    skipped[n] = f"skipped: about {est_sec:.0f} s per run extrapolated from {pmb} MB"
                elif est_rss > args.max_rss_gb * 1e9:
                    skipped[n] = f"skipped: about {est_rss / 1e9:.1f} GB peak RSS extrapolated from {pmb} MB"
        active = [n for n in names if n not in skipped]
        runs: dict[str, list[dict]] = {n: [] for n in active}
        dead: set[str] = set()
        for rep in range(args.reps):
            warm(path)
            for n in active:
                if n in dead:
                    continue
                r = measure(n, path, tolerant, timeout)
                runs[n].append(r)
                if r["status"] != "ok":
                    dead.add(n)  # a timeout or a refusal does not change on a second try
                log(f"{path.name:36s} rep {rep + 1} {n:12s} {r['status']:7s} "
                    f"{r.get('seconds', r['process_seconds']):8.3f} s  {r['peak_rss'] / MB:8.1f} MB"
                    + (f"  {r.get('error', '')}" if r["status"] == "error" else ""))
        entry = {"kind": kind, "mb": mb, "bytes": path.stat().st_size, "tolerant": tolerant,
                 "timeout": timeout, "results": {}}
        for n in names:
            if n in skipped:
                entry["results"][n] = {"status": "skipped", "error": skipped[n]}
                continue
            s = summarise(runs[n])
            entry["results"][n] = s
            if s["status"] == "ok":
                last[(kind, n)] = (mb, s["seconds"], s["peak_rss"])
        results.append(entry)
    return results


# ----------------------------------------------------------------------------
# sniff over the corpus.


def child_sniff(name: str, files: list[str], chars: int) -> list:
    """Times one sniffer over every file; returns [seconds, delimiter] per file
    (delimiter None when the sniffer gave up)."""
    if name == "rowmend":
        import _rowmend_backend as rm

        def sniff(text):
            return rm.sniff(text)
    elif name == "csv":
        import csv

        sn = csv.Sniffer()

        def sniff(text):
            return sn.sniff(text).delimiter
    else:
        import clevercsv

        sn = clevercsv.Sniffer()

        def sniff(text):
            d = sn.sniff(text)
            return d.delimiter if d is not None else None

    out = []
    for p in files:
        with open(p, "rb") as f:
            text = f.read(chars * 4).decode("utf-8", "replace")[:chars]
        t0 = time.perf_counter()
        try:
            d = sniff(text)
        except Exception:  # csv.Sniffer raises csv.Error when it cannot tell
            d = None
        out.append([time.perf_counter() - t0, d])
    return out


MANIFEST_DELIMS = {"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|"}


def run_sniff(args, log) -> dict:
    files = sorted(str(p) for p in CORPUS.rglob("*") if p.is_file() and p.name not in ("README.md", "MANIFEST.tsv"))
    manifest = {}
    mpath = CORPUS / "MANIFEST.tsv"
    if mpath.exists():
        for line in mpath.read_text(encoding="utf-8").splitlines()[1:]:
            cols = line.split("\t")
            if len(cols) >= 6:
                first = cols[5].split(";")
                # The script's delimiter guess is the first note item naming one.
                for item in first:
                    if item.strip() in MANIFEST_DELIMS:
                        manifest[str(CORPUS / cols[0])] = MANIFEST_DELIMS[item.strip()]
                        break
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as lf:
        json.dump(files, lf)
        list_path = lf.name
    per: dict[str, list[list]] = {n: [] for n in ("rowmend", "csv", "clevercsv")}
    try:
        for rep in range(args.sniff_reps):
            for n in per:
                cmd = [sys.executable, str(Path(__file__).resolve()), "--child-sniff", n, list_path,
                       str(args.sniff_chars)]
                t0 = time.perf_counter()
                proc = subprocess.run(cmd, capture_output=True, text=True, timeout=args.timeout * 4)
                if proc.returncode != 0:
                    raise SystemExit(f"sniff child {n} failed: {proc.stderr[-500:]}")
                per[n].append(json.loads(proc.stdout.strip().splitlines()[-1]))
                log(f"sniff rep {rep + 1} {n:10s} {time.perf_counter() - t0:7.2f} s")
    finally:
        os.unlink(list_path)
    res = {"files": len(files), "chars": args.sniff_chars, "reps": args.sniff_reps, "sniffers": {}}
    ref = [d for _, d in per["rowmend"][0]]
    for n, reps in per.items():
        times = [statistics.median(reps[r][i][0] for r in range(len(reps))) for i in range(len(files))]
        delims = [d for _, d in reps[0]]
        with_manifest = [(f, d) for f, d in zip(files, delims) if f in manifest]
        res["sniffers"][n] = {
            "total_seconds": sum(times),
            "mean_seconds": statistics.mean(times),
            "median_seconds": statistics.median(times),
            "max_seconds": max(times),
            "gave_up": sum(d is None for d in delims),
            "agrees_with_rowmend": sum(d == r for d, r in zip(delims, ref)),
            "agrees_with_manifest": sum(d == manifest[f] for f, d in with_manifest),
            "manifest_files": len(with_manifest),
        }
    return res


# ----------------------------------------------------------------------------
# Machine description.


def machine() -> dict:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = 0
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                mem = int(line.split()[1]) * 1024
    except OSError:
        pass
    versions = {"python": platform.python_version() + " (" + platform.python_implementation() + ")"}
    for mod in ("polars", "duckdb", "pandas", "clevercsv", "numpy", "matplotlib"):
        try:
            versions[mod] = subprocess.run(
                [sys.executable, "-c", f"import {mod}; print({mod}.__version__)"],
                capture_output=True, text=True, timeout=60).stdout.strip() or "not installed"
        except Exception:
            versions[mod] = "not installed"
    probe = subprocess.run(
        [sys.executable, "-c", "import _rowmend_backend as m; print(m.__version__); print(m.__file__)"],
        capture_output=True, text=True, timeout=60).stdout.split("\n")
    versions["_rowmend_backend"] = probe[0] if probe and probe[0] else "not importable"
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain", "--", "src"],
                           capture_output=True, text=True).stdout.strip()
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "ram_bytes": mem,
        "kernel": platform.release(),
        "versions": versions,
        "module_file": probe[1] if len(probe) > 1 else "",
        "commit": commit + (" (engine sources modified in the work tree)" if dirty else ""),
    }


def wait_quiet(limit_minutes: float, log) -> dict:
    """Polls the 1-minute load every 30 s until it has been below 0.7 for two
    polls in a row, or gives up after limit_minutes."""
    start = time.time()
    below = 0
    polls = []
    while True:
        load = os.getloadavg()[0]
        polls.append(load)
        below = below + 1 if load < 0.7 else 0
        log(f"load {load:.2f} ({below} quiet poll(s) in a row)")
        if below >= 2:
            return {"quiet": True, "waited_minutes": (time.time() - start) / 60, "load": load}
        if time.time() - start > limit_minutes * 60:
            return {"quiet": False, "waited_minutes": (time.time() - start) / 60, "load": load}
        time.sleep(30)


def main(argv: list[str]) -> int:
    if argv and argv[0] == "--child":
        name, inp, out = argv[1:4]
        try:
            rec = child(name, inp, out, "--tolerant" in argv[4:])
        except Exception as exc:  # a peer refusing the input is a result, not a crash
            print(json.dumps({"error": error_text(exc), "peak_rss": peak_rss_self()}))
            return 1
        rec["peak_rss"] = peak_rss_self()
        print(json.dumps(rec))
        return 0
    if argv and argv[0] == "--child-sniff":
        name, list_path, chars = argv[1:4]
        files = json.loads(Path(list_path).read_text())
        print(json.dumps(child_sniff(name, files, int(chars))))
        return 0

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reps", type=int, default=3, help="repetitions per contender (median reported)")
    ap.add_argument("--max-mb", type=int, default=None, help="skip inputs above this size")
    ap.add_argument("--only", nargs="*", default=None, help="dataset kinds to run")
    ap.add_argument("--contenders", nargs="*", default=None, choices=CONTENDERS)
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds before one run is killed")
    ap.add_argument("--pathological-timeout", type=float, default=60.0,
                    help="the same for the 10 MB pathological inputs")
    ap.add_argument("--max-seconds", type=float, default=30.0,
                    help="skip a contender whose run would take longer, extrapolating from the last size")
    ap.add_argument("--max-rss-gb", type=float, default=8.0,
                    help="skip a contender whose peak RSS would exceed this, extrapolating likewise")
    ap.add_argument("--sniff-reps", type=int, default=3)
    ap.add_argument("--sniff-chars", type=int, default=10_000,
                    help="characters from the start of each corpus file handed to every sniffer")
    ap.add_argument("--no-sniff", action="store_true")
    ap.add_argument("--no-reader", action="store_true", help="skip bench/reader_vs_csv.py")
    ap.add_argument("--reader-mb", type=int, default=100)
    ap.add_argument("--wait-quiet", action="store_true",
                    help="wait (up to --quiet-limit minutes) for the machine to go quiet first")
    ap.add_argument("--quiet-limit", type=float, default=60.0)
    ap.add_argument("--before", default=None,
                    help="shell command run after the quiet wait and before measuring, e.g. a rebuild")
    ap.add_argument("--report-only", action="store_true", help="rewrite results.md and chart.png from results.json")
    args = ap.parse_args(argv)

    DOCS.mkdir(parents=True, exist_ok=True)
    json_path = DOCS / "results.json"

    def log(msg: str) -> None:
        print(time.strftime("%H:%M:%S"), msg, flush=True)

    if not args.report_only:
        quiet = wait_quiet(args.quiet_limit, log) if args.wait_quiet else {"quiet": None}
        if args.before:
            # Typically a rebuild, so the figures are of the engine as it is
            # once the machine has gone quiet, not as it was when we started waiting.
            log(f"running {args.before!r}")
            subprocess.run(args.before, shell=True, check=True)
        res = {
            "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
            "machine": machine(),
            "quiet": quiet,
            "load_at_start": os.getloadavg(),
            "reps": args.reps,
            "timeout": args.timeout,
        }
        res["files"] = run_files(args, log)
        if not args.no_reader:
            cmd = [sys.executable, str(BENCH_DIR / "reader_vs_csv.py"), "--mb", str(args.reader_mb),
                   "--reps", str(max(args.reps, 3)), "--json"]
            proc = subprocess.run(cmd, capture_output=True, text=True)
            if proc.returncode == 0:
                res["reader_vs_csv"] = json.loads(proc.stdout.strip().splitlines()[-1])
            else:
                log(f"reader_vs_csv failed: {proc.stderr[-500:]}")
        if not args.no_sniff and CORPUS.is_dir():
            res["sniff"] = run_sniff(args, log)
        res["load_at_end"] = os.getloadavg()
        res["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
        json_path.write_text(json.dumps(res, indent=1) + "\n")
    res = json.loads(json_path.read_text())

    import report  # noqa: E402  (matplotlib only needed here)

    (DOCS / "results.md").write_text(report.markdown(res, LABELS, SINGLE_THREAD_PEERS, ALL_PEERS))
    report.chart(res, LABELS, DOCS / "chart.png")
    log(f"wrote {DOCS / 'results.md'} and {DOCS / 'chart.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
