"""Column names: from the header, made up where missing, always unique."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from rowmend._names import MAX_NAME_BYTES, column_names, line_column_name, name_notes

NAMING = [
    # (header row, width, names)
    (None, 0, []),
    (None, 3, ["column_1", "column_2", "column_3"]),
    (["a", "b"], 2, ["a", "b"]),
    (["a", "", "c"], 3, ["a", "column_2", "c"]),
    (["a"], 3, ["a", "column_2", "column_3"]),
    (["a", "b", "c"], 2, ["a", "b"]),
    (["a", "a", "a"], 3, ["a", "a_2", "a_3"]),
    # a name the header holds stays with its column
    (["a", "a", "a_2"], 3, ["a", "a_3", "a_2"]),
    (["", "column_1"], 2, ["column_1_2", "column_1"]),
    (["column_2", ""], 2, ["column_2", "column_2_2"]),
    # unique regardless of case, as SQL engines match names
    (["id", "ID", "Id"], 3, ["id", "ID_2", "Id_3"]),
    (["x", "X_2", "x"], 3, ["x", "X_2", "x_3"]),
    ([" ", " "], 2, [" ", " _2"]),
    # a NUL cannot pass through Arrow's C interface, which cuts names at it
    (["a\0b", "a\ufffdb", "\0"], 3, ["a\ufffdb", "a\ufffdb_2", "\ufffd"]),
    # a name is at most 64 KiB of UTF-8, a character cut in two dropped
    (["x" * (MAX_NAME_BYTES + 9), "b"], 2, ["x" * MAX_NAME_BYTES, "b"]),
    (["é" * MAX_NAME_BYTES, "\0" * (MAX_NAME_BYTES + 1)], 2, ["é" * (MAX_NAME_BYTES // 2), "\ufffd" * MAX_NAME_BYTES]),
]


@pytest.mark.parametrize("header, width, names", NAMING)
def test_column_names(header, width, names):
    assert column_names(header, width) == names


@pytest.mark.parametrize(
    "names, line_name",
    [([], "_line"), (["a", "line"], "_line"), (["_line"], "_line_2"), (["_LINE", "_line_2"], "_line_3")],
)
def test_line_column_name(names, line_name):
    assert line_column_name(names) == line_name


@given(header=st.lists(st.sampled_from(["", "a", "A", "a_2", "column_1", "column_2", "b"]), max_size=8), extra=st.integers(0, 3))
def test_names_are_unique_and_keep_every_unique_header_name(header, extra):
    width = len(header) + extra
    names = column_names(header, width)
    assert len(names) == width
    assert len({name.casefold() for name in names}) == width
    for position, name in enumerate(header):
        if name and [h.casefold() for h in header].count(name.casefold()) == 1:
            assert names[position] == name
    assert line_column_name(names).casefold() not in {name.casefold() for name in names}


@pytest.mark.parametrize(
    "header, codes",
    [
        (None, []),
        (["a", "b"], []),
        (["a\0", "b", "\0"], [("column-name-nul", "columns 1, 3")]),
        (["a", "y" * (MAX_NAME_BYTES + 1)], [("column-name-cut", "column 2 ")]),
        # the NUL past the cut is not in the name
        (["y" * MAX_NAME_BYTES + "\0"], [("column-name-cut", "column 1 ")]),
        (["\0"] * 7, [("column-name-nul", "columns 1, 2, 3, 4, 5 and 2 more")]),
    ],
)
def test_name_notes_say_what_changed(header, codes):
    notes = name_notes(header, 7)
    assert [note.code for note in notes] == [code for code, _ in codes]
    for note, (_, where) in zip(notes, codes):
        assert where in note.message
