"""Every file of the messy corpus through salvage_file, the reader and sniff,
under several option sets: nothing crashes, the counters add up, the clean
file is valid UTF-8 that Python's csv module reads back as exactly the
reader's rows, and the quarantine file is well-formed CSV."""

import csv
import io
import os
import re

import pytest

from conftest import CORPUS_DIR, corpus_files

FILES = corpus_files()

OPTION_SETS = {
    "defaults": {},
    "strict": {"fill_ragged_rows": False, "merge_overflow": False, "repair_quotes": False},
    "apostrophe": {"quote_char": "'"},
    "semicolon_unshaped": {"delimiter": ";", "expected_columns": 0},
}

REASON = re.compile(r"Row has (too few|extra) columns \(expected (\d+)\)\Z")


def run_quote(options):
    quote = options.get("quote_char") or '"'
    return chr(quote.encode("utf-8")[0])


def csv_rows(text, **dialect):
    """Rows of text by Python's csv module, NULs included.

    Older csv modules refuse NUL characters, so they stand in as a private-use
    character absent from the text while csv reads it.
    """
    stand_in = next(chr(c) for c in range(0xE000, 0xF900) if chr(c) not in text)
    reader = csv.reader(io.StringIO(text.replace("\0", stand_in), newline=""), **dialect)
    return [[field.replace(stand_in, "\0") for field in row] for row in reader]


@pytest.fixture(scope="module", autouse=True)
def large_fields():
    # Some corpus files hold single fields of hundreds of kilobytes.
    old = csv.field_size_limit()
    csv.field_size_limit(2**31 - 1)
    yield
    csv.field_size_limit(old)


def test_corpus_is_present():
    if not FILES:
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    assert len(FILES) > 100


@pytest.mark.parametrize("options", list(OPTION_SETS.values()), ids=list(OPTION_SETS))
@pytest.mark.parametrize("path", FILES, ids=[str(p.relative_to(CORPUS_DIR)) for p in FILES])
def test_corpus_file(rm, tmp_path, path, options):
    output = tmp_path / "clean.csv"
    rejects = tmp_path / "rejects.csv"
    summary = rm.salvage_file(str(path), str(output), str(rejects), **options)
    reader = rm.open(str(path), **options)
    rows = list(reader)

    assert summary.to_dict() == reader.summary.to_dict()
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows
    assert summary.repaired_rows <= summary.salvaged_rows
    assert len(rows) == len(reader) == summary.salvaged_rows
    columns = summary.inferred_columns
    if columns:
        assert {len(row) for row in rows} <= {columns}
    if options.get("fill_ragged_rows", True) and options.get("merge_overflow", True):
        assert summary.quarantined_rows == 0
    if columns == 0:
        assert summary.repaired_rows == 0 and summary.quarantined_rows == 0
    if "delimiter" in options:
        if path.stat().st_size:
            assert summary.detected_delimiter == options["delimiter"][0]
    else:
        assert summary.detected_delimiter in (",", ";", "\t", "|")

    clean = output.read_bytes()
    text = clean.decode("utf-8")  # strict: the clean file must be valid UTF-8
    assert clean == b"" or clean.endswith(b"\n")
    read = csv_rows(text, delimiter=summary.detected_delimiter, quotechar=run_quote(options))
    assert [row or [""] for row in read] == rows

    records = csv_rows(rejects.read_bytes().decode("utf-8"))
    assert records[0] == ["line", "reason", "raw_content"]
    records = records[1:]
    assert len(records) == summary.quarantined_rows
    last_line = 0
    for line, reason, _ in records:
        assert int(line) > last_line  # rows begin on ever later lines
        last_line = int(line)
        match = REASON.match(reason)
        assert match and int(match.group(2)) == columns

    sample = path.read_bytes().decode("utf-8", errors="replace")
    assert rm.sniff(sample) in (",", ";", "\t", "|")
