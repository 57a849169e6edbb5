"""The inputs of a read of many files: paths, globs and URLs opened through fsspec, each named as errors show it."""

from __future__ import annotations

import io
import os
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Iterator, List, Mapping, Optional, Sequence, Union

import fsspec

__all__ = ["File", "Paths", "close_source", "head", "is_local", "open_inputs", "opened", "read_source", "size"]

#: What ``paths`` may be: one path, glob or URL, or a sequence of them.
Paths = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

@dataclass(frozen=True)
class File:
    """One input: its position among the inputs, its fsspec handle and its name."""

    index: int
    file: Any  # fsspec.core.OpenFile: pickles as its file system and path
    name: str

    @property
    def local(self) -> bool:
        return is_local(self.file.fs)


class _NamedReader(io.RawIOBase):
    """A file opened through fsspec, under the name errors should show."""

    def __init__(self, file: Any, name: str) -> None:
        super().__init__()
        self._file = file
        self.name = name

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        count: int = self._file.readinto(buffer)
        return count


def is_local(fs: Any) -> bool:
    protocol = fs.protocol
    return "file" in (protocol if isinstance(protocol, (tuple, list)) else (protocol,))


def open_inputs(paths: Paths, storage_options: Optional[Mapping[str, Any]]) -> List[File]:
    """Expand paths, globs and URLs into the files, in fsspec's order, naming each."""
    if isinstance(paths, (str, os.PathLike)):
        urlpaths: Union[str, List[str]] = os.fspath(paths)
    elif isinstance(paths, Sequence) and not isinstance(paths, bytes):
        urlpaths = [os.fspath(path) for path in paths]
        if not urlpaths:
            raise ValueError("paths is empty: give at least one path, glob or URL")
    else:
        raise TypeError(f"paths must be a path, a glob, a URL or a list of them, not {type(paths).__name__}")
    # compression=None: rowmend tells compression from the first bytes, not the name.
    files = fsspec.open_files(urlpaths, mode="rb", compression=None, **dict(storage_options or {}))
    if not files:
        raise FileNotFoundError(f"no file matches {paths!r}")
    result = []
    for index, file in enumerate(files):
        name = file.path if is_local(file.fs) else file.fs.unstrip_protocol(file.path)
        result.append(File(index, file, name))
    return result


def read_source(item: File) -> Any:
    """What the reading functions take for the file: a local path, or the opened remote file."""
    if item.local:
        return item.file.path
    return _NamedReader(item.file.open(), item.name)


def close_source(source: Any) -> None:
    if isinstance(source, _NamedReader):
        source._file.close()


@contextmanager
def opened(item: File) -> Iterator[Any]:
    """What :func:`read_source` gives, closed at the end of the ``with`` block."""
    source = read_source(item)
    try:
        yield source
    finally:
        close_source(source)


def size(item: File) -> int:
    """The file's size in bytes, as stored (compressed, for a compressed file)."""
    return int(item.file.fs.size(item.file.path))


def head(item: File, count: int = 16) -> bytes:
    """The file's first ``count`` bytes (fewer for a shorter file)."""
    with item.file.fs.open(item.file.path, "rb") as opened:
        data: bytes = opened.read(count)
        return data
