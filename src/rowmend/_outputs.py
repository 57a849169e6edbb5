"""Where a run's outputs go and how they get there, for every entry point.

Naming: an input's clean file keeps its name without a compression suffix
(:func:`clean_name`); its quarantine file is ``NAME.quarantine.csv``
(:func:`quarantine_name`); the record of repairs goes beside a quarantine
file as ``NAME.repairs.csv`` (:func:`repairs_path`), and the rows set aside
as not part of the table as ``NAME.skipped.csv`` (:func:`set_aside_path`).
Outputs are never compressed.

Checks: :func:`refuse_clashes` refuses, before anything is written, an
output that names an input (the in-place clean aside) and two outputs that
name one file.

Writing: an :class:`OutputSet` writes each output to a temporary file beside
its destination and renames them all into place only once every one is
complete, so a failed run changes nothing. A replaced file keeps its mode,
and its owner and group where the process may set them.
"""

from __future__ import annotations

import errno
import io
import os
import pwd
import secrets
import stat
import tempfile
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

from rowmend._records import Note

__all__ = [
    "COMPRESSION_SUFFIXES",
    "CSV_SUFFIXES",
    "FileKey",
    "NamedSink",
    "Output",
    "OutputSet",
    "PARQUET_SUFFIXES",
    "PendingFile",
    "clean_format",
    "clean_name",
    "descriptor_key",
    "file_key",
    "is_compressed_name",
    "is_csv_name",
    "named",
    "quarantine_name",
    "refuse_clashes",
    "repairs_path",
    "set_aside_path",
    "strip_compression",
]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

#: Suffixes an input's name may end in when it is compressed. Compression is
#: told from the first bytes, not the name; the name only loses the suffix.
COMPRESSION_SUFFIXES = (".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd")

#: Names a folder or a glob pattern counts as CSV files, each possibly
#: followed by one of :data:`COMPRESSION_SUFFIXES`.
CSV_SUFFIXES = (".csv", ".tsv", ".txt")

#: Destination names that mean Parquet when no format is given.
PARQUET_SUFFIXES = (".parquet", ".pq")

_QUARANTINE = ".quarantine"


# --- names -------------------------------------------------------------------


def strip_compression(name: str) -> str:
    """The name without its compression suffix, if it has one.

    Examples:
        >>> strip_compression("a.csv.gz"), strip_compression("b.tsv.zstd"), strip_compression(".gz")
        ('a.csv', 'b.tsv', '.gz')
    """
    lower = name.lower()
    for suffix in COMPRESSION_SUFFIXES:
        if lower.endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return name


def is_compressed_name(name: str) -> bool:
    """Whether a file name ends in one of :data:`COMPRESSION_SUFFIXES`."""
    return strip_compression(name) != name


def is_csv_name(name: str) -> bool:
    """Whether a file name is a CSV file's, compressed or not: ``a.csv``, ``b.tsv.gz``."""
    return strip_compression(name).lower().endswith(CSV_SUFFIXES)


def _stem(name: str) -> str:
    """The name without compression and without a CSV suffix; other suffixes stay (``a.dat``)."""
    name = strip_compression(name)
    stem, suffix = os.path.splitext(name)
    return stem if stem and suffix.lower() in CSV_SUFFIXES else name


def clean_name(path: str, format: Optional[str]) -> str:
    """What the clean file of ``path`` is called in an output folder.

    The input's own name without its compression suffix; for Parquet, its
    CSV suffix becomes ``.parquet``.

    Examples:
        >>> clean_name("drop/orders.csv.gz", None), clean_name("x/a.tsv", "parquet")
        ('orders.csv', 'a.parquet')
    """
    name = os.path.basename(path.rstrip("/"))
    if format == "parquet":
        return _stem(name) + ".parquet"
    return strip_compression(name)


def quarantine_name(path: str) -> str:
    """What the quarantine file of ``path`` is called, beside it or in a quarantine folder.

    Examples:
        >>> quarantine_name("drop/orders.csv.gz"), quarantine_name("a.tsv"), quarantine_name("log.dat")
        ('orders.quarantine.csv', 'a.quarantine.csv', 'log.dat.quarantine.csv')
    """
    return _stem(os.path.basename(path.rstrip("/"))) + _QUARANTINE + ".csv"


def _beside_quarantine(quarantine: str, what: str) -> str:
    stem = quarantine[:-4] if quarantine.lower().endswith(".csv") else quarantine
    if stem.endswith(_QUARANTINE) and len(os.path.basename(stem)) > len(_QUARANTINE):
        stem = stem[: -len(_QUARANTINE)]
    return f"{stem}.{what}.csv"


def repairs_path(quarantine: str) -> str:
    """Where the record of repairs goes beside a quarantine file.

    Examples:
        >>> repairs_path("out/bad.csv"), repairs_path("bad"), repairs_path("a.quarantine.csv")
        ('out/bad.repairs.csv', 'bad.repairs.csv', 'a.repairs.csv')
    """
    return _beside_quarantine(quarantine, "repairs")


def set_aside_path(quarantine: str) -> str:
    """Where the rows set aside as not part of the table (preamble, comments, footers) go beside a quarantine file.

    Examples:
        >>> set_aside_path("out/bad.csv"), set_aside_path("a.quarantine.csv")
        ('out/bad.skipped.csv', 'a.skipped.csv')
    """
    return _beside_quarantine(quarantine, "skipped")


def clean_format(destination: str, format: Optional[str], output_delimiter: Optional[str]) -> str:
    """The clean file's format: the one given, or Parquet for a ``.parquet``/``.pq`` name, else CSV.

    Raises:
        ValueError: An unknown format, or an output delimiter for Parquet.
    """
    if format is None:
        format = "parquet" if destination.lower().endswith(PARQUET_SUFFIXES) else "csv"
    if format not in ("csv", "parquet"):
        raise ValueError(f"format must be 'csv' or 'parquet', not {format!r}")
    if format == "parquet" and output_delimiter is not None:
        raise ValueError("output_delimiter applies to CSV output only")
    return format


# --- identity ----------------------------------------------------------------


@dataclass(frozen=True)
class FileKey:
    """What makes two names one file: device and inode when it exists, else the resolved path."""

    device: int = -1
    inode: int = -1
    resolved: str = ""


def file_key(path: PathArg) -> Optional[FileKey]:
    """The key of the file ``path`` names; None for a device (``/dev/null`` takes any number of outputs)."""
    try:
        status = os.stat(path)
    except OSError:
        return FileKey(resolved=os.path.realpath(os.fsdecode(path)))
    if stat.S_ISCHR(status.st_mode):
        return None
    return FileKey(status.st_dev, status.st_ino)


def descriptor_key(fd: int) -> Optional[FileKey]:
    """The key of an open file, as :func:`file_key` gives it."""
    try:
        status = os.fstat(fd)
    except OSError:
        return None
    return None if stat.S_ISCHR(status.st_mode) else FileKey(status.st_dev, status.st_ino)


class Output(NamedTuple):
    """An output to check: the input it belongs to, what it is, and its path as the user gave it."""

    owner: str
    role: str
    path: str


def refuse_clashes(
    inputs: Sequence[Tuple[str, Optional[FileKey]]],
    outputs: Iterable[Output],
    in_place: Iterable[str] = (),
    key_of: Callable[[str], Optional[FileKey]] = file_key,
) -> None:
    """Refuse outputs that would be written over an input or over each other.

    Args:
        inputs: Each input's name and key.
        outputs: The outputs of every input of the run.
        in_place: The clean destinations that may replace their own input.
        key_of: The key of an output's path (off the local file system,
            its URL).

    Raises:
        ValueError: Naming both paths.

    Examples:
        >>> refuse_clashes([("in.csv", file_key("in.csv"))], [Output("in.csv", "clean file", "out.csv"),
        ...     Output("in.csv", "quarantine", "./out.csv")])
        Traceback (most recent call last):
        ValueError: quarantine ./out.csv names the same file as the clean file out.csv
    """
    by_key = {key: name for name, key in inputs if key is not None}
    allowed = set(in_place)
    seen: Dict[FileKey, Output] = {}
    for output in outputs:
        key = key_of(output.path)
        if key is None:
            continue
        if key in by_key and not (output.path in allowed and by_key[key] == output.owner):
            raise ValueError(
                f"{output.role} {output.path} names the input {by_key[key]}: writing it would destroy the input"
            )
        other = seen.get(key)
        if other is not None and other.owner != output.owner:
            raise ValueError(f"{other.owner} and {output.owner} would both write {output.path}")
        if other is not None:
            raise ValueError(f"{output.role} {output.path} names the same file as the {other.role} {other.path}")
        seen[key] = output


# --- writing -----------------------------------------------------------------


def named(error: OSError, path: str) -> OSError:
    """The same failure, naming the file it happened to."""
    if error.errno is None:
        return OSError(f"{path}: {error}")
    return OSError(error.errno, error.strerror, path)


class PendingFile:
    """One output: a temporary file beside its destination, or a device or stream written directly.

    A symbolic link is written through to its target. A destination that
    exists and is not a regular file (``/dev/null``, a FIFO, a terminal) is
    written directly: renaming over it would replace the device with a file,
    for every user of the system when run as root.
    """

    def __init__(
        self, path: str, *, replace: bool = True, fd: Optional[int] = None, like: Optional[str] = None
    ) -> None:
        self.path = path
        self.replace = replace
        self.temporary: Optional[str] = None
        self.notes: List[Note] = []
        self.placed = False
        # After commit: how to undo it, "remove" (a new file), a second name
        # of the file replaced, or "" (nothing to undo, or no way to).
        self._undo = ""
        self._owned = fd is None
        if fd is not None:
            self.target, self.fd = path, fd
            return
        self.target = os.path.realpath(path)
        try:
            existing: Optional[os.stat_result] = os.stat(self.target)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise named(error, path) from None
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", path)
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            try:
                self.fd = os.open(self.target, os.O_WRONLY | os.O_CLOEXEC)
            except OSError as error:
                raise named(error, path) from None
            return
        directory, name = os.path.split(self.target)
        try:
            # Keep the temporary name within the file system's limit on a name.
            self.fd, self.temporary = tempfile.mkstemp(prefix=f".{name[:200]}.", suffix=".rowmend-tmp", dir=directory)
        except OSError as error:
            raise named(error, path) from None
        try:
            if existing is None and like is not None:
                # A new file that holds part of another (an in-place clean's quarantine) is as private as it.
                self._take_identity(os.stat(like), replacing=False)
            else:
                self._take_identity(existing)
        except BaseException:
            self.discard()
            raise

    @property
    def folder(self) -> str:
        """Where scratch files for this output may go: beside it, or for a device the temporary folder."""
        return os.path.dirname(self.temporary) if self.temporary is not None else tempfile.gettempdir()

    def _take_identity(self, existing: Optional[os.stat_result], replacing: bool = True) -> None:
        """Give the temporary file the mode (and owner) the finished output should have."""
        if existing is None:
            # mkstemp gives 0600; a new output gets what a new file would.
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(self.fd, 0o666 & ~umask)
            return
        mine = os.fstat(self.fd)
        if (mine.st_uid, mine.st_gid) != (existing.st_uid, existing.st_gid):
            try:
                os.fchown(self.fd, existing.st_uid, existing.st_gid)
            except PermissionError:
                self._keep_group(existing.st_gid)
                self.notes.append(
                    Note(
                        "owner-not-kept",
                        f"{self.path}: kept its mode but not its owner {_user(existing.st_uid)}: "
                        f"only the superuser may give a file away, so it now belongs to {_user(mine.st_uid)}",
                    )
                )
        # After the owner: changing it clears the set-user and set-group bits.
        os.fchmod(self.fd, stat.S_IMODE(existing.st_mode))
        if replacing and existing.st_nlink > 1:
            self.notes.append(
                Note(
                    "hard-link-split",
                    f"{self.path}: had {existing.st_nlink - 1} other name(s) (hard links); the new file "
                    "replaces this name only, and the others keep the previous content",
                )
            )

    def _keep_group(self, gid: int) -> None:
        try:
            os.fchown(self.fd, -1, gid)
        except PermissionError:
            pass  # not a group of this user: the note says the owner changed

    def finish(self) -> None:
        """Makes the data durable and closes the file (a stream stays open)."""
        if self.temporary is not None:
            os.fsync(self.fd)
        if self._owned:
            os.close(self.fd)
        self.fd = -1

    def commit(self) -> Optional[str]:
        """Puts the finished file in place; returns the folder to sync, if any.

        A file it replaces keeps a second name until :meth:`settle` or
        :meth:`undo`, so that a later output's failure can put it back.
        """
        if self.temporary is None:
            return None
        self._undo = "remove"
        if self.replace:
            self._keep_previous()
            os.replace(self.temporary, self.target)
        else:
            _place_new(self.temporary, self.target, self.path)
        self.temporary = None
        self.placed = True
        return os.path.dirname(self.target)

    def _keep_previous(self) -> None:
        previous = os.path.join(os.path.dirname(self.target), f".rowmend-previous.{secrets.token_hex(8)}")
        try:
            os.link(self.target, previous)
        except FileNotFoundError:
            return  # a new file: undone by removing it
        except OSError:
            self._undo = ""  # no hard links on this file system: what is replaced stays replaced
            return
        self._undo = previous

    def undo(self) -> None:
        """Puts back what :meth:`commit` replaced (or removes what it made)."""
        if not self.placed:
            self.settle()
            return
        if self._undo == "remove":
            os.unlink(self.target)
        elif self._undo:
            os.replace(self._undo, self.target)
        self._undo = ""
        self.placed = False

    def settle(self) -> None:
        """Drops the second name of the file replaced: the new one stays."""
        if self._undo and self._undo != "remove":
            try:
                os.unlink(self._undo)
            except FileNotFoundError:
                pass
        self._undo = ""

    def discard(self) -> None:
        """Closes and removes the temporary file; the destination is left as it was."""
        if self.fd >= 0 and self._owned:
            os.close(self.fd)
        self.fd = -1
        if self.temporary is None:
            return
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass
        self.temporary = None


def _user(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _place_new(temporary: str, target: str, path: str) -> None:
    """Gives the temporary file the target's name only if that name is free, atomically."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise FileExistsError(
            errno.EEXIST, "exists already (from an earlier run?): move it, or name a quarantine file", path
        ) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV):
            raise named(error, path) from None
        # No hard links on this file system: the check and the rename are two steps.
        if os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, "exists already: move it, or name a quarantine file", path) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


def _sync_folder(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return  # the rename is done; a folder that cannot be opened cannot be synced either
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP):
            raise
    finally:
        os.close(fd)


class OutputSet:
    """The outputs of one run, put in place together once all are complete.

    Use it as a context manager: leaving the block by an exception discards
    every temporary file and descriptor; :meth:`commit` syncs each file,
    then renames them (the ones that must not replace anything first, the
    first added last, so a clean file replacing its input goes last), then
    syncs their folders. Should a rename fail, the outputs already renamed
    are undone: each file they replaced keeps a second name (a hard link)
    until every output is in place.
    """

    def __init__(self) -> None:
        self.files: List[PendingFile] = []

    def __enter__(self) -> OutputSet:
        return self

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        if kind is not None:
            self.discard()

    def add(
        self, path: str, *, replace: bool = True, fd: Optional[int] = None, like: Optional[str] = None
    ) -> PendingFile:
        """Starts an output at ``path`` (see :class:`PendingFile`); a new file takes the mode and owner of ``like``."""
        pending = PendingFile(path, replace=replace, fd=fd, like=like)
        self.files.append(pending)
        return pending

    @property
    def notes(self) -> Tuple[Note, ...]:
        """What the outputs have to say (an owner not kept, hard links split)."""
        return tuple(note for pending in self.files for note in pending.notes)

    def commit(self) -> None:
        """Syncs, renames and syncs the folders; every error names the destination."""
        for pending in self.files:
            try:
                pending.finish()
            except OSError as error:
                raise named(error, pending.path) from None
        order = [p for p in reversed(self.files) if not p.replace] + [p for p in reversed(self.files) if p.replace]
        folders = []
        try:
            for pending in order:
                try:
                    folder = pending.commit()
                except FileExistsError:
                    raise
                except OSError as error:
                    raise named(error, pending.path) from None
                if folder is not None and folder not in folders:
                    folders.append(folder)
        except BaseException:
            # An output that could not be put in place: the ones before it go back.
            for pending in order:
                pending.undo()
            raise
        for pending in order:
            pending.settle()
        for folder in folders:
            _sync_folder(folder)

    def discard(self) -> None:
        """Removes every temporary file; nothing that existed is touched."""
        for pending in self.files:
            pending.discard()


class NamedSink(io.RawIOBase):
    """Writes to a descriptor, naming the destination in every error (for Parquet's writer)."""

    def __init__(self, fd: int, path: str) -> None:
        super().__init__()
        self._fd = fd
        self.name = path

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        try:
            return os.write(self._fd, data)
        except OSError as error:
            raise named(error, self.name) from None
