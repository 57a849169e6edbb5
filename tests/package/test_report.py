"""The report of a run: counters, records, and their limits."""

import json
import re
import pickle

import pytest

import rowmend

RECORDS = (
    rowmend.QuarantineRecord(3, "too many fields", "a,b,c,d"),
    rowmend.QuarantineRecord(7, "too few fields", "x" * 10_000),
)


def make_report(**changes):
    values = dict(
        total_rows=10,
        salvaged_rows=8,
        repaired_rows=1,
        quarantined_rows=2,
        delimiter=";",
        columns=3,
        encoding="cp1252",
        replaced_bytes=0,
        quarantine=RECORDS,
    )
    return rowmend.Report(**{**values, **changes})


def test_to_dict_uses_the_attribute_names_and_is_plain_data():
    report = make_report()
    data = report.to_dict()
    assert list(data) == [
        "total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows",
        "delimiter", "columns", "encoding", "replaced_bytes", "quarantine", "skipped_rows", "skipped", "repairs", "header",
        "header_rows", "notes", "column_types", "misfits", "misfit_records",
    ]
    assert data["quarantine"][0] == {"line": 3, "reason": "too many fields", "raw": "a,b,c,d"}
    assert json.loads(json.dumps(data)) == data


NOTES = (rowmend.Note("second-table", "lines 40-52 hold a second table, set aside"), ("owner-not-kept", "out.csv"))


def test_reports_pickle_under_the_public_name():
    report = make_report(notes=NOTES, header_rows=2)
    payload = pickle.dumps(report)
    assert b"_report" not in payload  # stored pickles survive moving the class between modules
    assert pickle.loads(payload) == report
    assert pickle.loads(payload).notes[1] == rowmend.Note("owner-not-kept", "out.csv")


def test_notes_travel_as_plain_data_and_come_back_the_same():
    report = make_report(notes=NOTES)
    data = json.loads(json.dumps(report.to_dict()))
    assert data["notes"][0] == {"code": "second-table", "message": "lines 40-52 hold a second table, set aside"}
    assert rowmend.Report.from_dict(data) == report
    assert all(isinstance(note, rowmend.Note) for note in rowmend.Report.from_dict(data).notes)


@pytest.mark.parametrize(
    "change, words",
    [
        (lambda data: data.pop("columns"), "lacks the field(s) 'columns'"),
        (lambda data: data.update(rows=3), "unknown report field(s) 'rows'"),
        (lambda data: data["quarantine"][0].pop("raw"), "not a report: TypeError"),
        (lambda data: data["repairs"].append({"line": 1, "action": "filled", "raw": "a"}), "not a report: KeyError"),
        (lambda data: data["notes"].append({"code": "x"}), "not a report: TypeError"),
        (lambda data: data.update(total_rows=11), "total_rows must equal"),
        (lambda data: data.update(lines={"bin_lines": 0, "last_line": 1, "counts": {}}), "bin_lines must be at least 1"),
    ],
)
def test_data_that_is_no_report_is_refused_by_name(change, words):
    data = make_report().to_dict()
    change(data)
    with pytest.raises(ValueError, match=re.escape(words)):
        rowmend.Report.from_dict(data)
    with pytest.raises(ValueError, match="not list"):
        rowmend.Report.from_dict([])


def test_repr_names_the_attributes_and_stays_short():
    text = repr(make_report(quarantine=RECORDS * 3, quarantined_rows=6, total_rows=14))
    assert text.startswith("Report(total_rows=14, salvaged_rows=8, repaired_rows=1, quarantined_rows=6, delimiter=';'")
    assert "encoding='cp1252', replaced_bytes=0, quarantine=(QuarantineRecord(line=3," in text
    assert text.count("QuarantineRecord(") == 3 and len(text) < 800


@pytest.mark.parametrize(
    "changes, words",
    [
        ({"total_rows": 11}, "total_rows must equal"),
        ({"skipped_rows": 1}, "total_rows must equal"),
        ({"total_rows": 11, "skipped_rows": 1, "skipped": {"blank": 2}}, "must add up to skipped_rows"),
        ({"total_rows": 11, "skipped_rows": 1, "skipped": {"blank": -1, "comment": 2}}, "cannot be negative"),
        ({"repaired_rows": 9}, "repaired_rows cannot exceed"),
        ({"quarantined_rows": 1, "total_rows": 9}, "more quarantine records"),
        ({"replaced_bytes": -1}, "cannot be negative"),
        ({"header_rows": -1}, "cannot be negative"),
    ],
)
def test_inconsistent_counts_are_refused(changes, words):
    with pytest.raises(ValueError, match=words):
        make_report(**changes)


def test_notes_are_shown_escaped_in_the_html_summary():
    from rowmend._html import report_fragment

    page = report_fragment(make_report(notes=[("owner-not-kept", "<b>out.csv</b> kept its mode")]))
    assert '<li data-note="owner-not-kept">&lt;b&gt;out.csv&lt;/b&gt; kept its mode</li>' in page
    assert "<ul class=notes>" not in report_fragment(make_report())


@pytest.mark.parametrize(
    "skipped, read_as",
    [
        # Saved before later tables had a kind of their own: they are in "footer".
        ({"blank": 1, "comment": 0, "preamble": 0, "footer": 2}, {"blank": 1, "comment": 0, "preamble": 0,
                                                                  "footer": 2, "section": 0}),
        ({"blank": 1, "comment": 0, "preamble": 0, "footer": 0, "section": 2}, None),
        ({"blank": 3}, None),
    ],
)
def test_reports_saved_with_the_older_skip_kinds_read_back(skipped, read_as):
    data = make_report(total_rows=13, skipped_rows=3, skipped=skipped).to_dict()
    again = rowmend.Report.from_dict(json.loads(json.dumps(data)))
    assert again.skipped == (read_as or skipped) and again.skipped_rows == 3


def test_a_later_table_is_counted_and_set_aside_as_a_section(tmp_path):
    source = tmp_path / "two.csv"
    source.write_bytes(b"id,name,amount\n1,ana,2.5\n2,bo,3\nsku,qty,price,store\nA1,3,2.5,n\nA2,4,2.5,s\n")
    report = rowmend.clean(source, tmp_path / "out.csv", quarantine=tmp_path / "q.csv")
    assert report.skipped["section"] == 3 and report.skipped["footer"] == 0
    assert (tmp_path / "q.skipped.csv").read_text().splitlines() == [
        "line,kind,raw_content", '4,"section","sku,qty,price,store"', '5,"section","A1,3,2.5,n"',
        '6,"section","A2,4,2.5,s"',
    ]
