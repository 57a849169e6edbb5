"""The module's Python face: attributes, docstrings and signatures, classes,
argument binding and argument conversion."""

import importlib.util
import inspect
import pathlib
import platform
import shutil
import subprocess
import sys

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"
HAS_ADD_NOTE = hasattr(BaseException, "add_note")

MODULE_DOC = (
    "High-performance, fault-tolerant rowmend and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

SALVAGE_FILE_SIGNATURE = (
    '(input_path, output_path, quarantine_path=None, delimiter=None, quote_char="\\"", '
    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
READER_SIGNATURE = (
    '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
    "merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
SALVAGE_FILE_DOC = "\n".join(
    [
        "Salvages a corrupted CSV file and writes a clean, standard RFC-4180 file.",
        "",
        "Args:",
        "    input_path: Path to the corrupted CSV file.",
        "    output_path: Path where the repaired CSV file will be written.",
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
        '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.',
        "    quote_char: Optional single-character quote enclosure (default '\"').",
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
        "    expected_columns: Optional explicit column count. If None, inferred automatically.",
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
    ]
)

OPTION_DEFAULTS = [
    ("delimiter", None),
    ("quote_char", '"'),
    ("fill_ragged_rows", True),
    ("merge_overflow", True),
    ("expected_columns", None),
    ("repair_quotes", True),
]
REQUIRED = inspect.Parameter.empty


def assert_note(exc, parameter):
    """The note names the parameter where the interpreter can carry notes;
    elsewhere the exception is raised exactly as it was made."""
    if HAS_ADD_NOTE:
        assert exc.__notes__ == ["while processing '%s'" % parameter]
    else:
        assert not hasattr(exc, "__notes__")


@pytest.fixture
def csv_path(write_bytes):
    return write_bytes(b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n")


@pytest.fixture
def reader(rm, write_bytes):
    return rm.open(write_bytes(b"a,b\n"))


# ---- module attributes ------------------------------------------------------


def test_module_attributes(rm):
    assert rm.__name__ == "_rowmend_backend"
    assert rm.__version__ == "0.2.0"
    assert rm.__doc__ == MODULE_DOC
    assert type(rm.__all__) is list
    assert rm.__all__ == ["salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader"]


def test_public_names_are_exactly_those_of_all(rm):
    public = {name for name in dir(rm) if not name.startswith("_")}
    assert public == set(rm.__all__)
    for name in rm.__all__:
        assert getattr(rm, name) is not None


FUNCTIONS = [
    (
        "salvage_file",
        SALVAGE_FILE_SIGNATURE,
        SALVAGE_FILE_DOC,
        [("input_path", REQUIRED), ("output_path", REQUIRED), ("quarantine_path", None)] + OPTION_DEFAULTS,
    ),
    (
        "sniff",
        "(sample)",
        "Detects the most likely delimiter from a CSV string sample.",
        [("sample", REQUIRED)],
    ),
    (
        "open",
        READER_SIGNATURE,
        "Convenience function to open and stream a salvaged CSV file.",
        [("file_path", REQUIRED)] + OPTION_DEFAULTS,
    ),
]


@pytest.mark.parametrize("name, signature, doc, parameters", FUNCTIONS, ids=[f[0] for f in FUNCTIONS])
def test_functions(rm, name, signature, doc, parameters):
    function = getattr(rm, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__module__ == "_rowmend_backend"
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    bound = inspect.signature(function).parameters
    assert [(p.name, p.default) for p in bound.values()] == parameters
    assert {p.kind for p in bound.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.skipif(IS_PYPY, reason="PyPy's built-in functions do not expose __self__")
@pytest.mark.parametrize("name", ["salvage_file", "sniff", "open"])
def test_functions_are_bound_to_the_module(rm, name):
    assert getattr(rm, name).__self__ is rm


@pytest.mark.parametrize(
    "name, doc",
    [
        ("SalvageReader", "In-memory streaming reader iterating over salvaged rows."),
        ("SalvageSummary", "Python-exposed summary of a salvage operation."),
    ],
)
def test_classes(rm, name, doc):
    cls = getattr(rm, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)


@pytest.mark.skipif(
    not IS_PYPY and sys.version_info < (3, 10),
    reason="CPython 3.9 drops the signature line of a heap type's docstring",
)
def test_reader_class_signature(rm):
    assert rm.SalvageReader.__text_signature__ == READER_SIGNATURE
    parameters = inspect.signature(rm.SalvageReader).parameters
    assert [(p.name, p.default) for p in parameters.values()] == [("file_path", REQUIRED)] + OPTION_DEFAULTS


@pytest.mark.skipif(IS_PYPY, reason="PyPy drops the text signature of methods of C types")
@pytest.mark.parametrize(
    "method, signature, parameters",
    [
        ("__enter__", "($self)", []),
        (
            "__exit__",
            "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
            [("_exc_type", None), ("_exc_val", None), ("_exc_tb", None)],
        ),
    ],
)
def test_reader_context_methods(rm, reader, method, signature, parameters):
    assert getattr(rm.SalvageReader, method).__text_signature__ == signature
    assert getattr(rm.SalvageReader, method).__doc__ is None
    bound = inspect.signature(getattr(reader, method)).parameters
    assert [(p.name, p.default) for p in bound.values()] == parameters


def test_reader_class_cannot_be_subclassed(rm):
    with pytest.raises(TypeError):

        class Sub(rm.SalvageReader):
            pass


def test_a_second_execution_reuses_the_classes(rm):
    spec = importlib.util.spec_from_file_location("_rowmend_backend", rm.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not rm
    assert again.SalvageReader is rm.SalvageReader
    assert again.SalvageSummary is rm.SalvageSummary
    assert again.sniff is not rm.sniff
    assert again.sniff("a;b\nc;d\n") == ";"
    assert type(again.open(__file__)) is rm.SalvageReader


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_initialisation_function_is_the_only_exported_symbol(rm):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", rm.__file__], check=True, capture_output=True, text=True
    ).stdout
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert names == ["PyInit__rowmend_backend"]


# ---- argument binding -------------------------------------------------------

# Each callable gets the arguments it is called with; the reader-bound one
# gets a reader to call __exit__ on.
CALLABLES = {
    "salvage_file": lambda rm, reader: rm.salvage_file,
    "sniff": lambda rm, reader: rm.sniff,
    "open": lambda rm, reader: rm.open,
    "SalvageReader": lambda rm, reader: rm.SalvageReader,
    "__exit__": lambda rm, reader: reader.__exit__,
}

BINDING_FAILURES = [
    # too many positional arguments: counted before anything else, and before
    # any argument is converted (these ints would fail conversion)
    ("sniff", (1, 2), {}, "sniff() takes 1 positional arguments but 2 were given"),
    ("sniff", (1, 2), {"bogus": 1}, "sniff() takes 1 positional arguments but 2 were given"),
    ("open", tuple(range(8)), {}, "open() takes from 1 to 7 positional arguments but 8 were given"),
    ("salvage_file", tuple(range(10)), {}, "salvage_file() takes from 2 to 9 positional arguments but 10 were given"),
    (
        "SalvageReader",
        tuple(range(9)),
        {},
        "SalvageReader.__new__() takes from 1 to 7 positional arguments but 9 were given",
    ),
    ("__exit__", (1, 2, 3, 4), {}, "SalvageReader.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    # keywords, checked in the order passed, before missing parameters
    ("sniff", (), {"bogus": 1}, "sniff() got an unexpected keyword argument 'bogus'"),
    ("sniff", (), {"Sample": "x"}, "sniff() got an unexpected keyword argument 'Sample'"),
    ("sniff", (), {"\u00e9": "x"}, "sniff() got an unexpected keyword argument '\u00e9'"),
    ("salvage_file", (), {"bogus": 1}, "salvage_file() got an unexpected keyword argument 'bogus'"),
    (
        "salvage_file",
        ("a",),
        {"output_path": "b", "input_path": "c"},
        "salvage_file() got multiple values for argument 'input_path'",
    ),
    (
        "salvage_file",
        ("a", "b"),
        {"bogus": 1, "input_path": "c"},
        "salvage_file() got an unexpected keyword argument 'bogus'",
    ),
    (
        "salvage_file",
        ("a", "b"),
        {"input_path": "c", "bogus": 1},
        "salvage_file() got multiple values for argument 'input_path'",
    ),
    ("open", ("a",), {"file_path": "b"}, "open() got multiple values for argument 'file_path'"),
    ("open", ("a",), {"delim": ","}, "open() got an unexpected keyword argument 'delim'"),
    ("SalvageReader", ("a",), {"path": "b"}, "SalvageReader.__new__() got an unexpected keyword argument 'path'"),
    ("SalvageReader", ("a",), {"file_path": "b"}, "SalvageReader.__new__() got multiple values for argument 'file_path'"),
    ("__exit__", (1,), {"_exc_type": 2}, "SalvageReader.__exit__() got multiple values for argument '_exc_type'"),
    ("__exit__", (), {"exc_type": None}, "SalvageReader.__exit__() got an unexpected keyword argument 'exc_type'"),
    # required parameters left unfilled
    ("sniff", (), {}, "sniff() missing 1 required positional argument: 'sample'"),
    ("open", (), {}, "open() missing 1 required positional argument: 'file_path'"),
    ("open", (), {"delimiter": ","}, "open() missing 1 required positional argument: 'file_path'"),
    ("SalvageReader", (), {}, "SalvageReader.__new__() missing 1 required positional argument: 'file_path'"),
    (
        "salvage_file",
        (),
        {},
        "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'",
    ),
    (
        "salvage_file",
        (),
        {"quarantine_path": None, "delimiter": ","},
        "salvage_file() missing 2 required positional arguments: 'input_path' and 'output_path'",
    ),
    ("salvage_file", ("a",), {}, "salvage_file() missing 1 required positional argument: 'output_path'"),
    ("salvage_file", (), {"output_path": "b"}, "salvage_file() missing 1 required positional argument: 'input_path'"),
]


@pytest.mark.parametrize(
    "callable_name, args, kwargs, message", BINDING_FAILURES, ids=[m for _, _, _, m in BINDING_FAILURES]
)
def test_binding_failures(rm, reader, callable_name, args, kwargs, message):
    function = CALLABLES[callable_name](rm, reader)
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((None, None, None), {}),
        ((), {"_exc_type": ValueError, "_exc_val": ValueError("x"), "_exc_tb": None}),
        ((), {"_exc_tb": 1}),
        ((), {}),
        ((ValueError,), {"_exc_tb": None}),
    ],
)
def test_exit_accepts_every_binding_form(reader, args, kwargs):
    assert reader.__exit__(*args, **kwargs) is False


# ---- argument conversion ----------------------------------------------------


# Their reprs name them in the test ids, which must not hold addresses: every
# pytest worker collects the same ids.
class Outer:
    class Inner:
        def __repr__(self):
            return "Outer.Inner()"

    def __repr__(self):
        return "Outer()"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Text(str):
    pass


# (keyword, value, exception type, message; None where the interpreter's own
# conversion words the message)
CONVERSION_FAILURES = [
    ("delimiter", 1, TypeError, "'int' object is not an instance of 'str'"),
    ("delimiter", b",", TypeError, "'bytes' object is not an instance of 'str'"),
    ("delimiter", Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'str'"),
    ("delimiter", "\ud800", UnicodeEncodeError, None),
    ("quote_char", None, TypeError, "'None' is not an instance of 'str'"),
    ("quote_char", 34, TypeError, "'int' object is not an instance of 'str'"),
    ("quote_char", "\udcff", UnicodeEncodeError, None),
    ("fill_ragged_rows", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("fill_ragged_rows", 0, TypeError, "'int' object is not an instance of 'bool'"),
    ("fill_ragged_rows", None, TypeError, "'None' is not an instance of 'bool'"),
    ("fill_ragged_rows", "yes", TypeError, "'str' object is not an instance of 'bool'"),
    ("merge_overflow", 1.0, TypeError, "'float' object is not an instance of 'bool'"),
    ("merge_overflow", [], TypeError, "'list' object is not an instance of 'bool'"),
    ("repair_quotes", None, TypeError, "'None' is not an instance of 'bool'"),
    ("repair_quotes", Outer(), TypeError, "'Outer' object is not an instance of 'bool'"),
    ("expected_columns", -1, OverflowError, None),
    ("expected_columns", 2**64, OverflowError, None),
    ("expected_columns", Index(-5), OverflowError, None),
    ("expected_columns", 1.5, TypeError, None),
    ("expected_columns", "3", TypeError, None),
]


def call_with_option(rm, callable_name, input_path, output_path, **options):
    if callable_name == "salvage_file":
        return rm.salvage_file(input_path, output_path, **options)
    return getattr(rm, callable_name)(input_path, **options)


@pytest.mark.parametrize("callable_name", ["salvage_file", "open", "SalvageReader"])
@pytest.mark.parametrize(
    "keyword, value, exc_type, message",
    CONVERSION_FAILURES,
    ids=["%s=%r" % (k, v) for k, v, _, _ in CONVERSION_FAILURES],
)
def test_option_conversion_failures(rm, tmp_path, csv_path, callable_name, keyword, value, exc_type, message):
    output = tmp_path / "out.csv"
    with pytest.raises(exc_type) as info:
        call_with_option(rm, callable_name, csv_path, str(output), **{keyword: value})
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert_note(info.value, keyword)
    assert not output.exists()  # nothing is touched before every argument converted


PATH_FAILURES = [
    (1, TypeError, "'int' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    (b"/tmp/x.csv", TypeError, "'bytes' object is not an instance of 'str'"),
    (pathlib.PurePosixPath("/tmp/x.csv"), TypeError, "'PurePosixPath' object is not an instance of 'str'"),
    ("/tmp/\udc80.csv", UnicodeEncodeError, None),
]


@pytest.mark.parametrize(
    "callable_name, parameter, position",
    [
        ("salvage_file", "input_path", 0),
        ("salvage_file", "output_path", 1),
        ("salvage_file", "quarantine_path", 2),
        ("open", "file_path", 0),
        ("SalvageReader", "file_path", 0),
    ],
)
@pytest.mark.parametrize("value, exc_type, message", PATH_FAILURES, ids=[repr(v) for v, _, _ in PATH_FAILURES])
def test_path_conversion_failures(rm, tmp_path, csv_path, callable_name, parameter, position, value, exc_type, message):
    if parameter == "quarantine_path" and value is None:
        pytest.skip("None is the quarantine path's default")
    output = tmp_path / "out.csv"
    args = [csv_path, str(output), str(tmp_path / "q.csv")][: 3 if callable_name == "salvage_file" else 1]
    args[position] = value
    with pytest.raises(exc_type) as info:
        getattr(rm, callable_name)(*args)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert_note(info.value, parameter)
    assert not output.exists()


@pytest.mark.parametrize(
    "kwargs, failing",
    [
        ({"input_path": 1, "output_path": 2}, "input_path"),
        ({"input_path": "x", "output_path": 2, "quarantine_path": 3}, "output_path"),
        ({"input_path": "x", "output_path": "y", "fill_ragged_rows": 1, "merge_overflow": 1}, "fill_ragged_rows"),
        # conversion follows the parameter order, not the order of the keywords
        ({"repair_quotes": 1, "delimiter": 1, "input_path": "x", "output_path": "y"}, "delimiter"),
        ({"expected_columns": -1, "quote_char": None, "input_path": "x", "output_path": "y"}, "quote_char"),
        ({"input_path": "x", "output_path": "y", "expected_columns": "3", "repair_quotes": 0}, "expected_columns"),
    ],
)
def test_first_conversion_failure_in_parameter_order_wins(rm, kwargs, failing):
    with pytest.raises((TypeError, OverflowError)) as info:
        rm.salvage_file(**kwargs)
    assert_note(info.value, failing)


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (b"a;b", TypeError, "'bytes' object is not an instance of 'str'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
        (["a;b"], TypeError, "'list' object is not an instance of 'str'"),
        ("a;b\n\ud83d", UnicodeEncodeError, None),
    ],
)
def test_sniff_conversion_failures(rm, value, exc_type, message):
    with pytest.raises(exc_type) as info:
        rm.sniff(value)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert_note(info.value, "sample")


# Accepted option values and what the run then reports. The input has rows of
# 3, 3, 2 and 4 fields; its delimiter is sniffed as comma.
ACCEPTED_OPTIONS = [
    ({}, {"detected_delimiter": ",", "inferred_columns": 3, "quarantined_rows": 0}),
    ({"expected_columns": True}, {"inferred_columns": 1}),
    ({"expected_columns": False}, {"inferred_columns": 0, "repaired_rows": 0}),
    ({"expected_columns": Index(2)}, {"inferred_columns": 2}),
    ({"expected_columns": 4}, {"inferred_columns": 4}),
    ({"expected_columns": None}, {"inferred_columns": 3}),
    ({"delimiter": None}, {"detected_delimiter": ","}),
    ({"delimiter": ""}, {"detected_delimiter": ","}),
    ({"delimiter": ";,"}, {"detected_delimiter": ";"}),
    ({"delimiter": "\u00e9"}, {"detected_delimiter": "\u00c3"}),
    ({"delimiter": Text("|")}, {"detected_delimiter": "|"}),
    ({"quote_char": ""}, {"quarantined_rows": 0}),
    ({"quote_char": "'"}, {"quarantined_rows": 0}),
    ({"fill_ragged_rows": False}, {"quarantined_rows": 1, "repaired_rows": 1}),
    ({"merge_overflow": False}, {"quarantined_rows": 1, "repaired_rows": 1}),
    ({"fill_ragged_rows": False, "merge_overflow": False}, {"quarantined_rows": 2, "repaired_rows": 0}),
    ({"repair_quotes": False}, {"quarantined_rows": 0}),
]


@pytest.mark.parametrize("kwargs, expected", ACCEPTED_OPTIONS, ids=[repr(k) for k, _ in ACCEPTED_OPTIONS])
def test_accepted_option_values(rm, tmp_path, csv_path, kwargs, expected):
    from_file = rm.salvage_file(csv_path, str(tmp_path / "out.csv"), **kwargs).to_dict()
    from_reader = rm.open(csv_path, **kwargs).summary.to_dict()
    assert from_file == from_reader
    assert {key: from_file[key] for key in expected} == expected


def test_path_str_subclass_and_keywords_are_accepted(rm, tmp_path, csv_path):
    output = tmp_path / "out.csv"
    summary = rm.salvage_file(output_path=Text(str(output)), input_path=Text(csv_path))
    assert summary.total_rows == 4
    assert output.exists()
    assert len(rm.SalvageReader(file_path=Text(csv_path))) == 4


def test_numpy_booleans_are_flags(rm, tmp_path, csv_path):
    np = pytest.importorskip("numpy")
    summary = rm.salvage_file(
        csv_path,
        str(tmp_path / "out.csv"),
        fill_ragged_rows=np.bool_(False),
        merge_overflow=np.True_,
        repair_quotes=np.bool_(True),
    )
    assert (summary.quarantined_rows, summary.repaired_rows) == (1, 1)
    reader = rm.open(csv_path, fill_ragged_rows=np.True_, merge_overflow=np.False_)
    assert (reader.summary.quarantined_rows, reader.summary.repaired_rows) == (1, 1)


@pytest.mark.parametrize("value_name", ["int64_one", "int8_zero", "float64_one"])
def test_numpy_numbers_are_not_flags(rm, csv_path, value_name):
    np = pytest.importorskip("numpy")
    value = {"int64_one": np.int64(1), "int8_zero": np.int8(0), "float64_one": np.float64(1.0)}[value_name]
    with pytest.raises(TypeError) as info:
        rm.open(csv_path, merge_overflow=value)
    assert str(info.value) == "'%s' object is not an instance of 'bool'" % type(value).__qualname__
    assert_note(info.value, "merge_overflow")


def test_numpy_integer_is_a_count(rm, csv_path):
    np = pytest.importorskip("numpy")
    assert rm.open(csv_path, expected_columns=np.uint64(2)).summary.inferred_columns == 2


def test_a_column_count_too_large_to_allocate_is_a_memory_error(rm, write_bytes, tmp_path):
    # Filling a short row to 2**64 - 1 fields asks for more memory than any
    # machine has: the call fails, the interpreter lives on.
    path = write_bytes(b"a,b\nc\n")
    with pytest.raises(MemoryError):
        rm.open(path, expected_columns=2**64 - 1)
    with pytest.raises(MemoryError):
        rm.salvage_file(path, str(tmp_path / "out.csv"), expected_columns=2**64 - 1)
    assert rm.sniff("a;b\nc;d\n") == ";"
