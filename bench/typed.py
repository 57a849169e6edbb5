"""The cost of typed columns against the string read, on the bench shapes.

Times ``read_arrow`` with strings and with ``dtypes="infer"`` (types from
the first rows, checked on every later one), and ``stream`` with
``dtypes="infer"`` (types from the first rows), on each file given
(default: the 100 MB files ``bench/generate.py`` makes), best of ``--reps``
runs, and prints the ratios. Then the cost of a read again: each file with
its first column turned decimal past the first rows (``NAME.widened.csv``
beside it, made once), where the typed read finds an integer column that
does not hold and reads the file a second time. Run it on a quiet machine;
instruction counts for a noisy one:

    valgrind --tool=callgrind python -c 'import rowmend; rowmend.read_arrow("f.csv", dtypes="infer")'

    python bench/typed.py --reps 3 bench/data/clean_narrow_100mb.csv bench/data/messy_100mb.csv
"""

from __future__ import annotations

import argparse
import pathlib
import time
from typing import Callable, List

import pyarrow as pa

import rowmend

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT = [HERE / "data" / f"{shape}_100mb.csv" for shape in ("clean_narrow", "messy", "quote_heavy")]


def best(run: Callable[[], object], reps: int) -> float:
    times: List[float] = []
    for _ in range(reps):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def widened(path: pathlib.Path) -> pathlib.Path:
    """A copy of ``path`` whose first column's integers turn decimal (``N.5``) after the first 100,000 rows."""
    out = path.with_name(path.stem + ".widened.csv")
    if out.exists():
        return out
    with path.open("rb") as source, out.open("wb") as sink:
        for number, line in enumerate(source):
            if number > 100_000:
                first, comma, rest = line.partition(b",")
                if first.isdigit():
                    line = first + b".5" + comma + rest
            sink.write(line)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=pathlib.Path, default=DEFAULT)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"{'file':32} {'strings':>9} {'typed':>9} {'ratio':>6} {'stream typed':>13} {'ratio':>6}")
    for path in args.files:
        if not path.exists():
            print(f"{path.name:32} missing (python bench/generate.py makes it)")
            continue
        strings = best(lambda: rowmend.read_arrow(path), args.reps)
        typed = best(lambda: rowmend.read_arrow(path, dtypes="infer"), args.reps)
        streamed = best(lambda: pa.table(rowmend.stream(path, dtypes="infer")), args.reps)
        print(
            f"{path.name:32} {strings:8.2f}s {typed:8.2f}s {typed / strings:6.2f} "
            f"{streamed:12.2f}s {streamed / strings:6.2f}"
        )
    print(f"\n{'file, read again':32} {'strings':>9} {'typed':>9} {'ratio':>6}")
    for path in args.files:
        if not path.exists():
            continue
        wide = widened(path)
        strings = best(lambda: rowmend.read_arrow(wide), args.reps)
        typed = best(lambda: rowmend.read_arrow(wide, dtypes="infer"), args.reps)
        print(f"{wide.name:32} {strings:8.2f}s {typed:8.2f}s {typed / strings:6.2f}")


if __name__ == "__main__":
    main()
