"""One file read on several threads: salvage_file writes the same clean and
quarantine bytes and reports the same summary on every CPU it may use as on
one. The CPUs it may use are set with the process's affinity, as a user
would; small blocks (a test-only setting) put every kind of row at a block's
boundary: quoted line breaks, stray quotes, CR LF, ragged and long rows."""

import os
import random

import pytest
from conftest import corpus_files

multi_cpu = pytest.mark.skipif(
    not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
    reason="needs two CPUs to run on",
)

PIECES = [
    b"1,2,3\n",
    b'4,"x\ny",6\n',
    b"7,8,9\r\n",
    b'1,a"b,3\n',
    b"1,2\n",
    b"1,2,3,4,5\n",
    b'"he said ""hi""",2,3\n',
    b"\xff,2,3\n",
    b'a"b\nc",2,3\n',
    b"\n",
    b'"""",",\r\n",x\r\n',
    b'"open,2,3\n4,5,6\n',
]


def generated(seed, rows):
    """A header and `rows` pieces drawn at random from PIECES."""
    pick = random.Random(seed)
    return b"a,b,c\n" + b"".join(pick.choice(PIECES) for _ in range(rows))


def run(rm, path, out_dir, cpus, **options):
    """salvage_file on the given CPUs: the clean bytes, quarantine bytes and summary."""
    everywhere = os.sched_getaffinity(0)
    os.sched_setaffinity(0, cpus)
    try:
        summary = rm.salvage_file(path, str(out_dir / "out.csv"), str(out_dir / "q.csv"), **options)
    finally:
        os.sched_setaffinity(0, everywhere)
    return (out_dir / "out.csv").read_bytes(), (out_dir / "q.csv").read_bytes(), repr(summary)


def one_and_many(rm, tmp_path, path, **options):
    cpus = sorted(os.sched_getaffinity(0))
    (tmp_path / "one").mkdir(exist_ok=True)
    (tmp_path / "many").mkdir(exist_ok=True)
    one = run(rm, path, tmp_path / "one", {cpus[0]}, **options)
    many = run(rm, path, tmp_path / "many", set(cpus), **options)
    assert many[0] == one[0]
    assert many[1] == one[1]
    assert many[2] == one[2]


@multi_cpu
@pytest.mark.parametrize("block", ["1", "7", "64", "4096"])
@pytest.mark.parametrize(
    "options",
    [{}, {"fill_ragged_rows": False, "merge_overflow": False}, {"repair_quotes": False}, {"expected_columns": 2}],
    ids=["defaults", "quarantine", "no-repair", "two-columns"],
)
@pytest.mark.parametrize("seed", [1, 2])
def test_generated_files_read_on_blocks(rm, tmp_path, write_bytes, monkeypatch, block, options, seed):
    monkeypatch.setenv("ROWMEND_TEST_BLOCK_BYTES", block)
    one_and_many(rm, tmp_path, write_bytes(generated(seed, 600)), **options)


@multi_cpu
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_read_on_blocks(rm, tmp_path, monkeypatch, path):
    monkeypatch.setenv("ROWMEND_TEST_BLOCK_BYTES", "997")
    one_and_many(rm, tmp_path, str(path))
