"""Opening an input: a path or a binary file object, compressed or not.

:func:`open_source` turns whatever the user passed into a :class:`ByteSource`,
a binary stream of the input's own bytes: gzip, bz2, xz and zstd input is
recognised by its first bytes (never by its name) and decompressed as it is
read, so memory stays bounded whatever the size of the input.
"""

from __future__ import annotations

import bz2
import errno
import gzip
import io
import lzma
import os
import re
import socket
import stat
import zlib
from types import ModuleType
from typing import Any, Callable, List, Optional, Protocol, Tuple, Type, Union, cast

from rowmend._errors import DecompressionError

__all__ = ["ByteSource", "Source", "SupportsRead", "open_source", "plain_source"]


class SupportsRead(Protocol):
    """A binary file object: ``read(size)`` returns ``bytes``.

    ``readinto`` is used instead when the object has it.
    """

    def read(self, size: int = ..., /) -> bytes:
        """Up to ``size`` bytes; ``b""`` at the end."""
        ...


#: What the reading functions accept as their input.
Source = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", SupportsRead]

# Enough of the start of an input to tell its format: bz2 needs its 4-byte
# header and the 6-byte magic of its first block (or of its end of stream).
_MAGIC_BYTES = 10

# zstd output can be tens of thousands of times larger than its input: feeding
# the decompressor small slices keeps the output of one call bounded.
_ZSTD_FEED = 4096
_ZSTD_READ = 1 << 16


def _sniff_compression(magic: bytes) -> Optional[str]:
    """The compression format whose signature opens ``magic``, if any."""
    if magic.startswith(b"\x1f\x8b\x08"):
        return "gzip"
    if (
        len(magic) >= 10
        and magic.startswith(b"BZh")
        and magic[3] in b"123456789"
        and magic[4:10] in (b"1AY&SY", b"\x17rE8P\x90")  # a first block, or the end of an empty stream
    ):
        return "bz2"
    if magic.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if magic.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if magic.startswith((b"PK\x03\x04", b"PK\x05\x06")):
        return "zip"
    return None


def _describe(stream: object) -> str:
    """A name for a file object in error messages: its path when it has one."""
    name = getattr(stream, "name", None)
    if isinstance(name, str) and name:
        return name
    if isinstance(name, bytes):
        return os.fsdecode(name)
    if isinstance(name, int) and not isinstance(name, bool):
        return f"<fd {name}>"
    return f"<{type(stream).__name__}>"


def _readinto(stream: Any, view: memoryview) -> int:
    """One read from a binary file object into ``view``; 0 means its end."""
    readinto = getattr(stream, "readinto", None)
    if readinto is not None:
        count = readinto(view)
    else:
        data = stream.read(len(view))
        count = None if data is None else len(data)
        if count:
            view[:count] = data
    if count is None:
        raise BlockingIOError(errno.EAGAIN, "the source is non-blocking and has no data ready")
    if isinstance(count, bool) or not isinstance(count, int) or not 0 <= count <= len(view):
        # As io.BufferedReader says of a raw stream that does this.
        raise OSError(f"its readinto() returned {count!r}, where 0 to {len(view)} bytes were asked for")
    return count


def _read_up_to(stream: Any, size: int, name: str) -> bytes:
    """Up to ``size`` bytes from ``stream``: fewer only at its end."""
    if hasattr(stream, "readinto"):
        buffer = bytearray(size)
        view = memoryview(buffer)
        filled = 0
        while filled < size:
            count = _readinto(stream, view[filled:])
            if not count:
                break
            filled += count
        view.release()
        del buffer[filled:]
        return bytes(buffer)
    parts = []
    wanted = size
    while wanted > 0:
        data = stream.read(wanted)
        if data is None:
            raise BlockingIOError(errno.EAGAIN, "the source is non-blocking and has no data ready")
        if isinstance(data, str):
            raise TypeError(f"{name!r} is open in text mode; rowmend reads bytes: open it in binary mode ('rb')")
        if not data:
            break
        parts.append(bytes(data))
        wanted -= len(data)
    return b"".join(parts)


def _seekable(stream: Any) -> bool:
    try:
        return bool(stream.seekable())
    except (AttributeError, OSError, ValueError):
        return False


def _size_hint(stream: Any, start: int) -> Optional[int]:
    """The bytes left from ``start``, when that is cheap to know."""
    if isinstance(stream, io.BytesIO):
        with stream.getbuffer() as view:  # released at once: the buffer may grow later
            return max(view.nbytes - start, 0)
    try:
        status = os.fstat(stream.fileno())
    except (AttributeError, OSError, ValueError):
        return None
    return max(status.st_size - start, 0) if stat.S_ISREG(status.st_mode) else None


class _RawInput(io.RawIOBase):
    """The bytes of the input as stored: those peeked at first, then the rest.

    Counts what it hands out, which for a compressed input is the progress
    through the compressed bytes.
    """

    def __init__(self, stream: Any, peeked: bytes) -> None:
        super().__init__()
        self._stream = stream
        self._peeked = memoryview(peeked)
        self.consumed = 0
        # The last error reading the stream raised: a decompressor lets it
        # pass, and it is the stream's, never a sign of corrupt data.
        self.failure: Optional[BaseException] = None

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if len(self._peeked):
            count = min(len(view), len(self._peeked))
            view[:count] = self._peeked[:count]
            self._peeked = self._peeked[count:]
        else:
            try:
                count = _readinto(self._stream, view)
            except BaseException as exc:
                self.failure = exc
                raise
        self.consumed += count
        return count


class _ZstdReader(io.RawIOBase):
    """Decompresses a sequence of zstd frames, refusing a truncated one.

    The zstandard package's own stream reader ends silently where the input
    breaks off in the middle of a frame; a decompression object per frame
    says whether its frame was complete.
    """

    def __init__(self, raw: io.RawIOBase, zstandard: ModuleType) -> None:
        super().__init__()
        self._raw = raw
        self._context = zstandard.ZstdDecompressor()
        self._frame = self._context.decompressobj()
        self._in_frame = False
        self._input = memoryview(b"")
        self._output = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        while not len(self._output):
            if not len(self._input):
                chunk = self._raw.read(_ZSTD_READ)
                if not chunk:
                    if self._in_frame:
                        raise EOFError("the input ends inside a zstd frame")
                    return 0
                self._input = memoryview(chunk)
            piece, self._input = self._input[:_ZSTD_FEED], self._input[_ZSTD_FEED:]
            self._output = memoryview(self._feed(bytes(piece)))
        count = min(len(view), len(self._output))
        view[:count] = self._output[:count]
        self._output = self._output[count:]
        return count

    def _feed(self, data: bytes) -> bytes:
        produced = []
        while data:
            self._in_frame = True
            produced.append(self._frame.decompress(data))
            if not self._frame.eof:
                break
            # The frame is complete: what follows it starts the next one.
            data = self._frame.unused_data
            self._frame = self._context.decompressobj()
            self._in_frame = False
        return b"".join(produced)


# Compressed input is read from the stream under it in pieces of this size;
# each decompressor call is bounded by the room asked for.
_STREAM_READ = 1 << 16

_BZ2_MAGIC = b"BZh"
_XZ_MAGIC = b"\xfd7zXZ\x00"


class _StreamsReader(io.RawIOBase):
    """Decompresses concatenated bz2 or xz streams and nothing else.

    What follows a stream must be another stream or, for xz, the stream
    padding its format allows (NUL bytes in multiples of four); anything else
    is corrupt data, as gzip and zstd input treat it, not an end to ignore,
    as :class:`bz2.BZ2File` and :class:`lzma.LZMAFile` do.
    """

    def __init__(self, raw: io.RawIOBase, kind: str, magic: bytes, padding: int, new: Callable[[], Any]) -> None:
        super().__init__()
        self._raw = raw
        self._kind = kind
        self._magic = magic
        self._padding = padding  # NUL padding comes in multiples of this; 0: none allowed
        self._new = new
        self._decompressor = new()
        self._pending = b""  # input read past a stream's end, for the next stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if not len(view):
            return 0
        while True:
            if self._decompressor.eof and not self._next_stream():
                return 0
            data = b""
            if self._decompressor.needs_input:
                data, self._pending = self._pending or self._raw.read(_STREAM_READ), b""
                if not data:
                    raise EOFError(f"the input ends inside a {self._kind} stream")
            out = self._decompressor.decompress(data, len(view))
            if out:
                view[: len(out)] = out
                return len(out)

    def _next_stream(self) -> bool:
        """Starts the stream after the one that ended; False at the end of the input."""
        rest = self._decompressor.unused_data + self._pending
        padding = 0
        while True:
            if self._padding:
                stripped = rest.lstrip(b"\0")
                padding += len(rest) - len(stripped)
                rest = stripped
            if len(rest) >= len(self._magic) or not self._magic.startswith(rest):
                break
            more = self._raw.read(_STREAM_READ)
            if not more:
                break
            rest += more
        if padding % max(self._padding, 1):
            raise OSError(f"{padding} NUL bytes follow the {self._kind} stream, where padding comes in fours")
        if not rest:
            return False
        if not rest.startswith(self._magic):
            raise OSError(f"the data after the end of the {self._kind} stream is not another {self._kind} stream")
        self._decompressor = self._new()
        self._pending = rest
        return True


def _import_zstandard(name: str) -> ModuleType:
    try:
        import zstandard
    except ImportError as exc:
        raise ModuleNotFoundError(
            f"{name!r} is zstd-compressed; reading it needs the zstandard package: pip install 'rowmend[zstd]'",
            name="zstandard",
        ) from exc
    return zstandard


class ByteSource(io.BufferedIOBase):
    """The bytes of an input, decompressed, as a readable binary stream.

    Made by :func:`open_source`; a context manager that closes what it
    opened (never a file object the caller passed in). ``read(size)`` and
    ``readinto(buffer)`` return fewer bytes than asked only at the end of the
    input. A corrupt or truncated compressed stream raises
    :class:`~rowmend.DecompressionError` at the point where it breaks.

    Attributes:
        name: The input as error messages name it: its path, or a
            description such as ``<BytesIO>``.
        size_hint: The input's size as stored (compressed, if it is), for
            progress display; None when unknown (pipes, sockets).
        compression: ``"gzip"``, ``"bz2"``, ``"xz"``, ``"zstd"`` or None.
        path: The file's path when the stream's bytes are exactly the file's
            own (a path given, no compression), so that native code may read
            the file itself; None otherwise.
    """

    name: str
    size_hint: Optional[int]
    compression: Optional[str]
    path: Optional[str]

    def __init__(
        self,
        stream: Any,
        raw: _RawInput,
        *,
        name: str,
        size_hint: Optional[int],
        compression: Optional[str],
        path: Optional[str],
        owned: Optional[Any],
    ) -> None:
        super().__init__()
        self.name = name
        self.size_hint = size_hint
        self.compression = compression
        self.path = path
        self._stream = stream
        self._raw = raw
        self._owned = owned
        self._corrupt_errors: Tuple[Type[BaseException], ...] = (EOFError, zlib.error, lzma.LZMAError)
        self._recorded: Optional[bytearray] = None  # bytes read since record(), kept for replay()
        self._replaying = memoryview(b"")  # replayed bytes not yet read again
        if compression == "zstd":
            self._corrupt_errors += (_import_zstandard(name).ZstdError,)
        self._reading_errors: Tuple[Type[BaseException], ...] = (OSError, *self._corrupt_errors)

    def __repr__(self) -> str:
        return f"<ByteSource name={self.name!r} compression={self.compression!r}>"

    @property
    def consumed(self) -> int:
        """Bytes taken from the input as stored (compressed, if it is), for progress."""
        return self._raw.consumed

    def readable(self) -> bool:
        """Always True: a source is for reading."""
        return True

    def record(self) -> None:
        """Keep every byte read from now on in memory, to be read again after :meth:`replay`.

        Lets a look at the start of a stream that cannot seek (a pipe, standard
        input) leave it as it was: detection reads a bounded prefix this way.
        """
        self._recorded = bytearray()

    def replay(self) -> bytes:
        """Stop keeping bytes; the next reads return those kept since :meth:`record` first.

        Returns:
            The kept bytes.
        """
        kept = bytes(self._recorded or b"") + bytes(self._replaying)
        self._recorded = None
        self._replaying = memoryview(kept)
        return kept

    def _pull(self, view: memoryview) -> int:
        count = min(len(view), len(self._replaying))
        if count:
            view[:count] = self._replaying[:count]
            self._replaying = self._replaying[count:]
        else:
            count = self._pull_stream(view)
        if self._recorded is not None:
            self._recorded += view[:count]
        return count

    def _pull_stream(self, view: memoryview) -> int:
        if self.compression is None:
            return _readinto(self._stream, view)
        try:
            return _readinto(self._stream, view)
        except self._reading_errors as exc:
            # The decompressors report bad data as OSError without an errno
            # (BadGzipFile, bz2's "Invalid data stream"); what the stream
            # under them raised (a socket's timeout has no errno either)
            # passes unchanged.
            if exc is self._raw.failure or (isinstance(exc, OSError) and exc.errno is not None):
                raise
            raise self._decompression_error(exc) from exc

    def _decompression_error(self, exc: BaseException) -> DecompressionError:
        kind = self.compression or ""
        if isinstance(exc, EOFError):
            message = f"{self.name!r} is a truncated {kind} stream: {exc}"
        else:
            message = f"{self.name!r} holds corrupt {kind} data: {exc}"
        return DecompressionError(message, self.name, kind)

    def readinto(self, buffer: Any) -> int:
        """Fill ``buffer`` with the next bytes; fewer only at the end of the input.

        Returns:
            The number of bytes stored, 0 at the end of the input.
        """
        if self.closed:
            raise ValueError("I/O operation on closed file")
        view = memoryview(buffer).cast("B")
        filled = 0
        while filled < len(view):
            count = self._pull(view[filled:])
            if not count:
                break
            filled += count
        return filled

    def read(self, size: Optional[int] = -1) -> bytes:
        """The next ``size`` bytes (fewer only at the end), or all the rest when ``size`` is negative or None."""
        if size is None or size < 0:
            parts: List[bytes] = []
            while True:
                part = self.read(1 << 20)
                if not part:
                    return b"".join(parts)
                parts.append(part)
        buffer = bytearray(size)
        count = self.readinto(buffer)
        # A copy of what was read, not a resize: a view of the buffer still
        # held below (by a file object, or a traceback's frame) forbids one.
        return bytes(buffer) if count == size else bytes(memoryview(buffer)[:count])

    def read1(self, size: int = -1) -> bytes:
        """Up to ``size`` bytes from a single read of the input (64 KiB when ``size`` is negative)."""
        if self.closed:
            raise ValueError("I/O operation on closed file")
        buffer = bytearray(size if size >= 0 else 1 << 16)
        count = self._pull(memoryview(buffer)) if buffer else 0
        return bytes(buffer) if count == len(buffer) else bytes(memoryview(buffer)[:count])

    def close(self) -> None:
        """Close what :func:`open_source` opened; a file object passed in stays open."""
        if self.closed:
            return
        try:
            if self._stream is not self._raw:
                self._stream.close()  # a decompressor: leaves the stream under it open
        finally:
            try:
                if self._owned is not None:
                    self._owned.close()
            finally:
                super().close()


def plain_source(stream: Any, name: str, size_hint: Optional[int]) -> ByteSource:
    """A source of ``stream``'s bytes as they are, never taken for compressed (a part of a file's bytes).

    ``stream`` is closed with the source.
    """
    return ByteSource(stream, _RawInput(stream, b""), name=name, size_hint=size_hint, compression=None, path=None, owned=stream)


def _open_stream(stream: Any, name: str, *, owned: Optional[Any], path: Optional[str]) -> ByteSource:
    if _seekable(stream):
        # Look at the first bytes, then go back: nothing is consumed.
        start = stream.tell()
        magic = _read_up_to(stream, _MAGIC_BYTES, name)
        stream.seek(start)
        size_hint = _size_hint(stream, start)
        raw = _RawInput(stream, b"")
    else:
        # Pipes and sockets cannot go back: the peeked bytes are served first.
        magic = _read_up_to(stream, _MAGIC_BYTES, name)
        size_hint = _size_hint(stream, 0)
        raw = _RawInput(stream, magic)
    compression = _sniff_compression(magic)
    decompressed: Any
    if compression is None:
        decompressed = raw
    elif compression == "gzip":
        decompressed = gzip.GzipFile(fileobj=raw, mode="rb")
    elif compression == "bz2":
        decompressed = _StreamsReader(raw, "bz2", _BZ2_MAGIC, 0, bz2.BZ2Decompressor)
    elif compression == "xz":
        decompressed = _StreamsReader(raw, "xz", _XZ_MAGIC, 4, lambda: lzma.LZMADecompressor(lzma.FORMAT_XZ))
    elif compression == "zstd":
        decompressed = _ZstdReader(raw, _import_zstandard(name))
    else:
        raise DecompressionError(
            f"{name!r} is a ZIP archive, which rowmend does not unpack: extract the CSV file from it first",
            name,
            compression,
        )
    return ByteSource(
        decompressed,
        raw,
        name=name,
        size_hint=size_hint,
        compression=compression,
        path=path if compression is None else None,
        owned=owned,
    )


# A URL: a scheme of two characters or more (one is a Windows drive) and "://".
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]+://")


def is_url(name: str) -> bool:
    """Whether a path names a URL (``https://``, ``s3://``, ``file://``...), read through fsspec.

    Examples:
        >>> is_url("s3://bucket/a.csv"), is_url("C:/data/a.csv"), is_url("a.csv")
        (True, False, False)
    """
    return _URL.match(name) is not None


class _Forward:
    """A file read once from its start: fsspec's HTTP stream says it can seek, but cannot."""

    def __init__(self, file: Any) -> None:
        self._file = file

    def read(self, size: int = -1) -> bytes:
        """Up to ``size`` bytes (all that is left when negative)."""
        return cast(bytes, self._file.read(size))

    def seekable(self) -> bool:
        """Never: the peeked bytes are served again instead."""
        return False

    def close(self) -> None:
        """Closes the stream."""
        self._file.close()


def _open_url(url: str) -> ByteSource:
    """A URL's bytes through fsspec, read as they come in blocks, never whole."""
    try:
        import fsspec
    except ImportError:
        raise ModuleNotFoundError(
            f"{url}: reading a URL needs fsspec: pip install 'rowmend[remote]' "
            "(and s3fs for s3://, gcsfs for gs://)",
            name="fsspec",
        ) from None
    # Over HTTP, a stream: read once from the start, in bounded memory, from
    # any server (random access needs range requests, which not all answer).
    streaming = {"block_size": 0} if url.lower().startswith(("http://", "https://")) else {}
    try:
        file = fsspec.open(url, "rb", compression=None, **streaming).open()
    except FileNotFoundError as error:
        if error.strerror:
            raise
        # fsspec's HTTP file system says only the URL: the cause says why.
        cause = error.__cause__ or error.__context__
        why = f"not found or not reachable ({type(cause).__name__}: {cause})" if cause else "not found"
        raise FileNotFoundError(errno.ENOENT, why, url) from error
    except (OSError, ImportError, ValueError):
        raise  # a file system that needs its package, a bad URL: fsspec says which
    except Exception as error:  # the file system's own errors (HTTP, credentials): one OSError naming the URL
        raise OSError(errno.EIO, f"{type(error).__name__}: {error}", url) from error
    if streaming:
        file = _Forward(file)
    try:
        return _open_stream(file, url, owned=file, path=None)
    except BaseException:
        file.close()
        raise


def open_source(source: Source) -> ByteSource:
    """Open an input for reading its (decompressed) bytes.

    Args:
        source: A path (``str``, ``bytes`` or ``os.PathLike``, as
            :func:`open` takes it), a URL that fsspec opens (``https://``,
            ``s3://``, ``gs://``, ``file://``, ``memory://``...; fsspec is the
            ``remote`` extra), a binary file object (anything with
            ``read``; ``readinto`` is used when present) such as an open
            file, ``io.BytesIO``, a pipe or ``socket.makefile("rb")``, or a
            connected ``socket.socket``. A file object is read from its
            current position and is left open.

    Returns:
        A :class:`ByteSource`; use it as a context manager.

    Raises:
        FileNotFoundError, PermissionError, IsADirectoryError: and the other
            ``OSError`` subclasses, as :func:`open` raises them, with
            ``errno``, ``strerror`` and ``filename`` set.
        TypeError: ``source`` is neither a path nor a binary file object,
            or is open in text mode.
        DecompressionError: The input is a ZIP archive (a corrupt compressed
            stream is reported when reading reaches the damage).
        ModuleNotFoundError: The input is zstd-compressed and the optional
            ``zstandard`` package is not installed (``rowmend[zstd]``).

    Examples:
        >>> import gzip, io
        >>> with open_source(io.BytesIO(gzip.compress(b"a,b\\n1,2\\n"))) as source:
        ...     source.compression, source.read()
        ('gzip', b'a,b\\n1,2\\n')
    """
    if isinstance(source, str) and is_url(source):
        return _open_url(source)
    if isinstance(source, (str, bytes, os.PathLike)):
        name = os.fsdecode(os.fspath(source))
        file = open(source, "rb", buffering=0)  # its errors name the file as given
        try:
            return _open_stream(file, name, owned=file, path=name)
        except BaseException:
            file.close()
            raise
    if isinstance(source, (bytearray, memoryview)):
        raise TypeError(
            f"source must be a path or a binary file object, not {type(source).__name__}: "
            "wrap data in memory in io.BytesIO"
        )
    if isinstance(source, socket.socket):
        reader = source.makefile("rb")  # closing it leaves the socket open
        try:
            return _open_stream(reader, f"<socket fd {source.fileno()}>", owned=reader, path=None)
        except BaseException:
            reader.close()
            raise
    name = _describe(source)
    if isinstance(source, io.TextIOBase):
        hint = ", or pass its binary buffer (.buffer)" if hasattr(source, "buffer") else ""
        raise TypeError(f"{name!r} is open in text mode; rowmend reads bytes: open it in binary mode ('rb'){hint}")
    if not callable(getattr(source, "read", None)):
        raise TypeError(
            "source must be a path (str, bytes or os.PathLike) or a binary file object, "
            f"not {type(source).__name__}"
        )
    return _open_stream(source, name, owned=None, path=None)
