"""Which text encoding an input uses, and decoding it to UTF-8.

The engine reads UTF-8. Everything else is either decoded natively or, for
codecs the native side does not know, turned into UTF-8 here by Python's
incremental decoders. Either way the input bytes that could not be decoded
become U+FFFD and are counted, so that a replacement is never silent.

Importing this module registers two names with Python's codec registry:

* the codec ``rowmend-cp1252``: Windows-1252 with the five bytes it leaves
  undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) decoded as the Latin-1 code points
  U+0081, U+008D, U+008F, U+0090 and U+009D, as web browsers decode them, so
  that no byte of a cp1252 file is ever lost;
* the error handler ``rowmend.replace``: the ``replace`` handler that also
  counts the input bytes it replaces.
"""

from __future__ import annotations

import codecs
import contextvars
import encodings.cp1252
import functools
from typing import TYPE_CHECKING, Iterable, Iterator, Optional, Tuple, Union

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = [
    "CP1252_CODEC",
    "DETECT_BYTES",
    "Transcoder",
    "check_replaces",
    "decoding_codec",
    "detect_bom",
    "detect_encoding",
    "encoding_doubt",
    "normalize_encoding",
    "resolve_encoding",
    "transcode",
]

#: How much of the start of an input the detection looks at (1 MiB).
DETECT_BYTES = 1 << 20

# Longest marks first where one begins with another: the UTF-32 LE mark
# FF FE 00 00 starts with the UTF-16 LE mark FF FE.
_BOMS: Tuple[Tuple[bytes, str], ...] = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)

# For each encoding whose byte-order mark may open a file, the mark itself.
_OWN_BOM = {name: bom for bom, name in _BOMS}


# ---- the lenient cp1252 codec ------------------------------------------------

CP1252_CODEC = "rowmend-cp1252"

_CP1252_DECODING = "".join(
    chr(byte) if char == "\ufffe" else char for byte, char in enumerate(encodings.cp1252.decoding_table)
)
_CP1252_ENCODING = codecs.charmap_build(_CP1252_DECODING)


class _Cp1252Codec(codecs.Codec):
    def encode(self, input: str, errors: str = "strict") -> Tuple[bytes, int]:
        return codecs.charmap_encode(input, errors, _CP1252_ENCODING)

    def decode(self, input: ReadableBuffer, errors: str = "strict") -> Tuple[str, int]:
        return codecs.charmap_decode(input, errors, _CP1252_DECODING)


class _Cp1252IncrementalEncoder(codecs.IncrementalEncoder):
    def encode(self, input: str, final: bool = False) -> bytes:
        return codecs.charmap_encode(input, self.errors, _CP1252_ENCODING)[0]


class _Cp1252IncrementalDecoder(codecs.IncrementalDecoder):
    # One byte is one character: nothing is ever held back between calls.
    def decode(self, input: ReadableBuffer, final: bool = False) -> str:
        return codecs.charmap_decode(input, self.errors, _CP1252_DECODING)[0]


class _Cp1252StreamWriter(_Cp1252Codec, codecs.StreamWriter):
    pass


class _Cp1252StreamReader(_Cp1252Codec, codecs.StreamReader):
    pass


def _search_codec(name: str) -> Optional[codecs.CodecInfo]:
    # The registry hands search functions the name lower-cased, with hyphens
    # and spaces turned into underscores.
    if name != CP1252_CODEC.replace("-", "_"):
        return None
    return codecs.CodecInfo(
        name=CP1252_CODEC,
        encode=_Cp1252Codec().encode,
        decode=_Cp1252Codec().decode,
        incrementalencoder=_Cp1252IncrementalEncoder,
        incrementaldecoder=_Cp1252IncrementalDecoder,
        streamreader=_Cp1252StreamReader,
        streamwriter=_Cp1252StreamWriter,
    )


codecs.register(_search_codec)


# ---- the counting replacement handler ----------------------------------------

REPLACE_ERRORS = "rowmend.replace"

# The transcoder whose decoder is running on this thread or task, if any.
_active: contextvars.ContextVar[Optional[Transcoder]] = contextvars.ContextVar("rowmend_transcoder", default=None)


_REPLACEMENT_UTF8 = "\ufffd".encode()


def _replace_and_count(exc: UnicodeError) -> Tuple[Union[str, bytes], int]:
    if isinstance(exc, UnicodeDecodeError):
        transcoder = _active.get()
        if transcoder is not None:
            transcoder.replaced_bytes += exc.end - exc.start
        return "\ufffd", exc.end
    if isinstance(exc, UnicodeEncodeError):
        # Only lone surrogates fail to encode as UTF-8; a codec produced them
        # from input it considered valid (utf-7's "+2D0-", unicode_escape's
        # "\\ud800"), so they are not counted as replaced. As bytes: the
        # UTF-8 encoder takes only ASCII back as text.
        return _REPLACEMENT_UTF8 * (exc.end - exc.start), exc.end
    raise exc


codecs.register_error(REPLACE_ERRORS, _replace_and_count)


# ---- detection ---------------------------------------------------------------


def normalize_encoding(name: str) -> str:
    """Return the canonical name of a text encoding Python knows.

    Args:
        name: Any name or alias of a codec, such as ``"latin-1"``,
            ``"UTF8"`` or ``"windows-1252"``.

    Returns:
        The codec's own name (``codecs.lookup(name).name``).

    Raises:
        LookupError: Python knows no codec of that name, or the codec does not
            turn bytes into text (``"base64"``, ``"zlib"``, ``"rot13"``).

    Examples:
        >>> normalize_encoding("Latin-1")
        'iso8859-1'
        >>> normalize_encoding("windows-1252")
        'cp1252'
    """
    info = codecs.lookup(name)
    # The flag bytes.decode() itself checks, set on every bytes-to-bytes or
    # str-to-str codec.
    if not getattr(info, "_is_text_encoding", True):
        raise LookupError(f"{name!r} is not a text encoding")
    return info.name


@functools.lru_cache(maxsize=None)
def _replaces(encoding: str) -> bool:
    """Whether the codec decodes with an error handler of ours at all.

    Most do; a few accept only their own handlers or none (``idna``,
    ``punycode``, ``undefined``), and would fail on the first byte they
    cannot decode instead of replacing it.
    """
    if encoding in ("utf-16", "utf-32"):
        encoding += "-le"  # decoded in the byte order resolve_encoding settles
    try:
        decoder = codecs.getincrementaldecoder(decoding_codec(encoding))(REPLACE_ERRORS)
        decoder.decode(b"\xff\xfe+-\\x\x80\n", True)
    except (UnicodeError, ValueError, TypeError, LookupError):
        return False
    return True


def check_replaces(encoding: str) -> None:
    """Refuse a codec that cannot replace what it cannot decode.

    Raises:
        ValueError: ``encoding`` fails on undecodable bytes instead of
            replacing them, so rowmend could not read every input with it.

    Examples:
        >>> check_replaces("utf-7")
        >>> check_replaces("idna")
        Traceback (most recent call last):
        ...
        ValueError: encoding 'idna' cannot replace the bytes it cannot decode, which rowmend needs to read any input; name another encoding
    """
    if not _replaces(encoding):
        raise ValueError(
            f"encoding {encoding!r} cannot replace the bytes it cannot decode, "
            "which rowmend needs to read any input; name another encoding"
        )


def detect_bom(head: bytes) -> Optional[Tuple[str, int]]:
    """Return the encoding a byte-order mark at the start of ``head`` names.

    Returns:
        ``(encoding, length of the mark)``, or None when ``head`` starts with
        no mark. UTF-32 LE wins over UTF-16 LE, whose mark it begins with.

    Examples:
        >>> detect_bom(b"\\xef\\xbb\\xbfa,b\\n")
        ('utf-8', 3)
        >>> detect_bom(b"a,b\\n") is None
        True
    """
    for bom, name in _BOMS:
        if head.startswith(bom):
            return name, len(bom)
    return None


# The NUL bytes on one side it takes to read an input without a byte-order
# mark as UTF-16: eight characters of text, where a few NULs are damage.
_UTF16_EVIDENCE = 8


def _utf16_without_bom(head: bytes, evidence: int = _UTF16_EVIDENCE) -> Optional[str]:
    """UTF-16 text that is mostly ASCII has a NUL in every other byte.

    The NULs fall on odd offsets for little-endian text and on even ones for
    big-endian text. Zero-filled damage puts NULs on both, so one side must
    clearly dominate the other, and hold ``evidence`` NULs at least (a user
    who says the input is UTF-16 needs only its byte order told).
    """
    pairs = len(head) // 2
    if pairs < 2 or 0 not in head:
        return None
    even = head[0 : 2 * pairs : 2].count(0)
    odd = head[1 : 2 * pairs : 2].count(0)
    if max(even, odd) < evidence:
        return None  # b"\0\n\0\n" is a few NUL bytes, not UTF-16
    if 2 * odd > pairs and 8 * even < odd:
        return "utf-16-le"
    if 2 * even > pairs and 8 * odd < even:
        return "utf-16-be"
    return None


def _is_utf8(head: bytes, at_eof: bool) -> bool:
    """Valid UTF-8, or UTF-8 but for fewer stray bytes than real characters.

    Text in a single-byte encoding almost never holds a valid multi-byte
    UTF-8 sequence by chance, so one that holds more of them than ill-formed
    bytes is UTF-8 with a few bytes pasted in from elsewhere; those are read
    as cp1252 when the input is decoded.
    """
    if head.isascii():
        return True
    # Not final unless at the end of the input: a character cut in two by
    # the end of the head is still valid.
    text = codecs.getincrementaldecoder("utf-8")("replace").decode(head, at_eof)
    invalid = text.count("\ufffd") - head.count(b"\xef\xbf\xbd")
    if invalid == 0:
        return True
    characters = sum(1 for c in text if c >= "\x80") - text.count("\ufffd")
    return characters > invalid


def detect_encoding(head: bytes, at_eof: bool) -> Tuple[str, int]:
    """Guess the encoding of an input from its first bytes.

    In order: a byte-order mark decides UTF-8, UTF-16 or UTF-32; text with
    a NUL in every other byte is UTF-16 without a mark; valid UTF-8 is UTF-8,
    and so is text with more valid multi-byte UTF-8 characters than stray
    bytes (those are then read as cp1252); anything else is cp1252 (decoded
    with :data:`CP1252_CODEC`, so that no byte is lost).

    Args:
        head: The start of the input; only the first :data:`DETECT_BYTES` are
            looked at.
        at_eof: Whether ``head`` is the whole input. When it is not, a
            multi-byte character cut by the end of ``head`` does not make it
            invalid UTF-8.

    Returns:
        ``(encoding, bom_length)``: the canonical codec name and how many
        bytes of byte-order mark to skip before decoding.

    Examples:
        >>> detect_encoding(b"\\xff\\xfea\\x00,\\x00b\\x00", at_eof=True)
        ('utf-16-le', 2)
        >>> detect_encoding("naïve,café\\n".encode(), at_eof=True)
        ('utf-8', 0)
        >>> detect_encoding("naïve,café\\n".encode("cp1252"), at_eof=True)
        ('cp1252', 0)
    """
    if len(head) > DETECT_BYTES:
        head, at_eof = head[:DETECT_BYTES], False
    bom = detect_bom(head)
    if bom is not None:
        return bom
    utf16 = _utf16_without_bom(head)
    if utf16 is not None:
        return utf16, 0
    if _is_utf8(head, at_eof):
        return "utf-8", 0
    return "cp1252", 0


# How much of the head the doubt about a chosen encoding decodes.
_DOUBT_BYTES = 1 << 16


def _unit(encoding: str) -> int:
    """The bytes of an encoding's code unit: 4, 2, or 1 for every other encoding."""
    return 4 if encoding.startswith("utf-32") else 2 if encoding.startswith("utf-16") else 1


def encoding_doubt(head: bytes, encoding: str, at_eof: bool) -> Optional[str]:
    """Why the start of an input is unlikely to be in ``encoding``, the user's choice; None if nothing says so.

    Between encodings of one byte per character (UTF-8 among them) the user
    knows better, and bytes that do not decode are counted anyway. But text
    read in code units of the wrong size decodes without a single error into
    nonsense: UTF-8 read as UTF-16 loses every line break, and becomes one
    long header over an empty table; UTF-16 read as UTF-8 keeps a NUL in
    every other character.

    Args:
        head: The start of the input, byte-order mark included.
        encoding: The resolved encoding it is to be decoded with.
        at_eof: Whether ``head`` is the whole input.

    Examples:
        >>> encoding_doubt("a,b\\n1,2\\n".encode("utf-16-le"), "utf-16-le", True) is None
        True
        >>> encoding_doubt(b"a,b\\n1,2\\n", "utf-16-le", True)
        "the first 8 bytes hold 2 line feeds but no line break read as utf-16-le: the input is likely utf-8, which encoding='auto' reads"
    """
    detected, _ = detect_encoding(head, at_eof)
    if _unit(encoding) == 1:
        if _unit(detected) == 1:
            return None
        return (
            f"the input holds NUL bytes where {detected} text holds them, which {encoding} reads as characters: "
            f"it is likely {detected}, which encoding='auto' reads"
        )
    sample = head[:_DOUBT_BYTES]
    feeds = sample.count(b"\n")
    text = codecs.decode(sample[: len(sample) // _unit(encoding) * _unit(encoding)], encoding, "replace")
    if feeds < 2 or "\n" in text or "\r" in text:
        return None
    return (
        f"the first {len(sample)} bytes hold {feeds} line feeds but no line break read as {encoding}: "
        f"the input is likely {detected}, which encoding='auto' reads"
    )


def resolve_encoding(requested: str, head: bytes, at_eof: bool) -> Tuple[str, int]:
    """Settle the encoding to decode an input with, and the mark to skip.

    ``"auto"`` detects (:func:`detect_encoding`). A named encoding is used as
    given, but a byte-order mark of that encoding at the start is skipped
    (a CSV file never begins with U+FEFF as data); ``utf-8-sig`` is UTF-8;
    ``utf-16`` and ``utf-32`` take their byte order from the mark, or else
    from the layout of NUL bytes, or else little-endian.

    Returns:
        ``(encoding, bom_length)`` with a canonical codec name.

    Raises:
        LookupError: ``requested`` names no text encoding Python knows.

    Examples:
        >>> resolve_encoding("utf-16", b"\\xfe\\xff\\x00a", at_eof=True)
        ('utf-16-be', 2)
        >>> resolve_encoding("UTF-8", b"\\xef\\xbb\\xbfa", at_eof=True)
        ('utf-8', 3)
    """
    if requested.lower() == "auto":
        return detect_encoding(head, at_eof)
    name = normalize_encoding(requested)
    if name == "utf-8-sig":
        name = "utf-8"
    if name in ("utf-16", "utf-32"):
        bom = detect_bom(head)
        if bom is not None and bom[0].startswith(name):
            return bom
        if name == "utf-16":
            return _utf16_without_bom(head, evidence=1) or "utf-16-le", 0
        return "utf-32-le", 0
    own = _OWN_BOM.get(name)
    if own is not None and head.startswith(own):
        return name, len(own)
    return name, 0


# ---- decoding ----------------------------------------------------------------


def decoding_codec(encoding: str) -> str:
    """The codec Python decodes ``encoding`` with: cp1252 as the one that maps its five unassigned bytes."""
    return CP1252_CODEC if encoding == "cp1252" else encoding


class Transcoder(Iterator[bytes]):
    """Decodes chunks of encoded bytes into chunks of UTF-8, counting losses.

    Iterate over it for the UTF-8 chunks; :attr:`replaced_bytes` then tells
    how many input bytes could not be decoded and became U+FFFD. A character
    split across two input chunks is decoded whole. Made by :func:`transcode`.
    """

    #: The canonical name of the encoding being decoded.
    encoding: str
    #: Input bytes replaced by U+FFFD so far (exact, whatever the codec).
    replaced_bytes: int

    def __init__(self, chunks: Iterable[ReadableBuffer], encoding: str) -> None:
        self.encoding = normalize_encoding(encoding)
        self.replaced_bytes = 0
        self._chunks = iter(chunks)
        self._decoder = codecs.getincrementaldecoder(decoding_codec(self.encoding))(REPLACE_ERRORS)
        self._finished = False

    def __iter__(self) -> Transcoder:
        return self

    def __next__(self) -> bytes:
        while not self._finished:
            chunk = next(self._chunks, None)
            if chunk is None:
                self._finished = True
            token = _active.set(self)
            try:
                text = self._decoder.decode(b"" if chunk is None else chunk, chunk is None)
            finally:
                _active.reset(token)
            if text:
                return text.encode("utf-8", REPLACE_ERRORS)
        raise StopIteration


def transcode(chunks: Iterable[ReadableBuffer], encoding: str) -> Transcoder:
    """Decode a stream of byte chunks in ``encoding`` into UTF-8 chunks.

    Undecodable bytes become U+FFFD; the returned :class:`Transcoder` counts
    them in ``replaced_bytes``. ``cp1252`` is decoded with
    :data:`CP1252_CODEC`, so every byte is a character. A byte-order mark is
    decoded like any other character: skip it first (see
    :func:`resolve_encoding`), except for ``utf-16``, ``utf-32`` and
    ``utf-8-sig``, whose decoders consume it.

    Args:
        chunks: The input, in pieces of any size.
        encoding: A codec name Python knows.

    Raises:
        LookupError: ``encoding`` names no text encoding.

    Examples:
        >>> out = transcode([b"caf\\xe9,\\x81", b"\\x9d\\n"], "cp1252")
        >>> b"".join(out).decode()
        'café,\\x81\\x9d\\n'
        >>> out = transcode([b"a\\xff\\xfeb"], "utf-8")
        >>> b"".join(out).decode(), out.replaced_bytes
        ('a\\ufffd\\ufffdb', 2)
    """
    return Transcoder(chunks, encoding)
