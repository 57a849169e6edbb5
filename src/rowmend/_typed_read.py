"""A typed read of a whole input in bounded memory, read again when its later rows need wider types.

A read's types are decided from its first rows (:data:`~rowmend._typed.PREFIX_ROWS`),
and its batches go out in them as they come, while every later cell is
still counted. When the whole input shows that a type did not hold (a
column of integers that turns decimal past the prefix, more misfits than
the share, a decimal with more digits than its type holds, or, for a file
whose schema is already written, misfits in a column given no
``NAME_raw``), an input that can be read again (a regular file, a seekable
file object) is read again in the types of every row, as data.table's
``fread`` does; the batches of the first pass are dropped. An input read
once (a pipe, a socket, a URL) keeps the prefix's types, its later cells
that do not fit are misfits, and the notes say so.
"""

from __future__ import annotations

import os
import stat
from typing import Callable, Iterable, List, Optional, Protocol

import pyarrow as pa

from rowmend._options import Options
from rowmend._sources import Source, is_url
from rowmend._typed import TableTyping, TypedPass

__all__ = ["MAX_PASSES", "TypedSink", "read_again", "read_typed"]

#: Reads of one input at most: the second has every row's kinds, a third
#: only the digits or misfit columns the second met.
MAX_PASSES = 3


class TypedSink(Protocol):
    """Where a typed read's batches go; a read again starts it over."""

    def write(self, batch: pa.RecordBatch) -> None:
        """Takes one typed batch."""

    def restart(self) -> None:
        """Drops every batch written so far: the input is about to be read again."""


def read_again(source: Source) -> Optional[Callable[[], Source]]:
    """How to read ``source`` from its start once more, or None when it can be read only once.

    A path to a regular file is opened again; it must be the same file,
    unchanged (a ``ValueError`` names it otherwise: its two reads would not
    be of one table). A seekable file object goes back to where it stood.
    """
    if isinstance(source, (str, bytes, os.PathLike)):
        if isinstance(source, str) and is_url(source):
            return None
        try:
            before = os.stat(source)
        except OSError:
            return None  # opening it will say why
        if not stat.S_ISREG(before.st_mode):
            return None

        def reopen() -> Source:
            after = os.stat(source)
            if (after.st_ino, after.st_size, after.st_mtime_ns) != (before.st_ino, before.st_size, before.st_mtime_ns):
                raise ValueError(
                    f"{os.fsdecode(os.fspath(source))}: the file changed while it was read (its column types "
                    "needed a second read); read it again once it is complete"
                )
            return source

        return reopen
    seekable, tell, seek = (getattr(source, name, None) for name in ("seekable", "tell", "seek"))
    try:
        if not callable(seekable) or not callable(tell) or not callable(seek) or not seekable():
            return None
        start = tell()
    except (OSError, ValueError):
        return None

    def rewind() -> Source:
        seek(start)
        return source

    return rewind


def read_typed(
    passes: Callable[[int], Iterable[pa.RecordBatch]],
    sink: TypedSink,
    options: Options,
    name: str,
    *,
    companions: Optional[bool],
    again: bool,
) -> Optional[TableTyping]:
    """Types the string batches of ``passes(n)`` (pass n's, the line column last) into ``sink``.

    Args:
        passes: The string batches of one read of the input; called again
            for each read again.
        sink: Where the typed batches go.
        options: The read's options.
        name: The input's name, for messages.
        companions: As :class:`~rowmend._typed.TypedPass` takes them.
        again: Whether the input can be read again.

    Returns:
        The last pass's typing, its outcome finished; None for an input
        with no rows.
    """
    previous: Optional[TableTyping] = None
    reasons: List[str] = []
    for number in range(MAX_PASSES):
        typed = TypedPass(
            options, name, keep_lines=options.line_numbers, companions=companions, previous=previous
        )
        for batch in typed.batches(passes(number)):
            sink.write(batch)
        typing = typed.typing
        if typing is None:
            return None
        found = typing.reasons_to_read_again(typed.companions) if again and number + 1 < MAX_PASSES else []
        if not found:
            typing.finish(typed.rows, rereads=reasons, last_pass=not again)
            return typing
        reasons.extend(found)
        previous = typing
        sink.restart()
    raise AssertionError("unreachable: the last pass finishes")
