"""What a run shows people: the line histogram, the records as a table, the HTML report, progress bars."""

import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys

import pytest

import rowmend
from rowmend._html import MissingExtraError
from rowmend.cli import main

# Lines 2.. hold rows of a,b,c; the damaged ones are short (filled) or long (merged).
def damaged(lines, short=(), long=()):
    rows = [b"a,b,c"]
    for line in range(2, lines + 1):
        rows.append(b"1,2" if line in short else b"1,2,3,4" if line in long else b"1,2,3")
    return b"\n".join(rows) + b"\n"


@pytest.mark.parametrize(
    "lines, short, long",
    [
        (5, {3}, {5}),
        (257, {2, 256, 257}, {100}),  # the first fold: 257 lines outrun 256 bins
        (100_000, set(range(7, 100_000, 997)), {99_999, 50_000}),
    ],
)
def test_the_histogram_places_every_repaired_row(lines, short, long):
    s = rowmend.stream(io.BytesIO(damaged(lines, short, long)), header=True)
    list(s)
    h = s.report.lines
    assert h.last_line == lines and h.totals() == {"filled": len(short), "merged": len(long)}
    assert h.bins == -(-lines // h.bin_lines) <= 256
    for name, rows in (("filled", short), ("merged", long)):
        expected = [0] * h.bins
        for line in rows:
            expected[(line - 1) // h.bin_lines] += 1
        assert list(h.counts[name]) == expected


def test_records_list_every_action_first_n_of_each_as_one_table(tmp_path):
    data = b"Exported 2024\n\nid,name,qty\n" + damaged(30, short={4, 6, 8}, long={10})[6:] + b"x\n"
    report = rowmend.clean(io.BytesIO(data), tmp_path / "out.csv", record_repairs=True, max_records=2, fill_ragged_rows=False)
    table = report.to_arrow()
    assert table.column_names == ["line", "action", "reason", "raw", "fields", "placement"]
    rows = table.to_pylist()
    assert [(r["line"], r["action"]) for r in rows] == [
        (1, "preamble"), (2, "blank"), (6, "quarantined"), (8, "quarantined"), (12, "merged"), (33, "footer")
    ]
    assert rows[2]["reason"] == "too few fields: 2 found, 3 expected" and rows[2]["fields"] is None
    assert rows[-2]["fields"] == ["1", "2", "3,4"]
    assert report.quarantined_rows == 3 and report.to_pandas()["action"].tolist() == [r["action"] for r in rows]
    # How Dask workers' reports travel: as JSON-like data, the histogram with them.
    again = rowmend.Report.from_dict(json.loads(json.dumps(report.to_dict(lines=True))))
    assert again == report and again.lines == report.lines and again.lines is not None


def test_clean_writes_the_repairs_beside_the_quarantine_file_when_asked(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"note\n" + damaged(20, short={3}) + b'"x","y,z",3,4\n')
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", quarantine=tmp_path / "q.csv")
    assert not (tmp_path / "q.repairs.csv").exists()
    rowmend.clean(tmp_path / "in.csv", tmp_path / "out.csv", quarantine=tmp_path / "q.csv", record_repairs=True)
    assert (tmp_path / "q.repairs.csv").read_text() == (
        "line,action,raw_content,kept_fields,placement\n"
        "1,preamble,note,,\n"
        '4,filled,"1,2","[""1"", ""2"", """"]",\n'
        '22,merged,"""x"",""y,z"",3,4","[""x"", ""y,z"", ""3,4""]",\n'
    )


def test_a_device_as_destination_is_written_not_replaced(tmp_path):
    (tmp_path / "in.csv").write_bytes(damaged(20, short={3}))
    rowmend.clean(tmp_path / "in.csv", "/dev/null", quarantine="/dev/null", record_repairs=True)
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode) and os.listdir(tmp_path) == ["in.csv"]


def big_report(tmp_path, rows):
    data = damaged(200_000, short=set(range(2, 200_000, 3)), long=set(range(3, 200_000, 5)))
    report = rowmend.clean(io.BytesIO(data), tmp_path / "out.csv", record_repairs=True, max_records=rows)
    return report, report.to_html(str(tmp_path / "report.html"), rows=rows)


def test_the_page_is_self_contained_exact_and_bounded(tmp_path):
    report, page = big_report(tmp_path, rows=25)
    assert (tmp_path / "report.html").read_text(encoding="utf-8") == page
    assert page.count("<svg") == 2 and not re.search(r"<script|<link|<img|@import|url\((?!#)|src=", page)
    assert f'data-count="repaired">{report.repaired_rows:,}<' in page
    totals = report.lines.totals()
    assert report.lines.last_line == 200_000 and sum(totals.values()) == report.repaired_rows
    for action in ("filled", "merged"):
        assert page.count(f'<tr class=record data-action="{action}">') == 25
        assert f"showing 25 of {totals[action]:,}" in page
    assert len(page) < 400_000  # 200,000 rows, 106,666 of them repaired


@pytest.mark.parametrize(
    "data, note",
    [(damaged(50, short={7}), "read with record_repairs=True to list them"), (damaged(50), "No row was repaired")],
)
def test_the_page_says_why_it_lists_no_rows(tmp_path, data, note):
    page = rowmend.clean(io.BytesIO(data), tmp_path / "out.csv").to_html()
    assert note in page and "<tr class=record" not in page


def test_an_unknown_action_word_is_drawn_in_the_generic_colour():
    record = rowmend.RepairRecord(2, "quote repaired", '1,"a"b",2', ("1", 'a"b', "2"))
    report = rowmend.Report(3, 3, 1, 0, ",", 3, "utf-8", 0, repairs=(record,))
    page = report.to_html(rows=5)
    assert 'data-action="quote repaired"' in page and "<mark>a&quot;b</mark>" in page
    assert "quote repaired" in report._repr_html_() and "<svg" not in report._repr_html_()


def test_a_missing_matplotlib_is_named_with_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    report = rowmend.Report(1, 1, 0, 0, ",", 1, "utf-8", 0)
    with pytest.raises(MissingExtraError, match=r"rowmend\[report\]"):
        report.to_html()
    (tmp_path / "in.csv").write_bytes(b"a\n1\n")
    assert main(["inspect", str(tmp_path / "in.csv"), "--html", str(tmp_path / "r.html")]) == 2
    assert not (tmp_path / "r.html").exists()


@pytest.mark.parametrize(
    "argv, status, written",
    [
        (["inspect", "{d}/in.csv", "--html", "{d}/r.html", "--rows", "3"], 0, ["r.html"]),
        (["clean", "{d}/in.csv", "-o", "{d}/o.csv", "--quarantine", "{d}/q.csv", "--report", "{d}/r.html"], 0,
         ["in.csv", "o.csv", "q.csv", "q.repairs.csv", "r.html"]),
        (["clean", "{d}/in.csv", "{d}/b.csv", "--output-dir", "{d}/out", "--report", "{d}/r.html"], 2, []),
    ],
)
def test_the_command_line_writes_the_report(tmp_path, argv, status, written):
    for name in ("in.csv", "b.csv"):
        (tmp_path / name).write_bytes(damaged(50, short={5}, long={9}))
    assert main([a.format(d=tmp_path) for a in argv]) == status
    assert sorted(os.listdir(tmp_path)) == sorted(set(written) | {"in.csv", "b.csv"})
    if written:
        assert "showing 1 of 1" in (tmp_path / "r.html").read_text()


@pytest.mark.parametrize(
    "call",
    [
        lambda path, **kw: rowmend.clean(path, path.with_name("out.csv"), **kw),
        lambda path, **kw: rowmend.read_arrow(path, **kw),
        lambda path, **kw: list(rowmend.stream(path, **kw)),
    ],
    ids=["clean", "read_arrow", "stream"],
)
def test_progress_true_draws_a_bar_and_the_default_nothing(tmp_path, capsys, monkeypatch, call):
    monkeypatch.setenv("COLUMNS", "200")
    (tmp_path / "in.csv").write_bytes(damaged(1000))
    call(tmp_path / "in.csv")
    assert capsys.readouterr().err == ""
    call(tmp_path / "in.csv", progress=True)
    err = capsys.readouterr().err
    assert "in.csv" in err and "rows/s" in err


@pytest.mark.parametrize(
    "argv, bar",
    [
        (["inspect", "{d}/in.csv"], False),  # small, and not a terminal
        (["inspect", "{d}/in.csv", "--progress"], True),
        (["clean", "{d}/in.csv", "-o", "{d}/out.csv", "--progress"], True),
        (["clean", "{d}/in.csv", "-o", "{d}/out.csv", "--no-progress"], False),
    ],
)
def test_the_command_line_draws_one_bar_as_told(tmp_path, capsys, monkeypatch, argv, bar):
    monkeypatch.setenv("COLUMNS", "200")
    (tmp_path / "in.csv").write_bytes(damaged(100))
    main([a.format(d=tmp_path) for a in argv])
    assert capsys.readouterr().err.count("rows/s") == int(bar)


def test_the_report_renders_in_a_browser_without_network(tmp_path):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        if os.environ.get("CI") == "true":
            pytest.fail("CI must render the report: apt-get install chromium")
        pytest.skip("chromium is not installed")
    report, _ = big_report(tmp_path, rows=10)
    offline = [
        browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--window-size=1100,1400",
        "--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND", "--no-first-run",
        f"--user-data-dir={tmp_path / 'profile'}",
    ]
    url = (tmp_path / "report.html").as_uri()
    subprocess.run(offline + [f"--screenshot={tmp_path / 'shot.png'}", url], check=True, capture_output=True, timeout=120)
    dom = subprocess.run(offline + ["--dump-dom", url], check=True, capture_output=True, timeout=120, text=True).stdout

    import matplotlib.image
    import numpy

    pixels = matplotlib.image.imread(tmp_path / "shot.png")[..., :3]
    assert pixels.shape[:2] == (1400, 1100)
    inked = (pixels < 0.9).any(axis=2).mean()
    assert 0.02 < inked < 0.9 and len(numpy.unique(pixels.reshape(-1, 3), axis=0)) > 20
    assert f'data-count="rows-read">{report.total_rows:,}<' in dom
    assert f'data-count="repaired">{report.repaired_rows:,}<' in dom
    marked = re.findall(r'<tr class="record" data-action="(\w+)">.*?</tr>', dom)
    assert marked.count("filled") == 10 and marked.count("merged") == 10
    assert dom.count('<mark class="added">') == 10 and dom.count("<mark>3,4</mark>") == 10


def test_a_notebook_shows_the_report_inline(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.v4.new_notebook()
    notebook.cells = [
        nbformat.v4.new_code_cell(
            "import io, rowmend\n"
            "s = rowmend.stream(io.BytesIO(b'a,b\\n1\\n2,3,4\\n5,6\\n'), record_repairs=True, progress=True)\n"
            "batches = list(s)\n"
            "s.report"
        )
    ]
    nbclient.NotebookClient(notebook, timeout=120, kernel_name="python3").execute()
    outputs = notebook.cells[0].outputs
    page = next(o["data"]["text/html"] for o in outputs if o.get("output_type") == "execute_result")
    shown = [o.get("data", {}) for o in outputs if o.get("output_type") == "display_data"]
    # The bar: a live widget with ipywidgets, else drawn once at the end.
    assert any("application/vnd.jupyter.widget-view+json" in d or "rows/s" in d.get("text/plain", "") for d in shown)
    assert 'class="rowmend-report"' in page and 'data-count="repaired">2<' in page
    assert '<tr class=record data-action="filled">' in page and '<mark class="added">' in page


@pytest.mark.parametrize("where", ["folder", "missing/r.html"])
def test_a_report_that_cannot_be_written_fails_the_json_line_and_leaves_nothing(tmp_path, capsys, where):
    (tmp_path / "in.csv").write_bytes(damaged(20, short={5}))
    (tmp_path / "folder").mkdir()
    before = sorted(os.listdir(tmp_path))
    argv = ["clean", str(tmp_path / "in.csv"), "-o", "/dev/null", "--json", "--report", str(tmp_path / where)]
    assert main(argv) == 3
    line = json.loads(capsys.readouterr().out)
    assert line["status"] == 3 and line["path"].endswith("in.csv")
    assert sorted(os.listdir(tmp_path)) == before and os.listdir(tmp_path / "folder") == []
