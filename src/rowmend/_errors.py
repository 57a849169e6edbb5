"""The package's own exception classes."""

from __future__ import annotations

from typing import Tuple

__all__ = ["DecompressionError"]


class DecompressionError(ValueError):
    """A compressed input is corrupt or truncated, or in a format not read.

    Raised while reading, at the point where the compressed stream breaks
    (or at once for an archive format such as ZIP). Like every error about
    the content of the input rather than the operating system, it derives
    from ``ValueError``; I/O failures stay ``OSError``.

    Attributes:
        filename: The input's name as errors show it: its path, or a
            description such as ``<BytesIO>`` for a file object.
        compression: ``"gzip"``, ``"bz2"``, ``"xz"``, ``"zstd"`` or ``"zip"``.

    Examples:
        >>> error = DecompressionError("'a.csv.gz' is a truncated gzip stream", "a.csv.gz", "gzip")
        >>> error.filename, error.compression
        ('a.csv.gz', 'gzip')
    """

    __module__ = "rowmend"

    filename: str
    compression: str

    def __init__(self, message: str, filename: str, compression: str) -> None:
        super().__init__(message)
        self.filename = filename
        self.compression = compression

    def __reduce__(self) -> Tuple[type, Tuple[str, str, str]]:
        # Exceptions pickle through their args, which hold the message alone.
        return type(self), (str(self), self.filename, self.compression)
