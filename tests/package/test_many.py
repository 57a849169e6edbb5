"""clean_many: a folder of files cleaned as clean cleans each, and how many processes it takes."""

import gzip
import os

import pytest

import rowmend
from rowmend._many import POOL_BYTES, _core_count, default_workers

RAGGED = b"a,b,c\n1,2,3\n4,5,6,7\n"
GOOD = b"x,y\n1,2\n"


def tree(folder):
    (folder / "in").mkdir()
    (folder / "in" / "bad.csv").write_bytes(RAGGED)
    (folder / "in" / "good.csv").write_bytes(GOOD)
    (folder / "in" / "zipped.csv.gz").write_bytes(gzip.compress(RAGGED, mtime=0))
    (folder / "in" / "notes.json").write_bytes(b"not a CSV file")
    return folder / "in"


@pytest.mark.parametrize("jobs", [1, 2, None])
def test_a_folder_is_cleaned_file_by_file(tmp_path, jobs):
    source = tree(tmp_path)
    reports = rowmend.clean_many(source, tmp_path / "out", quarantine_dir=tmp_path / "q", jobs=jobs,
                                 merge_overflow=False)
    assert [os.path.basename(name) for name in reports] == ["bad.csv", "good.csv", "zipped.csv.gz"]
    assert [report.quarantined_rows for report in reports.values()] == [1, 0, 1]
    assert sorted(os.listdir(tmp_path / "out")) == ["bad.csv", "good.csv", "zipped.csv"]
    assert (tmp_path / "out" / "good.csv").read_bytes() == GOOD
    # A quarantine file only for an input that had rows set aside.
    assert sorted(os.listdir(tmp_path / "q")) == ["bad.quarantine.csv", "zipped.quarantine.csv"]


def test_one_failure_does_not_stop_the_others(tmp_path):
    source = tree(tmp_path)
    with pytest.raises(rowmend.CleanManyError, match=r"1 of 3 inputs could not be cleaned: .*missing.csv") as info:
        rowmend.clean_many([source / "good.csv", tmp_path / "missing.csv", source / "bad.csv"], tmp_path / "out")
    assert list(info.value.failures) == [str(tmp_path / "missing.csv")]
    assert [os.path.basename(name) for name in info.value.reports] == ["good.csv", "bad.csv"]
    assert sorted(os.listdir(tmp_path / "out")) == ["bad.csv", "good.csv"]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (lambda d: (d, d), "is the folder of the input"),
        (lambda d: (d / "*.tsv", d.parent / "out"), "the pattern names no CSV file"),
        (lambda d: ([d / "bad.csv", d / "zipped.csv.gz", d / "bad.csv.gz"], d.parent / "out"), "would both write"),
        (lambda d: (d, d.parent / "out", {"jobs": 0}), "jobs must be a whole number"),
        (lambda d: (d, d.parent / "out", {"delimiter": ";;"}), "delimiter must be one character"),
    ],
    ids=["into the inputs' folder", "nothing to clean", "two inputs, one output", "no jobs", "an unusable option"],
)
def test_refused_before_anything_is_written(tmp_path, arguments, message):
    source = tree(tmp_path)
    (source / "bad.csv.gz").write_bytes(gzip.compress(RAGGED, mtime=0))
    before = sorted(os.listdir(source))
    sources, output, *extra = arguments(source)
    with pytest.raises(ValueError, match=message):
        rowmend.clean_many(sources, output, **(extra[0] if extra else {}))
    assert sorted(os.listdir(source)) == before and not (tmp_path / "out").exists()


def sized(folder, name, size):
    path = folder / name
    with open(path, "wb") as out:
        out.truncate(size)  # sparse: the size without the disk
    return str(path)


@pytest.mark.parametrize(
    "files, pool",
    [
        ([("f%d.csv" % i, 20_000) for i in range(50)], False),
        ([("big.csv", POOL_BYTES), ("small.csv", 10)], True),
        ([("a.csv.gz", POOL_BYTES // 4), ("b.csv", 10)], True),
        ([("a.csv.gz", POOL_BYTES // 8), ("b.csv", 10)], False),
        ([("one.csv", 4 * POOL_BYTES)], True),
    ],
    ids=["fifty small files", "enough bytes", "compressed counts more", "not enough", "one large file"],
)
def test_a_pool_only_for_work_that_pays_for_it(tmp_path, files, pool):
    paths = [sized(tmp_path, name, size) for name, size in files]
    # A missing input counts for nothing: its job fails on its own.
    assert default_workers(paths + [str(tmp_path / "missing.csv")]) == (min(_core_count(), len(paths) + 1) if pool else 1)
