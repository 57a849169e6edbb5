"""Delimiter sniffing as Python sees it, through sniff()."""

import pytest

CANDIDATES = {",", ";", "\t", "|"}


def lines(*rows):
    return "".join(row + "\n" for row in rows)


SNIFF_CASES = [
    # nothing to go on: comma
    ("empty", "", ","),
    ("byte-order mark only", "\ufeff", ","),
    ("blank lines only", "\n\n  \n\t\n", ","),
    ("one line without line end", "a;b;c", ","),
    ("one line with line end", "a;b;c\n", ","),
    ("one line after blank lines", "\n\na;b;c\n\n", ","),
    ("no candidate byte anywhere", lines("abc", "def", "ghi"), ","),
    # the plain cases
    ("two lines of semicolons", "a;b;c\nd;e;f", ";"),
    ("two lines of semicolons, line end", lines("a;b;c", "d;e;f"), ";"),
    ("tabs", lines("a\tb", "c\td"), "\t"),
    ("vertical bars", lines("a|b|c", "d|e|f", "g|h|i"), "|"),
    ("commas", lines("a,b", "c,d"), ","),
    ("byte-order mark then semicolons", "\ufeff" + lines("a;b", "c;d"), ";"),
    ("CR line ends", "a;b\rc;d\r", ";"),
    ("CR LF line ends", "a|b\r\nc|d\r\n", "|"),
    ("non-ASCII fields", lines("\u00e9t\u00e9;\u00fc", "\u00f6;\u00df"), ";"),
    ("replacement character in fields", lines("\ufffd|a", "b|\ufffd"), "|"),
    # equal scores keep the earlier candidate
    ("comma and semicolon tie", lines("a,b;c", "d,e;f"), ","),
    ("semicolon and tab tie", lines("a;b\tc", "d;e\tf"), ";"),
    ("tab and bar tie", lines("a\tb|c", "d\te|f"), "\t"),
    # wider splits weigh more: three fields (ln 3) beat two (1.0)...
    ("three fields beat two", lines(*["a;b;c,d"] * 10), ";"),
    # ...unless fewer rows agree: 0.9 * ln 3 is below 1.0
    ("consistency beats width", lines(*(["a;b;c,d"] * 9 + ["a;b,c"])), ","),
    # a row of empty fields is not blank
    ("two commas are three empty fields", lines("a;b", ",,", ",,", "c;d"), ","),
    ("tab-only lines count for tab", lines("\t\t", "\t\t"), "\t"),
    ("tab-only lines are blank for the others", lines("a,b", "\t\t", "\t\t", "\t\t", "c,d"), ","),
    # quoted fields are single fields under comma
    ("commas inside quotes", lines('c,"a,b",d|e', 'c,"a,b,x,y",d|e'), ","),
    ("line breaks inside quotes", 'c,"a|1\nb|1\nq",d|e\nc,"f",d|e\n', ","),
    # only the first 50 non-blank rows are read
    ("rows after the fiftieth are never read", lines(*(["a;b;c"] * 50 + ["a,b,c,d,e"] * 200)), ";"),
    ("blank rows do not use up the fifty", lines(*([""] * 45 + ["a;b;c"] * 10 + ["a,b,c,d,e"] * 100)), ","),
    # single-field rows count in the share but are never the chosen width
    ("a field count of 1 never scores", lines("a;b", "a;b", "a;b", "c,d", "c,d", "e", "f"), ";"),
]


@pytest.mark.parametrize("sample, expected", [c[1:] for c in SNIFF_CASES], ids=[c[0] for c in SNIFF_CASES])
def test_sniff(rm, sample, expected):
    result = rm.sniff(sample)
    assert type(result) is str
    assert result == expected


BASE_SAMPLES = [
    lines("a;b;c", "d;e;f"),
    lines("a\tb", "c\td", "e\tf"),
    lines("x|y|z", "1|2|3"),
    lines("a,b;c", "d,e;f"),
    lines(*(["a;b;c,d"] * 9 + ["a;b,c"])),
    lines("p,q,r,s", "t,u,v,w"),
]
BLANK_LINES = ["", "   ", "\u00a0", "\u3000 \u2028", "\u0085"]


@pytest.mark.parametrize("sample", BASE_SAMPLES)
def test_blank_lines_between_rows_change_nothing(rm, sample):
    expected = rm.sniff(sample)
    rows = sample.splitlines()
    for blank in BLANK_LINES:
        interleaved = "".join(blank + "\n" + row + "\n" for row in rows) + blank + "\n"
        assert rm.sniff(interleaved) == expected, repr(blank)


def test_sample_by_keyword(rm):
    assert rm.sniff(sample="a|b\nc|d\n") == "|"


def test_long_sample_is_not_truncated_before_sniffing(rm):
    # The first rows decide; a sample of many megabytes is handled as a whole.
    sample = lines(*(["a\tb\tc"] * 10)) + "x" * (8 << 20)
    assert rm.sniff(sample) == "\t"


@pytest.mark.parametrize(
    "sample",
    [
        "\x00\x01\x02",
        '"""\n"\n""',
        '","\n";"\n"\t"\n"|"',
        "\r\r\n\n\r",
        ",;\t|" * 100,
        lines(*["a;b", "a,b,c", "a\tb\tc\td", "a|b|c|d|e"] * 20),
    ],
)
def test_result_is_always_a_candidate(rm, sample):
    assert rm.sniff(sample) in CANDIDATES
