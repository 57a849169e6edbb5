"""The pollution benchmark's generator and scorer (bench/pollution*.py)."""

import csv
import io
import json
import pathlib
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import pollution  # noqa: E402
from pollution_cases import KINDS, Case, Dialect, corpus_tables, make_case, render_row, render_table  # noqa: E402
from pollution_score import Reading, score  # noqa: E402

CORPUS = corpus_tables()
CASES = [make_case(kind, index, seed=7, corpus=CORPUS) for kind in KINDS for index in range(2)]

# Pollutions whose file, once the lines marked as noise are removed, is the
# true table in the case's dialect (the others change the table itself).
NOISE_ONLY = set(KINDS) - {"multi_row_header", "extra_separators", "missing_separators", "stray_quotes",
                             "trailing_delimiter", "c1_punctuation", "header_extra_delimiter", "header_stray_quote",
                             "header_missing_delimiter", "three_row_header", "spanning_label", "extra_separator_in_text"}


def read_csv(text: str, case: Case):
    """What a correct reader gets from the table in the case's known dialect."""
    d = case.dialect
    return list(
        csv.reader(
            io.StringIO(text, newline=""),
            delimiter=d.delimiter[0],
            quotechar=d.quote,
            escapechar=d.escape,
            doublequote=d.escape is None,
            skipinitialspace=len(d.delimiter) > 1,
        )
    )


def truth_rows(case: Case):
    return ([case.header] if case.header is not None else []) + case.records


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_truth_is_a_clean_table(case):
    width = len(case.records[0])
    assert case.records and all(len(r) == width for r in case.records)
    assert case.header is None or len(case.header) == width
    assert read_csv(render_table(case.header, case.records), Case("", "", "", None, [])) == truth_rows(case)


@pytest.mark.parametrize("case", [c for c in CASES if c.kind in NOISE_ONLY], ids=lambda c: c.name)
def test_file_without_its_noise_reads_as_the_truth(case):
    table = "".join(text for text, noise in case.pieces if not noise)
    assert read_csv(table, case) == truth_rows(case)
    if case.kind not in ("none", "no_header"):
        assert case.text != render_table(case.header, case.records), "the pollution changed nothing"


@pytest.mark.parametrize("case", [c for c in CASES if c.kind == "multi_row_header"], ids=lambda c: c.name)
def test_two_header_rows_join_into_the_true_names(case):
    (top,), (names, *records) = read_csv(case.pieces[0][0], case), read_csv(case.text[len(case.pieces[0][0]) :], case)
    assert case.header == [f"{a} {b}" for a, b in zip(top, names)]
    assert records == case.records


@pytest.mark.parametrize("kind", ["extra_separators", "missing_separators", "stray_quotes", "extra_separator_in_text"])
def test_damaged_rows_differ_from_the_truth_only_where_damaged(kind):
    for index in range(3):
        case = make_case(kind, index, seed=7)
        lines = [text for text, _ in case.pieces[1:]]
        assert len(lines) == len(case.records)
        damaged = sum(line != render_row(r, Dialect()) for line, r in zip(lines, case.records))
        assert 0 < damaged < len(lines) / 2


def test_cases_are_deterministic():
    assert make_case("preamble", 3, seed=1).text == make_case("preamble", 3, seed=1).text
    assert make_case("preamble", 3, seed=1).text != make_case("preamble", 4, seed=1).text


TRUTH = Reading(["a", "b"], [["1", "x"], ["2", "y"]])
SCORING = [
    # (reading, header F1, record F1, cell F1)
    (TRUTH, 1, 1, 1),
    (Reading(["a", "c"], TRUTH.records), 0.5, 1, 1),
    (Reading(None, [["a", "b"]] + TRUTH.records), 0, 0.8, 0.8),
    (Reading(["a", "b"], [["1", "x"]]), 1, 2 / 3, 2 / 3),
    (Reading(["a", "b"], [["1.0", "x"], ["2", "y"]]), 1, 1, 1),
    (Reading(["a", "b"], [["1", "x", ""], ["2", "y"]]), 1, 0.5, 8 / 9),
    (Reading(["a,b"], [["1,x"], ["2,y"]]), 0, 0, 0),
    (Reading(["b", "a"], [["x", "1"], ["y", "2"]]), 0, 0, 0),
    (Reading(["a", "b"], []), 1, 0, 0),
]


@pytest.mark.parametrize("reading, header, record, cell", SCORING)
def test_scores(reading, header, record, cell):
    result = score(TRUTH, reading)
    assert (result.header, result.record, result.cell) == pytest.approx((header, record, cell))


def test_no_header_scores():
    assert score(Reading(None, [["1"]]), Reading(None, [["1"]])).header == 1
    assert score(Reading(None, [["1"]]), Reading(["1"], [])).header == 0


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.name)
def test_the_truth_scores_one_against_itself(case):
    truth = Reading(case.header, case.records)
    assert score(truth, truth) == score(truth, Reading(case.header, [list(r) for r in case.records]))
    assert (score(truth, truth).header, score(truth, truth).record, score(truth, truth).cell) == (1, 1, 1)


def test_measurement_writes_a_score_per_kind(tmp_path):
    result = pollution.measure(1, seed=0, timeout=5, readers=["backend"], data=tmp_path)
    assert set(result["scores"]) == set(KINDS)
    # The backend reads a plain comma file exactly.
    assert result["scores"]["none"]["backend"] == {
        "header_f1": 1,
        "record_f1": 1,
        "cell_f1": 1,
        "failures": 0,
        "timeouts": 0,
    }
    truth = json.loads((tmp_path / "preamble_000.json").read_text())
    assert truth["header"] and truth["records"]
    assert (tmp_path / "preamble_000.csv").read_bytes() == make_case("preamble", 0, 0, CORPUS).text.encode()
    page = pollution.markdown(result)
    assert all(f"| {kind} |" in page for kind in KINDS)
