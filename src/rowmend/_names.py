"""Column names: from the header row, or made up, and always unique.

Names are unique regardless of case, because DuckDB and SQL in general match
column names case-insensitively: ``id`` and ``ID`` would be one column there.

A header field becomes a name only as far as a name can go everywhere a
table goes: Arrow's C interface, which Polars, DuckDB and pyarrow exchange
tables through, carries a name as a NUL-terminated string, so a NUL becomes
U+FFFD; and a name is at most :data:`MAX_NAME_BYTES` long, so that a line
of hundreds of megabytes read as the header costs no more than its fields.
:func:`name_notes` says what was changed.
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Set

from rowmend._records import Note

__all__ = ["LINE_COLUMN", "MAX_NAME_BYTES", "column_names", "line_column_name", "name_notes"]

#: The name of the column that ``line_numbers=True`` adds, unless taken.
LINE_COLUMN = "_line"

#: The longest column name, in bytes of UTF-8 (64 KiB); a longer header field
#: is cut to a name of its first bytes.
MAX_NAME_BYTES = 1 << 16

# A string of this many characters or fewer is at most MAX_NAME_BYTES of UTF-8.
_SURELY_SHORT = MAX_NAME_BYTES // 4


def _too_long(name: str) -> bool:
    if len(name) <= _SURELY_SHORT:
        return False
    # Every character takes a byte or more: only a name of at most
    # MAX_NAME_BYTES characters needs encoding to tell, never a huge one.
    return len(name) > MAX_NAME_BYTES or len(name.encode("utf-8", "surrogatepass")) > MAX_NAME_BYTES


def _cut(name: str) -> str:
    """``name``, or for a name too long, its first :data:`MAX_NAME_BYTES` bytes."""
    if not _too_long(name):
        return name
    cut = name[:MAX_NAME_BYTES].encode("utf-8", "surrogatepass")[:MAX_NAME_BYTES]
    return cut.decode("utf-8", "ignore")  # a character cut in two is dropped


def _usable(name: str) -> str:
    """``name`` as a column name can hold it: NUL as U+FFFD, at most :data:`MAX_NAME_BYTES`."""
    name = _cut(name)
    return name.replace("\0", "\ufffd") if "\0" in name else name


def _positions(positions: List[int]) -> str:
    shown = ", ".join(str(position) for position in positions[:5])
    more = len(positions) - 5
    return f"{shown} and {more} more" if more > 0 else shown


def name_notes(header_row: Optional[Sequence[str]], width: int) -> List[Note]:
    """What :func:`column_names` changed in the header's fields to make them names.

    Returns:
        A ``"column-name-cut"`` note for fields longer than
        :data:`MAX_NAME_BYTES`, a ``"column-name-nul"`` note for fields
        holding NUL characters; none when every field was usable as it stood.

    Examples:
        >>> name_notes(["id", "a\\0b"], 2)
        [Note(code='column-name-nul', message="the header's field for column 2 holds NUL characters, which a column name cannot carry: each became U+FFFD")]
    """
    given = list(header_row or ())[:width]
    long = [position for position, name in enumerate(given, 1) if _too_long(name)]
    nul = [position for position, name in enumerate(given, 1) if "\0" in _cut(name)]
    found = (
        (
            "column-name-cut",
            long,
            f"is longer than a column name may be ({MAX_NAME_BYTES} bytes): the name is its first {MAX_NAME_BYTES} bytes",
        ),
        ("column-name-nul", nul, "holds NUL characters, which a column name cannot carry: each became U+FFFD"),
    )
    return [
        Note(code, f"the header's field for {'column' if len(where) == 1 else 'columns'} {_positions(where)} {what}")
        for code, where, what in found
        if where
    ]


def _fallback(position: int) -> str:
    return f"column_{position}"


class _Namer:
    """Hands out names that differ from every name handed out and reserved."""

    def __init__(self, reserved: Set[str]) -> None:
        self._reserved = reserved  # case-folded names that must stay free
        self._used: Set[str] = set()
        self._next_suffix: Dict[str, int] = {}

    def take(self, name: str, *, reserved_ok: bool) -> str:
        key = name.casefold()
        if key not in self._used and (reserved_ok or key not in self._reserved):
            self._used.add(key)
            return name
        suffix = self._next_suffix.get(key, 2)
        while True:
            candidate = f"{name}_{suffix}"
            suffix += 1
            folded = candidate.casefold()
            if folded not in self._used and folded not in self._reserved:
                break
        self._next_suffix[key] = suffix
        self._used.add(folded)
        return candidate


def column_names(header_row: Optional[Sequence[str]], width: int) -> List[str]:
    """Name ``width`` columns after a header row.

    Without a header row the columns are ``column_1`` to ``column_n``. With
    one, each column takes its header field, except that an empty field
    gives ``column_i`` (``i`` the column's 1-based position), a position past
    the end of the header row too, and a name already taken (ignoring case)
    gets ``_2``, ``_3``... A name that the header row itself holds is never
    given to another column: ``a, a, a_2`` names the columns ``a, a_3, a_2``.
    A NUL in a field becomes U+FFFD and a field longer than
    :data:`MAX_NAME_BYTES` is cut (:func:`name_notes` says so).

    Args:
        header_row: The fields of the header row, or None.
        width: The number of columns; header fields past it are ignored.

    Returns:
        ``width`` distinct names.

    Examples:
        >>> column_names(None, 3)
        ['column_1', 'column_2', 'column_3']
        >>> column_names(["id", "", "Name", "name", "id"], 5)
        ['id', 'column_2', 'Name', 'name_2', 'id_2']
    """
    if header_row is None:
        return [_fallback(position) for position in range(1, width + 1)]
    given = [_usable(name) for name in list(header_row)[:width]]
    given += [""] * (width - len(given))
    if all(given) and len({name.casefold() for name in given}) == width:
        return given  # the common case, and a header of a million names, at once
    namer = _Namer({name.casefold() for name in given if name})
    return [
        namer.take(name, reserved_ok=True) if name else namer.take(_fallback(position), reserved_ok=False)
        for position, name in enumerate(given, 1)
    ]


def line_column_name(names: Sequence[str]) -> str:
    """The name for the line-number column beside columns named ``names``.

    ``_line``, or ``_line_2``, ``_line_3``... when a column already has that
    name (ignoring case).

    Examples:
        >>> line_column_name(["a", "b"])
        '_line'
        >>> line_column_name(["_line", "_LINE_2"])
        '_line_3'
    """
    return _Namer({name.casefold() for name in names}).take(LINE_COLUMN, reserved_ok=False)
