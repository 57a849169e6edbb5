"""How well each reader types columns whose values are written in dirty ways, cell by cell.

Writes one file per pollution type and seed (``typed_pollution_cases``),
has every contender read it with its type inference and no hints (the
header row is the only thing said), and scores each cell of the truth:

- *type*: the cell came out as its kind (an int for an integer, a float or
  a decimal for a decimal, a bool, a date, a str for text); a missing value
  counts when it came out missing;
- *value*: the cell came out as its value (a decimal within 1e-9 of it, a
  date equal to it; a text kept as that text). A row a reader drops loses
  all its cells; a reader that fails on a file scores 0 there. A text that
  does not fit its column counts as kept when the reader kept it anywhere
  in its row (rowmend's ``NAME_raw``, a string column).

    python bench/typed_pollution.py --seeds 2 --out docs/benchmarks/typed_pollution.json

Scoring runs are not timings: each reader runs once per file. Spark's CSV
source runs in a local session when pyspark and Java are there, and is
skipped with the reason otherwise.
"""

from __future__ import annotations

import argparse
import datetime
import decimal
import json
import math
import pathlib
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from typed_pollution_cases import COLUMNS, POLLUTIONS, Case, cells, make_case  # noqa: E402

DATA = HERE / "data" / "typed_pollution"

Columns = Dict[str, List[Any]]


def _arrow_columns(table: Any) -> Columns:
    return {name: table.column(name).to_pylist() for name in table.column_names}


def read_rowmend(path: str) -> Columns:
    import rowmend

    return _arrow_columns(rowmend.read_arrow(path, dtypes="infer"))


def read_duckdb(path: str) -> Columns:
    import duckdb

    relation = duckdb.read_csv(path)
    table = relation.to_arrow_table() if hasattr(relation, "to_arrow_table") else relation.arrow()
    return _arrow_columns(table)


def read_polars_default(path: str) -> Columns:
    import polars

    return polars.read_csv(path).to_dict(as_series=False)


def read_polars_full(path: str) -> Columns:
    import polars

    return polars.read_csv(path, infer_schema_length=None).to_dict(as_series=False)


def _pandas_columns(frame: Any) -> Columns:
    out: Columns = {}
    for name in frame.columns:
        values = []
        for value in frame[name].tolist():
            if value is not None and not isinstance(value, str) and _is_nan(value):
                value = None
            elif hasattr(value, "item") and not isinstance(value, (str, bytes)):
                value = value.item()
            values.append(value)
        out[str(name)] = values
    return out


def read_pandas(path: str) -> Columns:
    import pandas

    with open(path, encoding="utf-8") as f:
        first = f.readline()
    # pandas takes the comma unless told; told nothing else, it is told what its sniffer says.
    sep = None if first.count(";") > first.count(",") else ","
    return _pandas_columns(pandas.read_csv(path, sep=sep, engine="python" if sep is None else "c"))


def read_pyarrow(path: str) -> Columns:
    import pyarrow.csv

    return _arrow_columns(pyarrow.csv.read_csv(path))


def read_clevercsv(path: str) -> Columns:
    import clevercsv

    return _pandas_columns(clevercsv.read_dataframe(path))


_SPARK: List[Any] = []


def _spark() -> Any:
    if not _SPARK:
        from pyspark.sql import SparkSession

        session = SparkSession.builder.master("local[1]").appName("typed-pollution").getOrCreate()
        session.sparkContext.setLogLevel("OFF")
        _SPARK.append(session)
    return _SPARK[0]


def read_spark(path: str) -> Columns:
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    sep = ";" if first.count(";") > first.count(",") else ","  # Spark takes the comma unless told
    frame = _spark().read.csv(path, header=True, inferSchema=True, sep=sep, mode="PERMISSIVE")
    rows = frame.collect()
    return {name: [row[name] for row in rows] for name in frame.columns}


READERS: Dict[str, Callable[[str], Columns]] = {
    "rowmend": read_rowmend,
    "duckdb": read_duckdb,
    "polars": read_polars_default,
    "polars (full schema)": read_polars_full,
    "pandas": read_pandas,
    "pyarrow.csv": read_pyarrow,
    "clevercsv": read_clevercsv,
    "spark": read_spark,
}


def _is_nan(value: Any) -> bool:
    try:
        return isinstance(value, float) and math.isnan(value)
    except TypeError:
        return False


def _kind_of(value: Any) -> Optional[str]:
    if value is None or _is_nan(value):
        return None
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, decimal.Decimal) and value.as_tuple().exponent == 0:
        return "integer"  # an exact integer type past int64 (decimal128 with no places, HUGEINT)
    if isinstance(value, (float, decimal.Decimal)):
        return "decimal"
    if isinstance(value, (datetime.date, datetime.datetime)):
        return "date"
    return "string"


def _same(truth: Any, kind: str, got: Any) -> bool:
    if truth is None:
        return got is None or _is_nan(got)
    if got is None or _is_nan(got):
        return False
    if isinstance(truth, str):
        return isinstance(got, str) and got == truth
    if kind == "boolean":
        return isinstance(got, bool) and got == truth
    if kind == "date":
        if isinstance(got, datetime.datetime):
            return got.date() == truth and got.time() == datetime.time()
        return isinstance(got, datetime.date) and got == truth
    if kind in ("integer", "decimal") and not isinstance(got, bool) and isinstance(got, (int, float, decimal.Decimal)):
        if isinstance(got, float):
            return abs(got - float(truth)) <= 1e-9 * max(1.0, abs(float(truth))) and (
                kind == "decimal" or decimal.Decimal(got) == truth
            )
        return decimal.Decimal(got) == decimal.Decimal(truth)
    return False


def score(case: Case, got: Columns) -> Tuple[float, float]:
    """The case's type and value accuracy over every cell of its truth."""
    rows = {name: values for name, values in got.items()}
    typed = right = total = 0
    for index, column, kind, value in cells(case):
        total += 1
        values = rows.get(column)
        if values is None or index >= len(values):
            continue
        cell = values[index]
        misfit = isinstance(value, str) and kind != "string"
        if misfit:
            # A text that fits no number: kept if the reader kept it anywhere in the row.
            kept = any(isinstance(v[index], str) and v[index] == value for v in rows.values() if index < len(v))
            typed += cell is None or isinstance(cell, str)
            right += kept
            continue
        got_kind = _kind_of(cell)
        typed += got_kind == (None if value is None else kind)
        right += _same(value, kind, cell)
    return typed / total, right / total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=1, help="files per pollution type")
    parser.add_argument("--rows", type=int, default=2000, help="rows per file")
    parser.add_argument("--readers", nargs="*", default=list(READERS), help="contenders to run")
    parser.add_argument("--out", type=pathlib.Path, help="write the scores as JSON (and a Markdown table beside it)")
    args = parser.parse_args()
    DATA.mkdir(parents=True, exist_ok=True)
    results: Dict[str, Dict[str, Dict[str, float]]] = {}
    skipped: Dict[str, str] = {}
    failures: Dict[str, Dict[str, str]] = {}
    for pollution in POLLUTIONS:
        for seed in range(args.seeds):
            case = make_case(pollution, seed, args.rows)
            path = DATA / f"{case.name}.csv"
            path.write_bytes(case.data)
            for reader in args.readers:
                if reader in skipped:
                    continue
                try:
                    got = READERS[reader](str(path))
                    type_score, value_score = score(case, got)
                except ImportError as error:
                    skipped[reader] = f"not installed: {error}"
                    continue
                except Exception as error:  # a reader that fails scores 0 on the file
                    failures.setdefault(reader, {})[case.name] = f"{type(error).__name__}: {str(error)[:200]}"
                    type_score = value_score = 0.0
                entry = results.setdefault(pollution, {}).setdefault(reader, {"type": 0.0, "value": 0.0})
                entry["type"] += type_score / args.seeds
                entry["value"] += value_score / args.seeds
    table = ["| pollution | " + " | ".join(r for r in args.readers if r not in skipped) + " |"]
    table.append("|---" * (1 + len([r for r in args.readers if r not in skipped])) + "|")
    for pollution, scores in results.items():
        cells_ = [f"{scores[r]['type']:.3f} / {scores[r]['value']:.3f}" for r in args.readers if r in scores]
        table.append(f"| {pollution} | " + " | ".join(cells_) + " |")
    print("type / value accuracy per cell")
    print("\n".join(table))
    for reader, reason in skipped.items():
        print(f"skipped {reader}: {reason}")
    for reader, files in failures.items():
        for name, error in files.items():
            print(f"{reader} failed on {name}: {error}")
    if args.out is not None:
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(
            json.dumps({"rows": args.rows, "seeds": args.seeds, "scores": results, "skipped": skipped,
                        "failures": failures}, indent=2) + "\n"
        )
        notes = [f"- {reader} skipped: {reason}" for reader, reason in skipped.items()]
        notes += [f"- {reader} failed on {name}" for reader, files in failures.items() for name in files]
        args.out.with_suffix(".md").write_text(
            "# Typed columns from dirty files\n\n"
            "Made by `python bench/typed_pollution.py` "
            f"({args.seeds} file(s) of {args.rows:,} rows per pollution; see the script for the pollutions and "
            "the scoring). Each cell: type accuracy / value accuracy, 1.000 being every cell right; a reader "
            "that fails on a file scores 0 there.\n\n" + "\n".join(table) + "\n" + ("\n" + "\n".join(notes) + "\n" if notes else "")
        )


if __name__ == "__main__":
    main()
