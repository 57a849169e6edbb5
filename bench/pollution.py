"""How well each reader recovers the table from a polluted CSV file.

Generates ``--cases`` files per pollution type (see ``pollution_cases``: one
pollution at a time over generated tables and well-formed corpus files, with
known truth), has every contender read each file with no hints
(``pollution_readers``), scores the readings by header, record and cell F1
(``pollution_score``), and writes the mean scores per pollution type and
contender as JSON and as a Markdown page.

    python bench/pollution.py --cases 20 --out docs/benchmarks/pollution.json

The files and their truth go to bench/data/pollution/ (one .csv and one
.json each). A reader that raises scores 0 on that file and counts as a
failure; one that runs past --timeout seconds scores 0 and counts as a
timeout.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import signal
import subprocess
import sys
import time
from contextlib import contextmanager
from importlib.metadata import PackageNotFoundError, version
from typing import Dict, Iterator, List, Sequence

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from pollution_cases import KINDS, corpus_tables, make_case  # noqa: E402
from pollution_readers import READERS  # noqa: E402
from pollution_score import Reading, Scores, score  # noqa: E402

DATA = HERE / "data" / "pollution"
METRICS = ("header_f1", "record_f1", "cell_f1")


class Timeout(Exception):
    """A reader ran past its time on one file."""


@contextmanager
def deadline(seconds: float) -> Iterator[None]:
    """Raise :class:`Timeout` in the block after ``seconds`` (between Python bytecodes)."""

    def expire(signum: int, frame: object) -> None:
        raise Timeout()

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def _version(name: str) -> str:
    try:
        return version(name)
    except PackageNotFoundError:
        return "not installed"


def _commit() -> str:
    try:
        out = subprocess.run(
            ["git", "-C", str(HERE), "log", "-1", "--format=%h %cs %s"], capture_output=True, text=True, check=True
        )
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def measure(
    cases: int, seed: int, timeout: float, readers: List[str], data: pathlib.Path, kinds: Sequence[str] = KINDS
) -> Dict[str, object]:
    """Generate, read and score every case of ``kinds``; the result as JSON-ready data."""
    data.mkdir(parents=True, exist_ok=True)
    corpus = corpus_tables()
    sums: Dict[str, Dict[str, Dict[str, float]]] = {}
    seconds = {name: 0.0 for name in readers}
    for kind in kinds:
        sums[kind] = {name: {m: 0.0 for m in METRICS} | {"failures": 0, "timeouts": 0} for name in readers}
        for index in range(cases):
            case = make_case(kind, index, seed, corpus)
            path = data / f"{case.name}.csv"
            path.write_bytes(case.text.encode("utf-8"))
            (data / f"{case.name}.json").write_text(json.dumps(case.truth(), ensure_ascii=False) + "\n")
            truth = Reading(case.header, case.records)
            for name in readers:
                entry = sums[kind][name]
                start = time.perf_counter()
                try:
                    with deadline(timeout):
                        found = READERS[name](str(path))
                    result = score(truth, found)
                except Timeout:
                    entry["timeouts"] += 1
                    result = Scores(0.0, 0.0, 0.0)
                except Exception:  # any reader error is that reader's failure on this file
                    entry["failures"] += 1
                    result = Scores(0.0, 0.0, 0.0)
                seconds[name] += time.perf_counter() - start
                entry["header_f1"] += result.header
                entry["record_f1"] += result.record
                entry["cell_f1"] += result.cell
        print(f"{kind:28s} done", file=sys.stderr, flush=True)
    table = {
        kind: {
            name: {m: round(v[m] / cases, 4) for m in METRICS} | {"failures": int(v["failures"]), "timeouts": int(v["timeouts"])}
            for name, v in by_reader.items()
        }
        for kind, by_reader in sums.items()
    }
    overall = {
        name: {m: round(sum(table[k][name][m] for k in kinds) / len(kinds), 4) for m in METRICS}
        | {
            "failures": sum(int(table[k][name]["failures"]) for k in kinds),
            "timeouts": sum(int(table[k][name]["timeouts"]) for k in kinds),
            "seconds": round(seconds[name], 2),
        }
        for name in readers
    }
    return {
        "commit": _commit(),
        "cases_per_type": cases,
        "seed": seed,
        "timeout_seconds": timeout,
        "corpus_tables": len(corpus),
        "versions": {p: _version(p) for p in ("rowmend", "duckdb", "pandas", "clevercsv")} | {"python": sys.version.split()[0]},
        "readers": readers,
        "scores": table,
        "mean": overall,
    }


def markdown(result: Dict[str, object]) -> str:
    """The Markdown page of a measurement: one table per score, then failures."""
    readers: List[str] = result["readers"]  # type: ignore[assignment]
    scores: Dict[str, Dict[str, Dict[str, float]]] = result["scores"]  # type: ignore[assignment]
    mean: Dict[str, Dict[str, float]] = result["mean"]  # type: ignore[assignment]
    versions: Dict[str, str] = result["versions"]  # type: ignore[assignment]
    lines = [
        "# Polluted files: who gets the table back",
        "",
        "Generated by `python bench/pollution.py` "
        f"({result['cases_per_type']} cases per pollution type, seed {result['seed']}). "
        f"Repository at commit `{result['commit']}`; "
        + ", ".join(f"{k} {v}" for k, v in versions.items())
        + ". "
        + str(result.get("note", "")),
        "",
        "Each file is a clean table (generated, or one of the "
        f"{result['corpus_tables']} well-formed tables of the shared corpus) with exactly one pollution. "
        "Every reader gets the file with no hints: rowmend's `read_arrow` with its defaults, the backend's "
        "`open` with no options (first row as header), DuckDB's `read_csv` auto-detection, `csv.Sniffer` then "
        "`pandas.read_csv` in the sniffed dialect, and CleverCSV's `read_table` with its `has_header`.",
        "",
        "Scores are F1 in [0, 1], the mean over the files of a type: **header** compares the names as "
        "(position, name) pairs (1 when neither side has a header), **record** whole records as a multiset, "
        "**cell** the cells as a multiset of (column, text) pairs. Numbers compare by value, so DuckDB's typed "
        "columns are not penalised for printing `12.5` for `12.50`. A reader that raises, or runs past "
        f"{result['timeout_seconds']} s, scores 0 on that file. The best score of each row is in bold; "
        "`none` is the unpolluted control.",
        "",
    ]
    for metric, title in zip(METRICS, ("Header F1", "Record F1", "Cell F1")):
        lines += [f"## {title}", "", "| pollution | " + " | ".join(readers) + " |", "|---" * (len(readers) + 1) + "|"]
        rows = [(kind, {r: scores[kind][r][metric] for r in readers}) for kind in scores]
        rows.append(("**mean**", {r: mean[r][metric] for r in readers}))
        for kind, values in rows:
            best = max(round(v, 2) for v in values.values())
            cells = [f"**{v:.2f}**" if round(v, 2) == best else f"{v:.2f}" for v in values.values()]
            lines.append(f"| {kind} | " + " | ".join(cells) + " |")
        lines.append("")
    lines += ["## Failures, timeouts and time", "", "| reader | failures | timeouts | seconds in all |", "|---|---|---|---|"]
    for r in readers:
        lines.append(f"| {r} | {mean[r]['failures']} | {mean[r]['timeouts']} | {mean[r]['seconds']} |")
    failing = [
        f"{kind}: " + ", ".join(f"{r} {scores[kind][r]['failures']}" for r in readers if scores[kind][r]["failures"])
        for kind in scores
        if any(scores[kind][r]["failures"] for r in readers)
    ]
    if failing:
        lines += ["", "Failures by pollution type:", ""] + [f"- {line}" for line in failing]
    return "\n".join(lines) + "\n"


def main(argv: List[str] | None = None) -> None:
    """Run the measurement and write the JSON and the Markdown page."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", type=int, default=20, help="files per pollution type (default 20)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds a reader may take on one file")
    parser.add_argument("--readers", nargs="+", choices=list(READERS), default=list(READERS))
    parser.add_argument("--kinds", nargs="+", choices=list(KINDS), default=list(KINDS), help="pollution types to score")
    parser.add_argument("--data", type=pathlib.Path, default=DATA, help="where the polluted files go")
    parser.add_argument("--out", type=pathlib.Path, help="the JSON score table (the .md page beside it)")
    parser.add_argument("--note", default="", help="a sentence for the page, such as which build was measured")
    parser.add_argument("--render", action="store_true", help="only rewrite the page (and note) of the --out JSON")
    args = parser.parse_args(argv)
    if args.render:
        result = json.loads(args.out.read_text())
    else:
        result = measure(args.cases, args.seed, args.timeout, args.readers, args.data, args.kinds)
    if args.note:
        result["note"] = args.note
    page = markdown(result)
    if args.out:
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(json.dumps(result, indent=1) + "\n")
        args.out.with_suffix(".md").write_text(page)
    else:
        print(page)


if __name__ == "__main__":
    main()
