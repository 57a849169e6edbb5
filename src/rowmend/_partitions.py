"""One table read as many partitions: the layout settled once, each part conformed, the reports merged.

Dask's and Spark's readers share this: the first file settles the layout
(:func:`plan_read`), every partition is read with it and conformed to the
first file's columns and types (:func:`conform`), and the partitions'
reports become one (:func:`merge_reports`).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, ContextManager, Dict, List, Mapping, Optional, Sequence

import pyarrow as pa
import pyarrow.compute as pc

from rowmend._detect import settle_layout
from rowmend._options import DEFAULT_MAX_RECORDS, Options
from rowmend._outputs import named
from rowmend._records import LineHistogram, Note, QuarantineRecord, RepairRecord
from rowmend._report import Report
from rowmend._sources import open_source
from rowmend._tables import names_schema, read_arrow

__all__ = ["ReadPlan", "conform", "merge_histograms", "merge_reports", "plan_read"]

# The options that type columns, settled on the first file alone.
_TYPING = ("dtypes", "null_values", "decimal", "thousands", "nulls_in_text")

# The engine's histogram keeps at most this many bins, doubling their width
# as lines outrun them; a merged one keeps to the same.
_MAX_BINS = 256


@dataclass(frozen=True)
class ReadPlan:
    """What every partition of a read takes from the first file.

    Attributes:
        schema: The columns and types of the result.
        options: The reading options of each partition: the caller's, with
            the first file's delimiter, quote, escape and column count fixed
            (types are not inferred per partition but conformed to ``schema``).
        first: The first file's name, for the messages about the others.
        encoding: The first file's text encoding, on whose code units
            byte ranges are cut.
    """

    schema: pa.Schema
    options: Dict[str, Any]
    first: str
    encoding: str = "utf-8"


def plan_read(first: Callable[[], ContextManager[Any]], name: str, options: Mapping[str, Any], resolved: Options) -> ReadPlan:
    """Settle the layout from the first file and plan every partition's read.

    ``first`` opens the first file (shown as ``name``) afresh each time it
    is called, as a context manager giving what the reading functions take.
    Only as many of its rows as settle the layout are read, but for
    ``dtypes="infer"``, whose types need the whole first file.
    """
    try:
        with first() as source, open_source(source) as opened:
            layout = settle_layout(opened, resolved)
    except OSError as error:
        raise named(error, name) if error.filename is None else error from None
    if layout is None:
        raise ValueError(f"{name}: the first file holds no row to take the layout from")
    assert layout.names is not None, "a detected layout names its columns"
    schema, _ = names_schema(list(layout.names), resolved)
    # Every file is read with the first file's layout; types are settled after.
    partition_options = {
        **options,
        "delimiter": layout.delimiter,
        "quote_char": layout.quote_char,
        "escape_char": layout.escape_char,
        "expected_columns": layout.columns,
    }
    # The typing options reach the first file's typed read only; the other
    # partitions are conformed to the types it settles.
    typing = {key: options[key] for key in _TYPING if key in options}
    for key in _TYPING:
        partition_options.pop(key, None)
    if resolved.layout is not None:
        partition_options["layout"] = resolved.layout  # read once here, not from a path on every worker
    if resolved.dtypes is not None:
        with first() as source:
            schema = read_arrow(source, **{**partition_options, **typing}).schema
    return ReadPlan(schema, partition_options, name, layout.encoding)


def conform(table: pa.Table, plan: ReadPlan, name: str) -> pa.Table:
    """The table with the first file's columns and types, or ValueError naming the file.

    Text stays text: a column that is only wider (``large_string``, as a
    batch of over 2 GiB of text is) is cast as it is, its empty fields kept.
    """
    schema = plan.schema
    if table.column_names != schema.names:
        raise ValueError(
            f"{name}: its columns {table.column_names} differ from {schema.names}, "
            f"those of the first file ({plan.first}); read files of different layouts separately"
        )
    columns = []
    for field, column in zip(schema, table.columns):
        if column.type != field.type:
            if not (_is_text(column.type) and _is_text(field.type)):
                # As type inference reads them: an empty field is a missing value.
                column = pc.if_else(pc.equal(column, ""), pa.scalar(None, column.type), column)
            try:
                column = pc.cast(column, field.type)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
                raise ValueError(
                    f"{name}: column {field.name!r} does not convert to {field.type}, "
                    f"its type in the first file ({plan.first}): {error}"
                ) from None
        columns.append(column)
    return pa.Table.from_arrays(columns, schema=schema)


def _is_text(kind: pa.DataType) -> bool:
    return bool(pa.types.is_string(kind) or pa.types.is_large_string(kind))


def merge_histograms(histograms: Sequence[LineHistogram]) -> Optional[LineHistogram]:
    """One histogram of the lines the given ones count, bins as wide as the widest (doubled to fit).

    A line counted in several (the same line of different files) is counted
    once per histogram. None when none is given.

    Examples:
        >>> a = LineHistogram(1, 3, {"filled": (0, 1, 1)})
        >>> b = LineHistogram(2, 6, {"filled": (0, 0, 2), "merged": (1, 0, 0)})
        >>> merge_histograms([a, b])
        LineHistogram(bin_lines=2, last_line=6, counts={'filled': (1, 1, 2), 'merged': (1, 0, 0)})
    """
    if not histograms:
        return None
    last_line = max(h.last_line for h in histograms)
    width = max(h.bin_lines for h in histograms)
    while -(-last_line // width) > _MAX_BINS:
        width *= 2
    bins = -(-last_line // width)
    counts: Dict[str, List[int]] = {}
    for histogram in histograms:
        for action, old in histogram.counts.items():
            new = counts.setdefault(action, [0] * bins)
            for index, count in enumerate(old):
                if count:
                    # A bin of the old width lies within one of the new when
                    # the widths are powers of two, as the engine's are;
                    # otherwise its count goes where its first line falls.
                    new[min(index * histogram.bin_lines // width, bins - 1)] += count
    return LineHistogram(width, last_line, {action: tuple(bins_) for action, bins_ in counts.items()})


def merge_reports(reports: Sequence[Report], *, max_records: int = DEFAULT_MAX_RECORDS) -> Report:
    """One report for partitions read as parts of one read, in their order.

    Counts add up; the quarantine records, and the repair records of each
    action, are those of the parts in order, the first ``max_records`` of
    each kept; the line histograms are merged by line. The parts' lines are
    their input's own: the ranges of one file carry the file's true lines,
    and for many files each record keeps the line in its own file (the
    histogram then counts each line number over all files). The layout
    (delimiter, columns, header) is the first part's; the encoding is the
    first part's when all agree, else the distinct ones joined by ``"|"``;
    notes are kept once each, in order.

    Raises:
        ValueError: No report is given.

    Examples:
        >>> a = Report(total_rows=2, salvaged_rows=2, repaired_rows=1, quarantined_rows=0,
        ...            delimiter=",", columns=2, encoding="utf-8", replaced_bytes=0)
        >>> b = Report(total_rows=3, salvaged_rows=2, repaired_rows=0, quarantined_rows=1,
        ...            delimiter=",", columns=2, encoding="utf-8", replaced_bytes=0,
        ...            quarantine=(QuarantineRecord(9, "too many fields", "a,b,c"),))
        >>> merged = merge_reports([a, b])
        >>> merged.total_rows, merged.repaired_rows, [r.line for r in merged.quarantine]
        (5, 1, [9])
    """
    if not reports:
        raise ValueError("merge_reports needs at least one report")
    first = reports[0]
    skipped: Dict[str, int] = {}
    for report in reports:
        for kind, count in report.skipped.items():
            skipped[kind] = skipped.get(kind, 0) + count
    quarantine: List[QuarantineRecord] = []
    repairs: List[RepairRecord] = []
    per_action: Dict[str, int] = {}
    notes: Dict[Note, None] = {}
    for report in reports:
        room = max_records - len(quarantine)
        quarantine.extend(report.quarantine[: max(room, 0)])
        for repair in report.repairs:
            kept = per_action.get(repair.action, 0)
            if kept < max_records:
                per_action[repair.action] = kept + 1
                repairs.append(repair)
        notes.update(dict.fromkeys(report.notes))
    encodings = list(dict.fromkeys(report.encoding for report in reports))
    histograms = [report.lines for report in reports if report.lines is not None]
    return Report(
        total_rows=sum(report.total_rows for report in reports),
        salvaged_rows=sum(report.salvaged_rows for report in reports),
        repaired_rows=sum(report.repaired_rows for report in reports),
        quarantined_rows=sum(report.quarantined_rows for report in reports),
        delimiter=first.delimiter,
        columns=first.columns,
        encoding="|".join(encodings),
        replaced_bytes=sum(report.replaced_bytes for report in reports),
        quarantine=tuple(quarantine),
        skipped_rows=sum(report.skipped_rows for report in reports),
        skipped=skipped,
        repairs=tuple(repairs),
        lines=merge_histograms(histograms) if len(histograms) == len(reports) else None,
        header=first.header,
        header_rows=sum(report.header_rows for report in reports),
        notes=tuple(notes),
    )

