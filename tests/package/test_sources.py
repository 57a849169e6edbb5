"""Opening inputs: every kind of source, every compression, every failure."""

import bz2
import contextlib
import errno
import gzip
import io
import lzma
import os
import pathlib
import pickle
import random
import socket
import sys
import threading

import pytest
import zstandard

from rowmend import DecompressionError
from rowmend._sources import open_source

# Varied enough that decompression runs over many reads, with non-ASCII bytes.
PAYLOAD = "".join(
    f"{i},{random.Random(i).random()},caf\u00e9 \u20ac,\"q\"\"x\"\n" for i in range(20000)
).encode("utf-8")


def zstd_frames(data):
    half = len(data) // 2
    compressor = zstandard.ZstdCompressor()
    return compressor.compress(data[:half]) + compressor.compress(data[half:])


COMPRESSIONS = {
    None: lambda data: data,
    "gzip": gzip.compress,
    "gzip-members": lambda data: gzip.compress(data[:100], mtime=0) + gzip.compress(data[100:], mtime=0),
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda data: zstandard.ZstdCompressor().compress(data),
    "zstd-frames": zstd_frames,
}


def feed(write, close, blob):
    """Sends blob from a thread in pieces, so that the reader meets short reads."""

    def run():
        try:
            for piece in (blob[:1], blob[1:4], blob[4:]):
                write(piece)
        finally:
            close()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


@contextlib.contextmanager
def pipe_source(tmp_path, blob):
    read_fd, write_fd = os.pipe()
    writer = open(write_fd, "wb")
    feed(lambda piece: (writer.write(piece), writer.flush()), writer.close, blob)
    with open(read_fd, "rb", buffering=0) as reader:
        yield reader


@contextlib.contextmanager
def socket_source(tmp_path, blob, raw):
    left, right = socket.socketpair()
    feed(right.sendall, right.close, blob)
    with left, (contextlib.nullcontext(left) if raw else left.makefile("rb")) as reader:
        yield reader


@contextlib.contextmanager
def path_source(tmp_path, blob, convert=str, mode=None):
    path = tmp_path / "input.csv"
    path.write_bytes(blob)
    with contextlib.nullcontext(convert(path)) if mode is None else open(path, mode) as source:
        yield source


SOURCE_KINDS = {
    "str": path_source,
    "Path": lambda tmp, blob: path_source(tmp, blob, pathlib.Path),
    "bytes path": lambda tmp, blob: path_source(tmp, blob, os.fsencode),
    "binary file": lambda tmp, blob: path_source(tmp, blob, mode="rb"),
    "BytesIO": lambda tmp, blob: contextlib.nullcontext(io.BytesIO(blob)),
    "pipe": pipe_source,
    "socket file": lambda tmp, blob: socket_source(tmp, blob, raw=False),
    "socket": lambda tmp, blob: socket_source(tmp, blob, raw=True),
}
PATHS = {"str", "Path", "bytes path"}
SIZED = PATHS | {"BytesIO", "binary file"}


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("compression", list(COMPRESSIONS), ids=str)
@pytest.mark.parametrize("kind", list(SOURCE_KINDS))
def test_every_source_kind_and_compression_gives_the_payload(tmp_path, kind, compression):
    blob = COMPRESSIONS[compression](PAYLOAD)
    with SOURCE_KINDS[kind](tmp_path, blob) as source:
        fds = open_fds()
        with open_source(source) as opened:
            head = opened.read(7)
            assert opened.read() == PAYLOAD[7:]
            assert head == PAYLOAD[:7]
            assert opened.compression == (compression.split("-")[0] if compression else None)
            assert opened.size_hint == (len(blob) if kind in SIZED else None)
            assert opened.consumed == len(blob)
            assert opened.path == (str(tmp_path / "input.csv") if kind in PATHS and not compression else None)
        assert opened.closed
        if kind in PATHS:
            assert open_fds() == fds  # the file it opened is closed
        # a caller's file object or socket stays open
        assert source.fileno() >= 0 if kind == "socket" else not getattr(source, "closed", False)


def test_a_file_object_is_read_from_its_position_and_left_open():
    buffer = io.BytesIO(b"skip:" + gzip.compress(b"a,b\n", mtime=0))
    buffer.read(5)
    with open_source(buffer) as opened:
        assert (opened.compression, opened.size_hint, opened.read()) == ("gzip", len(buffer.getvalue()) - 5, b"a,b\n")
    assert not buffer.closed


@pytest.mark.parametrize(
    "data",
    [b"", b"a", b"BZh9 is a column\n", b"\x1f\x8b", b"PK,zip\n", b"\xfd7zX,\n"],
    ids=["empty", "one byte", "bz2 letters", "gzip magic only", "PK text", "xz prefix"],
)
def test_look_alikes_and_short_inputs_are_plain(data):
    with open_source(io.BytesIO(data)) as opened:
        assert (opened.compression, opened.read()) == (None, data)


OS_ERRORS = [
    # (case, how to make the path from a file f, class, errno)
    ("missing", lambda f: f.with_name("missing.csv"), FileNotFoundError, errno.ENOENT),
    ("directory", lambda f: f.parent, IsADirectoryError, errno.EISDIR),
    ("below a file", lambda f: f / "x.csv", NotADirectoryError, errno.ENOTDIR),
    ("symlink loop", lambda f: f.unlink() or f.symlink_to(f) or f, OSError, errno.ELOOP),
    ("unreadable", lambda f: f.chmod(0) or f, PermissionError, errno.EACCES),
]


def failure_of(call, as_nobody):
    """What call() raises, as (type, errno, strerror, filename); as the user
    nobody in a forked child when asked, since file permissions do not bind root."""
    if not as_nobody:
        with pytest.raises(OSError) as info:
            call()
        return type(info.value), info.value.errno, info.value.strerror, info.value.filename
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child never returns into pytest
        answer = None
        try:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            call()
        except OSError as exc:
            answer = (type(exc), exc.errno, exc.strerror, exc.filename)
        finally:
            os.write(write_fd, pickle.dumps(answer))
            os._exit(0)
    os.close(write_fd)
    with open(read_fd, "rb") as reader:
        answer = pickle.loads(reader.read())
    os.waitpid(pid, 0)
    return answer


@pytest.mark.parametrize("convert", [str, pathlib.Path, os.fsencode], ids=["str", "Path", "bytes"])
@pytest.mark.parametrize("case, make, exc_type, code", OS_ERRORS, ids=[c[0] for c in OS_ERRORS])
def test_os_errors_name_the_file(tmp_path, convert, case, make, exc_type, code):
    file = tmp_path / "f.csv"
    file.write_bytes(b"a\n")
    path = make(file)
    as_nobody = case == "unreadable" and os.geteuid() == 0
    failure = failure_of(lambda: open_source(convert(path)), as_nobody)
    assert failure == (exc_type, code, os.strerror(code), os.fspath(convert(path)))


class TextReader:
    def read(self, size=-1):
        return "a,b\n"


@pytest.mark.parametrize(
    "source, words",
    [
        (io.StringIO("a,b\n"), "binary mode"),
        (TextReader(), "binary mode"),
        (bytearray(b"a,b\n"), "io.BytesIO"),
        (memoryview(b"a,b\n"), "io.BytesIO"),
        (3, "not int"),
        (None, "not NoneType"),
    ],
    ids=["StringIO", "read gives str", "bytearray", "memoryview", "int", "None"],
)
def test_unusable_sources_are_type_errors(source, words):
    with pytest.raises(TypeError, match=words):
        open_source(source)


def test_a_text_mode_file_names_itself_and_its_buffer(tmp_path):
    with path_source(tmp_path, b"a\n", mode="r") as text, pytest.raises(TypeError) as info:
        open_source(text)
    assert text.name in str(info.value) and ".buffer" in str(info.value)


def corrupt_middle(blob):
    middle = len(blob) // 2
    return blob[:middle] + bytes(b ^ 0x5A for b in blob[middle : middle + 64]) + blob[middle + 64 :]


DAMAGE = [
    ("gzip", gzip.compress, lambda b: b[: len(b) // 2], "truncated"),
    ("gzip", gzip.compress, corrupt_middle, "corrupt"),
    ("gzip", gzip.compress, lambda b: b + b"junk", "corrupt"),
    ("bz2", bz2.compress, lambda b: b[: len(b) // 2], "truncated"),
    ("bz2", bz2.compress, corrupt_middle, "corrupt"),
    ("xz", lzma.compress, lambda b: b[: len(b) // 2], "truncated"),
    ("xz", lzma.compress, corrupt_middle, "corrupt"),
    ("zstd", COMPRESSIONS["zstd"], lambda b: b[: len(b) // 2], "truncated"),
    ("zstd", zstd_frames, lambda b: b[:-3], "truncated"),
    ("zstd", COMPRESSIONS["zstd"], corrupt_middle, "corrupt"),
    ("zstd", COMPRESSIONS["zstd"], lambda b: b + b"junk", "corrupt"),
]


@pytest.mark.parametrize("compression, compress, damage, words", DAMAGE)
def test_damaged_compressed_input_raises_naming_the_file(tmp_path, compression, compress, damage, words):
    path = tmp_path / "damaged.csv"
    path.write_bytes(damage(compress(PAYLOAD)))
    with open_source(path) as opened, pytest.raises(DecompressionError) as info:
        opened.read()
    error = info.value
    assert (error.filename, error.compression) == (str(path), compression)
    assert str(path) in str(error) and f"{words} {compression}" in str(error)
    assert error.__cause__ is not None
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


def test_a_zip_archive_is_refused_at_once(tmp_path):
    import zipfile

    path = tmp_path / "data.zip"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("data.csv", "a,b\n")
    with pytest.raises(DecompressionError, match="extract the CSV") as info:
        open_source(path)
    assert (info.value.filename, info.value.compression) == (str(path), "zip")


class ResetAfter(io.RawIOBase):
    """A stream whose connection drops after some bytes."""

    def __init__(self, data, limit):
        self._data = io.BytesIO(data[:limit])

    def readable(self):
        return True

    def readinto(self, buffer):
        count = self._data.readinto(buffer)
        if not count:
            raise ConnectionResetError(errno.ECONNRESET, os.strerror(errno.ECONNRESET))
        return count


@pytest.mark.parametrize("compression", [None, "gzip", "bz2", "xz", "zstd"], ids=str)
def test_io_errors_under_decompression_stay_io_errors(compression):
    blob = COMPRESSIONS[compression](PAYLOAD)
    with open_source(ResetAfter(blob, len(blob) // 2)) as opened, pytest.raises(ConnectionResetError):
        opened.read()


def test_zstd_without_zstandard_names_the_file_and_the_extra(tmp_path, monkeypatch):
    path = tmp_path / "data.csv.zst"
    path.write_bytes(COMPRESSIONS["zstd"](b"a,b\n"))
    monkeypatch.setitem(sys.modules, "zstandard", None)
    with pytest.raises(ModuleNotFoundError) as info:
        open_source(path)
    assert str(path) in str(info.value) and "rowmend[zstd]" in str(info.value)
    assert info.value.name == "zstandard"


def _skippable_zstd_frame(data):
    return (0x184D2A50).to_bytes(4, "little") + len(data).to_bytes(4, "little") + data


# What may follow the last stream of each format: more streams always; NUL
# padding where the format has it (xz, in fours) or where gzip itself reads
# it; zstd's skippable frames. Anything else is corrupt data.
TRAILING = [
    ("gzip", b"junk", "corrupt"),
    ("gzip", b"\0" * 3, None),
    ("gzip", b"\0" * 8 + gzip.compress(b"x", mtime=0), "x"),
    ("bz2", b"junk", "corrupt"),
    ("bz2", b"\0" * 4, "corrupt"),
    ("bz2", bz2.compress(b"x"), "x"),
    ("bz2", bz2.compress(b"x")[:-2], "truncated"),
    ("xz", b"junk", "corrupt"),
    ("xz", b"\0" * 3, "corrupt"),
    ("xz", b"\0" * 8, None),
    ("xz", b"\0" * 4 + lzma.compress(b"x"), "x"),
    ("xz", b"\0" * 4 + lzma.compress(b"x") + b"\0" * 2, "corrupt"),
    ("xz", lzma.compress(b"x")[:-2], "truncated"),
    ("zstd", b"junk", "corrupt"),
    ("zstd", b"\0" * 4, "corrupt"),
    ("zstd", _skippable_zstd_frame(b"meta"), None),
    ("zstd", zstandard.compress(b"x"), "x"),
]


@pytest.mark.parametrize("compression, trailing, outcome", TRAILING)
def test_what_follows_the_last_stream_is_read_by_one_rule(compression, trailing, outcome):
    blob = COMPRESSIONS[compression](PAYLOAD) + trailing
    with open_source(io.BytesIO(blob)) as opened:
        if outcome in ("corrupt", "truncated"):
            with pytest.raises(DecompressionError, match=f"{outcome} {compression}"):
                opened.read()
        else:
            assert opened.read() == PAYLOAD + (outcome or "").encode()


class FailsAfter(io.RawIOBase):
    """A stream that raises ``error`` once its bytes run out."""

    def __init__(self, data, error):
        self._data = io.BytesIO(data)
        self._error = error

    def readable(self):
        return True

    def readinto(self, buffer):
        count = self._data.readinto(buffer)
        if not count:
            raise self._error
        return count


class ReturnsMinusOne(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, buffer):
        return -1


@pytest.mark.parametrize("compression", [None, "gzip", "bz2", "xz", "zstd"], ids=str)
@pytest.mark.parametrize(
    "make, exc_type, words",
    [
        (lambda blob: FailsAfter(blob[: len(blob) // 2], socket.timeout("timed out")), TimeoutError, "timed out"),
        (lambda blob: FailsAfter(blob[: len(blob) // 2], OSError("link down")), OSError, "link down"),
        (lambda blob: ReturnsMinusOne(), OSError, r"readinto\(\) returned -1"),
    ],
)
def test_a_failing_stream_is_not_taken_for_corrupt_data(compression, make, exc_type, words):
    blob = COMPRESSIONS[compression](PAYLOAD)
    with pytest.raises(exc_type, match=words) as info:
        with open_source(make(blob)) as opened:
            opened.read()
    assert not isinstance(info.value, DecompressionError)
