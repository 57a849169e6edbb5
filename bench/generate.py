#!/usr/bin/env python3
"""Writes the benchmark inputs to bench/data/, the same bytes on every run.

Each dataset is built from a pool of a few thousand distinct rows made with a
seeded generator; a file is then a seeded random sequence of pool indices,
joined in C (itemgetter + bytes.join), so a gigabyte takes seconds rather than
the minutes a per-row Python loop would.

    python bench/generate.py                 # every dataset at every size
    python bench/generate.py --max-mb 10     # only sizes up to 10 MB
    python bench/generate.py --only clean_narrow messy
"""

from __future__ import annotations

import argparse
import operator
import os
import sys
import time
from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent / "data"
MB = 1_000_000
SEED = 20261207

# Sizes in MB per dataset. Narrow and messy go up to 1 GB so scaling shows;
# the others stop where the picture is already clear.
SIZES = {
    "clean_narrow": [1, 10, 100, 200, 1000, 2000],
    "messy": [1, 10, 100, 200, 1000, 2000],
    "clean_wide": [1, 10, 100, 200, 1000],
    "quote_heavy": [1, 10, 100, 200, 1000],
}
PATHOLOGICAL_MB = 10

WORDS = (
    "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima "
    "mike november oscar papa quebec romeo sierra tango uniform victor whiskey "
    "xray yankee zulu amber basil cedar dune ember fjord grove heath iris jade "
    "kelp lotus moss nectar olive pearl quartz reed sage thyme umber vale willow"
).split()
CITIES = (
    "Berlin Paris Lyon Porto Oslo Turku Gent Graz Brno Cork Bergen Delft Malmo "
    "Basel Leeds Split Tartu Kaunas Riga Pecs"
).split()


def file_name(kind: str, mb: int) -> str:
    return f"{kind}_{mb}mb.csv"


def _rows_to_bytes(rows: list[str]) -> list[bytes]:
    return [r.encode("utf-8") for r in rows]


def narrow_pool(rng: np.random.Generator, n: int) -> list[bytes]:
    ids = rng.integers(1, 10_000_000, n)
    names = rng.integers(0, len(WORDS), n)
    cities = rng.integers(0, len(CITIES), n)
    amounts = rng.integers(0, 1_000_000, n)
    days = rng.integers(1, 29, n)
    months = rng.integers(1, 13, n)
    return _rows_to_bytes(
        [
            f"{ids[i]},{WORDS[names[i]]},{CITIES[cities[i]]},{amounts[i] / 100:.2f},"
            f"2024-{months[i]:02d}-{days[i]:02d}\n"
            for i in range(n)
        ]
    )


NARROW_HEADER = b"id,name,city,amount,date\n"


def wide_pool(rng: np.random.Generator, n: int) -> list[bytes]:
    cols = 50
    kinds = rng.integers(0, 3, cols)
    ints = rng.integers(0, 100_000, (n, cols))
    words = rng.integers(0, len(WORDS), (n, cols))
    out = []
    for i in range(n):
        fields = []
        for c in range(cols):
            if kinds[c] == 0:
                fields.append(str(ints[i, c]))
            elif kinds[c] == 1:
                fields.append(WORDS[words[i, c]])
            else:
                fields.append(f"{ints[i, c] / 7:.3f}")
        out.append(",".join(fields) + "\n")
    return _rows_to_bytes(out)


WIDE_HEADER = (",".join(f"c{c}" for c in range(50)) + "\n").encode()


def quote_pool(rng: np.random.Generator, n: int) -> list[bytes]:
    """Rows where most fields are quoted and carry the hard cases: delimiters,
    doubled quotes and line breaks inside the quotes."""
    out = []
    for i in range(n):
        w = [WORDS[j] for j in rng.integers(0, len(WORDS), 6)]
        shape = i % 4
        note = {
            0: f'"{w[0]}, {w[1]} and {w[2]}"',
            1: f'"she said ""{w[0]}"" twice"',
            2: f'"line one {w[0]}\nline two {w[1]}"',
            3: f'"{w[0]}; {w[1]}, ""{w[2]}""\r\n{w[3]}"',
        }[shape]
        out.append(f'{i},"{w[4]}",{note},"{w[5]}, {CITIES[i % len(CITIES)]}",{i * 3 % 997}\n')
    return _rows_to_bytes(out)


QUOTE_HEADER = b'id,"label",note,"place",n\n'


def damaged_pool(rng: np.random.Generator, clean: list[bytes]) -> list[bytes]:
    """Damaged variants of clean narrow rows, one kind of damage each, in the
    shares real exports show: ragged rows, stray quotes, blank lines and
    bytes that are not UTF-8."""
    out = []
    for i, row in enumerate(clean):
        fields = row.rstrip(b"\n").split(b",")
        kind = i % 8
        if kind == 0:  # too short
            fields = fields[: int(rng.integers(1, 4))]
        elif kind == 1:  # too long
            fields = fields + [b"extra"] * int(rng.integers(1, 4))
        elif kind == 2:  # quote inside an unquoted field
            fields[1] = fields[1][:2] + b'"' + fields[1][2:]
        elif kind == 3:  # text after a closing quote
            fields[2] = b'"' + fields[2] + b'" x'
        elif kind == 4:  # blank line, sometimes with spaces on it
            out.append(b"\n" if i % 16 < 8 else b"   \n")
            continue
        elif kind == 5:  # Latin-1 and stray continuation bytes
            fields[1] = fields[1] + b"\xe9\xff"
        elif kind == 6:  # truncated UTF-8 sequence at the end of a field
            fields[2] = fields[2] + b"\xe2\x82"
        else:  # quoted field with an inner stray quote before the delimiter
            fields[1] = b'"' + fields[1] + b'"s"'
        out.append(b",".join(fields) + b"\n")
    return out


def write_from_pool(
    path: Path, header: bytes, pool: list[bytes], target: int, rng: np.random.Generator,
    damaged: list[bytes] | None = None, damaged_share: float = 0.0,
) -> None:
    """Writes header + pool rows picked at random until `target` bytes."""
    mean = sum(len(r) for r in pool) / len(pool)
    chunk_rows = max(1, int(8 * MB / mean))
    written = 0
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as f:
        f.write(header)
        written += len(header)
        while written < target:
            idx = rng.integers(0, len(pool), chunk_rows)
            rows = list(operator.itemgetter(*idx)(pool)) if chunk_rows > 1 else [pool[idx[0]]]
            if damaged:
                hit = np.flatnonzero(rng.random(chunk_rows) < damaged_share)
                repl = rng.integers(0, len(damaged), len(hit))
                for h, r in zip(hit.tolist(), repl.tolist()):
                    rows[h] = damaged[r]
            room = target - written
            ends = np.cumsum(np.fromiter(map(len, rows), dtype=np.int64, count=len(rows)))
            if ends[-1] > room:
                # Stop after the last whole row that fits: a quoted field may
                # hold line breaks, so a line end is no safe place to cut.
                keep = int(np.searchsorted(ends, room, side="right"))
                if keep == 0:
                    break
                rows = rows[:keep]
            block = b"".join(rows)
            f.write(block)
            written += len(block)
    os.replace(tmp, path)


def stray_quote_line(rng: np.random.Generator, size: int) -> bytes:
    """One line of `size` bytes: short words and commas with a quote in about
    one byte in eight, none of them pairing up into a sensible field."""
    alphabet = np.frombuffer(b'abcdefghij,""""" ', dtype=np.uint8)
    weights = np.array([6] * 10 + [6, 2, 2, 2, 2, 2, 4], dtype=float)
    weights /= weights.sum()
    body = rng.choice(alphabet, size=size - 1, p=weights).astype(np.uint8).tobytes()
    return body + b"\n"


def unterminated_field(rng: np.random.Generator, size: int) -> bytes:
    """An opening quote and then `size` bytes of ordinary rows that never see
    the closing quote."""
    pool = narrow_pool(rng, 2000)
    idx = rng.integers(0, len(pool), size // 30 + 1)
    body = b"".join(operator.itemgetter(*idx)(pool))[: size - 1]
    return b'"' + body


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--max-mb", type=int, default=None, help="skip sizes above this")
    ap.add_argument("--only", nargs="*", default=None, help="dataset names to write")
    ap.add_argument("--force", action="store_true", help="rewrite files that already exist")
    args = ap.parse_args(argv)

    DATA_DIR.mkdir(parents=True, exist_ok=True)
    wanted = set(args.only) if args.only else None

    def want(kind: str, mb: int) -> bool:
        if wanted is not None and kind not in wanted:
            return False
        return args.max_mb is None or mb <= args.max_mb

    builders = {
        "clean_narrow": (NARROW_HEADER, lambda r: narrow_pool(r, 20_000), None),
        "messy": (NARROW_HEADER, lambda r: narrow_pool(r, 20_000), 0.05),
        "clean_wide": (WIDE_HEADER, lambda r: wide_pool(r, 4_000), None),
        "quote_heavy": (QUOTE_HEADER, lambda r: quote_pool(r, 8_000), None),
    }
    for kind, (header, make_pool, damaged_share) in builders.items():
        for mb in SIZES[kind]:
            if not want(kind, mb):
                continue
            path = DATA_DIR / file_name(kind, mb)
            if path.exists() and not args.force:
                continue
            t0 = time.perf_counter()
            # One seed per file: a file's bytes do not depend on which others
            # were asked for.
            rng = np.random.default_rng([SEED, mb, sum(kind.encode())])
            pool = make_pool(rng)
            damaged = damaged_pool(rng, pool) if damaged_share else None
            write_from_pool(path, header, pool, mb * MB, rng, damaged, damaged_share or 0.0)
            print(f"{path.name}: {path.stat().st_size / MB:.1f} MB in {time.perf_counter() - t0:.1f} s")

    for kind, make in (("pathological_quotes", stray_quote_line), ("pathological_unterminated", unterminated_field)):
        if not want(kind, PATHOLOGICAL_MB):
            continue
        path = DATA_DIR / file_name(kind, PATHOLOGICAL_MB)
        if path.exists() and not args.force:
            continue
        rng = np.random.default_rng([SEED, PATHOLOGICAL_MB, sum(kind.encode())])
        path.write_bytes(make(rng, PATHOLOGICAL_MB * MB))
        print(f"{path.name}: {path.stat().st_size / MB:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
