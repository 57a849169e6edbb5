"""SalvageSummary: the read-only report of a run, as Python sees it."""

import copy
import inspect
import pickle
import platform
import weakref

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"

KEYS = ["total_rows", "salvaged_rows", "repaired_rows", "quarantined_rows", "detected_delimiter", "inferred_columns"]
COUNTS = [key for key in KEYS if key != "detected_delimiter"]


@pytest.fixture
def summarise(rm, write_bytes, tmp_path):
    """Salvages `data` with `options` and returns the run's summary."""

    def run(data, **options):
        return rm.salvage_file(write_bytes(data), str(tmp_path / "out.csv"), **options)

    return run


@pytest.fixture
def summary(summarise):
    # rows of 3, 3, 2 and 4 fields: one filled, one merged
    return summarise(b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n")


# (input, options, the text form)
REPRS = [
    (
        b"",
        {},
        "<SalvageSummary total_rows=0 salvaged_rows=0 repaired_rows=0 quarantined_rows=0"
        " delimiter=',' inferred_columns=0>",
    ),
    (
        b"",
        {"delimiter": ";"},
        "<SalvageSummary total_rows=0 salvaged_rows=0 repaired_rows=0 quarantined_rows=0"
        " delimiter=',' inferred_columns=0>",
    ),
    (
        b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n",
        {},
        "<SalvageSummary total_rows=4 salvaged_rows=4 repaired_rows=2 quarantined_rows=0"
        " delimiter=',' inferred_columns=3>",
    ),
    (
        b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n",
        {"fill_ragged_rows": False, "merge_overflow": False},
        "<SalvageSummary total_rows=4 salvaged_rows=2 repaired_rows=0 quarantined_rows=2"
        " delimiter=',' inferred_columns=3>",
    ),
    (
        b"a\tb\nc\td\n",
        {},
        "<SalvageSummary total_rows=2 salvaged_rows=2 repaired_rows=0 quarantined_rows=0"
        " delimiter='\t' inferred_columns=2>",
    ),
    # the delimiter goes in unescaped, whatever it is
    (
        b"a'b\n",
        {"delimiter": "'"},
        "<SalvageSummary total_rows=1 salvaged_rows=1 repaired_rows=0 quarantined_rows=0"
        " delimiter=''' inferred_columns=2>",
    ),
    (
        b"a\\b\n",
        {"delimiter": "\\"},
        "<SalvageSummary total_rows=1 salvaged_rows=1 repaired_rows=0 quarantined_rows=0"
        " delimiter='\\' inferred_columns=2>",
    ),
    (
        b"a\xc3b\n",
        {"delimiter": "\u00e9"},
        "<SalvageSummary total_rows=1 salvaged_rows=1 repaired_rows=0 quarantined_rows=0"
        " delimiter='\u00c3' inferred_columns=2>",
    ),
    (
        b"a;b;c\n" * 12345,
        {"expected_columns": 0},
        "<SalvageSummary total_rows=12345 salvaged_rows=12345 repaired_rows=0 quarantined_rows=0"
        " delimiter=';' inferred_columns=0>",
    ),
    (
        b"x\n",
        {"expected_columns": 2**20},
        "<SalvageSummary total_rows=1 salvaged_rows=1 repaired_rows=1 quarantined_rows=0"
        " delimiter=',' inferred_columns=1048576>",
    ),
]


@pytest.mark.parametrize("data, options, text", REPRS)
def test_text_form(summarise, data, options, text):
    summary = summarise(data, **options)
    assert repr(summary) == text
    assert str(summary) == text
    assert "%s" % summary == text


@pytest.mark.parametrize("data, options, text", REPRS)
def test_attributes_and_dict_agree_with_the_text_form(summarise, data, options, text):
    summary = summarise(data, **options)
    values = summary.to_dict()
    assert list(values) == KEYS
    assert values == {key: getattr(summary, key) for key in KEYS}
    for key in COUNTS:
        assert type(values[key]) is int
        assert " %s=%d" % (key, values[key]) in text
    assert type(summary.detected_delimiter) is str
    assert len(summary.detected_delimiter) == 1
    assert " delimiter='%s' " % summary.detected_delimiter in text
    assert summary.total_rows == summary.salvaged_rows + summary.quarantined_rows


def test_to_dict_is_a_fresh_dict_each_time(summary):
    first = summary.to_dict()
    second = summary.to_dict()
    assert first == second
    assert first is not second
    first["total_rows"] = 99
    first["extra"] = 1
    del first["detected_delimiter"]
    assert summary.total_rows == 4
    assert summary.to_dict() == second


def test_reader_summary_is_a_summary_too(rm, write_bytes):
    reader = rm.open(write_bytes(b"a|b\nc|d\n"))
    summary = reader.summary
    assert type(summary) is rm.SalvageSummary
    assert repr(summary) == (
        "<SalvageSummary total_rows=2 salvaged_rows=2 repaired_rows=0 quarantined_rows=0"
        " delimiter='|' inferred_columns=2>"
    )


@pytest.mark.parametrize("name", KEYS)
def test_attributes_are_read_only(summary, name):
    before = getattr(summary, name)
    for attempt in (lambda: setattr(summary, name, 5), lambda: delattr(summary, name)):
        with pytest.raises(AttributeError):
            attempt()
    assert getattr(summary, name) == before


@pytest.mark.parametrize("name", ["extra", "total", "delimiter", "to_dict_"])
def test_no_new_attributes(summary, name):
    with pytest.raises(AttributeError):
        setattr(summary, name, 1)
    assert not hasattr(summary, name)


@pytest.mark.skipif(IS_PYPY, reason="PyPy gives every instance of a C type a __dict__ and weak references")
def test_no_instance_dict_or_weak_references(rm, summary):
    assert not hasattr(summary, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(summary)


INSTANTIATIONS = [
    ("no arguments", lambda cls: cls()),
    ("positional", lambda cls: cls(1, 2, 3, 4, ",", 5)),
    ("keyword", lambda cls: cls(total_rows=1)),
    ("__new__", lambda cls: cls.__new__(cls)),
    ("object.__new__", lambda cls: object.__new__(cls)),
]


@pytest.mark.parametrize("attempt", [a for _, a in INSTANTIATIONS], ids=[i for i, _ in INSTANTIATIONS])
def test_cannot_be_instantiated(rm, request, attempt):
    if IS_PYPY and request.node.callspec.id == "object.__new__":
        pytest.skip("PyPy's object.__new__ allocates C types without asking them")
    with pytest.raises(TypeError):
        attempt(rm.SalvageSummary)


def test_cannot_be_subclassed(rm):
    with pytest.raises(TypeError):

        class Sub(rm.SalvageSummary):
            pass


@pytest.mark.parametrize("operation", [copy.copy, copy.deepcopy, pickle.dumps])
def test_no_copy_or_pickle(summary, operation):
    # A copy made behind the class's back would be an uninitialised summary.
    with pytest.raises((TypeError, pickle.PicklingError)):
        operation(summary)


def test_equality_and_hashing_are_by_identity(rm, summarise, write_bytes):
    data = b"a,b\nc,d\n"
    first, second = summarise(data), summarise(data)
    assert first.to_dict() == second.to_dict()
    assert first == first
    assert first != second
    assert not first == second
    assert len({first, second, first}) == 2
    reader = rm.open(write_bytes(data))
    assert reader.summary is not reader.summary
    assert reader.summary != reader.summary
    assert reader.summary.to_dict() == first.to_dict()


def test_ordering_is_not_defined(summary):
    with pytest.raises(TypeError):
        summary < summary


def test_members(rm):
    cls = rm.SalvageSummary
    for name in KEYS:
        descriptor = cls.__dict__[name]
        assert inspect.isdatadescriptor(descriptor)
        assert descriptor.__doc__ is None
    assert "__str__" not in cls.__dict__
    assert "__eq__" not in cls.__dict__
    assert "__hash__" not in cls.__dict__
    assert "__init__" not in cls.__dict__
    assert cls.__doc__ == "Python-exposed summary of a salvage operation."


@pytest.mark.skipif(IS_PYPY, reason="PyPy drops the docstrings of methods of C types")
def test_to_dict_documentation(rm, summary):
    assert rm.SalvageSummary.to_dict.__text_signature__ == "($self)"
    assert rm.SalvageSummary.to_dict.__doc__ == "Converts the summary into a native Python dictionary."
    assert list(inspect.signature(summary.to_dict).parameters) == []


def test_to_dict_takes_no_arguments(summary):
    with pytest.raises(TypeError):
        summary.to_dict(1)
    with pytest.raises(TypeError):
        summary.to_dict(copy=True)
