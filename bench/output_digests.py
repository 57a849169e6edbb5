"""Digests of what a build writes, to show that an engine change leaves the
output alone: for each input, the backend's clean and quarantine files from
``_rowmend_backend.salvage_file`` and the package's clean and quarantine files
and report from ``rowmend.clean``. Run it under each build and compare:

    python bench/output_digests.py /tmp/old.json
    (rebuild)
    python bench/output_digests.py /tmp/new.json --against /tmp/old.json

Inputs: the benchmark's 10 MB files (``python bench/generate.py --max-mb 10``)
(``--data``) and every file of the shared corpus (``--corpus``, ../shared/corpus
beside the clone by default).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import pathlib
import sys
import tempfile

import _rowmend_backend

import rowmend

HERE = pathlib.Path(__file__).resolve().parent


def digest(path: pathlib.Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest() if path.exists() else "absent"


def outcome(source: pathlib.Path, scratch: pathlib.Path) -> dict[str, str]:
    """The digests of one input's outputs, or the error each writer raised."""
    found: dict[str, str] = {}
    clean, quarantine = scratch / "clean.csv", scratch / "quarantine.csv"
    for name in ("clean.csv", "quarantine.csv"):
        (scratch / name).unlink(missing_ok=True)
    try:
        summary = _rowmend_backend.salvage_file(str(source), str(clean), str(quarantine))
        found["backend"] = f"{digest(clean)} {digest(quarantine)} {summary!r}"
    except Exception as error:  # the error is the outcome to compare
        found["backend"] = f"{type(error).__name__}: {error}"
    for name in ("clean.csv", "quarantine.csv"):
        (scratch / name).unlink(missing_ok=True)
    try:
        report = rowmend.clean(source, clean, quarantine=quarantine)
        text = json.dumps(report.to_dict(), sort_keys=True, default=str)
        found["package"] = f"{digest(clean)} {digest(quarantine)} {hashlib.sha256(text.encode()).hexdigest()}"
    except Exception as error:  # the error is the outcome to compare
        found["package"] = f"{type(error).__name__}: {error}"
    return found


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=pathlib.Path, help="where to write the digests (JSON)")
    parser.add_argument("--against", type=pathlib.Path, help="digests of another build to compare")
    parser.add_argument("--data", type=pathlib.Path, default=HERE / "data", help="the benchmark's files")
    parser.add_argument("--corpus", type=pathlib.Path, default=HERE.parent.parent / "shared" / "corpus")
    args = parser.parse_args()
    inputs = sorted(args.data.glob("*_10mb.csv"))
    inputs += sorted(p for p in args.corpus.rglob("*") if p.is_file() and p.suffix != ".md" and p.name != "MANIFEST.tsv")
    results: dict[str, dict[str, str]] = {}
    with tempfile.TemporaryDirectory() as scratch:
        for source in inputs:
            results[str(source)] = outcome(source, pathlib.Path(scratch))
    args.out.write_text(json.dumps(results, indent=1, sort_keys=True))
    print(f"{len(results)} inputs digested into {args.out}")
    if args.against is None:
        return 0
    before = json.loads(args.against.read_text())
    differ = [name for name in sorted(set(before) | set(results)) if before.get(name) != results.get(name)]
    for name in differ:
        print(f"differs: {name}\n  before {before.get(name)}\n  after  {results.get(name)}")
    print(f"{len(results) - len(differ)} of {len(results)} inputs give the same outputs")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
