"""rowmend._native's keywords: one table in C++, held against the package's
options and the stub, and checked again there for callers that skip the
package; the run that only reports; the version CMake gives the package."""

import ast
import importlib.metadata
import inspect
import re
from pathlib import Path

import pytest

import rowmend
from rowmend import _native
from rowmend._options import OPTIONS
from rowmend._run import RUN_KEYWORDS


def test_native_keywords_are_the_native_options_and_the_runs_own():
    options = {spec.name for spec in OPTIONS if spec.native}
    assert not options & RUN_KEYWORDS
    assert sorted(_native.OPTIONS) == sorted(options | RUN_KEYWORDS)


def test_the_stub_and_the_signature_spell_the_table():
    tree = ast.parse(Path(rowmend.__file__).with_name("_native.pyi").read_text())
    salvager = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Salvager")
    new = next(node for node in salvager.body if isinstance(node, ast.FunctionDef) and node.name == "__new__")
    stub = {arg.arg: ast.literal_eval(default) for arg, default in zip(new.args.kwonlyargs, new.args.kw_defaults)}
    signature = inspect.signature(_native.Salvager)
    assert tuple(stub) == tuple(signature.parameters) == _native.OPTIONS
    assert stub == {name: parameter.default for name, parameter in signature.parameters.items()}


REFUSED = [
    # (keywords, exception, words of its message)
    ({"threads": -1}, ValueError, "threads must be at least 0"),
    ({"threads": 2**40}, ValueError, "threads must be at least 0"),
    ({"batch_rows": 0}, ValueError, "batch_rows and batch_bytes must be at least 1"),
    ({"batch_bytes": -5}, ValueError, "batch_rows and batch_bytes must be at least 1"),
    ({"max_records": -1}, ValueError, "max_records at least 0"),
    ({"max_records": 2**70}, OverflowError, ""),
    ({"batch_rows": "9"}, TypeError, "integer"),
    ({"repairs": "some"}, ValueError, "repairs must be 'auto' or 'backend'"),
    ({"repairs": 1}, TypeError, "'repairs' must be str, not int"),
    ({"encoding": "koi8-r"}, ValueError, "encoding koi8-r is not decoded natively"),
    ({"delimiter": 0x80}, ValueError, "delimiter must be an ASCII byte"),
    ({"quote_char": 10}, ValueError, "quote_char must be an ASCII byte"),
    ({"escape_char": -1}, ValueError, "escape_char must be an ASCII byte"),
    ({"output_delimiter": 13, "output_fd": 1}, ValueError, "output_delimiter must be an ASCII byte"),
    ({"expected_columns": 0}, ValueError, "expected_columns must be at least 1"),
    ({"expected_columns": -2, "output_fd": 1}, ValueError, "expected_columns must be at least 1"),
    ({"skip_preamble": -1}, ValueError, "skip_preamble must be 'auto' or a line count"),
    ({"skip_footer": "some"}, ValueError, "skip_footer must be 'auto', 'section' or False"),
    ({"skip_footer": -3}, ValueError, "skip_footer must be"),
    ({"comment": ""}, ValueError, "comment must be 'auto', a non-empty prefix or None"),
    ({"output_fd": "x"}, TypeError, ""),
    ({"quarantine_dir": 3.5}, TypeError, ""),
    ({"bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("keywords, error, words", REFUSED, ids=[repr(k) for k, _, _ in REFUSED])
def test_the_native_pass_refuses_what_the_package_would(keywords, error, words):
    with pytest.raises(error, match=re.escape(words) if words else None):
        _native.Salvager(**keywords)


def test_no_positional_arguments():
    with pytest.raises(TypeError, match="no positional arguments"):
        _native.Salvager(1)  # type: ignore[misc]


def _report(salvager):
    return (
        salvager.total_rows,
        salvager.salvaged_rows,
        salvager.repaired_rows,
        salvager.quarantined_rows,
        salvager.skipped,
        salvager.header,
        salvager.columns,
        salvager.quarantine,
        salvager.repairs,
        salvager.line_histogram,
        salvager.notes,
    )


@pytest.mark.parametrize(
    "data",
    [
        b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n\n# note\n10,11,12\n",
        b"title\n\nx;y\n1;2\n3;4\n5\n",
        b"",
        b"only,a,header\n",
        b'q,r\n"open,1\n2,3\n',
    ],
)
def test_a_run_without_batches_reports_as_one_with_them(data):
    options = dict(header="auto", skip_blank_rows=True, comment="auto", record_repairs=True, detect_dialect=True)
    runs = [_native.Salvager(batches=batches, batch_rows=2, **options) for batches in (True, False)]
    for salvager in runs:
        for at in range(0, len(data), 3):
            salvager.feed(data[at : at + 3])
        salvager.finish()
    with_batches, alone = runs
    assert _report(alone) == _report(with_batches)
    assert alone.ready == 0 and alone.take_batches(["x"] * alone.columns) == []
    rows = sum(batch.num_rows for batch in with_batches.take_batches(["c"] * with_batches.columns))
    assert rows == with_batches.salvaged_rows


def test_the_package_version_is_cmakes_project_version():
    cmake = (Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    assert rowmend.__version__ == re.search(r"project\(rowmend VERSION ([0-9.]+)", cmake).group(1)
    assert rowmend.__version__ == _native.__version__ == importlib.metadata.version("rowmend")
