"""rowmend.dask on a real two-process LocalCluster and on fsspec's memory file
system: the frame is each file's read_pandas, reports come back per file from
the workers, a file of another layout is named, and clean writes what
rowmend.clean writes."""

import gzip
import io
import subprocess
import sys
import uuid

import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import dask  # noqa: E402
import fsspec  # noqa: E402

import rowmend  # noqa: E402
import rowmend.dask  # noqa: E402
from rowmend._partitions import merge_reports  # noqa: E402

# One layout (comma, three columns, floats in "amount"), different damage in
# each file, one of them gzip-compressed; in input (sorted) order.
FILES = {
    "a.csv": b'id,amount,name\n1,1.5,"say "hi" now"\n2,2.5,plain\n3,0.5\n',
    "b.csv.gz": gzip.compress(b"id,amount,name\n4,0.5,x\n5,1.25,y,extra,fields\n6\n", mtime=0),
    "c.csv": b"\xef\xbb\xbfid,amount,name\r\n7,3.5,caf\xc3\xa9\r\n8,4.5,\xff\r\n",
    # Alone it would be read as four columns: the first file's layout says three.
    "d.csv": b"id,amount,name\n9,1.5,a,b\n10,2.5,c,d\n",
}


@pytest.fixture(scope="module")
def cluster():
    # Worker processes, not threads: partitions, reports and outputs must
    # cross a process boundary as they do on a real cluster.
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as local, distributed.Client(local) as client:
        yield client


class Files:
    """The input files written somewhere, and how to read back an output."""

    def __init__(self, url, cat, local_path=None):
        self.url, self.cat, self.local_path = url, cat, local_path

    def glob(self):
        return f"{self.url}/in/*"


@pytest.fixture(params=["local files, worker processes", "memory://, threads"])
def files(request, tmp_path):
    if request.param.startswith("local"):
        request.getfixturevalue("cluster")
        for name, data in FILES.items():
            (tmp_path / "in").mkdir(exist_ok=True)
            (tmp_path / "in" / name).write_bytes(data)
        yield Files(str(tmp_path), lambda path: (tmp_path / path).read_bytes(), tmp_path)
    else:
        # The memory file system lives in one process: worker processes would
        # see it empty, so it is read by threads of this process.
        fs = fsspec.filesystem("memory")
        root = f"/t-{uuid.uuid4().hex}"
        fs.pipe({f"{root}/in/{name}": data for name, data in FILES.items()})
        with dask.config.set(scheduler="threads"):
            yield Files(f"memory://{root}", lambda path: fs.cat(f"{root}/{path}"))
        fs.rm(root, recursive=True)


def plain_read(data, options):
    """What rowmend alone reads from one file, with the layout the first file settles."""
    layout = {k: v for k, v in options.items() if k != "dtypes"}
    rows = rowmend.stream(io.BytesIO(data), delimiter=",", expected_columns=3, **layout)
    for _ in rows:
        pass
    frame = rowmend.read_pandas(io.BytesIO(data), delimiter=",", expected_columns=3, **options)
    return frame, rows.report


@pytest.mark.parametrize("options", [{}, {"dtypes": "infer"}, {"header": False, "line_numbers": True}])
def test_frame_is_each_files_read_concatenated_and_reports_come_back(files, options):
    frame = rowmend.dask.read_csv(files.glob(), **options)
    assert frame.npartitions == len(FILES)
    want = [plain_read(data, options) for data in FILES.values()]
    # Nothing was computed yet: reports() reads the files itself.
    assert rowmend.dask.reports(frame) == [report for _, report in want]
    merged = merge_reports([report for _, report in want])
    assert rowmend.dask.report(frame) == merged and rowmend.dask.report(frame).lines == merged.lines
    got = frame.compute()
    pd.testing.assert_frame_equal(got, pd.concat([table for table, _ in want]))
    assert frame.dtypes.equals(got.dtypes)


@pytest.mark.parametrize(
    "second, options, cause",
    [
        (b"id,amount,title\n1,2.5,a\n", {}, "differ"),
        (b"id,amount,name,extra\n1,2.5,a,x\n", {}, "differ"),
        (b"id;amount;name\n1;2.5;a\n", {}, "differ"),
        (b"id,amount,name\nx1,2.5,a\n", {"dtypes": "infer"}, "'id' does not convert to int64"),
    ],
)
def test_a_file_of_another_layout_raises_naming_it(cluster, tmp_path, second, options, cause):
    (tmp_path / "a.csv").write_bytes(FILES["a.csv"])
    (tmp_path / "b.csv").write_bytes(second)
    frame = rowmend.dask.read_csv([tmp_path / "a.csv", tmp_path / "b.csv"], **options)
    with pytest.raises(ValueError, match=str(tmp_path / "b.csv")) as raised:
        frame.compute()
    assert cause in str(raised.value)


@pytest.mark.parametrize(
    "arguments, quarantine_of",
    [
        ({}, lambda name: f"out/{name[:-4]}.quarantine.csv"),
        ({"quarantine_dir": "{url}/bad"}, lambda name: f"bad/{name[:-4]}.quarantine.csv"),
        ({"output_delimiter": ";", "quarantine": False}, None),
    ],
)
def test_clean_writes_what_rowmend_clean_writes(files, tmp_path, arguments, quarantine_of):
    arguments = {k: v.format(url=files.url) if isinstance(v, str) else v for k, v in arguments.items()}
    options = {"fill_ragged_rows": False, "merge_overflow": False}
    reports = rowmend.dask.clean(files.glob(), f"{files.url}/out", **arguments, **options)
    assert [key.rsplit("/", 1)[-1] for key in reports] == list(FILES)
    for (name, data), report in zip(FILES.items(), reports.values()):
        name = name.removesuffix(".gz")
        want = tmp_path / "want"
        want.mkdir(exist_ok=True)
        expected = rowmend.clean(
            io.BytesIO(data),
            want / name,
            quarantine=want / "q.csv",
            output_delimiter=arguments.get("output_delimiter"),
            **options,
        )
        assert report == expected
        assert files.cat(f"out/{name}") == (want / name).read_bytes()
        if quarantine_of is not None:
            assert files.cat(quarantine_of(name)) == (want / "q.csv").read_bytes()
    written = sorted(f.path.rsplit("/", 1)[-1] for f in fsspec.open_files(f"{files.url}/out/*"))
    listing = [name.removesuffix(".gz") for name in FILES]
    if quarantine_of is not None and "quarantine_dir" not in arguments:
        listing += [quarantine_of(name).removeprefix("out/") for name in listing]
    assert written == sorted(listing)


def test_misuse_raises_naming_the_cause(tmp_path):
    for folder in ("x", "y"):
        (tmp_path / folder).mkdir()
    (tmp_path / "x" / "a.csv").write_bytes(b"a\n1\n")
    (tmp_path / "y" / "a.csv.gz").write_bytes(gzip.compress(b"a\n1\n", mtime=0))
    frame = rowmend.dask.read_csv(tmp_path / "x" / "a.csv")
    cases = [
        (lambda: rowmend.dask.clean(str(tmp_path / "*" / "a.csv*"), tmp_path / "out"), ValueError, "would both write"),
        (lambda: rowmend.dask.read_csv(tmp_path / "none" / "*.csv"), FileNotFoundError, "no file matches"),
        (lambda: rowmend.dask.read_csv(tmp_path / "x" / "a.csv", delimter=","), TypeError, "did you mean"),
        (lambda: rowmend.dask.reports(frame[frame.a != "1"]), TypeError, "derived"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind, match=message):
            call()


@pytest.mark.parametrize(
    "code, expected",
    [
        ("import sys, rowmend; print('dask' in sys.modules)", "False"),
        (
            "import sys; sys.modules['dask'] = None\n"
            "try:\n    import rowmend.dask\nexcept ImportError as e:\n    print(e)",
            "pip install 'rowmend[dask]'",
        ),
    ],
)
def test_dask_stays_optional(code, expected):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert expected in result.stdout
