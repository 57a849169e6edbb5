"""salvage_file: the clean and quarantine files byte for byte, the summary it
returns, how it reads its options, every I/O failure, and rewriting a file in
place."""

import os
import stat

import pytest

from conftest import NOBODY, run_in_child, running_as_root, summary_counts as counts

HEADER = b"line,reason,raw_content\n"


def few(n):
    return f"Row has too few columns (expected {n})".encode()


def extra(n):
    return f"Row has extra columns (expected {n})".encode()


def listing(directory):
    """Every file below directory, as relative path -> bytes."""
    found = {}
    for root, _, files in os.walk(directory):
        for name in files:
            full = os.path.join(root, name)
            with open(full, "rb") as handle:
                found[os.path.relpath(full, directory)] = handle.read()
    return found


# ---------------------------------------------------------------------------
# The clean file
# ---------------------------------------------------------------------------

# (id, input bytes, options, clean file bytes,
#  (total, salvaged, repaired, quarantined, delimiter, columns))
CLEAN_CASES = [
    ("lf_rows", b"a,b,c\nd,e,f\n", {}, b"a,b,c\nd,e,f\n", (2, 2, 0, 0, ",", 3)),
    ("crlf_becomes_lf", b"a,b\r\nc,d\r\n", {}, b"a,b\nc,d\n", (2, 2, 0, 0, ",", 2)),
    ("lone_cr_and_missing_final_break", b"a,b\rc,d", {}, b"a,b\nc,d\n", (2, 2, 0, 0, ",", 2)),
    ("byte_order_mark_dropped", b"\xef\xbb\xbfa,b\nc,d\n", {}, b"a,b\nc,d\n", (2, 2, 0, 0, ",", 2)),
    # A U+FEFF that opens the file's first field is data, not a mark: it is
    # quoted so the clean file never begins with the bytes of a mark.
    ("leading_feff_quoted_at_file_start", b"\xef\xbb\xbf\xef\xbb\xbfa,b\n\xef\xbb\xbfc,d\n", {},
     b'"\xef\xbb\xbfa",b\n\xef\xbb\xbfc,d\n', (2, 2, 0, 0, ",", 2)),
    ("leading_feff_after_quarantined_row", b"x,y,z\n\xef\xbb\xbfa,b\nc,d\n",
     {"expected_columns": 2, "merge_overflow": False}, b'"\xef\xbb\xbfa",b\nc,d\n', (3, 2, 0, 1, ",", 2)),
    ("doubled_quotes_written_back", b'x,"He said ""hi"""\ny,z\n', {},
     b'x,"He said ""hi"""\ny,z\n', (2, 2, 0, 0, ",", 2)),
    ("field_with_delimiter_quoted", b'"a,b",c\nd,e\n', {}, b'"a,b",c\nd,e\n', (2, 2, 0, 0, ",", 2)),
    ("comma_plain_under_semicolon", b'"a,b";c\nd;e\n', {"delimiter": ";"},
     b"a,b;c\nd;e\n", (2, 2, 0, 0, ";", 2)),
    ("line_feed_in_field_quoted", b'"x\ny",z\na,b\n', {}, b'"x\ny",z\na,b\n', (2, 2, 0, 0, ",", 2)),
    ("lone_cr_in_field_quoted", b'"x\ry",z\na,b\n', {}, b'"x\ry",z\na,b\n', (2, 2, 0, 0, ",", 2)),
    ("crlf_in_field_kept_raw", b'"x\r\ny",z\r\na,b\r\n', {}, b'"x\r\ny",z\na,b\n', (2, 2, 0, 0, ",", 2)),
    ("spaces_never_quoted", b" a ,b \n  ,c\n", {}, b" a ,b \n  ,c\n", (2, 2, 0, 0, ",", 2)),
    ("empty_fields_written_as_nothing", b'"",b\nc,""\n', {}, b",b\nc,\n", (2, 2, 0, 0, ",", 2)),
    ("needless_quotes_dropped", b'"a","b"\nc,d\n', {}, b"a,b\nc,d\n", (2, 2, 0, 0, ",", 2)),
    ("quote_inside_plain_field", b'a"b,c\nd,e\n', {}, b'"a""b",c\nd,e\n', (2, 2, 0, 0, ",", 2)),
    ("stray_quotes_repaired", b'"He said "hi" there",x\na,b\n', {},
     b'"He said ""hi"" there",x\na,b\n', (2, 2, 0, 0, ",", 2)),
    ("stray_quotes_left_alone", b'"He said "hi" there",x\na,b\n', {"repair_quotes": False},
     b'"He said hi"" there""",x\na,b\n', (2, 2, 0, 0, ",", 2)),
    ("repair_keeps_quote_in_field", b'"a"b,"c",d\n', {"expected_columns": 0},
     b'"a""b,""c",d\n', (1, 1, 0, 0, ",", 0)),
    ("no_repair_closes_at_first_quote", b'"a"b,"c",d\n', {"expected_columns": 0, "repair_quotes": False},
     b"ab,c,d\n", (1, 1, 0, 0, ",", 0)),
    ("unterminated_quote_runs_to_end", b'x,"y', {}, b"x,y\n", (1, 1, 0, 0, ",", 2)),
    ("invalid_utf8_replaced", b"a\xffb,c\nd,e\n", {}, b"a\xef\xbf\xbdb,c\nd,e\n", (2, 2, 0, 0, ",", 2)),
    ("short_row_filled", b"a,b,c\nd,e\nf,g,h\n", {}, b"a,b,c\nd,e,\nf,g,h\n", (3, 3, 1, 0, ",", 3)),
    ("long_row_merged_and_quoted", b"a,b,c\nd,e,f,g\nh,i,j\n", {},
     b'a,b,c\nd,e,"f,g"\nh,i,j\n', (3, 3, 1, 0, ",", 3)),
    ("merge_keeps_empty_surplus", b"a,b,c,,\n", {"expected_columns": 3}, b'a,b,"c,,"\n', (1, 1, 1, 0, ",", 3)),
    ("merge_forgets_surplus_quoting", b'a,"x,y",z\n', {"expected_columns": 2},
     b'a,"x,y,z"\n', (1, 1, 1, 0, ",", 2)),
    ("one_column_merges_whole_row", b"a;b;c;d;e\n", {"delimiter": ";", "expected_columns": 1},
     b'"a;b;c;d;e"\n', (1, 1, 1, 0, ";", 1)),
    ("blank_line_filled_to_width", b"a,b\n\nc,d\n", {}, b"a,b\n,\nc,d\n", (3, 3, 1, 0, ",", 2)),
    ("blank_line_single_column", b"a\n\nb\n", {}, b"a\n\nb\n", (3, 3, 0, 0, ",", 1)),
    ("row_of_empty_fields", b",,\na,b,c\n", {}, b",,\na,b,c\n", (2, 2, 0, 0, ",", 3)),
    ("header_is_an_ordinary_row", b"id,name,extra\n1,a\n2,b\n3,c\n", {},
     b'id,"name,extra"\n1,a\n2,b\n3,c\n', (4, 4, 1, 0, ",", 2)),
    ("tab_sniffed", b"a\tb\nc\td\n", {}, b"a\tb\nc\td\n", (2, 2, 0, 0, "\t", 2)),
    ("bar_sniffed", b"a|b|c\nd|e|f\n", {}, b"a|b|c\nd|e|f\n", (2, 2, 0, 0, "|", 3)),
    ("semicolon_sniffed", b"a;b;c\nd;e;f\n", {}, b"a;b;c\nd;e;f\n", (2, 2, 0, 0, ";", 3)),
    ("empty_delimiter_sniffs", b"a;b;c\nd;e;f\n", {"delimiter": ""}, b"a;b;c\nd;e;f\n", (2, 2, 0, 0, ";", 3)),
    ("only_first_delimiter_char", b"a;b,c\nd;e,f\n", {"delimiter": ";,"},
     b"a;b,c\nd;e,f\n", (2, 2, 0, 0, ";", 2)),
    # "é" is C3 A9 in UTF-8, so its first byte 0xC3 separates the fields and is
    # written back as the character U+00C3, the two bytes C3 83.
    ("high_delimiter_written_as_two_bytes", b"a\xc3b\xc3c\nd\xc3e\xc3f\n", {"delimiter": "\u00e9"},
     b"a\xc3\x83b\xc3\x83c\nd\xc3\x83e\xc3\x83f\n", (2, 2, 0, 0, "\u00c3", 3)),
    ("high_delimiter_text_in_field_quoted", b'"x\xc3\x83y"\xc3z\na\xc3b\n', {"delimiter": "\u00e9"},
     b'"x\xc3\x83y"\xc3\x83z\na\xc3\x83b\n', (2, 2, 0, 0, "\u00c3", 2)),
    ("high_delimiter_joins_merged_field", b"a\xc3b\xc3c\n", {"delimiter": "\u00e9", "expected_columns": 2},
     b'a\xc3\x83"b\xc3\x83c"\n', (1, 1, 1, 0, "\u00c3", 2)),
    ("apostrophe_quote_escapes_apostrophes", b"'it''s',say \"x\"\na,b\n", {"quote_char": "'"},
     b"'it''s',say \"x\"\na,b\n", (2, 2, 0, 0, ",", 2)),
    ("apostrophe_quote_guards_delimiter", b"'a,b',c\nd,e\n",
     {"quote_char": "'", "delimiter": ",", "expected_columns": 2}, b"'a,b',c\nd,e\n", (2, 2, 0, 0, ",", 2)),
    ("apostrophe_quote_leaves_double_quotes", b'"x",y\n', {"quote_char": "'", "expected_columns": 0},
     b'"x",y\n', (1, 1, 0, 0, ",", 0)),
    ("empty_quote_char_means_double_quote", b"'a',\"b,c\"\nd,e\n",
     {"quote_char": "", "delimiter": ",", "expected_columns": 2}, b"'a',\"b,c\"\nd,e\n", (2, 2, 0, 0, ",", 2)),
    ("high_quote_char_written_as_two_bytes", b"\xc3a,b\xc3,c\nd,e\n",
     {"quote_char": "\u00e9", "delimiter": ",", "expected_columns": 2},
     b"\xc3\x83a,b\xc3\x83,c\nd,e\n", (2, 2, 0, 0, ",", 2)),
    ("high_quote_char_doubled_in_field", b"\xc3x\xc3\x83y\xc3,c\nd,e\n",
     {"quote_char": "\u00e9", "delimiter": ",", "expected_columns": 2},
     b"\xc3\x83x\xc3\x83\xc3\x83y\xc3\x83,c\nd,e\n", (2, 2, 0, 0, ",", 2)),
    ("zero_columns_keeps_rows_as_parsed", b"a,b,c\nd,e\nf,g,h,i\nj,k,l\n", {"expected_columns": 0},
     b"a,b,c\nd,e\nf,g,h,i\nj,k,l\n", (4, 4, 0, 0, ",", 0)),
    ("no_columns_given_infers", b"a,b,c\nd,e\nf,g,h,i\nj,k,l\n", {"expected_columns": None},
     b'a,b,c\nd,e,\nf,g,"h,i"\nj,k,l\n', (4, 4, 2, 0, ",", 3)),
    ("given_columns_override_inference", b"a,b,c\nd,e,f\n", {"expected_columns": 4},
     b"a,b,c,\nd,e,f,\n", (2, 2, 2, 0, ",", 4)),
    ("empty_file_ignores_options", b"", {"delimiter": ";", "expected_columns": 5}, b"", (0, 0, 0, 0, ",", 0)),
    ("byte_order_mark_only", b"\xef\xbb\xbf", {}, b"", (0, 0, 0, 0, ",", 0)),
    ("byte_order_mark_only_keeps_options", b"\xef\xbb\xbf", {"delimiter": ";", "expected_columns": 5},
     b"", (0, 0, 0, 0, ";", 5)),
    ("everything_quarantined_gives_empty_file", b"a,b\nc,d\n",
     {"expected_columns": 3, "fill_ragged_rows": False}, b"", (2, 0, 0, 2, ",", 3)),
]


@pytest.mark.parametrize(
    "data, options, clean, expected", [case[1:] for case in CLEAN_CASES], ids=[case[0] for case in CLEAN_CASES]
)
def test_clean_file(rm, tmp_path, write_bytes, data, options, clean, expected):
    source = write_bytes(data)
    output = tmp_path / "clean.csv"
    summary = rm.salvage_file(source, str(output), **options)
    assert output.read_bytes() == clean
    assert counts(summary) == expected
    # Without a quarantine path nothing but the output is created.
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(source), "clean.csv"])


def test_output_is_truncated_not_appended(rm, tmp_path, write_bytes):
    source = write_bytes(b"a,b\nc,d\n")
    output = tmp_path / "clean.csv"
    output.write_bytes(b"old content that is much longer than the new one\n" * 100)
    rm.salvage_file(source, str(output))
    assert output.read_bytes() == b"a,b\nc,d\n"


def test_long_rows_cross_the_write_buffer(rm, tmp_path, write_bytes):
    # Lines shorter than, equal to and longer than one write buffer, so that
    # buffered and direct writes alternate and must keep their order.
    lines = [(b"%d," % i) + b"x" * size for i, size in enumerate([10, 8190, 8191, 8192, 20000, 5, 16384, 3] * 4)]
    data = b"\n".join(lines) + b"\n"
    source = write_bytes(data)
    output = tmp_path / "clean.csv"
    summary = rm.salvage_file(source, str(output))
    assert output.read_bytes() == data
    assert counts(summary) == (len(lines), len(lines), 0, 0, ",", 2)


# ---------------------------------------------------------------------------
# The quarantine file
# ---------------------------------------------------------------------------

OFF = {"fill_ragged_rows": False, "merge_overflow": False}

# (id, input bytes, options, quarantine file bytes, clean file bytes,
#  (total, salvaged, repaired, quarantined, delimiter, columns))
QUARANTINE_CASES = [
    ("extra_columns_semicolon",
     b"h1;h2;h3\n" + b"a;b;c\n" * 5 + b'a;b"c;d;e\n',
     {"delimiter": ";", "expected_columns": 3, "merge_overflow": False},
     HEADER + b'7,"' + extra(3) + b'","a;b""c;d;e"\n',
     b"h1;h2;h3\n" + b"a;b;c\n" * 5, (7, 6, 0, 1, ";", 3)),
    ("too_few_columns", b"a,b,c\nd,e\nf,g,h\n", {"fill_ragged_rows": False},
     HEADER + b'2,"' + few(3) + b'","d,e"\n', b"a,b,c\nf,g,h\n", (3, 2, 0, 1, ",", 3)),
    ("both_reasons_in_input_order", b"a,b,c\nd,e\nf,g,h,i\n", dict(OFF, expected_columns=3),
     HEADER + b'2,"' + few(3) + b'","d,e"\n3,"' + extra(3) + b'","f,g,h,i"\n', b"a,b,c\n", (3, 1, 0, 2, ",", 3)),
    ("fill_off_merge_on", b"a,b,c\nd,e\nf,g,h,i\n", {"fill_ragged_rows": False, "expected_columns": 3},
     HEADER + b'2,"' + few(3) + b'","d,e"\n', b'a,b,c\nf,g,"h,i"\n', (3, 2, 1, 1, ",", 3)),
    ("merge_off_fill_on", b"a,b,c\nd,e\nf,g,h,i\n", {"merge_overflow": False, "expected_columns": 3},
     HEADER + b'3,"' + extra(3) + b'","f,g,h,i"\n', b"a,b,c\nd,e,\n", (3, 2, 1, 1, ",", 3)),
    ("line_after_multiline_field", b'"x\ny",b,c\nd,e\n', dict(OFF, expected_columns=3),
     HEADER + b'3,"' + few(3) + b'","d,e"\n', b'"x\ny",b,c\n', (2, 1, 0, 1, ",", 3)),
    ("multiline_row_keeps_line_break", b'a,b,c\n"x\ny",z\nq,r,s\n', OFF,
     HEADER + b'2,"' + few(3) + b'","x\ny,z"\n', b"a,b,c\nq,r,s\n", (3, 2, 0, 1, ",", 3)),
    ("lone_cr_in_raw_content", b'a,b,c\n"x\ry",z\nq,r,s\n', OFF,
     HEADER + b'2,"' + few(3) + b'","x\ry,z"\n', b"a,b,c\nq,r,s\n", (3, 2, 0, 1, ",", 3)),
    ("crlf_counts_one_line", b"a,b,c\r\nd,e\r\nf,g,h\r\ni,j\r\n", dict(OFF, expected_columns=3),
     HEADER + b'2,"' + few(3) + b'","d,e"\n4,"' + few(3) + b'","i,j"\n', b"a,b,c\nf,g,h\n",
     (4, 2, 0, 2, ",", 3)),
    ("lone_cr_ends_lines", b"a,b,c\rd,e\rf,g,h", OFF,
     HEADER + b'2,"' + few(3) + b'","d,e"\n', b"a,b,c\nf,g,h\n", (3, 2, 0, 1, ",", 3)),
    ("blank_line_has_empty_raw", b"a,b,c\n\nd,e,f\n", OFF,
     HEADER + b'2,"' + few(3) + b'",""\n', b"a,b,c\nd,e,f\n", (3, 2, 0, 1, ",", 3)),
    ("byte_order_mark_not_in_raw", b"\xef\xbb\xbfa,b\nc,d\ne,f\n", dict(OFF, expected_columns=3),
     HEADER + b'1,"' + few(3) + b'","a,b"\n2,"' + few(3) + b'","c,d"\n3,"' + few(3) + b'","e,f"\n',
     b"", (3, 0, 0, 3, ",", 3)),
    ("unterminated_last_row", b"a,b,c\nd,e", dict(OFF, expected_columns=3),
     HEADER + b'2,"' + few(3) + b'","d,e"\n', b"a,b,c\n", (2, 1, 0, 1, ",", 3)),
    ("doubled_quotes_in_raw", b'a,b,c\n"say ""hi""",d\nq,r,s\n', OFF,
     HEADER + b'2,"' + few(3) + b'","say ""hi"",d"\n', b"a,b,c\nq,r,s\n", (3, 2, 0, 1, ",", 3)),
    ("raw_quotes_doubled_whatever_quote_char", b"a,b\n'x',\"y\",z\n",
     {"quote_char": "'", "delimiter": ",", "expected_columns": 2, "merge_overflow": False},
     HEADER + b'2,"' + extra(2) + b'","x,""y"",z"\n', b"a,b\n", (2, 1, 0, 1, ",", 2)),
    ("delimiter_inside_field_not_told_apart", b'a,"b,c"\nx,y,z\n', dict(OFF, expected_columns=3),
     HEADER + b'1,"' + few(3) + b'","a,b,c"\n', b"x,y,z\n", (2, 1, 0, 1, ",", 3)),
    ("high_delimiter_in_raw", b"a\xc3b\nc\xc3d\xc3e\n",
     {"delimiter": "\u00e9", "expected_columns": 2, "merge_overflow": False},
     HEADER + b'2,"' + extra(2) + b'","c\xc3\x83d\xc3\x83e"\n', b"a\xc3\x83b\n", (2, 1, 0, 1, "\u00c3", 2)),
    ("numbers_in_decimal", b"a,b,c,d,e,f,g,h,i,j,k,l\n" * 11 + b"x,y\n", OFF,
     HEADER + b'12,"' + few(12) + b'","x,y"\n', b"a,b,c,d,e,f,g,h,i,j,k,l\n" * 11, (12, 11, 0, 1, ",", 12)),
    ("nothing_quarantined", b"a,b\nc,d\n", OFF, HEADER, b"a,b\nc,d\n", (2, 2, 0, 0, ",", 2)),
    ("empty_file", b"", OFF, HEADER, b"", (0, 0, 0, 0, ",", 0)),
]


@pytest.mark.parametrize(
    "data, options, quarantine, clean, expected",
    [case[1:] for case in QUARANTINE_CASES],
    ids=[case[0] for case in QUARANTINE_CASES],
)
def test_quarantine_file(rm, tmp_path, write_bytes, data, options, quarantine, clean, expected):
    source = write_bytes(data)
    output = tmp_path / "clean.csv"
    rejects = tmp_path / "rejects.csv"
    summary = rm.salvage_file(source, str(output), str(rejects), **options)
    assert rejects.read_bytes() == quarantine
    assert output.read_bytes() == clean
    assert counts(summary) == expected


def test_no_quarantine_path_only_counts(rm, tmp_path, write_bytes):
    source = write_bytes(b"a,b,c\nd,e\nf,g,h,i\n")
    summary = rm.salvage_file(source, str(tmp_path / "clean.csv"), None, **OFF)
    assert summary.quarantined_rows == 2
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(source), "clean.csv"])


def test_quarantine_file_is_truncated(rm, tmp_path, write_bytes):
    source = write_bytes(b"a,b\nc,d\n")
    rejects = tmp_path / "rejects.csv"
    rejects.write_bytes(b"stale\n" * 1000)
    rm.salvage_file(source, str(tmp_path / "clean.csv"), str(rejects))
    assert rejects.read_bytes() == HEADER


# ---------------------------------------------------------------------------
# Failures
# ---------------------------------------------------------------------------

NOT_FOUND = "No such file or directory (os error 2)"
IS_DIR = "Is a directory (os error 21)"
NUL = "file name contained an unexpected NUL byte"
DENIED = "Permission denied (os error 13)"
NO_SPACE = "No space left on device (os error 28)"
TOO_LARGE = "File too large (os error 27)"

# Input for the failure cases: its third line is quarantined.
FAIL_INPUT = b"a,b\nc,d,e\nf,g\n"
FAIL_CLEAN = b"a,b\nf,g\n"
FAIL_QUARANTINE = HEADER + b'2,"' + extra(2) + b'","c,d,e"\n'


def assert_plain_os_error(exc, text):
    assert type(exc) is OSError
    assert str(exc) == text
    assert exc.args == (text,)
    assert exc.errno is None
    assert exc.strerror is None
    assert exc.filename is None


# Paths are relative to a fresh directory holding in.csv (FAIL_INPUT) and the
# directory adir/; absolute paths are used as they are.
# (id, input, output, quarantine, message, files afterwards)
FAILURE_CASES = [
    ("missing_input", "missing.csv", "out.csv", "q.csv", NOT_FOUND, {}),
    ("input_is_directory", "adir", "out.csv", "q.csv", IS_DIR, {}),
    ("nul_in_input_path", "in.csv\0x", "out.csv", "q.csv", NUL, {}),
    ("nul_in_output_path", "in.csv", "out\0.csv", "q.csv", NUL, {}),
    ("missing_output_directory", "in.csv", "nowhere/out.csv", "q.csv", NOT_FOUND, {}),
    ("output_is_directory", "in.csv", "adir", "q.csv", IS_DIR, {}),
    ("output_disk_full", "in.csv", "/dev/full", "q.csv", NO_SPACE, {}),
    ("nul_in_quarantine_path", "in.csv", "out.csv", "q\0.csv", NUL, {"out.csv": FAIL_CLEAN}),
    ("missing_quarantine_directory", "in.csv", "out.csv", "nowhere/q.csv", NOT_FOUND, {"out.csv": FAIL_CLEAN}),
    ("quarantine_is_directory", "in.csv", "out.csv", "adir", IS_DIR, {"out.csv": FAIL_CLEAN}),
    ("quarantine_disk_full", "in.csv", "out.csv", "/dev/full", NO_SPACE, {"out.csv": FAIL_CLEAN}),
]


@pytest.mark.parametrize(
    "source, output, quarantine, message, files_after",
    [case[1:] for case in FAILURE_CASES],
    ids=[case[0] for case in FAILURE_CASES],
)
def test_failures(rm, tmp_path, source, output, quarantine, message, files_after):
    if "/dev/full" in (output, quarantine) and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    (tmp_path / "in.csv").write_bytes(FAIL_INPUT)
    (tmp_path / "adir").mkdir()
    paths = [p if p.startswith("/") else str(tmp_path / p) for p in (source, output, quarantine)]
    with pytest.raises(OSError) as info:
        rm.salvage_file(*paths, merge_overflow=False)
    assert_plain_os_error(info.value, message)
    expected = dict(files_after, **{"in.csv": FAIL_INPUT})
    assert listing(tmp_path) == expected


def test_missing_input_is_not_file_not_found(rm, tmp_path):
    # Callers that catch FileNotFoundError must not catch salvage failures.
    with pytest.raises(OSError) as info:
        try:
            rm.salvage_file(str(tmp_path / "missing.csv"), str(tmp_path / "out.csv"))
        except FileNotFoundError:
            pytest.fail("salvage_file raised a subclass of OSError")
    assert_plain_os_error(info.value, NOT_FOUND)


def call_and_describe(rm, *args, **kwargs):
    """For a child process: the summary's values, or the exception raised."""
    return lambda: counts(rm.salvage_file(*args, **kwargs))


def locked_layout(root):
    """An input anyone may read, a directory anyone may write and one only root may."""
    source = root / "in.csv"
    source.write_bytes(FAIL_INPUT)
    source.chmod(0o644)
    writable = root / "open"
    writable.mkdir()
    writable.chmod(0o777)
    locked = root / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    return source, writable, locked


def test_unwritable_output_directory(rm, open_dir):
    source, writable, locked = locked_layout(open_dir)
    answer = run_in_child(
        call_and_describe(rm, str(source), str(locked / "out.csv"), str(writable / "q.csv"), merge_overflow=False),
        drop_privileges=True,
    )
    assert answer == ("raised", OSError, DENIED)
    assert os.listdir(locked) == []
    assert os.listdir(writable) == []


def test_unwritable_quarantine_after_complete_clean_file(rm, open_dir):
    source, writable, locked = locked_layout(open_dir)
    answer = run_in_child(
        call_and_describe(rm, str(source), str(writable / "out.csv"), str(locked / "q.csv"), merge_overflow=False),
        drop_privileges=True,
    )
    assert answer == ("raised", OSError, DENIED)
    assert listing(writable) == {"out.csv": FAIL_CLEAN}
    assert os.listdir(locked) == []


def test_unreadable_input(rm, open_dir):
    source, writable, _ = locked_layout(open_dir)
    source.chmod(0)
    answer = run_in_child(
        call_and_describe(rm, str(source), str(writable / "out.csv"), str(writable / "q.csv")),
        drop_privileges=True,
    )
    assert answer == ("raised", OSError, DENIED)
    assert os.listdir(writable) == []


def test_unprivileged_child_succeeds_where_allowed(rm, open_dir):
    # The same layout works once the destination is writable, so the failures
    # above come from the permission bits and not from the child itself.
    source, writable, _ = locked_layout(open_dir)
    answer = run_in_child(
        call_and_describe(rm, str(source), str(writable / "out.csv"), str(writable / "q.csv"), merge_overflow=False),
        drop_privileges=True,
    )
    assert answer == ("returned", (3, 2, 0, 1, ",", 2))
    assert listing(writable) == {"out.csv": FAIL_CLEAN, "q.csv": FAIL_QUARANTINE}


def clean_rows(count):
    """Input that is already clean, so any prefix of the output is a prefix of it."""
    return b"".join(b"%d,value %d,more text to fill the line\n" % (i, i) for i in range(count))


def test_write_failure_leaves_partial_output(rm, tmp_path):
    data = clean_rows(5000)
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    output = tmp_path / "out.csv"
    answer = run_in_child(
        call_and_describe(rm, str(source), str(output), str(tmp_path / "q.csv")), file_size_limit=20000
    )
    assert answer == ("raised", OSError, TOO_LARGE)
    partial = output.read_bytes()
    assert 0 < len(partial) <= 20000
    assert data.startswith(partial)
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]


# ---------------------------------------------------------------------------
# Rewriting the input file in place
# ---------------------------------------------------------------------------

MESSY = b"a,b,c\r\nd,e\r\nf,g,h,i\r\nj,k,l\r\n"
MESSY_CLEAN = b'a,b,c\nd,e,\nf,g,"h,i"\nj,k,l\n'


def test_in_place_same_path(rm, tmp_path):
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    summary = rm.salvage_file(str(source), str(source))
    assert counts(summary) == (4, 4, 2, 0, ",", 3)
    assert listing(tmp_path) == {"data.csv": MESSY_CLEAN}


def test_in_place_with_dot_prefix(rm, tmp_path, monkeypatch):
    (tmp_path / "data.csv").write_bytes(MESSY)
    monkeypatch.chdir(tmp_path)
    rm.salvage_file("data.csv", "./data.csv")
    assert listing(tmp_path) == {"data.csv": MESSY_CLEAN}


def test_in_place_with_quarantine(rm, tmp_path):
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    rm.salvage_file(str(source), str(source), str(tmp_path / "q.csv"), **OFF)
    assert listing(tmp_path) == {
        "data.csv": b"a,b,c\nj,k,l\n",
        "q.csv": HEADER + b'2,"' + few(3) + b'","d,e"\n3,"' + extra(3) + b'","f,g,h,i"\n',
    }


def test_in_place_through_symlink_output(rm, tmp_path):
    target = tmp_path / "data.csv"
    target.write_bytes(MESSY)
    link = tmp_path / "link.csv"
    link.symlink_to("data.csv")
    rm.salvage_file(str(target), str(link))
    assert link.is_symlink()
    assert os.readlink(link) == "data.csv"
    assert not target.is_symlink()
    assert target.read_bytes() == MESSY_CLEAN
    assert sorted(os.listdir(tmp_path)) == ["data.csv", "link.csv"]


def test_in_place_through_symlink_input(rm, tmp_path):
    target = tmp_path / "data.csv"
    target.write_bytes(MESSY)
    link = tmp_path / "link.csv"
    link.symlink_to(target)
    rm.salvage_file(str(link), str(target))
    assert link.is_symlink()
    assert target.read_bytes() == MESSY_CLEAN
    assert sorted(os.listdir(tmp_path)) == ["data.csv", "link.csv"]


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604, 0o755])
def test_in_place_keeps_permission_bits(rm, tmp_path, mode):
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    source.chmod(mode)
    rm.salvage_file(str(source), str(source))
    assert stat.S_IMODE(os.stat(source).st_mode) == mode
    assert source.read_bytes() == MESSY_CLEAN


@pytest.mark.skipif(not running_as_root, reason="only root may give a file to another user")
@pytest.mark.parametrize("mode", [0o640, 0o6750], ids=["0640", "6750_set_ids"])
def test_in_place_keeps_owner(rm, tmp_path, mode):
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    os.chown(source, NOBODY, NOBODY)
    source.chmod(mode)
    rm.salvage_file(str(source), str(source))
    info = os.stat(source)
    assert (info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode)) == (NOBODY, NOBODY, mode)
    assert source.read_bytes() == MESSY_CLEAN


def test_new_output_gets_default_permission_bits(rm, tmp_path):
    # Only an in-place rewrite takes over the input's bits; a new file is
    # created 0666 before the umask.
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    source.chmod(0o600)
    output = tmp_path / "out.csv"
    old_umask = os.umask(0o022)
    try:
        rm.salvage_file(str(source), str(output))
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE(os.stat(output).st_mode) == 0o644


@pytest.mark.parametrize("through_link", [False, True], ids=["same_path", "symlink"])
def test_in_place_failed_write_keeps_input(rm, tmp_path, through_link):
    data = clean_rows(5000) + b"short\n"
    source = tmp_path / "data.csv"
    source.write_bytes(data)
    source.chmod(0o640)
    output = source
    if through_link:
        output = tmp_path / "link.csv"
        output.symlink_to("data.csv")
    before = os.stat(source)
    answer = run_in_child(call_and_describe(rm, str(source), str(output)), file_size_limit=20000)
    assert answer == ("raised", OSError, TOO_LARGE)
    assert source.read_bytes() == data
    after = os.stat(source)
    assert (after.st_ino, stat.S_IMODE(after.st_mode)) == (before.st_ino, 0o640)
    expected = ["data.csv", "link.csv"] if through_link else ["data.csv"]
    assert sorted(os.listdir(tmp_path)) == expected


@pytest.mark.parametrize(
    "quarantine, message",
    [("nowhere/q.csv", NOT_FOUND), ("adir", IS_DIR), ("/dev/full", NO_SPACE)],
    ids=["missing_directory", "directory", "disk_full"],
)
def test_in_place_failed_quarantine_keeps_input(rm, tmp_path, quarantine, message):
    # The quarantined rows would otherwise be in neither file.
    if quarantine == "/dev/full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    source = tmp_path / "data.csv"
    source.write_bytes(MESSY)
    (tmp_path / "adir").mkdir()
    path = quarantine if quarantine.startswith("/") else str(tmp_path / quarantine)
    with pytest.raises(OSError) as info:
        rm.salvage_file(str(source), str(source), path, **OFF)
    assert_plain_os_error(info.value, message)
    assert listing(tmp_path) == {"data.csv": MESSY}
