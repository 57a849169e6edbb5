"""The package's own exception classes."""

from __future__ import annotations

from typing import Any, Mapping, Tuple

__all__ = ["CleanManyError", "DecompressionError", "LayoutDriftError", "LayoutDriftWarning", "NotTextError", "RowmendWarning"]


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


class LayoutDriftError(ValueError):
    """An input's own layout differs from the layout a run was told to apply.

    Raised before any row is read when ``layout=`` is given with
    ``on_drift="error"`` (the default): a nightly job stops instead of
    reading a changed export with yesterday's delimiter or columns.

    Attributes:
        filename: The input's name as errors show it.
        differences: One phrase per difference, such as
            ``"delimiter ';' where the layout has ','"``.

    Examples:
        >>> error = LayoutDriftError("a.csv", ("6 columns where the layout has 5",))
        >>> str(error)
        'a.csv: 6 columns where the layout has 5'
    """

    __module__ = "rowmend"

    filename: str
    differences: Tuple[str, ...]

    def __init__(self, filename: str, differences: Tuple[str, ...]) -> None:
        super().__init__(f"{filename}: " + "; ".join(differences))
        self.filename = filename
        self.differences = tuple(differences)

    def __reduce__(self) -> Tuple[type, Tuple[str, Tuple[str, ...]]]:
        return type(self), (self.filename, self.differences)


class NotTextError(ValueError):
    """The input is not text: an executable, an image, an archive, or mostly control bytes.

    Raised before any row is read, unless the run was given ``binary=True``,
    which reads such an input as CSV all the same.

    Attributes:
        filename: The input's name as errors show it.
        kind: What the input looks like, as a phrase: ``"an ELF executable"``,
            ``"binary data (12% control characters)"``.

    Examples:
        >>> str(NotTextError("a.csv", "an ELF executable"))
        'a.csv: an ELF executable, not text; pass binary=True to read it as CSV all the same'
    """

    __module__ = "rowmend"

    filename: str
    kind: str

    def __init__(self, filename: str, kind: str) -> None:
        super().__init__(f"{filename}: {kind}, not text; pass binary=True to read it as CSV all the same")
        self.filename = filename
        self.kind = kind

    def __reduce__(self) -> Tuple[type, Tuple[str, str]]:
        return type(self), (self.filename, self.kind)


class CleanManyError(Exception):
    """Some inputs of :func:`rowmend.clean_many` could not be cleaned; the others were.

    Attributes:
        failures: Each failed input's path and one line naming it and the cause.
        reports: The reports of the inputs that were cleaned, by path.
    """

    def __init__(self, failures: Mapping[str, str], reports: Mapping[str, Any]) -> None:
        self.failures = dict(failures)
        self.reports = dict(reports)
        total = len(self.failures) + len(self.reports)
        first = next(iter(self.failures.values()), "")
        more = f" (and {len(self.failures) - 1} more)" if len(self.failures) > 1 else ""
        super().__init__(f"{len(self.failures)} of {total} inputs could not be cleaned: {first}{more}")


class RowmendWarning(UserWarning):
    """The base class of the warnings rowmend gives."""

    __module__ = "rowmend"


class LayoutDriftWarning(RowmendWarning):
    """An input's own layout differs from the one applied, with ``on_drift="warn"``.

    The message names the input and each difference, as
    :class:`LayoutDriftError`'s does; the run goes on with the layout given.
    """

    __module__ = "rowmend"
