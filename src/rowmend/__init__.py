"""Rescue corrupted CSV files: every row kept, repaired or set aside with its reason.

rowmend reads CSV files that strict parsers refuse (stray quotes, ragged
rows, mixed encodings, truncated lines) and hands the rows on as Arrow,
pandas or Polars tables, or writes a clean file. Rows that cannot be
repaired are never dropped silently: the :class:`Report` of each run counts
them and keeps them with their line and the reason.

Examples:
    >>> import io, rowmend
    >>> rowmend.read_arrow(io.BytesIO(b"a;b\\n1;2\\n")).to_pydict()
    {'a': ['1'], 'b': ['2']}
    >>> rowmend.Report(total_rows=2, salvaged_rows=2, repaired_rows=0, quarantined_rows=0,
    ...                delimiter=";", columns=3, encoding="utf-8", replaced_bytes=0).to_dict()["delimiter"]
    ';'
"""

from rowmend._clean import clean
from rowmend._errors import (
    CleanManyError,
    DecompressionError,
    LayoutDriftError,
    LayoutDriftWarning,
    NotTextError,
    RowmendWarning,
)
from rowmend._detect import detect
from rowmend._layout import Layout
from rowmend._many import clean_many
from rowmend._records import LineHistogram, Note, QuarantineRecord, RepairRecord
from rowmend._report import Report
from rowmend._tables import RowStream, read_arrow, read_pandas, read_polars, stream
from rowmend._types import ColumnType, MisfitRecord

# CMake's project() version, compiled into the native module: the same in a
# wheel, an editable install and a build tree on the path.
from rowmend._native import __version__ as __version__

__all__ = [
    "CleanManyError",
    "ColumnType",
    "DecompressionError",
    "Layout",
    "LayoutDriftError",
    "LayoutDriftWarning",
    "LineHistogram",
    "MisfitRecord",
    "NotTextError",
    "Note",
    "QuarantineRecord",
    "RepairRecord",
    "Report",
    "RowStream",
    "RowmendWarning",
    "read_arrow",
    "read_pandas",
    "read_polars",
    "clean",
    "clean_many",
    "detect",
    "stream",
]
