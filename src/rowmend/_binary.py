"""Telling input that is not text (an executable, an image, an archive) from a damaged CSV file.

A run refuses such input before it reads a row, unless told ``binary=True``:
cleaned, an executable becomes a "clean" CSV of NUL bytes whose header is
the binary's preamble. The test looks at the input after decompression:

* a known binary format's signature at its start (:data:`SIGNATURES`);
* or, once decoded, more than :data:`CONTROL_SHARE` of the first
  :data:`SAMPLE_CHARS` characters are control characters, in a sample of at
  least :data:`MIN_SAMPLE` characters. NUL, ESC and the whitespace controls
  (TAB, LF, VT, FF, CR) are not counted: blocks of NUL bytes are what a
  crash leaves inside a text file, which is a file to rescue, and ESC
  starts the colour codes of text copied from a terminal. Compressed or
  encrypted data has about 10% of the counted controls; the damaged text
  files of the shared test corpus at most 3% (and a few fuzzer inputs of
  some hundred bytes more, which the minimum sample lets through).
"""

from __future__ import annotations

import re
from typing import Optional, Tuple

# The codec name the package decodes an encoding with (its own cp1252).
from rowmend._encoding import decoding_codec
from rowmend._errors import NotTextError

__all__ = ["CONTROL_SHARE", "MIN_SAMPLE", "SAMPLE_CHARS", "SIGNATURES", "check_text", "looks_binary"]

#: The decoded characters the control share is measured on.
SAMPLE_CHARS = 1 << 16
#: A sample shorter than this is too small to judge by its share.
MIN_SAMPLE = 1 << 10
#: Above this share of counted control characters the input is not text.
CONTROL_SHARE = 0.05

# C0 controls but NUL, TAB, LF, VT, FF, CR and ESC; and DEL.
_CONTROLS = re.compile("[\x01-\x08\x0e-\x1a\x1c-\x1f\x7f]")

#: Signatures of binary formats: (the bytes the input starts with, what it is).
SIGNATURES: Tuple[Tuple[bytes, str], ...] = (
    (b"\x7fELF", "an ELF executable or library"),
    (b"\xfe\xed\xfa\xce", "a Mach-O executable"),
    (b"\xfe\xed\xfa\xcf", "a Mach-O executable"),
    (b"\xce\xfa\xed\xfe", "a Mach-O executable"),
    (b"\xcf\xfa\xed\xfe", "a Mach-O executable"),
    (b"\xca\xfe\xba\xbe", "a Java class or Mach-O file"),
    (b"\x00asm", "a WebAssembly module"),
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"GIF87a", "a GIF image"),
    (b"GIF89a", "a GIF image"),
    (b"\xff\xd8\xff", "a JPEG image"),
    (b"II*\x00", "a TIFF image"),
    (b"MM\x00*", "a TIFF image"),
    (b"%PDF-", "a PDF document"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", "an OLE2 document (an .xls or .doc file)"),
    (b"SQLite format 3\x00", "an SQLite database"),
    (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive"),
    (b"Rar!\x1a\x07", "a RAR archive"),
    (b"\x04\x22\x4d\x18", "an LZ4 stream (decompress it first)"),
    (b"Obj\x01", "an Avro file"),
)

# Signatures a line of text could begin with: they count only when a
# control byte follows within the first bytes, as it does in the format.
_TEXT_LIKE_SIGNATURES: Tuple[Tuple[bytes, str], ...] = (
    (b"PAR1", "a Parquet file"),
    (b"ARROW1", "an Arrow IPC file"),
    (b"MZ", "a Windows executable"),
)


def _signature(head: bytes) -> Optional[str]:
    for magic, kind in SIGNATURES:
        if head.startswith(magic):
            return kind
    if head[257:262] == b"ustar":
        return "a tar archive (extract its files first)"
    if head.startswith(b"RIFF") and head[8:12] in (b"WEBP", b"WAVE", b"AVI "):
        return "a RIFF file (WebP, WAV or AVI)"
    for magic, kind in _TEXT_LIKE_SIGNATURES:
        if head.startswith(magic) and re.search(b"[\x00-\x08\x0e-\x1f]", head[len(magic) : 64]):
            return kind
    return None


def looks_binary(head: bytes, encoding: str) -> Optional[str]:
    """What ``head``, the start of an input, is when it is not text; None for text.

    ``head`` is the input after decompression, ``encoding`` the codec it is
    read with.

    Examples:
        >>> looks_binary(b"\\x7fELF\\x02\\x01\\x01" + bytes(100), "utf-8")
        'an ELF executable or library'
        >>> looks_binary(bytes(range(256)) * 8, "cp1252")
        'binary data (10% control characters)'
        >>> looks_binary(b"id,name\\n1,\\x00\\x00\\x00\\n" * 1000, "utf-8") is None  # NUL blocks: damage
        True
    """
    kind = _signature(head)
    if kind is not None:
        return kind
    # Four bytes per character at most: enough bytes for the sample.
    try:
        text = head[: 4 * SAMPLE_CHARS].decode(decoding_codec(encoding), "replace")[:SAMPLE_CHARS]
    except (LookupError, UnicodeError, ValueError):
        return None  # a codec that cannot replace: the run reports its own error
    if len(text) < MIN_SAMPLE:
        return None
    share = _CONTROLS.subn("", text)[1] / len(text)
    if share > CONTROL_SHARE:
        return f"binary data ({share:.0%} control characters)"
    return None


def check_text(head: bytes, encoding: str, name: str) -> None:
    """Raise :class:`~rowmend.NotTextError` when the input starting with ``head`` is not text."""
    kind = looks_binary(head, encoding)
    if kind is not None:
        raise NotTextError(name, kind)
