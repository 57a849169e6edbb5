"""Column names: from the header, made up where missing, always unique."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from rowmend._names import column_names, line_column_name

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
