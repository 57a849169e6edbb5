"""Detecting encodings and decoding to UTF-8, with every replaced byte counted."""

import codecs
import encodings.cp1252

import pytest
from hypothesis import given
from hypothesis import strategies as st

from rowmend._encoding import DETECT_BYTES, detect_encoding, normalize_encoding, resolve_encoding, transcode
from rowmend._options import resolve_options

TEXT = "id;name\n1;Zoë Ångström – “quoted” €5\n"
UNDEFINED_IN_CP1252 = bytes([0x81, 0x8D, 0x8F, 0x90, 0x9D])

DETECTION = [
    # (head, at_eof, expected)
    (codecs.BOM_UTF8 + TEXT.encode(), True, ("utf-8", 3)),
    (codecs.BOM_UTF16_LE + TEXT.encode("utf-16-le"), True, ("utf-16-le", 2)),
    (codecs.BOM_UTF16_BE + TEXT.encode("utf-16-be"), True, ("utf-16-be", 2)),
    (codecs.BOM_UTF32_LE + TEXT.encode("utf-32-le"), True, ("utf-32-le", 4)),
    (codecs.BOM_UTF32_BE + TEXT.encode("utf-32-be"), True, ("utf-32-be", 4)),
    (b"", True, ("utf-8", 0)),
    (b"a,b\n", True, ("utf-8", 0)),
    (TEXT.encode(), True, ("utf-8", 0)),
    (TEXT.encode("cp1252"), True, ("cp1252", 0)),
    (b"a,\x81\x8d\n", True, ("cp1252", 0)),
    # a character cut by the end of the head is valid unless the input ends there
    ("a,é€".encode()[:-1], False, ("utf-8", 0)),
    ("a,é€".encode()[:-1], True, ("cp1252", 0)),
    (b"a,\xe2\x28\xa1", False, ("cp1252", 0)),
    # UTF-16 without a mark: NUL in every other byte
    (TEXT.encode("utf-16-le"), True, ("utf-16-le", 0)),
    (TEXT.encode("utf-16-be"), True, ("utf-16-be", 0)),
    # zero-filled damage is no UTF-16, nor are a few NUL bytes
    (b"a,b\n" + bytes(64) + b"c,d\n", True, ("utf-8", 0)),
    (b"\0\n\0\n", True, ("utf-8", 0)),
    ("a,b\n".encode("utf-16-be")[:-1], True, ("utf-8", 0)),
    ("a,b\n1,2\n".encode("utf-16-be"), True, ("utf-16-be", 0)),
    # only the first MiB counts
    (b"a" * DETECT_BYTES + b"\xff", True, ("utf-8", 0)),
    (b"a" * (DETECT_BYTES - 1) + "é".encode(), False, ("utf-8", 0)),
]


@pytest.mark.parametrize("head, at_eof, expected", DETECTION)
def test_detect_encoding(head, at_eof, expected):
    assert detect_encoding(head, at_eof) == expected


RESOLUTION = [
    # (requested, head, expected)
    ("auto", codecs.BOM_UTF8 + b"a", ("utf-8", 3)),
    ("AUTO", b"\xe9", ("cp1252", 0)),
    ("UTF8", codecs.BOM_UTF8 + b"a", ("utf-8", 3)),
    ("utf-8-sig", codecs.BOM_UTF8 + b"a", ("utf-8", 3)),
    ("utf-8-sig", b"a", ("utf-8", 0)),
    ("utf-16", codecs.BOM_UTF16_BE + b"\x00a", ("utf-16-be", 2)),
    ("utf-16", codecs.BOM_UTF16_LE + b"a\x00", ("utf-16-le", 2)),
    ("UTF-16", "a,b\n".encode("utf-16-be"), ("utf-16-be", 0)),
    ("utf-16", b"", ("utf-16-le", 0)),
    ("utf_16_le", codecs.BOM_UTF16_LE + b"a\x00", ("utf-16-le", 2)),
    ("utf-32", codecs.BOM_UTF32_BE + b"\x00\x00\x00a", ("utf-32-be", 4)),
    ("utf-32", b"a\x00\x00\x00", ("utf-32-le", 0)),
    ("latin-1", codecs.BOM_UTF8 + b"a", ("iso8859-1", 0)),
    ("windows-1252", b"\x80", ("cp1252", 0)),
    ("Shift_JIS", b"a", ("shift_jis", 0)),
]


@pytest.mark.parametrize("requested, head, expected", RESOLUTION)
def test_resolve_encoding(requested, head, expected):
    assert resolve_encoding(requested, head, at_eof=True) == expected


@pytest.mark.parametrize("name", ["no-such-codec", "base64", "rot13", "zlib", ""])
def test_names_that_are_no_text_encoding_are_lookup_errors(name):
    with pytest.raises(LookupError):
        normalize_encoding(name)


def test_cp1252_keeps_every_byte():
    every_byte = bytes(range(256))
    text = every_byte.decode("rowmend-cp1252")
    assert [text[b] for b in UNDEFINED_IN_CP1252] == [chr(b) for b in UNDEFINED_IN_CP1252]
    assert [ch for b, ch in enumerate(text) if b not in UNDEFINED_IN_CP1252] == [
        ch for b, ch in enumerate(encodings.cp1252.decoding_table) if b not in UNDEFINED_IN_CP1252
    ]
    assert text.encode("rowmend-cp1252") == every_byte


TRANSCODING = [
    # (chunks, encoding, expected text, replaced input bytes)
    ([TEXT.encode("cp1252"), UNDEFINED_IN_CP1252], "cp1252", TEXT + "\x81\x8d\x8f\x90\x9d", 0),
    ([TEXT.encode("cp1252")], "windows-1252", TEXT, 0),
    ([b"\xe9\x81"], "latin-1", "é\x81", 0),
    # multi-byte characters split across chunks decode whole
    ([b"a\xe2", b"\x82", b"\xacb"], "utf-8", "a€b", 0),
    ([b"\x00a\xd8", b"\x3d\xde\x00"], "utf-16-be", "a😀", 0),
    ([b"\x82\xa0\x82", b"\xa2"], "shift_jis", "あい", 0),
    # replacements, counted in input bytes
    ([b"a\xff\xfeb"], "utf-8", "a\ufffd\ufffdb", 2),
    ([b"a\xe2\x82"], "utf-8", "a\ufffd", 2),
    ([b"\xe2\x82", b"x\xf0\x9f\x98"], "utf-8", "\ufffdx\ufffd", 5),
    ([b"\xef\xbf\xbd"], "utf-8", "\ufffd", 0),  # a real U+FFFD is no replacement
    ([b"a\x00b"], "utf-16-le", "a\ufffd", 1),  # odd byte at the end
    ([b"\x00\xd8a\x00"], "utf-16-le", "\ufffda", 2),  # lone surrogate
    ([codecs.BOM_UTF16_BE + b"\x00a"], "utf-16", "a", 0),  # the generic codec eats its mark
    ([b"\x80"], "ascii", "\ufffd", 1),
    ([], "utf-8", "", 0),
]


@pytest.mark.parametrize("chunks, encoding, text, replaced", TRANSCODING)
def test_transcode(chunks, encoding, text, replaced):
    transcoder = transcode(chunks, encoding)
    output = list(transcoder)
    assert b"".join(output).decode("utf-8") == text
    assert all(output)  # no empty chunks
    assert transcoder.replaced_bytes == replaced


def test_transcoders_running_together_count_apart():
    first, second = transcode([b"\xff"] * 3, "utf-8"), transcode([b"\xff\xff"] * 3, "utf-8")
    for _ in zip(first, second):  # each decodes in turn
        pass
    assert (first.replaced_bytes, second.replaced_bytes) == (3, 6)


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16-le", "utf-16-be"])
@given(data=st.binary(max_size=64), cuts=st.lists(st.integers(0, 64), max_size=4))
def test_transcode_matches_one_shot_decoding_and_counts_exactly(encoding, data, cuts):
    # In these codecs every valid character encodes back to the bytes it came
    # from, so the bytes not accounted for by the output were replaced.
    bounds = sorted({0, len(data), *(c for c in cuts if c <= len(data))})
    chunks = [data[a:b] for a, b in zip(bounds, bounds[1:])]
    transcoder = transcode(chunks, encoding)
    text = b"".join(transcoder).decode("utf-8")
    assert text == data.decode(encoding, "replace")
    if "\ufffd" not in data.decode(encoding, "ignore"):
        assert transcoder.replaced_bytes == len(data) - len(text.replace("\ufffd", "").encode(encoding))


def _codecs_python_knows():
    import encodings
    import pkgutil

    names = sorted({module.name for module in pkgutil.iter_modules(encodings.__path__)} - {"aliases"})
    return [name for name in names if _looks_up(name)]


def _looks_up(name):
    try:
        return codecs.lookup(name) is not None
    except LookupError:  # a platform's own (mbcs, oem)
        return False


HOSTILE_TEXT = [
    b"a,b\n+2D0-,\\ud800\n",  # lone surrogates from utf-7 and unicode_escape
    b"a,b\n\\N{x,\\x4\n+AGE",
    b"a,b\n\xff\xfe\x00\xd8\x80,\xed\xa0\x80\n",
    bytes(range(256)),
]


@pytest.mark.filterwarnings("ignore::rowmend.RowmendWarning")  # ASCII read as UTF-16 or UTF-32 is doubted
@pytest.mark.parametrize("name", _codecs_python_knows())
def test_every_codec_reads_with_replacement_or_is_refused_up_front(name):
    import io

    import rowmend

    try:
        resolve_options(encoding=name)
    except ValueError as error:
        assert repr(name) in str(error)
        return
    for data in HOSTILE_TEXT:
        s = rowmend.stream(io.BytesIO(data), encoding=name, header=False)
        rows = sum(len(batch) for batch in s)
        assert rows == s.report.total_rows - s.report.quarantined_rows - s.report.skipped_rows


@pytest.mark.parametrize(
    "data, encoding, codes",
    [
        (b"a,b\n1,2\n3,4\n", "utf-16", ["encoding-doubtful"]),
        (b"a,b\n1,2\n3,4\n", "utf-32", ["encoding-doubtful", "bytes-replaced"]),
        ("a,b\n1,2\n".encode("utf-16-le"), "latin-1", ["encoding-doubtful", "column-name-nul"]),
        ("a,b\n1,2\n".encode("utf-16-le"), "utf-16", []),
        ("\u6f22,\u5b57\n1,2\n".encode("utf-16-be"), "utf-16-be", []),  # no NULs, yet UTF-16
        (b"a,b\n1,\xff2\n", "utf-8", ["bytes-replaced"]),
        (b"a,b\n1,\xff2\n", "auto", []),  # detection decides and counts
        (b"a,b\n1,2\n", "cp1252", []),
    ],
)
def test_a_chosen_encoding_that_went_wrong_is_noted_and_warned(data, encoding, codes, recwarn):
    import io

    import rowmend

    s = rowmend.stream(io.BytesIO(data), encoding=encoding)
    list(s)
    assert [note.code for note in s.report.notes] == codes
    warned = [str(w.message) for w in recwarn if issubclass(w.category, rowmend.RowmendWarning)]
    assert len(warned) == codes.count("encoding-doubtful")


@pytest.mark.parametrize(
    "data, encoding, first",
    [
        (b"\xef\xbb\xbfa\n", "utf-8", "a"),
        (b"\xef\xbb\xbf\xef\xbb\xbfa\n", "utf-8", "\ufeffa"),  # a second mark is data, as the backend reads it
        (b"\xef\xbb\xbf\xef\xbb\xbfa\n", "auto", "\ufeffa"),
        (b"\xef\xbb\xbf\xef\xbb\xbf", "auto", "\ufeff"),
    ],
)
def test_one_byte_order_mark_is_skipped_and_no_more(data, encoding, first):
    import io

    import rowmend

    table = rowmend.read_arrow(io.BytesIO(data), encoding=encoding, header=False, skip_blank_rows=False)
    assert table.column(0).to_pylist()[:1] == [first]


@pytest.mark.parametrize(
    "encoding, note, codes",
    [
        ("auto", "a \u2013 \u201cb\u201d \u2022", ["c1-mapped"]),  # cp1252 punctuation, as meant
        ("utf-8", "a \x96 \x93b\x94 \x95", []),  # the encoding given reads as it is
    ],
)
def test_c1_controls_in_detected_utf8_are_read_as_cp1252_punctuation(encoding, note, codes):
    import io

    import rowmend

    data = "id,note\n1,a \x96 \x93b\x94 \x95\n2,\x81 kept\n".encode()
    s = rowmend.stream(io.BytesIO(data), encoding=encoding)
    rows = [row for batch in s for row in batch.to_pylist()]
    assert [row["note"] for row in rows] == [note, "\x81 kept"]
    assert [n.code for n in s.report.notes] == codes
    assert not codes or s.report.notes[0].message.startswith("4 C1 control characters")
