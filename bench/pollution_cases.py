"""Polluted CSV files with known truth, generated from a seed.

A case starts from a clean table (a header and rectangular records of text):
either a generated one (2 to 12 columns of integers, decimals, ISO dates,
words, phrases, text that needs quoting, some empty cells) or a well-formed
file of the shared corpus. Exactly one pollution is then applied while the
table is written out. The truth of the case is what a reader should return:
the header (a list of names, or None when the file has none) and the records
(lists of str). Lines that a reader should set aside (preamble, footer,
comments, blank lines, a second table) are marked as noise in
:attr:`Case.pieces`, so that the file minus its noise is the table itself.

The same seed, kind and index always give the same bytes.
"""

from __future__ import annotations

import csv
import io
import pathlib
import random
import re
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple

__all__ = [
    "KINDS",
    "Case",
    "Dialect",
    "Table",
    "corpus_tables",
    "make_case",
    "render_row",
    "render_table",
]

CORPUS = pathlib.Path("/work/shared/corpus")

Table = Tuple[List[str], List[List[str]]]
"""A clean table: its header and its records, every record as wide as the header."""


@dataclass(frozen=True)
class Dialect:
    """How a table is written: a delimiter (one or more characters), a quote
    character, an optional escape character (else quotes are doubled) and a
    line end."""

    delimiter: str = ","
    quote: str = '"'
    escape: Optional[str] = None
    line_end: str = "\n"


@dataclass
class Case:
    """One polluted file and its truth.

    Attributes:
        kind: The pollution applied (one of :data:`KINDS`).
        name: A file-name stem unique within the kind.
        source: Where the clean table came from: ``generated`` or a corpus path.
        header: The true header, or None when the file has no header.
        records: The true records.
        pieces: The file as consecutive pieces of text, each marked True when
            it is noise a reader should set aside.
        dialect: The dialect the table itself is written in.
    """

    kind: str
    name: str
    source: str
    header: Optional[List[str]]
    records: List[List[str]]
    pieces: List[Tuple[str, bool]] = field(default_factory=list)
    dialect: Dialect = Dialect()

    @property
    def text(self) -> str:
        """The whole polluted file."""
        return "".join(text for text, _ in self.pieces)

    def truth(self) -> Dict[str, object]:
        """The truth as JSON-serialisable data."""
        return {
            "kind": self.kind,
            "source": self.source,
            "header": self.header,
            "records": self.records,
            "delimiter": self.dialect.delimiter,
            "quote": self.dialect.quote,
            "escape": self.dialect.escape,
        }


# ---------------------------------------------------------------- writing


def _needs_quotes(cell: str, dialect: Dialect) -> bool:
    special = {dialect.delimiter[0], dialect.quote, "\n", "\r"}
    if dialect.escape:
        special.add(dialect.escape)
    if any(ch in cell for ch in special):
        return True
    # Blank-padded delimiters ("; ", space) would eat leading or trailing blanks.
    if dialect.delimiter[0] == " " or dialect.delimiter.endswith(" "):
        return cell == "" and dialect.delimiter == " " or cell != cell.strip(" ")
    return False


def _quote(cell: str, dialect: Dialect) -> str:
    q = dialect.quote
    if dialect.escape:
        body = cell.replace(dialect.escape, dialect.escape * 2).replace(q, dialect.escape + q)
    else:
        body = cell.replace(q, q * 2)
    return q + body + q


def render_row(cells: Sequence[str], dialect: Dialect, raw: Sequence[int] = ()) -> str:
    """One record as a line: cells quoted only where they must be.

    ``raw`` lists positions written exactly as they stand, never quoted (to
    plant stray quotes). The line end is the dialect's.

    Examples:
        >>> render_row(["a", "b,c"], Dialect())
        'a,"b,c"\\n'
        >>> render_row(["1", "x y"], Dialect(delimiter=" ", quote="'"))
        "1 'x y'\\n"
    """
    out = [
        cell if i in raw or not _needs_quotes(cell, dialect) else _quote(cell, dialect) for i, cell in enumerate(cells)
    ]
    return dialect.delimiter.join(out) + dialect.line_end


def render_table(header: Optional[Sequence[str]], records: Sequence[Sequence[str]], dialect: Dialect = Dialect()) -> str:
    """A whole table in one dialect (the header first when there is one)."""
    rows = ([list(header)] if header is not None else []) + [list(r) for r in records]
    return "".join(render_row(r, dialect) for r in rows)


# ---------------------------------------------------------------- clean tables

_WORDS = (
    "alpha bravo cedar delta ember fjord garnet harbor iris juniper kestrel lumen "
    "maple nectar onyx prairie quartz raven sierra tundra umber violet willow yarrow zephyr"
).split()
_CITIES = ["Lisbon", "Oslo", "Kraków", "Dublin", "Québec", "Nairobi", "Osaka", "Lima", "Perth", "Tromsø"]
_TRICKY = [
    "Smith, John",
    'the "best" one',
    "first line\nsecond line",
    "a;b;c",
    "left|right",
    "col\tumn",
    "it's fine",
    "ratio 3:4",
    "x^2 + y^2",
    "about ~5",
    "Mueller, Anna; Berlin",
    "two words",
    "back\\slash",
]
_NAMES = {
    "int": ["id", "count", "qty", "year", "rank", "units", "code", "stock"],
    "decimal": ["amount", "price", "weight", "rate", "score", "total", "balance"],
    "date": ["date", "created", "shipped", "due", "born", "updated"],
    "word": ["status", "tag", "kind", "colour", "grade", "team"],
    "phrase": ["city", "name", "label", "title", "place"],
    "tricky": ["note", "comment", "description", "remarks", "address"],
}
_KINDS_OF_CELL = list(_NAMES)


def _cell(kind: str, rng: random.Random) -> str:
    if kind == "int":
        return str(rng.randint(-50, 99999) if rng.random() < 0.1 else rng.randint(0, 9999))
    if kind == "decimal":
        return f"{rng.uniform(-100, 5000):.{rng.choice((1, 2, 2, 3))}f}"
    if kind == "date":
        return f"{rng.randint(1990, 2030)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
    if kind == "word":
        return rng.choice(_WORDS)
    if kind == "phrase":
        return rng.choice(_CITIES) + " " + rng.choice(_WORDS)
    return rng.choice(_TRICKY) if rng.random() < 0.6 else rng.choice(_WORDS)


def generated_table(rng: random.Random, kinds: Optional[List[str]] = None) -> Table:
    """A clean table of 2 to 12 typed columns and 20 to 200 records.

    The first column is an integer key; other columns have about 5% empty cells.
    ``kinds`` fixes the column kinds.
    """
    if kinds is None:
        width = rng.randint(2, 12)
        kinds = ["int"] + [rng.choice(_KINDS_OF_CELL) for _ in range(width - 1)]
    header: List[str] = []
    for kind in kinds:
        name = rng.choice(_NAMES[kind])
        header.append(name if name not in header else f"{name}_{len(header) + 1}")
    records = []
    for n in range(rng.randint(20, 200)):
        row = [str(n + 1)] + [
            "" if rng.random() < 0.05 else _cell(kind, rng) for kind in kinds[1:]
        ]
        records.append(row)
    return header, records


_NUMBER = re.compile(r"-?\d+(\.\d+)?")


def _usable(rows: List[List[str]]) -> bool:
    if len(rows) < 4 or len(rows[0]) < 2:
        return False
    header = rows[0]
    if len(set(header)) != len(header) or any(not h.strip() or _NUMBER.fullmatch(h.strip()) for h in header):
        return False
    return all(len(r) == len(header) for r in rows)


def corpus_tables(root: pathlib.Path = CORPUS, max_records: int = 300) -> List[Tuple[str, Table]]:
    """Well-formed corpus files: a header of distinct names over a rectangle.

    Only the files the corpus lists as controls are tried, read with Python's
    csv in their listed delimiter; at most ``max_records`` records of each.
    """
    manifest = root / "MANIFEST.tsv"
    if not manifest.exists():
        return []
    found = []
    delimiters = {"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|"}
    with open(manifest, encoding="utf-8", newline="") as f:
        for entry in csv.DictReader(f, delimiter="\t"):
            note = entry["note"]
            if "control" not in note or int(entry["bytes"]) > 300_000:
                continue
            delimiter = delimiters.get(note.split(";")[0].strip())
            if delimiter is None:
                continue
            try:
                text = (root / entry["path"]).read_text(encoding="utf-8")
            except (OSError, UnicodeDecodeError):
                continue
            rows = list(csv.reader(io.StringIO(text.lstrip("\ufeff"), newline=""), delimiter=delimiter))
            if _usable(rows):
                found.append((entry["path"], (rows[0], rows[1 : max_records + 1])))
    return found


# ---------------------------------------------------------------- pollutions

Pieces = List[Tuple[str, bool]]
Pollute = Callable[[List[str], List[List[str]], random.Random], Case]


def _table_pieces(header: Optional[List[str]], records: List[List[str]], dialect: Dialect) -> Pieces:
    rows = ([header] if header is not None else []) + records
    return [(render_row(r, dialect), False) for r in rows]


def _plain(dialect: Dialect) -> Pollute:
    def pollute(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
        return Case("", "", "", header, records, _table_pieces(header, records, dialect), dialect)

    return pollute


def _preamble(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    lines = [
        rng.choice(["Quarterly sales report", "EXPORT", "Customer list", "Inventory, all sites", "Table 3"]),
        f"Report generated {rng.randint(2019, 2026)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)} "
        f"at {rng.randint(10, 23)}:{rng.randint(10, 59)}",
        f"Source: {rng.choice(_WORDS)} database",
        f"Rows: {len(records)}",
        "Exported by: admin",
        f"Filter, region = {rng.choice(_CITIES)}",
    ]
    chosen = rng.sample(lines, rng.randint(1, 5))
    pieces = [(line + "\n", True) for line in chosen]
    if rng.random() < 0.5:
        pieces.append(("\n", True))
    return Case("", "", "", header, records, pieces + _table_pieces(header, records, Dialect()))


def _footer(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    total = ["Total"] + [""] * (len(header) - 2) + [str(rng.randint(1000, 99999))]
    options = [
        render_row(total, Dialect()),
        f"{len(records)} rows\n",
        f"({len(records)} rows affected)\n",
        "End of report\n",
    ]
    chosen = rng.sample(options, rng.randint(1, 3))
    pieces = _table_pieces(header, records, Dialect())
    if rng.random() < 0.5:
        pieces.append(("\n", True))
    return Case("", "", "", header, records, pieces + [(line, True) for line in chosen])


def _comments(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    notes = ["# exported from the warehouse", "# do not edit", "#", "# checked, ok", "# batch 7: partial"]
    pieces = _table_pieces(header, records, Dialect())
    if rng.random() < 0.5:  # at the top
        top = [(rng.choice(notes) + "\n", True) for _ in range(rng.randint(1, 4))]
        return Case("", "", "", header, records, top + pieces)
    out: Pieces = []
    for i, piece in enumerate(pieces):
        if i > 0 and rng.random() < 0.08:
            out.append((rng.choice(notes) + "\n", True))
        out.append(piece)
    out.insert(0, (rng.choice(notes) + "\n", True))
    return Case("", "", "", header, records, out)


def _blank_lines(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    out: Pieces = []
    for i, piece in enumerate(_table_pieces(header, records, Dialect())):
        if i > 0 and rng.random() < 0.1:
            out.extend([("\n", True)] * rng.randint(1, 2))
        out.append(piece)
    out.append(("\n", True))
    return Case("", "", "", header, records, out)


def _decimal_comma(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    records = [[cell.replace(".", ",") if _NUMBER.fullmatch(cell) else cell for cell in r] for r in records]
    dialect = Dialect(delimiter=";")
    return Case("", "", "", header, records, _table_pieces(header, records, dialect), dialect)


def _multi_row_header(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    groups = ["Order", "Customer", "Shipping", "Payment", "Meta"]
    top, joined = [], []
    group = rng.choice(groups)
    for i, name in enumerate(header):
        if i > 0 and rng.random() < 0.35:
            group = rng.choice(groups)
        top.append(group)
        joined.append(f"{group} {name}")
    pieces = [(render_row(top, Dialect()), True)] + _table_pieces(header, records, Dialect())
    return Case("", "", "", joined, records, pieces)


def _no_header(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    return Case("", "", "", None, records, _table_pieces(None, records, Dialect()))


def _extra_separators(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    pieces = _table_pieces(header, [], Dialect())
    for r in records:
        line = render_row(r, Dialect())
        if rng.random() < 0.15:
            line = line[:-1] + "," * rng.randint(1, 2) + "\n"
        pieces.append((line, False))
    return Case("", "", "", header, records, pieces)


def _missing_separators(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    pieces = _table_pieces(header, [], Dialect())
    for r in records:
        if rng.random() < 0.15:
            i = rng.randrange(len(r) - 1)
            cells = r[:i] + [r[i] + r[i + 1]] + r[i + 2 :]
            line = render_row(cells, Dialect())
        else:
            line = render_row(r, Dialect())
        pieces.append((line, False))
    return Case("", "", "", header, records, pieces)


_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


def _extra_separator_in_text(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A text value holding the delimiter, written unquoted ("Smith, John" in
    # a name column): the row has a field too many, the truth the one value.
    text_columns = [
        j
        for j in range(len(header))
        if any(r[j] for r in records) and not any(_NUMBER.fullmatch(r[j]) or _DATE.fullmatch(r[j]) for r in records if r[j])
    ]
    pieces = _table_pieces(header, [], Dialect())
    out_records = []
    for r in records:
        r = list(r)
        fits = [j for j in text_columns if r[j] and not _needs_quotes(r[j], Dialect())]
        raw: List[int] = []
        if fits and rng.random() < 0.15:
            j = rng.choice(fits)
            r[j] = f"{r[j]}, {rng.choice(_WORDS).title()}"
            raw = [j]
        out_records.append(r)
        pieces.append((render_row(r, Dialect(), raw), False))
    return Case("", "", "", header, out_records, pieces)


def _stray_quotes(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    pieces = _table_pieces(header, [], Dialect())
    out_records = []
    for r in records:
        r = list(r)
        plain = [i for i, cell in enumerate(r) if cell and not _needs_quotes(cell, Dialect())]
        raw: List[int] = []
        if plain and rng.random() < 0.12:
            i = rng.choice(plain)
            cell = r[i]
            cut = rng.randint(0, len(cell)) if rng.random() < 0.3 else rng.randint(1, len(cell))
            r[i] = cell[:cut] + '"' + cell[cut:] if cut > 0 else '"' + cell
            raw = [i]
        out_records.append(r)
        pieces.append((render_row(r, Dialect(), raw), False))
    return Case("", "", "", header, out_records, pieces)


def _mixed_line_ends(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    pieces = []
    for r in [header] + records:
        pieces.append((render_row(r, Dialect(line_end=rng.choice(["\n", "\r\n", "\r"]))), False))
    return Case("", "", "", header, records, pieces)


def _second_table(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    other_header, other_records = generated_table(rng)
    other_records = other_records[: rng.randint(3, 15)]
    pieces = _table_pieces(header, records, Dialect())
    pieces.append(("\n" * rng.randint(1, 2), True))
    if rng.random() < 0.5:
        pieces.append((rng.choice(["Summary by region", "Table 2", "Returns"]) + "\n", True))
    pieces += [(render_row(r, Dialect()), True) for r in [other_header] + other_records]
    return Case("", "", "", header, records, pieces)


def _trailing_delimiter(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # As some spreadsheets export: a delimiter ends every line, header included.
    pieces = [(render_row(r, Dialect())[:-1] + ",\n", False) for r in [header] + records]
    return Case("", "", "", header, records, pieces)


def _stacked_tables(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A later table of another width under its own names, right below the
    # first (no blank line), as long as the first or longer.
    while True:
        other_header, other_records = generated_table(rng)
        if len(other_header) != len(header):
            break
    other_records = other_records[: rng.randint(3, max(3, 2 * len(records)))]
    pieces = _table_pieces(header, records, Dialect())
    pieces += [(render_row(r, Dialect()), True) for r in [other_header] + other_records]
    return Case("", "", "", header, records, pieces)


def _quote_apostrophe_all(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Every value quoted with apostrophes, as some database exports write them.
    dialect = Dialect(quote="'")
    pieces = [(",".join(_quote(cell, dialect) for cell in r) + "\n", False) for r in [header] + records]
    return Case("", "", "", header, records, pieces, dialect)


_CP1252_PUNCTUATION = "\u2013\u2014\u201c\u201d\u2018\u2019\u2022\u2020\u2026"


def _c1_punctuation(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # cp1252 punctuation that a wrong conversion turned into C1 controls:
    # the truth holds the punctuation, the file the controls.
    truth, written = [], []
    for r in records:
        row = list(r)
        for i, cell in enumerate(row):
            if " " in cell and not _NUMBER.fullmatch(cell) and rng.random() < 0.5:
                row[i] = cell.replace(" ", f" {rng.choice(_CP1252_PUNCTUATION)} ", 1)
        truth.append(row)
        written.append([cell.encode("cp1252", "replace").decode("latin-1") for cell in row])
    pieces = _table_pieces(header, written, Dialect())
    return Case("", "", "", header, truth, pieces)


def _empty_row_runs(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Rows of empty cells below the table, dozens of them, as spreadsheets export them.
    empty = render_row([""] * len(header), Dialect()) if len(header) > 1 else ",\n"
    pieces = _table_pieces(header, records, Dialect()) + [(empty, True)] * rng.randint(5, 60)
    return Case("", "", "", header, records, pieces)


def _empty_row_sections(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Runs of empty rows that separate the table's sections, and a run below it.
    empty = render_row([""] * len(header), Dialect()) if len(header) > 1 else ",\n"
    pieces: Pieces = []
    for i, piece in enumerate(_table_pieces(header, records, Dialect())):
        if i > 1 and rng.random() < 0.08:
            pieces += [(empty, True)] * rng.randint(2, 5)
        pieces.append(piece)
    return Case("", "", "", header, records, pieces + [(empty, True)] * rng.randint(0, 30))


def _repeated_header(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Exports concatenated into one file: the header line again above each part.
    pieces = _table_pieces(header, records, Dialect())
    line = render_row(header, Dialect())
    again = rng.randrange(2, len(pieces))  # at least once
    out: Pieces = pieces[:2]
    for i, piece in enumerate(pieces[2:], 2):
        if i == again or rng.random() < 0.05:
            out.append((line, True))
        out.append(piece)
    return Case("", "", "", header, records, out)


def _same_width_table(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A later table of the same width under its own names, right below the
    # first (no blank line): its columns hold other kinds than the first's.
    kinds = ["word" if kind in ("int", "date") else "int" for kind in _kinds_of(records)]
    other_header, other_records = generated_table(rng, kinds)
    other_records = other_records[: rng.randint(3, 20)]
    pieces = _table_pieces(header, records, Dialect())
    pieces += [(render_row(r, Dialect()), True) for r in [other_header] + other_records]
    return Case("", "", "", header, records, pieces)


def _kinds_of(records: List[List[str]]) -> List[str]:
    """Each column's kind as the first record shows it: "int" for numbers, "date", else "word"."""
    first = records[0] if records else []
    return ["int" if _NUMBER.fullmatch(cell) else "date" if _DATE.fullmatch(cell) else "word" for cell in first]


_DATE = re.compile(r"\d{4}-\d{2}-\d{2}")


def _title_multiline(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A title in one quoted value spanning lines, above the header.
    title = f'"{rng.choice(["Sales report", "Inventory", "Customer list"])}\n{rng.choice(_CITIES)} {rng.randint(2019, 2026)}"\n'
    return Case("", "", "", header, records, [(title, True)] + _table_pieces(header, records, Dialect()))


_QUALIFIERS = ["usd", "kg", "first", "net", "est.", "in cm", "per unit", "old"]


def _header_extra_delimiter(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A name holding the delimiter before a blank, written unquoted: "amount, usd".
    i = rng.randrange(len(header))
    names = list(header)
    names[i] = f"{names[i]}, {rng.choice(_QUALIFIERS)}"
    pieces = [(render_row(names, Dialect(), raw=[i]), False)] + _table_pieces(None, records, Dialect())
    return Case("", "", "", names, records, pieces)


def _header_stray_quote(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # A quote typed into a name: at its start it opens a field that never
    # closes. The true name is the one without it.
    i = rng.randrange(len(header))
    names = list(header)
    cut = 0 if rng.random() < 0.4 else rng.randint(1, len(names[i]))
    names[i] = names[i][:cut] + '"' + names[i][cut:]
    pieces = [(render_row(names, Dialect(), raw=[i]), False)] + _table_pieces(None, records, Dialect())
    return Case("", "", "", header, records, pieces)


def _header_missing_delimiter(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Two names with a blank where their delimiter belongs: "id name,amount".
    i = rng.randrange(len(header) - 1)
    names = header[:i] + [f"{header[i]} {header[i + 1]}"] + header[i + 2 :]
    pieces = [(render_row(names, Dialect()), False)] + _table_pieces(None, records, Dialect())
    return Case("", "", "", header, records, pieces)


def _spans(width: int, rng: random.Random, labels: Sequence[str]) -> List[Tuple[int, int, str]]:
    """Runs of two to four columns over ``width``, each under one label (none repeated in a row)."""
    spans, at, free = [], 0, list(labels)
    rng.shuffle(free)
    while at < width and free:
        run = min(width - at, rng.randint(2, 4))
        spans.append((at, at + run, free.pop()))
        at += run
    return spans


def _label_row(width: int, spans: Sequence[Tuple[int, int, str]]) -> List[str]:
    # As spreadsheets export a merged cell: the label, then empty cells.
    row = [""] * width
    for begin, _, label in spans:
        row[begin] = label
    return row


def _three_row_header(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Group labels over sub-group labels over the names, each label spanning
    # the columns under it; the key column stands alone, named in the top row.
    width = len(header)
    groups = _spans(width - 1, rng, ["Order", "Customer", "Shipping", "Payment", "Meta", "Stock"])
    top, middle, joined = [header[0]] + [""] * (width - 1), [""] * width, [header[0]]
    names = [""] + header[1:]
    for begin, end, group in groups:
        top[begin + 1] = group
        for sub_begin, sub_end, sub in _spans(end - begin, rng, ["plan", "actual", "north", "south", "new", "old"]):
            middle[begin + 1 + sub_begin] = sub
            joined += [f"{group} {sub} {name}" for name in header[begin + 1 + sub_begin : begin + 1 + sub_end]]
    pieces = [(render_row(top, Dialect()), True), (render_row(middle, Dialect()), True)]
    pieces += [(render_row(names, Dialect()), False)] + _table_pieces(None, records, Dialect())
    return Case("", "", "", joined, records, pieces)


def _spanning_label(header: List[str], records: List[List[str]], rng: random.Random) -> Case:
    # Two group labels over the first columns, each spanning as many, and
    # columns past them with no label above: a label spans the columns
    # under it, not every empty cell to its right.
    width = len(header)
    run = rng.randint(2, max(2, (width - 1) // 2))
    top, joined = [""] * width, list(header)
    for begin, label in ((0, rng.choice(["Sales", "Plan"])), (run, rng.choice(["Returns", "Actual"]))):
        top[begin] = label
        for c in range(begin, begin + run):
            joined[c] = f"{label} {header[c]}"
    pieces = [(render_row(top, Dialect()), True)] + _table_pieces(header, records, Dialect())
    return Case("", "", "", joined, records, pieces)


_DELIMITERS = {
    "comma": ",",
    "semicolon": ";",
    "tab": "\t",
    "pipe": "|",
    "colon": ":",
    "caret": "^",
    "tilde": "~",
    "space": " ",
    "comma_space": ", ",
    "semicolon_space": "; ",
}

POLLUTIONS: Dict[str, Pollute] = {
    "none": _plain(Dialect()),
    "preamble": _preamble,
    "footer": _footer,
    "comments": _comments,
    "blank_lines": _blank_lines,
    **{f"delimiter_{name}": _plain(Dialect(delimiter=d)) for name, d in _DELIMITERS.items() if name != "comma"},
    "quote_single": _plain(Dialect(quote="'")),
    "escape_backslash": _plain(Dialect(escape="\\")),
    "decimal_comma": _decimal_comma,
    "multi_row_header": _multi_row_header,
    "no_header": _no_header,
    "extra_separators": _extra_separators,
    "missing_separators": _missing_separators,
    "extra_separator_in_text": _extra_separator_in_text,
    "stray_quotes": _stray_quotes,
    "mixed_line_ends": _mixed_line_ends,
    "second_table": _second_table,
    "trailing_delimiter": _trailing_delimiter,
    "stacked_tables": _stacked_tables,
    "quote_apostrophe_all": _quote_apostrophe_all,
    "c1_punctuation": _c1_punctuation,
    "empty_row_runs": _empty_row_runs,
    "empty_row_sections": _empty_row_sections,
    "repeated_header": _repeated_header,
    "same_width_table": _same_width_table,
    "title_multiline": _title_multiline,
    "header_extra_delimiter": _header_extra_delimiter,
    "header_stray_quote": _header_stray_quote,
    "header_missing_delimiter": _header_missing_delimiter,
    "three_row_header": _three_row_header,
    "spanning_label": _spanning_label,
}

# Column kinds a pollution needs in order to change the file at all.
_NEEDS: Dict[str, List[str]] = {
    "decimal_comma": ["decimal", "decimal"],
    "quote_single": ["tricky", "tricky"],
    "escape_backslash": ["tricky", "tricky", "tricky"],
    "c1_punctuation": ["phrase", "phrase"],
    # Group labels need columns to span; a trailing column is past the spans.
    "three_row_header": ["decimal", "int", "decimal"],
    "spanning_label": ["decimal", "int", "decimal"],
    "extra_separator_in_text": ["phrase", "decimal"],
}

#: Every pollution, in the order of the score table (``none`` is the control).
KINDS: Tuple[str, ...] = tuple(POLLUTIONS)


def make_case(kind: str, index: int, seed: int = 0, corpus: Sequence[Tuple[str, Table]] = ()) -> Case:
    """The ``index``-th case of one pollution kind.

    About one case in four starts from a corpus table (when ``corpus`` is
    given), the rest from generated ones. Pollutions that only show on some
    cells (decimal commas, quote and escape characters) always start from a
    generated table that has such cells.
    """
    rng = random.Random(f"{seed}:{kind}:{index}")
    if kind in _NEEDS:
        width = rng.randint(4, 10)
        kinds = ["int"] + _NEEDS[kind] + [rng.choice(_KINDS_OF_CELL) for _ in range(width - 1 - len(_NEEDS[kind]))]
        header, records = generated_table(rng, kinds)
        source = "generated"
    elif corpus and rng.random() < 0.25:
        source, (header, records) = corpus[rng.randrange(len(corpus))]
        header, records = list(header), [list(r) for r in records]
    else:
        header, records = generated_table(rng)
        source = "generated"
    case = POLLUTIONS[kind](header, records, rng)
    case.kind, case.name, case.source = kind, f"{kind}_{index:03d}", source
    return case
