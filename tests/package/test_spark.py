"""rowmend.spark on a real local Spark session (local[2], Python workers): the
rows are each file's own read with the first file's layout, the report frame
merges into the reports of those reads, and a file of another layout or an
unknown option is refused naming it. A JVM start is slow: one session for the
module, few queries."""

import gzip
import io
import shutil
import sys

import pyarrow as pa
import pytest

pytest.importorskip("pyspark.sql.datasource")
if shutil.which("java") is None:
    pytest.skip("Spark needs Java, which is not installed", allow_module_level=True)

import rowmend  # noqa: E402
import rowmend.spark  # noqa: E402
from rowmend._partitions import merge_reports  # noqa: E402
from rowmend.spark.options import reading_options  # noqa: E402

# One layout (comma, three columns), different damage in each file, one of
# them gzip-compressed; in input (sorted) order.
FILES = {
    "a.csv": b'id,amount,name\n1,1.5,"say "hi" now"\n2,2.5,plain\n3,0.5\n',
    "b.csv.gz": gzip.compress(b"id,amount,name\n4,0.5,x\n5,1.25,y,extra,fields\n6\n", mtime=0),
    "c.csv": b"\xef\xbb\xbfid,amount,name\r\n7,3.5,caf\xc3\xa9\r\n8,4.5,\xff\r\n",
    # Alone it would be read as four columns: the first file's layout says three.
    "d.csv": b"id,amount,name\n9,1.5,a,b\n10,2.5,c,d\n",
}


@pytest.fixture(scope="module")
def spark():
    from pyspark.sql import SparkSession

    # Spark's Python workers (the planner's included) run PYSPARK_PYTHON,
    # else whatever python3 is first on the PATH: this interpreter, which
    # has this rowmend.
    patch = pytest.MonkeyPatch()
    patch.setenv("PYSPARK_PYTHON", sys.executable)
    patch.setenv("PYSPARK_DRIVER_PYTHON", sys.executable)
    session = (
        SparkSession.builder.master("local[2]")
        .appName("rowmend-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.driver.host", "127.0.0.1")  # large results come back through the block manager
        .config("spark.pyspark.python", sys.executable)
        .config("spark.pyspark.driver.python", sys.executable)
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()
    patch.undo()


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("spark")
    for name, data in FILES.items():
        (root / name).write_bytes(data)
    return root


def plain_read(data, options):
    """What rowmend alone reads from one file, with the layout the first file settles."""
    layout = {k: v for k, v in options.items() if k != "dtypes"}
    rows = rowmend.stream(io.BytesIO(data), delimiter=",", expected_columns=3, **layout)
    for _ in rows:
        pass
    table = rowmend.read_arrow(io.BytesIO(data), delimiter=",", expected_columns=3, **options)
    return table, rows.report


@pytest.mark.parametrize("options", [{}, {"dtypes": "infer", "record_repairs": True}, {"header": False, "line_numbers": True}])
def test_rows_and_report_are_each_files_read(spark, folder, options):
    rows, report = rowmend.spark.read_with_report(spark, sorted(str(path) for path in folder.iterdir()), **options)
    want = [plain_read(data, options) for data in FILES.values()]
    expected = pa.concat_tables([table for table, _ in want])
    got = rows.toArrow()
    assert got.column_names == expected.column_names
    assert got.cast(expected.schema).equals(expected)
    assert rows.rdd.getNumPartitions() == len(FILES)
    per_file = report.orderBy("partition").collect()
    assert [row["path"] for row in per_file] == sorted(str(path) for path in folder.iterdir())
    assert [row["quarantined_rows"] for row in per_file] == [r.quarantined_rows for _, r in want]
    merged = rowmend.spark.report(report)
    assert merged == merge_reports([r for _, r in want])
    assert merged.lines == merge_reports([r for _, r in want]).lines


@pytest.mark.parametrize(
    "second, options, cause",
    [
        (b"id;amount;name\n1;2.5;a\n", {}, "differ"),
        (b"id,amount,name\nx1,2.5,a\n", {"dtypes": "infer"}, "'id' does not convert to int64"),
        (None, {"skip_footr": "auto"}, "did you mean 'skip_footer'"),
        (None, {"expected_columns": "three"}, "expected_columns must be a whole number"),
    ],
)
def test_misuse_is_refused_naming_the_file_or_option(spark, tmp_path, second, options, cause):
    (tmp_path / "a.csv").write_bytes(FILES["a.csv"])
    paths = [str(tmp_path / "a.csv")]
    if second is not None:
        (tmp_path / "b.csv").write_bytes(second)
        paths.append(str(tmp_path / "b.csv"))
    rowmend.spark.register(spark)
    reader = spark.read.format("rowmend")
    for name, value in options.items():
        reader = reader.option(name, value)
    with pytest.raises(Exception) as raised:
        reader.load(paths).collect()
    assert cause in str(raised.value)
    if second is not None:
        assert str(tmp_path / "b.csv") in str(raised.value)


@pytest.mark.parametrize(
    "given, expected",
    [
        ({"skip_footer": "3", "skip_preamble": "auto"}, {"skip_footer": 3, "skip_preamble": "auto"}),
        ({"header": "true", "fill_ragged_rows": "False"}, {"header": True, "fill_ragged_rows": False}),
        ({"header": "auto", "dtypes": "infer", "repairs": "backend"}, {"header": "auto", "dtypes": "infer", "repairs": "backend"}),
        ({"delimiter": "\\t", "quote_char": "none", "comment": "none"}, {"delimiter": "\t", "quote_char": "none", "comment": "none"}),
        ({"path": "a.csv", "paths": "[]", "blocksize": "1 MiB"}, {}),
    ],
)
def test_option_strings_are_read_by_the_options_table(given, expected):
    assert reading_options(given) == expected
    rowmend._options.resolve_options(**expected)


@pytest.mark.parametrize(
    "given, error, message",
    [
        ({"line_numbers": "maybe"}, ValueError, "line_numbers must be true or false, not 'maybe'"),
        ({"header": "sometimes"}, ValueError, "header must be 'auto' or 'yes' or 'no'"),
        ({"max_records": "1e3"}, ValueError, "max_records must be a whole number"),
        ({"delimeter": ";"}, TypeError, "did you mean 'delimiter'"),
    ],
)
def test_option_strings_that_mean_nothing_are_refused(given, error, message):
    with pytest.raises(error, match=message):
        reading_options(given)


def test_a_schema_given_renames_and_casts_the_columns_in_order(spark, folder):
    rowmend.spark.register(spark)
    frame = (
        spark.read.format("rowmend")
        .schema("key long, value double, label string")
        .option("quote_char", '"')
        .load([str(folder / "a.csv"), str(folder / "d.csv")])
    )
    got = [tuple(row) for row in frame.collect()]
    assert got == [(1, 1.5, 'say "hi" now'), (2, 2.5, "plain"), (3, 0.5, ""), (9, 1.5, "a,b"), (10, 2.5, "c,d")]


def big_file(rows):
    """A file past the first range's least span (8 MiB), with quoted line breaks, stray quotes and short rows."""
    kinds = [b'%d,1.5,"two\nlines"', b'%d,2.5,she said "hi', b"%d,0.5", b"%d,3.5,plain"]
    return b"id,amount,name\n" + b"\n".join(kinds[i % 7 % 4] % i for i in range(rows)) + b"\n"


@pytest.mark.parametrize("options", [{"line_numbers": True, "record_repairs": True}])
def test_one_big_file_by_ranges_reads_as_one_read(spark, tmp_path, options):
    data = big_file(520_000)
    assert len(data) > 9 << 20
    (tmp_path / "big.csv").write_bytes(data)
    rows, report = rowmend.spark.read_with_report(spark, str(tmp_path / "big.csv"), blocksize="512 KiB", **options)
    one = rowmend.stream(io.BytesIO(data), **options)
    expected = pa.table(one)
    assert rows.rdd.getNumPartitions() > 2
    got = rows.toArrow()
    assert got.cast(expected.schema).equals(expected)
    merged = rowmend.spark.report(report)
    assert (merged.total_rows, merged.repaired_rows, merged.quarantine) == (one.report.total_rows, one.report.repaired_rows, one.report.quarantine)
    assert merged.repairs == one.report.repairs
