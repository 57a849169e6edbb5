"""The options table and the validation every reading function goes through."""

import dataclasses

import numpy as np
import pytest

from rowmend import RowmendWarning
from rowmend._checks import OptionError
from rowmend._options import OPTIONS, Options, resolve_options


class Text(str):
    pass


def test_defaults_come_from_the_table_and_fields_match_it():
    assert [field.name for field in dataclasses.fields(Options)] == [spec.name for spec in OPTIONS]
    assert dataclasses.asdict(resolve_options()) == {spec.name: spec.default for spec in OPTIONS}


def test_the_table_is_consistent_for_the_command_line():
    for spec in OPTIONS:
        assert spec.kind in ("flag", "choice", "value"), spec.name
        assert (spec.kind == "flag") <= (spec.type is bool and not spec.nullable), spec.name
        assert (spec.kind == "choice") == bool(spec.choices), spec.name
        assert spec.default in [value for _, value in spec.choices] or not spec.choices, spec.name
        assert spec.help and "\n" not in spec.help, spec.name
    assert [spec.flag for spec in OPTIONS][:3] == ["--delimiter", "--quote-char", "--fill-ragged-rows"]


ACCEPTED = [
    # (option, value, resolved value)
    ("delimiter", ";", ";"),
    ("delimiter", "\t", "\t"),
    ("delimiter", Text("|"), "|"),
    ("delimiter", None, None),
    ("delimiter", "auto", None),
    ("delimiter", ", ", ", "),
    ("quote_char", "'", "'"),
    ("quote_char", "auto", "auto"),
    ("quote_char", "none", "none"),
    ("escape_char", "\\", "\\"),
    ("escape_char", None, None),
    ("escape_char", "auto", "auto"),
    ("escape_char", "none", None),
    ("comment", "none", None),
    ("comment", "//", "//"),
    ("skip_footer", 3, 3),
    ("skip_footer", np.int64(2), 2),
    ("skip_footer", False, 0),
    ("skip_footer", "none", 0),
    ("skip_footer", "auto", "auto"),
    ("fill_ragged_rows", False, False),
    ("merge_overflow", np.bool_(False), False),
    ("expected_columns", 0, 0),
    ("expected_columns", np.uint8(7), 7),
    ("encoding", "Latin-1", "iso8859-1"),
    ("encoding", "UTF8", "utf-8"),
    ("encoding", "AUTO", "auto"),
    ("encoding", "windows-1252", "cp1252"),
    ("header", False, False),
    ("line_numbers", True, True),
    ("threads", 2, 2),
    ("dtypes", "infer", "infer"),
    ("dtypes", "string", None),
    ("dtypes", {"a": "Decimal"}, {"a": ("decimal", None)}),
    ("dtypes", "a=date-mdy, b=integer", {"a": ("date", False), "b": ("integer", None)}),
    ("max_records", 0, 0),
]


@pytest.mark.parametrize("option, value, resolved", ACCEPTED)
def test_accepted_values(option, value, resolved):
    result = getattr(resolve_options(**{option: value}), option)
    assert result == resolved and type(result) is type(resolved)


TYPE_ERRORS = [
    ({"delim": ","}, "unexpected option 'delim'; did you mean 'delimiter'?"),
    ({"zzz": 1}, "unexpected option 'zzz'"),
    ({"delimiter": b","}, "delimiter must be a str, 'auto' or None, not bytes"),
    ({"delimiter": 44}, "delimiter must be a str, 'auto' or None, not int"),
    ({"quote_char": 34}, "quote_char must be a str, 'auto', 'none' or None, not int"),
    ({"skip_footer": True}, "skip_footer must be an int, 'section', 'auto' or 'none', not bool"),
    ({"skip_footer": 1.0}, "skip_footer must be an int, 'section', 'auto' or 'none', not float"),
    ({"fill_ragged_rows": 1}, "fill_ragged_rows must be True or False, not int"),
    ({"merge_overflow": None}, "merge_overflow must be True or False, not None"),
    ({"repair_quotes": "yes"}, "repair_quotes must be True or False, not str"),
    ({"expected_columns": 1.5}, "expected_columns must be an int or None, not float"),
    ({"expected_columns": "3"}, "expected_columns must be an int or None, not str"),
    ({"expected_columns": True}, "expected_columns must be an int or None, not bool"),
    ({"threads": np.float64(2)}, "threads must be an int or None, not float64"),
    ({"encoding": None}, "encoding must be a str, not None"),
    ({"header": "yes"}, "header must be True or False, not str"),
    ({"line_numbers": np.int64(1)}, "line_numbers must be True or False, not int64"),
    ({"dtypes": 1}, "dtypes must be 'infer', 'string', None or a mapping of column names to kinds, not int"),
    ({"dtypes": "infer", "null_values": 3}, "null_values must be a list of str, a comma-separated str or None, not int"),
    ({"dtypes": "infer", "null_values": ["NA", None]}, "null_values must hold str, not NoneType"),
    ({"max_records": None}, "max_records must be an int, not None"),
]


@pytest.mark.parametrize("kwargs, message", TYPE_ERRORS, ids=[m for _, m in TYPE_ERRORS])
def test_type_errors_name_the_option(kwargs, message):
    with pytest.raises(TypeError) as info:
        resolve_options(**kwargs)
    assert str(info.value) == message


VALUE_ERRORS = [
    ({"delimiter": ""}, "delimiter must be one character ('auto' to detect it), not ''"),
    ({"delimiter": ";;"}, "delimiter must be one character ('auto' to detect it), not ';;'"),
    ({"delimiter": "none"}, "delimiter cannot be turned off: give one character, or 'auto' to detect it"),
    ({"quote_char": "no"},
     "quote_char must be one character ('auto' to detect it or 'none' to read quotes as text), not 'no'"),
    ({"delimiter": "§"}, "delimiter must be an ASCII character, not '§' (U+00A7)"),
    ({"quote_char": "\u201c"}, "quote_char must be an ASCII character, not '\u201c' (U+201C)"),
    ({"delimiter": "\n"}, "delimiter cannot be a line break ('\\n')"),
    ({"quote_char": "\r"}, "quote_char cannot be a line break ('\\r')"),
    ({"delimiter": '"', "quote_char": '"'}, "delimiter and quote_char are both '\"'; they must differ"),
    ({"delimiter": "\\", "escape_char": "\\"}, "delimiter and escape_char are both '\\\\'; they must differ"),
    ({"delimiter": "  "}, "delimiter must be one character ('auto' to detect it), not '  '"),
    ({"escape_char": "ab"}, "escape_char must be one character ('auto' to detect it or 'none' for no escape), not 'ab'"),
    ({"comment": "a\nb"}, "comment must be 'auto', a prefix on one line, or 'none' to keep every line, not 'a\\nb'"),
    ({"skip_footer": -1}, "skip_footer must be at least 0, not -1"),
    ({"delimiter": "'", "quote_char": "'"}, "delimiter and quote_char are both \"'\"; they must differ"),
    ({"encoding": "no-such-codec"}, "encoding must be 'auto' or a text encoding Python knows, not 'no-such-codec'"),
    ({"encoding": "base64"}, "encoding must be 'auto' or a text encoding Python knows, not 'base64'"),
    ({"expected_columns": -1}, "expected_columns must be at least 0, not -1"),
    ({"threads": 0}, "threads must be at least 1, not 0"),
    ({"max_records": -5}, "max_records must be at least 0, not -5"),
    ({"dtypes": "strings"}, "dtypes must be 'infer', 'string', None or a mapping of column names to kinds, not 'strings'"),
    ({"dtypes": {"a": "float"}}, "dtypes['a'] must be one of string, boolean, integer, decimal, date, time, timestamp, "
     "date-dmy, date-mdy, timestamp-dmy, timestamp-mdy, not 'float'"),
    ({"dtypes": "infer", "decimal": ";"}, "decimal must be '.', ',' or 'auto', not ';'"),
    ({"dtypes": "infer", "thousands": "x"}, "thousands must be one of 'auto', 'none', 'comma', 'point', 'space', "
     "'apostrophe', 'nbsp', 'nnbsp' or the separator itself, not 'x'"),
    ({"decimal": ","}, "decimal applies to typed columns: give dtypes='infer' (or per-column kinds) with it"),
    ({"nulls_in_text": True}, "nulls_in_text applies to typed columns: give dtypes='infer' (or per-column kinds) with it"),
]


@pytest.mark.parametrize("kwargs, message", VALUE_ERRORS, ids=[m for _, m in VALUE_ERRORS])
def test_value_errors_name_the_option(kwargs, message):
    with pytest.raises(ValueError) as info:
        resolve_options(**kwargs)
    assert str(info.value) == message
    if "encoding" in kwargs:
        assert isinstance(info.value.__cause__, LookupError)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, {"delimiter": None, "trim_blank": False, "quote_char": None, "escape_char": None}),
        ({"delimiter": "\t", "quote_char": "'"}, {"delimiter": 9, "quote_char": 39}),
        ({"delimiter": ", ", "escape_char": None}, {"delimiter": 44, "trim_blank": True, "escape_char": 0}),
        ({"escape_char": "\\", "expected_columns": 3}, {"escape_char": 92, "expected_columns": 3}),
        ({"quote_char": "none", "escape_char": "none"}, {"quote_char": 0, "escape_char": 0}),
    ],
)
def test_engine_kwargs_give_bytes(kwargs, expected):
    engine = resolve_options(**kwargs).engine_kwargs()
    assert list(engine) == [
        "delimiter", "trim_blank", "quote_char", "escape_char",
        "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
    ]
    assert {key: engine[key] for key in expected} == expected



def test_quote_char_none_still_detects_and_warns_at_the_caller():
    with pytest.warns(RowmendWarning, match="quote_char='auto' to detect it or quote_char='none'") as caught:
        assert resolve_options(quote_char=None).quote_char == "auto"
    assert caught[0].filename == __file__


@pytest.mark.parametrize(
    "kwargs, python, command_line",
    [
        ({"escape_char": "nonee"},
         "escape_char must be one character ('auto' to detect it or 'none' for no escape), not 'nonee'",
         "--escape-char must be one character (auto to detect it or none for no escape), not 'nonee'"),
        ({"expected_columns": -2}, "expected_columns must be at least 0, not -2",
         "--expected-columns must be at least 0, not -2"),
    ],
)
def test_option_errors_speak_python_and_the_command_line(kwargs, python, command_line):
    with pytest.raises(OptionError) as info:
        resolve_options(**kwargs)
    assert str(info.value) == python
    assert info.value.render("--" + info.value.option.replace("_", "-"), "") == command_line
