"""Reports of a read's partitions merged into one: counts add up, records are
cut at max_records in partition order, histograms are re-binned by line."""

import pytest

from rowmend import LineHistogram, QuarantineRecord, RepairRecord, Report
from rowmend._partitions import merge_histograms, merge_reports


def part(quarantined=(), repaired=(), skipped=0, encoding="utf-8", lines=None):
    """A report of a partition: quarantined and repaired rows at the lines given, plus blank lines."""
    kept = 3 + len(repaired)
    return Report(
        total_rows=kept + len(quarantined) + skipped,
        salvaged_rows=kept,
        repaired_rows=len(repaired),
        quarantined_rows=len(quarantined),
        skipped_rows=skipped,
        skipped={"blank": skipped} if skipped else {},
        delimiter=",",
        columns=2,
        encoding=encoding,
        replaced_bytes=0,
        quarantine=tuple(QuarantineRecord(line, "too many fields", "a,b,c") for line in quarantined),
        repairs=tuple(RepairRecord(line, "filled", "a", ("a", "")) for line in repaired),
        lines=lines,
    )


@pytest.mark.parametrize(
    "histograms, expected",
    [
        # Widths 1 and 4: the wider wins, the narrow bins fall inside its bins.
        (
            [LineHistogram(1, 5, {"filled": (0, 1, 0, 0, 1)}), LineHistogram(4, 12, {"filled": (0, 0, 3)})],
            LineHistogram(4, 12, {"filled": (1, 1, 3)}),
        ),
        # Lines beyond 256 bins of the widest width double it until they fit.
        (
            [LineHistogram(2, 400, {"merged": (1,) + (0,) * 199}), LineHistogram(1, 1000, {"merged": (0,) * 999 + (2,)})],
            LineHistogram(4, 1000, {"merged": (1,) + (0,) * 248 + (2,)}),
        ),
        # Actions only one part saw still cover every bin.
        (
            [LineHistogram(1, 2, {"filled": (1, 0)}), LineHistogram(1, 3, {"blank": (0, 0, 1)})],
            LineHistogram(1, 3, {"filled": (1, 0, 0), "blank": (0, 0, 1)}),
        ),
    ],
)
def test_histograms_merge_by_line(histograms, expected):
    merged = merge_histograms(histograms)
    assert merged == expected and merged.counts == expected.counts
    assert merged.totals() == {
        action: sum(h.totals().get(action, 0) for h in histograms) for action in expected.totals()
    }


@pytest.mark.parametrize(
    "parts, max_records, quarantine_lines, repair_lines",
    [
        ([part((2, 5)), part((9,), (11, 12))], 10, [2, 5, 9], [11, 12]),
        # The first max_records of each kind, in partition order.
        ([part((2, 5), (3,)), part((9, 10), (11, 12))], 3, [2, 5, 9], [3, 11, 12]),
        ([part((2,), (3,)), part((9,), (11,))], 0, [], []),
    ],
)
def test_reports_merge_in_partition_order(parts, max_records, quarantine_lines, repair_lines):
    merged = merge_reports(parts, max_records=max_records)
    for name in ("total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "skipped_rows"):
        assert getattr(merged, name) == sum(getattr(p, name) for p in parts)
    assert [r.line for r in merged.quarantine] == quarantine_lines
    assert [r.line for r in merged.repairs] == repair_lines


def test_merge_keeps_what_differs_and_round_trips_as_data():
    parts = [
        part(skipped=2, lines=LineHistogram(1, 4, {"blank": (0, 1, 1, 0)})),
        part((7,), encoding="cp1252", skipped=1, lines=LineHistogram(1, 8, {"blank": (0,) * 7 + (1,)})),
    ]
    merged = merge_reports(parts)
    assert merged.encoding == "utf-8|cp1252" and merged.skipped == {"blank": 3}
    assert merge_reports(parts[:1] + [part()]).lines is None  # a part without histogram: none is made up
    again = Report.from_dict(merged.to_dict(lines=True))
    assert again == merged and again.lines == merged.lines
    with pytest.raises(ValueError, match="at least one report"):
        merge_reports([])
