"""Input that is not text is refused before a row is read, unless binary=True;
text is never refused: UTF-16, compressed files, NUL-damaged files and the
whole shared corpus."""

import bz2
import gzip
import io
import lzma
import pathlib
import random
import sqlite3
import subprocess
import sys
import tarfile

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import rowmend

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"
CORPUS_FILES = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name not in ("MANIFEST.tsv", "README.md"))
CSV = b"".join(b"%d,name %d,%d.5\n" % (i, i, i) for i in range(400))


def noise(size, seed=1):
    return random.Random(seed).randbytes(size)


def sqlite_file(tmp_path):
    path = tmp_path / "db.sqlite"
    with sqlite3.connect(path) as db:
        db.execute("create table t (a, b)")
        db.executemany("insert into t values (?, ?)", [(i, "x" * 20) for i in range(500)])
    return path.read_bytes()


def parquet_file(_):
    sink = io.BytesIO()
    pq.write_table(pa.table({"a": list(range(2000))}), sink)
    return sink.getvalue()


def tar_file(_):
    sink = io.BytesIO()
    with tarfile.open(fileobj=sink, mode="w") as archive:
        info = tarfile.TarInfo("a.csv")
        info.size = len(CSV)
        archive.addfile(info, io.BytesIO(CSV))
    return sink.getvalue()


# (case, the input or a maker of it, what the refusal says)
NOT_TEXT = [
    ("ELF executable", b"\x7fELF\x02\x01\x01\x00" + bytes(56) + CSV, "an ELF executable"),
    ("gzip of an ELF executable", gzip.compress(b"\x7fELF\x02\x01\x01" + noise(5000), mtime=0), "an ELF executable"),
    ("PNG image", b"\x89PNG\r\n\x1a\n" + noise(300), "a PNG image"),
    ("PDF document", b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n" + CSV, "a PDF document"),
    ("Excel 97 workbook", b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(500), "an OLE2 document"),
    ("SQLite database", sqlite_file, "an SQLite database"),
    ("Parquet file", parquet_file, "a Parquet file"),
    ("tar of a CSV file", tar_file, "a tar archive"),
    ("xz of random bytes", lzma.compress(noise(100_000)), "control characters"),
    ("random bytes", noise(8192), "control characters"),
]


def make(value, tmp_path):
    return value(tmp_path) if callable(value) else value


@pytest.mark.parametrize("data, kind", [case[1:] for case in NOT_TEXT], ids=[case[0] for case in NOT_TEXT])
def test_input_that_is_not_text_is_refused_unless_forced(tmp_path, data, kind):
    path = tmp_path / "input.csv"
    path.write_bytes(make(data, tmp_path))
    with pytest.raises(rowmend.NotTextError, match=kind) as refused:
        rowmend.read_arrow(path)
    assert refused.value.filename == str(path) and "binary=True" in str(refused.value)
    with pytest.raises(rowmend.NotTextError):
        rowmend.clean(path, tmp_path / "clean.csv")
    assert not (tmp_path / "clean.csv").exists()
    report = rowmend.clean(path, tmp_path / "clean.csv", binary=True)  # forced: read as CSV
    assert isinstance(report, rowmend.Report) and (tmp_path / "clean.csv").stat().st_size > 0


TEXT = [
    ("UTF-16-LE with BOM", b"\xff\xfe" + CSV.decode().encode("utf-16-le")),
    ("UTF-16-BE with BOM", b"\xfe\xff" + CSV.decode().encode("utf-16-be")),
    ("UTF-16-LE without BOM", CSV.decode().encode("utf-16-le")),
    ("gzip", gzip.compress(CSV, mtime=0)),
    ("bz2", bz2.compress(CSV)),
    ("xz", lzma.compress(CSV)),
    # What a crash leaves in a text file: blocks of NUL bytes.
    ("NUL blocks", CSV[:3000] + bytes(8192) + CSV[3000:]),
    ("terminal colours", b"".join(b"%d,\x1b[31mred\x1b[0m,\x1b[1mbold\x1b[0m\n" % i for i in range(300))),
    ("text that begins like a signature", b"PAR1,MZ,x\n" + CSV),
    ("short fuzzer noise", b"\x18\x03'\"'pedro;br;nl\n\x01.7\x00\x00\x04\x10{\x1e" * 8),
]


@pytest.mark.parametrize("data", [case[1] for case in TEXT], ids=[case[0] for case in TEXT])
def test_text_is_read(data):
    assert rowmend.read_arrow(io.BytesIO(data)).num_rows > 0


@pytest.mark.skipif(not CORPUS_FILES, reason="needs the shared corpus beside the repository")
def test_no_file_of_the_corpus_is_refused():
    refused = []
    for path in CORPUS_FILES:
        try:
            for _ in rowmend.stream(path):
                pass
        except rowmend.NotTextError as error:
            refused.append(str(error))
        except (ValueError, OSError):
            pass  # corrupt compressed files and the like: other tests' concern
    assert refused == [] and len(CORPUS_FILES) > 300


def test_command_line_refuses_in_one_line_with_status_3(tmp_path):
    (tmp_path / "tool").write_bytes(b"\x7fELF\x02\x01\x01\x00" + bytes(5000))
    run = [sys.executable, "-m", "rowmend", "clean", "tool", "-o", "out.csv"]
    refused = subprocess.run(run, cwd=tmp_path, capture_output=True, timeout=120)
    assert refused.returncode == 3
    assert refused.stderr.decode() == (
        "rowmend: error: tool: an ELF executable or library, not text; --binary reads it as CSV all the same\n"
    )
    assert not (tmp_path / "out.csv").exists()
    forced = subprocess.run([*run, "--binary"], cwd=tmp_path, capture_output=True, timeout=120)
    assert forced.returncode == 0 and (tmp_path / "out.csv").exists()
