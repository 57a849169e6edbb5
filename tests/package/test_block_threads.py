"""threads= in the package: rows read on two threads give what one thread
gives, byte for byte in the clean and quarantine files, and the same report
and table, on the corpus and on files with quoted line breaks, stray quotes
and CR LF at every block boundary (small blocks through a test-only
setting). Options that judge rows by their neighbours keep one thread, and
still give the same."""

import random
from pathlib import Path

import pytest

import rowmend

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*.csv") if p.is_file()) if CORPUS.is_dir() else []

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
    b'"""",",\r\n",x\r\n',
    b'"open,2,3\n4,5,6\n',
]

#: Every row judged on its own: the rows may be read on blocks.
ALONE = {"skip_blank_rows": False, "comment": "none", "skip_preamble": 0, "skip_footer": 0}


def generated(seed, rows):
    pick = random.Random(seed)
    return b"a,b,c\n" + b"".join(pick.choice(PIECES) for _ in range(rows))


def cleaned(source, out, threads, options):
    out.mkdir()
    report = rowmend.clean(
        source, out / "clean.csv", quarantine=out / "q.csv", threads=threads, record_repairs=True, **options
    )
    return (out / "clean.csv").read_bytes(), (out / "q.csv").read_bytes(), report.to_dict(lines=True)


def same_on_one_and_two(source, tmp_path, options):
    one = cleaned(source, tmp_path / "one", 1, options)
    two = cleaned(source, tmp_path / "two", 2, options)
    assert two[0] == one[0]
    assert two[1] == one[1]
    assert two[2] == one[2]
    table = [rowmend.read_arrow(source, threads=t, **options) for t in (1, 2)]
    assert table[1].equals(table[0])


@pytest.mark.parametrize("block", ["1", "13", "500"])
@pytest.mark.parametrize(
    "options",
    [ALONE, {**ALONE, "fill_ragged_rows": False, "merge_overflow": False}, {}],
    ids=["alone", "alone-quarantine", "defaults"],
)
@pytest.mark.parametrize("seed", [3, 4])
def test_generated_files(tmp_path, monkeypatch, block, options, seed):
    monkeypatch.setenv("ROWMEND_TEST_BLOCK_BYTES", block)
    source = tmp_path / "in.csv"
    source.write_bytes(generated(seed, 500))
    same_on_one_and_two(source, tmp_path, options)


@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus(tmp_path, monkeypatch, path):
    monkeypatch.setenv("ROWMEND_TEST_BLOCK_BYTES", "499")
    same_on_one_and_two(path, tmp_path, ALONE)
