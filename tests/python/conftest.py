"""Shared fixtures for the Python tests of _rowmend_backend."""

import os
import pathlib

import pytest

CORPUS_DIR = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


@pytest.fixture(scope="session")
def rm():
    import _rowmend_backend

    return _rowmend_backend


@pytest.fixture
def write_bytes(tmp_path):
    """Writes bytes to a fresh file under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(data, name=None):
        path = tmp_path / (name or f"input_{next(counter)}.csv")
        path.write_bytes(data)
        return str(path)

    return write


def corpus_files():
    if not CORPUS_DIR.is_dir():
        return []
    return sorted(
        p for p in CORPUS_DIR.rglob("*") if p.is_file() and p.name not in ("README.md", "MANIFEST.tsv")
    )


running_as_root = os.geteuid() == 0
