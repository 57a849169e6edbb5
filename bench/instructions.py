"""Instructions per input byte of `_rowmend_backend.salvage_file` and
`rowmend.clean(path, "/dev/null")`, counted by callgrind.

Instruction counts do not depend on the machine's load, so this is the speed
evidence to take on a shared machine (the timed benches want a quiet one).
Each input's count has the interpreter's start and imports taken off (the
same call on a two-line file) and is divided by the input's size. Shapes are
cut to their first --mb megabytes at a line end; the two pathological lines
are used whole.

    python bench/generate.py --max-mb 100
    python bench/instructions.py --mb 32
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

DATA = Path(__file__).resolve().parent / "data"
SHAPES = ["clean_narrow", "clean_wide", "messy", "quote_heavy"]
WHOLE = ["pathological_quotes_10mb", "pathological_unterminated_10mb"]
CALLS = {
    "salvage_file": "import _rowmend_backend, rowmend; _rowmend_backend.salvage_file({path!r}, '/dev/null')",
    "clean": "import _rowmend_backend, rowmend; rowmend.clean({path!r}, '/dev/null')",
}


def instructions(code: str, scratch: str) -> int:
    out = os.path.join(scratch, "callgrind.out")
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", code],
        capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    found = re.search(r"Collected : (\d+)", run.stderr)
    if run.returncode != 0 or not found:
        raise SystemExit(f"callgrind failed:\n{run.stderr[-2000:]}")
    return int(found.group(1))


def sample(source: Path, size: int, target: Path) -> None:
    with open(source, "rb") as f:
        data = f.read(size + (1 << 20))
    target.write_bytes(data[: data.rindex(b"\n", 0, size) + 1])


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=32, help="megabytes of each shape")
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        inputs: list[Path] = []
        for shape in SHAPES:
            source = DATA / f"{shape}_100mb.csv"
            if not source.exists():
                print(f"missing {source.name} (python bench/generate.py --max-mb 100)")
                return 1
            inputs.append(Path(scratch) / f"{shape}_{args.mb}mb.csv")
            sample(source, args.mb * 1_000_000, inputs[-1])
        inputs += [DATA / f"{name}.csv" for name in WHOLE]
        tiny = Path(scratch) / "tiny.csv"
        tiny.write_bytes(b"a,b\n1,2\n")
        for call, template in CALLS.items():
            base = instructions(template.format(path=str(tiny)), scratch)
            for path in inputs:
                count = instructions(template.format(path=str(path)), scratch) - base
                print(f"{call:13} {path.stem:32} {count / path.stat().st_size:8.2f} instructions/byte", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
