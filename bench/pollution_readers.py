"""The contenders of the pollution benchmark: each reads a file with no hints.

Every reader takes a path and returns a :class:`~pollution_score.Reading`
(header or None, records as lists of str). A reader that raises has failed
on that file; the benchmark scores it 0 there and counts the failure.
"""

from __future__ import annotations

import csv
import datetime
import re
from typing import Callable, Dict, List, Optional, Sequence

from pollution_score import Reading

__all__ = ["READERS", "SAMPLE_BYTES"]

#: How much of a file the sniffers look at.
SAMPLE_BYTES = 64 * 1024


def _sample(path: str) -> str:
    with open(path, "rb") as f:
        return f.read(SAMPLE_BYTES).decode("utf-8", errors="replace")


def _header_or_none(names: Sequence[str], placeholder: "re.Pattern[str]") -> Optional[List[str]]:
    """Column names as a header: None when every name is the reader's placeholder."""
    if all(placeholder.fullmatch(name) for name in names):
        return None
    return list(names)


_ROWMEND_PLACEHOLDER = re.compile(r"column_\d+")


def read_rowmend(path: str) -> Reading:
    """``rowmend.read_arrow`` with its defaults; ``column_i`` names mean no header.

    A lone placeholder among real names (an empty header cell) counts as an
    empty name.
    """
    import rowmend

    table = rowmend.read_arrow(path)
    names = table.column_names
    header = _header_or_none(names, _ROWMEND_PLACEHOLDER)
    if header is not None:
        header = ["" if name == f"column_{i + 1}" else name for i, name in enumerate(header)]
    columns = [["" if v is None else str(v) for v in col.to_pylist()] for col in table.columns]
    return Reading(header, [list(r) for r in zip(*columns)])


def read_backend(path: str) -> Reading:
    """``_rowmend_backend.open`` with no options; its first row is the header."""
    import _rowmend_backend

    rows = [list(r) for r in _rowmend_backend.open(path)]
    return Reading(rows[0] if rows else None, rows[1:])


def _duckdb_text(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (datetime.date, datetime.datetime, datetime.time)):
        return value.isoformat(sep=" ") if isinstance(value, datetime.datetime) else value.isoformat()
    return str(value)


_DUCKDB_PLACEHOLDER = re.compile(r"column\d+")


def read_duckdb(path: str) -> Reading:
    """``duckdb.read_csv`` with its auto-detection; typed values printed back as text."""
    import duckdb

    with duckdb.connect() as con:
        relation = con.read_csv(path)
        names = relation.columns
        rows = relation.fetchall()
    return Reading(_header_or_none(names, _DUCKDB_PLACEHOLDER), [[_duckdb_text(v) for v in r] for r in rows])


def read_pandas_sniffer(path: str) -> Reading:
    """``csv.Sniffer`` on the first 64 KiB, then ``pandas.read_csv`` in that dialect."""
    import pandas

    sample = _sample(path)
    sniffer = csv.Sniffer()
    dialect = sniffer.sniff(sample)
    has_header = sniffer.has_header(sample)
    frame = pandas.read_csv(
        path,
        sep=dialect.delimiter,
        quotechar=dialect.quotechar,
        doublequote=dialect.doublequote,
        escapechar=dialect.escapechar,
        skipinitialspace=dialect.skipinitialspace,
        header=0 if has_header else None,
        dtype=str,
        keep_default_na=False,
        on_bad_lines="skip",
    )
    header = [str(c) for c in frame.columns] if has_header else None
    return Reading(header, [["" if v is None else str(v) for v in r] for r in frame.itertuples(index=False)])


def read_clevercsv(path: str) -> Reading:
    """``clevercsv.read_table``; its first row is the header when ``Sniffer.has_header`` says so."""
    import clevercsv

    rows = clevercsv.read_table(path)
    has_header = bool(rows) and clevercsv.Sniffer().has_header(_sample(path))
    return Reading(rows[0] if has_header else None, rows[1:] if has_header else rows)


#: The contenders by the name the score table gives them.
READERS: Dict[str, Callable[[str], Reading]] = {
    "rowmend": read_rowmend,
    "backend": read_backend,
    "duckdb": read_duckdb,
    "pandas+sniffer": read_pandas_sniffer,
    "clevercsv": read_clevercsv,
}
